// Applying the keyword table to an environment, the old-version handler, text defaults,
// the direct setters and the worksheet settings.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "api/env_record.h"
#include "api/option_apply.h"
#include "api/option_slots.h"
#include "api/option_table.h"
#include "tabulon/tabulon.h"

using namespace tabulon;

namespace {

std::vector<std::string> g_log;
void capture(int32_t, const char* text, int32_t, int64_t) { g_log.push_back(text); }

struct Env {
  int32_t h;
  EnvRecord* env;
  explicit Env(int32_t flags = 3, bool listen = true) : h(DX_OpenEnvironmentEx(flags)), env(env_from_handle(h)) {
    static const uint32_t settings[4] = {0, 0, 0xFFFFFFFFu, 1};
    g_log.clear();
    if (listen) DX_SetInfoCallback(h, 5, settings, 0, 0, capture);
  }
  ~Env() { DX_CloseEnvironment(h); }
};

OptionEntry& entry(int i) { return *reinterpret_cast<OptionEntry*>(dxi_get_opt(i)); }

// Restores the table for the next test even when one fails.
struct TableGuard {
  TableGuard() { option_table_reset(); }
  ~TableGuard() { option_table_reset(); }
};

}  // namespace

TEST(TextDefaults, SetAtEveryOpen) {
  Env e(0);  // no keyword table
  const TextOptions& t = e.env->options.text;
  EXPECT_EQ(t.read_delimiter, ',');
  EXPECT_EQ(t.write_delimiter, ',');
  EXPECT_EQ(t.read_quote, '"');
  EXPECT_EQ(t.write_quote, '"');
  EXPECT_EQ(t.date_order, 1);
  EXPECT_EQ(t.date_punct, '/');
  EXPECT_EQ(t.currency_mark, '$');
  EXPECT_EQ(t.decimal_point, '.');
  EXPECT_EQ(t.thousands_sep, ',');
  EXPECT_EQ(t.century_cutoff, 20);
  EXPECT_EQ(t.full_year_cutoff, 20);
  EXPECT_EQ(t.write_century, 1);
  EXPECT_EQ(t.max_fields, 255);
  EXPECT_EQ(t.look_max_lines, 16);
  EXPECT_EQ(t.max_line_width, 4096);
  EXPECT_EQ(t.write_vnames, 1);
  EXPECT_EQ(t.write_schema, 1);
  EXPECT_EQ(option_int(*e.env, 120), 0);  // nothing of the table applied
}

TEST(ApplyOptions, DefaultTableReachesTheEnvironmentAtOpen) {
  TableGuard guard;
  Env e(3, false);  // a callback would replace the log settings the table set
  const EnvRecord& env = *e.env;
  const TextOptions& t = env.options.text;
  EXPECT_EQ(t.delimiter_given, 0);  // "autosense" leaves the read delimiter to the reader
  EXPECT_EQ(t.write_delimiter, ',');
  EXPECT_EQ(t.max_fields, 256);     // DX_TxtMaxCols stores n + 1
  EXPECT_EQ(t.max_line_width, 65534);
  EXPECT_EQ(t.look_max_lines, 0);   // "all"
  EXPECT_EQ(t.names_autosense, 1);
  EXPECT_EQ(t.na_read_set, 0);      // "none"
  struct Slot {
    int number;
    int32_t value;
  } slots[] = {{0, 0}, {2, 0}, {4, 0}, {6, 0}, {11, 0}, {72, 0}, {83, 32767}, {92, 1}, {96, 1},
               {111, 0}, {120, 2}, {121, 1}, {124, '_'}, {125, 100}, {140, 32}, {143, 2}};
  for (const Slot& s : slots) {
    SCOPED_TRACE(s.number);
    EXPECT_EQ(option_int(env, s.number), s.value);
  }
  EXPECT_STREQ(option_text(env, 3), "%ipath%/sas_fmts.sas7bdat");
  EXPECT_STREQ(option_text(env, 1), "%opath%/%oname%.sas");
  EXPECT_STREQ(option_text(env, 89), "");
  EXPECT_STREQ(option_text(env, 129), "01/01/2011");
  EXPECT_NE(option_text(env, 134), nullptr);
  EXPECT_EQ(option_text(env, 71), nullptr);  // code-header-path "none" is not applied
  EXPECT_EQ(env.options.writer.sas_style_raw, 0x100);
  EXPECT_EQ(env.options.wks.no_vnames, 0);
  EXPECT_EQ(env.options.wks.range_active, 0);
  EXPECT_EQ(env.log_settings[2], 0x0000000Fu);  // log-level "e"
  EXPECT_EQ(env.log_settings[0], 1u);
  EXPECT_EQ(env.log_settings[1], 1u);
  EXPECT_STREQ(date_pattern_text(env, 2, 0), "%m/%d/%Y");  // date-fmt-write
  EXPECT_STREQ(date_pattern_text(env, 1, 3), "[%m[/]%d[/][,]%y] [%H:%M[:%S[.%N]][%p][[(]%3c[)]]]");
}

TEST(ApplyOptions, MapsEveryKindOfTheLastColumn) {
  TableGuard guard;
  Env e(0);
  EnvRecord& env = *e.env;
  static char na_text[] = "\"NA\"";
  static char name_row[] = "3";
  static char range[] = "B2:C9";
  static char header[] = "/opt/headers";
  entry(15).value = 2;                        // delimiter-rd: tab
  entry(25).value = 4;                        // delimiter-wr: vertbar
  entry(16).value = 1;                        // ascii-rd-vnames: first-row
  entry(17).choices = na_text;                // num-miss-rd, given quoted
  entry(32).choices = name_row;               // wks-name-row: a row number
  entry(33).choices = range;                  // wks-data-range
  entry(37).choices = header;                 // code-header-path
  entry(56).value = 16;                       // sas-outrep WINDOWS_64
  entry(80).value = 0;                        // wks-write-vnames N: no name row
  entry(48).value = 2;                        // log-level v
  entry(24).value = 1950;                     // century-cutoff
  entry(1).value = 0;                         // preserve-case N ...
  entry(90).value = 3;                        // ... but var-case-ci, applied later, wins
  int32_t settings[6] = {9, 0, 0, 0, 0, 0};
  entry(29).value = 1;                        // drop/keep save
  entry(45).value = 0;                        // auto-optimize N
  ASSERT_EQ(dxi_set_options(e.h, 0, settings, 0), 0);
  EXPECT_EQ(settings[0], 0);
  EXPECT_EQ(settings[3], 2);
  EXPECT_EQ(settings[4], 1);
  EXPECT_EQ(settings[5], 0);
  EXPECT_EQ(env.options.text.read_delimiter, '\t');
  EXPECT_EQ(env.options.text.delimiter_given, 1);
  EXPECT_EQ(env.options.text.write_delimiter, '|');
  EXPECT_EQ(env.options.text.names_autosense, 0);
  EXPECT_EQ(env.options.text.names_row, 1);
  EXPECT_EQ(env.options.text.na_read, "NA");
  EXPECT_EQ(env.options.wks.name_row_mode, 2);
  EXPECT_EQ(env.options.wks.name_row, 2);
  EXPECT_EQ(env.options.wks.range_active, 1);
  EXPECT_EQ(env.options.wks.first_row, 1);
  EXPECT_EQ(env.options.wks.last_col, 2);
  EXPECT_STREQ(option_text(env, 71), "/opt/headers");
  EXPECT_EQ(env.options.writer.sas_style_raw, 0x105);
  EXPECT_EQ(option_sas_outrep(env), 5);
  EXPECT_EQ(env.options.wks.no_vnames, 1);
  EXPECT_EQ(env.log_settings[2], 0x3FFFFFFFu);
  EXPECT_EQ(env.options.text.century_cutoff, 50);
  EXPECT_EQ(env.options.text.full_year_cutoff, 1950);
  EXPECT_EQ(option_int(env, 120), 3);

  // A character typed instead of a choice word passes unchanged.
  entry(15).value = '#';
  dxi_set_options(e.h, 0, settings, 0);
  EXPECT_EQ(env.options.text.read_delimiter, '#');

  // Name-row words.
  static char none[] = "none";
  entry(32).choices = none;
  dxi_set_options(e.h, 0, settings, 0);
  EXPECT_EQ(env.options.wks.name_row_mode, 1);
}

TEST(ApplyOptions, OutputOnlyAppliesOutputSideEntries) {
  TableGuard guard;
  Env e(0);
  entry(19).value = 99;   // max-fields: input side
  entry(28).value = 0;    // write-field-names: output side
  ASSERT_EQ(dxi_set_options(e.h, 0, nullptr, 1), 0);
  EXPECT_EQ(e.env->options.text.max_fields, 255);
  EXPECT_EQ(e.env->options.text.write_vnames, 0);
}

TEST(ApplyOptions, UnloadedEntriesAreSkipped) {
  TableGuard guard;
  Env e(0);
  for (int i = 0; i < kOptionCount; ++i) entry(i).flags &= ~(kOptLoaded | kTextChanged);
  entry(51).flags |= kOptLoaded;  // only max-string-length
  entry(51).value = 100;
  ASSERT_EQ(dxi_set_options(e.h, 0, nullptr, 0), 0);
  EXPECT_EQ(option_int(*e.env, 83), 100);
  EXPECT_EQ(option_int(*e.env, 120), 0);
  EXPECT_EQ(option_text(*e.env, 3), nullptr);
}

TEST(OldVersion, ChoosesTheReleaseByOutputFormat) {
  Env e(0);
  EnvRecord& env = *e.env;
  struct Case {
    int32_t output;
    const char* text;
    bool large;
    int number;  // numbered option that receives the version
    int32_t expected;
  } cases[] = {
      {14, "12", false, 77, 12},    {14, "14", false, 77, 14},    {14, "y", false, 77, 9},
      {14, "N", false, 77, 0},      {14, "5", false, 77, 5},      {14, "13", true, 77, 0x10D},
      {14, "119", false, 77, 119},
      {22, "1", false, 77, 11},     {22, "18", false, 77, 18},    {22, "19", false, 77, 16},
      {22, "n", false, 77, 16},     {23, "97", false, 10, 3},     {23, "2000", false, 10, 4},
      {23, "2", false, 10, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.output) + " " + c.text);
    int32_t settings[6] = {0, c.large ? 1 : 0, 0, 0, 0, 0};
    apply_old_version(env, c.output, settings, c.text);
    EXPECT_EQ(option_int(env, c.number), c.expected);
    if (c.output == 14) {
      EXPECT_EQ(settings[2], c.expected);
    }
  }
  // Access: other values leave the version alone.
  int32_t settings[6] = {};
  apply_old_version(env, 23, settings, "5");
  EXPECT_EQ(option_int(env, 10), 2);

  struct Flag {
    int32_t output;
    const char* text;
    int32_t WriterVariants::*field;
    int32_t expected;
  } flags[] = {
      {6, "3", &WriterVariants::old_dbase, 1}, {6, "y", &WriterVariants::old_dbase, 1},
      {6, "2", &WriterVariants::old_dbase, 0}, {9, "96", &WriterVariants::gauss96, 1},
      {9, "n", &WriterVariants::gauss96, 1},   {9, "y", &WriterVariants::gauss96, 0},
  };
  for (const Flag& f : flags) {
    SCOPED_TRACE(f.text);
    apply_old_version(env, f.output, settings, f.text);
    EXPECT_EQ(env.options.writer.*f.field, f.expected);
  }
}

TEST(OldVersion, ReportsItsChoiceAndRejectsWords) {
  TableGuard guard;
  Env e(0);
  static char twelve[] = "12";
  entry(0).choices = twelve;
  int32_t settings[6] = {};
  ASSERT_EQ(dxi_set_options(e.h, 14, settings, 1), 0);
  EXPECT_EQ(settings[2], 12);
  EXPECT_EQ(option_int(*e.env, 77), 12);
  bool seen = false;
  for (const std::string& m : g_log) seen |= m == "LIB:  The Stata ver. 0xC compatible file is being written.";
  EXPECT_TRUE(seen);

  g_log.clear();
  apply_old_version(*e.env, 14, settings, "latest");
  ASSERT_EQ(g_log.size(), 1u);
  EXPECT_EQ(g_log[0], "Error:\tinvalid parameter in old-version command: latest");
  EXPECT_EQ(option_int(*e.env, 77), 12);
}

TEST(DirectSetters, StoreTheirFields) {
  Env e(0);
  EnvRecord& env = *e.env;
  TextOptions& t = env.options.text;
  EXPECT_EQ(DX_TxtMaxCols(e.h, 10), 0);
  EXPECT_EQ(t.max_fields, 11);
  DX_TxtLookMaxLines(e.h, -5);
  EXPECT_EQ(t.look_max_lines, 0);
  DX_TxtMaxLineWidth(e.h, 128);
  EXPECT_EQ(t.max_line_width, 4096);
  DX_TxtMaxLineWidth(e.h, 129);
  EXPECT_EQ(t.max_line_width, 129);
  DX_TxtCenturyCutoff(e.h, 30);
  EXPECT_EQ(t.century_cutoff, 30);
  EXPECT_EQ(t.full_year_cutoff, 30);
  DX_TxtCenturyCutoff(e.h, 1960);
  EXPECT_EQ(t.century_cutoff, 60);
  EXPECT_EQ(t.full_year_cutoff, 1960);

  struct Order {
    int32_t order, result, year, month, day;
  } orders[] = {{2, 0, 2, 1, 0}, {3, 0, 0, 1, 2}, {1, 0, 2, 0, 1}, {4, -1, 2, 0, 1}, {0, -1, 2, 0, 1}};
  for (const Order& o : orders) {
    SCOPED_TRACE(o.order);
    EXPECT_EQ(DX_TxtDateOrder(e.h, o.order), o.result);
    EXPECT_EQ(t.year_pos, o.year);
    EXPECT_EQ(t.month_pos, o.month);
    EXPECT_EQ(t.day_pos, o.day);
  }
  EXPECT_EQ(t.date_order, 1);
  DX_TxtDatePunct(e.h, '-');
  EXPECT_EQ(t.date_punct, '-');
  EXPECT_EQ(t.legacy_dates, 1);

  DX_TxtQuoteChar(e.h, ' ');
  EXPECT_EQ(t.read_quote, 0);
  EXPECT_EQ(t.write_quote, 0);
  DX_TxtDelimiter(e.h, 0);
  EXPECT_EQ(t.delimiter_autosense, 1);
  EXPECT_EQ(t.read_delimiter, ',');
  DX_TxtDelimiter(e.h, ';');
  EXPECT_EQ(t.delimiter_autosense, 0);
  EXPECT_EQ(t.read_delimiter, ';');
  EXPECT_EQ(t.write_delimiter, ';');
  DX_TxtReadVnames(e.h, 3);
  EXPECT_EQ(t.names_autosense, 0);
  EXPECT_EQ(t.names_row, 3);
  DX_TxtReadVnames(e.h, -1);
  EXPECT_EQ(t.names_autosense, 1);
  DX_TxtSetRange(e.h, 2, 3, 40, 5);
  EXPECT_EQ(t.range_first_row, 2);
  EXPECT_EQ(t.range_first_col, 3);
  EXPECT_EQ(t.range_last_row, 40);
  EXPECT_EQ(t.range_last_col, 5);

  EXPECT_EQ(DX_SetNaString(e.h, 2, "NA"), 0);
  EXPECT_EQ(t.na_write, "NA");
  EXPECT_EQ(t.na_write_set, 1);
  EXPECT_EQ(DX_SetNaString(e.h, 2, "None"), 0);
  EXPECT_EQ(t.na_write_set, 0);
  EXPECT_EQ(t.na_write, "");
  EXPECT_EQ(DX_SetNaString(e.h, 1, "extended"), 0);
  EXPECT_EQ(t.na_read_extended, 1);
  EXPECT_EQ(DX_SetNaString(e.h, 3, "x"), -1);

  DX_PreserveCase(e.h, 1);
  EXPECT_EQ(option_int(env, 120), 2);
  DX_PreserveCase(e.h, 0);
  EXPECT_EQ(option_int(env, 120), 0);

  DX_SetSasStyle(e.h, 0x107);
  EXPECT_EQ(env.options.writer.sas_outrep, 7);
  DX_SetSasStyle(e.h, 3);
  EXPECT_EQ(env.options.writer.sas6_style, 3);
  EXPECT_EQ(env.options.writer.sas_outrep, 7);
  EXPECT_EQ(option_sas_outrep(env), 3);  // a SAS data-set output takes every call's low byte

  EXPECT_EQ(DX_ComplexFileGet(e.h), 0);
  DX_ComplexFileSet(e.h, 5);
  EXPECT_EQ(DX_ComplexFileGet(e.h), 1);
}

TEST(WorksheetSettings, CellRangesAndPages) {
  Env e(0);
  WksSettings& w = e.env->options.wks;
  struct Case {
    const char* text;
    int32_t result;
    int32_t first_row, first_col, last_row, last_col;
  } cases[] = {
      {"B3:D10", 0, 2, 1, 9, 3},
      {"$A$1:$IV$5", 0, 0, 0, 4, 255},
      {"aa10:ab20", 0, 9, 26, 19, 27},
      {"C5:", 0, 4, 2, kWksOpenLastRow, kWksOpenLastCol},
      {"C5:A1", 0, 4, 2, kWksOpenLastRow, kWksOpenLastCol},  // a last corner above the first is open
      {"Sheet2!B3:Sheet2!D4", 0, 2, 1, 3, 3},
      {"ZZZ1:A2", -1, 2, 1, 3, 3},  // three letters: rejected, range unchanged
      {"IW1:A2", -1, 2, 1, 3, 3},   // beyond column 255
      {"A0:B2", -1, 2, 1, 3, 3},
      {"A1B:C2", -1, 2, 1, 3, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(DX_SetWksRangeWithName(e.h, c.text), c.result);
    EXPECT_EQ(w.range_active, 1);
    EXPECT_EQ(w.first_row, c.first_row);
    EXPECT_EQ(w.first_col, c.first_col);
    EXPECT_EQ(w.last_row, c.last_row);
    EXPECT_EQ(w.last_col, c.last_col);
  }
  EXPECT_EQ(w.page_name, "Sheet2");  // looked up when the workbook opens
  EXPECT_EQ(DX_SetWksRangeWithName(e.h, "3!A1:B2"), 0);
  EXPECT_EQ(w.page_chosen, 1);
  EXPECT_EQ(w.page, 2);
  EXPECT_EQ(DX_SetWksRangeWithName(e.h, "AutoSense"), 0);
  EXPECT_EQ(w.range_active, 0);
  EXPECT_EQ(DX_SetWksRangeWithName(e.h, "DATA"), 0);
  EXPECT_EQ(w.pending_range_name, "DATA");
  EXPECT_EQ(DX_SetWksRangeWithName(e.h, nullptr), -1);

  EXPECT_EQ(DX_SetWksRange(e.h, 0, 0, -1, -1), 0);  // ignored
  EXPECT_EQ(w.range_active, 0);
  EXPECT_EQ(DX_SetWksRange(e.h, 4, 2, 1, 1), 0);
  EXPECT_EQ(w.range_active, 1);
  EXPECT_EQ(w.last_row, kWksOpenLastRow);
  EXPECT_EQ(w.last_col, kWksOpenLastCol);
  EXPECT_EQ(DX_SetWksRange(e.h, -4, 2, 1, 1), -1);

  // With a workbook open its layer decides which pages exist.
  w.hooks.select_page = [](EnvRecord&, int32_t page) { return page < 3 ? 0 : -1; };
  EXPECT_EQ(DX_SetWksPage(e.h, 5), -1);
  EXPECT_EQ(DX_SetWksPage(e.h, 1), 0);
  EXPECT_EQ(w.page, 1);
  w.hooks = WorkbookHooks{};

  EXPECT_EQ(DX_SetWksNameRow(e.h, 2, 7), 0);
  EXPECT_EQ(w.name_row_mode, 2);
  EXPECT_EQ(w.name_row, 7);
  EXPECT_EQ(DX_SetWksNameRow(e.h, 3, 0), -1);
  EXPECT_EQ(DX_SetWksReadFromBottom(e.h, -1), -1);
  EXPECT_EQ(DX_SetWksColWidth(e.h, 4, 12), 0);
  ASSERT_EQ(w.col_widths.size(), 5u);
  EXPECT_EQ(w.col_widths[4], 12);
  EXPECT_EQ(DX_SetWksColWidth(e.h, -1, 12), -1);
  EXPECT_EQ(DX_SetWksColWidth(e.h, 1 << 30, 12), -1);
}
