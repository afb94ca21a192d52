// Applying the keyword table to an environment (dxi_set_options).
#include <charconv>
#include <cstring>
#include <string>
#include <strings.h>

#include "api/call_frame.h"
#include "api/env_record.h"
#include "api/messages.h"
#include "api/option_apply.h"
#include "api/option_setters.h"
#include "api/option_slots.h"
#include "api/option_table.h"

namespace tabulon {

namespace {

// Representation codes of the "sas-outrep" choices, in choice order.
constexpr int32_t kSasOutrepCodes[] = {0, 7, 9, 8, 3, 2, 3, 4, 4, 2, 6, 2, 3, 2, 3, 1, 5};
// Character codes of the delimiter choices: autosense, comma, tab, space, semicolon, vertbar.
constexpr int32_t kReadDelimiterCodes[] = {-1, ',', '\t', ' ', ';', '|'};
constexpr int32_t kWriteDelimiterCodes[] = {',', '\t', ' ', ';', '|'};

bool parse_whole_int(const char* s, int32_t* out) {
  while (*s == ' ') ++s;
  const char* end = s + std::strlen(s);
  while (end > s && end[-1] == ' ') --end;
  if (s < end && *s == '+') ++s;
  auto [p, ec] = std::from_chars(s, end, *out);
  return ec == std::errc() && p == end && p != s;
}

// "abc" or 'abc' -> abc
std::string unquote(const char* text) {
  std::string s = text ? text : "";
  if (s.size() >= 2 && (s.front() == '"' || s.front() == '\'') && s.back() == s.front()) s = s.substr(1, s.size() - 2);
  return s;
}

int32_t delimiter_code(const OptionEntry& e, const int32_t* codes, int32_t count) {
  return e.value >= 0 && e.value < count ? codes[e.value] : e.value;
}

int32_t name_row_mode(EnvRecord& env, const char* text) {
  if (!text || strcasecmp(text, "autosense") == 0) return wks_set_name_row(env, 0, 0);
  if (strcasecmp(text, "none") == 0) return wks_set_name_row(env, 1, 0);
  if (strcasecmp(text, "first-row") == 0) return wks_set_name_row(env, 2, 0);
  int32_t row = 0;
  if (!parse_whole_int(text, &row) || row < 1) return -1;
  return wks_set_name_row(env, 2, row - 1);
}

void apply_entry(EnvRecord& env, const OptionEntry& e, const OptionApply& a, int32_t output_code, int32_t* settings) {
  const char* text = option_entry_text(e);
  const bool is_text = (e.flags & kText) != 0;
  switch (a.kind) {
    case ApplyKind::None:
      return;
    case ApplyKind::Numbered:
      if (a.arg1 == kOptReadDelimiter) {
        set_numbered_option(env, a.arg1, delimiter_code(e, kReadDelimiterCodes, 6), nullptr);
      } else if (a.arg1 == kOptWriteDelimiter) {
        set_numbered_option(env, a.arg1, delimiter_code(e, kWriteDelimiterCodes, 5), nullptr);
      } else if (is_text) {
        if (a.arg1 == kOptCodeHeaderPath && (!text || strcasecmp(text, "none") == 0)) return;
        set_numbered_option(env, a.arg1, 0, text ? text : "");
      } else {
        set_numbered_option(env, a.arg1, e.value, nullptr);
      }
      return;
    case ApplyKind::OldVersion:
      apply_old_version(env, output_code, settings, text);
      return;
    case ApplyKind::PreserveCase:
      preserve_case(env, e.value);
      return;
    case ApplyKind::DateFmt:
      if (text) DX_SetDateFmt(env.handle, a.arg1, a.arg2, text);
      return;
    case ApplyKind::DictOption: {
      if (is_text || (e.flags & kChoice)) {
        // log-level: the one-letter choice word
        const char* word = e.current_text;
        char buf[24];
        if (e.flags & kChoice) {
          size_t n = 0;
          const char* item;
          if (list_item(e.choices, e.value, &item, &n)) {
            n = n < sizeof buf - 1 ? n : sizeof buf - 1;
            std::memcpy(buf, item, n);
            buf[n] = '\0';
            word = buf;
          }
        }
        if (word) set_dict_option(env, a.arg1, a.arg2, const_cast<char*>(word));
      } else {
        char yes[2] = {e.value == 1 ? 'Y' : 'N', '\0'};
        set_dict_option(env, a.arg1, a.arg2, yes);
      }
      return;
    }
    case ApplyKind::NaString: {
      std::string s = unquote(text);
      set_na_string(env, a.arg1, s.c_str());
      return;
    }
    case ApplyKind::SettingsWord:
      // drop/keep and where-statement: 1 clear, 2 save; auto-optimize: 0/1.
      settings[a.arg1] = (e.flags & kChoice) ? e.value + 1 : e.value;
      return;
    case ApplyKind::TxtReadVnames: {
      static constexpr int32_t kModes[] = {-1, 1, 0, 0};  // autosense, first-row, make-up, vlab-second
      if (e.value >= 0 && e.value < 4) txt_read_vnames(env, kModes[e.value]);
      return;
    }
    case ApplyKind::TxtMaxCols:
      txt_max_cols(env, e.value);
      return;
    case ApplyKind::TxtMaxLineWidth:
      txt_max_line_width(env, e.value);
      return;
    case ApplyKind::TxtLookMaxLines:
      txt_look_max_lines(env, e.value);
      return;
    case ApplyKind::TxtDecimalPoint:
      env.options.text.decimal_point = e.value;
      return;
    case ApplyKind::Txt000Punct:
      env.options.text.thousands_sep = e.value;
      return;
    case ApplyKind::TxtCenturyCutoff:
      txt_century_cutoff(env, e.value);
      return;
    case ApplyKind::TxtWriteVnames:
      env.options.text.write_vnames = e.value ? 1 : 0;
      return;
    case ApplyKind::SetWksNameRow:
      name_row_mode(env, text);
      return;
    case ApplyKind::SetWksRangeWithName:
      if (text && strcasecmp(text, "autosense") != 0) wks_set_range_with_name(env, text);
      return;
    case ApplyKind::SetWksNoVnames:
      env.options.wks.no_vnames = e.value ? 0 : 1;
      return;
    case ApplyKind::SetSasStyle:
      if (e.value >= 0 && e.value < static_cast<int32_t>(std::size(kSasOutrepCodes))) {
        set_sas_style(env, 0x100 + kSasOutrepCodes[e.value]);
      }
      return;
  }
}

}  // namespace

void apply_old_version(EnvRecord& env, int32_t output_code, int32_t* settings, const char* text) {
  if (!text) return;
  int32_t v = 0;
  if (text[0] == 'y' || text[0] == 'Y') {
    v = 1;
  } else if (text[0] == 'n' || text[0] == 'N') {
    v = 0;
  } else if (!parse_whole_int(text, &v)) {
    emit_messagef(env, MsgKind::Error, "invalid parameter in old-version command: %s", text);
    return;
  }
  switch (output_code) {
    case 6:  // dBASE
      env.options.writer.old_dbase = (v == 1 || v == 3) ? 1 : 0;
      break;
    case 9:  // Gauss
      env.options.writer.gauss96 = (v == 0 || v == 96) ? 1 : 0;
      break;
    case 12: {  // SAS transport: 'y' or 5 version 5, 8 or 9 version 8, 'n' chosen by names and labels
      const int32_t ver = v == 1 || v == 5 || v == 6 ? 5 : v == 8 || v == 9 ? 8 : 0;
      if (v != 0 && ver == 0) {
        emit_messagef(env, MsgKind::Error, "invalid parameter in old-version command: %s", text);
        return;
      }
      option_store(env, kOptOutputVersion, ver, nullptr);
      break;
    }
    case 14: {  // Stata
      int32_t ver = v == 1 ? 9 : (v >= 5 && v <= 13 ? v : 11);
      if (settings[1]) ver += 0x100;
      emit_messagef(env, MsgKind::Lib, " The Stata ver. 0x%X compatible file is being written.", ver);
      settings[2] = ver;
      option_store(env, kOptOutputVersion, ver, nullptr);
      break;
    }
    case 22: {  // SPSS
      int32_t ver = v == 1 ? 11 : (v >= 11 && v <= 18 ? v : 16);
      emit_messagef(env, MsgKind::Lib, " The SPSS ver. %d compatible file is being written.", ver);
      option_store(env, kOptOutputVersion, ver, nullptr);
      break;
    }
    case 23: {  // Access
      int32_t ver = (v == 1 || v == 97) ? 3 : (v == 0 || v == 2000) ? 4 : v == 2 ? 2 : -1;
      if (ver > 0) option_store(env, kOptAccessVersion, ver, nullptr);
      break;
    }
    default:
      break;
  }
}

int32_t set_options(EnvRecord& env, int32_t output_code, int32_t* settings, int32_t output_only) {
  int32_t scratch[kSettingsWords] = {};
  if (!settings) settings = scratch;
  settings[0] = 0;
  for (int i = 0; i < kOptionCount; ++i) {
    const OptionEntry& e = *option_entry(i);
    if (!(e.flags & (kOptLoaded | kTextChanged))) continue;
    if (output_only == 1 && !(e.flags & kOutputSide)) continue;
    apply_entry(env, e, option_apply_of(i), output_code, settings);
  }
  return 0;
}

}  // namespace tabulon

using namespace tabulon;

DX_EXPORT int32_t dxi_set_options(int32_t env, int32_t outputCode, int32_t* settings, int32_t outputOnly) {
  return call_frame(env, -1, [&](EnvRecord& e) { return set_options(e, outputCode, settings, outputOnly); });
}
