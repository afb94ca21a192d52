// Every workbook of tests/fixtures/sheets read sheet by sheet and compared with the contents
// its .expected.json gives (as another reader of the format sees them).
#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "api/call_frame.h"
#include "api/env_record.h"
#include "dates/day_number.h"
#include "dict/dictionary.h"
#include "tabulon/tabulon.h"

using namespace tabulon;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

struct Env {
  int32_t h = DX_OpenEnvironment();
  EnvRecord* env = env_from_handle(h);
  ~Env() { DX_CloseEnvironment(h); }
};

std::string shortest(double x) {
  char b[32];
  auto r = std::to_chars(b, b + sizeof b, x);
  return std::string(b, r.ptr);
}

// ISO text of a day number: date, and the time when the variable holds one.
std::string iso(double day, bool with_time) {
  DateParts p;
  if (!day_to_parts(day, &p)) return "?";
  char b[40];
  if (with_time)
    std::snprintf(b, sizeof b, "%04d-%02d-%02dT%02d:%02d:%02d", p.year, p.month + 1, p.mday, p.hour, p.minute,
                  p.second);
  else
    std::snprintf(b, sizeof b, "%04d-%02d-%02d", p.year, p.month + 1, p.mday);
  return b;
}

std::string rtrim(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

// Where the expected reader is wrong about the file, the value the format holds instead:
// column `col` takes the value of column `from` of the same row.
struct Correction {
  const char* file;
  size_t col, from;
  const char* why;
};
const Correction kCorrections[] = {
    // "[h]:mm:ss" and "[h]:mm" are elapsed times; the other reader turns them into dates. The
    // fourth column holds the same serial numbers as plain numbers.
    {"edr_Test_git_issue_283_TimeSpan.xls", 0, 3, "elapsed time"},
    {"edr_Test_git_issue_283_TimeSpan.xls", 1, 3, "elapsed time"},
};

// One value read against one expected value; empty when they agree, else a description.
std::string compare(const EnvRecord& env, const VarRecord& v, const json& e) {
  const DictState& d = env.dict;
  const bool str = v.is_string();
  const std::string s = str ? rtrim(var_get_string(d, v)) : std::string();
  const double x = !str && !v.missing ? var_get_double(d, v) : 0.0;
  const std::string got = v.missing ? "<missing>" : str ? "\"" + s + "\"" : shortest(x);
  auto fail = [&] { return "got " + got + ", expected " + e.dump(); };
  if (e.is_null()) return v.missing || (str && s.empty()) ? "" : fail();
  if (e.is_boolean()) {
    const bool b = e.get<bool>();
    if (str) return s == (b ? "TRUE" : "FALSE") ? "" : fail();
    return !v.missing && x == (b ? 1.0 : 0.0) ? "" : fail();
  }
  if (e.is_object() && e.contains("error")) {
    if (str) return s == e["error"].get<std::string>() ? "" : fail();
    return v.missing ? "" : fail();
  }
  if (e.is_number()) {
    const double want = e.get<double>();
    if (str) return s == shortest(want) ? "" : fail();
    return !v.missing && x == want ? "" : fail();
  }
  if (!e.is_string()) return fail();
  std::string want = e.get<std::string>();
  const bool dated = v.ttype == T_DATE || v.ttype == T_DATETIME;
  if (dated) {
    if (v.missing) return fail();
    const bool with_time = want.size() > 10;
    return iso(x, with_time) == want ? "" : fail();
  }
  if (!str) return fail();
  // Date cells in a text column give their date, and their time when they have one.
  if (want.size() == 19 && want[4] == '-' && want[10] == 'T') {
    want[10] = ' ';
    if (want.compare(11, 8, "00:00:00") == 0) want.resize(10);
  }
  return s == rtrim(want) ? "" : fail();
}

bool same_name(const std::string& ours, const std::string& want, size_t col) {
  if (ours == want) return true;
  // Made-up names: the other reader says colN, we say ColN or CN.
  if (want == "col" + std::to_string(col + 1))
    return ours == "Col" + std::to_string(col + 1) || ours == "C" + std::to_string(col + 1);
  // A name cell holding a number: the other reader writes 1.0 where we write 1.
  double a, b;
  auto ra = std::from_chars(ours.data(), ours.data() + ours.size(), a);
  auto rb = std::from_chars(want.data(), want.data() + want.size(), b);
  return ra.ec == std::errc() && rb.ec == std::errc() && ra.ptr == ours.data() + ours.size() && a == b;
}

int g_values = 0;  // values compared, so that a reader giving nothing cannot pass

void check_sheet(const std::string& path, const std::string& file, const json& sheet) {
  SCOPED_TRACE(file + " sheet " + sheet["sheet"].get<std::string>());
  Env e;
  ASSERT_EQ(DX_OpenInputFile(e.h, 48, path.c_str()), 0) << DX_GetErrorMsg(e.h);
  // BIFF 2 to 4 files hold one sheet without a name: we call it Sheet1, the other reader "Sheet 1".
  if (DX_SetMember(e.h, sheet["sheet"].get<std::string>().c_str()) != 0) ASSERT_EQ(DX_SetFirstMember(e.h), 0);
  DX_SetOption(e.h, 6, 2, nullptr);  // blank rows are rows: the other reader keeps them
  const int32_t nvars = DX_ReadDict(e.h);
  ASSERT_GE(nvars, 0) << DX_GetErrorMsg(e.h);
  const json& vars = sheet["variables"];
  ASSERT_EQ(static_cast<size_t>(nvars), vars.size());
  for (size_t i = 0; i < vars.size(); ++i)
    EXPECT_TRUE(same_name(DX_GetVarName(e.h, static_cast<int32_t>(i)), vars[i]["name"].get<std::string>(), i))
        << DX_GetVarName(e.h, static_cast<int32_t>(i)) << " vs " << vars[i]["name"];
  if (nvars == 0) {
    EXPECT_EQ(sheet["n_rows"].get<int>(), 0);
    return;
  }
  ASSERT_EQ(DX_InitReadOnly(e.h), 0) << DX_GetErrorMsg(e.h);
  const json& rows = sheet["rows"];
  size_t r = 0;
  for (; DX_ReadRecord(e.h) == 0 && r < rows.size() + 1; ++r) {
    ASSERT_LT(r, rows.size()) << "more rows than expected";
    json want = rows[r];
    for (const Correction& c : kCorrections)
      if (file == c.file) want[c.col] = rows[r][c.from];
    for (size_t k = 0; k < want.size(); ++k) {
      const std::string diff = e.env->dict.vars.size() > k ? compare(*e.env, *e.env->dict.vars[k], want[k]) : "no variable";
      EXPECT_EQ(diff, "") << "row " << r + 1 << " column " << k + 1;
      ++g_values;
    }
  }
  EXPECT_EQ(r, rows.size());
}

TEST(XlsCorpus, EveryWorkbookReadsAsItsExpectedContents) {
  const fs::path dir = fs::path(TABULON_TEST_DATA) / "sheets";
  int files = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const fs::path p = entry.path();
    if (p.extension() != ".xls") continue;
    std::ifstream in(p.string() + ".expected.json");
    ASSERT_TRUE(in) << p;
    const json expected = json::parse(in);
    ++files;
    const std::string file = p.filename().string();
    check_sheet(p.string(), file, expected);
    if (expected.contains("other_sheets"))
      for (const json& other : expected["other_sheets"]) check_sheet(p.string(), file, other);
  }
  EXPECT_GE(files, 11);
  EXPECT_GE(g_values, 400);
}

}  // namespace
