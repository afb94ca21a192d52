#include "dict/dict_env.h"

#include "api/env_record.h"
#include "api/option_slots.h"
#include "engine/format_registry.h"

namespace tabulon {

int32_t dict_option(const EnvRecord& env, int number) { return option_int(env, number); }

int32_t dict_max_string_length(const EnvRecord& env) {
  int32_t n = dict_option(env, kOptMaxStringLength);
  return n > 0 ? n : 255;
}

bool dict_long_values(const EnvRecord& env) { return dict_option(env, kOptLongValueLabels) != 0; }

bool dict_complex_values(const EnvRecord& env) { return env.options.writer.complex_values != 0; }

bool dict_use_g_format(const EnvRecord& env) { return env.options.text.use_g_format != 0; }

int32_t dict_input_code(const EnvRecord& env) {
  return env.transfer.input_open ? env.transfer.input_code : -1;
}

bool dict_input_is_worksheet(const EnvRecord& env) {
  if (!env.transfer.input_open) return false;
  return (env.transfer.input_open_flags & kInputWorksheet) ||
         format_has(env.transfer.input_code, kCapWorksheetInput);
}

bool dict_input_has_var_labels(const EnvRecord& env) {
  if (!env.transfer.input_open) return true;  // a dictionary the host built
  return format_has(env.transfer.input_code, kCapVarLabels);
}

int64_t dict_announced_cases(const EnvRecord& env) {
  if (!env.transfer.input_open || env.transfer.announced_cases == 0) return -1;
  return env.transfer.announced_cases;
}

}  // namespace tabulon
