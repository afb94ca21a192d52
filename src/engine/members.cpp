// Members of an input (tables of a database, worksheets, objects, transport members).
#include <cctype>
#include <cstring>

#include "api/call_frame.h"
#include "engine/db_driver.h"
#include "engine/format_hooks.h"
#include "engine/format_registry.h"

using namespace tabulon;

namespace {

constexpr size_t kMemberNameMax = 255;

bool same_name(const std::string& a, const char* b) {
  size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

bool has_members(const EnvRecord& env) {
  const TransferState& t = env.transfer;
  return t.input_open && t.reader && t.reader->read_members && format_has(t.input_code, kCapMembers);
}

int32_t read_members(EnvRecord& env) {
  TransferState& t = env.transfer;
  if (!has_members(env)) return -1;
  t.members.clear();
  int32_t n = t.reader->read_members(env);
  t.members_read = 1;
  return n < 0 ? n : static_cast<int32_t>(t.members.size());
}

int32_t ensure_members(EnvRecord& env) {
  if (!env.transfer.members_read) return read_members(env);
  return static_cast<int32_t>(env.transfer.members.size());
}

int32_t select(EnvRecord& env, int32_t index) {
  TransferState& t = env.transfer;
  if (index < 0 || index >= static_cast<int32_t>(t.members.size())) return -1;
  if (t.reader->select_member && t.reader->select_member(env, index) < 0) return -1;
  t.current_member = index;
  return 0;
}

int32_t member_name(int32_t handle, int32_t k, char* out) {
  return call_frame(handle, -1, [&](EnvRecord& env) -> int32_t {
    if (!out || !has_members(env)) return -1;
    if (ensure_members(env) < 0) return -1;
    if (k < 0 || k >= static_cast<int32_t>(env.transfer.members.size())) return -2;
    const std::string& name = env.transfer.members[static_cast<size_t>(k)];
    size_t n = name.size() < kMemberNameMax ? name.size() : kMemberNameMax;
    std::memcpy(out, name.data(), n);
    out[n] = '\0';
    return static_cast<int32_t>(n);
  });
}

int32_t set_member(int32_t handle, const char* name) {
  return call_frame(handle, -1, [&](EnvRecord& env) -> int32_t {
    if (!name || !has_members(env) || ensure_members(env) < 0) return -1;
    const auto& m = env.transfer.members;
    for (size_t i = 0; i < m.size(); ++i)
      if (same_name(m[i], name)) return select(env, static_cast<int32_t>(i));
    return -1;
  });
}

int32_t set_first(int32_t handle) {
  return call_frame(handle, -1, [&](EnvRecord& env) -> int32_t {
    if (!has_members(env) || ensure_members(env) < 1) return -1;
    return select(env, 0);
  });
}

int32_t format_has_members(int32_t handle) {
  return call_frame(handle, -1, [&](EnvRecord& env) -> int32_t {
    return env.transfer.input_open && format_has(env.transfer.input_code, kCapMembers) ? 1 : 0;
  });
}

}  // namespace

DX_EXPORT int32_t DX_FormatHasMembers(int32_t env) { return format_has_members(env); }
DX_EXPORT int32_t DX_FormatHasTables(int32_t env) { return format_has_members(env); }

DX_EXPORT int32_t DX_ReadMembers(int32_t handle) {
  return call_frame(handle, -1, [&](EnvRecord& env) -> int32_t { return read_members(env); });
}
DX_EXPORT int32_t DX_GetNTables(int32_t handle) {
  return call_frame(handle, -1, [&](EnvRecord& env) -> int32_t { return read_members(env); });
}

DX_EXPORT int32_t DX_GetMemberName(int32_t env, int32_t k, char* out) { return member_name(env, k, out); }
DX_EXPORT int32_t DX_GetTableName(int32_t env, int32_t k, char* out) { return member_name(env, k, out); }
DX_EXPORT int32_t DX_SetMember(int32_t env, const char* name) { return set_member(env, name); }
DX_EXPORT int32_t DX_SetTable(int32_t env, const char* name) { return set_member(env, name); }
DX_EXPORT int32_t DX_SetFirstMember(int32_t env) { return set_first(env); }
DX_EXPORT int32_t DX_SetFirstTable(int32_t env) { return set_first(env); }

DX_EXPORT int32_t DX_GetQualifiedTname(int32_t handle, char* out) {
  return call_frame(handle, -1, [&](EnvRecord& env) -> int32_t {
    const TransferState& t = env.transfer;
    if (!out || t.current_member < 0 || !(t.input_open_flags & kInputDatabase)) return -1;
    std::string name;
    const DriverSlot* slot = t.input_driver.get();
    // Parameter 2 of a database source names the schema (owner) of its tables.
    if (slot && !slot->parms[2].empty()) name = slot->parms[2] + ".";
    name += t.members[static_cast<size_t>(t.current_member)];
    size_t n = name.size() < kMemberNameMax ? name.size() : kMemberNameMax;
    std::memcpy(out, name.data(), n);
    out[n] = '\0';
    return static_cast<int32_t>(n);
  });
}
