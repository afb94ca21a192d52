#include "encoding/translit.h"

#include <algorithm>
#include <iterator>

namespace tabulon {

namespace {
#include "encoding/translit_table.inc"
}  // namespace

const TranslitRow* find_translit(uint32_t cp) {
  const TranslitRow* end = kTranslit + translit_row_count();
  auto it = std::lower_bound(kTranslit, end, cp, [](const TranslitRow& r, uint32_t v) { return r.code_point < v; });
  return (it != end && it->code_point == cp) ? it : nullptr;
}

int translit_row_count() { return static_cast<int>(sizeof kTranslit / sizeof kTranslit[0]); }

namespace {
// Greek after ELOT 743 without its context rules, Russian Cyrillic after the common passport
// scheme; the hard and soft signs leave nothing.
constexpr TranslitRow kScripts[] = {
    {0x0386, 1, "A"},
    {0x0388, 1, "E"},
    {0x0389, 1, "I"},
    {0x038A, 1, "I"},
    {0x038C, 1, "O"},
    {0x038E, 1, "Y"},
    {0x038F, 1, "O"},
    {0x0390, 1, "i"},
    {0x0391, 1, "A"},
    {0x0392, 1, "V"},
    {0x0393, 1, "G"},
    {0x0394, 1, "D"},
    {0x0395, 1, "E"},
    {0x0396, 1, "Z"},
    {0x0397, 1, "I"},
    {0x0398, 2, "Th"},
    {0x0399, 1, "I"},
    {0x039A, 1, "K"},
    {0x039B, 1, "L"},
    {0x039C, 1, "M"},
    {0x039D, 1, "N"},
    {0x039E, 1, "X"},
    {0x039F, 1, "O"},
    {0x03A0, 1, "P"},
    {0x03A1, 1, "R"},
    {0x03A3, 1, "S"},
    {0x03A4, 1, "T"},
    {0x03A5, 1, "Y"},
    {0x03A6, 1, "F"},
    {0x03A7, 2, "Ch"},
    {0x03A8, 2, "Ps"},
    {0x03A9, 1, "O"},
    {0x03AA, 1, "I"},
    {0x03AB, 1, "Y"},
    {0x03AC, 1, "a"},
    {0x03AD, 1, "e"},
    {0x03AE, 1, "i"},
    {0x03AF, 1, "i"},
    {0x03B0, 1, "y"},
    {0x03B1, 1, "a"},
    {0x03B2, 1, "v"},
    {0x03B3, 1, "g"},
    {0x03B4, 1, "d"},
    {0x03B5, 1, "e"},
    {0x03B6, 1, "z"},
    {0x03B7, 1, "i"},
    {0x03B8, 2, "th"},
    {0x03B9, 1, "i"},
    {0x03BA, 1, "k"},
    {0x03BB, 1, "l"},
    {0x03BC, 1, "m"},
    {0x03BD, 1, "n"},
    {0x03BE, 1, "x"},
    {0x03BF, 1, "o"},
    {0x03C0, 1, "p"},
    {0x03C1, 1, "r"},
    {0x03C2, 1, "s"},
    {0x03C3, 1, "s"},
    {0x03C4, 1, "t"},
    {0x03C5, 1, "y"},
    {0x03C6, 1, "f"},
    {0x03C7, 2, "ch"},
    {0x03C8, 2, "ps"},
    {0x03C9, 1, "o"},
    {0x03CA, 1, "i"},
    {0x03CB, 1, "y"},
    {0x03CC, 1, "o"},
    {0x03CD, 1, "y"},
    {0x03CE, 1, "o"},
    {0x0401, 1, "E"},
    {0x0410, 1, "A"},
    {0x0411, 1, "B"},
    {0x0412, 1, "V"},
    {0x0413, 1, "G"},
    {0x0414, 1, "D"},
    {0x0415, 1, "E"},
    {0x0416, 2, "Zh"},
    {0x0417, 1, "Z"},
    {0x0418, 1, "I"},
    {0x0419, 1, "Y"},
    {0x041A, 1, "K"},
    {0x041B, 1, "L"},
    {0x041C, 1, "M"},
    {0x041D, 1, "N"},
    {0x041E, 1, "O"},
    {0x041F, 1, "P"},
    {0x0420, 1, "R"},
    {0x0421, 1, "S"},
    {0x0422, 1, "T"},
    {0x0423, 1, "U"},
    {0x0424, 1, "F"},
    {0x0425, 2, "Kh"},
    {0x0426, 2, "Ts"},
    {0x0427, 2, "Ch"},
    {0x0428, 2, "Sh"},
    {0x0429, 4, "Shch"},
    {0x042A, 0, ""},
    {0x042B, 1, "Y"},
    {0x042C, 0, ""},
    {0x042D, 1, "E"},
    {0x042E, 2, "Yu"},
    {0x042F, 2, "Ya"},
    {0x0430, 1, "a"},
    {0x0431, 1, "b"},
    {0x0432, 1, "v"},
    {0x0433, 1, "g"},
    {0x0434, 1, "d"},
    {0x0435, 1, "e"},
    {0x0436, 2, "zh"},
    {0x0437, 1, "z"},
    {0x0438, 1, "i"},
    {0x0439, 1, "y"},
    {0x043A, 1, "k"},
    {0x043B, 1, "l"},
    {0x043C, 1, "m"},
    {0x043D, 1, "n"},
    {0x043E, 1, "o"},
    {0x043F, 1, "p"},
    {0x0440, 1, "r"},
    {0x0441, 1, "s"},
    {0x0442, 1, "t"},
    {0x0443, 1, "u"},
    {0x0444, 1, "f"},
    {0x0445, 2, "kh"},
    {0x0446, 2, "ts"},
    {0x0447, 2, "ch"},
    {0x0448, 2, "sh"},
    {0x0449, 4, "shch"},
    {0x044A, 0, ""},
    {0x044B, 1, "y"},
    {0x044C, 0, ""},
    {0x044D, 1, "e"},
    {0x044E, 2, "yu"},
    {0x044F, 2, "ya"},
    {0x0451, 1, "e"},
};
}  // namespace

const TranslitRow* find_script_translit(uint32_t cp) {
  const TranslitRow* end = std::end(kScripts);
  auto it = std::lower_bound(std::begin(kScripts), end, cp,
                             [](const TranslitRow& r, uint32_t v) { return r.code_point < v; });
  return (it != end && it->code_point == cp) ? it : nullptr;
}

}  // namespace tabulon
