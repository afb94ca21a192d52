// SAS data sets written by SAS itself (32/64-bit, both byte orders, Windows, Linux, SunOS, AIX,
// RLE, deleted rows, late column text, many encodings) read through the public entry points and
// compared cell by cell with what an independent reader saw (FILE.expected.json).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "api/env_record.h"
#include "dates/day_number.h"
#include "dict/dictionary.h"
#include "tabulon/tabulon.h"

using namespace tabulon;
using nlohmann::json;

namespace {

std::string fixture(const std::string& name) { return std::string(TABULON_TEST_DATA) + "/sas/" + name; }

json load_expected(const std::string& file) {
  std::ifstream in(fixture(file + ".expected.json"));
  return json::parse(in);
}

std::string rtrim(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  return s;
}

// Days since 30 December 1899 of a proleptic Gregorian date.
double civil_day(int y, int m, int d) {
  y -= m <= 2;
  const int era = (y >= 0 ? y : y - 399) / 400;
  const int yoe = y - era * 400;
  const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097.0 + doe - 719468 + 25569;  // 1970-01-01 is day 25569
}

// "HH:MM:SS[.f]" as seconds (hours may pass 24).
double clock_seconds(const std::string& t) {
  int h = 0, m = 0;
  double s = 0;
  std::sscanf(t.c_str(), "%d:%d:%lf", &h, &m, &s);
  return h * 3600.0 + m * 60.0 + s;
}

struct Env {
  int32_t handle = DX_OpenEnvironment();
  EnvRecord* env = env_from_handle(handle);
  ~Env() { DX_CloseEnvironment(handle); }
};

const char* kind_of(int ttype) {
  switch (ttype) {
    case T_STRING: return "string";
    case T_DATE: return "date";
    case T_TIME: return "time";
    case T_DATETIME: return "datetime";
    default: return "numeric";
  }
}

// Compares one value of the record buffer with its expected cell; empty when they agree.
std::string compare_cell(const EnvRecord& env, const VarRecord& v, const json& want) {
  const std::string kind = kind_of(v.ttype);
  if (want.is_null()) {
    if (v.missing == 1) return {};
    if (v.is_string() && !v.missing && rtrim(var_get_string(env.dict, v)).empty()) return {};
    return "expected a system missing value";
  }
  if (want.is_object()) {
    const std::string tag = want.value("missing", std::string());
    const char* got = v.missing ? missing_code_text(v.missing) : nullptr;
    if (got && std::strlen(got) == 2 && !tag.empty() && std::toupper(static_cast<unsigned char>(got[1])) ==
                                                            std::toupper(static_cast<unsigned char>(tag[0])))
      return {};
    return "expected special missing ." + tag + ", got " + (got ? got : "a value");
  }
  // A blank text is SAS's only missing string; the dictionary calls it missing.
  if (v.is_string() && v.missing == 1 && want.is_string() && rtrim(want.get<std::string>()).empty()) return {};
  if (v.missing) return "unexpected missing value (code " + std::to_string(v.missing) + ")";
  if (v.is_string()) {
    if (!want.is_string()) return "a string where a number was expected";
    const std::string got = rtrim(var_get_string(env.dict, v));
    return got == rtrim(want.get<std::string>()) ? std::string() : "string <" + got + ">";
  }
  const double x = var_get_double(env.dict, v);
  char got[64];
  std::snprintf(got, sizeof got, "%.17g", x);
  if (kind == "numeric") {
    if (!want.is_number()) return std::string("a number where text was expected: ") + got;
    return x == want.get<double>() ? std::string() : std::string("number ") + got;
  }
  if (!want.is_string()) return std::string("a date kind where a plain number was expected: ") + got;
  const std::string text = want.get<std::string>();
  if (kind == "date") {
    int y = 0, m = 0, d = 0;
    std::sscanf(text.c_str(), "%d-%d-%d", &y, &m, &d);
    return x == civil_day(y, m, d) ? std::string() : std::string("day number ") + got;
  }
  if (kind == "time") return std::fabs(x * 86400.0 - clock_seconds(text)) < 1e-3 ? std::string() : std::string("time ") + got;
  int y = 0, m = 0, d = 0;
  std::sscanf(text.c_str(), "%d-%d-%d", &y, &m, &d);
  const size_t t = text.find('T');
  const double want_seconds = civil_day(y, m, d) * 86400.0 + (t == std::string::npos ? 0 : clock_seconds(text.substr(t + 1)));
  const double got_seconds = day_number_to_signed_days(x) * 86400.0;
  return std::fabs(got_seconds - want_seconds) < 1e-3 ? std::string() : std::string("date-time ") + got;
}

// Where the reference reader is wrong about the file: it missed the second column-text block,
// which SAS put on the last page, and took the format names from the first block.
struct Correction {
  const char* file;
  const char* variable;
  const char* format;
};
constexpr Correction kCorrections[] = {
    {"parso_54-class.sas7bdat", "Age", "F"},
    {"parso_54-class.sas7bdat", "Height", "F"},
};

std::string expected_format(const std::string& file, const std::string& variable, const json& w) {
  for (const Correction& c : kCorrections)
    if (file == c.file && variable == c.variable) return c.format;
  return w["format"].is_null() ? std::string() : rtrim(w["format"].get<std::string>());
}

class SasCorpus : public ::testing::TestWithParam<const char*> {};

TEST_P(SasCorpus, EveryRowNameLabelFormatAndValueAsSasWroteThem) {
  const std::string file = GetParam();
  const json want = load_expected(file);
  Env e;
  ASSERT_EQ(DX_OpenInputFile(e.handle, 38, fixture(file).c_str()), 0);
  const int32_t nvars = DX_ReadDict(e.handle);
  ASSERT_GE(nvars, 0) << DX_GetErrorMsg(e.handle);
  const json& vars = want["variables"];
  ASSERT_EQ(static_cast<size_t>(nvars), vars.size());
  const DictState& d = e.env->dict;
  EXPECT_EQ(d.reader_count, want["n_rows"].get<int64_t>()) << "announced case count";
  for (size_t k = 0; k < vars.size(); ++k) {
    const VarRecord& v = *d.vars[k];
    const json& w = vars[k];
    EXPECT_EQ(v.name, w["name"].get<std::string>());
    EXPECT_EQ(v.label, w["label"].is_null() ? std::string() : w["label"].get<std::string>()) << v.name;
    EXPECT_STREQ(kind_of(v.ttype), w["kind"].get<std::string>().c_str()) << v.name << " " << v.native_format;
    const std::string fmt = expected_format(file, v.name, w);
    if (fmt != "$") EXPECT_EQ(v.native_format, fmt) << v.name;  // "$" stands for a text column without a format
  }

  ASSERT_EQ(DX_InitReadOnly(e.handle), 0) << DX_GetErrorMsg(e.handle);
  const json& rows = want["rows"];
  size_t n = 0;
  int failures = 0;
  for (;; ++n) {
    const int32_t rc = DX_ReadRecord(e.handle);
    if (rc == -1) break;
    ASSERT_EQ(rc, 0) << DX_GetErrorMsg(e.handle);
    ASSERT_LT(n, rows.size()) << "more rows than expected";
    for (size_t k = 0; k < vars.size() && failures < 10; ++k) {
      const std::string why = compare_cell(*e.env, *d.vars[k], rows[n][k]);
      if (!why.empty()) {
        ADD_FAILURE() << file << " row " << n + 1 << " " << d.vars[k]->name << ": " << why << ", expected "
                      << rows[n][k].dump();
        ++failures;
      }
    }
  }
  EXPECT_EQ(n, rows.size()) << "rows read";
  EXPECT_EQ(DX_CloseFiles(e.handle), 0);
}

INSTANTIATE_TEST_SUITE_P(
    SasWritten, SasCorpus,
    ::testing::Values("haven_datetime.sas7bdat", "haven_hadley.sas7bdat", "pandas_airline.sas7bdat",
                      "pandas_productsales.sas7bdat", "pandas_test12.sas7bdat", "pandas_test13.sas7bdat",
                      "pandas_test2.sas7bdat", "pandas_test9.sas7bdat", "parso_54-class.sas7bdat",
                      "parso_charset_lat1.sas7bdat", "parso_charset_utf8.sas7bdat", "parso_charset_zwin.sas7bdat",
                      "parso_data_page_with_deleted.sas7bdat", "parso_fileserrors.sas7bdat",
                      "parso_time_formats.sas7bdat", "polars_bank8dte.sas7bdat", "pyreadstat_missing_test.sas7bdat",
                      "readstatrs_hasmissing.sas7bdat", "saslib_ahs2013_omov.sas7bdat",
                      "saslib_pooltest255.sas7bdat"),
    [](const ::testing::TestParamInfo<const char*>& info) {
      std::string name = info.param;
      name.resize(name.find('.'));
      for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      return name;
    });

// A data set without variables is refused with a message that says so, never a crash or a hang.
TEST(SasCorpus, DataSetWithoutVariablesIsRefusedClearly) {
  Env e;
  ASSERT_EQ(DX_OpenInputFile(e.handle, 38, fixture("pandas_zero_variables.sas7bdat").c_str()), 0);
  EXPECT_LT(DX_ReadDict(e.handle), 0);
  const char* msg = DX_GetErrorMsg(e.handle);
  ASSERT_NE(msg, nullptr);
  EXPECT_NE(std::string(msg).find("has no variables"), std::string::npos) << msg;
  DX_CloseFiles(e.handle);
}

}  // namespace
