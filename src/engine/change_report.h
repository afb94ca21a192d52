// What a conversion changed in the data without failing: strings cut, characters replaced,
// values out of the output's range, user-missing values written as missing, names changed,
// variables dropped. Readers and writers count each change per variable and kind; when the
// files close, every (kind, variable) pair becomes one warning with its count, and one closing
// line sums them up, so a loss is never hidden and never reported as an error on success.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tabulon {

struct EnvRecord;

enum class ChangeKind : uint8_t {
  StringCut,            // a string value cut to the output's width
  CharReplaced,         // characters the output encoding cannot hold, replaced
  ValueOutOfRange,      // a number the output cannot hold, written as missing or clamped
  UserMissingAsMissing, // a user-missing value written as system missing
  NameChanged,          // a variable name changed to suit the output
  NameCut,              // a variable name cut to the output's length
  LabelCut,             // a variable, value or data-set label cut
  VariableDropped,      // a variable the output cannot hold, left out
  ValueLabelDropped,    // a value label the output cannot hold, left out
  PrecisionLost,        // a number written with fewer digits than it has
  Unreadable,           // an input value not readable as its variable's type, read as missing
  Other,
};
constexpr int kChangeKindCount = static_cast<int>(ChangeKind::Other) + 1;

struct ChangeEntry {
  ChangeKind kind;
  std::string variable;  // empty for changes that belong to the whole data set
  int64_t count;         // values (or characters, for CharReplaced) affected
};

struct ChangeReport {
  std::vector<ChangeEntry> entries;
  bool reported = false;
  bool changes_fail = false;  // the host asked that any change fail the close
};

// Counts `count` changes of one kind in one variable (cheap: call it per value if need be,
// but prefer one call per variable with the total).
void note_change(EnvRecord& env, ChangeKind kind, std::string_view variable, int64_t count = 1);

// Total count of one kind, over all variables.
int64_t change_total(const EnvRecord& env, ChangeKind kind);
// True when anything was noted.
bool any_change(const EnvRecord& env);

// Emits one warning per (kind, variable) and the closing summary line
// ("2 strings cut in 1 variable; 10 characters replaced in 3 variables"), once per transfer.
void report_changes(EnvRecord& env);

// The closing summary line without the warnings ("" when nothing changed).
std::string change_summary(const EnvRecord& env);

}  // namespace tabulon
