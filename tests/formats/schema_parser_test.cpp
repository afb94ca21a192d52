// The schema language: words, statements, variable specifications and every error text.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "api/env_record.h"
#include "api/raise.h"
#include "dict/dictionary.h"
#include "formats/text/schema_parser.h"
#include "tabulon/tabulon.h"
#include "support/format_harness.h"

using namespace tabulon;

namespace {

using Env = test::TestEnv;

// Parses a schema text; returns "" or the message the parser raised.
std::string parse(Env& e, const std::string& text, SchemaInfo& info) {
  TextLines lines{&text, 0};
  try {
    parse_schema(*e.env, lines.source(), info);
  } catch (const RaisedError&) {
    const char* m = DX_GetErrorMsg(e.handle);
    return m ? m : "?";
  }
  return "";
}

struct Var {
  std::string name;
  int ttype;
  uint32_t width;
  uint32_t column;  // 1-based
  int line;
  int implied;
  bool operator==(const Var& o) const {
    return name == o.name && ttype == o.ttype && width == o.width && column == o.column && line == o.line &&
           implied == o.implied;
  }
};
std::ostream& operator<<(std::ostream& os, const Var& v) {
  return os << "{" << v.name << " t" << v.ttype << " w" << v.width << " c" << v.column << " l" << v.line << " i"
            << v.implied << "}";
}

std::vector<Var> vars(const SchemaInfo& info) {
  std::vector<Var> out;
  for (const SchemaVar& sv : info.vars)
    out.push_back({sv.var->name, sv.var->ttype, sv.width, sv.column + 1, sv.line, sv.implied});
  return out;
}

TEST(SchemaParser, VariableSpecifications) {
  struct Case {
    const char* schema;
    std::vector<Var> expected;
  } cases[] = {
      {"data list a b c 1-30", {{"a", 5, 10, 1, 0, 0}, {"b", 5, 10, 11, 0, 0}, {"c", 5, 10, 21, 0, 0}}},
      {"data list x1 to x3 1-3", {{"x1", 5, 1, 1, 0, 0}, {"x2", 5, 1, 2, 0, 0}, {"x3", 5, 1, 3, 0, 0}}},
      {"DATA LIST q08 to q10 1-6", {{"q08", 5, 2, 1, 0, 0}, {"q09", 5, 2, 3, 0, 0}, {"q10", 5, 2, 5, 0, 0}}},
      {"data list amount 1-8 (F8.2) name 9-20 (A) n 21-23 (i)",
       {{"amount", 5, 8, 1, 0, 2}, {"name", 1, 12, 9, 0, 0}, {"n", 3, 3, 21, 0, 0}}},
      // Types glued to the columns, the other letters, a single column.
      {"data list a 1-2(b) b 3-6(l) c 7-14(d) d 15 (s)",
       {{"a", 2, 2, 1, 0, 0}, {"b", 4, 4, 3, 0, 0}, {"c", 6, 8, 7, 0, 0}, {"d", 1, 1, 15, 0, 0}}},
      // Lines of a multi-line record.
      {"data list lrecl 80 a 1-2 / b 1-3 /4 c 5-6", {{"a", 5, 2, 1, 0, 0}, {"b", 5, 3, 1, 1, 0}, {"c", 5, 2, 5, 3, 0}}},
      {"data list a 1-2 /b 1-3", {{"a", 5, 2, 1, 0, 0}, {"b", 5, 3, 1, 1, 0}}},
      // Date patterns decide the kind.
      {"data list d 1-10 (%m/%d/%Y) t 11-18 (%H:%M:%S) dt 19-37 (%Y-%m-%d %H:%M:%S)",
       {{"d", 7, 10, 1, 0, 0}, {"t", 8, 8, 11, 0, 0}, {"dt", 9, 19, 19, 0, 0}}},
  };
  for (const Case& c : cases) {
    Env e;
    SchemaInfo info;
    ASSERT_EQ(parse(e, c.schema, info), "") << c.schema;
    EXPECT_EQ(vars(info), c.expected) << c.schema;
  }
}

TEST(SchemaParser, LinesCommentsAndContinuations) {
  Env e;
  SchemaInfo info;
  const std::string text =
      "// a schema\n"
      "FILE   mydata.dat   // the data\n"
      "\n"
      "data list\n"
      "    a 1-2   // first\n"
      "\tb 3-4 {Label of b}\n"
      "+c 5-6\n"  // "+" starts a statement: "c" is not a statement word
      ;
  EXPECT_EQ(parse(e, text, info), "Parse Error at line 7 - Cannot understand word: c");
  ASSERT_EQ(info.vars.size(), 2u);
  EXPECT_EQ(info.data_file, "mydata.dat");
  EXPECT_EQ(info.vars[1].var->label, "Label of b");

  Env e2;
  SchemaInfo info2;
  const std::string text2 =
      "data list a 1-2\r\n"
      "  b 3-4.\r\n"
      "variable labels a 'it''s a' b \"say \"\"hi\"\"\" .\r\n"
      "first line 3\n"
      "encoding latin1\n"
      "data\n"
      "0102\n";
  ASSERT_EQ(parse(e2, text2, info2), "");
  EXPECT_EQ(vars(info2), (std::vector<Var>{{"a", 5, 2, 1, 0, 0}, {"b", 5, 2, 3, 0, 0}}));
  EXPECT_EQ(info2.vars[0].var->label, "it's a");
  EXPECT_EQ(info2.vars[1].var->label, "say \"hi\"");
  EXPECT_EQ(info2.first_line, 3);
  EXPECT_EQ(info2.encoding, "latin1");
  EXPECT_TRUE(info2.inline_data);
}

TEST(SchemaParser, FormatStatement) {
  struct Case {
    const char* statement;
    bool delimited;
    char delimiter;
  } cases[] = {
      {"format delimited commas", true, ','}, {"FORMAT free tabs", true, '\t'},
      {"format delimited spaces", true, ' '}, {"format delimited semicolons", true, ';'},
      {"format delimited \\|", true, '|'},    {"format delimited |", true, '|'},
      {"format fixed", false, ','},
  };
  for (const Case& c : cases) {
    Env e;
    SchemaInfo info;
    const char* list = c.delimited ? "\ndata list a (A10) b (F8.2) c\n" : "\ndata list a 1-10\n";
    ASSERT_EQ(parse(e, std::string(c.statement) + list, info), "") << c.statement;
    EXPECT_EQ(info.delimited, c.delimited) << c.statement;
    if (c.delimited) {
      EXPECT_EQ(info.delimiter, c.delimiter) << c.statement;
      // Delimited: each name stands alone, widths from the type, decimals for display only.
      EXPECT_EQ(vars(info), (std::vector<Var>{{"a", 1, 10, 1, 0, 0}, {"b", 5, 8, 1, 0, 0}, {"c", 5, 15, 1, 0, 0}}));
      EXPECT_EQ(info.vars[1].var->decimals, 2);
    }
  }
}

TEST(SchemaParser, MissingValues) {
  struct Case {
    const char* word;
    std::vector<double> missing, present;
  } cases[] = {
      {"[-9,>=90,<=99]", {-9, 90, 95.5, 99}, {-8, 89.9, 99.1, 0}},
      {"[-9, >=90, <=99]", {-9, 90, 95.5, 99}, {-8, 89.9, 99.1, 0}},
      {"[<0]", {-0.5}, {0, 1}},
      {"[>100]", {100.5}, {100}},
      {"[<=5, 8]", {5, -3, 8}, {6, 7}},
      {"[>= 7]", {7, 1000}, {6.99}},
      {"[1,2,3]", {1, 2, 3.0000001}, {4}},
      // ">=" then a lower "<=" stays two entries.
      {"[>=90,<=10]", {95, 5}, {50}},
  };
  for (const Case& c : cases) {
    Env e;
    SchemaInfo info;
    ASSERT_EQ(parse(e, std::string("data list x 1-3 ") + c.word + "\n", info), "") << c.word;
    const MissingSpec& m = info.vars.at(0).missing;
    for (double x : c.missing) EXPECT_TRUE(missing_matches(m, x, 0)) << c.word << " " << x;
    for (double x : c.present) EXPECT_FALSE(missing_matches(m, x, 0)) << c.word << " " << x;
  }
  // The user-missing mode limits the entries: first only, then none.
  Env e;
  SchemaInfo info;
  ASSERT_EQ(parse(e, "data list x 1-3 [-9,>=90,<=99]\n", info), "");
  const MissingSpec& m = info.vars[0].missing;
  EXPECT_EQ(m.count, 2);
  EXPECT_TRUE(missing_matches(m, -9, 1));
  EXPECT_FALSE(missing_matches(m, 95, 1));
  EXPECT_FALSE(missing_matches(m, -9, 2));
}

TEST(SchemaParser, ValueLabelsAndAttributes) {
  Env e;
  SchemaInfo info;
  const std::string text =
      "data list sex 1 \\yn name 2-13 (A) \\names q1 to q2 14-15 \\yn\n"
      "value labels \\yn 1 'yes' 2 \"no\"\n"
      "  \\names 'Ann   ' \"Anne\" 'Bob' 'Robert'\n"
      "attributes sex role 'input' q1 weight 2.5\n";
  ASSERT_EQ(parse(e, text, info), "");
  const VarRecord& sex = *info.vars[0].var;
  ASSERT_EQ(sex.value_labels.size(), 2u);
  EXPECT_EQ(sex.value_labels[1].value, 2);
  EXPECT_EQ(sex.value_labels[1].label, "no");
  EXPECT_EQ(info.vars[3].var->value_labels.size(), 2u);  // q2 shares the set
  const VarRecord& name = *info.vars[1].var;
  ASSERT_EQ(name.value_labels.size(), 2u);
  EXPECT_TRUE(name.value_labels[0].has_text);
  EXPECT_EQ(name.value_labels[0].text, "Ann");
  EXPECT_EQ(name.value_labels[1].label, "Robert");
  EXPECT_TRUE(e.env->dict.value_labels_present);
  ASSERT_EQ(sex.ext_attrs.items.size(), 1u);
  EXPECT_EQ(sex.ext_attrs.items[0].text, "input");
  ASSERT_EQ(info.vars[2].var->ext_attrs.items.size(), 1u);
  EXPECT_EQ(info.vars[2].var->ext_attrs.items[0].number, 2.5);
}

TEST(SchemaParser, ErrorTexts) {
  struct Case {
    const char* schema;
    const char* message;
  } cases[] = {
      {"format\n", "Schema Error at line 1 - Expecting format type 'fixed' or 'delimited'"},
      {"format other\n", "Schema Error at line 1 - Expecting format type 'fixed' or 'delimited'"},
      {"\nformat delimited\n", "Schema Error at line 2 - Expecting delmiter specification after \"delimited\" keyword"},
      {"format delimited pipes\n", "Schema Error at line 1 - Do not recognize delimiter 'pipes;"},
      {"data list lrecl 0 a 1-2\n", "Schema Error at line 1 - Invalid record length 0"},
      {"data list lrecl 64001 a 1-2\n", "Schema Error at line 1 - Invalid record length 64001"},
      {"data list a\n  (A) 1-2\n", "Schema Error at line 2 - expecting column specification - read: (A"},
      {"data list a b-c\n", "Schema Error at line 1 - expecting column specification - read: "},
      {"data list a 5-3\n", "Schema Error at line 1 - expecting column specification - read: 5-3"},
      {"data list a 1-2 (F8.11)\n", "Schema Error at line 1 - Implied decimal points must be in the range 1-10"},
      {"data list a 1-2 [1,x]\n", "Schema Error at line 1 - Error in Missing Values: 1,x"},
      {"data list a 1-2 [1,2,3,4]\n", "Schema Error at line 1 - Error in Missing Values: 1,2,3,4"},
      {"value labels \\a 1 'x'\n", "Schema Error at line 1 - Data list must preceed value lables statement"},
      {"variable labels a 'x'\n", "Schema Error at line 1 - Data list must preceed variable labels statement"},
      {"attributes a b c\n", "Schema Error at line 1 - Data list must preceed the Attribute statement"},
      {"data list a 1-2\nvalue labels a 1 'x'\n", "Schema Error at line 2 - Expecting a label tag starting with \\"},
      {"data list a 1-2\nvariable labels b 'x'\n",
       "Schema Error at line 2 - Problem in Variable Label - invalid variable name: b"},
      {"data list a 1-2\nvariable labels a\n", "Schema Error at line 2 - Problem in Variable Label - Missing label"},
      {"data list a 1-2\nattributes z r 1\n", "Schema Error at line 2 - Problem in Attributes - invalid name: z"},
      {"data list a 1-2\nattributes a\n", "Schema Error at line 2 - Problem in Attribute - Missing Attribute Name"},
      {"data list a 1-2 \\t\nvalue labels \\t 'x' 'y'\n", "Attempt to apply string label to numeric variable: a"},
      {"data list a 1-2\n\n  // note\nsomething else\n", "Parse Error at line 4 - Cannot understand word: something"},
  };
  for (const Case& c : cases) {
    Env e;
    SchemaInfo info;
    EXPECT_EQ(parse(e, c.schema, info), c.message) << c.schema;
  }
  Env e;
  SchemaInfo info;
  const std::string longname = std::string(256, 'n');
  EXPECT_EQ(parse(e, "data list\n " + longname + " 1-2\n", info),
            "Schema Error at line 2 - Variable name [" + longname + "] is too long");
}

// Cut-off and scrambled schemas end in an error or a dictionary, never in a crash.
TEST(SchemaParser, BrokenSchemasNeverCrash) {
  const std::string good =
      "format fixed\nfile x.dat\ndata list lrecl 100 a b 1-10 (F5.2) [1,>=2,<=3] {lab} \\t /2 s 1-4 (A)\n"
      "value labels \\t 1 'one' 2 'two'\nvariable labels a 'A' s \"S\"\nattributes a r 'v'\ndata\n1234\n";
  std::vector<std::string> inputs;
  for (size_t n = 0; n <= good.size(); ++n) inputs.push_back(good.substr(0, n));
  unsigned seed = 7;
  for (int k = 0; k < 300; ++k) {
    std::string s = good;
    for (int j = 0; j < 4; ++j) {
      seed = seed * 1103515245u + 12345u;
      const size_t at = (seed >> 8) % s.size();
      const char kChars[] = "()[]{}\\'\"/-., \n~%<>=0a";
      s[at] = kChars[(seed >> 20) % (sizeof kChars - 1)];
    }
    inputs.push_back(s);
  }
  for (const std::string& s : inputs) {
    Env e;
    SchemaInfo info;
    parse(e, s, info);
    EXPECT_EQ(info.vars.size(), static_cast<size_t>(dict_count(e.env->dict)));
  }
}

}  // namespace
