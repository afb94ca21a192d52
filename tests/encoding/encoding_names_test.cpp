#include <gtest/gtest.h>

#include <string>

#include "encoding/encoding_names.h"
#include "encoding/iconv_api.h"
#include "encoding/transcode.h"

namespace tabulon {
namespace {

int rows(EncodingTable t) {
  int n = 0;
  for (const EncodingRow* r = encoding_table(t); r->name; ++r) ++n;
  return n;
}

TEST(EncodingTables, RowCounts) {
  EXPECT_EQ(rows(kTableSingleByte), 212);
  EXPECT_EQ(rows(kTableMultiByte), 74);
  EXPECT_EQ(rows(kTableUnicode), 12);
}

// Names listed in several groups resolve to the first group that lists them.
TEST(EncodingTables, FirstMatchWins) {
  struct Case {
    const char* name;
    EncodingTable table;
    int number;
    const char* short_name;
  } cases[] = {
      {"gb2312", kTableMultiByte, 126, "zwin"},       // also in both zeuc groups
      {"EUC-CN", kTableMultiByte, 133, "zeuc"},       // the 133 group comes before the 125 one
      {"iso-2022-jp", kTableMultiByte, 133, "jvms"},  // also in the last group
      {"ISO-2022-CN", kTableMultiByte, 123, "big5"},  // first row of the multi-byte big5 group
      {"windows-1252", kTableSingleByte, 62, "wlt1"},
      {"latin1", kTableSingleByte, 29, "lat1"},
      {"ISO-8859-9", kTableSingleByte, 37, "lat5"},
      {"CSKOI8R", kTableSingleByte, -1, nullptr},
      {"HZ", kTableMultiByte, -1, ""},
      {"utf-16le", kTableUnicode, 20, "u16l"},
      {"UCS-4", kTableUnicode, 20, nullptr},
  };
  for (const Case& c : cases) {
    EncodingTable t;
    const EncodingRow* r = find_encoding(c.name, &t);
    ASSERT_NE(r, nullptr) << c.name;
    EXPECT_EQ(t, c.table) << c.name;
    EXPECT_EQ(r->sas_number, c.number) << c.name;
    if (c.short_name) {
      ASSERT_NE(r->short_name, nullptr) << c.name;
      EXPECT_STREQ(r->short_name, c.short_name) << c.name;
    } else {
      EXPECT_EQ(r->short_name, nullptr) << c.name;
    }
  }
  EXPECT_EQ(find_encoding("cp9999"), nullptr);
  EXPECT_EQ(find_encoding(""), nullptr);
}

TEST(EncodingTables, OptionNamesNormalizeToTheGroupsFirstName) {
  struct Case {
    const char* option;
    std::string expected;
  } cases[] = {
      {"latin1", "ISO-8859-1"},   {"CP1252", "WINDOWS-1252"}, {"ms-ansi", "WINDOWS-1252"},
      {"gb2312", "CP936"},        {"EUCCN", "EUC-CN"},        {"big5-hkscs", "CSBIG5"},
      {"ms950", "CP950"},         {"L2", "ISO-8859-2"},       {"utf-8", "utf-8"},
      {"UTF-16BE", "UTF-16BE"},   {"KOI8-U", "KOI8-U"},     {"no-such-cp", ""},
      {"system", system_charset()}, {"CHAR", system_charset()},
  };
  for (const Case& c : cases) EXPECT_EQ(iconv_name_for_option(c.option), c.expected) << c.option;
}

TEST(EncodingTables, ReverseLookups) {
  struct Num {
    int number;
    const char* name;
    bool found;
  } nums[] = {{0, "CHAR", true},          {29, "ISO-8859-1", true},  {62, "WINDOWS-1252", true},
              {123, "ISO-2022-CN", true}, {133, "ISO-2022-JP", true}, {20, "UTF-8", true},
              {999, "", false}};
  for (const Num& n : nums) {
    bool found = false;
    EXPECT_EQ(name_from_sas_number(n.number, &found), n.name) << n.number;
    EXPECT_EQ(found, n.found) << n.number;
  }
  struct Short {
    const char* short_name;
    const char* name;
    bool found;
  } shorts[] = {{nullptr, "CHAR", true}, {"wlt1", "WINDOWS-1252", true}, {"u16l", "UCS-2LE", true},
                {"big5", "ISO-2022-CN", true}, {"", "HZ", true}, {"zzzz", "", false}};
  for (const Short& s : shorts) {
    bool found = false;
    EXPECT_EQ(name_from_sas_short_name(s.short_name, &found), s.name) << (s.short_name ? s.short_name : "(null)");
    EXPECT_EQ(found, s.found);
  }
}

// The system encoding is the locale's character set; the C/POSIX locale stands for UTF-8.
TEST(SystemCharset, FollowsTheLocaleVariables) {
  const char* saved[3] = {getenv("LC_ALL"), getenv("LC_CTYPE"), getenv("LANG")};
  std::string keep[3];
  for (int i = 0; i < 3; ++i)
    if (saved[i]) keep[i] = saved[i];
  struct Case {
    const char* lc_all;
    const char* expected;
  } cases[] = {{"C", "UTF-8"}, {"POSIX", "UTF-8"}, {"C.UTF-8", "UTF-8"},
               {"xx_YY.KOI8-R", "KOI8-R"},        // not installed: taken from the name
               {"xx_YY.ISO-8859-2@euro", "ISO-8859-2"}};
  unsetenv("LC_CTYPE");
  unsetenv("LANG");
  for (const Case& c : cases) {
    setenv("LC_ALL", c.lc_all, 1);
    EXPECT_EQ(locale_charset_now(), c.expected) << c.lc_all;
  }
  unsetenv("LC_ALL");
  setenv("LANG", "xx_YY.BIG5", 1);
  EXPECT_EQ(locale_charset_now(), "BIG5");
  const char* names[3] = {"LC_ALL", "LC_CTYPE", "LANG"};
  for (int i = 0; i < 3; ++i) {
    if (saved[i]) setenv(names[i], keep[i].c_str(), 1);
    else unsetenv(names[i]);
  }
}

}  // namespace
}  // namespace tabulon
