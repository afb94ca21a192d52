// SAS data sets written through the public API and taken apart here: header bytes of every
// platform profile, page layout, subheaders (names, attributes, labels, formats), the bytes of
// values and missing values in each byte order, page sizes, limits, and the PROC FORMAT program.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <variant>
#include <vector>

#include "tabulon/tabulon.h"
#include "support/format_harness.h"

namespace {

std::vector<std::string> g_log;
int32_t g_close = 0;  // result of the last DX_CloseFiles
void log_cb(int32_t, const char* text, int32_t, int64_t) { g_log.push_back(text); }

bool logged(const std::string& part) {
  for (const std::string& m : g_log)
    if (m.find(part) != std::string::npos) return true;
  return false;
}

// A file in a folder of this process (the member name comes from the file name).
std::string temp_path(const std::string& name) {
  const std::string dir = std::string(::testing::TempDir()) + "sas7_" + std::to_string(::getpid());
  ::mkdir(dir.c_str(), 0700);
  return dir + "/" + name;
}

using tabulon::test::slurp;

// ---- building a file through the API ----

struct Var {
  std::string name;
  int32_t type = 1;   // API type: 1 number, 2 string, 4 date, 8 time, 16 date-time
  int32_t width = 8;
  int32_t ttype = -1;  // DX_SetTType code (storage type - 1), -1 keeps the default
  std::string label = {};
  std::vector<std::pair<double, std::string>> labels = {};
  std::vector<std::pair<std::string, std::string>> text_labels = {};
  std::vector<std::pair<int, std::string>> missing_labels = {};
  const char* format = nullptr;  // host display format (dates)
};
struct Missing {
  int code = 1;
};
using Cell = std::variant<double, std::string, Missing>;

struct Options {
  int32_t code = 38;
  int32_t style = -1;  // DX_SetSasStyle(0x100 + style)
  const char* program = nullptr;  // PROC FORMAT program path (numbered options 0 and 1)
};

int32_t write_sas(const std::string& path, const std::vector<Var>& vars, const std::vector<std::vector<Cell>>& rows,
                  Options opt = {}, std::string* error = nullptr) {
  const int32_t h = DX_OpenEnvironment();
  const uint32_t masks[4] = {~0u, ~0u, ~0u, ~0u};
  DX_SetInfoCallback(h, -1, masks, 0, 0, log_cb);
  g_log.clear();
  DX_SetOption(h, 26, 0, "utf-8");
  if (opt.style >= 0) DX_SetSasStyle(h, 0x100 + opt.style);
  if (opt.program) {
    DX_SetOption(h, 0, 1, nullptr);
    DX_SetOption(h, 1, 0, opt.program);
  }
  DX_InitUserDict(h, static_cast<int32_t>(vars.size()));
  for (size_t i = 0; i < vars.size(); ++i) {
    const Var& v = vars[i];
    const int32_t k = static_cast<int32_t>(i);
    EXPECT_EQ(DX_AddUserVar(h, k, v.name.c_str(), v.type, v.width, 0), 0);
    if (v.ttype >= 0) DX_SetTType(h, k, v.ttype);
    if (!v.label.empty()) DX_SetVarLabel(h, k, v.label.c_str());
    if (v.format) DX_SetVarInfo(h, k, 1, 0, v.format);
    const size_t n = v.labels.size() + v.text_labels.size() + v.missing_labels.size();
    if (!n) continue;
    DX_SetNValueLabels(h, k, static_cast<int32_t>(n));
    int32_t e = 0;
    for (const auto& [x, l] : v.labels) DX_SetValueLabelExt(h, e++, x, nullptr, l.c_str());
    for (const auto& [t, l] : v.text_labels) DX_SetValueLabelExt(h, e++, 0, t.c_str(), l.c_str());
    for (const auto& [c, l] : v.missing_labels) DX_SetMissingValueLabel(h, e++, c, l.c_str());
  }
  const int32_t r = DX_OpenOutFile(h, opt.code, path.c_str());
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
  } else if (error) {
    *error = DX_GetErrorMsg(h) ? DX_GetErrorMsg(h) : "";
  }
  g_close = DX_CloseFiles(h);
  DX_CloseEnvironment(h);
  return r;
}

// ---- taking a file apart ----

struct Column {
  std::string name, label, format;
  uint64_t offset = 0;
  uint32_t width = 0;
  int type = 0;
  uint16_t format_width = 0;
};

struct SasFile {
  std::string bytes;
  bool be = false;
  uint32_t word = 4, pad = 0, page_size = 0, page_header = 24, pointer = 12;
  uint64_t pages = 0;
  std::vector<uint64_t> rowsize;  // the words of the row size subheader
  uint64_t column_count = 0;
  std::vector<Column> cols;
  std::vector<std::string> rows;
  std::vector<uint16_t> page_types;
  std::vector<uint16_t> page_blocks;

  uint64_t uint(size_t at, size_t n) const {
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) {
      const uint8_t b = static_cast<uint8_t>(bytes.at(at + (be ? i : n - 1 - i)));
      v = (v << 8) | b;
    }
    return v;
  }
};

SasFile parse(const std::string& path) {
  SasFile f;
  f.bytes = slurp(path);
  if (f.bytes.size() < 1024) return f;
  f.word = f.bytes[32] == 0x33 ? 8 : 4;
  f.pad = f.bytes[35] == 0x33 ? 4 : 0;
  f.be = f.bytes[37] == 0;
  f.page_header = f.word == 8 ? 40 : 24;
  f.pointer = f.word == 8 ? 24 : 12;
  f.page_size = static_cast<uint32_t>(f.uint(200 + f.pad, 4));
  f.pages = f.uint(204 + f.pad, f.word);
  std::vector<std::string> texts;
  std::vector<std::vector<uint16_t>> name_refs, format_refs, label_refs;
  std::vector<uint16_t> widths;
  const uint32_t W = f.word, T = W == 8 ? 32 : 16;
  for (uint64_t p = 0; p < f.pages; ++p) {
    const size_t base = 1024 + p * f.page_size;
    if (base + f.page_size > f.bytes.size()) break;
    const uint16_t type = static_cast<uint16_t>(f.uint(base + T, 2));
    const uint16_t blocks = static_cast<uint16_t>(f.uint(base + T + 2, 2));
    const uint16_t subs = static_cast<uint16_t>(f.uint(base + T + 4, 2));
    f.page_types.push_back(type);
    f.page_blocks.push_back(blocks);
    for (uint16_t k = 0; k < subs; ++k) {
      const size_t ptr = base + f.page_header + k * f.pointer;
      const size_t off = base + f.uint(ptr, W), len = f.uint(ptr + W, W);
      if (f.bytes[ptr + 2 * W] != 0 || len == 0) continue;
      uint32_t sig = static_cast<uint32_t>(f.be ? f.uint(off, 4) : f.uint(off, 4));
      if (W == 8 && sig == 0xFFFFFFFF && f.be) sig = static_cast<uint32_t>(f.uint(off + 4, 4));
      auto u16 = [&](size_t at) { return static_cast<uint16_t>(f.uint(off + at, 2)); };
      switch (sig) {
        case 0xF7F7F7F7:
          for (int i = 0; i < 16; ++i) f.rowsize.push_back(f.uint(off + i * W, W));
          break;
        case 0xF6F6F6F6: f.column_count = f.uint(off + W, W); break;
        case 0xFFFFFFFD: texts.push_back(f.bytes.substr(off + W, len - W)); break;
        case 0xFFFFFFFF:
          for (size_t e = W + 8; e + 8 <= len - W - 4; e += 8) name_refs.push_back({u16(e), u16(e + 2), u16(e + 4)});
          break;
        case 0xFFFFFFFC:
          for (size_t e = W + 8; e + W + 8 <= len - W - 4; e += W + 8) {
            Column c;
            c.offset = f.uint(off + e, W);
            c.width = static_cast<uint32_t>(f.uint(off + e + W, 4));
            c.type = static_cast<uint8_t>(f.bytes[off + e + W + 6]);
            f.cols.push_back(c);
          }
          break;
        case 0xFFFFFBFE:
          widths.push_back(u16(3 * W));
          format_refs.push_back({u16(3 * W + 22), u16(3 * W + 24), u16(3 * W + 26)});
          label_refs.push_back({u16(3 * W + 28), u16(3 * W + 30), u16(3 * W + 32)});
          break;
        default: break;
      }
    }
    uint64_t row_at = 0, nrows = 0;
    if (type == 256) row_at = f.page_header, nrows = blocks;
    if (type == 512) row_at = (f.page_header + subs * f.pointer + 7) & ~7ull, nrows = blocks - subs;
    for (uint64_t r = 0; r < nrows && f.rowsize.size() > 5; ++r)
      f.rows.push_back(f.bytes.substr(base + row_at + r * f.rowsize[5], f.rowsize[5]));
  }
  auto text = [&](const std::vector<uint16_t>& ref) {
    if (!ref[2] || ref[0] >= texts.size()) return std::string();
    return texts[ref[0]].substr(ref[1], ref[2]);
  };
  for (size_t i = 0; i < f.cols.size(); ++i) {
    if (i < name_refs.size()) f.cols[i].name = text(name_refs[i]);
    if (i < format_refs.size()) f.cols[i].format = text(format_refs[i]), f.cols[i].label = text(label_refs[i]);
    if (i < widths.size()) f.cols[i].format_width = widths[i];
  }
  return f;
}

std::string hex(const std::string& s) {
  static const char* d = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (!out.empty()) out += ' ';
    out += d[c >> 4];
    out += d[c & 15];
  }
  return out;
}

// The column's bytes of a double in the file's order, most significant `width` bytes.
std::string number_bytes(double x, uint32_t width, bool be) {
  uint64_t bits;
  std::memcpy(&bits, &x, 8);
  std::string out;
  for (int i = 0; i < 8; ++i) out += static_cast<char>(bits >> (56 - 8 * i));  // big-endian
  out = out.substr(0, width);
  if (!be) out = std::string(out.rbegin(), out.rend());
  return out;
}

constexpr double kDay1960 = 21916;

// ---- tests ----

struct ProfileCase {
  int style;
  uint8_t b32, b35, b36, b37;
  uint16_t platform;
  bool family_a;
};

// Every profile: the header bytes that name it, its layout, and the same dictionary and rows
// laid out in its word size and byte order.
TEST(Sas7bdatWriter, ProfilesLayoutAndValues) {
  const ProfileCase cases[] = {
      {1, 0x22, 0x32, 0x22, 1, 0x0432, true},  {2, 0x22, 0x33, 0x22, 0, 0x0131, false},
      {3, 0x33, 0x33, 0x33, 0, 0x0131, false}, {4, 0x22, 0x32, 0x22, 1, 0x0131, false},
      {5, 0x22, 0x33, 0x33, 1, 0x0432, true},  {6, 0x22, 0x32, 0x22, 1, 0x0832, true},
      {7, 0x33, 0x33, 0x33, 1, 0x0131, false}, {8, 0x22, 0x33, 0x33, 1, 0x0131, false},
      {9, 0x22, 0x33, 0x22, 1, 0x0131, false}, {0, 0x22, 0x32, 0x22, 1, 0x0432, true},  // 0 is 1
  };
  // The string comes first in the dictionary but last in the row.
  const std::vector<Var> vars = {
      {.name = "s", .type = 2, .width = 6},
      {.name = "x", .label = "It's x"},
      {.name = "b", .ttype = 1},
      {.name = "d", .type = 4, .width = 10},
      {.name = "t", .type = 16, .width = 20},
      {.name = "c", .type = 8},
  };
  const std::vector<std::vector<Cell>> rows = {
      {std::string("ab"), 1.5, 1.0, kDay1960 + 1, kDay1960 - 1.25, 0.5},
      {std::string(""), Missing{2}, Missing{1}, Missing{29}, Missing{27}, Missing{28}},
  };
  for (const ProfileCase& pc : cases) {
    SCOPED_TRACE("profile " + std::to_string(pc.style));
    std::string path = temp_path("Survey.sas7bdat");
    ASSERT_EQ(write_sas(path, vars, rows, {.code = pc.style == 3 ? 62 : 38, .style = pc.style}), 0);
    // Outside the Windows and OS/2 profiles the file name is lower-cased.
    if (logged("will be changed to lowercase")) path = temp_path("survey.sas7bdat");
    const SasFile f = parse(path);
    ASSERT_GE(f.bytes.size(), 1024u);
    const std::string& h = f.bytes;
    EXPECT_EQ(hex(h.substr(12, 20)), "C2 EA 81 60 B3 14 11 CF BD 92 08 00 09 C7 31 8C 18 1F 10 11");
    EXPECT_EQ(static_cast<uint8_t>(h[32]), pc.b32);
    EXPECT_EQ(static_cast<uint8_t>(h[35]), pc.b35);
    EXPECT_EQ(static_cast<uint8_t>(h[36]), pc.b36);
    EXPECT_EQ(static_cast<uint8_t>(h[37]), pc.b37);
    EXPECT_EQ(static_cast<uint8_t>(h[39]) | static_cast<uint8_t>(h[40]) << 8, pc.platform);
    EXPECT_EQ(static_cast<uint8_t>(h[70]), 20);  // UTF-8
    EXPECT_EQ(static_cast<uint8_t>(h[46]), pc.style == 3 ? 0 : 20);
    EXPECT_EQ(h.substr(84, 16), "SAS FILESURVEY  ");
    EXPECT_EQ(h.substr(156, 8), "DATA    ");
    EXPECT_EQ(f.uint(196 + f.pad, 4), 1024u);
    EXPECT_EQ(h.substr(204 + f.pad + f.word + 8, 8), pc.style == 3 ? "9.0000M0" : "8.0000M0");
    EXPECT_EQ(f.page_size, 4096u);
    EXPECT_EQ(f.bytes.size(), 1024 + f.pages * f.page_size);
    EXPECT_EQ(f.uint(f.pad + 164, 8), f.uint(f.pad + 172, 8));  // created = modified
    // Page 1 holds the dictionary and the rows; its first word is the page number mixed in.
    ASSERT_EQ(f.page_types.size(), 1u);
    EXPECT_EQ(f.page_types[0], 512);
    EXPECT_EQ(f.uint(1024, 4), 1u ^ 0x2D57496Au);

    ASSERT_EQ(f.rowsize.size(), 16u);
    EXPECT_EQ(f.rowsize[5], 8u + 3 + 8 + 8 + 8 + 6);  // record length
    EXPECT_EQ(f.rowsize[6], 2u);                      // rows
    EXPECT_EQ(f.rowsize[15], 2u);                     // rows on the mixed page
    EXPECT_EQ(f.rowsize[13], f.page_size);
    EXPECT_EQ(f.column_count, 6u);
    ASSERT_EQ(f.cols.size(), 6u);
    // Columns in the dictionary's order, the string's bytes after the numbers'.
    const char* names[] = {"s", "x", "b", "d", "t", "c"};
    const uint64_t offsets[] = {35, 0, 8, 11, 19, 27};
    const uint32_t widths[] = {6, 8, 3, 8, 8, 8};
    for (int i = 0; i < 6; ++i) {
      EXPECT_EQ(f.cols[i].name, names[i]);
      EXPECT_EQ(f.cols[i].offset, offsets[i]);
      EXPECT_EQ(f.cols[i].width, widths[i]);
      EXPECT_EQ(f.cols[i].type, i == 0 ? 2 : 1);
    }
    EXPECT_EQ(f.cols[1].label, "It's x");
    EXPECT_EQ(f.cols[3].format, "MMDDYY");
    EXPECT_EQ(f.cols[3].format_width, 10);
    EXPECT_EQ(f.cols[4].format, "DATETIME");
    EXPECT_EQ(f.cols[5].format, "TIME");
    EXPECT_EQ(f.cols[1].format, "");

    ASSERT_EQ(f.rows.size(), 2u);
    const std::string& r0 = f.rows[0];
    EXPECT_EQ(hex(r0.substr(0, 8)), hex(number_bytes(1.5, 8, f.be)));
    EXPECT_EQ(hex(r0.substr(8, 3)), f.be ? "3F F0 00" : "00 F0 3F");
    EXPECT_EQ(hex(r0.substr(11, 8)), hex(number_bytes(1.0, 8, f.be)));            // day 1 of 1960
    EXPECT_EQ(hex(r0.substr(19, 8)), hex(number_bytes(-2 * 86400.0 + 64800, 8, f.be)));  // 30 Dec 1959 18:00
    EXPECT_EQ(hex(r0.substr(27, 8)), hex(number_bytes(43200.0, 8, f.be)));        // noon
    EXPECT_EQ(r0.substr(35, 6), "ab    ");
    // Missing values: FF FF and a code byte at the most significant end.
    const std::string& r1 = f.rows[1];
    auto miss = [&](uint8_t code, uint32_t width) {
      std::string b(width, '\0');
      const char m[3] = {'\xFF', '\xFF', static_cast<char>(code)};
      if (f.be)
        b.replace(0, 3, m, 3);
      else
        b.replace(width - 3, 3, std::string{m[2], m[1], m[0]});
      return hex(b);
    };
    const bool a = pc.family_a;
    EXPECT_EQ(hex(r1.substr(0, 8)), miss(a ? 0xBE : 0xFD, 8));  // .A
    EXPECT_EQ(hex(r1.substr(8, 3)), miss(a ? 0xD1 : 0xFE, 3));  // .
    EXPECT_EQ(hex(r1.substr(11, 8)), miss(a ? 0xA0 : 0xFF, 8));  // ._ (the complement of '_' in the Windows family)
    EXPECT_EQ(hex(r1.substr(19, 8)), miss(a ? 0xA5 : 0xE4, 8));  // .Z
    EXPECT_EQ(hex(r1.substr(27, 8)), miss(a ? 0xA4 : 0xE3, 8));  // code 28
    EXPECT_EQ(r1.substr(35, 6), "      ");
    ::unlink(path.c_str());
  }
}

// Page size from the record length; rows per page on the data pages after page 1.
TEST(Sas7bdatWriter, PageSizesAndRowsPerPage) {
  const struct {
    int32_t width;
    uint32_t page_size, per_page;
  } cases[] = {{10, 4096, 402}, {100, 4096, 40}, {600, 16384, 27}, {20000, 20480, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.width);
    const std::string path = temp_path("pages.sas7bdat");
    std::vector<std::vector<Cell>> rows(400 + 2 * c.per_page, {std::string("r")});
    for (size_t i = 0; i < rows.size(); ++i) rows[i][0] = std::string("r") + std::to_string(i);
    ASSERT_EQ(write_sas(path, {{.name = "s", .type = 2, .width = c.width}}, rows), 0);
    const SasFile f = parse(path);
    EXPECT_EQ(f.page_size, c.page_size);
    ASSERT_EQ(f.rows.size(), rows.size());
    for (size_t i : {size_t{0}, rows.size() / 2, rows.size() - 1})
      EXPECT_EQ(f.rows[i].substr(0, std::get<std::string>(rows[i][0]).size()), std::get<std::string>(rows[i][0]));
    // Full data pages carry the computed number of rows; the last page the rest.
    size_t full = 0;
    for (size_t p = 0; p < f.page_types.size(); ++p)
      if (f.page_types[p] == 256 && p + 1 < f.page_types.size()) {
        EXPECT_EQ(f.page_blocks[p], c.per_page);
        ++full;
      }
    EXPECT_GE(full, 1u);
    EXPECT_EQ(f.rowsize[6], rows.size());
    ::unlink(path.c_str());
  }
}

TEST(Sas7bdatWriter, LimitsAndErrors) {
  std::string error;
  const std::string path = temp_path("limits.sas7bdat");
  // A representation beyond the nine profiles.
  EXPECT_NE(write_sas(path, {{.name = "x"}}, {{1.0}}, {.style = 10}, &error), 0);
  EXPECT_NE(error.find("Writing dataset (dictionary error) was stopped because of the error (9)."), std::string::npos)
      << error;
  EXPECT_TRUE(slurp(path).empty());

  // A full disk: the failure reaches the host when the pages are written.
  ASSERT_EQ(write_sas("/dev/full", {{.name = "x"}}, {{1.0}}), 0);
  EXPECT_LT(g_close, 0);
  EXPECT_TRUE(logged("Writing dataset (data error) was stopped because of the error (")) << g_log.back();

  // 32,768 variables: too many for release 8, written by release 9.
  std::vector<Var> many(32768);
  for (size_t i = 0; i < many.size(); ++i) many[i].name = "v" + std::to_string(i);
  EXPECT_NE(write_sas(path, many, {}, {.code = 38}, &error), 0);
  EXPECT_EQ(error, "The SAS dataset v8 can not contain more than 32767 variables, please use SAS v9 instead.");
  EXPECT_TRUE(slurp(path).empty());
  ASSERT_EQ(write_sas(path, many, {{}}, {.code = 62}), 0);
  const SasFile f = parse(path);
  EXPECT_EQ(f.column_count, 32768u);
  ASSERT_EQ(f.cols.size(), 32768u);
  EXPECT_EQ(f.cols[32767].name, "v32767");
  EXPECT_EQ(f.cols[32767].offset, 32767u * 8);
  EXPECT_GT(f.pages, 1u);
  ::unlink(path.c_str());
}

// Names made legal for SAS; host date formats with the messages that report them; labels cut.
TEST(Sas7bdatWriter, NamesFormatsAndMessages) {
  const std::string path = temp_path("names.sas7bdat");
  const std::string long_label(300, 'L');
  ASSERT_EQ(write_sas(path,
                      {{.name = "2nd value", .label = long_label},
                       {.name = "when", .type = 4, .width = 10, .format = "DATE"},
                       {.name = "stamp", .type = 16, .width = 20}},
                      {{1.0, kDay1960, kDay1960}}),
            0);
  const SasFile f = parse(path);
  ASSERT_EQ(f.cols.size(), 3u);
  EXPECT_EQ(f.cols[0].name, "v2nd_value");
  EXPECT_EQ(f.cols[0].label, std::string(256, 'L'));
  EXPECT_EQ(f.cols[1].format, "DATE");
  EXPECT_EQ(f.cols[1].format_width, 4);
  EXPECT_TRUE(logged("Assigning to var[when] format [DATE], default width: 4"));
  EXPECT_TRUE(logged("Assigning to var[stamp] default format [DATETIME], default width: 18"));
  ::unlink(path.c_str());
}

// The PROC FORMAT program beside the data set: one VALUE per label set (shared sets once),
// quotes doubled, special missing values, and the data set's format names matching it.
TEST(Sas7bdatWriter, ProcFormatProgram) {
  const std::string path = temp_path("fmt.sas7bdat");
  const std::string program = temp_path("fmt.sas");
  const std::vector<Var> vars = {
      {.name = "q1", .labels = {{1, "Yes"}, {2, "Don't know"}}, .missing_labels = {{2, "Skipped"}}},
      {.name = "q2", .labels = {{1, "Yes"}, {2, "Don't know"}}, .missing_labels = {{2, "Skipped"}}},
      {.name = "city", .type = 2, .width = 4, .text_labels = {{"NY", "New York"}, {"O'H", "O'Hare"}}},
      {.name = "n"},
  };
  ASSERT_EQ(write_sas(path, vars, {{1.0, 2.0, std::string("NY"), 3.0}}, {.program = program.c_str()}), 0);
  EXPECT_EQ(slurp(program),
            "PROC FORMAT;\n"
            "  VALUE VL1F\n"
            "    1 = 'Yes'\n"
            "    2 = 'Don''t know'\n"
            "    .A = 'Skipped'\n"
            "  ;\n"
            "  VALUE $VL2F\n"
            "    'NY' = 'New York'\n"
            "    'O''H' = 'O''Hare'\n"
            "  ;\n"
            "RUN;\n");
  EXPECT_TRUE(logged("\"Proc Format Program\" file was written to " + program + "."));
  const SasFile f = parse(path);
  ASSERT_EQ(f.cols.size(), 4u);
  EXPECT_EQ(f.cols[0].format, "VL1F");
  EXPECT_EQ(f.cols[1].format, "VL1F");
  EXPECT_EQ(f.cols[2].format, "$VL2F");
  EXPECT_EQ(f.cols[3].format, "");  // n

  // Without value labels: no program, a warning.
  ::unlink(program.c_str());
  ASSERT_EQ(write_sas(path, {{.name = "n"}}, {{1.0}}, {.program = program.c_str()}), 0);
  EXPECT_TRUE(slurp(program).empty());
  EXPECT_TRUE(logged("You requested Tabulon to write \"Proc Format Program\" file (" + program +
                     ") but since the input file does not contains any value labels the file was not written."));
  ::unlink(path.c_str());
}

}  // namespace
