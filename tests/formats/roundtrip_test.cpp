// Every case of the round-trip table written through the public pipeline by each writer
// that can hold it, then read back by the matching reader and compared.
#include <unistd.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "api/env_record.h"
#include "dict/dictionary.h"
#include "formats/roundtrip_cases.h"
#include "formats/text/number_text.h"
#include "tabulon/tabulon.h"

using namespace tabulon;
using namespace roundtrip;

namespace {

struct Format {
  Target bit;
  const char* name;
  int32_t out_code;
  int32_t in_code;
  int32_t release_setting;  // option 77 for Stata, -1 otherwise
  const char* ext;          // of the file written
  bool var_labels, value_labels, ext_missing, keeps_int_types;
  double rel_tol;   // text keeps 15 significant digits (fixed columns fewer), Stata is exact
  double time_res;  // seconds: text writes whole seconds, Stata milliseconds
  int options = 0;  // kOpt* below, set on both sides
};

constexpr int kOptNaExtended = 1, kOptPrecision17 = 2;
constexpr int kUpperNames = 4;  // the format keeps names in upper case

void set_options(int32_t h, int options) {
  if (options & kOptNaExtended) {
    DX_SetNaString(h, 1, "extended");
    DX_SetNaString(h, 2, "extended");
  }
  if (options & kOptPrecision17) DX_TxtWritePrecision(h, 17);
}

const Format kFormats[] = {
    {kDelim, "delim18", 18, 18, -1, ".csv", false, false, false, false, 1e-14, 1, 0},
    {kFixed, "fixed19", 19, 19, -1, ".dat", false, false, false, false, 5e-13, 1, 0},
    {kSch46, "schema46", 46, 46, -1, ".sch", true, true, false, false, 5e-13, 1, 0},
    {kSch53, "schema53", 53, 53, -1, ".sch", true, true, false, false, 5e-13, 1, 0},
    {kSch55, "schema55", 55, 46, -1, ".sch", true, true, false, false, 1e-14, 1, 0},
    {kDta113, "stata113", 14, 14, 0x108, ".dta", true, true, true, true, 0, 0.0005, 0},
    {kDta114, "stata114", 14, 14, 0, ".dta", true, true, true, true, 0, 0.0005, 0},
    {kDta115, "stata115", 14, 14, 12, ".dta", true, true, true, true, 0, 0.0005, 0},
    {kDta117, "stata117", 14, 14, 13, ".dta", true, true, true, true, 0, 0.0005, 0},
    {kDelimNa, "delim18na", 18, 18, -1, ".csv", false, false, true, false, 1e-14, 1, kOptNaExtended},
    {kDelimP17, "delim18p17", 18, 18, -1, ".csv", false, false, false, false, 0, 1, kOptPrecision17},
    {kSav, "spss22", 22, 22, -1, ".sav", true, true, false, false, 0, 0.0005, 0},
    {kPor, "portable13", 13, 13, -1, ".por", true, true, false, false, 1e-14, 0.0005, kUpperNames},
    {kSas, "sas38", 38, 38, -1, ".sas7bdat", true, false, true, false, 0, 0.0005, 0},
    {kSas, "sas62", 62, 62, -1, ".sas7bdat", true, false, true, false, 0, 0.0005, 0},
    {kXpt, "xport12", 12, 12, -1, ".xpt", true, false, true, false, 0, 0.0005, kUpperNames},
};

int api_type_of(int ttype) {
  switch (ttype) {
    case T_STRING: return 2;
    case T_DATE: return 4;
    case T_TIME: return 8;
    case T_DATETIME: return 16;
    default: return 1;
  }
}

// Kind of a storage type as every format keeps it apart: text, number, date, time, date-time.
int family(int ttype) {
  switch (ttype) {
    case T_STRING: return 1;
    case T_DATE: return 7;
    case T_TIME: return 8;
    case T_DATETIME: return 9;
    default: return 6;
  }
}

struct Dir {
  std::string path;
  Dir() {
    char tmpl[] = "/tmp/tabulon_rt_XXXXXX";
    path = mkdtemp(tmpl) ? tmpl : "/tmp";
  }
  ~Dir() {
    if (!std::getenv("ROUNDTRIP_KEEP")) std::system(("rm -rf " + path).c_str());
  }
};

std::string message(int32_t h) {
  const char* m = DX_GetErrorMsg(h);
  return m ? m : "";
}

// Writes the case through a user dictionary; returns "" or what failed.
std::string write_case(const Case& c, const Format& f, const std::string& path) {
  const int32_t h = DX_OpenEnvironment();
  if (h < 0) return "no environment";
  struct Close {
    int32_t h;
    ~Close() { DX_CloseEnvironment(h); }
  } close{h};
  if (f.release_setting >= 0) DX_SetOption(h, 77, f.release_setting, nullptr);
  set_options(h, f.options);
  if (DX_InitUserDict(h, static_cast<int32_t>(c.vars.size())) != 0) return "init: " + message(h);
  EnvRecord& env = *env_from_handle(h);
  for (size_t i = 0; i < c.vars.size(); ++i) {
    const Var& v = c.vars[i];
    const int32_t k = static_cast<int32_t>(i);
    if (DX_AddUserVar(h, k, v.name.c_str(), api_type_of(v.ttype), v.width, v.decimals) != 0)
      return "add " + v.name + ": " + message(h);
    // The host's storage choice beyond the API's kinds: byte, int, long, float.
    dict_var(env.dict, k)->ttype = static_cast<uint16_t>(v.ttype);
    if (!v.label.empty() && DX_SetVarLabel(h, k, v.label.c_str()) != 0) return "label: " + message(h);
    if (!v.labels.empty()) {
      if (DX_SetNValueLabels(h, k, static_cast<int32_t>(v.labels.size())) != 0) return "nlabels: " + message(h);
      for (size_t j = 0; j < v.labels.size(); ++j) {
        const Label& l = v.labels[j];
        const int32_t rc = l.missing ? DX_SetMissingValueLabel(h, static_cast<int32_t>(j), l.missing, l.text.c_str())
                                     : DX_SetValueLabel(h, static_cast<int32_t>(j), static_cast<int32_t>(l.value),
                                                        l.text.c_str());
        if (rc != 0) return "value label " + l.text + ": " + message(h);
      }
    }
  }
  if (DX_OpenOutFile(h, f.out_code, path.c_str()) != 0) return "open: " + message(h);
  for (const auto& row : c.rows) {
    for (size_t i = 0; i < row.size(); ++i) {
      const int32_t k = static_cast<int32_t>(i);
      int32_t rc;
      if (row[i].missing)
        rc = DX_SetVarMissingExt(h, k, row[i].missing);
      else if (row[i].is_text)
        rc = DX_SetVarString(h, k, row[i].text.c_str());
      else
        rc = DX_SetVarDouble(h, k, &row[i].num);
      if (rc != 0) return "set value of " + c.vars[i].name + ": " + message(h);
    }
    if (DX_WriteRecord(h) != 0) return "write: " + message(h);
  }
  if (DX_CloseFiles(h) != 0) return "close: " + message(h);
  return "";
}

// The value a reader must give back for `cell` of `v` in format `f`.
std::string want_text(const Var& v, const Cell& cell, const Format& f) {
  if (cell.missing) {
    if (!f.ext_missing || cell.missing == 1) return ".";
    std::string s = missing_code_text(cell.missing);
    return std::string(1, '.') + static_cast<char>(std::tolower(static_cast<unsigned char>(s[1])));
  }
  if (cell.is_text) return cell.text.empty() ? "." : "<" + cell.text + ">";
  (void)v;
  (void)f;
  const double x = cell.num;
  char b[64];
  std::snprintf(b, sizeof b, "%.17g", x);
  return b;
}

std::string got_text(const EnvRecord& env, const VarRecord& v, const Var& spec, const Cell& want, const Format& f) {
  if (v.missing) {
    std::string s = missing_code_text(v.missing);
    for (char& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return s;
  }
  if (v.is_string()) return "<" + std::string(var_get_string(env.dict, v)) + ">";
  double x = var_get_double(env.dict, v);
  if ((spec.ttype == T_TIME || spec.ttype == T_DATETIME) && !want.missing && !want.is_text &&
      std::fabs(x - want.num) * kDay < f.time_res)
    x = want.num;
  if (!want.missing && !want.is_text && std::fabs(x - want.num) <= f.rel_tol * std::fabs(want.num)) x = want.num;
  char b[64];
  std::snprintf(b, sizeof b, "%.17g", x);
  return b;
}

struct Param {
  const Case* c;
  const Format* f;
};

class RoundTrip : public ::testing::TestWithParam<Param> {};

TEST_P(RoundTrip, WhatIsWrittenIsReadBack) {
  const Case& c = *GetParam().c;
  const Format& f = *GetParam().f;
  Dir dir;
  const std::string path = dir.path + "/" + c.name + f.ext;
  ASSERT_EQ(write_case(c, f, path), "");

  const int32_t h = DX_OpenEnvironment();
  ASSERT_GE(h, 0);
  struct Close {
    int32_t h;
    ~Close() {
      DX_CloseFiles(h);
      DX_CloseEnvironment(h);
    }
  } close{h};
  set_options(h, f.options);
  ASSERT_EQ(DX_OpenInputFile(h, f.in_code, path.c_str()), 0) << message(h);
  ASSERT_EQ(DX_ReadDict(h), static_cast<int32_t>(c.vars.size())) << message(h);
  ASSERT_EQ(DX_InitReadOnly(h), 0) << message(h);
  EnvRecord& env = *env_from_handle(h);

  for (size_t i = 0; i < c.vars.size(); ++i) {
    const Var& want = c.vars[i];
    const VarRecord& got = *dict_var(env.dict, static_cast<int32_t>(i));
    SCOPED_TRACE(want.name);
    std::string want_name = want.name;
    if (f.options & kUpperNames)
      for (char& ch : want_name) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    EXPECT_EQ(std::string(got.name), want_name);
    // Stata keeps a Float in 8 bytes unless an optimization narrowed it.
    if (f.keeps_int_types)
      EXPECT_EQ(got.ttype, want.ttype == T_FLOAT ? T_DOUBLE : want.ttype) << ttype_name(got.ttype);
    else
      EXPECT_EQ(family(got.ttype), family(want.ttype)) << ttype_name(got.ttype);
    if (f.var_labels) EXPECT_EQ(got.label, want.label);
    if (!f.value_labels) continue;
    std::vector<std::string> want_labels, got_labels;
    for (const Label& l : want.labels)
      if (!l.missing || f.ext_missing)
        want_labels.push_back(l.missing ? std::string(missing_code_text(l.missing)) + "=" + l.text
                                        : std::to_string(static_cast<int>(l.value)) + "=" + l.text);
    for (const ValueLabel& l : got.value_labels)
      got_labels.push_back(l.missing ? std::string(missing_code_text(static_cast<int>(l.missing))) + "=" + l.label
                                     : std::to_string(static_cast<int>(l.value)) + "=" + l.label);
    std::sort(want_labels.begin(), want_labels.end());
    std::sort(got_labels.begin(), got_labels.end());
    EXPECT_EQ(got_labels, want_labels);
  }

  size_t n = 0;
  for (int32_t rc; (rc = DX_ReadRecord(h)) != -1; ++n) {
    ASSERT_EQ(rc, 0) << message(h);
    ASSERT_LT(n, c.rows.size()) << "more cases than written";
    for (size_t i = 0; i < c.vars.size(); ++i) {
      const Cell& cell = c.rows[n][i];
      EXPECT_EQ(got_text(env, *dict_var(env.dict, static_cast<int32_t>(i)), c.vars[i], cell, f),
                want_text(c.vars[i], cell, f))
          << "case " << n + 1 << " variable " << c.vars[i].name;
    }
  }
  EXPECT_EQ(n, c.rows.size());
}

// Text keeps 15 digits: the largest doubles are written rounded past the range and must
// still read back as the largest double, while what lies truly outside stays refused.
TEST(RoundTripNumberText, LargestDoublesReadBack) {
  const double top = std::numeric_limits<double>::max();
  char text[kNumberTextMax];
  for (double x : {top, -top, std::nextafter(top, 0.0)}) {
    const size_t n = format_number_default(x, text);
    const ParsedNumber p = parse_number(text, n, NumberPunct{});
    EXPECT_EQ(p.failure, kNumOk) << std::string(text, n);
    EXPECT_NEAR(p.value, x, 1e-14 * top) << std::string(text, n);
  }
  for (const char* bad : {"1.79769313486233e+308", "1e309", "1e-400", "-1e-400"})
    EXPECT_EQ(parse_number(bad, std::strlen(bad), NumberPunct{}).failure, kNumNotNumber) << bad;
}

std::vector<Param> params() {
  std::vector<Param> out;
  for (const Case& c : cases())
    for (const Format& f : kFormats)
      if (c.mask & f.bit) out.push_back({&c, &f});
  return out;
}

INSTANTIATE_TEST_SUITE_P(Table, RoundTrip, ::testing::ValuesIn(params()), [](const auto& info) {
  return std::string(info.param.c->name) + "_" + info.param.f->name;
});

}  // namespace
