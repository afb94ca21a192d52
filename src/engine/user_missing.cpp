#include "dict/user_missing.h"

#include <algorithm>

#include "api/option_slots.h"
#include "engine/format_hooks.h"
#include "engine/format_registry.h"

namespace tabulon {

const MissingSpec* input_missing_spec(EnvRecord& env, const VarRecord& v) {
  const FormatReaderOps* reader = env.transfer.reader;
  if (!reader || !reader->user_missing || !env.transfer.input_open) return nullptr;
  return reader->user_missing(env, v);
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
