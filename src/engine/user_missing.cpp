#include "dict/user_missing.h"

#include "engine/format_hooks.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string>

#include "api/call_frame.h"
#include "dict/dictionary.h"

namespace tabulon {

const MissingSpec* input_missing_spec(EnvRecord& env, const VarRecord& v) {
  const FormatReaderOps* reader = env.transfer.reader;
  if (!reader || !reader->user_missing || !env.transfer.input_open) return nullptr;
  return reader->user_missing(env, v);
}

}  // namespace tabulon

namespace {

std::string number_text(double v) {
  char buf[32];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  return ec == std::errc() ? std::string(buf, end) : std::string("?");
}

}  // namespace

using namespace tabulon;

// Texts that describe a variable of the input for a host's listing: what 1 = the declared
// missing values ("9; 97 thru 99"), what 2 = the input package's display format ("F8.2",
// "%9.0g", "DATE9."). Returns the length, 0 when there is none, -1 on a bad variable.
DX_EXPORT int32_t dxi_var_describe(int32_t handle, int32_t var, int32_t what, char* out, int32_t size) {
  return call_frame(handle, -1, [&](EnvRecord& env) -> int32_t {
    VarRecord* v = dict_var(env.dict, var);
    if (!v || !out || size <= 0) return -1;
    std::string text;
    if (what == 1) {
      const MissingSpec* m = v->is_string() ? nullptr : input_missing_spec(env, *v);
      for (int i = 0; m && i < m->count && i < 3; ++i) {
        const MissingEntry& e = m->entry[i];
        if (!text.empty()) text += "; ";
        switch (e.kind) {
          case kMissValue: text += number_text(e.value); break;
          case kMissAtLeast: text += number_text(e.value) + " thru highest"; break;
          case kMissAtMost: text += "lowest thru " + number_text(e.value); break;
          case kMissRange: text += number_text(e.value) + " thru " + number_text(e.high); break;
          case kMissBelow: text += "< " + number_text(e.value); break;
          case kMissAbove: text += "> " + number_text(e.value); break;
          default: break;
        }
      }
    } else if (what == 2) {
      text = v->native_format;
    } else {
      return -1;
    }
    size_t n = std::min(text.size(), static_cast<size_t>(size - 1));
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
    return static_cast<int32_t>(n);
  });
}
