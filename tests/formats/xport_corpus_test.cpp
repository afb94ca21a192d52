// SAS transport files written by SAS itself (tests/fixtures/xpt): each reads with the
// dictionary, row count and every value its .expected.json gives.
#include <gtest/gtest.h>

#include <cstdio>
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "api/env_record.h"
#include "dict/dictionary.h"
#include "formats/sas/xport_reader.h"
#include "formats/sas/xport_writer.h"
#include "tabulon/tabulon.h"

using namespace tabulon;
using nlohmann::json;

namespace {

// Days from 1 January 1960 to a civil date.
int64_t days_since_1960(int y, int m, int d) {
  const auto from_civil = [](int64_t yy, int64_t mm, int64_t dd) {
    yy -= mm <= 2;
    const int64_t era = (yy >= 0 ? yy : yy - 399) / 400;
    const int64_t yoe = yy - era * 400;
    const int64_t doy = (153 * (mm + (mm > 2 ? -3 : 9)) + 2) / 5 + dd - 1;
    return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy;
  };
  return from_civil(y, m, d) - from_civil(1960, 1, 1);
}

// "YYYY-MM-DD", "YYYY-MM-DDTHH:MM:SS" or "HH:MM:SS" as days (dates) or seconds since 1960.
double sas_value_of(const std::string& text, const std::string& kind) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0;
  double s = 0;
  if (kind == "time") {
    EXPECT_EQ(std::sscanf(text.c_str(), "%d:%d:%lf", &h, &mi, &s), 3) << text;
    return h * 3600.0 + mi * 60.0 + s;
  }
  EXPECT_GE(std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%lf", &y, &mo, &d, &h, &mi, &s), 3) << text;
  const double days = static_cast<double>(days_since_1960(y, mo, d));
  return kind == "date" ? days : days * 86400 + h * 3600.0 + mi * 60.0 + s;
}

uint16_t expected_type(const std::string& kind) {
  if (kind == "string") return T_STRING;
  if (kind == "date") return T_DATE;
  if (kind == "time") return T_TIME;
  if (kind == "datetime") return T_DATETIME;
  return T_FLOAT;
}

uint8_t xport_kind(const std::string& kind) {
  if (kind == "date") return kXportDate;
  if (kind == "time") return kXportTime;
  if (kind == "datetime") return kXportDateTime;
  return kXportNumber;
}

std::vector<std::filesystem::path> corpus_files() {
  std::vector<std::filesystem::path> out;
  for (const auto& entry : std::filesystem::directory_iterator(std::string(TABULON_TEST_DATA) + "/xpt"))
    if (entry.path().extension() == ".xpt") out.push_back(entry.path());
  std::sort(out.begin(), out.end());
  return out;
}

TEST(XportCorpus, FilesWrittenBySasReadAsExpected) {
  const auto files = corpus_files();
  ASSERT_GE(files.size(), 2u);
  for (const auto& path : files) {
    SCOPED_TRACE(path.filename().string());
    std::ifstream in(path.string() + ".expected.json");
    ASSERT_TRUE(in) << "no expected contents";
    const json want = json::parse(in);

    const int32_t h = DX_OpenEnvironment();
    EnvRecord& env = *env_from_handle(h);
    ASSERT_GE(DX_OpenInputFile(h, 12, path.c_str()), 0) << DX_GetErrorMsg(h);
    ASSERT_GE(DX_ReadDict(h), 0) << DX_GetErrorMsg(h);
    ASSERT_GE(DX_InitReadOnly(h), 0) << DX_GetErrorMsg(h);

    const json& vars = want["variables"];
    ASSERT_EQ(static_cast<size_t>(dict_count(env.dict)), vars.size());
    std::vector<std::string> kinds;
    for (size_t i = 0; i < vars.size(); ++i) {
      const VarRecord& v = *dict_var(env.dict, static_cast<int32_t>(i));
      const json& w = vars[i];
      kinds.push_back(w["kind"].get<std::string>());
      EXPECT_EQ(v.name, w["name"].get<std::string>());
      EXPECT_EQ(v.label, w["label"].is_null() ? "" : w["label"].get<std::string>()) << v.name;
      EXPECT_EQ(v.ttype, expected_type(kinds.back())) << v.name;
      // A format is a name ("DATE") or, for a number without one, only its width ("12").
      const std::string format = w["format"].is_null() ? "" : w["format"].get<std::string>();
      if (!format.empty() && format.find_first_not_of("0123456789") == std::string::npos)
        EXPECT_EQ(std::to_string(v.input_attrs[0]), format) << v.name;
      else
        EXPECT_EQ(v.native_format, format) << v.name;
    }
    if (want.contains("data_label") && !want["data_label"].is_null())
      EXPECT_EQ(env.dict.file_label, want["data_label"].get<std::string>());

    size_t row = 0, bad = 0;
    const json& rows = want["rows"];
    while (DX_ReadRecord(h) == 0) {
      ASSERT_LT(row, rows.size()) << "more rows than expected";
      for (size_t i = 0; i < vars.size(); ++i) {
        const VarRecord& v = *dict_var(env.dict, static_cast<int32_t>(i));
        const json& cell = rows[row][i];
        bool same = false;
        if (cell.is_null()) {
          same = v.missing == 1;
        } else if (cell.is_object()) {
          const std::string tag = cell["missing"].get<std::string>();
          same = v.missing == (tag == "_" ? 29 : 2 + (std::tolower(tag[0]) - 'a'));
        } else if (kinds[i] == "string") {
          std::string text = cell.get<std::string>();
          while (!text.empty() && text.back() == ' ') text.pop_back();
          same = !v.missing && text == var_get_string(env.dict, v);
        } else if (cell.is_string()) {
          same = !v.missing && xport_sas_value(xport_kind(kinds[i]), var_get_double(env.dict, v)) ==
                                   sas_value_of(cell.get<std::string>(), kinds[i]);
        } else {
          same = !v.missing && var_get_double(env.dict, v) == cell.get<double>();
        }
        if (!same && ++bad <= 5) ADD_FAILURE() << "row " << row + 1 << ", " << v.name << ": expected " << cell.dump();
      }
      ++row;
    }
    EXPECT_EQ(row, want["n_rows"].get<size_t>());
    EXPECT_EQ(bad, 0u);
    DX_CloseFiles(h);
    DX_CloseEnvironment(h);
  }
}

}  // namespace
