// Text of Stata files that declare no encoding: UTF-8 where it is valid, Windows-1252 otherwise.
#include <gtest/gtest.h>

#include <string>

#include "formats/stata/stata_text_encoding.h"

using namespace tabulon;

TEST(StataTextEncoding, Utf8ValidityAndWindows1252) {
  struct Case {
    std::string bytes;
    bool valid;
    std::string as_1252;  // what the bytes read as under Windows-1252
  } cases[] = {
      {"plain", true, "plain"},
      {"f\xfcr", false, "f\xc3\xbcr"},                       // latin-1 u-umlaut
      {"f\xc3\xbcr", true, "f\xc3\x83\xc2\xbcr"},            // already UTF-8
      {"\x80 \x9f", false, "\xe2\x82\xac \xc5\xb8"},          // euro sign, Y-diaeresis
      {"\x81", false, "\xef\xbf\xbd"},                       // unassigned in 1252
      {"\xc0\xaf", false, "\xc3\x80\xc2\xaf"},               // overlong slash is not UTF-8
      {"\xed\xa0\x80", false, "\xc3\xad\xc2\xa0\xe2\x82\xac"},  // a surrogate is not UTF-8
      {"\xe2\x82", false, "\xc3\xa2\xe2\x80\x9a"},            // cut sequence
      {"\xf0\x9f\x98\x80", true, "\xc3\xb0\xc5\xb8\xcb\x9c\xe2\x82\xac"},
  };
  for (const Case& c : cases) {
    const auto* p = reinterpret_cast<const unsigned char*>(c.bytes.data());
    EXPECT_EQ(utf8_valid(p, c.bytes.size()), c.valid) << c.bytes;
    std::string out;
    cp1252_to_utf8(p, c.bytes.size(), out);
    EXPECT_EQ(out, c.as_1252) << c.bytes;
  }
}
