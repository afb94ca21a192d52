// The keyword option table, its reset and the helpers the host's "set" processor uses.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "api/option_table.h"
#include "tabulon/tabulon.h"

using namespace tabulon;

namespace {

OptionEntry& entry(int i) { return *reinterpret_cast<OptionEntry*>(dxi_get_opt(i)); }

}  // namespace

TEST(OptionTable, HoldsItsEntriesInTheFixedOrder) {
  struct Row {
    int index;
    const char* keyword;
    const char* default_text;
    uint32_t kind;
    uint32_t group;
    bool output_side;
  } rows[] = {
      {0, "write-old-ver", "N", kText, 0, true},
      {15, "delimiter-rd", "autosense", kChoiceOrChar, 0x3, false},
      {18, "quote-char-rd", "\"", kChar, 0x3, false},
      {29, "drop/keep", "clear", kChoice, 0, false},
      {52, "preseve-sas-names", "N", kYesNo, 0x2, false},
      {57, "UDF-cat-member", "", kText, 0x202, false},
      {60, "dk-coninue", "Y", kYesNo, 0, false},
      {80, "wks-write-vnames", "Y", kYesNo, 0x4, true},
      {95, "enc-error-limit", "100", kInteger, 0x8, true},
      {113, "ascii-blank-rows", "Use", kChoice, 0x3, false},
      {116, "use-input-dec", "N", kYesNo, 0x3, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.index);
    const OptionEntry& e = entry(r.index);
    EXPECT_STREQ(e.keyword, r.keyword);
    EXPECT_STREQ(e.default_text, r.default_text);
    EXPECT_EQ(e.flags & (kYesNo | kInteger | kText | kChoice | kChar | kChoiceOrChar), r.kind);
    EXPECT_EQ(e.group, r.group);
    EXPECT_EQ((e.flags & kOutputSide) != 0, r.output_side);
    EXPECT_NE(e.description, nullptr);
  }
  EXPECT_STREQ(entry(27).description, "Numeric Missing  - ASCII write [a string|extended]");
  EXPECT_STREQ(entry(56).choices,
               "NATIVE,ALPHA_TRUE64,ALPHA_VMS_32,ALPHA_VMS_64,ALPHA_IA64,HP_UX_32,HP_UX_64,INTEL_ABI,LINUX_32,"
               "MIPS_ABI,OS2,RS_6000_AIX_32,RS_6000_AIX_64,SOLARIS_32,SOLARIS_64,WINDOWS_32,WINDOWS_64");
  // The agency of DDI output is a domain name.
  EXPECT_NE(std::strchr(entry(104).default_text, '.'), nullptr);
  EXPECT_EQ(dxi_get_opt(119), nullptr);
  EXPECT_EQ(dxi_get_opt(-1), nullptr);
  std::set<std::string> keywords;
  for (int i = 0; i < kOptionCount; ++i) keywords.insert(entry(i).keyword);
  EXPECT_EQ(keywords.size(), 119u);
}

TEST(OptionTable, ResetLoadsEveryKindFromItsDefault) {
  option_table_reset();
  struct Row {
    int index;
    int32_t value;
  } rows[] = {
      {1, 1},      // preserve-case "Y"
      {2, 0},      // samp-seed "auto"
      {7, 0},      // user-miss "all"
      {15, 0},     // delimiter-rd "autosense" is a choice
      {18, '"'},   // quote-char-rd
      {19, 255},   // max-fields
      {21, 0},     // max-lines "all"
      {25, 0},     // delimiter-wr "comma"
      {30, 0},     // wks-blank-rows "Stop" against "stop,skip,use"
      {56, 0},     // sas-outrep "native" against upper-case choices
      {90, 2},     // var-case-ci "preserve-always"
      {94, '_'},   // enc-sub-char
      {98, 0},     // ascii-var-labs-2nd-row "n"
      {113, 2},    // ascii-blank-rows "Use"
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.index);
    EXPECT_EQ(entry(r.index).value, r.value);
    EXPECT_TRUE(entry(r.index).flags & kOptLoaded);
    EXPECT_STREQ(entry(r.index).current_text, entry(r.index).default_text);
  }
  // Text kinds carry their value as a copy of the default and are marked changed.
  const OptionEntry& fmt = entry(4);
  EXPECT_STREQ(fmt.choices, "%ipath%/sas_fmts.sas7bdat");
  EXPECT_NE(fmt.choices, fmt.default_text);
  EXPECT_TRUE(fmt.flags & kTextChanged);
}

TEST(OptionTable, ResetKeepsLoadedEntriesMarkedToKeep) {
  option_table_reset();
  OptionEntry& seed = entry(2);
  seed.flags |= kKeepOnReset;
  seed.value = 777;
  option_table_reset();
  EXPECT_EQ(seed.value, 777);
  seed.flags &= ~kKeepOnReset;
  option_table_reset();
  EXPECT_EQ(seed.value, 0);
}

TEST(OptionTable, ResetLeavesATextTheHostInstalledToTheHost) {
  option_table_reset();
  static char mine[] = "host text";
  entry(6).choices = mine;
  option_table_reset();  // must not free the host's text
  EXPECT_STREQ(entry(6).choices, "%opath%/%oname%.sas");
  EXPECT_STREQ(mine, "host text");
}

TEST(OptionHelpers, YesNo) {
  struct Case {
    const char* text;
    int32_t expected;  // 2 = neither
  } cases[] = {{"Yes", 1}, {"y", 1}, {"TRUE", 1}, {"true", 1}, {"No", 0}, {"n", 0},
               {"False", 0}, {"t", 2}, {"f", 2}, {"", 2}, {"1", 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    char err[256] = "stale";
    int32_t r = dxi_yesno(c.text, err);
    if (c.expected == 2) {
      EXPECT_NE(r, 0);
      EXPECT_NE(r, 1);
      EXPECT_EQ(std::string(err), std::string("Invalid paramater in 'set' command: ") + c.text);
    } else {
      EXPECT_EQ(r, c.expected);
      EXPECT_STREQ(err, "");
    }
  }
  EXPECT_EQ(dxi_yesno("maybe", nullptr) > 1, true);
  EXPECT_EQ(dxi_yesno(nullptr, nullptr) > 1, true);
}

TEST(OptionHelpers, EnumTypeAndListChoice) {
  const char* delims = "comma,tab,space,semicolon,vertbar";
  struct Case {
    const char* choices;
    const char* text;
    int32_t expected;
  } cases[] = {
      {delims, "TAB", 1},  {delims, "comma", 0}, {delims, "VertBar", 4}, {delims, "comm", -1},
      {delims, "", -1},    {"a,,b", "b", 1},     {",,a,b", "a", 0},       {nullptr, "a", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(dxi_enum_type(c.choices, c.text), c.expected);
  }

  struct Item {
    const char* choices;
    int k;
    const char* expected;
  } items[] = {
      {"first,,second", 1, "second"},
      {"first,,second", 0, "first"},
      {"first,,second", 2, ""},
      {",,lead,tail,,", 1, "tail"},
      {"abcdefghijklmnopqrstuvwxyz,b", 0, "abcdefghijklmnopqrst"},  // at most 20 characters
      {"x", -1, ""},
  };
  for (const Item& it : items) {
    SCOPED_TRACE(it.k);
    char out[32];
    std::memset(out, 'Z', sizeof out);
    EXPECT_EQ(dxi_list_lchoice(it.choices, it.k, out), out);
    EXPECT_STREQ(out, it.expected);
  }
}
