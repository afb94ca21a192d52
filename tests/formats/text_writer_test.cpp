// Text output: delimited, fixed-column and HTML records, the ".SCH" file, date texts.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <csignal>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "api/env_record.h"
#include "api/option_slots.h"
#include "dates/date_state.h"
#include "dates/day_number.h"
#include "dict/dictionary.h"
#include "tabulon/tabulon.h"
#include "formats/text/text_writer.h"

using namespace tabulon;

// The writer's own date texts must be those of the date pattern code.
TEST(TextWriterDates, SimplePatternsMatchTheDateCode) {
  DateNames names;
  for (const char* text : {"%m/%d/%Y", "%m/%02d/%Y", "%m/%02d/%y", "%0m/%0d/%Y", "%x", "%Y-%0m-%0d", "%d.%m.%y!"}) {
    SCOPED_TRACE(text);
    FormatPattern p;
    compile_format_pattern(text, &p);
    ASSERT_TRUE(simple_date_pattern(p));
    for (double day = 2; day < 2958466; day += (day < 80000 ? 1 : 997)) {
      char a[64], b[64];
      ptrdiff_t na = format_simple_date(p, day, a, sizeof a);
      ptrdiff_t nb = format_day_number(p, names, day, b, sizeof b);
      ASSERT_GE(na, 0) << day;
      ASSERT_EQ(std::string(a, static_cast<size_t>(na)), std::string(b, static_cast<size_t>(nb))) << day;
    }
    char a[64];
    EXPECT_EQ(format_simple_date(p, 1.5, a, sizeof a), -1);   // a time of day
    EXPECT_EQ(format_simple_date(p, -3, a, sizeof a), -1);    // before 1900
    EXPECT_EQ(format_simple_date(p, 3e6, a, sizeof a), -1);   // after 9999
  }
  FormatPattern with_time;
  compile_format_pattern("%m/%d/%Y %H", &with_time);
  EXPECT_FALSE(simple_date_pattern(with_time));
}

TEST(TextWriterDates, SimpleDateTimesMatchTheDateCode) {
  DateNames names;
  for (const char* text : {"%m/%d/%Y %0H:%0M:%0S", "%Y-%0m-%0dT%0H:%0M:%0S", "%d.%m.%y %H.%M.%S!", "%x"}) {
    SCOPED_TRACE(text);
    FormatPattern p;
    compile_format_pattern(text, &p);
    ASSERT_TRUE(simple_datetime_pattern(p));
    uint64_t seed = 99;
    for (int i = 0; i < 300000; ++i) {
      seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
      const double whole = 2 + static_cast<double>((seed >> 20) % 2958463);
      // Whole seconds, milliseconds, and times a hair below midnight or a second.
      double part;
      switch (i % 4) {
        case 0: part = static_cast<double>((seed >> 8) % 86400) / 86400; break;
        case 1: part = static_cast<double>((seed >> 8) % 86400000) / 86400000; break;
        case 2: part = 1 - 1e-10 * static_cast<double>(seed % 100); break;
        default: part = static_cast<double>((seed >> 8) % 86400 + 1) / 86400 - 2e-9; break;
      }
      const double day = whole + part;
      char a[64], b[64];
      int ms = -1;
      const ptrdiff_t na = format_simple_datetime(p, day, a, sizeof a, &ms);
      const ptrdiff_t nb = format_day_number(p, names, day, b, sizeof b);
      if (day >= 2958465) {
        EXPECT_EQ(na, -1);
        continue;
      }
      ASSERT_GE(na, 0) << day;
      ASSERT_EQ(std::string(a, static_cast<size_t>(na)), std::string(b, static_cast<size_t>(nb))) << day;
      DateParts parts;
      ASSERT_TRUE(day_to_parts(day, &parts));
      ASSERT_EQ(ms, parts.millisecond) << day;
    }
    char a[64];
    int ms;
    EXPECT_EQ(format_simple_datetime(p, -3.5, a, sizeof a, &ms), -1);
    EXPECT_EQ(format_simple_datetime(p, 2958465.5, a, sizeof a, &ms), -1);
    EXPECT_EQ(format_simple_datetime(p, 40000.5, a, 8, &ms), -1);  // too narrow: the general code cuts it
  }
  FormatPattern with_names;
  compile_format_pattern("%d %b %Y %H:%M", &with_names);
  EXPECT_FALSE(simple_datetime_pattern(with_names));
}

namespace {

struct Env {
  int32_t handle = DX_OpenEnvironment();
  EnvRecord* env = env_from_handle(handle);
  ~Env() { DX_CloseEnvironment(handle); }
};

struct Var {
  const char* name;
  int type;
  uint32_t width;
  int decimals;
};

// A cell: a number, a text, or a missing code.
struct Cell {
  double number = 0;
  const char* text = nullptr;
  uint16_t missing = 0;
};
Cell num(double v) { return Cell{v, nullptr, 0}; }
Cell str(const char* s) { return Cell{0, s, 0}; }
Cell miss(uint16_t code) { return Cell{0, nullptr, code}; }

// Writes the rows with format `format` and returns the text (and the ".SCH" text when asked).
std::string write_rows(EnvRecord& env, int format, const std::vector<Var>& vars,
                       const std::vector<std::vector<Cell>>& rows, std::string* schema = nullptr) {
  for (const Var& v : vars) {
    VarRecord& r = dict_append_var(env.dict, v.name, v.type, v.width);
    r.decimals = static_cast<uint8_t>(v.decimals);
    r.selected = 1;
  }
  dict_layout_record(env);
  TextWriter w;
  EXPECT_EQ(text_writer_open(env, w, format, nullptr, std::string()), 0);
  if (schema) *schema = schema_text(env, w, "/some/dir/people.dat");
  for (const auto& row : rows) {
    for (size_t k = 0; k < row.size(); ++k) {
      VarRecord& v = *dict_var(env.dict, static_cast<int32_t>(k));
      if (row[k].missing)
        var_set_missing(env.dict, v, row[k].missing);
      else if (row[k].text)
        var_set_string(env.dict, v, row[k].text, std::strlen(row[k].text));
      else
        var_set_double(env.dict, v, row[k].number);
    }
    EXPECT_EQ(text_writer_record(env, w), 0);
  }
  EXPECT_EQ(text_writer_close(env, w), 0);
  return std::string(w.buf.data(), w.buf.size());
}

}  // namespace

TEST(TextWriterDelimited, Records) {
  struct Case {
    const char* what;
    void (*setup)(EnvRecord&);
    std::vector<Var> vars;
    std::vector<std::vector<Cell>> rows;
    std::string want;
  } cases[] = {
      {"default number texts", nullptr, {{"x", T_DOUBLE, 15, 0}},
       {{num(0.0001)}, {num(0.00001)}, {num(123456789012)}, {num(1e21)}, {num(-2.5)}, {num(0.1 + 0.2)}},
       "\"x\"\n0.0001\n1e-05\n123456789012\n1e+21\n-2.5\n0.30000000000000004\n"},
      {"every digit that reads back", nullptr, {{"x", T_DOUBLE, 15, 0}},
       {{num(3.141592653589793)}, {num(-1.0 / 3)}, {num(1.7976931348623157e308)}, {num(5e-324)},
        {num(123456789012345678.0)}, {num(0.1f)}},
       "\"x\"\n3.141592653589793\n-0.3333333333333333\n1.7976931348623157e+308\n5e-324\n"
       "123456789012345680\n0.10000000149011612\n"},
      {"a 4-byte float reads back as the same float", nullptr, {{"f", T_FLOAT, 4, 0}},
       {{num(0.1f)}, {num(3.14159274f)}, {num(0.3)}, {num(16777216.0f)}},
       "\"f\"\n0.1\n3.1415927\n0.3\n16777216\n"},
      {"an 8-byte number keeps the double's digits", nullptr, {{"f", T_FLOAT, 8, 0}},
       {{num(1000000.125)}, {num(0.1f)}}, "\"f\"\n1000000.125\n0.10000000149011612\n"},
      {"quotes doubled", nullptr, {{"s", T_STRING, 20, 0}, {"n", T_LONG, 5, 0}},
       {{str("say \"hi\", ok"), num(7)}, {str(""), num(-1)}},
       "\"s\",\"n\"\n\"say \"\"hi\"\", ok\",7\n\"\",-1\n"},
      {"no quote character",
       [](EnvRecord& env) { env.options.text.write_quote = 0; },
       {{"s", T_STRING, 20, 0}},
       {{str("a \"b\"")}, {str("x,y")}, {str("two\nlines")}, {str("\"q")}},
       "s\na \"b\"\n\"x,y\"\n\"two\nlines\"\n\"\"\"q\"\n"},
      {"decimal comma keeps the delimiter",
       [](EnvRecord& env) { env.options.text.decimal_point = ','; },
       {{"a", T_DOUBLE, 15, 0}, {"b", T_DOUBLE, 15, 0}},
       {{num(1.5), num(-0.25)}, {num(2), num(-3)}},
       "\"a\",\"b\"\n\"1,5\",\"-0,25\"\n2,-3\n"},
      {"decimal comma with a semicolon delimiter",
       [](EnvRecord& env) {
         env.options.text.decimal_point = ',';
         env.options.text.write_delimiter = ';';
       },
       {{"a", T_DOUBLE, 15, 0}, {"s", T_STRING, 5, 0}},
       {{num(1.5), str("x;y")}},
       "\"a\";\"s\"\n1,5;\"x;y\"\n"},
      {"missing-value text for numbers only",
       [](EnvRecord& env) {
         env.options.text.na_write = "NA";
         env.options.text.na_write_set = 1;
       },
       {{"n", T_DOUBLE, 15, 0}, {"s", T_STRING, 5, 0}},
       {{miss(1), miss(1)}},
       "\"n\",\"s\"\nNA,\n"},
      {"extended missing values",
       [](EnvRecord& env) { env.options.text.na_write_extended = 1; },
       {{"n", T_DOUBLE, 15, 0}, {"s", T_STRING, 5, 0}},
       {{miss(3), miss(1)}, {miss(29), str("x")}, {miss(1), miss(1)}, {miss(27), str("")}},
       "\"n\",\"s\"\n.b,.\n._,\"x\"\n.,.\n.z,\"\"\n"},
      {"plain missing values are empty", nullptr, {{"n", T_DOUBLE, 15, 0}, {"s", T_STRING, 5, 0}},
       {{miss(3), miss(1)}},
       "\"n\",\"s\"\n,\n"},
      {"write precision", [](EnvRecord& env) { env.options.text.write_precision = 3; }, {{"x", T_DOUBLE, 15, 0}},
       {{num(3.14159)}, {num(1234567)}},
       "\"x\"\n3.14\n1.23e+06\n"},
      {"input decimals", [](EnvRecord& env) { option_store(env, 146, 1, nullptr); }, {{"x", T_FLOAT, 8, 2}},
       {{num(2.5)}, {num(-1)}},
       "\"x\"\n2.50\n-1.00\n"},
      {"unix line ends on every line", [](EnvRecord& env) { option_store(env, 72, 2, nullptr); },
       {{"a", T_LONG, 5, 0}}, {{num(1)}, {num(2)}}, "\"a\"\n1\n2\n"},
      {"windows line ends on every line", [](EnvRecord& env) { option_store(env, 72, 1, nullptr); },
       {{"a", T_LONG, 5, 0}}, {{num(1)}, {num(2)}}, "\"a\"\r\n1\r\n2\r\n"},
      {"no names line, tab delimiter",
       [](EnvRecord& env) {
         env.options.text.write_vnames = 0;
         env.options.text.write_delimiter = '\t';
       },
       {{"a", T_LONG, 5, 0}, {"b", T_STRING, 5, 0}}, {{num(1), str("x")}}, "1\t\"x\"\n"},
      {"dates", [](EnvRecord& env) {
         for (int k = 0; k < 3; ++k) date_store_pattern(env, kPatternsWrite, k, nullptr);
       },
       {{"d", T_DATE, 10, 0}, {"t", T_TIME, 8, 0}, {"dt", T_DATETIME, 19, 0}},
       {{num(43466), num(0.75), num(43466.5)}},
       "\"d\",\"t\",\"dt\"\n1/01/2019,18:00:00,1/01/2019 12:00:00\n"},
      {"parts of a second and years beyond 9999", [](EnvRecord& env) {
         for (int k = 0; k < 3; ++k) date_store_pattern(env, kPatternsWrite, k, nullptr);
       },
       {{"t", T_TIME, 8, 0}, {"dt", T_DATETIME, 19, 0}},
       {{num((12 * 3600 + 11 * 60 + 10.09) / 86400), num(43466 + 0.5 / 86400)},
        {num(0.5 / 86400), num(2958466.5)}},
       "\"t\",\"dt\"\n12:11:10.09,1/01/2019 00:00:00.5\n00:00:00.5,1/01/10000 12:00:00\n"},
      {"two-digit years", [](EnvRecord& env) {
         date_store_pattern(env, kPatternsWrite, 0, nullptr);
         env.options.text.write_century = 0;
       },
       {{"d", T_DATE, 10, 0}}, {{num(43466)}}, "\"d\"\n1/01/19\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Env e;
    if (c.setup) c.setup(*e.env);
    EXPECT_EQ(write_rows(*e.env, 18, c.vars, c.rows), c.want);
  }
}

TEST(TextWriterFixed, RecordsAndSchema) {
  Env e;
  e.env->options.text.write_schema = 0;
  std::string sch;
  std::string text = write_rows(*e.env, 19,
                                {{"id", T_INT, 4, 0}, {"name", T_STRING, 6, 0}, {"score", T_DOUBLE, 15, 2},
                                 {"when", T_DATE, 10, 0}},
                                {{num(7), str("Ann"), num(-2.5), num(43466)},
                                 {num(1234567), str("Bartholomew"), miss(1), miss(1)},
                                 {miss(1), str(""), num(0.1 + 0.2), num(2)}},
                                &sch);
  std::vector<std::string> lines;
  size_t at = 0;
  for (size_t nl; (nl = text.find("\n", at)) != std::string::npos; at = nl + 1) lines.push_back(text.substr(at, nl - at));
  ASSERT_EQ(lines.size(), 3u);
  for (const std::string& l : lines) EXPECT_EQ(l.size(), 6u + 6 + 24 + 10);
  // int: 6 wide, right-aligned; a number too wide for its field leaves it blank.
  EXPECT_EQ(lines[0].substr(0, 6), "     7");
  EXPECT_EQ(lines[1].substr(0, 6), "      ");
  // string: left-aligned, cut to its width.
  EXPECT_EQ(lines[0].substr(6, 6), "Ann   ");
  EXPECT_EQ(lines[1].substr(6, 6), "Bartho");
  // float: 24 wide (every double's shortest exact text fits), right-aligned.
  EXPECT_EQ(lines[0].substr(12, 24), "                    -2.5");
  EXPECT_EQ(lines[2].substr(12, 24), "     0.30000000000000004");
  EXPECT_EQ(lines[1].substr(12, 24), std::string(24, ' '));
  // date: left-aligned.
  EXPECT_EQ(lines[0].substr(36, 10).find("2019") != std::string::npos, true);

  EXPECT_EQ(sch,
            "[people]\nFiletype=Fixed\n"
            "Date-Format=" + std::string(date_pattern_text(*e.env, 1, 0) ? date_pattern_text(*e.env, 1, 0) : "%m/%d/%y") +
                "\nTime-Format=" + std::string(date_pattern_text(*e.env, 1, 1) ? date_pattern_text(*e.env, 1, 1) : "%H:%M:%S") +
                "\nDateTime-Format=" +
                std::string(date_pattern_text(*e.env, 1, 2) ? date_pattern_text(*e.env, 1, 2) : "%m/%d/%y %H:%M:%S") +
                "\nCharSet=ascii\n"
                "Field1=id,Float,6,0,0\nField2=name,Char,6,0,6\nField3=score,Float,24,2,12\nField4=when,Date,10,0,36\n");
}

TEST(TextWriterSchema, DelimitedDefaults) {
  Env e;
  for (int k = 0; k < 3; ++k) date_store_pattern(*e.env, kPatternsRead, k, nullptr);
  std::string sch;
  write_rows(*e.env, 18, {{"a", T_LONG, 5, 0}, {"b", T_STRING, 300, 0}, {"t", T_TIME, 8, 0}}, {}, &sch);
  EXPECT_EQ(sch,
            "[people]\nFiletype=Varying\nDelimiter=\"\nSeparator=,\nNames=in-file\n"
            "Date-Format=%m/%d/%y\nTime-Format=%H:%M:%S\nDateTime-Format=%m/%d/%y %H:%M:%S\nCharSet=ascii\n"
            "Field1=a,Float,11,0\nField2=b,Char,300,0\nField3=t,Time,12,0\n");
  EXPECT_EQ(schema_path_for("/x/y.z/data.csv"), "/x/y.z/data.SCH");
  EXPECT_EQ(schema_path_for("/x/y.z/data"), "/x/y.z/data.SCH");
}

TEST(TextWriterSchema, LegacyDatesAndTabs) {
  Env e;
  e.env->options.text.legacy_dates = 1;
  e.env->options.text.date_order = 2;
  e.env->options.text.date_punct = '-';
  e.env->options.text.write_delimiter = '\t';
  e.env->options.text.write_quote = 0;
  e.env->options.text.write_vnames = 0;
  std::string sch;
  write_rows(*e.env, 18, {{"a", T_DOUBLE, 15, 3}}, {}, &sch);
  EXPECT_EQ(sch,
            "[people]\nFiletype=Varying\nDelimiter=\\0\nSeparator=\\t\nNames=not-in-file\n"
            "Date-Order=DMY\nDate-Punctuation=-\nDec-Point=.\nCharSet=ascii\nField1=a,Float,24,3\n");
}

TEST(TextWriterHtml, Table) {
  struct Case {
    const char* what;
    bool names;
    std::vector<Var> vars;
    std::vector<std::vector<Cell>> rows;
    std::string want;
  } cases[] = {
      {"a row without variables", false, {}, {{}},
       "<HTML>\n<TABLE BORDER=4 CELLPADDING=5 CELLSPACING=1>\n<TR ALIGN=RIGHT> <BR></TD>\n</TABLE>\n</HTML>\n"},
      {"names, values, missing, escapes", true, {{"a<b", T_DOUBLE, 15, 0}, {"s", T_STRING, 10, 0}},
       {{num(1.5), str("x & <y>")}, {miss(1), str("")}},
       "<HTML>\n<TABLE BORDER=4 CELLPADDING=5 CELLSPACING=1>\n"
       "<TR ALIGN=RIGHT> <TH> a&lt;b<TH ALIGN=LEFT> s<BR></TD>\n"
       "<TR ALIGN=RIGHT> <TD> 1.5<TD ALIGN=LEFT> x &amp; &lt;y&gt;<BR></TD>\n"
       "<TR ALIGN=RIGHT> <TD> &nbsp; <TD> &nbsp;<BR></TD>\n"
       "</TABLE>\n</HTML>\n"},
      {"no records", true, {{"a", T_DOUBLE, 15, 0}}, {},
       "<HTML>\n<TABLE BORDER=4 CELLPADDING=5 CELLSPACING=1>\n<TR ALIGN=RIGHT> <TH> a<BR></TD>\n</TABLE>\n</HTML>\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Env e;
    e.env->options.text.write_vnames = c.names;
    EXPECT_EQ(write_rows(*e.env, 31, c.vars, c.rows), c.want);
  }
}

TEST(TextWriterHtml, LongRowsBreakBeforeACell) {
  Env e;
  std::vector<Var> vars;
  std::vector<Cell> row;
  static const char* names[] = {"v1", "v2", "v3", "v4", "v5", "v6", "v7", "v8", "v9", "v10"};
  for (const char* n : names) {
    vars.push_back({n, T_DOUBLE, 15, 0});
    row.push_back(num(123456.789));
  }
  e.env->options.text.write_vnames = 0;
  std::string html = write_rows(*e.env, 31, vars, {row});
  const size_t start = html.find("<TR");
  std::string body = html.substr(start, html.find("</TABLE>") - start);
  size_t line_start = 0;
  int breaks = 0;
  for (size_t i = 0; i < body.size(); ++i) {
    if (body[i] != '\n') continue;
    EXPECT_LE(i - line_start, 80u + 20u);
    line_start = i + 1;
    if (body.compare(i, 6, "\n     ") == 0) ++breaks;
  }
  EXPECT_GE(breaks, 1);
  EXPECT_EQ(body.substr(body.size() - 10), "<BR></TD>\n");
}

TEST(TextWriterClose, FullDiskAtTheLastFlushFailsTheClose) {
  // The whole output fits the stream's buffer, so the disk refuses it only at close.
  const std::string path = "/tmp/tabulon_full_disk_" + std::to_string(getpid()) + ".csv";
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  void (*old_handler)(int) = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 1024;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const int32_t h = DX_OpenEnvironment();
  DX_InitUserDict(h, 1);
  DX_AddUserVar(h, 0, "text", API_STRING, 40, 0);
  int32_t r = DX_OpenOutFile(h, 18, path.c_str());
  const std::string value(39, 'v');
  for (int i = 0; i < 100 && r >= 0; ++i) {
    DX_SetVarString(h, 0, value.c_str());
    r = DX_WriteRecord(h);
  }
  const int32_t closed = DX_CloseFiles(h);
  DX_CloseEnvironment(h);
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, old_handler);
  EXPECT_GE(r, 0);
  EXPECT_LT(closed, 0);
  EXPECT_NE(access(path.c_str(), F_OK), 0) << "the incomplete output is deleted";
  std::remove(path.c_str());
  std::remove(path.substr(0, path.size() - 4).append(".SCH").c_str());
}
