// Exported encoder functions.
#include <cstdlib>
#include <cstring>
#include <string>

#include "api/call_frame.h"
#include "api/env_record.h"
#include "api/messages.h"
#include "api/option_slots.h"
#include "dict/dictionary.h"
#include "encoding/iconv_api.h"
#include "encoding/legalize.h"
#include "encoding/names_pass.h"
#include "encoding/transcode.h"

using namespace tabulon;

DX_EXPORT void* DX_OpenEncoder(int32_t handle, const char* to, const char* from) {
  return call_frame_value<void*>(handle, nullptr, [&](EnvRecord& env) -> void* {
    if (!to || !from) return nullptr;
    return open_free_encoder(env, to, from);
  });
}

DX_EXPORT int32_t DX_CloseEncoder(int32_t handle, void* encoder) {
  EnvRecord* env = env_from_handle(handle);
  if (!env || !descriptor_valid(encoder)) return -1;
  iconv_close_checked(encoder);
  return 0;
}

// Transcodes a buffer through a free-standing descriptor. With *output null the library
// allocates the result with malloc (the caller frees it) and stores its size in *outputCapacity;
// otherwise the result is cut to the caller's capacity. Returns the length written.
DX_EXPORT int32_t DX_EncodeData(int32_t handle, void* encoder, const char* input, int32_t inputLength, char** output,
                                int32_t* outputCapacity) {
  return call_frame(handle, -1, [&](EnvRecord& env) -> int32_t {
    if (!descriptor_valid(encoder) || !output || !outputCapacity || inputLength < 0 || (!input && inputLength > 0))
      return -1;
    ConverterSlot slot;
    slot.cd = encoder;
    slot.flags = kSlotFreeStanding;
    struct Release {  // the descriptor belongs to the caller
      ConverterSlot& s;
      ~Release() { s.cd = nullptr; }
    } release{slot};
    TranscodeCall call;
    call.context = "Error encoding string, ";
    if (*output && *outputCapacity > 0) {
      int64_t n = transcode_string(env, slot, input, static_cast<size_t>(inputLength), *output,
                                   static_cast<size_t>(*outputCapacity), call);
      return static_cast<int32_t>(n);
    }
    int64_t n = transcode_string(env, slot, input, static_cast<size_t>(inputLength), nullptr, 0, call);
    char* copy = static_cast<char*>(std::malloc(static_cast<size_t>(n) + 1));
    if (!copy) return -1;
    std::memcpy(copy, slot.out_buf.data(), static_cast<size_t>(n));
    copy[n] = '\0';
    *output = copy;
    *outputCapacity = static_cast<int32_t>(n + 1);
    return static_cast<int32_t>(n);
  });
}

DX_EXPORT int32_t dxi_alloc_converter(int32_t handle, int32_t direction, int32_t flags, int32_t slot, const char* from,
                                      const char* to) {
  return call_frame(handle, -1, [&](EnvRecord& env) -> int32_t {
    int count = 0;
    if (!encoding_slots(env, direction, &count) || slot < 0 || slot >= count) return -1;
    const uint32_t request = static_cast<uint32_t>(flags);
    if (slot == 0 && direction == kDirInput) return open_input_converter(env, request, env.transfer.input_code);
    if (slot == 0 && direction == kDirOutput)
      return open_output_converter(env, request, env.transfer.output_code, option_int(env, kOptOutputVersion));
    return open_aux_converter(env, direction, slot, from, to);
  });
}

DX_EXPORT int32_t dxi_close_converter(int32_t handle, int32_t direction, int32_t slot) {
  return call_frame(handle, -1, [&](EnvRecord& env) -> int32_t {
    int count = 0;
    ConverterSlot* slots = encoding_slots(env, direction, &count);
    if (!slots || slot < 0 || slot >= count) return -1;
    close_slot(slots[slot]);
    return 0;
  });
}

DX_EXPORT int32_t dxi_alloc_encode_string_env(int32_t handle, int32_t direction, int32_t slot, const char* input,
                                              int32_t inputLength, char* output, int32_t outputCapacity, int32_t trim,
                                              const char* context, int32_t variable, int32_t record,
                                              int32_t* errorCount) {
  return call_frame(handle, -1, [&](EnvRecord& env) -> int32_t {
    int count = 0;
    ConverterSlot* slots = encoding_slots(env, direction, &count);
    if (!slots || slot < 0 || slot >= count || !output || outputCapacity <= 0 || inputLength < 0 ||
        (!input && inputLength > 0))
      return -1;
    TranscodeCall call;
    call.context = context;
    call.variable = variable;
    call.record = record;
    call.error_counter = errorCount;
    call.trim = trim != 0;
    int64_t n = transcode_string(env, slots[slot], input, static_cast<size_t>(inputLength), output,
                                 static_cast<size_t>(outputCapacity), call);
    return static_cast<int32_t>(n);
  });
}

DX_EXPORT int32_t dxi_hs_mangle_names_uni(int32_t handle, int32_t maxLength, int32_t caseMode, int32_t width,
                                          const char* first, const char* middle, const char* last, const char* suffix,
                                          int32_t flags) {
  return call_frame(handle, -1, [&](EnvRecord& env) -> int32_t {
    if (maxLength <= 0 || !first || !middle || !last || caseMode < 0 || caseMode > 2) return -1;
    encoding_load_options(env);
    emit_messagef(env, MsgKind::Lib, "<Names will be limited to %d %s>", maxLength,
                  (flags & kMangleCountChars) ? "characters" : "bytes, as written in the output encoding");
    NameRules rules{maxLength, caseMode, first, middle, last, suffix ? suffix : "0-9", "var. names"};
    return legalize_dictionary_names(env, rules, env.transfer.output_code, false, maxLength, width, flags);
  });
}
