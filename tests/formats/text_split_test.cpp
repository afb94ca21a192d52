// Splitting delimited lines into fields: blanks, quotes, tabs and combined delimiters.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "formats/text/field_split.h"

using namespace tabulon;

namespace {

// Fields of a line; a quoted field is shown between <>.
std::vector<std::string> fields(std::string line, char delim, char quote = '"') {
  std::vector<std::string> out;
  FieldSpan f;
  size_t pos = 0, next = 0;
  while (split_field(line.data(), line.size(), pos, delim, quote, &f, &next)) {
    std::string t(f.text, f.len);
    out.push_back(f.quoted ? "<" + t + ">" : t);
    if (next <= pos) break;  // no progress would be a hang
    pos = next;
  }
  return out;
}

using V = std::vector<std::string>;

}  // namespace

TEST(TextSplit, FieldsOfLines) {
  struct Case {
    const char* line;
    char delim;
    char quote;
    V want;
  } cases[] = {
      {"a,b,c", ',', '"', {"a", "b", "c"}},
      {"  a , b ,c  ", ',', '"', {"a", "b", "c"}},
      {"a,,c", ',', '"', {"a", "", "c"}},
      {",a", ',', '"', {"", "a"}},
      {"a,", ',', '"', {"a"}},
      {"\"x,y\",z", ',', '"', {"<x,y>", "z"}},
      {"\"he said \"\"hi\"\"\",2", ',', '"', {"<he said \"hi\">", "2"}},
      {"\"\"\"\"", ',', '"', {"<\">"}},
      {"\"\",x", ',', '"', {"<>", "x"}},
      {"\"  pad  \"  ,x", ',', '"', {"<pad>", "x"}},
      {"\"ab\"c\",d", ',', '"', {"<ab\"c>", "d"}},
      {"\"open ended,x", ',', '"', {"<open ended,x>"}},
      {"\"a\nb\",c", ',', '"', {"<a\nb>", "c"}},
      {"'q,r',s", ',', '\'', {"<q,r>", "s"}},
      {"\"q,r\",s", ',', 0, {"\"q", "r\"", "s"}},
      // Tab delimiter: leading tabs are fields, empty fields stay.
      {"\t\ta\tb", '\t', '"', {"", "", "a", "b"}},
      {"a\t\tb", '\t', '"', {"a", "", "b"}},
      // Tabs are blanks when they do not delimit.
      {"\ta,\tb", ',', '"', {"a", "b"}},
      // Blank delimiter: runs of blanks are one separator.
      {"a   b  c", ' ', '"', {"a", "b", "c"}},
      {"\"x y\" z", ' ', '"', {"<x y>", "z"}},
      {"a;b;;c", ';', '"', {"a", "b", "", "c"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(fields(c.line, c.delim, c.quote), c.want);
  }
}

TEST(TextSplit, CombinedDelimiters) {
  struct Case {
    const char* line;
    int mode;
    char delim;
    const char* want;
    char want_delim;
  } cases[] = {
      {"a,,,b,,c", 1, ',', "a,b,c", ','},
      {"a  b   c", 1, ' ', "a b c", ' '},
      {"a\t\t b \tc", 2, ',', "a b c", ' '},
      {"a,,b", 0, ',', "a,,b", ','},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    std::string line = c.line;
    char d = c.delim;
    size_t n = combine_delimiters(line.data(), line.size(), c.mode, &d);
    EXPECT_EQ(line.substr(0, n), c.want);
    EXPECT_EQ(d, c.want_delim);
    for (size_t i = n; i < line.size(); ++i) EXPECT_EQ(line[i], 0);
  }
}

namespace {

// The fields split_field gives one by one, as spans (positions in the line).
std::vector<std::pair<size_t, size_t>> spans_one_by_one(std::string line, char delim, char quote, size_t max) {
  std::vector<std::pair<size_t, size_t>> out;
  FieldSpan f;
  size_t pos = 0, next = 0;
  while (out.size() < max && split_field(line.data(), line.size(), pos, delim, quote, &f, &next)) {
    out.emplace_back(static_cast<size_t>(f.text - line.data()), f.len);
    pos = next;
  }
  return out;
}

// The inline path must give split_field's fields on every line, whatever its blanks and quotes.
std::vector<std::pair<size_t, size_t>> spans_fast(std::string& line, char delim, char quote) {
  std::vector<std::pair<size_t, size_t>> out;
  FieldSpan f;
  size_t pos = 0, next = 0;
  while (split_field_fast(line.data(), line.size(), pos, delim, quote, &f, &next)) {
    out.emplace_back(f.len ? static_cast<size_t>(f.text - line.data()) : 0, f.len);
    pos = next;
  }
  return out;
}

}  // namespace

// Lines over a small alphabet of the bytes that matter, long enough to cross the 16-byte
// blocks of the vector search: the cuts found in one go are split_field's, and lines with
// a quote or a blank beside a delimiter are left to split_field.
TEST(TextSplit, WholeLineCutsAgreeWithFieldByField) {
  const char alphabet[] = {'a', 'b', ',', ';', ' ', '\t', '"', '7'};
  uint64_t seed = 12345;
  auto next_rand = [&] {
    seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<unsigned>(seed >> 33);
  };
  FieldCuts cuts;
  size_t plain_lines = 0;
  for (int i = 0; i < 40000; ++i) {
    const size_t len = next_rand() % 70;
    const bool with_specials = i % 4 == 0;
    std::string line;
    for (size_t k = 0; k < len; ++k)
      line += alphabet[next_rand() % (with_specials ? sizeof alphabet : 4)];
    for (char delim : {',', ';', '\t'}) {
      for (char quote : {'"', '\0'}) {
        const size_t max = i % 3 == 0 ? 3 : 1000;
        const auto want = spans_one_by_one(line, delim, quote, max);
        std::string copy = line;
        if (split_plain_line(copy.data(), copy.size(), delim, quote, max, cuts)) {
          ++plain_lines;
          ASSERT_EQ(cuts.n, want.size()) << "[" << line << "]";
          for (size_t k = 0; k < cuts.n; ++k) {
            const size_t b = k ? cuts.at[k - 1] + 1 : 0;
            ASSERT_EQ(b, want[k].first) << "[" << line << "] field " << k;
            ASSERT_EQ(cuts.at[k] - b, want[k].second) << "[" << line << "] field " << k;
          }
        } else {
          const bool blank_or_quote = line.find_first_of(quote ? std::string(" \t\"") : std::string(" \t")) != std::string::npos;
          ASSERT_TRUE(blank_or_quote || delim == '\t') << "[" << line << "] refused";
        }
        if (max == 1000) {
          auto want_all = spans_one_by_one(line, delim, quote, max);
          for (auto& s : want_all)
            if (s.second == 0) s.first = 0;
          std::string c2 = line;
          ASSERT_EQ(spans_fast(c2, delim, quote), want_all) << "[" << line << "]";
        }
      }
    }
  }
  EXPECT_GT(plain_lines, 40000u);
}
