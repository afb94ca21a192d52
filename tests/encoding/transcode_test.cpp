#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "api/raise.h"
#include "engine/change_report.h"
#include "encoding/encoding_names.h"
#include "encoding/iconv_api.h"
#include "encoding/transcode.h"
#include "encoding/translit.h"
#include "encoding_fixture.h"

namespace tabulon::test {
namespace {

using Transcode = EncodingEnv;

// Expected bytes were produced with Python's codecs (str.encode) for the same texts.
TEST_F(Transcode, OutputMatchesReferenceCodecs) {
  struct Case {
    const char* encoding;
    const char* text;
    const char* hex;
  } cases[] = {
      {"WINDOWS-1252", "café €", "636166e92080"}, {"ISO-8859-15", "café €", "636166e920a4"},
      {"IBM850", "café", "63616682"},             {"ISO-8859-7", "αβγ", "e1e2e3"},
      {"WINDOWS-1251", "Привет", "cff0e8e2e5f2"},  {"KOI8-R", "Привет", "f0d2c9d7c5d4"},
      {"CP936", "中文", "d6d0cec4"},               {"BIG5", "中文", "a4a4a4e5"},
      {"SHIFT_JIS", "日本", "93fa967b"},           {"EUC-KR", "한국", "c7d1b1b9"},
      {"EUC-JP", "日本", "c6fccbdc"},              {"UTF-16LE", "é€", "e900ac20"},
      {"UTF-16BE", "é€", "00e920ac"},             {"UTF-32LE", "é", "e9000000"},
  };
  for (const Case& c : cases) {
    ConverterSlot& slot = output_to(c.encoding);
    ASSERT_TRUE(slot.has_descriptor()) << c.encoding;
    std::string out = transcode_to_string(*env, slot, c.text, strlen(c.text));
    EXPECT_EQ(hex(out), c.hex) << c.encoding;
    // And back through an input converter.
    env->encoding.file_encoding = c.encoding;
    ASSERT_EQ(open_input_converter(*env, 0, 0), 0) << c.encoding << all_log();
    std::string back = transcode_to_string(*env, env->encoding.input[0], out.data(), out.size());
    if (strncmp(c.encoding, "UTF-", 4) != 0) EXPECT_EQ(back, c.text) << c.encoding;
  }
}

TEST_F(Transcode, SystemAndCharResolveToTheLocaleCharset) {
  for (const char* name : {"system", "CHAR"}) {
    close_slot(env->encoding.input[0]);
    env->options.user_in_encoding = name;
    ASSERT_EQ(open_input_converter(*env, 0, 0), 0);
    const ConverterSlot& s = env->encoding.input[0];
    if (strcasecmp(system_charset(), "utf-8") == 0) {
      EXPECT_EQ(s.flags & 0xFF, 36u);
      EXPECT_FALSE(s.has_descriptor());
    } else {
      EXPECT_STRCASEEQ(s.from.c_str(), system_charset());
    }
    EXPECT_TRUE(logged(std::string("Default encoding [") + system_charset() + "] will be used for conversion of the input file."));
  }
}

TEST_F(Transcode, InputConverterRules) {
  // A declared UTF-8 input needs no converter.
  env->encoding.file_encoding = "utf-8";
  ASSERT_EQ(open_input_converter(*env, 0x8000, 2), 0);
  EXPECT_EQ(env->encoding.input[0].flags, 0x8000u | 0x200000u | 36u);
  EXPECT_FALSE(env->encoding.input[0].has_descriptor());
  EXPECT_TRUE(logged("LIB: <Input file encoder is allocated from entrypoint.>"));
  EXPECT_TRUE(logged("Input file encoding  is UFT-8, no conversion will be done"));
  EXPECT_TRUE(logged("Encoding name [utf-8] was obtained from the input file."));

  // Formats that open their own converter stop after the entry-point note.
  close_slot(env->encoding.input[0]);
  env->encoding.file_encoding = "latin1";
  ASSERT_EQ(open_input_converter(*env, 0x8000, 7), 0);
  EXPECT_TRUE(env->encoding.input[0].from.empty());

  // From the module: opened, classified, named in the LIB note.
  ASSERT_EQ(open_input_converter(*env, 0x4000, 7), 0);
  const ConverterSlot& s = env->encoding.input[0];
  EXPECT_TRUE(s.has_descriptor());
  EXPECT_EQ(s.flags, 0x4000u | 0x200000u | 0x1u);
  EXPECT_EQ(s.to, "UTF-8");
  EXPECT_TRUE(logged("LIB: <Input file encoding:[latin1] will be used>"));
  EXPECT_TRUE(logged("LIB: <Input file encoder is re-allocated allocated from module.>"));

  // The same name and request keep the converter.
  void* cd = s.cd;
  env->encoding.file_encoding = "LATIN1";
  ASSERT_EQ(open_input_converter(*env, 0x4000, 7), 0);
  EXPECT_EQ(env->encoding.input[0].cd, cd);

  // UTF-16 inputs end at the first zero unit.
  close_slot(env->encoding.input[0]);
  env->encoding.file_encoding = "UTF-16LE";
  ASSERT_EQ(open_input_converter(*env, 0, 0), 0);
  EXPECT_TRUE(env->encoding.input[0].flags & kSlotInUtf16);
  const char u16[] = {'h', 0, 'i', 0, 0, 0, 'x', 0};
  EXPECT_EQ(transcode_to_string(*env, env->encoding.input[0], u16, sizeof u16), "hi");
}

TEST_F(Transcode, UnknownNamesFailBeforeTheLibraryIsAsked) {
  env->encoding.file_encoding = "cp1252x";
  EXPECT_EQ(open_input_converter(*env, 0, 0), -1);
  EXPECT_FALSE(env->encoding.input[0].has_descriptor());
  EXPECT_TRUE(logged("LIB: <Requested encoding [cp1252x] is unknown.>"));
  EXPECT_TRUE(logged("Error:\tRequested encoding \"cp1252x\" is not supported by this version of Tabulon"));
  EXPECT_STREQ(DX_GetErrorMsg(handle), "Requested encoding \"cp1252x\" is not supported by this version of Tabulon");

  env->options.user_out_encoding = "latin-99";
  EXPECT_EQ(open_output_converter(*env, 0, 0), -1);
  EXPECT_TRUE(logged("Requested encoding \"latin-99\" is not supported by this version of Tabulon"));

  // In the tables but refused by the conversion library.
  close_slot(env->encoding.output[0]);
  env->options.user_out_encoding = "MACROMANIAN";
  EXPECT_EQ(open_output_converter(*env, 0, 0), -2);
  EXPECT_TRUE(logged("Error:\tOutput file encoding MACROMANIAN could not be set."));
  env->encoding.file_encoding = "VPS";
  EXPECT_EQ(open_input_converter(*env, 0, 0), -1);
  EXPECT_TRUE(logged("Error:\tInput file encoding VPS could not be set"));
}

// glibc does not know "windows-950"; its "cp950" spelling is tried next.
TEST_F(Transcode, WindowsNamesAreRetriedAsCp) {
  ASSERT_EQ(iconv_open_mapped("UTF-8", "windows-950"), nullptr) << "the library learnt this name";
  env->encoding.file_encoding = "windows-950";
  ASSERT_EQ(open_input_converter(*env, 0, 0), 0) << all_log();
  EXPECT_EQ(env->encoding.input[0].from, "cp950");
  EXPECT_TRUE(env->encoding.input[0].flags & kSlotMultiByte);
  std::string big5 = "\xa4\xa4\xa4\xe5";
  EXPECT_EQ(transcode_to_string(*env, env->encoding.input[0], big5.data(), big5.size()), "中文");

  ConverterSlot& out = output_to("Windows-950");
  EXPECT_EQ(out.to, "cp950");
  EXPECT_EQ(hex(transcode_to_string(*env, out, "中文", 6)), "a4a4a4e5");
}

TEST_F(Transcode, OutputConverterRules) {
  // UTF-8 outputs need no converter.
  ConverterSlot& u = output_to("UTF-8");
  EXPECT_EQ(u.flags, 0x400000u | 36u);
  // Formats that take only UTF-8 ignore "out-encoding" and say so.
  close_slot(env->encoding.output[0]);
  env->options.user_out_encoding = "latin1";
  for (int code : {60, 22}) {
    log.clear();
    ASSERT_EQ(open_output_converter(*env, 0x8000, code), 0);
    EXPECT_TRUE(logged("Info:\tThe user defined encoding will be ignored, the output file will be written in UTF-8 encoding."))
        << code;
    EXPECT_EQ(env->encoding.output[0].flags & 36u, 36u) << code;
    EXPECT_FALSE(env->encoding.output[0].has_descriptor());
  }
  // An older SPSS release keeps the user's encoding.
  log.clear();
  ASSERT_EQ(open_output_converter(*env, 0, 22, 5), 0);
  EXPECT_FALSE(logged("will be ignored"));
  EXPECT_TRUE(env->encoding.output[0].has_descriptor());
  EXPECT_EQ(env->encoding.output[0].to, "latin1");
  EXPECT_TRUE(logged("LIB: <Output file encoding:[latin1] will be used.>"));
  // The same name again is kept.
  ASSERT_EQ(open_output_converter(*env, 0, 22, 5), 0);
  EXPECT_TRUE(logged("LIB: <The required encoder has been already allocated, let's use it:[latin1]>"));
  // Formats that open their own output converter stop at the entry point.
  close_slot(env->encoding.output[0]);
  ASSERT_EQ(open_output_converter(*env, 0x8000, 57), 0);
  EXPECT_TRUE(env->encoding.output[0].to.empty());
}

TEST_F(Transcode, DatabaseOutputsUseTheSessionEncoding) {
  env->options.user_out_encoding = "latin1";
  ASSERT_EQ(open_output_converter(*env, 0, 58, 0, nullptr), 0);
  EXPECT_EQ(env->encoding.output[0].to, "UTF-16LE");
  EXPECT_TRUE(logged("Info:\tSession encoding was not defined, the default encoding (UTF-16LE) has been set for writing to the output database"));
  DbSession user;
  user.user_encoding = "WINDOWS-1250";
  ASSERT_EQ(open_output_converter(*env, 0, 58, 0, &user), 0);
  EXPECT_EQ(env->encoding.output[0].to, "WINDOWS-1250");
  EXPECT_EQ(user.encoding, "WINDOWS-1250");
  EXPECT_TRUE(logged("Info:\tUser has set the session encoding [WINDOWS-1250]to write to the output database."));
  DbSession fresh;
  ASSERT_EQ(open_output_converter(*env, 0, 58, 0, &fresh), 0);
  EXPECT_TRUE(fresh.default_encoding);
  EXPECT_TRUE(logged("has been set for writing to from the output database"));
  // The forced name does not outlive its output.
  ASSERT_EQ(open_output_converter(*env, 0, 2), 0);
  EXPECT_EQ(env->encoding.output[0].to, "latin1");
}

TEST_F(Transcode, SasOutputsRecordTheEncodingNumber) {
  struct Case {
    const char* name;
    uint32_t number;
    bool descriptor;
    bool warning;
  } cases[] = {{"latin1", 29, true, false}, {"wlt1", 0, false, false} /* short names are not iconv names */,
               {"KOI8-R", 0, true, true},   {"UTF-16LE", 20, false, false},
               {"utf-8", 20, false, false}, {"CP936", 126, true, false}};
  for (const Case& c : cases) {
    close_slot(env->encoding.output[0]);
    log.clear();
    env->options.user_out_encoding = c.name;
    int32_t r = open_output_converter(*env, 0, 38);
    if (strcmp(c.name, "wlt1") == 0) {
      EXPECT_EQ(r, -1);
      continue;
    }
    ASSERT_EQ(r, 0) << c.name;
    EXPECT_EQ(env->encoding.sas_encoding_number, c.number) << c.name;
    EXPECT_EQ(env->encoding.output[0].has_descriptor(), c.descriptor) << c.name;
    EXPECT_EQ(logged("Warning:There is no appropriate SAS encoding that corresponds to KOI8-R.\n\tThe output SAS dataset"),
              c.warning)
        << c.name;
  }
}

TEST_F(Transcode, SubstitutionAndTheErrorReport) {
  ConverterSlot& slot = output_to("ISO-8859-1");
  int32_t result = -1, errors = 0;
  TranscodeCall call;
  call.context = "Error encoding output record, ";
  call.variable = 3;
  call.record = 7;
  call.result = &result;
  call.error_counter = &errors;
  const std::string in = "a\xff" "b";
  std::string out = transcode_to_string(*env, slot, in.data(), in.size(), call);
  EXPECT_EQ(out, "a_b");
  EXPECT_EQ(result, kTcSubstituted);
  EXPECT_EQ(errors, 1);
  EXPECT_EQ(env->encoding.error_budget, 99u);
  EXPECT_TRUE(logged("Info:\tVariable [3] Record [7] - Error encoding output record,  1 bytes were substituted with '_'"))
      << all_log();
  EXPECT_TRUE(logged("Info:\tData (first 64 bytes):  0x61('a') 0xFF('\xff') 0x62('b')"));
  // Counted for the closing report of changes, not reported as a failure.
  EXPECT_EQ(change_total(*env, ChangeKind::CharReplaced), 1);
}

TEST_F(Transcode, ReportsNameTheCaseInFlightWhenNoRecordIsGiven) {
  ConverterSlot& slot = output_to("ISO-8859-1");
  const std::string in = "a\xff";
  struct Case {
    int64_t in_flight, given;
    const char* context;
  } cases[] = {{4, 0, "Record [4] - "}, {4, 9, "Record [9] - "}, {0, 0, "Info:\t 1 bytes"}};
  for (const Case& c : cases) {
    log.clear();
    env->encoding.current_case = c.in_flight;
    TranscodeCall call;
    call.record = c.given;
    transcode_to_string(*env, slot, in.data(), in.size(), call);
    EXPECT_TRUE(logged(c.context)) << all_log();
    if (c.in_flight == 0) EXPECT_FALSE(logged("Record [")) << all_log();
  }
}

TEST_F(Transcode, TheErrorLimitStopsTheRun) {
  ConverterSlot& slot = output_to("ISO-8859-1");
  std::string bad(200, '\xff');
  char out[512];
  EXPECT_THROW(transcode_string(*env, slot, bad.data(), bad.size(), out, sizeof out), RaisedError);
  EXPECT_TRUE(logged(" 100 bytes were substituted with '_'")) << all_log();
  EXPECT_STREQ(DX_GetErrorMsg(handle),
               "The number of encoding errors exceeded the user-defined limit, execution will be stopped");
  EXPECT_EQ(env->encoding.error_budget, 0u);
  // The dump shows at most 64 bytes.
  EXPECT_EQ(count_logged("0xFF('"), 1);
  for (const auto& l : log)
    if (l.find("Data (first 64 bytes)") != std::string::npos) EXPECT_EQ(l.size(), std::string("Info:\tData (first 64 bytes): ").size() + 64 * 10);
}

TEST_F(Transcode, StopModeStopsAtTheFirstBadByte) {
  set_option(kOptEncSubChar, '_');
  set_option(kOptEncErrors, 0);  // "stop"
  ConverterSlot& slot = output_to("ASCII");
  const std::string in = "ok\xc3\x28";
  TranscodeCall call;
  call.context = "Error encoding output string, ";
  char out[32];
  EXPECT_THROW(transcode_string(*env, slot, in.data(), in.size(), out, sizeof out, call), RaisedError);
  EXPECT_TRUE(logged("Error:\tError encoding output string\n") || logged("Error:\tError encoding output string"));
  for (const auto& l : log)
    if (l.rfind("Error:\tError encoding", 0) == 0) EXPECT_EQ(l, "Error:\tError encoding output string");
  EXPECT_STREQ(DX_GetErrorMsg(handle),
               "An encoding error has been encountered, execution will be stopped. Please check your encoding options.");
}

TEST_F(Transcode, TransliterationComesBeforeSubstitution) {
  ConverterSlot& slot = output_to("ASCII");
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {{"\u00a9 2024", "(c) 2024"}, {"\u00a3" "5", "GBP5"},   {"\u00a5", "Y"},    {"\u00ab\u00a0x", "<< x"},
               {"\u2177", "viii"},          {"\u2190", "<-"},       {"\ufb03", "ffi"},  {"\ufb00", "ff"},
               {"\u00a1\u00a2", "!c"},      {"na\u00efve", "naive"}};
  for (const Case& c : cases) {
    int32_t result = -1;
    TranscodeCall call;
    call.result = &result;
    EXPECT_EQ(transcode_to_string(*env, slot, c.in, strlen(c.in), call), c.out) << c.in;
    EXPECT_EQ(result, kTcOk) << c.in;
  }
  EXPECT_EQ(env->encoding.error_budget, 100u);
  EXPECT_FALSE(logged("substituted"));
  // Sorted table, binary search.
  for (int i = 1; i < translit_row_count(); ++i) ASSERT_NE(find_translit(0x00A9), nullptr);
  EXPECT_EQ(find_translit(0x4E2D), nullptr);
  // A character with no stand-in is substituted once per byte.
  int32_t result = -1;
  TranscodeCall call;
  call.result = &result;
  EXPECT_EQ(transcode_to_string(*env, slot, "\u4e2d", 3, call), "___");
  EXPECT_EQ(result, kTcSubstituted);
}

// glibc spells the translating suffix "//TRANSLIT".
TEST_F(Transcode, TranslateModeUsesTheLibrarysTransliteration) {
  set_option(kOptOnEncodingError, 2);
  ConverterSlot& slot = output_to("ASCII");
  EXPECT_EQ(slot.to, "ASCII//TRANSLATE");
  EXPECT_EQ(transcode_to_string(*env, slot, "\u20ac", 3), "EUR");
}

TEST_F(Transcode, TruncationNeverSplitsACharacter) {
  struct Case {
    const char* encoding;  // "UTF-8": no converter, bytes are copied
    std::string in;
    size_t cap;            // buffer size, NUL included
    std::string out;
    bool truncated;
  } cases[] = {
      {"UTF-8", "a\xc3\xa9", 3, "a", true},
      {"UTF-8", "a\xc3\xa9", 4, "a\xc3\xa9", false},
      {"UTF-8", "\xe4\xb8\xad\xe6\x96\x87", 6, "\xe4\xb8\xad", true},
      {"UTF-8", "ab\xf0\x9f\x98\x80", 5, "ab", true},
      {"UTF-16LE", "\xc3\xa9\xc3\xa9", 4, std::string("\xe9\x00", 2), true},
      {"CP936", "\xe4\xb8\xad\xe6\x96\x87", 4, "\xd6\xd0", true},
      {"ISO-8859-1", "abcdef", 4, "abc", true},
      {"ISO-8859-1", "abc", 4, "abc", false},
  };
  for (const Case& c : cases) {
    ConverterSlot& slot = output_to(c.encoding);
    char out[16];
    memset(out, 'Z', sizeof out);
    int32_t result = -1;
    TranscodeCall call;
    call.result = &result;
    int64_t n = transcode_string(*env, slot, c.in.data(), c.in.size(), out, c.cap, call);
    EXPECT_EQ(std::string(out, static_cast<size_t>(n)), c.out) << c.encoding << " " << c.cap;
    EXPECT_EQ(out[n], '\0');
    EXPECT_EQ(result, c.truncated ? kTcTruncated : kTcOk) << c.encoding << " " << c.cap;
  }
  EXPECT_TRUE(logged("LIB: <The transcoded string was truncated from 6 to 3 bytes.>"));
}

// Single-byte inputs are decoded through a table; bytes with no character keep the error policy.
TEST_F(Transcode, SingleByteInputTable) {
  env->encoding.file_encoding = "WINDOWS-1252";
  ASSERT_EQ(open_input_converter(*env, 0, 0), 0);
  ConverterSlot& s = env->encoding.input[0];
  ASSERT_NE(s.byte_map, nullptr);
  EXPECT_EQ(transcode_to_string(*env, s, "\x80 caf\xe9", 6), "\xe2\x82\xac caf\xc3\xa9");
  int32_t result = -1;
  TranscodeCall call;
  call.result = &result;
  EXPECT_EQ(transcode_to_string(*env, s, "a\x81" "b", 3, call), "a_b");  // 0x81 is unassigned
  EXPECT_EQ(result, kTcSubstituted);
  char out[4];
  EXPECT_EQ(transcode_string(*env, s, "\xe9\xe9", 2, out, sizeof out, call), 2);
  EXPECT_STREQ(out, "\xc3\xa9");
  EXPECT_EQ(result, kTcTruncated);
}

TEST_F(Transcode, TrimDropsTrailingBlanks) {
  ConverterSlot& slot = output_to("ISO-8859-1");
  int32_t trimmed = -1;
  TranscodeCall call;
  call.trim = true;
  call.trimmed = &trimmed;
  char out[32];
  int64_t n = transcode_string(*env, slot, "caf\xc3\xa9   ", 8, out, sizeof out, call);
  EXPECT_EQ(std::string(out, static_cast<size_t>(n)), "caf\xe9");
  EXPECT_EQ(trimmed, 3);
}

// Texts of printable ASCII are copied without the library, but only where that is exact.
TEST_F(Transcode, AsciiFastPathOnlyWhereAsciiIsUnchanged) {
  EXPECT_TRUE(output_to("ISO-8859-1").ascii_identity);
  EXPECT_TRUE(output_to("CP936").ascii_identity);
  EXPECT_FALSE(output_to("UTF-16LE").ascii_identity);
  // UTF-7 writes "+" as "+-", EBCDIC moves every letter; ISO-2022-JP must close its escapes.
  ASSERT_EQ(open_aux_converter(*env, kDirOther, 1, "UTF-8", "UTF-7"), 0);
  EXPECT_FALSE(env->encoding.other[1].ascii_identity);
  EXPECT_EQ(transcode_to_string(*env, env->encoding.other[1], "a+b", 3), "a+-b");
  ASSERT_EQ(open_aux_converter(*env, kDirOther, 2, "UTF-8", "IBM037"), 0);
  EXPECT_FALSE(env->encoding.other[2].ascii_identity);
  EXPECT_EQ(hex(transcode_to_string(*env, env->encoding.other[2], "AB", 2)), "c1c2");
  ConverterSlot& jp = output_to("ISO-2022-JP");
  EXPECT_EQ(transcode_to_string(*env, jp, "\xe6\x97\xa5x", 4), "\x1b$BF|\x1b(Bx");
  EXPECT_EQ(transcode_to_string(*env, jp, "\xe6\x97\xa5", 3), "\x1b$BF|\x1b(B");
}

TEST_F(Transcode, AuxiliaryConverters) {
  ASSERT_EQ(open_aux_converter(*env, kDirOutput, 1, "UTF-8", "ASCII"), 0);
  EXPECT_EQ(env->encoding.output[1].flags, 0x400000u | 0x4u);
  EXPECT_TRUE(logged("LIB: <Auxiliary output encoder[1] for UTF-8/ASCII converter was opened.>"));
  ASSERT_EQ(open_aux_converter(*env, kDirInput, 2, "system", "UTF-8"), 0);
  EXPECT_EQ(env->encoding.input[2].flags, 0x200000u);
  EXPECT_TRUE(logged(std::string("Info:\tDefault input encoding [") + system_charset() +
                     "] will be used for the auixliary input encoder[2]."));
  EXPECT_EQ(open_aux_converter(*env, kDirOutput, 2, "UTF-8", "NOPE"), -1);
  EXPECT_TRUE(logged("Error:\tAuxiliary output encoder for UTF-8/NOPE converter could not be open."));
  EXPECT_FALSE(env->encoding.output[2].has_descriptor());

  // Through the exported functions.
  EXPECT_EQ(dxi_alloc_converter(handle, 3, 0, 4, "ISO-8859-1", "UTF-8"), 0);
  char out[16];
  int32_t errors = 0;
  EXPECT_EQ(dxi_alloc_encode_string_env(handle, 3, 4, "\xe9t\xe9  ", 5, out, sizeof out, 1, "ctx, ", 0, 0, &errors), 5);
  EXPECT_STREQ(out, "\xc3\xa9t\xc3\xa9");
  EXPECT_EQ(dxi_close_converter(handle, 3, 4), 0);
  EXPECT_FALSE(env->encoding.other[4].has_descriptor());
  EXPECT_EQ(dxi_alloc_converter(handle, 4, 0, 1, "UTF-8", "ASCII"), -1);
  EXPECT_EQ(dxi_alloc_converter(handle, 2, 0, 4, "UTF-8", "ASCII"), -1);
  EXPECT_EQ(dxi_close_converter(handle, 1, 5), -1);
}

TEST_F(Transcode, FreeStandingEncoders) {
  void* cd = DX_OpenEncoder(handle, "UTF-8", "ISO-8859-1");
  ASSERT_NE(cd, nullptr);
  char* out = nullptr;
  int32_t cap = 0;
  EXPECT_EQ(DX_EncodeData(handle, cd, "caf\xe9", 4, &out, &cap), 5);
  ASSERT_NE(out, nullptr);
  EXPECT_STREQ(out, "caf\xc3\xa9");
  EXPECT_EQ(cap, 6);
  free(out);
  char fixed[4];
  char* fp = fixed;
  int32_t fcap = sizeof fixed;
  EXPECT_EQ(DX_EncodeData(handle, cd, "caf\xe9", 4, &fp, &fcap), 3);
  EXPECT_STREQ(fixed, "caf");
  EXPECT_EQ(DX_CloseEncoder(handle, cd), 0);
  EXPECT_EQ(DX_CloseEncoder(handle, nullptr), -1);

  void* sys = DX_OpenEncoder(handle, "system", "CHAR");
  ASSERT_NE(sys, nullptr);
  EXPECT_TRUE(logged(std::string("Info:\tDefault input  encoding [") + system_charset() + "] will be used"));
  EXPECT_TRUE(logged(std::string("Info:\tDefault output encoding [") + system_charset() + "] will be used"));
  EXPECT_EQ(DX_CloseEncoder(handle, sys), 0);
  EXPECT_EQ(DX_OpenEncoder(handle, "UTF-8", "NOPE"), nullptr);
  EXPECT_TRUE(logged("Error:\tAuxiliary input encoder for NOPE/UTF-8 converter could not be opened."));
  EXPECT_EQ(DX_OpenEncoder(-5, "UTF-8", "ASCII"), nullptr);
}

TEST(ByteOrderMarks, Detection) {
  struct Case {
    std::string head;
    const char* name;
    int skip;
  } cases[] = {
      {"\xef\xbb\xbfhi", "UTF-8", 3},
      {std::string("\xff\xfe\x00\x00", 4), "UTF-32LE", 4},
      {std::string("\xff\xfeh\x00", 4), "UTF-16LE", 2},
      {"\xfe\xff", "UTF-16BE", 2},
      {std::string("\x00\x00\xfe\xff", 4), "UTF-32BE", 4},
      {"\xef\xbb", nullptr, 0},
      {"plain", nullptr, 0},
      {"", nullptr, 0},
  };
  for (const Case& c : cases) {
    int skip = -1;
    const char* got = detect_bom(reinterpret_cast<const unsigned char*>(c.head.data()), c.head.size(), &skip);
    if (c.name) {
      ASSERT_NE(got, nullptr) << hex(c.head);
      EXPECT_STREQ(got, c.name);
    } else {
      EXPECT_EQ(got, nullptr) << hex(c.head);
    }
    EXPECT_EQ(skip, c.skip) << hex(c.head);
  }
}

TEST_F(Transcode, ByteOrderMarkMessagesAndDeclaredEncoding) {
  int skip = 0;
  const unsigned char be32[] = {0, 0, 0xFE, 0xFF};
  detect_bom_report(*env, be32, 4, &skip);
  EXPECT_TRUE(logged("Info:\tBOM was detected, the file encoding is UTF-32BE."));
  EXPECT_EQ(env->encoding.file_encoding, "UTF-32BE");
  const unsigned char u8[] = {0xEF, 0xBB, 0xBF};
  detect_bom_report(*env, u8, 3, &skip);
  EXPECT_TRUE(logged("Info:\tBOM (Byte Order Mark) was detected, the file encoding is UTF-8."));
  EXPECT_EQ(env->encoding.file_encoding, "UTF-8");
  const unsigned char none[] = {'a', 'b'};
  EXPECT_EQ(detect_bom_report(*env, none, 2, &skip), nullptr);
  EXPECT_TRUE(logged("BOM (Byte Order Mark) was not detected, the user defined / system default encoding will be used."));
  EXPECT_EQ(env->encoding.file_encoding, "UTF-8");
}

// Counts the library calls made through the bound entry points while alive; the table is
// restored on scope exit.
class CountingIconv {
 public:
  CountingIconv() {
    EXPECT_TRUE(bind_iconv_api());
    IconvApi& api = const_cast<IconvApi&>(iconv_api());
    saved_ = api;
    real_ = api;
    opens = convs = 0;
    api.open = [](const char* to, const char* from) { ++opens; return real_.open(to, from); };
    api.conv = [](void* cd, char** in, size_t* il, char** out, size_t* ol) {
      ++convs;
      return real_.conv(cd, in, il, out, ol);
    };
  }
  ~CountingIconv() { const_cast<IconvApi&>(iconv_api()) = saved_; }
  static inline int opens = 0;
  static inline int convs = 0;

 private:
  static inline IconvApi real_;
  IconvApi saved_;
};

TEST_F(Transcode, Utf8ToUtf8NeverAsksTheLibrary) {
  CountingIconv counting;
  env->encoding.file_encoding = "UTF-8";
  ASSERT_EQ(open_input_converter(*env, 0x8000, 2), 0);
  ConverterSlot& in = env->encoding.input[0];
  ConverterSlot& out = output_to("UTF-8");
  struct Case {
    const char* text;
    const char* expect;
  } cases[] = {
      {"plain ascii 123", "plain ascii 123"},
      {"", ""},
      {"caf\xc3\xa9 \xe6\x97\xa5\xf0\x9f\x98\x80", "caf\xc3\xa9 \xe6\x97\xa5\xf0\x9f\x98\x80"},
  };
  for (const Case& c : cases) {
    std::string mid = transcode_to_string(*env, in, c.text, strlen(c.text));
    EXPECT_EQ(mid, c.expect);
    EXPECT_EQ(transcode_to_string(*env, out, mid.data(), mid.size()), c.expect);
  }
  EXPECT_FALSE(in.has_descriptor());
  EXPECT_FALSE(out.has_descriptor());
  EXPECT_EQ(CountingIconv::opens, 0);
  EXPECT_EQ(CountingIconv::convs, 0);

  // Control: a real target does go through the counted table, and ASCII text then takes the
  // fast path without a conversion call.
  ConverterSlot& latin = output_to("ISO-8859-1");
  EXPECT_EQ(CountingIconv::opens, 1);
  int after_open = CountingIconv::convs;
  EXPECT_EQ(transcode_to_string(*env, latin, "plain ascii", 11), "plain ascii");
  EXPECT_EQ(CountingIconv::convs, after_open);
  EXPECT_EQ(transcode_to_string(*env, latin, "caf\xc3\xa9", 5), "caf\xe9");
  EXPECT_GT(CountingIconv::convs, after_open);
}

}  // namespace
}  // namespace tabulon::test
