// Stata files written by the writer and read back by the reader, byte checks of what the
// writer chooses, and damaged files (cut at every offset, corrupted counts and references).
#include <unistd.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "api/call_frame.h"
#include "api/env_record.h"
#include "api/option_slots.h"
#include "dict/dictionary.h"
#include "engine/change_report.h"
#include "engine/optimize.h"
#include "engine/stream_glue.h"
#include "formats/stata/stata_writer.h"
#include "io/stream.h"
#include "tabulon/tabulon.h"
#include "support/format_harness.h"

using namespace tabulon;

namespace {

using Env = test::TestEnv;

std::string temp_path(const std::string& name) { return test::scratch_path("stata", name, ".dta"); }

using test::slurp;
using test::spill;
size_t count_of(const std::string& hay, const std::string& needle) {
  size_t n = 0;
  for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1)) ++n;
  return n;
}

using namespace test;  // cells, variable specs, write_cases and read_cases

// Writes a file through the writer's entry points; 0 or the failure code (message in env).
int32_t write_stata(Env& e, const std::string& path, const std::vector<Spec>& specs,
                    const std::vector<std::vector<Cell>>& rows, const Setup& setup = nullptr) {
  return test::write_cases(e.handle, {14, stata_open_output, stata_write_case, stata_close_output}, path, specs, rows,
                           setup);
}

std::string show(const EnvRecord& env, const VarRecord& v) {
  if (v.missing) {
    std::string s = missing_code_text(v.missing);
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  }
  if (v.is_string()) return "<" + std::string(var_get_string(env.dict, v)) + ">";
  char b[64];
  std::snprintf(b, sizeof b, "%.17g", var_get_double(env.dict, v));
  return b;
}

// Reads every case through the public entry points (the dictionary stays open for inspection).
ReadBack read_stata(Env& e, const std::string& path) {
  ReadBack r = test::read_cases(e, 14, path, show, nullptr, 100001);
  if (!e.env->transfer.cases_read && r.rows.empty() && r.error.empty()) r.error = DX_GetErrorMsg(e.handle);
  return r;
}

// ---- values through every release ----

struct ReleaseCase {
  int32_t setting;
  uint32_t release;
};

class StataReleases : public ::testing::TestWithParam<ReleaseCase> {};

TEST_P(StataReleases, ValuesLabelsAndMissingCodesSurvive) {
  const ReleaseCase rc = GetParam();
  Env e;
  DX_SetOption(e.handle, 77, rc.setting, nullptr);
  const std::string path = temp_path("rel" + std::to_string(rc.release));
  const std::vector<Spec> specs = {
      {"b", T_BYTE, 8, "a byte"}, {"i", T_INT}, {"l", T_LONG}, {"f", T_FLOAT}, {"d", T_DOUBLE},
      {"s", T_STRING, 12},        {"day", T_DATE}, {"tod", T_TIME}, {"stamp", T_DATETIME},
  };
  const std::vector<std::vector<Cell>> rows = {
      {N(-5), N(-32000), N(2000000000), N(53796.59), N(1.0 / 3), S("hello"), N(21916), N(0.5), N(40000.25)},
      {N(100), M(1), M(27), M(2), M(3), S(""), N(44000), N(0.75), M(1)},
      {M(3), N(7), N(-7), N(-0.5), N(2.5e10), S("x y"), M(1), M(1), N(21916)},
  };
  ASSERT_EQ(write_stata(e, path, specs, rows, [](EnvRecord& env) {
              VarRecord& b = *dict_var(env.dict, 0);
              b.value_labels.push_back({1, {}, false, 0, "one"});
              b.value_labels.push_back({-5, {}, false, 0, "minus five"});
              ValueLabel ext;
              ext.text = ".B";
              ext.has_text = true;
              ext.missing = 3;
              ext.label = "refused";
              b.value_labels.push_back(ext);
              env.dict.file_label = "the data";
              env.dict.has_file_label = true;
            }),
            0)
      << DX_GetErrorMsg(e.handle);
  const std::string bytes = slurp(path);
  if (rc.release >= 117) {
    EXPECT_EQ(bytes.rfind("<stata_dta><header><release>" + std::to_string(rc.release) + "</release>", 0), 0u);
  } else {
    EXPECT_EQ(static_cast<uint8_t>(bytes[0]), rc.release);
  }

  ReadBack r = read_stata(e, path);
  ASSERT_GE(r.rc, 0) << r.error;
  ASSERT_EQ(r.vars.size(), specs.size());
  const bool ext = rc.release >= 113;
  const std::string dot_b = ext ? ".b" : ".", dot_z = ext ? ".z" : ".", dot_a = ext ? ".a" : ".";
  const std::string day0 = rc.release == 104 ? "<01/01/60>" : "21916";
  const std::string day1 = rc.release == 104 ? "<06/18/20>" : "44000";
  // Release 104 has no date formats: date-times stay days since 1960.
  const std::string stamp = rc.release == 104 ? "18084.25" : "40000.25";
  const std::string stamp0 = rc.release == 104 ? "0" : "21916";
  const std::vector<std::vector<std::string>> want = {
      {"-5", "-32000", "2000000000", "53796.589999999997", "0.33333333333333331", "<hello>", day0, "0.5", stamp},
      {"100", ".", dot_z, dot_a, dot_b, ".", day1, "0.75", "."},
      {dot_b, "7", "-7", "-0.5", "25000000000", "<x y>", ".", ".", stamp0},
  };
  EXPECT_EQ(r.rows, want);
  EXPECT_EQ(r.vars[0]->label, "a byte");
  EXPECT_EQ(e.env->dict.file_label, "the data");
  // A Float that no optimization narrowed is kept in 8 bytes.
  EXPECT_EQ(r.vars[3]->reader_aux[1], 'd');
  const auto& labels = r.vars[0]->value_labels;
  ASSERT_EQ(labels.size(), ext ? 3u : 2u);
  EXPECT_EQ(labels[0].value, -5);
  EXPECT_EQ(labels[0].label, rc.release < 108 ? "minus fi" : "minus five");  // 8 bytes before 108
  EXPECT_EQ(labels[1].label, "one");
  if (ext) {
    EXPECT_EQ(labels[2].missing, 3u);
    EXPECT_EQ(labels[2].label, "refused");
  }
  // Dates, times and date-times come back as such from the releases that mark them.
  EXPECT_EQ(r.vars[6]->ttype, rc.release >= 105 ? T_DATE : T_STRING);
  if (rc.release >= 114) {
    EXPECT_EQ(r.vars[7]->ttype, T_TIME);
    EXPECT_EQ(r.vars[8]->ttype, T_DATETIME);
  }
  DX_CloseFiles(e.handle);
}

INSTANTIATE_TEST_SUITE_P(All, StataReleases,
                         ::testing::Values(ReleaseCase{1, 104}, ReleaseCase{5, 105}, ReleaseCase{6, 108},
                                           ReleaseCase{7, 110}, ReleaseCase{0x107, 111}, ReleaseCase{8, 113},
                                           ReleaseCase{10, 114}, ReleaseCase{12, 115}, ReleaseCase{13, 117},
                                           ReleaseCase{0, 118}, ReleaseCase{119, 119}),
                         [](const auto& info) { return "release" + std::to_string(info.param.release); });

// ---- what the writer chooses ----

TEST(StataWriter, DefaultReleaseDatesAndExtendedMissingBytes) {
  struct Case {
    int32_t setting;
    uint8_t release;
    uint8_t dot_b;  // byte written for ".b"
  } cases[] = {{10, 114, 103}, {7, 110, 127}};
  for (const Case& c : cases) {
    Env e;
    DX_SetOption(e.handle, 77, c.setting, nullptr);
    const std::string path = temp_path("dotb");
    ASSERT_EQ(write_stata(e, path, {{"d", T_DATE}, {"b", T_BYTE}}, {{N(21916), M(3)}}), 0);
    const std::string bytes = slurp(path);
    ASSERT_GE(bytes.size(), 5u);
    EXPECT_EQ(static_cast<uint8_t>(bytes[0]), c.release);
    // The one record closes the file: the date as a long 0, then the byte.
    EXPECT_EQ(bytes.substr(bytes.size() - 5, 4), std::string(4, '\0'));
    EXPECT_EQ(static_cast<uint8_t>(bytes.back()), c.dot_b);
    if (c.release == 114) {
      EXPECT_NE(bytes.find("%tdD_m_Y"), std::string::npos);
      EXPECT_EQ(bytes[2], 1);  // file type
      EXPECT_EQ(bytes[6], 1);  // N patched at close
    }
  }
}

TEST(StataWriter, StringWidthsFollowTheReleaseAndTheStrLThreshold) {
  Env e;
  const std::string path = temp_path("widths");
  const std::string long_text(300, 'x');
  // Stata 10 keeps up to 244 bytes.
  DX_SetOption(e.handle, 77, 10, nullptr);
  ASSERT_EQ(write_stata(e, path, {{"s", T_STRING, 300}}, {{S(long_text)}}), 0);
  ReadBack r = read_stata(e, path);
  ASSERT_GE(r.rc, 0) << r.error;
  EXPECT_EQ(r.rows[0][0], "<" + long_text.substr(0, 244) + ">");
  DX_CloseFiles(e.handle);
  // Stata 8 without the large edition keeps 80.
  DX_SetOption(e.handle, 77, 8, nullptr);
  ASSERT_EQ(write_stata(e, path, {{"s", T_STRING, 300}}, {{S(long_text)}}), 0);
  r = read_stata(e, path);
  EXPECT_EQ(r.rows[0][0], "<" + long_text.substr(0, 80) + ">");
  DX_CloseFiles(e.handle);

  DX_SetOption(e.handle, 77, 13, nullptr);
  ASSERT_EQ(write_stata(e, path, {{"wide", T_STRING, 40}, {"narrow", T_STRING, 31}, {"other", T_STRING, 40}},
                        {{S("same text"), S("abc"), S("different")},
                         {S("same text"), S("def"), S("same text")},
                         {S(""), S(""), S("third")}}),
            0);
  const std::string bytes = slurp(path);
  EXPECT_EQ(bytes.find("<byteorder>LSF</byteorder>"), 41u);
  EXPECT_EQ(count_of(bytes, "GSO"), 3u);  // "same text" once, "different", "third"
  r = read_stata(e, path);
  ASSERT_GE(r.rc, 0) << r.error;
  EXPECT_EQ(r.vars[0]->reader_aux[1], 'v');
  EXPECT_EQ(r.vars[1]->reader_aux[1], 's');
  EXPECT_EQ(r.vars[1]->print_width, 31u);
  EXPECT_EQ(r.vars[2]->reader_aux[1], 'v');
  const std::vector<std::vector<std::string>> want = {
      {"<same text>", "<abc>", "<different>"}, {"<same text>", "<def>", "<same text>"}, {".", ".", "<third>"}};
  EXPECT_EQ(r.rows, want);
  DX_CloseFiles(e.handle);
}

// Releases 118 and 119 keep any text and any length: long strings become strLs, written whole,
// equal texts stored once; their (v, o) references take 2 + 6 and 3 + 5 bytes.
TEST(StataWriter, LongAndUnicodeStringsSurviveAsStrLs) {
  const std::string greek = "Ελληνικά κείμενο";
  const std::string huge = std::string(5000, 'h') + "ω";
  for (const int32_t setting : {0, 119, 13}) {
    Env e;
    DX_SetOption(e.handle, 77, setting, nullptr);
    const std::string path = temp_path("strl" + std::to_string(setting));
    ASSERT_EQ(write_stata(e, path, {{"n", T_BYTE}, {"g", T_STRING, 31}, {"big", T_STRING, 5002}},
                          {{N(1), S(greek), S(huge)}, {N(2), S("plain"), S(huge)}, {N(3), S(""), S("short")}}),
              0)
        << DX_GetErrorMsg(e.handle);
    const std::string bytes = slurp(path);
    EXPECT_EQ(count_of(bytes, "GSO"), 2u);  // the huge text once, "short"
    const uint32_t release = setting == 0 ? 118 : setting == 119 ? 119 : 117;
    if (release >= 118) {
      // First record: the byte, the 31-byte string, then v = 3, o = 1.
      const size_t ref = bytes.find("<data>") + 6 + 1 + 31;
      std::string want(8, '\0');
      want[0] = 3;
      want[release == 118 ? 2 : 3] = 1;
      EXPECT_EQ(bytes.substr(ref, 8), want);
    }
    ReadBack r = read_stata(e, path);
    ASSERT_GE(r.rc, 0) << r.error;
    EXPECT_EQ(r.vars[2]->reader_aux[1], 'v');
    if (release >= 118) {
      const std::vector<std::vector<std::string>> want = {
          {"1", "<" + greek + ">", "<" + huge + ">"}, {"2", "<plain>", "<" + huge + ">"}, {"3", ".", "<short>"}};
      EXPECT_EQ(r.rows, want);
    } else {
      // 117 stores Windows-1252: the Greek letters become '?', counted, never an error.
      EXPECT_EQ(r.rows[0][1], "<???????? ???????>");
      EXPECT_EQ(r.rows[0][2], "<" + std::string(5000, 'h') + "?>");
    }
    DX_CloseFiles(e.handle);
  }
}

// Older releases store Windows-1252: what it lacks is replaced and reported once per variable
// with its count through the change report, and the transfer goes on.
TEST(StataWriter, TextOutsideTheCodePageIsCountedNotFatal) {
  Env e;
  DX_SetOption(e.handle, 77, 10, nullptr);
  const std::string path = temp_path("cp1252");
  std::vector<std::vector<Cell>> rows;
  for (int i = 0; i < 150; ++i) rows.push_back({S("Αθήνα"), S("café")});
  ASSERT_EQ(write_stata(e, path, {{"city", T_STRING, 10, "Πόλη"}, {"word", T_STRING, 10}}, rows), 0)
      << DX_GetErrorMsg(e.handle);
  EXPECT_EQ(change_total(*e.env, ChangeKind::CharReplaced), 150 * 5 + 4);
  const std::string summary = change_summary(*e.env);
  EXPECT_NE(summary.find("characters replaced in 1 variable"), std::string::npos) << summary;
  ReadBack r = read_stata(e, path);
  ASSERT_GE(r.rc, 0) << r.error;
  EXPECT_EQ(r.rows.size(), 150u);
  EXPECT_EQ(r.rows[149], (std::vector<std::string>{"<?????>", "<café>"}));
  EXPECT_EQ(r.vars[0]->label, "????");
  DX_CloseFiles(e.handle);
}

// Stata reads a double from 2^1023 up as one of its missing values: such values (and
// infinities) are written as missing and counted, never passed through as bits a reader takes
// for a missing code. The largest double below and the most negative one pass unchanged.
TEST(StataWriter, DoublesStataReadsAsMissingAreCountedAndWrittenAsMissing) {
  Env e;
  const std::string path = temp_path("huge");
  const double below = std::nextafter(std::ldexp(1.0, 1023), 0.0);
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<double> values = {below, std::ldexp(1.0, 1023), 1.7976931348623157e308, inf,
                                      -1.7976931348623157e308, -inf};
  std::vector<std::vector<Cell>> rows;
  for (double x : values) rows.push_back({N(x)});
  ASSERT_EQ(write_stata(e, path, {{"x", T_DOUBLE}}, rows), 0) << DX_GetErrorMsg(e.handle);
  EXPECT_EQ(change_total(*e.env, ChangeKind::ValueOutOfRange), 4);
  ReadBack r = read_stata(e, path);
  ASSERT_GE(r.rc, 0) << r.error;
  ASSERT_EQ(r.rows.size(), 6u);
  EXPECT_EQ(r.rows[0][0], "8.9884656743115785e+307");
  for (int i : {1, 2, 3, 5}) EXPECT_EQ(r.rows[static_cast<size_t>(i)][0], ".") << i;
  EXPECT_EQ(r.rows[4][0], "-1.7976931348623157e+308");
  DX_CloseFiles(e.handle);
}

TEST(StataWriter, FloatsKeepFourBytesOnlyWhenNarrowedAndInRange) {
  Env e;
  const std::string path = temp_path("floats");
  ASSERT_EQ(write_stata(e, path, {{"plain", T_FLOAT}, {"narrowed", T_FLOAT}}, {{N(53796.59), N(1.5)}},
                        [](EnvRecord& env) { dict_var(env.dict, 1)->state_flags |= kVarOptimized; }),
            0);
  ReadBack r = read_stata(e, path);
  ASSERT_GE(r.rc, 0) << r.error;
  EXPECT_EQ(r.vars[0]->reader_aux[1], 'd');
  EXPECT_EQ(r.vars[1]->reader_aux[1], 'f');
  EXPECT_EQ(r.rows[0][0], "53796.589999999997");
  DX_CloseFiles(e.handle);

  // A float the host asked for is checked against the float range.
  EXPECT_EQ(write_stata(e, path, {{"big", T_FLOAT}}, {{N(1e38)}},
                        [](EnvRecord& env) { dict_var(env.dict, 0)->flags |= kVarTypeSetByHost; }),
            -1);
  EXPECT_STREQ(DX_GetErrorMsg(e.handle),
               " The data in variable, big, can not be represented in a float.\nPlease enable optimizaiton and have "
               "Tabulon chose appropriate types for your variables.");
  // An integer outside its type would turn into a missing code: refused.
  EXPECT_EQ(write_stata(e, path, {{"small", T_BYTE}}, {{N(120)}}), -1);
  EXPECT_STREQ(DX_GetErrorMsg(e.handle), "The data in variable, small, can not be represented in a byte.");
}

TEST(StataWriter, VariableLimitLongLabelsAndSharedLabelSets) {
  Env e;
  const std::string path = temp_path("limits");
  std::vector<Spec> many;
  for (int i = 0; i < 2048; ++i) many.push_back({"v" + std::to_string(i), T_BYTE});
  DX_SetOption(e.handle, 77, 10, nullptr);
  EXPECT_EQ(write_stata(e, path, many, {}), -2);
  EXPECT_STREQ(DX_GetErrorMsg(e.handle),
               "Standard (Intercooled) Stata has limit of 2047 variables, you should select Stata/SE.");
  DX_SetOption(e.handle, 77, 0x10D, nullptr);  // Stata 13, large edition
  EXPECT_EQ(write_stata(e, path, many, {}), 0);
  DX_SetOption(e.handle, 77, 0, nullptr);  // the default release has no such limit
  EXPECT_EQ(write_stata(e, path, many, {}), 0);

  const std::string label(100, 'L');
  DX_SetOption(e.handle, 77, 0, nullptr);
  DX_SetOption(e.handle, 96, 1, nullptr);
  ASSERT_EQ(write_stata(e, path, {{"x", T_BYTE, 8, label}, {"y", T_BYTE}, {"z", T_BYTE}}, {{N(1), N(0), N(1)}},
                        [](EnvRecord& env) {
                          env.transfer.input_code = 14;  // sets named by a Stata input
                          for (int i = 0; i < 3; ++i) {
                            VarRecord& v = *dict_var(env.dict, i);
                            v.value_labels = {{0, {}, false, 0, "no"}, {1, {}, false, 0, "yes"}};
                            v.reader_text = i < 2 ? "yesno" : "";
                          }
                        }),
            0);
  const std::string bytes = slurp(path);
  EXPECT_NE(bytes.find("note1"), std::string::npos);
  EXPECT_NE(bytes.find(label), std::string::npos);
  ReadBack r = read_stata(e, path);
  ASSERT_GE(r.rc, 0) << r.error;
  EXPECT_EQ(r.vars[0]->label, label.substr(0, 80));
  for (const VarRecord* v : r.vars) ASSERT_EQ(v->value_labels.size(), 2u) << v->name;
  EXPECT_EQ(r.vars[0]->reader_text, "yesno");
  EXPECT_EQ(r.vars[1]->reader_text, "yesno");
  EXPECT_EQ(r.vars[2]->reader_text, "z");
  EXPECT_EQ(r.vars[1]->reader_aux[0], 2);  // second in its chain
  DX_CloseFiles(e.handle);
}

// ---- reader checks ----

TEST(StataReader, RefusesOtherReleasesWithTheirMessages) {
  struct Case {
    std::string bytes;
    const char* message;
  } cases[] = {
      {std::string("\x74\x02\x01\x00\x01\x00\x01\x00\x00\x00", 10), "Your new version of Stata is not supported"},
      {"<stata_dta><header><release>120</release>", "Stata file version is not supported"},
      {"<stata_dta><header><release>11</release>", "Stata file version is not supported"},
      {std::string("\x65\x02\x01\x00", 4), "Not a Stata file"},
      {std::string("\x72\x02\x02\x00\x01\x00\x01\x00\x00\x00", 10), "Cross Product Matrices are not supported"},
      {std::string("\x72\x02\x01\x00\x01\x00\x00\x00\x00\x00", 10), "The file has no variables or observations"},
      {std::string("\x72\x02\x01\x00\x01\x00", 6), "Error reading stata header: End of file"},
      {"<stata_dta><header><release>117</release><byteorder>XSF</byteorder>", "Invalid byteorder: XSF"},
      {"<stata_dta><header><release>117</release><byteorder>LSF</byteorder><L>",
       "Marker: <K> was not properly located"},
  };
  for (const Case& c : cases) {
    Env e;
    const std::string path = temp_path("refused");
    spill(path, c.bytes);
    ReadBack r = read_stata(e, path);
    EXPECT_LT(r.rc, 0);
    EXPECT_EQ(r.error, c.message);
  }
}

TEST(StataReader, StrLsOverTheLimitAreTrimmedWithAWarning) {
  static std::vector<std::string> seen;
  seen.clear();
  Env e;
  uint32_t settings[4] = {0, 0, 0xFFFFFFFFu, 1};
  DX_SetInfoCallback(e.handle, 0xFF, settings, 0, 0,
                     [](int32_t, const char* text, int32_t, int64_t) { seen.emplace_back(text); });
  DX_SetOption(e.handle, 77, 13, nullptr);
  DX_SetOption(e.handle, 83, 32768, nullptr);
  const std::string path = temp_path("trim");
  ASSERT_EQ(write_stata(e, path, {{"big", T_STRING, 2500}}, {{S(std::string(2500, 'z'))}}), 0);
  DX_SetOption(e.handle, 83, 1000, nullptr);
  ReadBack r = read_stata(e, path);
  ASSERT_GE(r.rc, 0) << r.error;
  EXPECT_EQ(r.rows[0][0], "<" + std::string(1000, 'z') + ">");
  EXPECT_NE(std::find(seen.begin(), seen.end(),
                      "Warning: Trimming 1500 bytes from the end of over-limit strl -  case: 1 - variable: 1."),
            seen.end());
  DX_CloseFiles(e.handle);
}

// ---- damaged files ----

// A small release-117 file with every section filled, and its binary twin.
std::string sample_file(Env& e, int32_t setting, const std::string& name) {
  DX_SetOption(e.handle, 77, setting, nullptr);
  const std::string path = temp_path(name);
  EXPECT_EQ(write_stata(e, path, {{"note", T_STRING, 40, std::string(90, 'n')}, {"n", T_BYTE}, {"d", T_DOUBLE}},
                        {{S("first long text"), N(1), N(2.5)}, {S("second"), M(2), M(1)}},
                        [](EnvRecord& env) {
                          dict_var(env.dict, 1)->value_labels = {{1, {}, false, 0, "one"}};
                        }),
            0);
  return slurp(path);
}

TEST(StataDamage, EveryCutFailsCleanlyOrReadsWhatIsThere) {
  for (int32_t setting : {13, 0, 119, 10, 7}) {
    Env e;
    const std::string full = sample_file(e, setting, "cut_src");
    ASSERT_GT(full.size(), 100u);
    const bool tagged = setting == 13 || setting == 0 || setting == 119;
    const size_t data_end = tagged ? full.find("</data>") : full.size() - 4 * 16;  // before the labels
    const std::string path = temp_path("cut");
    const size_t step = tagged ? 1 : 3;  // every offset of the tagged form, most of the others
    for (size_t len = 0; len < full.size(); len += step) {
      spill(path, full.substr(0, len));
      ReadBack r = read_stata(e, path);
      if (len < data_end) {
        EXPECT_LT(r.rc, 0) << "cut at " << len << " of " << full.size();
      }
      if (r.rc < 0) {
        EXPECT_FALSE(r.error.empty()) << "cut at " << len;
      }
      DX_CloseFiles(e.handle);
    }
  }
}

TEST(StataDamage, CorruptedCountsTypesAndReferences) {
  Env e;
  const std::string tagged = sample_file(e, 13, "corrupt117");
  const std::string binary = sample_file(e, 10, "corrupt114");
  const std::string r118 = sample_file(e, 0, "corrupt118");
  const std::string r119 = sample_file(e, 119, "corrupt119");
  const size_t data118 = r118.find("<data>") + 6;
  const size_t data = tagged.find("<data>") + 6;
  const size_t gso = tagged.find("GSO");
  const size_t types = tagged.find("<variable_types>") + 16;
  const size_t lbl = tagged.find("<lbl>") + 5 + 4 + 36;  // the entry count of the first table
  auto patched = [](std::string s, size_t at, std::string bytes) { return s.replace(at, bytes.size(), bytes); };
  struct Case {
    std::string bytes;
    const char* message;
  } cases[] = {
      // N far beyond the file.
      {patched(binary, 6, std::string("\xff\xff\xff\x7f", 4)),
       "The file holds fewer observations than its header declares (2147483647 observations of 49 bytes; file "
       "truncated?)"},
      {patched(binary, 10 + 81 + 18, "\xf6"), "Error in rdsttype: Read char doesn't have type"},
      {patched(tagged, types, std::string("\x00\x90", 2)), "Unrecognized variable type"},
      {patched(tagged, data, std::string("\x09\x00\x00\x00", 4)),
       "Error looking up strl value - variable or case offset is out of range"},
      {patched(tagged, gso + 3, std::string("\x40\x00\x00\x00", 4)),
       "Error reading strls too many variables or case offset out of range"},
      {patched(tagged, gso, "GSX"), "Problem reading stls - no \"GSO\""},
      {patched(tagged, lbl, std::string("\x70\x11\x01\x00", 4)), "Invalid number of labels in a label set"},
      {patched(tagged, tagged.find("<strls>"), "<strlx>"), "Marker: <strls> was not properly located"},
      // Release 118: a 2 + 6-byte reference past the table, N of 64 bits, a GSO block's 8-byte o.
      {patched(r118, data118, std::string("\x09\x00", 2)),
       "Error looking up strl value - variable or case offset is out of range"},
      {patched(r118, data118 + 2, std::string("\x07\x00\x00\x00\x00\x00", 6)),
       "Error looking up strl value - variable or case offset is out of range"},
      {patched(r118, r118.find("<N>") + 3, std::string("\x00\x00\x00\x00\x01\x00\x00\x00", 8)),
       "The file holds fewer observations than its header declares (4294967296 observations of 17 bytes; file "
       "truncated?)"},
      {patched(r118, r118.find("GSO") + 7, std::string("\x00\x00\x00\x00\x01", 5)),
       "Error reading strls too many variables or case offset out of range"},
      // Release 119: a 32-bit K far beyond what the file holds.
      {patched(r119, r119.find("<K>") + 3, std::string("\xf0\xff\xff\x7f", 4)),
       "Error reading stata header: End of file"},
  };
  const std::string path = temp_path("corrupt");
  for (const Case& c : cases) {
    spill(path, c.bytes);
    ReadBack r = read_stata(e, path);
    EXPECT_LT(r.rc, 0) << c.message;
    EXPECT_EQ(r.error, c.message);
    DX_CloseFiles(e.handle);
  }
}


// ---- the optimization pass ----

// The reader takes the pass's statistics straight from its data; they must be those of a
// pass that reads the cases (forced by a WHERE that keeps every case), value for value, and
// what the pass then chooses, the case count and the transfer after it must be the same.
struct PassResult : PassChoices {
  bool gathered = false;
  int32_t cases = 0;
  std::vector<VarStats> stats;  // after all cases, before the pass ends
  std::string error;
};

// retype: the host makes the first variable a string and the second a double before the pass.
PassResult pass_over(const std::string& path, bool reading, int32_t mode, const char* encoding, int32_t chunk,
                     bool retype = false) {
  PassResult c;
  Env e;
  if (encoding) DX_SetOption(e.handle, 25, 0, encoding);
  EXPECT_GE(DX_OpenInputFile(e.handle, 14, path.c_str()), 0) << path;
  const int32_t n = DX_ReadDict(e.handle);
  EXPECT_GT(n, 0) << DX_GetErrorMsg(e.handle);
  DX_SelectAllVars(e.handle);
  if (retype) {
    EXPECT_EQ(DX_SetDictVarToString(e.handle, 0, 20), 0);
    EXPECT_EQ(DX_SetTType(e.handle, 1, 8), 0);
  }
  if (reading) EXPECT_EQ(DX_ParseWhere(e.handle, "1 = 1", 1), 0);
  EXPECT_EQ(DX_OptimizeInitEx(e.handle, 14, mode), 0);
  OptimizeState* o = e.env->transfer.optimize.get();
  c.gathered = o->gather;
  const int32_t total = static_cast<int32_t>(e.env->dict.reader_count);
  // In chunks up to the last case: the pass is still open and holds its statistics.
  while (c.cases < total) {
    const int32_t got = DX_OptimizeDo(e.handle, std::min(chunk, total - c.cases));
    if (got <= 0) {
      c.error = DX_GetErrorMsg(e.handle);
      break;
    }
    c.cases += got;
  }
  c.stats = o->gather ? o->gather_stats : o->stats;
  if (c.error.empty()) {
    EXPECT_EQ(DX_OptimizeDo(e.handle, chunk), 0);
    take_pass_choices(e.handle, c, true, temp_path("pass_out"));
  }
  DX_CloseFiles(e.handle);
  return c;
}

void expect_same_pass(const std::string& path, const char* encoding, int32_t chunk, bool retype = false) {
  for (int32_t mode : {1, 0, 1 | 2, 8}) {
    SCOPED_TRACE(path + " mode " + std::to_string(mode) + (encoding ? std::string(" from ") + encoding : "") +
                 (retype ? " retyped" : ""));
    const PassResult gathered = pass_over(path, false, mode, encoding, chunk, retype);
    const PassResult read = pass_over(path, true, mode, encoding, chunk, retype);
    EXPECT_TRUE(gathered.gathered);
    EXPECT_FALSE(read.gathered);
    EXPECT_EQ(gathered.error, read.error);
    EXPECT_EQ(gathered.cases, read.cases);
    ASSERT_EQ(gathered.stats.size(), read.stats.size());
    for (size_t k = 0; k < read.stats.size(); ++k) {
      const VarStats &g = gathered.stats[k], &r = read.stats[k];
      SCOPED_TRACE("variable " + std::to_string(k + 1));
      EXPECT_EQ(g.count, r.count);
      EXPECT_EQ(std::bit_cast<uint64_t>(g.minimum), std::bit_cast<uint64_t>(r.minimum));
      EXPECT_EQ(std::bit_cast<uint64_t>(g.maximum), std::bit_cast<uint64_t>(r.maximum));
      EXPECT_EQ(g.has_fraction, r.has_fraction);
      EXPECT_EQ(g.not_float, r.not_float);
      EXPECT_EQ(g.date_parts, r.date_parts);
    }
    expect_same_choices(gathered, read);
    EXPECT_EQ(gathered.moved, read.moved);
    if (read.error.empty()) EXPECT_EQ(gathered.moved, gathered.cases);
  }
}

TEST(StataOptimize, StatisticsFromTheDataMatchAReadingPass) {
  // Every numeric type with ordinary and extended missing values, dates, times and date-times,
  // short strings, non-ASCII text and long text (strLs from release 117); enough cases for
  // several blocks of the reader.
  const std::vector<Spec> specs = {
      {"b", T_BYTE},   {"i", T_INT},        {"l", T_LONG},        {"f", T_FLOAT},       {"d", T_DOUBLE},
      {"const", T_INT}, {"day", T_DATE},    {"tod", T_TIME},      {"stamp", T_DATETIME}, {"whole", T_DATETIME},
      {"s", T_STRING, 12}, {"long", T_STRING, 60},
  };
  std::vector<std::vector<Cell>> rows;
  for (int k = 0; k < 2600; ++k) {
    const auto missing_or = [&](int every, Cell c) { return k % every == 0 ? M(static_cast<uint16_t>(1 + k % 27)) : c; };
    rows.push_back({
        missing_or(7, N(k % 200 - 100)),
        missing_or(11, N(k * 13 % 60000 - 30000)),
        missing_or(13, N(k * 7919.0 - 1e6)),
        missing_or(17, N(k == 1500 ? 1e30 : k * 0.25)),
        missing_or(19, N(k == 2000 ? 1.0 / 3 : k * 2.5)),
        N(5),
        missing_or(23, N(21916 + k)),
        missing_or(29, N((k % 96) / 96.0)),
        missing_or(31, N(21916 + k + (k % 4) / 4.0)),
        missing_or(37, N(k < 10 ? -40000 + k : 20000 + k)),
        S(k % 5 == 0 ? "" : k == 2222 ? "caf\xc3\xa9 cr\xc3\xa8me" : std::string(static_cast<size_t>(k % 12), 'a' + k % 26)),
        S(k % 3 == 0 ? "" : std::string(static_cast<size_t>(k % 60), 'x')),
    });
  }
  struct Release {
    int32_t setting;
    const char* encoding;  // read with this input encoding (null: the default)
  } releases[] = {{0, nullptr}, {119, nullptr}, {13, nullptr}, {10, nullptr}, {10, "ISO-8859-1"}, {7, nullptr}};
  for (const Release& rel : releases) {
    Env e;
    DX_SetOption(e.handle, 77, rel.setting, nullptr);
    const std::string path = temp_path("pass_" + std::to_string(rel.setting));
    ASSERT_EQ(write_stata(e, path, specs, rows), 0) << DX_GetErrorMsg(e.handle);
    expect_same_pass(path, rel.encoding, 1000);
    if (rel.setting == 0) expect_same_pass(path, nullptr, 1000, true);
    std::remove(path.c_str());
  }
  // Files of other writers: every release from 102, both byte orders, dates and tagged missing values.
  for (const char* name : {"haven_notes.dta", "haven_tagged-na-double.dta", "pandas_stata-compat-102.dta",
                           "pandas_stata-compat-104.dta", "pandas_stata-compat-110.dta",
                           "pandas_stata-compat-be-103.dta", "pandas_stata-compat-be-118.dta",
                           "pandas_stata13_dates.dta", "pandas_stata14_be_119.dta", "pandas_stata8_111.dta",
                           "pyreadstat_missing_test.dta"})
    expect_same_pass(std::string(TABULON_TEST_DATA) + "/stata/" + name, nullptr, 2);
}

// Data that end before the header's count (the strL offset the size check goes by points past
// the end) fail at the same case with the same message whether the pass reads cases or takes
// its statistics from the data.
TEST(StataOptimize, DataEndingEarlyFailsAtTheSameCase) {
  Env e;
  const std::string path = temp_path("pass_short");
  std::vector<std::vector<Cell>> rows;
  for (int k = 0; k < 3000; ++k) rows.push_back({N(k % 100), S(std::string(static_cast<size_t>(k % 9), 'q'))});
  ASSERT_EQ(write_stata(e, path, {{"n", T_BYTE}, {"s", T_STRING, 8}}, rows), 0);
  const std::string full = slurp(path);
  const size_t data = full.find("<data>") + 6, data_end = full.find("</data>");
  const size_t keep = 2050 * 9 + 4, removed = data_end - data - keep;
  std::string cut = full.substr(0, data + keep) + full.substr(data_end);
  // The value labels move with the cut; the strL offset stays where the data would end.
  const size_t labels_at = full.find("<map>") + 5 + 8 * 11;
  uint64_t labels;
  std::memcpy(&labels, cut.data() + labels_at, 8);
  labels -= removed;
  std::memcpy(cut.data() + labels_at, &labels, 8);
  spill(path, cut);
  const size_t failing = (cut.size() - data) / 9 + 1;
  ASSERT_LT(failing, 3000u);
  const std::string want = "Error reading observation " + std::to_string(failing) +
                           " of 3000: the file ends early (file truncated?)";
  for (int32_t chunk : {1000, 5000}) {
    for (int reading = 0; reading < 2; ++reading) {
      Env r;
      ASSERT_GE(DX_OpenInputFile(r.handle, 14, path.c_str()), 0) << DX_GetErrorMsg(r.handle);
      ASSERT_GT(DX_ReadDict(r.handle), 0) << DX_GetErrorMsg(r.handle);
      DX_SelectAllVars(r.handle);
      if (reading) EXPECT_EQ(DX_ParseWhere(r.handle, "1 = 1", 1), 0);
      ASSERT_EQ(DX_OptimizeInitEx(r.handle, 14, 1), 0);
      EXPECT_EQ(r.env->transfer.optimize->gather, reading == 0);
      int32_t cases = 0, got;
      while ((got = DX_OptimizeDo(r.handle, chunk)) > 0) cases += got;
      EXPECT_LT(got, 0);
      EXPECT_EQ(DX_GetErrorMsg(r.handle), want) << (reading ? "reading" : "gathering") << " in chunks of " << chunk;
      EXPECT_EQ(static_cast<size_t>(cases), (failing - 1) / chunk * chunk);
      DX_CloseFiles(r.handle);
    }
  }
  std::remove(path.c_str());
}

}  // namespace
