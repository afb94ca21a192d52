// One variable of the dictionary, its value labels and extended attributes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tabulon {

// Longest variable name kept, in bytes.
constexpr size_t kMaxVarName = 255;
// Value texts of value labels are cut to this length unless long values are allowed.
constexpr size_t kShortLabelValue = 16;
// Longest value text a value label keeps even with long values.
constexpr size_t kLongLabelValue = 32768;

// Missing codes: the state of a value in the record buffer.
constexpr uint16_t kValuePresent = 0;
constexpr uint16_t kSystemMissing = 1;  // "."
// 2..27 are ".A" to ".Z", 28 has an empty text, 29 is "._".
constexpr uint16_t kLastMissingCode = 29;

// VarRecord::flags
constexpr uint32_t kVarNameMadeUp = 1u << 0;
constexpr uint32_t kVarDecimalsMeaningful = 1u << 1;
constexpr uint32_t kVarDateMadeString = 1u << 4;
constexpr uint32_t kVarTypeSetByHost = 1u << 7;

// VarRecord::state_flags
constexpr uint32_t kVarOptimized = 1u << 0;
constexpr uint32_t kVarDisplayFormatGiven = 1u << 1;
constexpr uint32_t kVarOutputAttrsGiven = 1u << 2;

// VarRecord::decimals when the input gave none.
constexpr uint8_t kDecimalsNotGiven = 255;

// VarRecord::measure: the measurement level an SPSS file records.
constexpr uint8_t kMeasureNominal = 1;
constexpr uint8_t kMeasureOrdinal = 2;
constexpr uint8_t kMeasureScale = 3;

// Attribute types of extended attributes.
constexpr uint32_t kAttrNumeric = 1;
constexpr uint32_t kAttrString = 2;

struct ValueLabel {
  double value = 0;          // numeric variables
  std::string text;          // value text of string variables and extended-missing labels
  bool has_text = false;     // text is the value (a null value pointer otherwise)
  uint32_t missing = 0;      // extended missing code the label belongs to, 0 for ordinary values
  std::string label;         // empty when not set
};

struct ExtAttr {
  std::string name;
  bool has_name = false;
  double number = 0;
  std::string text;
  bool has_text = false;
  uint32_t type = 0;
};

// Absent until a reader creates it; an existing list may be empty.
struct ExtAttrList {
  bool exists = false;
  std::vector<ExtAttr> items;
  ExtAttr& add() {
    exists = true;
    return items.emplace_back();
  }
};

struct VarRecord {
  uint16_t ttype = 0;            // storage type T_*; 0 undefined
  uint16_t selected = 0;         // takes part in the transfer
  uint16_t needed = 0;           // forces selection when the record is laid out
  uint16_t missing = 0;          // missing code of the current case's value
  uint32_t input_width = 0;      // width in the input (characters for text)
  uint16_t fixed_record = 0;     // line within a case of fixed-column text
  uint32_t fixed_column = 0;     // column of fixed-column text
  uint32_t offset = 0;           // position of the value in the record buffer
  uint32_t storage_width = 0;    // bytes of the value's slot
  uint16_t api_type = 0;         // API_* of the host's view
  uint32_t output_width = 0;
  uint32_t print_width = 0;
  int16_t implied_decimals = 0;  // fixed-column text
  uint8_t decimals = 0;          // kDecimalsNotGiven when the input gave none
  std::vector<ValueLabel> value_labels;
  std::string label;             // empty: no label
  uint32_t flags = 0;            // kVar* above
  uint16_t input_attrs[2] = {0, 0};   // supplied by the SAS data-set reader
  uint16_t output_attrs[2] = {0, 0};  // set by the host for the writer
  std::string display_format;    // date/time display pattern given by the host
  std::string native_format;     // format name of the input package
  uint32_t state_flags = 0;      // kVarOptimized...
  std::string name;              // at most kMaxVarName bytes
  bool has_input_name = false;   // the input name differs from name
  std::string input_name;
  uint32_t name_conversions = 0; // conversions for the output; more than 1 is an internal error
  ExtAttrList ext_attrs;
  uint16_t slot_ttype = 0;       // storage type the record slot was laid out for
  uint8_t measure = 0;           // kMeasure* the input records, 0 when it records none

  // Private fields of the reader and the writer of the current transfer.
  int64_t reader_aux[4] = {0, 0, 0, 0};
  int64_t writer_aux[4] = {0, 0, 0, 0};
  std::string reader_text;

  bool is_string() const { return ttype == 1; }
  bool has_value_labels() const { return !value_labels.empty(); }
};

// Name cut to kMaxVarName bytes (never inside a UTF-8 sequence).
void var_set_name(VarRecord& v, std::string_view name);
// Keeps the input name when it differs from the current name.
void var_set_input_name(VarRecord& v, std::string_view input_name);
// Label; an empty text removes it.
void var_set_label(VarRecord& v, std::string_view label);

// Name used in messages for a storage type: "String" ... "Date/Time", "undefined" for 0.
const char* ttype_name(int ttype);
// API type of a storage type: 2..6 numeric, 1 string, 7 date, 8 time, 9 date-time, else 0.
uint16_t api_type_of_ttype(int ttype);
// Text of a missing code: "." for 1, ".A".."Z" for 2..27, "" for 28, "._" for 29, null outside 1..29.
const char* missing_code_text(int code);

// Length of s cut to at most max bytes without splitting a UTF-8 sequence.
size_t utf8_cut(const char* s, size_t len, size_t max);

}  // namespace tabulon
