// Data-set information: case count and the numbered queries of DX_GetDatasetInfo.
#include <algorithm>
#include <cstring>
#include <string>

#include "api/call_frame.h"
#include "api/env_record.h"
#include "api/option_slots.h"
#include "dict/dict_env.h"
#include "dict/dict_frame.h"
#include "dict/dictionary.h"
#include "encoding/encoding_names.h"
#include "encoding/iconv_api.h"
#include "encoding/transcode.h"
#include "engine/format_registry.h"
#include "io/stream.h"

using namespace tabulon;

namespace {

enum : int32_t {
  kInfoOk = 0,
  kInfoUnknown = -8,
  kInfoNone = -9,
  kInfoTooLong = -10,
  kInfoNoVariable = -11,
};

constexpr int32_t kLastInfoQuery = 131;
// Room assumed for a text result when the caller does not say.
constexpr size_t kInfoTextRoom = 256;

int32_t put_text(const char* text, char* out, size_t room) {
  if (!out) return -1;
  size_t n = utf8_cut(text, strlen(text), room - 1);
  std::memcpy(out, text, n);
  out[n] = '\0';
  return kInfoOk;
}

// A query this build cannot answer yet.
int32_t not_available(EnvRecord& env, int32_t what) {
  SetMessageF(env, "Data set information %d is not available in this build.", what);
  return kInfoUnknown;
}

bool encoding_opens(const char* name, bool input) {
  if (!name) return false;
  std::string iconv_name = iconv_name_for_option(name);
  if (iconv_name.empty()) return false;
  void* cd = input ? iconv_open_mapped("UTF-8", iconv_name.c_str()) : iconv_open_mapped(iconv_name.c_str(), "UTF-8");
  if (!descriptor_valid(cd)) return false;
  iconv_close_checked(cd);
  return true;
}

}  // namespace

DX_EXPORT int32_t DX_GetNCases(int32_t env) {
  return call_frame(env, -1, [](EnvRecord& e) -> int32_t {
    int64_t n = dict_announced_cases(e);
    return n < 0 || n > INT32_MAX ? -1 : static_cast<int32_t>(n);
  });
}

DX_EXPORT int32_t DX_GetDatasetInfo(int32_t env, int32_t what, int32_t* outInt, char* outText) {
  return dict_frame(env, -2, -1, -1, [&](EnvRecord& e) -> int32_t {
    if (!outInt) return -1;
    if (what < 0 || what > kLastInfoQuery) return kInfoUnknown;
    DictState& d = e.dict;
    switch (what) {
      case 0:
        if (d.reader_count == 0) return kInfoNone;
        *outInt = static_cast<int32_t>(std::clamp<int64_t>(d.reader_count, INT32_MIN, INT32_MAX));
        return kInfoOk;
      case 1: {
        if (!d.has_file_label) return kInfoNone;
        if (!outText) return -1;
        size_t room = *outInt > 0 ? static_cast<size_t>(*outInt) : kInfoTextRoom;
        if (d.file_label.size() + 1 > room) return kInfoTooLong;
        std::memcpy(outText, d.file_label.c_str(), d.file_label.size() + 1);
        *outInt = static_cast<int32_t>(d.file_label.size());
        return kInfoOk;
      }
      case 100: {
        int32_t code = -1;
        if (*outInt == 1 && e.transfer.input_open) code = e.transfer.input_code;
        if (*outInt == 2 && e.transfer.output_open) code = e.transfer.output_code;
        const FormatEntry* f = code >= 0 ? format_entry(code) : nullptr;
        if (!f) return kInfoNone;
        return put_text(f->name, outText, kInfoTextRoom);
      }
      case 101:
      case 102: {
        const Stream* s = (what == 101 ? e.transfer.output_stream : e.transfer.input_stream).get();
        *outInt = s ? static_cast<int32_t>(s->error) : 0;
        return kInfoOk;
      }
      case 103:
        *outInt = static_cast<int32_t>(std::min<int64_t>(e.encoding.input_errors + e.encoding.output_errors, INT32_MAX));
        return kInfoOk;
      case 111:
        *outInt = static_cast<int32_t>(std::min<int64_t>(e.encoding.substitutions, INT32_MAX));
        return kInfoOk;
      // The single counters: the transcoder counts errors by side and substitutions as one
      // kind, so the first error counters are the input and output sides and the first
      // substitution counter holds them all; the kinds it does not tell apart read 0.
      case 104:
        *outInt = static_cast<int32_t>(std::min<int64_t>(e.encoding.input_errors, INT32_MAX));
        return kInfoOk;
      case 105:
        *outInt = static_cast<int32_t>(std::min<int64_t>(e.encoding.output_errors, INT32_MAX));
        return kInfoOk;
      case 120:
        *outInt = static_cast<int32_t>(std::min<int64_t>(e.encoding.substitutions, INT32_MAX));
        return kInfoOk;
      case 106: case 107: case 108: case 109: case 110: case 119:
      case 112: case 113: case 114: case 115: case 116:
        *outInt = 0;
        return kInfoOk;
      case 117:
      case 126:
      case 127:
        return kInfoUnknown;  // no database driver serves the input
      case 118:
        *outInt = std::any_of(d.vars.begin(), d.vars.end(), [](const auto& v) { return v->is_string(); }) ? 1 : 0;
        return kInfoOk;
      case 122:
        return put_text(system_charset(), outText, kInfoTextRoom);
      case 123:
      case 124:
        *outInt = encoding_opens(outText, what == 123) ? 1 : 0;
        return kInfoOk;
      case 125: {
        const char* path = option_shared_path();
        if (!path || !*path) {
          *outInt = 0;
          return kInfoOk;
        }
        *outInt = 1;
        return put_text(path, outText, 4096);
      }
      case 128:
        *outInt = option_int(e, *outInt);
        return kInfoOk;
      case 129:
        *outInt = e.is_64bit_system;
        return kInfoOk;
      case 130: {
        if (d.count() == 0) return kInfoUnknown;
        const VarRecord* v = dict_var(d, *outInt);
        if (!v) return kInfoNoVariable;
        if (!outText) return -1;
        int32_t width = static_cast<int32_t>(std::min<uint32_t>(v->output_width, INT32_MAX));
        std::memcpy(outText, &width, sizeof width);
        return kInfoOk;
      }
      default:
        // 3 and 5 (R objects, workbook sheets) and the unassigned numbers.
        return not_available(e, what);
    }
  });
}
