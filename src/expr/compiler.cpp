#include "expr/compiler.h"

#include <cctype>
#include <charconv>
#include <cstring>

#include "expr/functions.h"

namespace tabulon {

namespace {

constexpr size_t kMaxComparisonChars = 254;
constexpr size_t kMaxConstantChars = 45;
constexpr size_t kMaxQuotedName = 128;

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_name_char(char c) {
  auto u = static_cast<unsigned char>(c);
  return std::isalnum(u) || c == '_' || c == '@' || c == '^' || u >= 0x80;
}
bool is_name_start(char c) {
  auto u = static_cast<unsigned char>(c);
  return std::isalpha(u) || c == '_' || c == '@' || c == '^' || u >= 0x80;
}

bool iequal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

std::string_view trim(std::string_view v) {
  while (!v.empty() && is_blank(v.front())) v.remove_prefix(1);
  while (!v.empty() && is_blank(v.back())) v.remove_suffix(1);
  return v;
}

// A whole text that is a decimal number (optional sign, digits, point, exponent).
bool parse_decimal(std::string_view t, double* out) {
  if (t.empty()) return false;
  bool neg = false;
  if (t.front() == '+' || t.front() == '-') {
    neg = t.front() == '-';
    t.remove_prefix(1);
    while (!t.empty() && is_blank(t.front())) t.remove_prefix(1);
  }
  if (t.empty() || !(is_digit(t.front()) || t.front() == '.')) return false;
  double v = 0;
  auto r = std::from_chars(t.data(), t.data() + t.size(), v, std::chars_format::general);
  if (r.ec != std::errc() || r.ptr != t.data() + t.size()) return false;
  *out = neg ? -v : v;
  return true;
}

// Thrown inside a condition group that turns out to be an arithmetic operand.
struct NotAGroup {};

class Compiler {
 public:
  Compiler(std::string_view text, const CompileContext& cc, Program& prog) : s_(text), cc_(cc), prog_(prog) {}

  void condition() {
    prog_.is_condition = true;
    prog_.result = ValType::Number;
    cond_and();
    finish();
  }

  void computed() {
    if (bracket_outside_strings()) fail("Missing semicolon");
    prog_.result = value_expr();
    finish();
  }

 private:
  std::string_view s_;
  const CompileContext& cc_;
  Program& prog_;
  size_t pos_ = 0;
  int depth_ = 0;          // operand stack entries in use at this point of the program
  int group_level_ = 0;    // condition parentheses open around us
  bool cond_ctx_ = false;  // '&' and '|' are logical operators here
  bool in_if_cond_ = false;

  [[noreturn]] void fail(std::string msg) { throw ExprError{std::move(msg)}; }

  char peek() const { return pos_ < s_.size() ? s_[pos_] : '\0'; }
  char peek_at(size_t i) const { return i < s_.size() ? s_[i] : '\0'; }
  bool at_end() const { return pos_ >= s_.size(); }
  void skip_blanks() {
    while (pos_ < s_.size() && is_blank(s_[pos_])) ++pos_;
  }
  // A keyword (any case) followed by a blank.
  bool at_word(size_t at, std::string_view word) const {
    return at + word.size() < s_.size() && iequal(s_.substr(at, word.size()), word) && is_blank(s_[at + word.size()]);
  }

  bool bracket_outside_strings() const {
    bool dq = false;
    for (char c : s_) {
      if (c == '"') dq = !dq;
      else if (c == '[' && !dq) return true;
    }
    return false;
  }

  void finish() {
    skip_blanks();
    if (peek() == '}') {
      ++pos_;
      skip_blanks();
      if (!at_end()) fail("Syntax error");
    } else if (!at_end()) {
      fail(peek() == ')' ? "Mismatched Parentheses" : "Unrecognized operator");
    }
    op(kOpEnd);
  }

  // ---- emission ----
  void need(size_t n) {
    // One byte always stays free for the end opcode.
    if (prog_.code.size() + n + 1 > kProgramMaxBytes) fail("formula buffer overflow");
  }
  void op(Op o) {
    if (o != kOpEnd) need(1);
    prog_.code.push_back(o);
  }
  void u8(uint8_t v) {
    need(1);
    prog_.code.push_back(v);
  }
  void u16(uint16_t v) {
    need(2);
    prog_.code.push_back(static_cast<uint8_t>(v & 0xFF));
    prog_.code.push_back(static_cast<uint8_t>(v >> 8));
  }
  void patch_u16(size_t at, uint16_t v) {
    prog_.code[at] = static_cast<uint8_t>(v & 0xFF);
    prog_.code[at + 1] = static_cast<uint8_t>(v >> 8);
  }
  void emit_num(double v) {
    need(9);
    op(kOpNum);
    uint8_t b[8];
    std::memcpy(b, &v, 8);
    prog_.code.insert(prog_.code.end(), b, b + 8);
    push();
  }
  void emit_str(std::string text) {
    if (prog_.strings.size() >= 0xFFFF) fail("formula buffer overflow");
    need(3);
    op(kOpStr);
    u16(static_cast<uint16_t>(prog_.strings.size()));
    prog_.strings.push_back(std::move(text));
    push();
  }
  void push(int n = 1) {
    depth_ += n;
    if (depth_ > kOperandStackSize) fail("Operand Stack overflow");
  }
  void pop(int n = 1) { depth_ -= n; }

  uint16_t var_slot(std::string_view name, int32_t index, bool is_string) {
    for (size_t i = 0; i < prog_.vars.size(); ++i)
      if (prog_.vars[i].index == index) return static_cast<uint16_t>(i);
    ProgramVar v;
    v.name.assign(name);
    v.index = index;
    v.is_string = is_string;
    prog_.vars.push_back(std::move(v));
    return static_cast<uint16_t>(prog_.vars.size() - 1);
  }

  // ---- conditions ----
  void cond_and() {  // priority 3
    cond_or();
    for (;;) {
      skip_blanks();
      if (peek() != '&') return;
      pos_ += peek_at(pos_ + 1) == '&' ? 2 : 1;
      cond_or();
      op(kOpAnd);
      pop();
    }
  }

  void cond_or() {  // priority 4
    cond_not();
    for (;;) {
      skip_blanks();
      if (peek() != '|') return;
      pos_ += peek_at(pos_ + 1) == '|' ? 2 : 1;
      cond_not();
      op(kOpOr);
      pop();
    }
  }

  void cond_not() {  // priority 5
    skip_blanks();
    if (peek() == '!' && peek_at(pos_ + 1) != '=') {
      ++pos_;
      cond_not();
      op(kOpNot);
      return;
    }
    cond_primary();
  }

  void cond_primary() {
    skip_blanks();
    if (peek() == '(') {
      // Either a group of conditions or the first operand of a comparison: try the
      // group, and fall back when an operator follows its closing parenthesis.
      const size_t save_pos = pos_, save_code = prog_.code.size(), save_strings = prog_.strings.size();
      const int save_depth = depth_, save_group = group_level_;
      const bool save_ctx = cond_ctx_;
      bool is_group = true;
      try {
        ++pos_;
        ++group_level_;
        cond_and();
        --group_level_;
        skip_blanks();
        if (peek() != ')') fail("Mismatched Parentheses");
        ++pos_;
        skip_blanks();
        char c = peek();
        if (std::strchr("=<>+-*/%", c) && c != '\0') is_group = false;
        if (c == '!' && peek_at(pos_ + 1) == '=') is_group = false;
      } catch (const NotAGroup&) {
        is_group = false;
      }
      if (is_group) return;
      group_level_ = save_group;
      cond_ctx_ = save_ctx;
      pos_ = save_pos;
      prog_.code.resize(save_code);
      prog_.strings.resize(save_strings);
      depth_ = save_depth;
    }
    comparison();
  }

  bool read_relation(Relation* rel) {
    skip_blanks();
    char a = peek(), b = peek_at(pos_ + 1);
    int len = 0;
    if (a == '=' && b == '=') { *rel = kRelEq; len = 2; }
    else if (a == '=') { *rel = kRelEq; len = 1; }
    else if (a == '<' && b == '>') { *rel = kRelNe; len = 2; }
    else if (a == '!' && b == '=') { *rel = kRelNe; len = 2; }
    else if (a == '<' && b == '=') { *rel = kRelLe; len = 2; }
    else if (a == '>' && b == '=') { *rel = kRelGe; len = 2; }
    else if (a == '<') { *rel = kRelLt; len = 1; }
    else if (a == '>') { *rel = kRelGt; len = 1; }
    pos_ += len;
    return len > 0;
  }

  void comparison() {
    skip_blanks();
    const size_t start = pos_;
    const bool saved_ctx = cond_ctx_;
    cond_ctx_ = true;
    ValType left = arith();
    Relation rel;
    if (!read_relation(&rel)) {
      char c = peek();
      if (c == ')' && group_level_ > 0) {
        // A parenthesized value stands for itself: true when not 0.
        if (left != ValType::Number) throw NotAGroup{};
        cond_ctx_ = saved_ctx;
        check_length(start);
        return;
      }
      if (c == '\0' || c == '&' || c == '|' || c == ')' || c == '}' || c == '"' || c == '\'' || c == '(' ||
          is_name_char(c) || c == '.')
        fail("relational operator expected");
      fail("Unrecognized operator");
    }
    uint16_t mask = 0;
    int count = rhs_list(left, rel, &mask);
    check_length(start);
    if (left == ValType::Number) {
      op(kOpCmpNum);
      u8(rel);
      u8(static_cast<uint8_t>(count));
    } else {
      op(kOpCmpStr);
      u8(rel);
      u8(static_cast<uint8_t>(count));
      u16(mask);
    }
    pop(count);  // left and the right-hand values become one result
    cond_ctx_ = saved_ctx;
  }

  void check_length(size_t start) const {
    if (pos_ - start > kMaxComparisonChars) throw ExprError{"Expression too long"};
  }

  // End of a right-hand element: the next top-level ',', logical operator, ')', '}',
  // the end, or "then" inside an if-condition.
  size_t element_end(size_t from) const {
    int paren = 0;
    bool dq = false, sq = false, br = false;
    for (size_t i = from; i < s_.size(); ++i) {
      char c = s_[i];
      if (dq) { if (c == '"') dq = false; continue; }
      if (sq) { if (c == '\'') sq = false; continue; }
      if (br) { if (c == ']') br = false; continue; }
      if (c == '"') dq = true;
      else if (c == '\'') sq = true;
      else if (c == '[') br = true;
      else if (c == '(') ++paren;
      else if (c == ')') { if (paren == 0) return i; --paren; }
      else if (paren == 0 && (c == ',' || c == '&' || c == '|' || c == '}')) return i;
      else if (paren == 0 && in_if_cond_ && i > from && is_blank(s_[i - 1]) && at_word(i, "then")) return i;
    }
    return s_.size();
  }

  static bool looks_constant(std::string_view raw) {
    if (raw.empty()) return false;
    if (raw.front() == '[') return true;
    for (char c : raw)
      if (!(is_digit(c) || c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-')) return false;
    return true;
  }

  int rhs_list(ValType left, Relation rel, uint16_t* mask) {
    int count = 0;
    for (;;) {
      skip_blanks();
      const size_t el_start = pos_;
      const size_t el_end = element_end(pos_);
      std::string_view raw = trim(s_.substr(el_start, el_end - el_start));
      if (raw.size() > kMaxConstantChars && looks_constant(raw)) fail("Number too long");
      bool done = false;
      if (left == ValType::Number) {
        double v = 0;
        if (!raw.empty() && raw.front() == '[') {
          if (raw.back() != ']') fail("Syntax error");
          std::string_view inner = trim(raw.substr(1, raw.size() - 2));
          if (!cc_.parse_date || !cc_.parse_date(cc_.ctx, inner, &v))
            fail("Invalid date or time: " + std::string(inner));
          done = true;
        } else if (iequal(raw, "NA") || iequal(raw, "_missing")) {
          v = system_missing();
          done = true;
        } else if (parse_decimal(raw, &v)) {
          done = true;
        } else if (!raw.empty() && is_digit(raw.front()) && cc_.parse_date && cc_.parse_date(cc_.ctx, raw, &v)) {
          done = true;
        }
        if (done) {
          emit_num(v);
          pos_ = el_end;
        }
      } else if (raw.size() >= 2 && raw.front() == '"' && raw.back() == '"' && closing_quote(el_start) == el_start + raw.size() - 1) {
        std::string text = unquote(raw);
        if ((rel == kRelEq || rel == kRelNe) && text.find_first_of("*?") != std::string::npos && count < 16)
          *mask |= static_cast<uint16_t>(1u << count);
        emit_str(std::move(text));
        pos_ = el_end;
        done = true;
      }
      if (!done) {
        pos_ = el_start;
        if (at_end() || el_start == el_end) fail("Syntax error");
        ValType t = arith();
        if (t != left) fail("type mismatch in comparison expression");
      }
      ++count;
      skip_blanks();
      if (peek() != ',') break;
      ++pos_;
    }
    return count;
  }

  // Index of the quote closing a string literal that opens at `at`.
  size_t closing_quote(size_t at) const {
    size_t i = at + 1;
    while (i < s_.size()) {
      if (s_[i] == '"') {
        if (i + 1 < s_.size() && s_[i + 1] == '"') { i += 2; continue; }
        return i;
      }
      ++i;
    }
    return std::string_view::npos;
  }

  static std::string unquote(std::string_view lit) {
    std::string out;
    for (size_t i = 1; i + 1 < lit.size(); ++i) {
      out += lit[i];
      if (lit[i] == '"' && lit[i + 1] == '"') ++i;
    }
    return out;
  }

  // ---- computed values ----
  ValType value_expr() {
    skip_blanks();
    const size_t start = pos_;
    if (!at_word(pos_, "if")) {
      ValType t = arith();
      if (pos_ - start > kMaxComparisonChars) fail("Expression too long");
      return t;
    }
    pos_ += 2;
    const bool saved_if = in_if_cond_;
    in_if_cond_ = true;
    cond_and();
    in_if_cond_ = saved_if;
    skip_blanks();
    if (!at_word(pos_, "then")) fail("end expected ");
    pos_ += 4;
    op(kOpJumpFalse);
    const size_t j_false = prog_.code.size();
    u16(0);
    pop();
    const int base = depth_;
    ValType t1 = value_expr();
    skip_blanks();
    if (!at_word(pos_, "else")) fail("else expected ");
    pos_ += 4;
    op(kOpJump);
    const size_t j_end = prog_.code.size();
    u16(0);
    patch_u16(j_false, static_cast<uint16_t>(prog_.code.size()));
    depth_ = base;
    ValType t2 = value_expr();
    patch_u16(j_end, static_cast<uint16_t>(prog_.code.size()));
    if (t1 != t2) fail(type_inconsistency(t1, t2));
    return t1;
  }

  static std::string type_inconsistency(ValType a, ValType b) {
    return "Type inconsistency " + std::to_string(static_cast<int>(a)) + " " + std::to_string(static_cast<int>(b));
  }

  // ---- arithmetic ----
  ValType arith() {
    ValType t = term();
    for (;;) {
      skip_blanks();
      char c = peek();
      Op o;
      if (c == '+') o = kOpAdd;
      else if (c == '-') o = kOpSub;
      else if (c == '%') o = kOpMod;
      else if (c == '&' && !cond_ctx_) o = kOpJoin;
      else return t;
      ++pos_;
      if (o == kOpJoin && peek() == '&') ++pos_;
      ValType r = term();
      ValType want = o == kOpJoin ? ValType::String : ValType::Number;
      if (t != want || r != want) fail(type_inconsistency(t, r));
      op(o);
      pop();
    }
  }

  ValType term() {
    ValType t = unary();
    for (;;) {
      skip_blanks();
      char c = peek();
      if (c != '*' && c != '/') return t;
      ++pos_;
      ValType r = unary();
      if (t != ValType::Number || r != ValType::Number) fail(type_inconsistency(t, r));
      op(c == '*' ? kOpMul : kOpDiv);
      pop();
    }
  }

  ValType unary() {
    skip_blanks();
    if (peek() == '-') {
      ++pos_;
      ValType t = unary();
      if (t != ValType::Number) fail(type_inconsistency(t, ValType::Number));
      op(kOpNeg);
      return t;
    }
    if (peek() == '+') {
      ++pos_;
      ValType t = unary();
      if (t != ValType::Number) fail(type_inconsistency(t, ValType::Number));
      return t;
    }
    return operand();
  }

  ValType operand() {
    skip_blanks();
    char c = peek();
    if (c == '(') {
      ++pos_;
      const bool saved = cond_ctx_;
      cond_ctx_ = false;
      ValType t = arith();
      cond_ctx_ = saved;
      skip_blanks();
      if (peek() != ')') fail("Mismatched Parentheses");
      ++pos_;
      return t;
    }
    if (is_digit(c) || c == '.') return number_literal();
    if (c == '"') {
      size_t close = closing_quote(pos_);
      if (close == std::string_view::npos) fail("Syntax error");
      std::string text = unquote(s_.substr(pos_, close - pos_ + 1));
      pos_ = close + 1;
      emit_str(std::move(text));
      return ValType::String;
    }
    if (c == '\'') {
      std::string name = quoted_name();
      return variable(name);
    }
    if (is_name_start(c)) {
      size_t b = pos_;
      while (pos_ < s_.size() && is_name_char(s_[pos_])) ++pos_;
      std::string_view name = s_.substr(b, pos_ - b);
      if (peek() == '(') return call(name);
      return named_value(name);
    }
    fail(c == ')' ? "Mismatched Parentheses" : "Syntax error");
  }

  ValType number_literal() {
    size_t b = pos_;
    while (pos_ < s_.size() && (is_digit(s_[pos_]) || s_[pos_] == '.')) ++pos_;
    if (pos_ < s_.size() && (s_[pos_] == 'e' || s_[pos_] == 'E')) {
      size_t e = pos_ + 1;
      if (e < s_.size() && (s_[e] == '+' || s_[e] == '-')) ++e;
      if (e < s_.size() && is_digit(s_[e])) {
        pos_ = e;
        while (pos_ < s_.size() && is_digit(s_[pos_])) ++pos_;
      }
    }
    double v = 0;
    auto r = std::from_chars(s_.data() + b, s_.data() + pos_, v, std::chars_format::general);
    if (r.ec != std::errc() || r.ptr != s_.data() + pos_) fail("Syntax error");
    emit_num(v);
    return ValType::Number;
  }

  std::string quoted_name() {
    size_t close = s_.find('\'', pos_ + 1);
    if (close == std::string_view::npos) fail("Syntax error");
    std::string name(s_.substr(pos_ + 1, close - pos_ - 1));
    pos_ = close + 1;
    if (name.size() > kMaxQuotedName) fail("Invalid variable name: " + name);
    return name;
  }

  ValType named_value(std::string_view name) {
    if (name == "NA") {
      emit_num(system_missing());
      return ValType::Number;
    }
    if (name.front() == '_' || name.front() == '@') {
      std::string_view rest = name.substr(1);
      if (iequal(rest, "missing")) {
        emit_num(system_missing());
        return ValType::Number;
      }
      Op special = kOpEnd;
      ValType t = ValType::Number;
      if (iequal(rest, "rownum")) special = kOpRownum;
      else if (iequal(rest, "sheetname")) { special = kOpSheetName; t = ValType::String; }
      else if (iequal(rest, "sheetnumb")) special = kOpSheetNumb;
      if (special != kOpEnd) {
        op(special);
        push();
        return t;
      }
    }
    return variable(name);
  }

  // Resolves a variable name: fills index and type or fails.
  void lookup(std::string_view name, int32_t* index, bool* is_string) {
    std::string_view n = name;
    if (!n.empty() && n.front() == '^') n.remove_prefix(1);
    if (n.empty() || !cc_.find_var || !cc_.find_var(cc_.ctx, n, index, is_string))
      fail("Invalid variable name: " + std::string(name));
  }

  ValType variable(std::string_view name) {
    int32_t index = -1;
    bool is_string = false;
    lookup(name, &index, &is_string);
    uint16_t slot = var_slot(name.front() == '^' ? name.substr(1) : name, index, is_string);
    need(3);
    op(is_string ? kOpVarStr : kOpVarNum);
    u16(slot);
    push();
    return is_string ? ValType::String : ValType::Number;
  }

  ValType call(std::string_view name) {
    const FunctionInfo* f = find_function(name);
    if (!f) fail("Invalid function name");
    ++pos_;  // '('
    if (f->random) prog_.uses_random = true;
    int argc = 0;
    uint8_t extra = 0;
    ValType result = f->result;
    bool prior_emitted = false;
    skip_blanks();
    if (peek() != ')') {
      for (;;) {
        if (argc >= f->argc) fail("Wrong number of function arguments");
        ArgKind kind = f->args[argc];
        skip_blanks();
        if (kind == ArgKind::Keyword) {
          size_t b = pos_;
          while (pos_ < s_.size() && is_name_char(s_[pos_])) ++pos_;
          std::string word(s_.substr(b, pos_ - b));
          int k = input_file_keyword(word);
          if (k < 0) fail("Invalid Function Parameter: " + word);
          extra = static_cast<uint8_t>(k);
        } else if (kind == ArgKind::Variable) {
          std::string word;
          if (peek() == '\'') {
            word = quoted_name();
          } else {
            size_t b = pos_;
            while (pos_ < s_.size() && is_name_char(s_[pos_])) ++pos_;
            word.assign(s_.substr(b, pos_ - b));
          }
          if (word.empty()) fail("Invalid function argument");
          int32_t index = -1;
          bool is_string = false;
          lookup(word, &index, &is_string);
          uint16_t slot = var_slot(word.front() == '^' ? word.substr(1) : word, index, is_string);
          prog_.vars[slot].used_by_prior = true;
          prog_.uses_prior = true;
          need(3);
          op(is_string ? kOpPriorStr : kOpPriorNum);
          u16(slot);
          push();
          result = is_string ? ValType::String : ValType::Number;
          prior_emitted = true;
        } else {
          const bool saved = cond_ctx_;
          cond_ctx_ = false;
          const size_t code_before = prog_.code.size();
          ValType t = arith();
          cond_ctx_ = saved;
          ValType want = kind == ArgKind::Num ? ValType::Number : ValType::String;
          if (t != want) fail("Invalid function argument");
          // A constant number format is checked now rather than at every record.
          if (f->id == kFnFnumb && argc == 0 && prog_.code.size() == code_before + 3 && prog_.code[code_before] == kOpStr) {
            uint16_t idx = static_cast<uint16_t>(prog_.code[code_before + 1] | (prog_.code[code_before + 2] << 8));
            if (!fnumb_format_ok(prog_.strings[idx])) fail("Invalid function argument");
          }
        }
        ++argc;
        skip_blanks();
        if (peek() == ',') {
          ++pos_;
          continue;
        }
        break;
      }
    }
    skip_blanks();
    if (peek() != ')') fail(at_end() ? "Mismatched Parentheses" : "Wrong number of function arguments");
    ++pos_;
    if (argc != f->argc) fail("Wrong number of function arguments");
    if (prior_emitted) return result;
    need(3);
    op(kOpCall);
    u8(f->id);
    u8(extra);
    // Keyword arguments take no stack entry.
    int stack_args = 0;
    for (int i = 0; i < f->argc; ++i)
      if (f->args[i] != ArgKind::Keyword) ++stack_args;
    pop(stack_args);
    push();
    return result;
  }
};

std::unique_ptr<Program> compile(std::string_view text, const CompileContext& cc, bool condition) {
  auto prog = std::make_unique<Program>();
  prog->source.assign(text);
  prog->code.reserve(64);
  Compiler c(text, cc, *prog);
  if (condition) c.condition();
  else c.computed();
  return prog;
}

}  // namespace

std::unique_ptr<Program> compile_condition(std::string_view text, const CompileContext& cc) {
  return compile(text, cc, true);
}

std::unique_ptr<Program> compile_computed(std::string_view text, const CompileContext& cc) {
  return compile(text, cc, false);
}

}  // namespace tabulon
