#include "formats/sas/sas7bdat_writer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "api/env_record.h"
#include "api/messages.h"
#include "dates/day_number.h"
#include "api/option_slots.h"
#include "api/raise.h"
#include "dict/dictionary.h"
#include "encoding/legalize.h"
#include "encoding/names_pass.h"
#include "encoding/transcode.h"
#include "engine/engine_util.h"
#include "engine/format_hooks.h"
#include "engine/stream_glue.h"
#include "formats/sas/sas_format_program.h"
#include "io/stream.h"

namespace tabulon {

namespace {

constexpr uint32_t kHeaderSize = 1024;
constexpr uint32_t kPageXor = 0x2D57496A;
constexpr uint32_t kTextBlockMax = 32752;
constexpr uint32_t kTextStart = 12;  // texts of a column text block start after its size field and padding
constexpr double kSecondsTo1970 = 315619200.0;  // 1 January 1960 to 1 January 1970
constexpr double kDaysTo1960 = 21916.0;         // 30 December 1899 to 1 January 1960
constexpr size_t kLabelMax = 256;
constexpr size_t kNameMax = 32;

constexpr uint32_t kSigRowSize = 0xF7F7F7F7;
constexpr uint32_t kSigColSize = 0xF6F6F6F6;
constexpr uint32_t kSigCounts = 0xFFFFFC00;
constexpr uint32_t kSigText = 0xFFFFFFFD;
constexpr uint32_t kSigNames = 0xFFFFFFFF;
constexpr uint32_t kSigAttrs = 0xFFFFFFFC;
constexpr uint32_t kSigFormat = 0xFFFFFBFE;

constexpr uint16_t kPageMeta = 0, kPageData = 256, kPageMixed = 512, kPageUndecided = 4095;

// Names: at most 32 bytes, a letter, "_" or the substitute "v" first.
const NameRules kRulesSasData = {32, kCaseModeOption, "vA-Za-z_", "_A-Za-z0-9", "0A-Za-z0-9_", "0-9",
                                 "var. names"};

constexpr SasProfile kProfiles[9] = {
    {0x22, 0x32, 0x22, 1, 0x0432, 4, 0, true, "WINDOWS_32"},
    {0x22, 0x33, 0x22, 0, 0x0131, 4, 4, false, "HP_32 / MIPS_32 / RS600_32 / SOLARIS_32"},
    {0x33, 0x33, 0x33, 0, 0x0131, 8, 4, false, "HP_64 / HP_IA64 / RS600_64 / SOLARIS_64"},
    {0x22, 0x32, 0x22, 1, 0x0131, 4, 0, false, "INTEL_ABI_32 / LINUX_32"},
    {0x22, 0x33, 0x33, 1, 0x0432, 4, 4, true, "WINDOWS_64"},
    {0x22, 0x32, 0x22, 1, 0x0832, 4, 0, true, "OS2_32"},
    {0x33, 0x33, 0x33, 1, 0x0131, 8, 4, false, "ALPHA_OSF_64"},
    {0x22, 0x33, 0x33, 1, 0x0131, 4, 4, false, "ALPHA_VMS_64"},
    {0x22, 0x33, 0x22, 1, 0x0131, 4, 4, false, "ALPHA_VMS"},
};

// ---- failures ----

[[noreturn]] void fail(EnvRecord& env, int32_t code, bool data) {
  if (Stream* s = env.transfer.output_stream.get()) engine_stream_add_errors(s, kStreamIncomplete);
  if (Sas7bdatWriter* w = writer_state<Sas7bdatWriter>(env)) w->out = nullptr;
  if (code == kSasErrTooManyVars)
    RaiseError(env, "The SAS dataset v8 can not contain more than 32767 variables, please use SAS v9 instead.",
               nullptr);
  RaiseErrorF(env, "SAS dataset (%s \nWriting dataset (%s error) was stopped because of the error (%d).",
              engine_file_name(env.transfer.output_path), data ? "data" : "dictionary", code);
}

// ---- numbers in the profile's byte order ----

inline void put16(const Sas7bdatWriter& w, uint8_t* p, uint16_t v) {
  if (w.swap) v = static_cast<uint16_t>((v >> 8) | (v << 8));
  std::memcpy(p, &v, 2);
}
inline void put32(const Sas7bdatWriter& w, uint8_t* p, uint32_t v) {
  if (w.swap) v = __builtin_bswap32(v);
  std::memcpy(p, &v, 4);
}
inline void put64(const Sas7bdatWriter& w, uint8_t* p, uint64_t v) {
  if (w.swap) v = __builtin_bswap64(v);
  std::memcpy(p, &v, 8);
}
inline void put_double(const Sas7bdatWriter& w, uint8_t* p, double x) {
  uint64_t bits;
  std::memcpy(&bits, &x, 8);
  put64(w, p, bits);
}
// One word: 4 or 8 bytes.
inline void put_word(const Sas7bdatWriter& w, uint8_t* p, uint64_t v) {
  if (w.word == 8)
    put64(w, p, v);
  else
    put32(w, p, static_cast<uint32_t>(v));
}
// A signature word. In the 8-byte layout the all-ones family is sign-extended; the others take
// the first four bytes, in either byte order, and zeros after them.
inline void put_signature(const Sas7bdatWriter& w, uint8_t* p, uint32_t sig) {
  if (sig >= 0xFFFF0000u) {
    put_word(w, p, static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(sig))));
  } else {
    put32(w, p, sig);
    if (w.word == 8) std::memset(p + 4, 0, 4);
  }
}

// ---- pages ----

void start_page(Sas7bdatWriter& w) {
  std::fill(w.page.begin(), w.page.end(), 0);
  ++w.page_number;
  put32(w, w.page.data(), static_cast<uint32_t>(w.page_number) ^ kPageXor);
  w.page_type = kPageUndecided;
  w.free_end = w.page_size;
  w.pointer_end = w.page_header;
  w.blocks = w.subheaders = 0;
  w.rows_on_page = 0;
  w.page_capacity = 0;
  w.row_start = w.page_header;
  w.page_written = false;
}

void write_page(EnvRecord& env, Sas7bdatWriter& w) {
  // A page that never received anything is a metadata page.
  if (w.page_type == kPageUndecided) w.page_type = kPageMeta;
  const uint32_t at = w.word == 8 ? 32 : 16;
  put16(w, &w.page[at], w.page_type);
  put16(w, &w.page[at + 2], w.blocks);
  put16(w, &w.page[at + 4], w.subheaders);
  const uint32_t used_rows = w.rows_on_page * w.record_length;
  const uint32_t rows_end = w.rows_on_page ? w.row_start + used_rows : w.pointer_end;
  put32(w, &w.page[w.word == 8 ? 28 : 12], w.free_end > rows_end ? w.free_end - rows_end : 0);
  if (w.page_number == 1) w.page1 = w.page;
  // Pages go out in order after the header's place, so the stream needs no seek here.
  size_t done = 0;
  while (done < w.page_size) {
    const int32_t n = static_cast<int32_t>(std::min<size_t>(w.page_size - done, 1u << 30));
    if (StreamWrite(w.out, w.page.data() + done, n) != n) fail(env, kSasErrPageWrite, true);
    done += static_cast<size_t>(n);
  }
  if (w.out->error & STREAM_ERR_WRITE) fail(env, kSasErrPageWrite, true);
  w.page_written = true;
  w.pages_written = std::max(w.pages_written, w.page_number);
}

struct Placed {
  uint64_t page;
  uint32_t index;   // pointer index on the page, from 1
  uint32_t offset;  // of the subheader in the page
};

// Room for a subheader of len bytes and its pointer on the current page.
bool fits(const Sas7bdatWriter& w, uint32_t len) {
  return w.rows_on_page == 0 && w.pointer_end + w.pointer_size + len <= w.free_end;
}

// Places a subheader (bytes written by the caller at the returned offset) with its pointer.
Placed add_subheader(EnvRecord& env, Sas7bdatWriter& w, uint32_t len, uint8_t compression, uint8_t type) {
  if (len + w.pointer_size > w.page_size - w.page_header) fail(env, kSasErrSubheader, false);
  if (!fits(w, len)) {
    write_page(env, w);
    start_page(w);
  }
  switch (w.page_type) {
    case kPageMeta: case kPageMixed: break;
    case kPageData: w.page_type = kPageMixed; break;
    case kPageUndecided: w.page_type = kPageMeta; break;
    default: fail(env, kSasErrPageType, false);
  }
  if (w.blocks + 1u >= 65535u) fail(env, kSasErrTooManyBlocks, false);
  ++w.blocks;
  ++w.subheaders;
  w.free_end -= len;
  uint8_t* p = &w.page[w.pointer_end];
  put_word(w, p, w.free_end);
  put_word(w, p + w.word, len);
  p[2 * w.word] = compression;
  p[2 * w.word + 1] = type;
  w.pointer_end += w.pointer_size;
  return {w.page_number, w.subheaders, w.free_end};
}

void note_span(SasSpan& s, const Placed& at) {
  if (!s.seen) {
    s.first_page = at.page;
    s.first_index = at.index;
    s.seen = true;
  }
  s.last_page = at.page;
  s.last_index = at.index;
}

// Rows the free part of the current page can take after its subheaders.
void open_rows_here(Sas7bdatWriter& w) {
  w.row_start = (w.pointer_end + 7) & ~7u;
  const uint32_t room = w.free_end > w.row_start ? w.free_end - w.row_start : 0;
  w.page_capacity = sas7bdat_rows_per_page(room + w.page_header, w.page_header, w.record_length);
}

// ---- text ----

std::string output_text(EnvRecord& env, const std::string& s, const char* context) {
  ConverterSlot& slot = env.encoding.output[0];
  if (s.empty() || !slot_converts(slot)) return s;
  TranscodeCall call;
  call.context = context;
  return transcode_to_string(env, slot, s.data(), s.size(), call);
}

uint32_t pad4(size_t n) { return static_cast<uint32_t>((n + 3) & ~size_t{3}); }

// Appends a text to the column text blocks and returns its reference.
SasTextRef add_text(EnvRecord& env, Sas7bdatWriter& w, const std::string& s, uint32_t block_max) {
  const uint32_t need = pad4(s.size());
  // The block area holds the texts and, at the end, the tail that the length field leaves out.
  const uint32_t tail = 4 + w.word;
  if (w.blocks_text.empty() || w.word + w.blocks_text.back().size() + need + tail > block_max) {
    if (w.word + kTextStart + need + tail > block_max) fail(env, kSasErrTextBlock, false);
    w.blocks_text.emplace_back(kTextStart, '\0');
  }
  std::string& b = w.blocks_text.back();
  SasTextRef r;
  r.block = static_cast<uint16_t>(w.blocks_text.size() - 1);
  r.offset = static_cast<uint16_t>(b.size());
  r.length = static_cast<uint16_t>(s.size());
  b += s;
  b.append(need - s.size(), '\0');
  return r;
}

// ---- the dictionary subheaders ----

void write_text_blocks(EnvRecord& env, Sas7bdatWriter& w) {
  for (std::string& b : w.blocks_text) {
    const uint32_t len = static_cast<uint32_t>(w.word + b.size() + 4 + w.word);
    if (len > kTextBlockMax || len == 0) fail(env, kSasErrTextBlock, false);
    const Placed at = add_subheader(env, w, len, 0, 0);
    uint8_t* p = &w.page[at.offset];
    put_signature(w, p, kSigText);
    std::memcpy(p + w.word, b.data(), b.size());
    put16(w, p + w.word, static_cast<uint16_t>(len - 4 - 2 * w.word));
    note_span(w.texts, at);
  }
}

// Column names and column attributes: as many entries per subheader as the page allows.
void write_column_lists(EnvRecord& env, Sas7bdatWriter& w, bool attributes) {
  const uint32_t entry = attributes ? w.word + 8 : 8;
  const uint32_t fixed = 2 * w.word + 12;
  const uint32_t page_room = w.page_size - w.page_header - w.pointer_size;
  const uint32_t most = std::max<uint32_t>(1, (std::min(page_room, kTextBlockMax) - fixed) / entry);
  size_t k = 0;
  while (k < w.vars.size()) {
    uint32_t n = static_cast<uint32_t>(std::min<size_t>(most, w.vars.size() - k));
    // Fill the current page first when a part of the list fits there.
    if (!fits(w, fixed + n * entry) && w.rows_on_page == 0 && w.free_end > w.pointer_end + w.pointer_size + fixed) {
      const uint32_t room = (w.free_end - w.pointer_end - w.pointer_size - fixed) / entry;
      if (room >= 1) n = std::min(n, room);
    }
    const uint32_t len = fixed + n * entry;
    const Placed at = add_subheader(env, w, len, 0, 0);
    uint8_t* p = &w.page[at.offset];
    put_signature(w, p, attributes ? kSigAttrs : kSigNames);
    put16(w, p + w.word, static_cast<uint16_t>(len - 4 - 2 * w.word));
    uint8_t* e = p + w.word + 8;
    for (uint32_t i = 0; i < n; ++i, e += entry) {
      const SasOutVar& o = w.vars[k + i];
      if (attributes) {
        put_word(w, e, o.offset);
        put32(w, e + w.word, o.width);
        put16(w, e + w.word + 4, 1024);
        e[w.word + 6] = o.text ? 2 : 1;
      } else {
        put16(w, e, o.name_ref.block);
        put16(w, e + 2, o.name_ref.offset);
        put16(w, e + 4, o.name_ref.length);
      }
    }
    note_span(attributes ? w.attrs : w.names, at);
    k += n;
  }
}

void write_format_subheaders(EnvRecord& env, Sas7bdatWriter& w) {
  const uint32_t len = w.word == 8 ? 88 : 64;
  const uint32_t base = 3 * w.word;
  for (const SasOutVar& o : w.vars) {
    const Placed at = add_subheader(env, w, len, 0, 0);
    uint8_t* p = &w.page[at.offset];
    put_signature(w, p, kSigFormat);
    put16(w, p + base, o.format_width);
    put16(w, p + base + 2, o.format_decimals);
    if (!o.format.empty()) {
      put16(w, p + base + 22, o.format_ref.block);
      put16(w, p + base + 24, o.format_ref.offset);
      put16(w, p + base + 26, o.format_ref.length);
    }
    if (!o.label.empty()) {
      put16(w, p + base + 28, o.label_ref.block);
      put16(w, p + base + 30, o.label_ref.offset);
      put16(w, p + base + 32, o.label_ref.length);
    }
  }
}

// Display formats of dates, times and date-times, and the value-label formats.
void assign_formats(EnvRecord& env, Sas7bdatWriter& w) {
  std::vector<VarRecord*> selected;
  selected.reserve(w.vars.size());
  for (const SasOutVar& o : w.vars) selected.push_back(o.var);
  const std::vector<std::string> value_formats = sas_value_format_names(selected);
  for (size_t k = 0; k < w.vars.size(); ++k) {
    SasOutVar& o = w.vars[k];
    const VarRecord& v = *o.var;
    if (o.conv) {
      const bool given = (v.state_flags & kVarDisplayFormatGiven) && !v.display_format.empty();
      if (given) {
        o.format = v.display_format.substr(0, kNameMax);
        const bool width_given = (v.state_flags & kVarOutputAttrsGiven) && v.output_attrs[0];
        o.format_width = width_given ? v.output_attrs[0] : static_cast<uint16_t>(o.format.size());
        if (width_given && v.output_attrs[1]) o.format_decimals = v.output_attrs[1];
        emit_messagef(env, MsgKind::Info,
                      width_given ? "Assigning to var[%s] format [%s], user defined width: %d"
                                  : "Assigning to var[%s] format [%s], default width: %d",
                      v.name.c_str(), o.format.c_str(), o.format_width);
      } else {
        o.format = o.conv == T_DATE ? "MMDDYY" : o.conv == T_DATETIME ? "DATETIME" : "TIME";
        o.format_width = o.conv == T_DATE ? 10 : 18;
        emit_messagef(env, MsgKind::Info, "Assigning to var[%s] default format [%s], default width: %d",
                      v.name.c_str(), o.format.c_str(), o.format_width);
      }
      continue;
    }
    if (!value_formats[k].empty()) o.format = value_formats[k];
    if (v.state_flags & kVarOutputAttrsGiven) {
      o.format_width = v.output_attrs[0];
      o.format_decimals = v.output_attrs[1];
    }
  }
}

// ---- header and page 1 at close ----

void build_header(const Sas7bdatWriter& w, uint8_t* h) {
  static const uint8_t kMagic[32] = {0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
                                     0,    0xC2, 0xEA, 0x81, 0x60, 0xB3, 0x14, 0x11, 0xCF, 0xBD, 0x92,
                                     0x08, 0x00, 0x09, 0xC7, 0x31, 0x8C, 0x18, 0x1F, 0x10, 0x11};
  const SasProfile& pr = *w.profile;
  std::memset(h, 0, kHeaderSize);
  std::memcpy(h, kMagic, 32);
  h[32] = pr.b32;
  h[33] = 0x22;
  h[35] = pr.b35;
  h[36] = pr.b36;
  h[37] = pr.little;
  h[38] = 2;
  // The platform code is read as two little-endian bytes in every profile.
  h[39] = static_cast<uint8_t>(pr.platform & 0xFF);
  h[40] = static_cast<uint8_t>(pr.platform >> 8);
  if (!w.v9) h[46] = static_cast<uint8_t>(w.encoding_number);
  const bool intel = w.profile_number == 4;
  h[50] = intel ? 2 : 1;
  h[51] = intel ? 1 : 3;
  std::memcpy(h + 52, h + 28, 13);
  static const uint8_t k65[3][4] = {{0x32, 0x01, 0x22, 0x22}, {0x33, 0x01, 0x23, 0x22}, {0x33, 0x01, 0x23, 0x33}};
  const int n = w.profile_number;
  std::memcpy(h + 65, k65[(n == 1 || n == 4 || n == 9) ? 0 : n == 2 ? 1 : 2], 4);
  h[70] = static_cast<uint8_t>(w.encoding_number);
  static const uint8_t k72[5][4] = {
      {0x00, 0x10, 0x03, 0x01}, {0x00, 0x00, 0x03, 0x01}, {0x00, 0x21, 0x03, 0x01},
      {0x00, 0x20, 0x02, 0x01}, {0x00, 0x20, 0x03, 0x01}};
  const int row72 = (n == 1 || n == 5) ? 0 : (n == 2 || n == 6 || n == 9) ? 1 : n == 3 ? 2 : n == 4 ? 3 : 4;
  std::memcpy(h + 72, k72[row72], 4);
  std::memset(h + 84, ' ', 72);
  std::memcpy(h + 84, "SAS FILE", 8);
  for (size_t i = 0; i < w.member.size() && i < 64; ++i)
    h[92 + i] = static_cast<uint8_t>(std::toupper(static_cast<unsigned char>(w.member[i])));
  std::memcpy(h + 156, "DATA    ", 8);
  const uint32_t a = w.profile->pad;
  put_double(w, h + 164 + a, w.created);
  put_double(w, h + 172 + a, w.created);
  put_double(w, h + 180 + a, 7200.0);
  put_double(w, h + 188 + a, 7200.0);
  put32(w, h + 196 + a, kHeaderSize);
  put32(w, h + 200 + a, w.page_size);
  put_word(w, h + 204 + a, w.pages_written);
  uint32_t at = 204 + a + w.word + 8;
  std::memcpy(h + at, w.v9 ? "9.0000M0" : "8.0000M0", 8);
  at += 8;
  std::memcpy(h + at, "WIN", 3);
  std::memcpy(h + at + 32, "WIN", 3);
  at += 64;
  uint64_t bits;
  std::memcpy(&bits, &w.created, 8);
  const uint32_t stamp = static_cast<uint32_t>(bits);
  put32(w, h + at, stamp);
  for (int i = 1; i <= 3; ++i) put32(w, h + at + 4 * i, stamp ^ 0x656F4E4Cu);
  at += 16 + 8 + 8;
  put32(w, h + at, kPageXor);
}

void fill_reserved(Sas7bdatWriter& w, uint8_t* page) {
  const uint32_t W = w.word;
  // Row size.
  uint8_t* r = page + w.rowsize_at;
  put_signature(w, r, kSigRowSize);
  const uint64_t words[16] = {0,
                              205,
                              w.vars.size() + 8,
                              0,
                              143377,
                              w.record_length,
                              w.rows,
                              0,
                              0,
                              w.vars.size(),
                              0,
                              0,
                              0,
                              w.page_size,
                              0,
                              w.mixed_rows};
  for (int i = 1; i < 16; ++i) put_word(w, r + i * W, words[i]);
  uint8_t* b = r + 16 * W;
  std::memset(b, 0xFF, 2 * W);
  uint8_t* q = b + 2 * W;
  put32(w, q, 0x2D57496B);
  put_word(w, q + W, w.pages_written);
  put_word(w, q + 2 * W, w.first_data_page);
  put_word(w, q + 3 * W, w.mixed_page ? w.mixed_page : w.first_data_page);
  put_word(w, q + 4 * W, w.pages_written);
  put_word(w, q + 5 * W, w.rows_on_page);
  // The creator text: block 0, after the block's size field.
  put16(w, q + 6 * W, 0);
  put16(w, q + 6 * W + 2, kTextStart);
  put16(w, q + 6 * W + 4, static_cast<uint16_t>(w.creator.size()));
  put_word(w, q + 7 * W, w.rows_per_page);
  // The data set label: a text reference among those near the end of the subheader.
  if (!w.file_label.empty()) {
    uint8_t* l = r + (W == 8 ? 678 : 350);
    put16(w, l, w.file_label_ref.block);
    put16(w, l + 2, w.file_label_ref.offset);
    put16(w, l + 4, w.file_label_ref.length);
  }

  // Column size.
  uint8_t* c = page + w.colsize_at;
  put_signature(w, c, kSigColSize);
  put_word(w, c + W, w.vars.size());

  // Subheader counts.
  uint8_t* s = page + w.counts_at;
  put_signature(w, s, kSigCounts);
  put_word(w, s + W, 48);
  const int n = w.profile_number;
  put_word(w, s + 2 * W, (n == 1 || n == 4 || n == 6 || n == 8 || n == 9) ? 4 : 3);
  put16(w, s + 3 * W, 7);
  put16(w, s + 3 * W + 2 + (W == 8 ? 86 : 42), 1804);
  uint8_t* e = s + (W == 8 ? 120 : 64);
  const struct {
    uint32_t sig;
    const SasSpan* span;
  } kinds[3] = {{kSigAttrs, &w.attrs}, {kSigText, &w.texts}, {kSigNames, &w.names}};
  for (const auto& k : kinds) {
    put_signature(w, e, k.sig);
    put_word(w, e + W, k.span->first_page);
    put_word(w, e + 2 * W, k.span->first_index);
    put_word(w, e + 3 * W, k.span->last_page);
    put_word(w, e + 4 * W, k.span->last_index);
    e += 5 * W;
  }
}

// ---- values ----

// The most significant `width` bytes of the double, in the profile's byte order.
inline void put_number_bytes(const Sas7bdatWriter& w, uint8_t* p, uint32_t width, uint64_t bits) {
  if (w.swap) {
    bits = __builtin_bswap64(bits);
    std::memcpy(p, &bits, width);
  } else {
    std::memcpy(p, reinterpret_cast<const uint8_t*>(&bits) + (8 - width), width);
  }
}

// The Windows/OS2 family stores the complement of the code's character: "." 0xD1, ".A" 0xBE, "._"
// 0xA0 (0xD2 would be "-", which peers read as a plain ".").
inline uint8_t missing_byte(const Sas7bdatWriter& w, uint16_t code) {
  if (w.profile->family_a) return code == 1 ? 0xD1 : code == 29 ? 0xA0 : static_cast<uint8_t>(0xBE + 2 - code);
  return code == 1 ? 0xFE : code == 29 ? 0xFF : static_cast<uint8_t>(0xFD + 2 - code);
}

inline double sas_value(uint16_t conv, double day) {
  if (conv == T_DATE) return day - kDaysTo1960;
  if (conv == T_TIME) return time_to_seconds(day);
  const double whole = std::trunc(day);
  const double seconds = std::nearbyint(std::fabs(day - whole) * 86400e6) / 1e6;
  return (whole - kDaysTo1960) * 86400.0 + seconds;
}

uint32_t string_width(const VarRecord& v) {
  const uint32_t w = v.output_width ? v.output_width : v.print_width;
  return w ? w : 1;
}

}  // namespace

const SasProfile* sas_profile(int32_t number) {
  return number >= 1 && number <= 9 ? &kProfiles[number - 1] : nullptr;
}

uint32_t sas7bdat_page_size(uint32_t L, uint32_t page_header) {
  uint64_t size = L >= 16384 ? L : L >= 512 ? static_cast<uint64_t>(L) * (16384 / L) : 30ull * L;
  size = std::max<uint64_t>(size, static_cast<uint64_t>(page_header) + L);
  size = (size + 511) & ~uint64_t{511};
  size = std::max<uint64_t>(size, 4096);
  return size > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(size);
}

uint32_t sas7bdat_rows_per_page(uint32_t page_size, uint32_t page_header, uint32_t L) {
  if (page_size <= page_header || L == 0) return 0;
  const uint64_t F = page_size - page_header;
  const uint64_t unit = 8ull * L + 1;
  const uint64_t q = F / unit;
  const int64_t left = static_cast<int64_t>(F - q * unit) - 1;
  const uint64_t r = left > 0 ? static_cast<uint64_t>(left) / L : 0;
  return static_cast<uint32_t>(8 * q + r);
}

int32_t sas7bdat_open_output(EnvRecord& env) {
  Sas7bdatWriter& w = make_writer_state<Sas7bdatWriter>(env);
  w.out = env.transfer.output_stream.get();
  if (!w.out) fail(env, kSasErrNoState, false);
  if (legalize_dictionary_names(env, kRulesSasData, env.transfer.output_code, false) < 0)
    fail(env, kSasErrNames, false);

  int32_t number = option_sas_outrep(env);
  if (number == 0) number = 1;
  w.profile = sas_profile(number);
  if (!w.profile) fail(env, kSasErrProfile, false);
  w.profile_number = number;
  w.swap = w.profile->little == 0;
  w.word = w.profile->word;
  w.page_header = w.word == 8 ? 40 : 24;
  w.pointer_size = w.word == 8 ? 24 : 12;
  w.v9 = env.transfer.output_code == 62;
  w.encoding_number = static_cast<int32_t>(env.encoding.sas_encoding_number);

  // Member name: the file's base name without its extension.
  std::string base = engine_file_name(env.transfer.output_path);
  const size_t dot = base.find_last_of('.');
  if (dot != std::string::npos && dot > 0) base.resize(dot);
  w.member = base.substr(0, 62);
  w.creator = "Written by SAS";
  w.creator.resize(pad4(w.creator.size()), '\0');

  // Columns keep the dictionary's order; the record holds the numbers first, then the strings.
  for (auto& vp : env.dict.vars) {
    if (!vp->selected) continue;
    SasOutVar o;
    o.var = vp.get();
    o.text = vp->is_string();
    switch (vp->ttype) {
      case T_STRING: o.width = string_width(*vp); break;
      case T_BYTE: o.width = 3; break;
      case T_INT: o.width = 4; break;
      case T_LONG: o.width = 6; break;
      case T_DATE: case T_TIME: case T_DATETIME: o.conv = vp->ttype; o.width = 8; break;
      default: o.width = 8; break;
    }
    w.vars.push_back(std::move(o));
  }
  if (!w.v9 && w.vars.size() > 32767) fail(env, kSasErrTooManyVars, false);
  uint64_t length = 0;
  for (int pass = 0; pass < 2; ++pass)
    for (SasOutVar& o : w.vars) {
      if (o.text != (pass == 1)) continue;
      o.offset = static_cast<uint32_t>(std::min<uint64_t>(length, UINT32_MAX));
      length += o.width;
    }
  if (length == 0 || length > UINT32_MAX / 2) fail(env, kSasErrRecordLength, false);
  w.record_length = static_cast<uint32_t>(length);
  w.page_size = sas7bdat_page_size(w.record_length, w.page_header);
  if (!w.v9 && w.page_size > 1048575) fail(env, kSasErrPageSize, false);
  w.rows_per_page = sas7bdat_rows_per_page(w.page_size, w.page_header, w.record_length);

  // Texts: labels and format names in the output encoding.
  assign_formats(env, w);
  for (SasOutVar& o : w.vars) {
    const VarRecord& v = *o.var;
    if (v.label.empty()) continue;
    o.label = output_text(env, v.label, "Error encoding output variable label, ");
    const bool converts = slot_converts(env.encoding.output[0]);
    if (o.label.size() > kLabelMax)
      o.label.resize(converts ? kLabelMax : utf8_cut(o.label.data(), o.label.size(), kLabelMax));
  }
  if (env.dict.has_file_label && !env.dict.file_label.empty()) {
    w.file_label = output_text(env, env.dict.file_label, "Error encoding output file label, ");
    const bool converts = slot_converts(env.encoding.output[0]);
    if (w.file_label.size() > kLabelMax)
      w.file_label.resize(converts ? kLabelMax : utf8_cut(w.file_label.data(), w.file_label.size(), kLabelMax));
  }
  const uint32_t block_max = std::min(kTextBlockMax, w.page_size - w.page_header - w.pointer_size);
  add_text(env, w, w.creator, block_max);  // block 0 starts with the creator text
  if (!w.file_label.empty()) w.file_label_ref = add_text(env, w, w.file_label, block_max);
  for (SasOutVar& o : w.vars) {
    const std::string name = o.var->name.substr(0, kNameMax);
    o.name_ref = add_text(env, w, name, block_max);
    if (!o.label.empty()) o.label_ref = add_text(env, w, o.label, block_max);
    if (!o.format.empty()) o.format_ref = add_text(env, w, o.format, block_max);
  }

  // The header is written at close.
  if (StreamSeek64(w.out, kHeaderSize, SEEK_SET) != 0) fail(env, kSasErrPageWrite, false);
  w.page.assign(w.page_size, 0);
  w.created = static_cast<double>(std::time(nullptr)) + kSecondsTo1970;
  start_page(w);
  // Row size, column size and subheader counts: filled in at close.
  w.rowsize_at = add_subheader(env, w, w.word == 8 ? 808 : 480, 0, 0).offset;
  w.colsize_at = add_subheader(env, w, 3 * w.word, 0, 0).offset;
  w.counts_at = add_subheader(env, w, w.word == 8 ? 600 : 304, 0, 0).offset;
  write_text_blocks(env, w);
  write_column_lists(env, w, false);
  write_column_lists(env, w, true);
  write_format_subheaders(env, w);

  open_rows_here(w);
  if (w.page_capacity >= 1) {
    w.mixed_page = w.page_number;
  } else {
    if (w.free_end >= w.pointer_end + w.pointer_size) {
      uint8_t* p = &w.page[w.pointer_end];
      const uint32_t from = w.pointer_end + w.pointer_size;
      put_word(w, p, from);
      put_word(w, p + w.word, w.free_end - from);
      p[2 * w.word] = 1;
      w.pointer_end += w.pointer_size;
      ++w.blocks;
      ++w.subheaders;
    }
    write_page(env, w);
    start_page(w);
    w.page_capacity = w.rows_per_page;
  }
  return 0;
}

int32_t sas7bdat_write_case(EnvRecord& env) {
  Sas7bdatWriter* wp = writer_state<Sas7bdatWriter>(env);
  if (!wp || !wp->out) fail(env, kSasErrNoState, true);
  Sas7bdatWriter& w = *wp;
  if (w.rows_on_page >= w.page_capacity) {
    write_page(env, w);
    start_page(w);
    w.page_capacity = w.rows_per_page;
  }
  if (w.row_start + static_cast<uint64_t>(w.rows_on_page + 1) * w.record_length > w.page_size)
    fail(env, kSasErrRow, true);
  if (!w.first_data_page) w.first_data_page = w.page_number;
  uint8_t* row = &w.page[w.row_start + w.rows_on_page * w.record_length];
  const uint8_t* rec = env.dict.record();
  ConverterSlot& slot = env.encoding.output[0];
  const bool converts = slot_converts(slot);
  for (const SasOutVar& o : w.vars) {
    const VarRecord& v = *o.var;
    uint8_t* p = row + o.offset;
    if (o.text) {
      const char* s = reinterpret_cast<const char*>(rec + v.offset);
      size_t n = v.missing ? 0 : strnlen(s, v.storage_width ? v.storage_width : o.width);
      bool ascii = true;
      for (size_t i = 0; i < n && ascii; ++i) ascii = static_cast<unsigned char>(s[i]) < 0x80;
      if (n && converts && !(ascii && slot.ascii_identity)) {
        TranscodeCall call;
        call.context = "Error encoding output string, ";
        call.record = static_cast<int64_t>(w.rows + 1);
        const int64_t len = transcode_string(env, slot, s, n, nullptr, 0, call);
        s = slot.out_buf.data();
        n = len > 0 ? static_cast<size_t>(len) : 0;
      }
      if (n > o.width) n = converts ? o.width : utf8_cut(s, n, o.width);
      std::memcpy(p, s, n);
      std::memset(p + n, ' ', o.width - n);
      continue;
    }
    double x;
    std::memcpy(&x, rec + v.offset, 8);
    uint16_t code = v.missing;
    if (code == 0 && std::isnan(x)) code = kSystemMissing;
    if (code) {
      std::memset(p, 0, o.width);
      const uint8_t b = missing_byte(w, code > kLastMissingCode ? kSystemMissing : code);
      if (w.swap) {
        p[0] = 0xFF, p[1] = 0xFF, p[2] = b;
      } else {
        p[o.width - 1] = 0xFF, p[o.width - 2] = 0xFF, p[o.width - 3] = b;
      }
      continue;
    }
    if (o.conv) x = sas_value(o.conv, x);
    uint64_t bits;
    std::memcpy(&bits, &x, 8);
    put_number_bytes(w, p, o.width, bits);
  }
  if (w.page_type == kPageMeta) w.page_type = kPageMixed;
  if (w.page_type == kPageUndecided) w.page_type = kPageData;
  ++w.blocks;
  ++w.rows_on_page;
  ++w.rows;
  if (w.page_number == w.mixed_page) w.mixed_rows = w.rows_on_page;
  return 0;
}

int32_t sas7bdat_close_output(EnvRecord& env) {
  Sas7bdatWriter* wp = writer_state<Sas7bdatWriter>(env);
  if (!wp || !wp->out) return 0;
  Sas7bdatWriter& w = *wp;
  if (!w.page_written) write_page(env, w);

  uint8_t header[kHeaderSize];
  build_header(w, header);
  if (StreamSeek64(w.out, 0, SEEK_SET) != 0) fail(env, kSasErrHeaderWrite, true);
  if (StreamWrite(w.out, header, kHeaderSize) != static_cast<int32_t>(kHeaderSize) ||
      (w.out->error & STREAM_ERR_WRITE))
    fail(env, kSasErrHeaderWrite, true);

  fill_reserved(w, w.page1.data());
  if (StreamSeek64(w.out, kHeaderSize, SEEK_SET) != 0) fail(env, kSasErrPatch, true);
  size_t done = 0;
  while (done < w.page_size) {
    const int32_t n = static_cast<int32_t>(std::min<size_t>(w.page_size - done, 1u << 30));
    if (StreamWrite(w.out, w.page1.data() + done, n) != n) fail(env, kSasErrPatch, true);
    done += static_cast<size_t>(n);
  }
  if (w.out->error & STREAM_ERR_WRITE) fail(env, kSasErrPatch, true);
  StreamSeek64(w.out, 0, SEEK_END);
  return 0;
}

}  // namespace tabulon
