// SPSS portable files: base-30 fields, the 80-column writer, a round trip of every kind of
// variable, dictionaries made by hand (short lines, missing values, label sets) and damage.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "api/call_frame.h"
#include "api/env_record.h"
#include "dict/dictionary.h"
#include "engine/stream_glue.h"
#include "formats/spss/por_base30.h"
#include "formats/spss/por_charset.h"
#include "engine/change_report.h"
#include "formats/spss/por_writer.h"
#include "io/stream.h"
#include "tabulon/tabulon.h"
#include "support/format_harness.h"

using namespace tabulon;

namespace {

using Env = test::TestEnv;

std::string temp_path(const std::string& name) { return test::scratch_path("por", name, ".por"); }
using test::slurp;
using test::spill;

std::string number_text(double x) {
  char b[kPorFieldMax + 1];
  const size_t n = por_format_number(x, b);
  return std::string(b, n);
}
std::string integer_text(int64_t x) {
  char b[kPorFieldMax + 1];
  const size_t n = por_format_integer(x, b);
  return std::string(b, n);
}
double parse(const std::string& field) {
  PorNumber p;
  for (char c : field) {
    if (c == '/') break;
    p.feed(c);
  }
  return p.value();
}

// ---- base 30 ----

TEST(PorBase30, IntegersAndNumbersAsText) {
  const struct {
    int64_t value;
    const char* text;
  } integers[] = {{0, "0/"}, {30, "10/"}, {-1, "-1/"}, {29, "T/"}, {899, "TT/"}, {900, "100/"}, {-44, "-1E/"}};
  for (const auto& c : integers) EXPECT_EQ(integer_text(c.value), c.text) << c.value;

  const struct {
    double value;
    const char* text;
  } numbers[] = {
      {0, "0/"},
      {1, "1/"},
      {44, "1E/"},
      {-10, "-A/"},
      {1.5, "1.F/"},
      {-1.5, "-1.F/"},
      {900, "1+2/"},               // trailing zero digits become an exponent
      {30600, "14+2/"},
      {123.45, "43.DF/"},          // 123.45 rounds to ten digits exactly
      {0.5, ".F/"},                // between 1/30 and 1: all digits after the point
      {1.0 / 3, ".A/"},            // 0.3333... rounds to 10/30
      {0.0001, "2.L-3/"},          // below 1/30: one digit before the point
      {-2.5e-7, "-6.27F-5/"},
      {-900, "-1+2/"},
      {19682999999999.0, "TTTTTTTTT/"},  // 30^9 - 1, the largest whole number of the short path
      {19683000000000.0, "1+9/"},  // 30^9: no point without a digit after it
      {1e15, "1.KO4M3B713A+A/"},   // eleven digits: the fewest that read back exactly
      {1 - 1e-16, ".TTTTTTTTTTS/"},  // just below 1: not rounded up to 1
      {29.999999999999996, "T.TTTTTTTTTS/"},
  };
  for (const auto& c : numbers) {
    EXPECT_EQ(number_text(c.value), c.text) << c.value;
    EXPECT_NEAR(parse(c.text), c.value, std::fabs(c.value) * 1e-13) << c.text;
  }
}

TEST(PorBase30, FieldsOfOtherWritersParse) {
  const struct {
    const char* text;
    double value;
  } cases[] = {
      {"1E/", 44},          {"1.F/", 1.5},   {"-A/", -10},     {"1+2/", 900},
      {".F-1/", 0.5 / 30},  {"139/", 999},   {"C.F/", 12.5},   {"-9.7F/", -9.25},
      {"1 E/", 44},         {"1E+0/", 44},   {"0000001E/", 44}, {"2.L-3/", 0.0001},
  };
  for (const auto& c : cases) EXPECT_DOUBLE_EQ(parse(c.text), c.value) << c.text;
  // A value rounded up past the largest double stays the largest double.
  EXPECT_EQ(parse(number_text(1.7976931348623157e308)), 1.7976931348623157e308);
  EXPECT_EQ(parse(number_text(-1.7976931348623157e308)), -1.7976931348623157e308);
}

TEST(PorBase30, WrittenNumbersReadBackWithinTenDigits) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> mant(-1, 1);
  std::uniform_int_distribution<int> exp(-300, 300);
  for (int i = 0; i < 20000; ++i) {
    const double x = std::ldexp(mant(rng), exp(rng) * 3);
    if (!std::isfinite(x) || x == 0) continue;
    const std::string t = number_text(x);
    ASSERT_LE(t.size(), kPorFieldMax);
    const double y = parse(t);
    ASSERT_LE(std::fabs(y - x), std::fabs(x) * 2.6e-14) << x << " " << t;  // half a unit of the 10th digit
  }
  // Whole numbers up to 30^10 are exact.
  for (double x : {1.0, 29.0, 4096.0, 123456789.0, 589999999999999.0, -12862281600.0})
    EXPECT_EQ(parse(number_text(x)), x) << x;
}

TEST(PorBase30, EveryDoubleReadsBackExactly) {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> mant(-1, 1);
  std::uniform_int_distribution<int> exp(-1000, 1000);
  for (int i = 0; i < 20000; ++i) {
    const double x = std::ldexp(mant(rng), exp(rng));
    if (!std::isfinite(x) || x == 0) continue;
    const std::string t = number_text(x);
    ASSERT_LE(t.size(), kPorFieldMax);
    ASSERT_EQ(parse(t), x) << t;
  }
  for (double x : {3.141592653589793, 0.30000000000000004, 0.1, 1.0 / 3, 1e-300, 1.7976931348623157e308,
                   4.9406564584124654e-324, 12862281600.5, -2.5e-7})
    EXPECT_EQ(parse(number_text(x)), x) << number_text(x);
}

// ---- writer ----

using namespace test;  // cells, variable specs, write_cases and read_cases

int32_t write_por(Env& e, const std::string& path, const std::vector<Spec>& specs,
                  const std::vector<std::vector<Cell>>& rows, const Setup& setup = nullptr) {
  return test::write_cases(e.handle, {13, por_open_output, por_write_case, por_close_output}, path, specs, rows, setup);
}

std::string show(const EnvRecord& env, const VarRecord& v) {
  if (v.missing) return missing_code_text(v.missing);
  if (v.is_string()) return "<" + std::string(var_get_string(env.dict, v)) + ">";
  char b[64];
  std::snprintf(b, sizeof b, "%.15g", var_get_double(env.dict, v));
  return b;
}

ReadBack read_por(Env& e, const std::string& path, size_t max_rows = 100000) {
  return test::read_cases(e, 13, path, show, nullptr, max_rows);
}

TEST(PorWriter, LinesOfEightyCharactersAndTheEndMark) {
  Env e;
  const std::string path = temp_path("lines");
  std::vector<std::vector<Cell>> rows;
  for (int i = 0; i < 40; ++i) rows.push_back({N(i * 1.5), S(std::string(static_cast<size_t>(i % 7), 'x')), M(1)});
  ASSERT_EQ(write_por(e, path, {{"num", T_DOUBLE}, {"txt", T_STRING, 6}, {"gone", T_FLOAT}}, rows), 0)
      << DX_GetErrorMsg(e.handle);
  const std::string bytes = slurp(path);
  // The header: five vanity texts of 40, then the table; the 81st character follows CR LF.
  EXPECT_EQ(bytes.substr(0, 40), "ASCII SPSS PORT FILE" + std::string(20, ' '));
  EXPECT_EQ(bytes.substr(80, 2), "\r\n");
  EXPECT_EQ(bytes.substr(82, 20), "ASCII SPSS PORT FILE");
  std::vector<std::string> lines;
  for (size_t at = 0; at < bytes.size();) {
    const size_t end = bytes.find("\r\n", at);
    lines.push_back(bytes.substr(at, end == std::string::npos ? std::string::npos : end - at));
    at = end == std::string::npos ? bytes.size() : end + 2;
  }
  ASSERT_GT(lines.size(), 8u);
  for (const std::string& l : lines) EXPECT_EQ(l.size(), 80u) << l;
  std::string flat;
  for (const std::string& l : lines) flat += l;
  // Translation table: digits at 64, the punctuation from 126, braces and backslash at 184.
  EXPECT_EQ(flat.substr(200 + 64, 10), "0123456789");
  EXPECT_EQ(flat.substr(200 + 126, 8), " .<(+0&[");
  EXPECT_EQ(flat.substr(200 + 184, 3), "{}\\");
  EXPECT_EQ(flat.substr(456, 9), "SPSSPORTA");
  EXPECT_NE(flat.find("17/TABULON4"), std::string::npos);
  EXPECT_NE(flat.find("43/5A/70/3/NUM5/9/2/5/9/2/76/3/TXT1/6/0/1/6/0/"), std::string::npos);
  // Data: strings blank-padded to the width, missing numbers "*.", Z filling the last line.
  const size_t data = flat.find("F0/6/      *.1.F/6/x     *.");
  EXPECT_NE(data, std::string::npos);
  EXPECT_EQ(lines.back().back(), 'Z');
  EXPECT_NE(lines.back().find("xxxx  *.Z"), std::string::npos);
}

TEST(PorWriter, NamesAreMadeLegalAndUpperCase) {
  Env e;
  const std::string path = temp_path("names");
  ASSERT_EQ(write_por(e, path, {{"first name", T_FLOAT}, {"1abc", T_FLOAT}, {"averyveryverylongname", T_FLOAT},
                                 {"AVERYVERYVERYLONG", T_FLOAT}},
                      {{N(1), N(2), N(3), N(4)}}),
            0);
  ReadBack r = read_por(e, path);
  ASSERT_GE(r.rc, 0) << r.error;
  std::vector<std::string> names;
  for (const VarRecord* v : r.vars) names.push_back(v->name);
  EXPECT_EQ(names, (std::vector<std::string>{"FIRST_NA", "A1ABC", "AVERYVER", "AVERYVE0"}));
  DX_CloseFiles(e.handle);
}

TEST(PorWriter, StringsAndLabelsLongerThanSpssAllowsAreCutWithAWarning) {
  static std::vector<std::string> seen;
  seen.clear();
  Env e;
  uint32_t settings[4] = {0, 0, 0xFFFFFFFFu, 1};
  DX_SetInfoCallback(e.handle, 0xFF, settings, 0, 0,
                     [](int32_t, const char* text, int32_t, int64_t) { seen.emplace_back(text); });
  DX_SetOption(e.handle, 83, 1000, nullptr);
  const std::string path = temp_path("wide");
  ASSERT_EQ(write_por(e, path, {{"w", T_STRING, 300, std::string(300, 'l')}}, {{S(std::string(300, 'w'))}}), 0);
  EXPECT_NE(std::find(seen.begin(), seen.end(),
                      "Warning:The width of the variable W was truncated to 255 bytes, since this is the max. "
                      "string length, supported by SPSS"),
            seen.end());
  EXPECT_NE(std::find(seen.begin(), seen.end(),
                      "Warning:The width of the var.label assigned to the variable W was truncated to 255 bytes, "
                      "since this is the max. var. label length, supported by SPSS"),
            seen.end());
  ReadBack r = read_por(e, path);
  ASSERT_GE(r.rc, 0) << r.error;
  EXPECT_EQ(r.vars[0]->label, std::string(255, 'l'));
  EXPECT_EQ(r.vars[0]->print_width, 255u);
  EXPECT_EQ(r.rows[0][0], "<" + std::string(255, 'w') + ">");
  DX_CloseFiles(e.handle);
}

// The file size limit stands in for a full disk: the last bytes, still in the stream's
// buffer when the writer closes, must not be lost unseen.
TEST(PorWriter, AFullDiskIsAFailure) {
  const std::string path = temp_path("full");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{600, 600};
    setrlimit(RLIMIT_FSIZE, &limit);
    Env e;
    std::vector<std::vector<Cell>> rows(20, {N(1), S("text")});
    const int32_t rc = write_por(e, path, {{"n", T_DOUBLE}, {"s", T_STRING, 8}}, rows);
    _exit(rc == -1 && std::string(DX_GetErrorMsg(e.handle)) == "Error writing data" ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  std::remove(path.c_str());
}

// ---- a round trip of every kind of variable ----

TEST(PorRoundTrip, EveryKindOfVariable) {
  Env e;
  const std::string path = temp_path("all");
  const std::vector<Spec> specs = {
      {"b", T_BYTE, 8, "A byte, labelled"}, {"i", T_INT},      {"l", T_LONG},       {"f", T_FLOAT},
      {"d", T_DOUBLE},                     {"s", T_STRING, 12, "Some text"},         {"day", T_DATE},
      {"tod", T_TIME},                     {"stamp", T_DATETIME}, {"code", T_STRING, 3}};
  const std::vector<std::vector<Cell>> rows = {
      {N(-5), N(-32000), N(2000000000), N(53796.59), N(1.0 / 3), S("hello world!"), N(2), N(0.5), N(40000.25),
       S("ab")},
      {N(100), M(1), M(27), M(2), N(-2.5e-7), S(""), N(44000), N(0.75), M(1), S("x")},
      {M(3), N(7), N(-7), N(-0.5), N(2.5e10), S("too long for twelve"), M(1), M(1), N(-100000.5), M(1)},
  };
  ASSERT_EQ(write_por(e, path, specs, rows, [](EnvRecord& env) {
              VarRecord& b = *dict_var(env.dict, 0);
              b.value_labels.push_back({1, {}, false, 0, "one"});
              b.value_labels.push_back({-5, {}, false, 0, "Minus five"});
              ValueLabel ext;  // a label of an extended missing code has no place in the file
              ext.text = ".B";
              ext.has_text = true;
              ext.missing = 3;
              ext.label = "refused";
              b.value_labels.push_back(ext);
              VarRecord& code = *dict_var(env.dict, 9);
              ValueLabel s;
              s.text = "ab";
              s.has_text = true;
              s.label = "Letters a-b";
              code.value_labels.push_back(s);
            }),
            0)
      << DX_GetErrorMsg(e.handle);
  ReadBack r = read_por(e, path);
  ASSERT_GE(r.rc, 0) << r.error;
  ASSERT_EQ(r.vars.size(), specs.size());
  const std::vector<std::vector<std::string>> want = {
      {"-5", "-32000", "2000000000", "53796.59", "0.333333333333333", "<hello world!>", "2", "0.5", "40000.25",
       "<ab>"},
      {"100", ".", ".", ".", "-2.5e-07", ".", "44000", "0.75", ".", "<x>"},
      {".", "7", "-7", "-0.5", "25000000000", "<too long for>", ".", ".", "-100000.5", "."},
  };
  EXPECT_EQ(r.rows, want);
  const uint16_t types[] = {T_FLOAT, T_FLOAT, T_FLOAT, T_FLOAT, T_FLOAT, T_STRING, T_DATE, T_TIME, T_DATETIME,
                            T_STRING};
  for (size_t i = 0; i < specs.size(); ++i) EXPECT_EQ(r.vars[i]->ttype, types[i]) << i;
  EXPECT_EQ(r.vars[0]->name, "B");
  EXPECT_EQ(r.vars[0]->label, "A byte, labelled");  // names are upper case, labels keep theirs
  EXPECT_EQ(r.vars[5]->label, "Some text");
  EXPECT_EQ(r.vars[5]->print_width, 12u);
  EXPECT_EQ(r.vars[0]->print_width, 9u);
  EXPECT_EQ(r.vars[0]->decimals, 2);
  const auto& labels = r.vars[0]->value_labels;
  ASSERT_EQ(labels.size(), 2u);
  EXPECT_EQ(labels[0].value, 1);
  EXPECT_EQ(labels[0].label, "one");
  EXPECT_EQ(labels[1].value, -5);
  EXPECT_EQ(labels[1].label, "Minus five");
  ASSERT_EQ(r.vars[9]->value_labels.size(), 1u);
  EXPECT_EQ(r.vars[9]->value_labels[0].text, "ab");
  EXPECT_EQ(r.vars[9]->value_labels[0].label, "Letters a-b");
  EXPECT_TRUE(e.env->dict.value_labels_present);

  // Positions: the third case again after a save and a restore.
  ASSERT_EQ(DX_RestorePosn(e.handle), -1);  // nothing saved yet
  DX_CloseFiles(e.handle);
  ASSERT_GE(DX_OpenInputFile(e.handle, 13, path.c_str()), 0);
  ASSERT_GE(DX_ReadDict(e.handle), 0);
  ASSERT_GE(DX_InitReadOnly(e.handle), 0);
  ASSERT_EQ(DX_ReadRecord(e.handle), 0);
  ASSERT_EQ(DX_SavePosn(e.handle), 0);
  ASSERT_EQ(DX_ReadRecord(e.handle), 0);
  ASSERT_EQ(DX_ReadRecord(e.handle), 0);
  EXPECT_EQ(DX_ReadRecord(e.handle), -1);
  ASSERT_EQ(DX_RestorePosn(e.handle), 0);
  ASSERT_EQ(DX_ReadRecord(e.handle), 0);
  EXPECT_EQ(show(*e.env, *e.env->dict.vars[3]), ".");  // the second case
  EXPECT_EQ(show(*e.env, *e.env->dict.vars[7]), "0.75");
  DX_CloseFiles(e.handle);
}

// ---- files made by hand ----

// A file from the text after the signature: header, table and "SPSSPORT" first, then lines
// of `width` characters ended by `eol`.
std::string por_file(const std::string& body, size_t width = 80, const std::string& eol = "\r\n") {
  std::string flat;
  for (int i = 0; i < 5; ++i) flat += "ASCII SPSS PORT FILE" + std::string(20, ' ');
  flat += std::string(64, '0') + "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  flat += " .<(+0&[]!$*);^-/|,%_>?`:#@'=\"000000~" + std::string(21, '0') + "{}\\" + std::string(69, '0');
  flat += "SPSSPORT" + body;
  std::string out;
  for (size_t at = 0; at < flat.size(); at += width) {
    if (at) out += eol;
    out += flat.substr(at, width);
  }
  return out;
}

// Three numbers with missing values of each kind, a labelled string, documents and a
// value-label set that names a variable that does not exist.
const std::string kHandDict =
    "A8/202001016/000000"
    "1F/GNU pspp 1.6.23"
    "43/5B/"
    "70/1/A5/8/2/5/8/2/8-9/8T/C9/First one"
    "70/1/B5/8/0/5/8/0/B1/5/A10/"
    "73/1/S1/3/0/1/3/0/81/x"
    "E2/3/one3/two"
    "D3/1/A1/Q1/B2/1/3/One2/3/Two"
    "D1/1/S1/3/abc5/Alpha"
    "F";

TEST(PorReader, MissingValuesLabelSetsAndDocuments) {
  Env e;
  const std::string path = temp_path("hand");
  spill(path, por_file(kHandDict + "1/6/3/abc" "5/10/3/   " "-9/4/3/zz " "Z"));
  DX_SetOption(e.handle, 96, 0, nullptr);  // each variable names its own set
  ReadBack r = read_por(e, path);
  ASSERT_GE(r.rc, 0) << r.error;
  ASSERT_EQ(r.vars.size(), 3u);
  // A: -9 and 29 missing; B: 1 thru 5 and 30 thru highest missing.
  const std::vector<std::vector<std::string>> want = {{"1", "6", "<abc>"}, {"5", ".", "."}, {".", ".", "<zz>"}};
  EXPECT_EQ(r.rows, want);
  EXPECT_EQ(r.vars[0]->label, "First one");
  EXPECT_EQ(r.vars[0]->print_width, 8u);
  EXPECT_EQ(r.vars[1]->ttype, T_LONG);  // F8.0 narrows
  ASSERT_EQ(r.vars[0]->value_labels.size(), 2u);
  EXPECT_EQ(r.vars[1]->value_labels.size(), 2u);  // Q does not exist: A and B still share
  EXPECT_EQ(r.vars[0]->reader_text, "A");
  EXPECT_EQ(r.vars[1]->reader_aux[0], 2);
  ASSERT_EQ(r.vars[2]->value_labels.size(), 1u);
  EXPECT_EQ(r.vars[2]->value_labels[0].text, "abc");
  DX_CloseFiles(e.handle);

  // Shared set names, and user-missing values left as values.
  DX_SetOption(e.handle, 96, 1, nullptr);
  DX_SetOption(e.handle, 4, 2, nullptr);
  r = read_por(e, path);
  ASSERT_GE(r.rc, 0) << r.error;
  EXPECT_EQ(r.vars[0]->reader_text, "LAB1");
  EXPECT_EQ(r.vars[1]->reader_text, "LAB1");
  EXPECT_EQ(r.vars[2]->reader_text, "S");
  EXPECT_EQ(r.rows[1][1], "30");
  EXPECT_EQ(r.rows[2][0], "-9");
  EXPECT_EQ(r.rows[2][1], "4");
  DX_CloseFiles(e.handle);

  // Only the first entry (a range counts as one); then every entry mapped to its own code.
  DX_SetOption(e.handle, 4, 1, nullptr);
  r = read_por(e, path);
  ASSERT_GE(r.rc, 0) << r.error;
  EXPECT_EQ(r.rows, (std::vector<std::vector<std::string>>{{"1", "6", "<abc>"}, {"5", "30", "."}, {".", ".", "<zz>"}}));
  DX_CloseFiles(e.handle);
  DX_SetOption(e.handle, 4, 0, nullptr);
  DX_SetOption(e.handle, 87, 1, nullptr);
  r = read_por(e, path);
  ASSERT_GE(r.rc, 0) << r.error;
  EXPECT_EQ(r.rows,
            (std::vector<std::vector<std::string>>{{"1", "6", "<abc>"}, {"5", ".C", "."}, {".A", ".A", "<zz>"}}));
  DX_CloseFiles(e.handle);
}

TEST(PorRoundTrip, MissingValuesOfAPortableInputAreWrittenAgain) {
  Env e;
  const std::string in = temp_path("mv_in"), out = temp_path("mv_out");
  spill(in, por_file(kHandDict + "1/6/3/abc" "5/10/3/   " "-9/4/3/zz " "Z"));
  DX_SetOption(e.handle, 4, 2, nullptr);  // the values themselves go through
  ASSERT_GE(DX_OpenInputFile(e.handle, 13, in.c_str()), 0);
  ASSERT_GE(DX_ReadDict(e.handle), 0);
  ASSERT_EQ(DX_OpenOutFile(e.handle, 13, out.c_str()), 0) << DX_GetErrorMsg(e.handle);
  ASSERT_GE(DX_TransferAllRecords(e.handle), 0) << DX_GetErrorMsg(e.handle);
  ASSERT_GE(DX_CloseFiles(e.handle), 0);
  std::string flat;
  for (char c : slurp(out))
    if (c != '\r' && c != '\n') flat += c;
  // A: two values. B: one range only (SPSS keeps a range and one value, not two ranges).
  EXPECT_NE(flat.find("8-9/8T/C9/First one"), std::string::npos);
  EXPECT_NE(flat.find("B1/5/7"), std::string::npos);
  DX_SetOption(e.handle, 4, 0, nullptr);
  ReadBack r = read_por(e, out);
  ASSERT_GE(r.rc, 0) << r.error;
  EXPECT_EQ(r.rows, (std::vector<std::vector<std::string>>{{"1", "6", "<abc>"}, {"5", "30", "."}, {".", ".", "<zz>"}}));
  DX_CloseFiles(e.handle);
}

TEST(PorReader, ShortLinesAndBareLineFeedsReadAsPadded) {
  // Dictionary texts run over the line ends: a line cut short reads as blanks, which a
  // number skips and a string keeps (here a label ending in blanks is cut at the line).
  const std::string body = kHandDict + "1/2/3/abc5.F/A/3/x  Z";
  Env e;
  const std::string padded = temp_path("padded"), cut = temp_path("cut");
  const std::string full = por_file(body);
  spill(padded, full);
  // The same lines with trailing blanks dropped and LF alone.
  std::string trimmed;
  size_t at = 0;
  while (at <= full.size()) {
    size_t end = full.find("\r\n", at);
    std::string line = full.substr(at, end == std::string::npos ? std::string::npos : end - at);
    while (!line.empty() && line.back() == ' ') line.pop_back();
    trimmed += line;
    if (end == std::string::npos) break;
    trimmed += "\n";
    at = end + 2;
  }
  ASSERT_LT(trimmed.size(), full.size());
  spill(cut, trimmed);
  ReadBack a = read_por(e, padded);
  ASSERT_GE(a.rc, 0) << a.error;
  DX_CloseFiles(e.handle);
  ReadBack b = read_por(e, cut);
  ASSERT_GE(b.rc, 0) << b.error;
  EXPECT_EQ(a.rows, b.rows);
  EXPECT_EQ(a.rows.size(), 2u);
  DX_CloseFiles(e.handle);

  // A string cut by a short line takes the padding blanks, not the next line; "*" and any
  // character is system missing, and so is a number beyond any double.
  spill(cut, por_file(kHandDict) + "\n1/6/3/a\n*Q10/3/b  \r-9/4/3/zz 1+TTTT/6/3/q  Z");
  ReadBack c = read_por(e, cut);
  ASSERT_GE(c.rc, 0) << c.error;
  EXPECT_EQ(c.rows, (std::vector<std::vector<std::string>>{{"1", "6", "<a>"}, {".", ".", "<b>"}, {".", ".", "<zz>"}, {".", "6", "<q>"}}));
  DX_CloseFiles(e.handle);
}

TEST(PorReader, DateCodesShiftedByEightyTwoAndWeightAndAuthor) {
  // DATE (102), TIME (103) and DATETIME (104) as some writers put them.
  Env e;
  const std::string path = temp_path("shifted");
  spill(path, por_file("A8/202001016/000000" "22/me" "33/sub" "43/" "62/DT"
                       "70/2/DT3C/B/0/3C/B/0/70/2/TM3D/5/0/3D/5/0/70/2/TS3E/K/0/3E/K/0/"
                       "F" + number_text(10010390400.0) + number_text(45000) + number_text(10010390400.0 + 43200) +
                       "Z"));
  ReadBack r = read_por(e, path);
  ASSERT_GE(r.rc, 0) << r.error;
  ASSERT_EQ(r.vars.size(), 3u);
  EXPECT_EQ(r.vars[0]->ttype, T_DATE);
  EXPECT_EQ(r.vars[1]->ttype, T_TIME);
  EXPECT_EQ(r.vars[2]->ttype, T_DATETIME);
  ASSERT_EQ(r.rows.size(), 1u);
  EXPECT_EQ(r.rows[0], (std::vector<std::string>{"2", "0.520833333333333", "2.5"}));
  DX_CloseFiles(e.handle);
}

TEST(PorReader, TextThatIsNotUtf8IsReadAsWindows1252) {
  Env e;
  const std::string path = temp_path("cp1252");
  spill(path, por_file("A8/202001016/000000" "41/" "76/1/S1/6/0/1/6/0/C4/caf\xe9" "F" "6/na\xc3\xafve" "3/\xe9t\xe9" "Z"));
  ReadBack r = read_por(e, path);
  ASSERT_GE(r.rc, 0) << r.error;
  EXPECT_EQ(r.vars[0]->label, "caf\xc3\xa9");
  EXPECT_EQ(r.rows, (std::vector<std::vector<std::string>>{{"<na\xc3\xafve>"}, {"<\xc3\xa9t\xc3\xa9>"}}));
  DX_CloseFiles(e.handle);
}

// ---- the portable character set ----

TEST(PorCharset, TextIsWrittenInThePortableSetOrTransliterated) {
  const struct {
    const char* text;
    const char* written;
    size_t replaced;
  } cases[] = {
      {"plain a#b~{}\\|`", "plain a#b~{}\\|`", 0},
      {"Z\xc3\xbcrich", "Zurich", 1},
      {"bondjo\xc3\xbb", "bondjou", 1},
      {"Stra\xc3\x9f" "e \xc3\x86", "Strasse AE", 2},
      {"\xce\x91\xce\xb8\xce\xae\xce\xbd\xce\xb1", "Athina", 5},               // Greek
      {"\xd0\x9c\xd0\xbe\xd1\x81\xd0\xba\xd0\xb2\xd0\xb0", "Moskva", 6},  // Cyrillic
      {"\xc2\xb1 2 \xc2\xb0" "C \xe2\x80\x94 m\xc2\xb2", "\xb1 2 \xb0" "C \x97 m\xb2", 0},  // the set's symbols
      {"e\xcc\x81", "e", 1},                     // a combining accent
      {"tab\there\n", "tab here ", 2},             // control characters
      {"\xe6\x97\xa5\xe6\x9c\xac x", "?? x", 2},  // nothing to stand in
      {"bad \xff", "bad ?", 1},                   // not UTF-8
  };
  for (const auto& c : cases) {
    std::string out;
    EXPECT_EQ(por_encode(c.text, std::strlen(c.text), out), c.replaced) << c.text;
    EXPECT_EQ(out, c.written) << c.text;
    // Every byte written is one the header's table names.
    for (unsigned char b : out) EXPECT_NE(por_translation_table().find(static_cast<char>(b)), std::string::npos) << c.text;
    // And reads back through that table to the same text, symbols included.
    PorDecoder d;
    d.build(reinterpret_cast<const unsigned char*>(por_translation_table().data()));
    std::string back;
    for (unsigned char b : out) por_append_decoded(d.code[b], back);
    if (c.replaced == 0) EXPECT_EQ(back, c.text);
  }
  std::string name;
  EXPECT_EQ(por_ascii("\xc2\xb1x\xc3\xa9", 5, name), 2u);
  EXPECT_EQ(name, "+-xe");
}

// Non-ASCII names, labels and values: the file holds only the set's characters in lines of 80,
// names follow the name rules, every replaced character is counted once per variable, and an
// output encoding set by the host changes nothing.
TEST(PorRoundTrip, NamesLabelsAndValuesThroughThePortableSet) {
  Env e;
  DX_SetOption(e.handle, 26, 0, "ISO-8859-1");
  const std::string path = temp_path("charset");
  const std::string symbols = [] {
    std::string s;
    for (int i = 0; i < 60; ++i) s += "\xc2\xb1\xc2\xb0";  // across line ends
    return s;
  }();
  auto setup = [](EnvRecord& env) {
    VarRecord& city = *dict_var(env.dict, 1);
    ValueLabel l;
    l.has_text = true;
    l.text = "Z\xc3\xbcrich";
    l.label = "Stadt Z\xc3\xbcrich";
    city.value_labels.push_back(l);
  };
  ASSERT_EQ(write_por(e, path,
                      {{"bondjo\xc3\xbb", T_FLOAT, 8, "\xc3\x89tiquette \xc2\xb1"},
                       {"city", T_STRING, 12},
                       {"\xce\xb8\xce\xad\xce\xbc\xce\xb1", T_STRING, 240}},
                      {{N(1), S("Z\xc3\xbcrich"), S(symbols)}, {N(2), S("\xce\x91\xce\xb8\xce\xae\xce\xbd\xce\xb1"), S("x")}},
                      setup),
            0)
      << DX_GetErrorMsg(e.handle);
  // "É" in the first variable's label; in the second "ü" of its label's value, its label and a
  // value, and the five Greek letters of another value.
  std::vector<std::pair<std::string, int64_t>> replaced;
  for (const ChangeEntry& c : e.env->transfer.changes.entries)
    if (c.kind == ChangeKind::CharReplaced) replaced.emplace_back(c.variable, c.count);
  EXPECT_EQ(replaced, (std::vector<std::pair<std::string, int64_t>>{{"BONDJOU", 1}, {"CITY", 8}}));
  EXPECT_EQ(change_total(*e.env, ChangeKind::NameChanged), 2);

  const std::string bytes = slurp(path);
  const std::string& table = por_translation_table();
  size_t at = 0;
  for (size_t end; (end = bytes.find("\r\n", at)) != std::string::npos; at = end + 2) {
    EXPECT_EQ(end - at, 80u);
    for (size_t i = at; i < end; ++i) ASSERT_NE(table.find(bytes[i]), std::string::npos) << i;
  }
  EXPECT_EQ(bytes.substr(200, 256).size(), 256u);

  ReadBack r = read_por(e, path);
  ASSERT_GE(r.rc, 0) << r.error;
  std::vector<std::string> names;
  for (const VarRecord* v : r.vars) names.push_back(v->name);
  EXPECT_EQ(names, (std::vector<std::string>{"BONDJOU", "CITY", "THEMA"}));
  EXPECT_EQ(r.vars[0]->label, "Etiquette \xc2\xb1");
  ASSERT_EQ(r.vars[1]->value_labels.size(), 1u);
  EXPECT_EQ(r.vars[1]->value_labels[0].label, "Stadt Zurich");
  ASSERT_EQ(r.rows.size(), 2u);
  EXPECT_EQ(r.rows[0], (std::vector<std::string>{"1", "<Zurich>", "<" + symbols + ">"}));
  EXPECT_EQ(r.rows[1], (std::vector<std::string>{"2", "<Athina>", "<x>"}));
  DX_CloseFiles(e.handle);
}

// A transliteration longer than the declared width ("½" as " 1/2 ") is cut, and said so.
TEST(PorWriter, TransliterationBeyondTheWidthIsCutAndCounted) {
  Env e;
  const std::string path = temp_path("translit_cut");
  ASSERT_EQ(write_por(e, path, {{"h", T_STRING, 2}}, {{S("\xc2\xbd")}}), 0) << DX_GetErrorMsg(e.handle);
  EXPECT_EQ(change_total(*e.env, ChangeKind::CharReplaced), 1);
  EXPECT_EQ(change_total(*e.env, ChangeKind::StringCut), 1);
  ReadBack r = read_por(e, path);
  ASSERT_GE(r.rc, 0) << r.error;
  EXPECT_EQ(r.rows, (std::vector<std::vector<std::string>>{{"< 1>"}}));
  DX_CloseFiles(e.handle);
}

// The reader takes every character through the file's own table: letters at other bytes, digits
// named twice (PSPP also puts them at the superscript positions), bytes the table leaves out.
TEST(PorReader, CharactersThroughTheFilesTable) {
  std::string table = por_translation_table();
  table[100] = '\xe1';                                   // "a" is written as 0xE1
  for (int i = 0; i < 10; ++i) table[167 + i] = static_cast<char>('0' + i);
  std::string flat;
  for (int i = 0; i < 5; ++i) flat += "ASCII SPSS PORT FILE" + std::string(20, ' ');
  flat += table + "SPSSPORT" + "A8/202001016/000000" "41/" "76/1/S1/6/0/1/6/0/C3/l\xe1" "b" "F" "6/\xe1" "b\xb1" "c\xc3\xbc" "Z";
  std::string file;
  for (size_t at = 0; at < flat.size(); at += 80) file += flat.substr(at, 80) + "\r\n";
  const std::string path = temp_path("table");
  spill(path, file);
  Env e;
  ReadBack r = read_por(e, path);
  ASSERT_GE(r.rc, 0) << r.error;
  EXPECT_EQ(r.vars[0]->label, "lab");
  // 0xB1 is the table's "\xc2\xb1"; the UTF-8 of "\xc3\xbc" is no byte the table names: kept as it is.
  EXPECT_EQ(r.rows, (std::vector<std::vector<std::string>>{{"<ab\xc2\xb1" "c\xc3\xbc>"}}));
  DX_CloseFiles(e.handle);
}

// ---- failures ----

TEST(PorReader, RefusedFilesAndTheirMessages) {
  const std::string head = "A8/202001016/000000";
  const struct {
    std::string bytes;
    const char* message;
  } cases[] = {
      {std::string(3000, 'x'), "Not a SPSS Export File"},
      {"SPSSPOR", "Not a SPSS Export File"},
      {por_file(head + "41/Q"), "Processing of the file (NAME) was stopped because of the error (1)."},
      {por_file(head + "41/70/1/A5/8/2/5/8/2/70/1/B5/8/2/5/8/2/F"),
       "Processing of the file (NAME) was stopped because of the error (2)."},
      {por_file(head + "42/70/1/A5/8/2/5/8/2/F"),
       "Processing of the file (NAME) was stopped because of the error (3)."},
      {por_file(head + "41/70/1/A5/8/2/5/8"), "The SPSS portable file ends inside its dictionary (file truncated?)"},
      {por_file(head + "4*.F"), "Bad variable count in the SPSS portable file (line 7, column 6)"},
      {por_file(head + "41/7-1/"), "Bad variable width in the SPSS portable file (line 7, column 10)"},
      {por_file(head + "42/70/1/A5/8/2/5/8/2/70/1/B5/8/2/5/8/2/F1/2/3/"),
       "The SPSS portable file ends inside case 2 (file truncated?)"},
      {por_file(head + "41/72/2/S1/2/0/1/2/0/F-1/"), "Bad string length in the SPSS portable file (line 7, column 28)"},
  };
  int n = 0;
  for (const auto& c : cases) {
    Env e;
    const std::string path = temp_path("refused" + std::to_string(n++));
    spill(path, c.bytes);
    ReadBack r = read_por(e, path);
    EXPECT_LT(r.rc, 0) << c.message;
    std::string want = c.message;
    const size_t name = want.find("NAME");
    if (name != std::string::npos) want.replace(name, 4, path.substr(path.rfind('/') + 1));
    EXPECT_EQ(r.error, want);
    DX_CloseFiles(e.handle);
  }
}

std::string sample_file(Env& e) {
  const std::string path = temp_path("sample");
  EXPECT_EQ(write_por(e, path, {{"n", T_DOUBLE, 8, "a label"}, {"s", T_STRING, 5}, {"d", T_DATE}},
                      {{N(1.25), S("ab"), N(100)}, {M(1), S("cdefg"), N(-3.5)}, {N(-7), S(""), M(1)}},
                      [](EnvRecord& env) { dict_var(env.dict, 0)->value_labels = {{1.25, {}, false, 0, "x"}}; }),
              0);
  return slurp(path);
}

TEST(PorDamage, EveryCutFailsWithAMessageOrReadsWhatIsThere) {
  Env e;
  const std::string full = sample_file(e);
  const size_t dictionary = full.find("SPSSPORT") + 40;  // well inside the dictionary
  const std::string path = temp_path("cut");
  for (size_t len = 0; len < full.size(); ++len) {
    spill(path, full.substr(0, len));
    ReadBack r = read_por(e, path);
    if (len < dictionary) EXPECT_LT(r.rc, 0) << len;
    if (r.rc >= 0) {
      // Only cuts inside the data can open; what they give is a prefix of the cases.
      EXPECT_LE(r.rows.size(), 3u) << len;
    } else {
      EXPECT_FALSE(r.error.empty()) << "cut at " << len;
    }
    DX_CloseFiles(e.handle);
  }
}

TEST(PorDamage, RandomBytesNeverCrash) {
  Env e;
  // A written file, and one made by hand with missing values, documents and label sets.
  const std::string sources[] = {sample_file(e), por_file(kHandDict + "1/6/3/abc" "5/10/3/   " "-9/4/3/zz " "Z")};
  const std::string path = temp_path("noise");
  std::mt19937 rng(11);
  const char alphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ/.*-+ \r\n\x01\xff";
  for (const std::string& full : sources) {
    for (int round = 0; round < 400; ++round) {
      std::string bytes = full;
      const int hits = 1 + static_cast<int>(rng() % 6);
      for (int k = 0; k < hits; ++k)
        bytes[456 + rng() % (bytes.size() - 456)] = alphabet[rng() % (sizeof alphabet - 1)];
      spill(path, bytes);
      ReadBack r = read_por(e, path, 50);
      if (r.rc < 0) EXPECT_FALSE(r.error.empty()) << r.rc << " " << bytes.substr(456);
      DX_CloseFiles(e.handle);
    }
  }
}

}  // namespace
