// Compiles condition and computed-expression texts into postfix programs.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "expr/program.h"

namespace tabulon {

// What the compiler asks of its surroundings: variables by name and date texts.
struct CompileContext {
  // Finds a dictionary variable; fills its position and whether it is a string.
  bool (*find_var)(void* ctx, std::string_view name, int32_t* index, bool* is_string) = nullptr;
  // Parses a date or time text (a literal in brackets, or a right-hand date cell).
  bool (*parse_date)(void* ctx, std::string_view text, double* out) = nullptr;
  void* ctx = nullptr;
};

// A compile error: the message alone (the caller adds the expression text).
struct ExprError {
  std::string message;
};

// A WHERE condition (true/false program). Throws ExprError.
std::unique_ptr<Program> compile_condition(std::string_view text, const CompileContext& cc);
// A computed value, with if/then/else. Throws ExprError.
std::unique_ptr<Program> compile_computed(std::string_view text, const CompileContext& cc);

}  // namespace tabulon
