// Our compound files as python3-olefile sees them, and olefile's in-place rewrites as
// we see them. Skipped when the Debian python with olefile is absent.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "io/stream.h"

using namespace tabulon;

namespace {

const char kPython[] = "/usr/bin/python3";

bool have_olefile() {
  std::string cmd = std::string(kPython) + " -c 'import olefile' >/dev/null 2>&1";
  return access(kPython, X_OK) == 0 && std::system(cmd.c_str()) == 0;
}

std::string pattern(int seed, size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((seed * 31 + i * 7 + (i >> 9)) & 0xFF);
  return s;
}

std::vector<std::string> split_path(const std::string& name) {
  std::vector<std::string> parts;
  size_t from = 0, slash;
  while ((slash = name.find('/', from)) != std::string::npos) {
    parts.push_back(name.substr(from, slash - from));
    from = slash + 1;
  }
  parts.push_back(name.substr(from));
  return parts;
}

Stream* open_nested(const std::string& file, const std::string& name, int32_t mode, Stream* reuse = nullptr) {
  std::vector<std::string> parts = split_path(name);
  std::string leaf = parts.back();
  parts.pop_back();
  Stream* s = reuse ? reuse : StreamOpenStorage(file.c_str(), nullptr, mode, nullptr);
  if (!s) return nullptr;
  std::vector<const char*> names;
  for (auto& p : parts) names.push_back(p.c_str());
  if (StreamOpenNested(s, names.data(), static_cast<int32_t>(names.size()), leaf.c_str(), mode) != 0) {
    if (!reuse) StreamClose(s);
    return nullptr;
  }
  return s;
}

// The checker: the file's stream list must equal the manifest exactly, and every
// stream's bytes must equal its reference file. Then it rewrites one stream in place.
const char kChecker[] = R"PY(
import sys, olefile
cfb, manifest, rewrite = sys.argv[1], sys.argv[2], sys.argv[3]
want = {}
for line in open(manifest, encoding="utf-8"):
    name, ref = line.rstrip("\n").split("\t")
    want[name] = ref
ole = olefile.OleFileIO(cfb)
have = sorted("/".join(e) for e in ole.listdir(streams=True, storages=False))
if have != sorted(want):
    print("names differ:", have, sorted(want)); sys.exit(1)
for name, ref in want.items():
    data = ole.openstream(name).read()
    if data != open(ref, "rb").read():
        print("bytes differ:", name, len(data)); sys.exit(1)
    if ole.get_size(name) != len(data):
        print("size differs:", name); sys.exit(1)
ole.close()
if rewrite != "-":
    ole = olefile.OleFileIO(cfb, write_mode=True)
    data = ole.openstream(rewrite).read()
    ole.write_stream(rewrite, data[::-1])
    ole.close()
print("OK")
)PY";

std::string run(const std::string& cmd) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return "<popen failed>";
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

struct OlefileInterop : ::testing::Test {
  std::string dir;
  void SetUp() override {
    if (!have_olefile()) GTEST_SKIP() << "python3-olefile not available";
    char tmpl[] = "/tmp/tabulon_ole_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    std::ofstream(dir + "/check.py") << kChecker;
  }
  void TearDown() override {
    if (!dir.empty()) std::system(("rm -rf '" + dir + "'").c_str());
  }

  // Writes the streams with our writer and has olefile check them.
  std::string write_and_check(const std::map<std::string, std::string>& streams, const std::string& rewrite) {
    const std::string cfb = dir + "/ours.cfb";
    Stream* s = StreamOpenStorage(cfb.c_str(), nullptr, 4, nullptr);
    if (!s) return "<create failed>";
    std::ofstream manifest(dir + "/manifest.txt", std::ios::binary);
    int k = 0;
    for (const auto& [name, data] : streams) {
      if (!open_nested(cfb, name, 4, s)) return "<nested create failed: " + name + ">";
      for (size_t at = 0; at < data.size(); at += 65536) {
        int32_t n = static_cast<int32_t>(std::min<size_t>(65536, data.size() - at));
        if (StreamWrite(s, data.data() + at, n) != n) return "<write failed>";
      }
      std::string ref = dir + "/ref" + std::to_string(k++);
      std::ofstream(ref, std::ios::binary) << data;
      manifest << name << '\t' << ref << '\n';
    }
    manifest.close();
    StreamClose(s);
    return run(std::string(kPython) + " " + dir + "/check.py " + cfb + " " + dir + "/manifest.txt " + rewrite +
               " 2>&1");
  }
};

std::string read_whole(Stream* s) {
  std::string out;
  char buf[65536];
  int32_t got;
  while ((got = StreamRead(s, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(got));
  return out;
}

}  // namespace

TEST_F(OlefileInterop, StreamsBelowAndAboveTheCutoffInNestedStorages) {
  std::map<std::string, std::string> streams;
  int seed = 0;
  for (size_t size : {0, 1, 64, 100, 4095, 4096, 4097, 70000}) streams["s" + std::to_string(size)] = pattern(++seed, size);
  streams["Workbook"] = pattern(++seed, 9000);
  streams["\x05SummaryInformation"] = pattern(++seed, 200);
  streams["Storage/Inner"] = pattern(++seed, 5000);
  streams["Storage/Deep/tiny"] = pattern(++seed, 3);
  streams["caf\xC3\xA9"] = pattern(++seed, 10);
  EXPECT_EQ(write_and_check(streams, "s4097"), "OK\n");
  // olefile rewrote "s4097" in place (reversed): we read its bytes.
  Stream* s = open_nested(dir + "/ours.cfb", "s4097", 1);
  ASSERT_NE(s, nullptr);
  std::string want = streams["s4097"];
  EXPECT_EQ(read_whole(s), std::string(want.rbegin(), want.rend()));
  StreamClose(s);
}

TEST_F(OlefileInterop, FileOverSevenMegabytes) {
  std::map<std::string, std::string> streams{{"Big", pattern(1, 8 * 1024 * 1024 + 333)},
                                             {"Other", pattern(2, 600 * 1024)},
                                             {"small", pattern(3, 99)}};
  EXPECT_EQ(write_and_check(streams, "small"), "OK\n");
  struct stat st;
  ASSERT_EQ(stat((dir + "/ours.cfb").c_str(), &st), 0);
  EXPECT_GT(st.st_size, 7 * 1024 * 1024);
  Stream* s = open_nested(dir + "/ours.cfb", "small", 1);
  ASSERT_NE(s, nullptr);
  std::string want = streams["small"];
  EXPECT_EQ(read_whole(s), std::string(want.rbegin(), want.rend()));
  StreamClose(s);
}
