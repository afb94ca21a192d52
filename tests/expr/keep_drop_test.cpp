// Keep/drop lists and the quick type changer on a real dictionary.
#include <unistd.h>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "expr/keep_drop.h"
#include "expr/where.h"
#include "expr_env_fixture.h"

using namespace tabulon;
using tabulon::test::ExprEnv;

namespace {

class VarLists : public ExprEnv {
 protected:
  void SetUp() override {
    ExprEnv::SetUp();
    for (auto [name, type] : std::vector<std::pair<const char*, int>>{
             {"id", T_LONG}, {"age", T_INT}, {"income", T_DOUBLE}, {"q1", T_BYTE}, {"q2", T_BYTE},
             {"note", T_STRING}, {"q5", T_BYTE}, {"q6", T_BYTE}, {"x1", T_FLOAT}, {"xa", T_FLOAT},
             {"x10", T_FLOAT}, {"score_r", T_DOUBLE}, {"name_r", T_STRING}, {"born", T_DATE},
             {"at", T_TIME}, {"stamp", T_DATETIME}})
      add(name, type);
  }
  // Names of the selected variables, in dictionary order.
  std::string selected() {
    std::string out;
    for (int32_t i = 0; i < dict_count(env->dict); ++i) {
      const VarRecord* v = dict_var(env->dict, i);
      if (!v->selected) continue;
      if (!out.empty()) out += ' ';
      out += v->name;
    }
    return out;
  }
  std::string message() { return DX_GetErrorMsg(h); }
  bool logged(const std::string& text) {
    for (const auto& l : lines)
      if (l.text == text) return true;
    return false;
  }
};

}  // namespace

TEST_F(VarLists, KeepWithResetNamesExactlyWhatRemains) {
  EXPECT_EQ(DX_DoVarSelect(h, "keep age income", 0, 1), 2);
  EXPECT_EQ(selected(), "age income");
  EXPECT_EQ(message(), "2 variables were kept");
  EXPECT_TRUE(logged("Info:\t Variable: age was kept"));
  // Drop without reset removes one and counts negative.
  EXPECT_EQ(DX_DoVarSelect(h, "drop AGE", 0, 0), -1);
  EXPECT_EQ(selected(), "income");
  EXPECT_EQ(message(), "1 variable was dropped");
  EXPECT_TRUE(logged("Info:\t Variable: AGE was dropped"));
  // Modes 1 and 2 take the list alone; "=" may follow the keyword.
  EXPECT_EQ(DX_DoVarSelect(h, "id, note", kVarSelectKeep, 0), 2);
  EXPECT_EQ(selected(), "id income note");
  EXPECT_EQ(DX_DoVarSelect(h, "income", kVarSelectDrop, 1), -1);
  EXPECT_EQ(selected().find("income"), std::string::npos);
  EXPECT_EQ(selected().substr(0, 6), "id age");
  EXPECT_EQ(DX_DoVarSelect(h, "keep=age note", 0, 1), 2);
  EXPECT_EQ(selected(), "age note");
}

TEST_F(VarLists, WordsMatchRangesWildcardsAndClasses) {
  struct Case {
    const char* statement;
    int32_t count;
    const char* remains;  // after a keep with reset
  } cases[] = {
      {"keep q1-q5", 4, "q1 q2 note q5"},
      {"keep q2:q6", 4, "q2 note q5 q6"},
      {"keep x1-nosuch", 8, "x1 xa x10 score_r name_r born at stamp"},  // runs to the end
      {"keep x?", 2, "x1 xa"},
      {"keep X*0", 1, "x10"},
      {"keep *_r", 2, "score_r name_r"},
      {"keep ?_*", 0, ""},
      {"keep _NUMBERS", 11, "id age income q1 q2 q5 q6 x1 xa x10 score_r"},
      {"keep _numbers note", 12, "id age income q1 q2 note q5 q6 x1 xa x10 score_r"},
      {"keep _DATES", 3, "born at stamp"},
      {"keep _TIMES", 3, "born at stamp"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DX_DoVarSelect(h, c.statement, 0, 1), c.count) << c.statement;
    EXPECT_EQ(selected(), c.remains) << c.statement;
  }
  EXPECT_EQ(DX_DoVarSelect(h, "drop x?", 0, 1), -2);
  EXPECT_EQ(selected().find("x1 "), std::string::npos);
  EXPECT_NE(selected().find("x10"), std::string::npos);
  EXPECT_EQ(DX_DoVarSelect(h, "drop _DATES", 0, 1), -3);
  EXPECT_EQ(selected().find("born"), std::string::npos);
  EXPECT_EQ(selected().find("stamp"), std::string::npos);
  EXPECT_NE(selected().find("x1"), std::string::npos);
}

TEST_F(VarLists, NamesFileWithComments) {
  std::string path = ::testing::TempDir() + std::to_string(::getpid()) + "expr_names_list.txt";
  {
    std::ofstream f(path, std::ios::binary);
    f << "// variables for the report\r\nage   // years\r\nincome,\tnote\n// q1 is not wanted\n\x01q5\n";
  }
  EXPECT_EQ(DX_DoVarSelect(h, ("keep @" + path).c_str(), 0, 1), 4);
  EXPECT_EQ(selected(), "age income note q5");
  EXPECT_EQ(DX_DoVarSelect(h, ("drop = @" + path).c_str(), 0, 0), -4);
  EXPECT_EQ(selected(), "");
  std::remove(path.c_str());
  EXPECT_EQ(DX_DoVarSelect(h, ("keep @" + path).c_str(), 0, 1), 0);
  EXPECT_EQ(message(), "Cannot open variable name file: " + path);
}

TEST_F(VarLists, BadWordsAndSyntax) {
  EXPECT_EQ(DX_DoVarSelect(h, "select age", 0, 0), 0);
  EXPECT_EQ(message(), "Incorrect Syntax in Drop/Keep statement: select age");
  // An unknown name ends the statement; what was done stays done.
  EXPECT_EQ(DX_DoVarSelect(h, "keep age nosuch income", 0, 1), 0);
  EXPECT_EQ(message(), "Bad variable: nosuch in Keep/Drop processing");
  EXPECT_EQ(selected(), "age");
  // With unknown names skipped, a warning is logged and the rest is done.
  set_stop_on_bad_variable(*env, true);
  EXPECT_EQ(DX_DoVarSelect(h, "keep age nosuch income", 0, 1), 2);
  EXPECT_TRUE(logged("Warning: Bad variable: nosuch in Keep/Drop processing"));
  EXPECT_EQ(selected(), "age income");
  set_stop_on_bad_variable(*env, false);
  EXPECT_EQ(DX_DoVarSelect(h, "drop _dates", 0, 0), -3);
  EXPECT_EQ(DX_DoVarSelect(h, "drop _dates id", 0, 0), -4);  // already dropped ones count again
  EXPECT_EQ(DX_DoVarSelect(-1, "keep age", 0, 0), -99);
}

TEST_F(VarLists, TypeChangesFollowThePermission) {
  // Delimited text input: numeric to string and back are allowed.
  env->transfer.input_code = 18;
  EXPECT_EQ(type_change_statement(*env, T_STRING, "age"), 0);
  EXPECT_EQ(var("age").ttype, T_STRING);
  EXPECT_NE(var("age").flags & kVarTypeSetByHost, 0u);
  EXPECT_EQ(message(), "1 variable was changed");
  EXPECT_TRUE(logged("Info:\t The requested data type [String] has been assigned to the variable <age>, previously having type [Int]."));
  EXPECT_EQ(type_change_statement(*env, T_DOUBLE, "age=note"), 0);
  EXPECT_EQ(var("note").ttype, T_DOUBLE);
  EXPECT_EQ(message(), "2 variables were changed");
  // Dates need the input's own declaration.
  EXPECT_EQ(type_change_statement(*env, T_DOUBLE, "born"), -1);
  EXPECT_EQ(var("born").ttype, T_DATE);
  set_input_types_changeable(*env, true);
  EXPECT_EQ(type_change_statement(*env, T_DOUBLE, "born"), 0);
  expr_close_files(*env);

  // Another input: numeric to numeric only.
  env->transfer.input_code = 2;
  EXPECT_EQ(type_change_statement(*env, T_FLOAT, "q1 q2"), 0);
  EXPECT_EQ(var("q2").ttype, T_FLOAT);
  EXPECT_EQ(type_change_statement(*env, T_FLOAT, "q1"), 0);  // already that type: skipped, counted
  EXPECT_TRUE(logged("Info:\t The variable <q1> was skipped because it already has the requested type [Float]."));
  EXPECT_EQ(type_change_statement(*env, T_STRING, "q5"), -1);
  EXPECT_EQ(var("q5").ttype, T_BYTE);
  EXPECT_EQ(message(), "Bad new variable type. Only 0 variables have been assigned the new type. Please see log for details.");
  EXPECT_TRUE(logged("Error:\t The requested data type [String] could not be assigned to the variable <q5>, having type [Byte]."));
  EXPECT_EQ(type_change_statement(*env, T_STRING, "name_r q6"), -1);  // string to string is a skip
  EXPECT_EQ(message(), "Bad new variable type. Only 1 variable has been assigned the new type. Please see log for details.");
  EXPECT_EQ(type_change_statement(*env, T_DOUBLE, "q6 name_r"), -1);
  EXPECT_EQ(message(), "Bad new variable type. Only 1 variable has been assigned the new type. Please see log for details.");
  EXPECT_EQ(var("q6").ttype, T_DOUBLE);
  EXPECT_EQ(type_change_statement(*env, T_DOUBLE, "nosuch"), -1);
  EXPECT_EQ(message(), "Bad variable: nosuch in Quick Type Changer processing");
  EXPECT_EQ(type_change_statement(*env, T_DATE, "x1-x10"), 0);
  EXPECT_EQ(message(), "3 variables were changed");
  EXPECT_EQ(var("x10").ttype, T_DATE);
}
