#include "formats/sas/xport_reader.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "api/env_record.h"
#include "api/messages.h"
#include "api/raise.h"
#include "dates/day_number.h"
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
uint32_t be32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
         p[3];
}

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

// The member list: every MEMBER header with its descriptor and NAMESTR headers, and where
// each member's observations end.
void scan_members(EnvRecord& env, XportReader& r) {
  r.members.clear();
  uint8_t rec[kXportRecord];
  if (!r.in.seek(0) || r.in.read_some(rec, kXportRecord) != kXportRecord || !xport_is_header(rec, "LIBRARY"))
    RaiseError(env, "File is not a SAS TRANSPORT file", nullptr);
  int64_t data_from = -1;  // first observation byte of the last member found
  bool open_member = false;
  for (;;) {
    const int64_t pos = r.in.tell();
    const size_t got = r.in.read_some(rec, kXportRecord);
    if (got < kXportRecord) {
      r.file_end = pos + static_cast<int64_t>(got);
      // The start of a header cut short still ends the observations before it.
      if (open_member && pos >= data_from && got > 0 && std::memcmp(rec, "HEADER RECORD*******", got < 20 ? got : 20) == 0) {
        r.members.back().data_end = pos;
        open_member = false;
      }
      break;
    }
    if (!xport_is_any_header(rec)) continue;
    if (open_member && pos >= data_from) {
      r.members.back().data_end = pos;
      open_member = false;
    }
    if (!xport_is_header(rec, "MEMBER")) continue;
    const size_t number = r.members.size() + 1;
    if (r.in.read_some(rec, kXportRecord) != kXportRecord || !xport_is_header(rec, "DSCRPTR"))
      damaged(env, "DSCRPTR", number);
    XportMember m;
    if (r.in.read_some(rec, kXportRecord) != kXportRecord) damaged(env, "NAMESTR", number);
    m.name = field_text(rec + 8, 8);
    if (r.in.read_some(rec, kXportRecord) != kXportRecord) damaged(env, "NAMESTR", number);
    if (r.in.read_some(rec, kXportRecord) != kXportRecord || !xport_is_header(rec, "NAMESTR"))
      damaged(env, "NAMESTR", number);
    int32_t count = 0;
    for (int i = 54; i < 58; ++i) {
      if (rec[i] < '0' || rec[i] > '9')
        RaiseErrorF(env, "The SAS transport file is damaged: the variable count of member %zu is not a number",
                    number);
      count = count * 10 + (rec[i] - '0');
    }
    m.var_count = count;
    m.namestr_pos = r.in.tell();
    const int64_t namestr_bytes = static_cast<int64_t>(count) * kXportNamestr;
    data_from = m.namestr_pos + (namestr_bytes + 79) / 80 * 80 + 80;
    r.members.push_back(std::move(m));
    open_member = true;
  }
  if (open_member) r.members.back().data_end = r.file_end;
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

bool all_blank(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] != ' ') return false;
  return true;
}

// The blanks that fill the member's last 80-byte record look like one more observation.
// A number whose first three bytes are blanks cannot be a value: the padding has begun.
bool is_padding(XportReader& r) {
  const uint8_t* obs = r.obs.data();
  for (const XportField& f : r.fields)
    if (f.kind != kXportString && f.length >= 3 && all_blank(obs + f.offset, 3)) return true;
  if (r.cursor < r.last_record || !all_blank(obs, r.obs_length)) return false;
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
  r.fields.clear();
  r.fields.reserve(static_cast<size_t>(m->var_count));
  std::vector<uint32_t> ends;
  uint64_t length = 0;
  uint8_t ns[kXportNamestr];
  for (int32_t i = 0; i < m->var_count; ++i) {
    if (r.in.read_some(ns, kXportNamestr) != kXportNamestr)
      RaiseErrorF(env, "The SAS transport file ends inside the NAMESTR records of member %s (file truncated?)",
                  m->name.c_str());
    const bool numeric = be16(ns + kNsType) == 1;
    const uint32_t width = be16(ns + kNsLength);
    std::string name = field_text(ns + kNsName, 8);
    const bool made_up = name.empty();
    if (made_up) name = "VAR" + std::to_string(i + 1);
    if (numeric ? width < 1 || width > 8 : width < 1) bad_variable(env, "length", name, m->name);
    XportField f;
    f.length = width;
    f.offset = be32(ns + kNsPosition);
    const std::string format = field_text(ns + kNsFormat, 8);
    uint16_t ttype = T_STRING;
    if (numeric) {
      const int32_t date = xport_date_format_type(format.data(), format.size());
      ttype = date ? static_cast<uint16_t>(date) : T_FLOAT;
      f.kind = date == T_DATE ? kXportDate : date == T_TIME ? kXportTime : date == T_DATETIME ? kXportDateTime
                                                                                               : kXportNumber;
    } else {
      f.kind = kXportString;
    }
    VarRecord& v = dict_append_var(env.dict, name, ttype, width);
    v.selected = 1;
    if (made_up) v.flags |= kVarNameMadeUp;
    if (ns[kNsLabel] != ' ') {
      const std::string label = input_text(env, r, field_text(ns + kNsLabel, 40),
                                           "Error encoding input variable label, ", i + 1);
      if (!label.empty()) var_set_label(v, label);
    }
    v.native_format = format;
    v.input_attrs[0] = static_cast<uint16_t>(be16(ns + kNsFormatLength));
    v.input_attrs[1] = static_cast<uint16_t>(be16(ns + kNsFormatDecimals));
    const uint32_t decimals = be16(ns + kNsFormatDecimals);
    v.decimals = static_cast<uint8_t>(decimals < kDecimalsNotGiven ? decimals : 0);
    length += width;
    r.fields.push_back(f);
  }
  for (size_t i = 0; i < r.fields.size(); ++i) {
    const XportField& f = r.fields[i];
    if (static_cast<uint64_t>(f.offset) + f.length > length)
      bad_variable(env, "position", dict_var(env.dict, static_cast<int32_t>(i))->name, m->name);
  }
  r.obs_length = static_cast<uint32_t>(length);

  const int64_t obs_header = m->namestr_pos + (namestr_bytes + 79) / 80 * 80;
  uint8_t rec[kXportRecord];
  if (!r.in.seek(obs_header) || r.in.read_some(rec, kXportRecord) != kXportRecord || !xport_is_header(rec, "OBS"))
    RaiseErrorF(env, "The OBS header record of member %s is missing in the SAS transport file", m->name.c_str());
  r.data_start = obs_header + static_cast<int64_t>(kXportRecord);
  r.data_end = m->data_end > r.data_start ? m->data_end : r.data_start;
  // Lengths are 16-bit: a damaged member could ask for a record buffer of gigabytes.
  if (length > kMaxObservation && static_cast<int64_t>(length) > r.data_end - r.data_start)
    RaiseErrorF(env, "Invalid observation length %llu of member %s in the SAS transport file",
                static_cast<unsigned long long>(length), m->name.c_str());
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
    if (!r.warned && r.data_end == r.file_end && (r.data_end - r.data_start) % 80 != 0) {
      r.warned = true;
      emit_message(env, MsgKind::Warning, "The SAS transport file ends inside a record (file truncated?)");
    }
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
