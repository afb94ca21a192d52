// The optimization pass: type decisions, dropping constants, the file pass with its
// restored position, and the case-count comparison at close.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <cstdio>
#include <string>
#include <vector>

#include "api/env_record.h"
#include "engine/line_format.h"
#include "engine/optimize.h"
#include "expr/sampling_random.h"
#include "tabulon/tabulon.h"

using namespace linefmt;

namespace {

int32_t ttype(int32_t env, int k) { return tabulon::env_from_handle(env)->dict.vars[static_cast<size_t>(k)]->ttype; }

// Runs an in-memory pass over one numeric variable holding `values` and returns the
// chosen storage type (or -1 when the variable was deselected).
int32_t optimized_type(const std::vector<double>& values, int32_t mode = 0, int32_t user_type = 1) {
  int32_t env = DX_OpenEnvironment();
  EXPECT_EQ(DX_InitUserDict(env, 1), 0);
  EXPECT_EQ(DX_AddUserVar(env, 0, "v", user_type, 8, 0), 0);
  EXPECT_EQ(DX_MemOptimizeInit(env, 32, mode), 0);
  for (double x : values) {
    DX_SetVarDouble(env, 0, &x);
    EXPECT_EQ(DX_OptimizeRecord(env), 0);
  }
  EXPECT_EQ(DX_OptimizeClose(env), 0);
  int32_t type = DX_GetVarSelect(env, 0) == 1 ? ttype(env, 0) : -1;
  DX_CloseEnvironment(env);
  return type;
}

std::vector<double> range(double from, double to) {
  std::vector<double> v;
  for (double x = from; x <= to; ++x) v.push_back(x);
  return v;
}

TEST(Optimize, NumericTypeDecisions) {
  struct Case {
    const char* what;
    std::vector<double> values;
    int32_t type;
  } cases[] = {
      {"0..100", range(0, 100), T_BYTE},
      {"0..101", range(0, 101), T_INT},
      {"-127", {-127, 5}, T_BYTE},
      {"-128", {-128}, T_INT},
      {"32740", {0, 32740}, T_INT},
      {"32741", {0, 32741}, T_LONG},
      {"-32769", {-32769}, T_LONG},
      {"2147483620", {2147483620.0}, T_LONG},
      {"2147483621", {2147483621.0}, T_DOUBLE},
      {"0.5 and 99999", {0.5, 99999}, T_FLOAT},
      {"100000.5", {0.5, 100000.5}, T_DOUBLE},
      {"-99999.5", {-99999.5}, T_DOUBLE},
      {"tiny fraction", {1e-40}, T_DOUBLE},  // exponent out of float range
  };
  for (const Case& c : cases) EXPECT_EQ(optimized_type(c.values), c.type) << c.what;
}

TEST(Optimize, ExactFloatNeedsTheRoundTrip) {
  // 0.1 does not survive single precision; the in-memory pass always asks for exact floats.
  EXPECT_EQ(optimized_type({0.1, 2}), T_DOUBLE);
  EXPECT_EQ(optimized_type({0.25, 2}), T_FLOAT);
  EXPECT_TRUE(tabulon::optimize_fits_float(0.1, false));
  EXPECT_FALSE(tabulon::optimize_fits_float(0.1, true));
  EXPECT_FALSE(tabulon::optimize_fits_float(1e38, false));
  // The exponent limits, at their edges and beyond the normal range.
  const struct {
    double value;
    bool fits;
  } edges[] = {{std::ldexp(1.0, 123), true},   {std::ldexp(1.0, 124), false}, {-std::ldexp(1.0, 123), true},
               {std::ldexp(1.0, -121), true},  {std::ldexp(1.0, -122), false}, {5e-324, false},
               {std::ldexp(0.75, 124), true},  {std::ldexp(0.75, 125), false}, {0.0, true},
               {std::numeric_limits<double>::infinity(), true}};
  for (const auto& e : edges) EXPECT_EQ(tabulon::optimize_fits_float(e.value, false), e.fits) << e.value;
}

TEST(Optimize, DropConstantNeedsMoreThanOneCase) {
  EXPECT_EQ(optimized_type(std::vector<double>(10, 7.0), 2), -1);
  EXPECT_EQ(optimized_type({7.0}, 2), T_BYTE);
  EXPECT_EQ(optimized_type(std::vector<double>(10, 7.0), 0), T_BYTE);  // switch off
  EXPECT_EQ(optimized_type({7.0, 8.0}, 2), T_BYTE);
}

TEST(Optimize, DateTimeKeepsOnlyThePartsItUses) {
  EXPECT_EQ(optimized_type({40000, 40001}, 0, 16), T_DATE);
  EXPECT_EQ(optimized_type({0.25, 0.5}, 0, 16), T_TIME);
  EXPECT_EQ(optimized_type({40000.25}, 0, 16), T_DATETIME);
  EXPECT_EQ(optimized_type({0.25}, 0, 4), T_DATE);  // a date stays a date outside Access
}

TEST(Optimize, HostTypedVariablesAreLeftAloneUnlessForced) {
  int32_t env = DX_OpenEnvironment();
  ASSERT_EQ(DX_InitUserDict(env, 1), 0);
  ASSERT_EQ(DX_AddUserVar(env, 0, "v", 1, 8, 0), 0);
  tabulon::env_from_handle(env)->dict.vars[0]->flags |= tabulon::kVarTypeSetByHost;
  for (int32_t mode : {0, 8}) {
    ASSERT_EQ(DX_MemOptimizeInit(env, 32, mode), 0);
    double x = 3;
    DX_SetVarDouble(env, 0, &x);
    DX_OptimizeRecord(env);
    DX_OptimizeClose(env);
    EXPECT_EQ(ttype(env, 0), mode == 8 ? T_BYTE : T_DOUBLE) << mode;
  }
  DX_CloseEnvironment(env);
}

class OptimizeFile : public ::testing::Test {
 protected:
  void SetUp() override {
    env = DX_OpenEnvironment();
    in = temp_path("opt_in.txt");
    out = temp_path("opt_out.txt");
    std::remove(out.c_str());
  }
  void TearDown() override {
    DX_CloseFiles(env);
    DX_CloseEnvironment(env);
    std::remove(in.c_str());
    std::remove(out.c_str());
  }
  Registered registered;
  int32_t env = -1;
  std::string in, out;
};

TEST_F(OptimizeFile, PassRestoresThePositionForTheTransfer) {
  write_file(in, cases_file(20) + "20000 longer-string\n");
  ASSERT_EQ(DX_OpenInputFile(env, kIn, in.c_str()), 0);
  ASSERT_EQ(DX_ReadDict(env), 2);
  ASSERT_EQ(DX_OptimizeInitEx(env, kOut, 0), 0);
  EXPECT_EQ(DX_OptimizeDo(env, 0), 21);
  EXPECT_EQ(ttype(env, 0), T_INT);
  EXPECT_EQ(tabulon::env_from_handle(env)->dict.vars[1]->output_width, 13u);  // "longer-string"
  ASSERT_EQ(DX_OpenOutFile(env, kOut, out.c_str()), 0);
  EXPECT_EQ(DX_TransferAllRecords(env), 21);
  EXPECT_EQ(DX_CloseFiles(env), 0);
  EXPECT_EQ(read_file(out).substr(0, 10), "x $s\n1 s1\n");
}

TEST_F(OptimizeFile, PartialPassEndsWithClose) {
  write_file(in, cases_file(10));
  ASSERT_EQ(DX_OpenInputFile(env, kIn, in.c_str()), 0);
  ASSERT_EQ(DX_ReadDict(env), 2);
  ASSERT_EQ(DX_OptimizeInit(env, 0), 0);
  EXPECT_EQ(DX_OptimizeDo(env, 4), 4);
  EXPECT_EQ(DX_OptimizeClose(env), 0);
  ASSERT_EQ(DX_OpenOutFile(env, kOut, out.c_str()), 0);
  EXPECT_EQ(DX_TransferAllRecords(env), 10);
  // A pass over a sample is not held against the full transfer.
  EXPECT_EQ(DX_CloseFiles(env), 0);
  EXPECT_EQ(read_file(out), cases_file(10));
}

TEST_F(OptimizeFile, CaseCountMismatchDeletesTheOutput) {
  for (int disable : {0, 1}) {
    SCOPED_TRACE(disable);
    write_file(in, cases_file(20));
    ASSERT_EQ(DX_OpenInputFile(env, kIn, in.c_str()), 0);
    ASSERT_EQ(DX_ReadDict(env), 2);
    DX_SetOption(env, 141, disable, nullptr);
    ASSERT_EQ(DX_OptimizeInit(env, 0), 0);
    ASSERT_EQ(DX_OptimizeDo(env, 0), 20);
    DX_SetOption(env, 66, 10, nullptr);  // the transfer now stops early
    ASSERT_EQ(DX_OpenOutFile(env, kOut, out.c_str()), 0);
    EXPECT_EQ(DX_TransferAllRecords(env), 10);
    EXPECT_EQ(DX_CloseFiles(env), disable ? 0 : 17584);
    std::FILE* f = std::fopen(out.c_str(), "rb");
    EXPECT_EQ(f != nullptr, disable == 1);
    if (f) std::fclose(f);
    DX_SetOption(env, 66, 0, nullptr);
  }
}

TEST_F(OptimizeFile, OptimizeWithoutInputFails) {
  EXPECT_EQ(DX_OptimizeInit(env, 0), -1);
  EXPECT_EQ(DX_MemOptimizeInit(env, 32, 0), -1);
  EXPECT_EQ(DX_OptimizeDo(env, 0), -1);
}


// A sampling WHERE draws during the optimization pass too; the transfer that follows must
// select exactly the cases a transfer without the pass selects.
TEST_F(OptimizeFile, SamplingSelectsTheSameCasesAfterThePass) {
  write_file(in, cases_file(40));
  tabulon::sampling_set_seed_option(4242);
  for (const char* where : {"samp_fixed(5, 40) = 1", "samp_rand(0.3) = 1", "samp_syst(4) = 1"}) {
    std::string written[2];
    int32_t counted = -1;
    for (int optimize = 0; optimize < 2; ++optimize) {
      std::remove(out.c_str());
      ASSERT_EQ(DX_OpenInputFile(env, kIn, in.c_str()), 0);
      ASSERT_EQ(DX_ReadDict(env), 2);
      ASSERT_EQ(DX_ParseWhere(env, where, 1), 0) << where;
      if (optimize) {
        ASSERT_EQ(DX_OptimizeInitEx(env, kOut, 0), 0);
        counted = DX_OptimizeDo(env, 0);
      }
      ASSERT_EQ(DX_OpenOutFile(env, kOut, out.c_str()), 0);
      DX_TransferAllRecords(env);
      EXPECT_EQ(DX_CloseFiles(env), 0) << where;
      written[optimize] = read_file(out);
    }
    EXPECT_EQ(written[1], written[0]) << where;
    // The pass counts the cases it selected: the same ones, header line aside.
    EXPECT_GT(counted, 0) << where;
    EXPECT_EQ(std::count(written[0].begin(), written[0].end(), '\n'), counted + 1) << where;
  }
  tabulon::sampling_set_seed_option(0);
}

}  // namespace

// A delimited file's dictionary scan reads every line: it gathers the pass's statistics on
// the way, and the pass then reads nothing. Its choices must be those of a reading pass
// (forced here by a WHERE that keeps every case) on the same file.
struct PassResult {
  int32_t cases = 0;
  bool from_scan = false;
  std::vector<int32_t> types, widths;
};

PassResult csv_pass(const std::string& path, int32_t blank_rows, bool reading, int32_t out_code) {
  PassResult r;
  int32_t env = DX_OpenEnvironment();
  DX_SetOption(env, tabulon::kOptAsciiBlankRows, blank_rows, nullptr);
  EXPECT_EQ(DX_OpenInputFile(env, 18, path.c_str()), 0);
  const int32_t n = DX_ReadDict(env);
  EXPECT_GT(n, 0);
  DX_SelectAllVars(env);
  if (reading) EXPECT_EQ(DX_ParseWhere(env, "1 = 1", 1), 0);
  EXPECT_EQ(dxi_optimize_useful(env, out_code, 1), 1);
  EXPECT_EQ(DX_OptimizeInitEx(env, out_code, 1), 0);
  r.from_scan = tabulon::env_from_handle(env)->transfer.optimize->from_scan;
  for (int32_t got; (got = DX_OptimizeDo(env, 2)) > 0;) {
    r.cases += got;
    if (got < 2) break;
  }
  for (int32_t k = 0; k < n; ++k) {
    r.types.push_back(ttype(env, k));
    r.widths.push_back(static_cast<int32_t>(tabulon::env_from_handle(env)->dict.vars[static_cast<size_t>(k)]->output_width));
  }
  DX_CloseFiles(env);
  DX_CloseEnvironment(env);
  return r;
}

TEST(OptimizeScan, DelimitedScanServesAsThePass) {
  const std::string path = temp_path("opt_scan.csv");
  const char* files[] = {
      // Blank lines: after the first record "stop" ends the data there (the 100000.5 and
      // the long string below it are never read), "skip" drops them, "use" makes cases.
      "i,f,s,d\n1,0.5,ab,01/02/2003\n\n2,0.25,\"c, d\",01/03/2003\n\n100,100000.5,longer text,\n",
      // Float test, extremes of the integer types, empty columns, short and long lines.
      "a,b,c,e\n-128,0.1,x\n32740,2.5,,\n7,,yy,\n,3,z,1,9\n",
      // Names guessed absent; 12-digit numbers (double) and 17-digit ones (text).
      "1,123456789012,12345678901234567\n2,5,3\n",
  };
  for (const char* text : files) {
    write_file(path, text);
    for (int32_t blank_rows : {0, 1, 2}) {
      for (int32_t out_code : {14, 18}) {
        const PassResult scan = csv_pass(path, blank_rows, false, out_code);
        const PassResult read = csv_pass(path, blank_rows, true, out_code);
        EXPECT_TRUE(scan.from_scan) << text;
        EXPECT_FALSE(read.from_scan) << text;
        EXPECT_EQ(scan.cases, read.cases) << text << " blank rows " << blank_rows;
        EXPECT_EQ(scan.types, read.types) << text << " blank rows " << blank_rows;
        EXPECT_EQ(scan.widths, read.widths) << text << " blank rows " << blank_rows;
      }
    }
  }
  std::remove(path.c_str());
}

TEST(OptimizeScan, TextOutputsSkipThePassUnlessItChangesThem) {
  const std::string path = temp_path("opt_useful.csv");
  struct Case {
    const char* text;
    int32_t out_code;
    bool schema;
    int32_t useful;
  } cases[] = {
      {"a,b\n1,x\n", 18, false, 0},                      // CSV: types and widths unused
      {"a,b\n1,x\n", 31, false, 0},                      // HTML table
      {"a,b\n1,x\n", 18, true, 1},                       // the schema file states them
      {"a,b\n1,x\n", 14, false, 1},                      // Stata stores them
      {"a,b\n1,x\n", 19, false, 1},                      // fixed columns
      {"a,t\n1,01/02/2003 10:00\n", 18, false, 1},       // a date-time may become a date
  };
  for (const Case& c : cases) {
    write_file(path, c.text);
    int32_t env = DX_OpenEnvironment();
    DX_TxtWriteSchema(env, c.schema ? 1 : 0);
    ASSERT_EQ(DX_OpenInputFile(env, 18, path.c_str()), 0);
    ASSERT_GT(DX_ReadDict(env), 0);
    DX_SelectAllVars(env);
    ASSERT_EQ(DX_ParseWhere(env, "1 = 1", 1), 0);  // so that the scan does not serve
    EXPECT_EQ(dxi_optimize_useful(env, c.out_code, 1), c.useful) << c.text << " to " << c.out_code;
    DX_CloseFiles(env);
    DX_CloseEnvironment(env);
  }
  std::remove(path.c_str());
}

TEST(OptimizeScan, TextOutputPassLooksOnlyAtDateTimesAndStopsWhenTheyAreSettled) {
  const std::string path = temp_path("opt_shown.csv");
  // Each date-time read from text holds a time of day; the pass stops at its first check
  // after the column has shown one (every 1024 cases).
  std::string early = "n,t\n", late = "n,t\n";
  for (int i = 0; i < 3000; ++i) {
    early += std::to_string(i % 50) + ",01/02/2003 1" + std::to_string(i % 10) + ":00\n";
    late += std::to_string(i % 50) + "," + (i < 2000 ? std::string() : "01/02/2003 10:00") + "\n";
  }
  struct Case {
    const std::string* text;
    int32_t cases;  // read by the pass
  } cases[] = {{&early, 1}, {&late, 2049}};
  for (const Case& c : cases) {
    write_file(path, *c.text);
    int32_t env = DX_OpenEnvironment();
    DX_TxtWriteSchema(env, 0);
    ASSERT_EQ(DX_OpenInputFile(env, 18, path.c_str()), 0);
    ASSERT_EQ(DX_ReadDict(env), 2);
    DX_SelectAllVars(env);
    ASSERT_EQ(DX_ParseWhere(env, "1 = 1", 1), 0);  // so that the scan does not serve
    ASSERT_EQ(ttype(env, 1), T_DATETIME);
    const int32_t int_type = ttype(env, 0);
    ASSERT_EQ(DX_OptimizeInitEx(env, 18, 1 | 32), 0);
    EXPECT_EQ(DX_OptimizeDo(env, 0), c.cases);
    EXPECT_EQ(ttype(env, 1), T_DATETIME);
    EXPECT_EQ(ttype(env, 0), int_type);  // not narrowed: the text shows it the same
    ASSERT_EQ(DX_OpenOutFile(env, 18, temp_path("opt_shown_out.csv").c_str()), 0);
    EXPECT_EQ(DX_TransferAllRecords(env), 3000);
    EXPECT_EQ(DX_CloseFiles(env), 0);
    DX_CloseEnvironment(env);
  }
  std::remove(path.c_str());
  std::remove(temp_path("opt_shown_out.csv").c_str());
}

// The run-at-a-time statistics a reader's gather hook takes must equal value-at-a-time ones,
// whatever the run lengths: odd lengths, fractions that fit a float or not, whole numbers
// beyond 2^52, infinities, signed zeros, and NaNs (taken one by one).
TEST(Optimize, RunsOfValuesGiveTheStatisticsOfSingleValues) {
  using tabulon::VarStats;
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<std::vector<double>> tables = {
      {3},
      {1, 2, 3, 4, 5, 6, 7},
      {0.5, -0.25, 100, 7},
      {0.1, 2, 3},
      {-0.0, 0.0, -0.0},
      {4503599627370497.0, -9007199254740993.0, 1e300, -1e-300},
      {0.75, inf, 3, -inf},
      {0.3, std::nan(""), 2, 8, -1},
      {0.999, 0.001, 0.5},
      {-1.5, 2.5, 1e7 + 0.5, 3},
  };
  for (bool exact : {false, true})
    for (bool date : {false, true})
      for (const auto& values : tables)
        for (size_t split = 0; split <= values.size(); ++split) {
          VarStats one, runs;
          for (double x : values) tabulon::optimize_add_value(one, x, exact, date);
          tabulon::optimize_add_values(runs, values.data(), split, exact, date);
          tabulon::optimize_add_values(runs, values.data() + split, values.size() - split, exact, date);
          SCOPED_TRACE(::testing::Message() << "values " << values.size() << " split " << split << " exact "
                                            << exact << " date " << date);
          EXPECT_EQ(runs.count, one.count);
          EXPECT_EQ(runs.has_fraction, one.has_fraction);
          EXPECT_EQ(runs.not_float, one.not_float);
          EXPECT_EQ(runs.date_parts, one.date_parts);
          EXPECT_EQ(std::isnan(runs.minimum), std::isnan(one.minimum));
          if (!std::isnan(one.minimum)) {
            EXPECT_EQ(runs.minimum, one.minimum);
            EXPECT_EQ(runs.maximum, one.maximum);
          }
        }
}
