// The record loop: reading the next accepted case and writing the current one, and
// the entry points built on them.
#include <cmath>
#include <cstring>
#include <exception>

#include "api/call_frame.h"
#include "api/messages.h"
#include "api/option_slots.h"
#include "api/raise.h"
#include "dict/dictionary.h"
#include "engine/engine_util.h"
#include "engine/format_hooks.h"
#include "engine/stream_glue.h"
#include "engine/transfer.h"
#include "expr/where.h"

namespace tabulon {

namespace {

[[noreturn]] void raise_read_error(EnvRecord& env, uint32_t flags) {
  RaiseErrorF(env, "%s0x%0xd%s%s%s\n%s\n%s", "An error (", flags, ") occurred while reading the input file\n [",
              engine_file_name(env.transfer.input_path), "]",
              "Normally it happens when the file is truncated (i.e. physically damaged)  or due to an I/O error.",
              "Please make sure that the input file is valid and readable.");
}

[[noreturn]] void raise_write_error(EnvRecord& env) {
  RaiseErrorF(env, "%s%s%s\n%s\n%s", "An error occurred while writing the output file\n [",
              engine_file_name(env.transfer.output_path), "]", "",
              "Normally it happens due to an I/O error or lack of available hard drive space.");
}

// Calls a reader's or writer's case hook, telling the encoding layer which case is in flight
// so its reports can name it, and marking the transfer failed when the hook unwinds (a
// database output then rolls back). A handler rather than a guard object: counting uncaught
// exceptions per case costs a thread-local lookup each time.
int32_t call_case_hook(EnvRecord& env, int32_t (*hook)(EnvRecord&), double number) {
  env.encoding.current_case = static_cast<int64_t>(number);
  int32_t r;
  try {
    r = hook(env);
  } catch (...) {
    env.encoding.current_case = 0;
    env.transfer.transfer_failed = 1;
    throw;
  }
  env.encoding.current_case = 0;
  return r;
}

// A reader that announced its case count and ends the data after another number, without a
// failure, has lost or invented cases: the transfer fails rather than report success.
void check_case_count(EnvRecord& env) {
  TransferState& t = env.transfer;
  const uint32_t delivered = t.pass_cases;
  t.pass_cases = 0;  // a reader may start over after its end
  if (t.announced_cases == 0 || delivered == t.announced_cases || option_int(env, kOptDisableOptRecCount)) return;
  t.transfer_failed = 1;  // a database output rolls back
  if (t.output_stream) engine_stream_add_errors(t.output_stream.get(), kStreamIncomplete);
  RaiseErrorF(env,
              "The input file %s announced %u cases but the data ended after %u cases. The transfer was stopped "
              "so that no case is lost without notice.",
              engine_file_name(t.input_path), t.announced_cases, delivered);
}

// A case that fails to come through (a raised error or a failure code) spoils the output:
// the close then discards it rather than pass a partial file for a whole one.
void spoil_output(EnvRecord& env) {
  if (env.transfer.output_open) env.transfer.delete_output = 1;
}

int32_t read_next(EnvRecord& env) {
  TransferState& t = env.transfer;
  const bool user = engine_user_dict(env);
  for (;;) {
    if (t.last_case && t.cases_read >= t.last_case) return kEndOfData;
    dict_clear_record(env.dict);
    int32_t r = kEndOfData;
    if (t.read_case) r = call_case_hook(env, t.read_case, t.cases_read + 1);
    uint32_t flags = engine_stream_errors(t.input_stream.get());
    if (r == kCaseRead && (flags & kStreamReadError)) raise_read_error(env, flags);
    t.cases_read += 1;
    if (r < kEndOfData) {
      spoil_output(env);
      t.transfer_failed = 1;
    }
    if (r != kCaseRead) {
      if (r == kEndOfData) check_case_count(env);
      return r;
    }
    t.pass_cases += 1;
    if (t.first_case && t.cases_read < t.first_case) continue;
    if (user) t.cases_moved++;
    // A WHERE that cannot be evaluated raises: the transfer fails with its message
    // rather than ending as if the data had run out.
    if (!where_accepts(env)) continue;
    return 0;
  }
}

int32_t write_current(EnvRecord& env) {
  TransferState& t = env.transfer;
  if (engine_user_dict(env) && where_is_set(env)) {
    t.cases_read += 1;
    if (!where_accepts(env)) return 1;
  }
  int32_t r = 0;
  if (t.write_case) r = call_case_hook(env, t.write_case, t.cases_moved + 1);
  uint32_t flags = engine_stream_errors(t.output_stream.get());
  // Any error bit means bytes were lost, whatever the bit.
  if (r < 0 && (flags & (kStreamReadError | kStreamWriteError | 16u))) raise_write_error(env);
  if (r >= 0 && flags) r = -1;
  if (r < 0) spoil_output(env);
  if (r >= 0) t.cases_moved++;
  else t.transfer_failed = 1;
  return r;
}

}  // namespace

int32_t transfer_read_next(EnvRecord& env) {
  try {
    return read_next(env);
  } catch (...) {
    spoil_output(env);
    throw;
  }
}

int32_t transfer_write_current(EnvRecord& env) {
  try {
    return write_current(env);
  } catch (...) {
    spoil_output(env);
    throw;
  }
}

int32_t transfer_gather_stats(EnvRecord& env, const uint8_t* want, VarStats* stats, bool exact_float,
                              int32_t max_cases) {
  TransferState& t = env.transfer;
  int32_t n;
  try {
    n = t.reader->gather_stats(env, want, stats, exact_float, max_cases);
  } catch (...) {
    env.encoding.current_case = 0;
    t.transfer_failed = 1;
    throw;
  }
  env.encoding.current_case = 0;
  const uint32_t flags = engine_stream_errors(t.input_stream.get());
  if (flags & kStreamReadError) raise_read_error(env, flags);
  t.cases_read += n;
  t.pass_cases += static_cast<uint32_t>(n);
  if (n < max_cases) {
    t.cases_read += 1;  // the read that met the end, as the reading pass counts it
    check_case_count(env);
  }
  return n;
}

int32_t transfer_save_position(EnvRecord& env) {
  TransferState& t = env.transfer;
  if (!t.input_open) return 0;
  if (t.reader && t.reader->save_position) return t.reader->save_position(env) < 0 ? -1 : 0;
  if (t.input_stream) t.saved_position = engine_stream_tell(t.input_stream.get());
  return 0;
}

int32_t transfer_restore_position(EnvRecord& env) {
  TransferState& t = env.transfer;
  int32_t r = 0;
  if (t.input_open) {
    if (t.reader && t.reader->restore_position)
      r = t.reader->restore_position(env) < 0 ? -1 : 0;
    else if (t.input_stream && !engine_stream_seek(t.input_stream.get(), t.saved_position))
      r = -1;
  }
  t.cases_moved = 0;
  t.cases_read = 0;
  t.pass_cases = 0;
  return r;
}

void transfer_init_read_only(EnvRecord& env) {
  env.transfer.input_kind = kInputReadOnly;
  dict_layout_record(env);
  env.transfer.cases_read = 0;
  engine_load_case_window(env);
}

}  // namespace tabulon

using namespace tabulon;

namespace {

bool transfer_ready(const EnvRecord& env) {
  const TransferState& t = env.transfer;
  return t.output_open && (t.input_open || engine_user_dict(env));
}

}  // namespace

DX_EXPORT int32_t DX_InitReadOnly(int32_t handle) {
  return call_frame(handle, -1, [&](EnvRecord& env) -> int32_t {
    if (!env.transfer.input_open || !env.transfer.dict_read) return -1;
    transfer_init_read_only(env);
    return 0;
  });
}

DX_EXPORT int32_t DX_ReadRecord(int32_t handle) {
  return call_frame(handle, -2, [&](EnvRecord& env) -> int32_t {
    TransferState& t = env.transfer;
    if (t.cases_moved == 0) {
      if (!t.input_open || !t.dict_read) return -3;
      if (!t.output_open && t.input_kind != kInputReadOnly) return -3;
      if (engine_selected_count(env.dict) == 0) return -3;
    }
    dict_layout_record(env);
    int32_t r = transfer_read_next(env);
    if (r != 0) return -1;
    if (t.input_kind == kInputReadOnly) t.cases_moved++;
    return 0;
  });
}

DX_EXPORT int32_t DX_WriteRecord(int32_t handle) {
  return call_frame(handle, -1, [&](EnvRecord& env) -> int32_t {
    TransferState& t = env.transfer;
    if (t.cases_moved == 0 &&
        (!t.output_open || !engine_has_dictionary(env) || engine_selected_count(env.dict) == 0))
      return -2;
    int32_t r = transfer_write_current(env);
    if (!t.input_open) dict_clear_record(env.dict);
    return r;
  });
}

DX_EXPORT int32_t DX_TransferOneRecord(int32_t handle) {
  return call_frame(handle, -3, [&](EnvRecord& env) -> int32_t {
    if (!transfer_ready(env) || !env.transfer.input_open) return -3;
    if (transfer_read_next(env) != 0) return -1;
    return transfer_write_current(env) < 0 ? -2 : 0;
  });
}

DX_EXPORT int32_t DX_TransferNRecords(int32_t handle, int32_t n) {
  return call_frame(handle, -4, [&](EnvRecord& env) -> int32_t {
    if (!transfer_ready(env) || !env.transfer.input_open) return -3;
    int32_t moved = 0;
    for (int32_t i = 0; i < n; ++i) {
      int32_t r = transfer_read_next(env);
      if (r == kEndOfData) break;
      if (r < kEndOfData) return -2;
      int32_t w = transfer_write_current(env);
      if (w < 0) return -3;
      if (w == 0) ++moved;
    }
    return moved;
  });
}

DX_EXPORT int32_t DX_TransferAllRecords(int32_t handle) {
  return call_frame(handle, -3, [&](EnvRecord& env) -> int32_t {
    TransferState& t = env.transfer;
    if (!transfer_ready(env) || !t.input_open) return -3;
    for (;;) {
      int32_t r = transfer_read_next(env);
      if (r == kEndOfData) break;
      if (r < kEndOfData) return -1;
      if (transfer_write_current(env) < 0) return -2;
    }
    return static_cast<int32_t>(t.cases_moved);
  });
}

DX_EXPORT int32_t DX_GetCasesMoved(int32_t handle) {
  return call_frame(handle, -1, [&](EnvRecord& env) -> int32_t {
    return static_cast<int32_t>(env.transfer.cases_moved);
  });
}

DX_EXPORT int32_t DX_GetCasesDropped(int32_t handle) {
  return call_frame(handle, -1, [&](EnvRecord& env) -> int32_t {
    return static_cast<int32_t>(env.transfer.cases_dropped);
  });
}

DX_EXPORT int32_t DX_GetPercentTransferred(int32_t handle) {
  return call_frame(handle, -1, [&](EnvRecord& env) -> int32_t {
    TransferState& t = env.transfer;
    if (t.percent_step == 0) return -1;
    if (t.cases_moved & 8u) {
      double p = std::floor(t.cases_moved * t.percent_step);
      t.percent_done = p > 100 ? 100u : static_cast<uint32_t>(p);
    }
    return static_cast<int32_t>(t.percent_done);
  });
}

DX_EXPORT int32_t DX_SavePosn(int32_t handle) {
  return call_frame(handle, -1, [&](EnvRecord& env) -> int32_t { return transfer_save_position(env); });
}

DX_EXPORT int32_t DX_RestorePosn(int32_t handle) {
  return call_frame(handle, -1, [&](EnvRecord& env) -> int32_t { return transfer_restore_position(env); });
}
