// Schema-described input (formats 46, 53, 55) and the fixed-column reader of
// DX_DefineAsciiVar, driven through the public API over files made here.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "api/env_record.h"
#include "api/option_slots.h"
#include "dict/dictionary.h"
#include "tabulon/tabulon.h"

namespace {

struct Dir {
  std::string path;
  Dir() {
    char t[] = "/tmp/schema_reader_XXXXXX";
    path = mkdtemp(t);
  }
  ~Dir() { std::system(("rm -rf '" + path + "'").c_str()); }
  std::string put(const std::string& name, const std::string& text) const {
    std::string p = path + "/" + name;
    FILE* f = std::fopen(p.c_str(), "wb");
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    return p;
  }
};

struct Env {
  int32_t h = DX_OpenEnvironment();
  ~Env() { DX_CloseEnvironment(h); }
};

// Every record, each value as text: numbers by %.7g, "." when missing, strings in <>.
std::vector<std::string> read_all(int32_t h) {
  std::vector<std::string> rows;
  const int32_t n = tabulon::dict_count(tabulon::env_from_handle(h)->dict);
  if (DX_InitReadOnly(h) < 0) return {"InitReadOnly failed"};
  while (DX_ReadRecord(h) >= 0 && rows.size() < 100) {
    std::string row;
    for (int32_t i = 0; i < n; ++i) {
      void* p = nullptr;
      int32_t type = 0;
      const int32_t r = DX_GetVarData(h, i, &p, &type);
      if (i) row += "|";
      if (r == 1) {
        row += ".";
      } else if (r < 0) {
        row += "?";
      } else if (type == 2) {
        row += "<" + std::string(static_cast<const char*>(p)) + ">";
      } else {
        char b[64];
        std::snprintf(b, sizeof b, "%.7g", *static_cast<const double*>(p));
        row += b;
      }
    }
    rows.push_back(row);
  }
  return rows;
}

using Rows = std::vector<std::string>;

TEST(SchemaReader, FixedColumns) {
  struct Case {
    const char* name;
    std::string schema, data;
    Rows expected;
  } cases[] = {
      {"implied decimals", "data list x 1-8 (F8.2) y 9-10\n", "   12345 7\n     1.5 8\n", {"123.45|7", "1.5|8"}},
      {"missing values", "data list x 1-3 [-9,>=90,<=99]\n", " -9\n 90\n 95\n 99\n100\n 89\n\n   \n",
       {".", ".", ".", ".", "100", "89"}},
      {"strings, short lines", "data list s 1-5 (A) n 6-7\n", "ab  x12\nabc\n     3\n", {"<ab  x>|12", "<abc>|.", ".|3"}},
      {"two lines per record", "data list a 1-2 / b 1-3 (A)\n", "11\nxyz\n22\n\n33\nabc\n",
       {"11|<xyz>", "22|.", "33|<abc>"}},
      {"line number", "data list a 1-2 /3 b 2-3\n", "10\nzz\n 45\n20\n--\n 67\n", {"10|45", "20|67"}},
      {"lrecl cuts lines", "data list lrecl 3 a 1-2 b 3-5\n", "12345\n", {"12|3"}},
      {"dates by pattern", "data list d 1-10 (%Y-%m-%d) t 11-15 (%H:%M)\n", "2000-01-0212:00\n1900-13-01xx:00\n",
       {"36527|0.5", ".|."}},
      {"first line", "first line 3\ndata list a 1-2\n", "hh\nhh\n01\n02\n", {"1", "2"}},
      {"data encoding", "encoding ISO-8859-1\ndata list s 1-4 (A) n 5\n", "K\xf6ln7\n", {"<K\xc3\xb6ln>|7"}},
  };
  for (const Case& c : cases) {
    Dir d;
    const std::string sch = d.put("in.sch", c.schema);
    d.put("in.dat", c.data);
    Env e;
    ASSERT_EQ(DX_OpenInputFile(e.h, 46, sch.c_str()), 0) << c.name;
    ASSERT_GT(DX_ReadDict(e.h), 0) << c.name << ": " << DX_GetErrorMsg(e.h);
    EXPECT_EQ(read_all(e.h), c.expected) << c.name;
    DX_CloseFiles(e.h);
  }
}

TEST(SchemaReader, UserMissingModes) {
  const int32_t modes[] = {0, 1, 2};
  const Rows expected[] = {{".", ".", "5"}, {".", "95", "5"}, {"-9", "95", "5"}};
  for (int k = 0; k < 3; ++k) {
    Dir d;
    const std::string sch = d.put("in.sch", "data list x 1-3 [-9,>=90,<=99]\n");
    d.put("in.dat", " -9\n 95\n  5\n");
    Env e;
    DX_SetOption(e.h, tabulon::kOptUserMissing, modes[k], nullptr);
    ASSERT_EQ(DX_OpenInputFile(e.h, 46, sch.c_str()), 0);
    ASSERT_GT(DX_ReadDict(e.h), 0) << DX_GetErrorMsg(e.h);
    EXPECT_EQ(read_all(e.h), expected[k]) << "mode " << modes[k];
  }
}

TEST(SchemaReader, InlineAndDelimitedReportTheirCodes) {
  Dir d;
  Env e;
  const std::string inl = d.put("inline.sch", "data list a 1-2 b 3-5 (A)\ndata\n01abc\n02\n");
  ASSERT_EQ(DX_OpenInputFile(e.h, 53, inl.c_str()), 0);
  ASSERT_EQ(DX_ReadDict(e.h), 2) << DX_GetErrorMsg(e.h);
  EXPECT_EQ(tabulon::env_from_handle(e.h)->transfer.input_code, 46);
  EXPECT_EQ(read_all(e.h), (Rows{"1|<abc>", "2|."}));
  DX_CloseFiles(e.h);

  const std::string del = d.put("del.sch",
                                "format delimited commas\nfile del.txt\n"
                                "data list name (A20) x (F5.1) [-1] when (%d.%m.%Y)\n");
  d.put("del.txt", "\"Smith, J\",2.5,03.01.2000\nOK,-1,\n,7,bad\n");
  ASSERT_EQ(DX_OpenInputFile(e.h, 53, del.c_str()), 0);
  ASSERT_EQ(DX_ReadDict(e.h), 3) << DX_GetErrorMsg(e.h);
  EXPECT_EQ(tabulon::env_from_handle(e.h)->transfer.input_code, 55);
  EXPECT_EQ(read_all(e.h), (Rows{"<Smith, J>|2.5|36528", "<OK>|.|.", ".|7|."}));
  DX_CloseFiles(e.h);
}

TEST(SchemaReader, Failures) {
  Dir d;
  Env e;
  // A schema in UTF-16 is refused with -798.
  const std::string wide = d.put("wide.sch", std::string("\xFF\xFE" "d\0a\0", 6));
  ASSERT_EQ(DX_OpenInputFile(e.h, 46, wide.c_str()), 0);
  EXPECT_EQ(DX_ReadDict(e.h), -798);
  EXPECT_NE(std::string(DX_GetErrorMsg(e.h)).find("Tabulon cannot read the Schema file because it uses UTF-16LE"),
            std::string::npos);
  DX_CloseFiles(e.h);

  // No data file beside the schema.
  const std::string lone = d.put("lone.sch", "data list a 1-2\n");
  ASSERT_EQ(DX_OpenInputFile(e.h, 46, lone.c_str()), 0);
  EXPECT_LT(DX_ReadDict(e.h), 0);
  EXPECT_EQ(std::string(DX_GetErrorMsg(e.h)), "Cannot open data file: " + d.path + "/lone.dat");
  DX_CloseFiles(e.h);

  // A schema error comes back through DX_ReadDict.
  const std::string bad = d.put("bad.sch", "data list a 1-2\nvalue labels 1 'x'\n");
  ASSERT_EQ(DX_OpenInputFile(e.h, 46, bad.c_str()), 0);
  EXPECT_LT(DX_ReadDict(e.h), 0);
  EXPECT_STREQ(DX_GetErrorMsg(e.h), "Schema Error at line 2 - Expecting a label tag starting with \\");
  DX_CloseFiles(e.h);
}

TEST(SchemaReader, DefinedAsciiVariables) {
  Dir d;
  const std::string dat = d.put("fixed.dat", "  1234abc 01/02/2000\n 999  xy\n");
  Env e;
  ASSERT_EQ(DX_OpenInputFile(e.h, 19, dat.c_str()), 0);
  ASSERT_EQ(DX_DefineAsciiVar(e.h, 0, "n", 1, 6, -2, 0, 0), 0);
  ASSERT_EQ(DX_DefineAsciiVar(e.h, 1, "s", 2, 3, 0, 0, 6), 0);
  ASSERT_EQ(DX_DefineAsciiVar(e.h, 2, "d", 4, 10, 0, 0, 10), 0);
  ASSERT_EQ(DX_DefineAsciiVar(e.h, -1, "", 0, 0, 0, 0, 0), 0) << DX_GetErrorMsg(e.h);
  EXPECT_EQ(read_all(e.h), (Rows{"12.34|<abc>|36527", "9.99|<xy>|."}));
}

}  // namespace

namespace {

// A fixed record whose every field is missing is written as a blank-filled line; it must
// come back as a case, while empty lines after the last record add none.
TEST(SchemaReader, BlankRecordsAreAllMissingCases) {
  struct Case {
    const char* data;
    Rows rows;
  } cases[] = {
      {"     \n02xyz\n", {".|.", "2|<xyz>"}},
      {"01abc\n     \n02\n", {"1|<abc>", ".|.", "2|."}},
      {"01abc\n\n     \n02\n", {"1|<abc>", ".|.", ".|.", "2|."}},
      {"01abc\n     \n\n", {"1|<abc>"}},
      {"\r\n01abc\r\n", {".|.", "1|<abc>"}},
  };
  Dir d;
  Env e;
  for (const Case& c : cases) {
    const std::string inl = d.put("blank.sch", std::string("data list a 1-2 b 3-5 (A)\ndata\n") + c.data);
    ASSERT_EQ(DX_OpenInputFile(e.h, 53, inl.c_str()), 0);
    ASSERT_EQ(DX_ReadDict(e.h), 2) << DX_GetErrorMsg(e.h);
    EXPECT_EQ(read_all(e.h), c.rows) << c.data;
    DX_CloseFiles(e.h);
  }
}

}  // namespace
