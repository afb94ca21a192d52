// Program-file writers: the texts each package's program must hold, from a schema input.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "api/option_slots.h"
#include "formats/text/program_writer.h"
#include "tabulon/tabulon.h"

namespace {

struct Dir {
  std::string path;
  Dir() {
    char t[] = "/tmp/program_writer_XXXXXX";
    path = mkdtemp(t);
  }
  ~Dir() { std::system(("rm -rf '" + path + "'").c_str()); }
  std::string put(const std::string& name, const std::string& text) const {
    std::string p = path + "/" + name;
    std::ofstream(p, std::ios::binary) << text;
    return p;
  }
  std::string get(const std::string& name) const {
    std::ifstream f(path + "/" + name, std::ios::binary);
    if (!f) return "<missing>";
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }
};

std::vector<std::string> g_log;
void log_cb(int32_t, const char* text, int32_t, int64_t) { g_log.push_back(text); }

const std::string kLong = std::string(60, 'a') + std::string(60, 'b') + std::string(30, 'c');  // 150

const char* const kSchema =
    "data list id 1-3 (I3) sex 4 \\sex name 5-16 (A) \\names score 17-22 (F6.2) [-9,>=900,<=999]\n"
    "  born 23-32 (%Y-%m-%d) tag 33-34 (A) \\tags\n"
    "variable labels id \"Person's id\" sex 'Say \"hi\"' score '";

// Settings of the next write_program call beyond its arguments, and what its close returned.
struct ProgramSettings {
  int32_t program_mask = 0;
  bool short_labels = false;
  std::string score_label = kLong;
};
ProgramSettings g_settings;
int32_t g_close = 0;

// Runs one transfer from the schema input to `code`; returns the result of the open.
int32_t write_program(const Dir& d, int32_t code, const std::string& out, int32_t line_end = 0,
                      const char* header_dir = nullptr) {
  d.put("in.sch", std::string(kSchema) + g_settings.score_label +
                      "'\nvalue labels \\sex 1 'male' 2 'female' \\names 'Ann' 'Anne' \\tags 'x' 'ex'\n");
  d.put("in.dat", "  11Ann         12.50 1990-05-17x \n  2 Bob          -9.00          \n");
  const int32_t h = DX_OpenEnvironment();
  const uint32_t masks[4] = {~0u, ~0u, ~0u, ~0u};
  DX_SetInfoCallback(h, -1, masks, 0, 0, log_cb);
  g_log.clear();
  if (line_end) DX_SetOption(h, tabulon::kOptLineEnd, line_end, nullptr);
  if (header_dir) DX_SetOption(h, tabulon::kOptCodeHeaderPath, 0, header_dir);
  if (g_settings.program_mask) DX_SetOption(h, DX_OPT_PROGRAM_MASK, g_settings.program_mask, nullptr);
  if (g_settings.short_labels) DX_SetOption(h, DX_OPT_PROGRAM_SHORT_LABELS, 1, nullptr);
  g_settings = ProgramSettings{};
  EXPECT_EQ(DX_OpenInputFile(h, 46, (d.path + "/in.sch").c_str()), 0);
  EXPECT_GT(DX_ReadDict(h), 0) << DX_GetErrorMsg(h);
  const int32_t r = DX_OpenOutFile(h, code, (d.path + "/" + out).c_str());
  if (r == 0) EXPECT_GE(DX_TransferAllRecords(h), 0);
  std::string message = DX_GetErrorMsg(h) ? DX_GetErrorMsg(h) : "";
  g_close = DX_CloseFiles(h);
  DX_CloseEnvironment(h);
  if (r != 0) g_log.push_back("open: " + message);
  return r;
}

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(ProgramWriter, SpssSyntax) {
  Dir d;
  ASSERT_EQ(write_program(d, 39, "out.sps", 2), 0);
  const std::string p = d.get("out.sps");
  const std::string parts[] = {
      "FILE HANDLE DATA / NAME=\"" + d.path + "/out.dat\" /LRECL=79 .\n",
      "DATA LIST FILE=DATA/\n   id 1-6                   sex 7-30                 name 31-42 (A)\n"
      "   score 43-66              born 67-77 (DATE)        tag 78-79 (A) .\n",
      "FORMATS\n  score (F25.2) .\n",
      // A label holding a single quote goes between double quotes, and the other way round.
      "VARIABLE LABELS\n   id \"Person's id\"\n   sex 'Say \"hi\"'\n",
      // 150 characters: pieces of 65, 65 and 20 joined by "+".
      "   score \n   '" + kLong.substr(0, 65) + "' +\n   '" + kLong.substr(65, 65) + "' +\n   '" +
          kLong.substr(130) + "' .\n",
      "VALUE LABELS\n sex\n     1 'male'\n     2 'female' /\n tag\n     'x' 'ex' /\n .\n",
      "MISSING VALUES\n  score (900 THRU 999, -9)\n .\n",
      "SAVE OUTFILE='" + d.path + "/out.sav'.\n",
  };
  for (const std::string& part : parts) EXPECT_TRUE(has(p, part)) << part << "\n--- in ---\n" << p;
  // The 12-wide string keeps no value labels, with a warning.
  EXPECT_FALSE(has(p, "'Ann'"));
  int warned = 0;
  for (const std::string& m : g_log) warned += has(m, "Variable name has lost the assigned format due to its length - SPSS limitation");
  EXPECT_EQ(warned, 1);
  EXPECT_EQ(d.get("out.dat"),
            "     1" + std::string(23, ' ') + "1Ann" + std::string(29, ' ') + "12.517-05-1990 x \n"
            "     2" + std::string(24, ' ') + "Bob" + std::string(46, ' ') + "\n");
}

TEST(ProgramWriter, StataDoFileAndDictionary) {
  Dir d;
  ASSERT_EQ(write_program(d, 41, "out.do", 2), 0);
  const std::string dct = d.get("out.dct");
  // The date is read as an 11-character string.
  EXPECT_TRUE(has(dct, "  _column(67)      str11                               born  %11s\n")) << dct;
  EXPECT_TRUE(has(dct, "   _column(1)        int                                 id   %6f  \"Person's id\"\n")) << dct;
  EXPECT_TRUE(has(dct, "  _column(31)      str12                               name  %12s\n")) << dct;
  const std::string p = d.get("out.do");
  const std::string parts[] = {
      "local dat_name \"" + d.path + "/out.dat\"\n",
      "infile using \"`dct_name'\", using(\"`dat_name'\") clear \n",
      "#delimit ;\n label define sex    1 \"male\"    2 \"female\";\n label values sex sex ;\n",
      " replace score = .  if score == -9 | score >= 900 && score <= 999 ;\n",
      "/*\ngenerate long _born = date(born, \"DMY\")\ndrop  born\nrename _born born\nformat born %td\n",
      "order\nid                  sex                 name                score\nborn                tag\n;\n",
      "save `dta_name', replace\n",
  };
  for (const std::string& part : parts) EXPECT_TRUE(has(p, part)) << part << "\n--- in ---\n" << p;
}

TEST(ProgramWriter, MplusDropsStrings) {
  Dir d;
  ASSERT_EQ(write_program(d, 64, "out.inp", 2), 0);
  const std::string p = d.get("out.inp");
  EXPECT_TRUE(has(p, "Variable:\n   Names are\n     id          sex         score       born  ;\n   Missing are . ;\n")) << p;
  EXPECT_TRUE(has(p, "!        1: male\n")) << p;
  EXPECT_EQ(d.get("out.dat"), "1,1,12.5,33010\n2,.,.,.\n");
}

TEST(ProgramWriter, SasProgram) {
  Dir d;
  ASSERT_EQ(write_program(d, 40, "out.sas", 2), 0);
  const std::string p = d.get("out.sas");
  const std::string parts[] = {
      "PROC FORMAT;\n  VALUE VL1F\n    1 = 'male'\n    2 = 'female'\n  ;\n",
      "  VALUE $VL2F\n    'Ann' = 'Anne'\n  ;\n",
      "DATA out;\n  INFILE '" + d.path + "/out.dat' LRECL=79 TRUNCOVER;\n",
      "  LENGTH\n    name $ 12\n    tag $ 2\n  ;\n",
      "  INPUT\n    id 1-6\n    sex 7-30\n    name $ 31-42\n    score 43-66\n    @67 born ddmmyy10.\n    tag $ 78-79\n  ;\n",
      "    id = 'Person''s id'\n",
      "  FORMAT\n    sex VL1F.\n    name $VL2F.\n    born DDMMYY10.\n    tag $VL3F.\n  ;\n",
  };
  for (const std::string& part : parts) EXPECT_TRUE(has(p, part)) << part << "\n--- in ---\n" << p;
}

TEST(ProgramWriter, ThreeProgramsBesideTheData) {
  Dir d;
  ASSERT_EQ(write_program(d, 47, "all.txt"), 0);
  EXPECT_TRUE(has(d.get("all.sps"), "NAME=\"" + d.path + "/all.txt\""));
  EXPECT_TRUE(has(d.get("all.sas"), "INFILE '" + d.path + "/all.txt'"));
  EXPECT_TRUE(has(d.get("all.do"), "local dat_name \"" + d.path + "/all.txt\""));
  EXPECT_TRUE(has(d.get("all.dct"), "infile dictionary {"));
  EXPECT_TRUE(has(d.get("all.txt"), "Ann"));
}

TEST(ProgramWriter, HeadersAndLineEnds) {
  Dir d;
  ASSERT_EQ(write_program(d, 39, "crlf.sps", 1), 0);
  const std::string crlf = d.get("crlf.sps");
  EXPECT_EQ(crlf.rfind("/* This SPSS program was automatically generated by Tabulon ver.12.1.196.1216 */\r\n", 0), 0u);
  EXPECT_TRUE(has(d.get("crlf.dat"), "x \r\n"));

  d.put("sps.sth", "* my own header.\n");
  ASSERT_EQ(write_program(d, 39, "own.sps", 2, d.path.c_str()), 0);
  const std::string own = d.get("own.sps");
  EXPECT_EQ(own.rfind("* my own header.\nFILE HANDLE", 0), 0u) << own;

  EXPECT_NE(write_program(d, 39, "none.sps", 2, (d.path + "/nowhere").c_str()), 0);
  EXPECT_EQ(g_log.back(), "open: Cannot open user header file: " + d.path + "/nowhere/sps.sth");
}

TEST(ProgramWriter, ColumnWriter) {
  struct Case {
    int per_line;
    size_t field, limit, indent;
    std::vector<std::string> items;
    std::string expected;
  } cases[] = {
      {3, 6, 80, 0, {"a", "bb", "ccc", "d"}, "a     bb    ccc\nd\n"},
      {6, 4, 80, 2, {"x", "y"}, "  x   y\n"},
      // An item that would pass the limit starts a new line.
      {10, 30, 80, 0, {"one", "two", "three"}, std::string("one") + std::string(27, ' ') + "two\nthree\n"},
  };
  for (const Case& c : cases) {
    std::string out;
    tabulon::ColumnWriter w(out, "\n", c.per_line, c.field, c.limit, c.indent);
    for (const std::string& i : c.items) w.add(i);
    w.finish();
    EXPECT_EQ(out, c.expected);
  }
}

}  // namespace

namespace {

// Strings longer than their field in bytes are cut at a character boundary, never inside one.
TEST(ProgramWriter, FixedFieldsKeepWholeCharacters) {
  Dir d;
  d.put("u.sch", "encoding ISO-8859-1\ndata list s 1-4 (A) n 5\n");
  d.put("u.dat", "K\xf6\xf6n7\n\xe4\xe4\xe4\xe4" "8\n");
  const int32_t h = DX_OpenEnvironment();
  ASSERT_EQ(DX_OpenInputFile(h, 46, (d.path + "/u.sch").c_str()), 0);
  ASSERT_GT(DX_ReadDict(h), 0) << DX_GetErrorMsg(h);
  ASSERT_EQ(DX_OpenOutFile(h, 46, (d.path + "/o.sch").c_str()), 0) << DX_GetErrorMsg(h);
  EXPECT_GE(DX_TransferAllRecords(h), 0);
  DX_CloseFiles(h);
  DX_CloseEnvironment(h);
  const std::string out = d.get("o.dat") == "<missing>" ? d.get("o.txt") : d.get("o.dat");
  for (size_t i = 0; i < out.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(out[i]);
    if (c >= 0xC0) {  // a lead byte: its continuation bytes must follow
      const size_t need = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : 1;
      ASSERT_LE(i + need, out.size() - 1) << out;
      for (size_t k = 1; k <= need; ++k) EXPECT_EQ(static_cast<unsigned char>(out[i + k]) & 0xC0, 0x80) << out;
    }
  }
  EXPECT_EQ(out.substr(0, 4), "K\xc3\xb6 ") << out;
}

}  // namespace

namespace {

// Runs a transfer between two files with a plain environment; false on any failure.
bool convert(int32_t in_code, const std::string& in, int32_t out_code, const std::string& out) {
  const int32_t h = DX_OpenEnvironment();
  bool ok = DX_OpenInputFile(h, in_code, in.c_str()) == 0 && DX_ReadDict(h) > 0 &&
            DX_OpenOutFile(h, out_code, out.c_str()) == 0 && DX_TransferAllRecords(h) >= 0;
  ok = DX_CloseFiles(h) >= 0 && ok;
  DX_CloseEnvironment(h);
  return ok;
}

}  // namespace

TEST(ProgramWriter, ProgramMaskWritesProgramsBesideFixedOutputs) {
  struct Case {
    int32_t code;
    const char* out;
    int32_t mask;
    const char* written;  // extensions expected beside the output
    const char* absent;   // extensions that must not appear
  };
  const Case cases[] = {
      {39, "a.sps", DX_PROGRAM_SAS | DX_PROGRAM_SPSS | DX_PROGRAM_STATA, "sas do dct", ""},
      {41, "b.do", DX_PROGRAM_SAS | DX_PROGRAM_SPSS, "sas sps", ""},
      {40, "c.sas", DX_PROGRAM_STATA, "do dct", "sps"},
      {46, "d.sch", DX_PROGRAM_SPSS, "sps", "sas do"},
      {19, "e.txt", DX_PROGRAM_SAS | DX_PROGRAM_SPSS | DX_PROGRAM_STATA, "sas sps do dct", ""},
      {18, "f.csv", DX_PROGRAM_SPSS, "", "sps"},
      {14, "g.dta", DX_PROGRAM_SAS, "", "sas"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.out);
    Dir d;
    g_settings.program_mask = c.mask;
    ASSERT_EQ(write_program(d, c.code, c.out), 0) << g_log.back();
    EXPECT_EQ(g_close, 0);
    const std::string out = c.out;
    const std::string stem = out.substr(0, out.find('.'));
    std::istringstream written(c.written), absent(c.absent);
    for (std::string ext; written >> ext;) EXPECT_NE(d.get(stem + "." + ext), "<missing>") << ext;
    for (std::string ext; absent >> ext;) EXPECT_EQ(d.get(stem + "." + ext), "<missing>") << ext;
    const bool refused = std::string(c.written).empty();
    bool warned = false;
    for (const std::string& m : g_log)
      warned = warned || has(m, "Warning:No SAS, SPSS or Stata program files are written beside this output: they "
                                "read fixed-column text, which output format " +
                                    std::to_string(c.code) + " does not write.");
    EXPECT_EQ(warned, refused);
  }
}

TEST(ProgramWriter, ProgramsBesideTheirOwnKindReadTheSameData) {
  Dir d;
  g_settings.program_mask = DX_PROGRAM_SPSS;
  ASSERT_EQ(write_program(d, 39, "own.sps"), 0);
  // The output's own program is not written twice, and the extra programs read its data file.
  EXPECT_TRUE(has(d.get("own.sps"), "NAME=\"" + d.path + "/own.dat\""));
  g_settings.program_mask = DX_PROGRAM_SAS;
  ASSERT_EQ(write_program(d, 46, "sch.sch"), 0);
  EXPECT_TRUE(has(d.get("sch.sas"), "INFILE '" + d.path + "/sch.dat'"));
  // Dates in the schema's data are written day first, as the programs read them; the schema says so.
  EXPECT_TRUE(has(d.get("sch.dat"), "17-05-1990")) << d.get("sch.dat");
  EXPECT_TRUE(has(d.get("sch.sch"), "(%d-%m-%Y)"));
  ASSERT_TRUE(convert(46, d.path + "/in.sch", 18, d.path + "/source.csv"));
  ASSERT_TRUE(convert(46, d.path + "/sch.sch", 18, d.path + "/again.csv"));
  EXPECT_EQ(d.get("again.csv"), d.get("source.csv"));

  // Fixed text takes the programs' layout; its ".SCH" describes that layout and reads back.
  g_settings.program_mask = DX_PROGRAM_SPSS | DX_PROGRAM_STATA;
  ASSERT_EQ(write_program(d, 19, "fix.txt"), 0);
  const std::string sps = d.get("fix.sps");
  EXPECT_TRUE(has(sps, "NAME=\"" + d.path + "/fix.txt\""));
  EXPECT_TRUE(has(sps, "born 67-77 (DATE)")) << sps;
  EXPECT_TRUE(has(d.get("fix.txt"), "17-05-1990"));
  ASSERT_TRUE(convert(19, d.path + "/fix.txt", 18, d.path + "/fix.csv"));
  EXPECT_TRUE(has(d.get("fix.csv"), "5/17/1990")) << d.get("fix.csv");
  EXPECT_TRUE(has(d.get("fix.csv"), "12.5"));
}

TEST(ProgramWriter, ExtraProgramThatCannotBeWrittenFailsTheClose) {
  Dir d;
  ASSERT_EQ(::mkdir((d.path + "/blocked.sps").c_str(), 0755), 0);  // a directory where the program goes
  g_settings.program_mask = DX_PROGRAM_SPSS;
  ASSERT_EQ(write_program(d, 19, "blocked.txt"), 0);
  EXPECT_LT(g_close, 0);
  EXPECT_EQ(g_log.back(), "Error:\tError writing extra program file: " + d.path + "/blocked.sps");
}

TEST(ProgramWriter, ShortLabelModeSplitsOnceAtABlank) {
  struct Case {
    std::string label;
    std::string first, second;
  };
  const std::string words = "The score the respondent reached in the final written test of the course, "
                            "counted in points out of one hundred and then scaled to the usual grading range";
  const Case cases[] = {
      // No blank between 50 and 65: cut at 65, the rest up to 120 characters.
      {kLong, kLong.substr(0, 65), kLong.substr(65, 55)},
      // The last blank within 50..65 ends the first piece and stays in it.
      {words, words.substr(0, words.rfind(' ', 64) + 1), words.substr(words.rfind(' ', 64) + 1, 120 - words.rfind(' ', 64) - 1)},
  };
  for (const Case& c : cases) {
    Dir d;
    g_settings.short_labels = true;
    g_settings.score_label = c.label;
    ASSERT_EQ(write_program(d, 39, "short.sps"), 0);
    EXPECT_TRUE(has(d.get("short.sps"), "   score '" + c.first + "' +\n   '" + c.second + "'")) << d.get("short.sps");
  }
}
