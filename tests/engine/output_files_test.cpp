// The output and its side files are written under temporary names and replace their targets
// only on commit: a failure, a discard or a signal leaves the previous files as they were.
#include "engine/output_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "tabulon/tabulon.h"

namespace tabulon {
namespace {

class OutputFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/outfiles-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    dir_ = templ;
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
  std::string path(const char* name) const { return dir_ + "/" + name; }
  static void put(const std::string& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }
  static std::string get(const std::string& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }
  int entries() const {
    int n = 0;
    std::string cmd = "ls -A '" + dir_ + "' | wc -l";
    FILE* p = popen(cmd.c_str(), "r");
    if (p && std::fscanf(p, "%d", &n) != 1) n = -1;
    if (p) pclose(p);
    return n;
  }
  std::string dir_;
};

TEST_F(OutputFilesTest, CommitReplacesTargetsDiscardKeepsThem) {
  const std::string out = path("out.csv"), sch = path("out.SCH");
  put(out, "old");
  chmod(out.c_str(), 0640);
  {
    OutputFiles files;
    std::string temp = files.begin_main(out);
    ASSERT_NE(temp, out);
    EXPECT_EQ(temp.rfind(dir_ + "/", 0), 0u) << "the temporary file lies beside the target";
    put(temp, "new");
    std::string side = files.side_file(sch);
    ASSERT_FALSE(side.empty());
    put(side, "schema");
    EXPECT_EQ(get(out), "old");
    EXPECT_FALSE(access(sch.c_str(), F_OK) == 0);
    std::string failed;
    ASSERT_TRUE(files.commit(failed)) << failed;
  }
  EXPECT_EQ(get(out), "new");
  EXPECT_EQ(get(sch), "schema");
  struct stat st;
  ASSERT_EQ(stat(out.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u) << "the replaced file keeps its permissions";
  EXPECT_EQ(entries(), 2);

  {
    OutputFiles files;
    put(files.begin_main(out), "partial");
    put(files.side_file(sch), "partial");
    // Leaving without commit (a failed transfer, an unwinding error) discards.
  }
  EXPECT_EQ(get(out), "new");
  EXPECT_EQ(get(sch), "schema");
  EXPECT_EQ(entries(), 2);
}

TEST_F(OutputFilesTest, LinksAreFollowedDevicesWrittenAsTheyAre) {
  const std::string real = path("real.csv"), link = path("link.csv");
  put(real, "old");
  ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
  OutputFiles files;
  put(files.begin_main(link), "new");
  std::string failed;
  ASSERT_TRUE(files.commit(failed));
  struct stat st;
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link stays a link";
  EXPECT_EQ(get(real), "new");

  OutputFiles device;
  EXPECT_EQ(device.begin_main("/dev/null"), "/dev/null");
  EXPECT_TRUE(device.main_is_direct());
  EXPECT_EQ(device.side_file("/dev/null.SCH"), "") << "no side file beside a device";
  OutputFiles standard;
  EXPECT_EQ(standard.begin_main("stdout"), "stdout");
  EXPECT_EQ(standard.side_file(path("x.SCH")), "");
}

TEST_F(OutputFilesTest, SignalCleanupRemovesUnfinishedFiles) {
  OutputFiles files;
  std::string temp = files.begin_main(path("big.dta"));
  put(temp, "half");
  dxi_remove_partial_outputs();
  EXPECT_NE(access(temp.c_str(), F_OK), 0);
  EXPECT_EQ(entries(), 0);
}

TEST_F(OutputFilesTest, SameFileThroughALink) {
  const std::string a = path("a.csv"), b = path("b.csv");
  put(a, "x");
  ASSERT_EQ(symlink(a.c_str(), b.c_str()), 0);
  EXPECT_TRUE(engine_same_file(a, b));
  put(path("c.csv"), "x");
  EXPECT_FALSE(engine_same_file(a, path("c.csv")));
}

}  // namespace
}  // namespace tabulon
