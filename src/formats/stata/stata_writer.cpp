#include "formats/stata/stata_writer.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>

#include "api/env_record.h"
#include "api/messages.h"
#include "api/option_slots.h"
#include "api/raise.h"
#include "dates/day_number.h"
#include "dict/dictionary.h"
#include "encoding/legalize.h"
#include "encoding/names_pass.h"
#include "encoding/transcode.h"
#include "engine/change_report.h"
#include "formats/stata/stata_text_encoding.h"
#include "engine/format_hooks.h"
#include "formats/stata/stata_dates.h"
#include "io/stream.h"

namespace tabulon {

namespace {

constexpr size_t kFlushAt = 1 << 20;
constexpr uint32_t kStrLWidth = 2045;

[[noreturn]] void raise_pair(EnvRecord& env, const char* what, const char* why) {
  RaiseErrorF(env, "%s: %s", what, why);
}

// ---- output buffer ----

void flush(EnvRecord& env, StataWriter& w, const char* what) {
  size_t done = 0;
  while (done < w.buf.size()) {
    const size_t left = w.buf.size() - done;
    const int32_t n = left > (1u << 30) ? (1 << 30) : static_cast<int32_t>(left);
    if (StreamWrite(w.out, w.buf.data() + done, n) != n) raise_pair(env, what, "Disk Full?");
    done += static_cast<size_t>(n);
  }
  w.flushed += static_cast<int64_t>(w.buf.size());
  w.buf.clear();
  if (w.out->error & STREAM_ERR_WRITE) raise_pair(env, what, "Disk Full?");
}

inline int64_t position(const StataWriter& w) { return w.flushed + static_cast<int64_t>(w.buf.size()); }

// n bytes at the end of the output, which the caller fills.
inline uint8_t* reserve(StataWriter& w, size_t n) { return w.buf.grow(n); }

void put(StataWriter& w, const void* p, size_t n) {
  if (n) std::memcpy(reserve(w, n), p, n);
}
void put(StataWriter& w, const char* s) { put(w, s, std::strlen(s)); }
void put8(StataWriter& w, uint8_t v) { *reserve(w, 1) = v; }
void put16(StataWriter& w, uint16_t v) { st_put16(reserve(w, 2), v); }
void put32(StataWriter& w, uint32_t v) { st_put32(reserve(w, 4), v); }
void put64(StataWriter& w, uint64_t v) { st_put64(reserve(w, 8), v); }
// A text in a fixed field: cut to `cut` bytes, NUL padded to `field`.
void put_field(StataWriter& w, const std::string& s, size_t field, size_t cut) {
  uint8_t* p = reserve(w, field);
  std::memset(p, 0, field);
  std::memcpy(p, s.data(), std::min({s.size(), cut, field}));
}
void put_field(StataWriter& w, const std::string& s, size_t field) { put_field(w, s, field, field - 1); }

// Marks a section's start in the map (release 117).
void section(StataWriter& w, int index, const char* tag) {
  w.map[index] = static_cast<uint64_t>(position(w));
  put(w, tag);
}

// ---- text in the output encoding ----

ConverterSlot& output_slot(EnvRecord& env) { return env.encoding.output[0]; }

// True when the text the writer stores is UTF-8 (cuts keep whole characters).
bool writes_utf8(EnvRecord& env) {
  const StataWriter* w = writer_state<StataWriter>(env);
  if (w && w->utf8) return true;
  if (w && w->cp1252) return false;
  return !slot_converts(output_slot(env));
}

// A text of the dictionary in the file's encoding. Characters the release's code page lacks
// are replaced and counted against `var` (empty: the data set), never stopped on.
std::string output_text(EnvRecord& env, const std::string& s, const char* context, std::string_view var = {}) {
  const StataWriter* w = writer_state<StataWriter>(env);
  if (s.empty() || (w && w->utf8)) return s;
  if (w && w->cp1252) {
    std::string out;
    if (size_t n = utf8_to_cp1252(s.data(), s.size(), out)) note_change(env, ChangeKind::CharReplaced, var, n);
    return out;
  }
  ConverterSlot& slot = output_slot(env);
  if (!slot_converts(slot) || (slot.ascii_identity && is_ascii(s.data(), s.size()))) return s;
  TranscodeCall call;
  call.context = context;
  return transcode_to_string(env, slot, s.data(), s.size(), call);
}

// Longest prefix of at most max bytes; UTF-8 sequences are kept whole when the output is UTF-8.
size_t cut_length(EnvRecord& env, const char* s, size_t n, size_t max) {
  if (n <= max) return n;
  return writes_utf8(env) ? utf8_cut(s, n, max) : max;
}

// Bytes of the first `chars` characters of UTF-8 text (the limits of releases 118 and 119
// count characters).
size_t utf8_chars(const char* s, size_t n, size_t chars) {
  size_t i = 0;
  for (size_t c = 0; i < n; ++i) {
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80 && c++ == chars) break;
  }
  return i;
}

// A label cut to its field: `bytes` at most, and from release 118 also `chars` characters.
size_t label_length(EnvRecord& env, const StataWriter& w, const std::string& s, size_t bytes, size_t chars) {
  size_t n = cut_length(env, s.data(), s.size(), bytes);
  if (w.utf8) n = std::min(n, utf8_chars(s.data(), s.size(), chars));
  return n;
}

// ---- choices ----

const char* numeric_format(int ttype) {
  switch (ttype) {
    case T_BYTE:
    case T_INT: return "%8.0g";
    case T_LONG: return "%12.0g";
    case T_FLOAT: return "%9.0g";
    default: return "%12.0g";
  }
}

// A Float is kept as a 4-byte float only when its values are known to fit one: the
// optimization pass chose it, the host asked for it, or it was a float of a Stata input.
bool float_is_narrow(const EnvRecord& env, const VarRecord& v) {
  if (v.state_flags & kVarOptimized) return true;
  if (v.flags & kVarTypeSetByHost) return true;
  return env.transfer.input_code == 14 && v.reader_aux[1] == kStFloat;
}

uint32_t string_width(const VarRecord& v) {
  uint32_t w = v.output_width ? v.output_width : v.print_width;
  return w ? w : 1;
}

void choose_type(EnvRecord& env, StataWriter& w, StataOutVar& o) {
  const VarRecord& v = *o.var;
  const uint32_t rel = w.rel.release;
  char fmt[32];
  switch (v.ttype) {
    case T_STRING: {
      uint32_t width = string_width(v);
      const int32_t opt = option_int(env, kOptStataStrlThreshold);
      const uint32_t threshold = opt > 0 ? static_cast<uint32_t>(opt) : 32;
      if (rel >= 117 && (width >= kStrLWidth || width >= threshold)) {
        o.kind = kStStrL;
        o.width = 8;
      } else {
        if (rel < 117) width = std::min(width, w.max_string);
        o.kind = kStString;
        o.width = width;
      }
      std::snprintf(fmt, sizeof fmt, "%%%ds", static_cast<int>(std::min(width, kStrLWidth)));
      o.format = fmt;
      return;
    }
    case T_BYTE: o.kind = kStByte; break;
    case T_INT: o.kind = kStInt; break;
    case T_LONG: o.kind = kStLong; break;
    case T_FLOAT:
      o.kind = float_is_narrow(env, v) ? kStFloat : kStDouble;
      o.float_check = o.kind == kStFloat && !(v.state_flags & kVarOptimized) &&
                      !(env.transfer.input_code == 14 && v.reader_aux[1] == kStFloat);
      break;
    case T_DATE:
      if (rel == 104) {
        o.kind = kStString;
        o.width = 8;
        o.conv = kConvDateText;
        o.format = "%8s";
        return;
      }
      o.kind = kStLong;
      o.conv = kConvDateDays;
      o.format = rel >= 114 ? "%tdD_m_Y" : "%dD_m_Y";
      o.width = 4;
      return;
    case T_TIME:
      if (rel >= 114) {
        // Milliseconds of a duration outgrow a long after 24 days.
        o.kind = kStDouble;
        o.conv = kConvTimeMillis;
        o.format = "%tcHH:MM:SS";
        o.width = 8;
      } else {
        o.kind = kStFloat;
        o.conv = kConvTimeFraction;
        o.format = "%8.0g";
        o.width = 4;
      }
      return;
    case T_DATETIME:
      o.kind = kStDouble;
      o.width = 8;
      if (rel >= 114) {
        o.conv = kConvStampMillis;
        o.format = "%tc";
      } else {
        o.conv = kConvStampDays;
        o.format = rel >= 105 ? "%dD_m_Y" : "%10.0g";
      }
      return;
    default: o.kind = kStDouble; break;
  }
  o.width = o.kind == kStByte ? 1 : o.kind == kStInt ? 2 : o.kind == kStDouble ? 8 : 4;
  o.format = numeric_format(v.ttype);
}

uint8_t write_op(const StataOutVar& o) {
  switch (o.conv) {
    case kConvDateText: return kWriteDateText;
    case kConvDateDays: return kWriteDays;
    case kConvTimeMillis: return kWriteTimeMillis;
    case kConvStampMillis: return kWriteStampMillis;
    case kConvStampDays: return kWriteStampDays;
    default: break;
  }
  switch (o.kind) {
    case kStString: return kWriteText;
    case kStStrL: return kWriteStrL;
    case kStByte: return kWriteByte;
    case kStInt: return kWriteInt;
    case kStLong: return kWriteLong;
    case kStFloat: return o.float_check ? kWriteFloatRange : kWriteFloat;
    default: return kWriteDouble;
  }
}

// Name of the value-label table of each labelled numeric variable; tables shared through a
// preserved label set are named once.
void choose_label_tables(EnvRecord& env, StataWriter& w) {
  const bool preserve = option_int(env, kOptPreserveLabelSets) != 0 && w.rel.release >= 108;
  const size_t name_max = w.rel.release >= 110 ? 32 : 8;
  std::map<std::string, const VarRecord*> sets;
  for (StataOutVar& o : w.vars) {
    const VarRecord& v = *o.var;
    if (v.is_string() || v.value_labels.empty()) continue;
    std::string name = v.name;
    if (preserve && env.transfer.input_code == 14 && !v.reader_text.empty()) name = v.reader_text;
    name.resize(std::min(name.size(), name_max));
    auto [it, fresh] = sets.emplace(name, &v);
    if (!fresh) {
      const auto& a = it->second->value_labels;
      const auto& b = v.value_labels;
      bool same = a.size() == b.size();
      for (size_t i = 0; same && i < a.size(); ++i)
        same = a[i].value == b[i].value && a[i].missing == b[i].missing && a[i].label == b[i].label;
      if (!same) name = v.name.substr(0, name_max);
    }
    o.value_label_name = name;
  }
}

// ---- header ----

void put_timestamp(StataWriter& w) {
  static const char* const kMonths[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                        "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char text[64];
  int n = std::snprintf(text, sizeof text, "%02d %s %d %02d:%02d", tm.tm_mday, kMonths[tm.tm_mon], tm.tm_year + 1900,
                        tm.tm_hour, tm.tm_min);
  if (n < 0) n = 0;
  if (n > 255) n = 255;
  put8(w, static_cast<uint8_t>(n));
  put(w, text, static_cast<size_t>(n));
}

// A characteristic: variable name, characteristic name, NUL-terminated contents.
void put_characteristic(StataWriter& w, const std::string& var, const char* name, const std::string& text,
                        size_t name_field) {
  put_field(w, var, name_field);
  put_field(w, std::string(name), name_field);
  put(w, text.data(), text.size());
  put8(w, 0);
}

size_t name_field(const StataWriter& w) {
  return w.rel.release >= 117 ? w.layout.name_len : w.rel.release >= 110 ? 33 : 9;
}

void put_notes(StataWriter& w) {
  const uint32_t rel = w.rel.release;
  const size_t name_field = tabulon::name_field(w);
  for (const StataOutVar& o : w.vars) {
    if (o.long_label.empty()) continue;
    const struct {
      const char* name;
      std::string text;
    } notes[2] = {{"note1", o.long_label}, {"note0", "1"}};
    for (const auto& n : notes) {
      const uint32_t len = static_cast<uint32_t>(2 * name_field + n.text.size() + 1);
      if (rel >= 117) {
        put(w, "<ch>");
        put32(w, len);
      } else {
        put8(w, 1);
        if (rel >= 110)
          put32(w, len);
        else
          put16(w, static_cast<uint16_t>(std::min<uint32_t>(len, 32767)));
      }
      put_characteristic(w, o.var->name, n.name, n.text, name_field);
      if (rel >= 117) put(w, "</ch>");
    }
  }
}

void put_descriptors(EnvRecord& env, StataWriter& w) {
  const uint32_t rel = w.rel.release;
  const size_t k = w.vars.size();
  const bool tagged = rel >= 117;
  const size_t name_field = tabulon::name_field(w);
  const size_t format_field = tagged ? w.layout.format_len : rel >= 114 ? 49 : rel >= 105 ? 12 : 7;
  const size_t label_field = tagged ? w.layout.label_len : rel >= 108 ? 81 : 32;

  if (tagged) section(w, 2, "<variable_types>");
  for (const StataOutVar& o : w.vars) {
    const uint32_t code = stata_encode_type(rel, o.kind, o.width);
    if (tagged)
      put16(w, static_cast<uint16_t>(code));
    else
      put8(w, static_cast<uint8_t>(code));
  }
  if (tagged) put(w, "</variable_types>");
  if (tagged) section(w, 3, "<varnames>");
  for (const StataOutVar& o : w.vars) put_field(w, o.var->name, name_field);
  if (tagged) put(w, "</varnames>");
  if (tagged) section(w, 4, "<sortlist>");
  const size_t sort_bytes = (k + 1) * (tagged ? w.layout.sort_bytes : 2);
  std::memset(reserve(w, sort_bytes), 0, sort_bytes);
  if (tagged) put(w, "</sortlist>");
  if (tagged) section(w, 5, "<formats>");
  for (const StataOutVar& o : w.vars) put_field(w, o.format, format_field);
  if (tagged) put(w, "</formats>");
  if (tagged) section(w, 6, "<value_label_names>");
  for (const StataOutVar& o : w.vars) put_field(w, o.value_label_name, name_field);
  if (tagged) put(w, "</value_label_names>");
  if (tagged) section(w, 7, "<variable_labels>");
  for (StataOutVar& o : w.vars) {
    if (o.var->label.empty()) {
      put_field(w, std::string(), label_field);
      continue;
    }
    std::string text = output_text(env, o.var->label, "Error encoding output variable label, ", o.var->name);
    const size_t keep = label_length(env, w, text, label_field - 1, 80);
    if (keep < text.size() && rel >= 105) o.long_label = text;
    put_field(w, text.substr(0, keep), label_field);
  }
  if (tagged) put(w, "</variable_labels>");
  if (tagged) {
    section(w, 8, "<characteristics>");
    put_notes(w);
    put(w, "</characteristics>");
  } else if (rel >= 105) {
    put_notes(w);
    put8(w, 0);
    if (rel >= 110)
      put32(w, 0);
    else
      put16(w, 0);
  }
}

void put_header(EnvRecord& env, StataWriter& w) {
  const uint32_t rel = w.rel.release;
  const uint32_t k32 = static_cast<uint32_t>(w.vars.size());
  const uint16_t k = static_cast<uint16_t>(k32);
  std::string label = env.dict.has_file_label ? output_text(env, env.dict.file_label, "Error encoding output file label, ")
                                              : std::string();
  if (rel >= 117) {
    section(w, 0, "<stata_dta>");
    put(w, "<header><release>");
    put(w, rel == 117 ? "117" : rel == 118 ? "118" : "119");
    put(w, "</release><byteorder>LSF</byteorder><K>");
    if (w.layout.k_bytes == 4)
      put32(w, k32);
    else
      put16(w, k);
    put(w, "</K><N>");
    w.n_pos = position(w);
    std::memset(reserve(w, w.layout.n_bytes), 0, w.layout.n_bytes);
    put(w, "</N><label>");
    const size_t keep = label_length(env, w, label, w.utf8 ? 320 : 80, 80);
    if (w.layout.label_len_bytes == 2)
      put16(w, static_cast<uint16_t>(keep));
    else
      put8(w, static_cast<uint8_t>(keep));
    put(w, label.data(), keep);
    put(w, "</label><timestamp>");
    put_timestamp(w);
    put(w, "</timestamp></header>");
    section(w, 1, "<map>");
    w.map_pos = position(w);
    std::memset(reserve(w, 14 * 8), 0, 14 * 8);
    put(w, "</map>");
    put_descriptors(env, w);
    section(w, 9, "<data>");
  } else {
    put8(w, static_cast<uint8_t>(rel));
    put8(w, 2);
    put8(w, 1);
    put8(w, 0);
    put16(w, k);
    w.n_pos = position(w);
    put32(w, 0);
    const size_t field = rel >= 108 ? 81 : 32;
    put_field(w, label, field, cut_length(env, label.data(), label.size(), field - 1));
    if (rel >= 105) std::memset(reserve(w, 18), 0, 18);
    put_descriptors(env, w);
  }
  flush(env, w, "Error in writing file header");
}

// ---- values ----

[[noreturn]] void not_representable(EnvRecord& env, const VarRecord& v, const char* type) {
  RaiseErrorF(env, "The data in variable, %s, can not be represented in a %s.", v.name.c_str(), type);
}

// The bits of Stata's "." for a double (2^1023); every larger positive double is missing too.
constexpr uint64_t kStataDoubleMissingBits = 0x7FE0000000000000u;

void float_range(EnvRecord& env, const VarRecord& v, double x) {
  if (x == 0 || !std::isfinite(x)) return;
  // frexp's exponent, from the bits (a subnormal counts as far below the range).
  const int e = static_cast<int>((std::bit_cast<uint64_t>(x) >> 52) & 0x7FF) - 1022;
  if (e < -120 || e > 124)
    RaiseErrorF(env,
                " The data in variable, %s, can not be represented in a float.\nPlease enable optimizaiton and have "
                "Tabulon chose appropriate types for your variables.",
                v.name.c_str());
}

void put_missing(const StataWriter& w, const StataOutVar& o, uint8_t* f, uint16_t code) {
  const bool ext = w.th.extended;
  switch (o.kind) {
    case kStByte: *f = static_cast<uint8_t>(w.th.byte_min + stata_written_code(code, ext) - 1); break;
    case kStInt: st_put16(f, static_cast<uint16_t>(w.th.int_min + stata_written_code(code, ext) - 1)); break;
    case kStLong:
      st_put32(f, static_cast<uint32_t>(static_cast<int64_t>(w.th.long_min) + stata_written_code(code, ext) - 1));
      break;
    case kStFloat: st_put32(f, stata_float_missing_bits(code, ext)); break;
    case kStDouble:
      // 2^1023 is missing to every reader of every release (before 108 all from 2^333 is).
      st_put64(f, stata_double_missing_bits(code, ext));
      break;
    default: std::memset(f, 0, o.width); break;
  }
}

// An integer field: rounded, and held to the values that are not missing codes.
template <uint8_t Kind>
inline void put_integer(EnvRecord& env, const StataWriter& w, const StataOutVar& o, uint8_t* f, double x) {
  constexpr double lo = Kind == kStByte ? -127.0 : Kind == kStInt ? -32767.0 : -2147483647.0;
  const double hi = Kind == kStByte ? w.th.byte_min : Kind == kStInt ? w.th.int_min : w.th.long_min;
  const auto store = [f](int32_t i) {
    if constexpr (Kind == kStByte) *f = static_cast<uint8_t>(static_cast<int8_t>(i));
    else if constexpr (Kind == kStInt) st_put16(f, static_cast<uint16_t>(static_cast<int16_t>(i)));
    else st_put32(f, static_cast<uint32_t>(i));
  };
  // Most values are whole and in range already: rounding them is a library call per value.
  if (x >= lo && x < hi) {
    const int32_t i = static_cast<int32_t>(x);
    if (static_cast<double>(i) == x) {
      store(i);
      return;
    }
  }
  const double r = std::nearbyint(x);
  if (!(r >= lo && r < hi))
    not_representable(env, *o.var, Kind == kStByte ? "byte" : Kind == kStInt ? "int" : "long");
  store(static_cast<int32_t>(r));
}

inline void put_float(EnvRecord& env, const StataOutVar& o, uint8_t* f, double x, bool check) {
  if (check) float_range(env, *o.var, x);
  st_put32(f, std::bit_cast<uint32_t>(static_cast<float>(x)));
}

// From 2^1023 up (2^333 before release 108) Stata reads a double as one of its missing
// values, and it has no minus infinity: say so rather than let a number turn into ".a"
// unnoticed.
inline void put_double(const StataWriter& w, StataOutVar& o, uint8_t* f, double x) {
  const uint64_t bits = std::bit_cast<uint64_t>(x);
  const bool positive = bits < 0x8000000000000000u;
  if ((positive && (w.th.old_double ? x >= kDoubleOldMissing : bits >= kStataDoubleMissingBits)) || x == -HUGE_VAL) {
    put_missing(w, o, f, kSystemMissing);
    ++o.too_large;
    return;
  }
  st_put64(f, bits);
}

void put_text(EnvRecord& env, StataWriter& w, StataOutVar& o, uint8_t* f, const char* s, size_t n) {
  // The common case, text that fits as it is: copy it and zero only the rest of the field.
  if (w.utf8 && n <= o.width) {
    std::memcpy(f, s, n);
    std::memset(f + n, 0, o.width - n);
    return;
  }
  std::memset(f, 0, o.width);
  ConverterSlot& slot = output_slot(env);
  if (w.utf8) {
    if (n > o.width) {
      n = utf8_cut(s, n, o.width);
      ++o.cut;
    }
  } else if (w.cp1252) {
    if (!is_ascii(s, n)) {
      w.text.clear();
      o.replaced += static_cast<int64_t>(utf8_to_cp1252(s, n, w.text));
      s = w.text.data();
      n = w.text.size();
    }
    if (n > o.width) {
      n = o.width;
      ++o.cut;
    }
  } else if (n && slot_converts(slot) && !(slot.ascii_identity && is_ascii(s, n))) {
    TranscodeCall call;
    call.context = "Error encoding output string value, ";
    call.variable = static_cast<int32_t>(o.number);
    const int64_t len = transcode_string(env, slot, s, n, nullptr, 0, call);
    s = slot.out_buf.data();
    n = len > 0 ? static_cast<size_t>(len) : 0;
    if (n > o.width) n = o.width;
  } else if (n > o.width) {
    n = utf8_cut(s, n, o.width);
    ++o.cut;
  }
  std::memcpy(f, s, n);
}

void put_strl(EnvRecord& env, StataWriter& w, StataOutVar& o, uint8_t* f, const char* s, size_t n) {
  if (n == 0) {
    std::memset(f, 0, 8);
    return;
  }
  std::string_view text(s, n);
  std::string converted;
  if (w.cp1252) {
    if (!is_ascii(s, n)) {
      o.replaced += static_cast<int64_t>(utf8_to_cp1252(s, n, converted));
      text = converted;
    }
  } else if (!w.utf8) {
    converted = output_text(env, std::string(s, n), "Error encoding output string value, ");
    text = converted;
  }
  // Equal texts share one GSO block: the first (v, o) that stored it.
  auto it = w.strl_seen.find(text);
  if (it == w.strl_seen.end()) {
    it = w.strl_seen.emplace(std::string(text), std::make_pair(o.number, static_cast<uint64_t>(w.observations) + 1))
             .first;
    w.strl_order.push_back(&*it);
  }
  const uint64_t v = it->second.first, obs = it->second.second;
  if (w.rel.release == 117) {
    st_put32(f, static_cast<uint32_t>(v));
    st_put32(f + 4, static_cast<uint32_t>(obs));
  } else {
    // 118: v in 2 bytes and o in 6; 119: v in 3 and o in 5 (little-endian, so one 64-bit store).
    st_put64(f, v | obs << (8 * w.layout.strl_v_bytes));
  }
}

void put_date_text(uint8_t* f, double day) {
  DateParts p;
  char text[32] = {};
  if (day_to_parts(day, &p))
    std::snprintf(text, sizeof text, "%02d/%02d/%02d", (p.month + 1) % 100, p.mday % 100, p.year % 100);
  std::memcpy(f, text, 8);
}

// ---- value labels ----

struct LabelEntry {
  int32_t value;
  std::string text;
};

std::vector<LabelEntry> table_entries(EnvRecord& env, const StataWriter& w, const VarRecord& v, bool old) {
  std::vector<LabelEntry> out;
  for (const ValueLabel& l : v.value_labels) {
    double value = l.value;
    if (l.missing) {
      if (!w.th.extended || l.missing < 2 || l.missing > 27) continue;
      value = static_cast<double>(w.th.long_min) + l.missing - 1;
    } else if (l.has_text) {
      continue;
    }
    if (value != std::trunc(value)) continue;
    if (old ? (value < -32767 || value > 32740) : (value < -2147483647.0 || value > 2147483647.0)) continue;
    std::string text = output_text(env, l.label, "Error encoding output value label, ", v.name);
    const size_t max = old ? 8 : w.label_text_max;
    text.resize(cut_length(env, text.data(), text.size(), max));
    out.push_back({static_cast<int32_t>(value), std::move(text)});
  }
  std::stable_sort(out.begin(), out.end(), [](const LabelEntry& a, const LabelEntry& b) { return a.value < b.value; });
  return out;
}

void put_value_labels(EnvRecord& env, StataWriter& w) {
  const uint32_t rel = w.rel.release;
  const bool tagged = rel >= 117;
  if (tagged) section(w, 11, "<value_labels>");
  std::map<std::string, bool> written;
  for (const StataOutVar& o : w.vars) {
    if (o.value_label_name.empty() || !written.emplace(o.value_label_name, true).second) continue;
    if (rel < 108) {
      std::vector<LabelEntry> e = table_entries(env, w, *o.var, true);
      if (e.size() > 500) e.resize(500);
      put16(w, static_cast<uint16_t>(e.size()));
      put_field(w, o.value_label_name, 10, 8);
      for (const LabelEntry& x : e) put16(w, static_cast<uint16_t>(static_cast<int16_t>(x.value)));
      for (const LabelEntry& x : e) put_field(w, x.text, 8, 8);
    } else {
      std::vector<LabelEntry> e = table_entries(env, w, *o.var, false);
      if (e.empty()) continue;
      uint32_t text_len = 0;
      for (const LabelEntry& x : e) text_len += static_cast<uint32_t>(x.text.size() + 1);
      const uint32_t n = static_cast<uint32_t>(e.size());
      if (tagged) put(w, "<lbl>");
      put32(w, 8 + 8 * n + text_len);
      put_field(w, o.value_label_name, name_field(w));
      std::memset(reserve(w, 3), 0, 3);
      put32(w, n);
      put32(w, text_len);
      uint32_t at = 0;
      for (const LabelEntry& x : e) {
        put32(w, at);
        at += static_cast<uint32_t>(x.text.size() + 1);
      }
      for (const LabelEntry& x : e) put32(w, static_cast<uint32_t>(x.value));
      for (const LabelEntry& x : e) {
        put(w, x.text.data(), x.text.size());
        put8(w, 0);
      }
      if (tagged) put(w, "</lbl>");
    }
    if (w.buf.size() >= kFlushAt) flush(env, w, "Error writing data");
  }
  if (tagged) put(w, "</value_labels>");
}

void patch(EnvRecord& env, StataWriter& w, int64_t at, const uint8_t* bytes, size_t n) {
  if (StreamSeek64(w.out, at, SEEK_SET) != 0)
    RaiseError(env, "Cannot seek to beginning of file to write number of observations", nullptr);
  if (StreamWrite(w.out, bytes, static_cast<int32_t>(n)) != static_cast<int32_t>(n) || (w.out->error & STREAM_ERR_WRITE))
    RaiseError(env, "Error writing number of observations", nullptr);
}

}  // namespace

StataRelease stata_choose_release(int32_t setting, int32_t ver4, int64_t variables) {
  StataRelease r;
  // The releases of Stata 14 and later: UTF-8, long strings kept as strLs; 119 only when
  // 118 cannot hold the variables.
  const auto modern = [&](uint32_t release) {
    r.release = release == 118 && variables > 32767 ? 119 : release;
    r.large = true;
    r.version9 = true;
    return r;
  };
  if (setting == 0 && ver4 != -1) {
    switch (ver4) {
      case 2: r.release = 111; r.large = true; break;
      case 1: r.release = 108; break;
      case 0: r.release = 110; break;
      default: r.release = 105; break;
    }
    return r;
  }
  static const char kReleases[] = "rhhhiilnqqrrsu";
  uint32_t version = static_cast<uint32_t>(setting) & 0xFFu;
  r.large = (setting & 0x100) != 0;
  // No version named: release 118, which keeps every character and long strings (114, the
  // older default, keeps only Windows-1252 and 244 bytes).
  if (version == 0 || (version >= 14 && version < 102) || version == 118) return modern(118);
  if (version == 119) return modern(119);
  if (version >= 102) {
    // A release number itself.
    // A release number itself; one we do not write becomes the nearest older one.
    static const uint8_t kVersionOf[] = {1, 1, 1, 4, 4, 4, 6, 6, 7, 7, 7, 8, 10, 12, 12, 13};
    if (version > 117) return modern(118);
    if (version == 111) r.large = true;
    version = kVersionOf[version - 102];
  }
  r.release = static_cast<uint32_t>(kReleases[version]);
  r.version9 = version >= 9;
  if (version < 7) r.large = false;
  if (r.release == 110 && r.large) r.release = 111;
  return r;
}

int32_t stata_open_output(EnvRecord& env) {
  StataWriter& w = make_writer_state<StataWriter>(env);
  w.out = env.transfer.output_stream.get();
  if (!w.out) RaiseError(env, "Output file is not open", nullptr);
  int32_t selected = 0;
  for (auto& vp : env.dict.vars) selected += vp->selected ? 1 : 0;
  w.rel = stata_choose_release(option_int(env, kOptOutputVersion), env.options.writer.stata_ver4, selected);
  if (w.rel.release >= 117) w.layout = stata_tagged_layout(w.rel.release);
  // Release 118 and later store UTF-8; the older ones declare no encoding and their readers
  // take Windows-1252, unless the user named another encoding.
  w.utf8 = w.rel.release >= 118;
  w.cp1252 = !w.utf8 && stata_output_encoding_is_default(env);
  w.th = stata_thresholds(w.rel.release);
  w.max_string = (w.rel.large || w.rel.version9) ? 244 : 80;
  w.label_text_max = w.rel.version9 ? 32000 : w.rel.large ? 80 : 244;

  if (!w.rel.large && selected > 2047) {
    SetMessageF(env, "%s", "Standard (Intercooled) Stata has limit of 2047 variables, you should select Stata/SE.");
    return -1;
  }
  // 119 numbers a strL's variable in 3 bytes.
  const int32_t limit = w.rel.release >= 119 ? 16777215 : w.rel.release >= 117 ? 32767 : 65535;
  if (selected > limit) {
    SetMessageF(env, "Too many variables for output file type\n -- The limit is %d variables.", limit);
    return -1;
  }
  if (legalize_dictionary_names(env, w.rel.release >= 110 ? kRulesStata : kRulesStataOld, 14, true) < 0)
    RaiseError(env, "Error in writing file header", nullptr);

  uint32_t offset = 0, number = 0;
  for (auto& vp : env.dict.vars) {
    if (!vp->selected) continue;
    StataOutVar o;
    o.var = vp.get();
    o.number = ++number;
    choose_type(env, w, o);
    o.op = write_op(o);
    o.offset = offset;
    offset += o.width;
    w.vars.push_back(std::move(o));
  }
  w.record_length = offset;
  choose_label_tables(env, w);
  w.buf.reserve(kFlushAt + offset + 64);
  put_header(env, w);
  return 0;
}

int32_t stata_write_case(EnvRecord& env) {
  StataWriter* wp = writer_state<StataWriter>(env);
  if (!wp) return -1;
  StataWriter& w = *wp;
  // N is a 32-bit count before release 118.
  if (w.rel.release < 118 && w.observations >= UINT32_MAX)
    RaiseErrorF(env, "Stata release %u holds at most %u observations; write release 118 for more.", w.rel.release,
                UINT32_MAX);
  const uint8_t* rec = env.dict.record();
  uint8_t* out = reserve(w, w.record_length);
  for (StataOutVar& o : w.vars) {
    const VarRecord& v = *o.var;
    uint8_t* f = out + o.offset;
    const uint8_t* slot = rec + v.offset;
    if (o.op <= kWriteDateText) {
      if (v.missing || (v.ttype != T_STRING && o.op != kWriteDateText)) {
        std::memset(f, 0, o.width);
        continue;
      }
      if (o.op == kWriteDateText) {
        double day;
        std::memcpy(&day, slot, 8);
        put_date_text(f, day);
        continue;
      }
      const char* s = reinterpret_cast<const char*>(slot);
      const size_t n = std::strlen(s);
      if (o.op == kWriteStrL) {
        put_strl(env, w, o, f, s, n);
      } else if (w.utf8 && n <= o.width) {
        // The common case, text that fits as it is: copy it and zero only the rest of the field.
        std::memcpy(f, s, n);
        std::memset(f + n, 0, o.width - n);
      } else {
        put_text(env, w, o, f, s, n);
      }
      continue;
    }
    double x;
    std::memcpy(&x, slot, 8);
    if (v.missing || v.ttype == T_STRING || x != x) {
      put_missing(w, o, f, v.ttype == T_STRING ? kSystemMissing : (v.missing ? v.missing : kSystemMissing));
      continue;
    }
    switch (o.op) {
      case kWriteByte: put_integer<kStByte>(env, w, o, f, x); break;
      case kWriteInt: put_integer<kStInt>(env, w, o, f, x); break;
      case kWriteLong: put_integer<kStLong>(env, w, o, f, x); break;
      case kWriteDays: st_put32(f, static_cast<uint32_t>(stata_day_to_days(x))); break;
      case kWriteFloat: put_float(env, o, f, x, false); break;
      case kWriteFloatRange: put_float(env, o, f, x, true); break;
      case kWriteTimeMillis: put_double(w, o, f, std::nearbyint(time_to_seconds(x) * 1000.0)); break;
      case kWriteStampMillis: put_double(w, o, f, stata_day_to_millis(x)); break;
      case kWriteStampDays: put_double(w, o, f, stata_day_to_days_exact(x)); break;
      default: put_double(w, o, f, x); break;
    }
  }
  ++w.observations;
  if (w.buf.size() >= kFlushAt) flush(env, w, "Error writing data");
  return 0;
}

int32_t stata_close_output(EnvRecord& env) {
  StataWriter* wp = writer_state<StataWriter>(env);
  if (!wp || !wp->out) return 0;
  StataWriter& w = *wp;
  for (const StataOutVar& o : w.vars) {
    if (o.replaced) note_change(env, ChangeKind::CharReplaced, o.var->name, o.replaced);
    if (o.cut) note_change(env, ChangeKind::StringCut, o.var->name, o.cut);
    if (o.too_large) note_change(env, ChangeKind::ValueOutOfRange, o.var->name, o.too_large);
  }
  if (w.rel.release >= 117) {
    put(w, "</data>");
    section(w, 10, "<strls>");
    for (const auto* e : w.strl_order) {
      put(w, "GSO");
      put32(w, e->second.first);
      if (w.layout.gso_o_bytes == 8)
        put64(w, e->second.second);
      else
        put32(w, static_cast<uint32_t>(e->second.second));
      put8(w, 130);
      put32(w, static_cast<uint32_t>(e->first.size() + 1));
      put(w, e->first.data(), e->first.size());
      put8(w, 0);
      if (w.buf.size() >= kFlushAt) flush(env, w, "Error writing data");
    }
    put(w, "</strls>");
    put_value_labels(env, w);
    section(w, 12, "</stata_dta>");
    w.map[13] = static_cast<uint64_t>(position(w));
    flush(env, w, "Error writing data");
    uint8_t n[8];
    if (w.layout.n_bytes == 8)
      st_put64(n, w.observations);
    else
      st_put32(n, static_cast<uint32_t>(w.observations));
    patch(env, w, w.n_pos, n, w.layout.n_bytes);
    uint8_t map[14 * 8];
    for (int i = 0; i < 14; ++i) st_put64(map + 8 * i, w.map[i]);
    patch(env, w, w.map_pos, map, sizeof map);
  } else {
    put_value_labels(env, w);
    flush(env, w, "Error writing data");
    uint8_t n[4];
    st_put32(n, static_cast<uint32_t>(w.observations));
    patch(env, w, w.n_pos, n, 4);
  }
  StreamSeek64(w.out, 0, SEEK_END);
  return 0;
}

}  // namespace tabulon
