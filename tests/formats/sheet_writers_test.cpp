// Workbook output: Excel binary workbooks from the built-in style sheet, taken apart record
// by record, and the limits of both workbook writers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "api/env_record.h"
#include "formats/sheets/sheet_writer_common.h"
#include "io/compound_file.h"
#include "tabulon/tabulon.h"

namespace tabulon {
void xlsx_writer_skip_rows(EnvRecord& env, uint32_t next_row);
}

namespace {

std::string temp_path(const std::string& name) {
  return std::string(::testing::TempDir()) + "sheetw_" + std::to_string(::getpid()) + "_" + name;
}

struct Var {
  std::string name;
  int32_t type = 1;  // API type
  int32_t width = 8;
  int32_t decimals = 0;
};

struct BookSetup {
  bool no_vnames = false;
  uint32_t skip_to_row = 0;  // xlsx: the row the first case goes to
};

// Writes `cases` cases (value i + day0 in every numeric column, "s<i>" in strings); returns
// the open result, or the first failing write's result; `message` gets the error text.
int32_t write_book(int32_t code, const std::string& path, const std::vector<Var>& vars, int cases,
                   std::string* message, double day0 = 1, BookSetup setup = {}) {
  const int32_t h = DX_OpenEnvironment();
  if (setup.no_vnames) DX_SetWksNoVnames(h, 1);
  DX_InitUserDict(h, static_cast<int32_t>(vars.size()));
  for (size_t i = 0; i < vars.size(); ++i)
    DX_AddUserVar(h, static_cast<int32_t>(i), vars[i].name.c_str(), vars[i].type, vars[i].width, vars[i].decimals);
  int32_t r = DX_OpenOutFile(h, code, path.c_str());
  if (r == 0 && setup.skip_to_row) {
    tabulon::xlsx_writer_skip_rows(*tabulon::env_from_handle(h), setup.skip_to_row);
  }
  for (int c = 0; r == 0 && c < cases; ++c) {
    for (size_t i = 0; i < vars.size(); ++i) {
      if (vars[i].type == 2) {
        const std::string s = "s" + std::to_string(c);
        DX_SetVarString(h, static_cast<int32_t>(i), s.c_str());
      } else {
        const double x = day0 + c;
        DX_SetVarDouble(h, static_cast<int32_t>(i), &x);
      }
    }
    const int32_t w = DX_WriteRecord(h);
    if (w < 0) r = w;
  }
  if (message) *message = DX_GetErrorMsg(h);
  DX_CloseFiles(h);
  DX_CloseEnvironment(h);
  return r;
}

// The records of the "Workbook" stream of a compound file.
struct Rec {
  uint16_t type;
  std::vector<uint8_t> data;
};
std::vector<Rec> workbook_records(const std::string& path) {
  std::vector<Rec> out;
  int32_t error = 0;
  tabulon::CompoundFile* cf = tabulon::cf_open(path.c_str(), tabulon::CF_READ, &error);
  if (!cf) return out;
  const int32_t id = tabulon::cf_find(cf, 0, "Workbook");
  tabulon::CfStream* s = id >= 0 ? tabulon::cf_stream_open(cf, id, false, &error) : nullptr;
  std::vector<uint8_t> b(s ? tabulon::cf_stream_length(s) : 0);
  if (s) {
    tabulon::cf_stream_read(s, b.data(), b.size());
    tabulon::cf_stream_release(s);
  }
  tabulon::cf_release(cf);
  for (size_t at = 0; at + 4 <= b.size();) {
    const uint16_t type = static_cast<uint16_t>(b[at] | b[at + 1] << 8);
    const uint16_t n = static_cast<uint16_t>(b[at + 2] | b[at + 3] << 8);
    if (at + 4 + n > b.size()) break;
    out.push_back(Rec{type, std::vector<uint8_t>(b.begin() + at + 4, b.begin() + at + 4 + n)});
    at += 4 + n;
  }
  return out;
}
uint16_t u16(const std::vector<uint8_t>& d, size_t at) { return static_cast<uint16_t>(d[at] | d[at + 1] << 8); }

// (row, col) -> number of the NUMBER records.
std::map<std::pair<int, int>, double> numbers(const std::vector<Rec>& recs) {
  std::map<std::pair<int, int>, double> out;
  for (const Rec& r : recs)
    if (r.type == 0x0203) {
      double x;
      std::memcpy(&x, r.data.data() + 6, 8);
      out[{u16(r.data, 0), u16(r.data, 2)}] = x;
    }
  return out;
}

TEST(XlsWriter, ColumnLimitAndCaseLimit) {
  const std::string path = temp_path("limits.xls");
  std::vector<Var> vars;
  for (int i = 0; i < 256; ++i) vars.push_back(Var{"v" + std::to_string(i)});
  std::string msg;
  EXPECT_NE(write_book(48, path, vars, 1, &msg), 0);
  EXPECT_NE(msg.find("255"), std::string::npos) << msg;
  vars.pop_back();
  EXPECT_EQ(write_book(48, path, vars, 2, &msg), 0) << msg;
  EXPECT_EQ(numbers(workbook_records(path)).size(), 2u * 255u);

  // Without a names row 65,536 cases fit; the 65,537th is refused and no cut sheet is left.
  EXPECT_EQ(write_book(48, path, {{"x"}}, 65536, &msg, 1, BookSetup{true}), 0) << msg;
  EXPECT_EQ(numbers(workbook_records(path)).size(), 65536u);
  // The workbook already there is kept whole; no cut one takes its place.
  EXPECT_LT(write_book(48, path, {{"x"}}, 65537, &msg, 1, BookSetup{true}), 0);
  EXPECT_NE(msg.find("Excel record limit (65,536) has been exceeded"), std::string::npos) << msg;
  EXPECT_EQ(numbers(workbook_records(path)).size(), 65536u);
  std::remove(path.c_str());
  EXPECT_LT(write_book(48, path, {{"x"}}, 65537, &msg, 1, BookSetup{true}), 0);
  EXPECT_FALSE(std::ifstream(path).good());
  // The names row takes one of the sheet's 65,536 rows: row numbers must not wrap to 0.
  EXPECT_LT(write_book(48, path, {{"x"}}, 65536, &msg), 0);
  EXPECT_NE(msg.find("Excel record limit (65,536) has been exceeded"), std::string::npos) << msg;
}

TEST(XlsWriter, WidthsNamesRowAndEarlyDates) {
  const std::string path = temp_path("widths.xls");
  const std::string long_name(28, 'n');
  std::string msg;
  ASSERT_EQ(write_book(48, path, {{"s", 2, 80}, {long_name}, {"d", 4}}, 2, &msg, 60), 0) << msg;
  const std::vector<Rec> recs = workbook_records(path);
  std::map<int, int> widths;
  for (const Rec& r : recs)
    if (r.type == 0x007D) widths[u16(r.data, 0)] = u16(r.data, 4) / 256;
  EXPECT_EQ(widths[0], 35);
  EXPECT_EQ(widths[1], 31);
  // Day 60 (28 February 1900) is serial 59; day 61 (1 March 1900) stays 61. Names in row 0.
  auto n = numbers(recs);
  EXPECT_EQ((n[{1, 2}]), 59);
  EXPECT_EQ((n[{2, 2}]), 61);
  EXPECT_EQ((n[{1, 1}]), 60);  // not a date: as it is

  ASSERT_EQ(write_book(48, path, {{"x"}}, 1, &msg, 5, BookSetup{true}), 0) << msg;
  n = numbers(workbook_records(path));
  ASSERT_EQ(n.size(), 1u);
  EXPECT_EQ(n.begin()->first, std::make_pair(0, 0));
  EXPECT_EQ(n.begin()->second, 5);
}

TEST(XlsWriter, SheetNameAndSharedStrings) {
  const std::string dir = temp_path("dir");
  ::mkdir(dir.c_str(), 0700);
  const std::string path = dir + "/survey.xls";
  std::string msg;
  ASSERT_EQ(write_book(48, path, {{"name", 2, 10}, {"other", 2, 10}}, 3, &msg), 0) << msg;
  const std::vector<Rec> recs = workbook_records(path);
  int sheets = 0;
  for (const Rec& r : recs) {
    if (r.type == 0x0085) {
      ++sheets;
      EXPECT_EQ(std::string(r.data.begin() + 8, r.data.end()), "survey");
    }
    if (r.type == 0x00FC) {
      EXPECT_EQ(u16(r.data, 0), 2 + 6);  // references: two names and six values
      EXPECT_EQ(u16(r.data, 4), 2 + 3);  // distinct: two names, "s0", "s1", "s2"
    }
  }
  EXPECT_EQ(sheets, 1);
}

TEST(XlsWriter, StyleSheetPathByNumberedOption) {
  const std::string path = temp_path("styled.xls");
  const std::string missing = temp_path("no_such_style.xls");
  const int32_t h = DX_OpenEnvironment();
  DX_SetOption(h, 147, 0, missing.c_str());
  DX_InitUserDict(h, 1);
  DX_AddUserVar(h, 0, "x", 1, 8, 0);
  EXPECT_NE(DX_OpenOutFile(h, 48, path.c_str()), 0);
  EXPECT_EQ(std::string(DX_GetErrorMsg(h)), "Cannot read style sheet: " + missing);
  DX_CloseFiles(h);
  // "built-in" (the keyword's default) selects the library's own style sheet again.
  DX_SetOption(h, 147, 0, "built-in");
  DX_InitUserDict(h, 1);
  DX_AddUserVar(h, 0, "x", 1, 8, 0);
  EXPECT_EQ(DX_OpenOutFile(h, 48, path.c_str()), 0) << DX_GetErrorMsg(h);
  EXPECT_GE(DX_CloseFiles(h), 0);
  DX_CloseEnvironment(h);
  EXPECT_FALSE(workbook_records(path).empty());
}

TEST(SheetNames, FromPaths) {
  struct Case {
    const char* path;
    const char* sheet;
  } cases[] = {
      {"/data/survey.xls", "survey"},
      {"C:\\data\\survey.xlsx", "survey"},
      {"/data/", "Sheet1"},
      {"", "Sheet1"},
      {"/data/a.b.xlsx", "a.b"},
      {"/data/x[1]:y?.xls", "x_1__y_"},
      {"/data/'quoted'.xls", "quoted"},
      {"/data/abcdefghijklmnopqrstuvwxyz0123456789.xls", "abcdefghijklmnopqrstuvwxyz01234"},
  };
  for (const Case& c : cases) EXPECT_EQ(tabulon::sheet_name_from_path(c.path), c.sheet) << c.path;
}

TEST(XlsxWriter, RowAndColumnLimits) {
  const std::string path = temp_path("rows.xlsx");
  std::string msg;
  // The last row of a sheet can be written...
  EXPECT_EQ(write_book(54, path, {{"x"}}, 1, &msg, 1, BookSetup{false, 1048575}), 0) << msg;
  EXPECT_TRUE(std::ifstream(path).good());
  // ...one more is refused, and no cut workbook is left (the one already there is kept).
  std::remove(path.c_str());
  EXPECT_LT(write_book(54, path, {{"x"}}, 2, &msg, 1, BookSetup{false, 1048575}), 0);
  EXPECT_NE(msg.find("row limit (1,048,576) has been exceeded"), std::string::npos) << msg;
  EXPECT_FALSE(std::ifstream(path).good());

  std::vector<Var> vars;
  for (int i = 0; i < 16385; ++i) vars.push_back(Var{"v" + std::to_string(i)});
  EXPECT_NE(write_book(54, path, vars, 0, &msg), 0);
  EXPECT_NE(msg.find("16,384 column limit"), std::string::npos) << msg;
}

}  // namespace
