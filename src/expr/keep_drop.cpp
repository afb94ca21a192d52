#include "expr/keep_drop.h"

#include <cctype>
#include <cstdio>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "api/call_frame.h"
#include "api/env_record.h"
#include "api/messages.h"
#include "api/raise.h"
#include "dict/dictionary.h"
#include "expr/functions.h"

namespace tabulon {

namespace {

// A names file larger than this is not a list of names.
constexpr long kMaxNamesFile = 64L * 1024 * 1024;

constexpr int32_t kDelimitedTextCode = 18;
constexpr int32_t kOtherChangeableCode = 9;

std::string upper(std::string_view s) {
  std::string u(s);
  for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return u;
}

bool iequal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

// Splits text into words at any of the separator characters.
class WordReader {
 public:
  WordReader(std::string_view text, const char* seps) : t_(text), seps_(seps) {}
  bool next(std::string_view* word) {
    while (pos_ < t_.size() && is_sep(t_[pos_])) ++pos_;
    if (pos_ >= t_.size()) return false;
    size_t b = pos_;
    while (pos_ < t_.size() && !is_sep(t_[pos_])) ++pos_;
    *word = t_.substr(b, pos_ - b);
    return true;
  }
  std::string_view rest() const { return pos_ < t_.size() ? t_.substr(pos_) : std::string_view{}; }
  void set_separators(const char* seps) { seps_ = seps; }

 private:
  bool is_sep(char c) const {
    for (const char* s = seps_; *s; ++s)
      if (*s == c) return true;
    return false;
  }
  std::string_view t_;
  const char* seps_;
  size_t pos_ = 0;
};

// Reads a names file: "//" comments end at the line end, line ends and tabs become
// blanks, other control characters are dropped.
bool read_names_file(const std::string& path, std::string* out) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  std::string raw;
  char buf[8192];
  size_t n;
  bool ok = true;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
    if (raw.size() + n > static_cast<size_t>(kMaxNamesFile)) {
      ok = false;
      break;
    }
    raw.append(buf, n);
  }
  if (std::ferror(f)) ok = false;
  std::fclose(f);
  if (!ok) return false;
  out->clear();
  out->reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    char c = raw[i];
    if (c == '/' && i + 1 < raw.size() && raw[i + 1] == '/') {
      while (i < raw.size() && raw[i] != '\n') ++i;
      out->push_back(' ');
      continue;
    }
    if (c == '\n' || c == '\t') out->push_back(' ');
    else if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F) out->push_back(c);
  }
  return true;
}

// Gives the list text: either the rest of the statement or, for "@file", the file's words.
// Returns false with the message set when the file cannot be read.
bool list_text(EnvRecord& env, WordReader& words, std::string* storage, std::string_view* list) {
  std::string_view first;
  std::string_view after_first = words.rest();
  if (!words.next(&first)) {
    *list = {};
    return true;
  }
  if (first.front() != '@') {
    *list = after_first.substr(static_cast<size_t>(first.data() - after_first.data()));
    return true;
  }
  // The file name is the rest of the statement (names with blanks allowed), quotes removed.
  std::string_view name = after_first;
  while (!name.empty() && (std::isspace(static_cast<unsigned char>(name.front())) || name.front() == ',' ||
                           name.front() == '='))
    name.remove_prefix(1);
  name.remove_prefix(1);  // '@'
  while (!name.empty() && std::isspace(static_cast<unsigned char>(name.back()))) name.remove_suffix(1);
  if (name.size() >= 2 && name.front() == '"' && name.back() == '"') name = name.substr(1, name.size() - 2);
  std::string path(name);
  if (!read_names_file(path, storage)) {
    SetMessageF(env, "Cannot open variable name file: %s", path.c_str());
    return false;
  }
  *list = *storage;
  return true;
}

bool is_numeric_type(int t) { return t >= 2 && t <= 6; }
bool is_date_type(int t) { return t >= 7 && t <= 9; }

}  // namespace

int32_t match_var_word(const DictState& d, std::string_view word, std::vector<int32_t>& out) {
  out.clear();
  const int32_t n = d.count();
  std::string up = upper(word);
  if (up == "_NUMBERS" || up == "_DATES" || up == "_TIMES") {
    const bool numbers = up == "_NUMBERS";
    for (int32_t i = 0; i < n; ++i) {
      int t = dict_var(d, i)->ttype;
      if (numbers ? is_numeric_type(t) : is_date_type(t)) out.push_back(i);
    }
    return static_cast<int32_t>(out.size());
  }
  if (word.find_first_of("*?") != std::string_view::npos) {
    for (int32_t i = 0; i < n; ++i)
      if (wildcard_match(word, dict_var(d, i)->name)) out.push_back(i);
    return static_cast<int32_t>(out.size());
  }
  const int32_t exact = dict_find(d, word);
  size_t dash = word.find_first_of("-:");
  if (exact < 0 && dash != std::string_view::npos) {
    const int32_t first = dict_find(d, word.substr(0, dash));
    if (first < 0) return 0;
    std::string_view last_name = word.substr(dash + 1);
    int32_t last = n - 1;
    for (int32_t i = first; i < n; ++i)
      if (iequal(dict_var(d, i)->name, last_name)) {
        last = i;
        break;
      }
    for (int32_t i = first; i <= last; ++i) out.push_back(i);
    return static_cast<int32_t>(out.size());
  }
  if (exact >= 0) out.push_back(exact);
  return static_cast<int32_t>(out.size());
}

namespace {

int32_t keep_drop_body(EnvRecord& env, const char* text, int32_t mode, bool reset) {
  std::string copy = text ? text : "";
  WordReader words(copy, " \t\r\n,=");
  bool keep;
  if (mode == kVarSelectFromText) {
    std::string_view w;
    if (!words.next(&w) || !(iequal(w, "keep") || iequal(w, "drop"))) {
      SetMessageF(env, "Incorrect Syntax in Drop/Keep statement: %s", copy.c_str());
      return 0;
    }
    keep = iequal(w, "keep");
  } else {
    keep = mode == kVarSelectKeep;
  }
  words.set_separators(" \t\r\n,=");
  std::string file_text;
  std::string_view list;
  if (!list_text(env, words, &file_text, &list)) return 0;

  DictState& d = env.dict;
  if (reset)
    for (int32_t i = 0; i < d.count(); ++i) dict_var(d, i)->selected = keep ? 0 : 1;

  const char* done_word = keep ? "was kept" : "was dropped";
  WordReader items(list, " \t\r\n,");
  std::vector<int32_t> hits;
  int32_t total = 0;
  std::string_view w;
  std::string line;
  while (items.next(&w)) {
    std::string word(w);
    int32_t k = match_var_word(d, word, hits);
    if (k == 0) {
      std::string up = upper(word);
      if (up == "_NUMBERS" || up == "_DATES" || up == "_TIMES") continue;  // an empty class is no error
      if (!env.expr.skip_bad_var_names) {
        SetMessageF(env, "Bad variable: %s in Keep/Drop processing", word.c_str());
        return 0;
      }
      line = std::string(kPrefixWarning) + " Bad variable: " + word + " in Keep/Drop processing";
      emit_raw(env, MsgKind::Warning, line.c_str());
      continue;
    }
    for (int32_t i : hits) dict_var(d, i)->selected = keep ? 1 : 0;
    total += k;
    line = std::string(kPrefixInfo) + " Variable: " + word + " " + done_word;
    emit_raw(env, MsgKind::Info, line.c_str());
  }
  SetMessageF(env, "%d variable%s %s", total, total == 1 ? " was" : "s were", keep ? "kept" : "dropped");
  return keep ? total : -total;
}

// Changing to or from a string is allowed for these inputs.
bool type_change_permitted(const EnvRecord& env) {
  int32_t code = env.transfer.input_code;
  return code == kDelimitedTextCode || code == kOtherChangeableCode || env.expr.input_types_changeable;
}

// One variable to type n. Returns false when the change is refused.
bool change_type(EnvRecord& env, VarRecord& v, int n) {
  const int t = v.ttype;
  char line[1024];
  if (t == n) {
    std::snprintf(line, sizeof line, "%s The variable <%s> was skipped because it already has the requested type [%s].",
                  kPrefixInfo, v.name.c_str(), ttype_name(n));
    emit_raw(env, MsgKind::Info, line);
    return true;
  }
  bool allowed;
  if (n < 1 || n > 9) allowed = false;
  else if (t == 1) allowed = type_change_permitted(env);
  else if (is_date_type(t)) allowed = env.expr.input_types_changeable;
  else if (is_numeric_type(t)) allowed = n != 1 || type_change_permitted(env);
  else allowed = false;
  if (!allowed) {
    std::snprintf(line, sizeof line, "%s The requested data type [%s] could not be assigned to the variable <%s>, having type [%s].",
                  kPrefixError, ttype_name(n), v.name.c_str(), ttype_name(t));
    emit_raw(env, MsgKind::Error, line);
    return false;
  }
  if (n == 1) {
    // The value becomes text: give it room for a number's text.
    if (is_date_type(t)) v.flags |= kVarDateMadeString;
    if (v.print_width < v.input_width) v.print_width = v.input_width;
    if (v.print_width < 32) v.print_width = 32;
  }
  v.ttype = static_cast<uint16_t>(n);
  v.api_type = api_type_of_ttype(n);
  v.flags |= kVarTypeSetByHost;
  std::snprintf(line, sizeof line, "%s The requested data type [%s] has been assigned to the variable <%s>, previously having type [%s].",
                kPrefixInfo, ttype_name(n), v.name.c_str(), ttype_name(t));
  emit_raw(env, MsgKind::Info, line);
  return true;
}

int32_t type_change_body(EnvRecord& env, int32_t new_type, const char* text) {
  std::string copy = text ? text : "";
  WordReader words(copy, " \t\r\n,=");
  std::string file_text;
  std::string_view list;
  if (!list_text(env, words, &file_text, &list)) return -1;
  DictState& d = env.dict;
  WordReader items(list, " \t\r\n,=");
  std::vector<int32_t> hits;
  int32_t changed = 0;
  std::string_view w;
  while (items.next(&w)) {
    std::string word(w);
    if (match_var_word(d, word, hits) == 0) {
      SetMessageF(env, "Bad variable: %s in Quick Type Changer processing", word.c_str());
      return -1;
    }
    for (int32_t i : hits) {
      if (!change_type(env, *dict_var(d, i), new_type)) {
        if (changed == 1)
          SetMessageF(env, "Bad new variable type. Only 1 variable has been assigned the new type. Please see log for details.");
        else
          SetMessageF(env, "Bad new variable type. Only %d variables have been assigned the new type. Please see log for details.", changed);
        return -1;
      }
      ++changed;
    }
  }
  SetMessageF(env, "%d variable%s %s", changed, changed == 1 ? " was" : "s were", "changed");
  return 0;
}

}  // namespace

int32_t keep_drop_statement(EnvRecord& env, const char* text, int32_t mode, bool reset) {
  try {
    return keep_drop_body(env, text, mode, reset);
  } catch (const std::bad_alloc&) {
    SetMessageF(env, "Out of Memory - Drop/Keep Processing");
    return 0;
  }
}

int32_t type_change_statement(EnvRecord& env, int32_t new_type, const char* text) {
  try {
    return type_change_body(env, new_type, text);
  } catch (const std::bad_alloc&) {
    SetMessageF(env, "Out of Memory - Drop/Keep Processing");
    return -1;
  }
}

void set_stop_on_bad_variable(EnvRecord& env, bool skip_bad_names) { env.expr.skip_bad_var_names = skip_bad_names; }

void set_input_types_changeable(EnvRecord& env, bool changeable) { env.expr.input_types_changeable = changeable; }

}  // namespace tabulon

using namespace tabulon;

DX_EXPORT int32_t DX_DoVarSelect(int32_t env_handle, const char* text, int32_t mode, int32_t reset) {
  return call_frame(env_handle, 0, [&](EnvRecord& env) { return keep_drop_statement(env, text, mode, reset != 0); });
}
