// Excel binary workbooks: BIFF records built here byte by byte (bare BIFF streams), xlwt
// workbooks read through the C API and the cell API, and damaged files.
#include "formats/sheets/xls_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "formats/sheets/worksheet_model.h"
#include "io/stream.h"
#include "tabulon/tabulon.h"
#include "support/format_harness.h"

using namespace tabulon;

namespace {

std::string temp_path(const std::string& name, const char* ext = ".xls") {
  return test::scratch_path("xls", name, ext);
}
using test::slurp;
using test::spill;

// Runs a Python snippet that writes a workbook with xlwt to the path given as `path`.
void xlwt_book(const std::string& path, const std::string& body) {
  const std::string script = temp_path("mk", ".py");
  spill(script, "import sys, datetime, xlwt\npath = sys.argv[1]\nwb = xlwt.Workbook(encoding='utf-8')\n" +
                    body + "\nwb.save(path)\n");
  ASSERT_EQ(std::system(("/usr/bin/python3 " + script + " " + path).c_str()), 0);
}

// ---- BIFF 8 records ----
std::string le16(uint32_t v) {
  return std::string{static_cast<char>(v & 0xFF), static_cast<char>(v >> 8 & 0xFF)};
}
std::string le32(uint32_t v) { return le16(v & 0xFFFF) + le16(v >> 16); }
std::string f64(double x) {
  std::string s(8, '\0');
  std::memcpy(s.data(), &x, 8);
  return s;
}
std::string rec(uint16_t type, const std::string& data) {
  return le16(type) + le16(static_cast<uint32_t>(data.size())) + data;
}
std::string bof(uint16_t sub) { return rec(0x0809, le16(0x0600) + le16(sub) + std::string(12, '\0')); }
std::string eof() { return rec(0x000A, ""); }
std::string xf(uint16_t fmt) { return rec(0x00E0, le16(0) + le16(fmt) + std::string(16, '\0')); }
std::string sheet(const std::string& name) {
  return rec(0x0085, le32(0) + '\0' + '\0' + static_cast<char>(name.size()) + '\0' + name);
}
std::string cell(uint16_t type, uint16_t row, uint16_t col, uint16_t xfi, const std::string& rest) {
  return rec(type, le16(row) + le16(col) + le16(xfi) + rest);
}
std::string number(uint16_t row, uint16_t col, double x, uint16_t xfi = 0) {
  return cell(0x0203, row, col, xfi, f64(x));
}
std::string label(uint16_t row, uint16_t col, const std::string& s) {
  return cell(0x0204, row, col, 0, le16(static_cast<uint32_t>(s.size())) + '\0' + s);
}
// Globals with one worksheet "S", XF 0 general and XF 1 date (built-in format 14), then the
// sheet's records.
std::string book(const std::string& globals, const std::string& cells, const std::string& more_sheets = "") {
  return bof(5) + xf(0) + xf(14) + sheet("S") + globals + eof() + bof(16) + cells + eof() + more_sheets;
}

struct Env {
  int32_t h = DX_OpenEnvironment();
  ~Env() { DX_CloseEnvironment(h); }
  std::string error() const { return DX_GetErrorMsg(h); }
};

// Converts the input to CSV; "ERROR: message" when a step fails. setup runs after the open.
std::string to_csv(const std::string& path, const std::function<void(int32_t)>& setup = nullptr) {
  Env e;
  if (DX_OpenInputFile(e.h, 48, path.c_str()) != 0) return "ERROR: " + e.error();
  if (setup) setup(e.h);
  if (DX_ReadDict(e.h) < 0) return "ERROR: " + e.error();
  const std::string out = temp_path("out", ".csv");
  if (DX_OpenOutFile(e.h, 18, out.c_str()) != 0) return "ERROR: " + e.error();
  if (DX_TransferAllRecords(e.h) < 0) return "ERROR: " + e.error();
  DX_CloseFiles(e.h);
  std::string s = slurp(out), t;
  for (char c : s)
    if (c != '\r') t += c;
  return t;
}
std::string csv_of_bytes(const std::string& bytes, const std::function<void(int32_t)>& setup = nullptr) {
  const std::string path = temp_path("biff");
  spill(path, bytes);
  return to_csv(path, setup);
}

TEST(XlsFormats, ClassesAndDecimals) {
  struct Case {
    const char* format;
    int cls, decimals;
  } cases[] = {{"General", 0, 0},    {"h:mm", 64, 0},  {"m/d/yy h:mm", 65, 0}, {"d-mmm-yy", 32, 0},
               {"0.00%", 8, 2},      {"#,##0", 16, 0}, {"0.000", 1, 3},        {"0.00E+00", 2, 2},
               {"$#,##0.00", 4, 2},  {"@", 0, 0},      {"YYYY-MM-DD", 32, 0},  {"HH:MM:SS", 64, 0},
               {"[h]:mm:ss", 64, 0}, {"\\m0.0", 1, 1}, {"[Red]0.0", 1, 1}};
  for (const Case& c : cases) {
    FormatClass fc = xls_classify_format(c.format);
    EXPECT_EQ(fc.cls, c.cls) << c.format;
    EXPECT_EQ(fc.decimals, c.decimals) << c.format;
  }
}

TEST(XlsFormats, ColumnLettersAndCoordinates) {
  EXPECT_EQ(wks_column_letters(0), "A");
  EXPECT_EQ(wks_column_letters(25), "Z");
  EXPECT_EQ(wks_column_letters(26), "AA");
  EXPECT_EQ(wks_column_letters(255), "IV");
  WksRange r;
  r.first_col = 1;
  r.last_col = 5;
  r.first_row = 1;
  r.last_row = 39;
  EXPECT_EQ(wks_range_coord(r), "A:B2..A:F40");
}

// Values of the record kinds, each decoded from bytes made here.
TEST(XlsRecords, CellValues) {
  const std::string cells =
      label(0, 0, "v") + label(0, 1, "d") +
      cell(0x027E, 1, 0, 0, le32(0x00000C83)) +  // RK: integer 800 / 100
      cell(0x027E, 2, 0, 0, le32(0x405EC000)) +  // RK: the double 123.0
      rec(0x00BD, le16(3) + le16(0) + le16(0) + le32(0x3FF00000) + le16(0) + le32(0x00000006) + le16(1)) +
      cell(0x0205, 4, 0, 0, std::string("\x01\x00", 2)) +  // boolean true
      cell(0x0205, 5, 0, 0, std::string("\x2A\x01", 2)) +  // #N/A
      number(1, 1, 43831.0, 1) + number(2, 1, 0.0, 1) +
      cell(0x0006, 6, 0, 0, std::string("\x00\x00\x00\x00\x00\x00\xFF\xFF", 8) + std::string(6, '\0')) +
      rec(0x0207, le16(3) + '\0' + "abc") + cell(0x0006, 7, 0, 0, f64(2.5) + std::string(6, '\0'));
  EXPECT_EQ(csv_of_bytes(book("", cells)),
            "\"v\",\"d\"\n"
            "\"8\",1/1/2020\n\"123\",12/30/1899\n\"1\",1/1/1900\n\"TRUE\",\n\"#N/A\",\n\"abc\",\n\"2.5\",\n");
  // 1904 date system: the same serial numbers are 1462 days later.
  const std::string dates = label(0, 0, "d") + number(1, 0, 0.0, 1) + number(2, 0, 43831.0, 1);
  EXPECT_EQ(csv_of_bytes(book(rec(0x0022, le16(1)), dates)), "\"d\"\n1/1/1904\n1/2/2024\n");
}

// Shared strings running over a CONTINUE record, the second part in 16-bit characters.
TEST(XlsRecords, SharedStringsAcrossContinue) {
  const std::string first = le32(2) + le32(2) + le16(1) + '\0' + "n" + le16(6) + '\0' + "abc";
  const std::string cont = std::string("\x01", 1) + le16(0xE9) + le16(0x263A) + le16('z');
  const std::string sst = rec(0x00FC, first) + rec(0x003C, cont);
  const std::string cells = cell(0x00FD, 0, 0, 0, le32(0)) + cell(0x00FD, 1, 0, 0, le32(1));
  EXPECT_EQ(csv_of_bytes(book(sst, cells)), "\"n\"\n\"abc\xC3\xA9\xE2\x98\xBAz\"\n");
  // An index past the table.
  const std::string bad = cell(0x00FD, 0, 0, 0, le32(0)) + cell(0x00FD, 1, 0, 0, le32(2));
  EXPECT_EQ(csv_of_bytes(book(sst, bad)), "ERROR: Internal error - string index out of range");
  // The table promises more strings than the records hold.
  const std::string short_sst = rec(0x00FC, le32(3) + le32(3) + le16(1) + '\0' + "n");
  EXPECT_EQ(csv_of_bytes(book(short_sst, "")),
            "ERROR: Internal error, during processing of SST/CONTINUE record[error code: -7].");
}

// A defined name of the workbook: listed as a range, and "DATA" is read by default.
TEST(XlsRecords, DefinedNames) {
  const std::string extern_sheet = rec(0x0017, le16(1) + le16(0) + le16(0) + le16(0));
  auto name = [](const std::string& n, uint16_t r1, uint16_t r2, uint16_t c1, uint16_t c2) {
    const std::string formula = std::string("\x3B", 1) + le16(0) + le16(r1) + le16(r2) + le16(c1) + le16(c2);
    return rec(0x0018, le16(0) + '\0' + static_cast<char>(n.size()) +
                           le16(static_cast<uint32_t>(formula.size())) + le16(0) + le16(0) +
                           std::string(4, '\0') + '\0' + n + formula);
  };
  std::string cells;
  for (uint16_t r = 0; r < 4; ++r)
    for (uint16_t c = 0; c < 4; ++c) cells += number(r, c, r * 10 + c);
  const std::string path = temp_path("names");
  spill(path, book(extern_sheet + name("Block", 0, 3, 1, 2) + name("DATA", 1, 2, 2, 3) +
                       name("Rel", 0, 0, 0xC001, 0xC002),
                   cells));
  Env e;
  ASSERT_EQ(DX_OpenInputFile(e.h, 48, path.c_str()), 0) << e.error();
  ASSERT_EQ(DX_GetWksNRanges(e.h), 2);
  char buf[300];
  EXPECT_EQ(DX_GetWksRangeName(e.h, 0, buf), 5);
  EXPECT_STREQ(buf, "Block");
  DX_GetWksRangeCoord(e.h, 1, buf);
  EXPECT_STREQ(buf, "A:C2..A:D3");
  EXPECT_EQ(DX_GetWksRangeName(e.h, 2, buf), 0);
  EXPECT_STREQ(buf, "");
  DX_CloseFiles(e.h);
  EXPECT_EQ(to_csv(path), "\"12\",\"13\"\n22,23\n");
  EXPECT_EQ(to_csv(path, [](int32_t h) { EXPECT_EQ(DX_SetWksRangeWithName(h, "block"), 0); }),
            "\"1\",\"2\"\n11,12\n21,22\n31,32\n");
  EXPECT_EQ(to_csv(path, [](int32_t h) { EXPECT_EQ(DX_SetWksRangeWithName(h, "nosuch"), -1); }),
            "\"12\",\"13\"\n22,23\n");
}

TEST(XlsRecords, DamagedInputsFailWithAMessage) {
  struct Case {
    std::string bytes, message;
  } cases[] = {
      {book(rec(0x002F, le16(0)), ""), "Cannot read password protected file"},
      {book("", number(0, 300, 1.0)), "Internal Error: Column out of range"},
      {book("", rec(0x0203, std::string(9000, '\0'))),
       "worksheet record 203 too long: 9000 bytes - max: 8224\n"},
      {rec(0x0809, le16(0x0500) + le16(5) + le16(0)), "Unsupported Excel Version"},
      {rec(0x0809, le16(0x0600) + le16(0x20) + std::string(12, '\0')),
       "Only Excel worksheet documents are presently supported"},
      {bof(5) + xf(0) + eof(), "Worksheet is empty"},
      {std::string("MIME-Version: 1.0\r\n"), "Excel \"Single File Web Page\" files are not supported"},
  };
  for (const Case& c : cases) EXPECT_EQ(csv_of_bytes(c.bytes), "ERROR: " + c.message);
  // A sheet without cells is an empty table.
  EXPECT_EQ(csv_of_bytes(book("", "")), "\n");

  // Every prefix of a good file either reads or fails with a message; none crashes.
  const std::string sst = rec(0x00FC, le32(1) + le32(1) + le16(3) + '\0' + "abc");
  const std::string good = book(sst, label(0, 0, "a") + cell(0x00FD, 1, 0, 0, le32(0)) + number(2, 0, 1.5));
  for (size_t n = 0; n < good.size(); ++n) {
    std::string r = csv_of_bytes(good.substr(0, n));
    if (r.rfind("ERROR: ", 0) == 0) EXPECT_GT(r.size(), 7u) << n;
  }
  // Every byte overwritten with values that make lengths, counts and indexes extreme.
  for (size_t at = 0; at < good.size(); ++at)
    for (char b : {'\x00', '\x7F', '\xFF'}) {
      std::string bad = good;
      bad[at] = b;
      std::string r = csv_of_bytes(bad);
      if (r.rfind("ERROR: ", 0) == 0) EXPECT_GT(r.size(), 7u) << at;
    }
}

// An xlwt workbook seen through the page settings and the cell API.
TEST(XlsCellApi, XlwtWorkbook) {
  const std::string path = temp_path("cells");
  xlwt_book(path, R"(
a = wb.add_sheet('First')
a.write(0, 0, 'name'); a.write(0, 1, 'when'); a.write(0, 2, 'n')
a.write(1, 0, 'Zoë'); a.write(1, 1, datetime.date(2020, 1, 2), xlwt.easyxf(num_format_str='YYYY-MM-DD'))
a.write(1, 2, 7); a.write(3, 2, 1.25)
a.col(0).width = 20 * 256
b = wb.add_sheet('Second')
for r in range(12):
    for c in range(5):
        b.write(r, c, r * 100 + c)
wb.add_sheet('Third')
)");
  Env e;
  ASSERT_EQ(DX_OpenInputFile(e.h, 48, path.c_str()), 0) << e.error();
  char buf[300];
  EXPECT_EQ(DX_GetWksNPages(e.h), 3);
  EXPECT_EQ(DX_GetWksPageName(e.h, 1, buf), 6);
  EXPECT_STREQ(buf, "Second");
  EXPECT_EQ(DX_GetWksPageName(e.h, 3, buf), -1);
  EXPECT_EQ(DX_CellGetNRowsInSheet(e.h, 0), 4);
  EXPECT_EQ(DX_CellGetNRowsInSheet(e.h, 2), 0);
  EXPECT_EQ(DX_CellGetNRowsInSheet(e.h, 3), -2);
  EXPECT_EQ(DX_CellGetRowHandle(e.h, 0, 4), -1);
  EXPECT_EQ(DX_CellGetRowHandle(e.h, 9, 0), -2);
  const int32_t row1 = DX_CellGetRowHandle(e.h, 0, 1);
  ASSERT_GE(row1, 0);
  EXPECT_EQ(DX_CellGetNColsInRow(e.h, row1), 3);
  EXPECT_EQ(DX_CellGetNColsInRow(e.h, 99999), -2);
  EXPECT_EQ(DX_CellGetDataStr(e.h, row1, 0, buf), 4);
  EXPECT_STREQ(buf, "Zoë");
  EXPECT_EQ(DX_CellGetDataStr(e.h, row1, 3, buf), -1);
  double x = 0;
  int32_t type = -1;
  DX_CellGetData(e.h, row1, 1, &x, buf, &type);
  EXPECT_EQ(type, API_DATE);
  EXPECT_EQ(x, 43832.0);
  DX_CellGetData(e.h, row1, 0, &x, buf, &type);
  EXPECT_EQ(type, API_STRING);
  DX_CellGetData(e.h, row1, 2, &x, buf, &type);
  EXPECT_EQ(type, API_NUMERIC);
  EXPECT_EQ(x, 7.0);
  const int32_t row2 = DX_CellGetRowHandle(e.h, 0, 2);  // a row without cells
  EXPECT_EQ(DX_CellGetNColsInRow(e.h, row2), 0);
  EXPECT_EQ(DX_CellGetDataStr(e.h, row2, 0, buf), -1);
  char widths[256];
  EXPECT_EQ(DX_CellGetColWidths(e.h, widths), 256);
  EXPECT_EQ(widths[0], 21);

  // Sheet and range selection by text, and the name-row modes.
  EXPECT_EQ(DX_SetWksRangeWithName(e.h, "Second!$B$2:D4"), 0);
  ASSERT_EQ(DX_ReadDict(e.h), 3) << e.error();
  EXPECT_STREQ(DX_GetVarName(e.h, 0), "101");
  EXPECT_EQ(DX_GetWksStartPage(e.h), 1);
  EXPECT_EQ(DX_GetWksStartRow(e.h), 2);
  DX_CloseFiles(e.h);
  EXPECT_EQ(to_csv(path,
                   [](int32_t h) {
                     DX_SetWksPage(h, 1);
                     DX_SetWksRange(h, 9, 2, -1, -1);
                   }),
            "\"902\",\"903\",\"904\"\n1002,1003,1004\n1102,1103,1104\n");
  EXPECT_EQ(to_csv(path, [](int32_t h) { EXPECT_EQ(DX_SetWksRangeWithName(h, "second!d11"), 0); }),
            "\"1003\",\"1004\"\n1103,1104\n");
  EXPECT_EQ(to_csv(path,
                   [](int32_t h) {
                     DX_SetWksRangeWithName(h, "2!D11:E12");
                     DX_SetWksNameRow(h, 1, 0);
                   }),
            "\"C4\",\"C5\"\n1003,1004\n1103,1104\n");
  EXPECT_EQ(to_csv(path, [](int32_t h) { DX_SetWksRetNullRows(h, 1); }),
            "\"name\",\"when\",\"n\"\n\"Zoë\",1/2/2020,7\n,,\n,,1.25\n");
  // Blank rows (numbered option 6): stop there (the default, with a warning), skip or use them.
  EXPECT_EQ(to_csv(path), "\"name\",\"when\",\"n\"\n\"Zoë\",1/2/2020,7\n");
  EXPECT_EQ(to_csv(path, [](int32_t h) { DX_SetOption(h, 6, 1, nullptr); }),
            "\"name\",\"when\",\"n\"\n\"Zoë\",1/2/2020,7\n,,1.25\n");
  EXPECT_EQ(to_csv(path, [](int32_t h) { DX_SetOption(h, 6, 2, nullptr); }),
            "\"name\",\"when\",\"n\"\n\"Zoë\",1/2/2020,7\n,,\n,,1.25\n");
  EXPECT_EQ(to_csv(path, [](int32_t h) { DX_SetWksPage(h, 2); }), "\n");  // a sheet without cells
  EXPECT_EQ(to_csv(path,
                   [](int32_t h) {
                     DX_SetWksPage(h, 2);
                     DX_SetWksRange(h, 1, 1, 5, 5);
                   }),
            "ERROR: No cells found in file or selected range");
  // The page by name (numbered option 23) and a row of variable labels (numbered option 135).
  EXPECT_EQ(to_csv(path,
                   [](int32_t h) {
                     EXPECT_EQ(DX_SetOption(h, 23, 0, "SECOND"), 0);
                     DX_SetWksRange(h, 0, 3, 2, 4);
                   }),
            "\"3\",\"4\"\n103,104\n203,204\n");
  Env l;
  ASSERT_EQ(DX_OpenInputFile(l.h, 48, path.c_str()), 0);
  DX_SetOption(l.h, 135, 1, nullptr);
  ASSERT_EQ(DX_ReadDict(l.h), 3) << l.error();
  EXPECT_STREQ(DX_GetVarLabel(l.h, 0), "Zoë");
  EXPECT_EQ(DX_GetNCases(l.h), 1);
  // Types, the least string width, and the last rows read from the bottom.
  Env t;
  ASSERT_EQ(DX_OpenInputFile(t.h, 48, path.c_str()), 0);
  DX_SetWksMinStrWidth(t.h, 40);
  ASSERT_EQ(DX_ReadDict(t.h), 3) << t.error();
  EXPECT_EQ(DX_GetVarType(t.h, 0), API_STRING);
  EXPECT_EQ(DX_GetVarPrintWidth(t.h, 0), 40);
  EXPECT_EQ(DX_GetVarType(t.h, 1), API_DATE);
  EXPECT_EQ(DX_GetVarType(t.h, 2), API_NUMERIC);
  EXPECT_EQ(to_csv(path, [](int32_t h) {
              DX_SetOption(h, 23, 0, "Second");
              DX_SetWksReadFromBottom(h, 2);
            }),
            "\"0\",\"1\",\"2\",\"3\",\"4\"\n1000,1001,1002,1003,1004\n1100,1101,1102,1103,1104\n");
}

}  // namespace

namespace {

// A workbook from xlwt cut short or with bytes overwritten: each read ends in a result or a
// message, never a crash (run under AddressSanitizer).
TEST(XlsRecords, DamagedCompoundFiles) {
  const std::string path = temp_path("whole");
  xlwt_book(path, R"(
s = wb.add_sheet('S')
for r in range(60):
    s.write(r, 0, 'text %d é' % r); s.write(r, 1, r * 1.5); s.write(r, 2, datetime.date(2001, 1, 1 + r % 28), xlwt.easyxf(num_format_str='D-MMM-YY'))
)");
  const std::string whole = slurp(path);
  ASSERT_GT(whole.size(), 2048u);
  for (size_t n = 0; n < whole.size(); n += 61) {
    std::string r = csv_of_bytes(whole.substr(0, n));
    if (r.rfind("ERROR: ", 0) == 0) EXPECT_GT(r.size(), 7u) << n;
  }
  EXPECT_EQ(csv_of_bytes(whole).rfind("\"text 0 é\"", 0), 0u);
  // Bytes of the workbook stream (it starts at the second 512-byte sector) overwritten.
  for (size_t at = 512; at < whole.size(); at += 37) {
    std::string bad = whole;
    for (size_t k = 0; k < 4 && at + k < bad.size(); ++k) bad[at + k] = static_cast<char>(0xFF - k * 0x11);
    std::string r = csv_of_bytes(bad);
    if (r.rfind("ERROR: ", 0) == 0) EXPECT_GT(r.size(), 7u) << at;
  }
}

}  // namespace

namespace {

// A BIFF 5 workbook in a compound file whose stream is "Book", with 8-bit text in code page 1252.
TEST(XlsRecords, Biff5BookStream) {
  auto b5 = [](uint16_t sub) { return rec(0x0809, le16(0x0500) + le16(sub) + le16(0) + le16(0)); };
  auto text5 = [](uint16_t row, uint16_t col, const std::string& t) {
    return cell(0x0204, row, col, 0, le16(static_cast<uint32_t>(t.size())) + t);
  };
  const std::string stream = b5(5) + rec(0x0042, le16(1252)) + xf(0) +
                             rec(0x0085, le32(0) + '\0' + '\0' + '\x04' + "F\xFCnf") + eof() + b5(16) +
                             text5(0, 0, "caf\xE9") + text5(1, 0, "\x80 5") + number(2, 0, 5) + eof();
  for (const char* name : {"Book", "Workbook"}) {
    const std::string path = temp_path(name);
    std::remove(path.c_str());
    Stream* s = StreamOpenStorage(path.c_str(), name, 4, nullptr);
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(StreamWrite(s, stream.data(), static_cast<int32_t>(stream.size())),
              static_cast<int32_t>(stream.size()));
    StreamClose(s);
    EXPECT_EQ(to_csv(path), "\"caf\xC3\xA9\"\n\"\xE2\x82\xAC 5\"\n\"5\"\n") << name;
    Env e;
    ASSERT_EQ(DX_OpenInputFile(e.h, 48, path.c_str()), 0);
    char buf[64];
    DX_GetWksPageName(e.h, 0, buf);
    EXPECT_STREQ(buf, "F\xC3\xBCnf");
  }
}

}  // namespace

namespace {

// A lone cell at the far corner: the cell API sees the whole sheet, the store only the cell.
TEST(XlsCellApi, FarCornerCell) {
  const std::string path = temp_path("corner");
  spill(path, book("", number(65535, 255, 4.5)) + bof(16) + number(0, 0, 1) + eof());
  Env e;
  ASSERT_EQ(DX_OpenInputFile(e.h, 48, path.c_str()), 0) << e.error();
  EXPECT_EQ(DX_CellGetNRowsInSheet(e.h, 0), 65536);
  const int32_t last = DX_CellGetRowHandle(e.h, 0, 65535);
  EXPECT_EQ(DX_CellGetNColsInRow(e.h, last), 256);
  char buf[64];
  EXPECT_EQ(DX_CellGetDataStr(e.h, last, 255, buf), 3);
  EXPECT_STREQ(buf, "4.5");
  EXPECT_EQ(DX_CellGetDataStr(e.h, last, 254, buf), 0);
  EXPECT_EQ(DX_CellGetNColsInRow(e.h, DX_CellGetRowHandle(e.h, 0, 7)), 0);
}

}  // namespace

namespace {

// A BIFF 2 worksheet file: one unnamed sheet, cells with three attribute bytes.
TEST(XlsRecords, Biff2Worksheet) {
  auto cell2 = [](uint16_t type, uint16_t row, uint16_t col, const std::string& value) {
    return rec(type, le16(row) + le16(col) + std::string(3, '\0') + value);
  };
  const std::string bytes = rec(0x0009, le16(0x0002) + le16(0x0010)) + cell2(0x0004, 0, 0, "\x01k") +
                            cell2(0x0004, 0, 1, std::string("\x02\xE9t", 3)) + cell2(0x0002, 1, 0, le16(7)) +
                            cell2(0x0003, 1, 1, f64(-0.5)) + cell2(0x0005, 2, 0, std::string("\x01\x00", 2)) + eof();
  EXPECT_EQ(csv_of_bytes(bytes), "\"k\",\"\xC3\xA9t\"\n7,-0.5\n1,\n");
  const std::string path = temp_path("biff2");
  spill(path, bytes);
  Env e;
  ASSERT_EQ(DX_OpenInputFile(e.h, 48, path.c_str()), 0) << e.error();
  char buf[32];
  EXPECT_EQ(DX_GetWksPageName(e.h, 0, buf), 6);
  EXPECT_STREQ(buf, "Sheet1");
}

}  // namespace

namespace {

TEST(XlsRecords, InputsThatAreNoWorkbook) {
  EXPECT_EQ(to_csv("/nonexistent/x.xls"), "ERROR: Cannot open worksheet file: /nonexistent/x.xls");
  // A compound file without a workbook stream leaves the input unopened.
  const std::string path = temp_path("nobook");
  std::remove(path.c_str());
  Stream* s = StreamOpenStorage(path.c_str(), "Other", 4, nullptr);
  ASSERT_NE(s, nullptr);
  StreamWrite(s, "data", 4);
  StreamClose(s);
  EXPECT_EQ(to_csv(path), "ERROR: Cannot open OLE2 document file " + path);
}

}  // namespace
