#include "encoding/encoding_state.h"

#include "api/env_record.h"
#include "encoding/iconv_api.h"
#include "encoding/transcode.h"

namespace tabulon {

ConverterSlot* encoding_slots(EnvRecord& env, int32_t direction, int* count) {
  EncodingState& st = env.encoding;
  switch (direction) {
    case kDirInput: if (count) *count = kInputSlots; return st.input.data();
    case kDirOutput: if (count) *count = kOutputSlots; return st.output.data();
    case kDirOther: if (count) *count = kOtherSlots; return st.other.data();
    default: if (count) *count = 0; return nullptr;
  }
}

bool encoding_env_open(EnvRecord& env, int32_t) {
  if (!bind_iconv_api()) return false;
  env.encoding.error_budget = env.encoding.error_limit;
  return true;
}

void encoding_env_close(EnvRecord& env) {
  for (auto& s : env.encoding.input) close_slot(s);
  for (auto& s : env.encoding.output) close_slot(s);
  for (auto& s : env.encoding.other) close_slot(s);
}

}  // namespace tabulon
