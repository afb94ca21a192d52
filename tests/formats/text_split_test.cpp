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
