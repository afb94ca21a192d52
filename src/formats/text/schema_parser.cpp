#include "formats/text/schema_parser.h"

#include <strings.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "api/env_record.h"
#include "api/messages.h"
#include "api/raise.h"
#include "dict/dictionary.h"

namespace tabulon {

namespace {

constexpr size_t kMaxNameLength = 256;  // a name this long or longer is refused
constexpr uint32_t kMaxLrecl = 64000;
constexpr int kMaxImplied = 10;
constexpr size_t kMaxLabelValue = 32768;
constexpr uint32_t kDefaultDelimitedString = 255;
constexpr uint32_t kDefaultDelimitedNumber = 15;

struct Token {
  std::string text;
  bool quoted = false;  // came between quotes
  bool single = false;  // single quotes
  bool marker = false;  // starts a statement
  bool eof = false;
  int line = 0;
};

bool is_sep(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool ieq(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

// Splits the schema into words, statement by statement.
class Lexer {
 public:
  Lexer(const SchemaLines& src) : src_(src) {}

  const Token& peek() {
    fill();
    return words_[pos_];
  }
  Token take() {
    fill();
    return words_[pos_++];
  }
  // True while the current statement has words left.
  bool more() {
    const Token& t = peek();
    return !t.marker && !t.eof;
  }
  // True while words of the line read last are left (reads no further line).
  bool more_on_line() const { return pos_ < words_.size() && !words_[pos_].marker && !words_[pos_].eof; }
  int line() const { return line_; }

 private:
  void fill() {
    while (pos_ >= words_.size()) {
      words_.clear();
      pos_ = 0;
      const char* text = nullptr;
      size_t len = 0;
      if (done_ || !src_.next || !src_.next(src_.ctx, &text, &len)) {
        done_ = true;
        Token t;
        t.eof = true;
        t.line = line_;
        words_.push_back(t);
        return;
      }
      ++line_;
      split(text, len);
    }
  }

  void split(const char* s, size_t n) {
    // Is there anything but blanks and a comment?
    size_t first = 0;
    while (first < n && is_sep(s[first])) ++first;
    if (first == n || (first + 1 < n && s[first] == '/' && s[first + 1] == '/')) return;
    size_t i = 0;
    bool starts = !(s[0] == ' ' || s[0] == '\t');
    if (s[0] == '+' || s[0] == '-') i = 1;
    if (starts) {
      Token m;
      m.marker = true;
      m.line = line_;
      words_.push_back(m);
    }
    const size_t before = words_.size();
    bool plain_last = false;
    while (i < n) {
      while (i < n && is_sep(s[i])) ++i;
      if (i >= n) break;
      if (s[i] == '/' && i + 1 < n && s[i + 1] == '/') break;  // comment
      Token t;
      t.line = line_;
      const char c = s[i];
      if (c == '"' || c == '\'') {
        t.quoted = true;
        t.single = c == '\'';
        ++i;
        while (i < n) {
          if (s[i] == c) {
            if (i + 1 < n && s[i + 1] == c) {  // a doubled quote stands for itself
              t.text += c;
              i += 2;
              continue;
            }
            ++i;
            break;
          }
          t.text += s[i++];
        }
        while (!t.text.empty() && t.text.back() == ' ') t.text.pop_back();
        plain_last = false;
      } else if (c == '(' || c == '[' || c == '{') {
        const char close = c == '(' ? ')' : c == '[' ? ']' : '}';
        while (i < n && s[i] != close) t.text += s[i++];
        if (i < n) ++i;
        while (t.text.size() > 1 && t.text.back() == ' ') t.text.pop_back();
        plain_last = false;
      } else {
        const bool column = is_digit(c);
        while (i < n && !is_sep(s[i])) {
          if (s[i] == '/' && i + 1 < n && s[i + 1] == '/') break;
          // "1-10(A)": a type may follow a column specification without a blank.
          if (column && (s[i] == '(' || s[i] == '[' || s[i] == '{')) break;
          t.text += s[i++];
        }
        plain_last = true;
      }
      words_.push_back(std::move(t));
    }
    // A closing "." alone is dropped, and so is one at the end of the last word.
    if (plain_last && words_.size() > before) {
      Token& last = words_.back();
      if (last.text == ".")
        words_.pop_back();
      else if (last.text.size() > 1 && last.text.back() == '.')
        last.text.pop_back();
    }
  }

  SchemaLines src_;
  std::vector<Token> words_;
  size_t pos_ = 0;
  int line_ = 0;
  bool done_ = false;
};

[[noreturn]] void fail(EnvRecord& env, int line, const char* format, const std::string& arg = std::string()) {
  char body[900];
  std::snprintf(body, sizeof body, format, arg.c_str());
  RaiseErrorF(env, "Schema Error at line %d - %s", line, body);
}

bool parse_uint(const std::string& s, size_t from, size_t to, uint32_t* out) {
  if (from >= to) return false;
  uint64_t v = 0;
  for (size_t i = from; i < to; ++i) {
    if (!is_digit(s[i])) return false;
    v = v * 10 + static_cast<uint64_t>(s[i] - '0');
    if (v > 0xFFFFFFF) return false;
  }
  *out = static_cast<uint32_t>(v);
  return true;
}

// The parts that may follow the names of a variable specification.
struct SpecParts {
  int ttype = 0;
  uint32_t type_width = 0;
  int implied = 0;
  std::string pattern;
  MissingSpec missing;
  bool has_label = false;
  std::string label;
  std::string tag;
};

void parse_type(EnvRecord& env, const Token& t, SpecParts& p) {
  const std::string body = t.text.substr(1);
  if (body.find('%') != std::string::npos) {
    p.pattern = body;
    p.ttype = pattern_ttype(body);
    if (p.ttype == 0) p.ttype = 7;
    return;
  }
  if (body.empty()) {
    p.ttype = 5;
    return;
  }
  switch (std::tolower(static_cast<unsigned char>(body[0]))) {
    case 'a':
    case 's': p.ttype = 1; break;
    case 'b': p.ttype = 2; break;
    case 'i': p.ttype = 3; break;
    case 'l': p.ttype = 4; break;
    case 'd': p.ttype = 6; break;
    default: p.ttype = 5;
  }
  size_t i = 1;
  uint32_t width = 0;
  while (i < body.size() && is_digit(body[i])) {
    width = width * 10 + static_cast<uint32_t>(body[i] - '0');
    if (width > 0xFFFFFF) width = 0xFFFFFF;
    ++i;
  }
  p.type_width = width;
  if (i < body.size() && body[i] == '.') {
    ++i;
    long d = 0;
    bool any = false;
    while (i < body.size() && is_digit(body[i])) {
      if (d < 1000) d = d * 10 + (body[i] - '0');
      any = true;
      ++i;
    }
    if (!any || d > kMaxImplied) fail(env, t.line, "Implied decimal points must be in the range 1-10");
    p.implied = static_cast<int>(d);
  }
}

void parse_missing(EnvRecord& env, const Token& t, MissingSpec& spec) {
  const std::string& s = t.text;
  size_t i = 1;
  MissingEntry list[3];
  int n = 0;
  auto bad = [&]() { fail(env, t.line, "Error in Missing Values: %s", s.substr(1)); };
  while (true) {
    while (i < s.size() && s[i] == ' ') ++i;
    if (i >= s.size()) break;
    uint8_t kind = kMissValue;
    if (s[i] == '<' || s[i] == '>') {
      const bool less = s[i] == '<';
      ++i;
      if (i < s.size() && s[i] == '=') {
        kind = less ? kMissAtMost : kMissAtLeast;
        ++i;
      } else {
        kind = less ? kMissBelow : kMissAbove;
      }
      while (i < s.size() && s[i] == ' ') ++i;
    }
    const size_t b = i;
    while (i < s.size() && (is_digit(s[i]) || s[i] == '-' || s[i] == '.')) ++i;
    if (i == b || n == 3) bad();
    const std::string num = s.substr(b, i - b);
    char* end = nullptr;
    const double v = std::strtod(num.c_str(), &end);
    if (!end || *end != '\0' || !std::isfinite(v)) bad();
    list[n].kind = kind;
    list[n].value = v;
    ++n;
    while (i < s.size() && s[i] == ' ') ++i;
    if (i < s.size() && s[i] == ',') ++i;
    else if (i < s.size()) bad();
  }
  spec = MissingSpec{};
  for (int k = 0; k < n; ++k) {
    MissingEntry e = list[k];
    if (e.kind == kMissAtLeast && k + 1 < n && list[k + 1].kind == kMissAtMost && list[k + 1].value >= e.value) {
      e.kind = kMissRange;
      e.high = list[k + 1].value;
      ++k;
    }
    spec.entry[spec.count++] = e;
  }
}

class Parser {
 public:
  Parser(EnvRecord& env, const SchemaLines& lines, SchemaInfo& info) : env_(env), lex_(lines), info_(info) {}

  void run() {
    for (;;) {
      Token t = lex_.take();
      if (t.eof) return;
      if (!t.marker) continue;  // words before any statement cannot occur; be safe
      if (!lex_.more_on_line() && !lex_.more()) continue;
      Token w = lex_.take();
      if (ieq(w.text, "format")) {
        format_statement(w);
      } else if (ieq(w.text, "data")) {
        // The data may follow at once: look no further than this line.
        if (lex_.more_on_line() && ieq(lex_.peek().text, "list")) {
          lex_.take();
          data_list();
        } else {
          info_.inline_data = true;
          return;
        }
      } else if (ieq(w.text, "variables")) {
        data_list();  // the word our own schema writer uses
      } else if (ieq(w.text, "file")) {
        while (lex_.more()) {
          Token f = lex_.take();
          if (f.text.find('.') != std::string::npos) info_.data_file = f.text;
        }
      } else if (ieq(w.text, "first") && lex_.more() && ieq(lex_.peek().text, "line")) {
        lex_.take();
        if (lex_.more()) info_.first_line = std::atoi(lex_.take().text.c_str());
        skip_statement();
      } else if (ieq(w.text, "encoding")) {
        if (lex_.more()) info_.encoding = lex_.take().text;
        skip_statement();
      } else if (ieq(w.text, "variable") && lex_.more() && ieq(lex_.peek().text, "labels")) {
        lex_.take();
        variable_labels(w.line);
      } else if (ieq(w.text, "value") && lex_.more() && ieq(lex_.peek().text, "labels")) {
        lex_.take();
        value_labels(w.line);
      } else if (ieq(w.text, "attributes")) {
        attributes(w.line);
      } else {
        RaiseErrorF(env_, "Parse Error at line %d - Cannot understand word: %s", w.line, w.text.c_str());
      }
    }
  }

 private:
  void skip_statement() {
    while (lex_.more()) lex_.take();
  }

  void format_statement(const Token& head) {
    if (!lex_.more()) fail(env_, head.line, "Expecting format type 'fixed' or 'delimited'");
    Token k = lex_.take();
    if (ieq(k.text, "fixed")) {
      info_.delimited = false;
    } else if (ieq(k.text, "delimited") || ieq(k.text, "free")) {
      if (!lex_.more()) fail(env_, k.line, "Expecting delmiter specification after \"delimited\" keyword");
      Token d = lex_.take();
      char c;
      if (ieq(d.text, "commas"))
        c = ',';
      else if (ieq(d.text, "tabs"))
        c = '\t';
      else if (ieq(d.text, "spaces"))
        c = ' ';
      else if (ieq(d.text, "semicolons"))
        c = ';';
      else if (d.text.size() == 2 && d.text[0] == '\\')
        c = d.text[1] == 't' ? '\t' : d.text[1];
      else if (d.text.size() == 1)
        c = d.text[0];  // a single character names itself
      else
        fail(env_, d.line, "Do not recognize delimiter '%s;", d.text);
      info_.delimited = true;
      info_.delimiter = c;
    } else {
      fail(env_, k.line, "Expecting format type 'fixed' or 'delimited'");
    }
    skip_statement();
  }

  // ---- data list ----

  void data_list() {
    while (lex_.more()) {
      Token w = lex_.take();
      if (w.text == "." || w.text == "~") continue;
      if (!w.quoted && ieq(w.text, "lrecl")) {
        std::string v = lex_.more() ? lex_.take().text : std::string();
        uint32_t n = 0;
        if (!parse_uint(v, 0, v.size(), &n) || n < 1 || n > kMaxLrecl) fail(env_, w.line, "Invalid record length %s", v);
        lrecl_ = n;
        if (n > info_.lrecl) info_.lrecl = n;
        continue;
      }
      if (!w.quoted && !w.text.empty() && w.text[0] == '/') {
        size_t i = 0;
        while (i < w.text.size() && w.text[i] == '/') {
          ++i;
          size_t b = i;
          while (i < w.text.size() && is_digit(w.text[i])) ++i;
          uint32_t n = 0;
          if (i > b && parse_uint(w.text, b, i, &n) && n >= 1 && n <= 65535)
            record_line_ = n - 1;
          else
            ++record_line_;
          if (record_line_ > 65535) fail(env_, w.line, "Invalid record length %s", w.text);
        }
        if (record_line_ + 1 > info_.lines_per_record) info_.lines_per_record = record_line_ + 1;
        if (i < w.text.size()) {
          Token rest = w;
          rest.text = w.text.substr(i);
          variable_spec(rest);
        }
        continue;
      }
      variable_spec(w);
    }
  }

  void add_names(const Token& first, std::vector<std::string>& names) {
    if (first.text.size() >= kMaxNameLength) fail(env_, first.line, "Variable name [%s] is too long", first.text);
    if (lex_.more() && ieq(lex_.peek().text, "to") && !lex_.peek().quoted) {
      lex_.take();
      if (!lex_.more()) fail(env_, first.line, "expecting column specification - read: %s", "to");
      Token last = lex_.take();
      if (last.text.size() >= kMaxNameLength) fail(env_, last.line, "Variable name [%s] is too long", last.text);
      expand_to(first, last, names);
      return;
    }
    names.push_back(first.text);
  }

  // "q08 to q10" gives q08, q09, q10.
  void expand_to(const Token& a, const Token& b, std::vector<std::string>& names) {
    auto digits_at = [](const std::string& s) {
      size_t k = s.size();
      while (k > 0 && is_digit(s[k - 1])) --k;
      return k;
    };
    const size_t da = digits_at(a.text), db = digits_at(b.text);
    uint32_t from = 0, to = 0;
    if (da == a.text.size() || db == b.text.size() || da == 0 || !parse_uint(a.text, da, a.text.size(), &from) ||
        !parse_uint(b.text, db, b.text.size(), &to) || to < from || to - from > 65535)
      fail(env_, b.line, "Cannot expand the variable list: %s", a.text + " to " + b.text);
    const std::string prefix = a.text.substr(0, da);
    const size_t digits = a.text.size() - da;
    for (uint32_t k = from; k <= to; ++k) {
      std::string num = std::to_string(k);
      if (num.size() < digits) num.insert(0, digits - num.size(), '0');
      names.push_back(prefix + num);
    }
  }

  void variable_spec(const Token& first) {
    std::vector<std::string> names;
    add_names(first, names);
    uint32_t start = 0, end = 0;
    bool columns = false;
    if (!info_.delimited) {
      for (;;) {
        if (!lex_.more()) fail(env_, lex_.line(), "expecting column specification - read: %s", "");
        const Token& p = lex_.peek();
        if (!p.quoted && !p.text.empty() && is_digit(p.text[0])) break;
        Token w = lex_.take();
        if (w.quoted || w.text.empty() || w.text[0] == '(' || w.text[0] == '[' || w.text[0] == '{' ||
            w.text[0] == '\\' || w.text[0] == '/' || w.text == "~")
          fail(env_, w.line, "expecting column specification - read: %s", w.text);
        add_names(w, names);
      }
      Token c = lex_.take();
      const size_t dash = c.text.find('-');
      bool ok;
      if (dash == std::string::npos) {
        ok = parse_uint(c.text, 0, c.text.size(), &start);
        end = 0;
      } else {
        ok = parse_uint(c.text, 0, dash, &start) && parse_uint(c.text, dash + 1, c.text.size(), &end) && end >= start;
      }
      if (!ok || start < 1) fail(env_, c.line, "expecting column specification - read: %s", c.text);
      columns = true;
    }
    SpecParts parts;
    while (lex_.more()) {
      const Token& p = lex_.peek();
      if (p.quoted || p.text.empty()) break;
      const char c = p.text[0];
      if (p.text == "~") {
        lex_.take();
        break;
      }
      if (c != '(' && c != '[' && c != '{' && c != '\\') break;
      Token w = lex_.take();
      if (c == '(')
        parse_type(env_, w, parts);
      else if (c == '[')
        parse_missing(env_, w, parts.missing);
      else if (c == '{') {
        parts.has_label = true;
        parts.label = w.text.substr(1);
      } else {
        parts.tag = w.text.substr(1);
      }
    }
    const int ttype = parts.ttype ? parts.ttype : 5;
    // Delimited fields carry their own decimal point: the decimals are for display only.
    const int decimals = parts.implied;
    if (ttype == 1 || info_.delimited) parts.implied = 0;

    uint32_t width;
    if (columns) {
      if (end == 0) {
        width = parts.type_width ? parts.type_width : 1;
      } else {
        width = (end - start + 1) / static_cast<uint32_t>(names.size());
        if (width == 0) fail(env_, first.line, "expecting column specification - read: %s", std::to_string(start) + "-" + std::to_string(end));
      }
    } else {
      width = parts.type_width ? parts.type_width : ttype == 1 ? kDefaultDelimitedString : kDefaultDelimitedNumber;
    }
    uint32_t column = columns ? start - 1 : 0;
    for (const std::string& name : names) {
      VarRecord& v = dict_append_var(env_.dict, name, ttype, width);
      v.selected = 1;
      v.fixed_record = static_cast<uint16_t>(record_line_);
      v.fixed_column = column;
      v.implied_decimals = static_cast<int16_t>(parts.implied);
      if (ttype == 5 || ttype == 6)
        v.decimals = static_cast<uint8_t>(decimals);
      else
        v.decimals = 0;
      if (parts.has_label && !parts.label.empty()) {
        var_set_label(v, parts.label);
        env_.dict.any_var_label = true;
      }
      SchemaVar sv;
      sv.var = &v;
      sv.line = static_cast<uint16_t>(record_line_);
      sv.column = column;
      sv.width = width;
      sv.implied = parts.implied;
      sv.lrecl = lrecl_;
      sv.missing = parts.missing;
      sv.tag = parts.tag;
      if (ttype >= 7 && !parts.pattern.empty()) {
        sv.pattern = parts.pattern;
        compile_parse_pattern(sv.pattern, &sv.parsed);
      }
      info_.vars.push_back(std::move(sv));
      if (columns) {
        column += width;
        if (column > info_.line_width) info_.line_width = column;
      }
    }
  }

  // ---- labels and attributes ----

  SchemaVar* find(const std::string& name) {
    for (SchemaVar& sv : info_.vars)
      if (strcasecmp(sv.var->name.c_str(), name.c_str()) == 0) return &sv;
    return nullptr;
  }

  void variable_labels(int line) {
    if (info_.vars.empty()) fail(env_, line, "Data list must preceed variable labels statement");
    while (lex_.more()) {
      Token name = lex_.take();
      if (name.text == "/") continue;
      SchemaVar* sv = find(name.text);
      if (!sv) fail(env_, name.line, "Problem in Variable Label - invalid variable name: %s", name.text);
      if (!lex_.more()) fail(env_, name.line, "Problem in Variable Label - Missing label");
      Token label = lex_.take();
      if (label.text.empty()) {
        sv->var->label.clear();
        continue;
      }
      var_set_label(*sv->var, label.text);
      env_.dict.any_var_label = true;
    }
  }

  struct LabelEntry {
    bool is_string;
    std::string value_text;
    double value;
    std::string label;
  };

  void value_labels(int line) {
    if (info_.vars.empty()) fail(env_, line, "Data list must preceed value lables statement");
    while (lex_.more()) {
      Token tag = lex_.take();
      if (tag.text == "/") continue;
      if (tag.quoted || tag.text.size() < 2 || tag.text[0] != '\\') fail(env_, tag.line, "Expecting a label tag starting with \\");
      std::vector<LabelEntry> set;
      bool any_string = false;
      while (lex_.more()) {
        const Token& p = lex_.peek();
        if (!p.quoted && !p.text.empty() && p.text[0] == '\\') break;
        if (!p.quoted && p.text == "/") {
          lex_.take();
          break;
        }
        Token value = lex_.take();
        LabelEntry e;
        char* end = nullptr;
        e.value = std::strtod(value.text.c_str(), &end);
        e.is_string = value.single || value.text.empty() || !end || *end != '\0';
        if (e.is_string) {
          std::string text = value.text;
          while (!text.empty() && text.back() == ' ') text.pop_back();
          if (text.size() > kMaxLabelValue) {
            emit_message(env_, MsgKind::Warning, " Length of the submitted variable value will be limited to 32768 bytes");
            text.resize(utf8_cut(text.data(), text.size(), kMaxLabelValue));
          }
          e.value_text = std::move(text);
          any_string = true;
        } else {
          e.value_text = value.text;
        }
        if (lex_.more()) e.label = lex_.take().text;
        set.push_back(std::move(e));
      }
      apply_set(tag.text.substr(1), set, any_string);
    }
  }

  void apply_set(const std::string& tag, const std::vector<LabelEntry>& set, bool any_string) {
    for (SchemaVar& sv : info_.vars) {
      if (sv.tag.empty() || strcasecmp(sv.tag.c_str(), tag.c_str()) != 0) continue;
      VarRecord& v = *sv.var;
      if (any_string && !v.is_string())
        RaiseErrorF(env_, "Attempt to apply string label to numeric variable: %s", v.name.c_str());
      v.value_labels.clear();
      v.value_labels.reserve(set.size());
      for (const LabelEntry& e : set) {
        ValueLabel& l = v.value_labels.emplace_back();
        if (v.is_string()) {
          l.has_text = true;
          l.text = e.value_text;
        } else {
          l.value = e.value;
        }
        l.label = e.label;
      }
      if (!set.empty()) env_.dict.value_labels_present = true;
    }
  }

  void attributes(int line) {
    if (info_.vars.empty()) fail(env_, line, "Data list must preceed the Attribute statement");
    while (lex_.more()) {
      Token name = lex_.take();
      SchemaVar* sv = find(name.text);
      if (!sv) fail(env_, name.line, "Problem in Attributes - invalid name: %s", name.text);
      if (!lex_.more()) fail(env_, name.line, "Problem in Attribute - Missing Attribute Name");
      Token attr = lex_.take();
      if (attr.text.empty()) fail(env_, attr.line, "Problem in Attribute - Missing Attribute Name");
      ExtAttr& a = sv->var->ext_attrs.add();
      a.name = attr.text;
      a.has_name = true;
      if (lex_.more()) {
        Token value = lex_.take();
        char* end = nullptr;
        const double x = std::strtod(value.text.c_str(), &end);
        if (!value.quoted && !value.text.empty() && end && *end == '\0') {
          a.number = x;
          a.type = kAttrNumeric;
        } else {
          a.text = value.text;
          a.has_text = true;
          a.type = kAttrString;
        }
      }
    }
  }

  EnvRecord& env_;
  Lexer lex_;
  SchemaInfo& info_;
  uint32_t record_line_ = 0;
  uint32_t lrecl_ = 0;
};

bool text_next(void* ctx, const char** line, size_t* len) {
  TextLines& t = *static_cast<TextLines*>(ctx);
  const std::string& s = *t.text;
  if (t.pos >= s.size()) return false;
  size_t end = s.find('\n', t.pos);
  if (end == std::string::npos) end = s.size();
  size_t stop = end;
  if (stop > t.pos && s[stop - 1] == '\r') --stop;
  *line = s.data() + t.pos;
  *len = stop - t.pos;
  t.pos = end + 1;
  return true;
}

}  // namespace

SchemaLines TextLines::source() { return SchemaLines{this, text_next}; }

void parse_schema(EnvRecord& env, const SchemaLines& lines, SchemaInfo& info) {
  Parser p(env, lines, info);
  p.run();
}

bool missing_matches(const MissingSpec& spec, double x, int mode) {
  if (mode == 2) return false;
  const int n = mode == 1 ? (spec.count > 0 ? 1 : 0) : spec.count;
  for (int k = 0; k < n; ++k) {
    const MissingEntry& e = spec.entry[k];
    switch (e.kind) {
      case kMissValue:
        if (std::fabs(x - e.value) <= 1e-6) return true;
        break;
      case kMissAtLeast:
        if (x >= e.value) return true;
        break;
      case kMissAtMost:
        if (x <= e.value) return true;
        break;
      case kMissRange:
        if (x >= e.value && x <= e.high) return true;
        break;
      case kMissBelow:
        if (x < e.value) return true;
        break;
      case kMissAbove:
        if (x > e.value) return true;
        break;
      default:
        break;
    }
  }
  return false;
}

int pattern_ttype(const std::string& pattern) {
  bool date = false, time = false;
  for (size_t i = 0; i + 1 < pattern.size(); ++i) {
    if (pattern[i] != '%') continue;
    size_t k = i + 1;
    while (k < pattern.size() && (is_digit(pattern[k]) || pattern[k] == ':' || pattern[k] == '$')) ++k;
    if (k >= pattern.size()) break;
    switch (pattern[k]) {
      case 'm': case 'd': case 'y': case 'Y': case 'b': case 'B': case 'j': case 'e':
        date = true;
        break;
      case 'H': case 'I': case 'M': case 'S': case 'N': case 'p':
        time = true;
        break;
      default:
        break;
    }
    i = k;
  }
  return date && time ? 9 : date ? 7 : time ? 8 : 0;
}

}  // namespace tabulon
