#include "expr/functions.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

namespace tabulon {

namespace {

using enum ArgKind;
constexpr ValType N = ValType::Number;
constexpr ValType S = ValType::String;

const FunctionInfo kFunctions[] = {
    {"abs", kFnAbs, 1, {Num}, N, false},
    {"sqrt", kFnSqrt, 1, {Num}, N, false},
    {"concat", kFnConcat, 2, {Str, Str}, S, false},
    {"edit", kFnEdit, 2, {Str, Str}, S, false},
    {"prior", kFnPrior, 1, {Variable}, N, false},
    {"ascii", kFnAscii, 1, {Str}, N, false},
    {"insert", kFnInsert, 4, {Str, Num, Num, Str}, S, false},
    {"left", kFnLeft, 2, {Str, Num}, S, false},
    {"ltrim", kFnLtrim, 1, {Str}, S, false},
    {"length", kFnLength, 1, {Str}, N, false},
    {"locate", kFnLocate, 3, {Str, Str, Num}, N, false},
    {"lcase", kFnLcase, 1, {Str}, S, false},
    {"repeat", kFnRepeat, 2, {Str, Num}, S, false},
    {"right", kFnRight, 2, {Str, Num}, S, false},
    {"rtrim", kFnRtrim, 2, {Str, Num}, S, false},
    {"substring", kFnSubstring, 3, {Str, Num, Num}, S, false},
    {"rand", kFnRand, 0, {}, N, true},
    {"ucase", kFnUcase, 1, {Str}, S, false},
    {"curdate", kFnCurdate, 0, {}, N, false},
    {"dayofmonth", kFnDayofmonth, 1, {Num}, N, false},
    {"dayofweek", kFnDayofweek, 1, {Num}, N, false},
    {"dayofyear", kFnDayofyear, 1, {Num}, N, false},
    {"month", kFnMonth, 1, {Num}, N, false},
    {"quarter", kFnQuarter, 1, {Num}, N, false},
    {"week", kFnWeek, 1, {Num}, N, false},
    {"year", kFnYear, 1, {Num}, N, false},
    {"date", kFnDate, 3, {Num, Num, Num}, N, false},
    {"parse", kFnParse, 3, {Str, Num, Str}, S, false},
    {"input_file", kFnInputFile, 1, {Keyword}, S, false},
    {"fnumb", kFnFnumb, 2, {Str, Num}, S, false},
    {"pcase", kFnPcase, 1, {Str}, S, false},
    {"power", kFnPower, 2, {Num, Num}, N, false},
    {"concatn", kFnConcatn, 3, {Str, Num, Str}, S, false},
    {"replace", kFnReplace, 3, {Str, Str, Str}, S, false},
    {"val", kFnVal, 1, {Str}, N, false},
    {"str", kFnStr, 1, {Num}, S, false},
    {"samp_rand", kFnSampRand, 1, {Num}, N, true},
    {"samp_fixed", kFnSampFixed, 2, {Num, Num}, N, true},
    {"samp_syst", kFnSampSyst, 1, {Num}, N, true},
};
static_assert(sizeof kFunctions / sizeof kFunctions[0] == kFnCount);

bool iequal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

const char* const kInputFileKeywords[] = {"full_spec", "drive", "dir", "name", "ext", "lowest_dir"};

inline unsigned char fold(char c) { return static_cast<unsigned char>(std::toupper(static_cast<unsigned char>(c))); }

}  // namespace

const FunctionInfo* find_function(std::string_view name) {
  for (const FunctionInfo& f : kFunctions)
    if (iequal(name, f.name)) return &f;
  return nullptr;
}

const FunctionInfo& function_info(FuncId id) { return kFunctions[id]; }

int input_file_keyword(std::string_view word) {
  for (int i = 0; i < 6; ++i)
    if (iequal(word, kInputFileKeywords[i])) return i;
  return -1;
}

void input_file_part(std::string_view path, int k, std::string& out) {
  out.clear();
  size_t slash = path.find_last_of('/');
  std::string_view dir = slash == std::string_view::npos ? std::string_view{} : path.substr(0, slash + 1);
  std::string_view file = slash == std::string_view::npos ? path : path.substr(slash + 1);
  size_t dot = file.find_last_of('.');
  std::string_view name = dot == std::string_view::npos ? file : file.substr(0, dot);
  std::string_view ext = dot == std::string_view::npos ? std::string_view{} : file.substr(dot);
  switch (k) {
    case 0: out.assign(path); break;
    case 1: break;  // no drive letters here
    case 2: out.assign(dir); break;
    case 3: out.assign(name); break;
    case 4: out.assign(ext); break;
    case 5: {
      std::string_view d = dir;
      while (!d.empty() && d.back() == '/') d.remove_suffix(1);
      size_t s = d.find_last_of('/');
      out.assign(s == std::string_view::npos ? d : d.substr(s + 1));
      break;
    }
    default: break;
  }
}

namespace {

// Parses one conversion: flags, width, precision, conversion letter. Returns the
// position after it or npos.
size_t scan_conversion(std::string_view f, size_t i, char* conv) {
  // f[i] is the character after '%'.
  while (i < f.size() && std::strchr("-+ #0", f[i])) ++i;
  int digits = 0;
  while (i < f.size() && std::isdigit(static_cast<unsigned char>(f[i]))) { ++i; if (++digits > 2) return std::string_view::npos; }
  if (i < f.size() && f[i] == '.') {
    ++i;
    digits = 0;
    while (i < f.size() && std::isdigit(static_cast<unsigned char>(f[i]))) { ++i; if (++digits > 2) return std::string_view::npos; }
  }
  // Length modifiers are accepted and ignored.
  while (i < f.size() && std::strchr("hlLqjzt", f[i])) ++i;
  if (i >= f.size() || !std::strchr("diouxXeEfFgG", f[i])) return std::string_view::npos;
  *conv = f[i];
  return i + 1;
}

}  // namespace

bool fnumb_format_ok(std::string_view f) {
  int conversions = 0;
  for (size_t i = 0; i < f.size(); ++i) {
    if (f[i] != '%') continue;
    if (i + 1 < f.size() && f[i + 1] == '%') { ++i; continue; }
    char conv;
    size_t next = scan_conversion(f, i + 1, &conv);
    if (next == std::string_view::npos) return false;
    ++conversions;
    i = next - 1;
  }
  return conversions == 1 && f.size() < 200;
}

void fnumb_apply(std::string_view f, double value, std::string& out) {
  out.clear();
  if (!fnumb_format_ok(f)) return;
  char spec[32];
  char buf[512];
  for (size_t i = 0; i < f.size(); ++i) {
    if (f[i] != '%') { out += f[i]; continue; }
    if (f[i + 1] == '%') { out += '%'; ++i; continue; }
    char conv = 0;
    size_t next = scan_conversion(f, i + 1, &conv);
    // Rebuild the conversion with our own length modifier.
    size_t n = 0;
    spec[n++] = '%';
    for (size_t j = i + 1; j < next - 1 && n < 20; ++j)
      if (!std::strchr("hlLqjzt", f[j])) spec[n++] = f[j];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    if (std::strchr("di", conv)) {
      spec[n++] = 'l'; spec[n++] = 'l'; spec[n++] = conv; spec[n] = 0;
      std::snprintf(buf, sizeof buf, spec, static_cast<long long>(to_int64_saturated(value)));
    } else if (std::strchr("ouxX", conv)) {
      spec[n++] = 'l'; spec[n++] = 'l'; spec[n++] = conv; spec[n] = 0;
      std::snprintf(buf, sizeof buf, spec, static_cast<unsigned long long>(to_int64_saturated(value)));
    } else {
      spec[n++] = conv; spec[n] = 0;
      std::snprintf(buf, sizeof buf, spec, value);
    }
#pragma GCC diagnostic pop
    out += buf;
    i = next - 1;
  }
}

bool wildcard_match(std::string_view p, std::string_view t) {
  size_t pi = 0, ti = 0;
  size_t star = std::string_view::npos, mark = 0;
  while (ti < t.size()) {
    if (pi < p.size() && (p[pi] == '?' || (p[pi] != '*' && fold(p[pi]) == fold(t[ti])))) {
      ++pi; ++ti;
    } else if (pi < p.size() && p[pi] == '*') {
      star = pi++;
      mark = ti;
    } else if (star != std::string_view::npos) {
      pi = star + 1;
      ti = ++mark;
    } else {
      return false;
    }
  }
  while (pi < p.size() && p[pi] == '*') ++pi;
  return pi == p.size();
}

int64_t to_int64_saturated(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 9.2e18) return std::numeric_limits<int64_t>::max();
  if (v <= -9.2e18) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(v);
}

}  // namespace tabulon
