// What readers record about their input: the time texts, and the facts of one input never
// carried over to the next.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "engine/dataset_facts.h"
#include "tabulon/tabulon.h"

namespace {

using tabulon::fact_time;
using tabulon::fact_time_sas;

TEST(DatasetFacts, SasTimeStamps) {
  struct Case {
    double seconds;
    const char* text;
  } cases[] = {
      {0, "1960-01-01 00:00:00"},
      {-1, "1959-12-31 23:59:59"},
      {86400.0 * 59, "1960-02-29 00:00:00"},             // 1960 is a leap year
      {1739116512.587, "2015-02-09 15:55:12"},           // a file written by SAS on Windows
      {86400.0 * 14610, "2000-01-01 00:00:00"},
      {NAN, ""},
      {1e12, ""},                                        // not a time a writer stamps
  };
  for (const Case& c : cases) EXPECT_EQ(fact_time_sas(c.seconds), c.text) << c.seconds;
}

TEST(DatasetFacts, TimeTextsAndMonths) {
  EXPECT_EQ(fact_time(2016, 7, 29, 14, 34, -1), "2016-07-29 14:34");
  EXPECT_EQ(fact_time(2016, 13, 1, 0, 0, 0), "");
  EXPECT_EQ(fact_time(2016, 1, 1, 24, 0, 0), "");
  EXPECT_EQ(tabulon::fact_month("Aug"), 8);
  EXPECT_EQ(tabulon::fact_month("DEC"), 12);
  EXPECT_EQ(tabulon::fact_month("xyz"), 0);
  EXPECT_EQ(tabulon::fact_full_year(18), 2018);
  EXPECT_EQ(tabulon::fact_full_year(97), 1997);
  EXPECT_EQ(tabulon::fact_text("  @(#) x\x01y  \0zz", 16), "@(#) xy");
}

// An SPSS file's facts, then a text file's: nothing of the first is left with the second.
TEST(DatasetFacts, EachInputHasItsOwn) {
  const int32_t env = DX_OpenEnvironment();
  ASSERT_GE(env, 0);
  const std::string sav = std::string(TABULON_SOURCE_DIR) + "/tests/fixtures/spss/pyreadstat_sample.sav";
  const std::string csv = std::string(TABULON_SOURCE_DIR) + "/examples/survey.csv";
  char buf[256];
  ASSERT_EQ(DX_OpenInputFile(env, 22, sav.c_str()), 0) << DX_GetErrorMsg(env);
  ASSERT_GT(DX_ReadDict(env), 0) << DX_GetErrorMsg(env);
  EXPECT_GT(dxi_dataset_describe(env, 3, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "bytecode");
  EXPECT_EQ(dxi_dataset_describe(env, 4, buf, 5), 4);  // cut to the room given
  EXPECT_STREQ(buf, "litt");
  EXPECT_EQ(dxi_dataset_describe(env, 8, buf, sizeof buf), -1);
  EXPECT_EQ(dxi_dataset_describe(env, 1, nullptr, 10), -1);
  EXPECT_GT(dxi_var_describe(env, 5, 3, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "ordinal");
  DX_CloseFiles(env);

  ASSERT_EQ(DX_OpenInputFile(env, 18, csv.c_str()), 0) << DX_GetErrorMsg(env);
  ASSERT_GT(DX_ReadDict(env), 0) << DX_GetErrorMsg(env);
  for (int what : {2, 3, 4, 5, 6, 7}) EXPECT_EQ(dxi_dataset_describe(env, what, buf, sizeof buf), 0) << what;
  EXPECT_GT(dxi_dataset_describe(env, 1, buf, sizeof buf), 0);
  EXPECT_EQ(dxi_var_describe(env, 0, 3, buf, sizeof buf), 0);
  DX_CloseFiles(env);
  DX_CloseEnvironment(env);
}

}  // namespace
