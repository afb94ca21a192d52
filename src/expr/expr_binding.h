// Ties compiled programs to an environment: variable lookup and date texts while
// compiling, record-buffer pointers before evaluating.
#pragma once

#include <memory>
#include <string_view>

#include "expr/compiler.h"
#include "expr/program.h"

namespace tabulon {

struct EnvRecord;

// A compile context that looks names up in env's dictionary and parses dates with
// env's reading patterns.
CompileContext env_compile_context(EnvRecord& env);

// Compiles against env; on error raises "Error in Expression: <text>\n-> <message>".
// A program that draws random numbers reseeds the generator and clears the sampling
// counters.
std::unique_ptr<Program> env_compile(EnvRecord& env, std::string_view text, bool condition);

// Compiles a computed value without raising: returns its type (1 number, 2 string) and
// the program, or -1 with the message in the environment.
int32_t expr_compile_value(EnvRecord& env, const char* text, std::unique_ptr<Program>* out);

// Points the program's variables at the record buffer. Done again automatically when
// the layout changed. Raises when a variable is gone, not selected or of another type.
void bind_program(EnvRecord& env, Program& prog);
// Binds when needed, then evaluates.
ExprValue env_evaluate(EnvRecord& env, Program& prog);

}  // namespace tabulon
