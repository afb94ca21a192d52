#include "formats/sas/xport_reader.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "api/env_record.h"
#include "api/messages.h"
#include "api/raise.h"
#include "dates/day_number.h"
#include "dates/sas_date_formats.h"
#include "dict/dictionary.h"
#include "encoding/transcode.h"
#include "engine/format_hooks.h"
#include "formats/sas/xport_ibm_float.h"
#include "formats/sas/xport_records.h"
#include "formats/stata/stata_text_encoding.h"
#include "io/stream.h"

namespace tabulon {

namespace {

constexpr uint64_t kMaxObservation = 16u << 20;

}  // namespace


namespace {

uint32_t be16(const uint8_t* p) { return static_cast<uint32_t>(p[0]) << 8 | p[1]; }

// Text of a blank-padded field without its trailing blanks (and NULs some writers pad with).
std::string field_text(const uint8_t* p, size_t n) {
  while (n > 0 && (p[n - 1] == ' ' || p[n - 1] == '\0')) --n;
  return std::string(reinterpret_cast<const char*>(p), n);
}

// Text that is not UTF-8 while no input encoding was named: Windows-1252, as SAS on
// Windows writes it.
bool use_cp1252(const XportReader& r, const char* p, size_t n) {
  return r.cp1252_fallback && !is_ascii(p, n) && !utf8_valid(reinterpret_cast<const unsigned char*>(p), n);
}

std::string input_text(EnvRecord& env, XportReader& r, const std::string& s, const char* context,
                       int32_t variable) {
  ConverterSlot& slot = env.encoding.input[0];
  if (s.empty() || is_ascii(s.data(), s.size())) return s;
  if (!slot_converts(slot)) {
    if (!use_cp1252(r, s.data(), s.size())) return s;
    std::string out;
    cp1252_to_utf8(reinterpret_cast<const unsigned char*>(s.data()), s.size(), out);
    return out;
  }
  TranscodeCall call;
  call.context = context;
  call.variable = variable;
  return transcode_to_string(env, slot, s.data(), s.size(), call);
}

[[noreturn]] void damaged(EnvRecord& env, const char* record, size_t member) {
  RaiseErrorF(env, "The SAS transport file is damaged: the %s header record of member %zu is missing", record,
              member);
}

int64_t round_up_record(int64_t n) { return (n + 79) / 80 * 80; }

// The first record decides the version. A library header of another version is named in the
// message: such a file is a transport file this reader cannot read, not some other file.
int version_of_library(EnvRecord& env, const uint8_t* rec) {
  if (xport_is_header(rec, kXportV5Headers.library)) return 5;
  if (xport_is_header(rec, kXportV8Headers.library)) return 8;
  if (std::memcmp(rec, "**COMPRESSED** **COMPRESSED**", 29) == 0)
    RaiseError(env, "File is a SAS CPORT file, not a SAS TRANSPORT file", nullptr);
  if (!xport_is_any_header(rec)) RaiseError(env, "File is not a SAS TRANSPORT file", nullptr);
  std::string type = field_text(rec + 20, 8);
  for (char& c : type)
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) c = '?';
  if (type.size() > 4 && type.compare(0, 4, "LIBV") == 0)
    RaiseErrorF(env, "The SAS transport file is of version %s, which is not supported (versions 5 and 8 are)",
                type.c_str() + 4);
  RaiseErrorF(env, "The SAS transport file has a library header of an unknown version (%s); versions 5 and 8 are supported",
              type.c_str());
}

// Digits of a header record, from..to; -1 when one is not a digit.
int64_t header_number(const uint8_t* rec, int from, int to) {
  int64_t n = 0;
  for (int i = from; i < to; ++i) {
    if (rec[i] < '0' || rec[i] > '9') return -1;
    n = n * 10 + (rec[i] - '0');
  }
  return n;
}

// SAS writes the observation count into the version 8 OBS header, right-aligned among blanks;
// other writers leave zeros there, which say nothing.
int64_t obs_header_count(const uint8_t* rec) {
  int from = 48, to = 78;
  while (from < to && rec[from] == ' ') ++from;
  while (to > from && rec[to - 1] == ' ') --to;
  if (from == to || (from == 48 && to == 78)) return -1;
  if (to - from > 15) return -1;
  return header_number(rec, from, to);
}

// The member list: every MEMBER header with its descriptor and NAMESTR headers, the label and
// OBS headers after its NAMESTRs, and where each member's observations end.
void scan_members(EnvRecord& env, XportReader& r) {
  r.members.clear();
  uint8_t rec[kXportRecord];
  if (!r.in.seek(0) || r.in.read_some(rec, kXportRecord) != kXportRecord)
    RaiseError(env, "File is not a SAS TRANSPORT file", nullptr);
  r.version = version_of_library(env, rec);
  const XportHeaderNames& h = xport_headers(r.version);
  const size_t name_width = r.version == 8 ? kXportV8NameMax : kXportV5NameMax;
  enum { kNone, kHead, kData } phase = kNone;
  int64_t namestr_end = 0;
  for (;;) {
    const int64_t pos = r.in.tell();
    const size_t got = r.in.read_some(rec, kXportRecord);
    if (got < kXportRecord) {
      r.file_end = pos + static_cast<int64_t>(got);
      // The start of a header cut short still ends the observations before it.
      if (phase == kData && got > 0 && std::memcmp(rec, "HEADER RECORD*******", got < 20 ? got : 20) == 0) {
        r.members.back().data_end = pos;
        phase = kNone;
      }
      break;
    }
    if (!xport_is_any_header(rec)) continue;
    if (phase == kHead) {
      if (pos < namestr_end) continue;  // NAMESTR bytes, not a header
      XportMember& m = r.members.back();
      if (r.version == 8 && m.label_pos < 0 && pos == namestr_end &&
          (xport_is_header(rec, "LABELV8") || xport_is_header(rec, "LABELV9"))) {
        m.label_pos = pos;
        continue;
      }
      if (xport_is_header(rec, h.obs)) {
        m.obs_header = pos;
        if (r.version == 8) m.obs_count = obs_header_count(rec);
        phase = kData;
        continue;
      }
      // Anything else: the member has no OBS header; reading its dictionary says so.
      m.data_end = pos;
      phase = kNone;
    } else if (phase == kData) {
      r.members.back().data_end = pos;
      phase = kNone;
    }
    if (!xport_is_header(rec, h.member)) continue;
    const size_t number = r.members.size() + 1;
    if (r.in.read_some(rec, kXportRecord) != kXportRecord || !xport_is_header(rec, h.descriptor))
      damaged(env, h.descriptor, number);
    XportMember m;
    if (r.in.read_some(rec, kXportRecord) != kXportRecord) damaged(env, h.namestr, number);
    m.name = field_text(rec + 8, name_width);
    if (r.in.read_some(rec, kXportRecord) != kXportRecord) damaged(env, h.namestr, number);
    m.label = field_text(rec + 32, 40);
    if (r.in.read_some(rec, kXportRecord) != kXportRecord || !xport_is_header(rec, h.namestr))
      damaged(env, h.namestr, number);
    // Version 5 has four digits at 54; version 8 room for more before them.
    const int64_t count = r.version == 8 ? header_number(rec, 50, 58) : header_number(rec, 54, 58);
    if (count < 0 || count > 999999)
      RaiseErrorF(env, "The SAS transport file is damaged: the variable count of member %zu is not a number",
                  number);
    m.var_count = static_cast<int32_t>(count);
    m.namestr_pos = r.in.tell();
    namestr_end = m.namestr_pos + round_up_record(count * static_cast<int64_t>(kXportNamestr));
    r.members.push_back(std::move(m));
    phase = kHead;
  }
  if (phase != kNone) r.members.back().data_end = r.file_end;
}

[[noreturn]] void bad_variable(EnvRecord& env, const char* what, const std::string& name, const std::string& member) {
  RaiseErrorF(env, "Invalid %s of the variable %s in member %s of the SAS transport file", what, name.c_str(),
              member.c_str());
}

void set_string(EnvRecord& env, XportReader& r, VarRecord& v, const uint8_t* p, size_t n, int32_t variable) {
  DictState& d = env.dict;
  while (n > 0 && (p[n - 1] == ' ' || p[n - 1] == '\0')) --n;
  if (n == 0) {
    var_set_missing(d, v);
    return;
  }
  const char* s = reinterpret_cast<const char*>(p);
  ConverterSlot& slot = env.encoding.input[0];
  if (is_ascii(s, n)) {
    var_set_string(d, v, s, n);
  } else if (slot_converts(slot)) {
    TranscodeCall call;
    call.context = "Error encoding input string value, ";
    call.variable = variable;
    call.record = r.delivered + 1;
    const int64_t out = transcode_string(env, slot, s, n, nullptr, 0, call);
    var_set_string(d, v, slot.out_buf.data(), out > 0 ? static_cast<size_t>(out) : 0);
  } else if (use_cp1252(r, s, n)) {
    r.scratch.clear();
    cp1252_to_utf8(p, n, r.scratch);
    var_set_string(d, v, r.scratch);
  } else {
    var_set_string(d, v, s, n);
  }
}

// What the NAMESTR and the label section say of one variable, before it joins the dictionary.
struct XportVarText {
  bool numeric = true;
  uint32_t width = 0;
  std::string name, label, format;
  uint32_t format_width = 0, format_decimals = 0;
};

// Version 8 label section: a LABELV8 header and, per variable whose name or label did not fit
// its NAMESTR, its number and the lengths and texts of name and label; LABELV9 adds format and
// informat texts ("DATETIME20.").
void read_label_section(EnvRecord& env, XportReader& r, const XportMember& m, std::vector<XportVarText>& texts) {
  uint8_t rec[kXportRecord];
  const auto damaged_labels = [&]() {
    RaiseErrorF(env, "The label records of member %s of the SAS transport file are damaged", m.name.c_str());
  };
  if (!r.in.seek(m.label_pos) || r.in.read_some(rec, kXportRecord) != kXportRecord)
    damaged_labels();
  const bool v9 = xport_is_header(rec, "LABELV9");
  int64_t count = 0;
  for (int i = 48; i < 78 && rec[i] >= '0' && rec[i] <= '9' && count < 1000000; ++i) count = count * 10 + (rec[i] - '0');
  const int64_t size = m.obs_header - (m.label_pos + static_cast<int64_t>(kXportRecord));
  // Each entry holds at most 4 texts of 65535 bytes; the section cannot be larger.
  if (size < 0 || size > count * (10 + 4 * 65535)) damaged_labels();
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  if (size > 0 && r.in.read_some(bytes.data(), bytes.size()) != bytes.size()) damaged_labels();
  const size_t fixed = v9 ? 10 : 6;
  size_t at = 0;
  for (int64_t k = 0; k < count; ++k) {
    if (bytes.size() - at < fixed) damaged_labels();
    const uint8_t* p = bytes.data() + at;
    const uint32_t number = be16(p);
    uint32_t lengths[4] = {be16(p + 2), be16(p + 4), v9 ? be16(p + 6) : 0, v9 ? be16(p + 8) : 0};
    at += fixed;
    size_t total = 0;
    for (uint32_t n : lengths) total += n;
    if (number < 1 || number > texts.size() || bytes.size() - at < total) damaged_labels();
    XportVarText& t = texts[number - 1];
    const char* text = reinterpret_cast<const char*>(bytes.data() + at);
    std::string name = field_text(bytes.data() + at, lengths[0]);
    if (!name.empty()) t.name = std::move(name);
    if (lengths[1] > 0) t.label = field_text(bytes.data() + at + lengths[0], lengths[1]);
    if (lengths[2] > 0) {
      uint32_t width = 0, decimals = 0;
      xport_split_format(text + lengths[0] + lengths[1], lengths[2], t.format, width, decimals);
      if (width) t.format_width = width;
      if (width) t.format_decimals = decimals;
    }
    at += total;
  }
  // Blanks pad the section to its last record, right before the OBS header.
  if (round_up_record(static_cast<int64_t>(at)) != size) damaged_labels();
}

bool all_blank(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] != ' ') return false;
  return true;
}

// The blanks that fill the member's last 80-byte record look like one more observation.
// A number whose first three bytes are blanks cannot be a value: the padding has begun.
bool is_padding(XportReader& r) {
  const uint8_t* obs = r.obs.data();
  if (!r.counted)
    for (const XportField& f : r.fields)
      if (f.kind != kXportString && f.length >= 3 && all_blank(obs + f.offset, 3)) return true;
  if (r.counted || r.cursor < r.last_record || !all_blank(obs, r.obs_length)) return false;
  uint8_t rest[kXportRecord];
  const int64_t after = r.cursor + r.obs_length;
  const size_t n = static_cast<size_t>(r.data_end - after);  // below 80: the record's tail
  if (n == 0) return true;
  const bool blank = r.in.read_some(rest, n) == n && all_blank(rest, n);
  r.in.seek(after);
  return blank;
}

}  // namespace

int32_t xport_open_input(EnvRecord& env) {
  Stream* stream = env.transfer.input_stream.get();
  if (!stream) RaiseError(env, "Input file is not open", nullptr);
  XportReader& r = make_reader_state<XportReader>(env);
  r.cp1252_fallback = stata_input_encoding_is_default(env);
  if (StreamSeek64(stream, 0, SEEK_SET) != 0) stream->error |= STREAM_ERR_SEEK;
  r.in.attach(stream);
  scan_members(env, r);
  if (r.members.empty()) RaiseError(env, "The SAS transport file holds no members", nullptr);
  xport_read_members(env);
  env.transfer.members_read = 1;
  return 0;
}

int32_t xport_read_members(EnvRecord& env) {
  XportReader* r = reader_state<XportReader>(env);
  if (!r) return -1;
  env.transfer.members.clear();
  for (const XportMember& m : r->members) env.transfer.members.push_back(m.name);
  return static_cast<int32_t>(r->members.size());
}

int32_t xport_select_member(EnvRecord& env, int32_t index) {
  XportReader* r = reader_state<XportReader>(env);
  return r && index >= 0 && index < static_cast<int32_t>(r->members.size()) ? 0 : -1;
}

int32_t xport_read_dict(EnvRecord& env) {
  XportReader* rp = reader_state<XportReader>(env);
  if (!rp) RaiseError(env, "Input file is not open", nullptr);
  XportReader& r = *rp;
  if (r.members.empty()) return -1;
  const TransferState& t = env.transfer;
  const int32_t current = t.current_member < 0 ? 0 : t.current_member;
  const std::string wanted = current < static_cast<int32_t>(t.members.size())
                                 ? t.members[static_cast<size_t>(current)]
                                 : r.members.front().name;
  const XportMember* m = nullptr;
  for (const XportMember& x : r.members) {
    if (x.name.size() != wanted.size()) continue;
    bool same = true;
    for (size_t i = 0; i < x.name.size() && same; ++i)
      same = std::toupper(static_cast<unsigned char>(x.name[i])) == std::toupper(static_cast<unsigned char>(wanted[i]));
    if (same) {
      m = &x;
      break;
    }
  }
  if (!m) RaiseError(env, "Member name invalid: %s", wanted.c_str());

  const int64_t namestr_bytes = static_cast<int64_t>(m->var_count) * kXportNamestr;
  if (m->namestr_pos + namestr_bytes > r.file_end || !r.in.seek(m->namestr_pos))
    RaiseErrorF(env, "The SAS transport file ends inside the NAMESTR records of member %s (file truncated?)",
                m->name.c_str());
  std::vector<XportVarText> texts(static_cast<size_t>(m->var_count));
  r.fields.clear();
  r.fields.reserve(static_cast<size_t>(m->var_count));
  uint64_t length = 0;
  uint8_t ns[kXportNamestr];
  for (int32_t i = 0; i < m->var_count; ++i) {
    if (r.in.read_some(ns, kXportNamestr) != kXportNamestr)
      RaiseErrorF(env, "The SAS transport file ends inside the NAMESTR records of member %s (file truncated?)",
                  m->name.c_str());
    XportVarText& t = texts[static_cast<size_t>(i)];
    t.numeric = be16(ns + kNsType) == 1;
    t.width = be16(ns + kNsLength);
    // Version 8 keeps the first 8 characters at 8 (not unique) and the whole name at 88.
    if (r.version == 8) t.name = field_text(ns + kNsLongName, kXportV8NameMax);
    if (t.name.empty()) t.name = field_text(ns + kNsName, 8);
    if (ns[kNsLabel] != ' ') t.label = field_text(ns + kNsLabel, 40);
    t.format = field_text(ns + kNsFormat, 8);
    t.format_width = be16(ns + kNsFormatLength);
    t.format_decimals = be16(ns + kNsFormatDecimals);
  }
  // The OBS header follows the NAMESTRs, or the label section after them.
  const int64_t namestr_end = m->namestr_pos + round_up_record(namestr_bytes);
  if (m->obs_header < 0 || (m->label_pos < 0 && m->obs_header != namestr_end))
    RaiseErrorF(env, "The %s header record of member %s is missing in the SAS transport file",
                xport_headers(r.version).obs, m->name.c_str());
  if (m->label_pos >= 0) read_label_section(env, r, *m, texts);

  env.dict.file_label = input_text(env, r, m->label, "Error encoding input file label, ", 0);
  env.dict.has_file_label = !env.dict.file_label.empty();
  for (int32_t i = 0; i < m->var_count; ++i) {
    XportVarText& t = texts[static_cast<size_t>(i)];
    const bool made_up = t.name.empty();
    if (made_up) t.name = "VAR" + std::to_string(i + 1);
    if (t.numeric ? t.width < 1 || t.width > 8 : t.width < 1) bad_variable(env, "length", t.name, m->name);
    XportField f;
    f.length = t.width;
    // The observation holds the values in NAMESTR order. The NAMESTR's position field is where
    // SAS keeps the value in its own data set (numbers first), not in this file.
    f.offset = static_cast<uint32_t>(length);
    uint16_t ttype = T_STRING;
    if (t.numeric) {
      const int32_t date = sas_date_format_type(t.format.data(), t.format.size());
      ttype = date ? static_cast<uint16_t>(date) : T_FLOAT;
      f.kind = date == T_DATE ? kXportDate : date == T_TIME ? kXportTime : date == T_DATETIME ? kXportDateTime
                                                                                               : kXportNumber;
    } else {
      f.kind = kXportString;
    }
    VarRecord& v = dict_append_var(env.dict, t.name, ttype, t.width);
    v.selected = 1;
    if (made_up) v.flags |= kVarNameMadeUp;
    if (!t.label.empty()) {
      const std::string label = input_text(env, r, t.label, "Error encoding input variable label, ", i + 1);
      if (!label.empty()) var_set_label(v, label);
    }
    v.native_format = t.format;
    v.input_attrs[0] = static_cast<uint16_t>(t.format_width);
    v.input_attrs[1] = static_cast<uint16_t>(t.format_decimals);
    v.decimals = static_cast<uint8_t>(t.format_decimals < kDecimalsNotGiven ? t.format_decimals : 0);
    length += t.width;
    r.fields.push_back(f);
  }
  r.obs_length = static_cast<uint32_t>(length);

  r.data_start = m->obs_header + static_cast<int64_t>(kXportRecord);
  r.data_end = m->data_end > r.data_start ? m->data_end : r.data_start;
  // Lengths are 16-bit: a damaged member could ask for a record buffer of gigabytes.
  if (length > kMaxObservation && static_cast<int64_t>(length) > r.data_end - r.data_start)
    RaiseErrorF(env, "Invalid observation length %llu of member %s in the SAS transport file",
                static_cast<unsigned long long>(length), m->name.c_str());
  r.counted = false;
  if (m->obs_count >= 0 && length > 0) {
    // The count SAS gives ends the data exactly: an all-blank last observation is one.
    if (m->obs_count <= (r.data_end - r.data_start) / static_cast<int64_t>(length)) {
      r.data_end = r.data_start + m->obs_count * static_cast<int64_t>(length);
      r.counted = true;
    }
    env.transfer.announced_cases = static_cast<uint32_t>(std::min<int64_t>(m->obs_count, UINT32_MAX));
    env.dict.reader_count = m->obs_count;
  }
  r.last_record = r.data_end > r.data_start ? r.data_start + (r.data_end - r.data_start - 1) / 80 * 80 : r.data_start;
  r.cursor = r.data_start;
  r.delivered = 0;
  r.ended = false;
  r.obs.assign(r.obs_length, 0);
  return 0;
}

int32_t xport_read_case(EnvRecord& env) {
  XportReader* rp = reader_state<XportReader>(env);
  if (!rp) return kEndOfData;
  XportReader& r = *rp;
  if (r.ended || r.obs_length == 0) return kEndOfData;
  if (r.cursor + r.obs_length > r.data_end) {
    r.ended = true;
    // A file cut inside a record has lost cases: that fails the read, it is not the end.
    if (r.data_end == r.file_end && (r.data_end - r.data_start) % 80 != 0)
      RaiseErrorF(env, "The SAS transport file is truncated: it ends inside a record after case %lld.",
                  static_cast<long long>(r.delivered));
    return kEndOfData;
  }
  if (r.in.tell() != r.cursor && !r.in.seek(r.cursor)) RaiseError(env, "Error reading the SAS transport file", nullptr);
  if (r.in.read_some(r.obs.data(), r.obs_length) != r.obs_length)
    RaiseError(env, "Error reading the SAS transport file", nullptr);
  if (is_padding(r)) {
    r.ended = true;
    return kEndOfData;
  }
  r.cursor += r.obs_length;

  DictState& d = env.dict;
  const uint8_t* obs = r.obs.data();
  const size_t count = r.fields.size();
  for (size_t i = 0; i < count; ++i) {
    const XportField& f = r.fields[i];
    VarRecord& v = *d.vars[i];
    if (!v.selected || v.storage_width == 0) continue;
    const uint8_t* p = obs + f.offset;
    if (f.kind == kXportString) {
      set_string(env, r, v, p, f.length, static_cast<int32_t>(i + 1));
      continue;
    }
    const uint16_t code = xport_missing_code(p, f.length);
    if (code) {
      var_set_missing(d, v, code);
      continue;
    }
    uint8_t ibm[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    std::memcpy(ibm, p, f.length);
    // A zero fraction is zero whatever the exponent byte says.
    bool zero = true;
    for (int k = 1; k < 8 && zero; ++k) zero = ibm[k] == 0;
    double x = zero ? 0.0 : xport_ibm_to_double(ibm);
    switch (f.kind) {
      case kXportDate: x += kXportEpochDays; break;
      case kXportTime:
        x = seconds_to_time(x);
        break;
      case kXportDateTime: x = signed_days_to_day_number(x / kXportSecondsPerDay + kXportEpochDays); break;
      default: break;
    }
    var_set_double(d, v, x);
  }
  ++r.delivered;
  return kCaseRead;
}

int32_t xport_save_position(EnvRecord& env) {
  XportReader* r = reader_state<XportReader>(env);
  if (!r) return -1;
  r->saved_cursor = r->cursor;
  r->saved_delivered = r->delivered;
  r->saved_ended = r->ended;
  return 0;
}

int32_t xport_restore_position(EnvRecord& env) {
  XportReader* r = reader_state<XportReader>(env);
  if (!r || r->saved_cursor < 0) return -1;
  r->cursor = r->saved_cursor;
  r->delivered = r->saved_delivered;
  r->ended = r->saved_ended;
  return 0;
}

}  // namespace tabulon
