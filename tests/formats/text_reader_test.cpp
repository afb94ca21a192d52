// Delimited text input: dictionary guesses and records, driven through the reader itself.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "api/env_record.h"
#include "api/option_slots.h"
#include "dict/dictionary.h"
#include "engine/change_report.h"
#include "formats/text/delimited_reader.h"
#include "tabulon/tabulon.h"
#include "support/format_harness.h"

using namespace tabulon;

namespace {

using Env = test::TestEnv;

// A reader over text held in a temporary file.
struct Input {
  DelimitedReader r;
  explicit Input(EnvRecord& env, const std::string& text, const char* encoding = "UTF-8") {
    FILE* f = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), f);
    std::rewind(f);
    r.file = f;
    delimited_prepare(env, r, file_source(f), encoding);
  }
};

struct Column {
  std::string name;
  int type;
  uint32_t width;
  int decimals;
  bool operator==(const Column& o) const {
    return name == o.name && type == o.type && width == o.width && decimals == o.decimals;
  }
};
std::ostream& operator<<(std::ostream& os, const Column& c) {
  return os << "{" << c.name << " t" << c.type << " w" << c.width << " d" << c.decimals << "}";
}

std::vector<Column> columns(EnvRecord& env) {
  std::vector<Column> out;
  for (int32_t i = 0; i < dict_count(env.dict); ++i) {
    const VarRecord* v = dict_var(env.dict, i);
    out.push_back({v->name, v->ttype, v->print_width, v->decimals});
  }
  return out;
}

// Every record as texts: numbers by %.17g, missing codes as "." / ".b" / "._", strings in <>.
std::vector<std::vector<std::string>> records(EnvRecord& env, DelimitedReader& r, int limit = 1000) {
  dict_layout_record(env);
  std::vector<std::vector<std::string>> out;
  while (limit-- > 0 && delimited_read_record(env, r) == 0) {
    std::vector<std::string> row;
    for (int32_t i = 0; i < dict_count(env.dict); ++i) {
      const VarRecord& v = *dict_var(env.dict, i);
      if (v.missing) {
        const char* t = missing_code_text(v.missing);
        std::string s = t ? t : "?";
        for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        row.push_back(s);
      } else if (v.is_string()) {
        row.push_back("<" + std::string(var_get_string(env.dict, v)) + ">");
      } else {
        char b[64];
        std::snprintf(b, sizeof b, "%.17g", var_get_double(env.dict, v));
        row.push_back(b);
      }
    }
    out.push_back(row);
  }
  return out;
}

using Rows = std::vector<std::vector<std::string>>;

}  // namespace

TEST(TextReaderScan, TypeGuesses) {
  struct Case {
    const char* what;
    std::string text;
    std::vector<Column> want;
  } cases[] = {
      {"names, int, float, string", "a,b,c\n1,2.5,x\n", {{"a", 3, 1, 0}, {"b", 5, 3, 1}, {"c", 1, 1, 0}}},
      {"9 digits long", "n\n123456789\n", {{"n", 4, 9, 0}}},
      {"10 digits double", "n\n1234567890\n", {{"n", 6, 10, 0}}},
      {"15 digits double", "n\n123456789012345\n", {{"n", 6, 15, 0}}},
      {"16 digits string", "n\n1234567890123456\n", {{"n", 1, 16, 0}}},
      {"empty column", "a,b,c\n1,,3\n4,,6\n", {{"a", 3, 1, 0}, {"b", 6, 15, 0}, {"c", 3, 1, 0}}},
      {"more decimals win", "x\n1.5\n2.25\n3\n", {{"x", 5, 4, 2}}},
      {"quoted numbers are text", "q\n\"12\"\n", {{"q", 1, 2, 0}}},
      {"no names row", "1,2\n3,4\n", {{"Col1", 3, 1, 0}, {"Col2", 3, 1, 0}}},
      {"names when only one column says so", "id,x\nname,1\n", {{"id", 1, 4, 0}, {"x", 3, 1, 0}}},
      // Dates alone do not show a names row (they are not numbers): the number column does.
      {"dates", "n,d,t,dt\n1,01/02/2020,12:30,01/02/2020 12:30:05\n",
       {{"n", 3, 1, 0}, {"d", 7, 10, 0}, {"t", 8, 5, 0}, {"dt", 9, 19, 0}}},
      {"dates without a number column", "d\n01/02/2020\n", {{"Col1", 1, 10, 0}}},
      {"ragged lines", "a,b\n1\n2,3,4\n", {{"a", 3, 1, 0}, {"b", 3, 1, 0}, {"Col3", 3, 1, 0}}},
      {"negative numbers", "v\n-12\n", {{"v", 3, 3, 0}}},
      // Times are durations: past a day and below zero, first or later in the column.
      {"durations", "n,t,u\n1,25:00:00,-01:00:00\n2,-01:00:00,72:00:05\n3,72:00:05,12:30\n",
       {{"n", 3, 1, 0}, {"t", 8, 9, 0}, {"u", 8, 9, 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Env e;
    Input in(*e.env, c.text);
    ASSERT_EQ(delimited_scan(*e.env, in.r), 0);
    EXPECT_EQ(columns(*e.env), c.want);
  }
}

TEST(TextReaderScan, EmptyFileHasNoDictionary) {
  for (const char* text : {"", "\n\n\n", "   \n"}) {
    Env e;
    Input in(*e.env, text);
    EXPECT_EQ(delimited_scan(*e.env, in.r), -1);
  }
}

TEST(TextReaderScan, DelimiterGuess) {
  struct Case {
    std::string text;
    char want;
    int columns;
  } cases[] = {
      {"a,b,c\n1,2,3\n", ',', 3},
      {"a\tb\tc\n1\t2\t3\n", '\t', 3},
      {"a;b;c\n1;2;3\n", ';', 3},
      {"a|b|c\n1|2|3\n", '|', 3},
      {"a b c\n1 2 3\n", ' ', 3},
      {"a;b;c\n1,5;2,5;3\n", ';', 3},
      {"a;b\n1,5;2\n", ' ', 1},  // two semicolons are too few, one comma loses to them
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Env e;
    e.env->options.text.delimiter_autosense = 1;
    Input in(*e.env, c.text);
    ASSERT_EQ(delimited_scan(*e.env, in.r), 0);
    EXPECT_EQ(in.r.s.read_delimiter, c.want);
    EXPECT_EQ(dict_count(e.env->dict), c.columns);
  }
}

TEST(TextReaderRecords, ValuesAndSettings) {
  struct Case {
    const char* what;
    std::string text;
    void (*setup)(EnvRecord&);
    Rows want;
  } cases[] = {
      {"basic", "a,b,c\n1,2.5,x\n-3,4,yy\n", nullptr, {{"1", "2.5", "<x>"}, {"-3", "4", "<yy>"}}},
      {"durations", "n,t\n1,25:00:00\n2,-01:00:00\n3,72:00:05\n4,-00:00:00.5\n", nullptr,
       {{"1", "1.0416666666666667"}, {"2", "-0.041666666666666664"}, {"3", "3.0000578703703704"},
        {"4", "-5.7870370370370367e-06"}}},
      {"doubled quotes and delimiters in quotes", "s,n\n\"say \"\"hi\"\", ok\",1\n\"\",2\n", nullptr,
       {{"<say \"hi\", ok>", "1"}, {".", "2"}}},
      {"quoted line break joins lines", "s,n\n\"two\nlines\",1\n", nullptr, {{"<two\nlines>", "1"}}},
      // Joining does not depend on the delimiter.
      {"quoted line break, tabs", "a\tb\n1\t\"x\ny\"\n2\tz\n", nullptr, {{"1", "<x\ny>"}, {"2", "<z>"}}},
      {"quoted line break, semicolons", "a;b\n1;\"x\ny\"\n2;z\n3;w\n", nullptr,
       {{"1", "<x\ny>"}, {"2", "<z>"}, {"3", "<w>"}}},
      {"quoted CR LF, vertical bars", "a|b\r\n1|\"x\r\ny\"\r\n2|z\r\n", [](EnvRecord& env) {
         env.options.text.read_delimiter = '|';
         env.options.text.delimiter_given = 1;
       },
       {{"1", "<x\r\ny>"}, {"2", "<z>"}}},
      {"doubled quote before a quoted line break", "a,b\n1,\"x\"\"\ny\"\n2,z\n", nullptr,
       {{"1", "<x\"\ny>"}, {"2", "<z>"}}},
      // A quote inside unquoted text opens nothing.
      {"stray quote inside a field", "a,b\n1,5'11\"\n2,6'1\"\n", nullptr, {{"1", "<5'11\">"}, {"2", "<6'1\">"}}},
      // Blank lines around the names line are not data, under every blank-row choice.
      {"blank line after the names, stop", "a,b,c\n\n1,2,x\n3,4,y\n",
       [](EnvRecord& env) { option_store(env, 143, 0, nullptr); }, {{"1", "2", "<x>"}, {"3", "4", "<y>"}}},
      {"blank line after the names, skip", "a,b,c\n\n1,2,x\n3,4,y\n",
       [](EnvRecord& env) { option_store(env, 143, 1, nullptr); }, {{"1", "2", "<x>"}, {"3", "4", "<y>"}}},
      {"blank line after the names, use", "a,b,c\n\n1,2,x\n\n3,4,y\n",
       [](EnvRecord& env) { option_store(env, 143, 2, nullptr); },
       {{"1", "2", "<x>"}, {".", ".", "."}, {"3", "4", "<y>"}}},
      {"blank lines before the names", "\n\na,b\n1,2\n", [](EnvRecord& env) { option_store(env, 143, 2, nullptr); },
       {{"1", "2"}}},
      // Grouping marks stand only between groups of three digits.
      {"1234,5 is no number with semicolons", "x;y\n1234,5;1\n7;2\n", [](EnvRecord& env) {
         env.options.text.names_autosense = 0;
         env.options.text.names_row = 1;
       },
       {{"<1234,5>", "1"}, {"<7>", "2"}}},
      {"grouped thousands", "x;y\n1,234,567;1\n7;2\n", nullptr, {{"1234567", "1"}, {"7", "2"}}},
      {"decimal comma",
       "a;b\n1,234;2\n5;6\n",
       [](EnvRecord& env) {
         env.options.text.decimal_point = ',';
         env.options.text.thousands_sep = '.';
         env.options.text.read_delimiter = ';';
         env.options.text.delimiter_given = 1;
       },
       {{"1.234", "2"}, {"5", "6"}}},
      {"tab delimiter keeps empty fields", "a\tb\tc\n\t2\t3\n1\t\t\n", [](EnvRecord& env) {
         env.options.text.read_delimiter = '\t';
         env.options.text.delimiter_given = 1;
       },
       {{".", "2", "3"}, {"1", ".", "."}}},
      // Only the first two lines are scanned: the long line's extra fields are ignored.
      {"short and long lines", "a,b,c\n1\n1,2,3,4,5\n", [](EnvRecord& env) { env.options.text.look_max_lines = 2; },
       {{"1", ".", "."}, {"1", "2", "3"}}},
      {"longest scanned line decides the columns", "a,b\n1\n1,2,3\n", nullptr, {{"1", ".", "."}, {"1", "2", "3"}}},
      {"bad cells are missing", "a,b\n1,2\nx,3\n", [](EnvRecord& env) { env.options.text.look_max_lines = 2; },
       {{"1", "2"}, {".", "3"}}},
      {"missing-value text",
       "a,b\n1,NA\nNA,2\n",
       [](EnvRecord& env) {
         env.options.text.na_read = "NA";
         env.options.text.na_read_set = 1;
       },
       {{"1", "."}, {".", "2"}}},
      {"extended missing values",
       "a,b\n1,.b\n._,.\n2,.z\n",
       [](EnvRecord& env) { env.options.text.na_read_extended = 1; },
       {{"1", ".b"}, {"._", "."}, {"2", ".z"}}},
      {"without extended missing .b is a bad cell", "a,b\n1,2\n.b,3\n",
       [](EnvRecord& env) { env.options.text.look_max_lines = 2; }, {{"1", "2"}, {".", "3"}}},
      {"blank rows: stop", "a,b\n1,2\n\n3,4\n", [](EnvRecord& env) { option_store(env, 143, 0, nullptr); },
       {{"1", "2"}}},
      {"blank rows: skip", "a,b\n1,2\n\n3,4\n", [](EnvRecord& env) { option_store(env, 143, 1, nullptr); },
       {{"1", "2"}, {"3", "4"}}},
      {"blank rows: use", "a,b\n1,2\n\n3,4\n", [](EnvRecord& env) { option_store(env, 143, 2, nullptr); },
       {{"1", "2"}, {".", "."}, {"3", "4"}}},
      {"skip rows", "junk line\nmore junk\na,b\n1,2\n", [](EnvRecord& env) { option_store(env, 127, 2, nullptr); },
       {{"1", "2"}}},
      {"row and column range",
       "a,b,c,d\n1,2,3,4\n5,6,7,8\n9,10,11,12\n",
       [](EnvRecord& env) {
         env.options.text.range_first_row = 1;
         env.options.text.range_last_row = 3;
         env.options.text.range_first_col = 2;
         env.options.text.range_last_col = 3;
       },
       {{"2", "3"}, {"6", "7"}}},
      {"labels in second row", "a,b\nFirst,Second\n1,2\n", [](EnvRecord& env) {
         option_store(env, 128, 1, nullptr);
         env.options.text.names_autosense = 0;
         env.options.text.names_row = 1;
       },
       {{"1", "2"}}},
      {"combined blanks", "a   b\n1    2\n", [](EnvRecord& env) { option_store(env, 11, 2, nullptr); },
       {{"1", "2"}}},
      {"currency and thousands", "p\n\"$1,234.50\"\n$7\n", nullptr, {{"<$1,234.50>"}, {"<$7>"}}},
      {"currency unquoted", "p,q\n$1,234.50,1\n", [](EnvRecord& env) { env.options.text.read_delimiter = ';';
         env.options.text.delimiter_given = 1; },
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Env e;
    if (c.setup) c.setup(*e.env);
    Input in(*e.env, c.text);
    ASSERT_EQ(delimited_scan(*e.env, in.r), 0);
    if (std::string(c.what) == "currency unquoted") {
      // One column with ';' as the delimiter: the whole line is one string.
      ASSERT_EQ(dict_count(e.env->dict), 1);
      continue;
    }
    EXPECT_EQ(records(*e.env, in.r), c.want);
  }
}

TEST(TextReaderScan, BlankLineAfterTheNamesKeepsThem) {
  Env e;
  Input in(*e.env, "a,b,c\n\n1,2,x\n");
  ASSERT_EQ(delimited_scan(*e.env, in.r), 0);
  const std::vector<Column> cols = columns(*e.env);
  ASSERT_EQ(cols.size(), 3u);
  EXPECT_EQ(cols[0].name, "a");
  EXPECT_EQ(cols[2].name, "c");
  EXPECT_NE(cols[0].type, 1);
}

// Long strings are read whole; what the maximum string length (option 83) cuts, or what
// outgrows the scanned width, is counted once per variable.
TEST(TextReaderRecords, LongStringsAndTheirCuts) {
  const std::string long_text(5000, 'x');
  struct Case {
    const char* what;
    int32_t max_length;  // option 83; 0 = as it comes
    uint32_t scan_lines;
    size_t want_len;
    int64_t want_cut;
  } cases[] = {
      {"read whole", 0, 16, 5000, 0},
      {"cut on request", 100, 16, 399, 1},
      {"wider than the scan saw", 0, 2, 15, 1},  // width 2: a slot of 4 x 4 bytes
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Env e;
    if (c.max_length) DX_SetOption(e.handle, kOptMaxStringLength, c.max_length, nullptr);
    e.env->options.text.look_max_lines = static_cast<int32_t>(c.scan_lines);
    Input in(*e.env, "n,s\n1,ab\n2," + long_text + "\n");
    ASSERT_EQ(delimited_scan(*e.env, in.r), 0);
    const Rows rows = records(*e.env, in.r);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1][1].size(), c.want_len + 2);
    EXPECT_EQ(change_total(*e.env, ChangeKind::StringCut), c.want_cut);
  }
}

TEST(TextReaderRecords, CellsTheScanDidNotSeeAreCountedWhenUnreadable) {
  // The scan reads the first two lines: "n" is a number, "d" a date. Later cells that are
  // neither become missing and are counted ("." too: it is no missing-value marker unless the
  // settings make it one); blank cells are plain missing.
  Env e;
  e.env->options.text.look_max_lines = 2;
  Input in(*e.env, "n,d\n1,1/2/2020\nabc,1/3/2020\n,someday\n.,\n4,1/5/2020\n");
  ASSERT_EQ(delimited_scan(*e.env, in.r), 0);
  ASSERT_EQ(dict_var(e.env->dict, 1)->ttype, T_DATE);
  const Rows rows = records(*e.env, in.r);
  ASSERT_EQ(rows.size(), 5u);
  EXPECT_EQ(change_total(*e.env, ChangeKind::Unreadable), 3);
  const std::string summary = change_summary(*e.env);
  EXPECT_NE(summary.find("3 unreadable values read as missing in 2 variables"), std::string::npos) << summary;
}

TEST(TextReaderRecords, LabelsFromSecondRow) {
  Env e;
  option_store(*e.env, 128, 1, nullptr);
  Input in(*e.env, "a,b\nFirst label,\n1,2\n");
  ASSERT_EQ(delimited_scan(*e.env, in.r), 0);
  EXPECT_EQ(dict_var(e.env->dict, 0)->label, "First label");
  EXPECT_EQ(dict_var(e.env->dict, 1)->label, "");
  EXPECT_EQ(records(*e.env, in.r), (Rows{{"1", "2"}}));
}

TEST(TextReaderRecords, CenturyCutoffOfTwoDigitYears) {
  // Day numbers: 1 Jan 2019 = 43466, 1 Jan 1920 = 7306.
  struct Case {
    bool legacy;
    const char* text;
    const char* want;
  } cases[] = {
      {false, "n,d\n1,01/01/19\n", "43466"},
      {false, "n,d\n1,01/01/20\n", "7306"},
      {true, "n,d\n1,01/01/19\n", "43466"},
      {true, "n,d\n1,01/01/20\n", "7306"},
      {true, "n,d\n1,Jan/01/2019\n", "43466"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Env e;
    e.env->options.text.legacy_dates = c.legacy;
    Input in(*e.env, c.text);
    ASSERT_EQ(delimited_scan(*e.env, in.r), 0);
    ASSERT_EQ(dict_var(e.env->dict, 1)->ttype, T_DATE);
    EXPECT_EQ(records(*e.env, in.r), (Rows{{"1", c.want}}));
  }
}

TEST(TextReaderRecords, RewindReturnsToTheDataStart) {
  Env e;
  option_store(*e.env, 127, 1, nullptr);
  Input in(*e.env, "title\nx\n1\n2\n");
  ASSERT_EQ(delimited_scan(*e.env, in.r), 0);
  Rows first = records(*e.env, in.r);
  rdline_rewind(*in.r.rd);
  in.r.lines_read = 0;
  EXPECT_EQ(records(*e.env, in.r), first);
  EXPECT_EQ(first, (Rows{{"1"}, {"2"}}));
}

// The scan skips the date parse for plain numbers under the built-in scan patterns; that
// only holds while those patterns cannot match such a cell.
TEST(TextReaderScan, BuiltInScanPatternsNeverTakePlainNumbers) {
  Env e;
  for (const char* text : {kDefaultParsePattern, "[%m[/]%d[/][,]%y] [%H:%M[:%S[.%N]][%p][[(]%3c[)]]]"}) {
    SCOPED_TRACE(text);
    ASSERT_TRUE(scan_pattern_skips_numbers(text));
    ParsePattern pattern;
    compile_parse_pattern(text, &pattern);
    DateCellParser p;
    p.names = &e.env->dates.names;
    p.scan = &pattern;
    std::vector<std::string> cells;
    for (long v = 0; v < 200000; v += 7) cells.push_back(std::to_string(v));
    for (long v = 100000; v < 100000000; v += 9973) cells.push_back(std::to_string(v));
    for (int k = 0; k < 40000; ++k) {
      char b[32];
      std::snprintf(b, sizeof b, "%s%.*f", k % 3 ? "" : "-", 1 + k % 4, k / 37.0);
      cells.push_back(b);
    }
    for (const std::string& c : cells) {
      double day;
      ASSERT_EQ(parse_date_cell(p, 0, c.data(), c.size(), &day), 0) << c;
    }
  }
}
