// The keyword option table: rows in their fixed order (the index is part of the interface).
#include <cstddef>
#include "api/option_table.h"

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "api/call_frame.h"

namespace tabulon {

namespace {

struct OptionRow {
  const char* keyword;
  const char* default_text;
  const char* description;
  uint32_t flags;
  uint32_t group;
  const char* choices;
  OptionApply apply;
};

// clang-format off
const OptionRow kRows[kOptionCount] = {
    {"write-old-ver", "N", "Write older versions of output files [Y|N| ver #]", kText | kOutputSide, 0, nullptr, {ApplyKind::OldVersion, 0}},  // 0
    {"preserve-case", "Y", "Preserve name and label case if possible [Y|N]", kYesNo | kOutputSide, 0, nullptr, {ApplyKind::PreserveCase, 0}},  // 1
    {"samp-seed", "auto", "Seed for sampling functions [auto|#]", kInteger | kOutputSide, 0, nullptr, {ApplyKind::Numbered, 16}},  // 2
    {"read-sas-fmts", "N", "Read SAS user-defined formats [Y|N]", kYesNo, 0x2, nullptr, {ApplyKind::Numbered, 2}},  // 3
    {"read-fmt-name", "%ipath%/sas_fmts.sas7bdat", "Filename for SAS formats", kText, 0x2, nullptr, {ApplyKind::Numbered, 3}},  // 4
    {"write-sas-fmts", "N", "Write Proc Format program for SAS [Y|N]", kYesNo | kOutputSide, 0x2, nullptr, {ApplyKind::Numbered, 0}},  // 5
    {"write-fmt-name", "%opath%/%oname%.sas", "Filename for Proc Format program", kText | kOutputSide, 0x2, nullptr, {ApplyKind::Numbered, 1}},  // 6
    {"user-miss", "all", "Honor user-missing values [all/first/none]", kChoice, 0, "all,first,none", {ApplyKind::Numbered, 4}},  // 7
    {"date-fmt-read", "%m[/]%d[/][,]%y[%$c]", "Format for reading date values", kText, 0x1, nullptr, {ApplyKind::DateFmt, 1, 0}},  // 8
    {"time-fmt-read", "%H:%M[:%S[.%N]][%p][[(]%3c[)]]", "Format for reading time values", kText, 0x1, nullptr, {ApplyKind::DateFmt, 1, 1}},  // 9
    {"datetime-fmt-read", "[%m[/]%d[/][,]%y] [%H:%M[:%S[.%N]][%p][[(]%3c[)]]]", "Format for reading datetime values", kText, 0x1, nullptr, {ApplyKind::DateFmt, 1, 2}},  // 10
    {"date-scan-fmt", "[%m[/]%d[/][,]%y] [%H:%M[:%S[.%N]][%p][[(]%3c[)]]]", "Format for scanning ASCII files for dates & times", kText, 0x1, nullptr, {ApplyKind::DateFmt, 1, 3}},  // 11
    {"date-fmt-write", "%m/%d/%Y", "Format for writing dates", kText | kOutputSide, 0x1, nullptr, {ApplyKind::DateFmt, 2, 0}},  // 12
    {"time-fmt-write", "%0H:%0M:%0S", "Format for writing time values", kText | kOutputSide, 0x1, nullptr, {ApplyKind::DateFmt, 2, 1}},  // 13
    {"datetime-fmt-write", "%m/%d/%Y %0H:%0M:%0S", "Format for writing datetime values", kText | kOutputSide, 0x1, nullptr, {ApplyKind::DateFmt, 2, 2}},  // 14
    {"delimiter-rd", "autosense", "Read delimiter [autosense|comma|tab|space|vertbar| a character]", kChoiceOrChar, 0x3, "autosense,comma,tab,space,semicolon,vertbar", {ApplyKind::Numbered, 17}},  // 15
    {"ascii-rd-vnames", "autosense", "Fieldnames - ASCII read [autosense|first-row|make-up]", kChoice, 0x3, "autosense,first-row,make-up,vlab-second", {ApplyKind::TxtReadVnames, 0}},  // 16
    {"num-miss-rd", "none", "Numeric missing value - ASCII read [none | a string|extended]", kText, 0x3, nullptr, {ApplyKind::NaString, 1}},  // 17
    {"quote-char-rd", "\"", "Quote character - ASCII read [a character|none]", kChar, 0x3, nullptr, {ApplyKind::Numbered, 19}},  // 18
    {"max-fields", "255", "Maximum fields - ASCII read", kInteger, 0x3, nullptr, {ApplyKind::TxtMaxCols, 0}},  // 19
    {"max-width", "65534", "Maximum line width for ASCII read", kInteger, 0x3, nullptr, {ApplyKind::TxtMaxLineWidth, 0}},  // 20
    {"max-lines", "all", "Maximum number of ASCII lines to examine [a number|all]", kInteger, 0x3, nullptr, {ApplyKind::TxtLookMaxLines, 0}},  // 21
    {"decimal-point", ".", "Decimal point for ASCII", kChar, 0x3, nullptr, {ApplyKind::TxtDecimalPoint, 0}},  // 22
    {"thousands-sep", ",", "Thousands separator for ASCII", kChar, 0x3, nullptr, {ApplyKind::Txt000Punct, 0}},  // 23
    {"century-cutoff", "20", "Century-cutoff for two digit years", kInteger, 0x1, nullptr, {ApplyKind::TxtCenturyCutoff, 0}},  // 24
    {"delimiter-wr", "comma", "Write delimiter [comma|tab|space|vertbar| a character]", kChoiceOrChar | kOutputSide, 0x3, "comma,tab,space,semicolon,vertbar", {ApplyKind::Numbered, 18}},  // 25
    {"quote-char-wr", "\"", "Quote character - ASCII write [a character | none]", kChar | kOutputSide, 0x3, nullptr, {ApplyKind::Numbered, 20}},  // 26
    {"num-miss-wr", "none", "Numeric Missing  - ASCII write [a string|extended]", kText | kOutputSide, 0x3, nullptr, {ApplyKind::NaString, 2}},  // 27
    {"write-field-names", "Y", "Write field names to ASCII [Y|N]", kYesNo | kOutputSide, 0x3, nullptr, {ApplyKind::TxtWriteVnames, 0}},  // 28
    {"drop/keep", "clear", "Clear or save Drop/Keep statement [clear|save]", kChoice, 0, "clear,save", {ApplyKind::SettingsWord, 3}},  // 29
    {"wks-blank-rows", "Stop", "On Worksheet Blank Rows [stop|skip|use]", kChoice, 0x4, "stop,skip,use", {ApplyKind::Numbered, 6}},  // 30
    {"numeric-names", "N", "Write new, numeric variable names [Y|N]", kYesNo | kOutputSide, 0, nullptr, {ApplyKind::Numbered, 5}},  // 31
    {"wks-name-row", "autosense", "Fieldname row [autosense|none|first-row]", kText, 0x4, nullptr, {ApplyKind::SetWksNameRow, 0}},  // 32
    {"wks-data-range", "autosense", "Data range [autosense| a named range e.g A12:Z35]", kText, 0x104, nullptr, {ApplyKind::SetWksRangeWithName, 0}},  // 33
    {"prog-omit-paths", "N", "Omit paths from filenames in generated program files [Y|N]", kYesNo | kOutputSide, 0, nullptr, {ApplyKind::Numbered, 14}},  // 34
    {"code-comment", "N", "Comment out SAS missing value and label code [Y|N]", kYesNo | kOutputSide, 0x40, nullptr, {ApplyKind::Numbered, 69}},  // 35
    {"code-omit-header", "N", "Omit explanatory header in program files [Y|N]", kYesNo | kOutputSide, 0, nullptr, {ApplyKind::Numbered, 70}},  // 36
    {"code-header-path", "none", "Path to user-written program headers [Y|N]", kText | kOutputSide, 0, nullptr, {ApplyKind::Numbered, 71}},  // 37
    {"line-end", "native", "Line endings for text files [native,win,unix]", kChoice | kOutputSide, 0x3, "native,win,unix", {ApplyKind::Numbered, 72}},  // 38
    {"where-statement", "clear", "After transfer [clear,save] where statement", kChoice, 0, "clear,save", {ApplyKind::SettingsWord, 4}},  // 39
    {"db-log-file", "dxdb.log", "File name (and path) for database error log", kText, 0x45, nullptr, {ApplyKind::Numbered, 74}},  // 40
    {"db-log-level", "none", "Database log level [none,errors,calls]", kChoice, 0x5, "none,errors,calls", {ApplyKind::Numbered, 73}},  // 41
    {"db-table-append", "N", "Append to database table [y/n]", kYesNo | kOutputSide, 0x5, nullptr, {ApplyKind::Numbered, 75}},  // 42
    {"db-buffer-size", "0", "Buffer size for database operations", kInteger, 0x5, nullptr, {ApplyKind::Numbered, 76}},  // 43
    {"db-execute-only", "N", "Execute SQL statement only [Y|N]", kYesNo | kOutputSide, 0x5, nullptr, {ApplyKind::Numbered, 68}},  // 44
    {"auto-optimize", "Y", "Auto-Optmize target types [Y|N]", kYesNo, 0, nullptr, {ApplyKind::SettingsWord, 5}},  // 45
    {"sybase-library", "db", "Sybase library [db, ct]", kChoice, 0x5, "db,ct", {ApplyKind::Numbered, 80}},  // 46
    {"combine-delimiters", "off", "Combine ASCII Delimiters [off,spaces,spaces+tabs]", kChoice | kOutputSide, 0x3, "off,spaces,spaces+tabs", {ApplyKind::Numbered, 11}},  // 47
    {"log-level", "e", "Info about transfer process [(e)rrors,(w)arnings, (v)erbose]", kChoice, 0, "e,w,v", {ApplyKind::DictOption, 1, 1}},  // 48
    {"cat-absence-ok", "Y", "Continue processing if a catalogs is not found [Y|N]", kYesNo, 0x2, nullptr, {ApplyKind::DictOption, 1, 2}},  // 49
    {"cat-error-ok", "Y", "Continue processing on error reading SAS catalog [Y|N]", kYesNo, 0x2, nullptr, {ApplyKind::DictOption, 1, 3}},  // 50
    {"max-string-length", "32767", "Maximum string length [32767 bytes by default]", kInteger, 0, nullptr, {ApplyKind::Numbered, 83}},  // 51
    {"preseve-sas-names", "N", "Allow all characters in SAS variables names", kYesNo, 0x2, nullptr, {ApplyKind::Numbered, 84}},  // 52
    {"sas-output-code-page", "0", "the code of the encoding type for SAS output dataset(default)", kInteger | kOutputSide, 0x2, nullptr, {ApplyKind::None, 0}},  // 53
    {"set-native-caller", "N", "in case if it is a GUI or tabulon, the option has to be set( not set by default]", kYesNo, 0, nullptr, {ApplyKind::Numbered, 86}},  // 54
    {"map-user-miss", "N", "Map user missing values to extended missing [Y|N]", kYesNo | kOutputSide, 0, nullptr, {ApplyKind::Numbered, 87}},  // 55
    {"sas-outrep", "native", "SAS data representation [native|a code]", kChoice | kOutputSide, 0x2, "NATIVE,ALPHA_TRUE64,ALPHA_VMS_32,ALPHA_VMS_64,ALPHA_IA64,HP_UX_32,HP_UX_64,INTEL_ABI,LINUX_32,MIPS_ABI,OS2,RS_6000_AIX_32,RS_6000_AIX_64,SOLARIS_32,SOLARIS_64,WINDOWS_32,WINDOWS_64", {ApplyKind::SetSasStyle, 0}},  // 56
    {"UDF-cat-member", "", "Name of SAS catalog containing UDF in CPORT library", kText, 0x202, nullptr, {ApplyKind::Numbered, 89}},  // 57
    {"UDF-dat-member", "", "Name of SAS dataset containing UDF in library", kText, 0x202, nullptr, {ApplyKind::Numbered, 90}},  // 58
    {"factor-as-string", "N", "Convert r factors into strings [Y|N]", kYesNo | kOutputSide, 0x7, nullptr, {ApplyKind::Numbered, 91}},  // 59
    {"dk-coninue", "Y", "Continue if drop/keep statement has errors [Y|N]", kYesNo, 0, nullptr, {ApplyKind::Numbered, 92}},  // 60
    {"jmp-labels", "Y", "Use value labels when writing JMP [Y|N]", kYesNo | kOutputSide, 0x7, nullptr, {ApplyKind::Numbered, 93}},  // 61
    {"jmp-cust-prop", "N", "Use custom properties in JMP as variable labels [Y|N]", kYesNo | kOutputSide, 0x7, nullptr, {ApplyKind::Numbered, 94}},  // 62
    {"preserve-label-sets", "Y", "Preserve value label tags and sets [Y|N]", kYesNo, 0, nullptr, {ApplyKind::Numbered, 96}},  // 63
    {"concatenate-pages", "N", "Concatenate worksheet pages when reading [Y|N]", kYesNo, 0x104, nullptr, {ApplyKind::Numbered, 97}},  // 64
    {"wks-NA-string", "none", "NA value for reading worksheets [a string]", kText, 0x4, nullptr, {ApplyKind::Numbered, 98}},  // 65
    {"prog-preserve-widths", "N", "Preserve input variable widths in output programs [Y|N]", kYesNo, 0x107, nullptr, {ApplyKind::Numbered, 15}},  // 66
    {"mlab-datetime-as-string", "N", "Write MATLAB Date/Time values as strings [Y|N] ", kYesNo | kOutputSide, 0x7, nullptr, {ApplyKind::Numbered, 100}},  // 67
    {"in-encoding", "system", "Default input character encoding", kText, 0x8, nullptr, {ApplyKind::Numbered, 25}},  // 68
    {"out-encoding", "system", "Default output character encoding", kText | kOutputSide, 0x8, nullptr, {ApplyKind::Numbered, 26}},  // 69
    {"suppress-char-conv", "N", "If possible, do not convert characters [Y|N]", kYesNo, 0x108, nullptr, {ApplyKind::Numbered, 101}},  // 70
    {"xml-use-external-schema", "N", "Use external schema and ignore built in schema [Y|N]", kYesNo, 0x6, nullptr, {ApplyKind::Numbered, 102}},  // 71
    {"xml-val-schema-for-errors", "Y", "Validate Schema for errors [Y|N]", kYesNo, 0x6, nullptr, {ApplyKind::Numbered, 103}},  // 72
    {"xml-val-doc-for-errors", "Y", "Validate XML document for errors [Y|N]", kYesNo, 0x6, nullptr, {ApplyKind::Numbered, 104}},  // 73
    {"xml-ignore-schema-errors", "Y", "Ignore schema errors [Y|N]", kYesNo, 0x6, nullptr, {ApplyKind::Numbered, 105}},  // 74
    {"xml-ignore-doc-errors", "Y", "Ignore document errors [Y|N]", kYesNo, 0x6, nullptr, {ApplyKind::Numbered, 106}},  // 75
    {"xml-show-warnings", "Y", "Show schema parsing warnings [Y|N]", kYesNo, 0x6, nullptr, {ApplyKind::Numbered, 107}},  // 76
    {"xml-print-errors", "Y", "Show document parsing warnings [Y|N]", kYesNo, 0x6, nullptr, {ApplyKind::Numbered, 108}},  // 77
    {"xml-autosense-doc-type", "Y", "Automatically recognize input XML document [Y|N]", kYesNo, 0x6, nullptr, {ApplyKind::Numbered, 109}},  // 78
    {"skip-encode-var-names", "N", "Enable encoding variable names [Y|N]", kYesNo, 0x108, nullptr, {ApplyKind::Numbered, 110}},  // 79
    {"wks-write-vnames", "Y", "Write a fieldname row in worksheet output [Y|N]", kYesNo | kOutputSide, 0x4, nullptr, {ApplyKind::SetWksNoVnames, 0}},  // 80
    {"encoding-errors", "stop", "On encoding errors [stop|log|ignore]", kChoice, 0x8, "stop,log,ignore", {ApplyKind::Numbered, 111}},  // 81
    {"encoding-warnings", "stop", "On encoding warnings [stop|log|ignore]", kChoice, 0x8, "stop,log,ignore", {ApplyKind::Numbered, 112}},  // 82
    {"odbc-varchar-over-char", "Y", "Use varchar if it has the same length as char [Y|N]", kYesNo | kOutputSide, 0x5, nullptr, {ApplyKind::Numbered, 113}},  // 83
    {"on-encoding-error", "stop", "If output cannot be exactly encoded [stop,ignore,translate]", kChoice, 0, "stop,ignore,translate", {ApplyKind::Numbered, 114}},  // 84
    {"R-old-NA", "Y", "Write NA in R character vectors [Y|N]", kYesNo | kOutputSide, 0x7, nullptr, {ApplyKind::Numbered, 115}},  // 85
    {"odbc-null-strings", "N", "Use nulls for missing strings [Y|N]", kYesNo | kOutputSide, 0x5, nullptr, {ApplyKind::Numbered, 116}},  // 86
    {"odbc-use-datetime", "Y", "When possible, use larger datetime type [Y|N]", kYesNo | kOutputSide, 0x5, nullptr, {ApplyKind::Numbered, 117}},  // 87
    {"map-miss-with-labs", "N", "Map user-missing using variable labels [Y|N]", kYesNo | kOutputSide, 0, nullptr, {ApplyKind::Numbered, 118}},  // 88
    {"stat7-vlab-descrip", "N", "Concatenate STATISTICA 7+ value labels and descriptions", kYesNo, 0x7, nullptr, {ApplyKind::Numbered, 119}},  // 89
    {"var-case-ci", "preserve-always", "Variable naming rules for case-insensitive systems[lower,preserve-mixed,preserve-always,upper]", kChoice | kOutputSide, 0, "lower,preserve-mixed,preserve-always,upper", {ApplyKind::Numbered, 120}},  // 90
    {"var-case-cs", "preserve-mixed", "Variable naming rules for case-sensitive systems[lower,preserve-mixed,preserve-always,upper]", kChoice | kOutputSide, 0, "lower,preserve-mixed,preserve-always,upper", {ApplyKind::Numbered, 121}},  // 91
    {"xml-output-type", "tabulon", "XML output type[tabulon,oracle,sas,mssql,generic]", kChoice, 0, "tabulon,oracle,sas,mssql,generic", {ApplyKind::Numbered, 122}},  // 92
    {"enc-errors", "sub", "On encoding errors [stop|sub]", kChoice | kOutputSide, 0x8, "stop,sub", {ApplyKind::Numbered, 123}},  // 93
    {"enc-sub-char", "_", "Substitute character for encoding errors [character]", kChar | kOutputSide, 0x8, nullptr, {ApplyKind::Numbered, 124}},  // 94
    {"enc-error-limit", "100", "Maximum encoding errors before stopping [number |-1]", kInteger | kOutputSide, 0x8, nullptr, {ApplyKind::Numbered, 125}},  // 95
    {"odbc-date-rows-to-read", "10", "Number of rows to read to distinguish between DATE and TIME types [number |-1 (all)]", kInteger, 0x5, nullptr, {ApplyKind::Numbered, 126}},  // 96
    {"skip-rows", "0", "Rows to skip at top of file [number (0)]", kInteger, 0x3, nullptr, {ApplyKind::Numbered, 127}},  // 97
    {"ascii-var-labs-2nd-row", "n", "ASCII Variable labels in second row [y/n]", kYesNo, 0x3, nullptr, {ApplyKind::Numbered, 128}},  // 98
    {"rats-start-date", "01/01/2011", "User defined start date for the output RATS time series (DD/MM/YYYY)", kText | kOutputSide, 0x1, nullptr, {ApplyKind::Numbered, 129}},  // 99
    {"rats-date-var-name", "none", "Name of the date variable Tabulon has to use to determine the start date (case sensitive)", kText | kOutputSide, 0, nullptr, {ApplyKind::Numbered, 130}},  // 100
    {"rats-date-freq", "daily", "Frequency to be used in the output RATS file [daily, weekly, monthly, quarterly, annual]", kChoice | kOutputSide, 0, "daily,weekly,monthly,quarterly,annual", {ApplyKind::Numbered, 131}},  // 101
    {"rats-var-date-freq", "autosense", "Frequency to be used in the output RATS file [autosense, daily, weekly, monthly, quarterly, annual]", kChoice | kOutputSide, 0, "autosense,daily,weekly,monthly,quarterly,annual", {ApplyKind::Numbered, 132}},  // 102
    {"rats-date-var", "first", "What date variable Tabulon has to be used to determine the start date", kChoice | kOutputSide, 0, "first,specified,none", {ApplyKind::Numbered, 133}},  // 103
    {"ddi-agency", "example.org", "Agency identifier (a domain name) written into DDI XML files", kText | kOutputSide, 0x7, nullptr, {ApplyKind::Numbered, 134}},  // 104
    {"wks-read-var-labs", "n", "Read variable labels from second row [Y|N]", kYesNo, 0x4, nullptr, {ApplyKind::Numbered, 135}},  // 105
    {"preserve-str-widths", "n", "Preserve string widths if possible [Y|N]", kYesNo, 0, nullptr, {ApplyKind::Numbered, 136}},  // 106
    {"gretl-row-label-var-name", "none", "Name of the string or date variable Tabulon to use as the row labels (case sensitive)", kText | kOutputSide, 0x200, nullptr, {ApplyKind::Numbered, 137}},  // 107
    {"gretl-row-label-var", "first", "Which string or date variable Tabulon to be used as row labels", kChoice | kOutputSide, 0x200, "first,none,specified", {ApplyKind::Numbered, 138}},  // 108
    {"wks-write-var-labs", "n", "Write variable labels in the second row of worksheets [Y|N]", kYesNo | kOutputSide, 0x4, nullptr, {ApplyKind::Numbered, 139}},  // 109
    {"stata-strl-threshold", "32", "Strings longer than this value will be written into Stata strl's", kInteger | kOutputSide, 0x7, nullptr, {ApplyKind::Numbered, 140}},  // 110
    {"disable-opt-rec-count", "N", "Disable comparison between the number of optimized and transferred records", kYesNo | kOutputSide, 0, nullptr, {ApplyKind::Numbered, 141}},  // 111
    {"preserve-num-widths", "n", "Preserve numeric widths if possible [Y|N]", kYesNo, 0, nullptr, {ApplyKind::Numbered, 142}},  // 112
    {"ascii-blank-rows", "Use", "On ASCII Blank Rows [stop|skip|use]", kChoice, 0x3, "stop,skip,use", {ApplyKind::Numbered, 143}},  // 113
    {"read-ext-attr-name", "%ipath%/%iname%.sas7bxat", "Filename for SAS external attributes", kText, 0x2, nullptr, {ApplyKind::Numbered, 145}},  // 114
    {"read-sas-ext-attr", "N", "Read SAS external attributes [Y|N]", kYesNo, 0x2, nullptr, {ApplyKind::Numbered, 144}},  // 115
    {"use-input-dec", "N", "Honor input decimal places  [Y|N]", kYesNo, 0x3, nullptr, {ApplyKind::Numbered, 146}},  // 116
    {"wks-style-sheet", "built-in", "Style sheet of Excel workbook output [built-in| path of an .xls file]", kText | kOutputSide, 0x4, nullptr, {ApplyKind::Numbered, 147}},  // 117
    {"spss-compression", "auto", "Compression of SPSS system file output [auto|bytecode|zlib]", kChoice | kOutputSide, 0, "auto,bytecode,zlib", {ApplyKind::Numbered, 79}},  // 118
};
// clang-format on

OptionEntry make_entry(const OptionRow& r) {
  return OptionEntry{r.keyword, r.default_text, r.description, r.flags, 0, r.group, r.choices, nullptr, 0};
}

struct OptionTable {
  OptionEntry entries[kOptionCount];
  // Copies the table made; the host may have replaced an entry's pointer with its own.
  char* owned_text[kOptionCount] = {};
  char* owned_current[kOptionCount] = {};

  OptionTable() {
    for (int i = 0; i < kOptionCount; ++i) entries[i] = make_entry(kRows[i]);
  }
  ~OptionTable() {
    for (int i = 0; i < kOptionCount; ++i) {
      std::free(owned_text[i]);
      std::free(owned_current[i]);
    }
  }
};

OptionTable g_options;

char* dup_text(const char* s) {
  size_t n = std::strlen(s);
  char* p = static_cast<char*>(std::malloc(n + 1));
  if (p) std::memcpy(p, s, n + 1);
  return p;
}

// Replaces an owned copy: a pointer the host put in the entry is left to the host.
void replace_owned(const char*& field, char*& owned, const char* text) {
  char* fresh = dup_text(text);
  if (field == owned) field = nullptr;
  std::free(owned);
  owned = fresh;
  field = fresh;
}

int32_t parse_int_prefix(const char* s) {
  while (*s == ' ' || *s == '\t') ++s;
  if (*s == '+') ++s;
  long long v = 0;
  auto [p, ec] = std::from_chars(s, s + std::strlen(s), v);
  if (ec != std::errc() || p == s) return 0;
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(v);
}

}  // namespace

OptionEntry* option_entry(int index) {
  if (index < 0 || index >= kOptionCount) return nullptr;
  return &g_options.entries[index];
}

const OptionApply& option_apply_of(int index) { return kRows[index].apply; }

const char* option_entry_text(const OptionEntry& e) {
  if ((e.flags & kText) && e.choices) return e.choices;
  return e.current_text;
}

bool list_item(const char* choices, int k, const char** begin, size_t* len) {
  if (!choices || k < 0) return false;
  const char* p = choices;
  for (int i = 0;; ++i) {
    while (*p == ',') ++p;
    if (!*p) return false;
    const char* start = p;
    while (*p && *p != ',') ++p;
    if (i == k) {
      *begin = start;
      *len = static_cast<size_t>(p - start);
      return true;
    }
  }
}

int32_t enum_type(const char* choices, const char* text) {
  if (!choices || !text) return -1;
  size_t tlen = std::strlen(text);
  const char* item;
  size_t len;
  for (int k = 0; list_item(choices, k, &item, &len); ++k) {
    if (len == tlen && strncasecmp(item, text, len) == 0) return k;
  }
  return -1;
}

int32_t yesno(const char* text) {
  if (!text) return 2;
  if (strcasecmp(text, "true") == 0) return 1;
  if (strcasecmp(text, "false") == 0) return 0;
  if (text[0] == 'y' || text[0] == 'Y') return 1;
  if (text[0] == 'n' || text[0] == 'N') return 0;
  return 2;
}

void option_table_reset() {
  for (int i = 0; i < kOptionCount; ++i) {
    OptionEntry& e = g_options.entries[i];
    if ((e.flags & kOptLoaded) && (e.flags & kKeepOnReset)) continue;
    const char* def = e.default_text ? e.default_text : "";
    if (e.flags & kYesNo) {
      e.value = yesno(def);
    } else if (e.flags & kText) {
      replace_owned(e.choices, g_options.owned_text[i], def);
      e.flags |= kTextChanged;
    } else if (e.flags & kChoiceOrChar) {
      int32_t k = enum_type(e.choices, def);
      e.value = k >= 0 ? k : static_cast<unsigned char>(def[0]);
    } else if (e.flags & kChoice) {
      int32_t k = enum_type(e.choices, def);
      if (k < 0) continue;  // a default outside its choices stays unloaded
      e.value = k;
    } else if (e.flags & kInteger) {
      e.value = parse_int_prefix(def);
    } else if (e.flags & kChar) {
      e.value = strcasecmp(def, "none") == 0 ? 0 : static_cast<unsigned char>(def[0]);
    }
    replace_owned(e.current_text, g_options.owned_current[i], def);
    e.flags |= kOptLoaded;
  }
}

}  // namespace tabulon

using namespace tabulon;

static_assert(sizeof(DX_OptionEntry) == sizeof(OptionEntry) &&
                  offsetof(DX_OptionEntry, current_text) == offsetof(OptionEntry, current_text),
              "the public option entry must match the table's layout");

DX_EXPORT DX_OptionEntry* dxi_get_opt(int32_t index) {
  return reinterpret_cast<DX_OptionEntry*>(option_entry(index));
}

// The host's error buffers hold at least this many bytes.
constexpr size_t kSetErrorSize = 256;

DX_EXPORT int32_t dxi_yesno(const char* text, char* errorBuffer) {
  if (errorBuffer) errorBuffer[0] = '\0';
  int32_t r = yesno(text);
  if (r > 1 && errorBuffer) {
    std::snprintf(errorBuffer, kSetErrorSize, "Invalid paramater in 'set' command: %s", text ? text : "");
  }
  return r;
}

DX_EXPORT char* dxi_list_lchoice(const char* choices, int32_t k, char* out) {
  if (!out) return out;
  out[0] = '\0';
  const char* item;
  size_t len;
  if (list_item(choices, k, &item, &len)) {
    if (len > 20) len = 20;
    std::memcpy(out, item, len);
    out[len] = '\0';
  }
  return out;
}

DX_EXPORT int32_t dxi_enum_type(const char* choices, const char* text) { return enum_type(choices, text); }
