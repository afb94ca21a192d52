#include "dict/user_missing.h"

#include <algorithm>

#include "api/option_slots.h"
#include "engine/format_hooks.h"
#include "engine/format_registry.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string>

#include "api/call_frame.h"
#include "dict/dictionary.h"

namespace tabulon {

const MissingSpec* input_missing_spec(EnvRecord& env, const VarRecord& v) {
  const FormatReaderOps* reader = env.transfer.reader;
  if (!reader || !reader->user_missing || !env.transfer.input_open) return nullptr;
  return reader->user_missing(env, v);
}

const MissingTexts* input_missing_texts(EnvRecord& env, const VarRecord& v) {
  const FormatReaderOps* reader = env.transfer.reader;
  if (!reader || !reader->user_missing_texts || !env.transfer.input_open) return nullptr;
  return reader->user_missing_texts(env, v);
}

int32_t reader_user_missing_mode(EnvRecord& env) {
  if (env.transfer.output_open) {
    const FormatEntry* out = format_entry(env.transfer.output_code);
    if (out && (out->caps & kCapDeclaresMissing)) return 2;
  }
  const int32_t mode = option_int(env, kOptUserMissing);
  return mode >= 0 && mode <= 2 ? mode : 0;
}

namespace {

bool entry_matches(const MissingEntry& e, double x) {
  switch (e.kind) {
    case kMissValue: return x == e.value;
    case kMissAtLeast: case kMissRange: return x >= e.value && (e.kind != kMissRange || x <= e.high);
    case kMissAtMost: return x <= e.value;
    default: return false;
  }
}

}  // namespace

void label_mapped_user_missing(EnvRecord& env, uint32_t output_caps) {
  if ((output_caps & kCapDeclaresMissing) || option_int(env, kOptMapUserMissing) == 0) return;
  const int32_t mode = option_int(env, kOptUserMissing);
  if (mode == 2) return;
  for (auto& vp : env.dict.vars) {
    VarRecord& v = *vp;
    if (!v.selected || v.is_string() || v.value_labels.empty()) continue;
    const MissingSpec* spec = input_missing_spec(env, v);
    if (!spec) continue;
    const int n = mode == 1 ? std::min(spec->count, 1) : spec->count;
    for (int k = 0; k < n && k < 3; ++k) {
      const uint32_t code = 2 + static_cast<uint32_t>(k);
      bool present = false;
      for (const ValueLabel& l : v.value_labels) present |= l.missing == code;
      if (present) continue;
      for (size_t i = 0; i < v.value_labels.size(); ++i) {
        const ValueLabel& l = v.value_labels[i];
        if (l.missing || l.has_text || !entry_matches(spec->entry[k], l.value)) continue;
        ValueLabel mapped;
        mapped.text = missing_code_text(static_cast<int>(code));
        mapped.has_text = true;
        mapped.missing = code;
        mapped.label = l.label;
        v.value_labels.push_back(std::move(mapped));
        break;
      }
    }
  }
}

uint16_t user_missing_code(EnvRecord& env, int entry) {
  if (option_int(env, kOptMapUserMissing) == 0 || entry < 0 || entry > 2) return kSystemMissing;
  return static_cast<uint16_t>(2 + entry);
}

}  // namespace tabulon

namespace {

std::string number_text(double v) {
  char buf[32];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  return ec == std::errc() ? std::string(buf, end) : std::string("?");
}

}  // namespace

using namespace tabulon;

// Texts that describe a variable of the input for a host's listing: what 1 = the declared
// missing values ("9; 97 thru 99"), what 2 = the input package's display format ("F8.2",
// "%9.0g", "DATE9."), what 3 = the measurement level. Returns the length, 0 when there is none, -1 on a bad variable.
DX_EXPORT int32_t dxi_var_describe(int32_t handle, int32_t var, int32_t what, char* out, int32_t size) {
  return call_frame(handle, -1, [&](EnvRecord& env) -> int32_t {
    VarRecord* v = dict_var(env.dict, var);
    if (!v || !out || size <= 0) return -1;
    std::string text;
    if (what == 1) {
      const MissingSpec* m = v->is_string() ? nullptr : input_missing_spec(env, *v);
      for (int i = 0; m && i < m->count && i < 3; ++i) {
        const MissingEntry& e = m->entry[i];
        if (!text.empty()) text += "; ";
        switch (e.kind) {
          case kMissValue: text += number_text(e.value); break;
          case kMissAtLeast: text += number_text(e.value) + " thru highest"; break;
          case kMissAtMost: text += "lowest thru " + number_text(e.value); break;
          case kMissRange: text += number_text(e.value) + " thru " + number_text(e.high); break;
          case kMissBelow: text += "< " + number_text(e.value); break;
          case kMissAbove: text += "> " + number_text(e.value); break;
          default: break;
        }
      }
      // A string variable's values, quoted as PSPP lists them ("a"; "b").
      const MissingTexts* t = v->is_string() ? input_missing_texts(env, *v) : nullptr;
      for (int i = 0; t && i < t->count && i < 3; ++i) text += (text.empty() ? "\"" : "; \"") + t->value[i] + "\"";
    } else if (what == 2) {
      text = v->native_format;
    } else if (what == 3) {
      static const char* const levels[] = {"", "nominal", "ordinal", "scale"};
      text = v->measure <= kMeasureScale ? levels[v->measure] : "";
    } else {
      return -1;
    }
    size_t n = std::min(text.size(), static_cast<size_t>(size - 1));
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
    return static_cast<int32_t>(n);
  });
}
