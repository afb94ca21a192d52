// The process-wide table of keyword options read and written by the host's "set"
// command processor, and the helpers it shares with the library.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tabulon {

// Layout shared with the host through dxi_get_opt.
struct OptionEntry {
  const char* keyword;
  const char* default_text;
  const char* description;
  uint32_t flags;
  int32_t value;         // 0/1 for yes/no, the number, the choice index or the character code
  uint32_t group;        // listing group for the host
  const char* choices;   // choice kinds: the allowed words; text kinds: the current text value
  const char* current_text;
  uint64_t reserved;
};

enum OptionFlag : uint32_t {
  kOptLoaded = 0x1,
  kYesNo = 0x2,
  kInteger = 0x4,
  kText = 0x8,
  kChoice = 0x10,
  kChar = 0x20,          // single character, "none" meaning 0
  kHostMarker = 0x40,
  kTextChanged = 0x80,
  kChoiceOrChar = 0x100, // a choice or, when not one, its first character
  kKeepOnReset = 0x200,
  kOutputSide = 0x400,
};

// How dxi_set_options applies an entry to an environment.
enum class ApplyKind : uint8_t {
  None,
  Numbered,       // DX_SetOption(arg1)
  OldVersion,
  PreserveCase,
  DateFmt,        // DX_SetDateFmt(arg1, arg2)
  DictOption,     // DX_SetDictOption(arg1, arg2)
  NaString,       // DX_SetNaString(arg1)
  SettingsWord,   // settings record word arg1
  TxtReadVnames,
  TxtMaxCols,
  TxtMaxLineWidth,
  TxtLookMaxLines,
  TxtDecimalPoint,
  Txt000Punct,
  TxtCenturyCutoff,
  TxtWriteVnames,
  SetWksNameRow,
  SetWksRangeWithName,
  SetWksNoVnames,
  SetSasStyle,
};

struct OptionApply {
  ApplyKind kind;
  int32_t arg1;
  int32_t arg2 = 0;
};

constexpr int kOptionCount = 119;

OptionEntry* option_entry(int index);           // null outside 0..kOptionCount - 1
const OptionApply& option_apply_of(int index);  // index must be valid
// Resets every entry to its default (entries loaded and marked keep-on-reset are skipped).
void option_table_reset();
// Text an entry is applied with: the text value of text kinds, else the current text.
const char* option_entry_text(const OptionEntry& e);

// Index (k-th item, 0-based) helpers over comma-separated lists; runs of commas are one separator.
int32_t enum_type(const char* choices, const char* text);
bool list_item(const char* choices, int k, const char** begin, size_t* len);

}  // namespace tabulon
