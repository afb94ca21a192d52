#include "encoding/encoding_state.h"

#include <climits>

#include "api/env_record.h"
#include "api/option_slots.h"
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

void encoding_load_options(EnvRecord& env) {
  EncodingState& st = env.encoding;
  const char* in = option_user_encoding(env, 1);
  const char* out = option_user_encoding(env, 2);
  st.in_encoding = (in && *in) ? in : "system";
  st.out_encoding = (out && *out) ? out : "system";
  int32_t mode = option_int(env, kOptOnEncodingError);
  st.on_error_mode = (mode >= 0 && mode <= 2) ? static_cast<uint32_t>(mode) : kOnErrorStop;
  st.suppress_char_conv = option_int(env, kOptSuppressCharConv) != 0;
  st.skip_encode_var_names = option_int(env, kOptSkipEncodeVarNames) != 0;

  // An unset slot reads 0. The substitution character is never 0 once the option table was
  // applied, so it tells whether "enc-errors" = 0 means "stop" or simply "not set".
  int32_t sub_char = option_int(env, kOptEncSubChar);
  int32_t errors = option_int(env, kOptEncErrors);
  int32_t limit = option_int(env, kOptEncErrorLimit);
  if (sub_char != 0) {
    st.sub_char = static_cast<char>(sub_char);
    st.substitute = errors == 1 ? 1u : 0u;
  } else {
    st.sub_char = '_';
    st.substitute = 1;
  }
  uint32_t new_limit = limit < 0 ? UINT32_MAX : limit == 0 ? 100u : static_cast<uint32_t>(limit);
  if (new_limit != st.error_limit) {
    st.error_limit = new_limit;
    st.error_budget = new_limit;
  }

  int32_t ci = option_int(env, kOptVarCaseCi);
  int32_t cs = option_int(env, kOptVarCaseCs);
  if (ci == 0 && cs == 0) {  // neither set: the table's defaults
    st.case_ci = kCasePreserveAlways;
    st.case_cs = kCasePreserveMixed;
  } else {
    st.case_ci = (ci >= 0 && ci <= 3) ? ci : kCasePreserveAlways;
    st.case_cs = (cs >= 0 && cs <= 3) ? cs : kCasePreserveMixed;
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
