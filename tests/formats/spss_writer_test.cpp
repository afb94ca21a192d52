// SPSS system files written through the public API, taken apart record by record: header and
// patched counts, variable records, labels and their cuts by release, extension records, and
// the bytecodes of the compressed data.
#include <gtest/gtest.h>
#include <zlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <string>
#include <variant>
#include <vector>

#include "tabulon/tabulon.h"
#include "support/format_harness.h"

namespace {

std::vector<std::string> g_log;
void log_cb(int32_t, const char* text, int32_t, int64_t) { g_log.push_back(text); }

int count_log(const std::string& text) {
  int n = 0;
  for (const std::string& m : g_log) n += m == text ? 1 : 0;
  return n;
}

std::string temp_path(const std::string& name) {
  return std::string(::testing::TempDir()) + "sav_" + std::to_string(::getpid()) + "_" + name;
}

using tabulon::test::slurp;

// ---- building a file through the API ----

struct Var {
  std::string name;
  int32_t type = 1;  // API type: 1 number, 2 string, 4 date, 8 time, 16 date-time
  int32_t width = 8;
  int32_t decimals = 0;
  std::string label = {};
  std::vector<std::pair<double, std::string>> labels = {};            // numbers
  std::vector<std::pair<std::string, std::string>> text_labels = {};  // strings
};

struct Missing {
  int code = 1;
};
using Cell = std::variant<double, std::string, Missing>;

struct Options {
  int32_t release = 0;
  const char* out_encoding = nullptr;
  int32_t max_string = 0;  // numbered option 83
  int32_t compression = 0;  // "spss-compression": 0 by the extension, 1 bytecode, 2 zlib
};

// Writes the cases and returns the result of the open (the file stays on disk).
int32_t write_sav(const std::string& path, const std::vector<Var>& vars,
                  const std::vector<std::vector<Cell>>& rows, Options opt = {}) {
  const int32_t h = DX_OpenEnvironment();
  const uint32_t masks[4] = {~0u, ~0u, ~0u, ~0u};
  DX_SetInfoCallback(h, -1, masks, 0, 0, log_cb);
  g_log.clear();
  if (opt.release) DX_SetOption(h, 77, opt.release, nullptr);
  if (opt.out_encoding) DX_SetOption(h, 26, 0, opt.out_encoding);
  if (opt.max_string) DX_SetOption(h, 83, opt.max_string, nullptr);
  if (opt.compression) DX_SetOption(h, 79, opt.compression, nullptr);
  DX_InitUserDict(h, static_cast<int32_t>(vars.size()));
  for (size_t i = 0; i < vars.size(); ++i) {
    const Var& v = vars[i];
    const int32_t k = static_cast<int32_t>(i);
    EXPECT_EQ(DX_AddUserVar(h, k, v.name.c_str(), v.type, v.width, v.decimals), 0);
    if (!v.label.empty()) DX_SetVarLabel(h, k, v.label.c_str());
    const size_t n = v.labels.size() + v.text_labels.size();
    if (!n) continue;
    DX_SetNValueLabels(h, k, static_cast<int32_t>(n));
    int32_t e = 0;
    for (const auto& [x, l] : v.labels) DX_SetValueLabelExt(h, e++, x, nullptr, l.c_str());
    for (const auto& [t, l] : v.text_labels) DX_SetValueLabelExt(h, e++, 0, t.c_str(), l.c_str());
  }
  const int32_t r = DX_OpenOutFile(h, 22, path.c_str());
  if (r == 0) {
    for (const auto& row : rows) {
      for (size_t i = 0; i < row.size(); ++i) {
        const int32_t k = static_cast<int32_t>(i);
        if (const double* x = std::get_if<double>(&row[i])) {
          DX_SetVarDouble(h, k, x);
        } else if (const std::string* s = std::get_if<std::string>(&row[i])) {
          if (s->empty())
            DX_SetVarMissing(h, k);
          else
            DX_SetVarString(h, k, s->c_str());
        } else {
          DX_SetVarMissingExt(h, k, std::get<Missing>(row[i]).code);
        }
      }
      EXPECT_GE(DX_WriteRecord(h), 0) << DX_GetErrorMsg(h);
    }
  } else {
    g_log.push_back(std::string("open: ") + DX_GetErrorMsg(h));
  }
  EXPECT_GE(DX_CloseFiles(h), 0);
  DX_CloseEnvironment(h);
  return r;
}

// ---- taking a file apart ----

int32_t i32(const std::string& b, size_t at) {
  int32_t v = 0;
  if (at + 4 <= b.size()) std::memcpy(&v, b.data() + at, 4);
  return v;
}
double f64(const std::string& b, size_t at) {
  double v = 0;
  if (at + 8 <= b.size()) std::memcpy(&v, b.data() + at, 8);
  return v;
}

struct VarRec {
  int32_t type = 0, n_missing = 0, format = 0;
  std::string name, label;
  std::vector<double> missing;
};
struct LabelSet {
  std::vector<std::pair<std::string, std::string>> entries;  // 8 value bytes, label
  std::vector<int32_t> indexes;
};
struct Unit {
  uint8_t cmd;
  std::string raw;  // the 8 bytes after a 253
  double number() const { return f64(raw, 0); }
};

struct Sav {
  std::string b;
  bool ok = false;
  std::vector<VarRec> vars;
  std::vector<LabelSet> labels;
  std::map<int32_t, std::string> ext;  // subtype -> body
  std::vector<Unit> units;             // data commands other than 0 and 252
  bool ended = false;
  size_t trailing = 0;  // bytes after the block holding 252
  size_t data_at = 0;   // first byte after the type 999 record

  explicit Sav(const std::string& path) : b(slurp(path)) {
    size_t p = 176;
    while (p + 4 <= b.size()) {
      const int32_t rec = i32(b, p);
      p += 4;
      if (rec == 2) {
        VarRec v;
        v.type = i32(b, p);
        const int32_t has_label = i32(b, p + 4);
        v.n_missing = i32(b, p + 8);
        v.format = i32(b, p + 12);
        v.name = b.substr(p + 20, 8);
        p += 28;
        if (has_label) {
          const int32_t n = i32(b, p);
          v.label = b.substr(p + 4, static_cast<size_t>(n));
          p += 4 + (static_cast<size_t>(n) + 3) / 4 * 4;
        }
        for (int k = 0; k < std::abs(v.n_missing); ++k, p += 8) v.missing.push_back(f64(b, p));
        vars.push_back(v);
      } else if (rec == 3) {
        LabelSet s;
        const int32_t n = i32(b, p);
        p += 4;
        for (int32_t k = 0; k < n; ++k) {
          const std::string value = b.substr(p, 8);
          const size_t len = static_cast<uint8_t>(b[p + 8]);
          s.entries.emplace_back(value, b.substr(p + 9, len));
          p += 8 + (len + 1 + 7) / 8 * 8;
        }
        if (i32(b, p) != 4) return;
        const int32_t m = i32(b, p + 4);
        p += 8;
        for (int32_t k = 0; k < m; ++k, p += 4) s.indexes.push_back(i32(b, p));
        labels.push_back(s);
      } else if (rec == 7) {
        const int32_t sub = i32(b, p), size = i32(b, p + 4), count = i32(b, p + 8);
        ext[sub] = b.substr(p + 12, static_cast<size_t>(size) * static_cast<size_t>(count));
        p += 12 + static_cast<size_t>(size) * static_cast<size_t>(count);
      } else if (rec == 999) {
        p += 4;
        data_at = p;
        break;
      } else {
        return;
      }
    }
    while (p + 8 <= b.size() && !ended) {
      const size_t block = p;
      p += 8;
      for (size_t k = 0; k < 8; ++k) {
        const uint8_t c = static_cast<uint8_t>(b[block + k]);
        if (ended || c == 0) continue;
        if (c == 252) {
          ended = true;
        } else if (c == 253) {
          units.push_back({c, b.substr(p, 8)});
          p += 8;
        } else {
          units.push_back({c, {}});
        }
      }
    }
    trailing = b.size() - p;
    ok = true;
  }
  int32_t header(size_t at) const { return i32(b, at); }
  // A string of `width` bytes starting at unit u: segments of 255 bytes, trailing blanks dropped.
  std::string text(size_t u, uint32_t width) const {
    std::string out;
    const uint32_t segments = width > 255 ? (width + 251) / 252 : 1;
    for (uint32_t k = 0; k < segments; ++k) {
      const uint32_t w = k + 1 < segments ? 255 : width - (segments - 1) * 252;
      std::string seg;
      for (uint32_t j = 0; j < (w + 7) / 8; ++j, ++u)
        seg += units[u].cmd == 254 ? std::string(8, ' ') : units[u].raw;
      out += seg.substr(0, std::min<uint32_t>(w, 255));
    }
    return out.substr(0, out.find_last_not_of(' ') + 1);
  }
};

std::string ints_of(const std::string& body) {
  std::string s;
  for (size_t at = 0; at + 4 <= body.size(); at += 4) s += std::to_string(i32(body, at)) + " ";
  return s;
}

TEST(SpssWriter, HeaderPatchedCountsAndExtensionRecords) {
  const std::string path = temp_path("header.sav");
  ASSERT_EQ(
      write_sav(
          path, {{"id", 1, 8, 0, "Identifier"}, {"name", 2, 12}, {"1abc", 1}},
          {{1.0, std::string("ann"), 3.0}, {2.0, std::string("bob"), 4.0}, {3.0, std::string("cy"), 5.0}}),
      0);
  const Sav s(path);
  ASSERT_TRUE(s.ok);
  EXPECT_EQ(s.b.substr(0, 64), "$FL2@(#) SPSS DATA FILE - Tabulon Ver. 12.1.196.1216" + std::string(12, ' '));
  EXPECT_EQ(s.header(64), 2);  // layout
  EXPECT_EQ(s.header(68), 4);  // nominal case size: 1 + 2 + 1 units
  EXPECT_EQ(s.header(72), 1);  // bytecode compression
  EXPECT_EQ(s.header(76), 0);  // no weight
  EXPECT_EQ(s.header(80), 3);  // cases
  EXPECT_EQ(f64(s.b, 84), 100.0);
  EXPECT_TRUE(std::regex_match(
      s.b.substr(92, 17),
      std::regex(R"(\d\d (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d\d\d\d:\d\d:\d\d)")))
      << s.b.substr(92, 17);
  EXPECT_EQ(s.b.substr(109, 67), std::string(64, ' ') + std::string(3, '\0'));
  EXPECT_EQ(count_log("Info:\tWriting SPSS ver. 16 file has started"), 1);

  ASSERT_EQ(s.vars.size(), 4u);
  EXPECT_EQ(s.vars[0].name, "ID      ");
  EXPECT_EQ(s.vars[0].label, "Identifier");
  EXPECT_EQ(s.vars[0].format, 0x050800);
  EXPECT_EQ(s.vars[1].type, 12);
  EXPECT_EQ(s.vars[1].format, 0x010C00);
  EXPECT_EQ(s.vars[2].type, -1);
  EXPECT_EQ(s.vars[3].name, "V1ABC   ");
  EXPECT_EQ(ints_of(s.ext.at(3)), "16 0 0 720 1 1 2 65001 ");
  EXPECT_EQ(s.ext.at(13), "ID=id\tNAME=name\tV1ABC=v1abc");
  EXPECT_EQ(s.ext.at(20), "utf-8");
  EXPECT_EQ(s.ext.count(14), 0u);
  EXPECT_EQ(s.ext.count(21), 0u);
  EXPECT_TRUE(s.ended);
  EXPECT_EQ(s.trailing, 0u);
  ASSERT_EQ(s.units.size(), 12u);
  EXPECT_EQ(s.text(1, 12), "ann");
  EXPECT_EQ(s.units[11].cmd, 105);
  std::remove(path.c_str());
}

TEST(SpssWriter, Bytecodes) {
  const std::string path = temp_path("codes.sav");
  const std::vector<std::pair<Cell, std::string>> cases = {
      {1.0, "101"}, {152.0, "253:152"}, {151.0, "251"},      {-99.0, "1"},        {-100.0, "253:-100"},
      {0.0, "100"}, {2.5, "253:2.5"},   {Missing{1}, "255"}, {Missing{3}, "255"},
  };
  std::vector<std::vector<Cell>> rows;
  for (const auto& c : cases) rows.push_back({c.first, std::string("  x"), 2.0, 0.5, 2.25, std::string("")});
  ASSERT_EQ(write_sav(path, {{"x", 1, 8, 2}, {"s", 2, 9}, {"d", 4}, {"t", 8}, {"dt", 16}, {"e", 2, 3}}, rows),
            0);
  const Sav s(path);
  ASSERT_TRUE(s.ok);
  ASSERT_EQ(s.units.size(), cases.size() * 7);
  EXPECT_EQ(s.header(80), static_cast<int32_t>(cases.size()));
  for (size_t i = 0; i < cases.size(); ++i) {
    const Unit* u = &s.units[i * 7];
    std::string got = std::to_string(u[0].cmd);
    if (u[0].cmd == 253) {
      char b[32];
      std::snprintf(b, sizeof b, ":%g", u[0].number());
      got += b;
    }
    EXPECT_EQ(got, cases[i].second) << "case " << i;
    // A string of 9 bytes: its first 8 bytes raw, then a segment of blanks.
    EXPECT_EQ(u[1].cmd, 253);
    EXPECT_EQ(u[1].raw, "  x     ");
    EXPECT_EQ(u[2].cmd, 254);
    // Day 2 is 1 January 1900; times count seconds, date-times from 14 October 1582.
    EXPECT_EQ(u[3].cmd, 253);
    EXPECT_EQ(u[3].number(), 10010390400.0);
    EXPECT_EQ(u[4].number(), 43200.0);
    EXPECT_EQ(u[5].number(), 10010390400.0 + 21600.0);
    EXPECT_EQ(u[6].cmd, 254);  // a missing string is blank
  }
  EXPECT_EQ(s.vars[3].format, 0x140B00);  // DATE11
  EXPECT_EQ(s.vars[4].format, 0x150800);  // TIME8
  EXPECT_EQ(s.vars[5].format, 0x161400);  // DATETIME20
  EXPECT_TRUE(s.ended);
  std::remove(path.c_str());
}

// Enough cases to pass the output buffer several times, with command blocks left open at
// each flush: every value comes back in order.
TEST(SpssWriter, ManyCasesAcrossBufferFlushes) {
  const std::string path = temp_path("many.sav");
  constexpr int kCases = 300000;
  std::vector<std::vector<Cell>> rows;
  rows.reserve(kCases);
  for (int i = 0; i < kCases; ++i) rows.push_back({i * 0.5, std::string(i % 3 ? "ab" : "")});
  ASSERT_EQ(write_sav(path, {{"x", 1, 10, 1}, {"s", 2, 2}}, rows), 0);
  const Sav s(path);
  ASSERT_TRUE(s.ok);
  EXPECT_GT(s.b.size(), 2u << 20);
  EXPECT_EQ(s.header(80), kCases);
  ASSERT_EQ(s.units.size(), 2u * kCases);
  int bad = 0;
  for (int i = 0; i < kCases && bad < 5; ++i) {
    const Unit& x = s.units[2 * i];
    const double got = x.cmd == 253 ? x.number() : x.cmd - 100.0;
    const Unit& t = s.units[2 * i + 1];
    const std::string text = t.cmd == 254 ? "" : t.raw.substr(0, 2);
    if (got != i * 0.5 || text != (i % 3 ? "ab" : "")) ++bad, ADD_FAILURE() << "case " << i;
  }
  EXPECT_TRUE(s.ended);
  EXPECT_EQ(s.trailing, 0u);
  std::remove(path.c_str());
}

int64_t i64(const std::string& b, size_t at) {
  int64_t v = 0;
  if (at + 8 <= b.size()) std::memcpy(&v, b.data() + at, 8);
  return v;
}

// zlib output, chosen by the extension or by "spss-compression": a "$FL3" file whose blocks
// inflate to exactly the bytecode of the "$FL2" file of the same cases, under the zlib header
// and block index other readers check; the reader reads every file back.
TEST(SpssWriter, ZlibBlocksHoldTheBytecode) {
  constexpr int kCases = 400000;  // about 7 MB of bytecode: two zlib blocks
  std::vector<std::vector<Cell>> rows;
  rows.reserve(kCases);
  for (int i = 0; i < kCases; ++i) rows.push_back({i * 0.5, std::string(i % 3 ? "ab" : "")});
  const std::vector<Var> vars = {{"x", 1, 10, 1}, {"s", 2, 2}};
  struct Case {
    const char* name;
    int32_t compression;
    bool zlib;
  } cases[] = {{"plain.sav", 0, false}, {"z.zsav", 0, true}, {"asked.sav", 2, true}, {"kept.zsav", 1, false}};
  std::string bytecode;  // the data of the first file
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = temp_path(c.name);
    ASSERT_EQ(write_sav(path, vars, rows, Options{.compression = c.compression}), 0);
    const Sav s(path);
    ASSERT_TRUE(s.ok);
    EXPECT_EQ(s.b.substr(0, 4), c.zlib ? "$FL3" : "$FL2");
    EXPECT_EQ(s.header(72), c.zlib ? 2 : 1);
    EXPECT_EQ(s.header(80), kCases);
    EXPECT_EQ(ints_of(s.ext.at(3)).substr(0, 14), c.zlib ? "16 0 0 720 1 2" : "16 0 0 720 1 1");
    // Read back in place from the input's buffer or from the inflated blocks: cases cross
    // both the buffer's chunks and the zlib blocks.
    const int32_t h = DX_OpenEnvironment();
    ASSERT_GE(DX_OpenInputFile(h, 22, path.c_str()), 0);
    ASSERT_GE(DX_ReadDict(h), 0) << DX_GetErrorMsg(h);
    ASSERT_GE(DX_InitReadOnly(h), 0);
    int n = 0, bad = 0;
    for (; DX_ReadRecord(h) >= 0; ++n) {
      double x = -1;
      char text[16] = {};
      DX_CopyVarDataNumb(h, 0, &x);
      DX_CopyVarDataStr(h, 1, text);
      if ((x != n * 0.5 || std::string(text) != (n % 3 ? "ab" : "")) && bad++ < 5) ADD_FAILURE() << "case " << n;
    }
    EXPECT_EQ(n, kCases);
    DX_CloseFiles(h);
    DX_CloseEnvironment(h);
    if (!c.zlib) {
      if (bytecode.empty()) bytecode = s.b.substr(s.data_at);
      else EXPECT_EQ(s.b.substr(s.data_at), bytecode);
      std::remove(path.c_str());
      continue;
    }
    const std::string& b = s.b;
    const size_t z = s.data_at;
    EXPECT_EQ(i64(b, z), static_cast<int64_t>(z));
    const int64_t trailer = i64(b, z + 8), trailer_len = i64(b, z + 16);
    ASSERT_EQ(trailer + trailer_len, static_cast<int64_t>(b.size()));
    const size_t t = static_cast<size_t>(trailer);
    EXPECT_EQ(i64(b, t), -100);
    EXPECT_EQ(i64(b, t + 8), 0);
    EXPECT_EQ(i32(b, t + 16), 0x3ff000);
    const int32_t n_blocks = i32(b, t + 20);
    ASSERT_EQ(trailer_len, 24 + 24 * int64_t{n_blocks});
    EXPECT_GE(n_blocks, 2);
    std::string inflated;
    int64_t raw_ofs = static_cast<int64_t>(z), packed_ofs = raw_ofs + 24;
    for (int32_t k = 0; k < n_blocks; ++k) {
      const size_t e = t + 24 + 24 * static_cast<size_t>(k);
      EXPECT_EQ(i64(b, e), raw_ofs);
      ASSERT_EQ(i64(b, e + 8), packed_ofs);
      const uint32_t raw = static_cast<uint32_t>(i32(b, e + 16)), packed = static_cast<uint32_t>(i32(b, e + 20));
      if (k + 1 < n_blocks) EXPECT_EQ(raw, 0x3ff000u);
      std::string out(raw, '\0');
      uLongf len = raw;
      ASSERT_EQ(uncompress(reinterpret_cast<Bytef*>(out.data()), &len,
                           reinterpret_cast<const Bytef*>(b.data() + packed_ofs), packed),
                Z_OK);
      ASSERT_EQ(len, raw);
      inflated += out;
      raw_ofs += raw;
      packed_ofs += packed;
    }
    EXPECT_EQ(packed_ofs, trailer);
    EXPECT_TRUE(inflated == bytecode) << inflated.size() << " inflated bytes, " << bytecode.size() << " bytecode";
    EXPECT_LT(b.size() * 2, bytecode.size());

    std::remove(path.c_str());
  }
}

// Cuts of labels and strings, and the losses older releases impose, with their warnings.
TEST(SpssWriter, CutsByRelease) {
  const std::string long_label(300, 'L');
  const std::string long_value_label =
      std::string(126, 'v') + "\xC3\xA9";  // 128 bytes, a 2-byte last character
  struct Row {
    int32_t release;
    size_t label, value_label;
    bool long_string_labels;  // labels of a 10-byte string kept (record 21)
  };
  const Row table[] = {{0, 256, 120, true},
                       {16, 256, 120, true},
                       {14, 256, 120, false},
                       {13, 256, 60, false},
                       {12, 120, 60, false}};
  for (const Row& r : table) {
    SCOPED_TRACE("release " + std::to_string(r.release));
    const std::string path = temp_path("cuts.sav");
    ASSERT_EQ(write_sav(path,
                        {{"n", 1, 8, 0, long_label, {{1, long_value_label}}},
                         {"code", 2, 3, 0, "", {}, {{"abcd", "ABCD"}}},
                         {"wide", 2, 10, 0, "", {}, {{"tenletters", "Ten"}}}},
                        {{1.0, std::string("abc"), std::string("tenletters")}}, {r.release}),
              0);
    const Sav s(path);
    ASSERT_TRUE(s.ok);
    EXPECT_EQ(s.vars[0].label, long_label.substr(0, r.label));
    const std::string warn_label =
        "Warning:The width of the var.label assigned to the variable n was truncated to " +
        std::to_string(r.label) + " bytes, since this is the max. var. label length, supported by SPSS";
    EXPECT_EQ(count_log(warn_label), 1);
    ASSERT_GE(s.labels.size(), 2u);
    EXPECT_EQ(s.labels[0].entries[0].second, long_value_label.substr(0, r.value_label));
    EXPECT_EQ(s.labels[0].indexes, std::vector<int32_t>{1});
    EXPECT_EQ(count_log("Warning:The width of the val.label assigned to the variable n was truncated to " +
                        std::to_string(r.value_label) +
                        " bytes, since this is the max. value label length, supported by SPSS"),
              1);
    // A value longer than its 3-byte column.
    EXPECT_EQ(s.labels[1].entries[0].first, "abc     ");
    EXPECT_EQ(s.labels[1].indexes, std::vector<int32_t>{2});
    EXPECT_EQ(
        count_log("Warning:The length of value of the value label, assigned to the variable [code] will be "
                  "truncated because it exceedes the width of the column (3) bytes."),
        1);
    const std::string lost =
        "Warning:Variable wide has lost the assigned value lables since SPSS does not allow "
        "labeling string variables, wider than 8 bytes.";
    EXPECT_EQ(count_log(lost), r.long_string_labels ? 0 : 1);
    EXPECT_EQ(s.ext.count(21), r.long_string_labels ? 1u : 0u);
    if (r.long_string_labels) {
      std::string expect;
      auto put = [&](int32_t v) { expect.append(reinterpret_cast<const char*>(&v), 4); };
      put(4), expect += "wide", put(10), put(1), put(10), expect += "tenletters", put(3), expect += "Ten";
      EXPECT_EQ(s.ext.at(21), expect);
    }
    EXPECT_EQ(s.ext.count(3), r.release == 0 || r.release >= 16 ? 1u : 0u);
    EXPECT_EQ(s.ext.count(20), r.release == 0 || r.release >= 16 ? 1u : 0u);
    std::remove(path.c_str());
  }
}

TEST(SpssWriter, ThreeHundredByteStringAtRelease12IsCutTo255) {
  const std::string path = temp_path("r12.sav");
  const std::string value = std::string(250, 'a') + std::string(50, 'b');
  ASSERT_EQ(write_sav(path, {{"text", 2, 300}, {"n", 1}}, {{value, 7.0}}, {12}), 0);
  const Sav s(path);
  ASSERT_TRUE(s.ok);
  EXPECT_EQ(
      count_log("Warning:The width of the variable text was truncated to 255 bytes, since this is the max. "
                "string length, supported by SPSS"),
      1);
  EXPECT_EQ(count_log("Warning:<Record:<1>::VarName:<text>::String was cut to 255 bytes.>"), 1);
  ASSERT_EQ(s.vars.size(), 33u);  // 255 bytes: 32 units, then the number
  EXPECT_EQ(s.vars[0].type, 255);
  EXPECT_EQ(s.vars[0].format, 0x01FF00);
  EXPECT_EQ(s.header(68), 33);
  EXPECT_EQ(s.ext.count(14), 0u);
  EXPECT_EQ(s.text(0, 255), value.substr(0, 255));
  EXPECT_EQ(s.units[32].cmd, 107);
  std::remove(path.c_str());
}

TEST(SpssWriter, VeryLongStringInSegments) {
  const std::string path = temp_path("vls.sav");
  std::string value;
  for (int i = 0; i < 600; ++i) value += static_cast<char>('a' + i % 26);
  ASSERT_EQ(write_sav(path, {{"story", 2, 600, 0, "The story"}, {"n", 1}},
                      {{value, 1.0}, {std::string("short"), 2.0}}),
            0);
  const Sav s(path);
  ASSERT_TRUE(s.ok);
  // Three segment variables of 255, 255 and 96 bytes: 32 + 32 + 12 units.
  std::vector<std::pair<int32_t, std::string>> segs;
  for (const VarRec& v : s.vars)
    if (v.type > 0) segs.emplace_back(v.type, v.name);
  ASSERT_EQ(segs.size(), 3u);
  EXPECT_EQ(segs[0], std::make_pair(255, std::string("STORY   ")));
  EXPECT_EQ(segs[1].first, 255);
  EXPECT_EQ(segs[2].first, 96);
  EXPECT_NE(segs[1].second, segs[0].second);
  EXPECT_NE(segs[2].second, segs[1].second);
  EXPECT_EQ(s.vars[0].label, "The story");
  EXPECT_EQ(s.header(68), 77);
  EXPECT_EQ(s.ext.at(14), std::string("STORY=00600\0\t", 13));
  EXPECT_EQ(count_log("Warning:Variable [story] will be transformed into several new variables"), 1);
  EXPECT_EQ(s.ext.at(13), "STORY=story\tN=n");
  EXPECT_EQ(s.text(0, 600), value);
  EXPECT_EQ(s.units[76].cmd, 101);
  EXPECT_EQ(s.text(77, 600), "short");
  EXPECT_EQ(s.units[153].cmd, 102);
  std::remove(path.c_str());
}

TEST(SpssWriter, OutEncodingIsIgnoredWithWarning) {
  const std::string path = temp_path("enc.sav");
  ASSERT_EQ(write_sav(path,
                      {{"gr\xC3\xB6\xC3\x9F"
                        "e",
                        2, 8, 0,
                        "Gr\xC3\xB6\xC3\x9F"
                        "e"}},
                      {{std::string("\xC3\xA9t\xC3\xA9")}}, {0, "windows-1252"}),
            0);
  const Sav s(path);
  ASSERT_TRUE(s.ok);
  EXPECT_EQ(
      count_log(
          "Warning:Tabulon writes UTF-8 encoded SPSS files only, the requested encoding windows-1252 is "
          "ignored."),
      1);
  EXPECT_EQ(s.ext.at(20), "utf-8");
  EXPECT_EQ(s.vars[0].label,
            "Gr\xC3\xB6\xC3\x9F"
            "e");
  // Short names are upper-cased through the UTF-8 case tables.
  EXPECT_EQ(s.vars[0].name,
            "GR\xC3\x96\xC3\x9F"
            "E ");
  EXPECT_EQ(s.ext.at(13),
            "GR\xC3\x96\xC3\x9F"
            "E=gr\xC3\xB6\xC3\x9F"
            "e");
  EXPECT_EQ(s.text(0, 8), "\xC3\xA9t\xC3\xA9");
  std::remove(path.c_str());
}

// From release 13 a string is cut to 32766 bytes: the width warning, but none per value.
TEST(SpssWriter, WidestStringAtRelease16) {
  const std::string path = temp_path("widest.sav");
  std::string value;
  for (int i = 0; i < 40000; ++i) value += static_cast<char>('a' + i % 26);
  ASSERT_EQ(write_sav(path, {{"big", 2, 40000}}, {{value}}, {0, nullptr, 40000}), 0);
  const Sav s(path);
  ASSERT_TRUE(s.ok);
  EXPECT_EQ(
      count_log("Warning:The width of the variable big was truncated to 32766 bytes, since this is the max. "
                "string length, supported by SPSS"),
      1);
  for (const std::string& m : g_log) EXPECT_EQ(m.find("String was cut"), std::string::npos) << m;
  EXPECT_EQ(s.ext.at(14), std::string("BIG=32766\0\t", 11));
  EXPECT_EQ(s.text(0, 32766), value.substr(0, 32766));
  std::remove(path.c_str());
}

// Releases before 16 keep the chosen output encoding: texts are transcoded, a label the encoding
// cannot hold is dropped, and no encoding record is written.
TEST(SpssWriter, OlderReleaseKeepsTheChosenEncoding) {
  const std::string path = temp_path("cp1252.sav");
  ASSERT_EQ(write_sav(path,
                      {{"gr\xC3\xB6\xC3\x9F"
                        "e",
                        2,
                        8,
                        0,
                        "Gr\xC3\xB6\xC3\x9F"
                        "e",
                        {},
                        {{"\xC3\xA9t\xC3\xA9", "summer"}}},
                       {"n", 1, 8, 0, "\xE6\x97\xA5\xE6\x9C\xAC"}},
                      {{std::string("\xC3\xA9t\xC3\xA9"), 1.0}}, {15, "windows-1252"}),
            0);
  const Sav s(path);
  ASSERT_TRUE(s.ok);
  EXPECT_EQ(
      count_log(
          "Warning:Tabulon writes UTF-8 encoded SPSS files only, the requested encoding windows-1252 is "
          "ignored."),
      0);
  EXPECT_EQ(s.ext.count(20), 0u);
  EXPECT_EQ(s.ext.count(3), 0u);
  EXPECT_EQ(s.vars[0].label,
            "Gr\xF6\xDF"
            "e");
  EXPECT_EQ(s.vars[0].name,
            "GR\xD6\xDF"
            "E   ");
  EXPECT_EQ(s.ext.at(13),
            "GR\xD6\xDF"
            "E=gr\xF6\xDF"
            "e\tN=n");
  ASSERT_EQ(s.labels.size(), 1u);
  EXPECT_EQ(s.labels[0].entries[0], std::make_pair(std::string("\xE9t\xE9     "), std::string("summer")));
  EXPECT_EQ(s.vars[1].label, "");
  EXPECT_EQ(
      count_log("Error:\tThe variable label assigned to the variable n was lost because the chosen output "
                "encoding is incorrect"),
      1);
  EXPECT_EQ(s.text(0, 8), "\xE9t\xE9");
  std::remove(path.c_str());
}

// Long names made legal and unique, short names unique among themselves.
TEST(SpssWriter, LongAndShortNames) {
  const std::string path = temp_path("names.sav");
  const std::string longest = "a_name_that_runs_past_the_sixty_four_bytes_allowed_for_long_names_x";
  ASSERT_EQ(write_sav(path, {{"LongNameOne", 1}, {"LongNameTwo", 1}, {"a b", 1}, {"and", 1}, {longest, 1}},
                      {{1.0, 2.0, 3.0, 4.0, 5.0}}),
            0);
  const Sav s(path);
  ASSERT_TRUE(s.ok);
  EXPECT_EQ(s.ext.at(13),
            "LONGNAME=LongNameOne\tLONGNAM0=LongNameTwo\tA_B=a_b\tVARIABL0=variabl0\tA_NAME_T=" +
                longest.substr(0, 64));
  // The short-name pass is silent; the long-name pass reports its changes.
  for (const std::string& m : g_log) EXPECT_EQ(m.find("was changed to [LONGNAM0]"), std::string::npos) << m;
  EXPECT_EQ(count_log("Warning:The original name of var.[a b][3] was changed to [a_b][3]"), 1);
  std::remove(path.c_str());
}

// User-missing values of a schema input become the missing values of the variable records.
TEST(SpssWriter, MissingValuesFromSchema) {
  const std::string dir = temp_path("schema");
  ASSERT_EQ(std::system(("mkdir -p '" + dir + "'").c_str()), 0);
  std::ofstream(dir + "/in.sch")
      << "data list a 1-3 (F3.0) [-9,>=900] b 4-6 (F3.0) [1,2,3] c 7-9 (F3.0) [<=0]"
         " d 10-12 (F3.0) [>=5,<=10]\n";
  std::ofstream(dir + "/in.dat") << "  1  2  3  4\n";
  const int32_t h = DX_OpenEnvironment();
  ASSERT_EQ(DX_OpenInputFile(h, 46, (dir + "/in.sch").c_str()), 0);
  ASSERT_GT(DX_ReadDict(h), 0) << DX_GetErrorMsg(h);
  ASSERT_EQ(DX_OpenOutFile(h, 22, (dir + "/out.sav").c_str()), 0) << DX_GetErrorMsg(h);
  EXPECT_GE(DX_TransferAllRecords(h), 0);
  EXPECT_GE(DX_CloseFiles(h), 0);
  DX_CloseEnvironment(h);
  const Sav s(dir + "/out.sav");
  ASSERT_TRUE(s.ok);
  ASSERT_EQ(s.vars.size(), 4u);
  const double highest = 1.7976931348623157e308;
  EXPECT_EQ(s.vars[0].n_missing, -3);
  EXPECT_EQ(s.vars[0].missing, (std::vector<double>{900, highest, -9}));
  EXPECT_EQ(s.vars[1].n_missing, 3);
  EXPECT_EQ(s.vars[1].missing, (std::vector<double>{1, 2, 3}));
  EXPECT_EQ(s.vars[2].n_missing, -2);
  EXPECT_LT(s.vars[2].missing[0], -1e308);
  EXPECT_EQ(s.vars[2].missing[1], 0);
  EXPECT_EQ(s.vars[3].n_missing, -2);
  EXPECT_EQ(s.vars[3].missing, (std::vector<double>{5, 10}));
  EXPECT_EQ(s.header(80), 1);
  std::system(("rm -rf '" + dir + "'").c_str());
}

// A file that cannot grow: the write fails with the writer's message for its phase (the
// dictionary, or the data) and the incomplete file is removed. Enough cases that a failed write
// behind the writer shows while cases are still being written.
TEST(SpssWriter, WriteFailureIsReported) {
  const std::string path = temp_path("full.sav");
  const std::string name = "sav_" + std::to_string(::getpid()) + "_full.sav";
  struct Row {
    int32_t vars;
    int32_t cases;
    const char* phase;
  } table[] = {{1, 600000, "Writing data to SPSS file"}, {2000, 0, "Writing SPSS dataset"}};
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  void (*old_handler)(int) = std::signal(SIGXFSZ, SIG_IGN);
  for (const Row& t : table) {
    struct rlimit small = saved;
    small.rlim_cur = 64 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const int32_t h = DX_OpenEnvironment();
    DX_InitUserDict(h, t.vars);
    for (int32_t k = 0; k < t.vars; ++k) {
      DX_AddUserVar(h, k, ("x" + std::to_string(k)).c_str(), 1, 8, 0);
      DX_SetVarLabel(h, k, std::string(40, 'L').c_str());
    }
    int32_t r = DX_OpenOutFile(h, 22, path.c_str());
    const double x = 1000.5;
    for (int i = 0; i < t.cases && r >= 0; ++i) {
      DX_SetVarDouble(h, 0, &x);
      r = DX_WriteRecord(h);
    }
    const std::string message = DX_GetErrorMsg(h);
    DX_CloseFiles(h);
    DX_CloseEnvironment(h);
    setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_LT(r, 0);
    EXPECT_EQ(message, "SPSS dataset (" + name + ") \n" + t.phase + " was stopped because of the error (2).");
    EXPECT_NE(access(path.c_str(), F_OK), 0);
  }
  std::signal(SIGXFSZ, old_handler);
}

}  // namespace
