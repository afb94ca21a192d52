// Dictionary, value labels, record layout and value access through the exported functions.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "api/env_record.h"
#include "api/option_slots.h"
#include "dict/dictionary.h"
#include "tabulon/tabulon.h"

using namespace tabulon;

namespace {

struct UserVar {
  const char* name;
  int32_t type;  // API type
  int32_t width;
  int32_t decimals;
};

class Dict : public ::testing::Test {
 protected:
  int32_t h = -1;
  EnvRecord* env = nullptr;
  void SetUp() override {
    h = DX_OpenEnvironment();
    ASSERT_GE(h, 0);
    env = env_from_handle(h);
  }
  void TearDown() override { DX_CloseEnvironment(h); }

  void build(const std::vector<UserVar>& vars) {
    ASSERT_EQ(DX_InitUserDict(h, static_cast<int32_t>(vars.size())), 0);
    for (size_t i = 0; i < vars.size(); ++i)
      ASSERT_EQ(DX_AddUserVar(h, static_cast<int32_t>(i), vars[i].name, vars[i].type, vars[i].width,
                              vars[i].decimals),
                0)
          << vars[i].name;
  }
  // a b c d e: numeric, string(10), date, numeric, string(3)
  void build_five() {
    build({{"a", API_NUMERIC, 8, 2}, {"b", API_STRING, 10, 0}, {"c", API_DATE, 10, 0}, {"d", API_NUMERIC, 5, 0},
           {"e", API_STRING, 3, 0}});
  }
  std::string copy_str(int32_t var) {
    char buf[1100];
    int32_t n = DX_CopyVarDataStr(h, var, buf);
    EXPECT_EQ(n, static_cast<int32_t>(std::strlen(buf)));
    return buf;
  }
};

TEST_F(Dict, UserDictionaryDescribesItsVariables) {
  build_five();
  struct Row {
    int32_t var;
    const char* name;
    int32_t api;
    int32_t ttype;  // as the host sees it: storage type - 1
    int32_t width;
  } rows[] = {{0, "a", API_NUMERIC, T_DOUBLE - 1, 8},
              {1, "b", API_STRING, T_STRING - 1, 10},
              {2, "c", API_DATE, T_DATE - 1, 10},
              {4, "e", API_STRING, T_STRING - 1, 3}};
  for (const Row& r : rows) {
    EXPECT_STREQ(DX_GetVarName(h, r.var), r.name);
    EXPECT_STREQ(DX_GetInputVarName(h, r.var), r.name);
    EXPECT_EQ(DX_GetVarType(h, r.var), r.api);
    EXPECT_EQ(DX_GetTType(h, r.var), r.ttype);
    EXPECT_EQ(DX_GetVarPrintWidth(h, r.var), r.width);
    EXPECT_EQ(DX_GetVarSelect(h, r.var), 1);
  }
  EXPECT_EQ(DX_GetVarNDec(h, 0), 2);
  char name[256];
  EXPECT_EQ(DX_CopyVarName(h, 1, name), 1);
  EXPECT_STREQ(name, "b");

  // Labels: empty or null changes nothing.
  EXPECT_EQ(DX_FileHasVarLabels(h), 0);
  EXPECT_EQ(DX_SetVarLabel(h, 1, "Name of the town"), 0);
  EXPECT_EQ(DX_SetVarLabel(h, 1, ""), 0);
  EXPECT_EQ(DX_SetVarLabel(h, 1, nullptr), 0);
  EXPECT_STREQ(DX_GetVarLabel(h, 1), "Name of the town");
  char label[1024];
  EXPECT_EQ(DX_CopyVarLabel(h, 1, label), 16);
  EXPECT_STREQ(label, "Name of the town");
  EXPECT_EQ(DX_FileHasVarLabels(h), 1);

  // A name longer than 255 bytes is cut; never inside a UTF-8 sequence.
  std::string long_name = std::string(254, 'n') + "\xC3\xA9" + "tail";
  EXPECT_EQ(DX_AddUserVar(h, 3, long_name.c_str(), API_NUMERIC, 5, 0), 0);
  EXPECT_EQ(std::string(DX_GetVarName(h, 3)), std::string(254, 'n'));

  // Type changes.
  EXPECT_EQ(DX_SetTType(h, 0, T_INT - 1), 0);
  EXPECT_EQ(DX_GetTType(h, 0), T_INT - 1);
  EXPECT_EQ(DX_SetTType(h, 0, 9), -1);
  EXPECT_EQ(DX_SetDictVarToString(h, 2, 12), 0);
  EXPECT_EQ(DX_GetVarType(h, 2), API_STRING);
  EXPECT_EQ(DX_GetVarPrintWidth(h, 2), 12);
  EXPECT_TRUE(env->dict.vars[2]->flags & kVarDateMadeString);
}

TEST_F(Dict, SelectByNameNumberAndRange) {
  build({{"id", 1, 4, 0}, {"Age", 1, 3, 0}, {"town", 2, 8, 0}, {"w", 1, 8, 2}, {"z", 1, 8, 2}});
  struct Case {
    const char* spec;
    int32_t on;
    int32_t result;
    const char* selected_after;  // one char per variable
  } cases[] = {
      {"2-4", 0, 3, "10001"},  {"2-4", 1, 3, "11111"},   {"age", 0, 1, "10111"},  {"AGE:w", 0, 3, "10001"},
      {"1:2", 1, 1, "11001"},  {" town - 5 ", 1, 4, "11111"}, {"5-3", 0, 4, "11000"}, {"nope", 1, -1, "11000"},
      {"0", 1, -1, "11000"},   {"6", 1, -1, "11000"},    {"2-99", 1, -1, "11000"}, {"", 1, -1, "11000"},
      {"-", 1, -1, "11000"},   {"99999999999999", 1, -1, "11000"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DX_SetVarSelectName(h, c.spec, c.on), c.result) << c.spec;
    std::string sel;
    for (int i = 0; i < 5; ++i) sel += DX_GetVarSelect(h, i) ? '1' : '0';
    EXPECT_EQ(sel, c.selected_after) << c.spec;
  }
  EXPECT_EQ(DX_SetVarSelectName(h, nullptr, 1), -1);
  std::string huge(100000, 'q');
  EXPECT_EQ(DX_SetVarSelectName(h, huge.c_str(), 1), -1);
  EXPECT_EQ(DX_SelectAllVarsExt(h, 0), 0);
  EXPECT_EQ(DX_GetVarSelect(h, 4), 0);
  EXPECT_EQ(DX_SelectAllVars(h), 0);
  EXPECT_EQ(DX_GetVarSelect(h, 4), 1);
}

TEST_F(Dict, SelectionNeedsADictionaryAndADefinedType) {
  EXPECT_EQ(DX_SelectAllVars(h), -1);
  ASSERT_EQ(DX_InitUserDict(h, 2), 0);
  // An undefined variable (storage type 0) cannot be selected.
  EXPECT_EQ(DX_SetVarSelect(h, 0, 1), 0);
  EXPECT_EQ(DX_GetVarSelect(h, 0), 0);
  EXPECT_EQ(DX_GetTType(h, 0), -1);
}

TEST_F(Dict, MissingValueLabels) {
  build_five();
  ASSERT_EQ(DX_SetNValueLabels(h, 0, 4), 0);
  EXPECT_EQ(DX_AreValueLabelsPresent(h), 1);
  struct Case {
    int32_t k;
    int32_t code;
    int32_t result;
    const char* text;
  } cases[] = {
      {0, 1, 0, "."}, {1, 27, 0, ".Z"}, {2, 29, 0, "._"}, {3, 28, 0, ""}, {0, 30, -3, nullptr},
      {0, 0, -3, nullptr}, {0, -1, -3, nullptr}, {4, 2, -1, nullptr}, {-1, 2, -1, nullptr},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DX_SetMissingValueLabel(h, c.k, c.code, "why missing"), c.result) << c.code;
    if (c.result != 0) continue;
    const char* value = nullptr;
    const char* label = nullptr;
    ASSERT_EQ(DX_GetValueLabelStr(h, c.k, &value, &label), 0);
    EXPECT_EQ(value, nullptr);  // a numeric variable has no value texts to show
    EXPECT_STREQ(label, "why missing");
    const ValueLabel& e = env->dict.vars[0]->value_labels[static_cast<size_t>(c.k)];
    EXPECT_EQ(e.text, c.text);
    EXPECT_EQ(e.missing, static_cast<uint32_t>(c.code));
    double d = 0;
    char text[40] = "?";
    EXPECT_EQ(DX_GetValueLabelExt(h, c.k, &d, text, nullptr, 0), 2);
    EXPECT_STREQ(text, c.text);
  }
  // Strings have no extended missing values.
  ASSERT_EQ(DX_SetNValueLabels(h, 1, 1), 0);
  EXPECT_EQ(DX_SetMissingValueLabel(h, 0, 2, "x"), -2);
}

TEST_F(Dict, ValueLabelStringsAreTrimmedAndCut) {
  build_five();
  struct Case {
    const char* value;
    bool long_values;
    const char* stored;
  } cases[] = {
      {"abcdefghijklmnopqrst", false, "abcdefghijklmnop"},
      {"abcdefghijklmnopqrst", true, "abcdefghijklmnopqrst"},
      {"     ", false, " "},
      {"ab   ", false, "ab"},
      {"", false, ""},
      {"\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9", false,
       "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(option_store(*env, 95, c.long_values ? 1 : 0, nullptr));
    ASSERT_EQ(DX_SetNValueLabels(h, 1, 1), 0);
    ASSERT_EQ(DX_SetValueLabelExt(h, 0, 0, c.value, "lab"), 0);
    const char* value = nullptr;
    const char* label = nullptr;
    ASSERT_EQ(DX_GetValueLabelStr(h, 0, &value, &label), 0);
    EXPECT_STREQ(value, c.stored) << c.value;
    char text[64];
    char lab[3];
    EXPECT_EQ(DX_GetValueLabelExt(h, 0, nullptr, text, lab, sizeof lab), 2);
    EXPECT_STREQ(text, c.stored);
    EXPECT_STREQ(lab, "la");  // cut to the caller's size
  }
  // Over 32768 bytes: cut with a warning.
  ASSERT_TRUE(option_store(*env, 95, 1, nullptr));
  std::string big(40000, 'v');
  EXPECT_EQ(DX_SetValueLabelExt(h, 0, 0, big.c_str(), "big"), 0);
  EXPECT_EQ(env->dict.vars[1]->value_labels[0].text.size(), 32768u);
  EXPECT_EQ(DX_SetValueLabelExt(h, 0, 0, nullptr, "x"), -1);
}

TEST_F(Dict, NumericValueLabelsAndCurrentVariable) {
  build_five();
  EXPECT_EQ(DX_GetNValueLabels(h, 0), -1);
  ASSERT_EQ(DX_SetNValueLabels(h, 0, 2), 0);
  EXPECT_EQ(DX_SetValueLabel(h, 0, 1, "yes"), 0);
  EXPECT_EQ(DX_SetValueLabelExt(h, 1, 2.5, nullptr, "half"), 0);
  EXPECT_EQ(DX_SetValueLabel(h, 2, 3, "beyond"), -1);
  EXPECT_EQ(DX_GetVarTypeExt(h, 0), API_LABELED);
  EXPECT_EQ(DX_GetVarTypeExt(h, 3), API_NUMERIC);
  // Another variable becomes current, then the first again.
  EXPECT_EQ(DX_GetNValueLabels(h, 3), -1);
  int32_t iv = 0;
  const char* label = nullptr;
  EXPECT_EQ(DX_GetValueLabel(h, 0, &iv, &label), -1);
  EXPECT_EQ(DX_GetNValueLabels(h, 0), 2);
  EXPECT_EQ(DX_GetValueLabel(h, 1, &iv, &label), 0);
  EXPECT_EQ(iv, 2);
  EXPECT_STREQ(label, "half");
  double d = 0;
  char lab[16] = "";
  EXPECT_EQ(DX_GetValueLabelExt(h, 1, &d, nullptr, lab, sizeof lab), 1);
  EXPECT_EQ(d, 2.5);
  EXPECT_STREQ(lab, "half");
  // String variables take no integer labels.
  ASSERT_EQ(DX_SetNValueLabels(h, 1, 1), 0);
  EXPECT_EQ(DX_SetValueLabel(h, 0, 1, "x"), -1);
  EXPECT_EQ(DX_SetNValueLabels(h, 0, -1), -1);
  EXPECT_EQ(DX_SetNValueLabels(h, 0, 70000), -1);
}

TEST_F(Dict, RecordLayoutAlignsNumbersAndSizesStrings) {
  struct Var {
    int ttype;
    uint32_t print_width;
    bool selected;
  };
  struct Case {
    const char* what;
    std::vector<Var> vars;
    int32_t max_string;  // option 83
    bool complex;
    std::vector<uint32_t> offsets;  // of the laid-out variables, in order
    std::vector<uint32_t> widths;
    uint32_t length;
  } cases[] = {
      {"string then number", {{1, 3, true}, {6, 8, true}}, 0, false, {0, 16}, {16, 8}, 24},
      {"odd width rounds up", {{1, 4, true}, {1, 0, true}, {2, 1, true}}, 0, false, {0, 24, 32}, {24, 8, 8}, 40},
      {"unselected skipped", {{6, 8, true}, {1, 9, false}, {1, 9, true}}, 0, false, {0, 8}, {8, 40}, 48},
      {"capped by max length", {{1, 300, true}, {7, 10, true}}, 0, false, {0, 1024}, {1020, 8}, 1032},
      {"option 83", {{1, 300, true}, {5, 10, true}}, 100, false, {0, 400}, {400, 8}, 408},
      {"complex values", {{6, 8, true}, {1, 1, true}, {3, 2, true}}, 0, true, {0, 16, 24}, {16, 8, 16}, 40},
      {"undefined type", {{0, 0, true}}, 0, false, {0}, {8}, 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    dict_clear(env->dict);
    ASSERT_TRUE(option_store(*env, 83, c.max_string, nullptr));
    env->options.writer.complex_values = c.complex;
    for (const Var& v : c.vars) {
      VarRecord& r = dict_append_var(env->dict, "v", v.ttype, v.print_width);
      r.selected = v.selected;
    }
    dict_layout_record(*env);
    std::vector<uint32_t> offsets, widths;
    for (auto& v : env->dict.vars)
      if (v->selected) offsets.push_back(v->offset), widths.push_back(v->storage_width);
    EXPECT_EQ(offsets, c.offsets);
    EXPECT_EQ(widths, c.widths);
    EXPECT_EQ(env->dict.record_length, c.length);
    for (auto& v : env->dict.vars)
      if (v->selected && !v->is_string()) {
        EXPECT_EQ(v->offset % 8, 0u);
      }
  }
  env->options.writer.complex_values = 0;
}

TEST_F(Dict, LayoutHonoursNeededAndUserDictionaries) {
  VarRecord& a = dict_append_var(env->dict, "a", T_DOUBLE, 8);
  VarRecord& b = dict_append_var(env->dict, "b", T_DOUBLE, 8);
  b.needed = 1;
  dict_layout_record(*env);
  EXPECT_EQ(a.storage_width, 0u);
  EXPECT_EQ(b.selected, 1);
  EXPECT_EQ(env->dict.laid_out_count, 1);
  // A user dictionary lays out unselected variables too.
  build({{"x", 1, 8, 0}, {"y", 2, 5, 0}});
  DX_SetVarSelect(h, 0, 0);
  double one = 1;
  EXPECT_EQ(DX_SetVarDouble(h, 1, &one), -1);  // string variable
  EXPECT_EQ(env->dict.laid_out_count, 2);
  EXPECT_EQ(env->dict.vars[1]->offset, 8u);
}

TEST_F(Dict, LayoutFollowsLaterSelectionAndTypeChanges) {
  VarRecord& a = dict_append_var(env->dict, "a", T_DOUBLE, 8);
  VarRecord& b = dict_append_var(env->dict, "b", T_DOUBLE, 8);
  a.selected = 1;
  dict_layout_record(*env);
  EXPECT_EQ(env->dict.record_length, 8u);
  // Selected after the layout: the next layout gives it a slot of its own.
  ASSERT_EQ(DX_SetVarSelect(h, 1, 1), 0);
  dict_layout_record(*env);
  EXPECT_EQ(b.offset, 8u);
  EXPECT_EQ(env->dict.record_length, 16u);
  // A number turned into a string gets a string slot before any value lands in it.
  ASSERT_EQ(DX_SetDictVarToString(h, 0, 20), 0);
  ASSERT_EQ(DX_SetVarString(h, 0, "twenty characters!!!"), 0);
  EXPECT_EQ(a.storage_width, 88u);
  char buf[100];
  EXPECT_EQ(DX_CopyVarDataStr(h, 0, buf), 20);
  EXPECT_EQ(b.offset % 8, 0u);
}

TEST_F(Dict, LayoutRejectsUnknownStorageTypes) {
  VarRecord& v = dict_append_var(env->dict, "odd", 12, 8);
  v.selected = 1;
  void* p = nullptr;
  EXPECT_EQ(DX_GetVarData(h, 0, &p, nullptr), -1);
  EXPECT_STREQ(DX_GetErrorMsg(h), "Internal Error -- Unsupported Type 12 - variable: odd");
  EXPECT_FALSE(env->dict.has_record());
}

TEST_F(Dict, ValuesOfTheCurrentCase) {
  build_five();
  double x = 3.14159;
  EXPECT_EQ(DX_SetVarDouble(h, 0, &x), 0);
  EXPECT_EQ(DX_SetVarString(h, 1, "Oslo"), 0);
  void* p = nullptr;
  int32_t type = 0;
  EXPECT_EQ(DX_GetVarData(h, 0, &p, &type), 0);
  EXPECT_EQ(*static_cast<double*>(p), x);
  EXPECT_EQ(type, API_NUMERIC);
  EXPECT_EQ(DX_GetVarData(h, 1, &p, &type), 0);
  EXPECT_STREQ(static_cast<char*>(p), "Oslo");
  double out = 0;
  EXPECT_EQ(DX_CopyVarDataNumb(h, 0, &out), 0);
  EXPECT_EQ(out, x);
  EXPECT_EQ(DX_CopyVarDataNumb(h, 2, &out), -1);  // dates are not plain numbers
  EXPECT_EQ(DX_CopyVarDataNumb(h, 1, &out), -1);
  EXPECT_EQ(copy_str(0), "    3.14");               // "%*.*f" with width 8, 2 decimals
  EXPECT_EQ(copy_str(1), "Oslo");

  // An empty string is missing; missing values copy as empty texts.
  EXPECT_EQ(DX_SetVarString(h, 1, ""), 0);
  EXPECT_EQ(DX_GetVarMissing(h, 1), 1);
  EXPECT_EQ(copy_str(1), "");
  EXPECT_EQ(DX_SetVarMissingExt(h, 0, 27), 0);
  EXPECT_EQ(DX_GetVarMissing(h, 0), 27);
  EXPECT_EQ(DX_GetVarData(h, 0, &p, &type), 1);
  EXPECT_EQ(static_cast<unsigned char*>(p)[0], 0);
  EXPECT_EQ(DX_CopyVarDataNumb(h, 0, &out), 1);
  EXPECT_EQ(DX_SetVarMissingExt(h, 0, 30), -1);
  EXPECT_EQ(DX_SetVarMissingExt(h, 0, 0), -1);

  // Strings are cut to the slot (3 + 1 rounded to 4, times 4 bytes, less the NUL).
  EXPECT_EQ(DX_SetVarString(h, 4, "abcdefghijklmnopqrstuvwxyz"), 0);
  EXPECT_EQ(copy_str(4), "abcdefghijklmno");
  EXPECT_EQ(DX_SetVarData(h, 4, "xyz"), 0);
  EXPECT_EQ(copy_str(4), "xyz");
  double y = -2;
  EXPECT_EQ(DX_SetVarData(h, 3, &y), 0);
  EXPECT_EQ(copy_str(3), "   -2");

  // %g display.
  ASSERT_EQ(DX_UseGFormat(h, 1), 0);
  EXPECT_EQ(copy_str(3), "-2   ");
  x = 1234567.891;
  DX_SetVarDouble(h, 0, &x);
  EXPECT_EQ(copy_str(0), "1234567.89");

  // Unselected variables have no value.
  DX_SetVarSelect(h, 3, 0);
  EXPECT_EQ(DX_GetVarMissing(h, 3), -1);
  EXPECT_EQ(DX_GetVarMissing(h, 9), -2);
}

TEST_F(Dict, NumbersAsText) {
  struct Case {
    int32_t width;
    int32_t decimals;
    double value;
    bool g;
    std::string text;
  } cases[] = {
      {8, 2, 3.14159, false, "    3.14"},
      {2, 3, -1234.5, false, "-1234.500"},  // wider than the print width: nothing is cut
      {0, 0, 0.5, false, "0"},              // rounds to even like the C library
      {6, 0, 1e20, false, "100000000000000000000"},
      {12, 1, 1e-7, true, "1e-07       "},
      {3, 0, 123456789012.0, true, "1.23456789e+11"},
      {5000, 0, 7, false, std::string(1022, ' ') + "7"},  // at most 1023 characters
      {4, 254, 1e300, false, ""},                         // length checked below
  };
  for (const Case& c : cases) {
    build({{"n", API_NUMERIC, c.width, c.decimals}});
    DX_UseGFormat(h, c.g);
    ASSERT_EQ(DX_SetVarDouble(h, 0, &c.value), 0);
    std::string text = copy_str(0);
    if (c.text.empty())
      EXPECT_EQ(text.size(), 301u + 1 + 254);
    else
      EXPECT_EQ(text, c.text) << c.value;
  }
}

TEST_F(Dict, ValuesFromText) {
  build_five();
  struct Case {
    int32_t var;
    const char* text;
    int32_t missing;
    double number;     // numeric variables
    const char* shown; // string variables
  } cases[] = {
      {0, "12.5", 0, 12.5, nullptr},  {0, "  -3 ", 0, -3, nullptr},  {0, "+7", 0, 7, nullptr},
      {0, "1e3", 0, 1000, nullptr},   {0, "abc", 1, 0, nullptr},     {0, "", 1, 0, nullptr},
      {0, "12abc", 1, 0, nullptr},    {0, ".", 1, 0, nullptr},       {0, ".B", 3, 0, nullptr},
      {0, "._", 29, 0, nullptr},      {2, "not a date", 1, 0, nullptr}, {1, "Bergen", 0, 0, "Bergen"},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(DX_SetVarAnyFromStr(h, c.var, c.text), 0) << c.text;
    EXPECT_EQ(DX_GetVarMissing(h, c.var), c.missing) << c.text;
    if (c.missing) continue;
    if (c.shown) {
      EXPECT_EQ(copy_str(c.var), c.shown);
    } else {
      double d = 0;
      ASSERT_EQ(DX_CopyVarDataNumb(h, c.var, &d), 0);
      EXPECT_EQ(d, c.number) << c.text;
    }
  }
  EXPECT_EQ(DX_SetVarAnyFromStr(h, 0, nullptr), -1);
}

TEST_F(Dict, DatesRoundTripThroughTheEnvironmentPatterns) {
  build_five();
  double day = 45000;  // 15 March 2023
  ASSERT_EQ(DX_SetVarDouble(h, 2, &day), 0);
  std::string text = copy_str(2);
  ASSERT_FALSE(text.empty());
  ASSERT_EQ(DX_SetVarAnyFromStr(h, 2, text.c_str()), 0);
  ASSERT_EQ(DX_GetVarMissing(h, 2), 0) << text;
  void* p = nullptr;
  ASSERT_EQ(DX_GetVarData(h, 2, &p, nullptr), 0);
  EXPECT_EQ(*static_cast<double*>(p), day) << text;
}

TEST_F(Dict, LabelOfTheCurrentValue) {
  build_five();
  ASSERT_EQ(DX_SetNValueLabels(h, 0, 4), 0);
  DX_SetValueLabelExt(h, 0, 1, nullptr, "one");
  DX_SetValueLabelExt(h, 1, 2.5, nullptr, "two and a half");
  DX_SetValueLabelExt(h, 2, 0, nullptr, "zero");
  DX_SetMissingValueLabel(h, 3, 3, "not asked");
  ASSERT_EQ(DX_SetNValueLabels(h, 1, 1), 0);
  DX_SetValueLabelExt(h, 0, 0, "NO   ", "Norway");
  struct Case {
    int32_t var;
    const char* text;
    const char* label;
  } cases[] = {{0, "2.5", "two and a half"}, {0, "1", "one"},   {0, "3", ""},   {1, "NO", "Norway"},
               {1, "NO  ", "Norway"},        {1, "NOR", ""},    {0, ".", ""},  {0, ".B", "not asked"}};
  for (const Case& c : cases) {
    DX_SetVarAnyFromStr(h, c.var, c.text);
    void* p = nullptr;
    const char* label = nullptr;
    int32_t type = 0;
    int32_t r = DX_GetVarDataExt(h, c.var, &p, &label, &type);
    EXPECT_EQ(r, c.text[0] == '.' ? 1 : 0);
    EXPECT_STREQ(label, c.label) << c.text;
    EXPECT_EQ(type, *c.label ? API_LABELED : DX_GetVarType(h, c.var)) << c.text;
  }
}

TEST_F(Dict, VisualBasicView) {
  build_five();
  double x = 4.5;
  DX_SetVarDouble(h, 0, &x);
  DX_SetVarString(h, 1, "Oslo");
  DX_SetVarMissing(h, 3);
  struct Case {
    int32_t var;
    double result;
    unsigned char status[4];
    const char* text;
  } cases[] = {{0, 4.5, {0, API_NUMERIC, 0, 0}, ""},
               {1, -99.0, {0, API_STRING, 4, 0}, "Oslo"},
               {3, -99.0, {1, API_NUMERIC, 0, 0}, ""},
               {7, -99.0, {2, 0, 0, 0}, ""}};
  for (const Case& c : cases) {
    char buf[256] = "";
    int32_t status = -1;
    EXPECT_EQ(DX_GetVarDataVB(h, c.var, buf, &status), c.result);
    EXPECT_EQ(std::memcmp(&status, c.status, 4), 0) << c.var;
    EXPECT_STREQ(buf, c.text);
  }
}

TEST_F(Dict, ExtendedAttributes) {
  build_five();
  ExtAttr unit;
  unit.name = "unit";
  unit.has_name = true;
  unit.text = "kg";
  unit.has_text = true;
  unit.type = kAttrString;
  ExtAttr bad;
  bad.has_name = true;  // a name without a length
  bad.number = 2.5;
  bad.type = kAttrNumeric;
  env->dict.vars[0]->ext_attrs.add() = unit;
  env->dict.vars[0]->ext_attrs.add() = bad;
  env->dict.dataset_attrs.add() = unit;

  int32_t count = -1, len = -1, type = -1;
  const char* text = nullptr;
  double d = 0;
  EXPECT_EQ(DX_GetVarExtAttrCount(h, 0, &count), 0);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(DX_GetVarExtAttrName(h, 0, 0, &text, &len), 0);
  EXPECT_STREQ(text, "unit");
  EXPECT_EQ(len, 4);
  EXPECT_EQ(DX_GetVarExtAttrStrValue(h, 0, 0, &text, &len), 0);
  EXPECT_STREQ(text, "kg");
  EXPECT_EQ(DX_GetVarExtAttrType(h, 0, 1, &type), 0);
  EXPECT_EQ(type, static_cast<int32_t>(kAttrNumeric));
  EXPECT_EQ(DX_GetVarExtAttrNumValue(h, 0, 1, &d), 0);
  EXPECT_EQ(d, 2.5);
  EXPECT_EQ(DX_GetDatasetExtAttrCount(h, &count), 0);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(DX_GetDatasetExtAttrName(h, 0, &text, &len), 0);
  EXPECT_STREQ(text, "unit");

  struct Case {
    const char* what;
    int32_t result;
    int32_t expected;
  } cases[] = {
      {"empty name", DX_GetVarExtAttrName(h, 0, 1, &text, &len), -4},
      {"no string value", DX_GetVarExtAttrStrValue(h, 0, 1, &text, &len), -5},
      {"beyond the list", DX_GetVarExtAttrType(h, 0, 2, &type), -6},
      {"negative k", DX_GetVarExtAttrNumValue(h, 0, -1, &d), -6},
      {"no list", DX_GetVarExtAttrCount(h, 1, &count), -3},
      {"no variable", DX_GetVarExtAttrCount(h, 99, &count), -7},
      {"null output", DX_GetVarExtAttrCount(h, 0, nullptr), -2},
      {"empty slot", DX_GetVarExtAttrCount(h + 1, 0, &count), -2},
      {"above the table", DX_GetVarExtAttrCount(100000, 0, &count), -1},
      {"negative handle", DX_GetVarExtAttrCount(-3, 0, &count), -99},
      {"set: above the table", DX_GetDatasetExtAttrCount(100000, &count), -1},
      {"set: null output", DX_GetDatasetExtAttrName(h, 0, nullptr, &len), -2},
      {"set: beyond", DX_GetDatasetExtAttrNumValue(h, 1, &d), -6},
  };
  for (const Case& c : cases) EXPECT_EQ(c.result, c.expected) << c.what;
}

TEST_F(Dict, DatasetInformation) {
  build_five();
  int32_t v = 0;
  char text[300] = "";
  struct Case {
    const char* what;
    int32_t result;
    int32_t expected;
  } cases[] = {
      {"reader count unknown", DX_GetDatasetInfo(h, 0, &v, text), -9},
      {"no file label", DX_GetDatasetInfo(h, 1, &v, text), -9},
      {"above 131", DX_GetDatasetInfo(h, 132, &v, text), -8},
      {"negative what", DX_GetDatasetInfo(h, -1, &v, text), -8},
      {"null outInt", DX_GetDatasetInfo(h, 118, nullptr, text), -1},
      {"above the table", DX_GetDatasetInfo(100000, 118, &v, text), -2},
      {"empty slot", DX_GetDatasetInfo(h + 1, 118, &v, text), -1},
      {"negative handle", DX_GetDatasetInfo(-2, 118, &v, text), -99},
      {"database query", DX_GetDatasetInfo(h, 126, &v, text), -8},
  };
  for (const Case& c : cases) EXPECT_EQ(c.result, c.expected) << c.what;

  EXPECT_EQ(DX_GetDatasetInfo(h, 118, &v, text), 0);
  EXPECT_EQ(v, 1);
  v = 3;
  EXPECT_EQ(DX_GetDatasetInfo(h, 130, &v, text), 0);
  int32_t width = 0;
  std::memcpy(&width, text, sizeof width);
  EXPECT_EQ(width, 5);
  v = 77;
  EXPECT_EQ(DX_GetDatasetInfo(h, 130, &v, text), -11);
  ASSERT_TRUE(option_store(*env, 83, 500, nullptr));
  v = 83;
  EXPECT_EQ(DX_GetDatasetInfo(h, 128, &v, text), 0);
  EXPECT_EQ(v, 500);
  // Encoding counters: totals and the single counters agree.
  env->encoding.input_errors = 2;
  env->encoding.output_errors = 3;
  env->encoding.substitutions = 4;
  struct Counter {
    int32_t what, expected;
  } counters[] = {{103, 5}, {104, 2}, {105, 3}, {106, 0}, {119, 0}, {111, 4}, {120, 4}, {112, 0}, {116, 0}};
  for (const Counter& c : counters) {
    v = -1;
    EXPECT_EQ(DX_GetDatasetInfo(h, c.what, &v, text), 0) << c.what;
    EXPECT_EQ(v, c.expected) << c.what;
  }
  std::strcpy(text, "UTF-8");
  EXPECT_EQ(DX_GetDatasetInfo(h, 123, &v, text), 0);
  EXPECT_EQ(v, 1);
  std::strcpy(text, "no-such-encoding");
  EXPECT_EQ(DX_GetDatasetInfo(h, 124, &v, text), 0);
  EXPECT_EQ(v, 0);

  env->dict.file_label = "Survey of 2023";
  env->dict.has_file_label = true;
  v = 10;
  EXPECT_EQ(DX_GetDatasetInfo(h, 1, &v, text), -10);
  v = 0;
  EXPECT_EQ(DX_GetDatasetInfo(h, 1, &v, text), 0);
  EXPECT_STREQ(text, "Survey of 2023");
  EXPECT_EQ(v, 14);
  EXPECT_EQ(DX_GetNCases(h), -1);
}

TEST_F(Dict, FixedColumnDefinitions) {
  ASSERT_TRUE(option_store(*env, 83, 0, nullptr));  // no maximum string length: widths below 256
  struct Case {
    int32_t var;
    int32_t type;
    int32_t width;
    int32_t decimals;
    int32_t column;
    int32_t result;
  } cases[] = {
      {1, 1, 5, 0, 1, -1},     // no definition started yet
      {0, 1, 5, -2, 1, 0},     {1, 2, 255, 0, 6, 0},  {2, 4, 10, 0, 261, 0},
      {3, 8, 5, 0, 1, -1},     // times are not fixed-column types
      {3, 2, 256, 0, 1, -2},   {3, 2, -1, 0, 1, -2},  {3, 1, 5, 0, -4, -1},
  };
  for (const Case& c : cases)
    EXPECT_EQ(DX_DefineAsciiVar(h, c.var, "v", c.type, c.width, c.decimals, 1, c.column), c.result)
        << c.var << " " << c.type << " " << c.width;
  ASSERT_EQ(env->dict.count(), 3);
  EXPECT_EQ(env->dict.vars[0]->implied_decimals, 2);
  EXPECT_EQ(env->dict.vars[0]->ttype, T_FLOAT);
  EXPECT_EQ(env->dict.vars[2]->fixed_column, 261u);
  // Option 83 raises the width limit.
  ASSERT_TRUE(option_store(*env, 83, 1000, nullptr));
  EXPECT_EQ(DX_DefineAsciiVar(h, 3, "long", 2, 900, 0, 2, 300), 0);
  EXPECT_EQ(DX_DefineAsciiVar(h, 4, "longer", 2, 1001, 0, 2, 300), -2);
  DX_DefineAsciiVar(h, -1, nullptr, 0, 0, 0, 0, 0);
  EXPECT_EQ(env->dict.ascii_line.size(), 1200u + 256u);
  EXPECT_EQ(DX_DefineAsciiVar(h, -1, nullptr, 0, 0, 0, 0, 0), -1);  // nothing being defined
}

// Bad handles, indexes, null pointers and long texts never crash and give the documented code.
TEST_F(Dict, BadInputGivesCodes) {
  build_five();
  const int32_t empty = h + 1, above = 100000;
  char buf[1100];
  void* p = nullptr;
  int32_t i = 0;
  double d = 0;
  const char* s = nullptr;
  std::string long_text(1 << 20, 'L');

  for (int32_t var : {-1, 5, 1 << 30, INT32_MIN}) {
    SCOPED_TRACE(var);
    EXPECT_STREQ(DX_GetVarName(h, var), "");
    EXPECT_STREQ(DX_GetInputVarName(h, var), "");
    EXPECT_STREQ(DX_GetVarLabel(h, var), "");
    EXPECT_EQ(DX_CopyVarName(h, var, buf), -1);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(DX_CopyVarLabel(h, var, buf), -1);
    EXPECT_EQ(DX_VarNameMadeUp(h, var), 0);
    EXPECT_EQ(DX_GetVarType(h, var), -1);
    EXPECT_EQ(DX_GetVarTypeExt(h, var), -1);
    EXPECT_EQ(DX_GetVarPrintWidth(h, var), -1);
    EXPECT_EQ(DX_GetVarNDec(h, var), -1);
    EXPECT_EQ(DX_GetVarSelect(h, var), -1);
    EXPECT_EQ(DX_SetVarSelect(h, var, 1), -1);
    EXPECT_EQ(DX_SetVarLabel(h, var, "x"), -1);
    EXPECT_EQ(DX_SetTType(h, var, 1), -1);
    EXPECT_EQ(DX_SetDictVarToString(h, var, 3), -1);
    EXPECT_EQ(DX_GetVarInfo(h, var, 8, &i), -13);
    EXPECT_EQ(DX_SetVarInfo(h, var, 2, 1, nullptr), -13);
    EXPECT_EQ(DX_GetNValueLabels(h, var), -1);
    EXPECT_EQ(DX_SetNValueLabels(h, var, 1), -1);
    EXPECT_EQ(DX_GetVarData(h, var, &p, &i), -1);
    EXPECT_EQ(DX_GetVarDataExt(h, var, &p, &s, &i), -1);
    EXPECT_EQ(DX_CopyVarDataStr(h, var, buf), -1);
    EXPECT_EQ(DX_CopyVarDataNumb(h, var, &d), -1);
    EXPECT_EQ(DX_SetVarData(h, var, &d), -1);
    EXPECT_EQ(DX_SetVarString(h, var, "x"), -1);
    EXPECT_EQ(DX_SetVarDouble(h, var, &d), -1);
    EXPECT_EQ(DX_SetVarAnyFromStr(h, var, "1"), -1);
    EXPECT_EQ(DX_SetVarMissing(h, var), -1);
    EXPECT_EQ(DX_GetVarMissing(h, var), -2);
    EXPECT_EQ(DX_AddUserVar(h, var, "n", 1, 8, 0), -1);
    EXPECT_EQ(DX_GetNativeFormat(h, var, &s), -1);
  }
  // Null outputs and inputs.
  EXPECT_EQ(DX_CopyVarName(h, 0, nullptr), -1);
  EXPECT_EQ(DX_CopyVarLabel(h, 0, nullptr), -1);
  EXPECT_EQ(DX_GetVarInfo(h, 0, 8, nullptr), -1);
  EXPECT_EQ(DX_GetVarData(h, 0, nullptr, &i), -1);
  EXPECT_EQ(DX_CopyVarDataStr(h, 0, nullptr), -1);
  EXPECT_EQ(DX_CopyVarDataNumb(h, 0, nullptr), -1);
  EXPECT_EQ(DX_SetVarData(h, 0, nullptr), -1);
  EXPECT_EQ(DX_SetVarString(h, 1, nullptr), -1);
  EXPECT_EQ(DX_SetVarDouble(h, 0, nullptr), -1);
  EXPECT_EQ(DX_AddUserVar(h, 0, nullptr, 1, 8, 0), -1);
  EXPECT_EQ(DX_AddUserVar(h, 0, "n", 3, 8, 0), -1);
  EXPECT_EQ(DX_AddUserVar(h, 0, "n", 1, -8, 0), -1);
  EXPECT_EQ(DX_AddUserVar(h, 0, "n", 1, 8, 256), -1);
  EXPECT_EQ(DX_GetNativeFormat(h, 0, nullptr), -1);
  EXPECT_EQ(DX_GetNativeFormat(h, 0, &s), -2);  // not a SAS or SYSTAT input
  ASSERT_EQ(DX_SetNValueLabels(h, 0, 1), 0);
  EXPECT_EQ(DX_GetValueLabel(h, 0, nullptr, &s), -1);
  EXPECT_EQ(DX_GetValueLabelStr(h, 0, &s, nullptr), -1);
  EXPECT_EQ(DX_GetValueLabelExt(h, 0, nullptr, buf, buf, 10), -1);
  EXPECT_EQ(DX_GetValueLabel(h, INT32_MAX, &i, &s), -1);
  EXPECT_EQ(DX_SetValueLabel(h, 0, 1, nullptr), 0);
  EXPECT_EQ(DX_GetValueLabel(h, 0, &i, &s), 0);
  EXPECT_STREQ(s, "");
  EXPECT_EQ(DX_InitUserDict(h, -1), -1);
  EXPECT_EQ(DX_InitUserDict(h, INT32_MAX), -1);
  // Info codes.
  EXPECT_EQ(DX_GetVarInfo(h, 0, 3, &i), -8);
  EXPECT_EQ(DX_GetVarInfo(h, 0, 8, &i), -16);  // not a SAS data set
  EXPECT_EQ(DX_SetVarInfo(h, 0, 7, 0, nullptr), -5);
  EXPECT_EQ(DX_SetVarInfo(h, 0, 1, 0, "%d.%m.%Y"), -14);  // not a date variable
  EXPECT_EQ(DX_SetVarInfo(h, 2, 1, 0, "%d.%m.%Y"), 0);
  EXPECT_EQ(DX_SetVarInfo(h, 0, 4, 7, nullptr), 0);
  EXPECT_EQ(env->dict.vars[0]->output_attrs[1], 7);
  // Long texts are kept whole where nothing limits them, cut where a name is.
  EXPECT_EQ(DX_SetVarLabel(h, 0, long_text.c_str()), 0);
  EXPECT_EQ(DX_CopyVarLabel(h, 0, buf), 1023);
  EXPECT_EQ(DX_AddUserVar(h, 0, long_text.c_str(), 1, 8, 0), 0);
  EXPECT_EQ(DX_CopyVarName(h, 0, buf), 255);
  EXPECT_EQ(DX_SetVarString(h, 1, long_text.c_str()), 0);

  // Handles: outside the table -99, an empty slot -1 (or the function's own code).
  for (int32_t bad : {-7, above}) {
    EXPECT_EQ(DX_GetVarType(bad, 0), -99);
    EXPECT_EQ(DX_SetVarDouble(bad, 0, &d), -99);
    EXPECT_EQ(DX_InitUserDict(bad, 1), -99);
    EXPECT_EQ(DX_GetVarMissing(bad, 0), -99);
    EXPECT_STREQ(DX_GetVarName(bad, 0), "");
    EXPECT_EQ(DX_GetVarDataVB(bad, 0, buf, &i), -99.0);
  }
  EXPECT_EQ(DX_GetVarInfo(above, 0, 8, &i), -2);
  EXPECT_EQ(DX_SetVarInfo(above, 0, 2, 0, nullptr), -2);
  EXPECT_EQ(DX_GetVarInfo(-1, 0, 8, &i), -99);
  EXPECT_EQ(DX_GetVarInfo(empty, 0, 8, &i), -1);
  EXPECT_EQ(DX_GetVarType(empty, 0), -1);
  EXPECT_EQ(DX_SetVarSelectName(empty, "1", 1), -1);
  EXPECT_EQ(DX_GetDatasetExtAttrCount(empty, &i), -2);
  EXPECT_STREQ(DX_GetVarLabel(empty, 0), "");
}

TEST_F(Dict, CloseReleasesTheDictionary) {
  build_five();
  double x = 1;
  DX_SetVarDouble(h, 0, &x);
  EXPECT_TRUE(env->dict.has_record());
  DX_CloseFiles(h);
  EXPECT_EQ(env->dict.count(), 0);
  EXPECT_FALSE(env->dict.has_record());
  EXPECT_STREQ(DX_GetVarName(h, 0), "");
}

}  // namespace
