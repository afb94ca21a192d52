#include "expr/expr_env_bridge.h"

#include "api/env_record.h"

namespace tabulon {

double expr_row_number(const EnvRecord* env) { return env ? env->transfer.cases_read : 0; }

std::string_view expr_sheet_name(const EnvRecord* env) {
  if (!env) return {};
  const auto& t = env->transfer;
  if (t.current_member < 0 || static_cast<size_t>(t.current_member) >= t.members.size()) return {};
  return t.members[static_cast<size_t>(t.current_member)];
}

double expr_sheet_number(const EnvRecord* env) {
  if (!env || env->transfer.current_member < 0) return 0;
  return env->transfer.current_member + 1;
}

std::string_view expr_input_path(const EnvRecord* env) {
  return env ? std::string_view(env->transfer.input_path) : std::string_view{};
}

}  // namespace tabulon
