// An environment with a small dictionary and a laid-out record buffer, for tests that
// compile and evaluate expressions or run variable lists against real records.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "api/env_record.h"
#include "api/raise.h"
#include "dict/dictionary.h"
#include "expr/evaluator.h"
#include "expr/expr_binding.h"
#include "expr/program.h"
#include "tabulon/tabulon.h"

namespace tabulon::test {

struct LogLine {
  int32_t level;
  std::string text;
};

class ExprEnv : public ::testing::Test {
 protected:
  int32_t h = -1;
  EnvRecord* env = nullptr;
  static inline std::vector<LogLine>* log = nullptr;
  std::vector<LogLine> lines;

  void SetUp() override {
    h = DX_OpenEnvironment();
    ASSERT_GE(h, 0);
    env = env_from_handle(h);
    log = &lines;
    static uint32_t settings[4] = {0, 0, 0xFFFFFFFFu, 1};
    ASSERT_EQ(DX_SetInfoCallback(h, 1, settings, 0, 0, &ExprEnv::capture), 0);
  }
  void TearDown() override {
    log = nullptr;
    DX_CloseEnvironment(h);
  }

  static void capture(int32_t level, const char* text, int32_t, int64_t) {
    if (log) log->push_back({level, text});
  }

  VarRecord& add(std::string_view name, int ttype, uint32_t width = 8) {
    VarRecord& v = dict_append_var(env->dict, name, ttype, width);
    v.selected = 1;
    return v;
  }
  void layout() { dict_layout_record(*env); }
  VarRecord& var(std::string_view name) { return *dict_var(env->dict, dict_find(env->dict, name)); }
  void set(std::string_view name, double x) { var_set_double(env->dict, var(name), x); }
  void set_text(std::string_view name, const char* s) { var_set_string(env->dict, var(name), std::string_view(s)); }
  void set_missing(std::string_view name, uint16_t code = kSystemMissing) { var_set_missing(env->dict, var(name), code); }

  // Compiles and evaluates a computed expression on the current record.
  double num(const char* text) {
    std::unique_ptr<Program> p;
    try {
      p = env_compile(*env, text, false);
    } catch (const RaisedError&) {
      ADD_FAILURE() << DX_GetErrorMsg(h);
      return -12345;
    }
    EXPECT_EQ(p->result, ValType::Number) << text;
    return env_evaluate(*env, *p).num;
  }
  std::string str(const char* text) {
    std::unique_ptr<Program> p;
    try {
      p = env_compile(*env, text, false);
    } catch (const RaisedError&) {
      ADD_FAILURE() << DX_GetErrorMsg(h);
      return "<error>";
    }
    EXPECT_EQ(p->result, ValType::String) << text;
    return std::string(env_evaluate(*env, *p).str);
  }
  bool cond(const char* text) {
    std::unique_ptr<Program> p;
    try {
      p = env_compile(*env, text, true);
    } catch (const RaisedError&) {
      ADD_FAILURE() << DX_GetErrorMsg(h);
      return false;
    }
    return env_evaluate(*env, *p).num != 0;
  }
  // The message of a failed WHERE compile ("" when it compiled).
  std::string where_error(const char* text) {
    if (DX_ParseWhere(h, text, 0) == 0) return "";
    return DX_GetErrorMsg(h);
  }
  std::string computed_error(const char* text) {
    try {
      env_compile(*env, text, false);
    } catch (const RaisedError&) {
      return DX_GetErrorMsg(h);
    }
    return "";
  }
};

}  // namespace tabulon::test
