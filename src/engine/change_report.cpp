#include "engine/change_report.h"

#include <set>

#include "api/call_frame.h"
#include "api/env_record.h"
#include "api/messages.h"

namespace tabulon {

namespace {

struct KindText {
  const char* singular;
  const char* plural;
};

// Nouns for the closing line: "<n> <noun> in <m> variable(s)".
constexpr KindText kKindText[kChangeKindCount] = {
    {"string cut", "strings cut"},
    {"character replaced", "characters replaced"},
    {"value out of range", "values out of range"},
    {"user-missing value written as missing", "user-missing values written as missing"},
    {"name changed", "names changed"},
    {"name cut", "names cut"},
    {"label cut", "labels cut"},
    {"variable dropped", "variables dropped"},
    {"value label dropped", "value labels dropped"},
    {"value written with fewer digits", "values written with fewer digits"},
    {"unreadable value read as missing", "unreadable values read as missing"},
    {"other change", "other changes"},
};

}  // namespace

void note_change(EnvRecord& env, ChangeKind kind, std::string_view variable, int64_t count) {
  if (count <= 0) return;
  auto& entries = env.transfer.changes.entries;
  // The last entry is the likeliest match: writers report one variable at a time.
  for (auto it = entries.rbegin(); it != entries.rend(); ++it)
    if (it->kind == kind && it->variable == variable) {
      it->count += count;
      return;
    }
  entries.push_back({kind, std::string(variable), count});
}

int64_t change_total(const EnvRecord& env, ChangeKind kind) {
  int64_t total = 0;
  for (const auto& e : env.transfer.changes.entries)
    if (e.kind == kind) total += e.count;
  return total;
}

bool any_change(const EnvRecord& env) { return !env.transfer.changes.entries.empty(); }

std::string change_summary(const EnvRecord& env) {
  std::string line;
  for (int k = 0; k < kChangeKindCount; ++k) {
    int64_t total = 0;
    std::set<std::string_view> vars;
    for (const auto& e : env.transfer.changes.entries)
      if (static_cast<int>(e.kind) == k) {
        total += e.count;
        if (!e.variable.empty()) vars.insert(e.variable);
      }
    if (total == 0) continue;
    if (!line.empty()) line += "; ";
    line += std::to_string(total) + " " + (total == 1 ? kKindText[k].singular : kKindText[k].plural);
    if (!vars.empty())
      line += " in " + std::to_string(vars.size()) + (vars.size() == 1 ? " variable" : " variables");
  }
  return line;
}

void report_changes(EnvRecord& env) {
  ChangeReport& r = env.transfer.changes;
  if (r.reported || r.entries.empty()) return;
  r.reported = true;
  for (const auto& e : r.entries) {
    const KindText& t = kKindText[static_cast<int>(e.kind)];
    if (e.variable.empty())
      emit_messagef(env, MsgKind::Warning, " %lld %s.", static_cast<long long>(e.count),
                    e.count == 1 ? t.singular : t.plural);
    else
      emit_messagef(env, MsgKind::Warning, " Variable [%s]: %lld %s.", e.variable.c_str(),
                    static_cast<long long>(e.count), e.count == 1 ? t.singular : t.plural);
  }
  emit_messagef(env, MsgKind::Warning, " Changes: %s.", change_summary(env).c_str());
}

}  // namespace tabulon

using namespace tabulon;

DX_EXPORT int32_t dxi_set_strict_changes(int32_t handle, int32_t on) {
  return call_frame(handle, -1, [&](EnvRecord& env) -> int32_t {
    env.transfer.changes.changes_fail = on != 0;
    return 0;
  });
}
