// Entry points of Excel binary workbooks (code 48) for the transfer engine.
#include "engine/format_hooks.h"
#include "formats/sheets/worksheet_model.h"
#include "formats/sheets/xls_reader.h"
#include "formats/sheets/xlsx_reader.h"

namespace tabulon {

extern const FormatReaderOps kXlsReader = {
    .flags = kReaderOwnInput,
    .open = xls_open_input,
    .read_dict = wks_read_dict,
    .read_case = wks_read_case,
    .save_position = wks_save_position,
    .restore_position = wks_restore_position,
    .read_members = wks_read_members,
    .select_member = wks_select_member,
    .close = wks_close,
    .user_missing = nullptr,
};

}  // namespace tabulon

namespace tabulon {

// Office Open XML workbooks (code 54).
extern const FormatReaderOps kXlsxReader = {
    .flags = kReaderOwnInput,
    .open = xlsx_open_input,
    .read_dict = wks_read_dict,
    .read_case = wks_read_case,
    .save_position = wks_save_position,
    .restore_position = wks_restore_position,
    .read_members = wks_read_members,
    .select_member = wks_select_member,
    .close = wks_close,
    .user_missing = nullptr,
};

}  // namespace tabulon
