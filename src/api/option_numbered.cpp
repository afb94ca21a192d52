// Numbered options (DX_SetOption) and dictionary options (DX_SetDictOption).
#include <cstring>
#include <strings.h>

#include "api/call_frame.h"
#include "api/env_record.h"
#include "api/messages.h"
#include "api/option_setters.h"
#include "api/option_slots.h"
#include "dict/dictionary.h"
#include "encoding/encoding_names.h"
#include "encoding/transcode.h"
#include "expr/keep_drop.h"
#include "expr/sampling_random.h"

namespace tabulon {

namespace {

constexpr int32_t kMaxStringCap = 32768;

// Reseed DX_RandInt's generator from the seed option before its next draw.
bool g_rand_reseed_pending = true;

int32_t char_option(int32_t value, const char* text) {
  if (!text) return value;
  if (strcasecmp(text, "none") == 0) return 0;
  return static_cast<unsigned char>(text[0]);
}

int32_t set_user_encoding(EnvRecord& env, int side, const char* name) {
  std::string& target = side == 1 ? env.options.user_in_encoding : env.options.user_out_encoding;
  if (!name || !*name) {
    target.clear();
    return 0;
  }
  const char* what = side == 1 ? "input" : "output";
  if (iconv_name_for_option(name).empty()) {
    char text[kMessageSize];
    std::snprintf(text, sizeof text,
                  "Invalid paramater (%s encoding name)  in 'set' command: %s\nDefault codepage (%s) will be used instead.",
                  what, name, system_charset());
    emit_message(env, side == 1 ? MsgKind::Error : MsgKind::Warning, text);
    return -1;
  }
  target = name;
  emit_messagef(env, MsgKind::Info, "%s[%s]",
                side == 1 ? "User defined input encoding is set to:  " : "User defined output encoding is set to:  ", name);
  return 0;
}

void set_shared_text(int32_t number, const char* text) {
  option_set_shared_text(number, text);
  // Environment 0 keeps its own copy of the shared path.
  if (number == kOptSharedPath) {
    if (EnvRecord* first = env_from_handle(0)) first->shared_path = text ? text : "";
  }
}

int32_t select_page_by_name(EnvRecord& env, const char* name) {
  WksSettings& w = env.options.wks;
  if (!name || !*name) {
    w.page_name.clear();
    return 0;
  }
  if (w.hooks.page_by_name) {
    int32_t page = w.hooks.page_by_name(env, name);
    if (page < 0) return -1;
    if (w.hooks.select_page && w.hooks.select_page(env, page) < 0) return -1;
    w.page = page;
    w.page_chosen = 1;
    w.page_name.clear();
    return 0;
  }
  w.page_name = name;  // looked up when the workbook opens
  return 0;
}

int32_t call_handler(EnvRecord& env, int32_t number, int32_t value, const char* text, int32_t stored) {
  OptionHandler h = option_handler(number);
  if (!h) return stored;
  return h(env, value, text);
}

int32_t var_type_set_by_host(EnvRecord& env, int32_t index) {
  const VarRecord* v = dict_var(env.dict, index);
  if (!v) return -1;
  return (v->flags & kVarTypeSetByHost) ? 1 : 0;
}

}  // namespace

int32_t set_numbered_option(EnvRecord& env, int32_t number, int32_t value, const char* text) {
  if (option_slot_index(number) >= 0) {
    if (number == kOptMaxStringLength && !text && value > kMaxStringCap) value = kMaxStringCap;
    option_store(env, number, value, text);
    return 0;
  }
  TextOptions& t = env.options.text;
  switch (number) {
    case kOptSampleSeed:
      sampling_set_seed_option(value);
      g_rand_reseed_pending = true;
      return 0;
    case kOptReadDelimiter: {
      int32_t c = char_option(value, text);
      if (c >= 1) {
        t.read_delimiter = c;
        t.delimiter_given = 1;
        t.delimiter_autosense = 0;
      }
      return 0;
    }
    case kOptWriteDelimiter: {
      int32_t c = char_option(value, text);
      if (c >= 1) t.write_delimiter = c;  // a writer cannot separate fields with nothing
      return 0;
    }
    case kOptReadQuote:
    case kOptWriteQuote: {
      int32_t c = char_option(value, text);
      if (c == ' ') c = 0;
      (number == kOptReadQuote ? t.read_quote : t.write_quote) = c;
      return 0;
    }
    case kOptHostStream:
      env.options.host_stream = text;
      env.options.host_stream_value = value;
      return call_handler(env, number, value, text, 0);
    case kOptTextMode:
      t.text_mode = value == 2 ? 1 : 5;
      return 0;
    case kOptWksPageName:
      return select_page_by_name(env, text);
    case kOptInputKind:
      env.options.input_kind = value;
      return call_handler(env, number, value, text, 0);
    case kOptInEncoding:
      return set_user_encoding(env, 1, text);
    case kOptOutEncoding:
      return set_user_encoding(env, 2, text);
    case kOptSharedPath:
    case kOptSharedText2:
      set_shared_text(number, text);
      return 0;
    case kOptCompoundCopy:
      // The compound-file copy command belongs to the streams layer, which registers it.
      if (!option_handler(number)) {
        SetMessageF(env, "%s%s", kPrefixError, "The compound-file copy command is not available.");
        return -1;
      }
      return call_handler(env, number, value, text, -1);
    case kOptTypeChange: {
      env.message = env.message_buffer;
      return type_change_statement(env, value, text ? text : "") == 0 ? 0 : -1;
    }
    case kOptCountVariables:
      return call_handler(env, number, value, text, -1);
    case kOptVarTypeSetByHost:
      return var_type_set_by_host(env, value);
    case kOptXmlLibraryName:
      env.options.xml_library_name = text ? text : "";
      return call_handler(env, number, value, text, 0);
    default:
      return -1;
  }
}

int32_t set_dict_option(EnvRecord& env, int32_t what, int32_t sub, void* value) {
  const char* text = static_cast<const char*>(value);
  switch (what) {
    case 1: {
      if (!value) return -5;
      if (sub == 1) {
        if (std::strcmp(text, "e,w,v") == 0 || std::strchr(text, ',')) return -7;
        if (std::strlen(text) > 1) return -6;
        uint32_t mask;
        switch (text[0] | 0x20) {
          case 'e': mask = 0x0000000F; break;
          case 'w': mask = 0x0FFFFFFF; break;
          case 'v': mask = 0x3FFFFFFF; break;
          case 'd': mask = 0xC0000000; break;
          case 'n': mask = 0; break;
          default: return 0;
        }
        env.log_settings[kLogCategoryMask] = mask;
        env.log_settings[kLogGiven] = 1;
        return 0;
      }
      if (sub == 2 || sub == 3) {
        // The value is a yes/no text ("Y", "N", "1", "0").
        uint32_t on = (text[0] == 'y' || text[0] == 'Y' || text[0] == '1' || strcasecmp(text, "true") == 0) ? 1 : 0;
        env.log_settings[sub == 2 ? kLogCatAbsenceOk : kLogCatReadErrorOk] = on;
        return 0;
      }
      return -5;
    }
    case 9:
      env.options.r_object_name = text ? text : "";
      return 0;
    case 10:
      env.options.r_variant = sub;
      return 0;
    case 11:
      env.message = env.message_buffer;
      return type_change_statement(env, sub, text ? text : "") == 0 ? 0 : -1;
    case 15:
      env.options.file_description = text ? text : "";
      return 0;
    default: {
      DictOptionHandler h = dict_option_handler(what);
      if (!h) return -1;
      return h(env, sub, value);
    }
  }
}

}  // namespace tabulon

using namespace tabulon;

DX_EXPORT int32_t DX_SetOption(int32_t handle, int32_t number, int32_t intValue, const char* text) {
  if (number == kOptSharedPath || number == kOptSharedText2) {
    set_shared_text(number, text);  // process-wide: no environment needed
    return 0;
  }
  return call_frame(handle, -1, [&](EnvRecord& env) { return set_numbered_option(env, number, intValue, text); });
}

DX_EXPORT int32_t DX_SetDictOption(int32_t handle, int32_t what, int32_t sub, void* value) {
  return call_frame(handle, -1, [&](EnvRecord& env) { return set_dict_option(env, what, sub, value); });
}

// The description a host gave with dictionary option 15; "" until one is given or for an
// unknown environment.
DX_EXPORT const char* DX_GetFileDescription(int32_t handle) {
  EnvRecord* env = env_from_handle(handle);
  return env ? env->options.file_description.c_str() : "";
}

DX_EXPORT int32_t DX_RandInt(int32_t n) {
  if (g_rand_reseed_pending) {
    sampling_reseed();
    g_rand_reseed_pending = false;
  }
  return sampling_rand_int(n);
}
