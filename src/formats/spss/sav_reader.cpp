// Header and dictionary records of an SPSS system file.
#include "formats/spss/sav_reader.h"
#include "formats/spss/spss_formats.h"
#include "formats/spss/spss_missing.h"

#include <strings.h>

#include <array>
#include <bit>
#include <cstdlib>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <unordered_map>

#include "api/env_record.h"
#include "api/messages.h"
#include "api/option_slots.h"
#include "api/raise.h"
#include "dict/dictionary.h"
#include "encoding/case_map.h"
#include "encoding/transcode.h"
#include "engine/engine_util.h"
#include "engine/format_error_message.h"
#include "engine/format_hooks.h"
#include "formats/spss/sav_swap.h"
#include "io/stream.h"

namespace tabulon {

namespace {

// Bounds of a missing-value range that stand for LOWEST and HIGHEST.
constexpr double kFloatMax = 3.4028234663852886e38;
// Extension data of a stream whose length is unknown may not exceed this.
constexpr int64_t kMaxUnsizedRecord = int64_t{16} << 20;
// Longest text of a long value label.
constexpr size_t kLongValueLabelMax = 255;
// The very-long-string width in its record has five digits.
constexpr int32_t kMaxStringWidth = 32767;

struct RawLabelSet {
  std::vector<std::pair<std::array<uint8_t, 8>, std::string>> entries;  // value bytes, label bytes
  std::vector<int32_t> units;                                           // 1-based unit indexes
};

struct RawDict {
  std::vector<RawLabelSet> label_sets;
  std::string long_names;
  bool has_long_names = false;
  std::string very_long;
  std::string long_labels;
  bool has_long_labels = false;
  std::string encoding;
  std::string file_label;
};

// ---- low-level reads ----

// The next `bytes` must lie in the file; of a stream without a known length, no more than a
// bounded amount is taken into memory.
void need(EnvRecord& env, SavReader& r, int64_t bytes, bool into_memory = true) {
  if (bytes < 0) sav_dict_error(env, kSavErrCount, "a negative length in a dictionary record");
  const int64_t length = r.in.length();
  if (length >= 0) {
    if (r.in.tell() + bytes > length) sav_dict_error(env, kSavErrTruncated, "the file ends inside a dictionary record");
  } else if (into_memory && bytes > kMaxUnsizedRecord) {
    sav_dict_error(env, kSavErrCount, "a dictionary record longer than the input can hold");
  }
}

void read_bytes(EnvRecord& env, SavReader& r, void* out, size_t n) {
  if (!r.in.read(out, n)) sav_dict_error(env, kSavErrTruncated, "the file ends inside a dictionary record");
}

int32_t rd_i32(EnvRecord& env, SavReader& r) {
  uint8_t b[4];
  read_bytes(env, r, b, 4);
  return sav_i32(b, r.swap);
}

double rd_f64(EnvRecord& env, SavReader& r) {
  uint8_t b[8];
  read_bytes(env, r, b, 8);
  return sav_f64(b, r.swap);
}

std::string read_text(EnvRecord& env, SavReader& r, int64_t n) {
  need(env, r, n);
  std::string s(static_cast<size_t>(n), '\0');
  if (n) read_bytes(env, r, s.data(), s.size());
  return s;
}

void skip(EnvRecord& env, SavReader& r, int64_t n) {
  need(env, r, n, false);
  if (!r.in.skip(n)) sav_dict_error(env, kSavErrTruncated, "the file ends inside a dictionary record");
}

size_t trimmed_length(const char* p, size_t n) {
  while (n > 0 && (p[n - 1] == ' ' || p[n - 1] == '\0')) --n;
  return n;
}

std::string trimmed(const void* p, size_t n) {
  const char* s = static_cast<const char*>(p);
  return std::string(s, trimmed_length(s, n));
}

bool same_name(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// ---- text through the input converter ----

std::string input_text(EnvRecord& env, const std::string& raw, const char* context, int32_t variable = 0) {
  if (raw.empty()) return raw;
  ConverterSlot& slot = env.encoding.input[0];
  if ((slot.flags & (kSlotNoConversion | kSlotPassThrough)) || !slot.has_descriptor()) return raw;
  TranscodeCall call;
  call.context = context;
  call.variable = variable;
  return transcode_to_string(env, slot, raw.data(), raw.size(), call);
}

// ---- header ----

void read_header(EnvRecord& env, SavReader& r, RawDict& raw) {
  uint8_t h[176];
  if (!r.in.read(h, 4)) sav_dict_error(env, kSavErrHeader, "the file is shorter than an SPSS header");
  if (std::memcmp(h, "$FL", 3) != 0) {
    if (h[0] == 28) sav_dict_error(env, kSavErrEncrypted, nullptr);
    uint8_t pc[6];
    if (r.in.seek(258) && r.in.read(pc, 6) && std::memcmp(pc, "PCSPSS", 6) == 0)
      sav_dict_error(env, kSavErrObsoletePc, nullptr);
    sav_dict_error(env, kSavErrHeader, "the file does not start with an SPSS signature");
  }
  if (h[3] != '2' && h[3] != '3') sav_dict_error(env, kSavErrVersion, nullptr);
  if (!r.in.read(h + 4, sizeof h - 4)) sav_dict_error(env, kSavErrHeader, "the file is shorter than an SPSS header");
  r.zlib = h[3] == '3';
  if (r.zlib) emit_message(env, MsgKind::Info, "The input SPSS needs to be decompressed before it can be read.");

  int32_t layout;
  std::memcpy(&layout, h + 64, 4);
  r.swap = !(layout == 2 || layout == 3);
  r.case_size = sav_i32(h + 68, r.swap);
  r.compression = sav_i32(h + 72, r.swap);
  const int32_t n = sav_i32(h + 80, r.swap);
  if (r.compression < 0 || r.compression > 2 || (r.zlib && r.compression != 2) || (!r.zlib && r.compression == 2))
    sav_dict_error(env, kSavErrHeader, "unknown compression code in the header");
  if (n < 0) {
    r.n_known = false;
    r.n_cases = 0;
    emit_message(env, MsgKind::Warning,
                 "The input file does not contain the number of the records available for transfer.");
  } else {
    r.n_cases = n;
  }
  raw.file_label = trimmed(h + 109, 64);

  DatasetFacts& facts = env.transfer.facts;
  facts.release = r.zlib ? "$FL3" : "$FL2";
  facts.compression = r.compression == 0 ? "none" : r.compression == 1 ? "bytecode" : "zlib";
  facts.byte_order = byte_order_name(r.swap != (std::endian::native == std::endian::big));
  facts.software = fact_text(h + 4, 60);
  if (facts.software.rfind("@(#)", 0) == 0) facts.software = fact_text(facts.software.data() + 4, facts.software.size() - 4);
  // "dd mmm yy" and "hh:mm:ss".
  const std::string date = fact_text(h + 92, 9), time = fact_text(h + 101, 8);
  if (date.size() == 9 && time.size() == 8)
    facts.created = fact_time(fact_full_year(std::atoi(date.c_str() + 7)), fact_month(date.c_str() + 3),
                              std::atoi(date.c_str()), std::atoi(time.c_str()), std::atoi(time.c_str() + 3),
                              std::atoi(time.c_str() + 6));
}

// ---- type 2: variable ----

void read_variable(EnvRecord& env, SavReader& r) {
  const int32_t type = rd_i32(env, r);
  const int32_t has_label = rd_i32(env, r);
  const int32_t n_missing = rd_i32(env, r);
  const uint32_t print = static_cast<uint32_t>(rd_i32(env, r));
  rd_i32(env, r);  // write format
  char name[8];
  read_bytes(env, r, name, 8);

  if (type < -1 || type > 255) sav_dict_error(env, kSavErrVariables, "a variable record of unknown type");
  if (type == -1) {
    if (r.vars.empty()) sav_dict_error(env, kSavErrVariables, "a continuation record without a string variable");
    SavVar& prev = r.vars.back();
    if (prev.width == 0 || prev.units >= static_cast<uint32_t>((prev.width + 7) / 8))
      sav_dict_error(env, kSavErrVariables, "a continuation record beyond its string variable");
    ++prev.units;
    ++r.units;
  }
  std::string label;
  if (has_label == 1) {
    const int32_t len = rd_i32(env, r);
    if (len < 0) sav_dict_error(env, kSavErrCount, "a variable label of negative length");
    label = read_text(env, r, len);
    skip(env, r, ((static_cast<int64_t>(len) + 3) & ~int64_t{3}) - len);
  } else if (has_label != 0) {
    sav_dict_error(env, kSavErrVariables, "a variable record with a bad label flag");
  }
  if (n_missing > 3 || n_missing < -3 || n_missing == -1)
    sav_dict_error(env, kSavErrVariables, "a variable record with a bad missing-value count");
  const int count = n_missing < 0 ? -n_missing : n_missing;
  uint8_t values[3][8];
  for (int k = 0; k < count; ++k) read_bytes(env, r, values[k], 8);
  if (type == -1) return;

  SavVar v;
  v.width = type;
  v.first_unit = r.units;
  v.units = 1;
  v.print_format = print;
  v.short_name = trimmed(name, 8);
  v.label = std::move(label);
  v.has_label = has_label == 1;
  if (type == 0) {
    double x[3];
    for (int k = 0; k < count; ++k) x[k] = sav_f64(values[k], r.swap);
    if (n_missing > 0) {
      for (int k = 0; k < count; ++k) v.miss[k] = {kSavMissValue, x[k], {}};
      v.miss_count = static_cast<uint8_t>(count);
    } else if (n_missing < 0) {
      const double low = x[0], high = x[1];
      int m = 0;
      if (low < -kFloatMax) {
        v.miss[m++] = {kSavMissAtMost, high, {}};
      } else if (high > kFloatMax) {
        v.miss[m++] = {kSavMissAtLeast, low, {}};
      } else {
        v.miss[m++] = {kSavMissRangeEnd, low, {}};
        v.miss[m++] = {kSavMissRangeEnd, high, {}};
      }
      if (n_missing == -3) v.miss[m++] = {kSavMissValue, x[2], {}};
      v.miss_count = static_cast<uint8_t>(m);
    }
  } else if (n_missing > 0) {
    // Strings have discrete values only; a range is not meaningful for them.
    for (int k = 0; k < count; ++k) v.miss[k] = {kSavMissValue, 0, trimmed(values[k], 8)};
    v.miss_count = static_cast<uint8_t>(count);
  }
  r.vars.push_back(std::move(v));
  ++r.units;
}

// ---- types 3 and 4: value labels ----

void read_value_labels(EnvRecord& env, SavReader& r, RawDict& raw) {
  const int32_t count = rd_i32(env, r);
  // Each label takes at least 16 bytes.
  if (count < 0) sav_dict_error(env, kSavErrCount, "a negative value-label count");
  need(env, r, static_cast<int64_t>(count) * 16);
  RawLabelSet set;
  set.entries.reserve(static_cast<size_t>(std::min(count, 4096)));
  for (int32_t i = 0; i < count; ++i) {
    std::array<uint8_t, 8> value;
    read_bytes(env, r, value.data(), 8);
    uint8_t len;
    read_bytes(env, r, &len, 1);
    std::string text = read_text(env, r, len);
    const int64_t used = 1 + static_cast<int64_t>(len);
    skip(env, r, ((used + 7) & ~int64_t{7}) - used);
    set.entries.emplace_back(value, std::move(text));
  }
  if (rd_i32(env, r) != 4) sav_dict_error(env, kSavErrVariables, "value labels without their variable record");
  const int32_t n_vars = rd_i32(env, r);
  if (n_vars < 0 || static_cast<uint32_t>(n_vars) > r.units)
    sav_dict_error(env, kSavErrCount, "a value-label variable count out of range");
  need(env, r, static_cast<int64_t>(n_vars) * 4);
  for (int32_t i = 0; i < n_vars; ++i) {
    const int32_t unit = rd_i32(env, r);
    if (unit < 1 || static_cast<uint32_t>(unit) > r.units)
      sav_dict_error(env, kSavErrVariables, "a value label refers to a variable that does not exist");
    set.units.push_back(unit);
  }
  raw.label_sets.push_back(std::move(set));
}

// ---- type 7: extension records ----

void read_extension(EnvRecord& env, SavReader& r, RawDict& raw) {
  const int32_t subtype = rd_i32(env, r);
  const int32_t size = rd_i32(env, r);
  const int32_t count = rd_i32(env, r);
  if (size < 0 || count < 0) sav_dict_error(env, kSavErrCount, "an extension record of negative size");
  const int64_t bytes = static_cast<int64_t>(size) * count;
  switch (subtype) {
    case 3: {
      if (size != 4 || count != 8) sav_dict_error(env, kSavErrMachineInt, "a machine-integer record of another shape");
      int32_t v[8];
      for (int32_t& x : v) x = rd_i32(env, r);
      r.release[0] = v[0];
      r.release[1] = v[1];
      r.release[2] = v[2];
      r.char_code = v[7];
      emit_messagef(env, MsgKind::Info, "Reading SPSS file ver. %d.%d.%d", v[0], v[1], v[2]);
      return;
    }
    case 11:
      // Display parameters: measure, width and alignment of each variable (width missing in
      // files of early releases).
      if (size == 4 && !r.vars.empty() && (static_cast<size_t>(count) == 3 * r.vars.size() ||
                                          static_cast<size_t>(count) == 2 * r.vars.size())) {
        const size_t per = static_cast<size_t>(count) / r.vars.size();
        for (SavVar& v : r.vars) {
          const int32_t measure = rd_i32(env, r);
          for (size_t k = 1; k < per; ++k) rd_i32(env, r);
          v.measure = measure >= 1 && measure <= 3 ? static_cast<uint8_t>(measure) : 0;
        }
        return;
      }
      break;
    case 4:
      if (size == 8 && count == 3) {
        r.sysmis = rd_f64(env, r);
        r.highest = rd_f64(env, r);
        r.lowest = rd_f64(env, r);
        return;
      }
      break;
    case 13:
      if (bytes == 0) sav_dict_error(env, kSavErrLongNamesEmpty, nullptr);
      if (r.in.length() >= 0 && r.in.tell() + bytes > r.in.length())
        sav_dict_error(env, kSavErrLongNamesShort, "the long-name record runs past the end of the file");
      raw.long_names += read_text(env, r, bytes);
      raw.has_long_names = true;
      return;
    case 14:
      if (r.in.length() >= 0 && r.in.tell() + bytes > r.in.length())
        sav_dict_error(env, kSavErrLongStringsShort, "the very-long-string record runs past the end of the file");
      raw.very_long += read_text(env, r, bytes);
      return;
    case 20:
      if (bytes == 0) sav_dict_error(env, kSavErrEncodingEmpty, nullptr);
      raw.encoding = trimmed(read_text(env, r, bytes).data(), static_cast<size_t>(bytes));
      if (raw.encoding.empty()) sav_dict_error(env, kSavErrEncodingEmpty, nullptr);
      return;
    case 21:
      if (bytes == 0) sav_dict_error(env, kSavErrLongLabelsEmpty, nullptr);
      if (r.in.length() >= 0 && r.in.tell() + bytes > r.in.length())
        sav_dict_error(env, kSavErrLongLabelsShort, "the long-value-label record runs past the end of the file");
      raw.long_labels += read_text(env, r, bytes);
      raw.has_long_labels = true;
      return;
    default:
      break;
  }
  skip(env, r, bytes);
}

void read_records(EnvRecord& env, SavReader& r, RawDict& raw) {
  for (;;) {
    const int32_t type = rd_i32(env, r);
    switch (type) {
      case 2:
        read_variable(env, r);
        break;
      case 3:
        read_value_labels(env, r, raw);
        break;
      case 6: {
        const int32_t lines = rd_i32(env, r);
        if (lines < 0) sav_dict_error(env, kSavErrCount, "a negative document line count");
        skip(env, r, static_cast<int64_t>(lines) * 80);
        break;
      }
      case 7:
        read_extension(env, r, raw);
        break;
      case 999:
        rd_i32(env, r);
        return;
      default:
        sav_dict_error(env, kSavErrRecordType, "unknown dictionary record type");
    }
  }
}

// ---- after the records ----

void check_strings(EnvRecord& env, SavReader& r) {
  if (r.vars.empty()) sav_dict_error(env, kSavErrVariables, "the dictionary has no variables");
  for (const SavVar& v : r.vars)
    if (v.width > 0 && v.units != static_cast<uint32_t>((v.width + 7) / 8))
      sav_dict_error(env, kSavErrVariables, "a string variable without all its continuation records");
}

// The file's encoding: the character code of release 16 and later, else the encoding record.
void open_file_encoding(EnvRecord& env, SavReader& r, const RawDict& raw) {
  std::string name;
  if (r.release[0] >= 16 && r.char_code != 0) {
    const char* page = sav_code_page_name(r.char_code);
    if (std::strcmp(page, "CHAR") != 0) name = page;
  }
  if (name.empty() && !raw.encoding.empty()) {
    name = raw.encoding;
    if (strcasecmp(name.c_str(), "windows-31j") == 0) name = "shift-jis";
  }
  env.encoding.file_encoding = name;
  if (!raw.encoding.empty()) {
    env.transfer.facts.encoding = raw.encoding;
  } else if (r.char_code != 0) {
    const char* page = sav_code_page_name(r.char_code);
    env.transfer.facts.encoding = std::strcmp(page, "CHAR") != 0 ? page : "code page " + std::to_string(r.char_code);
  }
  if (r.release[0] > 0)
    env.transfer.facts.release += " (release " + std::to_string(r.release[0]) + "." + std::to_string(r.release[1]) +
                                  "." + std::to_string(r.release[2]) + ")";
  if (open_input_converter(env, kSlotFromModule, 22) != 0) {
    const std::string text = env.message_buffer;
    RaiseError(env, "%s", text.c_str());
  }
}

// Very long strings: "NAME=00600" entries separated by NUL and tab.
void join_very_long_strings(EnvRecord& env, SavReader& r, const std::string& text) {
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\t', at);
    if (end == std::string::npos) end = text.size();
    std::string entry = text.substr(at, end - at);
    at = end + 1;
    entry.resize(trimmed_length(entry.data(), entry.size()));
    const size_t eq = entry.find('=');
    if (eq == std::string::npos) continue;
    const std::string name = entry.substr(0, eq);
    int32_t width = 0;
    bool digits = eq + 1 < entry.size();
    for (size_t k = eq + 1; k < entry.size() && digits; ++k) {
      if (entry[k] < '0' || entry[k] > '9' || width > kMaxStringWidth) digits = false;
      else width = width * 10 + (entry[k] - '0');
    }
    if (!digits || width > kMaxStringWidth) sav_dict_error(env, kSavErrCount, "a very long string of bad width");
    size_t i = 0;
    while (i < r.vars.size() && !same_name(r.vars[i].short_name, name)) ++i;
    if (i == r.vars.size() || width <= 255) continue;
    SavVar& head = r.vars[i];
    if (head.width != 255 || head.units != 32)
      sav_dict_error(env, kSavErrSegmentWidth, "a very long string starts with a segment that is not 255 bytes wide");
    head.segment_units.assign(1, head.units);
    // One segment per 252 bytes of width: all but the last 255 bytes wide (32 units), each
    // carrying 255 bytes of the value; the last takes the rest, give or take a few bytes.
    const int32_t segments = (width + 251) / 252;
    const int32_t last = width - 252 * (segments - 1);
    for (int32_t k = 1; k < segments; ++k) {
      const size_t next = i + 1;
      if (next >= r.vars.size() || r.vars[next].width == 0)
        sav_dict_error(env, kSavErrLastSegment, "a very long string lacks its last segment");
      const SavVar& seg = r.vars[next];
      if (k + 1 < segments && (seg.units != 32 || seg.width != 255))
        sav_dict_error(env, kSavErrSegmentWidth, "a very long string segment is not 255 bytes wide");
      if (k + 1 == segments && (seg.width < last - 3 || seg.width > last + 9))
        sav_dict_error(env, kSavErrLastSegment, "the last segment of a very long string does not fit its width");
      head.segment_units.push_back(seg.units);
      head.units += seg.units;
      r.vars.erase(r.vars.begin() + static_cast<std::ptrdiff_t>(next));
    }
    head.width = width;
  }
}

// Long names: "SHORT=Long name" pairs separated by tabs.
std::unordered_map<std::string, std::string> parse_long_names(const std::string& text) {
  std::unordered_map<std::string, std::string> names;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\t', at);
    if (end == std::string::npos) end = text.size();
    std::string entry = text.substr(at, end - at);
    at = end + 1;
    entry.resize(trimmed_length(entry.data(), entry.size()));
    const size_t eq = entry.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 >= entry.size()) continue;
    std::string key = entry.substr(0, eq);
    for (char& c : key) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    names.emplace(std::move(key), entry.substr(eq + 1));
  }
  return names;
}

std::string lower_name(const std::string& raw) {
  std::string s = raw;
  const bool utf8 = [&] {
    for (size_t k = 0; k < s.size();) {
      uint32_t cp;
      const int n = utf8_decode(reinterpret_cast<const unsigned char*>(s.data() + k), s.size() - k, &cp);
      if (n == 0) return false;
      k += static_cast<size_t>(n);
    }
    return true;
  }();
  if (utf8) {
    to_lower_utf8(s.data());
  } else {
    for (char& c : s)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return s;
}

void build_variables(EnvRecord& env, SavReader& r, const RawDict& raw) {
  const auto long_names = parse_long_names(raw.long_names);
  DictState& d = env.dict;
  for (size_t i = 0; i < r.vars.size(); ++i) {
    SavVar& sv = r.vars[i];
    std::string key = sv.short_name;
    for (char& c : key) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    auto it = long_names.find(key);
    const std::string name = it != long_names.end() ? it->second : lower_name(sv.short_name);
    VarRecord* v;
    if (sv.width > 0) {
      v = &dict_append_var(d, name, T_STRING, static_cast<uint32_t>(sv.width));
      v->print_width = v->output_width = v->input_width = static_cast<uint32_t>(sv.width);
    } else {
      const int date_type = sav_date_ttype(sv.print_format);
      v = &dict_append_var(d, name, date_type ? date_type : T_FLOAT, 8);
      v->print_width = v->output_width = (sv.print_format >> 8) & 0xFF;
      v->decimals = static_cast<uint8_t>(sv.print_format & 0xFF);
      v->native_format = spss_format_text({static_cast<int>((sv.print_format >> 16) & 0xFF),
                                           static_cast<int>((sv.print_format >> 8) & 0xFF),
                                           static_cast<int>(sv.print_format & 0xFF)});
    }
    v->selected = 1;
    v->measure = sv.measure;
    v->reader_aux[2] = static_cast<int64_t>(i) + 1;
    for (int k = 0; k < sv.miss_count; ++k)
      if (!sv.miss[k].text.empty())
        sv.miss[k].text = input_text(env, sv.miss[k].text, "Error encoding input string value, ", static_cast<int32_t>(i + 1));
    if (sv.has_label) {
      std::string label = input_text(env, sv.label, "Error encoding input variable label, ", static_cast<int32_t>(i + 1));
      if (!label.empty()) var_set_label(*v, label);
    }
  }
}

std::string string_value_text(EnvRecord& env, const char* p, size_t n) {
  size_t len = trimmed_length(p, n);
  if (len == 0 && n > 0) len = 1;  // a value of blanks keeps one blank
  std::string text = input_text(env, std::string(p, len), "Error encoding input value value, ");
  return text;
}

void attach_value_labels(EnvRecord& env, SavReader& r, RawDict& raw) {
  // Unit index to variable.
  std::vector<int32_t> owner(r.units, -1);
  for (size_t i = 0; i < r.vars.size(); ++i) owner[r.vars[i].first_unit] = static_cast<int32_t>(i);
  const bool preserve = option_int(env, kOptPreserveLabelSets) != 0;
  int32_t shared_sets = 0;
  for (RawLabelSet& set : raw.label_sets) {
    std::vector<int32_t> targets;
    for (int32_t unit : set.units) {
      const int32_t i = owner[static_cast<size_t>(unit - 1)];
      if (i < 0) sav_dict_error(env, kSavErrVariables, "a value label refers to a continuation record");
      targets.push_back(i);
    }
    std::string set_name;
    if (preserve && targets.size() > 1) set_name = "LAB" + std::to_string(++shared_sets);
    int64_t chained = 0;
    for (int32_t i : targets) {
      VarRecord* v = dict_var(env.dict, i);
      const bool is_string = r.vars[static_cast<size_t>(i)].width > 0;
      for (auto& [value, label] : set.entries) {
        ValueLabel e;
        if (is_string) {
          e.text = string_value_text(env, reinterpret_cast<const char*>(value.data()), 8);
          e.has_text = true;
        } else {
          e.value = sav_f64(value.data(), r.swap);
        }
        e.label = input_text(env, label, "Error encoding input value label, ", i + 1);
        v->value_labels.push_back(std::move(e));
      }
      v->reader_text = set_name.empty() ? v->name : set_name;
      v->reader_aux[0] = ++chained;
      env.dict.value_labels_present = true;
    }
  }
}

// Long value labels: per variable its name, width and labels, each a counted value and text.
// Applied whatever the release: writers that imitate no SPSS release (PSPP) write them as well.
void apply_long_value_labels(EnvRecord& env, SavReader& r, const RawDict& raw) {
  if (!raw.has_long_labels) return;
  if (!raw.has_long_names) {
    emit_message(env, MsgKind::Warning,
                 "The long variable names were not found, therefore long value label will be ignored.");
    return;
  }
  const std::string& t = raw.long_labels;
  size_t at = 0;
  auto take_i32 = [&](int32_t& out) {
    if (t.size() - at < 4) return false;
    out = sav_i32(reinterpret_cast<const uint8_t*>(t.data() + at), r.swap);
    at += 4;
    return true;
  };
  auto take_text = [&](std::string& out) {
    int32_t n;
    if (!take_i32(n) || n < 0 || t.size() - at < static_cast<size_t>(n)) return false;
    out.assign(t.data() + at, static_cast<size_t>(n));
    at += static_cast<size_t>(n);
    return true;
  };
  while (at < t.size()) {
    std::string name;
    int32_t width, count;
    if (!take_text(name) || !take_i32(width) || !take_i32(count) || count < 0)
      sav_dict_error(env, kSavErrLongLabelsShort, "a long value label runs past its record");
    int32_t index = -1;
    for (int32_t i = 0; i < env.dict.count(); ++i)
      if (same_name(dict_var(env.dict, i)->name, name)) {
        index = i;
        break;
      }
    if (index < 0)
      emit_messagef(env, MsgKind::Warning,
                    "The long value label, assigned to [%s] was lost, because the variable was not found.",
                    name.c_str());
    for (int32_t k = 0; k < count; ++k) {
      std::string value, label;
      if (!take_text(value) || !take_text(label))
        sav_dict_error(env, kSavErrLongLabelsShort, "a long value label runs past its record");
      if (index < 0) continue;
      VarRecord* v = dict_var(env.dict, index);
      ValueLabel e;
      if (v->is_string()) {
        e.text = string_value_text(env, value.data(), value.size());
        e.has_text = true;
      } else if (value.size() == 8) {
        e.value = sav_f64(reinterpret_cast<const uint8_t*>(value.data()), r.swap);
      } else {
        continue;
      }
      e.label = input_text(env, label, "Error encoding input value label, ", index + 1);
      if (e.label.size() > kLongValueLabelMax) {
        e.label.resize(utf8_cut(e.label.data(), e.label.size(), kLongValueLabelMax));
        emit_messagef(env, MsgKind::Warning, "The long value label was truncated, the new length is %zu",
                      e.label.size());
      }
      v->value_labels.push_back(std::move(e));
      if (v->reader_text.empty()) v->reader_text = v->name;
      env.dict.value_labels_present = true;
    }
  }
}

void read_dictionary(EnvRecord& env, SavReader& r) {
  RawDict raw;
  r.sysmis = -std::numeric_limits<double>::max();
  r.highest = std::numeric_limits<double>::max();
  r.lowest = std::nextafter(-std::numeric_limits<double>::max(), 0.0);
  read_header(env, r, raw);
  read_records(env, r, raw);
  check_strings(env, r);
  r.data_pos = r.in.tell();

  open_file_encoding(env, r, raw);
  join_very_long_strings(env, r, raw.very_long);
  build_variables(env, r, raw);
  attach_value_labels(env, r, raw);
  apply_long_value_labels(env, r, raw);

  if (!raw.file_label.empty()) {
    std::string label = input_text(env, raw.file_label, "Error encoding input file label, ");
    if (!label.empty()) {
      env.dict.file_label = label;
      env.dict.has_file_label = true;
      emit_messagef(env, MsgKind::Info, "The input SPSS file identification string: \"%s\"", label.c_str());
    }
  }
  env.transfer.announced_cases = static_cast<uint32_t>(r.n_cases);
  env.dict.reader_count = r.n_cases;
  sav_prepare_data(env, r);
}

}  // namespace

int sav_date_ttype(uint32_t print_format) {
  switch ((print_format >> 16) & 0xFF) {
    case 21:
    case 25:  // DTIME: a duration, kept as a time of day count
      return T_TIME;
    case 22:
      return T_DATETIME;
    case 26:  // WKDAY and MONTH hold small numbers, not seconds
    case 27:
      return 0;
    case 20:
    case 23:
    case 24:
    case 28:
    case 29:
    case 30:
    case 38:
    case 39:
      return T_DATE;
    default:
      return 0;
  }
}

void sav_dict_error(EnvRecord& env, int32_t code, const char* detail) {
  if (detail) emit_messagef(env, MsgKind::Lib, "SPSS dictionary: %s", detail);
  const char* file = engine_file_name(env.transfer.input_path);
  const char* sorry = nullptr;
  switch (code) {
    case kSavErrObsoletePc:
      sorry = "Sorry, Obsolete SPSS/PC files are not supported.";
      break;
    case kSavErrEncrypted:
      sorry =
          "Sorry, reading ecnrypted SPSS files is not supported.\nTo be able to read the file in Tabulon you will "
          "need to save it (using SPSS) as an unencrypted SPSS dataset first.";
      break;
    case kSavErrVersion:
      sorry =
          "Sorry, this version of SPSS files is not supported or you are trying to read an invalid/physically "
          "damaged SPSS file.";
      break;
    default:
      break;
  }
  std::string text;
  if (sorry) {
    env.last_open_result = code;
    text = std::string("SPSS dataset (") + file + ") \n" + sorry;
  } else {
    text = BuildFormatErrorMessage(env, 1, code, 1, nullptr, 0);
  }
  RaiseError(env, "%s", text.c_str());
}

int32_t sav_read_dict(EnvRecord& env) {
  Stream* stream = env.transfer.input_stream.get();
  if (!stream) RaiseError(env, "Input file is not open", nullptr);
  SavReader* rp = nullptr;
  try {
    rp = &make_reader_state<SavReader>(env);
  } catch (const std::bad_alloc&) {
    sav_dict_error(env, kSavErrNoState, nullptr);
  }
  SavReader& r = *rp;
  r.in.attach(stream);
  // An encoding declared by an earlier input does not hold for this one.
  env.encoding.file_encoding.clear();
  try {
    read_dictionary(env, r);
  } catch (const std::bad_alloc&) {
    sav_dict_error(env, kSavErrAlloc, nullptr);
  }
  return 0;
}

const SavMissing* sav_input_missing(EnvRecord& env, const VarRecord& v, int* count) {
  if (count) *count = 0;
  if (env.transfer.input_code != 22) return nullptr;
  auto* r = dynamic_cast<SavReader*>(env.transfer.reader_state.get());
  if (!r || v.reader_aux[2] <= 0 || static_cast<size_t>(v.reader_aux[2]) > r->vars.size()) return nullptr;
  const SavVar& sv = r->vars[static_cast<size_t>(v.reader_aux[2] - 1)];
  if (!sv.miss_count) return nullptr;
  if (count) *count = sv.miss_count;
  return sv.miss;
}

const MissingSpec* sav_user_missing(EnvRecord& env, const VarRecord& v) {
  auto* r = dynamic_cast<SavReader*>(env.transfer.reader_state.get());
  if (!r || v.is_string() || v.reader_aux[2] <= 0 || static_cast<size_t>(v.reader_aux[2]) > r->vars.size())
    return nullptr;
  if (r->declared_missing.size() != r->vars.size()) {
    r->declared_missing.clear();
    for (const SavVar& sv : r->vars) r->declared_missing.push_back(spss_missing_spec(sv.miss, sv.miss_count));
  }
  const MissingSpec& m = r->declared_missing[static_cast<size_t>(v.reader_aux[2] - 1)];
  return m.count ? &m : nullptr;
}

const MissingTexts* sav_user_missing_texts(EnvRecord& env, const VarRecord& v) {
  auto* r = dynamic_cast<SavReader*>(env.transfer.reader_state.get());
  if (!r || !v.is_string() || v.reader_aux[2] <= 0 || static_cast<size_t>(v.reader_aux[2]) > r->vars.size())
    return nullptr;
  if (r->declared_texts.size() != r->vars.size()) {
    r->declared_texts.assign(r->vars.size(), MissingTexts{});
    for (size_t i = 0; i < r->vars.size(); ++i) {
      const SavVar& sv = r->vars[i];
      if (sv.width <= 0) continue;
      MissingTexts& t = r->declared_texts[i];
      for (int k = 0; k < sv.miss_count && k < 3; ++k)
        if (sv.miss[k].kind == kSavMissValue) t.value[t.count++] = sv.miss[k].text;
    }
  }
  const MissingTexts& t = r->declared_texts[static_cast<size_t>(v.reader_aux[2] - 1)];
  return t.count ? &t : nullptr;
}

void sav_close(EnvRecord& env) {
  // The second thread stops before the input it reads is closed.
  if (auto* r = dynamic_cast<SavReader*>(env.transfer.reader_state.get())) sav_stop_ahead(*r);
  env.encoding.file_encoding.clear();
}

}  // namespace tabulon
