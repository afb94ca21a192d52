// Numbered options, dictionary options, the sampling generator and owned option texts.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "api/env_record.h"
#include "api/option_slots.h"
#include "dict/dictionary.h"
#include "tabulon/tabulon.h"

using namespace tabulon;

namespace {

std::vector<std::string> g_log;
void capture(int32_t, const char* text, int32_t, int64_t) { g_log.push_back(text); }

struct Env {
  int32_t h;
  EnvRecord* env;
  explicit Env(int32_t flags = 3) : h(DX_OpenEnvironmentEx(flags)), env(env_from_handle(h)) {
    static const uint32_t settings[4] = {0, 0, 0xFFFFFFFFu, 1};
    g_log.clear();
    DX_SetInfoCallback(h, 5, settings, 0, 0, capture);
  }
  ~Env() { DX_CloseEnvironment(h); }
};

}  // namespace

TEST(NumberedOptions, StoreIntegersAndTextsInTheirSlots) {
  Env e;
  struct Case {
    int32_t number;
    int32_t value;
    int32_t stored;
  } cases[] = {
      {0, 1, 1},          {15, 7, 7},          {64, -3, -3},        {147, 9, 9},
      {83, 40000, 32768}, {83, 32769, 32768},  {83, 32768, 32768},  {83, 100, 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.number);
    EXPECT_EQ(DX_SetOption(e.h, c.number, c.value, nullptr), 0);
    EXPECT_EQ(option_int(*e.env, c.number), c.stored);
    EXPECT_EQ(option_text(*e.env, c.number), nullptr);
  }
  // A text replaces the integer; an integer replaces (and frees) the text.
  EXPECT_EQ(DX_SetOption(e.h, 1, 5, "out/formats.sas"), 0);
  EXPECT_STREQ(option_text(*e.env, 1), "out/formats.sas");
  EXPECT_EQ(option_int(*e.env, 1), 0);
  EXPECT_EQ(DX_SetOption(e.h, 1, 4, nullptr), 0);
  EXPECT_EQ(option_text(*e.env, 1), nullptr);
  EXPECT_EQ(option_int(*e.env, 1), 4);

  for (int32_t unknown : {29, 40, 63, 148, 199, 205, -1}) {
    SCOPED_TRACE(unknown);
    EXPECT_EQ(DX_SetOption(e.h, unknown, 1, nullptr), -1);
  }
}

TEST(NumberedOptions, OwnedTextsAreFreedWhenTheEnvironmentCloses) {
  // Run under the sanitizer build: every copy below must be released by the close.
  for (int round = 0; round < 3; ++round) {
    Env e;
    for (int n = 64; n <= 147; ++n) DX_SetOption(e.h, n, 0, std::string(40 + n, 'x').c_str());
    for (int n = 0; n <= 15; ++n) DX_SetOption(e.h, n, 0, "text");
    EXPECT_EQ(std::string(option_text(*e.env, 147)), std::string(187, 'x'));
  }
}

TEST(NumberedOptions, BadHandles) {
  Env e;
  EXPECT_EQ(DX_SetOption(5000, 0, 1, nullptr), -99);
  EXPECT_EQ(DX_SetOption(-3, 0, 1, nullptr), -99);
  EXPECT_EQ(DX_SetOption(e.h + 1, 0, 1, nullptr), -1);  // empty slot
  EXPECT_EQ(DX_SetDictOption(5000, 1, 1, const_cast<char*>("e")), -99);
  EXPECT_EQ(DX_SetDictOption(-1, 1, 1, const_cast<char*>("e")), -99);
  EXPECT_EQ(DX_TxtMaxCols(-1, 3), -99);
  EXPECT_EQ(DX_SetWksPage(5000, 1), -99);
  EXPECT_EQ(DX_PreserveCase(-7, 1), -99);
  EXPECT_EQ(DX_ComplexFileGet(5000), -99);
  EXPECT_EQ(dxi_set_options(5000, 0, nullptr, 0), -99);
}

TEST(NumberedOptions, DelimitersAndQuotes) {
  Env e;
  TextOptions& t = e.env->options.text;
  EXPECT_EQ(DX_SetOption(e.h, 17, -1, nullptr), 0);  // autosense: ignored
  EXPECT_EQ(t.read_delimiter, ',');
  EXPECT_EQ(t.delimiter_given, 0);
  EXPECT_EQ(DX_SetOption(e.h, 17, ';', nullptr), 0);
  EXPECT_EQ(t.read_delimiter, ';');
  EXPECT_EQ(t.delimiter_given, 1);
  EXPECT_EQ(DX_SetOption(e.h, 18, '\t', nullptr), 0);
  EXPECT_EQ(t.write_delimiter, '\t');
  EXPECT_EQ(DX_SetOption(e.h, 19, ' ', nullptr), 0);  // blank: no quote character
  EXPECT_EQ(t.read_quote, 0);
  EXPECT_EQ(DX_SetOption(e.h, 20, '\'', nullptr), 0);
  EXPECT_EQ(t.write_quote, '\'');
  EXPECT_EQ(DX_SetOption(e.h, 22, 2, nullptr), 0);
  EXPECT_EQ(t.text_mode, 1);
  EXPECT_EQ(DX_SetOption(e.h, 22, 7, nullptr), 0);
  EXPECT_EQ(t.text_mode, 5);
}

TEST(NumberedOptions, UserEncodings) {
  Env e;
  EXPECT_EQ(DX_SetOption(e.h, 25, 0, "utf-8"), 0);
  EXPECT_STREQ(option_user_encoding(*e.env, 1), "utf-8");
  ASSERT_FALSE(g_log.empty());
  EXPECT_EQ(g_log.back(), "Info:\tUser defined input encoding is set to:  [utf-8]");

  EXPECT_EQ(DX_SetOption(e.h, 25, 0, "no-such-encoding"), -1);
  EXPECT_STREQ(option_user_encoding(*e.env, 1), "utf-8");  // the previous one stays
  ASSERT_FALSE(g_log.empty());
  EXPECT_EQ(g_log.back().rfind("Error:\tInvalid paramater (input encoding name)  in 'set' command: no-such-encoding\n"
                               "Default codepage (",
                               0),
            0u)
      << g_log.back();

  EXPECT_EQ(DX_SetOption(e.h, 26, 0, "bogus"), -1);
  EXPECT_EQ(g_log.back().rfind("Warning:Invalid paramater (output encoding name)", 0), 0u) << g_log.back();
  EXPECT_EQ(DX_SetOption(e.h, 26, 0, "system"), 0);
  EXPECT_STREQ(option_user_encoding(*e.env, 2), "system");
}

TEST(NumberedOptions, SharedPathNeedsNoEnvironment) {
  EXPECT_EQ(DX_SetOption(-5, 27, 0, "/srv/shared"), 0);
  EXPECT_STREQ(option_shared_path(), "/srv/shared");
  {
    Env e;
    ASSERT_EQ(e.h, 0);
    EXPECT_EQ(e.env->shared_path, "/srv/shared");  // environment 0 takes a copy at open
    EXPECT_EQ(DX_SetOption(e.h, 27, 0, "/srv/other"), 0);
    EXPECT_EQ(e.env->shared_path, "/srv/other");
  }
  EXPECT_EQ(DX_SetOption(-5, 27, 0, nullptr), 0);
  EXPECT_EQ(option_shared_path(), nullptr);
  EXPECT_EQ(DX_SetOption(-5, 28, 0, "second"), 0);
  EXPECT_STREQ(option_shared_text2(), "second");
  DX_SetOption(-5, 28, 0, nullptr);
}

TEST(NumberedOptions, VariableTypeSetByHost) {
  Env e;
  VarRecord& a = dict_append_var(e.env->dict, "a", T_DOUBLE, 8);
  dict_append_var(e.env->dict, "b", T_DOUBLE, 8);
  a.flags |= kVarTypeSetByHost;
  EXPECT_EQ(DX_SetOption(e.h, 203, 0, nullptr), 1);
  EXPECT_EQ(DX_SetOption(e.h, 203, 1, nullptr), 0);
  EXPECT_EQ(DX_SetOption(e.h, 203, 2, nullptr), -1);
}

TEST(NumberedOptions, ActionsOfOtherLayersGoToTheirHandlers) {
  Env e;
  int32_t count = 0;
  register_option_handler(202, nullptr);
  EXPECT_EQ(DX_SetOption(e.h, 202, 0, reinterpret_cast<const char*>(&count)), -1);
  // A registered handler receives the call.
  register_option_handler(202, [](EnvRecord&, int32_t, const char* text) {
    *reinterpret_cast<int32_t*>(const_cast<char*>(text)) = 42;
    return 0;
  });
  EXPECT_EQ(DX_SetOption(e.h, 202, 0, reinterpret_cast<const char*>(&count)), 0);
  EXPECT_EQ(count, 42);
  register_option_handler(202, nullptr);
}

TEST(DictOptions, LogLevelAndCatalogSwitches) {
  Env e;
  struct Case {
    const char* text;
    int32_t result;
    uint32_t mask;  // expected category mask afterwards
  } cases[] = {
      {"w", 0, 0x0FFFFFFF}, {"v", 0, 0x3FFFFFFF}, {"d", 0, 0xC0000000}, {"n", 0, 0},
      {"e", 0, 0x0000000F}, {"x", 0, 0x0000000F}, {"ew", -6, 0x0000000F}, {"e,w,v", -7, 0x0000000F},
      {",", -7, 0x0000000F},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(DX_SetDictOption(e.h, 1, 1, const_cast<char*>(c.text)), c.result);
    EXPECT_EQ(e.env->log_settings[2], c.mask);
    EXPECT_EQ(e.env->log_settings[3], 1u);
  }
  EXPECT_EQ(DX_SetDictOption(e.h, 1, 1, nullptr), -5);
  EXPECT_EQ(DX_SetDictOption(e.h, 1, 9, const_cast<char*>("e")), -5);
  EXPECT_EQ(DX_SetDictOption(e.h, 1, 2, const_cast<char*>("N")), 0);
  EXPECT_EQ(e.env->log_settings[1], 0u);
  EXPECT_EQ(DX_SetDictOption(e.h, 1, 3, const_cast<char*>("Y")), 0);
  EXPECT_EQ(e.env->log_settings[0], 1u);
  EXPECT_EQ(DX_SetDictOption(e.h, 15, 0, const_cast<char*>("Survey 2020")), 0);
  EXPECT_EQ(e.env->options.file_description, "Survey 2020");
  EXPECT_STREQ(DX_GetFileDescription(e.h), "Survey 2020");
  EXPECT_STREQ(DX_GetFileDescription(4000), "");
}

TEST(SamplingGenerator, RandIntFollowsTheSeededSequence) {
  Env e;
  // Reference: state = state * 41358 mod (2^31 - 1) in 64-bit arithmetic.
  auto expected = [](int32_t seed, int n, int count) {
    int64_t s = seed;
    for (int i = 0; i < 16; ++i) s = s * 41358 % 2147483647;
    std::vector<int32_t> out;
    for (int i = 0; i < count; ++i) {
      s = s * 41358 % 2147483647;
      out.push_back(static_cast<int32_t>(static_cast<double>(s) / 2147483647.0 * n));
    }
    return out;
  };
  for (int32_t seed : {1, 12345, 2147483646}) {
    SCOPED_TRACE(seed);
    ASSERT_EQ(DX_SetOption(e.h, 16, seed, nullptr), 0);
    std::vector<int32_t> got;
    for (int i = 0; i < 50; ++i) got.push_back(DX_RandInt(1000));
    EXPECT_EQ(got, expected(seed, 1000, 50));
  }
  // The clock seeds "auto"; every draw stays in range.
  DX_SetOption(e.h, 16, 0, nullptr);
  for (int i = 0; i < 1000; ++i) {
    int32_t r = DX_RandInt(7);
    ASSERT_GE(r, 0);
    ASSERT_LT(r, 7);
  }
  EXPECT_EQ(DX_RandInt(0), 0);
}
