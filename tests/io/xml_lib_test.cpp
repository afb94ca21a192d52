#include "io/xml_lib.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "api/call_frame.h"
#include "api/env_record.h"
#include "api/raise.h"
#include "tabulon/tabulon.h"

using namespace tabulon;

namespace {

struct XmlLibTest : ::testing::Test {
  int32_t handle = -1;
  EnvRecord* env = nullptr;
  void SetUp() override {
    handle = DX_OpenEnvironment();
    ASSERT_GE(handle, 0);
    env = env_from_handle(handle);
    ASSERT_NE(env, nullptr);
    xml_lib_set_file_name(nullptr);
  }
  void TearDown() override {
    env->release_xml = 1;
    xml_lib_on_close_files(*env);
    xml_lib_set_file_name(nullptr);
    DX_CloseEnvironment(handle);
  }
  // Runs XmlLibLoad; the message when it raises, "" when it returns 0.
  std::string load() {
    try {
      EXPECT_EQ(XmlLibLoad(*env), 0);
      return "";
    } catch (const RaisedError&) {
      return env->message ? env->message : "<null>";
    }
  }
};

}  // namespace

TEST_F(XmlLibTest, BindsEveryEntryPointOnceUntilReleased) {
  ASSERT_EQ(load(), "");
  ASSERT_TRUE(g_xml_lib.bound);
  void* first_handle = env->io.xml_handle;
  EXPECT_NE(first_handle, nullptr);
  for (void* p : g_xml_lib.entry) EXPECT_NE(p, nullptr);
  // The table really calls the library, and strings go back through its own free.
  auto str_len = reinterpret_cast<int (*)(const unsigned char*)>(g_xml_lib.entry[static_cast<int>(XmlEntry::xmlStrlen)]);
  EXPECT_EQ(str_len(reinterpret_cast<const unsigned char*>("tabulon")), 7);
  ASSERT_NE(g_xml_lib.strdup_fn, nullptr);
  char* copy = g_xml_lib.strdup_fn("abc");
  EXPECT_STREQ(copy, "abc");
  xml_lib_free(copy);

  // A second load does nothing while bound: not even the (now unloadable) name is tried.
  xml_lib_set_file_name("libdoes-not-exist.so.9");
  EXPECT_EQ(load(), "");
  EXPECT_EQ(env->io.xml_handle, first_handle);

  // Closing files without the release flag keeps the binding; with it, the next load loads again.
  env->release_xml = 0;
  xml_lib_on_close_files(*env);
  EXPECT_TRUE(g_xml_lib.bound);
  env->release_xml = 1;
  xml_lib_on_close_files(*env);
  EXPECT_FALSE(g_xml_lib.bound);
  EXPECT_EQ(env->io.xml_handle, nullptr);
  EXPECT_EQ(load(), "Cannot load xml library: libdoes-not-exist.so.9");
  EXPECT_FALSE(g_xml_lib.bound);
}

TEST_F(XmlLibTest, MissingEntryPointIsFatal) {
  // zlib is loadable but has none of the entry points: the first one is named.
  xml_lib_set_file_name("libz.so.1");
  EXPECT_EQ(load(),
            "The function xmlBufferCreate was not found in libz.so.1 library. Usually it happens when you have an "
            "older version of library, you have to update it.");
  EXPECT_FALSE(g_xml_lib.bound);
  EXPECT_EQ(env->io.xml_handle, nullptr);
}

TEST_F(XmlLibTest, NumberedOption204NamesTheLibrary) {
  EXPECT_EQ(DX_SetOption(handle, 204, 0, "libxml-missing.so"), 0);
  EXPECT_EQ(load(), "Cannot load xml library: libxml-missing.so");
  EXPECT_EQ(DX_SetOption(handle, 204, 0, "libxml2.so.2"), 0);
  EXPECT_EQ(load(), "");
  EXPECT_TRUE(g_xml_lib.bound);
}

TEST(XmlLibInstalled, HasEveryListedEntryPoint) {
  void* h = dlopen("libxml2.so.2", RTLD_NOW | RTLD_LOCAL);
  if (!h) GTEST_SKIP() << "libxml2.so.2 not installed";
  EXPECT_EQ(xml_lib_first_missing(h), nullptr);
  dlclose(h);
}
