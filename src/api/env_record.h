// The environment record: one conversion context, addressed by its handle.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "tabulon/tabulon.h"
#include "api/option_state.h"
#include "dates/date_state.h"
#include "dict/dict_state.h"
#include "encoding/encoding_state.h"
#include "engine/transfer_state.h"
#include "expr/expr_state.h"
#include "io/io_state.h"

namespace tabulon {

constexpr int kMessageSize = 1024;
constexpr int kOwnedStringCount = 100;

// Words of the log settings block the host hands to DX_SetInfoCallback.
enum LogSettingsWord { kLogCatReadErrorOk = 0, kLogCatAbsenceOk = 1, kLogCategoryMask = 2, kLogGiven = 3 };

struct EnvRecord {
  int32_t handle = -1;

  // Host side.
  int64_t window_handle = 0;
  int64_t info_user_data = 0;
  uint32_t info_level_mask = 0;
  DX_InfoCallback info_callback = nullptr;
  uint32_t log_settings[4] = {0, 0, 0, 0};
  DX_ConfirmCallback confirm_callback = nullptr;
  int64_t confirm_user_data = 0;
  uint32_t confirm_flags = 0;
  DX_ProgressCallback progress_callback = nullptr;
  int64_t progress_user_data = 0;

  int32_t ole_state = 0;         // copy of the process-wide OLE state
  int32_t is_64bit_system = 0;
  int32_t release_xml = 0;       // unload the XML library whenever the files are closed
  std::string shared_path;       // copy of the process-wide text of numbered option 27 (slot 0 only)

  // Messages. `message` is what DX_GetErrorMsg returns: a constant text, one of the
  // two buffers below, or null after the files are closed.
  const char* message = "";
  char driver_message[kMessageSize] = {};
  char message_buffer[kMessageSize] = {};
  int32_t message_has_argument = 0;
  int32_t last_open_result = 0;

  // Strings the environment owns; an empty slot is null.
  std::array<std::unique_ptr<char[]>, kOwnedStringCount> owned_strings;

  // Subsystem state.
  OptionState options;
  IoState io;
  DictState dict;
  DateState dates;
  EncodingState encoding;
  ExprState expr;
  TransferState transfer;
};

// The record behind a handle, or null when the handle is outside the table or its slot is empty.
EnvRecord* env_from_handle(int32_t handle);
// Number of slots of the environment table (0 when there is no table).
int32_t env_slot_count();

// Stores a copy of text in owned slot `index` (replacing what was there) and returns it.
const char* env_set_owned_string(EnvRecord& env, int index, const char* text);

}  // namespace tabulon
