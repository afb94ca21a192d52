// Closing a transfer: the writer finishes, both sides close, and the state is reset.
#include <cstdio>
#include <string>
#include <utility>

#include "api/call_frame.h"
#include "api/messages.h"
#include "api/option_slots.h"
#include "api/raise.h"
#include "dict/dictionary.h"
#include "engine/change_report.h"
#include "engine/db_format.h"
#include "engine/engine_util.h"
#include "engine/format_registry.h"
#include "engine/output_files.h"
#include "engine/stream_glue.h"
#include "engine/transfer.h"
#include "encoding/transcode.h"
#include "expr/where.h"
#include "formats/sas/sas_format_program.h"
#include "io/stream.h"
#include "io/xml_lib.h"

namespace tabulon {

namespace {

bool is_sas_output(int32_t code) { return code == 20 || code == 38 || code == 62; }

// The PROC FORMAT program needs value labels; without them the host is told why
// nothing was written.
void sas_format_program(EnvRecord& env) {
  if (!option_int(env, kOptWriteSasFormats)) return;
  if (env.transfer.outputs.main_is_direct()) return;  // no program beside standard output or a device
  const char* name = option_text(env, kOptWriteSasFormatsName);
  std::string path = expand_path_macros(env, name && *name ? name : "%opath%/%oname%.sas");
  bool labels = env.dict.value_labels_present;
  for (const auto& v : env.dict.vars) labels = labels || (v->selected && v->has_value_labels());
  if (labels) {
    if (write_sas_format_program(env, path))
      emit_messagef(env, MsgKind::Info, "%s%s%s", "\"Proc Format Program\" file was written to ", path.c_str(), ".");
    else
      emit_messagef(env, MsgKind::Error, "The \"Proc Format Program\" file (%s) could not be written.", path.c_str());
  } else {
    emit_messagef(env, MsgKind::Warning,
                  "You requested Tabulon to write \"Proc Format Program\" file (%s) but since the input file does not "
                  "contains any value labels the file was not written.",
                  path.c_str());
  }
}

void finish_output(EnvRecord& env, int32_t& result) {
  TransferState& t = env.transfer;
  if (t.output_code == 68 || t.output_code == 51)
    emit_messagef(env, MsgKind::Info, "%s%s", "Writing data to the output file ", t.output_path.c_str());
  if (!t.output_open || t.input_kind == kInputReadOnly) return;
  if (t.output_open_flags & kOutputDatabase) {
    int32_t r = db_close_output(env);
    if (r < 0) {
      emit_message(env, MsgKind::Error, env.driver_message);
      result = r;
    }
    return;
  }
  if (t.writer && t.writer->close) {
    int32_t r = t.writer->close(env);
    if (r < 0) result = r;
  }
  if (is_sas_output(t.output_code)) sas_format_program(env);
}

void close_input(EnvRecord& env) {
  TransferState& t = env.transfer;
  if (t.input_open && t.reader && t.reader->close) t.reader->close(env);
  bool twice = false;
  for (const auto& v : env.dict.vars) twice = twice || v->name_conversions > 1;
  if (twice) RaiseError(env, "Names were converted more than once.", nullptr);
  if (env.encoding.tags_not_utf8) emit_message(env, MsgKind::Lib, "Some tags have encoding, different than UTF-8.");
  env.encoding.tags_not_utf8 = false;
}

}  // namespace

int32_t transfer_close_files(EnvRecord& env) noexcept {
  TransferState& t = env.transfer;
  int32_t result = 0;
  try {
    if (env.last_open_result == 0) finish_output(env, result);
    close_input(env);
    report_changes(env);
    if (env.transfer.changes.changes_fail && any_change(env) && result == 0) {
      emit_messagef(env, MsgKind::Error, "The conversion changed the data (%s); the output was not kept.",
                    change_summary(env).c_str());
      result = -1;
    }
  } catch (const RaisedError&) {
    emit_message(env, MsgKind::Error, env.message ? env.message : "");
    if (result == 0) result = -1;  // a failure while finishing is not a success
  } catch (...) {
    emit_message(env, MsgKind::Error, "Unexpected failure while closing the files.");
    if (result == 0) result = -1;
  }

  // The last buffered block reaches the disk only now; a full disk must not pass for success.
  if (t.output_stream && t.output_open && !t.delete_output && StreamFlush(t.output_stream.get()) != 0) {
    emit_messagef(env, MsgKind::Error, "Writing the output file %s failed: the disk may be full.",
                  t.output_path.c_str());
    engine_stream_add_errors(t.output_stream.get(), kStreamIncomplete);
    if (result == 0) result = -1;
  }
  if (engine_stream_errors(t.output_stream.get()) & kStreamIncomplete) {
    emit_messagef(env, MsgKind::Lib, "%s<%s>", "Incomplete output file was deleted from the disk.",
                  t.output_path.c_str());
    t.delete_output = 1;
  }
  t.output_stream.reset();

  const FormatEntry* in = format_entry(t.input_code);
  const bool compare = !(in && (in->caps & kCapNoCaseCompare)) && !engine_user_dict(env);
  if (env.last_open_result == 0 && t.output_open && !option_int(env, kOptDisableOptRecCount) && compare &&
      t.optimize_ran && t.optimize_case_count > 0 &&
      static_cast<double>(t.optimize_case_count) != t.cases_read) {
    emit_messagef(env, MsgKind::Error,
                  "The number of records read from the input file during optimization (%d) did not compare to the "
                  "number of the input records (%d) obtained from the input file during data transfer. The output "
                  "file will be deleted.",
                  static_cast<int32_t>(t.optimize_case_count), static_cast<int32_t>(t.cases_read));
    t.delete_output = 1;
    result = 17584;
  }

  // The output and its side files replace their targets only now, and only when whole.
  if (t.delete_output || result < 0 || result == 17584) {
    // An output opened in place by other means than DX_OpenOutFile goes away as a whole.
    if (!t.outputs.started() && t.delete_output) engine_remove_output(t.output_path);
    t.outputs.discard();
  } else {
    std::string failed;
    if (!t.outputs.commit(failed)) {
      emit_messagef(env, MsgKind::Error, "%s%s%s", "The output file ", failed.c_str(),
                    " could not be replaced by the new one; it is left as it was.");
      result = -1;
    }
  }
  t.input_stream.reset();
  for (ConverterSlot& slot : env.encoding.input) close_slot(slot);
  for (ConverterSlot& slot : env.encoding.output) close_slot(slot);
  xml_lib_on_close_files(env);

  try {
    expr_close_files(env);
  } catch (...) {
  }
  dict_clear(env.dict);
  env.dict.user_dict = false;
  env.dict.pool_in_use = false;

  // Everything but the driver slots goes back to its initial state.
  DriverSlotPtr input_driver = std::move(t.input_driver);
  DriverSlotPtr output_driver = std::move(t.output_driver);
  t = TransferState{};
  t.input_driver = std::move(input_driver);
  t.output_driver = std::move(output_driver);
  env.last_open_result = 0;
  env.message = nullptr;
  return result;
}

}  // namespace tabulon

using namespace tabulon;

DX_EXPORT int32_t DX_CloseFiles(int32_t handle) {
  return call_frame(handle, -1, [&](EnvRecord& env) -> int32_t { return transfer_close_files(env); });
}
