#include "expr/where.h"

#include <cctype>
#include <cstring>
#include <strings.h>
#include <string_view>

#include "api/call_frame.h"
#include "api/env_record.h"
#include "expr/expr_binding.h"
#include "expr/sampling_random.h"

namespace tabulon {

bool where_accepts(EnvRecord& env) {
  Program* p = env.expr.where.get();
  if (!p) return true;
  return env_evaluate(env, *p).num != 0;
}

bool where_is_set(const EnvRecord& env) { return env.expr.where != nullptr; }

void where_begin_pass(EnvRecord& env) {
  Program* p = env.expr.where.get();
  if (!p) return;
  for (ProgramVar& v : p->vars) {
    v.prior_valid = false;
    v.prior_str.clear();
  }
  p->bound_record = nullptr;  // bind again on the first record
  if (p->uses_random) {
    sampling_seed(p->seed_at_compile);
    sampling_clear_counters();
  }
}

void where_clear(EnvRecord& env) { env.expr.where.reset(); }

void expr_close_files(EnvRecord& env) {
  where_clear(env);
  env.expr.input_types_changeable = false;
}

void where_compile(EnvRecord& env, const char* text, bool install) {
  std::string_view t = text ? text : "";
  while (!t.empty() && std::isspace(static_cast<unsigned char>(t.front()))) t.remove_prefix(1);
  // A leading keyword WHERE, as a word of its own.
  if (t.size() >= 5 && strncasecmp(t.data(), "where", 5) == 0 &&
      (t.size() == 5 || std::isspace(static_cast<unsigned char>(t[5])) || t[5] == '(')) {
    t.remove_prefix(5);
    while (!t.empty() && std::isspace(static_cast<unsigned char>(t.front()))) t.remove_prefix(1);
  }
  if (t.empty()) {
    where_clear(env);
    return;
  }
  std::unique_ptr<Program> prog = env_compile(env, t, true);
  if (install) env.expr.where.reset(prog.release());
}

}  // namespace tabulon

using namespace tabulon;

DX_EXPORT int32_t DX_ParseWhere(int32_t env_handle, const char* text, int32_t install) {
  return call_frame(env_handle, -1, [&](EnvRecord& env) {
    where_compile(env, text, install != 0);
    return 0;
  });
}
