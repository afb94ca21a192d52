#include "api/messages.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "api/env_record.h"

namespace tabulon {

namespace {

struct KindInfo {
  const char* prefix;
  uint32_t level_bit;
  int32_t callback_level;
  uint32_t category;
};

KindInfo info_of(MsgKind kind) {
  switch (kind) {
    case MsgKind::Error: return {kPrefixError, 1u, 1, 0x0000000Fu};
    case MsgKind::Warning: return {kPrefixWarning, 1u, 1, 0x0FFFFFF0u};
    case MsgKind::Info: return {kPrefixInfo, 1u, 1, 0x30000000u};
    case MsgKind::Data: return {kPrefixData, 1u, 1, 0xC0000000u};
    case MsgKind::Lib: return {kPrefixLib, 4u, 4, 0x00000001u};
  }
  return {"", 0, 0, 0};
}

}  // namespace

const char* msg_prefix(MsgKind kind) { return info_of(kind).prefix; }

bool msg_enabled(const EnvRecord& env, MsgKind kind) {
  KindInfo k = info_of(kind);
  return env.info_callback && (env.info_level_mask & k.level_bit) &&
         (env.log_settings[kLogCategoryMask] & k.category);
}

void emit_raw(EnvRecord& env, MsgKind kind, const char* text) {
  if (!msg_enabled(env, kind)) return;
  KindInfo k = info_of(kind);
  // The category passed on is the whole mask of the kind; 1 for library diagnostics.
  env.info_callback(k.callback_level, text, static_cast<int32_t>(k.category), env.info_user_data);
}

void emit_message(EnvRecord& env, MsgKind kind, const char* text) {
  if (!msg_enabled(env, kind)) return;
  std::string full = msg_prefix(kind);
  full += text ? text : "";
  emit_raw(env, kind, full.c_str());
}

void emit_messagef(EnvRecord& env, MsgKind kind, const char* format, ...) {
  if (!msg_enabled(env, kind)) return;
  char work[4096];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(work, sizeof work, format, ap);
  va_end(ap);
  emit_message(env, kind, work);
}

}  // namespace tabulon
