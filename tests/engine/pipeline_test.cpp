// The transfer pipeline driven through the line format of the tests and through
// user dictionaries.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "api/env_record.h"
#include "engine/line_format.h"
#include "tabulon/tabulon.h"

using namespace linefmt;

namespace {

bool file_exists(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f) std::fclose(f);
  return f != nullptr;
}

class Pipeline : public ::testing::Test {
 protected:
  void SetUp() override {
    env = DX_OpenEnvironment();
    ASSERT_GE(env, 0);
    in = temp_path("in.txt");
    out = temp_path("out.txt");
    std::remove(out.c_str());
  }
  void TearDown() override {
    DX_CloseFiles(env);
    DX_CloseEnvironment(env);
    std::remove(in.c_str());
    std::remove(out.c_str());
  }
  // Opens `text` as input and reads its dictionary.
  void open_input(const std::string& text) {
    write_file(in, text);
    ASSERT_EQ(DX_OpenInputFile(env, kIn, in.c_str()), 0) << DX_GetErrorMsg(env);
    ASSERT_EQ(DX_ReadDict(env), 2) << DX_GetErrorMsg(env);
  }
  std::string message() {
    const char* m = DX_GetErrorMsg(env);
    return m ? m : "";
  }
  Registered registered;
  int32_t env = -1;
  std::string in, out;
};

TEST_F(Pipeline, ReadDictNeedsAnOpenInput) { EXPECT_EQ(DX_ReadDict(env), -1); }

TEST_F(Pipeline, MissingInputFileIsReported) {
  std::string path = temp_path("absent.txt");
  EXPECT_EQ(DX_OpenInputFile(env, kIn, path.c_str()), -1);
  EXPECT_EQ(message(), "The file: " + path + " does not exist.");
}

TEST_F(Pipeline, UnbuiltReaderIsRefusedByName) {
  write_file(in, "x\n1\n");
  EXPECT_EQ(DX_OpenInputFile(env, 37, in.c_str()), -1);
  EXPECT_NE(message().find("Minitab worksheet"), std::string::npos) << message();
  EXPECT_EQ(DX_OpenInputFile(env, 50, in.c_str()), -1);  // names no format
}

TEST_F(Pipeline, MovesEveryCaseAndWritesThem) {
  open_input(cases_file(3) + "4 .\n");
  ASSERT_EQ(DX_OpenOutFile(env, kOut, out.c_str()), 0) << message();
  EXPECT_EQ(DX_TransferAllRecords(env), 4);
  EXPECT_EQ(DX_GetCasesMoved(env), 4);
  EXPECT_EQ(DX_GetCasesDropped(env), 0);
  EXPECT_EQ(DX_CloseFiles(env), 0);
  EXPECT_EQ(DX_GetErrorMsg(env), nullptr);  // the close empties the message
  EXPECT_EQ(read_file(out), "x $s\n1 s1\n2 s2\n3 s3\n4 .\n");
}

TEST_F(Pipeline, CaseWindowLimitsTheCasesMoved) {
  struct Case {
    int first, last, total, moved;
    const char* first_line;
  } cases[] = {
      {0, 10, 20, 10, "1 s1"}, {0, 10, 4, 4, "1 s1"}, {5, 0, 20, 16, "5 s5"}, {5, 7, 20, 3, "5 s5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "first " << c.first << " last " << c.last);
    open_input(cases_file(c.total));
    DX_SetOption(env, 65, c.first, nullptr);
    DX_SetOption(env, 66, c.last, nullptr);
    ASSERT_EQ(DX_OpenOutFile(env, kOut, out.c_str()), 0);
    EXPECT_EQ(DX_TransferAllRecords(env), c.moved);
    EXPECT_EQ(DX_CloseFiles(env), 0);
    std::string text = read_file(out);
    EXPECT_EQ(text.substr(5, std::strlen(c.first_line)), c.first_line);
  }
}

TEST_F(Pipeline, WhereNeverTrueMovesNothing) {
  open_input(cases_file(12));
  ASSERT_EQ(DX_ParseWhere(env, "WHERE x > 1000", 1), 0) << message();
  ASSERT_EQ(DX_OpenOutFile(env, kOut, out.c_str()), 0);
  EXPECT_EQ(DX_TransferAllRecords(env), 0);
  EXPECT_EQ(DX_CloseFiles(env), 0);
  EXPECT_EQ(read_file(out), "x $s\n");
}

TEST_F(Pipeline, WhereSelectsCases) {
  open_input(cases_file(12));
  ASSERT_EQ(DX_ParseWhere(env, "x > 9", 1), 0) << message();
  ASSERT_EQ(DX_OpenOutFile(env, kOut, out.c_str()), 0);
  EXPECT_EQ(DX_TransferAllRecords(env), 3);
}

TEST_F(Pipeline, PercentNeedsAnnouncedCountAndStaysWithin100) {
  open_input(cases_file(20));
  ASSERT_EQ(DX_OpenOutFile(env, kOut, out.c_str()), 0);
  EXPECT_EQ(DX_GetPercentTransferred(env), -1);
  DX_CloseFiles(env);

  g_announce = 10;  // fewer than the file holds: the percentage must still stop at 100
  open_input(cases_file(40));
  DX_SetOption(env, 141, 1, nullptr);  // the count is wrong on purpose here
  ASSERT_EQ(DX_OpenOutFile(env, kOut, out.c_str()), 0);
  int32_t last = 0;
  for (int i = 0; i < 40; ++i) {
    ASSERT_EQ(DX_TransferOneRecord(env), 0);
    int32_t p = DX_GetPercentTransferred(env);
    EXPECT_GE(p, last);
    EXPECT_LE(p, 100);
    last = p;
  }
  EXPECT_EQ(last, 100);
  EXPECT_EQ(DX_TransferOneRecord(env), -1);  // end of data
}

// A reader whose data ends after another number of cases than it announced has lost (or made
// up) cases: the transfer fails, names both numbers and leaves no output behind, unless
// numbered option 141 turns the comparison off.
TEST_F(Pipeline, CaseCountOtherThanAnnouncedFailsTheTransfer) {
  struct Case {
    uint32_t announced;
    int held;
    bool compare;
  } cases[] = {{5, 3, true}, {3, 5, true}, {5, 3, false}, {4, 4, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.announced << " announced, " << c.held << " held");
    g_announce = c.announced;
    open_input(cases_file(c.held));
    DX_SetOption(env, 141, c.compare ? 0 : 1, nullptr);
    ASSERT_EQ(DX_OpenOutFile(env, kOut, out.c_str()), 0) << message();
    const bool fails = c.compare && static_cast<int>(c.announced) != c.held;
    const int32_t moved = DX_TransferAllRecords(env);
    if (fails) {
      EXPECT_LT(moved, 0);
      EXPECT_NE(message().find("announced " + std::to_string(c.announced) + " cases but the data ended after " +
                               std::to_string(c.held) + " cases"),
                std::string::npos)
          << message();
      DX_CloseFiles(env);
      EXPECT_FALSE(file_exists(out));
    } else {
      EXPECT_EQ(moved, c.held);
      EXPECT_EQ(DX_CloseFiles(env), 0);
      EXPECT_TRUE(file_exists(out));
    }
  }
  // Read-only delivery: the end of the data fails the same way, and a second pass after a
  // restore starts counting afresh.
  g_announce = 3;
  open_input(cases_file(3));
  ASSERT_EQ(DX_InitReadOnly(env), 0);
  ASSERT_EQ(DX_SavePosn(env), 0);
  for (int pass = 0; pass < 2; ++pass) {
    for (int i = 0; i < 3; ++i) ASSERT_EQ(DX_ReadRecord(env), 0) << message();
    if (pass == 0) ASSERT_EQ(DX_RestorePosn(env), 0);
  }
  EXPECT_EQ(DX_ReadRecord(env), -1);
  DX_CloseFiles(env);
  g_announce = 4;
  open_input(cases_file(3));
  ASSERT_EQ(DX_InitReadOnly(env), 0);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(DX_ReadRecord(env), 0);
  EXPECT_EQ(DX_ReadRecord(env), -2);
  EXPECT_NE(message().find("announced 4 cases"), std::string::npos) << message();
}

int32_t refuse(int32_t, const char*, int32_t, int64_t calls) {
  ++*reinterpret_cast<int*>(calls);
  return 0;
}
int32_t allow(int32_t, const char*, int32_t, int64_t calls) {
  ++*reinterpret_cast<int*>(calls);
  return 1;
}

TEST_F(Pipeline, RefusedOverwriteLeavesTheFileUntouched) {
  const std::string before = std::string("keep me\0\x01\xff", 10);
  write_file(out, before);
  open_input(cases_file(3));
  int calls = 0;
  DX_SetCallbackFunc(env, 1, reinterpret_cast<int64_t>(&calls), refuse);
  EXPECT_EQ(DX_OpenOutFile(env, kOut, out.c_str()), -6);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(DX_TransferAllRecords(env), -3);  // no output is open
  EXPECT_EQ(DX_CloseFiles(env), 0);
  EXPECT_EQ(read_file(out), before);

  // Allowed, the file is replaced; without flag bit 0 nobody is asked.
  for (int flags : {1, 0}) {
    calls = 0;
    open_input(cases_file(1));
    DX_SetCallbackFunc(env, flags, reinterpret_cast<int64_t>(&calls), allow);
    ASSERT_EQ(DX_OpenOutFile(env, kOut, out.c_str()), 0);
    EXPECT_EQ(calls, flags);
    EXPECT_EQ(DX_TransferAllRecords(env), 1);
    EXPECT_EQ(DX_CloseFiles(env), 0);
    EXPECT_EQ(read_file(out), "x $s\n1 s1\n");
  }
}

TEST_F(Pipeline, OutputCodesThatCannotBeWritten) {
  open_input(cases_file(2));
  EXPECT_EQ(DX_OpenOutFile(env, 21, out.c_str()), -2);  // SigmaPlot: read only
  for (int32_t code : {70, 128, 36, 37, -1}) {
    SCOPED_TRACE(code);
    EXPECT_EQ(DX_OpenOutFile(env, code, out.c_str()), -3);
    EXPECT_EQ(message(), "Invalid file format for writing");
  }
  EXPECT_FALSE(file_exists(out));
  // The input survives a failed output open: another code still works.
  ASSERT_EQ(DX_OpenOutFile(env, kOut, out.c_str()), 0);
  EXPECT_EQ(DX_TransferAllRecords(env), 2);
}

TEST_F(Pipeline, OutputThatCannotBeCreated) {
  open_input(cases_file(1));
  const std::string path = temp_path("no_such_dir/out.txt");
  EXPECT_EQ(DX_OpenOutFile(env, kOut, path.c_str()), -7);
  EXPECT_EQ(message(), "Error:\tCannot open output file: " + path +
                           ". \n\tPossible reason - requested file has <READ ONLY> attribute. \n\tProcessing will be stopped.");
  EXPECT_EQ(DX_OpenOutFile(env, kOut, "//server/share/out.txt"), -7);
  EXPECT_NE(message().find("You are trying to save file on the network drive"), std::string::npos);
}

TEST_F(Pipeline, OutputWithoutDictionaryIsRefused) { EXPECT_EQ(DX_OpenOutFile(env, kOut, out.c_str()), -1); }

TEST_F(Pipeline, VariableLimitOfTheOutputCode) {
  std::string header;
  for (int i = 0; i < 33; ++i) header += "v" + std::to_string(i) + " ";
  write_file(in, header + "\n");
  ASSERT_EQ(DX_OpenInputFile(env, kIn, in.c_str()), 0);
  ASSERT_EQ(DX_ReadDict(env), 33);
  FormatEntry before = format_set_ops(5, nullptr, &kWriter);  // dBASE III: 32 variables
  EXPECT_EQ(DX_OpenOutFile(env, 5, out.c_str()), -2);
  EXPECT_EQ(message(), "Too many variables for output file type\n -- The limit is 32 variables.");
  DX_SetVarSelect(env, 0, 0);
  EXPECT_EQ(DX_OpenOutFile(env, 5, out.c_str()), 0) << message();
  format_set_ops(5, before.reader, before.writer);
}

TEST_F(Pipeline, ReaderFailureComesBackWithItsMessage) {
  g_fail_read_at = 3;
  open_input(cases_file(5));
  ASSERT_EQ(DX_OpenOutFile(env, kOut, out.c_str()), 0);
  EXPECT_EQ(DX_TransferAllRecords(env), -3);
  EXPECT_EQ(message(), "Test reader stopped at case 3");
  EXPECT_EQ(DX_GetCasesMoved(env), 2);
  EXPECT_EQ(DX_CloseFiles(env), 0);
  // The environment is still usable.
  g_fail_read_at = 0;
  open_input(cases_file(2));
  ASSERT_EQ(DX_OpenOutFile(env, kOut, out.c_str()), 0);
  EXPECT_EQ(DX_TransferAllRecords(env), 2);
}

TEST_F(Pipeline, WriterOpenFailureRemovesTheHalfMadeFile) {
  g_fail_writer_open = true;
  open_input(cases_file(2));
  EXPECT_EQ(DX_OpenOutFile(env, kOut, out.c_str()), -4);
  EXPECT_FALSE(file_exists(out));
  EXPECT_EQ(DX_CloseFiles(env), 0);
}

TEST_F(Pipeline, WriterOpenFailureLeavesAPipeNamedAsOutputAlone) {
  // Only regular files are deleted: a device or pipe given as the output must survive.
  const std::string fifo = temp_path("out.fifo");
  std::remove(fifo.c_str());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);  // lets the writer's open go through
  ASSERT_GE(reader, 0);
  g_fail_writer_open = true;
  open_input(cases_file(2));
  EXPECT_EQ(DX_OpenOutFile(env, kOut, fifo.c_str()), -4);
  struct stat st;
  EXPECT_TRUE(stat(fifo.c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
  close(reader);
  std::remove(fifo.c_str());
}

TEST_F(Pipeline, OneAndNRecords) {
  open_input(cases_file(7));
  EXPECT_EQ(DX_TransferOneRecord(env), -3);  // no output yet
  ASSERT_EQ(DX_OpenOutFile(env, kOut, out.c_str()), 0);
  EXPECT_EQ(DX_TransferOneRecord(env), 0);
  EXPECT_EQ(DX_TransferNRecords(env, 4), 4);
  EXPECT_EQ(DX_TransferNRecords(env, 4), 2);  // stops at the end
  EXPECT_EQ(DX_TransferNRecords(env, 4), 0);
  EXPECT_EQ(DX_GetCasesMoved(env), 7);
}

TEST_F(Pipeline, ReadOnlyDeliversCasesAndPositionsRestore) {
  open_input(cases_file(5));
  EXPECT_EQ(DX_ReadRecord(env), -3);  // neither output nor read-only
  ASSERT_EQ(DX_InitReadOnly(env), 0);
  ASSERT_EQ(DX_SavePosn(env), 0);
  int n = 0;
  while (DX_ReadRecord(env) == 0) ++n;
  EXPECT_EQ(n, 5);
  EXPECT_EQ(DX_GetCasesMoved(env), 5);
  ASSERT_EQ(DX_RestorePosn(env), 0);
  EXPECT_EQ(DX_GetCasesMoved(env), 0);
  ASSERT_EQ(DX_ReadRecord(env), 0);
  double x = 0;
  EXPECT_EQ(DX_CopyVarDataNumb(env, 0, &x), 0);
  EXPECT_EQ(x, 1);
}

TEST_F(Pipeline, UserDictionaryWrittenCaseByCase) {
  ASSERT_EQ(DX_InitUserDict(env, 2), 0);
  ASSERT_EQ(DX_AddUserVar(env, 0, "n", 1, 8, 0), 0);
  ASSERT_EQ(DX_AddUserVar(env, 1, "t", 2, 10, 0), 0);
  EXPECT_EQ(DX_WriteRecord(env), -2);  // no output yet
  ASSERT_EQ(DX_OpenOutFile(env, kOut, out.c_str()), 0) << message();
  for (int i = 1; i <= 3; ++i) {
    double x = i * 1.5;
    DX_SetVarDouble(env, 0, &x);
    DX_SetVarString(env, 1, i == 2 ? "" : "abc");
    EXPECT_EQ(DX_WriteRecord(env), 0);
  }
  EXPECT_EQ(DX_GetCasesMoved(env), 3);
  EXPECT_EQ(DX_CloseFiles(env), 0);
  EXPECT_EQ(read_file(out), "n $t\n1.5 abc\n3 .\n4.5 abc\n");
}

TEST_F(Pipeline, TransferDataRunsTheWholeRoad) {
  write_file(in, cases_file(6));
  EXPECT_EQ(DX_TransferData(env, kIn, in.c_str(), kOut, out.c_str()), 6);
  EXPECT_EQ(read_file(out), cases_file(6));
  // A failure closes the files and keeps the reason.
  std::string absent = temp_path("nothing.txt");
  EXPECT_EQ(DX_TransferData(env, kIn, absent.c_str(), kOut, out.c_str()), -1);
  EXPECT_EQ(message(), "The file: " + absent + " does not exist.");
}

TEST_F(Pipeline, MembersAreListedAndChosen) {
  g_members = {"ALPHA", "beta"};
  write_file(in, cases_file(2));
  ASSERT_EQ(DX_OpenInputFile(env, kMemberIn, in.c_str()), 0);
  EXPECT_EQ(DX_FormatHasMembers(env), 1);
  EXPECT_EQ(DX_ReadMembers(env), 2);
  char name[256];
  EXPECT_EQ(DX_GetMemberName(env, 1, name), 4);
  EXPECT_STREQ(name, "beta");
  EXPECT_LT(DX_GetMemberName(env, 2, name), 0);
  EXPECT_EQ(DX_SetMember(env, "Beta"), 0);
  EXPECT_EQ(DX_SetMember(env, "gamma"), -1);
  EXPECT_EQ(DX_SetFirstMember(env), 0);
  EXPECT_EQ(DX_SetFirstMember(env + 100000), -99);
  EXPECT_EQ(DX_ReadDict(env), 2);

  open_input(cases_file(1));
  EXPECT_EQ(DX_FormatHasMembers(env), 0);
  EXPECT_EQ(DX_SetMember(env, "ALPHA"), -1);
}

TEST_F(Pipeline, ClosingTheEnvironmentFinishesTheFiles) {
  open_input(cases_file(3));
  ASSERT_EQ(DX_OpenOutFile(env, kOut, out.c_str()), 0);
  EXPECT_EQ(DX_TransferAllRecords(env), 3);
  ASSERT_EQ(DX_CloseEnvironment(env), 0);
  EXPECT_EQ(read_file(out), cases_file(3));
  env = DX_OpenEnvironment();
}

TEST_F(Pipeline, OpeningAnotherInputClosesTheFirst) {
  open_input(cases_file(2));
  ASSERT_EQ(DX_OpenOutFile(env, kOut, out.c_str()), 0);
  open_input(cases_file(3));  // runs the close: the first output is finished
  EXPECT_EQ(read_file(out), "x $s\n");
  ASSERT_EQ(DX_OpenOutFile(env, kOut, out.c_str()), 0);
  EXPECT_EQ(DX_TransferAllRecords(env), 3);
}


// Readers and writers that report a transcoding problem without a record number get the
// case in flight from the loop: the input case while reading, the output case while writing.
std::vector<int64_t> g_seen_reading, g_seen_writing;

TEST_F(Pipeline, TheEncodingLayerKnowsTheCaseInFlight) {
  static const FormatReaderOps reader = {
      .flags = 0, .open = nullptr, .read_dict = read_dict,
      .read_case = [](EnvRecord& e) {
        g_seen_reading.push_back(e.encoding.current_case);
        return read_case(e);
      },
      .save_position = nullptr, .restore_position = nullptr, .read_members = nullptr,
      .select_member = nullptr, .close = nullptr};
  static const FormatWriterOps writer = {
      .flags = 0, .open = writer_open,
      .write_case = [](EnvRecord& e) {
        g_seen_writing.push_back(e.encoding.current_case);
        return write_case(e);
      },
      .close = nullptr};
  g_seen_reading.clear();
  g_seen_writing.clear();
  format_set_ops(kIn, &reader, nullptr);
  format_set_ops(kOut, nullptr, &writer);
  open_input(cases_file(4));
  ASSERT_EQ(DX_ParseWhere(env, "x > 2", 1), 0) << message();
  ASSERT_EQ(DX_OpenOutFile(env, kOut, out.c_str()), 0) << message();
  EXPECT_EQ(DX_TransferAllRecords(env), 2);
  EXPECT_EQ(g_seen_reading, (std::vector<int64_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(g_seen_writing, (std::vector<int64_t>{1, 2}));
  EXPECT_EQ(env_from_handle(env)->encoding.current_case, 0);
}


TEST_F(Pipeline, TagsInAnotherEncodingAreReportedOnceAtClose) {
  static std::vector<std::string> log;
  static const uint32_t settings[4] = {0, 0, 0xFFFFFFFFu, 1};
  log.clear();
  ASSERT_EQ(DX_SetInfoCallback(env, 1 | 4, settings, 0, 0,
                               [](int32_t, const char* text, int32_t, int64_t) { log.push_back(text ? text : ""); }),
            0);
  const std::string note = "LIB: Some tags have encoding, different than UTF-8.";
  for (bool met : {true, false, true}) {
    open_input(cases_file(1));
    env_from_handle(env)->encoding.tags_not_utf8 = met;
    log.clear();
    ASSERT_EQ(DX_CloseFiles(env), 0);
    EXPECT_EQ(std::count(log.begin(), log.end(), note), met ? 1 : 0) << met;
    EXPECT_FALSE(env_from_handle(env)->encoding.tags_not_utf8);
  }
}

}  // namespace
