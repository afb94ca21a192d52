// The transcoding loop, its error policy and its reports.
#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "api/env_record.h"
#include "api/messages.h"
#include "api/raise.h"
#include "dict/dictionary.h"
#include "engine/change_report.h"
#include "encoding/case_map.h"
#include "encoding/iconv_api.h"
#include "encoding/transcode.h"
#include "encoding/translit.h"

namespace tabulon {

namespace {

constexpr size_t kFail = static_cast<size_t>(-1);

// Printable ASCII, TAB, LF and CR: texts made only of these pass unchanged through descriptors
// that were checked to leave them alone.
bool plain_ascii(unsigned char c) { return (c >= 0x20 && c < 0x7F) || c == '\t' || c == '\n' || c == '\r'; }

// Effective length of an input that ends at its first zero code unit (UTF-16 / UTF-32 slots).
size_t unit_length(const char* in, size_t len, size_t unit) {
  size_t i = 0;
  for (; i + unit <= len; i += unit) {
    bool zero = true;
    for (size_t k = 0; k < unit; ++k)
      if (in[i + k]) zero = false;
    if (zero) return i;
  }
  return len;
}

// Largest cut <= want that does not split a UTF-8 sequence of text.
size_t cut_point(const char* text, size_t want) {
  size_t cut = want;
  // Back up over continuation bytes; then check the lead byte's sequence is complete.
  size_t i = cut;
  while (i > 0 && (static_cast<unsigned char>(text[i - 1]) & 0xC0) == 0x80 && cut - i < 3) --i;
  if (i == 0) return cut;
  unsigned char lead = static_cast<unsigned char>(text[i - 1]);
  size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
  if (need > 1 && cut - (i - 1) < need) return i - 1;
  return cut;
}

// Output window: a caller's fixed buffer, or the slot's growing buffer.
struct Out {
  ConverterSlot& slot;
  bool fixed;
  char* base;
  char* op;
  size_t left;  // room for text, the NUL excluded

  bool grow(size_t need) {
    if (fixed) return false;
    size_t used = static_cast<size_t>(op - base);
    size_t size = 2 * (used + need + left + 1) + 2;
    try {
      slot.out_buf.resize(size);
    } catch (...) {
      return false;
    }
    base = slot.out_buf.data();
    op = base + used;
    left = size - used - 1;
    return true;
  }
};

// Writes a short ASCII text in the target encoding: directly when ASCII passes unchanged, else
// through the descriptor (after a reset its shift state is initial). 0 ok, 5 no room, 4 no memory.
int32_t put_ascii(ConverterSlot& slot, Out& out, const char* text, size_t n) {
  const IconvApi& api = iconv_api();
  if (slot.ascii_identity || !slot.has_descriptor() || (slot.flags & kSlotInputDir)) {
    if (out.left < n && !out.grow(n)) return out.fixed ? kTcTruncated : kTcNoMemory;
    memcpy(out.op, text, n);
    out.op += n;
    out.left -= n;
    return kTcOk;
  }
  for (int attempt = 0; attempt < 8; ++attempt) {
    char* ip = const_cast<char*>(text);
    size_t il = n;
    char* save_op = out.op;
    size_t save_left = out.left;
    size_t r = api.conv(slot.cd, &ip, &il, &out.op, &out.left);
    if (r != kFail && il == 0) return kTcOk;
    int e = errno;
    api.conv(slot.cd, nullptr, nullptr, nullptr, nullptr);
    out.op = save_op;
    out.left = save_left;
    if (e != E2BIG) {
      // The target cannot hold the ASCII text either: write the bytes as they are.
      if (out.left < n && !out.grow(n)) return out.fixed ? kTcTruncated : kTcNoMemory;
      memcpy(out.op, text, n);
      out.op += n;
      out.left -= n;
      return kTcOk;
    }
    if (!out.grow(4 * n + 8)) return out.fixed ? kTcTruncated : kTcNoMemory;
  }
  return kTcNoMemory;
}

struct LoopResult {
  int32_t result = kTcOk;
  size_t length = 0;
  uint32_t substitutions = 0;
  uint32_t transliterated = 0;  // characters written as their nearest ASCII text
  const char* text = nullptr;
};

LoopResult run_loop(EnvRecord& env, ConverterSlot& slot, const char* in, size_t len, char* dst, size_t cap,
                    bool strict) {
  LoopResult lr;
  EncodingState& st = env.encoding;
  const IconvApi& api = iconv_api();
  if (slot.flags & kSlotInUtf16) len = unit_length(in, len, 2);
  else if (slot.flags & kSlotInUtf32) len = unit_length(in, len, 4);

  const bool fixed = dst != nullptr;
  if (fixed && cap == 0) {
    lr.result = len ? kTcTruncated : kTcOk;
    return lr;
  }

  // Pass-through: no descriptor, or the slot says so. Never split a UTF-8 character when cutting.
  bool copy = !slot.has_descriptor() || (slot.flags & kSlotPassThrough);
  if (!copy && slot.ascii_identity) {
    copy = true;
    for (size_t i = 0; i < len; ++i)
      if (!plain_ascii(static_cast<unsigned char>(in[i]))) {
        copy = false;
        break;
      }
  }
  if (copy) {
    size_t n = len;
    if (fixed && n > cap - 1) {
      n = cut_point(in, cap - 1);
      lr.result = kTcTruncated;
    }
    char* target = dst;
    if (!fixed) {
      if (slot.out_buf.size() < n + 1) {
        try {
          slot.out_buf.resize(2 * n + 2);
        } catch (...) {
          lr.result = kTcNoMemory;
          return lr;
        }
      }
      target = slot.out_buf.data();
    }
    if (n && target != in) memmove(target, in, n);
    target[n] = '\0';
    lr.length = n;
    lr.text = target;
    return lr;
  }

  // Single-byte input through its table; any byte without a character takes the library's path
  // so that the error policy applies unchanged.
  if (slot.byte_map && !(slot.flags & kSlotPassThrough)) {
    const SingleByteMap& map = *slot.byte_map;
    const auto* u = reinterpret_cast<const unsigned char*>(in);
    bool mapped = true;
    size_t need = 0;
    for (size_t i = 0; i < len; ++i) {
      if (!map.len[u[i]]) {
        mapped = false;
        break;
      }
      need += map.len[u[i]];
    }
    if (mapped) {
      char* target = dst;
      size_t room = fixed ? cap - 1 : need;
      if (!fixed) {
        if (slot.out_buf.size() < need + 1) {
          try {
            slot.out_buf.resize(2 * need + 2);
          } catch (...) {
            lr.result = kTcNoMemory;
            return lr;
          }
        }
        target = slot.out_buf.data();
      }
      size_t o = 0;
      for (size_t i = 0; i < len; ++i) {
        unsigned char b = u[i];
        size_t n = map.len[b];
        if (o + n > room) {
          lr.result = kTcTruncated;
          break;
        }
        if (n == 1) target[o] = map.utf8[b][0];
        else memcpy(target + o, map.utf8[b], n);
        o += n;
      }
      target[o] = '\0';
      lr.length = o;
      lr.text = target;
      return lr;
    }
  }

  Out out{slot, fixed, dst, dst, fixed ? cap - 1 : 0};
  if (!fixed) {
    size_t need = 4 * len + 2;
    if (slot.out_buf.size() < need) {
      try {
        slot.out_buf.resize(2 * need + 2);
      } catch (...) {
        lr.result = kTcNoMemory;
        return lr;
      }
    }
    out.base = out.op = slot.out_buf.data();
    out.left = slot.out_buf.size() - 1;
  }

  // Transliteration applies when the source side is UTF-8.
  const bool translit = !strict && (slot.flags & kSlotUnicode) &&
                        (strcasecmp(slot.from.c_str(), "utf-8") == 0 || strcasecmp(slot.from.c_str(), "utf8") == 0);
  char* ip = const_cast<char*>(in);
  size_t il = len;
  api.conv(slot.cd, nullptr, nullptr, nullptr, nullptr);
  for (;;) {
    char* before = ip;
    size_t r = api.conv(slot.cd, &ip, &il, &out.op, &out.left);
    if (r != kFail && il == 0) {
      // Return a stateful target to its initial shift state.
      if (api.conv(slot.cd, nullptr, nullptr, &out.op, &out.left) == kFail) {
        if (!out.fixed && out.grow(16)) api.conv(slot.cd, nullptr, nullptr, &out.op, &out.left);
        else if (out.fixed) lr.result = kTcTruncated;
      }
      break;
    }
    int e = r == kFail ? errno : E2BIG;
    api.conv(slot.cd, nullptr, nullptr, nullptr, nullptr);
    if (e == E2BIG) {
      if (out.fixed) {
        lr.result = kTcTruncated;
        break;
      }
      if (!out.grow(il * 4 + 16)) {
        lr.result = kTcNoMemory;
        break;
      }
      continue;
    }
    if (il == 0) break;  // "//IGNORE" targets report the dropped bytes at the end
    if (slot.ignore_target && ip != before) continue;
    if (translit) {
      uint32_t cp = 0;
      int n = utf8_decode(reinterpret_cast<const unsigned char*>(ip), il, &cp);
      const TranslitRow* row = n > 0 ? find_translit(cp) : nullptr;
      if (row) {
        int32_t pr = put_ascii(slot, out, row->text, row->length);
        if (pr != kTcOk) {
          lr.result = pr;
          break;
        }
        ++lr.transliterated;
        ip += n;
        il -= static_cast<size_t>(n);
        continue;
      }
    }
    if (strict || st.substitute != 1) {
      lr.result = kTcStopped;
      break;
    }
    if (st.error_budget == 0) {
      lr.result = kTcOverLimit;
      break;
    }
    --st.error_budget;
    ++lr.substitutions;
    ++ip;
    --il;
    int32_t pr = put_ascii(slot, out, &st.sub_char, 1);
    lr.result = kTcSubstituted;
    if (pr != kTcOk) {
      lr.result = pr;
      break;
    }
  }
  if (lr.result == kTcSubstituted && st.error_budget == 0) lr.result = kTcOverLimit;
  *out.op = '\0';
  lr.length = static_cast<size_t>(out.op - out.base);
  lr.text = out.base;
  return lr;
}

void dump_input(std::string& line, const char* in, size_t len) {
  line = "Data (first 64 bytes): ";
  if (len == 0) {
    line += "[not available]";
    return;
  }
  char piece[16];
  for (size_t i = 0; i < len && i < 64; ++i) {
    unsigned char c = static_cast<unsigned char>(in[i]);
    std::snprintf(piece, sizeof piece, " 0x%02X('", c);
    line += piece;
    line += static_cast<char>(c);
    line += "')";
  }
}

void report(EnvRecord& env, ConverterSlot& slot, const LoopResult& lr, const char* in, size_t in_len,
            const TranscodeCall& call) {
  EncodingState& st = env.encoding;
  if (slot.flags & kSlotInputDir) ++st.input_errors;
  else ++st.output_errors;
  st.substitutions += lr.substitutions;
  if (call.error_counter) ++*call.error_counter;

  std::string context;
  char num[48];
  if (call.variable > 0) {
    std::snprintf(num, sizeof num, "Variable [%d] ", call.variable);
    context += num;
  }
  const int64_t record = call.record > 0 ? call.record : st.current_case;
  if (record > 0) {
    std::snprintf(num, sizeof num, "Record [%lld] ", static_cast<long long>(record));
    context += num;
  }
  if (call.variable > 0 || record > 0) context += "- ";
  if (lr.result < kTcTruncated && call.context) context += call.context;

  // Replaced characters are a change, not a failure: counted for the closing report, and the
  // value itself described only to a host that asks for information.
  auto substitution_line = [&] {
    std::string_view name;
    if (call.variable > 0 && call.variable <= dict_count(env.dict)) name = dict_var(env.dict, call.variable - 1)->name;
    note_change(env, ChangeKind::CharReplaced, name, lr.substitutions);
    emit_messagef(env, lr.result == kTcStopped ? MsgKind::Error : MsgKind::Info,
                  "%s %u bytes were substituted with '%c'", context.c_str(), lr.substitutions, st.sub_char);
  };
  auto dump_line = [&] {
    if (!msg_enabled(env, MsgKind::Info)) return;
    std::string line;
    dump_input(line, in, in_len);
    emit_message(env, MsgKind::Info, line.c_str());
  };
  switch (lr.result) {
    case kTcSubstituted:
      substitution_line();
      dump_line();
      break;
    case kTcStopped:
      if (lr.substitutions == 0) {
        while (!context.empty() && (context.back() == ',' || context.back() == ' ')) context.pop_back();
        emit_message(env, MsgKind::Error, context.c_str());
      } else {
        substitution_line();
      }
      dump_line();
      RaiseError(env, "An encoding error has been encountered, execution will be stopped. Please check your encoding options.",
                 nullptr);
    case kTcOverLimit:
      substitution_line();
      dump_line();
      RaiseError(env, "The number of encoding errors exceeded the user-defined limit, execution will be stopped", nullptr);
    case kTcNoMemory:
      dump_line();
      break;
    case kTcTruncated:
      if (msg_enabled(env, MsgKind::Lib)) {
        char text[128];
        std::snprintf(text, sizeof text, "<The transcoded string was truncated from %zu to %zu bytes.>", in_len,
                      lr.length);
        emit_message(env, MsgKind::Lib, text);
      }
      break;
    default:
      break;
  }
}

}  // namespace

int32_t transcode_quiet(EnvRecord& env, ConverterSlot& slot, const char* in, size_t len, char* out, size_t cap,
                        size_t* out_len, bool strict) {
  LoopResult lr = run_loop(env, slot, in ? in : "", in ? len : 0, out, cap, strict);
  if (lr.result == kTcNoMemory && out && cap) out[0] = '\0';
  if (out_len) *out_len = lr.result == kTcNoMemory ? 0 : lr.length;
  return lr.result;
}

int64_t transcode_string(EnvRecord& env, ConverterSlot& slot, const char* in, size_t len, char* out, size_t cap,
                         const TranscodeCall& call) {
  if (!in) {
    in = "";
    len = 0;
  }
  LoopResult lr = run_loop(env, slot, in, len, out, cap, false);
  if (lr.result == kTcNoMemory) {
    lr.length = 0;
    if (out && cap) out[0] = '\0';
  }
  if (call.trim && lr.text) {
    char* t = const_cast<char*>(lr.text);
    size_t n = lr.length;
    while (n > 0 && (t[n - 1] == ' ' || t[n - 1] == '\0')) --n;
    if (call.trimmed) *call.trimmed = static_cast<int32_t>(lr.length - n);
    t[n] = '\0';
    lr.length = n;
  } else if (call.trimmed) {
    *call.trimmed = 0;
  }
  if (call.result) *call.result = lr.result;
  if (lr.result > kTcOk) report(env, slot, lr, in, len, call);
  // A character written as its nearest ASCII text ("e" for "é") is replaced all the same.
  if (lr.transliterated) {
    std::string_view name;
    if (call.variable > 0 && call.variable <= dict_count(env.dict)) name = dict_var(env.dict, call.variable - 1)->name;
    note_change(env, ChangeKind::CharReplaced, name, lr.transliterated);
  }
  return static_cast<int64_t>(lr.length);
}

std::string transcode_to_string(EnvRecord& env, ConverterSlot& slot, const char* in, size_t len,
                                const TranscodeCall& call) {
  int64_t n = transcode_string(env, slot, in, len, nullptr, 0, call);
  if (n <= 0 || slot.out_buf.empty()) return std::string();
  return std::string(slot.out_buf.data(), static_cast<size_t>(n));
}

}  // namespace tabulon
