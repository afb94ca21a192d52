#include "engine/format_error_message.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "api/env_record.h"
#include "engine/engine_util.h"
#include "engine/stream_glue.h"

namespace tabulon {

namespace {

struct FormatWords {
  int32_t code;
  const char* label;  // starts the message; "(" means the file name is put in parentheses
  const char* kind;   // used in the phase sentence
};

constexpr FormatWords kWords[] = {
    {16, "SYSTAT file (", "SYSTAT file"},
    {17, "SPLUS object ", "SPLUS object"},
    {22, "SPSS dataset (", "SPSS dataset"},
    {29, "MATLAB file (", "MATLAB file"},
    {56, "MATLAB file (", "MATLAB file"},
    {30, "Statistica 5 file ", "Statistica 5 file"},
    {35, "JMP table ", "JMP table"},
    {60, "JMP table ", "JMP table"},
    {38, "SAS dataset (", "SAS dataset"},
    {62, "SAS dataset (", "SAS dataset"},
    {49, "SAS CPORT file (", "SAS CPORT file"},
    {51, "R data file (", "R data file"},
    {52, "SAS PC/DOS 6.04 dataset (", "SAS PC/DOS 6.04 dataset"},
    {57, "Triple-S dataset ", "Triple-S dataset"},
    {59, "XML Document", "XML Document"},
    {61, "STATISTICA v.7+ file (", "STATISTICA v.7+ file"},
    {63, "RATS file (", "RATS file"},
    {67, "GRETL file ", "GRETL file"},
    {70, "EViews file ", "EViews file"},
};

const FormatWords* words_of(int32_t code) {
  for (const auto& w : kWords)
    if (w.code == code) return &w;
  return nullptr;
}

const char* fixed_text(int32_t code) {
  switch (code) {
    case kFormatErrNotSplus: return "Not an S file.";
    case kFormatErrObsoleteSpssPc: return "Sorry, Obsolete SPSS/PC files are not supported.";
    case kFormatErrCompressedSystat:
      return "Reading compressed SYSTAT files is not supported by the current version of Tabulon.";
    default: return nullptr;
  }
}

const char* stream_suffix(uint32_t flags) {
  if (flags & 3u) return "\nAdditional info: A read error may be caused by a truncated file or by a network problem.";
  if (flags & 20u) return "\nAdditional info: A write error may be caused by a full disk or a network problem.";
  if (flags & 8u) return "\nAdditional info: A seek error may be caused by a truncated file or by a network problem.";
  if (flags & 32u)
    return "\nAdditional info: An error opening a file may be because it (or its directory) does not exist or cannot "
           "be accessed to to a network or permission problem.";
  return nullptr;
}

}  // namespace

const char* BuildFormatErrorMessage(EnvRecord& env, int32_t side, int32_t code, int32_t phase, char* buffer,
                                    int32_t supportLevel) {
  char* out = buffer ? buffer : env.message_buffer;
  const TransferState& t = env.transfer;
  const bool input = side == 1;
  const int32_t format = input ? t.input_code : t.output_code;
  const std::string& path = input ? t.input_path : t.output_path;
  const char* name = engine_file_name(path);
  env.last_open_result = code;

  std::string text;
  bool generic = false;
  if (const char* fixed = fixed_text(code)) {
    text = fixed;
  } else if (const FormatWords* w = words_of(format)) {
    const size_t n = std::strlen(w->label);
    const bool paren = n > 0 && w->label[n - 1] == '(';
    char tail[160];
    std::snprintf(tail, sizeof tail, "%s \nProcessing %s %s was stopped because of the error (", paren ? ")" : "",
                  w->kind, phase == 1 ? "dictionary" : "data");
    char body[kMessageSize];
    std::snprintf(body, sizeof body, "%s%s%s%d).", w->label, name, tail, code);
    text = body;
  } else {
    char body[kMessageSize];
    std::snprintf(body, sizeof body, "Processing of the file (%s) was stopped because of the error (%d).", name, code);
    text = body;
    generic = true;
  }

  Stream* stream = input ? t.input_stream.get() : t.output_stream.get();
  if (stream) {
    if (const char* suffix = stream_suffix(engine_stream_errors(stream))) text += suffix;
    if (!input) engine_stream_add_errors(stream, kStreamIncomplete);
  }
  if (generic && supportLevel == 1) text += "\nPlease email a complete description of your problem to technical support.";

  std::snprintf(out, kMessageSize, "%s", text.c_str());
  env.message = out;
  return out;
}

}  // namespace tabulon
