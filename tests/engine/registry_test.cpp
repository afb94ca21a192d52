// The format registry, the format error texts and the path macros.
#include <sys/stat.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <set>
#include <string>

#include "api/env_record.h"
#include "engine/format_error_message.h"
#include "engine/format_registry.h"
#include "engine/stream_glue.h"
#include "engine/transfer.h"
#include "io/stream.h"
#include "tabulon/tabulon.h"

using namespace tabulon;

namespace {

std::set<int32_t> codes_with(uint32_t cap) {
  std::set<int32_t> out;
  for (const FormatEntry& e : format_entries())
    if (e.caps & cap) out.insert(e.code);
  return out;
}

TEST(Registry, CodesResolveToTheirOwnLine) {
  for (const FormatEntry& e : format_entries()) {
    ASSERT_EQ(format_entry(e.code), &e) << e.code;
    EXPECT_NE(std::string(e.name), "") << e.code;
  }
  for (int32_t code : {-1, 50, 69, 70, 128, 130}) EXPECT_EQ(format_entry(code), nullptr) << code;
}

TEST(Registry, CapabilitySets) {
  using S = std::set<int32_t>;
  EXPECT_EQ(codes_with(kCapWorksheetInput), (S{0, 1, 7, 11, 15, 48, 54, 65}));
  EXPECT_EQ(codes_with(kCapVarLabels), (S{12, 13, 14, 20, 22, 23, 24, 30, 35, 36, 38, 40, 46, 49, 51, 53, 55, 57,
                                          58, 60, 61, 62, 68}));
  EXPECT_EQ(codes_with(kCapNativeFormats) , (S{16, 20, 38, 62, 129}));
  EXPECT_EQ(codes_with(kCapDatabase), (S{23, 24, 25, 26, 27, 28, 42, 43, 44, 45, 58}));
  EXPECT_EQ(codes_with(kCapNoCaseCompare), (S{0, 7, 11, 18, 48, 54, 65}));
  EXPECT_EQ(codes_with(kCapNarrowNumerics), (S{2, 3, 5, 6, 8, 13}));
  // Members: the listed inputs and the database sources.
  for (int32_t code : {12, 49, 23, 58, 24, 25, 26, 27, 28, 51, 57, 68}) EXPECT_TRUE(format_has(code, kCapMembers));
  EXPECT_FALSE(format_has(14, kCapMembers));
  // Read-only and write-only codes.
  for (int32_t code : {21, 36, 49, 52}) EXPECT_FALSE(format_has(code, kCapWrite)) << code;
  for (int32_t code : {31, 39, 40, 41, 47, 56, 64}) EXPECT_FALSE(format_has(code, kCapRead)) << code;
}

TEST(Registry, OutputModes) {
  EXPECT_STREQ(format_entry(31)->output_mode, "w");
  EXPECT_STREQ(format_entry(34)->output_mode, "w");
  EXPECT_STREQ(format_entry(10)->output_mode, "w+b");
  for (int32_t code : {20, 38, 62}) EXPECT_STREQ(format_entry(code)->output_mode, "wb+");
  EXPECT_STREQ(format_entry(14)->output_mode, "wb");
}

TEST(Registry, Extensions) {
  struct Case {
    const char* ext;
    bool out;
    int32_t code;
  } cases[] = {
      {".csv", false, 18}, {"txt", true, 18},    {".tsv", false, 18}, {".DTA", true, 14},
      {".sav", false, 22}, {".zsav", true, 22},  {".por", true, 13},  {".sas7bdat", false, 38},
      {".xpt", true, 12},  {".xls", false, 48},  {".xlsx", true, 54}, {".sch", true, 46}, {".xls", true, 48},
      {".html", true, 31}, {".sps", true, 39},   {".do", true, 41},   {".inp", true, 64},
      {".dat", false, 19},
  };
  for (const Case& c : cases) {
    const FormatEntry* e = format_by_extension(c.ext, c.out);
    ASSERT_NE(e, nullptr) << c.ext;
    EXPECT_EQ(e->code, c.code) << c.ext;
  }
  EXPECT_EQ(format_by_extension(".html", false), nullptr);  // HTML is written only
  EXPECT_EQ(format_by_extension(".nope", true), nullptr);
  EXPECT_EQ(format_by_extension("", true), nullptr);
}

class Env : public ::testing::Test {
 protected:
  void SetUp() override { handle = DX_OpenEnvironment(); }
  void TearDown() override { DX_CloseEnvironment(handle); }
  EnvRecord& env() { return *env_from_handle(handle); }
  int32_t handle = -1;
};

TEST_F(Env, FormatErrorTexts) {
  EnvRecord& e = env();
  e.transfer.input_code = 22;
  e.transfer.input_path = "/data/survey.sav";
  EXPECT_STREQ(BuildFormatErrorMessage(e, 1, 7, 1, nullptr, 0),
               "SPSS dataset (survey.sav) \nProcessing SPSS dataset dictionary was stopped because of the error (7).");
  EXPECT_EQ(e.last_open_result, 7);
  EXPECT_STREQ(DX_GetErrorMsg(handle), e.message_buffer);

  e.transfer.input_code = 17;
  EXPECT_STREQ(BuildFormatErrorMessage(e, 1, kFormatErrNotSplus, 2, nullptr, 1), "Not an S file.");
  char own[1024];
  EXPECT_STREQ(BuildFormatErrorMessage(e, 1, 3, 2, own, 0),
               "SPLUS object survey.sav \nProcessing SPLUS object data was stopped because of the error (3).");

  // A format without texts gets the generic one, and the support line at level 1.
  e.transfer.input_code = 14;
  std::string generic = BuildFormatErrorMessage(e, 1, 5, 2, nullptr, 1);
  EXPECT_NE(generic.find("survey.sav"), std::string::npos);
  EXPECT_NE(generic.find("\nPlease email a complete description of your problem to technical support."),
            std::string::npos);
  e.last_open_result = 0;
}

TEST_F(Env, FormatErrorOnTheOutputMarksItForDeletion) {
  EnvRecord& e = env();
  const std::string dir = std::string(::testing::TempDir()) + "tabulon_" + std::to_string(::getpid());
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  const std::string path = dir + "/tabulon_incomplete.out";
  e.transfer.output_code = 38;
  e.transfer.output_path = path;
  e.transfer.output_stream = engine_open_write(e, path, "wb", 0);
  ASSERT_TRUE(e.transfer.output_stream);
  e.transfer.output_stream->error |= STREAM_ERR_WRITE;
  std::string text = BuildFormatErrorMessage(e, 2, 9, 2, nullptr, 0);
  EXPECT_EQ(text,
            "SAS dataset (tabulon_incomplete.out) \nProcessing SAS dataset data was stopped because of the error (9)."
            "\nAdditional info: A write error may be caused by a full disk or a network problem.");
  EXPECT_TRUE(e.transfer.output_stream->error & kStreamIncomplete);
  EXPECT_EQ(DX_CloseFiles(handle), 0);
  EXPECT_NE(access(path.c_str(), F_OK), 0);  // the incomplete file is gone
  rmdir(dir.c_str());
}

TEST_F(Env, PathMacrosKeepForwardSlashes) {
  EnvRecord& e = env();
  e.transfer.input_path = "/data/in/survey.sav";
  e.transfer.output_path = "/tmp/out//result.sas7bdat";
  struct Case {
    const char* text;
    const char* expected;
  } cases[] = {
      {"%ipath%/sas_fmts.sas7bdat", "/data/in/sas_fmts.sas7bdat"},
      {"%OPATH%/%oname%.sas", "/tmp/out/result.sas"},
      {"%iname%.%iext%-%oext%", "survey.sav-sas7bdat"},
      {"%unknown%/x", "%unknown%/x"},
      {"//server/share//x", "//server/share/x"},
      {"50% done", "50% done"},
  };
  for (const Case& c : cases) EXPECT_EQ(expand_path_macros(e, c.text), c.expected) << c.text;

  e.transfer.input_path = "plain.csv";  // no directory: the current one
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(expand_path_macros(e, "%ipath%/f"), std::string(cwd) + "/f");
}

}  // namespace
