#include "encoding/legalize.h"

#include <strings.h>

#include <cctype>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "api/env_record.h"
#include "api/messages.h"
#include "engine/change_report.h"
#include "encoding/case_map.h"
#include "encoding/transcode.h"

namespace tabulon {

// ---- Rule sets ----

const NameRules kRulesSpssLong = {64, kCaseModeOption, "vA-Za-z", "_A-Za-z0-9$@.#", "_0A-Za-z0-9$@#", "0-9", "var. names"};
const NameRules kRulesSpssShort = {8, kCaseModeUpper, "vA-Za-z", "_A-Za-z0-9$@.#", "0A-Za-z0-9$@#", "0-9A-F", "var. names"};
const NameRules kRulesProgram8 = {8, kCaseModeOption, "vA-Za-z", "_A-Za-z0-9", "0A-Za-z0-9", "0-9", "var. names"};
const NameRules kRulesProgram32 = {32, kCaseModeOption, "A-Za-z", "_a-z0-9A-Z", "a-z0-9_A-Z", "0-9", "var. names"};
const NameRules kRulesSasFormat = {0, kCaseModeUpper, "$A-Z", "_A-Z0-9", "A-Z", "A-Z", "formats"};
const NameRules kRulesStataOld = {8, kCaseModeOption, "A-Za-z", "_0-9A-Za-z", "0-9A-Za-z_", "0-9", "var. names"};
const NameRules kRulesStata = {32, kCaseModeOption, "A-Za-z", "_0-9A-Za-z", "0-9A-Za-z_", "0-9", "var. names"};
const NameRules kRulesEpiInfo = {10, kCaseModeUpper, "A-Z", "0-9A-Z", "0-9A-Z", "0-9", "var. names"};
const NameRules kRulesGauss = {8, kCaseModeOption, "A-Za-z", "_A-Za-z0-9", "A-Za-z0-9_", "0-9", "var. names"};
const NameRules kRulesLimdep = {8, kCaseModeUpper, "A-Za-z0-9", "_A-Za-z0-9", "A-Za-z0-9_", "0-9", "var. names"};
const NameRules kRulesMinitab = {255, kCaseModeOption, "A-Za-z", "_0-9A-Za-z", "0-9_A-Za-z", "0-9", "var. names"};
const NameRules kRulesDbase = {10, kCaseModeUpper, "A-Za-z", "_0-9A-Za-z", "0-9_A-Za-z", "0-9", "var. names"};
const NameRules kRulesStatistica = {8, kCaseModeOption, "A-Za-z", "_0-9A-Za-z", "0-9_A-Za-z", "0-9", "var. names"};
const NameRules kRulesPortableUpper = {8, kCaseModeUpper, "A-Z", "_0-9A-Z", "0-9_A-Z", "0-9", "var. names"};
const NameRules kRulesPortableMixed = {8, kCaseModeUpper, "A-Za-z$@", "_A-Za-z0-9$@.#", "A-Za-z0-9_$@.#", "0-9", "var. names"};
const NameRules kRulesParadox = {11, kCaseModeOption, "0-9_A-Za-z", "_0-9A-Za-z", "0-9_A-Za-z", "0-9", "var. names"};
const NameRules kRulesXmlTag = {0, kCaseModeOption, "vA-Za-z0-9_", "vA-Za-z0-9_", "vA-Za-z0-9_", "0-9", "tag names"};

namespace {

constexpr const char* kReserved[] = {"AND", "BY", "EQ", "GE", "GT", "LE", "LT", "NE", "NOT", "OR", "TO", "WITH", "ADD"};
constexpr char kReplacement[] = "variabl0";

// Case-sensitive output formats take "var-case-cs".
bool case_sensitive_format(int32_t code) {
  switch (code) {
    case 14: case 17: case 29: case 41: case 51: case 56: case 64: return true;
    default: return false;
  }
}

// A character of the name: byte offset and length.
struct Ch {
  size_t off;
  size_t len;
  bool substituted;
};

// Splits a UTF-8 name into characters (at most 255); an invalid sequence ends the name there.
void char_table(const std::string& s, std::vector<Ch>& out, size_t* valid_len) {
  out.clear();
  size_t i = 0;
  while (i < s.size() && out.size() < 255) {
    uint32_t cp;
    int n = utf8_decode(reinterpret_cast<const unsigned char*>(s.data() + i), s.size() - i, &cp);
    if (n <= 0 || cp == 0) break;
    out.push_back({i, static_cast<size_t>(n), false});
    i += static_cast<size_t>(n);
  }
  *valid_len = i;
}

// Cuts s to at most max bytes at a character boundary.
void cut_utf8(std::string& s, size_t max) {
  if (s.size() <= max) return;
  size_t cut = max;
  while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
  s.resize(cut);
}

void set_case(std::string& s, bool upper) {
  if (upper) to_upper_utf8(s.data());
  else to_lower_utf8(s.data());
  s.resize(strlen(s.c_str()));
}

// Copies a rule string, applying the case mode and moving "_" to the front of a middle or last
// set that holds it elsewhere (so "_" is the substitute).
std::string prepare_set(const char* set, int32_t case_mode, bool shift_underscore) {
  std::string s = set ? set : "";
  if (case_mode == kCaseModeUpper) for (auto& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  if (case_mode == kCaseModeLower) for (auto& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  if (shift_underscore && !s.empty() && s[0] != '_' && s.find('_') != std::string::npos) s.insert(s.begin(), '_');
  return s;
}

// Symbols of a suffix alphabet after range expansion; false when more than 64.
bool expand_alphabet(const char* set, std::string& out) {
  out.clear();
  const char* s = set && *set ? set : "0-9";
  for (size_t i = 0; s[i];) {
    if (s[i + 1] == '-' && s[i + 2]) {
      for (int c = static_cast<unsigned char>(s[i]); c <= static_cast<unsigned char>(s[i + 2]); ++c)
        out += static_cast<char>(c);
      i += 3;
    } else {
      out += s[i++];
    }
    if (out.size() > 64) return false;
  }
  return !out.empty();
}

std::string make_suffix(const std::string& alphabet, uint64_t n) {
  const uint64_t k = alphabet.size();
  std::string suffix(1, alphabet[n % k]);
  n /= k;
  while (n > 0) {
    suffix.insert(suffix.begin(), alphabet[(n - 1) % k]);
    n = (n - 1) / k;
  }
  return suffix;
}

bool equals_reserved(const std::string& s) {
  for (const char* w : kReserved)
    if (strcasecmp(w, s.c_str()) == 0) return true;
  return false;
}

// Steps of character legalization; `name` is UTF-8. Returns kLegalOk, kLegalEmpty,
// kLegalReserved or kLegalTrimmedAll.
int32_t legalize_characters(EnvRecord& env, std::string& name, const std::string& first, const std::string& middle,
                            const std::string& last) {
  std::vector<Ch> chars;
  size_t valid = 0;
  char_table(name, chars, &valid);
  name.resize(valid);
  if (chars.empty()) return kLegalEmpty;
  if (chars[0].len == 1 && equals_reserved(name)) return kLegalReserved;

  if (chars[0].len == 1 && !in_char_set(first.c_str(), static_cast<unsigned char>(name[0]))) {
    emit_messagef(env, MsgKind::Info, " Variable name [%s] will be shifted right to insert the first valid character [%c].",
                  name.c_str(), first[0]);
    name.insert(name.begin(), first[0]);
    char_table(name, chars, &valid);
  }
  const size_t count = chars.size();
  for (size_t i = 1; i + 1 < count; ++i) {
    Ch& ch = chars[i];
    unsigned char c = static_cast<unsigned char>(name[ch.off]);
    if (ch.len == 1 && !in_char_set(middle.c_str(), c)) {
      emit_messagef(env, MsgKind::Info,
                    " Variable name [%s] is being changed, the invalid character [%c] will be replaced by [%c].",
                    name.c_str(), c, middle[0]);
      name[ch.off] = middle[0];
      ch.substituted = true;
    }
  }
  if (count >= 2) {
    Ch& ch = chars[count - 1];
    unsigned char c = static_cast<unsigned char>(name[ch.off]);
    if (ch.len == 1 && !in_char_set(last.c_str(), c)) {
      emit_messagef(env, MsgKind::Info,
                    " Variable name [%s] is being changed, the last invalid character [%c] will be replaced by [%c].",
                    name.c_str(), c, last[0]);
      name[ch.off] = last[0];
      ch.substituted = true;
    }
  }
  size_t n = count, dropped = 0;
  while (n > 2 && chars[n - 1].substituted && chars[n - 2].substituted) {
    emit_messagef(env, MsgKind::Info, " Variable name [%s] is being changed, the last substitution character [%c] will be trimmed.",
                  name.c_str(), name[chars[n - 1].off]);
    name.resize(chars[n - 1].off);
    --n;
    ++dropped;
  }
  if (dropped >= count) return kLegalTrimmedAll;
  return kLegalOk;
}

void apply_mode(EnvRecord& env, std::string& name, int32_t mode, const LegalizeContext& ctx) {
  if (mode == kCaseModeUpper) set_case(name, true);
  else if (mode == kCaseModeLower) set_case(name, false);
  else apply_case_rule(env, name, case_rule_for_format(env, ctx.format_code), true, ctx.quiet_case);
}

}  // namespace

bool in_char_set(const char* set, unsigned char c) {
  if (!set || !*set) return false;
  if (static_cast<unsigned char>(set[0]) == c) return true;
  for (size_t i = 0; set[i];) {
    if (set[i + 1] == '-' && set[i + 2]) {
      if (c >= static_cast<unsigned char>(set[i]) && c <= static_cast<unsigned char>(set[i + 2])) return true;
      i += 3;
    } else {
      if (static_cast<unsigned char>(set[i]) == c) return true;
      ++i;
    }
  }
  return false;
}

// ---- Registry ----

struct NameRegistry::Entry {
  Entry* next;
  std::string name;
  uint64_t value;
};

NameRegistry::NameRegistry() { std::memset(buckets_, 0, sizeof buckets_); }
NameRegistry::~NameRegistry() { clear(); }

void NameRegistry::clear() {
  for (auto& b : buckets_) {
    while (b) {
      Entry* next = b->next;
      delete b;
      b = next;
    }
  }
}

uint32_t NameRegistry::bucket_of(const char* name, size_t len) {
  uint32_t sum = 0;
  for (size_t i = 0; i < len; ++i) {
    uint32_t b = static_cast<unsigned char>(toupper(static_cast<unsigned char>(name[i])));
    sum += (i & 1) ? (b << 8) : b;
  }
  return ((sum * 40499u) >> 8) & 255u;
}

bool NameRegistry::contains(const char* name, size_t len) const {
  for (const Entry* e = buckets_[bucket_of(name, len)]; e; e = e->next)
    if (e->name.size() == len && strncasecmp(e->name.data(), name, len) == 0) return true;
  return false;
}

bool NameRegistry::add(const char* name, size_t len) {
  Entry* e = new (std::nothrow) Entry{nullptr, std::string(), 0};
  if (!e) return false;
  try {
    e->name.assign(name, len);
  } catch (...) {
    delete e;
    return false;
  }
  uint32_t b = bucket_of(name, len);
  e->next = buckets_[b];
  buckets_[b] = e;
  return true;
}

// ---- Case rules ----

int32_t case_rule_for_format(const EnvRecord& env, int32_t format_code) {
  return case_sensitive_format(format_code) ? env.encoding.case_cs : env.encoding.case_ci;
}

bool apply_case_rule(EnvRecord& env, std::string& name, int32_t rule, bool is_var_name, bool quiet) {
  if (rule == kCasePreserveAlways || name.empty()) return false;
  int lower = 0, upper = 0, other = 0;
  const auto* s = reinterpret_cast<const unsigned char*>(name.data());
  for (size_t i = 0; i < name.size();) {
    uint32_t cp;
    int n = utf8_decode(s + i, name.size() - i, &cp);
    if (n <= 0) {
      if (!quiet) {
        const char* what = is_var_name ? "variable name[" : "variable label[";
        emit_messagef(env, MsgKind::Warning,
                      " Case of the %s%s] was not changed because it contains invalid UTF-8 characters. Usually it "
                      "indicates that the input encoding is set incorrectly.",
                      what, name.c_str());
      }
      return false;
    }
    if (upper_code_point(cp) != cp) ++lower;
    else if (lower_code_point(cp) != cp) ++upper;
    else ++other;
    i += static_cast<size_t>(n);
  }
  const bool tell = is_var_name && !quiet;
  std::string before = name;
  switch (rule) {
    case kCaseLower:
      if (upper == 0) return false;
      if (tell) emit_messagef(env, MsgKind::Warning, " Variable name[%s] will be lowercased.", name.c_str());
      set_case(name, false);
      break;
    case kCaseUpper:
      if (lower == 0) return false;
      if (tell) emit_messagef(env, MsgKind::Warning, "Variable name[%s] will be uppercased.", name.c_str());
      set_case(name, true);
      break;
    case kCasePreserveMixed:
      if ((lower > 0 && (upper > 0 || other > 0)) || (upper > 0 && other > 0)) {
        if (tell)
          emit_messagef(env, MsgKind::Info,
                        "Variable name[%s] will be preserved because it mix upper and lower case (or numbers and letters).",
                        name.c_str());
        return false;
      }
      if (lower > 0 || upper == 0) return false;
      if (tell) emit_messagef(env, MsgKind::Warning, " Variable name[%s] will be lowercased.", name.c_str());
      set_case(name, false);
      break;
    default:
      return false;
  }
  return name != before;
}

// ---- One name ----

int32_t legalize_name(EnvRecord& env, std::string& name, const NameRules& rules, LegalizeContext& ctx, int32_t max_len) {
  int32_t limit = rules.max_len > 0 ? rules.max_len : max_len;
  if (limit <= 0) limit = 255;
  const size_t maxb = static_cast<size_t>(limit);
  const int32_t mode = rules.case_mode;
  // 1. Sets under the case mode.
  const std::string first = prepare_set(rules.first, mode, false);
  const std::string middle = prepare_set(rules.middle, mode, true);
  const std::string last = prepare_set(rules.last, mode, true);
  // 2. Nothing to do for an empty name.
  if (name.empty()) return kLegalOk;
  const std::string original = name;

  // 3. Work copy, cut to the maximum, case applied.
  std::string work = name;
  cut_utf8(work, maxb);
  apply_mode(env, work, mode, ctx);

  // 4. Representability in the output encoding.
  if (ctx.out_slot && ctx.out_slot->has_descriptor() && !work.empty()) {
    size_t got = 0;
    char probe[1024];
    int32_t r = transcode_quiet(env, *ctx.out_slot, work.data(), work.size(), probe, sizeof probe, &got, true);
    if (r != kTcOk && r != kTcTruncated) {
      emit_messagef(env, MsgKind::Warning,
                    " %s %s][%d bytes] couldn't be preserved because of an incorrectly chosen output encoding (%s). It "
                    "was replaced by the automatically generated one.",
                    ctx.prefix, original.c_str(), static_cast<int>(original.size()), ctx.out_slot->to.c_str());
      ++ctx.replaced;
      work = kReplacement;
      cut_utf8(work, maxb);
      apply_mode(env, work, mode, ctx);
    }
  }

  // 5-6. Characters; reserved words and names with nothing left become the replacement name.
  int32_t result = legalize_characters(env, work, first, middle, last);
  if (result == kLegalReserved || result == kLegalEmpty) {
    work = kReplacement;
    cut_utf8(work, maxb);
    result = kLegalOk;
  }
  // The inserted first character may push the name over the maximum.
  cut_utf8(work, maxb);
  // 7. Case again.
  apply_mode(env, work, mode, ctx);

  // 8. Uniqueness.
  if (!ctx.no_unique && ctx.registry.contains(work.data(), work.size())) {
    std::string alphabet;
    if (!expand_alphabet(rules.suffix, alphabet)) return kLegalBadSuffix;
    const std::string kept = work;
    for (uint64_t n = 0;; ++n) {
      std::string suffix = make_suffix(alphabet, n);
      if (suffix.size() >= maxb) return kLegalBadSuffix;  // no room left for any base
      std::string candidate = kept;
      cut_utf8(candidate, maxb - suffix.size());
      candidate += suffix;
      if (!ctx.registry.contains(candidate.data(), candidate.size())) {
        work = candidate;
        break;
      }
    }
  }

  // 9. Register, then write the name in the output encoding.
  if (!ctx.registry.add(work.data(), work.size())) return kLegalNoEntry;
  const bool changed = work != original;
  std::string legal = work;
  if (ctx.out_slot && ctx.out_slot->has_descriptor()) {
    char out[256];
    size_t cap = (maxb < 255 ? maxb : 255) + 1;
    TranscodeCall call;
    call.context = "Error encoding output variable name, ";
    int64_t n = transcode_string(env, *ctx.out_slot, work.data(), work.size(), out, cap, call);
    work.assign(out, static_cast<size_t>(n));
  }

  // 10. Report.
  if (changed) {
    ++ctx.changed;
    // A changed name is a change of the data set, counted for the closing report; a change of
    // case only (the output's naming style) is not.
    const bool var_name = std::strcmp(ctx.prefix, "The original name of var.[") == 0;
    if (strcasecmp(original.c_str(), legal.c_str()) != 0)
      note_change(env, ChangeKind::NameChanged, var_name ? std::string_view(original) : std::string_view(), 1);
    emit_messagef(env, MsgKind::Warning, "%s%s%s%d%s%s%s%d%s", ctx.prefix, original.c_str(), "][",
                  static_cast<int>(original.size()), "] was changed to [", legal.c_str(), "][",
                  static_cast<int>(legal.size()), "]");
  }
  name = work;
  return result;
}

void legalize_summary(EnvRecord& env, const LegalizeContext& ctx) {
  if (ctx.replaced <= 0) return;
  const char* enc = ctx.out_slot ? ctx.out_slot->to.c_str() : "";
  emit_messagef(env, MsgKind::Warning,
                " Some (%d) of the %s were substituted by the automatically generated names, because an incorrectly "
                "chosen output encoding (%s) does not allow keeping the original %s. If you would like to preserve the "
                "%s you have to select the appropriate output encoding and repeat the transfer.",
                ctx.replaced, ctx.noun, enc, ctx.noun, ctx.noun);
}

int32_t legalize_names(EnvRecord& env, std::vector<std::string>& names, const NameRules& rules, int32_t format_code,
                       bool ascii_only, int32_t max_len) {
  LegalizeContext ctx;
  ctx.format_code = format_code;
  ctx.noun = rules.noun ? rules.noun : "var. names";
  if (&rules == &kRulesXmlTag) {
    ctx.no_unique = true;
    ctx.prefix = "The original name of tag name [";
    emit_message(env, MsgKind::Lib, "<Tag names will be mangled.>");
  } else if (&rules == &kRulesSasFormat) {
    ctx.prefix = "The original name of format [";
  }
  if (ascii_only) {
    if (!env.encoding.output[1].has_descriptor() && open_aux_converter(env, kDirOutput, 1, "UTF-8", "ASCII") != 0)
      return -1;
    ctx.out_slot = &env.encoding.output[1];
  } else {
    ctx.out_slot = &env.encoding.output[0];
  }
  for (auto& n : names) {
    int32_t r = legalize_name(env, n, rules, ctx, max_len);
    if (r == kLegalNoEntry || r == kLegalNoCopy) return -1;
  }
  env.encoding.names_changed += ctx.changed;
  env.encoding.names_replaced += ctx.replaced;
  legalize_summary(env, ctx);
  return ctx.changed;
}

}  // namespace tabulon
