// Stata files that Stata itself wrote (releases 102 to 119, both byte orders), each read as its
// FILE.expected.json says: names, labels, value labels, the data label and every value.
#include <map>
#include <string>
#include <vector>

#include "formats/corpus_fixture.h"

using namespace tabulon;
using nlohmann::json;

namespace {

const std::string kDir = corpus::fixture("stata/");

std::string key_of(const ValueLabel& l) {
  if (l.missing) return "." + std::string(1, static_cast<char>('a' + l.missing - 2));
  char b[32];
  std::snprintf(b, sizeof b, "%.17g", l.value);
  return b;
}

// What a read leaves: missing codes / values per row, the value labels of every variable and
// the data label (the shared comparison leaves the labels out).
struct Snapshot {
  std::vector<std::vector<std::string>> rows;
  std::vector<std::map<std::string, std::string>> labels;
  std::string data_label;
};

Snapshot snapshot(const std::string& path) {
  Snapshot s;
  const int32_t env = DX_OpenEnvironment();
  EnvRecord& e = *env_from_handle(env);
  int32_t rc = DX_OpenInputFile(env, 14, path.c_str());
  if (rc >= 0) rc = DX_ReadDict(env);
  if (rc >= 0) rc = DX_InitReadOnly(env);
  EXPECT_GE(rc, 0) << path << ": " << DX_GetErrorMsg(env);
  if (e.dict.has_file_label) s.data_label = e.dict.file_label;
  for (const auto& v : e.dict.vars) {
    std::map<std::string, std::string> m;
    for (const ValueLabel& l : v->value_labels) m[key_of(l)] = l.label;
    s.labels.push_back(m);
  }
  while (rc >= 0 && DX_ReadRecord(env) == 0) {
    std::vector<std::string> row;
    for (const auto& v : e.dict.vars) {
      char b[32];
      if (v->missing)
        std::snprintf(b, sizeof b, "#%u", static_cast<unsigned>(v->missing));
      else
        std::snprintf(b, sizeof b, "%.17g", v->is_string() ? 0.0 : var_get_double(e.dict, *v));
      row.push_back(b);
    }
    s.rows.push_back(row);
  }
  DX_CloseFiles(env);
  DX_CloseEnvironment(env);
  return s;
}

class StataCorpus : public ::testing::TestWithParam<const char*> {};

TEST_P(StataCorpus, ReadsAsStataWroteIt) {
  const std::string path = kDir + GetParam();
  const json want = corpus::expected(path);
  ASSERT_FALSE(want.is_null()) << path;
  const auto diffs = corpus::compare(corpus::read(14, path), want);
  EXPECT_TRUE(diffs.empty()) << GetParam() << ":\n" << corpus::joined(diffs);

  const Snapshot got = snapshot(path);
  EXPECT_EQ(got.data_label, want["data_label"].is_null() ? "" : want["data_label"].get<std::string>());
  const json& vars = want["variables"];
  ASSERT_EQ(got.labels.size(), vars.size());
  for (size_t i = 0; i < vars.size(); ++i) {
    std::map<std::string, std::string> expected;
    if (!vars[i]["value_labels"].is_null())
      for (auto it = vars[i]["value_labels"].begin(); it != vars[i]["value_labels"].end(); ++it) {
        // Numeric keys as key_of prints them ("1", "2.5").
        std::string k = it.key();
        if (k[0] != '.') {
          char b[32];
          std::snprintf(b, sizeof b, "%.17g", std::stod(k));
          k = b;
        }
        expected[k] = it.value().get<std::string>();
      }
    EXPECT_EQ(got.labels[i], expected) << vars[i]["name"];
  }
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
