// Reading the ".SCH" file of fixed-column text back into a dictionary.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "api/env_record.h"
#include "dict/dictionary.h"
#include "formats/text/fixed_reader.h"
#include "tabulon/tabulon.h"

using namespace tabulon;

namespace {

struct Env {
  int32_t handle = DX_OpenEnvironment();
  EnvRecord* env = env_from_handle(handle);
  ~Env() { DX_CloseEnvironment(handle); }
};

}  // namespace

TEST(TextSchemaFile, FieldsAndSettings) {
  Env e;
  DelimitedReader r;
  const std::string text =
      "[people]\n"
      "  Filetype = Fixed\n"
      "a line without an equals sign\n"
      "Delimiter=\\t\n"
      "Separator=59\n"
      "Dec-Point=,\n"
      "Names=in-file\n"
      "Field1=id,Float,6,0,0\n"
      "FIELD2 = name , Char , 11 , 0 , 6\n"
      "Field3=score,Float,20,3,17\n"
      "Field4=when,Date,10,0,37\n"
      "Field5=t,Time,8,0,47\n"
      "Field6=ts,Timestamp,19,0,55\n"
      "Field7=code,LongInt,5\n"
      "Field8=other,Mystery,3\n";
  ASSERT_EQ(parse_schema_text(*e.env, r, text), 8);
  struct Want {
    const char* name;
    int type;
    uint32_t width;
    int decimals;
    uint32_t start;
  } want[] = {{"id", 5, 6, 0, 0},    {"name", 1, 11, 0, 6}, {"score", 5, 20, 3, 17}, {"when", 7, 10, 0, 37},
              {"t", 8, 8, 0, 47},    {"ts", 9, 19, 0, 55},  {"code", 4, 5, 0, 0},     {"other", 1, 3, 0, 0}};
  ASSERT_EQ(dict_count(e.env->dict), 8);
  for (int i = 0; i < 8; ++i) {
    SCOPED_TRACE(want[i].name);
    const VarRecord& v = *dict_var(e.env->dict, i);
    EXPECT_EQ(v.name, want[i].name);
    EXPECT_EQ(v.ttype, want[i].type);
    EXPECT_EQ(v.input_width, want[i].width);
    EXPECT_EQ(v.decimals, want[i].decimals);
    EXPECT_EQ(v.fixed_column, want[i].start);
  }
  EXPECT_EQ(r.s.read_quote, '\t');
  EXPECT_EQ(r.s.read_delimiter, ';');
  EXPECT_EQ(r.punct.decimal_point, ',');
  EXPECT_EQ(r.s.names_row, 1u);
}

TEST(TextSchemaFile, CharacterValues) {
  struct Case {
    const char* value;
    char want;
  } cases[] = {{"", 0}, {"\\t", '\t'}, {"\\b", 0}, {"\\0", 0}, {"\\x", 0}, {"124", '|'}, {"'", '\''}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    Env e;
    DelimitedReader r;
    parse_schema_text(*e.env, r, std::string("Delimiter=") + c.value + "\n");
    // A blank quote means no quote character.
    EXPECT_EQ(r.s.read_quote, c.want);
  }
}

TEST(TextSchemaFile, FixedInputNeedsItsSchema) {
  char dir[] = "/tmp/tabulon_sch_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string data = std::string(dir) + "/d.dat";
  std::ofstream(data) << "  1abc\n";
  Env e;
  ASSERT_EQ(DX_OpenInputFile(e.handle, 19, data.c_str()), 0);
  EXPECT_LT(DX_ReadDict(e.handle), 0);
  EXPECT_STREQ(DX_GetErrorMsg(e.handle), "Schema (file layout) is required to read fixed format files");
  DX_CloseFiles(e.handle);
  // With the schema beside it the record is read by columns.
  std::ofstream(std::string(dir) + "/d.SCH") << "[d]\nFiletype=Fixed\nField1=n,Float,3,0,0\nField2=s,Char,3,0,3\n";
  ASSERT_EQ(DX_OpenInputFile(e.handle, 19, data.c_str()), 0);
  EXPECT_EQ(DX_ReadDict(e.handle), 2);
  DX_CloseFiles(e.handle);
  std::system((std::string("rm -rf ") + dir).c_str());
}
