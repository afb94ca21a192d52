// A compiled expression: a postfix byte program plus the tables it refers to, and the
// evaluator's working storage (kept here so evaluation never allocates for numbers).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tabulon {

enum class ValType : uint8_t { Number = 1, String = 2 };

constexpr size_t kProgramMaxBytes = 1024;
constexpr int kOperandStackSize = 16;

// The system-missing number (bits 0x54C0000000000000).
double system_missing();
bool is_system_missing(double v);

enum Op : uint8_t {
  kOpEnd = 0,
  kOpNum,        // f64 constant
  kOpStr,        // u16 index into strings
  kOpVarNum,     // u16 index into vars
  kOpVarStr,     // u16 index into vars
  kOpPriorNum,   // u16 index into vars
  kOpPriorStr,   // u16 index into vars
  kOpRownum,
  kOpSheetName,
  kOpSheetNumb,
  kOpAdd, kOpSub, kOpMul, kOpDiv, kOpMod, kOpNeg,
  kOpJoin,
  kOpCmpNum,     // u8 relation, u8 right-hand count
  kOpCmpStr,     // u8 relation, u8 right-hand count, u16 mask of wildcard patterns
  kOpAnd, kOpOr, kOpNot,
  kOpCall,       // u8 function id, u8 keyword/extra
  kOpJumpFalse,  // u16 target
  kOpJump,       // u16 target
};

enum Relation : uint8_t { kRelEq, kRelNe, kRelLt, kRelGt, kRelLe, kRelGe };

// A variable the program reads. `index` is its dictionary position; the pointers are
// bound to the record buffer before evaluation.
struct ProgramVar {
  std::string name;
  int32_t index = -1;
  bool is_string = false;
  bool used_by_prior = false;
  // Bound storage: a double (numeric) or a NUL-terminated text (string), and the
  // variable's missing code (0 present).
  const double* num = nullptr;
  const char* str = nullptr;
  const uint16_t* miss = nullptr;
  // Previous record's value for prior().
  double prior_num = 0;
  std::string prior_str;
  bool prior_valid = false;
};

// One operand stack entry. Strings are views; `buf` owns the text when a function made it.
struct StackSlot {
  double n = 0;
  const char* p = "";
  size_t len = 0;
  std::string buf;
};

struct Program {
  std::vector<uint8_t> code;
  ValType result = ValType::Number;
  bool is_condition = false;
  bool uses_random = false;
  bool uses_prior = false;
  int32_t seed_at_compile = 0;
  std::string source;
  std::vector<std::string> strings;
  std::vector<ProgramVar> vars;
  // Evaluator working storage.
  std::array<StackSlot, kOperandStackSize + 1> stack;
  std::string scratch;
  // Identity of the record layout the vars are bound to.
  const void* bound_record = nullptr;
  uint32_t bound_length = 0;
  int32_t bound_vars = -1;
};

// Result of one evaluation. For strings the view lives until the next evaluation.
struct ExprValue {
  ValType type = ValType::Number;
  double num = 0;
  std::string_view str;
};

}  // namespace tabulon
