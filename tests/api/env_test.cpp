// Environment table, call frame, messages and callbacks.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "api/call_frame.h"
#include "api/env_record.h"
#include "api/messages.h"
#include "api/ole_state.h"
#include "api/raise.h"
#include "tabulon/tabulon.h"

using namespace tabulon;

namespace {

struct Captured {
  int32_t level;
  std::string text;
  int32_t category;
  int64_t user;
};
std::vector<Captured> g_seen;

void capture(int32_t level, const char* text, int32_t category, int64_t user) {
  g_seen.push_back({level, text, category, user});
}

}  // namespace

TEST(EnvTable, GrowsBy255AndFreesWithTheLastEnvironment) {
  std::vector<int32_t> handles;
  for (int i = 0; i < 256; ++i) handles.push_back(DX_OpenEnvironment());
  for (int i = 0; i < 256; ++i) ASSERT_EQ(handles[i], i);
  EXPECT_EQ(env_slot_count(), 510);
  EXPECT_NE(env_from_handle(255), nullptr);
  EXPECT_EQ(DX_OleNoInit(255), 0);
  EXPECT_EQ(DX_OleNoInit(510), -99);
  EXPECT_EQ(DX_OleNoInit(-1), -99);
  // Lowest free handle is reused.
  ASSERT_EQ(DX_CloseEnvironment(7), 0);
  EXPECT_EQ(DX_CloseEnvironment(7), -1);
  EXPECT_EQ(DX_OpenEnvironment(), 7);
  for (int32_t h : handles) ASSERT_EQ(DX_CloseEnvironment(h), 0);
  EXPECT_EQ(env_slot_count(), 0);
  int32_t h = DX_OpenEnvironment();
  EXPECT_EQ(h, 0);
  EXPECT_EQ(env_slot_count(), 255);
  DX_CloseEnvironment(h);
}

TEST(Messages, CopyErrorMsgCutsAt254) {
  int32_t h = DX_OpenEnvironment();
  EnvRecord* env = env_from_handle(h);
  std::string longText(300, 'x');
  EXPECT_THROW(RaiseError(*env, longText.c_str(), nullptr), RaisedError);
  char buf[400];
  std::memset(buf, 'z', sizeof buf);
  EXPECT_EQ(DX_CopyErrorMsg(h, buf), 254);
  EXPECT_EQ(std::strlen(buf), 254u);
  EXPECT_EQ(DX_CopyErrorMsg(h + 1000, buf), -99);
  env->message = nullptr;
  EXPECT_EQ(DX_CopyErrorMsg(h, buf), 0);
  EXPECT_STREQ(buf, "");
  DX_CloseEnvironment(h);
}

TEST(Messages, RaiseErrorFormsItsText) {
  int32_t h = DX_OpenEnvironment();
  EnvRecord* env = env_from_handle(h);
  struct Case {
    const char* format;
    const char* argument;
    const char* expected;
    int has_argument;
  } cases[] = {
      {"Cannot open file ", "a.csv", "Cannot open file a.csv", 1},  // no '%': the two run together
      {"File %s not found.", "b.dta", "File b.dta not found.", 1},
      {"Plain text 100%", nullptr, "Plain text 100%", 0},
      {nullptr, nullptr, "", 0},
  };
  for (const Case& c : cases) {
    env->message_has_argument = 0;
    EXPECT_THROW(RaiseError(*env, c.format, c.argument), RaisedError);
    EXPECT_STREQ(DX_GetErrorMsg(h), c.expected);
    EXPECT_EQ(env->message_has_argument, c.has_argument);
  }
  EXPECT_THROW(RaiseErrorF(*env, "%s=%d", "n", 42), RaisedError);
  EXPECT_STREQ(DX_GetErrorMsg(h), "n=42");
  EXPECT_STREQ(DX_GetErrorMsg(-5), "");
  DX_CloseEnvironment(h);
}

TEST(CallFrame, RaisedFailureReturnsTheCodeAndKeepsTheEnvironmentUsable) {
  int32_t h = DX_OpenEnvironment();
  std::string* leak_probe = nullptr;
  int32_t rc = call_frame(h, -3, [&](EnvRecord& env) -> int32_t {
    auto owned = std::make_unique<std::string>("released on unwind");
    leak_probe = owned.get();
    RaiseError(env, "Failed: ", "deep inside");
  });
  EXPECT_NE(leak_probe, nullptr);
  EXPECT_EQ(rc, -3);
  EXPECT_STREQ(DX_GetErrorMsg(h), "Failed: deep inside");
  EXPECT_EQ(call_frame(h, -1, [](EnvRecord&) -> int32_t { throw std::bad_alloc(); }), -1);
  EXPECT_STREQ(DX_GetErrorMsg(h), "Error:\tOut of memory.");
  EXPECT_EQ(call_frame(h, -1, [](EnvRecord&) { return 5; }), 5);
  EXPECT_EQ(call_frame(999, -1, [](EnvRecord&) { return 5; }), -99);
  DX_CloseEnvironment(h);
}

TEST(Callbacks, InfoCallbackCodesAndFiltering) {
  int32_t h = DX_OpenEnvironment();
  uint32_t settings[4] = {0, 0, 0x30000000u | 0x0000000Fu | 1u, 1};
  EXPECT_EQ(DX_SetInfoCallback(h, 1, settings, 0, 77, nullptr), -3);
  EXPECT_EQ(DX_SetInfoCallback(h, 1, nullptr, 0, 77, capture), -4);
  EnvRecord* env = env_from_handle(h);
  EXPECT_EQ(env->info_callback, nullptr);  // a null settings block leaves no callback
  EXPECT_EQ(DX_SetInfoCallback(-1, 1, settings, 0, 77, capture), -99);
  EXPECT_EQ(DX_SetInfoCallback(100000, 1, settings, 0, 77, capture), -2);
  EXPECT_EQ(DX_SetInfoCallback(h + 1, 1, settings, 0, 77, capture), -1);
  ASSERT_EQ(DX_SetInfoCallback(h, 1 | 4, settings, 0, 77, capture), 0);

  g_seen.clear();
  emit_message(*env, MsgKind::Info, "hello");
  emit_message(*env, MsgKind::Warning, "filtered by category");
  emit_message(*env, MsgKind::Error, "bad");
  emit_message(*env, MsgKind::Lib, "diag");
  ASSERT_EQ(g_seen.size(), 3u);
  EXPECT_EQ(g_seen[0].text, "Info:\thello");
  EXPECT_EQ(g_seen[0].category, 0x30000000);
  EXPECT_EQ(g_seen[0].level, 1);
  EXPECT_EQ(g_seen[0].user, 77);
  EXPECT_EQ(g_seen[1].text, "Error:\tbad");
  EXPECT_EQ(g_seen[2].text, "LIB: diag");
  EXPECT_EQ(g_seen[2].level, 4);
  EXPECT_EQ(g_seen[2].category, 1);

  // Level mask without bit 2 silences library diagnostics.
  ASSERT_EQ(DX_SetInfoCallback(h, 1, settings, 0, 77, capture), 0);
  g_seen.clear();
  emit_message(*env, MsgKind::Lib, "diag");
  EXPECT_TRUE(g_seen.empty());

  EXPECT_EQ(DX_SetCallbackFunc(h, 1, 5, nullptr), -1);
  EXPECT_EQ(DX_SetCallbackFunc(-2, 1, 5, nullptr), -99);
  DX_CloseEnvironment(h);
}

TEST(Ole, StateMachineCopiesIntoEnvironments) {
  DX_OLE_Init(-1);
  int32_t a = DX_OpenEnvironment();
  int32_t b = DX_OpenEnvironment();
  int before = ole_initialize_calls();
  EXPECT_EQ(DX_OLE_Init(1), 1);
  EXPECT_EQ(DX_OLE_Init(1), 1);
  EXPECT_EQ(ole_initialize_calls(), before + 1);  // initialised once
  EXPECT_EQ(env_from_handle(b)->ole_state, 1);
  EXPECT_EQ(DX_OLE_Init(7), 1);
  EXPECT_EQ(DX_OLE_Init(-1), 0);
  EXPECT_EQ(env_from_handle(a)->ole_state, 0);
  EXPECT_EQ(DX_OLE_Init(2), 1);
  int uninit = ole_uninitialize_calls();
  EXPECT_EQ(DX_OLE_Init(-2), 0);
  EXPECT_EQ(ole_uninitialize_calls(), uninit + 1);
  EXPECT_EQ(DX_OLE_Init(-2), 0);
  EXPECT_EQ(ole_uninitialize_calls(), uninit + 1);
  EXPECT_EQ(DX_OleNoInit(a), 0);
  EXPECT_EQ(env_from_handle(a)->ole_state, 1);
  DX_CloseEnvironment(a);
  DX_CloseEnvironment(b);
}

TEST(Environment, VersionAndSystem) {
  EXPECT_STREQ(DX_GetDLLVersion(), "12.1.196.1216");
  int32_t h = DX_OpenEnvironment();
  EXPECT_EQ(env_from_handle(h)->is_64bit_system, 1);
  EXPECT_EQ(DX_SetWindowHandle(h, 1234), 0);
  EXPECT_EQ(env_from_handle(h)->window_handle, 1234);
  DX_CloseEnvironment(h);
}
