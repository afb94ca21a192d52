// The format registry: one table from format code to name, direction, capabilities,
// the file extensions users type, and the reader and writer entry points.
// To add a format: define its FormatReaderOps/FormatWriterOps in its own folder and
// point its line in format_registry.cpp at them (see the comment there).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "engine/format_hooks.h"

namespace tabulon {

enum FormatCaps : uint32_t {
  kCapRead = 1u << 0,             // can be an input
  kCapWrite = 1u << 1,            // can be an output
  kCapWorksheetInput = 1u << 2,   // read by the common worksheet reader
  kCapMembers = 1u << 3,          // the input has members (tables, worksheets, objects)
  kCapVarLabels = 1u << 4,        // can carry variable labels
  kCapNativeFormats = 1u << 5,    // keeps native display formats
  kCapDatabase = 1u << 6,         // served by a database driver library
  kCapOwnContainer = 1u << 7,     // output creates its own container (no stream first)
  kCapNoCaseCompare = 1u << 8,    // optimization case count not compared at close
  kCapNarrowNumerics = 1u << 9,   // input types narrowed from print width and decimals
  kCapInternal = 1u << 10,        // used inside the library only
  kCapNoWriterAccepted = 1u << 11,// output accepted, file created, no writer attached
  kCapExtraPrograms = 1u << 12,   // fixed-column data that extra SAS/SPSS/Stata programs can read
  kCapDeclaresMissing = 1u << 13, // declares user-missing values: they pass as values
};

struct FormatEntry {
  int32_t code;
  const char* name;
  uint32_t caps;
  const char* output_mode;  // fopen mode of the output stream ("wb", "w", "w+b", "wb+")
  const char* extensions;   // blank-separated, with the point: ".csv .txt"
  const FormatReaderOps* reader;  // null: not built
  const FormatWriterOps* writer;  // null: not built
};

constexpr int32_t kMaxFormatCode = 129;
constexpr int32_t kMaxOutputCode = 68;

// The entry of a code, or null for codes that name no format.
const FormatEntry* format_entry(int32_t code);
// Every entry, in code order.
std::span<const FormatEntry> format_entries();
// The first entry with this extension (compared without regard to case, with or
// without the point) that can be read (for_output false) or written; null if none.
const FormatEntry* format_by_extension(std::string_view extension, bool for_output);

inline bool format_has(int32_t code, uint32_t caps) {
  const FormatEntry* e = format_entry(code);
  return e && (e->caps & caps) == caps;
}

// Replaces the reader and writer of a code (tests register small formats this way).
// Returns the entry as it was before.
FormatEntry format_set_ops(int32_t code, const FormatReaderOps* reader, const FormatWriterOps* writer);

// Database driver number for a database code (0 when the code is not a database).
int32_t format_driver_number(int32_t code, const EnvRecord* env);

}  // namespace tabulon
