// Internal forms of the option setters: the exported DX_* functions wrap these, and the
// keyword table is applied through them.
#pragma once

#include <cstdint>

namespace tabulon {

struct EnvRecord;

// Numbered options; 0 or -1 (unknown number, failed action). Numbers 27/28 need no environment.
int32_t set_numbered_option(EnvRecord& env, int32_t number, int32_t value, const char* text);
int32_t set_dict_option(EnvRecord& env, int32_t what, int32_t sub, void* value);

void txt_max_cols(EnvRecord& env, int32_t n);
void txt_read_vnames(EnvRecord& env, int32_t mode);
void txt_look_max_lines(EnvRecord& env, int32_t n);
void txt_max_line_width(EnvRecord& env, int32_t n);
void txt_century_cutoff(EnvRecord& env, int32_t n);
int32_t set_na_string(EnvRecord& env, int32_t side, const char* text);
void preserve_case(EnvRecord& env, int32_t on);
void set_sas_style(EnvRecord& env, int32_t style);

int32_t wks_set_name_row(EnvRecord& env, int32_t mode, int32_t row);
int32_t wks_set_range_with_name(EnvRecord& env, const char* text);
int32_t wks_set_range(EnvRecord& env, int32_t first_row, int32_t first_col, int32_t last_row, int32_t last_col);

}  // namespace tabulon
