// Entry points of the Stata format for the transfer engine.
#include "engine/format_hooks.h"
#include "formats/stata/stata_reader.h"
#include "formats/stata/stata_writer.h"

namespace tabulon {

extern const FormatReaderOps kStataReader = {
    .flags = 0,
    .open = nullptr,
    .read_dict = stata_read_dict,
    .read_case = stata_read_case,
    .save_position = stata_save_position,
    .restore_position = stata_restore_position,
    .read_members = nullptr,
    .select_member = nullptr,
    .close = nullptr,
    .user_missing = nullptr,
    .user_missing_texts = nullptr,
    .gather_stats = stata_gather_stats,
};

extern const FormatWriterOps kStataWriter = {
    .flags = 0,
    .open = stata_open_output,
    .write_case = stata_write_case,
    .close = stata_close_output,
};

}  // namespace tabulon
