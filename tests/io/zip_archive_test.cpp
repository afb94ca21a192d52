#include "io/zip_archive.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

using namespace tabulon;

namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}
std::string as_string(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

int sh(const std::string& cmd) { return std::system(cmd.c_str()); }

struct ZipArchive : ::testing::Test {
  std::string dir;
  void SetUp() override {
    char tmpl[] = "/tmp/tabulon_zip_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
  }
  void TearDown() override { sh("rm -rf '" + dir + "'"); }
};

std::string noisy(size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1103515245u + 12345u;
    s[i] = static_cast<char>(seed >> 16);
  }
  return s;
}

}  // namespace

TEST_F(ZipArchive, ReadsWhatZipWrote) {
  const std::string a = "hello, package\n", b = std::string(200000, 'q') + "end";
  ASSERT_EQ(sh("mkdir -p '" + dir + "/in/xl'"), 0);
  write_file(dir + "/in/a.txt", a);
  write_file(dir + "/in/xl/b.xml", b);
  ASSERT_EQ(sh("cd '" + dir + "/in' && zip -q -r ../deflated.zip . && zip -q -0 -r ../stored.zip ."), 0);
  for (const char* name : {"deflated.zip", "stored.zip"}) {
    SCOPED_TRACE(name);
    ZipReader* z = zip_open_read((dir + "/" + name).c_str());
    ASSERT_NE(z, nullptr);
    std::vector<uint8_t> got;
    EXPECT_TRUE(zip_read_member(z, "a.txt", &got));
    EXPECT_EQ(as_string(got), a);
    EXPECT_TRUE(zip_read_member(z, "xl/b.xml", &got));
    EXPECT_EQ(as_string(got), b);
    EXPECT_TRUE(zip_read_member(z, "XL/B.XML", &got));  // part names ignore ASCII case
    EXPECT_EQ(got.size(), b.size());
    EXPECT_FALSE(zip_read_member(z, "missing.xml", &got));
    EXPECT_FALSE(zip_read_member(z, "xl/b.xml", &got, 1000));  // over the caller's limit
    EXPECT_TRUE(got.empty());
    zip_close_read(z);
  }
}

TEST_F(ZipArchive, ReadsAnOpenpyxlWorkbook) {
  if (sh("/usr/bin/python3 -c 'import openpyxl' >/dev/null 2>&1") != 0) GTEST_SKIP() << "python3-openpyxl missing";
  const std::string xlsx = dir + "/book.xlsx";
  ASSERT_EQ(sh("/usr/bin/python3 -c \"import openpyxl; wb=openpyxl.Workbook(); ws=wb.active; ws.title='Scores';"
               " ws['A1']='name'; ws['B1']=42.5; wb.save('" + xlsx + "')\""),
            0);
  // Reference bytes of the sheet as Python's zipfile reads them.
  ASSERT_EQ(sh("/usr/bin/python3 -c \"import zipfile; open('" + dir + "/sheet.ref','wb').write(zipfile.ZipFile('" +
               xlsx + "').read('xl/worksheets/sheet1.xml'))\""),
            0);
  ZipReader* z = zip_open_read(xlsx.c_str());
  ASSERT_NE(z, nullptr);
  std::vector<std::string> names = zip_member_names(z);
  EXPECT_NE(std::find(names.begin(), names.end(), "[Content_Types].xml"), names.end());
  EXPECT_TRUE(zip_has_member(z, "xl/workbook.xml"));
  std::vector<uint8_t> got;
  ASSERT_TRUE(zip_read_member(z, "xl/worksheets/sheet1.xml", &got));
  EXPECT_EQ(as_string(got), read_file(dir + "/sheet.ref"));
  EXPECT_NE(as_string(got).find("42.5"), std::string::npos);
  ASSERT_TRUE(zip_read_member(z, "xl/workbook.xml", &got));
  EXPECT_NE(as_string(got).find("Scores"), std::string::npos);
  zip_close_read(z);
}

TEST_F(ZipArchive, WritesWhatUnzipAndPythonAccept) {
  const std::string path = dir + "/out.zip";
  const std::string small = "<?xml version=\"1.0\"?><a/>", repetitive(1 << 20, 'x'), random = noisy(300000, 7);
  ZipWriter* w = zip_create(path.c_str());
  ASSERT_NE(w, nullptr);
  EXPECT_TRUE(zip_add_member(w, "[Content_Types].xml", small.data(), small.size()));
  EXPECT_TRUE(zip_add_member(w, "empty.bin", "", 0));
  EXPECT_TRUE(zip_begin_member(w, "xl/big.txt"));
  for (size_t at = 0; at < repetitive.size(); at += 10000)
    EXPECT_TRUE(zip_write_member(w, repetitive.data() + at, std::min<size_t>(10000, repetitive.size() - at)));
  EXPECT_TRUE(zip_end_member(w));
  EXPECT_TRUE(zip_add_member(w, "xl/random.bin", random.data(), random.size()));
  EXPECT_TRUE(zip_close_write(w));
  EXPECT_LT(read_file(path).size(), 400000u);  // the repetitive member really is deflated
  EXPECT_EQ(sh("unzip -tq '" + path + "' >/dev/null"), 0);
  EXPECT_EQ(sh("/usr/bin/python3 -c \"import zipfile,sys; z=zipfile.ZipFile('" + path +
               "'); sys.exit(0 if z.read('xl/big.txt')==b'x'*(1<<20) and z.read('empty.bin')==b'' and"
               " all(i.compress_type==zipfile.ZIP_DEFLATED for i in z.infolist()) else 1)\""),
            0);
  ZipReader* z = zip_open_read(path.c_str());
  ASSERT_NE(z, nullptr);
  EXPECT_EQ(zip_member_names(z),
            (std::vector<std::string>{"[Content_Types].xml", "empty.bin", "xl/big.txt", "xl/random.bin"}));
  std::vector<uint8_t> got;
  EXPECT_TRUE(zip_read_member(z, "xl/random.bin", &got));
  EXPECT_EQ(as_string(got), random);
  EXPECT_TRUE(zip_read_member(z, "empty.bin", &got));
  EXPECT_TRUE(got.empty());
  zip_close_read(z);
}

TEST_F(ZipArchive, DamagedArchivesAreRefused) {
  const std::string path = dir + "/d.zip";
  const std::string data = noisy(50000, 3);
  ZipWriter* w = zip_create(path.c_str());
  ASSERT_NE(w, nullptr);
  EXPECT_TRUE(zip_add_member(w, "m.bin", data.data(), data.size(), 0));  // stored: a flipped byte survives inflate
  EXPECT_TRUE(zip_close_write(w));
  std::string bytes = read_file(path);
  // A changed data byte fails the CRC check.
  std::string flipped = bytes;
  flipped[1000] = static_cast<char>(flipped[1000] ^ 0x55);
  write_file(path, flipped);
  ZipReader* z = zip_open_read(path.c_str());
  ASSERT_NE(z, nullptr);
  std::vector<uint8_t> got;
  EXPECT_FALSE(zip_read_member(z, "m.bin", &got));
  EXPECT_TRUE(got.empty());
  zip_close_read(z);
  // Without its central directory it is no archive.
  write_file(path, bytes.substr(0, bytes.size() / 2));
  EXPECT_EQ(zip_open_read(path.c_str()), nullptr);
  EXPECT_EQ(zip_open_read((dir + "/none.zip").c_str()), nullptr);
  EXPECT_EQ(zip_create("/nonexistent-dir/x.zip"), nullptr);
}
