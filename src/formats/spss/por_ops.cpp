// Entry points of the SPSS portable format for the transfer engine.
#include "engine/format_hooks.h"
#include "formats/spss/por_reader.h"
#include "formats/spss/por_writer.h"

namespace tabulon {

extern const FormatReaderOps kPortableReader = {
    .flags = 0,
    .open = nullptr,
    .read_dict = por_read_dict,
    .read_case = por_read_case,
    .save_position = por_save_position,
    .restore_position = por_restore_position,
    .read_members = nullptr,
    .select_member = nullptr,
    .close = nullptr,
    .user_missing = por_user_missing,
    .user_missing_texts = por_user_missing_texts,
};

extern const FormatWriterOps kPortableWriter = {
    .flags = 0,
    .open = por_open_output,
    .write_case = por_write_case,
    .close = por_close_output,
};

}  // namespace tabulon
