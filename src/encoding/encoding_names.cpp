#include "encoding/encoding_names.h"

#include <strings.h>

#include <cstring>

#include "encoding/transcode.h"

namespace tabulon {

namespace {

// Row order matters: lookups stop at the first match, and a group's first row is its
// canonical name. Some names appear in more than one group on purpose.
const EncodingRow kSingleByte[] = {
    {"ASCII", 28, "ansi"},
    {"CSASCII", 28, "ansi"},
    {"US-ASCII", 28, "ansi"},
    {"US", 28, "ansi"},
    {"ISO_646.IRV:1991", 28, "ansi"},
    {"ISO646-US", 28, "ansi"},
    {"646", 28, "ansi"},
    {"ISO-IR-6", 28, "ansi"},
    {"IBM367", 28, "ansi"},
    {"CP367", 28, "ansi"},
    {"ANSI_X3.4-1986", 28, "ansi"},
    {"ANSI_X3.4-1968", 28, "ansi"},
    {"ISO-8859-1", 29, "lat1"},
    {"CSISOLATIN1", 29, "lat1"},
    {"LATIN1", 29, "lat1"},
    {"L1", 29, "lat1"},
    {"ISO_8859-1:1987", 29, "lat1"},
    {"ISO8859-1", 29, "lat1"},
    {"ISO-IR-100", 29, "lat1"},
    {"ISO-8859-1", 29, "lat1"},
    {"IBM819", 29, "lat1"},
    {"CP819", 29, "lat1"},
    {"ISO-8859-15", 40, "lat9"},
    {"LATIN-9", 40, "lat9"},
    {"ISO_8859-15:1998", 40, "lat9"},
    {"ISO_8859-15", 40, "lat9"},
    {"ISO8859-15", 40, "lat9"},
    {"ISO-IR-203", 40, "lat9"},
    {"IBM850", 42, "p850"},
    {"CSPC850MULTILINGUAL", 42, "p850"},
    {"CP850", 42, "p850"},
    {"850", 42, "p850"},
    {"WINDOWS-1252", 62, "wlt1"},
    {"MS-ANSI", 62, "wlt1"},
    {"CP1252", 62, "wlt1"},
    {"ISO-8859-7", 35, "grek"},
    {"CSISOLATINGREEK", 35, "grek"},
    {"ISO_8859-7:1987", 35, "grek"},
    {"ISO_8859-7", 35, "grek"},
    {"ISO-IR-126", 35, "grek"},
    {"ISO-8859-7", 35, "grek"},
    {"GREEK8", 35, "grek"},
    {"GREEK", 35, "grek"},
    {"ELOT_928", 35, "grek"},
    {"ECMA-118", 35, "grek"},
    {"WINDOWS-1253", 63, "wgrk"},
    {"MS-GREEK", 63, "wgrk"},
    {"CP1253", 63, "wgrk"},
    {"ISO-8859-10", 38, "lat6"},
    {"CSISOLATIN6", 38, "lat6"},
    {"LATIN6", 38, "lat6"},
    {"L6", 38, "lat6"},
    {"ISO_8859-10:1992", 38, "lat6"},
    {"ISO_8859-10", 38, "lat6"},
    {"ISO8859-10", 38, "lat6"},
    {"ISO-IR-157", 38, "lat6"},
    {"WINDOWS-1257", 67, "wbal"},
    {"WINBALTRIM", 67, "wbal"},
    {"CP1257", 67, "wbal"},
    {"ISO-8859-2", 30, "lat2"},
    {"CSISOLATIN2", 30, "lat2"},
    {"LATIN2", 30, "lat2"},
    {"L2", 30, "lat2"},
    {"ISO_8859-2:1987", 30, "lat2"},
    {"ISO_8859-2", 30, "lat2"},
    {"ISO8859-2", 30, "lat2"},
    {"ISO-IR-101", 30, "lat2"},
    {"IBM852", 43, "p852"},
    {"CSPCP852", 43, "p852"},
    {"CP852", 43, "p852"},
    {"852", 43, "p852"},
    {"WINDOWS-1250", 60, "wlt2"},
    {"MS-EE", 60, "wlt2"},
    {"CP1250", 60, "wlt2"},
    {"ISO-8859-5", 33, "cyrl"},
    {"CSISOLATINCYRILLIC", 33, "cyrl"},
    {"ISO_8859-5:1988", 33, "cyrl"},
    {"ISO_8859-5", 33, "cyrl"},
    {"ISO8859-5", 33, "cyrl"},
    {"ISO-IR-144", 33, "cyrl"},
    {"CYRILLIC", 33, "cyrl"},
    {"WINDOWS-1251", 61, "wcyr"},
    {"MS-CYRL", 61, "wcyr"},
    {"CP1251", 61, "wcyr"},
    {"CP866", 49, "p866"},
    {"CSIBM866", 49, "p866"},
    {"IBM866", 49, "p866"},
    {"866", 49, "p866"},
    {"TIS-620", 39, "thai"},
    {"TIS620.2533-1", 39, "thai"},
    {"TIS620.2533-0", 39, "thai"},
    {"TIS620.2529-1", 39, "thai"},
    {"TIS620-0", 39, "thai"},
    {"TIS620", 39, "thai"},
    {"ISO-IR-166", 39, "thai"},
    {"ISO-8859-11", 39, "thai"},
    {"CP874", 51, "p874"},
    {"CSISOLATIN5", 37, "lat5"},
    {"LATIN5", 37, "lat5"},
    {"L5", 37, "lat5"},
    {"ISO_8859-9:1989", 37, "lat5"},
    {"ISO_8859-9", 37, "lat5"},
    {"ISO8859-9", 37, "lat5"},
    {"ISO-8859-9", 37, "lat5"},
    {"ISO-IR-148", 37, "lat5"},
    {"CSIBM857", 44, "p857"},
    {"IBM857", 44, "p857"},
    {"CP857", 44, "p857"},
    {"857", 44, "p857"},
    {"WINDOWS-1254", 64, "wtur"},
    {"MS-TURK", 64, "wtur"},
    {"CP1254", 64, "wtur"},
    {"CP1129", 54, "pvie"},
    {"VPS", 68, "wvie"},
    {"WINDOWS-1258", 68, "wvie"},
    {"CP1258", 68, "wvie"},
    {"ISO-8859-6", 34, "arab"},
    {"CSISOLATINARABIC", 34, "arab"},
    {"ISO_8859-6:1987", 34, "arab"},
    {"ISO_8859-6", 34, "arab"},
    {"ISO8859-6", 34, "arab"},
    {"ISO-IR-127", 34, "arab"},
    {"ECMA-114", 34, "arab"},
    {"ASMO-708", 34, "arab"},
    {"ARABIC", 34, "arab"},
    {"WINDOWS-1256", 66, "wara"},
    {"MS-ARAB", 66, "wara"},
    {"CP1256", 66, "wara"},
    {"ISO-8859-8", 36, "hebr"},
    {"CSISOLATINHEBREW", 36, "hebr"},
    {"ISO_8859-8:1988", 36, "hebr"},
    {"ISO_8859-8", 36, "hebr"},
    {"ISO8859-8", 36, "hebr"},
    {"ISO-IR-138", 36, "hebr"},
    {"HEBREW", 36, "hebr"},
    {"IBM864", 47, "p864"},
    {"CSIBM864", 47, "p864"},
    {"CP864", 47, "p864"},
    {"WINDOWS-1255", 65, "wheb"},
    {"MS-HEBR", 65, "wheb"},
    {"CP1255", 65, "wheb"},
    {"IBM862", 46, "p862"},
    {"CSPC862LATINHEBREW", 46, "p862"},
    {"CP862", 46, "p862"},
    {"862", 46, "p862"},
    {"MACROMAN", -1, nullptr},
    {"CSMACINTOSH", -1, nullptr},
    {"MACINTOSH", -1, nullptr},
    {"MAC", -1, nullptr},
    {"ISO-8859-14", -1, nullptr},
    {"LATIN8", -1, nullptr},
    {"L8", -1, nullptr},
    {"ISO_8859-14:1998", -1, nullptr},
    {"ISO_8859-14", -1, nullptr},
    {"ISO8859-14", -1, nullptr},
    {"ISO-IR-199", -1, nullptr},
    {"ISO-CELTIC", -1, nullptr},
    {"MACGREEK", -1, nullptr},
    {"MACICELAND", -1, nullptr},
    {"ISO-8859-3", -1, nullptr},
    {"CSISOLATIN3", -1, nullptr},
    {"LATIN3", -1, nullptr},
    {"L3", -1, nullptr},
    {"ISO_8859-3:1988", -1, nullptr},
    {"ISO_8859-3", -1, nullptr},
    {"ISO8859-3", -1, nullptr},
    {"ISO-IR-109", -1, nullptr},
    {"ISO-8859-4", -1, nullptr},
    {"CSISOLATIN4", -1, nullptr},
    {"LATIN4", -1, nullptr},
    {"L4", -1, nullptr},
    {"ISO_8859-4:1988", -1, nullptr},
    {"ISO_8859-4", -1, nullptr},
    {"ISO8859-4", -1, nullptr},
    {"ISO-IR-110", -1, nullptr},
    {"ISO-8859-13", -1, nullptr},
    {"LATIN7", -1, nullptr},
    {"L7", -1, nullptr},
    {"ISO_8859-13", -1, nullptr},
    {"ISO8859-13", -1, nullptr},
    {"ISO-IR-179", -1, nullptr},
    {"ISO-8859-13", -1, nullptr},
    {"MACCENTRALEUROPE", -1, nullptr},
    {"MACCROATIAN", -1, nullptr},
    {"IBM855", -1, nullptr},
    {"CSIBM855", -1, nullptr},
    {"CP855", -1, nullptr},
    {"855", -1, nullptr},
    {"KOI8-R", -1, nullptr},
    {"CSKOI8R", -1, nullptr},
    {"MACCYRILLIC", -1, nullptr},
    {"KOI8-U", -1, nullptr},
    {"CSKOI8R", -1, nullptr},
    {"MACUKRAINIAN", -1, nullptr},
    {"ISO-8859-16", -1, nullptr},
    {"LATIN10", -1, nullptr},
    {"L10", -1, nullptr},
    {"ISO_8859-16:2001", -1, nullptr},
    {"ISO_8859-16", -1, nullptr},
    {"ISO8859-16", -1, nullptr},
    {"ISO-IR-226", -1, nullptr},
    {"MACROMANIAN", -1, nullptr},
    {"ARMSCII-8", -1, nullptr},
    {"GEORGIAN-ACADEMY", -1, nullptr},
    {"MACTURKISH", -1, nullptr},
    {"TCVN", -1, nullptr},
    {"VISCII", -1, nullptr},
    {"CSVISCII", -1, nullptr},
    {"VISCII1.1-1", -1, nullptr},
    {"MACARABIC", -1, nullptr},
    {"MACHEBREW", -1, nullptr},
    {"WINDOWS-874", -1, nullptr},
    {nullptr, -1, nullptr},
};

const EncodingRow kMultiByte[] = {
    {"CP936", 126, "zwin"},
    {"WINDOWS-936", 126, "zwin"},
    {"MS936", 126, "zwin"},
    {"GBK", 126, "zwin"},
    {"GB2312", 126, "zwin"},
    {"CSISO58GB231280", 126, "zwin"},
    {"ISO-IR-58", 126, "zwin"},
    {"GB_2312-80", 126, "zwin"},
    {"CHINESE", 126, "zwin"},
    {"ISO-2022-CN", 123, "big5"},
    {"CP950", 118, "ywin"},
    {"windows-950", 118, "ywin"},
    {"ms-950", 118, "ywin"},
    {"ms950", 118, "ywin"},
    {"CSBIG5", 123, "big5"},
    {"CN-BIG5", 123, "big5"},
    {"BIGFIVE", 123, "big5"},
    {"BIG5", 123, "big5"},
    {"BIG-FIVE", 123, "big5"},
    {"BIG-5", 123, "big5"},
    {"BIG5HKSCS", 123, "big5"},
    {"BIG5-HKSCS", 123, "big5"},
    {"EUC-TW", 123, "yeuc"},
    {"CSEUCTW", 123, "yeuc"},
    {"EUCTW", 123, "yeuc"},
    {"EUC-JP", -1, "jeuc"},
    {"CSEUCPKDFMTJAPANESE", -1, "jeuc"},
    {"EXTENDED_UNIX_CODE_PACKED_FORMAT_FOR_JAPANESE", -1, "jeuc"},
    {"EUCJP", -1, "jeuc"},
    {"EUC-JP", -1, "jeuc"},
    {"ISO-2022-JP", 133, "jvms"},
    {"CSISO2022JP", 133, "jvms"},
    {"ISO-2022-JP", 133, "jvms"},
    {"CSSHIFTJIS", 138, "sjis"},
    {"SJIS", 138, "sjis"},
    {"SHIFT_JIS", 138, "sjis"},
    {"SHIFT-JIS", 138, "sjis"},
    {"MS_KANJI", 138, "sjis"},
    {"CP932", 136, "j932"},
    {"EUC-KR", 140, "keuc"},
    {"CSEUCKR", 140, "keuc"},
    {"EUCKR", 140, "keuc"},
    {"EUC-KR", 140, "keuc"},
    {"UHC", 141, "kwin"},
    {"CP949", 141, "kwin"},
    {"EUC-CN", 133, "zeuc"},
    {"CSGB2312", 133, "zeuc"},
    {"GB2312", 133, "zeuc"},
    {"EUCCN", 133, "zeuc"},
    {"CN-GB", 133, "zeuc"},
    {"EUC-CN", 125, "zeuc"},
    {"CSGB2312", 125, "zeuc"},
    {"GB2312", 125, "zeuc"},
    {"EUCCN", 125, "zeuc"},
    {"CN-GB", 125, "zeuc"},
    {"GB18030", -1, nullptr},
    {"HZ", -1, ""},
    {"HZ-GB-2312", -1, nullptr},
    {"CSISO2022JP", -1, nullptr},
    {"ISO-2022-JP", -1, nullptr},
    {"JOHAB", -1, nullptr},
    {"JOHAB", -1, nullptr},
    {"CP1361", -1, nullptr},
    {"ISO-2022-KR", -1, nullptr},
    {"CSISO2022KR", -1, nullptr},
    {"ISO-2022-KR", -1, nullptr},
    {"ISO-2022-JP", -1, nullptr},
    {"CSISO2022JP", -1, nullptr},
    {"ISO-2022-JP-1", -1, nullptr},
    {"ISO-2022-JP-2", -1, nullptr},
    {"CSISO2022JP2", -1, nullptr},
    {"ISO-2022-CN", -1, nullptr},
    {"CSISO2022CN", -1, nullptr},
    {"ISO-2022-CN-EXT", -1, nullptr},
    {nullptr, -1, nullptr},
};

const EncodingRow kUnicode[] = {
    {"UTF-8", 20, "utf8"},     {"UCS-2", 20, nullptr},    {"UCS-2BE", 20, "u16b"},
    {"UCS-2LE", 20, "u16l"},   {"UCS-4", 20, nullptr},    {"UCS-4BE", 20, "u32b"},
    {"UTF-16", 20, nullptr},   {"UTF-16BE", 20, "u16b"},  {"UTF-16LE", 20, "u16l"},
    {"UTF-32", 20, nullptr},   {"UTF-32LE", 20, "u32l"},  {"UTF-32BE", 20, "u32b"},
    {nullptr, -1, nullptr},
};

const EncodingRow* const kTables[3] = {kSingleByte, kMultiByte, kUnicode};

bool same_group(const EncodingRow& a, const EncodingRow& b) {
  if (a.sas_number != b.sas_number) return false;
  if (!a.short_name || !b.short_name) return a.short_name == b.short_name;
  return strcmp(a.short_name, b.short_name) == 0;
}

}  // namespace

const EncodingRow* encoding_table(EncodingTable which) { return kTables[which]; }

const EncodingRow* find_encoding(const char* name, EncodingTable* table) {
  if (!name || !*name) return nullptr;
  for (int t = 0; t < 3; ++t) {
    for (const EncodingRow* r = kTables[t]; r->name; ++r) {
      if (strcasecmp(r->name, name) == 0) {
        if (table) *table = static_cast<EncodingTable>(t);
        return r;
      }
    }
  }
  return nullptr;
}

const char* group_first_name(const EncodingRow* row) {
  if (!row) return nullptr;
  // Walk back while the previous row belongs to the same group; the first row of every table
  // starts a group, and a table never begins in the middle of one.
  for (int t = 0; t < 3; ++t) {
    const EncodingRow* base = kTables[t];
    const EncodingRow* end = base;
    while (end->name) ++end;
    if (row < base || row >= end) continue;
    // The Unicode table: every row is its own group apart from the shared number. Rows with
    // neither number nor short name gather unrelated encodings (KOI8-R beside MACROMAN): each
    // stands for itself, or a user's KOI8-U would become Mac Roman.
    if (t == kTableUnicode || (row->sas_number == -1 && !row->short_name)) return row->name;
    const EncodingRow* r = row;
    while (r > base && same_group(r[-1], *row)) --r;
    return r->name;
  }
  return row->name;
}

std::string iconv_name_for_option(const char* option) {
  if (!option || !*option) return std::string();
  if (strcasecmp(option, "CHAR") == 0 || strcasecmp(option, "system") == 0) return system_charset();
  if (strcasecmp(option, "utf-8") == 0) return "utf-8";
  const EncodingRow* row = find_encoding(option);
  return row ? group_first_name(row) : std::string();
}

std::string name_from_sas_number(int32_t number, bool* found) {
  if (found) *found = true;
  if (number == 0) return "CHAR";
  for (int t = 0; t < 3; ++t)
    for (const EncodingRow* r = kTables[t]; r->name; ++r)
      if (r->sas_number == number) return r->name;
  if (found) *found = false;
  return std::string();
}

std::string name_from_sas_short_name(const char* short_name, bool* found) {
  if (found) *found = true;
  if (!short_name) return "CHAR";
  for (int t = 0; t < 3; ++t)
    for (const EncodingRow* r = kTables[t]; r->name; ++r)
      if (r->short_name && strcasecmp(r->short_name, short_name) == 0) return r->name;
  if (found) *found = false;
  return std::string();
}

}  // namespace tabulon
