// Entry points of the SAS data-set reader for the transfer engine.
#include "engine/format_hooks.h"
#include "formats/sas/sas7bdat_reader.h"

namespace tabulon {

extern const FormatReaderOps kSas7bdatReader = {
    .flags = 0,
    .open = sas7bdat_open,
    .read_dict = sas7bdat_read_dict,
    .read_case = sas7bdat_read_case,
    .save_position = sas7bdat_save_position,
    .restore_position = sas7bdat_restore_position,
    .read_members = nullptr,
    .select_member = nullptr,
    .close = sas7bdat_close,
    .user_missing = nullptr,
    .user_missing_texts = nullptr,
    .gather_stats = sas7bdat_gather_stats,
};

}  // namespace tabulon
