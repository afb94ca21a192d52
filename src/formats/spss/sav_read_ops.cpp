// Entry points of the SPSS system-file reader for the transfer engine.
#include "engine/format_hooks.h"
#include "formats/spss/sav_reader.h"

namespace tabulon {

extern const FormatReaderOps kSpssReader = {
    .flags = 0,
    .open = nullptr,
    .read_dict = sav_read_dict,
    .read_case = sav_read_case,
    .save_position = sav_save_position,
    .restore_position = sav_restore_position,
    .read_members = nullptr,
    .select_member = nullptr,
    .close = sav_close,
    .user_missing = sav_user_missing,
    .user_missing_texts = sav_user_missing_texts,
    .gather_stats = sav_gather_stats,
};

}  // namespace tabulon
