#include "dict/user_missing.h"

#include "engine/format_hooks.h"

namespace tabulon {

const MissingSpec* input_missing_spec(EnvRecord& env, const VarRecord& v) {
  const FormatReaderOps* reader = env.transfer.reader;
  if (!reader || !reader->user_missing || !env.transfer.input_open) return nullptr;
  return reader->user_missing(env, v);
}

}  // namespace tabulon
