// Database sources through the test driver library (tests/plugins/DXODBC64.cpp),
// which keeps its tables in memory.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "api/env_record.h"
#include "engine/db_driver.h"
#include "engine/line_format.h"
#include "tabulon/tabulon.h"

using namespace linefmt;

namespace {

constexpr int32_t kOdbc = 24;

class Database : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { setenv("TABULON_DRIVER_DIR", TABULON_BINARY_DIR "/plugins", 1); }
  void SetUp() override { env = DX_OpenEnvironment(); }
  void TearDown() override {
    DX_CloseFiles(env);
    DX_CloseEnvironment(env);
  }
  std::string message() {
    const char* m = DX_GetErrorMsg(env);
    return m ? m : "";
  }
  tabulon::EnvRecord& record() { return *tabulon::env_from_handle(env); }
  int32_t env = -1;
};

TEST_F(Database, TableWrittenAndReadBackThroughThePipeline) {
  ASSERT_EQ(DX_InitUserDict(env, 2), 0);
  ASSERT_EQ(DX_AddUserVar(env, 0, "id", 1, 8, 0), 0);
  ASSERT_EQ(DX_AddUserVar(env, 1, "name", 2, 12, 0), 0);
  ASSERT_EQ(DX_OpenOutFile(env, kOdbc, "people"), 0) << message();
  const char* names[] = {"ann", "bob", ""};
  for (int i = 0; i < 3; ++i) {
    double id = 10 + i;
    DX_SetVarDouble(env, 0, &id);
    DX_SetVarString(env, 1, names[i]);
    ASSERT_EQ(DX_WriteRecord(env), 0) << message();
  }
  ASSERT_EQ(DX_CloseFiles(env), 0);

  ASSERT_EQ(DX_OpenInputFile(env, kOdbc, "memory"), 0) << message();
  EXPECT_EQ(DX_FormatHasTables(env), 1);
  ASSERT_GE(DX_GetNTables(env), 1);
  ASSERT_EQ(DX_SetTable(env, "people"), 0);
  char qualified[256];
  EXPECT_EQ(DX_GetQualifiedTname(env, qualified), 6);
  EXPECT_STREQ(qualified, "people");
  ASSERT_EQ(DX_ReadDict(env), 2) << message();
  EXPECT_EQ(DX_GetNCases(env), 3);
  ASSERT_EQ(DX_InitReadOnly(env), 0);
  std::string seen;
  while (DX_ReadRecord(env) == 0) {
    double id = 0;
    DX_CopyVarDataNumb(env, 0, &id);
    seen += std::to_string(static_cast<int>(id)) + ":";
    seen += DX_GetVarMissing(env, 1) ? "." : reinterpret_cast<const char*>(record().dict.record() +
                                                                           record().dict.vars[1]->offset);
    seen += ' ';
  }
  EXPECT_EQ(seen, "10:ann 11:bob 12:. ");
}

TEST_F(Database, DriverIsLoadedOncePerSide) {
  ASSERT_EQ(DX_InitUserDict(env, 1), 0);
  ASSERT_EQ(DX_AddUserVar(env, 0, "x", 1, 8, 0), 0);
  ASSERT_EQ(DX_OpenOutFile(env, kOdbc, "t1"), 0) << message();
  ASSERT_EQ(DX_CloseFiles(env), 0);
  ASSERT_EQ(DX_InitUserDict(env, 1), 0);
  ASSERT_EQ(DX_AddUserVar(env, 0, "x", 1, 8, 0), 0);
  ASSERT_EQ(DX_OpenOutFile(env, 23, "t2"), 0) << message();  // same driver, another code
  EXPECT_EQ(record().transfer.output_driver->loads, 1);
  EXPECT_EQ(record().transfer.output_driver->driver_number, 1);
}

TEST_F(Database, AbsentDriverLibrary) {
  EXPECT_EQ(DX_OpenInputFile(env, 43, "anything"), -1);
  EXPECT_EQ(message(), "Cannot load library: libDXDBSQLS.so:");
  ASSERT_EQ(DX_InitUserDict(env, 1), 0);
  ASSERT_EQ(DX_AddUserVar(env, 0, "x", 1, 8, 0), 0);
  EXPECT_EQ(DX_OpenOutFile(env, 42, "t"), -5);
  EXPECT_EQ(message(), "Cannot load library: libDXDBORA.so:");
}

TEST_F(Database, DriverMessageBecomesTheMessage) {
  EXPECT_EQ(DX_OpenInputFile(env, kOdbc, "refuse"), -1);
  EXPECT_EQ(message(), "Test source refused the connection");
}

TEST_F(Database, LibraryNamesOfTheDrivers) {
  const char* expected[] = {nullptr, "libDXODBC64.so", "libDXDBD32.so", "libDXDBORA.so",
                            "libDXDBSQLS.so", "libDXDB2.so", "libDXDBSYB.so"};
  for (int n = 1; n <= 6; ++n) EXPECT_STREQ(tabulon::driver_library_name(n, record()), expected[n]);
  EXPECT_EQ(tabulon::driver_library_name(7, record()), nullptr);
  DX_SetOption(env, 80, 0, "ct");
  EXPECT_STREQ(tabulon::driver_library_name(6, record()), "libDXDBSYBCT.so");
}

TEST_F(Database, Parameters) {
  EXPECT_EQ(DX_DBGetParm(env, 1, 3), nullptr);
  EXPECT_EQ(DX_DBSetParm(env, 1, 3, "user=me"), 0);
  EXPECT_STREQ(DX_DBGetParm(env, 1, 3), "user=me");
  EXPECT_EQ(DX_DBGetParm(env, 2, 3), nullptr);  // sides are apart
  char buf[8];
  EXPECT_EQ(DX_DBGetParmVB(env, 1, 3, buf, 8), 7);
  EXPECT_STREQ(buf, "user=me");
  EXPECT_EQ(DX_DBGetParmVB(env, 1, 3, buf, 7), -1);  // does not fit
  EXPECT_EQ(DX_DBGetParmVB(env, 1, 4, buf, 8), 0);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(DX_DBSetParm(env, 1, 3, ""), 0);
  EXPECT_EQ(DX_DBGetParm(env, 1, 3), nullptr);
  for (auto [side, index] : {std::pair{1, 12}, {1, -1}, {3, 0}, {0, 0}}) EXPECT_EQ(DX_DBSetParm(env, side, index, "x"), -1);

  EXPECT_EQ(DX_DBSetParm(env, 2, 8, "no-such-encoding"), -1);
  EXPECT_EQ(DX_DBGetParm(env, 2, 8), nullptr);
  EXPECT_EQ(DX_DBSetParm(env, 2, 8, "UTF-16LE"), 0);
  EXPECT_EQ(DX_DBGetParm(env, 2, 8), nullptr);  // the standard one is not stored
  EXPECT_EQ(DX_DBSetParm(env, 2, 8, "ISO-8859-1"), 0);
  EXPECT_STREQ(DX_DBGetParm(env, 2, 8), "ISO-8859-1");
  EXPECT_EQ(DX_DBSetParm(env, 1, 9, "WIDE"), 0);
  EXPECT_EQ(record().transfer.input_driver->wide, 1);
}

TEST_F(Database, DataSources) {
  EXPECT_EQ(DX_DBReadSources(env, 23), -1);  // only the ODBC code lists sources
  ASSERT_EQ(DX_DBReadSources(env, kOdbc), 2);
  char name[64], description[64];
  ASSERT_EQ(DX_DBGetSource(env, 0, name, description), 0);
  EXPECT_STREQ(name, "memory");
  EXPECT_STREQ(description, "Tables held in memory");
  ASSERT_EQ(DX_DBGetSource(env, 1, name, description), 0);
  EXPECT_STREQ(description, "");
  EXPECT_EQ(DX_DBGetSource(env, 2, name, description), -1);
  EXPECT_EQ(DX_DBGetSourceEx(env, 0, name, description, 2), -1);  // output side listed nothing
  ASSERT_EQ(DX_DBReadSourcesEx(env, kOdbc, 2), 2);
  EXPECT_EQ(DX_DBGetSourceEx(env, 0, name, description, 2), 0);
}

}  // namespace
