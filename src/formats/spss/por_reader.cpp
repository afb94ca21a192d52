#include "formats/spss/por_reader.h"

#include <cstdlib>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "api/env_record.h"
#include "api/messages.h"
#include "api/option_slots.h"
#include "api/raise.h"
#include "dates/day_number.h"
#include "formats/spss/spss_formats.h"
#include "formats/spss/spss_missing.h"
#include "dict/dict_env.h"
#include "dict/dictionary.h"
#include "dict/value_labels.h"
#include "encoding/transcode.h"
#include "engine/format_error_message.h"
#include "engine/format_hooks.h"
#include "formats/stata/stata_text_encoding.h"
#include "io/stream.h"

namespace tabulon {

namespace {

constexpr int kSignatureSlides = 2000;
constexpr double kSecondsPerDay = 86400.0;
constexpr double kDaysFrom1582 = 115859.0;

// Failure codes of the dictionary (the per-format text carries the number).
constexpr int32_t kErrUnknownTag = 1;
constexpr int32_t kErrExtraVariable = 2;
constexpr int32_t kErrMissingVariable = 3;

enum NumberResult { kNumValue = 0, kNumMissing = 1, kNumEnd = -1, kNumEof = -2 };

}  // namespace

// ---- characters ----


int PorReader::next_from_lines() {
  for (;;) {
    if (padding) {
      if (column < 80) {
        ++column;
        return ' ';
      }
      padding = false;
      column = 0;
      ++lines;
    }
    const int c = in.getc();
    if (c < 0) return -1;
    if (c == '\r' || c == '\n') {
      if (c == '\r') {
        const int d = in.getc();
        if (d >= 0 && d != '\n') in.ungetc();
      }
      if (column >= 80) {
        column = 0;
        ++lines;
      } else {
        padding = true;  // a short line reads as if filled with blanks
      }
      continue;
    }
    if (column >= 80) {  // a line running on without its line end
      column = 0;
      ++lines;
    }
    ++column;
    return decoder.code[c];
  }
}

namespace {

// ---- fields ----

int read_number(PorReader& r, double& out) {
  int c;
  do c = r.next();
  while (c == ' ');
  if (c < 0) return kNumEof;
  if (c == '*') return r.next() < 0 ? kNumEof : kNumMissing;
  if (c == 'Z') return kNumEnd;
  PorNumber& n = r.number;
  n.reset();
  while (c != '/') {
    n.feed(c);
    c = r.next();
    if (c < 0) return kNumEof;
  }
  out = n.value();
  return kNumValue;
}

[[noreturn]] void dict_eof(EnvRecord& env) {
  RaiseError(env, "The SPSS portable file ends inside its dictionary (file truncated?)", nullptr);
}

[[noreturn]] void bad_field(EnvRecord& env, PorReader& r, const char* what) {
  RaiseErrorF(env, "Bad %s in the SPSS portable file (line %lld, column %d)", what, static_cast<long long>(r.lines),
              r.column);
}

// A count or length of the dictionary: the whole part of a number field.
int64_t dict_integer(EnvRecord& env, PorReader& r, const char* what) {
  double x = 0;
  const int rc = read_number(r, x);
  if (rc == kNumEof) dict_eof(env);
  if (rc != kNumValue || !(x > -2147483648.0 && x < 2147483648.0)) bad_field(env, r, what);
  return static_cast<int64_t>(x);
}

double dict_number(EnvRecord& env, PorReader& r, bool& missing) {
  double x = 0;
  const int rc = read_number(r, x);
  if (rc == kNumEof) dict_eof(env);
  if (rc == kNumEnd) bad_field(env, r, "number");
  missing = rc == kNumMissing;
  return x;
}

// A string of the dictionary into r.text, keeping at most `keep` characters.
void dict_string(EnvRecord& env, PorReader& r, size_t keep) {
  const int64_t n = dict_integer(env, r, "string length");
  if (n < 0) bad_field(env, r, "string length");
  r.text.clear();
  for (int64_t i = 0; i < n; ++i) {
    const int c = r.next();
    if (c < 0) dict_eof(env);
    if (static_cast<size_t>(i) < keep) por_append_decoded(c, r.text);
  }
}

// Text that is not UTF-8 while no input encoding was named: Windows-1252, as SPSS wrote it.
bool use_cp1252(const PorReader& r, const char* p, size_t n) {
  return r.cp1252_fallback && !is_ascii(p, n) && !utf8_valid(reinterpret_cast<const unsigned char*>(p), n);
}

std::string input_text(EnvRecord& env, const std::string& s, const char* context, int32_t variable = 0) {
  ConverterSlot& slot = env.encoding.input[0];
  if (s.empty() || (slot_converts(slot) && slot.ascii_identity && is_ascii(s.data(), s.size()))) return s;
  if (!slot_converts(slot)) {
    const PorReader* r = reader_state<PorReader>(env);
    if (!r || !use_cp1252(*r, s.data(), s.size())) return s;
    std::string out;
    cp1252_to_utf8(reinterpret_cast<const unsigned char*>(s.data()), s.size(), out);
    return out;
  }
  TranscodeCall call;
  call.context = context;
  call.variable = variable;
  return transcode_to_string(env, slot, s.data(), s.size(), call);
}

int32_t dict_failure(EnvRecord& env, PorReader& r, int32_t code, const char* detail) {
  emit_messagef(env, MsgKind::Error, "%s (line %lld, column %d).", detail, static_cast<long long>(r.lines), r.column);
  BuildFormatErrorMessage(env, 1, code, 1, nullptr, 0);
  return -1;
}

// ---- dictionary records ----

bool is_date_code(int64_t t) { return (t >= 20 && t <= 30) || t == 38 || t == 39; }

// Format codes: SPSS's own, or the same shifted by 82 as some writers put them.
uint16_t ttype_of_format(int64_t code) {
  const int64_t t = is_date_code(code) ? code : code - 82;
  if (!is_date_code(t)) return T_FLOAT;
  return t == 21 ? T_TIME : t == 22 ? T_DATETIME : T_DATE;
}

void read_variable(EnvRecord& env, PorReader& r) {
  const int64_t width = dict_integer(env, r, "variable width");
  if (width < 0) bad_field(env, r, "variable width");
  dict_string(env, r, 11);
  std::string name = r.text;
  while (!name.empty() && name.back() == ' ') name.pop_back();
  const bool made_up = name.empty();
  if (made_up) name = "VAR" + std::to_string(env.dict.count() + 1);
  int64_t fmt[6];
  for (int64_t& x : fmt) x = dict_integer(env, r, "print format");
  PorField f;
  f.is_string = width > 0;
  VarRecord* v;
  const uint32_t print_width = static_cast<uint32_t>(fmt[4] > 0 ? fmt[4] : 0);
  if (f.is_string) {
    f.width = static_cast<uint32_t>(width);
    v = &dict_append_var(env.dict, name, T_STRING, f.width);
    v->print_width = v->output_width = std::max(f.width, print_width);
    f.width = v->print_width;
  } else {
    const uint16_t ttype = ttype_of_format(fmt[3]);
    f.conv = ttype == T_TIME ? kPorConvTime : ttype == T_FLOAT ? kPorConvNone : kPorConvDate;
    v = &dict_append_var(env.dict, name, ttype, 8);
    v->print_width = v->output_width = print_width;
    v->decimals = static_cast<uint8_t>(fmt[5] >= 0 && fmt[5] < 255 ? fmt[5] : 0);
    const int64_t code = fmt[3] > 82 && fmt[3] - 82 <= 41 ? fmt[3] - 82 : fmt[3];
    if (code > 0 && code <= 41 && fmt[4] > 0 && fmt[4] < 256 && fmt[5] >= 0 && fmt[5] <= 16)
      v->native_format = spss_format_text({static_cast<int>(code), static_cast<int>(fmt[4]), static_cast<int>(fmt[5])});
  }
  v->selected = 1;
  if (made_up) v->flags |= kVarNameMadeUp;
  v->reader_aux[1] = fmt[3];
  v->reader_aux[2] = static_cast<int64_t>(r.fields.size()) + 1;  // this variable's field, 1-based

  int used = 0;
  for (;;) {
    int c = r.next();
    if (c < 0) dict_eof(env);
    uint8_t kind = kPorMissNone;
    switch (c) {
      case '8': kind = kPorMissValue; break;
      case '9': kind = kPorMissBelow; break;
      case 'A': kind = kPorMissAbove; break;
      case 'B': kind = kPorMissRange; break;
      case 'C': {
        dict_string(env, r, 255);
        const std::string label = input_text(env, r.text, "Error encoding input variable label, ",
                                              static_cast<int32_t>(env.dict.count()));
        if (!label.empty()) var_set_label(*v, label);
        continue;
      }
      default:
        r.pending = c;
        r.fields.push_back(f);
        return;
    }
    const int values = kind == kPorMissRange ? 2 : 1;
    double x[2] = {0, 0};
    bool missing = false;
    for (int i = 0; i < values; ++i) {
      if (f.is_string) {
        dict_string(env, r, 11);
        // Discrete values are kept for the outputs that declare them again.
        if (kind == kPorMissValue && f.texts.count < 3) {
          std::string text = input_text(env, r.text, "Error encoding input missing value, ");
          while (!text.empty() && text.back() == ' ') text.pop_back();
          f.texts.value[f.texts.count++] = std::move(text);
        }
        continue;
      }
      bool m = false;
      x[i] = dict_number(env, r, m);
      missing = missing || m;
    }
    // Three entries at most; a range takes two or none.
    if (f.is_string || missing || used + values > 3) continue;
    for (int i = 0; i < values; ++i) f.missing[used++] = {kind, x[i]};
  }
}

void read_value_labels(EnvRecord& env, PorReader& r) {
  DictState& d = env.dict;
  const int64_t n = dict_integer(env, r, "variable count");
  if (n < 0) bad_field(env, r, "variable count");
  std::vector<int32_t> members;
  bool strings = false;
  for (int64_t i = 0; i < n; ++i) {
    dict_string(env, r, 8);
    const int32_t at = dict_find(d, r.text);
    if (at < 0) continue;
    members.push_back(at);
    strings = strings || r.fields[static_cast<size_t>(at)].is_string;
  }
  const int64_t m = dict_integer(env, r, "label count");
  if (m < 0) bad_field(env, r, "label count");
  std::vector<ValueLabel> entries;
  entries.reserve(static_cast<size_t>(m < 256 ? m : 256));
  for (int64_t j = 0; j < m; ++j) {
    ValueLabel e;
    bool keep = true;
    if (strings) {
      dict_string(env, r, kLongLabelValue);
      e.text = std::string(label_value_text(r.text, r.long_values));
      e.text = input_text(env, e.text, "Error encoding input value value, ");
      e.has_text = true;
    } else {
      bool missing = false;
      e.value = dict_number(env, r, missing);
      keep = !missing;
    }
    dict_string(env, r, 255);
    e.label = input_text(env, r.text, "Error encoding input value label, ");
    if (keep) entries.push_back(std::move(e));
  }
  if (members.empty()) return;
  const bool shared = option_int(env, kOptPreserveLabelSets) != 0 && n >= 2;
  std::string set_name;
  if (shared) set_name = "LAB" + std::to_string(++r.label_sets);
  int64_t position = 0;
  for (int32_t at : members) {
    VarRecord* v = dict_var(d, at);
    v->value_labels = entries;
    v->reader_text = shared ? set_name : v->name;
    v->reader_aux[0] = ++position;
    d.value_labels_present = true;
  }
}

// ---- cases ----

bool matches(const PorField& f, double x, int32_t mode, uint16_t& code, bool map) {
  if (mode == 2) return false;
  for (int i = 0; i < 3; ++i) {
    const PorMissing& m = f.missing[i];
    bool hit = false;
    switch (m.kind) {
      case kPorMissValue: hit = std::fabs(x - m.value) < 1e-6; break;
      case kPorMissAbove: hit = x >= m.value; break;
      case kPorMissBelow: hit = x <= m.value; break;
      case kPorMissRange:
        if (i + 1 < 3 && f.missing[i + 1].kind == kPorMissRange) {
          hit = x >= m.value && x <= f.missing[i + 1].value;
          if (!hit) ++i;  // both ends are one entry
        }
        break;
      default: return false;
    }
    if (hit) {
      code = map ? static_cast<uint16_t>(2 + i) : kSystemMissing;
      return true;
    }
    if (mode == 1) return false;  // only the first entry counts
  }
  return false;
}

[[noreturn]] void case_eof(EnvRecord& env, PorReader& r) {
  RaiseErrorF(env, "The SPSS portable file ends inside case %lld (file truncated?)",
              static_cast<long long>(r.delivered + 1));
}

}  // namespace

const PorField* por_input_field(EnvRecord& env, const VarRecord& v) {
  if (env.transfer.input_code != 13) return nullptr;
  const auto* r = dynamic_cast<const PorReader*>(env.transfer.reader_state.get());
  const int64_t at = v.reader_aux[2] - 1;
  if (!r || at < 0 || at >= static_cast<int64_t>(r->fields.size())) return nullptr;
  return &r->fields[static_cast<size_t>(at)];
}

const MissingSpec* por_user_missing(EnvRecord& env, const VarRecord& v) {
  const PorField* f = por_input_field(env, v);
  if (!f || f->is_string) return nullptr;
  auto* r = dynamic_cast<PorReader*>(env.transfer.reader_state.get());
  if (r->declared_missing.size() != r->fields.size()) {
    r->declared_missing.clear();
    for (const PorField& field : r->fields) r->declared_missing.push_back(spss_missing_spec(field.missing, 3));
  }
  const MissingSpec& m = r->declared_missing[static_cast<size_t>(f - r->fields.data())];
  return m.count ? &m : nullptr;
}

const MissingTexts* por_user_missing_texts(EnvRecord& env, const VarRecord& v) {
  const PorField* f = por_input_field(env, v);
  return f && f->is_string && f->texts.count ? &f->texts : nullptr;
}

int32_t por_read_dict(EnvRecord& env) {
  Stream* stream = env.transfer.input_stream.get();
  if (!stream) RaiseError(env, "Input file is not open", nullptr);
  PorReader& r = make_reader_state<PorReader>(env);
  r.in.attach(stream);
  r.map_user_missing = option_int(env, kOptMapUserMissing) != 0;
  r.long_values = dict_long_values(env);
  r.cp1252_fallback = stata_input_encoding_is_default(env);

  // The signature is searched; the 256 characters before it are the file's translation table,
  // through which everything after it is read.
  std::string head;
  for (int slide = -7;; ++slide) {
    if (slide >= kSignatureSlides) RaiseError(env, "Not a SPSS Export File", nullptr);
    const int c = r.next();
    if (c < 0) RaiseError(env, "Not a SPSS Export File", nullptr);
    head.push_back(static_cast<char>(c));
    if (head.size() >= 8 && head.compare(head.size() - 8, 8, "SPSSPORT") == 0) break;
  }
  if (head.size() >= 264)
    r.decoder.build(reinterpret_cast<const unsigned char*>(head.data() + head.size() - 264));

  const int version = r.next();
  if (version < 0) dict_eof(env);
  DatasetFacts& facts = env.transfer.facts;
  facts.release = std::string("version ") + static_cast<char>(version);
  facts.compression = "none";
  dict_string(env, r, 8);           // creation date, yyyymmdd
  const std::string date = r.text;
  dict_string(env, r, 6);           // creation time, hhmmss
  if (date.size() == 8 && r.text.size() == 6) {
    auto num = [](const std::string& t, size_t at, size_t n) { return std::atoi(t.substr(at, n).c_str()); };
    facts.created = fact_time(num(date, 0, 4), num(date, 4, 2), num(date, 6, 2), num(r.text, 0, 2), num(r.text, 2, 2),
                              num(r.text, 4, 2));
  }
  for (;;) {
    int tag;
    do tag = r.next();
    while (tag == ' ');
    if (tag < 0) dict_eof(env);
    switch (tag) {
      case '1':  // product
        dict_string(env, r, 64);
        facts.software = fact_text(r.text.data(), r.text.size());
        break;
      case '2':  // author
      case '3':  // sub-product
        dict_string(env, r, 64);
        break;
      case '4': {
        r.declared_vars = dict_integer(env, r, "variable count");
        if (r.declared_vars < 0) bad_field(env, r, "variable count");
        break;
      }
      case '5':
        // The precision declared is not a limit here: numbers of any length are read
        // (ReadStat declares 50 digits). A negative count is damage.
        if (dict_integer(env, r, "precision") < 0) bad_field(env, r, "precision");
        break;
      case '6':  // weight variable
        dict_string(env, r, 8);
        break;
      case '7':
        if (static_cast<int64_t>(r.fields.size()) >= r.declared_vars)
          return dict_failure(env, r, kErrExtraVariable, "More variable records than the variable count");
        read_variable(env, r);
        break;
      case 'D': read_value_labels(env, r); break;
      case 'E': {  // documents
        const int64_t n = dict_integer(env, r, "document line count");
        for (int64_t i = 0; i < n; ++i) dict_string(env, r, 0);
        break;
      }
      case 'F':
        if (r.fields.empty()) RaiseError(env, "The SPSS portable file has no variables", nullptr);
        if (static_cast<int64_t>(r.fields.size()) < r.declared_vars)
          return dict_failure(env, r, kErrMissingVariable, "Fewer variable records than the variable count");
        r.delivered = 0;
        return 0;
      default: {
        char detail[64];
        std::snprintf(detail, sizeof detail, "Unknown record tag [%c] in the SPSS portable file",
                      tag >= 32 && tag < 127 ? tag : '?');
        return dict_failure(env, r, kErrUnknownTag, detail);
      }
    }
  }
}

int32_t por_read_case(EnvRecord& env) {
  PorReader* rp = reader_state<PorReader>(env);
  if (!rp) return kEndOfData;
  PorReader& r = *rp;
  DictState& d = env.dict;
  // Asked per case, not at the dictionary: the output (open by now) may declare the values.
  r.user_missing_mode = reader_user_missing_mode(env);
  const size_t count = r.fields.size();
  for (size_t i = 0; i < count; ++i) {
    const PorField& f = r.fields[i];
    VarRecord& v = *d.vars[i];
    const bool take = v.selected && v.storage_width > 0;
    double x = 0;
    const int rc = read_number(r, x);
    if (rc == kNumEnd) return kEndOfData;
    if (rc == kNumEof) {
      if (i > 0) case_eof(env, r);
      emit_message(env, MsgKind::Warning, "The SPSS portable file has no end-of-data mark (file truncated?)");
      return kEndOfData;
    }
    if (f.is_string) {
      if (rc == kNumMissing || !(x >= 0 && x < 2147483648.0)) bad_field(env, r, "string length");
      const int64_t n = static_cast<int64_t>(x);
      r.text.clear();
      for (int64_t k = 0; k < n; ++k) {
        const int c = r.next();
        if (c < 0) case_eof(env, r);
        if (take && static_cast<uint64_t>(k) < f.width) por_append_decoded(c, r.text);
      }
      if (!take) continue;
      size_t len = r.text.size();
      while (len > 0 && r.text[len - 1] == ' ') --len;
      if (len == 0) {
        var_set_missing(d, v);
        continue;
      }
      ConverterSlot& slot = env.encoding.input[0];
      if (slot_converts(slot) && !(slot.ascii_identity && is_ascii(r.text.data(), len))) {
        TranscodeCall call;
        call.context = "Error encoding input string value, ";
        call.variable = static_cast<int32_t>(i + 1);
        call.record = r.delivered + 1;
        const int64_t out = transcode_string(env, slot, r.text.data(), len, nullptr, 0, call);
        var_set_string(d, v, slot.out_buf.data(), out > 0 ? static_cast<size_t>(out) : 0);
      } else if (use_cp1252(r, r.text.data(), len)) {
        r.scratch.clear();
        cp1252_to_utf8(reinterpret_cast<const unsigned char*>(r.text.data()), len, r.scratch);
        var_set_string(d, v, r.scratch);
      } else {
        var_set_string(d, v, r.text.data(), len);
      }
      continue;
    }
    if (!take) continue;
    if (rc == kNumMissing || !std::isfinite(x)) {  // a damaged exponent too
      var_set_missing(d, v);
      continue;
    }
    uint16_t code = 0;
    if (f.missing[0].kind && matches(f, x, r.user_missing_mode, code, r.map_user_missing)) {
      var_set_missing(d, v, code);
      continue;
    }
    if (f.conv == kPorConvDate)
      x = signed_days_to_day_number(x / kSecondsPerDay - kDaysFrom1582);
    else if (f.conv == kPorConvTime)
      x = x / kSecondsPerDay;
    var_set_double(d, v, x);
  }
  ++r.delivered;
  return kCaseRead;
}

int32_t por_save_position(EnvRecord& env) {
  PorReader* r = reader_state<PorReader>(env);
  if (!r) return -1;
  r->saved_offset = r->in.tell();
  r->saved_column = r->column;
  r->saved_padding = r->padding;
  r->saved_lines = r->lines;
  r->saved_delivered = r->delivered;
  return 0;
}

int32_t por_restore_position(EnvRecord& env) {
  PorReader* r = reader_state<PorReader>(env);
  if (!r || r->saved_offset < 0 || !r->in.seek(r->saved_offset)) return -1;
  r->column = r->saved_column;
  r->padding = r->saved_padding;
  r->lines = r->saved_lines;
  r->delivered = r->saved_delivered;
  r->pending = -1;
  return 0;
}

}  // namespace tabulon
