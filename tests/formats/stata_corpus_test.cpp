// Stata files that Stata itself wrote (releases 102 to 119, both byte orders), each read as its
// FILE.expected.json says: names, labels, value labels, the data label and every value.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "api/env_record.h"
#include "dict/dictionary.h"
#include "tabulon/tabulon.h"

using namespace tabulon;
using nlohmann::json;

namespace {

const std::string kDir = std::string(TABULON_TEST_DATA) + "/stata/";

std::string rtrim(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

// Day number (days since 30 December 1899) of a civil date.
double civil_day(int y, int m, int d) {
  y -= m <= 2;
  const int era = (y >= 0 ? y : y - 399) / 400;
  const int yoe = y - era * 400;
  const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097.0 + doe - 719468 + 25569;  // 25569: 1970-01-01
}

// "YYYY-MM-DD", "YYYY-MM-DDTHH:MM:SS[.f]" or "HH:MM:SS[.f]" as a day number.
double parse_when(const std::string& s) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0;
  double sec = 0;
  if (s.size() >= 10 && s[4] == '-') {
    std::sscanf(s.c_str(), "%d-%d-%d", &y, &mo, &d);
    if (s.size() > 11) std::sscanf(s.c_str() + 11, "%d:%d:%lf", &h, &mi, &sec);
    return civil_day(y, mo, d) + (h * 3600 + mi * 60 + sec) / 86400.0;
  }
  std::sscanf(s.c_str(), "%d:%d:%lf", &h, &mi, &sec);
  return (h * 3600 + mi * 60 + sec) / 86400.0;
}

std::string key_of(const ValueLabel& l) {
  if (l.missing) return "." + std::string(1, static_cast<char>('a' + l.missing - 2));
  char b[32];
  std::snprintf(b, sizeof b, "%.17g", l.value);
  return b;
}

class StataCorpus : public ::testing::TestWithParam<const char*> {};

TEST_P(StataCorpus, ReadsAsStataWroteIt) {
  const std::string path = kDir + GetParam();
  std::ifstream f(path + ".expected.json");
  ASSERT_TRUE(f) << path;
  const json want = json::parse(f);

  const int32_t env = DX_OpenEnvironment();
  EnvRecord& e = *env_from_handle(env);
  int32_t rc = DX_OpenInputFile(env, 14, path.c_str());
  if (rc >= 0) rc = DX_ReadDict(env);
  if (rc >= 0) rc = DX_InitReadOnly(env);
  ASSERT_GE(rc, 0) << DX_GetErrorMsg(env);

  const json& vars = want["variables"];
  ASSERT_EQ(e.dict.vars.size(), vars.size());
  for (size_t i = 0; i < vars.size(); ++i) {
    const VarRecord& v = *e.dict.vars[i];
    const json& w = vars[i];
    EXPECT_EQ(v.name, w["name"].get<std::string>());
    EXPECT_EQ(v.label, w["label"].is_null() ? "" : w["label"].get<std::string>()) << v.name;
    const std::string kind = w["kind"];
    EXPECT_EQ(v.is_string(), kind == "string") << v.name;
    if (kind == "date") EXPECT_EQ(v.ttype, T_DATE) << v.name;
    if (kind == "datetime") EXPECT_EQ(v.ttype, T_DATETIME) << v.name;
    if (kind == "time") EXPECT_EQ(v.ttype, T_TIME) << v.name;
    std::map<std::string, std::string> labels, expected;
    for (const ValueLabel& l : v.value_labels) labels[key_of(l)] = l.label;
    if (!w["value_labels"].is_null())
      for (auto it = w["value_labels"].begin(); it != w["value_labels"].end(); ++it) {
        // Numeric keys as the reader prints them ("1", "2.5").
        std::string k = it.key();
        if (k[0] != '.') {
          char b[32];
          std::snprintf(b, sizeof b, "%.17g", std::stod(k));
          k = b;
        }
        expected[k] = it.value().get<std::string>();
      }
    EXPECT_EQ(labels, expected) << v.name;
  }
  EXPECT_EQ(e.dict.has_file_label ? e.dict.file_label : "",
            want["data_label"].is_null() ? "" : want["data_label"].get<std::string>());

  size_t row = 0;
  for (; DX_ReadRecord(env) == 0; ++row) {
    ASSERT_LT(row, want["rows"].size());
    const json& cells = want["rows"][row];
    for (size_t i = 0; i < vars.size(); ++i) {
      const VarRecord& v = *e.dict.vars[i];
      const json& c = cells[i];
      const std::string where = v.name + " row " + std::to_string(row + 1);
      if (c.is_null()) {
        // An empty Stata string is its missing value.
        EXPECT_TRUE(v.missing == kSystemMissing || (v.is_string() && !*var_get_string(e.dict, v))) << where;
      } else if (c.is_object()) {
        const std::string tag = c["missing"];
        EXPECT_EQ(v.missing, 2 + (std::tolower(tag[0]) - 'a')) << where;
      } else if (c.is_string() && v.is_string()) {
        EXPECT_EQ(v.missing ? "" : rtrim(var_get_string(e.dict, v)), rtrim(c.get<std::string>())) << where;
      } else if (c.is_string()) {
        ASSERT_EQ(v.missing, 0) << where;
        EXPECT_NEAR(var_get_double(e.dict, v), parse_when(c.get<std::string>()), 0.001 / 86400) << where;
      } else {
        ASSERT_EQ(v.missing, 0) << where;
        EXPECT_EQ(var_get_double(e.dict, v), c.get<double>()) << where;
      }
    }
  }
  EXPECT_EQ(row, want["n_rows"].get<size_t>());
  DX_CloseFiles(env);
  DX_CloseEnvironment(env);
}

INSTANTIATE_TEST_SUITE_P(Files, StataCorpus,
                         ::testing::Values("haven_notes.dta", "haven_tagged-na-double.dta",
                                           "pandas_stata-compat-102.dta", "pandas_stata-compat-104.dta",
                                           "pandas_stata-compat-110.dta", "pandas_stata-compat-be-103.dta",
                                           "pandas_stata-compat-be-118.dta", "pandas_stata13_dates.dta",
                                           "pandas_stata14_be_119.dta", "pandas_stata8_111.dta",
                                           "pyreadstat_missing_test.dta"),
                         [](const auto& info) {
                           std::string n = info.param;
                           n = n.substr(0, n.size() - 4);
                           for (char& c : n)
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return n;
                         });

}  // namespace

namespace {

// What a read leaves: missing codes / values per row and the value labels of every variable.
struct Snapshot {
  std::vector<std::vector<std::string>> rows;
  std::vector<std::map<std::string, std::string>> labels;
};

Snapshot snapshot(const std::string& path) {
  Snapshot s;
  const int32_t env = DX_OpenEnvironment();
  EnvRecord& e = *env_from_handle(env);
  int32_t rc = DX_OpenInputFile(env, 14, path.c_str());
  if (rc >= 0) rc = DX_ReadDict(env);
  if (rc >= 0) rc = DX_InitReadOnly(env);
  EXPECT_GE(rc, 0) << path << ": " << DX_GetErrorMsg(env);
  for (const auto& v : e.dict.vars) {
    std::map<std::string, std::string> m;
    for (const ValueLabel& l : v->value_labels) m[key_of(l)] = l.label;
    s.labels.push_back(m);
  }
  while (rc >= 0 && DX_ReadRecord(env) == 0) {
    std::vector<std::string> row;
    for (const auto& v : e.dict.vars) {
      char b[32];
      if (v->missing) std::snprintf(b, sizeof b, "#%u", static_cast<unsigned>(v->missing));
      else std::snprintf(b, sizeof b, "%.17g", v->is_string() ? 0.0 : var_get_double(e.dict, *v));
      row.push_back(b);
    }
    s.rows.push_back(row);
  }
  DX_CloseFiles(env);
  DX_CloseEnvironment(env);
  return s;
}

// ".a" to ".z" and their value labels, Stata to Stata, at every release that has them; older
// releases keep the values and show every missing value as ".".
TEST(StataCorpusCopies, ExtendedMissingValuesAndTheirLabelsSurvive) {
  for (const char* name : {"pyreadstat_missing_test.dta", "haven_tagged-na-double.dta"}) {
    const Snapshot src = snapshot(kDir + name);
    ASSERT_FALSE(src.rows.empty());
    for (const int32_t setting : {0, 119, 13, 12, 10, 8, 7}) {
      SCOPED_TRACE(std::string(name) + " setting " + std::to_string(setting));
      const std::string out = std::string(::testing::TempDir()) + "stata_copy_" + std::to_string(setting) + ".dta";
      const int32_t env = DX_OpenEnvironment();
      DX_SetOption(env, 77, setting, nullptr);
      int32_t rc = DX_OpenInputFile(env, 14, (kDir + name).c_str());
      if (rc >= 0) rc = DX_ReadDict(env);
      if (rc >= 0) rc = DX_OpenOutFile(env, 14, out.c_str());
      if (rc >= 0) rc = DX_TransferAllRecords(env);
      EXPECT_GE(rc, 0) << DX_GetErrorMsg(env);
      EXPECT_GE(DX_CloseFiles(env), 0);
      DX_CloseEnvironment(env);
      const Snapshot copy = snapshot(out);
      const bool extended = setting == 0 || setting == 119 || setting >= 8;
      Snapshot want = src;
      if (!extended) {
        for (auto& row : want.rows)
          for (auto& cell : row)
            if (cell[0] == '#') cell = "#1";
        for (auto& m : want.labels)
          for (auto it = m.begin(); it != m.end();) it = it->first[0] == '.' ? m.erase(it) : std::next(it);
      }
      EXPECT_EQ(copy.rows, want.rows);
      EXPECT_EQ(copy.labels, want.labels);
    }
  }
}

}  // namespace
