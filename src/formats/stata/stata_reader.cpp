#include "formats/stata/stata_reader.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>

#include "api/env_record.h"
#include "api/messages.h"
#include "api/option_slots.h"
#include "api/raise.h"
#include "dict/dict_env.h"
#include "dict/dictionary.h"
#include "encoding/transcode.h"
#include "formats/stata/stata_text_encoding.h"
#include "engine/format_hooks.h"
#include "formats/stata/stata_dates.h"
#include "io/stream.h"

namespace tabulon {

namespace {

constexpr uint32_t kMaxLabelEntries = 65540;

[[noreturn]] void raise_pair(EnvRecord& env, const char* what, const char* why) {
  const size_t n = std::strlen(what);
  RaiseErrorF(env, n && what[n - 1] == ':' ? "%s %s" : "%s: %s", what, why);
}

[[noreturn]] void header_eof(EnvRecord& env) { raise_pair(env, "Error reading stata header", "End of file"); }

[[noreturn]] void marker_missing(EnvRecord& env, const char* marker) {
  RaiseErrorF(env, "Marker: %s was not properly located", marker);
}

size_t field_length(const uint8_t* p, size_t n) {
  const void* z = std::memchr(p, 0, n);
  return z ? static_cast<size_t>(static_cast<const uint8_t*>(z) - p) : n;
}

ConverterSlot& input_slot(EnvRecord& env) { return env.encoding.input[0]; }

// Text of the file (cut at its NUL) in UTF-8.
std::string input_text(EnvRecord& env, const uint8_t* p, size_t n, const char* context, int32_t variable = 0) {
  n = field_length(p, n);
  if (n == 0) return std::string();
  ConverterSlot& slot = input_slot(env);
  const StataReader* r = reader_state<StataReader>(env);
  if (!slot_converts(slot) || (r && r->utf8_as_is)) {
    if (stata_input_encoding_is_default(env) && !utf8_valid(p, n)) {
      std::string out;
      cp1252_to_utf8(p, n, out);
      return out;
    }
    return std::string(reinterpret_cast<const char*>(p), n);
  }
  TranscodeCall call;
  call.context = context;
  call.variable = variable;
  return transcode_to_string(env, slot, reinterpret_cast<const char*>(p), n, call);
}

void read_exact(EnvRecord& env, InputBuffer& in, void* out, size_t n) {
  if (!in.read(out, n)) header_eof(env);
}

void expect_marker(EnvRecord& env, InputBuffer& in, const char* marker) {
  if (!in.expect(marker, std::strlen(marker))) marker_missing(env, marker);
}

uint32_t rd_u16(EnvRecord& env, StataReader& r) {
  uint8_t b[2];
  read_exact(env, r.in, b, 2);
  return st_u16(b, r.swap);
}
uint32_t rd_u32(EnvRecord& env, StataReader& r) {
  uint8_t b[4];
  read_exact(env, r.in, b, 4);
  return st_u32(b, r.swap);
}
uint64_t rd_u64(EnvRecord& env, StataReader& r) {
  uint8_t b[8];
  read_exact(env, r.in, b, 8);
  return st_u64(b, r.swap);
}
// An unsigned integer of 1, 2, 4 or 8 bytes.
uint64_t rd_uint(EnvRecord& env, StataReader& r, uint32_t bytes) {
  switch (bytes) {
    case 1: {
      uint8_t b;
      read_exact(env, r.in, &b, 1);
      return b;
    }
    case 2: return rd_u16(env, r);
    case 4: return rd_u32(env, r);
    default: return rd_u64(env, r);
  }
}

// An unsigned integer of `n` bytes (n < 8) in the file's byte order, as the strL references of
// releases 118 (v: 2 bytes, o: 6) and 119 (v: 3, o: 5) store them.
inline uint64_t st_uint_n(const uint8_t* p, uint32_t n, bool big_endian) {
  uint64_t v = 0;
  for (uint32_t i = 0; i < n; ++i) {
    const uint32_t shift = 8 * (big_endian ? n - 1 - i : i);
    v |= static_cast<uint64_t>(p[i]) << shift;
  }
  return v;
}

// ---- descriptors shared by both layouts ----

struct Descriptors {
  std::vector<uint8_t> names, formats, label_names, labels;
  size_t name_len = 0, format_len = 0, label_len = 0;
};

void read_block(EnvRecord& env, InputBuffer& in, std::vector<uint8_t>& out, size_t count, size_t each) {
  out.resize(count * each);
  read_exact(env, in, out.data(), out.size());
}

void build_dictionary(EnvRecord& env, StataReader& r, const Descriptors& ds) {
  DictState& d = env.dict;
  const uint32_t k = r.var_count;
  r.label_names.resize(k);
  uint32_t offset = 0;
  for (uint32_t i = 0; i < k; ++i) {
    StataField& f = r.fields[i];
    f.offset = offset;
    offset += f.width;
    const uint8_t* np = ds.names.data() + i * ds.name_len;
    std::string name(reinterpret_cast<const char*>(np), field_length(np, ds.name_len));
    VarRecord* v;
    if (f.kind == kStString || f.kind == kStStrL) {
      const uint32_t w = f.kind == kStStrL ? 8 : std::max<uint32_t>(f.width, 1);
      v = &dict_append_var(d, name, T_STRING, w);
    } else {
      int ttype = f.kind == kStByte ? T_BYTE : f.kind == kStInt ? T_INT : f.kind == kStLong ? T_LONG
                : f.kind == kStFloat ? T_FLOAT : T_DOUBLE;
      const uint8_t* fp = ds.formats.data() + i * ds.format_len;
      StataFormatInfo info = stata_parse_format(reinterpret_cast<const char*>(fp), ds.format_len);
      if (info.ttype) ttype = info.ttype;
      f.date_kind = info.date_kind;
      f.time_only = info.ttype == T_TIME;
      v = &dict_append_var(d, name, ttype, f.width);
      v->print_width = info.print_width;
      v->output_width = info.print_width;
      v->decimals = info.decimals;
    }
    v->selected = 1;
    v->reader_aux[1] = f.kind;
    {
      const uint8_t* fp = ds.formats.data() + i * ds.format_len;
      v->native_format.assign(reinterpret_cast<const char*>(fp), field_length(fp, ds.format_len));
    }
    const uint8_t* lp = ds.label_names.data() + i * ds.name_len;
    r.label_names[i].assign(reinterpret_cast<const char*>(lp), field_length(lp, ds.name_len));
    std::string label = input_text(env, ds.labels.data() + i * ds.label_len, ds.label_len,
                                   "Error encoding input variable label, ", static_cast<int32_t>(i + 1));
    if (!label.empty()) var_set_label(*v, label);
  }
  r.record_length = offset;
}

// The data must fit between its start and `end` (the file's end or the next section).
void check_data_size(EnvRecord& env, StataReader& r, int64_t end) {
  if (end < 0) return;
  // In 128 bits: N is a 64-bit count from release 118.
  const unsigned __int128 need = static_cast<unsigned __int128>(r.record_length) * r.obs_count;
  if (end < r.data_pos || need > static_cast<unsigned __int128>(end - r.data_pos))
    RaiseErrorF(env, "The file holds fewer observations than its header declares (%llu observations of %u bytes; "
                     "file truncated?)",
                static_cast<unsigned long long>(r.obs_count), r.record_length);
}

// The header's time stamp, "dd Mon yyyy hh:mm" (the day may be one digit or padded).
void note_timestamp(EnvRecord& env, const std::string& stamp) {
  int day = 0, year = 0, hour = 0, minute = 0;
  char month[4] = {};
  if (std::sscanf(stamp.c_str(), "%d %3s %d %d:%d", &day, month, &year, &hour, &minute) == 5)
    env.transfer.facts.created = fact_time(year, fact_month(month), day, hour, minute, -1);
}

// ---- binary releases ----

void read_binary(EnvRecord& env, StataReader& r, uint8_t first) {
  InputBuffer& in = r.in;
  r.release = first;
  if (r.release < 102) RaiseError(env, "Not a Stata file", nullptr);
  if (r.release >= 116) RaiseError(env, "Your new version of Stata is not supported", nullptr);
  uint32_t file_type;
  if (r.release == 102) {
    // Release 102: an unused byte where later releases keep the byte order (always
    // little-endian), the file type, a reserved byte, K and a 16-bit N.
    uint8_t h[3];
    read_exact(env, in, h, 3);
    r.swap = stata_needs_swap(false);
    file_type = h[1];
    r.var_count = rd_u16(env, r);
    r.obs_count = rd_u16(env, r);
  } else {
    uint8_t h[3];
    read_exact(env, in, h, 3);
    if (h[0] != 1 && h[0] != 2) RaiseError(env, "Not a Stata file", nullptr);
    r.swap = stata_needs_swap(h[0] == 1);
    file_type = h[1];
    r.var_count = rd_u16(env, r);
    r.obs_count = rd_u32(env, r);
  }
  if (file_type != 1) RaiseError(env, "Cross Product Matrices are not supported", nullptr);
  if (r.var_count == 0 || r.obs_count == 0) RaiseError(env, "The file has no variables or observations", nullptr);
  uint8_t label[81];
  const size_t label_len = r.release >= 108 ? 81 : 32;
  read_exact(env, in, label, label_len);
  std::string text = input_text(env, label, label_len, "Error encoding input file label, ");
  if (!text.empty()) {
    env.dict.file_label = text;
    env.dict.has_file_label = true;
  }
  if (r.release >= 105) {
    char stamp[18];
    read_exact(env, in, stamp, sizeof stamp);
    note_timestamp(env, fact_text(stamp, sizeof stamp));
  }

  const uint32_t k = r.var_count;
  r.fields.resize(k);
  std::vector<uint8_t> types(k);
  read_exact(env, in, types.data(), k);
  for (uint32_t i = 0; i < k; ++i) {
    StataType t = stata_decode_type(r.release, types[i]);
    if (!t.kind) raise_pair(env, "Error in rdsttype:", "Read char doesn't have type");
    r.fields[i].kind = t.kind;
    r.fields[i].width = t.width;
  }
  Descriptors ds;
  ds.name_len = r.release >= 110 ? 33 : 9;
  ds.format_len = r.release >= 114 ? 49 : r.release >= 105 ? 12 : 7;
  ds.label_len = r.release >= 108 ? 81 : 32;
  read_block(env, in, ds.names, k, ds.name_len);
  if (!in.skip((static_cast<int64_t>(k) + 1) * 2)) header_eof(env);
  read_block(env, in, ds.formats, k, ds.format_len);
  read_block(env, in, ds.label_names, k, ds.name_len);
  read_block(env, in, ds.labels, k, ds.label_len);
  if (r.release >= 105) {
    for (;;) {
      uint8_t type;
      read_exact(env, in, &type, 1);
      int64_t len;
      if (r.release >= 110) {
        len = static_cast<int32_t>(rd_u32(env, r));
      } else {
        len = static_cast<int16_t>(rd_u16(env, r));
      }
      if (type == 0) break;
      if (len < 0 || !in.skip(len)) header_eof(env);
    }
  }
  build_dictionary(env, r, ds);
  r.data_pos = in.tell();
  check_data_size(env, r, in.length());
}

// ---- release 117 ----

// A counted text of the header: length byte, bytes, and then the next marker must start.
std::string header_text(EnvRecord& env, StataReader& r, uint32_t len_bytes) {
  const uint32_t len = static_cast<uint32_t>(rd_uint(env, r, len_bytes));
  std::vector<uint8_t> buf(len);
  read_exact(env, r.in, buf.data(), len);
  const uint8_t* next = r.in.take(1);
  if (!next || *next != '<') RaiseError(env, "missing tag in Stata file", nullptr);
  r.in.seek(r.in.tell() - 1);
  return std::string(reinterpret_cast<const char*>(buf.data()), len);
}

inline int64_t ds_min_name(const StataTaggedLayout& lay) { return lay.name_len; }

void read_tagged(EnvRecord& env, StataReader& r) {
  InputBuffer& in = r.in;
  expect_marker(env, in, "<stata_dta>");
  expect_marker(env, in, "<header>");
  expect_marker(env, in, "<release>");
  char rel[4] = {};
  read_exact(env, in, rel, 3);
  if (std::memcmp(rel, "117", 3) == 0)
    r.release = 117;
  else if (std::memcmp(rel, "118", 3) == 0)
    r.release = 118;
  else if (std::memcmp(rel, "119", 3) == 0)
    r.release = 119;
  else
    RaiseError(env, "Stata file version is not supported", nullptr);
  r.layout = stata_tagged_layout(r.release);
  r.utf8 = r.release >= 118;
  r.utf8_as_is = r.utf8 && stata_input_encoding_is_default(env);
  const StataTaggedLayout& lay = r.layout;
  expect_marker(env, in, "</release>");
  expect_marker(env, in, "<byteorder>");
  char order[4] = {};
  read_exact(env, in, order, 3);
  if (std::memcmp(order, "MSF", 3) == 0)
    r.swap = stata_needs_swap(true);
  else if (std::memcmp(order, "LSF", 3) == 0)
    r.swap = stata_needs_swap(false);
  else
    RaiseErrorF(env, "Invalid byteorder: %s", order);
  expect_marker(env, in, "</byteorder>");
  expect_marker(env, in, "<K>");
  r.var_count = static_cast<uint32_t>(rd_uint(env, r, lay.k_bytes));
  expect_marker(env, in, "</K>");
  expect_marker(env, in, "<N>");
  r.obs_count = rd_uint(env, r, lay.n_bytes);
  expect_marker(env, in, "</N>");
  if (r.var_count == 0 || r.obs_count == 0) RaiseError(env, "The file has no variables or observations", nullptr);
  expect_marker(env, in, "<label>");
  std::string label = header_text(env, r, lay.label_len_bytes);
  expect_marker(env, in, "</label>");
  if (!label.empty()) {
    std::string text = input_text(env, reinterpret_cast<const uint8_t*>(label.data()), label.size(),
                                  "Error encoding input file label, ");
    if (!text.empty()) {
      env.dict.file_label = text;
      env.dict.has_file_label = true;
    }
  }
  expect_marker(env, in, "<timestamp>");
  note_timestamp(env, header_text(env, r, 1));
  expect_marker(env, in, "</timestamp>");
  expect_marker(env, in, "</header>");
  expect_marker(env, in, "<map>");
  for (uint64_t& m : r.map) {
    uint8_t b[8];
    read_exact(env, in, b, 8);
    m = st_u64(b, r.swap);
  }
  expect_marker(env, in, "</map>");

  const uint32_t k = r.var_count;
  // Every variable takes hundreds of bytes of descriptors: a K the file cannot hold is a bad file.
  if (in.length() >= 0 && static_cast<int64_t>(k) * (2 + 2 * ds_min_name(lay)) > in.length()) header_eof(env);
  r.fields.resize(k);
  expect_marker(env, in, "<variable_types>");
  for (uint32_t i = 0; i < k; ++i) {
    StataType t = stata_decode_type(r.release, rd_u16(env, r));
    if (!t.kind) RaiseError(env, "Unrecognized variable type", nullptr);
    r.fields[i].kind = t.kind;
    r.fields[i].width = t.width;
  }
  expect_marker(env, in, "</variable_types>");
  Descriptors ds;
  ds.name_len = lay.name_len;
  ds.format_len = lay.format_len;
  ds.label_len = lay.label_len;
  expect_marker(env, in, "<varnames>");
  read_block(env, in, ds.names, k, ds.name_len);
  expect_marker(env, in, "</varnames>");
  expect_marker(env, in, "<sortlist>");
  if (!in.skip((static_cast<int64_t>(k) + 1) * lay.sort_bytes)) header_eof(env);
  expect_marker(env, in, "</sortlist>");
  expect_marker(env, in, "<formats>");
  read_block(env, in, ds.formats, k, ds.format_len);
  expect_marker(env, in, "</formats>");
  expect_marker(env, in, "<value_label_names>");
  read_block(env, in, ds.label_names, k, ds.name_len);
  expect_marker(env, in, "</value_label_names>");
  expect_marker(env, in, "<variable_labels>");
  read_block(env, in, ds.labels, k, ds.label_len);
  expect_marker(env, in, "</variable_labels>");
  expect_marker(env, in, "<characteristics>");
  for (;;) {
    if (in.expect("<ch>", 4)) {
      const uint32_t len = rd_u32(env, r);
      if (!in.skip(len)) header_eof(env);
      expect_marker(env, in, "</ch>");
      continue;
    }
    expect_marker(env, in, "</characteristics>");
    break;
  }
  expect_marker(env, in, "<data>");
  build_dictionary(env, r, ds);
  r.data_pos = in.tell();
  const int64_t strls = static_cast<int64_t>(r.map[10]);
  check_data_size(env, r, strls > r.data_pos ? strls : in.length());
}

// ---- strL table ----

// One key per (variable, observation): o ranges over 1..N and N fits the file.
inline uint64_t strl_key(const StataReader& r, uint64_t v, uint64_t o) { return (v - 1) * r.obs_count + (o - 1); }

void read_strls(EnvRecord& env, StataReader& r) {
  bool any = false;
  for (const StataField& f : r.fields) any = any || f.kind == kStStrL;
  if (!any) return;
  InputBuffer& in = r.in;
  if (!in.seek(static_cast<int64_t>(r.map[10]))) marker_missing(env, "<strls>");
  expect_marker(env, in, "<strls>");
  std::vector<uint32_t> longest(r.var_count, 0);
  for (;;) {
    const uint8_t* tag = in.take(3);
    if (!tag) marker_missing(env, "</strls>");
    if (std::memcmp(tag, "</s", 3) == 0) break;
    if (std::memcmp(tag, "GSO", 3) != 0) RaiseError(env, "Problem reading stls - no \"GSO\"", nullptr);
    const uint32_t v = rd_u32(env, r);
    const uint64_t o = rd_uint(env, r, r.layout.gso_o_bytes);
    uint8_t t;
    read_exact(env, in, &t, 1);
    const uint32_t len = rd_u32(env, r);
    if (v == 0 || o == 0 || v > r.var_count || o > r.obs_count)
      RaiseError(env, "Error reading strls too many variables or case offset out of range", nullptr);
    if (in.length() >= 0 && in.tell() + len > in.length()) header_eof(env);
    if (t != 130) {
      emit_messagef(env, MsgKind::Warning, " Skipping binary strl for case: %llu - variable: %u.",
                    static_cast<unsigned long long>(o), v);
      if (!in.skip(len)) header_eof(env);
      continue;
    }
    const uint8_t* p = in.take(len);
    if (!p && len) header_eof(env);
    uint32_t n = len;
    while (n > 0 && p[n - 1] == 0) --n;  // the stored text counts its terminating NUL
    if (n > r.strl_limit) {
      emit_messagef(env, MsgKind::Warning, " Trimming %d bytes from the end of over-limit strl -  case: %d - variable: %d.",
                    static_cast<int32_t>(n - r.strl_limit), static_cast<int32_t>(o), static_cast<int32_t>(v));
      n = utf8_cut(reinterpret_cast<const char*>(p), n, r.strl_limit);
    }
    const uint64_t key = strl_key(r, v, o);
    auto [it, fresh] = r.strl_slots.emplace(key, static_cast<uint32_t>(r.strl_texts.size()));
    if (fresh)
      r.strl_texts.emplace_back(reinterpret_cast<const char*>(p), n);
    else
      r.strl_texts[it->second].assign(reinterpret_cast<const char*>(p), n);
    longest[v - 1] = std::max(longest[v - 1], n);
  }
  for (uint32_t i = 0; i < r.var_count; ++i) {
    if (r.fields[i].kind != kStStrL || longest[i] <= 8) continue;
    VarRecord* var = dict_var(env.dict, static_cast<int32_t>(i));
    var->print_width = var->output_width = var->input_width = longest[i];
  }
}

// ---- value labels ----

[[noreturn]] void labels_short(EnvRecord& env) {
  RaiseError(env, "Read Error while reading value labels (file truncated?)", nullptr);
}

struct LabelTable {
  std::string name;
  std::vector<ValueLabel> entries;
};

void attach_table(EnvRecord& env, StataReader& r, LabelTable& table) {
  const bool preserve = option_int(env, kOptPreserveLabelSets) != 0;
  int64_t chained = 0;
  for (uint32_t i = 0; i < r.var_count; ++i) {
    if (r.label_names[i].empty() || r.label_names[i] != table.name) continue;
    if (r.fields[i].kind == kStString || r.fields[i].kind == kStStrL) continue;
    VarRecord* v = dict_var(env.dict, static_cast<int32_t>(i));
    v->value_labels = table.entries;
    v->reader_text = preserve ? table.name : v->name;
    v->reader_aux[0] = ++chained;
    env.dict.value_labels_present = true;
  }
}

ValueLabel make_entry(EnvRecord& env, StataReader& r, int32_t value, const char* text, size_t len) {
  ValueLabel e;
  // In 64 bits: the codes end at the largest 32-bit value.
  const int64_t code = static_cast<int64_t>(value) + 1 - r.th.long_min;
  if (r.th.extended && code >= 1 && code <= 27) {
    e.missing = static_cast<uint32_t>(code);
    e.text = missing_code_text(static_cast<int>(e.missing));
    e.has_text = true;
  } else {
    e.value = value;
  }
  e.label = input_text(env, reinterpret_cast<const uint8_t*>(text), len, "Error encoding input value label, ");
  return e;
}

// Tables of releases 108 and later: the table of `len` bytes is next in the input.
void read_modern_table(EnvRecord& env, StataReader& r, LabelTable& table, int64_t len) {
  InputBuffer& in = r.in;
  if (len < 8 || (in.length() >= 0 && in.tell() + len > in.length())) labels_short(env);
  uint8_t head[8];
  if (!in.read(head, 8)) labels_short(env);
  const int32_t n = static_cast<int32_t>(st_u32(head, r.swap));
  const int32_t text_len = static_cast<int32_t>(st_u32(head + 4, r.swap));
  if (n < 0 || static_cast<uint32_t>(n) >= kMaxLabelEntries)
    RaiseError(env, "Invalid number of labels in a label set", nullptr);
  if (text_len < 0 || 8 + 8 * static_cast<int64_t>(n) + text_len > len) labels_short(env);
  std::vector<uint8_t> body(static_cast<size_t>(len - 8));
  if (!in.read(body.data(), body.size())) labels_short(env);
  const uint8_t* offsets = body.data();
  const uint8_t* values = offsets + 4 * static_cast<size_t>(n);
  const char* text = reinterpret_cast<const char*>(values + 4 * static_cast<size_t>(n));
  table.entries.reserve(static_cast<size_t>(n));
  for (int32_t j = 0; j < n; ++j) {
    const uint32_t off = st_u32(offsets + 4 * j, r.swap);
    const int32_t value = static_cast<int32_t>(st_u32(values + 4 * j, r.swap));
    if (off >= static_cast<uint32_t>(text_len)) continue;
    const size_t room = static_cast<size_t>(text_len) - off;
    const void* z = std::memchr(text + off, 0, room);
    const size_t l = z ? static_cast<size_t>(static_cast<const char*>(z) - (text + off)) : room;
    table.entries.push_back(make_entry(env, r, value, text + off, l));
  }
}

void read_binary_labels(EnvRecord& env, StataReader& r) {
  InputBuffer& in = r.in;
  const int64_t start = r.data_pos + static_cast<int64_t>(r.record_length) * r.obs_count;
  if (!in.seek(start)) return;
  const size_t name_len = r.release >= 110 ? 33 : 9;
  for (;;) {
    LabelTable table;
    if (r.release < 108) {
      uint8_t head[12];
      if (!in.read(head, 2)) break;
      const int32_t n = static_cast<int16_t>(st_u16(head, r.swap));
      if (n < 0) RaiseError(env, "Invalid number of labels in a label set", nullptr);
      if (!in.read(head + 2, 10)) labels_short(env);
      table.name.assign(reinterpret_cast<const char*>(head + 2), field_length(head + 2, 10));
      std::vector<uint8_t> body(static_cast<size_t>(n) * 10);
      if (!in.read(body.data(), body.size())) labels_short(env);
      for (int32_t j = 0; j < n; ++j) {
        const int32_t value = static_cast<int16_t>(st_u16(body.data() + 2 * j, r.swap));
        const char* text = reinterpret_cast<const char*>(body.data() + 2 * n + 8 * j);
        ValueLabel e;
        e.value = value;
        e.label = input_text(env, reinterpret_cast<const uint8_t*>(text), 8, "Error encoding input value label, ");
        table.entries.push_back(std::move(e));
      }
    } else {
      uint8_t head[4];
      if (!in.read(head, 4)) break;
      const int64_t len = static_cast<int32_t>(st_u32(head, r.swap));
      uint8_t name[36];
      if (!in.read(name, name_len + 3)) labels_short(env);
      table.name.assign(reinterpret_cast<const char*>(name), field_length(name, name_len));
      read_modern_table(env, r, table, len);
    }
    attach_table(env, r, table);
  }
}

void read_tagged_labels(EnvRecord& env, StataReader& r) {
  InputBuffer& in = r.in;
  if (!in.seek(static_cast<int64_t>(r.map[11]))) labels_short(env);
  expect_marker(env, in, "<value_labels>");
  for (;;) {
    if (in.expect("</val", 5)) break;
    expect_marker(env, in, "<lbl>");
    const size_t name_len = r.layout.name_len;
    uint8_t head[4 + 129 + 3];
    if (!in.read(head, 4 + name_len + 3)) labels_short(env);
    LabelTable table;
    table.name.assign(reinterpret_cast<const char*>(head + 4), field_length(head + 4, name_len));
    read_modern_table(env, r, table, static_cast<int32_t>(st_u32(head, r.swap)));
    expect_marker(env, in, "</lbl>");
    attach_table(env, r, table);
  }
}

// ---- the case plan ----

inline bool is_text_kind(uint8_t kind) { return kind == kStString || kind == kStStrL; }

void build_plan(EnvRecord& env, StataReader& r) {
  r.plan.clear();
  for (uint32_t i = 0; i < r.var_count; ++i) {
    VarRecord* v = dict_var(env.dict, static_cast<int32_t>(i));
    if (!v || !v->selected || v->storage_width == 0) continue;
    const StataField& f = r.fields[i];
    const bool short_text = std::endian::native == std::endian::little && f.kind == kStString && f.width <= 8 &&
                            f.offset + 8 <= r.record_length && v->storage_width > 8;
    r.plan.push_back({f.kind, f.date_kind, f.time_only, short_text, f.offset, f.width, i + 1, v});
  }
  // Numbers have no side effects: read_case takes them a kind at a time.
  r.case_order.clear();
  static const uint8_t kKinds[5] = {kStByte, kStInt, kStLong, kStFloat, kStDouble};
  for (int g = 0; g < 5; ++g) {
    for (const StataStep& s : r.plan)
      if (s.kind == kKinds[g] && !s.date_kind) r.case_order.push_back(s);
    r.group_end[g] = static_cast<uint32_t>(r.case_order.size());
  }
  for (const StataStep& s : r.plan)
    if (!is_text_kind(s.kind) && s.date_kind) r.case_order.push_back(s);
  r.group_end[5] = static_cast<uint32_t>(r.case_order.size());
  for (const StataStep& s : r.plan)
    if (is_text_kind(s.kind)) r.case_order.push_back(s);
  // String values go through the input converter unless none is set or the file's UTF-8 is
  // taken as it is (release 118 on, no encoding named).
  ConverterSlot& cs = input_slot(env);
  r.text_converts = !r.utf8_as_is && slot_converts(cs);
  r.plan_ready = true;
}

// Bytes of a fixed-width string field before its NUL: short fields (most are) by a loop
// rather than a library call per value.
inline size_t field_text_length(const uint8_t* p, size_t width) {
  if (width <= 16) {
    size_t n = 0;
    while (n < width && p[n]) ++n;
    return n;
  }
  const void* z = std::memchr(p, 0, width);
  return z ? static_cast<size_t>(static_cast<const uint8_t*>(z) - p) : width;
}

// A short string field from one 8-byte load (little-endian): the bytes before its NUL,
// with those after the field cleared.
inline uint64_t short_field_word(const uint8_t* p, uint32_t width) {
  uint64_t w;
  std::memcpy(&w, p, 8);
  return width >= 8 ? w : w & ((uint64_t{1} << (8 * width)) - 1);
}
// Its length: the first zero byte (the lowest flagged byte is exact), 8 when there is none.
inline size_t short_field_length(uint64_t w) {
  const uint64_t z = (w - 0x0101010101010101u) & ~w & 0x8080808080808080u;
  return z ? static_cast<size_t>(std::countr_zero(z)) / 8 : 8;
}
// The word cut to its first n bytes, and whether those are ASCII.
inline uint64_t short_field_text(uint64_t w, size_t n) { return n >= 8 ? w : w & ((uint64_t{1} << (8 * n)) - 1); }
inline bool short_field_ascii(uint64_t text) { return (text & 0x8080808080808080u) == 0; }

// The text as the record would hold it: cut to the slot, to its first NUL.
inline size_t stored_length(const uint8_t* p, size_t n, size_t cap) {
  if (n > cap) n = utf8_cut(reinterpret_cast<const char*>(p), n, cap);
  const void* z = std::memchr(p, 0, n);
  return z ? static_cast<size_t>(static_cast<const uint8_t*>(z) - p) : n;
}

// The text needs converting before it is stored (put_text's slow paths).
inline bool text_needs_work(EnvRecord& env, const StataReader& r, const uint8_t* p, size_t n) {
  if (r.text_converts && !(input_slot(env).ascii_identity && is_ascii(p, n))) return true;
  return r.cp1252_fallback && !is_ascii(p, n) && !utf8_valid(p, n);
}

void put_text(EnvRecord& env, StataReader& r, const StataStep& s, uint8_t* slot, const uint8_t* p, size_t n) {
  VarRecord& v = *s.var;
  if (n == 0) {
    v.missing = kSystemMissing;
    slot[0] = 0;
    return;
  }
  ConverterSlot& cs = input_slot(env);
  if (r.text_converts && !(cs.ascii_identity && is_ascii(p, n))) {
    TranscodeCall call;
    call.context = "Error encoding input string value, ";
    call.variable = static_cast<int32_t>(s.var_number);
    call.record = static_cast<int64_t>(r.delivered) + 1;
    const int64_t len = transcode_string(env, cs, reinterpret_cast<const char*>(p), n, nullptr, 0, call);
    var_set_string(env.dict, v, cs.out_buf.data(), len > 0 ? static_cast<size_t>(len) : 0);
    return;
  }
  if (r.cp1252_fallback && !is_ascii(p, n) && !utf8_valid(p, n)) {
    r.scratch.clear();
    cp1252_to_utf8(p, n, r.scratch);
    var_set_string(env.dict, v, r.scratch.data(), r.scratch.size());
    return;
  }
  const size_t cap = v.storage_width ? v.storage_width - 1 : 0;
  if (n > cap) n = utf8_cut(reinterpret_cast<const char*>(p), n, cap);
  std::memcpy(slot, p, n);
  slot[n] = 0;
  v.missing = kValuePresent;
}

// A number field: its missing code (0: a value, in *x as stored, before any date conversion).
template <uint8_t Kind, bool Swap>
inline uint16_t decode_number(const uint8_t* p, const StataThresholds& th, double* x) {
  constexpr bool swap = Swap;
  if constexpr (Kind == kStByte) {
    const int32_t v = static_cast<int8_t>(*p);
    *x = v;
    return stata_int_missing(v, th.byte_min);
  } else if constexpr (Kind == kStInt) {
    const int32_t v = static_cast<int16_t>(st_u16(p, swap));
    *x = v;
    return stata_int_missing(v, th.int_min);
  } else if constexpr (Kind == kStLong) {
    const int32_t v = static_cast<int32_t>(st_u32(p, swap));
    *x = v;
    return stata_int_missing(v, th.long_min);
  } else if constexpr (Kind == kStFloat) {
    const uint32_t bits = st_u32(p, swap);
    *x = std::bit_cast<float>(bits);
    return stata_float_missing(bits, th.extended);
  } else {
    const uint64_t bits = st_u64(p, swap);
    *x = std::bit_cast<double>(bits);
    return stata_double_missing(bits, th);
  }
}

template <uint8_t Kind, bool Swap, bool Dated = true>
inline void put_number(const StataStep& s, uint8_t* slot, const uint8_t* p, const StataThresholds& th) {
  double x;
  if (const uint16_t code = decode_number<Kind, Swap>(p, th, &x)) {
    s.var->missing = code;
    std::memset(slot, 0, 8);
    return;
  }
  if (Dated && s.date_kind) x = stata_value_to_day(x, s.date_kind, s.time_only);
  std::memcpy(slot, &x, 8);
  s.var->missing = kValuePresent;
}

// The text of a strL reference: null for an empty one (*n = 0); raises on a reference
// outside the table.
const uint8_t* strl_text(EnvRecord& env, const StataReader& r, const uint8_t* p, size_t* n) {
  uint64_t v, o;
  if (r.release == 117) {
    v = st_u32(p, r.swap);
    o = st_u32(p + 4, r.swap);
  } else {
    const bool big = r.swap != (std::endian::native == std::endian::big);
    const uint32_t vb = r.layout.strl_v_bytes;
    v = st_uint_n(p, vb, big);
    o = st_uint_n(p + vb, 8 - vb, big);
  }
  *n = 0;
  if (v == 0 && o == 0) return nullptr;
  if (v == 0 || o == 0 || v > r.var_count || o > r.obs_count)
    RaiseError(env, "Error looking up strl value - variable or case offset is out of range", nullptr);
  auto it = r.strl_slots.find(strl_key(r, v, o));
  if (it == r.strl_slots.end()) return nullptr;
  const std::string& t = r.strl_texts[it->second];
  *n = t.size();
  return reinterpret_cast<const uint8_t*>(t.data());
}

// A group of plain numbers of one kind into the record buffer.
template <uint8_t Kind, bool Swap>
inline void put_numbers(const StataStep* s, const StataStep* end, uint8_t* base, const uint8_t* rec,
                        const StataThresholds& th) {
  for (; s < end; ++s) put_number<Kind, Swap, false>(*s, base + s->var->offset, rec + s->offset, th);
}

// The selected fields of one record into the record buffer.
template <bool Swap>
void read_fields(EnvRecord& env, StataReader& r, const uint8_t* rec) {
  uint8_t* base = env.dict.record();
  const StataThresholds th = r.th;
  const StataStep* steps = r.case_order.data();
  put_numbers<kStByte, Swap>(steps, steps + r.group_end[0], base, rec, th);
  put_numbers<kStInt, Swap>(steps + r.group_end[0], steps + r.group_end[1], base, rec, th);
  put_numbers<kStLong, Swap>(steps + r.group_end[1], steps + r.group_end[2], base, rec, th);
  put_numbers<kStFloat, Swap>(steps + r.group_end[2], steps + r.group_end[3], base, rec, th);
  put_numbers<kStDouble, Swap>(steps + r.group_end[3], steps + r.group_end[4], base, rec, th);
  for (const StataStep* s = steps + r.group_end[4]; s < steps + r.group_end[5]; ++s) {
    uint8_t* slot = base + s->var->offset;
    const uint8_t* p = rec + s->offset;
    switch (s->kind) {
      case kStByte: put_number<kStByte, Swap>(*s, slot, p, th); break;
      case kStInt: put_number<kStInt, Swap>(*s, slot, p, th); break;
      case kStLong: put_number<kStLong, Swap>(*s, slot, p, th); break;
      case kStFloat: put_number<kStFloat, Swap>(*s, slot, p, th); break;
      default: put_number<kStDouble, Swap>(*s, slot, p, th); break;
    }
  }
  const StataStep* end = steps + r.case_order.size();
  for (const StataStep* s = steps + r.group_end[5]; s < end; ++s) {
    uint8_t* slot = base + s->var->offset;
    const uint8_t* p = rec + s->offset;
    if (s->kind == kStStrL) {
      size_t n;
      const uint8_t* t = strl_text(env, r, p, &n);
      put_text(env, r, *s, slot, t ? t : p, n);
      continue;
    }
    // Text taken as it is that fits its slot: copied here.
    if (s->short_text) {
      const uint64_t w = short_field_word(p, s->width);
      const size_t n = short_field_length(w);
      const uint64_t text = short_field_text(w, n);
      if (n && !r.text_converts && (!r.cp1252_fallback || short_field_ascii(text))) {
        std::memcpy(slot, &text, 8);  // the text and zeros after it; the slot holds more than 8 bytes
        slot[8] = 0;
        s->var->missing = kValuePresent;
      } else {
        put_text(env, r, *s, slot, p, n);
      }
      continue;
    }
    const size_t n = field_text_length(p, s->width);
    if (n && !r.text_converts && n < s->var->storage_width && (!r.cp1252_fallback || is_ascii(p, n))) {
      std::memcpy(slot, p, n);
      slot[n] = 0;
      s->var->missing = kValuePresent;
    } else {
      put_text(env, r, *s, slot, p, n);
    }
  }
}

[[noreturn]] void data_short(EnvRecord& env, const StataReader& r) {
  RaiseErrorF(env, "Error reading observation %llu of %llu: the file ends early (file truncated?)",
              static_cast<unsigned long long>(r.delivered + 1), static_cast<unsigned long long>(r.obs_count));
}

// ---- statistics for the optimization pass ----

// Cases per block, and the most bytes of records a block takes from the input buffer.
constexpr size_t kGatherBlock = 1024;
constexpr size_t kGatherBytes = 1 << 20;

// The present values of a number column over `count` records, as read_case delivers them.
template <uint8_t Kind, bool Swap>
size_t column_values(const StataReader& r, const StataStep& s, const uint8_t* rows, size_t count, double* out) {
  const size_t stride = r.record_length;
  const StataThresholds th = r.th;
  const uint8_t* p = rows + s.offset;
  size_t k = 0;
  for (size_t j = 0; j < count; ++j, p += stride) {
    double x;
    out[k] = 0;
    if (decode_number<Kind, Swap>(p, th, &x) == 0) out[k++] = x;
  }
  if (s.date_kind)
    for (size_t j = 0; j < k; ++j) out[j] = stata_value_to_day(out[j], s.date_kind, s.time_only);
  return k;
}

template <bool Swap>
size_t column_values(const StataReader& r, const StataStep& s, const uint8_t* rows, size_t count, double* out) {
  switch (s.kind) {
    case kStByte: return column_values<kStByte, Swap>(r, s, rows, count, out);
    case kStInt: return column_values<kStInt, Swap>(r, s, rows, count, out);
    case kStLong: return column_values<kStLong, Swap>(r, s, rows, count, out);
    case kStFloat: return column_values<kStFloat, Swap>(r, s, rows, count, out);
    default: return column_values<kStDouble, Swap>(r, s, rows, count, out);
  }
}

// Takes the number columns of `count` records into their statistics.
void add_columns(const StataReader& r, const std::vector<const StataStep*>& numbers, const uint8_t* want,
                 VarStats* stats, bool exact_float, const uint8_t* rows, size_t count) {
  double values[kGatherBlock];
  for (const StataStep* s : numbers) {
    const size_t k = r.swap ? column_values<true>(r, *s, rows, count, values)
                            : column_values<false>(r, *s, rows, count, values);
    const size_t i = s->var_number - 1;
    optimize_add_values(stats[i], values, k, exact_float, want[i] == kWantDate);
  }
}

// The longest text of a column of fixed-width strings taken as they are (no converter).
void add_plain_texts(EnvRecord& env, StataReader& r, const StataStep& s, VarStats& stats, const uint8_t* rows,
                     size_t count) {
  const VarRecord& v = *s.var;
  const size_t cap = v.storage_width ? v.storage_width - 1 : 0;
  uint8_t* slot = env.dict.record() + v.offset;
  const uint8_t* p = rows + s.offset;
  size_t longest = 0;
  if (s.short_text && !r.cp1252_fallback) {
    // A short field always fits its slot.
    for (size_t j = 0; j < count; ++j, p += r.record_length)
      longest = std::max(longest, short_field_length(short_field_word(p, s.width)));
    if (static_cast<double>(longest) > stats.maximum) stats.maximum = static_cast<double>(longest);
    return;
  }
  for (size_t j = 0; j < count; ++j, p += r.record_length) {
    size_t n;
    if (s.short_text) {
      const uint64_t w = short_field_word(p, s.width);
      n = short_field_length(w);
      if (short_field_ascii(short_field_text(w, n))) {
        longest = std::max(longest, n);
        continue;
      }
    } else {
      n = field_text_length(p, s.width);
    }
    size_t len;
    if (r.cp1252_fallback && !is_ascii(p, n) && !utf8_valid(p, n)) {
      put_text(env, r, s, slot, p, n);
      len = std::strlen(reinterpret_cast<const char*>(slot));
    } else {
      len = n <= cap ? n : utf8_cut(reinterpret_cast<const char*>(p), n, cap);
    }
    longest = std::max(longest, len);
  }
  if (static_cast<double>(longest) > stats.maximum) stats.maximum = static_cast<double>(longest);
}

// The reading pass's statistics case by case through read_case: for variables the host
// retyped between text and numbers, whose record slots hold what read_case puts there.
int32_t gather_by_reading(EnvRecord& env, StataReader& r, const uint8_t* want, VarStats* stats, bool exact_float,
                          int32_t max_cases) {
  int32_t done = 0;
  while (done < max_cases) {
    dict_clear_record(env.dict);
    env.encoding.current_case = static_cast<int64_t>(r.delivered) + 1;
    if (stata_read_case(env) != kCaseRead) break;
    for (const StataStep& s : r.plan) {
      const size_t i = s.var_number - 1;
      const VarRecord& v = *s.var;
      if (want[i] == kWantNone) continue;
      if (want[i] == kWantString) {
        const double len = static_cast<double>(std::strlen(var_get_string(env.dict, v)));
        if (len > stats[i].maximum) stats[i].maximum = len;
      } else if (var_missing(v) == kValuePresent) {
        optimize_add_value(stats[i], var_get_double(env.dict, v), exact_float, want[i] == kWantDate);
      }
    }
    ++done;
  }
  return done;
}

}  // namespace

int32_t stata_read_dict(EnvRecord& env) {
  Stream* stream = env.transfer.input_stream.get();
  if (!stream) RaiseError(env, "Input file is not open", nullptr);
  StataReader& r = make_reader_state<StataReader>(env);
  r.cp1252_fallback = stata_input_encoding_is_default(env);
  r.in.attach(stream);
  r.strl_limit = static_cast<uint32_t>(dict_max_string_length(env));
  uint8_t first;
  if (!r.in.read(&first, 1)) header_eof(env);
  if (first == '<') {
    r.in.seek(r.in.tell() - 1);
    read_tagged(env, r);
  } else {
    read_binary(env, r, first);
  }
  if (stream->error & STREAM_ERR_READ) raise_pair(env, "Bad file format", "Error reading header");
  DatasetFacts& facts = env.transfer.facts;
  facts.release = std::to_string(r.release);
  facts.byte_order = byte_order_name(r.swap != (std::endian::native == std::endian::big));
  // Releases before 118 do not say which code page their text is in.
  if (r.utf8) facts.encoding = "UTF-8";
  r.th = stata_thresholds(r.release);
  if (r.release >= 117) {
    read_strls(env, r);
    read_tagged_labels(env, r);
  } else {
    read_binary_labels(env, r);
  }
  if (!r.in.seek(r.data_pos)) raise_pair(env, "Bad file format", "Error reading header");
  r.delivered = 0;
  env.transfer.announced_cases = static_cast<uint32_t>(std::min<uint64_t>(r.obs_count, UINT32_MAX));
  env.dict.reader_count = static_cast<int64_t>(r.obs_count);
  return 0;
}

int32_t stata_read_case(EnvRecord& env) {
  StataReader* rp = reader_state<StataReader>(env);
  if (!rp) return kEndOfData;
  StataReader& r = *rp;
  if (r.delivered >= r.obs_count) return kEndOfData;
  if (!r.plan_ready) build_plan(env, r);
  const uint8_t* rec = r.in.take(r.record_length);
  if (!rec) data_short(env, r);
  if (r.swap)
    read_fields<true>(env, r, rec);
  else
    read_fields<false>(env, r, rec);
  ++r.delivered;
  return kCaseRead;
}

int32_t stata_gather_stats(EnvRecord& env, const uint8_t* want, VarStats* stats, bool exact_float,
                           int32_t max_cases) {
  StataReader* rp = reader_state<StataReader>(env);
  if (!rp) return 0;
  StataReader& r = *rp;
  if (!r.plan_ready) build_plan(env, r);
  // Numbers and text taken as it is have no side effects: column by column. strLs (whose
  // references may be wrong) and text through a converter (which may fail or count
  // replaced characters) go case by case, as read_case takes them, even where their
  // lengths are not wanted.
  std::vector<const StataStep*> numbers, plain_texts, checked_texts;
  for (const StataStep& s : r.plan) {
    const uint8_t w = want[s.var_number - 1];
    const bool text = is_text_kind(s.kind);
    if (w != kWantNone && text != (w == kWantString))
      return gather_by_reading(env, r, want, stats, exact_float, max_cases);
    if (!text) {
      if (w != kWantNone) numbers.push_back(&s);
    } else if (s.kind == kStStrL || r.text_converts) {
      checked_texts.push_back(&s);
    } else if (w != kWantNone) {
      plain_texts.push_back(&s);
    }
  }
  uint8_t* base = env.dict.record();
  const size_t block = r.record_length ? std::clamp<size_t>(kGatherBytes / r.record_length, 1, kGatherBlock)
                                       : kGatherBlock;
  int32_t done = 0;
  while (done < max_cases && r.delivered < r.obs_count) {
    const uint64_t left = std::min<uint64_t>(r.obs_count - r.delivered, static_cast<uint64_t>(max_cases - done));
    const size_t want_rows = static_cast<size_t>(std::min<uint64_t>(left, block));
    size_t avail = 0;
    const uint8_t* rows = r.in.peek(want_rows * r.record_length, &avail);
    const size_t count = r.record_length ? std::min(want_rows, avail / r.record_length) : want_rows;
    if (count == 0) data_short(env, r);
    const uint64_t first = r.delivered;
    try {
      for (size_t j = 0; j < count && !checked_texts.empty(); ++j) {
        r.delivered = first + j;
        env.encoding.current_case = static_cast<int64_t>(r.delivered) + 1;
        const uint8_t* rec = rows + j * r.record_length;
        for (const StataStep* s : checked_texts) {
          const uint8_t* p = rec + s->offset;
          size_t n;
          if (s->kind == kStString) {
            n = field_text_length(p, s->width);
          } else {
            const uint8_t* t = strl_text(env, r, p, &n);
            if (t) p = t;
          }
          if (n == 0) continue;
          const size_t i = s->var_number - 1;
          size_t len;
          if (text_needs_work(env, r, p, n)) {
            uint8_t* slot = base + s->var->offset;
            put_text(env, r, *s, slot, p, n);
            len = std::strlen(reinterpret_cast<const char*>(slot));
          } else if (want[i] == kWantNone) {
            continue;
          } else {
            const VarRecord& v = *s->var;
            len = stored_length(p, n, v.storage_width ? v.storage_width - 1 : 0);
          }
          if (want[i] != kWantNone && static_cast<double>(len) > stats[i].maximum)
            stats[i].maximum = static_cast<double>(len);
        }
      }
    } catch (...) {
      // What the cases before the failing one showed still counts.
      const size_t before = static_cast<size_t>(r.delivered - first);
      add_columns(r, numbers, want, stats, exact_float, rows, before);
      for (const StataStep* s : plain_texts) add_plain_texts(env, r, *s, stats[s->var_number - 1], rows, before);
      throw;
    }
    add_columns(r, numbers, want, stats, exact_float, rows, count);
    for (const StataStep* s : plain_texts) add_plain_texts(env, r, *s, stats[s->var_number - 1], rows, count);
    r.in.advance(count * r.record_length);
    r.delivered = first + count;
    done += static_cast<int32_t>(count);
  }
  return done;
}

int32_t stata_save_position(EnvRecord& env) {
  StataReader* r = reader_state<StataReader>(env);
  if (!r) return -1;
  r->saved_delivered = r->delivered;
  return 0;
}

int32_t stata_restore_position(EnvRecord& env) {
  StataReader* r = reader_state<StataReader>(env);
  if (!r || r->saved_delivered < 0) return -1;
  r->delivered = static_cast<uint64_t>(r->saved_delivered);
  r->plan_ready = false;
  return r->in.seek(r->data_pos + static_cast<int64_t>(r->record_length) * r->delivered) ? 0 : -1;
}

}  // namespace tabulon
