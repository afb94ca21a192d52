// Entry points of the SAS transport format for the transfer engine.
#include "engine/format_hooks.h"
#include "formats/sas/xport_reader.h"
#include "formats/sas/xport_writer.h"

namespace tabulon {

extern const FormatReaderOps kXportReader = {
    .flags = 0,
    .open = xport_open_input,
    .read_dict = xport_read_dict,
    .read_case = xport_read_case,
    .save_position = xport_save_position,
    .restore_position = xport_restore_position,
    .read_members = xport_read_members,
    .select_member = xport_select_member,
    .close = nullptr,
};

extern const FormatWriterOps kXportWriter = {
    .flags = 0,
    .open = xport_open_output,
    .write_case = xport_write_case,
    .close = xport_close_output,
};

}  // namespace tabulon
