#include "dict/dict_env.h"

#include "api/env_record.h"

#if __has_include("api/option_slots.h")
#include "api/option_slots.h"
#define TABULON_HAVE_OPTION_SLOTS 1
#endif

namespace tabulon {

int32_t dict_option(const EnvRecord& env, int number) {
#ifdef TABULON_HAVE_OPTION_SLOTS
  return option_int(env, number);
#else
  (void)env;
  (void)number;
  return 0;
#endif
}

int32_t dict_max_string_length(const EnvRecord& env) {
  int32_t n = dict_option(env, 83);
  return n > 0 ? n : 255;
}

bool dict_long_values(const EnvRecord& env) { return dict_option(env, 95) != 0; }

bool dict_complex_values(const EnvRecord&) { return false; }

bool dict_use_g_format(const EnvRecord&) { return false; }

int32_t dict_input_code(const EnvRecord&) { return -1; }

bool dict_input_is_worksheet(const EnvRecord& env) {
  switch (dict_input_code(env)) {
    case 0: case 1: case 7: case 11: case 15: case 48: case 54: case 65: case 68:
      return true;
    default:
      return false;
  }
}

bool dict_input_has_var_labels(const EnvRecord&) { return true; }

int64_t dict_announced_cases(const EnvRecord&) { return -1; }

}  // namespace tabulon
