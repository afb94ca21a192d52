// SPSS system files built byte by byte here (both byte orders, every compression, damaged
// headers and records) and read through the public entry points.
#include <unistd.h>
#include <zlib.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "api/call_frame.h"
#include "api/env_record.h"
#include "dict/dictionary.h"
#include "engine/optimize.h"
#include "formats/spss/sav_reader.h"
#include "tabulon/tabulon.h"
#include "support/format_harness.h"

using namespace tabulon;

namespace {

// Every message is kept, for `logged`.
struct Env : test::TestEnv {
  Env() : TestEnv(true) {}
};

std::string temp_path(const std::string& name, const char* ext = ".sav") {
  return test::scratch_path("spss", name, ext);
}
using test::slurp;
using test::spill;

// ---- a small writer of system files ----

struct VarDef {
  std::string name;      // short name
  int width = 0;         // 0 numeric
  int fmt = 5;           // print format type
  int fmt_w = 8, fmt_d = 2;
  std::string label = {};
  int n_missing = 0;     // as stored: 0..3, -2, -3
  std::vector<double> missing = {};
  std::vector<std::string> smissing = {};
};

struct Unit {
  bool number = true;
  double x = 0;
  std::string text;  // 8 bytes, blank padded
  bool sysmis = false;
};
Unit U(double x) { return {true, x, {}, false}; }
Unit SM() { return {true, 0, {}, true}; }
std::vector<Unit> Text(std::string s, size_t width) {
  const size_t units = (width + 7) / 8;
  s.resize(units * 8, ' ');
  std::vector<Unit> out;
  for (size_t k = 0; k < units; ++k) out.push_back({false, 0, s.substr(k * 8, 8), false});
  return out;
}

struct FileDef {
  std::string sig = "$FL2";
  bool big_endian = false;
  int compression = 1;  // 0, 1, 2 (zlib)
  int32_t n = -2;       // -2: the number of cases given
  std::string label = "test file";
  std::vector<VarDef> vars;
  std::string dict_extra;  // records after the variables, before 999
  std::vector<std::vector<Unit>> cases;
  std::string data_override;  // raw data after the dictionary instead of the cases
  bool end_command = true;
  uint32_t block_size = 100;
};

struct Out {
  bool be;
  std::string s;
  void i32(int32_t v) {
    uint32_t x = static_cast<uint32_t>(v);
    if (be) x = __builtin_bswap32(x);
    s.append(reinterpret_cast<const char*>(&x), 4);
  }
  void i64(int64_t v) {
    uint64_t x = static_cast<uint64_t>(v);
    if (be) x = __builtin_bswap64(x);
    s.append(reinterpret_cast<const char*>(&x), 8);
  }
  void f64(double d) {
    uint64_t x;
    std::memcpy(&x, &d, 8);
    if (be) x = __builtin_bswap64(x);
    s.append(reinterpret_cast<const char*>(&x), 8);
  }
  void text(std::string t, size_t n, char pad = ' ') {
    t.resize(n, pad);
    s += t;
  }
};

constexpr double kSysmis = -1.7976931348623157e308;

// Records of the extension type 7.
std::string ext_record(bool be, int32_t subtype, int32_t size, const std::string& data) {
  Out o{be, {}};
  o.i32(7);
  o.i32(subtype);
  o.i32(size);
  o.i32(static_cast<int32_t>(data.size()) / (size ? size : 1));
  o.s += data;
  return o.s;
}
std::string machine_ints(bool be, int32_t major, int32_t code) {
  Out o{be, {}};
  for (int32_t v : {major, 0, 1, -1, 1, 1, be ? 1 : 2, code}) o.i32(v);
  return ext_record(be, 3, 4, o.s);
}
std::string value_labels(bool be, const std::vector<std::pair<std::string, std::string>>& labels,
                         const std::vector<int32_t>& units) {
  Out o{be, {}};
  o.i32(3);
  o.i32(static_cast<int32_t>(labels.size()));
  for (const auto& [value, label] : labels) {
    o.s += value;
    o.s += static_cast<char>(label.size());
    o.text(label, ((label.size() + 1 + 7) / 8) * 8 - 1, ' ');
  }
  o.i32(4);
  o.i32(static_cast<int32_t>(units.size()));
  for (int32_t u : units) o.i32(u);
  return o.s;
}
std::string num8(bool be, double x) {
  Out o{be, {}};
  o.f64(x);
  return o.s;
}

std::string bytecode(const FileDef& f) {
  Out o{f.big_endian, {}};
  std::string block, operands;
  auto flush = [&] {
    if (block.empty()) return;
    block.resize(8, '\0');
    o.s += block + operands;
    block.clear();
    operands.clear();
  };
  auto cmd = [&](uint8_t c, const std::string& operand = {}) {
    block += static_cast<char>(c);
    operands += operand;
    if (block.size() == 8) flush();
  };
  for (const auto& c : f.cases)
    for (const Unit& u : c) {
      if (!u.number) {
        if (u.text == std::string(8, ' ')) cmd(254);
        else cmd(253, u.text);
      } else if (u.sysmis) {
        cmd(255);
      } else if (u.x == std::floor(u.x) && u.x >= -99 && u.x <= 151) {
        cmd(static_cast<uint8_t>(u.x + 100));
      } else {
        cmd(253, num8(f.big_endian, u.x));
      }
    }
  if (f.end_command) cmd(252);
  flush();
  return o.s;
}

std::string make_sav(const FileDef& f) {
  Out o{f.big_endian, {}};
  o.text(f.sig + "@(#) SPSS DATA FILE test", 64);
  int32_t units = 0;
  for (const VarDef& v : f.vars) units += v.width ? (v.width + 7) / 8 : 1;
  o.i32(2);
  o.i32(units);
  o.i32(f.compression);
  o.i32(0);
  o.i32(f.n == -2 ? static_cast<int32_t>(f.cases.size()) : f.n);
  o.f64(100.0);
  o.text("01 Jan 26", 9);
  o.text("10:00:00", 8);
  o.text(f.label, 64);
  o.text("", 3);
  for (const VarDef& v : f.vars) {
    const int32_t fmt = (v.fmt << 16) | (v.fmt_w << 8) | v.fmt_d;
    o.i32(2);
    o.i32(v.width);
    o.i32(v.label.empty() ? 0 : 1);
    o.i32(v.n_missing);
    o.i32(fmt);
    o.i32(fmt);
    o.text(v.name, 8);
    if (!v.label.empty()) {
      o.i32(static_cast<int32_t>(v.label.size()));
      o.text(v.label, (v.label.size() + 3) / 4 * 4);
    }
    for (double x : v.missing) o.f64(x);
    for (const std::string& t : v.smissing) o.text(t, 8);
    for (int k = 1; k < (v.width + 7) / 8; ++k) {
      o.i32(2);
      o.i32(-1);
      for (int z = 0; z < 4; ++z) o.i32(0);
      o.text("", 8);
    }
  }
  o.s += f.dict_extra;
  o.i32(999);
  o.i32(0);
  if (!f.data_override.empty()) return o.s + f.data_override;
  if (f.compression == 0) {
    for (const auto& c : f.cases)
      for (const Unit& u : c) {
        if (!u.number) o.s += u.text;
        else o.f64(u.sysmis ? kSysmis : u.x);
      }
    return o.s;
  }
  const std::string code = bytecode(f);
  if (f.compression == 1) return o.s + code;
  // zlib: header, blocks of block_size bytes of bytecode, trailer with the block index.
  const int64_t header_ofs = static_cast<int64_t>(o.s.size());
  std::vector<std::string> blocks;
  for (size_t at = 0; at < code.size(); at += f.block_size) {
    const std::string piece = code.substr(at, f.block_size);
    uLongf n = compressBound(piece.size());
    std::string z(n, '\0');
    compress2(reinterpret_cast<Bytef*>(z.data()), &n, reinterpret_cast<const Bytef*>(piece.data()), piece.size(), 6);
    z.resize(n);
    blocks.push_back(z);
  }
  int64_t trailer_ofs = header_ofs + 24;
  for (const auto& b : blocks) trailer_ofs += static_cast<int64_t>(b.size());
  o.i64(header_ofs);
  o.i64(trailer_ofs);
  o.i64(24 + 24 * static_cast<int64_t>(blocks.size()));
  for (const auto& b : blocks) o.s += b;
  o.i64(-100);
  o.i64(0);
  o.i32(static_cast<int32_t>(f.block_size));
  o.i32(static_cast<int32_t>(blocks.size()));
  int64_t u_ofs = header_ofs, c_ofs = header_ofs + 24;
  for (size_t k = 0; k < blocks.size(); ++k) {
    const int64_t piece = std::min<int64_t>(f.block_size, static_cast<int64_t>(code.size()) - u_ofs + header_ofs);
    o.i64(u_ofs);
    o.i64(c_ofs);
    o.i32(static_cast<int32_t>(piece));
    o.i32(static_cast<int32_t>(blocks[k].size()));
    u_ofs += piece;
    c_ofs += static_cast<int64_t>(blocks[k].size());
  }
  return o.s;
}

// ---- reading back ----

using test::ReadBack;

std::string show(const EnvRecord& env, const VarRecord& v) {
  if (v.missing) return ".";
  if (v.is_string()) return "<" + std::string(var_get_string(env.dict, v)) + ">";
  char b[64];
  std::snprintf(b, sizeof b, "%.15g", var_get_double(env.dict, v));
  return b;
}

// user_missing >= 0: that handling is chosen after the dictionary is read.
ReadBack read_sav(Env& e, const std::string& path, int user_missing = -1) {
  return test::read_cases(e, 22, path, show, nullptr, 1000, [&] {
    if (user_missing >= 0) DX_SetOption(e.handle, 4, user_missing, nullptr);
  });
}

ReadBack read_bytes(Env& e, const std::string& name, const std::string& bytes, int user_missing = -1) {
  const std::string path = temp_path(name);
  spill(path, bytes);
  return read_sav(e, path, user_missing);
}

// The data set used by the layout cases: every kind of variable, labels, missing values.
FileDef sample(bool be, int compression) {
  FileDef f;
  f.big_endian = be;
  f.compression = compression;
  if (compression == 2) f.sig = "$FL3";
  f.vars = {
      {"ID", 0, 5, 4, 0, "Identifier"},
      {"NAME", 12, 1, 12, 0, "Name of the person"},
      {"SCORE", 0, 5, 8, 2, {}, -3, {-5, 10, 99}},
      {"BORN", 0, 20, 11, 0},
      {"AT", 0, 21, 8, 0},
      {"STAMP", 0, 22, 20, 0},
      {"CODE", 3, 1, 3, 0, {}, 1, {}, {"zz      "}},
  };
  auto row = [](double id, const std::string& name, Unit score, Unit born, Unit at, Unit stamp,
                const std::string& code) {
    std::vector<Unit> c{U(id)};
    for (Unit u : Text(name, 12)) c.push_back(u);
    c.push_back(score);
    c.push_back(born);
    c.push_back(at);
    c.push_back(stamp);
    for (Unit u : Text(code, 3)) c.push_back(u);
    return c;
  };
  f.cases = {
      row(1, "Ann", U(12.5), U(10010390400.0), U(30600), U(13802399940.0), "x"),
      row(2, "Bob Brown Jr", U(-5), SM(), SM(), SM(), ""),
      row(300, "", U(7), U(13166064000.0), U(0.5), U(12219379200.0), "zz"),
  };
  f.dict_extra = value_labels(be, {{num8(be, 1), "one"}, {num8(be, 300), "three hundred"}}, {1}) +
                 value_labels(be, {{"x       ", "Code X"}}, {8}) + machine_ints(be, 20, 65001) +
                 ext_record(be, 4, 8, num8(be, kSysmis) + num8(be, 1.7976931348623157e308) +
                                          num8(be, -1.7976931348623155e308)) +
                 ext_record(be, 13, 1, "ID=id\tNAME=FullName\tSCORE=score\tBORN=born\tAT=at\tSTAMP=stamp\tCODE=code");
  return f;
}

const std::vector<std::vector<std::string>> kSampleRows = {
    {"1", "<Ann>", "12.5", "2", "0.354166666666667", "43890.9993055556", "<x>"},
    {"2", "<Bob Brown Jr>", ".", ".", ".", ".", "."},
    {"300", ".", ".", "36526", "5.78703703703704e-06", "25569", "<zz>"},
};

// ---- layouts ----

struct Layout {
  bool big_endian;
  int compression;
  const char* name;
};

class SpssLayouts : public ::testing::TestWithParam<Layout> {};

TEST_P(SpssLayouts, EveryLayoutReadsTheSameDictionaryAndValues) {
  const Layout l = GetParam();
  Env e;
  ReadBack r = read_bytes(e, l.name, make_sav(sample(l.big_endian, l.compression)));
  ASSERT_GE(r.rc, 0) << r.error;
  EXPECT_EQ(r.rows, kSampleRows);
  const DictState& d = e.env->dict;
  ASSERT_EQ(d.count(), 7);
  const char* names[] = {"id", "FullName", "score", "born", "at", "stamp", "code"};
  const int types[] = {T_FLOAT, T_STRING, T_FLOAT, T_DATE, T_TIME, T_DATETIME, T_STRING};
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(d.vars[i]->name, names[i]);
    EXPECT_EQ(d.vars[i]->ttype, types[i]) << names[i];
  }
  EXPECT_EQ(d.vars[0]->label, "Identifier");
  EXPECT_EQ(d.vars[1]->print_width, 12u);
  EXPECT_EQ(d.vars[2]->print_width, 8u);
  EXPECT_EQ(d.vars[2]->decimals, 2);
  EXPECT_EQ(d.file_label, "test file");
  EXPECT_EQ(DX_GetNCases(e.handle), 3);
  ASSERT_EQ(d.vars[0]->value_labels.size(), 2u);
  EXPECT_EQ(d.vars[0]->value_labels[1].value, 300);
  EXPECT_EQ(d.vars[0]->value_labels[1].label, "three hundred");
  ASSERT_EQ(d.vars[6]->value_labels.size(), 1u);
  EXPECT_EQ(d.vars[6]->value_labels[0].text, "x");
  EXPECT_EQ(d.vars[6]->value_labels[0].label, "Code X");
  // -5 thru 10 stays a closed range; 99 is a value of its own; string missing values are kept.
  int n = 0;
  const SavMissing* m = sav_input_missing(*e.env, *d.vars[2], &n);
  ASSERT_EQ(n, 3);
  EXPECT_EQ(m[0].kind, kSavMissRangeEnd);
  EXPECT_EQ(m[0].value, -5);
  EXPECT_EQ(m[1].kind, kSavMissRangeEnd);
  EXPECT_EQ(m[1].value, 10);
  EXPECT_EQ(m[2].kind, kSavMissValue);
  EXPECT_EQ(m[2].value, 99);
  m = sav_input_missing(*e.env, *d.vars[6], &n);
  ASSERT_EQ(n, 1);
  EXPECT_EQ(m[0].text, "zz");
  EXPECT_TRUE(e.logged("Reading SPSS file ver. 20.0.1"));
  EXPECT_TRUE(e.logged("The input SPSS file identification string: \"test file\""));
  EXPECT_EQ(e.logged("needs to be decompressed"), l.compression == 2);
  DX_CloseFiles(e.handle);
}

INSTANTIATE_TEST_SUITE_P(All, SpssLayouts,
                         ::testing::Values(Layout{false, 0, "le_raw"}, Layout{false, 1, "le_bytecode"},
                                           Layout{false, 2, "le_zlib"}, Layout{true, 0, "be_raw"},
                                           Layout{true, 1, "be_bytecode"}, Layout{true, 2, "be_zlib"}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- data ----

TEST(SpssData, TransferToCsvWritesTheValuesAndDates) {
  Env e;
  const std::string in = temp_path("csv_in"), out = temp_path("csv_out", ".csv");
  FileDef f = sample(false, 2);
  f.block_size = 13;  // units straddle the blocks
  spill(in, make_sav(f));
  ASSERT_GE(DX_OpenInputFile(e.handle, 22, in.c_str()), 0);
  ASSERT_GE(DX_ReadDict(e.handle), 0) << DX_GetErrorMsg(e.handle);
  ASSERT_GE(DX_OpenOutFile(e.handle, 18, out.c_str()), 0) << DX_GetErrorMsg(e.handle);
  ASSERT_GE(DX_TransferAllRecords(e.handle), 0) << DX_GetErrorMsg(e.handle);
  ASSERT_GE(DX_CloseFiles(e.handle), 0);
  EXPECT_EQ(slurp(out),
            "\"id\",\"FullName\",\"score\",\"born\",\"at\",\"stamp\",\"code\"\n"
            "1,\"Ann\",12.5,1/1/1900,08:30:00,2/29/2020 23:59:00,\"x\"\n"
            "2,\"Bob Brown Jr\",,,,,\n"
            "300,,,1/1/2000,00:00:00.5,1/1/1970 00:00:00,\"zz\"\n");
}

TEST(SpssData, UnknownCaseCountReadsToTheEndCommand) {
  Env e;
  FileDef f;
  f.n = -1;
  f.vars = {{"A", 0}, {"S", 8, 1, 8, 0}};
  // Commands: padding 0, 101 (= 1), 254 (blanks), 253 + 2.25, 253 + text, 255 (missing), 254, 252 (end).
  Out o{false, {}};
  o.s += std::string("\x00\x65\xfe\xfd\xfd\xff\xfe\xfc", 8);
  o.f64(2.25);
  o.text("hi", 8);
  o.s += std::string(64, '\x65');  // after the end command nothing is read
  f.data_override = o.s;
  ReadBack r = read_bytes(e, "n_unknown", make_sav(f));
  ASSERT_GE(r.rc, 0) << r.error;
  EXPECT_EQ(r.rows, (std::vector<std::vector<std::string>>{{"1", "."}, {"2.25", "<hi>"}, {".", "."}}));
  EXPECT_TRUE(e.logged("The input file does not contain the number of the records available for transfer."));
  EXPECT_EQ(e.env->transfer.announced_cases, 0u);
  EXPECT_EQ(DX_GetNCases(e.handle), -1);
  DX_CloseFiles(e.handle);
}

// Whole blocks of plain codes are decoded a block at a time; a block holding padding or the
// end command, met inside a case or carried over into the next, is decoded code by code.
TEST(SpssData, PlainBlocksThenPaddingInsideACase) {
  Env e;
  FileDef f;
  f.n = -1;
  f.vars = {{"A", 0}, {"B", 0}, {"S", 8, 1, 8, 0}};
  Out o{false, {}};
  // Cases 1 and 2 and half of case 3: 101, 253 253 | 102, 254, 253 | 103, 253.
  o.s += std::string("\x65\xfd\xfd\x66\xfe\xfd\x67\xfd", 8);
  o.f64(2.5);
  o.text("ab", 8);
  o.text("cd", 8);
  o.f64(7.0);
  // Padding, then case 3's string; case 4: 104, 255 (missing), 254 (blanks); the end.
  o.s += std::string("\x00\xfd\x68\xff\xfe\xfc\x00\x00", 8);
  o.text("ef", 8);
  o.s += std::string(64, '\x65');  // after the end command nothing is read
  f.data_override = o.s;
  ReadBack r = read_bytes(e, "plain_then_padding", make_sav(f));
  ASSERT_GE(r.rc, 0) << r.error;
  EXPECT_EQ(r.rows, (std::vector<std::vector<std::string>>{
                        {"1", "2.5", "<ab>"}, {"2", ".", "<cd>"}, {"3", "7", "<ef>"}, {"4", ".", "."}}));
  DX_CloseFiles(e.handle);
}

// The handling in force when the cases are read counts (the optimization pass reads with "none").
TEST(SpssData, UserMissingModesMarkValues) {
  struct Case {
    int mode;
    std::vector<std::string> want;
  } cases[] = {
      {0, {".", ".", ".", "11", ".", "."}},  // all entries
      {1, {".", ".", ".", "11", "99", "."}},  // the first (the closed range)
      {2, {"-5", "0", "10", "11", "99", "."}},
  };
  for (const Case& c : cases) {
    Env e;
    FileDef f;
    f.vars = {{"X", 0, 5, 8, 2, {}, -3, {-5, 10, 99}}};
    for (double x : {-5.0, 0.0, 10.0, 11.0, 99.0}) f.cases.push_back({U(x)});
    f.cases.push_back({SM()});
    ReadBack r = read_bytes(e, "usermiss", make_sav(f), c.mode);
    ASSERT_GE(r.rc, 0) << r.error;
    std::vector<std::string> got;
    for (auto& row : r.rows) got.push_back(row[0]);
    EXPECT_EQ(got, c.want) << "mode " << c.mode;
    DX_CloseFiles(e.handle);
  }
}

TEST(SpssData, OpenEndedRangesBecomeOneSidedEntries) {
  Env e;
  FileDef f;
  f.vars = {{"LO", 0, 5, 8, 0, {}, -2, {-1.7976931348623155e308, 3}},
            {"HI", 0, 5, 8, 0, {}, -3, {5, 1.7976931348623157e308, -1}}};
  f.cases = {{U(3), U(4)}, {U(4), U(5)}, {U(-100), U(-1)}};
  ReadBack r = read_bytes(e, "ranges", make_sav(f));
  ASSERT_GE(r.rc, 0) << r.error;
  EXPECT_EQ(r.rows, (std::vector<std::vector<std::string>>{{".", "4"}, {"4", "."}, {".", "."}}));
  int n;
  const SavMissing* m = sav_input_missing(*e.env, *e.env->dict.vars[0], &n);
  ASSERT_EQ(n, 1);
  EXPECT_EQ(m[0].kind, kSavMissAtMost);
  m = sav_input_missing(*e.env, *e.env->dict.vars[1], &n);
  ASSERT_EQ(n, 2);
  EXPECT_EQ(m[0].kind, kSavMissAtLeast);
  EXPECT_EQ(m[1].kind, kSavMissValue);
  DX_CloseFiles(e.handle);
}

TEST(SpssData, VeryLongStringsJoinTheirSegments) {
  // One segment per 252 bytes of width: 255 bytes wide but the last, each holding 255 bytes.
  for (int width : {256, 505, 600, 1000}) {
    const int segments = (width + 251) / 252;
    const int last = width - 252 * (segments - 1);
    FileDef f;
    std::string value;
    for (int k = 0; static_cast<int>(value.size()) < width; ++k) value += static_cast<char>('a' + k % 26);
    std::vector<Unit> c;
    for (int k = 0; k < segments; ++k) {
      const int w = k + 1 < segments ? 255 : last;
      f.vars.push_back({k ? "S" + std::to_string(k) : "S", w, 1, w, 0});
      const std::string piece = k * 255 < width ? value.substr(static_cast<size_t>(k) * 255, 255) : "";
      for (Unit u : Text(piece, static_cast<size_t>(w))) c.push_back(u);
    }
    f.vars.push_back({"N", 0});
    c.push_back(U(7));
    f.cases = {c};
    char entry[32];
    std::snprintf(entry, sizeof entry, "S=%05d", width);
    f.dict_extra = ext_record(false, 14, 1, std::string(entry) + std::string("\0\t", 2)) +
                   ext_record(false, 13, 1, "S=Story\tN=n");
    Env e;
    ReadBack r = read_bytes(e, "vls", make_sav(f));
    ASSERT_GE(r.rc, 0) << width << ": " << r.error;
    ASSERT_EQ(e.env->dict.count(), 2) << width;
    EXPECT_EQ(e.env->dict.vars[0]->name, "Story");
    EXPECT_EQ(e.env->dict.vars[0]->print_width, static_cast<uint32_t>(width));
    ASSERT_EQ(r.rows.size(), 1u);
    EXPECT_EQ(r.rows[0][0], "<" + value + ">") << width;
    EXPECT_EQ(r.rows[0][1], "7");
    DX_CloseFiles(e.handle);
  }
}

TEST(SpssData, SharedLabelSetsAreNamedWhenPreserved) {
  for (int preserve : {0, 1}) {
    Env e;
    DX_SetOption(e.handle, 96, preserve, nullptr);
    FileDef f;
    f.vars = {{"A", 0}, {"B", 0}, {"C", 0}};
    f.cases = {{U(1), U(2), U(1)}};
    f.dict_extra = value_labels(false, {{num8(false, 1), "yes"}, {num8(false, 2), "no"}}, {1, 2}) +
                   value_labels(false, {{num8(false, 1), "one"}}, {3});
    ReadBack r = read_bytes(e, "sets", make_sav(f));
    ASSERT_GE(r.rc, 0) << r.error;
    const auto& v = e.env->dict.vars;
    EXPECT_EQ(v[0]->reader_text, preserve ? "LAB1" : "a");
    EXPECT_EQ(v[1]->reader_text, preserve ? "LAB1" : "b");
    EXPECT_EQ(v[2]->reader_text, "c");
    EXPECT_EQ(v[1]->value_labels.size(), 2u);
    EXPECT_EQ(v[1]->value_labels[1].label, "no");
    EXPECT_EQ(v[2]->value_labels[0].label, "one");
    DX_CloseFiles(e.handle);
  }
}

TEST(SpssData, LongValueLabelsOfLongStrings) {
  Env e;
  FileDef f;
  f.vars = {{"S", 20, 1, 20, 0}};
  f.cases = {Text("some long value text", 20)};
  auto counted = [](Out& o, const std::string& t) {
    o.i32(static_cast<int32_t>(t.size()));
    o.s += t;
  };
  Out o{false, {}};
  counted(o, "Words");
  o.i32(20);
  o.i32(2);
  counted(o, "some long value text");
  counted(o, "the first label");
  counted(o, "other");
  counted(o, std::string(300, 'L'));
  counted(o, "Nobody");
  o.i32(8);
  o.i32(1);
  counted(o, "v");
  counted(o, "lost");
  f.dict_extra = machine_ints(false, 16, 65001) + ext_record(false, 13, 1, "S=Words") + ext_record(false, 21, 1, o.s);
  ReadBack r = read_bytes(e, "lvl", make_sav(f));
  ASSERT_GE(r.rc, 0) << r.error;
  const auto& labels = e.env->dict.vars[0]->value_labels;
  ASSERT_EQ(labels.size(), 2u);
  EXPECT_EQ(labels[0].text, "some long value text");
  EXPECT_EQ(labels[0].label, "the first label");
  EXPECT_EQ(labels[1].label.size(), 255u);
  EXPECT_TRUE(e.logged("The long value label was truncated, the new length is 255"));
  EXPECT_TRUE(e.logged("The long value label, assigned to [Nobody] was lost, because the variable was not found."));
  DX_CloseFiles(e.handle);

  // Without long names the record is ignored.
  Env bare;
  f.dict_extra = machine_ints(false, 16, 65001) + ext_record(false, 21, 1, o.s);
  r = read_bytes(bare, "lvl_bare", make_sav(f));
  ASSERT_GE(r.rc, 0) << r.error;
  EXPECT_TRUE(bare.env->dict.vars[0]->value_labels.empty());
  EXPECT_TRUE(bare.logged("The long variable names were not found, therefore long value label will be ignored."));
  DX_CloseFiles(bare.handle);
}

// ---- encodings ----

TEST(SpssEncoding, CharacterCodeAndEncodingRecordChooseTheConverter) {
  struct Case {
    const char* name;
    std::string extra;
    std::string want;  // the string value read, "" when the open fails
  } cases[] = {
      {"rel16_1252", machine_ints(false, 16, 1252), "caf\xc3\xa9"},
      {"rel15_1252", machine_ints(false, 15, 1252) + ext_record(false, 20, 1, "ISO-8859-7"), "caf\xce\xb9"},
      {"record_1252", ext_record(false, 20, 1, "windows-1252"), "caf\xc3\xa9"},
      {"code_wins", machine_ints(false, 16, 1253) + ext_record(false, 20, 1, "windows-1252"), "caf\xce\xb9"},
      {"cp037", machine_ints(false, 16, 37), ""},
  };
  for (const Case& c : cases) {
    Env e;
    DX_SetOption(e.handle, 25, 0, "utf-8");
    FileDef f;
    f.vars = {{"S", 8, 1, 8, 0, "caf\xe9", 1, {}, {"caf\xe9    "}}};
    f.cases = {Text("caf\xe9", 8)};
    f.dict_extra = c.extra;
    ReadBack r = read_bytes(e, c.name, make_sav(f));
    if (c.want.empty()) {
      EXPECT_LT(r.rc, 0) << c.name;
      EXPECT_NE(r.error.find("Cp037"), std::string::npos) << r.error;
      continue;
    }
    ASSERT_GE(r.rc, 0) << c.name << ": " << r.error;
    ASSERT_EQ(r.rows.size(), 1u);
    EXPECT_EQ(r.rows[0][0], "<" + c.want + ">") << c.name;
    EXPECT_EQ(e.env->dict.vars[0]->label, c.want) << c.name;
    EXPECT_EQ(e.env->dict.vars[0]->name, "s");  // no long name: the short name in lower case
    int n = 0;
    const SavMissing* m = sav_input_missing(*e.env, *e.env->dict.vars[0], &n);
    ASSERT_EQ(n, 1);
    EXPECT_EQ(m[0].text, c.want) << c.name;
    DX_CloseFiles(e.handle);
  }
}

TEST(SpssEncoding, CodePageTable) {
  EXPECT_STREQ(sav_code_page_name(1252), "windows-1252");
  EXPECT_STREQ(sav_code_page_name(863), "Cp863");
  EXPECT_STREQ(sav_code_page_name(1147), "Cp1147");
  EXPECT_STREQ(sav_code_page_name(28597), "ISO-8859-7");
  EXPECT_STREQ(sav_code_page_name(709), "Cp420");
  EXPECT_STREQ(sav_code_page_name(57005), "ISCII91");
  EXPECT_STREQ(sav_code_page_name(65001), "UTF-8");
  EXPECT_STREQ(sav_code_page_name(2), "CHAR");
  EXPECT_STREQ(sav_code_page_name(28600), "CHAR");
}

TEST(SpssFormats, PrintFormatsChooseDateTypes) {
  const std::pair<int, int> cases[] = {
      {5, 0},  {1, 0},        {20, T_DATE}, {21, T_TIME}, {22, T_DATETIME}, {23, T_DATE}, {24, T_DATE},
      {25, T_TIME},  // DTIME is a duration
      {26, 0},       // WKDAY and MONTH hold 1..7 and 1..12, not seconds
      {27, 0},  {28, T_DATE}, {29, T_DATE}, {30, T_DATE}, {31, 0},      {38, T_DATE}, {39, T_DATE}, {40, 0},
  };
  for (auto [type, want] : cases) EXPECT_EQ(sav_date_ttype(static_cast<uint32_t>(type) << 16 | 0x0800), want) << type;
}

// ---- failures ----

TEST(SpssFailures, NumberedErrorsHaveTheirTexts) {
  FileDef good;
  good.vars = {{"A", 0}};
  good.cases = {{U(1)}};
  const std::string file = make_sav(good);
  std::string pc(300, 'x');
  pc.replace(258, 6, "PCSPSS");
  std::string bad_rec = file;
  bad_rec.replace(176, 4, std::string("\x05\x00\x00\x00", 4));
  FileDef mi = good;
  mi.dict_extra = ext_record(false, 3, 8, std::string(32, '\0'));
  FileDef enc = good;
  enc.dict_extra = ext_record(false, 20, 1, "");
  FileDef ln = good;
  ln.dict_extra = ext_record(false, 13, 1, "");
  FileDef vls = good;
  vls.vars = {{"S", 255, 1, 255, 0}, {"S1", 9, 1, 9, 0}};
  vls.cases.clear();
  vls.dict_extra = ext_record(false, 14, 1, "S=00300\t");
  FileDef vls_short = vls;
  vls_short.vars[1].width = 20;
  vls_short.dict_extra = ext_record(false, 14, 1, "S=00600\t");
  FileDef lvl_empty = good;
  lvl_empty.dict_extra = ext_record(false, 13, 1, "A=a") + ext_record(false, 21, 1, "");
  FileDef lvl_short = good;
  lvl_short.dict_extra = ext_record(false, 13, 1, "A=a") + ext_record(false, 21, 1, std::string("\x05\0\0\0ab", 6));
  // A record that claims more bytes than the file has left.
  auto runs_past = [&](int32_t subtype) {
    Out o{false, {}};
    for (int32_t v : {7, subtype, 1, 4000}) o.i32(v);
    FileDef d = good;
    d.dict_extra = o.s + "A=a";
    return make_sav(d).substr(0, 176 + 32 + o.s.size() + 3);
  };
  struct Case {
    const char* name;
    std::string bytes;
    std::string want;
  } cases[] = {
      {"lvl_empty", make_sav(lvl_empty), "was stopped because of the error (26)."},
      {"lvl_short", make_sav(lvl_short), "was stopped because of the error (27)."},
      {"names_short", runs_past(13), "was stopped because of the error (29)."},
      {"vls_short", runs_past(14), "was stopped because of the error (30)."},
      {"encrypted", std::string("\x1c") + file.substr(1),
       "\nSorry, reading ecnrypted SPSS files is not supported.\nTo be able to read the file in Tabulon you will "
       "need to save it (using SPSS) as an unencrypted SPSS dataset first."},
      {"pcspss", pc, "\nSorry, Obsolete SPSS/PC files are not supported."},
      {"version", "$FL4" + file.substr(4),
       "\nSorry, this version of SPSS files is not supported or you are trying to read an invalid/physically "
       "damaged SPSS file."},
      {"short", file.substr(0, 100), "was stopped because of the error (3)."},
      {"notsav", std::string(300, 'x'), "was stopped because of the error (3)."},
      {"rectype", bad_rec, "was stopped because of the error (2)."},
      {"machine", make_sav(mi), "was stopped because of the error (22)."},
      {"encoding", make_sav(enc), "was stopped because of the error (23)."},
      {"longnames", make_sav(ln), "was stopped because of the error (28)."},
      {"segment", make_sav(vls), "was stopped because of the error (17)."},
      {"segwidth", make_sav(vls_short), "was stopped because of the error (18)."},
  };
  for (const Case& c : cases) {
    Env e;
    ReadBack r = read_bytes(e, c.name, c.bytes);
    EXPECT_LT(r.rc, 0) << c.name;
    const std::string head = "SPSS dataset (spss_" + std::to_string(::getpid()) + "_" + c.name + ".sav) ";
    EXPECT_EQ(r.error.rfind(head, 0), 0u) << c.name << ": " << r.error;
    EXPECT_NE(r.error.find(c.want), std::string::npos) << c.name << ": " << r.error;
    DX_CloseFiles(e.handle);
  }
  Env e;
  ReadBack r = read_bytes(e, "rectype", bad_rec);
  EXPECT_EQ(r.error, "SPSS dataset (spss_" + std::to_string(::getpid()) +
                         "_rectype.sav) \nProcessing SPSS dataset dictionary was stopped because of the error (2).");
}

TEST(SpssFailures, CaseCutShortIsAReadError) {
  FileDef f;
  f.vars = {{"A", 0}, {"B", 0}};
  f.cases = {{U(1), U(2.5)}, {U(3), U(4.5)}};
  for (int compression : {0, 1}) {
    f.compression = compression;
    const std::string bytes = make_sav(f);
    if (compression == 0) {
      // Cut between the cases: the first case and a warning, then the engine fails the
      // transfer, since fewer cases came than the header declares.
      Env at_case;
      ReadBack whole = read_bytes(at_case, "cut_case", bytes.substr(0, bytes.size() - 16));
      EXPECT_LT(whole.rc, 0);
      EXPECT_NE(whole.error.find("announced 2 cases but the data ended after 1 cases"), std::string::npos)
          << whole.error;
      EXPECT_EQ(whole.rows.size(), 1u);
      EXPECT_TRUE(at_case.logged("The data end after 1 of the 2 cases the header declares; the file may be truncated."));
      DX_CloseFiles(at_case.handle);
    }
    Env e;
    ReadBack r = read_bytes(e, "cut", bytes.substr(0, bytes.size() - 4));
    EXPECT_LT(r.rc, 0);
    EXPECT_EQ(r.rows.size(), 1u);
    EXPECT_NE(r.error.find(")\nReading records from the dataset was stopped because of the error (1)."),
              std::string::npos)
        << r.error;
    DX_CloseFiles(e.handle);
  }
}

// Every prefix of each layout and random damage: an error or the cases that are there, never a crash.
TEST(SpssFailures, TruncationAndRandomDamage) {
  std::mt19937 rng(7);
  for (int compression : {0, 1, 2}) {
    FileDef f = sample(compression == 2, compression);
    const std::string bytes = make_sav(f);
    for (size_t cut = 0; cut < bytes.size(); ++cut) {
      Env e;
      ReadBack r = read_bytes(e, "trunc", bytes.substr(0, cut));
      if (r.rc >= 0) EXPECT_LE(r.rows.size(), 3u);
      else EXPECT_FALSE(r.error.empty());
      DX_CloseFiles(e.handle);
    }
    for (int round = 0; round < 300; ++round) {
      std::string damaged = bytes;
      for (int k = 0; k < 4; ++k) damaged[rng() % damaged.size()] = static_cast<char>(rng());
      Env e;
      ReadBack r = read_bytes(e, "damage", damaged);
      if (r.rc < 0) EXPECT_FALSE(r.error.empty());
      DX_CloseFiles(e.handle);
    }
  }
}

TEST(SpssFailures, AbsurdCountsFailWithoutAllocating) {
  FileDef f;
  f.vars = {{"A", 0}};
  Out o{false, {}};
  o.i32(3);
  o.i32(0x7FFFFFFF);
  f.dict_extra = o.s;
  Env e;
  ReadBack r = read_bytes(e, "labels", make_sav(f));
  EXPECT_LT(r.rc, 0);
  DX_CloseFiles(e.handle);
  Out x{false, {}};
  x.i32(7);
  x.i32(99);
  x.i32(0x10000);
  x.i32(0x10000);
  f.dict_extra = x.s;
  Env e2;
  r = read_bytes(e2, "ext", make_sav(f));
  EXPECT_LT(r.rc, 0);
  EXPECT_NE(r.error.find("error (4)"), std::string::npos) << r.error;
  DX_CloseFiles(e2.handle);
}

// ---- positions ----

TEST(SpssPositions, UncompressedRestoresAnywhereCompressedOnlyAtTheData) {
  for (int compression : {0, 1}) {
    FileDef f;
    f.compression = compression;
    f.vars = {{"A", 0}};
    f.cases = {{U(1)}, {U(2)}, {U(3)}};
    const std::string path = temp_path("posn");
    spill(path, make_sav(f));
    Env e;
    ASSERT_GE(DX_OpenInputFile(e.handle, 22, path.c_str()), 0);
    ASSERT_GE(DX_ReadDict(e.handle), 0);
    ASSERT_GE(DX_InitReadOnly(e.handle), 0);
    ASSERT_EQ(DX_ReadRecord(e.handle), 0);
    const int32_t saved = DX_SavePosn(e.handle);
    if (compression) {
      EXPECT_EQ(saved, -1);
      EXPECT_TRUE(e.logged(
          "Since you are reading the compressed SPSS file you can save only the possition of the data block."));
      DX_CloseFiles(e.handle);
      continue;
    }
    ASSERT_EQ(saved, 0);
    ASSERT_EQ(DX_ReadRecord(e.handle), 0);
    ASSERT_EQ(DX_ReadRecord(e.handle), 0);
    ASSERT_EQ(DX_RestorePosn(e.handle), 0);
    ASSERT_EQ(DX_ReadRecord(e.handle), 0);
    EXPECT_EQ(var_get_double(e.env->dict, *e.env->dict.vars[0]), 2);
    DX_CloseFiles(e.handle);
  }
  // At the start of the data a compressed file restores.
  FileDef f;
  f.vars = {{"A", 0}};
  f.cases = {{U(1)}, {U(2)}};
  const std::string path = temp_path("posn0");
  spill(path, make_sav(f));
  Env e;
  ASSERT_GE(DX_OpenInputFile(e.handle, 22, path.c_str()), 0);
  ASSERT_GE(DX_ReadDict(e.handle), 0);
  ASSERT_GE(DX_InitReadOnly(e.handle), 0);
  ASSERT_EQ(DX_SavePosn(e.handle), 0);
  ASSERT_EQ(DX_ReadRecord(e.handle), 0);
  ASSERT_EQ(DX_ReadRecord(e.handle), 0);
  ASSERT_EQ(DX_RestorePosn(e.handle), 0);
  ASSERT_EQ(DX_ReadRecord(e.handle), 0);
  EXPECT_EQ(var_get_double(e.env->dict, *e.env->dict.vars[0]), 1);
  DX_CloseFiles(e.handle);
}

// ---- the optimization pass ----

// The reader takes the pass's statistics straight from its data; they must be those of a
// pass that reads the cases (forced by a WHERE that keeps every case), and the transfer
// after it must start at the first case.
struct PassChoice : test::PassChoices {
  bool gathered = false;
  int32_t cases = 0;
};

// partial: the pass stops after its first chunk of two cases (DX_OptimizeClose).
PassChoice pass_over(const std::string& path, bool reading, int32_t mode, int32_t user_missing, bool partial) {
  PassChoice c;
  Env e;
  EXPECT_GE(DX_OpenInputFile(e.handle, 22, path.c_str()), 0);
  const int32_t n = DX_ReadDict(e.handle);
  EXPECT_GT(n, 0) << DX_GetErrorMsg(e.handle);
  DX_SelectAllVars(e.handle);
  DX_SetOption(e.handle, 4, user_missing, nullptr);
  if (reading) EXPECT_EQ(DX_ParseWhere(e.handle, "1 = 1", 1), 0);
  EXPECT_EQ(DX_OptimizeInitEx(e.handle, 14, mode), 0);
  c.gathered = e.env->transfer.optimize->gather;
  for (int32_t got; (got = DX_OptimizeDo(e.handle, 2)) >= 0;) {
    c.cases += got;
    if (got < 2) break;
    if (partial) {
      EXPECT_EQ(DX_OptimizeClose(e.handle), 0);
      break;
    }
  }
  test::take_pass_choices(e.handle, c, !partial, temp_path("pass_out", ".dta"));
  DX_CloseFiles(e.handle);
  return c;
}

TEST(SpssOptimize, StatisticsFromTheDataMatchAReadingPass) {
  struct Case {
    const char* name;
    FileDef file;
  };
  std::vector<Case> cases;
  for (Layout l : {Layout{false, 0, "le_raw"}, Layout{false, 1, "le_bytecode"}, Layout{false, 2, "le_zlib"},
                   Layout{true, 0, "be_raw"}, Layout{true, 1, "be_bytecode"}}) {
    FileDef f = sample(l.big_endian, l.compression);
    f.block_size = 13;
    // Beside the sample's rows: a fraction, values that need an int and a long, codes the
    // bytecode keeps in one byte, a date-time of whole days, a name with inner blanks.
    auto more = [](double id, const std::string& name, Unit score, Unit stamp) {
      std::vector<Unit> c{U(id)};
      for (Unit u : Text(name, 12)) c.push_back(u);
      c.push_back(score);
      c.push_back(U(13166064000.0));
      c.push_back(SM());
      c.push_back(stamp);
      for (Unit u : Text("ab", 3)) c.push_back(u);
      return c;
    };
    f.cases.push_back(more(-99, "Al  Bo", U(0.25), U(13166064000.0)));
    f.cases.push_back(more(40000, "Zed", U(151), U(13166150400.0)));
    f.cases.push_back(more(70000.5, "a b c d e f", U(99), SM()));
    cases.push_back({l.name, f});
  }
  // Windows-1252 text converts to longer UTF-8: the lengths are those of the converted text.
  FileDef latin;
  latin.vars = {{"S", 9, 1, 9, 0}, {"N", 0, 5, 8, 0}};
  latin.dict_extra = machine_ints(false, 20, 1252);
  int k = 0;
  for (const char* text : {"caf\xe9", "\xe9\xe9\xe9\xe9\xe9\xe9\xe9", "plain"}) {
    std::vector<Unit> c = Text(text, 9);
    c.push_back(U(++k));
    latin.cases.push_back(c);
  }
  cases.push_back({"cp1252", latin});
  for (const Case& c : cases) {
    const std::string path = temp_path(std::string("pass_") + c.name);
    spill(path, make_sav(c.file));
    const int32_t total = static_cast<int32_t>(c.file.cases.size());
    for (int32_t mode : {1, 0, 1 | 2})
      for (int32_t user_missing : {0, 2})
        for (bool partial : {false, true}) {
          SCOPED_TRACE(std::string(c.name) + " mode " + std::to_string(mode) + " user missing " +
                       std::to_string(user_missing) + (partial ? " partial" : ""));
          const PassChoice gathered = pass_over(path, false, mode, user_missing, partial);
          const PassChoice read = pass_over(path, true, mode, user_missing, partial);
          EXPECT_TRUE(gathered.gathered);
          EXPECT_FALSE(read.gathered);
          EXPECT_EQ(gathered.cases, partial ? 2 : total);
          EXPECT_EQ(gathered.cases, read.cases);
          if (!partial) {  // types from two cases need not hold the rest: no transfer then
            EXPECT_EQ(gathered.moved, total);
            EXPECT_EQ(read.moved, total);
          }
          test::expect_same_choices(gathered, read);
        }
    std::remove(path.c_str());
  }
}

// ---- decoding on a second thread ----

// Forces one or two threads for a scope, and lets the second thread take any compressed file
// in batches of `batch` cases, so that small files cross many batches.
struct Threads {
  Threads(const char* n, int32_t batch) {
    setenv("TABULON_THREADS", n, 1);
    sav_tune_decode_ahead(1, batch);
  }
  ~Threads() {
    unsetenv("TABULON_THREADS");
    sav_tune_decode_ahead(0, 0);
  }
};

// The sample's rows again and again (values vary), in zlib blocks smaller than a case.
FileDef many_cases(bool be, int compression, int copies) {
  FileDef f = sample(be, compression);
  const auto rows = f.cases;
  for (int k = 1; k <= copies; ++k)
    for (auto row : rows) {
      row[0].x += k;
      if (!row[3].sysmis) row[3].x += 0.25 * k;
      f.cases.push_back(row);
    }
  f.block_size = 29;
  return f;
}

struct Outcome {
  ReadBack read;
  std::vector<std::string> log;
  bool threaded = false;
};

Outcome read_threads(const char* threads, const std::string& name, const std::string& bytes) {
  Threads t(threads, 3);
  Env e;
  Outcome o;
  o.read = read_bytes(e, name, bytes);
  const auto* r = dynamic_cast<const SavReader*>(e.env->transfer.reader_state.get());
  o.threaded = r && r->ahead;
  DX_CloseFiles(e.handle);
  o.log = e.log;
  return o;
}

// Cut or damaged anywhere, a compressed file gives the same cases, the same messages and the
// same error with the decoding on a second thread as on one.
TEST(SpssDecodeAhead, OneAndTwoThreadsDeliverTheSameCasesAndFaults) {
  std::mt19937 rng(19);
  for (Layout l : {Layout{false, 1, "le_bytecode"}, Layout{true, 1, "be_bytecode"}, Layout{false, 2, "le_zlib"},
                   Layout{true, 2, "be_zlib"}}) {
    const std::string bytes = make_sav(many_cases(l.big_endian, l.compression, 12));
    std::vector<std::pair<std::string, std::string>> inputs = {{"whole", bytes}};
    for (size_t cut = bytes.size() / 3; cut < bytes.size(); cut += 1 + rng() % 23)
      inputs.push_back({"cut " + std::to_string(cut), bytes.substr(0, cut)});
    for (int round = 0; round < 40; ++round) {
      std::string damaged = bytes;
      for (int k = 0; k < 3; ++k) {
        const size_t at = bytes.size() / 3 + rng() % (bytes.size() - bytes.size() / 3);
        damaged[at] = static_cast<char>(rng());
      }
      inputs.push_back({"damage " + std::to_string(round), damaged});
    }
    int faults = 0;
    for (const auto& [what, input] : inputs) {
      SCOPED_TRACE(std::string(l.name) + " " + what);
      const Outcome one = read_threads("1", "ahead", input);
      const Outcome two = read_threads("2", "ahead", input);
      EXPECT_FALSE(one.threaded);
      if (what == "whole") {
        EXPECT_TRUE(two.threaded);
        EXPECT_EQ(two.read.rows.size(), 39u);
        EXPECT_GE(two.read.rc, 0) << two.read.error;
      }
      EXPECT_EQ(one.read.rc, two.read.rc);
      EXPECT_EQ(one.read.error, two.read.error);
      EXPECT_EQ(one.read.rows, two.read.rows);
      EXPECT_EQ(one.log, two.log);
      faults += one.read.error.find("Reading records from the dataset was stopped") != std::string::npos;
    }
    EXPECT_GT(faults, 0) << "no input met a fault inside the data";
  }
  // Text to convert (Windows-1252) and very long strings, which the calling thread takes from
  // the units itself, beside blanks and plain ASCII.
  FileDef latin;
  latin.vars = {{"S", 9, 1, 9, 0}, {"N", 0, 5, 8, 0}};
  latin.dict_extra = machine_ints(false, 20, 1252);
  FileDef story;
  story.vars = {{"S", 255, 1, 255, 0}, {"S1", 255, 1, 255, 0}, {"S2", 96, 1, 96, 0}, {"N", 0}};
  story.dict_extra = ext_record(false, 14, 1, std::string("S=00600") + std::string("\0\t", 2));
  for (int k = 0; k < 20; ++k) {
    std::vector<Unit> c = Text(k % 3 == 0 ? "caf\xe9" : k % 3 == 1 ? "plain" : "", 9);
    c.push_back(U(k));
    latin.cases.push_back(c);
    const std::string text(static_cast<size_t>(k * 29 % 600), static_cast<char>('a' + k));
    std::vector<Unit> v;
    for (int seg = 0; seg < 3; ++seg) {
      const size_t w = seg < 2 ? 255 : 96;
      const std::string piece = seg * 255u < text.size() ? text.substr(seg * 255u, 255) : "";
      for (Unit u : Text(piece, w)) v.push_back(u);
    }
    v.push_back(U(k));
    story.cases.push_back(v);
  }
  for (const auto& [name, file] : {std::pair{"latin", latin}, std::pair{"story", story}}) {
    SCOPED_TRACE(name);
    const std::string bytes = make_sav(file);
    const Outcome one = read_threads("1", name, bytes);
    const Outcome two = read_threads("2", name, bytes);
    EXPECT_TRUE(two.threaded);
    ASSERT_GE(two.read.rc, 0) << two.read.error;
    EXPECT_EQ(two.read.rows.size(), 20u);
    EXPECT_EQ(one.read.rows, two.read.rows);
    EXPECT_EQ(one.log, two.log);
  }
  EXPECT_EQ(read_threads("2", "latin", make_sav(latin)).read.rows[0][0], "<caf\xc3\xa9>");
}

// The optimization pass reads the data on the second thread, stops it when the pass ends early
// or restarts the data, and the transfer after it reads them again from the first case.
TEST(SpssDecodeAhead, OptimizationPassAndTransferMatchOneThread) {
  for (Layout l : {Layout{false, 1, "le_bytecode"}, Layout{true, 2, "be_zlib"}}) {
    const std::string path = temp_path(std::string("ahead_pass_") + l.name);
    spill(path, make_sav(many_cases(l.big_endian, l.compression, 5)));
    for (int32_t mode : {1, 1 | 2})
      for (bool partial : {false, true}) {
        SCOPED_TRACE(std::string(l.name) + " mode " + std::to_string(mode) + (partial ? " partial" : ""));
        PassChoice one, two, read;
        {
          Threads t("1", 2);
          one = pass_over(path, false, mode, 0, partial);
        }
        {
          Threads t("2", 2);
          two = pass_over(path, false, mode, 0, partial);
          read = pass_over(path, true, mode, 0, partial);
        }
        EXPECT_TRUE(two.gathered);
        EXPECT_EQ(two.cases, partial ? 2 : 18);
        EXPECT_EQ(one.cases, two.cases);
        EXPECT_EQ(one.moved, two.moved);
        EXPECT_EQ(read.moved, two.moved);
        test::expect_same_choices(one, two);
        test::expect_same_choices(read, two);
      }
    std::remove(path.c_str());
  }
}

}  // namespace
