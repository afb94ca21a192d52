// The line reader every text input uses (exported to the host as dxi_*rdline).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "encoding/encoding_state.h"

namespace tabulon {

struct EnvRecord;

// Where the bytes come from: a C file or the transfer's input stream. Reads are in large
// chunks, so one indirect call per chunk is all the source costs.
struct ByteSource {
  void* ctx = nullptr;
  size_t (*read)(void* ctx, char* buf, size_t n) = nullptr;
  int64_t (*tell)(void* ctx) = nullptr;
  bool (*seek)(void* ctx, int64_t pos) = nullptr;
};

ByteSource file_source(FILE* fp);

struct RdLine {
  EnvRecord* env = nullptr;
  ByteSource src;
  FILE* file = nullptr;            // when the source is a C file
  std::string encoding;            // empty = plain bytes
  ConverterSlot converter;         // source encoding to UTF-8
  bool has_converter = false;
  std::vector<char> line;          // the raw line (16384 bytes at first)
  std::vector<char> converted;     // the line in UTF-8 when it needed converting
  size_t len = 0;
  char* out = nullptr;             // the line handed out (raw or converted; callers may split it in place)
  size_t out_len = 0;

  int unit_kind = 1;               // 1 bytes, 2 16-bit units, 4 32-bit units
  bool big_endian = false;
  unsigned char unit_utf8[4] = {};
  int unit_pos = 0, unit_len = 0;
  uint32_t bom_flags = 0;          // bit 0: the source is UTF-8
  bool non_ascii = false;

  char quote = 0;                  // joins lines while inside quotes; 0 = none
  char delim = 0;                  // field delimiter: a quote opens a field only at its start
  char delim2 = 0;                 // a second delimiter (tabs when blanks and tabs are combined)
  uint8_t qstate = 0;              // where the line being read stands: field start, text, quotes
  int statement_mode = 0;          // ";" ends a line, line breaks are blanks
  int64_t line_count = 0;
  int64_t data_start = 0;

  unsigned char stops[256] = {};   // bytes the copy loop stops at (line ends, dropped bytes, quote, ";")
  unsigned char line_stops[256] = {};  // the same without the delimiters: a line without quotes
  unsigned char line_stop_bytes[8] = {};  // the bytes of line_stops, for a vector search
  int line_stop_count = 0;                // 0 when there are too many for it

  // Read-ahead over the source.
  std::vector<char> chunk;
  size_t chunk_pos = 0, chunk_len = 0;
  bool at_eof = false;
};

// Opens a reader over a source. With an encoding name the byte-order mark is detected
// (and skipped) and a converter to UTF-8 opened unless the source is UTF-8 or Unicode
// units. Returns null on failure (the message is logged).
RdLine* rdline_open(EnvRecord& env, const ByteSource& src, const char* encoding, int32_t flags);
// 1 with the next line in reader.out / out_len (NUL-terminated), -1 at the end.
int rdline_read(RdLine& r);
void rdline_rewind(RdLine& r);
void rdline_close(RdLine* r);
// Attaches another source and detects its byte-order mark again; returns 0 or negative.
int rdline_change_source(RdLine& r, const ByteSource& src);
// The current position becomes the rewind point.
void rdline_mark_data_start(RdLine& r);
// Byte position of the next unread byte, and a jump there (for two-pass readers).
int64_t rdline_tell(const RdLine& r);
void rdline_seek(RdLine& r, int64_t pos);
void rdline_set_quote(RdLine& r, char quote);
// Quote joining aware of fields: a quote opens a quoted field only where a field starts
// (after the delimiter or at the line start, past blanks), so a stray quote inside a
// field (5'11") does not swallow the following lines.
void rdline_set_join(RdLine& r, char quote, char delim, char delim2);

}  // namespace tabulon
