#include "formats/spss/por_writer.h"
#include "formats/spss/spss_formats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <strings.h>
#include <vector>

#include "api/env_record.h"
#include "api/messages.h"
#include "dates/day_number.h"
#include "api/raise.h"
#include "dict/dictionary.h"
#include "encoding/legalize.h"
#include "encoding/names_pass.h"
#include "encoding/transcode.h"
#include "engine/format_hooks.h"
#include "engine/stream_glue.h"
#include "formats/spss/por_base30.h"
#include "formats/spss/por_charset.h"
#include "engine/change_report.h"
#include "formats/spss/por_reader.h"
#include "dict/user_missing.h"
#include "io/stream.h"

namespace tabulon {

namespace {

constexpr size_t kFlushAt = 1 << 20;
constexpr uint32_t kMaxStringWidth = 255;
constexpr double kSecondsPerDay = 86400.0;
constexpr double kDaysFrom1582 = 115859.0;  // 14 October 1582 to 30 December 1899

// ---- output: every character through the line counter ----

// False when the stream reports an error.
bool flush(PorWriter& w) {
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

// Characters go out in lines of 80: the 81st starts a new line after CR LF.
void put(PorWriter& w, const char* p, size_t n) {
  while (n) {
    if (w.column == 79) {
      w.buf += "\r\n";
      w.column = -1;
    }
    const size_t k = std::min(static_cast<size_t>(79 - w.column), n);
    w.buf.append(p, k);
    w.column += static_cast<int32_t>(k);
    p += k;
    n -= k;
  }
}
void put(PorWriter& w, const char* s) { put(w, s, std::strlen(s)); }
void put_blanks(PorWriter& w, size_t n) {
  static const char kBlanks[] = "                                                                ";
  while (n) {
    const size_t k = std::min(n, sizeof kBlanks - 1);
    put(w, kBlanks, k);
    n -= k;
  }
}

void put_integer(PorWriter& w, int64_t value) {
  char field[kPorFieldMax];
  put(w, field, por_format_integer(value, field));
}

void put_number(PorWriter& w, double value) {
  if (!std::isfinite(value)) {
    put(w, "*.", 2);
    return;
  }
  char field[kPorFieldMax];
  put(w, field, por_format_number(value, field));
}

void put_string(PorWriter& w, const char* p, size_t n) {
  put_integer(w, static_cast<int64_t>(n));
  put(w, p, n);
}
void put_string(PorWriter& w, const std::string& s) { put_string(w, s.data(), s.size()); }

// ---- text through the portable character set ----

// Text of the dictionary as the file's characters; characters the set lacks are counted
// against the variable.
std::string portable_text(EnvRecord& env, const VarRecord& v, const std::string& s) {
  std::string out;
  out.reserve(s.size());
  if (const size_t changed = por_encode(s.data(), s.size(), out))
    note_change(env, ChangeKind::CharReplaced, v.name, static_cast<int64_t>(changed));
  return out;
}

// Names in printable ASCII before the name rules apply ("bondjoû" becomes "bondjou"); the
// change is reported here when the rules leave the name otherwise as it is.
struct NameChange {
  VarRecord* var;
  std::string original, ascii;
};
std::vector<NameChange> transliterate_names(EnvRecord& env) {
  std::vector<NameChange> changed;
  for (auto& vp : env.dict.vars) {
    if (!vp->selected || is_ascii(vp->name.data(), vp->name.size())) continue;
    NameChange c{vp.get(), vp->name, {}};
    por_ascii(c.original.data(), c.original.size(), c.ascii);
    var_set_name(*vp, c.ascii);
    changed.push_back(std::move(c));
  }
  return changed;
}

// Names are written in upper case, as portable files carry them. Labels keep their case: it is
// the user's text.
std::string upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

// Dictionary strings longer than 255 bytes are refused by readers: labels are cut (whole
// characters) with the system-file writer's warnings.
std::string label_text(EnvRecord& env, const VarRecord& v, const std::string& text, bool value_label) {
  std::string out = portable_text(env, v, text);
  if (out.size() <= kMaxStringWidth) return out;
  out.resize(kMaxStringWidth);
  emit_messagef(env, MsgKind::Warning,
                value_label ? "The width of the val.label assigned to the variable %s was truncated to %zu bytes, "
                              "since this is the max. value label length, supported by SPSS"
                            : "The width of the var.label assigned to the variable %s was truncated to %zu bytes, "
                              "since this is the max. var. label length, supported by SPSS",
                v.name.c_str(), out.size());
  return out;
}

// User-missing values of a numeric variable, as the input declares them: "8" a value, "9"
// lowest thru x, "A" x thru highest, "B" a range. SPSS holds three values, or one range and
// one value; the range goes first.
struct MissingOut {
  char tag;
  double low, high;
};

std::vector<MissingOut> input_missing(EnvRecord& env, const VarRecord& v) {
  std::vector<MissingOut> ranges, values;
  auto add = [&](char tag, double low, double high) {
    (tag == '8' ? values : ranges).push_back({tag, low, high});
  };
  if (const MissingSpec* m = input_missing_spec(env, v)) {
    for (int i = 0; i < m->count && i < 3; ++i) {
      const MissingEntry& e = m->entry[i];
      switch (e.kind) {
        case kMissValue: add('8', e.value, 0); break;
        case kMissAtMost:
        case kMissBelow: add('9', e.value, 0); break;
        case kMissAtLeast:
        case kMissAbove: add('A', e.value, 0); break;
        case kMissRange: add('B', e.value, e.high); break;
        default: break;
      }
    }
  }
  if (ranges.empty()) return values;
  std::vector<MissingOut> out{ranges.front()};
  if (!values.empty()) out.push_back(values.front());
  return out;
}

uint32_t string_width(const VarRecord& v) {
  const uint32_t w = v.output_width ? v.output_width : v.print_width;
  return w ? w : 1;
}

// ---- header and dictionary ----

void put_header(EnvRecord& env, PorWriter& w) {
  char vanity[41];
  std::snprintf(vanity, sizeof vanity, "%-40s", "ASCII SPSS PORT FILE");
  for (int i = 0; i < 5; ++i) put(w, vanity, 40);
  const std::string& table = por_translation_table();
  put(w, table.data(), table.size());
  put(w, "SPSSPORT");

  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char date[32];
  std::snprintf(date, sizeof date, "%d%2.2d%2.2d", 2000 + tm.tm_year % 100, tm.tm_mon + 1, tm.tm_mday);
  put(w, "A");
  put_string(w, date, std::strlen(date));
  // Readers check the time as HHMMSS digits.
  char clock[16];
  std::snprintf(clock, sizeof clock, "%02d%02d%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
  put_string(w, clock, 6);
  put(w, "1");
  put_string(w, "TABULON", 7);
  put(w, "4");
  put_integer(w, static_cast<int64_t>(w.vars.size()));
  put(w, "5");
  put_integer(w, 10);

  for (const PorOutVar& o : w.vars) {
    const VarRecord& v = *o.var;
    put(w, "7");
    put_integer(w, o.kind == kPorOutString ? o.width : 0);
    put_string(w, upper(v.name));
    SpssFormat given;
    if (o.kind != kPorOutString && spss_input_format(env, v, &given)) {  // SPSS to SPSS: as it was
      for (int i = 0; i < 2; ++i) {
        put_integer(w, given.type);
        put_integer(w, given.width);
        put_integer(w, given.decimals);
      }
    } else switch (v.ttype) {
      case T_STRING:
        for (int i = 0; i < 2; ++i) {
          put(w, "1/");
          put_integer(w, o.width);
          put(w, "0/");
        }
        break;
      // SPSS's own codes of DATE11, TIME5 and DATETIME20 (20, 21, 22): other readers
      // refuse the codes shifted by 82.
      case T_DATE: put(w, "K/B/0/K/B/0/"); break;
      case T_TIME: put(w, "L/5/0/L/5/0/"); break;
      case T_DATETIME: put(w, "M/K/0/M/K/0/"); break;
      default: put(w, "5/9/2/5/9/2/"); break;
    }
    if (o.kind == kPorOutNumber) {
      for (const MissingOut& m : input_missing(env, v)) {
        put(w, &m.tag, 1);
        put_number(w, m.low);
        if (m.tag == 'B') put_number(w, m.high);
      }
    } else if (const MissingTexts* m = o.width <= 8 ? input_missing_texts(env, v) : nullptr) {
      // Discrete values of short strings, as SPSS declares them, blank-padded like the data;
      // one longer than the variable can match no value of it.
      for (int i = 0; i < m->count && i < 3; ++i) {
        std::string value = portable_text(env, v, m->value[i]);
        if (value.size() > o.width) continue;
        value.append(o.width - value.size(), ' ');
        put(w, "8");
        put_string(w, value);
      }
    }
    if (!v.label.empty()) {
      put(w, "C");
      put_string(w, label_text(env, v, v.label, false));
    }
  }

  for (const PorOutVar& o : w.vars) {
    const VarRecord& v = *o.var;
    const bool text = o.kind == kPorOutString;
    // Labels of extended missing codes (and text values of a numeric variable) have no place here.
    size_t count = 0;
    for (const ValueLabel& l : v.value_labels) count += (l.missing == 0 && l.has_text == text) ? 1 : 0;
    if (count == 0) continue;
    put(w, "D");
    put_integer(w, 1);
    put_string(w, upper(v.name));
    put_integer(w, static_cast<int64_t>(count));
    for (const ValueLabel& l : v.value_labels) {
      if (l.missing != 0 || l.has_text != text) continue;
      if (text) {
        std::string value = portable_text(env, v, l.text);
        if (value.size() > 8) value.resize(8);
        // Blank-padded to the width like the data, so that readers match them.
        if (value.size() < o.width) value.append(o.width - value.size(), ' ');
        put_string(w, value);
      } else {
        put_number(w, l.value);
      }
      put_string(w, label_text(env, v, l.label, true));
    }
  }
  put(w, "F");
}

}  // namespace

double por_day_to_seconds(double day) {
  // The time of a day before 30 December 1899 is kept apart from the day's sign.
  const double whole = std::trunc(day);
  const double time = std::fabs(day - whole);
  return (whole + kDaysFrom1582) * kSecondsPerDay + std::nearbyint(time * kSecondsPerDay * 1e6) / 1e6;
}

double por_time_to_seconds(double day) { return time_to_seconds(day); }

int32_t por_open_output(EnvRecord& env) {
  PorWriter& w = make_writer_state<PorWriter>(env);
  w.out = env.transfer.output_stream.get();
  if (!w.out) RaiseError(env, "Output file is not open", nullptr);
  const std::vector<NameChange> transliterated = transliterate_names(env);
  if (legalize_dictionary_names(env, kRulesPortableMixed, 13, false) < 0)
    RaiseError(env, "Error in writing file header", nullptr);
  for (const NameChange& c : transliterated) {
    VarRecord& v = *c.var;
    // The rules counted the change when they changed more than the case.
    if (strcasecmp(v.name.c_str(), c.ascii.c_str()) == 0) {
      note_change(env, ChangeKind::NameChanged, c.original, 1);
      emit_messagef(env, MsgKind::Warning, "The original name of var.[%s][%zu] was changed to [%s][%zu]",
                    c.original.c_str(), c.original.size(), v.name.c_str(), v.name.size());
    }
    var_set_input_name(v, c.original);
  }
  for (auto& vp : env.dict.vars) {
    if (!vp->selected) continue;
    PorOutVar o;
    o.var = vp.get();
    switch (vp->ttype) {
      case T_STRING:
        o.kind = kPorOutString;
        o.width = string_width(*vp);
        // Readers refuse wider strings in a portable file.
        if (o.width > kMaxStringWidth) {
          o.width = kMaxStringWidth;
          emit_messagef(env, MsgKind::Warning,
                        "The width of the variable %s was truncated to %u bytes, since this is the max. string "
                        "length, supported by SPSS",
                        vp->name.c_str(), kMaxStringWidth);
        }
        break;
      case T_DATE:
      case T_DATETIME: o.kind = kPorOutDate; break;
      case T_TIME: o.kind = kPorOutTime; break;
      default: o.kind = kPorOutNumber; break;
    }
    w.vars.push_back(o);
  }
  w.buf.reserve(kFlushAt + 4096);
  put_header(env, w);
  if (!flush(w)) {
    SetMessageF(env, "%s", "Error in writing file header");
    return -1;
  }
  return 0;
}

int32_t por_write_case(EnvRecord& env) {
  PorWriter* wp = writer_state<PorWriter>(env);
  if (!wp) return -1;
  PorWriter& w = *wp;
  const DictState& d = env.dict;
  for (PorOutVar& o : w.vars) {
    const VarRecord& v = *o.var;
    if (o.kind == kPorOutString) {
      const char* s = "";
      size_t n = 0;
      if (!v.missing && v.is_string()) {
        s = var_get_string(d, v);
        n = std::strlen(s);
      }
      w.text.clear();
      if (n) o.replaced += static_cast<int64_t>(por_encode(s, n, w.text));
      n = w.text.size();
      if (n > o.width) {  // transliteration made it longer than the declared width
        n = o.width;
        ++o.cut;
      }
      // Values are blank-padded to the width: some readers keep the tail of the previous
      // value behind a shorter one.
      put_integer(w, o.width);
      put(w, w.text.data(), n);
      put_blanks(w, o.width - n);
      continue;
    }
    const double x = var_get_double(d, v);
    if (v.missing || v.is_string() || std::isnan(x)) {
      put(w, "*.", 2);
      continue;
    }
    if (std::isinf(x)) {
      ++o.out_of_range;
      put(w, "*.", 2);
      continue;
    }
    switch (o.kind) {
      case kPorOutDate: put_number(w, por_day_to_seconds(x)); break;
      case kPorOutTime: put_number(w, por_time_to_seconds(x)); break;
      default: put_number(w, x); break;
    }
  }
  if (w.buf.size() >= kFlushAt && !flush(w)) return -1;
  return 0;
}

int32_t por_close_output(EnvRecord& env) {
  PorWriter* wp = writer_state<PorWriter>(env);
  if (!wp || !wp->out) return 0;
  PorWriter& w = *wp;
  for (const PorOutVar& o : w.vars) {
    if (o.replaced) note_change(env, ChangeKind::CharReplaced, o.var->name, o.replaced);
    if (o.cut) note_change(env, ChangeKind::StringCut, o.var->name, o.cut);
    if (o.out_of_range) note_change(env, ChangeKind::ValueOutOfRange, o.var->name, o.out_of_range);
  }
  // The end-of-data mark fills the last line.
  do put(w, "Z", 1);
  while (w.column != 79);
  bool ok = flush(w);
  // The stream's own buffer is written out by a seek, so that a full disk shows here rather
  // than pass unseen when the file is closed (standard output and pipes cannot seek).
  if (ok && w.out->kind == STREAM_FILE && !w.out->not_closable) ok = StreamSeek64(w.out, 0, SEEK_END) == 0;
  if (!ok) {
    engine_stream_add_errors(w.out, kStreamIncomplete);
    RaiseError(env, "Error writing data", nullptr);
  }
  return 0;
}

}  // namespace tabulon
