// Output-name legalization: character sets, length, case, reserved words, uniqueness and
// representability in the output encoding.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "encoding/encoding_state.h"

namespace tabulon {

// Case modes of a rule set.
enum : int32_t { kCaseModeOption = 0, kCaseModeUpper = 1, kCaseModeLower = 2 };

// Results of legalize_characters / legalize_name.
enum : int32_t {
  kLegalOk = 0,
  kLegalNoEntry = 1,     // registry allocation failed
  kLegalNoCopy = 2,      // name copy failed
  kLegalReserved = 5,
  kLegalEmpty = 6,
  kLegalBadSuffix = 8,   // suffix alphabet longer than 64 symbols
  kLegalTrimmedAll = 18,
};

// One rule set: the four character-set strings (first char of each is also its substitute).
struct NameRules {
  int32_t max_len;       // bytes; 0 = the writer gives it
  int32_t case_mode;     // kCaseModeOption / Upper / Lower
  const char* first;
  const char* middle;
  const char* last;
  const char* suffix;    // null = "0-9"
  const char* noun;      // plural noun of the summary, e.g. "var. names"
};

// Rule sets used by the writers.
extern const NameRules kRulesSpssLong;
extern const NameRules kRulesSpssShort;
extern const NameRules kRulesProgram8;
extern const NameRules kRulesProgram32;
extern const NameRules kRulesSasFormat;       // max_len given by the writer
extern const NameRules kRulesStataOld;        // before release 110
extern const NameRules kRulesStata;
extern const NameRules kRulesEpiInfo;
extern const NameRules kRulesGauss;
extern const NameRules kRulesLimdep;
extern const NameRules kRulesMinitab;
extern const NameRules kRulesDbase;
extern const NameRules kRulesStatistica;      // also SYSTAT; case_mode upper for some variants
extern const NameRules kRulesPortableUpper;
extern const NameRules kRulesPortableMixed;
extern const NameRules kRulesParadox;
extern const NameRules kRulesXmlTag;          // max_len given by the writer; names not made unique

// Registry of the names of one output: 256 hash buckets, case-insensitive equality.
class NameRegistry {
 public:
  NameRegistry();
  ~NameRegistry();
  NameRegistry(const NameRegistry&) = delete;
  NameRegistry& operator=(const NameRegistry&) = delete;
  bool contains(const char* name, size_t len) const;
  bool add(const char* name, size_t len);  // false on allocation failure
  void clear();
  static uint32_t bucket_of(const char* name, size_t len);

 private:
  struct Entry;
  Entry* buckets_[256];
};

// Per-pass context: one registry, the output converter used for representability, tallies.
struct LegalizeContext {
  NameRegistry registry;
  ConverterSlot* out_slot = nullptr;   // null: no representability test / transcoding
  int32_t format_code = 0;             // output format (for the case option); 0 = case-insensitive
  const char* prefix = "The original name of var.[";
  const char* noun = "var. names";
  bool no_unique = false;
  bool quiet_case = false;             // the caller learns of case changes by itself
  int32_t changed = 0;                 // names changed
  int32_t replaced = 0;                // names replaced because of the output encoding
};

// Legalizes one UTF-8 name in place (the result is in the output encoding when ctx.out_slot
// converts) and registers it. `max_len` overrides rules.max_len when rules.max_len is 0.
int32_t legalize_name(EnvRecord& env, std::string& name, const NameRules& rules, LegalizeContext& ctx,
                      int32_t max_len = 0);

// Runs legalize_name over a list of names with one fresh registry and writes the summary.
// With ascii_only the representability test goes through auxiliary output converter 1
// ("UTF-8" -> "ASCII"); otherwise through output slot 0. Returns the number of names changed.
int32_t legalize_names(EnvRecord& env, std::vector<std::string>& names, const NameRules& rules,
                       int32_t format_code, bool ascii_only, int32_t max_len = 0);

// Writes the summary error when names had to be replaced because of the output encoding.
void legalize_summary(EnvRecord& env, const LegalizeContext& ctx);

// Case rule of the output format: "var-case-cs" for case-sensitive formats, else "var-case-ci".
int32_t case_rule_for_format(const EnvRecord& env, int32_t format_code);
// Applies a case rule to a name in place; `what` is "Variable name", "variable label" or
// "value label" (messages are written for variable names only, unless quiet). True if changed.
bool apply_case_rule(EnvRecord& env, std::string& name, int32_t rule, bool is_var_name, bool quiet);

// Character-set membership (ranges "a-z", first character always included).
bool in_char_set(const char* set, unsigned char c);

}  // namespace tabulon
