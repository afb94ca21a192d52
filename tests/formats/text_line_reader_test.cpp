// The line reader behind every text input, through the exported dxi_*rdline calls.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tabulon/tabulon.h"

namespace {

struct Env {
  int32_t handle = DX_OpenEnvironment();
  ~Env() { DX_CloseEnvironment(handle); }
};

FILE* file_with(const std::string& bytes) {
  FILE* f = std::tmpfile();
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::rewind(f);
  return f;
}

std::vector<std::string> all_lines(void* r) {
  std::vector<std::string> out;
  char* line = nullptr;
  int32_t len = -1;
  while (dxi_rdline(r, &line, &len) == 1) {
    EXPECT_EQ(line[len], '\0');
    out.emplace_back(line, static_cast<size_t>(len));
  }
  return out;
}

std::string utf16(const std::u16string& s, bool big) {
  std::string out;
  for (char16_t c : s) {
    const char hi = static_cast<char>(c >> 8), lo = static_cast<char>(c & 0xFF);
    out += big ? hi : lo;
    out += big ? lo : hi;
  }
  return out;
}

std::string utf32le(const std::u32string& s) {
  std::string out;
  for (char32_t c : s)
    for (int i = 0; i < 4; ++i) out += static_cast<char>((c >> (8 * i)) & 0xFF);
  return out;
}

using Lines = std::vector<std::string>;

}  // namespace

TEST(TextLineReader, LinesOfSources) {
  struct Case {
    const char* what;
    std::string bytes;
    const char* encoding;
    int32_t flags;
    Lines want;
  } cases[] = {
      {"line ends", "a\nb\r\nc\rd", nullptr, 0, {"a", "b", "c", "d"}},
      {"empty lines stay", "a\n\n\r\n\nb\n", nullptr, 0, {"a", "", "", "", "b"}},
      {"trailing blanks go", "a  \n  b \n", nullptr, 0, {"a", "  b"}},
      {"NUL and Ctrl-Z dropped", std::string("a\0b\x1A\n", 5), nullptr, 0, {"ab"}},
      // The line break after the last ";" is a blank line of its own.
      {"statement mode", "x = 1\n  y;z;\n", nullptr, 1, {"x = 1   y", "z", ""}},
      {"UTF-8 mark skipped", "\xEF\xBB\xBFname\n\xC3\xA9t\xC3\xA9\n", "UTF-8", 0, {"name", "\xC3\xA9t\xC3\xA9"}},
      {"UTF-16LE with mark", "\xFF\xFE" + utf16(u"n\u00e9\r\nx\U0001F600\n", false), "UTF-8", 0,
       {"n\xC3\xA9", "x\xF0\x9F\x98\x80"}},
      {"UTF-16BE with mark", "\xFE\xFF" + utf16(u"ab\ncd", true), "UTF-8", 0, {"ab", "cd"}},
      {"UTF-32LE with mark", utf32le(U"\uFEFFq\u20AC\nr"), "UTF-8", 0, {"q\xE2\x82\xAC", "r"}},
      {"Latin-1 converted", "caf\xE9\nplain\n", "ISO-8859-1", 0, {"caf\xC3\xA9", "plain"}},
      {"no encoding: bytes as they are", "\xEF\xBB\xBFx\n", nullptr, 0, {"\xEF\xBB\xBFx"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Env e;
    FILE* f = file_with(c.bytes);
    void* r = dxi_open_rdline(e.handle, f, c.encoding, c.flags);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(all_lines(r), c.want);
    // A rewind starts over at the data start (after the mark).
    dxi_rewind_rdline(r);
    EXPECT_EQ(all_lines(r), c.want);
    dxi_close_rdline(r);
    std::fclose(f);
  }
}

TEST(TextLineReader, ChangeFileDetectsTheMarkAgain) {
  Env e;
  FILE* a = file_with("one\n");
  FILE* b = file_with("\xFF\xFE" + utf16(u"two\n", false));
  void* r = dxi_open_rdline(e.handle, a, "UTF-8", 0);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(all_lines(r), Lines{"one"});
  EXPECT_EQ(dxi_rdline_change_file(r, b), 0);
  EXPECT_EQ(all_lines(r), Lines{"two"});
  dxi_close_rdline(r);
  std::fclose(a);
  std::fclose(b);
}

TEST(TextLineReader, BadArgumentsAreRefused) {
  Env e;
  EXPECT_EQ(dxi_open_rdline(e.handle, nullptr, nullptr, 0), nullptr);
  FILE* f = file_with("x\n");
  EXPECT_EQ(dxi_open_rdline(9999, f, nullptr, 0), nullptr);
  EXPECT_EQ(dxi_rdline(nullptr, nullptr, nullptr), -1);
  EXPECT_EQ(dxi_close_rdline(nullptr), 0);
  std::fclose(f);
}
