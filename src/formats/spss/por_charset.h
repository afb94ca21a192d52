// The character set of SPSS portable files: 256 positions (digits, letters, punctuation and a
// few symbols such as "±" and "°"), and the table in each file's header that says which byte
// stands for each position. Text is written through this set and read back through the table
// of the file being read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tabulon {

// The 256 bytes of the translation table this writer puts in the header.
const std::string& por_translation_table();

// Appends UTF-8 text as the file's bytes: characters of the portable set as themselves, others
// transliterated ("ü" as "u", "Αθήνα" as "Athina") or as "?". Returns the number of characters
// not written as themselves.
size_t por_encode(const char* p, size_t n, std::string& out);

// Appends UTF-8 text in printable ASCII, transliterated as above (for names, which the name
// rules then check). Returns the number of characters changed.
size_t por_ascii(const char* p, size_t n, std::string& out);

// Decoding of one file's bytes, from its translation table: a byte becomes an ASCII character,
// kPorSymbol + the position of one of the set's other characters, or stays itself when the
// table does not name it.
constexpr int kPorSymbol = 0x100;

struct PorDecoder {
  int16_t code[256];
  bool identity = true;  // every byte stays itself

  PorDecoder() { reset(); }
  void reset();
  // From the 256 characters of a file's table.
  void build(const unsigned char* table);
};

// Appends the UTF-8 of a decoded character (an ASCII character, a byte, or a symbol position).
void por_append_decoded(int c, std::string& out);

}  // namespace tabulon
