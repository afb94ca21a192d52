// Converters of an environment and the one transcoding call every reader and writer uses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "encoding/encoding_state.h"

namespace tabulon {

// The system's own encoding: the character set of the user's locale as LC_ALL, LC_CTYPE or LANG
// set it; plain ASCII (the C/POSIX locale) stands for "UTF-8".
const char* system_charset();

// Closes the descriptor, releases names and buffers, zeroes the slot.
void close_slot(ConverterSlot& slot);

// The file converters (input slot 0 / output slot 0). `format_code` is the format being opened;
// `output_release` is the environment's output release setting (SPSS system files: 1..15 keep
// the user's encoding). Return 0, or -1 (input) / -1, -2 (output) after logging the error.
// Session encoding of a database connection (null when there is no connection record).
struct DbSession {
  std::string encoding;       // the connection's session encoding
  std::string user_encoding;  // set by the user; empty = none
  bool default_encoding = false;
};
int32_t open_input_converter(EnvRecord& env, uint32_t request, int32_t format_code);
int32_t open_output_converter(EnvRecord& env, uint32_t request, int32_t format_code,
                              int32_t output_release = 0, DbSession* db = nullptr);

// Auxiliary converter in slot `slot` (not 0) of a direction. 0, or -1 after the error message.
int32_t open_aux_converter(EnvRecord& env, int32_t direction, int32_t slot, const char* from, const char* to);

// Results of a transcoding call.
enum : int32_t {
  kTcOk = 0,
  kTcSubstituted = 1,
  kTcStopped = 2,   // unwinds from transcode_string
  kTcOverLimit = 3, // unwinds from transcode_string
  kTcNoMemory = 4,
  kTcTruncated = 5,
};

// Caller's context of one transcoding call; used for the reports only.
struct TranscodeCall {
  const char* context = nullptr;   // "Error encoding input variable name, " etc.
  int32_t variable = 0;            // 1-based; 0 = not given
  int64_t record = 0;              // 1-based; 0 = not given
  int32_t* error_counter = nullptr;
  int32_t* result = nullptr;       // receives 0, 1, 4 or 5
  bool trim = false;               // drop trailing blanks and NULs
  int32_t* trimmed = nullptr;      // how many were dropped
};

// Transcodes in[0, len) through the slot into out, a buffer of `cap` bytes (the terminating NUL
// included). The output is cut at a character boundary when it does not fit (result 5). With
// out == nullptr the text goes to the slot's own buffer (`slot.out_buf.data()`, valid until the
// next call on the slot) without a size limit. No allocation per call once the slot's buffers are
// grown. Returns the byte length written (without NUL). Results 2 and 3 (stop, error limit
// reached) log their messages and unwind with RaisedError.
int64_t transcode_string(EnvRecord& env, ConverterSlot& slot, const char* in, size_t len, char* out,
                         size_t cap, const TranscodeCall& call = {});

// A string value of the current case in the output encoding (output slot 0): the text itself
// when it passes unchanged, else the converted text in the slot's buffer (valid until the
// slot's next use). No allocation per value.
std::string_view output_string_value(EnvRecord& env, const char* s, size_t n, int64_t record = 0,
                                     int32_t variable = 0);

// Convenience for non-hot paths: the converted text as a std::string.
std::string transcode_to_string(EnvRecord& env, ConverterSlot& slot, const char* in, size_t len,
                                const TranscodeCall& call = {});

// The conversion loop without reports and without unwinding: writes into out (cap bytes with NUL,
// or the slot buffer when out is null), stores the byte length in *out_len and returns the result
// code (0..5). `strict` means: no substitution, no transliteration, no budget (used to test whether
// a text can be written in the slot's encoding).
int32_t transcode_quiet(EnvRecord& env, ConverterSlot& slot, const char* in, size_t len, char* out,
                        size_t cap, size_t* out_len, bool strict);

// Free-standing descriptors (not held in a slot).
void* open_free_encoder(EnvRecord& env, const char* to, const char* from);

// Byte-order mark detection on the first bytes of a text file. Returns the encoding name
// ("UTF-8", "UTF-16LE", "UTF-16BE", "UTF-32LE", "UTF-32BE") and the number of bytes to skip,
// or nullptr and 0 when there is no mark.
const char* detect_bom(const unsigned char* head, size_t len, int* skip);
// Same, with the messages; a detected name replaces env.encoding.file_encoding when it differs.
const char* detect_bom_report(EnvRecord& env, const unsigned char* head, size_t len, int* skip);

// Name passes: after the input dictionary is read (input slot 0), and before writing (output
// slot 0), over the texts the caller hands in. Each returns false when the pass was skipped.
bool input_names_convertible(EnvRecord& env);
bool output_names_convertible(EnvRecord& env);

}  // namespace tabulon
