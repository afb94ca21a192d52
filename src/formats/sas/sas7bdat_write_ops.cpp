// Entry points of the SAS data-set writer for the transfer engine.
#include "engine/format_hooks.h"
#include "formats/sas/sas7bdat_writer.h"

namespace tabulon {

extern const FormatWriterOps kSas7bdatWriter = {
    .flags = 0,
    .open = sas7bdat_open_output,
    .write_case = sas7bdat_write_case,
    .close = sas7bdat_close_output,
};

}  // namespace tabulon
