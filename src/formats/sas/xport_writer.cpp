#include "formats/sas/xport_writer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "api/env_record.h"
#include "api/raise.h"
#include "dict/dictionary.h"
#include "encoding/legalize.h"
#include "encoding/names_pass.h"
#include "encoding/transcode.h"
#include "engine/format_hooks.h"
#include "engine/stream_glue.h"
#include "formats/sas/xport_ibm_float.h"
#include "formats/sas/xport_records.h"
#include "io/stream.h"

namespace tabulon {

namespace {

constexpr size_t kFlushAt = 1 << 20;
constexpr uint32_t kMaxStringLength = 200;
constexpr int32_t kXportCode = 12;

const NameRules kXportNames = {8, kCaseModeUpper, "A-Z", "_0-9A-Z", "0-9_A-Z", "0-9", "var. names"};

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

uint32_t string_length(const VarRecord& v) {
  if (v.output_width >= 1 && v.output_width < kMaxStringLength) return v.output_width;
  const uint32_t w = std::min(v.storage_width, kMaxStringLength);
  return w ? w : 1;
}

void put_namestr(EnvRecord& env, XportWriter& w, const XportOutVar& o, uint32_t number, uint32_t position) {
  uint8_t ns[kXportNamestr];
  std::memset(ns, 0, sizeof ns);
  const VarRecord& v = *o.var;
  put_be16(ns + kNsType, o.kind == kXportString ? 2 : 1);
  put_be16(ns + kNsLength, o.length);
  put_be16(ns + kNsNumber, number);
  std::memset(ns + kNsName, ' ', 8);
  std::memcpy(ns + kNsName, v.name.data(), std::min<size_t>(v.name.size(), 8));
  std::memset(ns + kNsLabel, ' ', 40);
  if (!v.label.empty()) {
    const std::string label = output_text(env, v.label, "Error encoding output variable label, ", 40);
    std::memcpy(ns + kNsLabel, label.data(), label.size());
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

void put_library_header(EnvRecord& env, XportWriter& w) {
  const std::string stamp = creation_stamp();
  const std::string member = xport_member_name(env.transfer.output_path);
  put_header(w, "LIBRARY", kZeroDigits);
  Record lib;
  lib.set(0, "SAS", 8);
  lib.set(8, "SAS", 8);
  lib.set(16, "SASLIB", 8);
  lib.set(24, "6.06", 8);
  lib.set(32, "bsd4.2", 8);
  lib.set(64, stamp.c_str(), 16);
  put(w, lib.bytes, kXportRecord);
  Record modified;
  modified.set(0, stamp.c_str(), 16);
  put(w, modified.bytes, kXportRecord);

  put_header(w, "MEMBER", kMemberDigits);
  put_header(w, "DSCRPTR", kZeroDigits);
  Record mem;
  mem.set(0, "SAS", 8);
  mem.set(8, member.c_str(), 8);
  mem.set(16, "SASDATA", 8);
  mem.set(24, "6.06", 8);
  mem.set(32, "bsd4.2", 8);
  mem.set(64, stamp.c_str(), 16);
  put(w, mem.bytes, kXportRecord);
  Record second = modified;  // the data set label sits at 32, 40 bytes
  if (env.dict.has_file_label && !env.dict.file_label.empty())
    second.set(32, output_text(env, env.dict.file_label, "Error encoding output file label, ", 40).c_str(), 40);
  put(w, second.bytes, kXportRecord);

  char digits[31];
  std::snprintf(digits, sizeof digits, "000000%04u00000000000000000000", static_cast<unsigned>(w.vars.size() % 10000));
  put_header(w, "NAMESTR", digits);
  uint32_t position = 0, number = 0;
  for (const XportOutVar& o : w.vars) {
    put_namestr(env, w, o, ++number, position);
    position += o.length;
  }
  const size_t tail = w.written % kXportRecord;
  if (tail) put_blanks(w, kXportRecord - tail);
  put_header(w, "OBS", kZeroDigits);
}

}  // namespace

std::string xport_member_name(const std::string& path) {
  size_t start = path.find_last_of("/\\");
  start = start == std::string::npos ? 0 : start + 1;
  std::string base = path.substr(start);
  const size_t dot = base.rfind('.');
  if (dot != std::string::npos && dot > 0) base.resize(dot);
  std::string name;
  for (char c : base) {
    if (name.size() == 8) break;
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    const bool letter = (c >= 'A' && c <= 'Z') || c == '_';
    const bool digit = c >= '0' && c <= '9';
    if (name.empty() && digit) name += '_';
    if (name.size() < 8) name += letter || digit ? c : '_';
  }
  return name.empty() ? std::string("DATA") : name;
}

double xport_sas_value(uint8_t kind, double day) {
  switch (kind) {
    case kXportDate: return day - kXportEpochDays;
    case kXportTime: return std::nearbyint(day * kXportSecondsPerDay * 1e6) / 1e6;
    case kXportDateTime: {
      // Before 30 December 1899 a day number keeps its time apart from its sign (-1.25 is
      // 29 December 1899 at 06:00). Day fractions carry binary noise: whole microseconds
      // of the time are kept.
      const double whole = std::trunc(day);
      const double time = std::fabs(day - whole);
      return (whole - kXportEpochDays) * kXportSecondsPerDay + std::nearbyint(time * kXportSecondsPerDay * 1e6) / 1e6;
    }
    default: return day;
  }
}

int32_t xport_open_output(EnvRecord& env) {
  XportWriter& w = make_writer_state<XportWriter>(env);
  w.out = env.transfer.output_stream.get();
  if (!w.out) RaiseError(env, "Output file is not open", nullptr);
  if (legalize_dictionary_names(env, kXportNames, kXportCode, true) < 0)
    RaiseError(env, "Error in writing file header", nullptr);
  for (auto& vp : env.dict.vars) {
    if (!vp->selected) continue;
    XportOutVar o;
    o.var = vp.get();
    switch (vp->ttype) {
      case T_STRING:
        o.kind = kXportString;
        o.length = string_length(*vp);
        break;
      case T_DATE: o.kind = kXportDate; break;
      case T_TIME: o.kind = kXportTime; break;
      case T_DATETIME: o.kind = kXportDateTime; break;
      default: o.kind = kXportNumber; break;
    }
    w.vars.push_back(o);
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
  for (const XportOutVar& o : w.vars) {
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
      if (n > o.length) n = converts ? o.length : utf8_cut(s, n, o.length);
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
      xport_double_to_ibm(xport_sas_value(o.kind, x), ibm);
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
  const size_t tail = w.written % kXportRecord;
  if (tail) put_blanks(w, kXportRecord - tail);
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
