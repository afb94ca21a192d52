// Database parameters and data-source listing (host side of the driver contract).
#include <cctype>
#include <cstring>
#include <string>

#include "api/call_frame.h"
#include "api/messages.h"
#include "encoding/encoding_names.h"
#include "engine/db_driver.h"
#include "engine/db_format.h"

using namespace tabulon;

namespace {

constexpr int kParmEncoding = 8;
constexpr int kParmWide = 9;

bool side_ok(int32_t side) { return side == kDriverSideInput || side == kDriverSideOutput; }

bool equal_nocase(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b)
    if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b))) return false;
  return *a == *b;
}

const std::string* parm(EnvRecord& env, int32_t side, int32_t index) {
  if (!side_ok(side) || index < 0 || index >= kDriverParmCount) return nullptr;
  const DriverSlotPtr& slot = side == kDriverSideOutput ? env.transfer.output_driver : env.transfer.input_driver;
  if (!slot || slot->parms[index].empty()) return nullptr;
  return &slot->parms[index];
}

int32_t read_sources(int32_t handle, int32_t code, int32_t side) {
  return call_frame(handle, -1, [&](EnvRecord& env) -> int32_t {
    if (code != 24 || !side_ok(side)) return -1;
    env.driver_message[0] = '\0';
    DriverSlot& slot = driver_load(env, side, 1);
    slot.sources.clear();
    if (!slot.get_data_sources) return -1;
    db_fill_context(env, slot, code, "");
    return slot.get_data_sources(&slot.context);
  });
}

int32_t get_source(int32_t handle, int32_t k, char* name_out, char* description_out, int32_t side) {
  return call_frame(handle, -1, [&](EnvRecord& env) -> int32_t {
    if (!side_ok(side)) return -1;
    const DriverSlotPtr& slot = side == kDriverSideOutput ? env.transfer.output_driver : env.transfer.input_driver;
    if (!slot || k < 0 || k >= static_cast<int32_t>(slot->sources.size())) return -1;
    const DriverSource& s = slot->sources[static_cast<size_t>(k)];
    if (name_out) std::strcpy(name_out, s.name.c_str());
    if (description_out) std::strcpy(description_out, s.description.c_str());
    return 0;
  });
}

}  // namespace

DX_EXPORT int32_t DX_DBSetParm(int32_t handle, int32_t side, int32_t index, const char* text) {
  return call_frame(handle, -1, [&](EnvRecord& env) -> int32_t {
    if (!side_ok(side) || index < 0 || index >= kDriverParmCount) return -1;
    DriverSlot& slot = driver_slot(env, side);
    if (!text || !*text) {
      slot.parms[index].clear();
      if (index == kParmWide) slot.wide = 0;
      return 0;
    }
    if (index == kParmEncoding) {
      if (equal_nocase(text, "UTF-16LE")) {
        emit_messagef(env, MsgKind::Lib, "DB SESSION ENCODING %s will  not be set since it is a standard one.", text);
        return 0;
      }
      if (!find_encoding(text)) {
        emit_messagef(env, MsgKind::Error,
                      "Requested database encoding \"%s\" is not supported, switching to Unicode mode", text);
        return -1;
      }
      emit_messagef(env, MsgKind::Lib, "User request DB SESSION ENCODING set to %s", text);
    }
    if (index == kParmWide) slot.wide = equal_nocase(text, "wide") ? 1 : 0;
    slot.parms[index] = text;
    return 0;
  });
}

DX_EXPORT const char* DX_DBGetParm(int32_t handle, int32_t side, int32_t index) {
  return call_frame_value<const char*>(handle, nullptr, [&](EnvRecord& env) -> const char* {
    const std::string* p = parm(env, side, index);
    return p ? p->c_str() : nullptr;
  });
}

DX_EXPORT int32_t DX_DBGetParmVB(int32_t handle, int32_t side, int32_t index, char* buffer, int32_t size) {
  return call_frame(handle, -1, [&](EnvRecord& env) -> int32_t {
    if (!buffer || size < 1) return -1;
    const std::string* p = parm(env, side, index);
    const std::string empty;
    const std::string& text = p ? *p : empty;
    if (static_cast<int64_t>(text.size()) > static_cast<int64_t>(size) - 1) return -1;
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return static_cast<int32_t>(text.size());
  });
}

DX_EXPORT int32_t DX_DBReadSources(int32_t env, int32_t code) { return read_sources(env, code, kDriverSideInput); }
DX_EXPORT int32_t DX_DBReadSourcesEx(int32_t env, int32_t code, int32_t side) {
  return read_sources(env, code, side);
}
DX_EXPORT int32_t DX_DBGetSource(int32_t env, int32_t k, char* name, char* description) {
  return get_source(env, k, name, description, kDriverSideInput);
}
DX_EXPORT int32_t DX_DBGetSourceEx(int32_t env, int32_t k, char* name, char* description, int32_t side) {
  return get_source(env, k, name, description, side);
}
