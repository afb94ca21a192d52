#include "io/copy_command.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>

#include "api/env_record.h"
#include "io/io_state.h"
#include "io/stream.h"

using namespace tabulon;

namespace {

const std::string kXls = std::string(TABULON_TEST_DATA) + "/io/xlwt_small.xls";

std::string temp_path(const std::string& leaf) {
  return std::string(::testing::TempDir()) + "tabulon_copy_" + std::to_string(getpid()) + "_" + leaf;
}
std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string read_stream(const std::string& file, const char* name) {
  Stream* s = StreamOpenStorage(file.c_str(), name, 1, nullptr);
  if (!s) return "<missing>";
  std::string out(static_cast<size_t>(StreamLength64(s)), '\0');
  out.resize(static_cast<size_t>(StreamRead(s, out.data(), static_cast<int32_t>(out.size()))));
  StreamClose(s);
  return out;
}

struct CopyCommand : ::testing::Test {
  std::unique_ptr<EnvRecord> env = std::make_unique<EnvRecord>();
  void SetUp() override { ASSERT_TRUE(io_env_open(*env, 0)); }
  void TearDown() override { io_env_close(*env); }
  // Runs the command; returns its result and what it printed.
  std::pair<int32_t, std::string> run(const std::string& text) {
    ::testing::internal::CaptureStdout();
    int32_t r = stream_copy_command(*env, text.c_str());
    return {r, ::testing::internal::GetCapturedStdout()};
  }
};

}  // namespace

TEST_F(CopyCommand, OutOfACompoundFileDefaultsToWorkbook) {
  const std::string out = temp_path("wb.bin");
  auto [r, text] = run("<" + kXls + ";" + out);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(text, "Stream Workbook successfuly copied from " + kXls + " to " + out + "\n");
  EXPECT_EQ(read_file(out), read_stream(kXls, "Workbook"));
  EXPECT_EQ(read_file(out).size(), 8192u);
  EXPECT_EQ(env->ole_state, 1);
  unlink(out.c_str());
}

TEST_F(CopyCommand, IntoANewCompoundFileAndBack) {
  const std::string plain = temp_path("plain.bin"), cfb = temp_path("made.cfb"), back = temp_path("back.bin");
  std::string payload;
  for (int i = 0; i < 7000; ++i) payload += static_cast<char>(i * 5);
  std::ofstream(plain, std::ios::binary) << payload;
  auto [r, text] = run(">" + plain + ";" + cfb + ";Data");
  EXPECT_EQ(r, 0);
  EXPECT_EQ(text, "file " + plain + " successfully copied to stream Data in file " + cfb + "\n");
  EXPECT_EQ(read_stream(cfb, "Data"), payload);
  auto [r2, text2] = run("<" + cfb + ";" + back + ";Data");
  EXPECT_EQ(r2, 0);
  EXPECT_EQ(read_file(back), payload);
  unlink(plain.c_str());
  unlink(cfb.c_str());
  unlink(back.c_str());
}

TEST_F(CopyCommand, FailuresPrintTheirTexts) {
  const std::string missing = "/nonexistent-dir/none";
  const std::string plain = temp_path("p.bin");
  std::ofstream(plain) << "x";
  struct {
    std::string command, text;
  } cases[] = {
      {"", "invalid parameters\n"},
      {"<", "invalid parameters\n"},
      {"<" + kXls, "invalid parameters\n"},
      {"<" + kXls + ";", "invalid parameters\n"},
      {"=" + kXls + ";out", "directional sign required\n"},
      {"<" + missing + ";" + plain, "cannot open file " + missing + ", stream Workbook\n"},
      {"<" + kXls + ";" + plain + ";NoSuchStream", "cannot open file " + kXls + ", stream NoSuchStream\n"},
      {"<" + kXls + ";" + missing, "cannot open file " + missing + "\n"},
      {">" + missing + ";" + temp_path("never.cfb"), "cannot open file " + missing + "\n"},
      {">" + plain + ";" + missing + ";S", "cannot open file " + missing + ", stream S\n"},
      {"<" + kXls + ";/dev/full", "Error copying\n"},
  };
  for (auto& c : cases) {
    auto [r, text] = run(c.command);
    EXPECT_EQ(r, -1) << c.command;
    EXPECT_EQ(text, c.text) << c.command;
  }
  EXPECT_NE(access(temp_path("never.cfb").c_str(), F_OK), 0);  // nothing created for a missing source
  unlink(plain.c_str());
}
