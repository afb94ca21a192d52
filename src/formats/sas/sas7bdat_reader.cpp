// Dictionary stage of the SAS data-set reader: header, platform profile, encoding, page scan,
// subheaders and columns.
#include "formats/sas/sas7bdat_reader.h"

#include <bit>
#include <iconv.h>
#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "api/env_record.h"
#include "api/messages.h"
#include "api/raise.h"
#include "dict/dictionary.h"
#include "encoding/encoding_names.h"
#include "encoding/transcode.h"
#include "engine/engine_util.h"
#include "engine/format_hooks.h"
#include "formats/sas/sas7bdat_internal.h"
#include "io/stream.h"
#include "tabulon/tabulon.h"

namespace tabulon {

namespace {

constexpr uint8_t kMagic[32] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                0x00, 0xC2, 0xEA, 0x81, 0x60, 0xB3, 0x14, 0x11, 0xCF, 0xBD, 0x92,
                                0x08, 0x00, 0x09, 0xC7, 0x31, 0x8C, 0x18, 0x1F, 0x10, 0x11};

// Largest page accepted: a damaged header must not make us allocate gigabytes.
constexpr uint32_t kMaxPageSize = 64u << 20;

struct Profile {
  uint32_t flags;
  const char* name;
  char family;
};

constexpr Profile kProfiles[10] = {
    {0x1249, "WINDOWS_32", 'A'},
    {0x0551, "HP_32 / MIPS_32 / RS600_32 / SOLARIS_32", 'B'},
    {0x0592, "HP_64 / HP_IA64 / RS600_64 / SOLARIS_64", 'B'},
    {0x0649, "INTEL_ABI_32 / LINUX_32", 'B'},
    {0x2249, "OS2_32", 'A'},
    {0x0951, "MVS_32", 'C'},
    {0x0692, "ALPHA_OSF_64", 'B'},
    {0x0691, "ALPHA_VMS_64", 'B'},
    {0x1291, "WINDOWS_64", 'A'},
    {0x0651, "ALPHA_VMS", 'B'},
};

enum Signature : uint32_t {
  kSigRowSize = 0xF7F7F7F7u,
  kSigColumnSize = 0xF6F6F6F6u,
  kSigColumnAttrs = 0xFFFFFFFCu,
  kSigFormatLabel = 0xFFFFFBFEu,
  kSigColumnNames = 0xFFFFFFFFu,
  kSigColumnText = 0xFFFFFFFDu,
  kSigCounts = 0xFFFFFC00u,
  kSigColumnList = 0xFFFFFFFEu,
};

bool known_signature(uint32_t s) {
  // Besides the ones read, SAS writes further small negative signatures (-5, -6, -7, ...).
  return s == kSigRowSize || s == kSigColumnSize || s >= kSigFormatLabel;
}

// EBCDIC (code page 037) to Latin-1, built once through iconv.
struct EbcdicTable {
  uint8_t map[256];
  EbcdicTable() {
    for (int k = 0; k < 256; ++k) map[k] = static_cast<uint8_t>(k);
    iconv_t cd = iconv_open("ISO-8859-1", "IBM037");
    if (cd == reinterpret_cast<iconv_t>(-1)) return;
    for (int k = 0; k < 256; ++k) {
      char in = static_cast<char>(k), out = '?';
      char* ip = &in;
      char* op = &out;
      size_t il = 1, ol = 1;
      if (iconv(cd, &ip, &il, &op, &ol) != static_cast<size_t>(-1)) map[k] = static_cast<uint8_t>(out);
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    iconv_close(cd);
  }
};

const EbcdicTable& ebcdic_table() {
  static const EbcdicTable table;
  return table;
}

std::string text_input(EnvRecord& env, std::string raw, const char* context, int32_t variable) {
  if (raw.empty()) return raw;
  ConverterSlot& slot = env.encoding.input[0];
  if ((slot.flags & (kSlotNoConversion | kSlotPassThrough)) || !slot.has_descriptor()) return raw;
  TranscodeCall call;
  call.context = context;
  call.variable = variable;
  return transcode_to_string(env, slot, raw.data(), raw.size(), call);
}

size_t trimmed_length(const char* p, size_t n) {
  while (n > 0 && (p[n - 1] == ' ' || p[n - 1] == '\0')) --n;
  return n;
}

// ---- header ----

void read_header(EnvRecord& env, SasReader& r, Stream* s, uint8_t* h) {
  if (StreamSeek64(s, 0, SEEK_END) != 0) sas7bdat_fail(env, kSasErrSeekEnd, 1);
  r.file_length = StreamTell64(s);
  if (r.file_length < 0) sas7bdat_fail(env, kSasErrTell, 1);
  if (StreamSeek64(s, 0, SEEK_SET) != 0) sas7bdat_fail(env, kSasErrSeekEnd, 1);
  if (StreamReadRaw(s, h, 1024) != 1024) {
    // A file that starts as a data set but ends before its first kilobyte was cut short.
    if (r.file_length >= 32 && std::memcmp(h, kMagic, 32) == 0) {
      env.last_open_result = kSasErrShortHeader;
      RaiseErrorF(env, "The SAS dataset %s is truncated: it ends inside its header (%lld bytes)",
                  engine_file_name(env.transfer.input_path), static_cast<long long>(r.file_length));
    }
    sas7bdat_fail(env, kSasErrShortHeader, 1);
  }

  uint32_t flags = 0;
  if (h[32] == 0x22) flags |= 1u << 0;
  else if (h[32] == 0x33) flags |= 1u << 1;
  if (h[35] >= 0x31 && h[35] <= 0x33) flags |= 1u << (2 + h[35] - 0x31);
  if (h[36] == 0x20) flags |= 1u << 5;
  else if (h[36] == 0x22) flags |= 1u << 6;
  else if (h[36] == 0x33) flags |= 1u << 7;
  if (h[37] == 0) flags |= 1u << 8;
  else if (h[37] == 1) flags |= 1u << 9;
  const uint16_t platform = static_cast<uint16_t>(h[39] | (h[40] << 8));
  if (platform == 0x0131) flags |= 1u << 10;
  else if (platform == 0x0221) flags |= 1u << 11;
  else if (platform == 0x0432) flags |= 1u << 12;
  else if (platform == 0x0832) flags |= 1u << 13;

  if (!(flags & 3u)) sas7bdat_fail(env, kSasErrAlign, 1);
  if (!(flags & (3u << 8))) sas7bdat_fail(env, kSasErrEndian, 1);
  r.word = (flags & 2u) ? 8 : 4;
  r.swap = h[37] == 0;
  // Byte 35 alone decides the pad before the header's timestamps and page fields: 64-bit
  // Windows SAS writes 32-bit layouts with the pad, and 32-bit big-endian hosts do too.
  r.pad = h[35] == 0x33 ? 4 : 0;

  for (int k = 0; k < 10; ++k)
    if (kProfiles[k].flags == flags) r.profile = k + 1;
  // Real files carry byte combinations beyond the ten profiles (other writers, newer hosts): the
  // layout bytes are enough to read them, with the missing-value family of the OS byte.
  const bool matched = r.profile != 0;
  if (!matched) {
    r.profile = r.word == 8 ? (r.swap ? 3 : 7) : (r.swap ? 2 : (h[39] == '2' ? 1 : 4));
    r.family = h[39] == '2' ? 'A' : 'B';
  } else {
    r.family = kProfiles[r.profile - 1].family;
  }
  emit_messagef(env, MsgKind::Lib, "SAS dataset platform: %s", matched ? kProfiles[r.profile - 1].name : "unmarked");

  // Time stamps (seconds since 1960 in the file's byte order), the SAS release and the host.
  DatasetFacts& facts = env.transfer.facts;
  facts.byte_order = byte_order_name(h[37] == 0);
  const bool host_big = std::endian::native == std::endian::big;
  auto stamp = [&](const uint8_t* p) {
    uint8_t b[8];
    for (int k = 0; k < 8; ++k) b[k] = p[r.swap != host_big ? 7 - k : k];
    double x;
    std::memcpy(&x, b, 8);
    return fact_time_sas(x);
  };
  facts.created = stamp(h + 164 + r.pad);
  facts.modified = stamp(h + 172 + r.pad);
  const size_t text_at = 216 + static_cast<size_t>(r.pad) + (r.word == 8 ? 4 : 0);
  facts.release = fact_text(h + text_at, 8);
  if (!facts.release.empty()) facts.release += r.word == 8 ? " (64-bit)" : " (32-bit)";
  facts.software = "SAS";
  // Host, and for Unix hosts the system's version and machine.
  for (size_t at : {text_at + 8, text_at + 24, text_at + 56})
    if (std::string part = fact_text(h + at, 16); !part.empty()) facts.software += " " + part;
}

void choose_encoding(EnvRecord& env, SasReader& r, const uint8_t* h) {
  const int32_t code = h[46] | h[70];
  bool found = false;
  const std::string name = name_from_sas_number(code, &found);
  EncodingState& st = env.encoding;
  const bool user_set = !st.in_encoding.empty() && strcasecmp(st.in_encoding.c_str(), "system") != 0;
  st.file_encoding.clear();
  if (found && !name.empty() && name != "CHAR" && !user_set) st.file_encoding = name;
  if (found && !name.empty() && name != "CHAR") env.transfer.facts.encoding = name;
  if (open_input_converter(env, kSlotFromModule, env.transfer.input_code) != 0) sas7bdat_fail(env, kSasErrConverter, 1);

  const char* member = reinterpret_cast<const char*>(h + 156);
  if (std::memcmp(member, "DATA", 4) == 0) return;
  if (std::memcmp(member, "EXTATTR", 7) == 0 && !user_set) return;
  char translated[8];
  const EbcdicTable& t = ebcdic_table();
  for (int k = 0; k < 8; ++k) translated[k] = static_cast<char>(t.map[static_cast<uint8_t>(member[k])]);
  if (std::memcmp(translated, "DATA", 4) != 0) sas7bdat_fail(env, kSasErrMemberType, 1);
  r.ebcdic = true;
}

void page_layout(EnvRecord& env, SasReader& r, const uint8_t* h) {
  SasBytes b{r.swap, r.word};
  r.header_length = b.u32(h + 196 + r.pad);
  r.page_size = b.u32(h + 200 + r.pad);
  if (r.page_size % 2 != 0 || r.page_size < 1024 || r.page_size > kMaxPageSize)
    sas7bdat_fail(env, kSasErrPageSize, 1);
  if (r.header_length < 1024) sas7bdat_fail(env, kSasErrPagesBeyondEnd, 1);
  const char* name = engine_file_name(env.transfer.input_path);
  if (r.header_length > r.file_length) {
    env.last_open_result = kSasErrPagesBeyondEnd;
    RaiseErrorF(env, "The SAS dataset %s is truncated: it ends inside its header (%lld of %u bytes)", name,
                static_cast<long long>(r.file_length), r.header_length);
  }
  const int64_t body = r.file_length - r.header_length;
  // The header counts the pages: fewer whole pages than that means the file was cut.
  const int64_t declared = b.word(h + 204 + r.pad);
  if (declared > 0 && body / r.page_size < declared) {
    env.last_open_result = kSasErrLength;
    RaiseErrorF(env, "The SAS dataset %s is truncated: it holds %lld of its %lld pages", name,
                static_cast<long long>(body / r.page_size), static_cast<long long>(declared));
  }
  if (body % r.page_size == 0) {
    r.page_count = body / r.page_size;
    return;
  }
  // Pages that do not divide the file: only Windows profiles may carry a trailer.
  if (r.profile == 1 || r.profile == 9) {
    const int64_t fit = body / r.page_size;
    if (declared > 0 && fit > declared) {
      emit_messagef(env, MsgKind::Warning,
                    "According to the file header information, the file should contain %d pages but it's longer "
                    "than needed.",
                    static_cast<int>(declared));
      r.page_count = declared;
      return;
    }
  }
  sas7bdat_fail(env, kSasErrLength, 1);
}

// ---- page scan ----

uint32_t signature_of(const SasReader& r, const uint8_t* p, uint32_t len) {
  if (len < 4) return 0;
  // Row size and column size are marked by four equal bytes at the start; in a 64-bit layout
  // SAS may leave any bytes in the other half (even another subheader's signature).
  if (p[0] == p[1] && p[0] == p[2] && p[0] == p[3] && (p[0] == 0xF7 || p[0] == 0xF6))
    return p[0] == 0xF7 ? kSigRowSize : kSigColumnSize;
  SasBytes b{r.swap, r.word};
  if (r.word == 8 && r.swap && len >= 8 && p[4] == p[5] && p[4] == p[6] && p[4] == p[7] &&
      (p[4] == 0xF7 || p[4] == 0xF6))
    return p[4] == 0xF7 ? kSigRowSize : kSigColumnSize;
  if (len < static_cast<uint32_t>(r.word)) return b.u32(p);
  const uint32_t s = b.word(p);
  if (r.word == 4) return s;
  // A 64-bit layout holds the other signatures sign-extended: a row stored as it is may start
  // with a half that looks like one (a special missing value), never with both.
  const uint32_t high = r.swap ? b.u32(p) : b.u32(p + 4);
  return high == 0xFFFFFFFFu ? s : 0;
}

// Entries held by the blocks of a subheader kind: a header of 12|16 bytes, entries, a trailer
// of word + 4 bytes.
size_t entries_in(const std::vector<std::vector<uint8_t>>& blocks, size_t word, size_t entry) {
  const size_t head = word == 8 ? 16 : 12;
  size_t n = 0;
  for (const auto& block : blocks)
    if (block.size() >= head + word + 4) n += (block.size() - head - (word + 4)) / entry;
  return n;
}

// True once every subheader the columns need has been met: pages with rows may come before
// the rest of the dictionary, and a column-text block may even sit on the last page.
bool dictionary_complete(const SasReader& r) {
  if (r.row_size.empty() || r.column_size.empty()) return false;
  SasBytes b{r.swap, r.word};
  const std::vector<uint8_t>& cs = r.column_size.front();
  if (cs.size() < static_cast<size_t>(2 * r.word)) return false;
  const uint32_t columns = b.word(cs.data() + r.word);
  const std::vector<uint8_t>& rs = r.row_size.front();
  const size_t nct_at = r.word == 8 ? 748 : 420;
  const size_t texts = rs.size() >= nct_at + 2 ? std::max<size_t>(b.u16(rs.data() + nct_at), 1) : 1;
  const size_t w = static_cast<size_t>(r.word);
  return r.format_label.size() >= columns && r.column_text.size() >= texts &&
         entries_in(r.column_names, w, 8) >= columns && entries_in(r.column_attrs, w, w + 8) >= columns;
}

void scan_pages(EnvRecord& env, SasReader& r, Stream* s) {
  SasBytes b{r.swap, r.word};
  const uint32_t type_at = r.word == 8 ? 32 : 16;
  const uint32_t count_at = r.word == 8 ? 36 : 20;
  const uint32_t first_ptr = r.word == 8 ? 40 : 24;
  const uint32_t ptr_size = r.word == 8 ? 24 : 12;
  r.page.assign(r.page_size, 0);
  bool complete = false;
  for (int64_t p = 0; p < r.page_count && !complete; ++p) {
    const int64_t at = static_cast<int64_t>(r.header_length) + p * static_cast<int64_t>(r.page_size);
    if (StreamSeek64(s, at, SEEK_SET) != 0) sas7bdat_fail(env, kSasErrDataSeek, 1);
    if (r.first_data_page >= 0) {
      // Past the first rows only pages that may hold subheaders are read whole.
      if (StreamReadRaw(s, r.page.data(), first_ptr) != static_cast<int64_t>(first_ptr)) break;
      const uint16_t type = b.u16(r.page.data() + type_at);
      if ((type & 0x8000) || ((type & 0x100) && !(type & 0x600))) continue;
      if (StreamReadRaw(s, r.page.data() + first_ptr, r.page_size - first_ptr) !=
          static_cast<int64_t>(r.page_size - first_ptr))
        break;
    } else if (StreamReadRaw(s, r.page.data(), r.page_size) != static_cast<int64_t>(r.page_size)) {
      break;
    }
    const uint8_t* pg = r.page.data();
    const uint16_t type = b.u16(pg + type_at);
    if (type & 0x8000) continue;
    const uint32_t count = b.u16(pg + count_at);
    bool rows_here = (type & 0x300) != 0;
    for (uint32_t i = 0; i < count; ++i) {
      const uint64_t pos = first_ptr + static_cast<uint64_t>(i) * ptr_size;
      if (pos + ptr_size > r.page_size) sas7bdat_fail(env, kSasErrPointer, 1);
      const uint32_t off = b.word(pg + pos);
      const uint32_t len = b.word(pg + pos + r.word);
      const uint8_t comp = pg[pos + 2 * r.word];
      if (comp & 4) {
        r.compressed_seen = true;
        rows_here = true;
        continue;
      }
      if ((comp & 1) || len == 0) continue;  // an entry to pass over
      if (off > r.page_size || len > r.page_size - off) sas7bdat_fail(env, kSasErrPointer, 1);
      const uint8_t* sh = pg + off;
      std::vector<std::vector<uint8_t>>* kept = nullptr;
      switch (signature_of(r, sh, len)) {
        case kSigRowSize: kept = &r.row_size; break;
        case kSigColumnSize: kept = &r.column_size; break;
        case kSigColumnAttrs: kept = &r.column_attrs; break;
        case kSigFormatLabel: kept = &r.format_label; break;
        case kSigColumnNames: kept = &r.column_names; break;
        case kSigColumnText: kept = &r.column_text; break;
        default: break;  // counts, column list, other subheaders and rows stored as they are
      }
      if (kept) kept->emplace_back(sh, sh + len);
    }
    if (rows_here && r.first_data_page < 0) r.first_data_page = p;
    complete = r.first_data_page >= 0 && dictionary_complete(r);
  }
}

// ---- columns ----

std::string text_of(EnvRecord& env, const SasReader& r, const uint8_t* ref_at, int32_t error) {
  SasBytes b{r.swap, r.word};
  const uint16_t block = b.u16(ref_at), offset = b.u16(ref_at + 2), length = b.u16(ref_at + 4);
  if (length == 0) return {};
  if (block >= r.column_text.size()) sas7bdat_fail(env, error, 1);
  const std::vector<uint8_t>& t = r.column_text[block];
  const size_t begin = static_cast<size_t>(r.word) + offset;
  if (begin + length > t.size()) sas7bdat_fail(env, error, 1);
  std::string s(reinterpret_cast<const char*>(t.data() + begin), length);
  if (r.ebcdic) {
    const EbcdicTable& e = ebcdic_table();
    for (char& c : s) c = static_cast<char>(e.map[static_cast<uint8_t>(c)]);
  }
  s.resize(trimmed_length(s.data(), s.size()));
  return s;
}

void read_row_size(EnvRecord& env, SasReader& r) {
  if (r.row_size.size() != 1) sas7bdat_fail(env, kSasErrRowSize, 1);
  if (r.column_size.size() != 1) sas7bdat_fail(env, kSasErrColumnSize, 1);
  SasBytes b{r.swap, r.word};
  const std::vector<uint8_t>& rs = r.row_size.front();
  const size_t w = static_cast<size_t>(r.word);
  if (rs.size() < 8 * w) sas7bdat_fail(env, kSasErrRowSize, 1);
  r.row_flags = b.word(rs.data() + 4 * w);
  r.record_length = b.word(rs.data() + 5 * w);
  uint32_t rows = b.word(rs.data() + 6 * w);
  if (rows == 0xFFFFFFFFu) rows = 0;
  if (rows > 0x7FFFFFFFu) sas7bdat_fail(env, kSasErrRowCount, 1);
  r.total_rows = rows;
  const uint32_t deleted = b.word(rs.data() + 7 * w);
  r.deleted_rows = deleted > rows ? 0 : deleted;
  const std::vector<uint8_t>& cs = r.column_size.front();
  if (cs.size() < 2 * w) sas7bdat_fail(env, kSasErrColumnSize, 1);
  r.column_count = b.word(cs.data() + w);
  if (r.column_count == 0)
    RaiseErrorF(env, "The SAS dataset %s has no variables: there is nothing to transfer.",
                engine_file_name(env.transfer.input_path));
  if (r.record_length == 0 || r.record_length >= r.page_size) sas7bdat_fail(env, kSasErrRecordLength, 1);
  if (r.column_count == 0 || r.column_count > 0x7FFFFFu) sas7bdat_fail(env, kSasErrColumnSize, 1);
}

int input_ttype(const SasColumn& c) { return c.type == 2 ? T_STRING : c.ttype; }

void build_columns(EnvRecord& env, SasReader& r) {
  SasBytes b{r.swap, r.word};
  const size_t w = static_cast<size_t>(r.word);
  // Column attributes: entries of word + 8 bytes after a header of word + 8 bytes, before a
  // trailer of word + 4 bytes.
  const size_t attr_size = w + 8, attr_start = w == 8 ? 16 : 12;
  for (const auto& block : r.column_attrs) {
    if (block.size() < attr_start + w + 4) continue;
    const size_t n = (block.size() - attr_start - (w + 4)) / attr_size;
    for (size_t k = 0; k < n && r.columns.size() < r.column_count; ++k) {
      const uint8_t* e = block.data() + attr_start + k * attr_size;
      SasColumn c;
      c.offset = b.word(e);
      c.width = b.u32(e + w);
      c.type = e[w + 6];
      if (c.type != 1 && c.type != 2) sas7bdat_fail(env, kSasErrColumnType, 1);
      if (c.offset > r.record_length || c.width > r.record_length - c.offset) sas7bdat_fail(env, kSasErrColumnPlace, 1);
      if (c.type == 1 && c.width > 8) sas7bdat_fail(env, kSasErrColumnPlace, 1);
      r.columns.push_back(c);
    }
  }
  std::vector<const uint8_t*> names;
  const size_t name_start = w == 8 ? 16 : 12;
  for (const auto& block : r.column_names) {
    if (block.size() < name_start + w + 4) continue;
    const size_t n = (block.size() - name_start - (w + 4)) / 8;
    for (size_t k = 0; k < n && names.size() < r.column_count; ++k) names.push_back(block.data() + name_start + 8 * k);
  }
  if (r.columns.size() < r.column_count || names.size() < r.column_count) sas7bdat_fail(env, kSasErrColumnPlace, 1);

  const size_t fl_sizes = w == 8 ? 24 : 12;
  const size_t fl_further = w == 8 ? 40 : 28, fl_format = w == 8 ? 46 : 34, fl_label = w == 8 ? 52 : 40;
  DictState& d = env.dict;
  for (uint32_t i = 0; i < r.column_count; ++i) {
    SasColumn& c = r.columns[i];
    std::string name = text_of(env, r, names[i], kSasErrNameRef);
    // Names stay in the file's encoding: the engine converts them after the dictionary stage.
    if (name.size() > 256) name.resize(256);
    std::string format, label;
    uint16_t sizes[2] = {0, 0};
    if (i < r.format_label.size()) {
      const std::vector<uint8_t>& fl = r.format_label[i];
      if (fl.size() >= fl_label + 6) {
        sizes[0] = b.u16(fl.data() + fl_sizes);
        sizes[1] = b.u16(fl.data() + fl_sizes + 2);
        text_of(env, r, fl.data() + fl_further, kSasErrFurtherName);
        format = text_of(env, r, fl.data() + fl_format, kSasErrFormatRef);
        if (format.size() > 32) format.resize(32);
        label = text_of(env, r, fl.data() + fl_label, kSasErrLabelRef);
      }
    }
    VarRecord* v;
    if (c.type == 2) {
      c.ttype = T_STRING;
      v = &dict_append_var(d, name, T_STRING, c.width + 1);
      v->print_width = v->output_width = v->input_width = c.width;
    } else {
      const int date = sas7bdat_date_ttype(format.data(), format.size());
      c.ttype = date ? date : T_FLOAT;
      v = &dict_append_var(d, name, c.ttype, 8);
      v->input_width = c.width;
    }
    v->selected = 1;
    v->native_format = format;
    v->input_attrs[0] = sizes[0];
    v->input_attrs[1] = sizes[1];
    v->reader_aux[0] = input_ttype(c);
    v->reader_aux[1] = c.type;
    if (!label.empty()) {
      label = text_input(env, label, "Error encoding input variable label, ", static_cast<int32_t>(i + 1));
      if (!label.empty()) var_set_label(*v, label);
    }
  }
}

// The data set label: a text reference near the end of the row-size subheader. A reference
// out of bounds leaves the label out rather than fail a readable file.
void read_file_label(EnvRecord& env, SasReader& r) {
  const std::vector<uint8_t>& rs = r.row_size.front();
  const size_t at = r.word == 8 ? 678 : 350;
  if (rs.size() < at + 6) return;
  SasBytes b{r.swap, r.word};
  const uint16_t block = b.u16(rs.data() + at), offset = b.u16(rs.data() + at + 2), length = b.u16(rs.data() + at + 4);
  if (length == 0 || block >= r.column_text.size() ||
      static_cast<size_t>(r.word) + offset + length > r.column_text[block].size())
    return;
  std::string label =
      text_input(env, text_of(env, r, rs.data() + at, kSasErrRowSize), "Error encoding input file label, ", 0);
  if (label.empty()) return;
  env.dict.file_label = std::move(label);
  env.dict.has_file_label = true;
}

void choose_compression(EnvRecord& env, SasReader& r) {
  if (!r.column_text.empty()) {
    const std::vector<uint8_t>& t = r.column_text.front();
    const size_t at = r.word == 8 ? 20 : 16;
    if (t.size() >= at + 8) {
      if (std::memcmp(t.data() + at, "SASYZCRL", 8) == 0) r.compression = 1;
      else if (std::memcmp(t.data() + at, "SASYZCR2", 8) == 0) r.compression = 2;
    }
  }
  if (r.compressed_seen && r.compression == 0)
    RaiseErrorF(env, "Type of compression has not been identified correctly: %s", env.transfer.input_path.c_str());
  if (r.compression) emit_message(env, MsgKind::Info, "The input SAS dataset uses RLE compression.");
}

}  // namespace

bool sas7bdat_is_subheader(const SasReader& r, const uint8_t* p, uint32_t len) {
  return known_signature(signature_of(r, p, len));
}

uint8_t sas7bdat_ebcdic(uint8_t c) { return ebcdic_table().map[c]; }

[[noreturn]] void sas7bdat_fail(EnvRecord& env, int32_t code, int phase) {
  const char* path = engine_file_name(env.transfer.input_path);
  env.last_open_result = code;
  if (code == kSasErrPassword)
    RaiseErrorF(env,
                "The SAS dataset %s is password protected and cannot be opened in Tabulon.\nPlease remove the password "
                "using SAS and repeat the failed transfer.",
                path);
  if (code == kSasErrLength)
    RaiseErrorF(env,
                "The SAS dataset %s is either longer or shorter than it should be. This most commonly happens when "
                "large files are damaged in a file transfer operation.  Please try to read the file with SAS or SAS "
                "System Viewer and if you are successful contact us for further support.",
                path);
  if (phase == 1)
    RaiseErrorF(env, "SAS dataset (%s) \nProcessing sas dataset dictionary was stopped because of the error (%d).",
                path, code);
  RaiseErrorF(env, "SAS dataset (%s)\nReading records from the dataset was stopped because of the error (%d).", path,
              code);
}

int32_t sas7bdat_open(EnvRecord& env) {
  Stream* s = env.transfer.input_stream.get();
  const std::string& path = env.transfer.input_path;
  const size_t dot = path.find_last_of('.');
  if (!s || dot == std::string::npos || strcasecmp(path.c_str() + dot, ".sas7bdat") != 0) return 0;
  uint8_t head[32];
  const bool ok = StreamSeek64(s, 0, SEEK_SET) == 0 && StreamReadRaw(s, head, 32) == 32 &&
                  std::memcmp(head, kMagic, 32) == 0;
  StreamSeek64(s, 0, SEEK_SET);
  if (!ok) {
    SetMessageF(env, "%s", "Filename extension indicates that you are reading SAS V7-9 file, but the file signature is wrong.");
    return -1;
  }
  return 0;
}

int32_t sas7bdat_read_dict(EnvRecord& env) {
  Stream* s = env.transfer.input_stream.get();
  if (!s) RaiseError(env, "Input file is not open", nullptr);
  SasReader* rp = nullptr;
  try {
    rp = &make_reader_state<SasReader>(env);
  } catch (const std::bad_alloc&) {
    sas7bdat_fail(env, kSasErrShortHeader, 1);
  }
  SasReader& r = *rp;
  uint8_t h[1024];
  read_header(env, r, s, h);
  choose_encoding(env, r, h);
  page_layout(env, r, h);
  scan_pages(env, r, s);
  read_row_size(env, r);
  build_columns(env, r);
  choose_compression(env, r);
  read_file_label(env, r);
  env.transfer.facts.compression = r.compression == 0 ? "none" : r.compression == 1 ? "RLE" : "RDC";
  if (r.deleted_rows == 1)
    emit_messagef(env, MsgKind::Info,
                  "The input SAS dataset contains %d physical records but %d is marked as deleted and will be excluded "
                  "from the transfer.",
                  static_cast<int>(r.total_rows), static_cast<int>(r.deleted_rows));
  else if (r.deleted_rows > 1)
    emit_messagef(env, MsgKind::Info,
                  "The input SAS dataset contains %d physical records but %d are marked as deleted and will be "
                  "excluded from the transfer.",
                  static_cast<int>(r.total_rows), static_cast<int>(r.deleted_rows));
  const int64_t announced = r.total_rows - r.deleted_rows;
  env.transfer.announced_cases = static_cast<uint32_t>(announced);
  env.dict.reader_count = announced;
  sas7bdat_restore_position(env);
  return 0;
}

void sas7bdat_close(EnvRecord& env) { env.encoding.file_encoding.clear(); }

}  // namespace tabulon
