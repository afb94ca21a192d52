// Numbered options of one environment: 100 slots, each an integer or an owned text.
// Numbers 0..15 use slots 0..15, numbers 64..147 slots 16..99.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

namespace tabulon {

struct EnvRecord;

constexpr int kOptionSlotCount = 100;

struct OptionSlots {
  std::array<int32_t, kOptionSlotCount> value{};
  std::array<std::unique_ptr<char[]>, kOptionSlotCount> text;  // owned copies; null = integer slot
};

// Slot of a numbered option, or -1 when the number has no slot.
constexpr int option_slot_index(int number) {
  if (number >= 0 && number <= 15) return number;
  if (number >= 64 && number <= 147) return number - 48;
  return -1;
}

// Integer value of a numbered option (0..15, 64..147); 0 when unset, a text, or no slot.
int32_t option_int(const EnvRecord& env, int number);
// Text of a text-valued numbered option, or nullptr.
const char* option_text(const EnvRecord& env, int number);

// Stores an integer (text == nullptr) or a copy of text; false when the number has no slot.
bool option_store(EnvRecord& env, int number, int32_t value, const char* text);
// Frees every owned text of the slots.
void option_slots_clear(OptionSlots& slots);

// Numbered options known to the engine.
enum OptionNumber : int {
  kOptWriteSasFormats = 0,
  kOptWriteSasFormatsName = 1,
  kOptReadSasFormats = 2,
  kOptReadSasFormatsName = 3,
  kOptUserMissing = 4,        // choice index of "all,first,none"
  kOptNumericNames = 5,
  kOptWksBlankRows = 6,       // 0 stop, 1 skip, 2 use
  kOptAccessVersion = 10,
  kOptCombineDelimiters = 11, // 0 off, 1 spaces, 2 spaces and tabs
  kOptProgramMask = 12,       // extra programs beside the output: 1 SAS, 2 SPSS, 4 Stata
  kOptProgramShortLabels = 13, // SPSS variable labels cut to 120 characters in two pieces
  kOptProgOmitPaths = 14,
  kOptProgPreserveWidths = 15,
  kOptSampleSeed = 16,
  kOptReadDelimiter = 17,
  kOptWriteDelimiter = 18,
  kOptReadQuote = 19,
  kOptWriteQuote = 20,
  kOptHostStream = 21,
  kOptTextMode = 22,
  kOptWksPageName = 23,
  kOptInputKind = 24,
  kOptInEncoding = 25,
  kOptOutEncoding = 26,
  kOptSharedPath = 27,
  kOptSharedText2 = 28,
  kOptFirstCase = 65,
  kOptLastCase = 66,
  kOptDbExecuteOnly = 68,
  kOptCodeComment = 69,
  kOptCodeOmitHeader = 70,
  kOptCodeHeaderPath = 71,
  kOptLineEnd = 72,           // 0 native, 1 win, 2 unix
  kOptDbLogLevel = 73,
  kOptDbLogFile = 74,
  kOptDbTableAppend = 75,
  kOptDbBufferSize = 76,
  kOptOutputVersion = 77,     // Stata and SPSS output release, SAS transport version (5, 8)
  kOptSpssCompression = 79,  // SPSS system file data: 0 by the extension, 1 bytecode, 2 zlib
  kOptSybaseLibrary = 80,
  kOptMaxStringLength = 83,
  kOptPreserveSasNames = 84,
  kOptSetNativeCaller = 86,
  kOptMapUserMissing = 87,
  kOptUdfCatMember = 89,
  kOptUdfDatMember = 90,
  kOptFactorAsString = 91,
  kOptDropKeepContinue = 92,
  kOptJmpLabels = 93,
  kOptJmpCustomProps = 94,
  kOptLongValueLabels = 95,
  kOptPreserveLabelSets = 96,
  kOptConcatenatePages = 97,
  kOptWksNaString = 98,
  kOptMatlabDatetimeAsString = 100,
  kOptSuppressCharConv = 101,
  kOptXmlUseExternalSchema = 102,
  kOptXmlValSchemaForErrors = 103,
  kOptXmlValDocForErrors = 104,
  kOptXmlIgnoreSchemaErrors = 105,
  kOptXmlIgnoreDocErrors = 106,
  kOptXmlShowWarnings = 107,
  kOptXmlPrintErrors = 108,
  kOptXmlAutosenseDocType = 109,
  kOptSkipEncodeVarNames = 110,
  kOptEncodingErrors = 111,   // 0 stop, 1 log, 2 ignore
  kOptEncodingWarnings = 112,
  kOptOdbcVarcharOverChar = 113,
  kOptOnEncodingError = 114,  // 0 stop, 1 ignore, 2 translate
  kOptROldNa = 115,
  kOptOdbcNullStrings = 116,
  kOptOdbcUseDatetime = 117,
  kOptMapMissWithLabels = 118,
  kOptStat7VlabDescrip = 119,
  kOptVarCaseCi = 120,        // 0 lower, 1 preserve-mixed, 2 preserve-always, 3 upper
  kOptVarCaseCs = 121,
  kOptXmlOutputType = 122,
  kOptEncErrors = 123,        // 0 stop, 1 sub
  kOptEncSubChar = 124,
  kOptEncErrorLimit = 125,
  kOptOdbcDateRowsToRead = 126,
  kOptSkipRows = 127,
  kOptAsciiVarLabs2ndRow = 128,
  kOptRatsStartDate = 129,
  kOptRatsDateVarName = 130,
  kOptRatsDateFreq = 131,
  kOptRatsVarDateFreq = 132,
  kOptRatsDateVar = 133,
  kOptDdiAgency = 134,
  kOptWksReadVarLabs = 135,
  kOptPreserveStrWidths = 136,
  kOptGretlRowLabelVarName = 137,
  kOptGretlRowLabelVar = 138,
  kOptWksWriteVarLabs = 139,
  kOptStataStrlThreshold = 140,
  kOptDisableOptRecCount = 141,
  kOptPreserveNumWidths = 142,
  kOptAsciiBlankRows = 143,   // 0 stop, 1 skip, 2 use
  kOptReadSasExtAttr = 144,
  kOptReadSasExtAttrName = 145,
  kOptUseInputDec = 146,
  kOptWksStyleSheet = 147,    // path of the Excel writer's style sheet; empty or "built-in": the library's own
  kOptCompoundCopy = 200,
  kOptTypeChange = 201,
  kOptCountVariables = 202,
  kOptVarTypeSetByHost = 203,
  kOptXmlLibraryName = 204,
};

// Numbers whose action belongs to another subsystem register a handler here (once per
// process, for example from that subsystem's env-open hook). DX_SetOption stores what it
// can first, then calls the handler; without a handler such a number returns -1.
// text is the caller's pointer as given (for 21 a stream, for 202 an int32_t*).
using OptionHandler = int32_t (*)(EnvRecord& env, int32_t value, const char* text);
void register_option_handler(int number, OptionHandler handler);
OptionHandler option_handler(int number);

// Same for DX_SetDictOption requests owned by other subsystems (what = 4..12, 15).
using DictOptionHandler = int32_t (*)(EnvRecord& env, int32_t sub, void* value);
void register_dict_option_handler(int what, DictOptionHandler handler);
DictOptionHandler dict_option_handler(int what);

// Process-wide texts of numbered options 27 and 28 (null when unset).
const char* option_shared_path();
const char* option_shared_text2();
// Replaces the text of option 27 or 28 (null clears it).
void option_set_shared_text(int number, const char* text);

// The user's encoding names from numbered options 25 / 26 ("" when not set).
const char* option_user_encoding(const EnvRecord& env, int side /*1 input, 2 output*/);

// SAS data representation for the SAS data-set writer: low byte of the last DX_SetSasStyle.
int32_t option_sas_outrep(const EnvRecord& env);

}  // namespace tabulon
