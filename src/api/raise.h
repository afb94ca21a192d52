// Failures inside the library: the message goes into the environment, then control
// unwinds to the exported function, which returns its failure code.
#pragma once

#include <exception>

namespace tabulon {

struct EnvRecord;

// The one exception type the library throws. It carries nothing: the message is
// already in the environment record when it is thrown.
struct RaisedError final : std::exception {
  const char* what() const noexcept override { return "tabulon raised error"; }
};

// With neither format nor argument the message is emptied. With an argument and a
// format without '%' the message is the format followed by the argument; otherwise
// the format is formatted with the one argument.
[[noreturn]] void RaiseError(EnvRecord& env, const char* format, const char* argument);
[[noreturn]] void RaiseErrorF(EnvRecord& env, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Sets the message buffer to a formatted text without unwinding and returns the buffer.
const char* SetMessageF(EnvRecord& env, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace tabulon
