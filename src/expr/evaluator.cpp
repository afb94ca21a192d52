#include "expr/evaluator.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <ctime>

#include "dates/day_number.h"
#include "expr/expr_env_bridge.h"
#include "expr/functions.h"
#include "expr/sampling_random.h"

namespace tabulon {

namespace {

constexpr double kMissing = std::bit_cast<double>(0x54C0000000000000ULL);
// Longest text a function builds (repeat, concatn, insert): keeps a bad count from
// exhausting memory.
constexpr size_t kMaxBuiltString = 65535;

inline bool miss(double v) { return v == kMissing; }

inline uint16_t rd16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

inline void set_view(StackSlot& s, const char* p, size_t n) {
  s.p = p;
  s.len = n;
}
inline std::string_view view(const StackSlot& s) { return {s.p, s.len}; }

// Moves the scratch text into slot s (their buffers swap, so capacity is reused).
inline void set_built(StackSlot& s, std::string& scratch) {
  s.buf.swap(scratch);
  set_view(s, s.buf.data(), s.buf.size());
}

inline unsigned char fold(char c) { return static_cast<unsigned char>(std::toupper(static_cast<unsigned char>(c))); }

int icompare(std::string_view a, std::string_view b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = fold(a[i]), y = fold(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

bool relation_holds(int cmp, uint8_t rel) {
  switch (rel) {
    case kRelEq: return cmp == 0;
    case kRelNe: return cmp != 0;
    case kRelLt: return cmp < 0;
    case kRelGt: return cmp > 0;
    case kRelLe: return cmp <= 0;
    case kRelGe: return cmp >= 0;
  }
  return false;
}

// Missing values order below every number on either side.
bool number_relation(double l, double r, uint8_t rel) {
  const bool ml = miss(l), mr = miss(r);
  int cmp;
  if (ml || mr) cmp = ml && mr ? 0 : (ml ? -1 : 1);
  else if (l < r) cmp = -1;
  else if (l > r) cmp = 1;
  else if (l == r) cmp = 0;
  else return rel == kRelNe;  // NaN: unordered
  return relation_holds(cmp, rel);
}

size_t count_arg(double v, size_t cap) {
  if (miss(v) || !(v > 0)) return 0;
  if (v >= static_cast<double>(cap)) return cap;
  return static_cast<size_t>(v);
}

bool is_space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// Calendar fields of the whole day containing v (floored, so a negative fraction counts
// toward the earlier day); false outside 1 January 0001 .. 31 December 9999.
bool day_fields(double v, DateParts* parts) {
  if (!std::isfinite(v) || v < 1.0 - kDayNumberOffset || v >= 1.0 + kMaxOrdinal - kDayNumberOffset) return false;
  return ordinal_to_parts(static_cast<int32_t>(std::floor(v)) + kDayNumberOffset, parts);
}

double date_part(FuncId id, double v) {
  if (miss(v)) return kMissing;
  DateParts p;
  if (!day_fields(v, &p)) return 0;
  switch (id) {
    case kFnDayofmonth: return p.mday;
    case kFnDayofweek: return p.wday + 1;
    case kFnDayofyear: return p.yday + 1;
    case kFnMonth: return p.month + 1;
    case kFnQuarter: return p.month / 3 + 1;
    case kFnWeek: return p.yday / 7 + 1;
    case kFnYear: return p.year - 1900;
    default: return 0;
  }
}

// Whole day number of a calendar date (month 1..12), or missing when the date does not exist.
double calendar_day(int32_t year, int32_t month, int32_t mday) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || mday < 1 || mday > month_length(year, month - 1))
    return kMissing;
  DateParts p;
  p.year = year;
  p.month = month - 1;
  p.mday = mday;
  int32_t ordinal = 0;
  if (!parts_to_ordinal(p, &ordinal)) return kMissing;
  return static_cast<double>(ordinal - kDayNumberOffset);
}

double today() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  return calendar_day(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
}

double text_value(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && is_space(s[i])) ++i;
  bool neg = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
  double v = 0;
  auto r = std::from_chars(s.data() + i, s.data() + s.size(), v, std::chars_format::general);
  if (r.ec != std::errc()) return 0;
  return neg ? -v : v;
}

double samp_fixed(double n, double total) {
  SamplingCounters& c = sampling_counters();
  if (!c.fixed_started) {
    c.fixed_started = true;
    c.fixed_selected = 0;
    c.fixed_wanted = n;
    c.fixed_remaining = total;
  }
  double r = sampling_rand();
  double p = c.fixed_remaining > 0 ? (c.fixed_wanted - c.fixed_selected) / c.fixed_remaining : 0;
  double sel = 0;
  if (p >= r) {
    sel = 1;
    c.fixed_selected += 1;
  }
  c.fixed_remaining -= 1;
  return sel;
}

double samp_syst(double k) {
  SamplingCounters& c = sampling_counters();
  if (!c.syst_started) {
    c.syst_started = true;
    c.syst_counter = std::floor(k - std::floor(k * sampling_rand()) + 1);
    c.syst_limit = k;
  }
  double sel = 0;
  if (c.syst_counter > c.syst_limit) {
    sel = 1;
    c.syst_counter = 1;
  }
  c.syst_counter += 1;
  return sel;
}

// Runs function id over the args in st[0..]; the result goes to st[0].
void call_function(FuncId id, uint8_t extra, StackSlot* a, std::string& out, EnvRecord* env) {
  switch (id) {
    case kFnAbs: if (!miss(a[0].n)) a[0].n = std::fabs(a[0].n); return;
    case kFnSqrt: if (!miss(a[0].n)) a[0].n = a[0].n < 0 ? 0 : std::sqrt(a[0].n); return;
    case kFnPower:
      a[0].n = miss(a[0].n) || miss(a[1].n) ? kMissing : std::pow(a[0].n, a[1].n);
      if (!std::isfinite(a[0].n)) a[0].n = kMissing;
      return;
    case kFnConcat:
      out.assign(view(a[0]));
      out.append(view(a[1]));
      break;
    case kFnEdit: {
      std::string_view s = view(a[0]), mask = view(a[1]);
      out.clear();
      size_t si = 0;
      for (size_t mi = 0; mi < mask.size() && si < s.size(); ++mi) {
        if (mask[mi] == '9') out += s[si++];
        else if (mask[mi] == '$') ++si;
        else out += mask[mi];
      }
      break;
    }
    case kFnAscii: {
      std::string_view s = view(a[0]);
      a[0].n = s.empty() ? 0 : static_cast<double>(static_cast<signed char>(s[0]));
      return;
    }
    case kFnInsert: {
      std::string_view s = view(a[0]), t = view(a[3]);
      size_t n = count_arg(a[1].n, s.size());
      size_t k = count_arg(a[2].n, s.size() - n);
      out.assign(s.substr(0, n));
      out.append(t);
      out.append(s.substr(n + k));
      break;
    }
    case kFnLeft: {
      std::string_view s = view(a[0]);
      out.assign(s.substr(0, count_arg(a[1].n, s.size())));
      break;
    }
    case kFnRight: {
      std::string_view s = view(a[0]);
      size_t n = count_arg(a[1].n, s.size());
      out.assign(s.substr(s.size() - n));
      break;
    }
    case kFnLtrim: {
      std::string_view s = view(a[0]);
      while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
      out.assign(s);
      break;
    }
    case kFnRtrim: {
      std::string_view s = view(a[0]);
      while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
      out.assign(s);
      break;
    }
    case kFnLength: a[0].n = static_cast<double>(a[0].len); return;
    case kFnLocate: {
      std::string_view s = view(a[0]), t = view(a[1]);
      size_t from = miss(a[2].n) || a[2].n < 1 ? 0 : count_arg(a[2].n - 1, s.size());
      size_t at = from <= s.size() ? s.find(t, from) : std::string_view::npos;
      a[0].n = at == std::string_view::npos ? 0 : static_cast<double>(at + 1);
      return;
    }
    case kFnLcase:
    case kFnUcase: {
      out.assign(view(a[0]));
      for (char& c : out)
        c = static_cast<char>(id == kFnLcase ? std::tolower(static_cast<unsigned char>(c))
                                             : std::toupper(static_cast<unsigned char>(c)));
      break;
    }
    case kFnPcase: {
      out.assign(view(a[0]));
      for (size_t i = 0; i < out.size(); ++i) {
        auto u = static_cast<unsigned char>(out[i]);
        bool upper = i == 0 || out[i - 1] == ' ';
        out[i] = static_cast<char>(upper ? std::toupper(u) : std::tolower(u));
      }
      break;
    }
    case kFnRepeat: {
      std::string_view s = view(a[0]);
      out.clear();
      if (!s.empty()) {
        size_t n = count_arg(a[1].n, kMaxBuiltString / s.size());
        for (size_t i = 0; i < n; ++i) out.append(s);
      }
      break;
    }
    case kFnSubstring: {
      std::string_view s = view(a[0]);
      size_t p = miss(a[1].n) || a[1].n < 1 ? 0 : count_arg(a[1].n - 1, s.size());
      size_t n = count_arg(a[2].n, s.size() - p);
      out.assign(s.substr(p, n));
      break;
    }
    case kFnRand: a[0].n = sampling_rand(); return;
    case kFnCurdate: a[0].n = today(); return;
    case kFnDayofmonth: case kFnDayofweek: case kFnDayofyear: case kFnMonth:
    case kFnQuarter: case kFnWeek: case kFnYear:
      a[0].n = date_part(id, a[0].n);
      return;
    case kFnDate: {
      double y = a[0].n, m = a[1].n, d = a[2].n;
      a[0].n = kMissing;
      if (miss(y) || miss(m) || miss(d) || !(std::fabs(y) < 1e5) || !(m >= 1 && m < 13) || !(d >= 1 && d < 32)) return;
      a[0].n = calendar_day(static_cast<int32_t>(y) + 1900, static_cast<int32_t>(m), static_cast<int32_t>(d));
      return;
    }
    case kFnParse: {
      std::string_view s = view(a[0]), seps = view(a[2]);
      size_t want = count_arg(a[1].n, s.size() + 1);
      out.clear();
      size_t word = 0, i = 0;
      while (want > 0 && i < s.size()) {
        while (i < s.size() && seps.find(s[i]) != std::string_view::npos) ++i;
        if (i >= s.size()) break;
        size_t b = i;
        while (i < s.size() && seps.find(s[i]) == std::string_view::npos) ++i;
        if (++word == want) {
          out.assign(s.substr(b, i - b));
          break;
        }
      }
      break;
    }
    case kFnInputFile: input_file_part(expr_input_path(env), extra, out); break;
    case kFnFnumb: fnumb_apply(view(a[0]), a[1].n, out); break;
    case kFnConcatn: {
      std::string_view s = view(a[0]);
      size_t n = count_arg(a[1].n, kMaxBuiltString);
      out.assign(s.substr(0, n));
      if (out.size() < n) out.append(n - out.size(), ' ');
      out.append(view(a[2]));
      break;
    }
    case kFnReplace: {
      std::string_view s = view(a[0]), from = view(a[1]), to = view(a[2]);
      out.clear();
      for (char c : s) {
        if (!from.empty() && c == from[0]) {
          if (!to.empty()) out += to[0];  // an empty replacement removes the character
        } else {
          out += c;
        }
      }
      break;
    }
    case kFnVal: a[0].n = text_value(view(a[0])); return;
    case kFnStr: {
      out.clear();
      if (!miss(a[0].n)) {
        char buf[24];
        auto r = std::to_chars(buf, buf + sizeof buf, to_int64_saturated(a[0].n));
        out.assign(buf, r.ptr);
      }
      break;
    }
    case kFnSampRand: a[0].n = a[0].n >= sampling_rand() ? 1 : 0; return;
    case kFnSampFixed: a[0].n = samp_fixed(a[0].n, a[1].n); return;
    case kFnSampSyst: a[0].n = samp_syst(a[0].n); return;
    case kFnPrior:
    case kFnCount: return;
  }
  set_built(a[0], out);
}

}  // namespace

double system_missing() { return kMissing; }
bool is_system_missing(double v) { return v == kMissing; }

ExprValue evaluate(Program& prog, EnvRecord* env) {
  StackSlot* st = prog.stack.data();
  int sp = -1;
  const uint8_t* code = prog.code.data();
  size_t ip = 0;
  for (bool running = true; running;) {
    const uint8_t o = code[ip++];
    switch (o) {
      case kOpEnd: running = false; break;
      case kOpNum: std::memcpy(&st[++sp].n, code + ip, 8); ip += 8; break;
      case kOpStr: {
        const std::string& s = prog.strings[rd16(code + ip)];
        ip += 2;
        set_view(st[++sp], s.data(), s.size());
        break;
      }
      case kOpVarNum: {
        const ProgramVar& v = prog.vars[rd16(code + ip)];
        ip += 2;
        st[++sp].n = (v.miss && *v.miss) || !v.num ? kMissing : *v.num;
        break;
      }
      case kOpVarStr: {
        const ProgramVar& v = prog.vars[rd16(code + ip)];
        ip += 2;
        const char* p = v.str ? v.str : "";
        set_view(st[++sp], p, std::strlen(p));
        break;
      }
      case kOpPriorNum: {
        const ProgramVar& v = prog.vars[rd16(code + ip)];
        ip += 2;
        st[++sp].n = v.prior_valid ? v.prior_num : kMissing;
        break;
      }
      case kOpPriorStr: {
        const ProgramVar& v = prog.vars[rd16(code + ip)];
        ip += 2;
        set_view(st[++sp], v.prior_str.data(), v.prior_str.size());
        break;
      }
      case kOpRownum: st[++sp].n = expr_row_number(env); break;
      case kOpSheetNumb: st[++sp].n = expr_sheet_number(env); break;
      case kOpSheetName: {
        std::string_view n = expr_sheet_name(env);
        set_view(st[++sp], n.data(), n.size());
        break;
      }
      case kOpAdd: case kOpSub: case kOpMul: case kOpDiv: case kOpMod: {
        double r = st[sp--].n;
        double& l = st[sp].n;
        if (miss(l) || miss(r)) {
          l = kMissing;
        } else if (o == kOpAdd) {
          l += r;
        } else if (o == kOpSub) {
          l -= r;
        } else if (o == kOpMul) {
          l *= r;
        } else if (o == kOpDiv) {
          l = r == 0 ? 0 : l / r;
        } else {
          int64_t a = to_int64_saturated(l), b = to_int64_saturated(r);
          l = b == 0 || (b == -1) ? 0 : static_cast<double>(a % b);
        }
        break;
      }
      case kOpNeg: if (!miss(st[sp].n)) st[sp].n = -st[sp].n; break;
      case kOpJoin: {
        prog.scratch.assign(view(st[sp - 1]));
        prog.scratch.append(view(st[sp]));
        --sp;
        set_built(st[sp], prog.scratch);
        break;
      }
      case kOpCmpNum: {
        const uint8_t rel = code[ip], n = code[ip + 1];
        ip += 2;
        const int base = sp - n;
        const double l = st[base].n;
        bool any = false, all = true;
        for (int i = 1; i <= n; ++i) {
          bool h = number_relation(l, st[base + i].n, rel);
          any |= h;
          all &= h;
        }
        sp = base;
        st[sp].n = (rel == kRelEq ? any : all) ? 1 : 0;
        break;
      }
      case kOpCmpStr: {
        const uint8_t rel = code[ip], n = code[ip + 1];
        const uint16_t mask = rd16(code + ip + 2);
        ip += 4;
        const int base = sp - n;
        std::string_view l = view(st[base]);
        while (!l.empty() && l.front() == ' ') l.remove_prefix(1);
        bool any = false, all = true;
        for (int i = 1; i <= n; ++i) {
          std::string_view r = view(st[base + i]);
          bool h;
          if (mask & (1u << (i - 1))) h = wildcard_match(r, l) == (rel == kRelEq);
          else h = relation_holds(icompare(l, r), rel);
          any |= h;
          all &= h;
        }
        sp = base;
        st[sp].n = (rel == kRelEq ? any : all) ? 1 : 0;
        break;
      }
      case kOpAnd: {
        double r = st[sp--].n;
        st[sp].n = st[sp].n != 0 && r != 0 ? 1 : 0;
        break;
      }
      case kOpOr: {
        double r = st[sp--].n;
        st[sp].n = st[sp].n != 0 || r != 0 ? 1 : 0;
        break;
      }
      case kOpNot: st[sp].n = st[sp].n == 0 ? 1 : 0; break;
      case kOpCall: {
        const auto id = static_cast<FuncId>(code[ip]);
        const uint8_t extra = code[ip + 1];
        ip += 2;
        const FunctionInfo& f = function_info(id);
        int args = 0;
        for (int i = 0; i < f.argc; ++i)
          if (f.args[i] != ArgKind::Keyword) ++args;
        sp = sp - args + 1;
        call_function(id, extra, &st[sp], prog.scratch, env);
        break;
      }
      case kOpJumpFalse: {
        const uint16_t target = rd16(code + ip);
        ip = st[sp--].n == 0 ? target : ip + 2;
        break;
      }
      case kOpJump: ip = rd16(code + ip); break;
      default: running = false; break;
    }
  }

  if (prog.uses_prior) {
    for (ProgramVar& v : prog.vars) {
      if (!v.used_by_prior) continue;
      if (v.is_string) v.prior_str.assign(v.str ? v.str : "");
      else v.prior_num = (v.miss && *v.miss) || !v.num ? kMissing : *v.num;
      v.prior_valid = true;
    }
  }

  ExprValue out;
  out.type = prog.result;
  if (sp >= 0) {
    out.num = prog.is_condition ? (st[0].n != 0 ? 1 : 0) : st[0].n;
    if (prog.result == ValType::String) out.str = view(st[0]);
  }
  return out;
}

}  // namespace tabulon
