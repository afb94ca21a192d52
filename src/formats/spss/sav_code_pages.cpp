// Character codes of the machine-integer record and the encoding names they stand for.
#include "formats/spss/sav_reader.h"

namespace tabulon {

namespace {

struct CodePage {
  int32_t low, high;  // a single code has low == high
  const char* name;   // null: each code of the span has a name of its own (numbered_name)
  bool numbered;
};

constexpr CodePage kPages[] = {
    {37, 37, "Cp037", false},           {437, 437, "Cp437", false},
    {500, 500, "Cp500", false},         {708, 710, "Cp420", false},
    {720, 720, "Cp420", false},         {737, 737, "Cp737", false},
    {775, 775, "Cp775", false},         {850, 850, "Cp850", false},
    {852, 852, "Cp852", false},         {855, 855, "Cp855", false},
    {857, 857, "Cp857", false},         {858, 858, "Cp858", false},
    {860, 866, nullptr, true},             {869, 869, "Cp869", false},
    {870, 870, "Cp870", false},         {874, 874, "Cp874", false},
    {875, 875, "Cp875", false},         {932, 932, "Shift_JIS", false},
    {936, 936, "windows-936", false},   {949, 949, "Cp949", false},
    {950, 950, "Cp950", false},         {1026, 1026, "Cp1026", false},
    {1140, 1149, nullptr, true},           {1200, 1200, "UTF-16LE", false},
    {1201, 1201, "UTF-16BE", false},    {1250, 1258, nullptr, true},
    {10000, 10000, "MacRoman", false},  {10004, 10004, "MacArabic", false},
    {10005, 10005, "MacHebrew", false}, {10006, 10006, "MacGreek", false},
    {10007, 10007, "MacCyrillic", false}, {10010, 10010, "MacRomania", false},
    {10017, 10017, "MacUkraine", false}, {10021, 10021, "MacThai", false},
    {10029, 10029, "MacCentralEurope", false}, {10079, 10079, "MacIceland", false},
    {10081, 10081, "MacTurkish", false}, {10082, 10082, "MacCroatian", false},
    {20000, 20000, "ISO-2022-CN-CNS", false}, {20001, 20001, "Cp950", false},
    {20127, 20127, "US-ASCII", false},  {20273, 20273, "Cp273", false},
    {20277, 20277, "Cp277", false},     {20278, 20278, "Cp278", false},
    {20280, 20280, "Cp280", false},     {20284, 20284, "Cp284", false},
    {20285, 20285, "Cp285", false},     {20290, 20290, "Cp942", false},
    {20297, 20297, "Cp297", false},     {20420, 20420, "Cp420", false},
    {20423, 20423, "Cp875", false},     {20424, 20424, "Cp424", false},
    {20833, 20833, "Cp970", false},     {20838, 20838, "Cp874", false},
    {20866, 20866, "KOI8-R", false},    {20871, 20871, "Cp871", false},
    {20880, 20880, "Cp855", false},     {20905, 20905, "Cp857", false},
    {20932, 20932, "EUC-JP", false},    {20936, 20936, "EUC-CN", false},
    {21025, 21025, "Cp1025", false},    {21866, 21866, "KOI8-R", false},
    {28591, 28591, "ISO-8859-1", false}, {28592, 28599, nullptr, true},
    {28605, 28605, "ISO-8859-15", false}, {38598, 38598, "ISO-8859-8", false},
    {50222, 50222, "ISO-2022-JP", false}, {50225, 50225, "ISO-2022-KR", false},
    {50227, 50227, "ISO-2022-CN-GB", false}, {50229, 50229, "ISO-2022-CN-CNS", false},
    {50930, 50930, "Cp930", false},     {50931, 50931, "Cp942", false},
    {50933, 50933, "Cp933", false},     {50935, 50935, "Cp935", false},
    {50936, 50936, "windows-936", false}, {50937, 50937, "Cp937", false},
    {50939, 50939, "Cp939", false},     {51932, 51932, "EUC-JP", false},
    {51936, 51936, "EUC-CN", false},    {51949, 51949, "EUC-KR", false},
    {51950, 51950, "EUC-TW", false},    {52936, 52936, "EUC-CN", false},
    {54936, 54936, "GB18030", false},   {57002, 57011, "ISCII91", false},
    {65001, 65001, "UTF-8", false},
};

// Names of the numbered spans: "Cp860".."Cp866", "Cp1140".."Cp1149", "windows-1250"..
// "windows-1258", "ISO-8859-2".."ISO-8859-9".
const char* numbered_name(int32_t code) {
  static const char* const kCp86x[] = {"Cp860", "Cp861", "Cp862", "Cp863", "Cp864", "Cp865", "Cp866"};
  static const char* const kCp114x[] = {"Cp1140", "Cp1141", "Cp1142", "Cp1143", "Cp1144",
                                        "Cp1145", "Cp1146", "Cp1147", "Cp1148", "Cp1149"};
  static const char* const kWin[] = {"windows-1250", "windows-1251", "windows-1252", "windows-1253", "windows-1254",
                                     "windows-1255", "windows-1256", "windows-1257", "windows-1258"};
  static const char* const kIso[] = {"ISO-8859-2", "ISO-8859-3", "ISO-8859-4", "ISO-8859-5",
                                     "ISO-8859-6", "ISO-8859-7", "ISO-8859-8", "ISO-8859-9"};
  if (code >= 860 && code <= 866) return kCp86x[code - 860];
  if (code >= 1140 && code <= 1149) return kCp114x[code - 1140];
  if (code >= 1250 && code <= 1258) return kWin[code - 1250];
  if (code >= 28592 && code <= 28599) return kIso[code - 28592];
  return "CHAR";
}

}  // namespace

const char* sav_code_page_name(int32_t code) {
  for (const CodePage& p : kPages)
    if (code >= p.low && code <= p.high) return p.numbered ? numbered_name(code) : p.name;
  return "CHAR";
}

}  // namespace tabulon
