// Conditions, computed values, functions and compile errors, evaluated on real records.
#include <cmath>

#include "expr/where.h"
#include "expr_env_fixture.h"

using namespace tabulon;
using tabulon::test::ExprEnv;

namespace {

constexpr double k15Mar2005 = 38426;  // day number of 15 March 2005
constexpr double k31Jan2005 = 38383;

class Expressions : public ExprEnv {
 protected:
  void SetUp() override {
    ExprEnv::SetUp();
    add("age", T_INT);
    add("sex", T_BYTE);
    add("a", T_DOUBLE);
    add("b", T_DOUBLE);
    add("c", T_DOUBLE);
    add("x", T_DOUBLE);
    add("name", T_STRING, 20);
    add("born", T_DATE);
    add("whereabouts", T_DOUBLE);
    layout();
    set("age", 30);
    set("sex", 1);
    set("a", 0);
    set("b", 0);
    set("c", 0);
    set("x", 2);
    set_text("name", "  John Smith");
    set("born", k15Mar2005);
    set("whereabouts", 7);
  }
};

}  // namespace

TEST_F(Expressions, WherePrefixIsSkipped) {
  auto with = env_compile(*env, "age >= 18 & sex = 1", true);
  ASSERT_EQ(DX_ParseWhere(h, "  WHERE age >= 18 & sex = 1", 1), 0);
  ASSERT_TRUE(where_is_set(*env));
  EXPECT_EQ(env->expr.where->code, with->code);
  ASSERT_EQ(DX_ParseWhere(h, "where\tage >= 18 & sex = 1", 1), 0);
  EXPECT_EQ(env->expr.where->code, with->code);
  EXPECT_TRUE(where_accepts(*env));
  // A name that merely starts with the word is a variable.
  ASSERT_EQ(DX_ParseWhere(h, "whereabouts = 8", 1), 0);
  EXPECT_FALSE(where_accepts(*env));
  // Empty text (or the keyword alone) removes the condition; check-only leaves it alone.
  ASSERT_EQ(DX_ParseWhere(h, "age < 0", 0), 0);
  EXPECT_FALSE(where_accepts(*env));
  EXPECT_EQ(DX_ParseWhere(h, "  WHERE  ", 1), 0);
  EXPECT_FALSE(where_is_set(*env));
  EXPECT_TRUE(where_accepts(*env));
}

TEST_F(Expressions, OrBindsTighterThanAnd) {
  auto mixed = env_compile(*env, "a = 1 & b = 2 | c = 3", true);
  auto grouped = env_compile(*env, "a = 1 & (b = 2 | c = 3)", true);
  auto left = env_compile(*env, "(a = 1 & b = 2) | c = 3", true);
  int differ_from_left = 0;
  for (int bits = 0; bits < 8; ++bits) {
    set("a", bits & 1 ? 1 : 0);
    set("b", bits & 2 ? 2 : 0);
    set("c", bits & 4 ? 3 : 0);
    bool m = env_evaluate(*env, *mixed).num != 0;
    EXPECT_EQ(m, env_evaluate(*env, *grouped).num != 0) << bits;
    if (m != (env_evaluate(*env, *left).num != 0)) ++differ_from_left;
  }
  EXPECT_GT(differ_from_left, 0);
  // Not binds tightest, and a group may be negated.
  set("a", 1);
  set("b", 0);
  EXPECT_TRUE(cond("!a = 2 & a = 1"));
  EXPECT_FALSE(cond("!(a = 1)"));
  EXPECT_TRUE(cond("a == 1 && !(b != 0) || c = 99"));
}

TEST_F(Expressions, ParenthesesGroupConditionsOrArithmetic) {
  EXPECT_TRUE(cond("(age + 1) * 2 = 62"));
  EXPECT_TRUE(cond("((age)) = 30"));
  EXPECT_TRUE(cond("(age = 30) & ((sex) = 1)"));
  EXPECT_TRUE(cond("(age)"));  // a parenthesized value is true when not 0
  EXPECT_FALSE(cond("(a)"));
  EXPECT_TRUE(cond("(name) = \"john smith\""));
  EXPECT_TRUE(cond("age = 30 }"));
}

TEST_F(Expressions, RightHandConstantsAndLists) {
  // Date literal in brackets, read with the environment's reading pattern.
  set("born", k31Jan2005);
  EXPECT_TRUE(cond("born = [01/31/2005]"));
  EXPECT_FALSE(cond("born > [01/31/2005]"));
  set("born", k31Jan2005 + 1);
  EXPECT_TRUE(cond("born > [01/31/2005]"));
  // A bare date cell is a day number too.
  EXPECT_TRUE(cond("born = 02/01/2005"));
  // Lists: "=" matches any, the other operators must hold for all.
  EXPECT_TRUE(cond("x = 1, 2, 3"));
  EXPECT_FALSE(cond("x = 1, 3"));
  EXPECT_FALSE(cond("x <> 1, 2"));
  EXPECT_TRUE(cond("x <> 1, 3"));
  EXPECT_TRUE(cond("x < 3, 4"));
  EXPECT_FALSE(cond("x < 3, 1"));
  EXPECT_TRUE(cond("x = -5, 2.0e0, 7"));
  // A right-hand side that is no constant is an expression.
  EXPECT_TRUE(cond("x = age - 28"));
  EXPECT_TRUE(cond("age = x * 15, 0"));
  EXPECT_EQ(where_error("born = [not a date]"), "Error in Expression: born = [not a date]\n-> Invalid date or time: not a date");
}

TEST_F(Expressions, MissingValues) {
  set_missing("x");
  EXPECT_TRUE(cond("x = NA"));
  EXPECT_TRUE(cond("x = _missing"));
  EXPECT_TRUE(cond("x = _MISSING"));
  EXPECT_TRUE(cond("x < 5"));    // missing orders below every number
  EXPECT_FALSE(cond("x > -1e300"));
  EXPECT_TRUE(cond("x + 1 = NA"));  // arithmetic keeps it missing
  EXPECT_TRUE(std::isfinite(num("x")));
  EXPECT_EQ(num("x"), system_missing());
  set_missing("x", 5);  // an extended missing code reads as missing too
  EXPECT_TRUE(cond("x = NA"));
  set("x", 2);
  EXPECT_FALSE(cond("x = NA"));
  EXPECT_TRUE(cond("x <> NA"));
  EXPECT_TRUE(cond("x > NA"));
  EXPECT_TRUE(cond("x = 2, NA"));
}

TEST_F(Expressions, StringComparisons) {
  struct Case {
    const char* text;
    bool expect;
  } cases[] = {
      {"name = \"john smith\"", true},      // leading blanks of the left value, case ignored
      {"name = \"JOHN*\"", true},           // wildcard
      {"name = \"j?hn s*h\"", true},
      {"name = \"j?n*\"", false},
      {"name <> \"jo*\"", false},
      {"name <> \"x*\", \"y*\"", true},
      {"name = \"Mary\", \"john smith\"", true},
      {"name > \"JOHN\"", true},
      {"name < \"K\"", true},
      {"name = \"john\"", false},
      {"name = concat(\"John\", \" Smith\")", true},
      {"left(name, 6) = \"  john\"", false}, // only the left value's blanks go
      {"ltrim(left(name, 6)) = \"john\"", true},
  };
  for (const Case& c : cases) EXPECT_EQ(cond(c.text), c.expect) << c.text;
}

TEST_F(Expressions, FunctionsGiveTheirValues) {
  struct NumCase {
    const char* text;
    double expect;
  } nums[] = {
      {"sqrt(-4)", 0},
      {"sqrt(16)", 4},
      {"abs(-2.5)", 2.5},
      {"year(born)", 105},
      {"date(105, 3, 15)", k15Mar2005},
      {"date(year(born), month(born), dayofmonth(born))", k15Mar2005},
      {"month(born)", 3},
      {"dayofmonth(born)", 15},
      {"dayofweek(born)", 3},
      {"dayofyear(born)", 74},
      {"quarter(born)", 1},
      {"quarter(date(105, 10, 1))", 4},
      {"week(born)", 11},
      // Calendar edges: first and last representable days, leap centuries, fractions
      // before day 0 belonging to the earlier day.
      {"date(-1899, 1, 1)", -693593},
      {"date(8099, 12, 31)", 2958465},
      {"date(100, 2, 29)", 36585},
      {"dayofweek(0)", 7},
      {"dayofmonth(-0.5)", 29},
      {"year(-0.5)", -1},
      {"dayofyear(date(8099, 12, 31))", 365},
      {"year(2958466)", 0},
      {"month(-693594)", 0},
      {"length(\"abcd\")", 4},
      {"ascii(\"A\")", 65},
      {"locate(\"banana\", \"an\", 1)", 2},
      {"locate(\"banana\", \"an\", 3)", 4},
      {"locate(\"banana\", \"x\", 1)", 0},
      {"power(2, 10)", 1024},
      {"val(\" 12.5\")", 12.5},
      {"7 / 0", 0},
      {"7 % 3", 1},
      {"7.9 % 3.9", 1},
      {"7 % 0", 0},
      {"2 + 3 * 4", 14},
      {"(2 + 3) * 4", 20},
      {"10 - 4 - 3", 3},
      {"-x * 3", -6},
      {"1e3 + .5", 1000.5},
      {"'age' + ^sex", 31},
  };
  for (const NumCase& c : nums) EXPECT_DOUBLE_EQ(num(c.text), c.expect) << c.text;
  // Impossible dates and missing arguments give the missing value.
  for (const char* text : {"date(105, 2, 29)", "date(0, 2, 29)", "date(-1900, 12, 31)", "date(105, 13, 1)", "date(1e300, 1, 1)", "date(105, 1, 1e300)",
                           "year(NA)", "sqrt(NA)", "power(2, 1e6)"})
    EXPECT_EQ(num(text), system_missing()) << text;

  struct StrCase {
    const char* text;
    const char* expect;
  } strs[] = {
      {"left(\"abc\", 5)", "abc"},
      {"left(\"abc\", 2)", "ab"},
      {"concatn(\"ab\", 4, \"c\")", "ab  c"},
      {"concatn(\"abcdef\", 2, \"c\")", "abc"},
      {"concat(\"ab\", \"cd\")", "abcd"},
      {"\"ab\" & \"cd\" & \"e\"", "abcde"},
      {"edit(\"5551234567\", \"(999) 999-9999\")", "(555) 123-4567"},
      {"edit(\"12345\", \"9$9-9\")", "13-4"},
      {"insert(\"abcdef\", 2, 1, \"XY\")", "abXYdef"},
      {"right(\"abcdef\", 2)", "ef"},
      {"right(\"ab\", 5)", "ab"},
      {"ltrim(\"  ab \")", "ab "},
      {"rtrim(\" ab  \", 0)", " ab"},
      {"substring(\"abcdef\", 2, 3)", "bcd"},
      {"substring(\"abcdef\", 5, 9)", "ef"},
      {"lcase(\"AbC\")", "abc"},
      {"ucase(\"AbC\")", "ABC"},
      {"pcase(\"hELLO wORLD\")", "Hello World"},
      {"repeat(\"ab\", 3)", "ababab"},
      {"parse(\"a,b;;c\", 3, \",;\")", "c"},
      {"parse(\"a,b\", 3, \",\")", ""},
      {"replace(\"a-b-c\", \"-\", \"/\")", "a/b/c"},
      {"str(41.9)", "41"},
      {"str(-3)", "-3"},
      {"fnumb(\"%05.1f\", 3.14159)", "003.1"},
      {"fnumb(\"[%d]\", 42.7)", "[42]"},
      {"ltrim(name)", "John Smith"},
  };
  for (const StrCase& c : strs) EXPECT_EQ(str(c.text), c.expect) << c.text;
}

TEST_F(Expressions, ConditionalValues) {
  const char* text = "if age > 60 then \"old\" else if age >= 18 then \"adult\" else \"minor\"";
  auto p = env_compile(*env, text, false);
  ASSERT_EQ(p->result, ValType::String);
  for (auto [age, expect] : {std::pair{70.0, "old"}, {30.0, "adult"}, {5.0, "minor"}}) {
    set("age", age);
    EXPECT_EQ(env_evaluate(*env, *p).str, expect);
  }
  std::unique_ptr<Program> q;
  EXPECT_EQ(expr_compile_value(*env, "age * 2", &q), 1);
  EXPECT_EQ(expr_compile_value(*env, text, &q), 2);
  EXPECT_EQ(expr_compile_value(*env, "age +", &q), -1);
  EXPECT_STREQ(DX_GetErrorMsg(h), "Error in Expression: age +\n-> Syntax error");
  set("age", 30);
  EXPECT_EQ(num("IF name = \"john*\" THEN age * 2 ELSE 0"), 60);
}

TEST_F(Expressions, SpecialNamesAndPrior) {
  env->transfer.cases_read = 12;
  EXPECT_EQ(num("_rownum"), 12);
  EXPECT_EQ(num("@ROWNUM + 1"), 13);
  env->transfer.input_path = "/data/in/survey.csv";
  EXPECT_EQ(str("input_file(name)"), "survey");
  EXPECT_EQ(str("input_file(ext)"), ".csv");
  EXPECT_EQ(str("input_file(lowest_dir)"), "in");
  EXPECT_EQ(str("input_file(full_spec)"), "/data/in/survey.csv");

  auto p = env_compile(*env, "prior(age)", false);
  std::vector<double> seen;
  for (double age : {10.0, 20.0, 30.0}) {
    set("age", age);
    seen.push_back(env_evaluate(*env, *p).num);
  }
  EXPECT_EQ(seen[0], system_missing());
  EXPECT_EQ(seen[1], 10);
  EXPECT_EQ(seen[2], 20);
  auto ps = env_compile(*env, "prior(name) & \"|\"", false);
  set_text("name", "one");
  EXPECT_EQ(env_evaluate(*env, *ps).str, "|");
  set_text("name", "two");
  EXPECT_EQ(env_evaluate(*env, *ps).str, "one|");
}

TEST_F(Expressions, CompileErrorsCarryTheirMessages) {
  struct Case {
    const char* text;
    const char* message;
  } cases[] = {
      {"name = 1", "type mismatch in comparison expression"},
      {"age = \"x\"", "type mismatch in comparison expression"},
      {"age", "relational operator expected"},
      {"age 18", "relational operator expected"},
      {"age # 18", "Unrecognized operator"},
      {"age = 1 2", "Unrecognized operator"},
      {"zzz = 1", "Invalid variable name: zzz"},
      {"foo(1) = 1", "Invalid function name"},
      {"left(\"a\") = \"a\"", "Wrong number of function arguments"},
      {"left(\"a\", 1, 2) = \"a\"", "Wrong number of function arguments"},
      {"left(1, 1) = \"a\"", "Invalid function argument"},
      {"fnumb(\"%s\", 1) = \"a\"", "Invalid function argument"},
      {"input_file(path) = \"a\"", "Invalid Function Parameter: path"},
      {"(age = 1", "Mismatched Parentheses"},
      {"age = 1)", "Mismatched Parentheses"},
      {"age + (1 = 2", "Mismatched Parentheses"},
      {"= 1", "Syntax error"},
      {"name = \"abc", "Syntax error"},
      {"age = 123456789012345678901234567890123456789012345678", "Number too long"},
      {"name + 1 = 2", "Type inconsistency 2 1"},
      {"x = 1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16", "Operand Stack overflow"},
  };
  for (const Case& c : cases) {
    std::string want = std::string("Error in Expression: ") + c.text + "\n-> " + c.message;
    EXPECT_EQ(where_error(c.text), want);
    EXPECT_EQ(DX_ParseWhere(h, c.text, 1), -1);
  }
  // A failed compile leaves an installed condition as it was.
  ASSERT_EQ(DX_ParseWhere(h, "age = 30", 1), 0);
  EXPECT_EQ(DX_ParseWhere(h, "age =", 1), -1);
  EXPECT_TRUE(where_accepts(*env));

  std::string long_cmp = "age = " + std::string(250, ' ') + "1";
  EXPECT_NE(where_error(long_cmp.c_str()).find("-> Expression too long"), std::string::npos);
  std::string many;
  for (int i = 0; i < 70; ++i) many += "a=1|";
  many += "a=1";
  EXPECT_NE(where_error(many.c_str()).find("-> formula buffer overflow"), std::string::npos);
  std::string fits;
  for (int i = 0; i < 50; ++i) fits += "a=1|";
  fits += "a=1";
  EXPECT_EQ(where_error(fits.c_str()), "");

  struct Computed {
    const char* text;
    const char* message;
  } computed[] = {
      {"if age > 1 \"a\" else \"b\"", "end expected "},
      {"if age > 1 then \"a\"", "else expected "},
      {"if age > 1 then \"a\" else 2", "Type inconsistency 2 1"},
      {"born + [01/01/2005]", "Missing semicolon"},
      {"name - \"a\"", "Type inconsistency 2 2"},
      {"-name", "Type inconsistency 2 1"},
      {"age age", "Unrecognized operator"},
  };
  for (const Computed& c : computed)
    EXPECT_EQ(computed_error(c.text), std::string("Error in Expression: ") + c.text + "\n-> " + c.message);
}

TEST_F(Expressions, TokenSoupCompilesOrFailsWithAMessage) {
  // Malformed texts must end in a reported error, never in a crash or a hang.
  const char* pieces[] = {"age", "name", "x", "(", ")", "=", "<>", "<", ">=", "&", "|", "!", "+", "-", "*",
                          "/", "%", ",", "1", "2.5", "\"a*\"", "[01/31/2005]", "NA", "_rownum", "left(",
                          "sqrt(", "prior(", "if ", " then ", " else ", "'age'", "}", "[", "\"", " ", "samp_fixed("};
  uint32_t seed = 12345;
  auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
  int compiled = 0;
  for (int i = 0; i < 3000; ++i) {
    std::string text;
    int n = 1 + static_cast<int>(next() % 12);
    for (int k = 0; k < n; ++k) text += pieces[(next() >> 8) % (sizeof pieces / sizeof pieces[0])];
    for (bool condition : {true, false}) {
      try {
        auto p = env_compile(*env, text, condition);
        ExprValue v = env_evaluate(*env, *p);
        if (condition) EXPECT_TRUE(v.num == 0 || v.num == 1) << text;
        ++compiled;
      } catch (const RaisedError&) {
        EXPECT_EQ(std::string(DX_GetErrorMsg(h)).rfind("Error in Expression: ", 0), 0u) << text;
      }
    }
  }
  EXPECT_GT(compiled, 5);
}
