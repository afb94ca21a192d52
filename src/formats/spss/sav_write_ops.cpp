// Entry points of the SPSS system-file writer for the transfer engine.
#include "engine/format_hooks.h"
#include "formats/spss/sav_writer.h"

namespace tabulon {

extern const FormatWriterOps kSpssWriter = {
    .flags = 0,
    .open = sav_open_output,
    .write_case = sav_write_case,
    .close = sav_close_output,
};

}  // namespace tabulon
