#include "formats/sas/xport_writer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <strings.h>

#include "api/env_record.h"
#include "api/messages.h"
#include "api/option_slots.h"
#include "api/raise.h"
#include "dict/dictionary.h"
#include "encoding/legalize.h"
#include "encoding/names_pass.h"
#include "encoding/transcode.h"
#include "engine/change_report.h"
#include "engine/format_hooks.h"
#include "engine/stream_glue.h"
#include "formats/sas/xport_ibm_float.h"
#include "formats/sas/xport_records.h"
#include "io/stream.h"

namespace tabulon {

namespace {

constexpr size_t kFlushAt = 1 << 20;
constexpr int32_t kXportCode = 12;

const NameRules kXportNames = {8, kCaseModeUpper, "A-Z", "_0-9A-Z", "0-9_A-Z", "0-9", "var. names"};
// Version 8 keeps the case of names, as SAS 9 does.
const NameRules kXportV8Names = {32, kCaseModeOption, "A-Za-z_", "_0-9A-Za-z", "0-9_A-Za-z", "0-9", "var. names"};

constexpr char kZeroDigits[] = "000000000000000000000000000000";
constexpr char kMemberDigits[] = "000000000000000001600000000140";  // descriptor 160, NAMESTR 140

bool flush(XportWriter& w) {
  size_t done = 0;
  while (done < w.buf.size()) {
    const size_t left = w.buf.size() - done;
    const int32_t n = left > (1u << 30) ? (1 << 30) : static_cast<int32_t>(left);
    if (StreamWrite(w.out, w.buf.data() + done, n) != n) break;
    done += static_cast<size_t>(n);
  }
  const bool ok = done == w.buf.size() && !(w.out->error & STREAM_ERR_WRITE);
  w.buf.clear();
  return ok;
}

void put(XportWriter& w, const void* p, size_t n) {
  w.buf.append(static_cast<const char*>(p), n);
  w.written += n;
}
void put_blanks(XportWriter& w, size_t n) {
  w.buf.append(n, ' ');
  w.written += n;
}

void put_header(XportWriter& w, const char* type, const char* digits) {
  char rec[kXportRecord];
  xport_header_record(rec, type, digits);
  put(w, rec, sizeof rec);
}

// A blank record with fields at given offsets.
struct Record {
  char bytes[kXportRecord];
  Record() { std::memset(bytes, ' ', sizeof bytes); }
  void set(size_t at, const char* text, size_t max) {
    std::memcpy(bytes + at, text, std::min(std::strlen(text), max));
  }
};

void put_be16(uint8_t* p, uint32_t x) {
  p[0] = static_cast<uint8_t>(x >> 8);
  p[1] = static_cast<uint8_t>(x);
}
void put_be32(uint8_t* p, uint32_t x) {
  put_be16(p, x >> 16);
  put_be16(p + 2, x & 0xFFFF);
}

// Text in the output encoding, cut to max bytes (whole UTF-8 characters when not converted).
std::string output_text(EnvRecord& env, const std::string& s, const char* context, size_t max) {
  ConverterSlot& slot = env.encoding.output[0];
  const bool converts = slot_converts(slot);
  std::string out = s;
  if (!s.empty() && converts && !(slot.ascii_identity && is_ascii(s.data(), s.size()))) {
    TranscodeCall call;
    call.context = context;
    out = transcode_to_string(env, slot, s.data(), s.size(), call);
  }
  if (out.size() > max) out.resize(converts ? max : utf8_cut(out.data(), out.size(), max));
  return out;
}

// The name a change is reported under: the variable's name in the input, which the user knows.
const std::string& report_name(const VarRecord& v) { return v.has_input_name ? v.input_name : v.name; }

size_t utf8_length(const std::string& s) {
  size_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

// Local time as 05MAR14:13:07:55.
std::string creation_stamp() {
  static const char* const kMonths[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                        "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char text[32];
  std::snprintf(text, sizeof text, "%02d%s%02d:%02d:%02d:%02d", tm.tm_mday, kMonths[tm.tm_mon % 12],
                tm.tm_year % 100, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return text;
}

uint32_t string_length(const VarRecord& v, uint32_t max) {
  if (v.output_width >= 1 && v.output_width < max) return v.output_width;
  const uint32_t w = std::min(v.storage_width, max);
  return w ? w : 1;
}

void put_namestr(XportWriter& w, const XportOutVar& o, uint32_t number, uint32_t position) {
  uint8_t ns[kXportNamestr];
  std::memset(ns, 0, sizeof ns);
  const VarRecord& v = *o.var;
  put_be16(ns + kNsType, o.kind == kXportString ? 2 : 1);
  put_be16(ns + kNsLength, o.length);
  put_be16(ns + kNsNumber, number);
  // Version 8 keeps the first 8 characters here, as SAS does, and the whole name at 88.
  std::memset(ns + kNsName, ' ', 8);
  std::memcpy(ns + kNsName, v.name.data(), std::min<size_t>(v.name.size(), 8));
  std::memset(ns + kNsLabel, ' ', 40);
  std::memcpy(ns + kNsLabel, o.label.data(), std::min<size_t>(o.label.size(), 40));
  if (w.version == 8) {
    std::memset(ns + kNsLongName, ' ', kXportV8NameMax);
    std::memcpy(ns + kNsLongName, v.name.data(), std::min(v.name.size(), kXportV8NameMax));
    put_be16(ns + kNsLabelLength, static_cast<uint32_t>(o.label.size()));
  }
  std::memset(ns + kNsFormat, ' ', 8);
  struct Format {
    const char* name;
    uint32_t length;
  };
  static constexpr Format kFormats[] = {{"", 0}, {"BEST", 12}, {"DATE", 9}, {"TIME", 18}, {"DATETIME", 18}};
  const char* format = kFormats[o.kind].name;  // indexed by XportKind
  const uint32_t format_length = kFormats[o.kind].length;
  std::memcpy(ns + kNsFormat, format, std::strlen(format));
  put_be16(ns + kNsFormatLength, format_length);
  ns[kNsFiller] = ns[kNsFiller + 1] = ' ';
  std::memset(ns + kNsInformat, ' ', 8);
  put_be32(ns + kNsPosition, position);
  put(w, ns, sizeof ns);
}

void pad_record(XportWriter& w) {
  const size_t tail = w.written % kXportRecord;
  if (tail) put_blanks(w, kXportRecord - tail);
}

// Version 8: the labels longer than a NAMESTR holds, each with its variable's number and name.
void put_label_section(XportWriter& w) {
  std::vector<uint32_t> numbers;
  for (size_t i = 0; i < w.vars.size(); ++i)
    if (w.vars[i].label.size() > kXportV5LabelMax) numbers.push_back(static_cast<uint32_t>(i + 1));
  if (numbers.empty()) return;
  char digits[31];
  std::snprintf(digits, sizeof digits, "%-30zu", numbers.size());
  put_header(w, "LABELV8", digits);
  for (uint32_t number : numbers) {
    const XportOutVar& o = w.vars[number - 1];
    const std::string& name = o.var->name;
    uint8_t head[6];
    put_be16(head, number);
    put_be16(head + 2, static_cast<uint32_t>(name.size()));
    put_be16(head + 4, static_cast<uint32_t>(o.label.size()));
    put(w, head, sizeof head);
    put(w, name.data(), name.size());
    put(w, o.label.data(), o.label.size());
  }
  pad_record(w);
}

void put_library_header(EnvRecord& env, XportWriter& w) {
  const XportHeaderNames& h = xport_headers(w.version);
  const bool v8 = w.version == 8;
  const char* release = v8 ? "9.4" : "6.06";
  const std::string stamp = creation_stamp();
  const std::string member = xport_member_name(env.transfer.output_path, v8 ? kXportV8NameMax : kXportV5NameMax);
  put_header(w, h.library, kZeroDigits);
  Record lib;
  lib.set(0, "SAS", 8);
  lib.set(8, "SAS", 8);
  lib.set(16, "SASLIB", 8);
  lib.set(24, release, 8);
  lib.set(32, "bsd4.2", 8);
  lib.set(64, stamp.c_str(), 16);
  put(w, lib.bytes, kXportRecord);
  Record modified;
  modified.set(0, stamp.c_str(), 16);
  put(w, modified.bytes, kXportRecord);

  put_header(w, h.member, kMemberDigits);
  put_header(w, h.descriptor, kZeroDigits);
  // Version 8 gives the member name 32 characters; the fields after it move on by 24.
  const size_t shift = v8 ? 24 : 0;
  Record mem;
  mem.set(0, "SAS", 8);
  mem.set(8, member.c_str(), v8 ? kXportV8NameMax : kXportV5NameMax);
  mem.set(16 + shift, "SASDATA", 8);
  mem.set(24 + shift, release, 8);
  mem.set(32 + shift, "bsd4.2", 8);
  mem.set(64, stamp.c_str(), 16);
  put(w, mem.bytes, kXportRecord);
  // The second descriptor record holds the data set's label.
  Record described = modified;
  if (env.dict.has_file_label && !env.dict.file_label.empty()) {
    std::string label = output_text(env, env.dict.file_label, "Error encoding output file label, ", SIZE_MAX);
    if (label.size() > kXportV5LabelMax) {
      label.resize(slot_converts(env.encoding.output[0]) ? kXportV5LabelMax
                                                           : utf8_cut(label.data(), label.size(), kXportV5LabelMax));
      note_change(env, ChangeKind::LabelCut, "", 1);
    }
    std::memcpy(described.bytes + 32, label.data(), label.size());
  }
  put(w, described.bytes, kXportRecord);

  char digits[31];
  std::snprintf(digits, sizeof digits, "000000%04u00000000000000000000", static_cast<unsigned>(w.vars.size() % 10000));
  put_header(w, h.namestr, digits);
  uint32_t position = 0, number = 0;
  for (const XportOutVar& o : w.vars) {
    put_namestr(w, o, ++number, position);
    position += o.length;
  }
  pad_record(w);
  if (v8) put_label_section(w);
  put_header(w, h.obs, kZeroDigits);
}

// Names the output's version cannot hold are changed by the legalization; each change is
// counted for the report. A change of case only is none: SAS names ignore case.
void note_name_changes(EnvRecord& env, const std::vector<std::string>& before, size_t max) {
  size_t k = 0;
  for (auto& vp : env.dict.vars) {
    if (!vp->selected) continue;
    const std::string& was = before[k++];
    if (was.size() == vp->name.size() && strncasecmp(was.data(), vp->name.data(), was.size()) == 0) continue;
    note_change(env, utf8_length(was) > max ? ChangeKind::NameCut : ChangeKind::NameChanged, was, 1);
  }
}

}  // namespace

std::string xport_member_name(const std::string& path, size_t max) {
  size_t start = path.find_last_of("/\\");
  start = start == std::string::npos ? 0 : start + 1;
  std::string base = path.substr(start);
  const size_t dot = base.rfind('.');
  if (dot != std::string::npos && dot > 0) base.resize(dot);
  std::string name;
  for (char c : base) {
    if (name.size() == max) break;
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    const bool letter = (c >= 'A' && c <= 'Z') || c == '_';
    const bool digit = c >= '0' && c <= '9';
    if (name.empty() && digit) name += '_';
    if (name.size() < max) name += letter || digit ? c : '_';
  }
  return name.empty() ? std::string("DATA") : name;
}

namespace {

constexpr double kTwo52 = 4503599627370496.0;

// std::nearbyint without the library call where that is simple: from 0 to 2^52 adding and
// taking away 2^52 rounds the same way.
inline double round_micros(double x) {
  return !std::signbit(x) && x < kTwo52 ? (x + kTwo52) - kTwo52 : std::nearbyint(x);
}

inline double whole_days(double day) {
  return std::fabs(day) < kTwo52 ? static_cast<double>(static_cast<int64_t>(day)) : std::trunc(day);
}

}  // namespace

double xport_sas_value(uint8_t kind, double day) {
  switch (kind) {
    case kXportDate: return day - kXportEpochDays;
    case kXportTime: return round_micros(day * kXportSecondsPerDay * 1e6) / 1e6;
    case kXportDateTime: {
      // Before 30 December 1899 a day number keeps its time apart from its sign (-1.25 is
      // 29 December 1899 at 06:00). Day fractions carry binary noise: whole microseconds
      // of the time are kept.
      const double whole = whole_days(day);
      const double time = std::fabs(day - whole);
      return (whole - kXportEpochDays) * kXportSecondsPerDay + round_micros(time * kXportSecondsPerDay * 1e6) / 1e6;
    }
    default: return day;
  }
}

int xport_requested_version(int32_t setting) {
  if (setting == 5 || setting == 6) return 5;
  if (setting == 8 || setting == 9) return 8;
  return 0;
}

int32_t xport_open_output(EnvRecord& env) {
  XportWriter& w = make_writer_state<XportWriter>(env);
  w.out = env.transfer.output_stream.get();
  if (!w.out) RaiseError(env, "Output file is not open", nullptr);

  // Labels in the output encoding decide the version with the names.
  std::vector<std::string> labels, before;
  bool needs_v8 = false;
  for (auto& vp : env.dict.vars) {
    if (!vp->selected) continue;
    std::string label =
        vp->label.empty() ? std::string() : output_text(env, vp->label, "Error encoding output variable label, ", SIZE_MAX);
    needs_v8 = needs_v8 || label.size() > kXportV5LabelMax || utf8_length(vp->name) > kXportV5NameMax;
    labels.push_back(std::move(label));
    before.push_back(vp->name);
  }
  const int requested = xport_requested_version(option_int(env, kOptOutputVersion));
  w.version = requested ? requested : needs_v8 ? 8 : 5;
  emit_messagef(env, MsgKind::Lib, " The SAS transport file of version %d is being written.", w.version);
  const bool v8 = w.version == 8;

  if (legalize_dictionary_names(env, v8 ? kXportV8Names : kXportNames, kXportCode, true) < 0)
    RaiseError(env, "Error in writing file header", nullptr);
  note_name_changes(env, before, v8 ? kXportV8NameMax : kXportV5NameMax);
  const size_t label_max = v8 ? kXportV8LabelMax : kXportV5LabelMax;
  const bool converts = slot_converts(env.encoding.output[0]);
  size_t k = 0;
  for (auto& vp : env.dict.vars) {
    if (!vp->selected) continue;
    XportOutVar o;
    o.var = vp.get();
    o.label = std::move(labels[k++]);
    if (o.label.size() > label_max) {
      o.label.resize(converts ? label_max : utf8_cut(o.label.data(), o.label.size(), label_max));
      note_change(env, ChangeKind::LabelCut, report_name(*vp), 1);
    }
    switch (vp->ttype) {
      case T_STRING:
        o.kind = kXportString;
        o.length = string_length(*vp, v8 ? kXportV8StringMax : kXportV5StringMax);
        break;
      case T_DATE: o.kind = kXportDate; break;
      case T_TIME: o.kind = kXportTime; break;
      case T_DATETIME: o.kind = kXportDateTime; break;
      default: o.kind = kXportNumber; break;
    }
    w.vars.push_back(std::move(o));
  }
  w.buf.reserve(kFlushAt + 4096);
  put_library_header(env, w);
  if (!flush(w)) {
    SetMessageF(env, "%s", "Error in writing file header");
    return -1;
  }
  return 0;
}

int32_t xport_write_case(EnvRecord& env) {
  XportWriter* wp = writer_state<XportWriter>(env);
  if (!wp) return -1;
  XportWriter& w = *wp;
  const DictState& d = env.dict;
  for (XportOutVar& o : w.vars) {
    const VarRecord& v = *o.var;
    if (o.kind == kXportString) {
      const char* s = "";
      size_t n = 0;
      if (!v.missing && v.is_string()) {
        s = var_get_string(d, v);
        n = std::strlen(s);
      }
      const bool converts = slot_converts(env.encoding.output[0]);
      const std::string_view text = output_string_value(env, s, n);
      s = text.data();
      n = text.size();
      if (n > o.length) {
        n = converts ? o.length : utf8_cut(s, n, o.length);
        ++o.cut;
      }
      put(w, s, n);
      put_blanks(w, o.length - n);
      continue;
    }
    uint8_t ibm[8];
    const double x = v.is_string() ? 0 : var_get_double(d, v);
    if (v.missing || v.is_string() || std::isnan(x)) {
      std::memset(ibm, 0, sizeof ibm);
      const uint16_t code = v.missing;
      // Code 28 has no SAS form: it is written as the system-missing value.
      ibm[0] = code >= 2 && code <= 27 ? static_cast<uint8_t>(code + 63) : code == 29 ? '_' : '.';
    } else {
      if (xport_double_to_ibm(xport_sas_value(o.kind, x), ibm) != kIbmExact) ++o.out_of_range;
    }
    put(w, ibm, sizeof ibm);
  }
  if (w.buf.size() >= kFlushAt && !flush(w)) return -1;
  return 0;
}

int32_t xport_close_output(EnvRecord& env) {
  XportWriter* wp = writer_state<XportWriter>(env);
  if (!wp || !wp->out) return 0;
  XportWriter& w = *wp;
  for (const XportOutVar& o : w.vars) {
    note_change(env, ChangeKind::StringCut, report_name(*o.var), o.cut);
    note_change(env, ChangeKind::ValueOutOfRange, report_name(*o.var), o.out_of_range);
  }
  pad_record(w);
  bool ok = flush(w);
  // A seek writes the stream's own buffer out now, so that a full disk shows here.
  if (ok && w.out->kind == STREAM_FILE && !w.out->not_closable) ok = StreamSeek64(w.out, 0, SEEK_END) == 0;
  if (!ok) {
    engine_stream_add_errors(w.out, kStreamIncomplete);
    RaiseError(env, "Error writing data", nullptr);
  }
  return 0;
}

}  // namespace tabulon
