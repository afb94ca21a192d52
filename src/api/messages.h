// Messages sent to the host's log callback, filtered by level and category masks.
#pragma once

#include <cstdint>

namespace tabulon {

struct EnvRecord;

enum class MsgKind { Error, Warning, Info, Data, Lib };

inline constexpr const char kPrefixError[] = "Error:\t";
inline constexpr const char kPrefixWarning[] = "Warning:";
inline constexpr const char kPrefixInfo[] = "Info:\t";
inline constexpr const char kPrefixData[] = "Data:\t";
inline constexpr const char kPrefixLib[] = "LIB: ";

const char* msg_prefix(MsgKind kind);
// True when a message of this kind would reach the host's callback.
bool msg_enabled(const EnvRecord& env, MsgKind kind);
// Sends prefix + text when the masks allow it.
void emit_message(EnvRecord& env, MsgKind kind, const char* text);
// printf-style body; the prefix is added.
void emit_messagef(EnvRecord& env, MsgKind kind, const char* format, ...) __attribute__((format(printf, 3, 4)));
// Sends text as it stands (the caller built the prefix), at the kind's level and category.
void emit_raw(EnvRecord& env, MsgKind kind, const char* text);

}  // namespace tabulon
