// An environment whose messages are all captured, for the encoding tests.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/env_record.h"
#include "api/option_slots.h"
#include "encoding/transcode.h"
#include "tabulon/tabulon.h"

namespace tabulon::test {

class EncodingEnv : public ::testing::Test {
 protected:
  void SetUp() override {
    handle = DX_OpenEnvironment();
    ASSERT_GE(handle, 0);
    env = env_from_handle(handle);
    ASSERT_NE(env, nullptr);
    static const uint32_t settings[4] = {0, 0, 0xFFFFFFFFu, 1};
    ASSERT_EQ(DX_SetInfoCallback(handle, 1 | 4, settings, 0, reinterpret_cast<int64_t>(&log), &capture), 0);
  }
  void TearDown() override { DX_CloseEnvironment(handle); }

  static void capture(int32_t, const char* text, int32_t, int64_t user) {
    reinterpret_cast<std::vector<std::string>*>(user)->push_back(text ? text : "");
  }
  bool logged(const std::string& piece) const {
    for (const auto& l : log)
      if (l.find(piece) != std::string::npos) return true;
    return false;
  }
  int count_logged(const std::string& piece) const {
    int n = 0;
    for (const auto& l : log)
      if (l.find(piece) != std::string::npos) ++n;
    return n;
  }
  std::string all_log() const {
    std::string s;
    for (const auto& l : log) s += l + "\n";
    return s;
  }
  // Numbered option as the option table would store it.
  void set_option(int number, int32_t value, const char* text = nullptr) {
    ASSERT_TRUE(option_store(*env, number, value, text));
  }
  // Output slot 0 from UTF-8 to `name` through the file-converter rules (format code 0).
  ConverterSlot& output_to(const char* name, int32_t format = 0) {
    env->options.user_out_encoding = name;
    EXPECT_EQ(open_output_converter(*env, 0, format), 0) << all_log();
    return env->encoding.output[0];
  }

  int32_t handle = -1;
  EnvRecord* env = nullptr;
  std::vector<std::string> log;
};

inline std::string hex(const std::string& s) {
  static const char* d = "0123456789abcdef";
  std::string h;
  for (unsigned char c : s) {
    h += d[c >> 4];
    h += d[c & 15];
  }
  return h;
}

}  // namespace tabulon::test
