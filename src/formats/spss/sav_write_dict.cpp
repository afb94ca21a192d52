// Header and dictionary records of an SPSS system file.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "api/env_record.h"
#include "api/messages.h"
#include "dict/dictionary.h"
#include "encoding/transcode.h"
#include "formats/spss/sav_writer.h"

namespace tabulon {

namespace {

constexpr char kProduct[] = "@(#) SPSS DATA FILE - Tabulon Ver. ";
constexpr char kVersion[] = "12.1.196.1216";

std::string output_text(EnvRecord& env, const SavWriter& w, const std::string& s, const char* context) {
  if (s.empty() || !w.converts) return s;
  TranscodeCall call;
  call.context = context;
  return transcode_to_string(env, env.encoding.output[0], s.data(), s.size(), call);
}

size_t cut_length(const SavWriter& w, const std::string& s, size_t max) {
  if (s.size() <= max) return s.size();
  return w.converts ? max : utf8_cut(s.data(), s.size(), max);
}

// Record 1: product, layout, counts (patched at close), bias, creation stamp, file label.
void put_header(EnvRecord& env, SavWriter& w) {
  std::string product = w.zlib ? "$FL3" : "$FL2";
  product += kProduct;
  product += kVersion;
  sav_put_padded(w, product, 64, ' ');
  sav_put32(w, kSavLayoutCode);
  sav_put32(w, 0);   // nominal case size
  sav_put32(w, w.zlib ? 2 : 1);  // bytecode, or bytecode in zlib blocks
  sav_put32(w, 0);   // no weight variable
  sav_put32(w, -1);  // cases
  sav_put_double(w, kSavBias);
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%02d %s %02d%02d:%02d:%02d", tm.tm_mday % 100, kMonths[tm.tm_mon % 12],
                tm.tm_year % 100, tm.tm_hour % 100, tm.tm_min % 100, tm.tm_sec % 100);
  sav_put_padded(w, stamp, 17, ' ');
  std::string label;
  if (env.dict.has_file_label) {
    label = output_text(env, w, env.dict.file_label, "Error encoding output file label, ");
    label.resize(cut_length(w, label, 64));
  }
  sav_put_padded(w, label, 64, ' ');
  sav_put_padded(w, std::string(), 3, '\0');
}

// One type 2 record; width 0 for numbers, -1 for a continuation.
void put_variable(SavWriter& w, int32_t type, int32_t format, const std::string& name,
                  const SavOutVar* first) {
  sav_put32(w, 2);
  sav_put32(w, type);
  const bool labelled = first && !first->label.empty();
  sav_put32(w, labelled ? 1 : 0);
  sav_put32(w, first ? first->n_missing : 0);
  sav_put32(w, format);
  sav_put32(w, format);
  sav_put_padded(w, name, 8, ' ');
  if (labelled) {
    const size_t n = first->label.size();
    sav_put32(w, static_cast<int32_t>(n));
    sav_put_padded(w, first->label, (n + 3) / 4 * 4, '\0');
  }
  if (first && first->n_missing) {
    const int count = first->n_missing < 0 ? -first->n_missing : first->n_missing;
    for (int k = 0; k < count; ++k) {
      if (type > 0)
        sav_put_padded(w, first->missing_text[k], 8, ' ');
      else
        sav_put_double(w, first->missing[k]);
    }
  }
}

void put_string_units(SavWriter& w, uint32_t width, const std::string& name, const SavOutVar* first) {
  put_variable(w, static_cast<int32_t>(width), (kSavFmtA << 16) | static_cast<int32_t>(width << 8), name,
               first);
  for (uint32_t u = 1; u < (width + 7) / 8; ++u) put_variable(w, -1, 0, std::string(), nullptr);
}

void put_variables(SavWriter& w) {
  for (const SavOutVar& o : w.vars) {
    if (o.kind != kSavString) {
      put_variable(w, 0, o.format, o.short_name, &o);
      continue;
    }
    for (uint32_t k = 0; k < o.segments; ++k) {
      const uint32_t width =
          k + 1 < o.segments ? kSavSegmentWidth : o.width - (o.segments - 1) * kSavSegmentStep;
      put_string_units(w, width, k == 0 ? o.short_name : o.segment_names[k - 1], k == 0 ? &o : nullptr);
    }
  }
}

struct LongLabels {
  std::string bytes;  // body of the type 7 subtype 21 record
  void put32(int32_t v) { bytes.append(reinterpret_cast<const char*>(&v), 4); }
};

std::string label_text(EnvRecord& env, const SavWriter& w, const SavOutVar& o, const ValueLabel& l) {
  std::string text = output_text(env, w, l.label, "Error encoding output value label, ");
  const size_t keep = cut_length(w, text, w.value_label_max);
  if (keep < text.size()) {
    text.resize(keep);
    emit_messagef(
        env, MsgKind::Warning,
        "The width of the val.label assigned to the variable %s was truncated to %zu bytes, since this is "
        "the max. value label length, supported by SPSS",
        o.var->name.c_str(), keep);
  }
  return text;
}

// String value of a label, cut to the column.
std::string label_value(EnvRecord& env, const SavWriter& w, const SavOutVar& o, const ValueLabel& l) {
  std::string value = output_text(env, w, l.text, "Error encoding output value value, ");
  if (value.size() > o.width) {
    emit_messagef(
        env, MsgKind::Warning,
        "The length of value of the value label, assigned to the variable [%s] will be truncated because it "
        "exceedes the width of the column (%u) bytes.",
        o.var->name.c_str(), o.width);
    value.resize(cut_length(w, value, o.width));
  }
  return value;
}

// Type 3/4 pairs for numbers and short strings; the subtype 21 body for longer strings.
void put_value_labels(EnvRecord& env, SavWriter& w, LongLabels& longs) {
  for (const SavOutVar& o : w.vars) {
    const VarRecord& v = *o.var;
    if (v.value_labels.empty()) continue;
    const bool text = o.kind == kSavString;
    if (text && o.width > 8 && w.release < 16) {
      emit_messagef(
          env, MsgKind::Warning,
          "Variable %s has lost the assigned value lables since SPSS does not allow labeling string "
          "variables, wider than 8 bytes.",
          v.name.c_str());
      continue;
    }
    if (text && o.width > 8) {
      std::string body;
      int32_t count = 0;
      for (const ValueLabel& l : v.value_labels) {
        if (!l.has_text || l.missing) continue;
        std::string value = label_value(env, w, o, l);
        value.resize(o.width, ' ');
        const std::string label = label_text(env, w, o, l);
        int32_t n = static_cast<int32_t>(value.size());
        body.append(reinterpret_cast<const char*>(&n), 4).append(value);
        n = static_cast<int32_t>(label.size());
        body.append(reinterpret_cast<const char*>(&n), 4).append(label);
        ++count;
      }
      if (!count) continue;
      longs.put32(static_cast<int32_t>(v.name.size()));
      longs.bytes += v.name;
      longs.put32(static_cast<int32_t>(o.width));
      longs.put32(count);
      longs.bytes += body;
      continue;
    }
    const size_t count_at = w.buf.size() + 4;
    int32_t count = 0;
    sav_put32(w, 3);
    sav_put32(w, 0);
    for (const ValueLabel& l : v.value_labels) {
      if (l.missing || l.has_text != text) continue;
      if (text) {
        sav_put_padded(w, label_value(env, w, o, l), 8, ' ');
      } else {
        double x = l.value;
        if (o.kind == kSavDate) x = sav_seconds_of_day(x);
        if (o.kind == kSavTime) x = sav_seconds_of_time(x);
        sav_put_double(w, x);
      }
      const std::string label = label_text(env, w, o, l);
      const uint8_t n = static_cast<uint8_t>(std::min<size_t>(label.size(), 255));
      sav_put(w, &n, 1);
      sav_put_padded(w, label, (n + 1 + 7) / 8 * 8 - 1, '\0');
      ++count;
    }
    if (!count) {
      w.buf.resize(count_at - 4);
      continue;
    }
    std::memcpy(w.buf.data() + count_at, &count, 4);
    sav_put32(w, 4);
    sav_put32(w, 1);
    sav_put32(w, static_cast<int32_t>(o.index));
  }
}

void put_extension(SavWriter& w, int32_t subtype, const std::string& body) {
  sav_put32(w, 7);
  sav_put32(w, subtype);
  sav_put32(w, 1);
  sav_put32(w, static_cast<int32_t>(body.size()));
  sav_put(w, body.data(), body.size());
}

}  // namespace

void sav_put_dictionary(EnvRecord& env, SavWriter& w) {
  put_header(env, w);
  put_variables(w);
  LongLabels longs;
  put_value_labels(env, w, longs);
  if (w.release >= 16) {
    const int32_t info[8] = {w.release, 0, 0, 720, 1, w.zlib ? 2 : 1, 2, 65001};
    sav_put32(w, 7);
    sav_put32(w, 3);
    sav_put32(w, 4);
    sav_put32(w, 8);
    sav_put(w, info, sizeof info);
  }
  std::string names;
  for (const SavOutVar& o : w.vars) {
    if (!names.empty()) names += '\t';
    names += o.short_name + "=" + o.var->name;
  }
  if (!names.empty()) put_extension(w, 13, names);
  if (w.release >= 16) put_extension(w, 20, "utf-8");
  if (w.release >= 16 && !longs.bytes.empty()) put_extension(w, 21, longs.bytes);
  std::string very_long;
  for (const SavOutVar& o : w.vars) {
    if (o.segments < 2) continue;
    char width[16];
    std::snprintf(width, sizeof width, "%05u", o.width);
    very_long += o.short_name + "=" + width;
    very_long += '\0';
    very_long += '\t';
  }
  if (!very_long.empty()) put_extension(w, 14, very_long);
  sav_put32(w, 999);
  sav_put32(w, 0);
}

}  // namespace tabulon
