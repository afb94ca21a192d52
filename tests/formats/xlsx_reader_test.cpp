// Office Open XML workbooks: packages put together here part by part (stored or deflated
// with our zip writer), read through the C API; damaged packages give their message.
#include "formats/sheets/xlsx_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>

#include "io/zip_archive.h"
#include "tabulon/tabulon.h"
#include "support/format_harness.h"

using namespace tabulon;

namespace {

std::string temp_path(const std::string& name) { return test::scratch_path("xlsx", name, ".xlsx"); }
using test::slurp;
using test::spill;

constexpr const char* kNs = "xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
                            "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\"";

using Parts = std::map<std::string, std::string>;

std::string sheet_xml(const std::string& rows, const std::string& dimension = "") {
  return std::string("<?xml version=\"1.0\"?><worksheet ") + kNs + ">" + dimension + "<sheetData>" + rows +
         "</sheetData></worksheet>";
}

// A workbook of two sheets (the second without cells), date styles and shared strings.
Parts base_parts(const std::string& rows) {
  Parts p;
  p["xl/workbook.xml"] = std::string("<workbook ") + kNs +
                         "><workbookPr/><sheets><sheet name=\"One\" sheetId=\"1\" r:id=\"rId1\"/>"
                         "<sheet name=\"Two\" sheetId=\"2\" r:id=\"rId2\"/></sheets><definedNames>"
                         "<definedName name=\"_xlnm._FilterDatabase\" localSheetId=\"0\">One!$A$1:$B$2</definedName>"
                         "<definedName name=\"Pick\">One!$B$1:$B$3</definedName></definedNames></workbook>";
  p["xl/_rels/workbook.xml.rels"] =
      "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
      "<Relationship Id=\"rId1\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet\" "
      "Target=\"worksheets/sheet1.xml\"/>"
      "<Relationship Id=\"rId2\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet\" "
      "Target=\"worksheets/sheet2.xml\"/></Relationships>";
  p["xl/styles.xml"] = std::string("<styleSheet ") + kNs +
                       "><numFmts count=\"1\"><numFmt numFmtId=\"170\" formatCode=\"[h]:mm\"/></numFmts>"
                       "<cellXfs count=\"4\"><xf numFmtId=\"0\"/><xf numFmtId=\"14\"/><xf numFmtId=\"22\"/>"
                       "<xf numFmtId=\"170\"/></cellXfs></styleSheet>";
  p["xl/sharedStrings.xml"] = std::string("<sst ") + kNs +
                              " uniqueCount=\"2\"><si><t>id</t></si><si><r><t>wh</t></r><r><t>en</t></r></si></sst>";
  p["xl/worksheets/sheet1.xml"] = sheet_xml(rows);
  p["xl/worksheets/sheet2.xml"] = sheet_xml("");
  return p;
}

const std::string kRows =
    "<row r=\"1\"><c r=\"A1\" t=\"s\"><v>0</v></c><c r=\"B1\" t=\"s\"><v>1</v></c></row>"
    "<row r=\"2\"><c r=\"A2\"><v>1.5</v></c><c r=\"B2\" s=\"1\"><v>40000</v></c></row>"
    "<row r=\"3\"><c r=\"A3\"><v>-2</v></c><c r=\"B3\" s=\"1\"><v>60</v></c></row>";

void write_package(const std::string& path, const Parts& parts, int level = 6) {
  ZipWriter* z = zip_create(path.c_str());
  ASSERT_NE(z, nullptr);
  for (const auto& [name, text] : parts) ASSERT_TRUE(zip_add_member(z, name.c_str(), text.data(), text.size(), level));
  ASSERT_TRUE(zip_close_write(z));
}

// CSV of the workbook, or "ERROR: message".
std::string to_csv(const std::string& path, const std::function<void(int32_t)>& setup = nullptr) {
  const int32_t h = DX_OpenEnvironment();
  std::string result;
  const std::string out = temp_path("out") + ".csv";
  if (DX_OpenInputFile(h, 54, path.c_str()) != 0) {
    result = "ERROR: " + std::string(DX_GetErrorMsg(h));
  } else {
    if (setup) setup(h);
    if (DX_ReadDict(h) < 0 || DX_OpenOutFile(h, 18, out.c_str()) != 0 || DX_TransferAllRecords(h) < 0) {
      result = "ERROR: " + std::string(DX_GetErrorMsg(h));
    } else {
      DX_CloseFiles(h);
      for (char c : slurp(out))
        if (c != '\r') result += c;
    }
  }
  DX_CloseEnvironment(h);
  return result;
}
std::string csv_of(const Parts& parts, const std::function<void(int32_t)>& setup = nullptr) {
  const std::string path = temp_path("pkg");
  write_package(path, parts);
  return to_csv(path, setup);
}

TEST(XlsxReader, CellsStylesAndWorkbook) {
  EXPECT_EQ(csv_of(base_parts(kRows)), "\"id\",\"when\"\n1.5,7/6/2009\n-2,2/28/1900\n");
  // The 1904 date system, written as "1" or as "true" (both are xsd:boolean truth).
  for (const char* flag : {"1", "true"}) {
    Parts p = base_parts(kRows);
    p["xl/workbook.xml"].replace(p["xl/workbook.xml"].find("<workbookPr/>"), 13,
                                 std::string("<workbookPr date1904=\"") + flag + "\"/>");
    EXPECT_EQ(csv_of(p), "\"id\",\"when\"\n1.5,7/7/2013\n-2,3/1/1904\n") << flag;
  }
  // Every cell type; cells and rows without references; a dimension that lies.
  const std::string rows =
      "<row r=\"1\"><c r=\"A1\" t=\"inlineStr\"><is><t>a</t></is></c><c t=\"str\"><v>b</v></c>"
      "<c t=\"inlineStr\"><is><t>c</t></is></c><c t=\"inlineStr\"><is><t>d</t></is></c></row>"
      "<row><c t=\"b\"><v>1</v></c><c t=\"e\"><v>#N/A</v></c><c t=\"d\"><v>2021-07-04T06:00:00</v></c>"
      "<c s=\"3\"><v>1.25</v></c></row>"
      "<row r=\"5\"><c r=\"A5\" t=\"b\"><v>0</v></c><c r=\"B5\" t=\"str\"><f>X</f><v>text</v></c>"
      "<c r=\"C5\" t=\"d\"><v>2000-01-02</v></c><c r=\"D5\" s=\"3\"><v>0.5</v></c></row>";
  Parts p = base_parts("");
  p["xl/worksheets/sheet1.xml"] = sheet_xml(rows, "<dimension ref=\"A1:A1\"/>");
  EXPECT_EQ(csv_of(p, [](int32_t h) { DX_SetOption(h, 6, 1, nullptr); }),
            "\"a\",\"b\",\"c\",\"d\"\n1,\"#N/A\",7/4/2021 06:00:00,30:00:00\n0,\"text\",1/2/2000 00:00:00,12:00:00\n");
  // A time of day under a date-only format makes the column a date-time: the time is kept.
  std::string timed = kRows;
  timed.replace(timed.find("<v>60</v>"), 9, "<v>40000.25</v>");
  EXPECT_EQ(csv_of(base_parts(timed)), "\"id\",\"when\"\n1.5,7/6/2009 00:00:00\n-2,7/6/2009 06:00:00\n");
  // Without workbook relationships the sheets are sheet1.xml, sheet2.xml... in order.
  p = base_parts(kRows);
  p.erase("xl/_rels/workbook.xml.rels");
  EXPECT_EQ(csv_of(p), "\"id\",\"when\"\n1.5,7/6/2009\n-2,2/28/1900\n");
}

// Names that carry labels (numbered option 99), the NA text (98) and concatenated pages (97).
TEST(XlsxReader, WorksheetOptions) {
  auto inline_cell = [](const char* ref, const char* text) {
    return std::string("<c r=\"") + ref + "\" t=\"inlineStr\"><is><t>" + text + "</t></is></c>";
  };
  Parts p = base_parts("");
  p["xl/worksheets/sheet1.xml"] = sheet_xml(
      "<row r=\"1\">" + inline_cell("A1", "age - Age in years") + inline_cell("B1", "city") + "</row>" +
      "<row r=\"2\"><c r=\"A2\"><v>30</v></c>" + inline_cell("B2", "NA") + "</row>" +
      "<row r=\"3\">" + inline_cell("A3", "NA") + inline_cell("B3", "Paris") + "</row>");
  p["xl/worksheets/sheet2.xml"] = sheet_xml(
      "<row r=\"2\">" + inline_cell("A2", "age - Age in years") + inline_cell("B2", "city") + "</row>" +
      "<row r=\"3\"><c r=\"A3\"><v>40</v></c>" + inline_cell("B3", "Lyon") + "</row>");
  EXPECT_EQ(csv_of(p), "\"age - Age in years\",\"city\"\n\"30\",\"NA\"\n\"NA\",\"Paris\"\n");
  EXPECT_EQ(csv_of(p,
                   [](int32_t h) {
                     DX_SetOption(h, 98, 0, "NA");
                     DX_SetOption(h, 97, 1, nullptr);
                     DX_SetOption(h, 99, 1, nullptr);
                   }),
            "\"age\",\"city\"\n30,\n,\"Paris\"\n40,\"Lyon\"\n");
  const std::string path = temp_path("split");
  write_package(path, p);
  const int32_t h = DX_OpenEnvironment();
  ASSERT_EQ(DX_OpenInputFile(h, 54, path.c_str()), 0);
  DX_SetOption(h, 99, 1, nullptr);
  ASSERT_EQ(DX_ReadDict(h), 2);
  EXPECT_STREQ(DX_GetVarLabel(h, 0), "Age in years");
  DX_CloseFiles(h);
  DX_CloseEnvironment(h);
}

TEST(XlsxReader, SheetsAndNames) {
  const std::string path = temp_path("names");
  write_package(path, base_parts(kRows));
  const int32_t h = DX_OpenEnvironment();
  ASSERT_EQ(DX_OpenInputFile(h, 54, path.c_str()), 0) << DX_GetErrorMsg(h);
  char buf[300];
  EXPECT_EQ(DX_GetWksNPages(h), 2);
  DX_GetWksPageName(h, 1, buf);
  EXPECT_STREQ(buf, "Two");
  ASSERT_EQ(DX_GetWksNRanges(h), 1);  // the filter range (a name beginning with "_") is not offered
  DX_GetWksRangeName(h, 0, buf);
  EXPECT_STREQ(buf, "Pick");
  DX_GetWksRangeCoord(h, 0, buf);
  EXPECT_STREQ(buf, "A:B1..A:B3");
  EXPECT_EQ(DX_SetMember(h, "Two"), 0);
  EXPECT_EQ(DX_ReadDict(h), 0);  // a sheet without cells is an empty table
  DX_CloseFiles(h);
  DX_CloseEnvironment(h);
  EXPECT_EQ(to_csv(path, [](int32_t e) { DX_SetWksRangeWithName(e, "Pick"); }), "\"when\"\n7/6/2009\n2/28/1900\n");
}

TEST(XlsxReader, DamagedPackagesGiveTheirMessage) {
  auto with = [](const char* part, const std::string& text) {
    Parts p = base_parts(kRows);
    p[part] = text;
    return p;
  };
  Parts no_styles = base_parts(kRows);
  no_styles.erase("xl/styles.xml");
  struct Case {
    Parts parts;
    std::string message;
  } cases[] = {
      {no_styles, "Excel .xlxb binary files are not supported, Please resave in Excel as an .xlsx file"},
      {with("xl/worksheets/sheet1.xml", "<worksheet><sheetData><row><c><v>1</v></row>"),
       "XML error reading worksheet"},
      {with("xl/sharedStrings.xml", "<sst><si><t>a</si>"), "XML error reading string table"},
      {with("xl/_rels/workbook.xml.rels", "<Relationships"), "XML error workbook 'rels' file"},
      {with("xl/styles.xml", "<styleSheet><cellXfs></styleSheet>"), "XML error reading style sheet"},
      {with("xl/worksheets/sheet1.xml", sheet_xml("<row r=\"1\"><c r=\"A1\" t=\"s\"><v>7</v></c></row>")),
       "Internal error - string index out of range"},
      {with("xl/worksheets/sheet1.xml", sheet_xml("<row r=\"1\"><c r=\"IW1\"><v>7</v></c></row>")),
       "Internal Error: Column out of range"},
  };
  for (const Case& c : cases) EXPECT_EQ(csv_of(c.parts), "ERROR: " + c.message);
  // A billion strings promised by a few bytes: nothing is allocated for them.
  EXPECT_EQ(csv_of(with("xl/sharedStrings.xml",
                        std::string("<sst ") + kNs + " uniqueCount=\"1000000000\"><si><t>id</t></si><si><t>when</t></si></sst>")),
            "\"id\",\"when\"\n1.5,7/6/2009\n-2,2/28/1900\n");
  const std::string bad = temp_path("notzip");
  spill(bad, std::string("PK\x03\x04", 4) + std::string(200, 'x'));
  EXPECT_EQ(to_csv(bad), "ERROR: Error opening zip archive " + bad);

  // A stored member whose bytes changed: its checksum no longer holds.
  const std::string path = temp_path("crc");
  write_package(path, base_parts(kRows), 0);
  std::string bytes = slurp(path);
  const size_t at = bytes.find("<v>1.5</v>");
  ASSERT_NE(at, std::string::npos);
  bytes[at + 4] = '7';
  spill(path, bytes);
  EXPECT_EQ(to_csv(path), "ERROR: CRC error in zip archive");
}

// Every byte of a small package overwritten in turn, and every cut: a result or a message,
// never a crash or a hang (CI runs this under the sanitizers).
TEST(XlsxReader, EveryDamageEndsInAResultOrAMessage) {
  const std::string path = temp_path("whole");
  write_package(path, base_parts(kRows));
  const std::string whole = slurp(path);
  for (size_t at = 0; at < whole.size(); at += 3) {
    std::string bad = whole;
    bad[at] = static_cast<char>(bad[at] ^ 0x5A);
    spill(path, bad);
    const std::string r = to_csv(path);
    if (r.rfind("ERROR: ", 0) == 0) EXPECT_GT(r.size(), 7u) << at;
  }
  for (size_t n = 0; n < whole.size(); n += 97) {
    spill(path, whole.substr(0, n));
    const std::string r = to_csv(path);
    EXPECT_EQ(r.rfind("ERROR: ", 0), 0u) << n;
  }
}

}  // namespace
