#include "encoding/transcode.h"

#include <strings.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "api/env_record.h"
#include "api/messages.h"
#include "api/raise.h"
#include "encoding/case_map.h"
#include "encoding/encoding_names.h"
#include "encoding/iconv_api.h"
#include "encoding/translit.h"

namespace tabulon {

namespace {

constexpr char kNotSupported[] = "Requested encoding \"%s\" is not supported by this version of Tabulon";

// Library diagnostics are written in angle brackets.
void lib(EnvRecord& env, const char* format, ...) __attribute__((format(printf, 2, 3)));
void lib(EnvRecord& env, const char* format, ...) {
  if (!msg_enabled(env, MsgKind::Lib)) return;
  char work[1024];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(work, sizeof work, format, ap);
  va_end(ap);
  std::string text = "<";
  text += work;
  text += ">";
  emit_message(env, MsgKind::Lib, text.c_str());
}

bool is_default_name(const std::string& n) {
  return strcasecmp(n.c_str(), "CHAR") == 0 || strcasecmp(n.c_str(), "system") == 0;
}

bool starts_with_ci(const std::string& s, const char* prefix) {
  return strncasecmp(s.c_str(), prefix, strlen(prefix)) == 0;
}

bool is_utf8_name(const std::string& n) {
  return strcasecmp(n.c_str(), "utf-8") == 0 || strcasecmp(n.c_str(), "utf8") == 0;
}

// Lower-cases and replaces every "windows-" by "cp"; true when the name changed that way.
bool windows_to_cp(std::string& name) {
  std::string work = name;
  to_lower_utf8(work.data());
  bool changed = false;
  size_t at;
  while ((at = work.find("windows-")) != std::string::npos) {
    work.replace(at, 8, "cp");
    changed = true;
  }
  if (changed) name = work;
  return changed;
}

// Classifies a requested name through the tables: 0x1/0x2/0x4 by table, 0x8 for "CHAR".
bool classify(EnvRecord& env, const std::string& name, uint32_t* flags, int32_t* sas_number) {
  if (strcasecmp(name.c_str(), "CHAR") == 0) {
    *flags |= kSlotSystemDefault;
    *sas_number = 0;
    lib(env, "%s", "Requested encoding is set to default.");
    return true;
  }
  EncodingTable table;
  const EncodingRow* row = find_encoding(name.c_str(), &table);
  if (!row) {
    lib(env, "%s [%s] %s", "Requested encoding", name.c_str(), "is unknown.");
    return false;
  }
  *flags |= (table == kTableSingleByte) ? kSlotSingleByte : (table == kTableMultiByte) ? kSlotMultiByte : kSlotUnicode;
  *sas_number = row->sas_number;
  return true;
}

void report_error(EnvRecord& env, const char* format, const char* name) {
  char text[512];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  std::snprintf(text, sizeof text, format, name);
#pragma GCC diagnostic pop
  emit_message(env, MsgKind::Error, text);
  SetMessageF(env, "%s", text);
}

bool format_in(int32_t code, std::initializer_list<int32_t> codes) {
  for (int32_t c : codes)
    if (c == code) return true;
  return false;
}

void check_ascii_identity(ConverterSlot& slot) {
  slot.ascii_identity = false;
  if (!slot.has_descriptor()) return;
  if (slot.flags & (kSlotInUtf16 | kSlotInUtf32 | kSlotOutUtf16)) return;
  char probe[98];
  int n = 0;
  for (int c = 0x20; c < 0x7F; ++c) probe[n++] = static_cast<char>(c);
  probe[n++] = '\t';
  probe[n++] = '\n';
  probe[n++] = '\r';
  char out[400];
  char* ip = probe;
  size_t il = static_cast<size_t>(n);
  char* op = out;
  size_t ol = sizeof out;
  const IconvApi& api = iconv_api();
  api.conv(slot.cd, nullptr, nullptr, nullptr, nullptr);
  size_t r = api.conv(slot.cd, &ip, &il, &op, &ol);
  size_t r2 = api.conv(slot.cd, nullptr, nullptr, &op, &ol);
  slot.ascii_identity = r != static_cast<size_t>(-1) && r2 != static_cast<size_t>(-1) && il == 0 &&
                        static_cast<size_t>(op - out) == static_cast<size_t>(n) && memcmp(out, probe, n) == 0;
}

// A single-byte source going to UTF-8 is decoded through a table built from the descriptor.
void build_byte_map(ConverterSlot& slot) {
  slot.byte_map.reset();
  if (!slot.has_descriptor() || !(slot.flags & kSlotSingleByte) || strncasecmp(slot.to.c_str(), "utf-8", 5) != 0)
    return;
  auto map = std::make_unique<SingleByteMap>();
  const IconvApi& api = iconv_api();
  for (int b = 0; b < 256; ++b) {
    char in = static_cast<char>(b);
    char* ip = &in;
    size_t il = 1;
    char* op = map->utf8[b];
    size_t ol = 4;
    api.conv(slot.cd, nullptr, nullptr, nullptr, nullptr);
    size_t r = api.conv(slot.cd, &ip, &il, &op, &ol);
    map->len[b] = (r == static_cast<size_t>(-1) || il != 0 || ol == 4) ? 0 : static_cast<uint8_t>(4 - ol);
  }
  api.conv(slot.cd, nullptr, nullptr, nullptr, nullptr);
  map->len[0] = 0;  // a NUL goes through the library like any other unusual byte
  slot.byte_map = std::move(map);
}

void finish_open(ConverterSlot& slot) {
  slot.ignore_target = slot.to.find("//IGNORE") != std::string::npos || slot.to.find("//ignore") != std::string::npos;
  check_ascii_identity(slot);
  build_byte_map(slot);
}

}  // namespace

const char* system_charset() {
  if (!iconv_api().locale_charset) bind_iconv_api();
  return iconv_api().locale_charset ? iconv_api().locale_charset() : "UTF-8";
}

void close_slot(ConverterSlot& slot) {
  iconv_close_checked(slot.cd);
  slot = ConverterSlot();
}

// ---- File converters ----

int32_t open_input_converter(EnvRecord& env, uint32_t request, int32_t format_code) {
  EncodingState& st = env.encoding;
  ConverterSlot& slot = st.input[0];
  encoding_load_options(env);
  if (request & kSlotFromEntry) {
    lib(env, "%s", "Input file encoder is allocated from entrypoint.");
    st.error_budget = st.error_limit;  // a new transfer starts with the whole budget
    if (format_in(format_code, {7, 23, 24, 29, 35, 48, 54, 56, 60, 65, 66})) return 0;
  }
  if (request & kSlotFromModule) lib(env, "%s", "Input file encoder is re-allocated allocated from module.");

  enum { kFromFile, kFromUser, kFromDefault } source;
  std::string name;
  if (!st.file_encoding.empty()) {
    source = kFromFile;
    name = st.file_encoding;
    lib(env, "%s [%s]%s", "Input file defined input encoding", name.c_str(), "will be used");
  } else if (!st.in_encoding.empty()) {
    source = kFromUser;
    name = st.in_encoding;
    lib(env, "%s [%s]%s", "User defined input encoding", name.c_str(), "will be used");
  } else {
    source = kFromDefault;
    name = system_charset();
    lib(env, "%s [%s]%s", "Default input encoding", name.c_str(), "will be used");
  }
  bool stood_default = source == kFromDefault;
  if (is_default_name(name)) {
    name = system_charset();
    stood_default = true;
  }

  // The same converter is kept when it was opened for the same name and the same request.
  constexpr uint32_t kRequestBits = kSlotKeepNames | kSlotQuiet;
  if (!slot.from.empty() || slot.has_descriptor()) {
    if (strcasecmp(slot.from.c_str(), name.c_str()) == 0 && (slot.flags & kRequestBits) == (request & kRequestBits))
      return 0;
    close_slot(slot);
    st.file_encoding.clear();
  }

  uint32_t flags = request | kSlotInputDir;
  if (!(request & kSlotQuiet)) {
    if (source == kFromFile && stood_default)
      emit_messagef(env, MsgKind::Info, "Default encoding [%s] will be used for conversion of the input file.", name.c_str());
    else if (source == kFromFile)
      emit_messagef(env, MsgKind::Info, "Encoding name [%s] was obtained from the input file.", name.c_str());
    else if (stood_default)
      emit_messagef(env, MsgKind::Info, "Default encoding [%s] will be used for conversion of the input file.", name.c_str());
  }

  if (strcasecmp(name.c_str(), "utf-8") == 0) {
    slot.flags = flags | kSlotUnicode | kSlotNoConversion;
    slot.from = "UTF-8";
    lib(env, "%s", "Input file encoding  is UFT-8, no conversion will be done, no converter will be opened");
    return 0;
  }
  if (starts_with_ci(name, "utf-16")) flags |= kSlotInUtf16;
  if (starts_with_ci(name, "utf-32")) flags |= kSlotInUtf32;
  int32_t sas_number = 0;
  if (!classify(env, name, &flags, &sas_number)) {
    report_error(env, kNotSupported, name.c_str());
    return -1;
  }

  std::string target = st.on_error_mode == kOnErrorIgnore      ? "UTF-8//IGNORE"
                       : st.on_error_mode == kOnErrorTranslate ? "UTF-8//TRANSLATE"
                                                               : "UTF-8";
  std::string from = name;
  void* cd = iconv_open_mapped(target.c_str(), from.c_str());
  if (!cd) {
    to_lower_utf8(target.data());
    if (windows_to_cp(target)) cd = iconv_open_mapped(target.c_str(), from.c_str());
    if (!cd && windows_to_cp(from)) cd = iconv_open_mapped(target.c_str(), from.c_str());
  }
  if (!cd) {
    report_error(env, "Input file encoding %s could not be set", name.c_str());
    return -1;
  }
  slot.cd = cd;
  slot.flags = flags;
  slot.from = from;
  slot.to = target;
  finish_open(slot);
  lib(env, "%s:[%s] %s", "Input file encoding", name.c_str(), "will be used");
  return 0;
}

int32_t open_output_converter(EnvRecord& env, uint32_t request, int32_t format_code, int32_t output_release,
                              DbSession* db) {
  EncodingState& st = env.encoding;
  ConverterSlot& slot = st.output[0];
  encoding_load_options(env);
  if (request & kSlotFromEntry) {
    lib(env, "%s", "Output file encoder is allocated from entrypoint.");
    if (format_in(format_code, {23, 24, 29, 48, 54, 56, 57, 59, 66, 67})) return 0;
  }
  if (request & kSlotFromModule) lib(env, "%s", "Output file encoder is re-allocated allocated from module.");

  // A forced encoding belongs to one output only.
  st.forced_output.clear();
  if (format_in(format_code, {23, 24, 58})) {
    if (!db || db->default_encoding) {
      st.forced_output = "UTF-16LE";
      emit_message(env, MsgKind::Info,
                   "Session encoding was not defined, the default encoding (UTF-16LE) has been set for writing to the output database");
    } else if (!db->user_encoding.empty()) {
      db->encoding = db->user_encoding;
      st.forced_output = db->encoding;
      emit_messagef(env, MsgKind::Info, "User has set the session encoding [%s]to write to the output database.",
                    db->encoding.c_str());
    } else {
      db->encoding = "UTF-16LE";
      db->default_encoding = true;
      st.forced_output = db->encoding;
      emit_message(env, MsgKind::Info,
                   "Session encoding was not defined, the default encoding (UTF-16LE) has been set for writing to from the output database");
    }
  }
  if (format_in(format_code, {48, 54, 57, 59, 60, 67}) ||
      (format_code == 22 && !(output_release >= 1 && output_release <= 15))) {
    st.forced_output = "utf-8";
    emit_message(env, MsgKind::Info,
                 "The user defined encoding will be ignored, the output file will be written in UTF-8 encoding.");
  }

  std::string name;
  bool is_default = false;
  if (!st.forced_output.empty()) {
    name = st.forced_output;
  } else if (!st.out_encoding.empty()) {
    name = st.out_encoding;
  } else {
    name = system_charset();
    is_default = true;
  }
  lib(env, "Output file encoder [0] will use %s encoding", name.c_str());
  if (is_default_name(name)) {
    name = system_charset();
    is_default = true;
  }
  lib(env, "Output file encoder [1] will use %s encoding", name.c_str());

  if (!slot.to.empty() && strcasecmp(slot.to.c_str(), name.c_str()) == 0) {
    lib(env, "%s:[%s]", "The required encoder has been already allocated, let's use it", name.c_str());
    return 0;
  }
  if (slot.has_descriptor() || !slot.to.empty() || slot.flags) close_slot(slot);
  if (is_default)
    emit_messagef(env, MsgKind::Info, "Default encoding [%s] will be used for conversion of the output file.", name.c_str());

  const bool sas = format_code == 38 || format_code == 62;
  uint32_t flags = kSlotOutputDir | request;
  if (is_utf8_name(name) && !sas) {
    slot.flags = flags | kSlotUnicode | kSlotNoConversion;
    slot.from = "UTF-8";
    slot.to = "UTF-8";
    return 0;
  }
  if (starts_with_ci(name, "utf-16")) flags |= kSlotOutUtf16;
  int32_t sas_number = 0;
  uint32_t classified = 0;
  if (!classify(env, name, &classified, &sas_number)) {
    report_error(env, kNotSupported, name.c_str());
    return -1;
  }
  flags |= classified;
  if (sas) {
    if (sas_number == -1) {
      emit_messagef(env, MsgKind::Warning,
                    "There is no appropriate SAS encoding that corresponds to %s.\n\tThe output SAS dataset will be "
                    "marked as one using system default encoding,\n\twith all character data presented in %s",
                    name.c_str(), name.c_str());
      sas_number = 0;
    }
    st.sas_encoding_number = static_cast<uint32_t>(sas_number);
    if (classified & kSlotUnicode) name = "UTF-8";
    if (is_utf8_name(name)) {
      slot.flags = flags | kSlotUnicode | kSlotNoConversion;
      slot.from = "UTF-8";
      slot.to = "UTF-8";
      return 0;
    }
  }

  std::string target = name;
  if (st.on_error_mode == kOnErrorIgnore) target += "//IGNORE";
  if (st.on_error_mode == kOnErrorTranslate) target += "//TRANSLATE";
  void* cd = iconv_open_mapped(target.c_str(), "utf-8");
  if (!cd && strcasestr(target.c_str(), "windows-") && windows_to_cp(target))
    cd = iconv_open_mapped(target.c_str(), "utf-8");
  if (!cd) {
    report_error(env, "Output file encoding %s could not be set.", name.c_str());
    return -2;
  }
  lib(env, "%s:[%s] %s", "Output file encoding", target.c_str(), "will be used.");
  slot.cd = cd;
  slot.flags = flags | kSlotUnicode;
  slot.to = target;
  slot.from = "utf-8";
  finish_open(slot);
  return 0;
}

// ---- Auxiliary and free-standing converters ----

int32_t open_aux_converter(EnvRecord& env, int32_t direction, int32_t index, const char* from_name,
                           const char* to_name) {
  int count = 0;
  ConverterSlot* slots = encoding_slots(env, direction, &count);
  if (!slots || index < 0 || index >= count) return -1;
  ConverterSlot& slot = slots[index];
  uint32_t kept = slot.flags;
  if (slot.has_descriptor() || !slot.from.empty() || !slot.to.empty()) close_slot(slot);
  uint32_t flags = direction == kDirInput ? kSlotInputDir : direction == kDirOutput ? kSlotOutputDir : kept;
  const char* dir_word = direction == kDirOutput ? "output" : "input";
  std::string from = from_name ? from_name : "";
  std::string to = to_name ? to_name : "";
  if (is_default_name(from)) {
    from = system_charset();
    emit_messagef(env, MsgKind::Info, "Default input encoding [%s] will be used for the auixliary %s encoder[%d].",
                  from.c_str(), dir_word, index);
  }
  if (is_default_name(to)) {
    to = system_charset();
    emit_messagef(env, MsgKind::Info, "Default output encoding [%s] will be used for the auixliary %s encoder[%d].",
                  to.c_str(), dir_word, index);
  }
  void* cd = iconv_open_mapped(to.c_str(), from.c_str());
  if (!cd) {
    char text[600];
    std::snprintf(text, sizeof text, "Auxiliary %s encoder for %s/%s converter could not be open.", dir_word,
                  from.c_str(), to.c_str());
    emit_message(env, MsgKind::Error, text);
    SetMessageF(env, "%s", text);
    slot.flags = direction == kDirOther ? kept : 0;
    return -1;
  }
  slot.cd = cd;
  slot.from = from;
  slot.to = to;
  slot.flags = flags;
  if (direction == kDirOutput && strcasecmp(from.c_str(), "utf-8") == 0) slot.flags |= kSlotUnicode;
  finish_open(slot);
  lib(env, "Auxiliary %s encoder[%d] for %s/%s converter was opened.", dir_word, index, from.c_str(), to.c_str());
  return 0;
}

void* open_free_encoder(EnvRecord& env, const char* to_name, const char* from_name) {
  std::string from = from_name ? from_name : "";
  std::string to = to_name ? to_name : "";
  if (is_default_name(from)) {
    from = system_charset();
    emit_messagef(env, MsgKind::Info, "Default input  encoding [%s] will be used", from.c_str());
  }
  if (is_default_name(to)) {
    to = system_charset();
    emit_messagef(env, MsgKind::Info, "Default output encoding [%s] will be used", to.c_str());
  }
  void* cd = iconv_open_mapped(to.c_str(), from.c_str());
  if (!cd) {
    char text[600];
    std::snprintf(text, sizeof text, "Auxiliary input encoder for %s/%s converter could not be opened.", from.c_str(),
                  to.c_str());
    emit_message(env, MsgKind::Error, text);
    SetMessageF(env, "%s", text);
  }
  return cd;
}

// ---- Byte-order marks ----

const char* detect_bom(const unsigned char* h, size_t n, int* skip) {
  *skip = 0;
  if (n >= 3 && h[0] == 0xEF && h[1] == 0xBB && h[2] == 0xBF) {
    *skip = 3;
    return "UTF-8";
  }
  if (n >= 2 && h[0] == 0xFF && h[1] == 0xFE) {
    if (n >= 4 && h[2] == 0 && h[3] == 0) {
      *skip = 4;
      return "UTF-32LE";
    }
    *skip = 2;
    return "UTF-16LE";
  }
  if (n >= 2 && h[0] == 0xFE && h[1] == 0xFF) {
    *skip = 2;
    return "UTF-16BE";
  }
  if (n >= 4 && h[0] == 0 && h[1] == 0 && h[2] == 0xFE && h[3] == 0xFF) {
    *skip = 4;
    return "UTF-32BE";
  }
  return nullptr;
}

const char* detect_bom_report(EnvRecord& env, const unsigned char* head, size_t len, int* skip) {
  const char* name = detect_bom(head, len, skip);
  if (!name) {
    if (!(env.encoding.input[0].flags & kSlotQuiet))
      emit_message(env, MsgKind::Info,
                   "BOM (Byte Order Mark) was not detected, the user defined / system default encoding will be used.");
    return nullptr;
  }
  if (strcmp(name, "UTF-32BE") == 0)
    emit_message(env, MsgKind::Info, "BOM was detected, the file encoding is UTF-32BE.");
  else
    emit_messagef(env, MsgKind::Info, "BOM (Byte Order Mark) was detected, the file encoding is %s.", name);
  if (strcasecmp(env.encoding.file_encoding.c_str(), name) != 0) env.encoding.file_encoding = name;
  return name;
}

bool input_names_convertible(EnvRecord& env) {
  const ConverterSlot& s = env.encoding.input[0];
  bool on = !env.encoding.suppress_char_conv && !env.encoding.skip_encode_var_names && s.has_descriptor() &&
            !(s.flags & kSlotKeepNames);
  if (on) {
    lib(env, "%s", "The input field names will be converted");
  } else if (msg_enabled(env, MsgKind::Lib)) {
    lib(env, "%s::converter:%s, flag:0X%x", "The input field names will not be converted",
        s.has_descriptor() ? "exists" : "null", s.flags & kSlotKeepNames);
  }
  return on;
}

bool output_names_convertible(EnvRecord& env) {
  const ConverterSlot& s = env.encoding.output[0];
  bool on = !env.encoding.suppress_char_conv && !env.encoding.skip_encode_var_names && s.has_descriptor() &&
            !(s.flags & kSlotKeepNames);
  if (on) {
    lib(env, "%s", "The output field names will be converted");
  } else if (msg_enabled(env, MsgKind::Lib)) {
    lib(env, "%s::converter:%s, flag:0X%x", "The output field names will not be converted",
        s.has_descriptor() ? "exists" : "null", s.flags & kSlotKeepNames);
  }
  return on;
}

}  // namespace tabulon

namespace tabulon {

std::string_view output_string_value(EnvRecord& env, const char* s, size_t n, int64_t record, int32_t variable) {
  ConverterSlot& slot = env.encoding.output[0];
  if (n == 0 || !slot_converts(slot) || (slot.ascii_identity && is_ascii(s, n))) return {s, n};
  TranscodeCall call;
  call.context = "Error encoding output string value, ";
  call.record = record;
  call.variable = variable;
  const int64_t len = transcode_string(env, slot, s, n, nullptr, 0, call);
  return {slot.out_buf.data(), len > 0 ? static_cast<size_t>(len) : 0};
}

}  // namespace tabulon
