// Malformed delimited input through the whole transfer: an error with a message or sound
// values, never a crash or a hang.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "tabulon/tabulon.h"

namespace {

struct TempDir {
  std::string path;
  TempDir() {
    char t[] = "/tmp/tabulon_text_XXXXXX";
    path = mkdtemp(t);
  }
  ~TempDir() { std::system(("rm -rf " + path).c_str()); }
};

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

struct Result {
  int32_t dict = 0;       // DX_ReadDict
  int32_t transfer = 0;   // DX_TransferAllRecords
  std::string message;
  std::string output;
};

Result convert(const std::string& dir, const std::string& input) {
  write_file(dir + "/in.csv", input);
  Result r;
  const int32_t env = DX_OpenEnvironment();
  EXPECT_EQ(DX_OpenInputFile(env, 18, (dir + "/in.csv").c_str()), 0);
  r.dict = DX_ReadDict(env);
  if (r.dict > 0) {
    EXPECT_EQ(DX_OpenOutFile(env, 18, (dir + "/out.csv").c_str()), 0) << DX_GetErrorMsg(env);
    r.transfer = DX_TransferAllRecords(env);
  }
  r.message = DX_GetErrorMsg(env) ? DX_GetErrorMsg(env) : "";
  DX_CloseFiles(env);
  DX_CloseEnvironment(env);
  r.output = read_file(dir + "/out.csv");
  return r;
}

}  // namespace

TEST(TextMalformed, EmptyInputsHaveNoDictionary) {
  TempDir d;
  for (const char* text : {"", "\n\n", "\x1A\x1A"}) {
    Result r = convert(d.path, text);
    EXPECT_LT(r.dict, 0);
    EXPECT_FALSE(r.message.empty());
  }
}

TEST(TextMalformed, BinaryGarbage) {
  TempDir d;
  std::mt19937 rng(7);
  std::string bytes(1 << 20, '\0');
  for (char& c : bytes) c = static_cast<char>(rng());
  Result r = convert(d.path, bytes);
  ASSERT_GT(r.dict, 0);
  EXPECT_LE(r.dict, 32767);
  EXPECT_GE(r.transfer, 0) << r.message;
}

TEST(TextMalformed, DelimitersWithoutEnd) {
  TempDir d;
  Result r = convert(d.path, std::string(1 << 20, ',') + "\n1,2\n");
  // One column per field up to a bound, the rest of the fields ignored.
  EXPECT_EQ(r.dict, 32767);
  EXPECT_GE(r.transfer, 0) << r.message;
}

TEST(TextMalformed, UnterminatedQuoteJoinsTheRest) {
  TempDir d;
  Result r = convert(d.path, "a,b\n1,\"open\n2,3\n4,5\n");
  ASSERT_EQ(r.dict, 2);
  EXPECT_GE(r.transfer, 0) << r.message;
  // The open quote runs to the end of the file: one record with the rest as its text.
  EXPECT_EQ(r.output, "\"a\",\"b\"\n1,\"open\n2,3\n4,5\n\"\n");
}

TEST(TextMalformed, HundredMegabyteLine) {
  TempDir d;
  std::string text = "a,b\n1,";
  text.append(100u << 20, 'x');
  text += "\n2,short\n";
  Result r = convert(d.path, text);
  ASSERT_EQ(r.dict, 2);
  EXPECT_GE(r.transfer, 0) << r.message;
  // The string column is as wide as the scan allows (32767 bytes); the long value is cut
  // to its slot in the record.
  const size_t first = r.output.find("\n1,\"xxx");
  const size_t second = r.output.find("\"\n2,\"short\"\n");
  ASSERT_NE(first, std::string::npos);
  ASSERT_NE(second, std::string::npos);
  EXPECT_GE(second - first, 3u + 32767);
  EXPECT_LE(second - first, 3u + 4 * 32768);
}
