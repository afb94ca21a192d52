// A whole conversion through the public API: keep list and WHERE condition on a
// delimited-text input, written back as delimited text.
#include <unistd.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "tabulon/tabulon.h"

namespace {

std::string slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  std::string t = s.str();
  std::erase(t, '\r');  // line ends are the writer's business here
  return t;
}

}  // namespace

TEST(WhereTransfer, SelectsCasesAndVariablesOfADelimitedFile) {
  const std::string in = ::testing::TempDir() + std::to_string(::getpid()) + "expr_where_in.csv";
  const std::string out = ::testing::TempDir() + std::to_string(::getpid()) + "expr_where_out.csv";
  {
    std::ofstream f(in, std::ios::binary);
    f << "id,age,name,born,extra\n"
         "1,17,Ann,01/31/2005,x\n"
         "2,30,bob,02/01/2005,x\n"
         "3,45,Carl,03/15/2005,x\n"
         "4,,Dora,01/31/2005,x\n"
         "5,50,Dan,01/31/2005,x\n";
  }
  int32_t env = DX_OpenEnvironment();
  ASSERT_EQ(DX_OpenInputFile(env, 18, in.c_str()), 0) << DX_GetErrorMsg(env);
  ASSERT_EQ(DX_ReadDict(env), 5);
  EXPECT_EQ(DX_DoVarSelect(env, "drop extra", 0, 0), -1);
  ASSERT_EQ(DX_ParseWhere(env, "WHERE age >= 18 & (born <> [01/31/2005] | name = \"d*\")", 1), 0)
      << DX_GetErrorMsg(env);
  ASSERT_EQ(DX_OpenOutFile(env, 18, out.c_str()), 0) << DX_GetErrorMsg(env);
  EXPECT_EQ(DX_TransferAllRecords(env), 3) << DX_GetErrorMsg(env);
  EXPECT_EQ(DX_CloseFiles(env), 0);
  DX_CloseEnvironment(env);
  EXPECT_EQ(slurp(out),
            "\"id\",\"age\",\"name\",\"born\"\n"
            "2,30,\"bob\",2/1/2005\n"
            "3,45,\"Carl\",3/15/2005\n"
            "5,50,\"Dan\",1/31/2005\n");
  std::remove(in.c_str());
  std::remove(out.c_str());
}
