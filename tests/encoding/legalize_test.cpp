#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dict/dictionary.h"
#include "encoding/case_map.h"
#include "encoding/legalize.h"
#include "encoding/names_pass.h"
#include "encoding_fixture.h"

namespace tabulon::test {
namespace {

using Legalize = EncodingEnv;
using Names = std::vector<std::string>;

const NameRules kNoCase = {8, kCaseModeOption, "A-Za-z", "_A-Za-z0-9", "A-Za-z0-9_", "0-9", "var. names"};

TEST_F(Legalize, RuleSetsPerOutputFormat) {
  struct Case {
    const char* what;
    const NameRules& rules;
    int32_t format;
    Names in;
    Names out;
  } cases[] = {
      {"leading digit", kRulesSpssLong, 0, {"1abc"}, {"v1abc"}},
      {"blank inside", kRulesSpssLong, 0, {"a b"}, {"a_b"}},
      {"full stop at the end", kRulesSpssLong, 0, {"abc."}, {"abc_"}},
      {"two substitutions at the end", kRulesProgram8, 0, {"a%%"}, {"a_"}},
      {"reserved words", kRulesProgram8, 0, {"and", "OR", "x"}, {"variabl0", "variabl1", "x"}},
      {"same name ignoring case", kNoCase, 0, {"Age", "AGE"}, {"Age", "AGE0"}},
      {"suffix cut to the maximum", kRulesSpssShort, 0, {"ABCDEFGH", "abcdefgh"}, {"ABCDEFGH", "ABCDEFG0"}},
      {"insertion cut to the maximum", kRulesProgram8, 0, {"12345678"}, {"v1234567"}},
      {"preserve-mixed", kRulesStata, 14, {"AGE", "Age", "VAR1", "age"}, {"age", "Age0", "VAR1", "age1"}},
      {"underscore is the last set's substitute", kRulesStata, 0, {"ab$"}, {"ab_"}},
      {"forced upper case", kRulesEpiInfo, 0, {"weight kg"}, {"WEIGHT0KG"}},
      {"SAS format names", kRulesSasFormat, 0, {"1fmt", "$yes-no"}, {"$1FMT", "$YES_NO"}},
      {"tags are not made unique", kRulesXmlTag, 0, {"a b", "a b"}, {"a_b", "a_b"}},
      {"empty names stay empty", kRulesSpssLong, 0, {""}, {""}},
      {"multi-byte characters are kept", kRulesSpssLong, 0, {"größe", "Größe"}, {"größe", "Größe0"}},
  };
  for (const Case& c : cases) {
    Names names = c.in;
    int32_t max = c.rules.max_len > 0 ? c.rules.max_len : 8;
    legalize_names(*env, names, c.rules, c.format, false, max);
    EXPECT_EQ(names, c.out) << c.what;
  }
}

TEST_F(Legalize, MessagesNameEveryChange) {
  Names names = {"a b", "1abc", "abc."};
  EXPECT_EQ(legalize_names(*env, names, kRulesSpssLong, 0, false), 3);
  EXPECT_TRUE(logged("Info:\t Variable name [a b] is being changed, the invalid character [ ] will be replaced by [_]."))
      << all_log();
  EXPECT_TRUE(logged("Info:\t Variable name [1abc] will be shifted right to insert the first valid character [v]."));
  EXPECT_TRUE(logged("Info:\t Variable name [abc.] is being changed, the last invalid character [.] will be replaced by [_]."));
  EXPECT_TRUE(logged("Warning:The original name of var.[1abc][4] was changed to [v1abc][5]"));
  Names trimmed = {"a%%"};
  legalize_names(*env, trimmed, kRulesProgram8, 0, false);
  EXPECT_TRUE(logged("Info:\t Variable name [a_0] is being changed, the last substitution character [0] will be trimmed."));
}

// Suffixes count like a spreadsheet's columns: 0..9, 00..99, ... for "0-9".
TEST_F(Legalize, SuffixesRunThroughTheAlphabet) {
  Names dec(12, "x");
  legalize_names(*env, dec, kRulesProgram8, 0, false);
  EXPECT_EQ(dec, (Names{"x", "x0", "x1", "x2", "x3", "x4", "x5", "x6", "x7", "x8", "x9", "x00"}));
  Names hexa(18, "X");
  legalize_names(*env, hexa, kRulesSpssShort, 0, false);
  EXPECT_EQ(hexa[10], "X9");
  EXPECT_EQ(hexa[16], "XF");
  EXPECT_EQ(hexa[17], "X00");
  NameRules wide = kRulesProgram8;
  wide.suffix = "!-~";  // 94 symbols
  Names two = {"q", "q"};
  LegalizeContext ctx;
  EXPECT_EQ(legalize_name(*env, two[0], wide, ctx), kLegalOk);
  EXPECT_EQ(legalize_name(*env, two[1], wide, ctx), kLegalBadSuffix);
}

TEST_F(Legalize, CaseRules) {
  struct Case {
    int32_t rule;
    const char* in;
    const char* out;
  } cases[] = {
      {kCaseLower, "ΑΒΓ", "αβγ"},       {kCaseLower, "Age", "age"},       {kCaseUpper, "straße", "STRAßE"},
      {kCaseUpper, "ｗｉｄｅ", "ＷＩＤＥ"}, {kCasePreserveMixed, "AGE", "age"}, {kCasePreserveMixed, "Age", "Age"},
      {kCasePreserveMixed, "VAR1", "VAR1"}, {kCasePreserveMixed, "ЖУК", "жук"}, {kCasePreserveAlways, "AGE", "AGE"},
      {kCaseLower, "A\xff", "A\xff"},  // not UTF-8: left alone
  };
  for (const Case& c : cases) {
    std::string s = c.in;
    apply_case_rule(*env, s, c.rule, true, false);
    EXPECT_EQ(s, c.out) << c.in;
  }
  EXPECT_TRUE(logged("Info:\tVariable name[Age] will be preserved because it mix upper and lower case (or numbers and letters)."));
  EXPECT_TRUE(logged("Warning: Variable name[AGE] will be lowercased."));
  EXPECT_TRUE(logged("Variable name[straße] will be uppercased."));
  EXPECT_TRUE(logged("was not changed because it contains invalid UTF-8 characters."));
}

TEST(CaseMap, InPlaceNeverGrows) {
  struct Case {
    bool upper;
    const char* in;
    const char* out;
  } cases[] = {
      {false, "ÀÉÎÕÜ", "àéîõü"}, {true, "àéîõü", "ÀÉÎÕÜ"}, {false, "ΣΩ", "σω"},
      {true, "ǆ", "Ǆ"},          {false, "İx", "ix"},      // shorter mapping is written
      {false, "Ⱥ", "Ⱥ"},          // its lower case needs 3 bytes: kept
      {true, "abc", "ABC"},       {false, "", ""},
  };
  for (const Case& c : cases) {
    std::string s = c.in;
    if (c.upper) to_upper_utf8(s.data());
    else to_lower_utf8(s.data());
    EXPECT_STREQ(s.c_str(), c.out) << c.in;
  }
}

TEST(CharSets, MembershipAndRanges) {
  EXPECT_TRUE(in_char_set("vA-Za-z", 'v'));
  EXPECT_TRUE(in_char_set("vA-Za-z", 'Q'));
  EXPECT_FALSE(in_char_set("vA-Za-z", '1'));
  EXPECT_TRUE(in_char_set("_0A-Za-z0-9$@#", '$'));
  EXPECT_FALSE(in_char_set("_0A-Za-z0-9$@#", '.'));
  EXPECT_TRUE(in_char_set("0-9", '0'));
  EXPECT_FALSE(in_char_set("", 'a'));
  EXPECT_TRUE(in_char_set("a-", '-'));  // a trailing hyphen is a character
}

TEST(NameRegistryTest, CaseInsensitiveAndLengthExact) {
  NameRegistry r;
  EXPECT_EQ(NameRegistry::bucket_of("Age", 3), NameRegistry::bucket_of("AGE", 3));
  ASSERT_TRUE(r.add("Age", 3));
  EXPECT_TRUE(r.contains("aGe", 3));
  EXPECT_FALSE(r.contains("Ag", 2));
  EXPECT_FALSE(r.contains("Ages", 4));
  for (int i = 0; i < 1000; ++i) {
    std::string n = "v" + std::to_string(i);
    ASSERT_TRUE(r.add(n.data(), n.size()));
  }
  EXPECT_TRUE(r.contains("V999", 4));
}

TEST_F(Legalize, NamesTheOutputEncodingCannotHoldAreReplaced) {
  ConverterSlot& slot = output_to("ISO-8859-1");
  ASSERT_TRUE(slot.has_descriptor());
  Names names = {"日本", "café", "中文"};
  legalize_names(*env, names, kRulesSpssLong, 0, false);
  EXPECT_EQ(names[0], "variabl0");
  EXPECT_EQ(names[1], "caf\xe9");  // written in the output encoding
  EXPECT_EQ(names[2], "variabl00");  // 64 bytes leave room for the whole base
  EXPECT_TRUE(logged("Warning: The original name of var.[ 日本][6 bytes] couldn't be preserved because of an incorrectly "
                     "chosen output encoding (ISO-8859-1). It was replaced by the automatically generated one."))
      << all_log();
  EXPECT_TRUE(logged("Warning: Some (2) of the var. names were substituted by the automatically generated names, because an "
                     "incorrectly chosen output encoding (ISO-8859-1) does not allow keeping the original var. names."));
  // Stata outputs test the names against ASCII.
  Names stata = {"größe", "height"};
  legalize_names(*env, stata, kRulesStata, 14, true);
  EXPECT_EQ(stata, (Names{"variabl0", "height"}));
}

TEST_F(Legalize, DictionaryPassKeepsInputNames) {
  DictState& d = env->dict;
  for (const char* n : {"1st", "and", "Q 1", "ok"}) dict_append_var(d, n, T_DOUBLE, 8).selected = 1;
  dict_append_var(d, "not selected", T_DOUBLE, 8).selected = 0;
  VarRecord& s = dict_append_var(d, "text", T_STRING, 300);
  s.selected = 1;
  s.output_width = 300;
  EXPECT_EQ(dxi_hs_mangle_names_uni(handle, 8, 0, 255, "vA-Za-z", "_A-Za-z0-9", "0A-Za-z0-9", "0-9", 0), 3);
  EXPECT_EQ(dict_var(d, 0)->name, "v1st");
  EXPECT_EQ(dict_var(d, 0)->input_name, "1st");
  EXPECT_EQ(dict_var(d, 1)->name, "variabl0");
  EXPECT_EQ(dict_var(d, 2)->name, "Q_1");
  EXPECT_EQ(dict_var(d, 3)->name, "ok");
  EXPECT_EQ(dict_var(d, 4)->name, "not selected");
  EXPECT_TRUE(logged("Warning:Variable [text] will be transformed into several new variables"));
  EXPECT_EQ(dxi_hs_mangle_names_uni(handle, 0, 0, 0, "a", "b", "c", nullptr, 0), -1);
}

TEST_F(Legalize, OutputNamePassDropsEmptyValueLabels) {
  set_option(kOptOnEncodingError, 1);  // ignore: unconvertible characters vanish
  ConverterSlot& slot = output_to("ASCII");
  ASSERT_TRUE(slot.has_descriptor());
  VarRecord& v = dict_append_var(env->dict, "q1", T_DOUBLE, 8);
  v.selected = 1;
  v.label = "Größe";
  for (const char* text : {"yes", "日本", "中文"}) {
    ValueLabel vl;
    vl.label = text;
    v.value_labels.push_back(vl);
  }
  convert_output_names(*env, true, true);
  ASSERT_EQ(v.value_labels.size(), 1u);
  EXPECT_EQ(v.value_labels[0].label, "yes");
  EXPECT_EQ(v.label, "Gre");
  EXPECT_TRUE(logged("Warning:2 value labels assigned to the variable [q1] were excluded from the transfer since "
                     "Tabulon does not allow empty value labels."))
      << all_log();
}

}  // namespace
}  // namespace tabulon::test
