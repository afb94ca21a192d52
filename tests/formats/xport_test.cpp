// SAS transport files: IBM floating point both ways, the writer's records, a round trip of
// every kind of variable, two-member libraries made by hand with member selection, refused
// files and damage.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "api/call_frame.h"
#include "api/env_record.h"
#include "dict/dictionary.h"
#include "api/option_slots.h"
#include "engine/change_report.h"
#include "engine/stream_glue.h"
#include "formats/sas/xport_ibm_float.h"
#include "formats/sas/xport_writer.h"
#include "io/stream.h"
#include "tabulon/tabulon.h"
#include "support/format_harness.h"

using namespace tabulon;

namespace {

using Env = test::TestEnv;

std::string temp_path(const std::string& name) { return test::scratch_path("xpt", name, ".xpt"); }
using test::slurp;
using test::spill;

std::string hex_of(const uint8_t* p, size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}
std::vector<uint8_t> bytes_of(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

// ---- IBM floating point ----

TEST(XportIbmFloat, DoublesToIbmAndBack) {
  const struct {
    double value;
    const char* ibm;
  } cases[] = {
      {0.0, "0000000000000000"},
      {1.0, "4110000000000000"},
      {-1.0, "c110000000000000"},
      {0.5, "4080000000000000"},
      {0.0625, "4010000000000000"},
      {100.0, "4264000000000000"},
      {-118.625, "c276a00000000000"},
      {0.1, "401999999999999a"},
      {1.0 / 3, "4055555555555554"},
      {1e-5, "3ca7c5ac471b4788"},
      {3.0e10, "496fc23ac0000000"},
      {5.397605346934028e-79, "0010000000000000"},    // the smallest IBM value
      {7.2370055773320565e+75, "7ffffffffffff800"},   // the largest
  };
  for (const auto& c : cases) {
    uint8_t ibm[8];
    xport_double_to_ibm(c.value, ibm);
    EXPECT_EQ(hex_of(ibm, 8), c.ibm) << c.value;
    EXPECT_EQ(xport_ibm_to_double(bytes_of(c.ibm).data()), c.value) << c.ibm;
  }
  // Beyond the range: too large clamped with its sign (infinities too); too near to 0 written
  // as 0, not as the smallest IBM number, which would be a value the input never had.
  const struct {
    double value;
    const char* ibm;
    XportIbmFit fit;
  } clamped[] = {
      {1e-80, "0000000000000000", kIbmUnderflow},    {-1e-300, "0000000000000000", kIbmUnderflow},
      {4.9e-324, "0000000000000000", kIbmUnderflow}, {1e76, "7ffffffffffff800", kIbmClamped},
      {-1e300, "fffffffffffff800", kIbmClamped},     {HUGE_VAL, "7ffffffffffff800", kIbmClamped},
      {7.2370055773320565e+75, "7ffffffffffff800", kIbmExact}, {5.397605346934028e-79, "0010000000000000", kIbmExact},
  };
  for (const auto& c : clamped) {
    uint8_t ibm[8];
    EXPECT_EQ(xport_double_to_ibm(c.value, ibm), c.fit) << c.value;
    EXPECT_EQ(hex_of(ibm, 8), c.ibm) << c.value;
  }
  uint8_t ibm[8];
  xport_double_to_ibm(std::nan(""), ibm);
  EXPECT_EQ(hex_of(ibm, 8), "2e00000000000000");
}

TEST(XportIbmFloat, FractionsWiderThanADoubleRoundToNearestEven) {
  const struct {
    const char* ibm;
    double value;
  } cases[] = {
      {"41f0000000000004", 15.0},                     // a tie, kept even
      {"41f000000000000c", 15.0 + std::ldexp(1, -48)},  // a tie, rounded up to even
      {"41f0000000000005", 15.0 + std::ldexp(1, -49)},  // above the tie
      {"41ffffffffffffff", 16.0},                     // carries into the next power
      {"4110000000000001", 1.0 + std::ldexp(1, -52)},   // 53 bits: exact
      {"c276a0", -118.625},                           // a 3-byte value: zero low bytes
      {"401999", 0.0999908447265625},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> b = bytes_of(c.ibm);
    b.resize(8, 0);
    EXPECT_EQ(xport_ibm_to_double(b.data()), c.value) << c.ibm;
  }
}

TEST(XportIbmFloat, EveryDoubleInRangeSurvivesTheRoundTripExactly) {
  std::mt19937_64 rng(12);
  std::uniform_int_distribution<int> exp(-255, 250);
  std::uniform_real_distribution<double> mant(0.5, 1);
  for (int i = 0; i < 100000; ++i) {
    const double x = std::ldexp(mant(rng), exp(rng)) * ((i & 1) ? -1 : 1);
    uint8_t ibm[8];
    xport_double_to_ibm(x, ibm);
    ASSERT_NE(ibm[1] & 0xF0, 0) << x;  // normalised: a non-zero leading hex digit
    ASSERT_EQ(xport_ibm_to_double(ibm), x) << x;
  }
}

TEST(XportIbmFloat, MissingValuesAndTheirMarker) {
  const struct {
    const char* bytes;
    uint32_t width;
    uint16_t code;
  } cases[] = {
      {"2e00000000000000", 8, 1},  {"ff00000000000000", 8, 1},  {"4100000000000000", 8, 2},
      {"5a00000000000000", 8, 27}, {"5f00000000000000", 8, 29}, {"2e0000", 3, 1},
      {"4100000000000001", 8, 0},  // "A" and a non-zero byte: a number
      {"5b00000000000000", 8, 0},  {"0000000000000000", 8, 0},  {"4110000000000000", 8, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(xport_missing_code(bytes_of(c.bytes).data(), c.width), c.code) << c.bytes;
  // The converter marks them as a not-a-number: 0xFF 0xFF and the complement of the first byte.
  const double m = xport_ibm_to_double(bytes_of("4100000000000000").data());
  EXPECT_TRUE(std::isnan(m));
  EXPECT_EQ(std::bit_cast<uint64_t>(m) >> 40, 0xFFFFBEu);
}

// ---- writer ----

using namespace test;  // cells, variable specs, write_cases and read_cases

// Writes through the writer's hooks; version 5 or 8 as numbered option 77 asks, 0 chosen by
// the writer.
int32_t write_xpt(Env& e, const std::string& path, const std::vector<Spec>& specs,
                  const std::vector<std::vector<Cell>>& rows, int32_t version = 5) {
  DX_SetOption(e.handle, 77, version, nullptr);
  return test::write_cases(e.handle, {12, xport_open_output, xport_write_case, xport_close_output}, path, specs, rows);
}

std::string show(const EnvRecord& env, const VarRecord& v) {
  if (v.missing) return missing_code_text(v.missing);
  if (v.is_string()) return "<" + std::string(var_get_string(env.dict, v)) + ">";
  char b[64];
  std::snprintf(b, sizeof b, "%.17g", var_get_double(env.dict, v));
  return b;
}

// Opens the file, chooses a member by name when one is given, reads the dictionary and cases.
ReadBack read_xpt(Env& e, const std::string& path, const char* member = nullptr, size_t max_rows = 100000) {
  return test::read_cases(e, 12, path, show, member, max_rows);
}

uint32_t be16(const std::string& s, size_t at) {
  return static_cast<uint32_t>(static_cast<uint8_t>(s[at])) << 8 | static_cast<uint8_t>(s[at + 1]);
}
uint32_t be32(const std::string& s, size_t at) { return be16(s, at) << 16 | be16(s, at + 2); }

TEST(XportWriter, HeaderRecordsNamestrsAndObservations) {
  Env e;
  const std::string path = temp_path("layout");
  const std::vector<Spec> specs = {{"num", T_DOUBLE, 8, "A number"},
                                   {"txt", T_STRING, 5},
                                   {"day", T_DATE},
                                   {"tod", T_TIME},
                                   {"stamp", T_DATETIME}};
  ASSERT_EQ(write_xpt(e, path, specs, {{N(-118.625), S("ab"), N(21916), N(0.5), N(21917.25)}, {M(2), M(1), M(27), M(29), M(28)}}),
            0)
      << DX_GetErrorMsg(e.handle);
  const std::string f = slurp(path);
  ASSERT_EQ(f.size() % 80, 0u);
  const std::string digits0(30, '0');
  EXPECT_EQ(f.substr(0, 80), "HEADER RECORD*******LIBRARY HEADER RECORD!!!!!!!" + digits0 + "  ");
  EXPECT_EQ(f.substr(80, 40), "SAS     SAS     SASLIB  6.06    bsd4.2  ");
  // The creation time, e.g. 05MAR14:13:07:55, and again at the start of the next record.
  const std::string stamp = f.substr(144, 16);
  EXPECT_EQ(stamp.size(), 16u);
  EXPECT_EQ(stamp[7], ':');
  EXPECT_EQ(f.substr(160, 80), stamp + std::string(64, ' '));
  EXPECT_EQ(f.substr(240, 80), "HEADER RECORD*******MEMBER  HEADER RECORD!!!!!!!000000000000000001600000000140  ");
  EXPECT_EQ(f.substr(320, 80), "HEADER RECORD*******DSCRPTR HEADER RECORD!!!!!!!" + digits0 + "  ");
  // The member is named after the file, upper case and at most 8 characters.
  std::string member = xport_member_name(path);
  EXPECT_EQ(member.substr(0, 4), "XPT_");
  member.resize(8, ' ');
  EXPECT_EQ(f.substr(400, 40), "SAS     " + member + "SASDATA 6.06    bsd4.2  ");
  EXPECT_EQ(f.substr(560, 80), "HEADER RECORD*******NAMESTR HEADER RECORD!!!!!!!000000000500000000000000000000  ");

  // Five NAMESTRs fill 700 bytes: 20 blanks before the OBS header.
  const size_t ns = 640;
  const struct {
    uint32_t type, length;
    const char* name;
    const char* format;
    uint32_t format_length, position;
  } want[] = {{1, 8, "NUM     ", "BEST    ", 12, 0},   {2, 5, "TXT     ", "        ", 0, 8},
              {1, 8, "DAY     ", "DATE    ", 9, 13},   {1, 8, "TOD     ", "TIME    ", 18, 21},
              {1, 8, "STAMP   ", "DATETIME", 18, 29}};
  for (size_t i = 0; i < 5; ++i) {
    const size_t at = ns + i * 140;
    EXPECT_EQ(be16(f, at), want[i].type) << i;
    EXPECT_EQ(be16(f, at + 2), 0u) << i;
    EXPECT_EQ(be16(f, at + 4), want[i].length) << i;
    EXPECT_EQ(be16(f, at + 6), i + 1) << i;
    EXPECT_EQ(f.substr(at + 8, 8), want[i].name) << i;
    EXPECT_EQ(f.substr(at + 56, 8), want[i].format) << i;
    EXPECT_EQ(be16(f, at + 64), want[i].format_length) << i;
    EXPECT_EQ(be16(f, at + 66), 0u) << i;
    EXPECT_EQ(f.substr(at + 70, 2), "  ") << i;
    EXPECT_EQ(f.substr(at + 72, 8), std::string(8, ' ')) << i;
    EXPECT_EQ(be32(f, at + 84), want[i].position) << i;
    EXPECT_EQ(f.substr(at + 88, 52), std::string(52, '\0')) << i;
  }
  EXPECT_EQ(f.substr(ns + 16, 40), "A number" + std::string(32, ' '));
  EXPECT_EQ(f.substr(ns + 140 + 16, 40), std::string(40, ' '));
  EXPECT_EQ(f.substr(ns + 700, 20), std::string(20, ' '));
  const size_t obs = ns + 720;
  EXPECT_EQ(f.substr(obs, 80), "HEADER RECORD*******OBS     HEADER RECORD!!!!!!!" + digits0 + "  ");

  // Observations of 37 bytes packed across records, the last record blank-padded.
  const std::string data = f.substr(obs + 80);
  ASSERT_EQ(data.size(), 80u);
  const auto hex = [&](size_t at, size_t n) { return hex_of(reinterpret_cast<const uint8_t*>(data.data() + at), n); };
  EXPECT_EQ(hex(0, 8), "c276a00000000000");
  EXPECT_EQ(data.substr(8, 5), "ab   ");
  EXPECT_EQ(hex(13, 8), "0000000000000000");  // 1 January 1960 is day 0
  EXPECT_EQ(hex(21, 8), "44a8c00000000000");  // noon: 43200 seconds
  EXPECT_EQ(hex(29, 8), "451a5e0000000000");  // 86400 + 21600 seconds
  EXPECT_EQ(hex(37, 8), "4100000000000000");  // .A
  EXPECT_EQ(data.substr(45, 5), "     ");     // a missing string: blanks
  EXPECT_EQ(hex(50, 8), "5a00000000000000");  // .Z
  EXPECT_EQ(hex(58, 8), "5f00000000000000");  // ._
  EXPECT_EQ(hex(66, 8), "2e00000000000000");  // code 28 has no SAS form: "."
  EXPECT_EQ(data.substr(74), std::string(6, ' '));
}

TEST(XportWriter, FourNamestrsFillSevenRecordsAndWideStringsAreCut) {
  Env e;
  const std::string path = temp_path("four");
  ASSERT_EQ(write_xpt(e, path, {{"a", T_FLOAT}, {"b", T_FLOAT}, {"c", T_FLOAT}, {"wide", T_STRING, 300}},
                      {{N(1), N(2), N(3), S(std::string(300, 'w'))}}),
            0);
  const std::string f = slurp(path);
  EXPECT_EQ(f.substr(640 + 560, 28), "HEADER RECORD*******OBS     ");
  EXPECT_EQ(be16(f, 640 + 3 * 140 + 4), 200u);
  EXPECT_EQ(f.size(), 640 + 560 + 80 + 240u);  // 224 bytes of data in three records
  ReadBack r = read_xpt(e, path);
  ASSERT_GE(r.rc, 0) << r.error;
  ASSERT_EQ(r.rows.size(), 1u);
  EXPECT_EQ(r.rows[0][3], "<" + std::string(200, 'w') + ">");
  DX_CloseFiles(e.handle);
}

TEST(XportWriter, NamesAreMadeLegalAndTheMemberNameComesFromThePath) {
  Env e;
  const std::string path = temp_path("names");
  ASSERT_EQ(write_xpt(e, path, {{"first name", T_FLOAT}, {"1abc", T_FLOAT}, {"averyverylongname", T_FLOAT},
                                 {"AVERYVERYLONG", T_FLOAT}, {"_x", T_FLOAT}},
                      {{N(1), N(2), N(3), N(4), N(5)}}),
            0);
  ReadBack r = read_xpt(e, path);
  ASSERT_GE(r.rc, 0) << r.error;
  std::vector<std::string> names;
  for (const VarRecord* v : r.vars) names.push_back(v->name);
  EXPECT_EQ(names, (std::vector<std::string>{"FIRST_NA", "A1ABC", "AVERYVER", "AVERYVE0", "A_X"}));
  DX_CloseFiles(e.handle);

  const struct {
    const char* path;
    const char* member;
  } members[] = {{"/tmp/survey.xpt", "SURVEY"}, {"C:\\data\\my file.v5.xpt", "MY_FILE_"}, {"2019.xpt", "_2019"},
                 {"/x/averylongfilename.xpt", "AVERYLON"},  {"/x/.xpt", "_XPT"},      {"", "DATA"}};
  for (const auto& m : members) EXPECT_EQ(xport_member_name(m.path), m.member) << m.path;
}

TEST(XportWriter, AFullDiskIsAFailure) {
  const std::string path = temp_path("full");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{1500, 1500};
    setrlimit(RLIMIT_FSIZE, &limit);
    Env e;
    std::vector<std::vector<Cell>> rows(100, {N(1), S("text")});
    const int32_t rc = write_xpt(e, path, {{"n", T_DOUBLE}, {"s", T_STRING, 8}}, rows);
    _exit(rc < 0 && std::string(DX_GetErrorMsg(e.handle)) == "Error writing data" ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  std::remove(path.c_str());
}

// ---- round trip ----

TEST(XportRoundTrip, EveryKindOfVariable) {
  Env e;
  const std::string path = temp_path("all");
  const std::vector<Spec> specs = {
      {"b", T_BYTE, 8, "A byte, labelled"}, {"i", T_INT}, {"l", T_LONG}, {"f", T_FLOAT}, {"d", T_DOUBLE},
      {"s", T_STRING, 12, std::string(50, 'L')}, {"day", T_DATE}, {"tod", T_TIME}, {"stamp", T_DATETIME},
      {"u", T_STRING, 6, "Gr\xc3\xbc\xc3\x9f"}};
  const std::vector<std::vector<Cell>> rows = {
      {N(-5), N(-32000), N(2000000000), N(53796.59), N(1.0 / 3), S("hello world!"), N(2), N(0.5), N(40000.25),
       S("\xc3\xa9t\xc3\xa9")},
      {N(100), M(1), M(27), M(2), N(-2.5e-7), S(""), N(44000), N(0.75), M(1), S("x")},
      {M(3), N(7), N(-7), N(-0.5), N(2.5e10), S("too long for twelve"), M(29), M(1), N(-100000.5), M(1)},
      {N(0), N(1e-80), N(-1e300), N(7.2370055773320565e+75), N(0.1), S("   "), N(21916), N(0), N(21916), S("  y")},
  };
  ASSERT_EQ(write_xpt(e, path, specs, rows), 0) << DX_GetErrorMsg(e.handle);
  ASSERT_EQ(DX_OpenInputFile(e.handle, 12, path.c_str()), 0) << DX_GetErrorMsg(e.handle);
  EXPECT_EQ(DX_FormatHasMembers(e.handle), 1);
  DX_CloseFiles(e.handle);
  ReadBack r = read_xpt(e, path);
  ASSERT_GE(r.rc, 0) << r.error;
  ASSERT_EQ(r.vars.size(), specs.size());
  const std::vector<std::vector<std::string>> want = {
      {"-5", "-32000", "2000000000", "53796.589999999997", "0.33333333333333331", "<hello world!>", "2", "0.5",
       "40000.25", "<\xc3\xa9t\xc3\xa9>"},
      {"100", ".", ".Z", ".A", "-2.4999999999999999e-07", ".", "44000", "0.75", ".", "<x>"},
      {".B", "7", "-7", "-0.5", "25000000000", "<too long for>", "._", ".", "-100000.5", "."},
      {"0", "0", "-7.2370055773320565e+75", "7.2370055773320565e+75", "0.10000000000000001",
       ".", "21916", "0", "21916", "<  y>"},
  };
  EXPECT_EQ(r.rows, want);
  const uint16_t types[] = {T_FLOAT, T_FLOAT, T_FLOAT, T_FLOAT, T_FLOAT, T_STRING, T_DATE, T_TIME, T_DATETIME,
                            T_STRING};
  for (size_t i = 0; i < specs.size(); ++i) EXPECT_EQ(r.vars[i]->ttype, types[i]) << i;
  EXPECT_EQ(r.vars[0]->name, "B");
  EXPECT_EQ(r.vars[0]->label, "A byte, labelled");
  EXPECT_EQ(r.vars[5]->label, std::string(40, 'L'));  // labels hold 40 bytes
  EXPECT_EQ(r.vars[9]->label, "Gr\xc3\xbc\xc3\x9f");
  EXPECT_EQ(r.vars[5]->print_width, 12u);
  EXPECT_EQ(r.vars[0]->native_format, "BEST");
  EXPECT_EQ(r.vars[8]->native_format, "DATETIME");
  EXPECT_EQ(r.vars[0]->input_attrs[0], 12);

  // Positions: the third case again after a save and a restore.
  DX_CloseFiles(e.handle);
  ASSERT_GE(DX_OpenInputFile(e.handle, 12, path.c_str()), 0);
  ASSERT_GE(DX_ReadDict(e.handle), 0);
  ASSERT_GE(DX_InitReadOnly(e.handle), 0);
  ASSERT_EQ(DX_ReadRecord(e.handle), 0);
  ASSERT_EQ(DX_SavePosn(e.handle), 0);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(DX_ReadRecord(e.handle), 0);
  EXPECT_EQ(DX_ReadRecord(e.handle), -1);
  ASSERT_EQ(DX_RestorePosn(e.handle), 0);
  ASSERT_EQ(DX_ReadRecord(e.handle), 0);
  EXPECT_EQ(show(*e.env, *e.env->dict.vars[2]), ".Z");  // the second case
  DX_CloseFiles(e.handle);
}

// Observations of 15 bytes cross the reader's 256 KiB reads; a restored position lies in an
// earlier read.
TEST(XportRoundTrip, ManyObservationsAcrossLargeReads) {
  Env e;
  const std::string path = temp_path("many");
  const int n = 40000;
  std::vector<std::vector<Cell>> rows;
  rows.reserve(n);
  char text[16];
  for (int i = 0; i < n; ++i) {
    std::snprintf(text, sizeof text, "s%06d", i);
    rows.push_back({i % 97 == 0 ? M(static_cast<uint16_t>(2 + i % 26)) : N(i * 1.5 - 7), S(text)});
  }
  ASSERT_EQ(write_xpt(e, path, {{"x", T_DOUBLE}, {"s", T_STRING, 7}}, rows), 0);
  ASSERT_EQ(DX_OpenInputFile(e.handle, 12, path.c_str()), 0);
  ASSERT_GE(DX_ReadDict(e.handle), 0);
  ASSERT_GE(DX_InitReadOnly(e.handle), 0);
  const VarRecord& x = *e.env->dict.vars[0];
  const VarRecord& s = *e.env->dict.vars[1];
  int bad = 0;
  for (int i = 0; i < n; ++i) {
    ASSERT_EQ(DX_ReadRecord(e.handle), 0) << i;
    std::snprintf(text, sizeof text, "s%06d", i);
    const bool want_missing = i % 97 == 0;
    bad += want_missing ? x.missing != 2 + i % 26 : (x.missing != 0 || var_get_double(e.env->dict, x) != i * 1.5 - 7);
    bad += std::strcmp(var_get_string(e.env->dict, s), text) != 0;
    if (i == 100) ASSERT_EQ(DX_SavePosn(e.handle), 0);
  }
  EXPECT_EQ(bad, 0);
  EXPECT_EQ(DX_ReadRecord(e.handle), -1);
  ASSERT_EQ(DX_RestorePosn(e.handle), 0);
  ASSERT_EQ(DX_ReadRecord(e.handle), 0);
  EXPECT_STREQ(var_get_string(e.env->dict, s), "s000101");
  DX_CloseFiles(e.handle);
}

// ---- libraries made by hand ----

std::string header(const char* type, const std::string& digits = std::string(30, '0')) {
  std::string rec = "HEADER RECORD*******";
  rec += type;
  rec.resize(28, ' ');
  return rec + "HEADER RECORD!!!!!!!" + digits + "  ";
}
std::string record(const std::string& text) {
  std::string r = text;
  r.resize(80, ' ');
  return r;
}
std::string be(uint32_t x, int n) {
  std::string s;
  for (int i = n - 1; i >= 0; --i) s += static_cast<char>((x >> (8 * i)) & 0xFF);
  return s;
}
std::string padded(std::string s, size_t n) {
  s.resize(n, ' ');
  return s;
}

struct HandVar {
  uint32_t type;  // 1 numeric, 2 character
  uint32_t length;
  std::string name, label, format;
  uint32_t position;
  uint32_t decimals = 0;
};

std::string namestr(const HandVar& v) {
  std::string ns = be(v.type, 2) + be(0, 2) + be(v.length, 2) + be(1, 2) + padded(v.name, 8) + padded(v.label, 40) +
                   padded(v.format, 8) + be(8, 2) + be(v.decimals, 2) + be(0, 2) + "  " + std::string(8, ' ') +
                   be(0, 2) + be(0, 2) + be(v.position, 4);
  ns.resize(140, '\0');
  return ns;
}

const std::string kStamp = "05MAR14:13:07:55";

std::string library() {
  return header("LIBRARY") + record("SAS     SAS     SASLIB  6.06    bsd4.2" + std::string(26, ' ') + kStamp) +
         record(kStamp);
}

// One member: its headers, NAMESTRs and the observation bytes, blank-padded to a record.
std::string member(const std::string& name, const std::vector<HandVar>& vars, const std::string& data) {
  char count[8];
  std::snprintf(count, sizeof count, "%04zu", vars.size());
  std::string m = header("MEMBER", "000000000000000001600000000140") + header("DSCRPTR") +
                  record("SAS     " + padded(name, 8) + "SASDATA 6.06    bsd4.2" + std::string(26, ' ') + kStamp) +
                  record(kStamp) + header("NAMESTR", "000000" + std::string(count) + std::string(20, '0'));
  std::string ns;
  for (const HandVar& v : vars) ns += namestr(v);
  if (ns.size() % 80) ns.resize(ns.size() + 80 - ns.size() % 80, ' ');
  std::string obs = data;
  if (obs.size() % 80) obs.resize(obs.size() + 80 - obs.size() % 80, ' ');
  return m + ns + header("OBS") + obs;
}

std::string ibm(double x, size_t width = 8) {
  uint8_t b[8];
  xport_double_to_ibm(x, b);
  return std::string(reinterpret_cast<const char*>(b), width);
}
std::string missing(char c, size_t width = 8) { return c + std::string(width - 1, '\0'); }

// Member ONE: a 3-byte number, a date and a string, five observations whose last record ends in
// blanks; member Two: a time and a date-time whose position fields are not the NAMESTR order.
std::string two_members() {
  std::string one_data = ibm(1, 3) + ibm(0) + "row0  ";
  one_data += ibm(-118.625, 3) + ibm(365) + "row1  ";
  one_data += std::string("A\x01\0", 3) + missing('A') + "row2  ";  // "A" and a non-zero byte: a number
  one_data += missing('.', 3) + ibm(730) + "      ";
  one_data += ibm(1e10, 3) + ibm(1095) + "row4  ";  // three bytes keep the leading 24 bits
  // The observation follows the NAMESTR order whatever the position fields say: SAS gives
  // there the positions in its own data set, numbers first.
  std::string two_data;
  two_data += ibm(3600) + ibm(86400 * 2.5);
  two_data += ibm(90000) + missing('_');
  two_data += missing('.') + std::string("\xff") + std::string(7, '\0');
  return library() +
         member("ONE",
                {{1, 3, "small", "Three bytes", "", 0, 2}, {1, 8, "day", "", "YYMMDD", 3}, {2, 6, "s", "Text", "", 11}},
                one_data) +
         member("Two", {{1, 8, "t", "", "TIME", 8}, {1, 8, "stamp", "Stamp", "datetime", 0}}, two_data);
}

std::string v8_library();  // a hand-made version 8 library of two members, below

TEST(XportReader, TwoMembersListedAndChosenByName) {
  Env e;
  const std::string path = temp_path("two");
  spill(path, two_members());
  ASSERT_EQ(DX_OpenInputFile(e.handle, 12, path.c_str()), 0) << DX_GetErrorMsg(e.handle);
  EXPECT_EQ(DX_FormatHasMembers(e.handle), 1);
  ASSERT_EQ(DX_ReadMembers(e.handle), 2);
  char name[256];
  ASSERT_GE(DX_GetMemberName(e.handle, 0, name), 0);
  EXPECT_STREQ(name, "ONE");
  ASSERT_GE(DX_GetMemberName(e.handle, 1, name), 0);
  EXPECT_STREQ(name, "Two");
  EXPECT_LT(DX_GetMemberName(e.handle, 2, name), 0);
  EXPECT_EQ(DX_SetMember(e.handle, "three"), -1);
  DX_CloseFiles(e.handle);

  ReadBack first = read_xpt(e, path);
  ASSERT_GE(first.rc, 0) << first.error;
  ASSERT_EQ(first.vars.size(), 3u);
  EXPECT_EQ(first.vars[0]->name, "small");
  EXPECT_EQ(first.vars[0]->label, "Three bytes");
  EXPECT_EQ(first.vars[0]->decimals, 2);
  EXPECT_EQ(first.vars[0]->input_width, 3u);
  EXPECT_EQ(first.vars[1]->ttype, T_DATE);
  EXPECT_EQ(first.vars[1]->native_format, "YYMMDD");
  EXPECT_EQ(first.vars[2]->label, "Text");
  const std::vector<std::vector<std::string>> want_one = {
      {"1", "21916", "<row0>"},     {"-118.625", "22281", "<row1>"}, {"0.0625", ".A", "<row2>"},
      {".", "22646", "."},          {"9999220736", "23011", "<row4>"},
  };
  EXPECT_EQ(first.rows, want_one);
  DX_CloseFiles(e.handle);

  ReadBack second = read_xpt(e, path, "two");
  ASSERT_GE(second.rc, 0) << second.error;
  ASSERT_EQ(second.vars.size(), 2u);
  EXPECT_EQ(second.vars[0]->ttype, T_TIME);
  EXPECT_EQ(second.vars[1]->ttype, T_DATETIME);
  EXPECT_EQ(second.vars[1]->label, "Stamp");
  const std::vector<std::vector<std::string>> want_two = {
      {"0.041666666666666664", "21918.5"},
      {"1.0416666666666667", "._"},  // 90000 seconds: a duration of 25 hours
      {".", "."},
  };
  EXPECT_EQ(second.rows, want_two);
  DX_CloseFiles(e.handle);
}

// Through the whole pipeline into Latin-1; text that is not UTF-8 reads back as Windows-1252.
TEST(XportRoundTrip, AnOutputEncodingIsUsedAndReadBack) {
  Env e;
  const std::string in = temp_path("enc_in"), out = temp_path("enc_out");
  spill(in, library() + member("M", {{2, 8, "s", "caf\xc3\xa9", "", 0}}, "na\xc3\xafve  "));
  DX_SetOption(e.handle, 26, 0, "ISO-8859-1");
  ASSERT_GE(DX_OpenInputFile(e.handle, 12, in.c_str()), 0);
  ASSERT_GE(DX_ReadDict(e.handle), 0);
  ASSERT_EQ(DX_OpenOutFile(e.handle, 12, out.c_str()), 0) << DX_GetErrorMsg(e.handle);
  ASSERT_GE(DX_TransferAllRecords(e.handle), 0) << DX_GetErrorMsg(e.handle);
  ASSERT_GE(DX_CloseFiles(e.handle), 0);
  const std::string bytes = slurp(out);
  EXPECT_NE(bytes.find("caf\xe9    "), std::string::npos);
  EXPECT_NE(bytes.find("na\xefve   "), std::string::npos);
  DX_SetOption(e.handle, 26, 0, "system");
  ReadBack r = read_xpt(e, out);
  ASSERT_GE(r.rc, 0) << r.error;
  EXPECT_EQ(r.vars[0]->label, "caf\xc3\xa9");
  EXPECT_EQ(r.rows, (std::vector<std::vector<std::string>>{{"<na\xc3\xafve>"}}));
  DX_CloseFiles(e.handle);
}

TEST(XportReader, AMemberOnlyOfStringsStopsAtThePadding) {
  Env e;
  const std::string path = temp_path("strings");
  // Three observations of 10 bytes, the second all blank; 50 blanks pad the record.
  spill(path, library() + member("S", {{2, 10, "a", "", "", 0}}, "first     " + std::string(10, ' ') + "third     "));
  ReadBack r = read_xpt(e, path);
  ASSERT_GE(r.rc, 0) << r.error;
  EXPECT_EQ(r.rows, (std::vector<std::vector<std::string>>{{"<first>"}, {"."}, {"<third>"}}));
  DX_CloseFiles(e.handle);
}

TEST(XportReader, AChosenMemberThatIsNotThereIsRefused) {
  Env e;
  const std::string path = temp_path("bogus");
  spill(path, two_members());
  ASSERT_EQ(DX_OpenInputFile(e.handle, 12, path.c_str()), 0);
  e.env->transfer.members[0] = "BOGUS";
  EXPECT_EQ(DX_ReadDict(e.handle), -1);
  EXPECT_STREQ(DX_GetErrorMsg(e.handle), "Member name invalid: BOGUS");
  DX_CloseFiles(e.handle);
}

TEST(XportReader, RefusedFilesAndTheirMessages) {
  const std::string lib = library();
  const std::string good = two_members();
  const HandVar x{1, 8, "x", "", "", 0};
  const struct {
    std::string bytes;
    const char* message;
  } cases[] = {
      {"", "File is not a SAS TRANSPORT file"},
      {std::string(400, 'x'), "File is not a SAS TRANSPORT file"},
      {header("LIBV10") + lib.substr(80),
       "The SAS transport file is of version 10, which is not supported (versions 5 and 8 are)"},
      {header("LIBX") + lib.substr(80),
       "The SAS transport file has a library header of an unknown version (LIBX); versions 5 and 8 are supported"},
      {record("**COMPRESSED** **COMPRESSED** **COMPRESSED** **COMPRESSED** **COMPRESSED****"),
       "File is a SAS CPORT file, not a SAS TRANSPORT file"},
      {lib, "The SAS transport file holds no members"},
      {lib + header("MEMBER") + header("NAMESTR"),
       "The SAS transport file is damaged: the DSCRPTR header record of member 1 is missing"},
      {good.substr(0, 240 + 4 * 80) + header("OBS") + good.substr(240 + 5 * 80),
       "The SAS transport file is damaged: the NAMESTR header record of member 1 is missing"},
      {lib + header("MEMBER") + header("DSCRPTR") + record("SAS") + record("") + header("NAMESTR", std::string(6, '0') + "00x1" + std::string(20, '0')),
       "The SAS transport file is damaged: the variable count of member 1 is not a number"},
      {lib + member("M", {{1, 9, "x", "", "", 0}}, ""), "Invalid length of the variable x in member M of the SAS transport file"},
      {lib + member("M", {{2, 0, "s", "", "", 0}}, ""), "Invalid length of the variable s in member M of the SAS transport file"},
      {(lib + member("M", {x}, "")).substr(0, 640 + 100),
       "The SAS transport file ends inside the NAMESTR records of member M (file truncated?)"},
      {(lib + member("M", {x}, "")).substr(0, 640 + 160), "The OBS header record of member M is missing in the SAS transport file"},
  };
  int n = 0;
  for (const auto& c : cases) {
    Env e;
    const std::string path = temp_path("refused" + std::to_string(n++));
    spill(path, c.bytes);
    ReadBack r = read_xpt(e, path);
    EXPECT_LT(r.rc, 0) << c.message;
    EXPECT_EQ(r.error, c.message) << n;
    DX_CloseFiles(e.handle);
  }
}

TEST(XportDamage, EveryCutFailsWithAMessageOrReadsWhatIsThere) {
  Env e;
  const std::string full = two_members();
  const std::string path = temp_path("cut");
  for (const char* chosen : {static_cast<const char*>(nullptr), "TWO"}) {
    for (size_t len = 0; len < full.size(); ++len) {
      spill(path, full.substr(0, len));
      ReadBack r = read_xpt(e, path, chosen);
      if (r.rc >= 0)
        EXPECT_LE(r.rows.size(), chosen ? 3u : 5u) << len;
      else
        EXPECT_FALSE(r.error.empty()) << "cut at " << len;
      DX_CloseFiles(e.handle);
    }
  }
  // Version 8: label sections and counted observations cut at every record's edges and at
  // every seventh byte between them.
  const std::string full8 = v8_library();
  for (const char* chosen : {static_cast<const char*>(nullptr), "second"}) {
    for (size_t len = 0; len < full8.size(); ++len) {
      if (len % 7 != 0 && len % 80 > 1 && len % 80 != 79) continue;
      spill(path, full8.substr(0, len));
      ReadBack r = read_xpt(e, path, chosen);
      if (r.rc >= 0)
        EXPECT_LE(r.rows.size(), chosen ? 1u : 2u) << len;
      else
        EXPECT_FALSE(r.error.empty()) << "cut at " << len;
      DX_CloseFiles(e.handle);
    }
  }
}

TEST(XportDamage, RandomBytesNeverCrash) {
  Env e;
  const std::string path = temp_path("noise");
  std::string written;
  {
    const std::string src = temp_path("noise_src");
    ASSERT_EQ(write_xpt(e, src, {{"n", T_DOUBLE, 8, "label"}, {"s", T_STRING, 5}, {"d", T_DATE}},
                        {{N(1.25), S("ab"), N(100)}, {M(1), S("cdefg"), N(-3.5)}, {N(-7), S(""), M(3)}}),
              0);
    written = slurp(src);
  }
  std::mt19937 rng(11);
  const char alphabet[] = "HEADER RECORD*!0123456789\x00\x01\x7f\x80\xff";
  for (const std::string& full : {written, two_members(), v8_library()}) {
    for (int round = 0; round < 400; ++round) {
      std::string bytes = full;
      const int hits = 1 + static_cast<int>(rng() % 8);
      for (int k = 0; k < hits; ++k) {
        const size_t at = 80 + rng() % (bytes.size() - 80);
        bytes[at] = rng() % 2 ? alphabet[rng() % (sizeof alphabet - 1)] : static_cast<char>(rng());
      }
      spill(path, bytes);
      ReadBack r = read_xpt(e, path, round % 3 == 0 ? "Two" : nullptr, 50);
      if (r.rc < 0) EXPECT_FALSE(r.error.empty()) << r.rc;
      DX_CloseFiles(e.handle);
    }
  }
}

// ---- version 8 and what a conversion changes ----

std::map<std::string, int64_t> changes_of(const Env& e, ChangeKind kind) {
  std::map<std::string, int64_t> out;
  for (const ChangeEntry& c : e.env->transfer.changes.entries)
    if (c.kind == kind) out[c.variable] += c.count;
  return out;
}

TEST(XportVersion, ChosenByTheOptionOrByNamesAndLabels) {
  const std::string label41(41, 'x');
  const struct {
    int32_t option;
    std::vector<Spec> specs;
    const char* library;
  } cases[] = {
      {0, {{"id", T_DOUBLE}, {"name8chr", T_STRING, 4, std::string(40, 'l')}}, "LIBRARY "},
      {0, {{"id", T_DOUBLE}, {"ninechars", T_DOUBLE}}, "LIBV8   "},
      {0, {{"id", T_DOUBLE, 8, label41}}, "LIBV8   "},
      {5, {{"ninechars", T_DOUBLE, 8, label41}}, "LIBRARY "},
      {6, {{"ninechars", T_DOUBLE}}, "LIBRARY "},
      {8, {{"id", T_DOUBLE}}, "LIBV8   "},
      {9, {{"id", T_DOUBLE}}, "LIBV8   "},
      {12, {{"id", T_DOUBLE}}, "LIBRARY "},  // a Stata release left in the option: chosen by the names
  };
  int n = 0;
  for (const auto& c : cases) {
    Env e;
    const std::string path = temp_path("version" + std::to_string(n++));
    ASSERT_EQ(write_xpt(e, path, c.specs, {}, c.option), 0) << n;
    EXPECT_EQ(slurp(path).substr(20, 8), c.library) << "case " << n;
  }

  // The keyword option write-old-ver reaches numbered option 77 for this output.
  const struct {
    const char* text;
    int32_t stored;
  } keywords[] = {{"y", 5}, {"5", 5}, {"8", 8}, {"9", 8}, {"n", 0}};
  DX_OptionEntry* entry = dxi_get_opt(0);
  const char* saved = entry->choices;
  const uint32_t saved_flags = entry->flags;
  for (const auto& k : keywords) {
    Env e;
    entry->choices = k.text;
    entry->flags |= 0x80;
    int32_t settings[6] = {};
    ASSERT_EQ(dxi_set_options(e.handle, 12, settings, 1), 0);
    EXPECT_EQ(option_int(*e.env, 77), k.stored) << k.text;
  }
  entry->choices = saved;
  entry->flags = saved_flags;
}

TEST(XportV8, NamestrsLabelSectionAndHeaders) {
  Env e;
  const std::string path = temp_path("v8_layout_with_a_member_name_longer");
  const std::string long_name = "a_rather_long_variable_name_32ch";
  std::string label100;
  for (int i = 0; label100.size() < 100; ++i) label100 += static_cast<char>('a' + i % 26);
  const std::vector<Spec> specs = {{long_name, T_DOUBLE, 8, label100}, {"s", T_STRING, 300, "short label"},
                                   {"Day", T_DATE}};
  ASSERT_EQ(write_xpt(e, path, specs, {{N(1.5), S(std::string(300, 'w')), N(21917)}, {M(3), S("x"), M(1)}}, 8), 0)
      << DX_GetErrorMsg(e.handle);
  const std::string f = slurp(path);
  ASSERT_EQ(f.size() % 80, 0u);
  EXPECT_EQ(f.substr(0, 80), header("LIBV8"));
  EXPECT_EQ(f.substr(80, 40), "SAS     SAS     SASLIB  9.4     bsd4.2  ");
  EXPECT_EQ(f.substr(240, 80), header("MEMBV8", "000000000000000001600000000140"));
  EXPECT_EQ(f.substr(320, 80), header("DSCPTV8"));
  // The member name takes 32 characters in version 8.
  const std::string member = xport_member_name(path, 32);
  EXPECT_GT(member.size(), 8u);
  EXPECT_EQ(f.substr(400, 80), "SAS     " + padded(member, 32) + "SASDATA 9.4     bsd4.2  " + f.substr(464, 16));
  EXPECT_EQ(f.substr(560, 80), header("NAMSTV8", "000000000300000000000000000000"));
  const size_t ns = 640;
  EXPECT_EQ(f.substr(ns + 8, 8), "a_rather");  // the first 8 characters, as SAS writes them
  EXPECT_EQ(f.substr(ns + 16, 40), label100.substr(0, 40));
  EXPECT_EQ(f.substr(ns + 88, 32), long_name);
  EXPECT_EQ(be16(f, ns + 120), 100u);
  EXPECT_EQ(be16(f, ns + 140 + 4), 300u);  // strings are not cut at 200
  EXPECT_EQ(be16(f, ns + 140 + 120), 11u);
  EXPECT_EQ(f.substr(ns + 280 + 88, 32), padded("Day", 32));
  // Three NAMESTRs in 480 bytes, then the label of the first variable: 6 + 32 + 100 bytes.
  const size_t labels = ns + 480;
  EXPECT_EQ(f.substr(labels, 80), header("LABELV8", padded("1", 30)));
  EXPECT_EQ(f.substr(labels + 80, 160),
            padded(be(1, 2) + be(32, 2) + be(100, 2) + long_name + label100, 160));
  EXPECT_EQ(f.substr(labels + 240, 80), header("OBSV8"));
  EXPECT_EQ(f.size(), labels + 320 + 640u);  // two observations of 316 bytes

  ReadBack r = read_xpt(e, path);
  ASSERT_GE(r.rc, 0) << r.error;
  ASSERT_EQ(r.vars.size(), 3u);
  EXPECT_EQ(r.vars[0]->name, long_name);
  EXPECT_EQ(r.vars[0]->label, label100);
  EXPECT_EQ(r.vars[1]->label, "short label");
  EXPECT_EQ(r.vars[2]->name, "Day");
  EXPECT_EQ(r.vars[2]->ttype, T_DATE);
  EXPECT_EQ(r.rows, (std::vector<std::vector<std::string>>{{"1.5", "<" + std::string(300, 'w') + ">", "21917"},
                                                           {".B", "<x>", "."}}));
  DX_CloseFiles(e.handle);
}

TEST(XportChanges, EachLossIsCountedOncePerVariable) {
  {
    Env e;
    const std::string path = temp_path("changes5");
    const std::vector<Spec> specs = {{"big", T_DOUBLE},
                                     {"tiny", T_DOUBLE},
                                     {"wide", T_STRING, 300, std::string(50, 'L')},
                                     {"averyverylongname", T_DOUBLE},
                                     {"AVERYVERYLONG", T_DOUBLE},
                                     {"ok", T_DOUBLE, 8, std::string(40, 'k')}};
    const std::vector<std::vector<Cell>> rows = {
        {N(1e76), N(1e-80), S(std::string(250, 'w')), N(1), N(2), N(3)},
        {N(-HUGE_VAL), N(-1e-90), S("short"), N(1), N(2), N(7.2370055773320565e+75)},
        {N(5), N(0), S(std::string(201, 'x')), N(1), N(2), N(5.397605346934028e-79)},
    };
    ASSERT_EQ(write_xpt(e, path, specs, rows, 5), 0) << DX_GetErrorMsg(e.handle);
    using Counts = std::map<std::string, int64_t>;
    EXPECT_EQ(changes_of(e, ChangeKind::ValueOutOfRange), (Counts{{"big", 2}, {"tiny", 2}}));
    EXPECT_EQ(changes_of(e, ChangeKind::StringCut), (Counts{{"wide", 2}}));
    EXPECT_EQ(changes_of(e, ChangeKind::LabelCut), (Counts{{"wide", 1}}));
    EXPECT_EQ(changes_of(e, ChangeKind::NameCut), (Counts{{"averyverylongname", 1}, {"AVERYVERYLONG", 1}}));
    // Legalization reports the names it changed; upper case alone is no change.
    EXPECT_EQ(changes_of(e, ChangeKind::NameChanged), (Counts{{"averyverylongname", 1}, {"AVERYVERYLONG", 1}}));

    ReadBack r = read_xpt(e, path);
    ASSERT_GE(r.rc, 0) << r.error;
    std::vector<std::string> names;
    for (const VarRecord* v : r.vars) names.push_back(v->name);
    EXPECT_EQ(names, (std::vector<std::string>{"BIG", "TINY", "WIDE", "AVERYVER", "AVERYVE0", "OK"}));
    ASSERT_EQ(r.rows.size(), 3u);
    EXPECT_EQ(r.rows[0][0], "7.2370055773320565e+75");
    EXPECT_EQ(r.rows[0][1], "0");  // not the smallest IBM number
    EXPECT_EQ(r.rows[1][1], "0");
    EXPECT_EQ(r.rows[0][2], "<" + std::string(200, 'w') + ">");
    DX_CloseFiles(e.handle);
  }
  {
    // Version 8 holds names of 32 characters and labels of 256 bytes.
    Env e;
    const std::string path = temp_path("changes8");
    const std::string name40 = "this_name_is_longer_than_thirty_two_char";
    ASSERT_EQ(write_xpt(e, path, {{name40, T_DOUBLE, 8, std::string(300, 'L')}, {"s", T_STRING, 400}},
                        {{N(1), S(std::string(400, 's'))}}, 8),
              0);
    using Counts = std::map<std::string, int64_t>;
    EXPECT_EQ(changes_of(e, ChangeKind::NameCut), (Counts{{name40, 1}}));
    EXPECT_EQ(changes_of(e, ChangeKind::LabelCut), (Counts{{name40, 1}}));
    EXPECT_EQ(changes_of(e, ChangeKind::StringCut), Counts{});
    ReadBack r = read_xpt(e, path);
    ASSERT_GE(r.rc, 0) << r.error;
    EXPECT_EQ(r.vars[0]->name, name40.substr(0, 32));
    EXPECT_EQ(r.vars[0]->label, std::string(256, 'L'));
    EXPECT_EQ(r.rows[0][1], "<" + std::string(400, 's') + ">");
    DX_CloseFiles(e.handle);
  }
}

// Hand-made version 8 libraries, as SAS writes them.
std::string namestr8(const HandVar& v, const std::string& long_name, uint32_t label_length) {
  std::string ns = namestr(v);
  ns.replace(88, 32, padded(long_name, 32));
  ns.replace(120, 2, be(label_length, 2));
  return ns;
}
std::string library8() {
  return header("LIBV8") + record("SAS     SAS     SASLIB  9.1     LIN X64" + std::string(25, ' ') + kStamp) +
         record(kStamp);
}
std::string label_entry(uint32_t number, const std::string& name, const std::string& label) {
  return be(number, 2) + be(static_cast<uint32_t>(name.size()), 2) + be(static_cast<uint32_t>(label.size()), 2) + name +
         label;
}
std::string label_entry9(uint32_t number, const std::string& name, const std::string& label, const std::string& format,
                         const std::string& informat) {
  return be(number, 2) + be(static_cast<uint32_t>(name.size()), 2) + be(static_cast<uint32_t>(label.size()), 2) +
         be(static_cast<uint32_t>(format.size()), 2) + be(static_cast<uint32_t>(informat.size()), 2) + name + label +
         format + informat;
}
std::string to_record(std::string s) {
  if (s.size() % 80) s.resize(s.size() + 80 - s.size() % 80, ' ');
  return s;
}
// One member: its 32-character name, NAMESTRs, label section (kind "" for none), OBSV8 digits.
std::string member8(const std::string& name, const std::string& label, const std::vector<std::string>& namestrs,
                    const char* label_kind, const std::vector<std::string>& entries, const std::string& obs_digits,
                    const std::string& data) {
  std::string m = header("MEMBV8", "000000000000000001600000000140") + header("DSCPTV8") +
                  record("SAS     " + padded(name, 32) + "SASDATA 9.1     LIN X64 " + kStamp) +
                  record(kStamp + std::string(16, ' ') + padded(label, 40)) +
                  header("NAMSTV8");
  // The variable count: four digits at 54.
  char count[8];
  std::snprintf(count, sizeof count, "%04zu", namestrs.size());
  m.replace(m.size() - 80 + 54, 4, count);
  std::string ns;
  for (const std::string& n : namestrs) ns += n;
  m += to_record(ns);
  if (*label_kind) {
    std::string all;
    for (const std::string& en : entries) all += en;
    m += header(label_kind, padded(std::to_string(entries.size()), 30)) + to_record(all);
  }
  return m + header("OBSV8", obs_digits) + to_record(data);
}

std::string v8_library() {
  const std::string long_label = "a label of more than forty characters, as SAS keeps them in the label section";
  // Member one: long names, a long label, and a count in the OBS header that makes an all-blank
  // last observation a real one.
  const std::string one =
      member8("THE_FIRST_MEMBER_WITH_LONG_NAME", "Member label",
              {namestr8({1, 8, "number_w", long_label.substr(0, 40), "", 8}, "number_with_a_long_name", 79),
               namestr8({2, 4, "code", "", "", 40}, "code", 0)},
              "LABELV8", {label_entry(1, "number_with_a_long_name", long_label)}, padded(std::string(13, ' ') + "2", 30),
              ibm(2.5) + "ab  " + ibm(-1) + "    ");
  // Member two: LABELV9 gives a date-time format and a long format name; no count.
  const std::string two =
      member8("second", "", {namestr8({1, 8, "stamp", "", "", 0}, "stamp", 0), namestr8({1, 8, "amount", "", "", 0}, "amount", 0)},
              "LABELV9",
              {label_entry9(1, "stamp", "When", "DATETIME20.", "DATETIME20."),
               label_entry9(2, "amount", "", "MYLONGFORMAT12.3", "")},
              std::string(30, '0'), ibm(86400 * 1.5) + ibm(1234.5));
  return library8() + one + two;
}

TEST(XportV8, HandMadeLibraryWithLabelSectionsAndLongFormats) {
  Env e;
  const std::string path = temp_path("v8_hand");
  spill(path, v8_library());
  ASSERT_EQ(DX_OpenInputFile(e.handle, 12, path.c_str()), 0) << DX_GetErrorMsg(e.handle);
  ASSERT_EQ(DX_ReadMembers(e.handle), 2);
  char name[256];
  ASSERT_GE(DX_GetMemberName(e.handle, 0, name), 0);
  EXPECT_STREQ(name, "THE_FIRST_MEMBER_WITH_LONG_NAME");
  DX_CloseFiles(e.handle);

  ReadBack one = read_xpt(e, path, "the_first_member_with_long_name");
  ASSERT_GE(one.rc, 0) << one.error;
  ASSERT_EQ(one.vars.size(), 2u);
  EXPECT_EQ(one.vars[0]->name, "number_with_a_long_name");
  EXPECT_EQ(one.vars[0]->label, "a label of more than forty characters, as SAS keeps them in the label section");
  EXPECT_EQ(one.vars[1]->name, "code");
  EXPECT_EQ(e.env->dict.file_label, "Member label");
  EXPECT_EQ(e.env->dict.reader_count, 2);
  EXPECT_EQ(one.rows, (std::vector<std::vector<std::string>>{{"2.5", "<ab>"}, {"-1", "."}}));
  DX_CloseFiles(e.handle);

  ReadBack two = read_xpt(e, path, "SECOND");
  ASSERT_GE(two.rc, 0) << two.error;
  ASSERT_EQ(two.vars.size(), 2u);
  EXPECT_EQ(two.vars[0]->ttype, T_DATETIME);
  EXPECT_EQ(two.vars[0]->label, "When");
  EXPECT_EQ(two.vars[0]->native_format, "DATETIME");
  EXPECT_EQ(two.vars[0]->input_attrs[0], 20);
  EXPECT_EQ(two.vars[1]->native_format, "MYLONGFORMAT");
  EXPECT_EQ(two.vars[1]->input_attrs[0], 12);
  EXPECT_EQ(two.vars[1]->decimals, 3);
  EXPECT_EQ(two.rows, (std::vector<std::vector<std::string>>{{"21917.5", "1234.5"}}));
  DX_CloseFiles(e.handle);
}

TEST(XportV8, DamagedLabelSectionsAreRefused) {
  const std::string ns = namestr8({1, 8, "x", "", "", 0}, "x", 0);
  const auto with_entries = [&](const std::vector<std::string>& entries, const char* kind = "LABELV8") {
    return library8() + member8("M", "", {ns}, kind, entries, std::string(30, '0'), ibm(1));
  };
  const std::string bad = "The label records of member M of the SAS transport file are damaged";
  const struct {
    std::string bytes;
    std::string message;
  } cases[] = {
      {with_entries({label_entry(2, "x", "label")}), bad},                       // no variable 2
      {with_entries({label_entry(0, "x", "label")}), bad},                       // nor 0
      {with_entries({be(1, 2) + be(1, 2) + be(900, 2) + "x" + "label"}), bad},  // past the section
      {with_entries({label_entry(1, "x", "label"), label_entry(1, "x", "again")}).replace(80 * 10 + 48, 1, "3"), bad},
      {library8() + member8("M", "", {ns}, "", {}, std::string(30, '0'), ibm(1)).substr(0, 80 * 7),
       "The OBSV8 header record of member M is missing in the SAS transport file"},
  };
  int n = 0;
  for (const auto& c : cases) {
    Env e;
    const std::string path = temp_path("v8_bad" + std::to_string(n++));
    spill(path, c.bytes);
    ReadBack r = read_xpt(e, path);
    EXPECT_LT(r.rc, 0) << n;
    EXPECT_EQ(r.error, c.message) << n;
    DX_CloseFiles(e.handle);
  }
}

}  // namespace
