#include "api/raise.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "api/env_record.h"

namespace tabulon {

void RaiseError(EnvRecord& env, const char* format, const char* argument) {
  char* buf = env.message_buffer;
  if (!format && !argument) {
    buf[0] = '\0';
  } else if (argument) {
    if (!format || !std::strchr(format, '%')) {
      std::snprintf(buf, kMessageSize, "%s%s", format ? format : "", argument);
    } else {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
      std::snprintf(buf, kMessageSize, format, argument);
#pragma GCC diagnostic pop
    }
    env.message_has_argument = 1;
  } else {
    // A format alone is taken as text; a stray '%' in it must not read arguments.
    std::snprintf(buf, kMessageSize, "%s", format);
  }
  env.message = buf;
  throw RaisedError();
}

void RaiseErrorF(EnvRecord& env, const char* format, ...) {
  char work[4096];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(work, sizeof work, format, ap);
  va_end(ap);
  std::memset(env.message_buffer, 0, kMessageSize);
  std::memcpy(env.message_buffer, work, strnlen(work, kMessageSize - 1));
  env.message_has_argument = 1;
  env.message = env.message_buffer;
  throw RaisedError();
}

const char* SetMessageF(EnvRecord& env, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(env.message_buffer, kMessageSize, format, ap);
  va_end(ap);
  env.message = env.message_buffer;
  return env.message_buffer;
}

}  // namespace tabulon
