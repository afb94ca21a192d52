#include "dict/user_missing.h"

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

uint16_t user_missing_code(EnvRecord& env, int entry) {
  if (option_int(env, kOptMapUserMissing) == 0 || entry < 0 || entry > 2) return kSystemMissing;
  return static_cast<uint16_t>(2 + entry);
}

}  // namespace tabulon
