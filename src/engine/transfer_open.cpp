// Opening a transfer: the input, its dictionary, and the output.
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "api/call_frame.h"
#include "api/messages.h"
#include "api/option_slots.h"
#include "api/raise.h"
#include "dict/dictionary.h"
#include "engine/db_format.h"
#include "engine/engine_util.h"
#include "engine/format_registry.h"
#include "engine/output_files.h"
#include "engine/stream_glue.h"
#include "engine/transfer.h"
#include "encoding/names_pass.h"
#include "encoding/transcode.h"
#include "expr/where.h"

namespace tabulon {

namespace {

constexpr uint32_t kInputBuffer = 32767;
constexpr uint32_t kOutputBuffer = 8192;

// Numeric narrowing for inputs whose numbers all come as doubles with a print width.
void narrow_numeric_types(DictState& d) {
  for (auto& vp : d.vars) {
    VarRecord& v = *vp;
    if (v.ttype < T_BYTE || v.ttype > T_DOUBLE) continue;
    if (v.decimals == 0) {
      int32_t w = static_cast<int32_t>(v.print_width);
      if (w == 1 || w == 2)
        v.ttype = T_BYTE;
      else if (w == 3 || w == 4)
        v.ttype = T_INT;
      else if (w < 10)
        v.ttype = T_LONG;
      else
        v.ttype = T_DOUBLE;
    } else {
      v.ttype = T_FLOAT;
      if (v.decimals == kDecimalsNotGiven) v.decimals = 0;
    }
  }
}

int32_t output_variable_limit(EnvRecord& env, int32_t code) {
  switch (code) {
    case 0: case 1: case 7: case 8: case 10: case 11: case 15: case 23: case 48:
      return 255;
    case 5:
      return 32;
    case 6:
      return option_int(env, kOptOutputVersion) != 0 ? 128 : 255;
    case 12:
      return 9999;
    case 14: {
      // The large edition (0x100 in the version setting), and the releases of Stata 14 and
      // later (the default), lift the 2047-variable limit; their own limit is the writer's.
      const int32_t setting = option_int(env, kOptOutputVersion);
      const int32_t version = setting & 0xFF;
      if (setting == 0 && env.options.writer.stata_ver4 != -1) return env.options.writer.stata_ver4 == 2 ? 0 : 2047;
      return (setting & 0x100) || version == 0 || (version >= 14 && version < 102) || version >= 118 ? 0 : 2047;
    }
    case 33:
      return 900;
    case 65:
      return 1024;
    default:
      return 0;
  }
}

// SAS data sets are found by lower-case names on case-sensitive systems.
void lower_case_sas_name(EnvRecord& env, std::string& path) {
  int32_t rep = option_sas_outrep(env);
  if (rep == 1 || rep == 5) return;
  size_t slash = path.find_last_of('/');
  size_t start = slash == std::string::npos ? 0 : slash + 1;
  std::string before = path;
  for (size_t i = start; i < path.size(); ++i)
    path[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(path[i])));
  if (path != before)
    emit_messagef(env, MsgKind::Warning,
                  "%s The filename of the output SAS dataset will be changed to lowercase due to SAS requrements "
                  "(Usage Note 8592)",
                  path.c_str());
}

void rename_numeric(EnvRecord& env) {
  int32_t n = 0;
  char name[24];
  for (auto& vp : env.dict.vars) {
    if (!vp->selected) continue;
    std::snprintf(name, sizeof name, "V%d", ++n);
    var_set_name(*vp, name);
  }
}

int32_t open_output_failed(EnvRecord& env, const std::string& path) {
  if (path.rfind("//", 0) != 0) {
    SetMessageF(env, "%s%s%s%s", kPrefixError, "Cannot open output file: ",
                path.c_str(),
                ". \n\tPossible reason - requested file has <READ ONLY> attribute. \n\tProcessing will be stopped.");
  } else {
    SetMessageF(env, "%sCannot open output file: %s\n\t%s\n\t%s\n\t%s%s", kPrefixError, path.c_str(),
                "You are trying to save file on the network drive, please save it on your local",
                "drive instead, or check the access rights and available space on the network",
                "drive. Another possible reason - requested file has <READ ONLY> attribute. ",
                "\n\tProcessing will be stopped.");
  }
  return -7;
}

// Everything of DX_OpenOutFile after the checks that come before the jump point.
int32_t open_output(EnvRecord& env, int32_t code, const std::string& path) {
  TransferState& t = env.transfer;
  const FormatEntry* fmt = format_entry(code);
  const bool no_writer_accepted = fmt && (fmt->caps & kCapNoWriterAccepted);
  const bool database = fmt && (fmt->caps & kCapDatabase);
  if (code > kMaxOutputCode || !fmt || (!no_writer_accepted && (!(fmt->caps & kCapWrite) || !fmt->writer)))
    RaiseError(env, "Invalid file format for writing", nullptr);

  dict_layout_record(env);

  int32_t limit = output_variable_limit(env, code);
  int32_t selected = engine_selected_count(env.dict);
  if (limit > 0 && selected > limit) {
    if (code == 14)
      SetMessageF(env, "%s", "Standard (Intercooled) Stata has limit of 2047 variables, you should select Stata/SE.");
    else
      SetMessageF(env, "Too many variables for output file type\n -- The limit is %d variables.", limit);
    return -2;
  }

  if (int32_t enc = open_output_converter(env, kSlotFromEntry, code, option_int(env, kOptOutputVersion)); enc != 0) {
    SetMessageF(env, "%s%s%d%s", kPrefixError, "The output encoder  was not open, the error code  ", enc,
                "\nThe output file can not be processed, please check the log for details.");
    return -12 + enc;
  }

  if (database) {
    try {
      db_load_output(env, code);
    } catch (const RaisedError&) {
      return -5;
    }
    t.output_open_flags |= kOutputDatabase;
  } else {
    const bool exists = path != "stdout" && engine_file_exists(path);
    // Writing over the input would destroy it before it is read.
    if (exists && !t.input_path.empty() && t.input_path != "stdin" && engine_same_file(t.input_path, path)) {
      SetMessageF(env, "%s%s%s", kPrefixError, path.c_str(), " is the input file; choose another output file.");
      return -7;
    }
    if (exists && env.confirm_callback && (env.confirm_flags & 1)) {
      if (env.confirm_callback(1, path.c_str(), 0, env.confirm_user_data) == 0) return -6;
    }
    // The old workbook is replaced only once the new one is whole (see OutputFiles), so it is
    // not deleted here; a file that could not be replaced is still refused up front.
    if (code == 54 && exists && access(path.c_str(), W_OK) != 0)
      RaiseErrorF(env, "File: %s is in use or you don't have write access", path.c_str());
    const bool own_container =
        (fmt->caps & kCapOwnContainer) || (fmt->writer && (fmt->writer->flags & kWriterOwnContainer));
    t.output_write_path = t.outputs.begin_main(path);
    if (!own_container) {
      t.output_stream = engine_open_write(env, t.output_write_path, fmt->output_mode, kOutputBuffer);
      if (!t.output_stream) return open_output_failed(env, path);
    }
  }

  t.writer = fmt->writer;
  t.write_case = fmt->writer ? fmt->writer->write_case : nullptr;
  label_mapped_user_missing(env, fmt->caps);
  if (fmt->writer && fmt->writer->open) {
    int32_t r = fmt->writer->open(env);
    if (r != 0) return -4;
  }
  if ((option_int(env, kOptProgramMask) & 7) && code != 47 && !(fmt->caps & kCapExtraPrograms))
    emit_messagef(env, MsgKind::Warning,
                  "No SAS, SPSS or Stata program files are written beside this output: they read fixed-column "
                  "text, which output format %d does not write.",
                  code);
  t.cases_read = 0;
  t.output_open = 1;
  engine_load_case_window(env);
  where_begin_pass(env);
  return 0;
}

}  // namespace

bool engine_remove_output(const std::string& path) {
  struct stat st;
  if (path.empty() || path == "stdout" || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  return std::remove(path.c_str()) == 0;
}

bool engine_file_exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

void engine_load_case_window(EnvRecord& env) {
  int32_t first = option_int(env, kOptFirstCase);
  int32_t last = option_int(env, kOptLastCase);
  env.transfer.first_case = first > 0 ? static_cast<uint32_t>(first) : 0;
  env.transfer.last_case = last > 0 ? static_cast<uint32_t>(last) : 0;
}

void transfer_reset_input(EnvRecord& env) {
  dict_clear(env.dict);
  TransferState& t = env.transfer;
  t.cases_read = 0;
  t.cases_moved = 0;
  t.cases_dropped = 0;
  t.announced_cases = 0;
  t.percent_step = 0;
  t.percent_done = 0;
  t.scan_stats = ScanStats{};
  t.pool_in_use = 1;
  t.facts = DatasetFacts{};
  env.dict.pool_in_use = true;
}

}  // namespace tabulon

using namespace tabulon;

DX_EXPORT int32_t DX_OpenInputFile(int32_t handle, int32_t code, const char* path) {
  return call_frame(handle, -1, [&](EnvRecord& env) -> int32_t {
    env.message = "Error: No Message Available.";
    env.message_buffer[0] = '\0';
    env.driver_message[0] = '\0';
    env.message_has_argument = 0;
    TransferState& t = env.transfer;
    if (engine_has_dictionary(env) || t.input_open || env.dict.count() > 0) {
      transfer_close_files(env);
      env.message = "Error: No Message Available.";
    }
    transfer_reset_input(env);
    t.input_path = path ? path : "";
    t.input_code = code;

    const FormatEntry* fmt = format_entry(code);
    if (!fmt || !(fmt->caps & (kCapRead | kCapInternal)) || !fmt->reader) {
      if (fmt && fmt->caps & kCapRead)
        RaiseErrorF(env, "Reading %s files is not supported by this version.", fmt->name);
      RaiseErrorF(env, "Invalid file format for reading: %d", code);
    }
    if (open_input_converter(env, kSlotFromEntry, code) != 0) {
      SetMessageF(env, "%s%s%s%s", kPrefixError, "The input encoder  was not open, the error code  ", "-12",
                  "\nThe input file can not be processed, please check the log for details.");
      return -12;
    }
    t.reader = fmt->reader;
    if (fmt->caps & kCapWorksheetInput) t.input_open_flags |= kInputWorksheet;
    if (fmt->caps & kCapDatabase) t.input_open_flags |= kInputDatabase;

    if (!(fmt->reader->flags & kReaderOwnInput)) {
      t.input_stream = engine_open_read(env, t.input_path, kInputBuffer);
      if (!t.input_stream) {
        if (t.input_path != "stdin" && engine_file_exists(t.input_path)) {
          SetMessageF(env, "Can't open: %s - It is being used by another application.", t.input_path.c_str());
          return -2;
        }
        SetMessageF(env, "The file: %s does not exist.", t.input_path.c_str());
        return -1;
      }
    }
    t.announced_cases = 0;
    t.cases_moved = 0;
    t.percent_step = 0;
    t.input_open = 1;
    if (fmt->reader->open) {
      int32_t r = fmt->reader->open(env);
      if (r < 0) return r;
    }
    return 0;
  });
}

DX_EXPORT int32_t DX_ReadDict(int32_t handle) {
  return call_frame(handle, -1, [&](EnvRecord& env) -> int32_t {
    TransferState& t = env.transfer;
    if (!t.input_open || !t.reader) return -1;
    env.dict.value_labels_present = false;
    env.message = "Error reading dictionary, transfer will be canceled.";

    const FormatEntry* fmt = format_entry(t.input_code);
    if (fmt && (fmt->caps & kCapMembers) && t.reader->read_members && !t.members_read) {
      int32_t n = t.reader->read_members(env);
      t.members_read = 1;
      if (n < 1) return -2;
    }
    if (fmt && (fmt->caps & kCapMembers) && t.current_member < 0 && !t.members.empty() && t.reader->select_member) {
      if (t.reader->select_member(env, 0) < 0) return -2;
      t.current_member = 0;
    }

    if (env.dict.count() > 0) dict_clear(env.dict);
    t.read_case = t.reader->read_case;
    int32_t r = t.reader->read_dict(env);
    if (r < 0) return r;
    if (fmt && (fmt->caps & kCapNarrowNumerics)) narrow_numeric_types(env.dict);
    dict_derive_api_types(env.dict);

    convert_input_names(env);
    t.percent_step = t.announced_cases ? 100.0 / t.announced_cases : 0;
    t.selected_count = static_cast<uint32_t>(env.dict.count());
    t.dict_read = 1;
    env.message = "";
    return env.dict.count();
  });
}

DX_EXPORT int32_t DX_OpenOutFile(int32_t handle, int32_t code, const char* path) {
  return call_frame(handle, -3, [&](EnvRecord& env) -> int32_t {
    env.last_open_result = 0;
    env.message = "";
    if (code == 21) return env.last_open_result = -2;
    if (!engine_has_dictionary(env)) return env.last_open_result = -1;
    TransferState& t = env.transfer;
    if (t.output_open) return env.last_open_result = -2;  // one output per transfer

    std::string out = path ? path : "";
    if (code == 38 || code == 62) lower_case_sas_name(env, out);
    t.output_path = out;
    t.output_code = code;
    if (option_int(env, kOptNumericNames)) rename_numeric(env);

    int32_t r;
    try {
      r = open_output(env, code, out);
    } catch (const RaisedError&) {
      r = -3;
    }
    if (r != 0) {
      // A failed open leaves the input as it was; a half-made output goes away.
      t.output_stream.reset();
      t.outputs.discard();
      t.output_write_path.clear();
      t.writer = nullptr;
      t.write_case = nullptr;
      t.writer_state.reset();
      t.output_open_flags = 0;
    }
    env.last_open_result = r;
    return r;
  });
}
