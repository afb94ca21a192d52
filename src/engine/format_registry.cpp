#include "engine/format_registry.h"

#include <array>
#include <cctype>

#include "engine/db_format.h"

namespace tabulon {

// Entry points of the formats that are built. Each format folder defines its own
// (e.g. src/formats/text/text_ops.cpp: `extern const FormatReaderOps kTextReader = {...};`).
// To plug a format in: declare its ops here, then put &kYourReader / &kYourWriter in
// its line of the table below instead of nullptr. Nothing else in the engine changes.
// extern const FormatReaderOps kTextReader;
// extern const FormatWriterOps kTextWriter;
extern const FormatWriterOps kXlsWriter;
extern const FormatWriterOps kXlsxWriter;
extern const FormatReaderOps kXportReader;
extern const FormatWriterOps kXportWriter;
extern const FormatWriterOps kSpssWriter;
extern const FormatReaderOps kPortableReader;
extern const FormatWriterOps kPortableWriter;
extern const FormatReaderOps kSchemaReader;
extern const FormatReaderOps kStataReader;
extern const FormatReaderOps kXlsReader;
extern const FormatReaderOps kXlsxReader;
extern const FormatReaderOps kSpssReader;
extern const FormatReaderOps kSas7bdatReader;
extern const FormatWriterOps kStataWriter;
extern const FormatWriterOps kSas7bdatWriter;
extern const FormatWriterOps kProgramWriter;
extern const FormatReaderOps kDelimitedTextReader;
extern const FormatReaderOps kFixedTextReader;
extern const FormatWriterOps kTextWriter;

namespace {

constexpr uint32_t R = kCapRead;
constexpr uint32_t W = kCapWrite;
constexpr uint32_t RW = kCapRead | kCapWrite;
constexpr uint32_t WKS = kCapWorksheetInput;
constexpr uint32_t MEM = kCapMembers;
constexpr uint32_t LBL = kCapVarLabels;
constexpr uint32_t NAT = kCapNativeFormats;
constexpr uint32_t DB = kCapDatabase | kCapOwnContainer | kCapMembers;
constexpr uint32_t OWN = kCapOwnContainer;
constexpr uint32_t NOCMP = kCapNoCaseCompare;
constexpr uint32_t NARROW = kCapNarrowNumerics;
constexpr uint32_t PRG = kCapExtraPrograms;
constexpr uint32_t UMV = kCapDeclaresMissing;

// One line per format code. Codes 50 and 69..128 name no format.
// code, name, capabilities, output mode, extensions, reader, writer
std::array<FormatEntry, 69> g_formats = {{
    {0, "Lotus 1-2-3 worksheet", RW | WKS | NOCMP, "wb", ".wks", nullptr, nullptr},
    {1, "Lotus 1-2-3 worksheet", RW | WKS, "wb", ".wk1 .wk3 .wk4", nullptr, nullptr},
    {2, "dBASE file", RW | NARROW, "wb", ".dbf", nullptr, nullptr},
    {3, "dBASE file", RW | NARROW, "wb", "", nullptr, nullptr},
    {4, "No output", kCapNoWriterAccepted, "wb", "", nullptr, nullptr},
    {5, "dBASE file", RW | NARROW, "wb", "", nullptr, nullptr},
    {6, "dBASE file", RW | NARROW, "wb", "", nullptr, nullptr},
    {7, "Excel 2.x worksheet", RW | WKS | NOCMP, "wb", "", nullptr, nullptr},
    {8, "dBASE file", RW | NARROW, "wb", "", nullptr, nullptr},
    {9, "Gauss data set", RW, "wb", ".dht", nullptr, nullptr},
    {10, "Paradox table", RW, "w+b", ".db", nullptr, nullptr},
    {11, "Quattro worksheet", RW | WKS | NOCMP, "wb", ".wq1 .wb1", nullptr, nullptr},
    {12, "SAS transport file", RW | MEM | LBL, "wb", ".xpt", &kXportReader, &kXportWriter},
    {13, "SPSS portable file", RW | LBL | NARROW | UMV, "wb", ".por", &kPortableReader, &kPortableWriter},
    {14, "Stata data file (releases 102-119 read, 104-119 written)", RW | LBL, "wb", ".dta", &kStataReader, &kStataWriter},
    {15, "Lotus 1-2-3 worksheet", RW | WKS, "wb", "", nullptr, nullptr},
    {16, "SYSTAT file", RW | NAT, "wb", ".syd .sys", nullptr, nullptr},
    {17, "S-Plus object", RW, "wb", ".sdd", nullptr, nullptr},
    {18, "Delimited text file", RW | NOCMP, "wb", ".csv .txt .tsv .tab", &kDelimitedTextReader, &kTextWriter},
    {19, "Fixed-column text file", RW | PRG, "wb", ".dat .asc", &kFixedTextReader, &kTextWriter},
    {20, "SAS 6 data set", RW | LBL | NAT, "wb+", ".sd2", nullptr, nullptr},
    {21, "SigmaPlot notebook", R | MEM, "wb", ".jnb", nullptr, nullptr},
    {22, "SPSS system file", RW | LBL | UMV, "wb", ".sav .zsav", &kSpssReader, &kSpssWriter},
    {23, "Access database", RW | DB | LBL, "wb", ".mdb .accdb", &kDatabaseReader, &kDatabaseWriter},
    {24, "ODBC data source", RW | DB | LBL, "wb", "", &kDatabaseReader, &kDatabaseWriter},
    {25, "Database source", RW | DB, "wb", "", &kDatabaseReader, &kDatabaseWriter},
    {26, "Database source", RW | DB, "wb", "", &kDatabaseReader, &kDatabaseWriter},
    {27, "Database source", RW | DB, "wb", "", &kDatabaseReader, &kDatabaseWriter},
    {28, "Database source", RW | DB, "wb", "", &kDatabaseReader, &kDatabaseWriter},
    {29, "MATLAB file", RW, "wb", ".mat", nullptr, nullptr},
    {30, "Statistica 5 file", RW | LBL, "wb", ".sta", nullptr, nullptr},
    {31, "HTML table", W, "w", ".html .htm", nullptr, &kTextWriter},
    {32, "Epi Info file", RW, "wb", ".rec", nullptr, nullptr},
    {33, "LIMDEP file", RW, "wb", ".lpj", nullptr, nullptr},
    {34, "Schema and data text pair", RW, "w", ".schema", nullptr, nullptr},
    {35, "JMP table", RW | LBL, "wb", ".jmp", nullptr, nullptr},
    {36, "OSIRIS file", R | LBL, "wb", "", nullptr, nullptr},
    {37, "Minitab worksheet", RW, "wb", ".mtw", nullptr, nullptr},
    {38, "SAS data set", RW | LBL | NAT, "wb+", ".sas7bdat", &kSas7bdatReader, &kSas7bdatWriter},
    {39, "SPSS program and data file", W | PRG | UMV, "wb", ".sps", nullptr, &kProgramWriter},
    {40, "SAS program and data file", W | LBL | PRG, "wb", ".sas", nullptr, &kProgramWriter},
    {41, "Stata program and dictionary", W | PRG, "wb", ".do .dct", nullptr, &kProgramWriter},
    {42, "Oracle database", RW | DB, "wb", "", &kDatabaseReader, &kDatabaseWriter},
    {43, "SQL Server database", RW | DB, "wb", "", &kDatabaseReader, &kDatabaseWriter},
    {44, "DB2 database", RW | DB, "wb", "", &kDatabaseReader, &kDatabaseWriter},
    {45, "Sybase database", RW | DB, "wb", "", &kDatabaseReader, &kDatabaseWriter},
    {46, "Fixed-column text with a schema file", RW | LBL | PRG | UMV, "wb", ".sch", &kSchemaReader, &kProgramWriter},
    {47, "SAS, SPSS and Stata programs with fixed-column data", W, "wb", "", nullptr, &kProgramWriter},
    {48, "Excel workbook", RW | WKS | MEM | OWN | NOCMP, "wb", ".xls", &kXlsReader, &kXlsWriter},
    {49, "SAS CPORT file", R | MEM | LBL, "wb", ".cpt .stc", nullptr, nullptr},
    {51, "R data file", RW | MEM | LBL, "wb", ".rdata .rda", nullptr, nullptr},
    {52, "SAS PC/DOS 6.04 data set", R, "wb", ".ssd", nullptr, nullptr},
    {53, "Fixed-column text inside a schema file", RW | LBL | UMV, "wb", "", &kSchemaReader, &kProgramWriter},
    {54, "Office Open XML workbook", RW | WKS | MEM | OWN | NOCMP, "wb", ".xlsx .xlsm", &kXlsxReader, &kXlsxWriter},
    {55, "Delimited text with a schema file", RW | LBL | UMV, "wb", "", &kSchemaReader, &kProgramWriter},
    {56, "MATLAB data-set object", W, "wb", "", nullptr, nullptr},
    {57, "Triple-S survey files", RW | MEM | LBL, "wb", ".sss", nullptr, nullptr},
    {58, "Access database", RW | DB | LBL, "wb", "", &kDatabaseReader, &kDatabaseWriter},
    {59, "XML file", RW, "wb", ".xml", nullptr, nullptr},
    {60, "JMP table", RW | LBL, "wb", "", nullptr, nullptr},
    {61, "Statistica 7 file", RW | LBL, "wb", ".sta7", nullptr, nullptr},
    {62, "SAS data set", RW | LBL | NAT, "wb+", "", &kSas7bdatReader, &kSas7bdatWriter},
    {63, "RATS file", RW, "wb", ".rat", nullptr, nullptr},
    {64, "Mplus program and data file", W, "wb", ".inp", nullptr, &kProgramWriter},
    {65, "OpenDocument spreadsheet", RW | WKS | OWN | NOCMP, "wb", ".ods", nullptr, nullptr},
    {66, "DDI XML file", RW, "wb", "", nullptr, nullptr},
    {67, "gretl data file", RW, "wb", ".gdt", nullptr, nullptr},
    {68, "GenStat spreadsheet workbook", RW | MEM | LBL, "wb", ".gwb", nullptr, nullptr},
    {129, "SAS user formats", kCapInternal | NAT, "wb", "", nullptr, nullptr},
}};

// Codes 0..49 sit at their own index, 51..68 one lower, 129 last.
FormatEntry* find_mutable(int32_t code) {
  if (code >= 0 && code <= 49) return &g_formats[static_cast<size_t>(code)];
  if (code >= 51 && code <= 68) return &g_formats[static_cast<size_t>(code - 1)];
  if (code == 129) return &g_formats.back();
  return nullptr;
}

bool same_extension(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

}  // namespace

const FormatEntry* format_entry(int32_t code) { return find_mutable(code); }

std::span<const FormatEntry> format_entries() { return {g_formats.data(), g_formats.size()}; }

const FormatEntry* format_by_extension(std::string_view extension, bool for_output) {
  if (!extension.empty() && extension.front() == '.') extension.remove_prefix(1);
  if (extension.empty()) return nullptr;
  const uint32_t need = for_output ? kCapWrite : kCapRead;
  for (const auto& e : g_formats) {
    if (!(e.caps & need)) continue;
    std::string_view list = e.extensions;
    while (!list.empty()) {
      size_t end = list.find(' ');
      std::string_view one = list.substr(0, end);
      if (!one.empty() && one.front() == '.') one.remove_prefix(1);
      if (same_extension(one, extension)) return &e;
      if (end == std::string_view::npos) break;
      list.remove_prefix(end + 1);
    }
  }
  return nullptr;
}

FormatEntry format_set_ops(int32_t code, const FormatReaderOps* reader, const FormatWriterOps* writer) {
  FormatEntry* e = find_mutable(code);
  if (!e) return FormatEntry{code, "", 0, "wb", "", nullptr, nullptr};
  FormatEntry before = *e;
  e->reader = reader;
  e->writer = writer;
  return before;
}

}  // namespace tabulon
