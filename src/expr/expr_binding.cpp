#include "expr/expr_binding.h"

#include <cctype>
#include <string>

#include "api/env_record.h"
#include "api/raise.h"
#include "dates/date_pattern.h"
#include "dict/dictionary.h"
#include "expr/evaluator.h"
#include "expr/sampling_random.h"

namespace tabulon {

namespace {

constexpr int kDateParseScan = 3;

bool find_var(void* ctx, std::string_view name, int32_t* index, bool* is_string) {
  auto* env = static_cast<EnvRecord*>(ctx);
  int32_t k = dict_find(env->dict, name);
  if (k < 0) return false;
  *index = k;
  *is_string = dict_var(env->dict, k)->is_string();
  return true;
}

bool parse_date(void* ctx, std::string_view text, double* out) {
  auto* env = static_cast<EnvRecord*>(ctx);
  return date_parse_value(*env, kDateParseScan, text.data(), text.size(), out);
}

bool iequal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

}  // namespace

CompileContext env_compile_context(EnvRecord& env) {
  CompileContext cc;
  cc.find_var = &find_var;
  cc.parse_date = &parse_date;
  cc.ctx = &env;
  return cc;
}

std::unique_ptr<Program> env_compile(EnvRecord& env, std::string_view text, bool condition) {
  std::unique_ptr<Program> prog;
  try {
    CompileContext cc = env_compile_context(env);
    prog = condition ? compile_condition(text, cc) : compile_computed(text, cc);
  } catch (const ExprError& e) {
    std::string shown(text);
    RaiseErrorF(env, "Error in Expression: %s\n-> %s", shown.c_str(), e.message.c_str());
  }
  if (prog->uses_random) {
    prog->seed_at_compile = sampling_seed_option();
    sampling_reseed();
    sampling_clear_counters();
    env.expr.uses_random = true;
  }
  return prog;
}

int32_t expr_compile_value(EnvRecord& env, const char* text, std::unique_ptr<Program>* out) {
  try {
    *out = env_compile(env, text ? text : "", false);
  } catch (const RaisedError&) {
    return -1;
  }
  return static_cast<int32_t>((*out)->result);
}

void bind_program(EnvRecord& env, Program& prog) {
  DictState& d = env.dict;
  for (ProgramVar& pv : prog.vars) {
    VarRecord* v = dict_var(d, pv.index);
    if (!v || !iequal(v->name, pv.name)) {
      // The dictionary changed since the compile: find the variable again by name.
      pv.index = dict_find(d, pv.name);
      v = dict_var(d, pv.index);
      if (!v) RaiseError(env, "Invalid variable name: %s", pv.name.c_str());
    }
    if (v->ttype < 1 || v->ttype > 9 || v->is_string() != pv.is_string)
      RaiseErrorF(env, "Internal Error -- Unsupported Type %d - variable: %s", v->ttype, pv.name.c_str());
    if (!d.has_record() || !v->selected)
      RaiseErrorF(env, "Error in Expression: %s\n-> %s%s", prog.source.c_str(),
                  "Variable is not selected for the transfer: ", pv.name.c_str());
    const uint8_t* slot = var_slot(d, *v);
    pv.miss = &v->missing;
    if (pv.is_string) {
      pv.str = reinterpret_cast<const char*>(slot);
      pv.num = nullptr;
    } else {
      pv.num = reinterpret_cast<const double*>(slot);
      pv.str = nullptr;
    }
  }
  prog.bound_record = d.record();
  prog.bound_length = d.record_length;
  prog.bound_vars = d.count();
}

ExprValue env_evaluate(EnvRecord& env, Program& prog) {
  const DictState& d = env.dict;
  if (!prog.vars.empty() &&
      (prog.bound_record != d.record() || prog.bound_length != d.record_length || prog.bound_vars != d.count()))
    bind_program(env, prog);
  return evaluate(prog, &env);
}

}  // namespace tabulon
