// SAS data sets written by SAS itself (32/64-bit, both byte orders, Windows, Linux, SunOS, AIX,
// RLE, deleted rows, late column text, many encodings) read through the public entry points and
// compared cell by cell with what an independent reader saw (FILE.expected.json).
#include "formats/corpus_fixture.h"

#include "api/env_record.h"
#include "tabulon/tabulon.h"

namespace {

constexpr int32_t kSas = 38;

std::string fixture(const std::string& name) { return corpus::fixture("sas/" + name); }

// Where the reference reader is wrong about the file: it missed the second column-text block,
// which SAS put on the last page, and took the format names from the first block.
struct Correction {
  const char* file;
  const char* variable;
  const char* format;
};
constexpr Correction kCorrections[] = {
    {"parso_54-class.sas7bdat", "Age", "F"},
    {"parso_54-class.sas7bdat", "Height", "F"},
};

std::string expected_format(const std::string& file, const std::string& variable, const corpus::json& w) {
  for (const Correction& c : kCorrections)
    if (file == c.file && variable == c.variable) return c.format;
  return w["format"].is_string() ? corpus::rtrim(w["format"].get<std::string>()) : std::string();
}

class SasCorpus : public ::testing::TestWithParam<const char*> {};

TEST_P(SasCorpus, EveryRowNameLabelFormatAndValueAsSasWroteThem) {
  const std::string file = GetParam();
  const std::string path = fixture(file);
  const corpus::json want = corpus::expected(path);
  ASSERT_FALSE(want.is_null()) << path;
  const corpus::Read got = corpus::read(kSas, path);
  const auto diffs = corpus::compare(got, want);
  EXPECT_TRUE(diffs.empty()) << file << ":\n" << corpus::joined(diffs);
  const corpus::json& vars = want["variables"];
  for (size_t k = 0; k < vars.size() && k < got.vars.size(); ++k) {
    const std::string fmt = expected_format(file, got.vars[k].name, vars[k]);
    // "$" stands for a text column without a format.
    if (fmt != "$") EXPECT_EQ(got.vars[k].native_format, fmt) << file << " " << got.vars[k].name;
  }
}

INSTANTIATE_TEST_SUITE_P(
    SasWritten, SasCorpus,
    ::testing::Values("haven_datetime.sas7bdat", "haven_hadley.sas7bdat", "pandas_airline.sas7bdat",
                      "pandas_productsales.sas7bdat", "pandas_test12.sas7bdat", "pandas_test13.sas7bdat",
                      "pandas_test2.sas7bdat", "pandas_test9.sas7bdat", "parso_54-class.sas7bdat",
                      "parso_charset_lat1.sas7bdat", "parso_charset_utf8.sas7bdat", "parso_charset_zwin.sas7bdat",
                      "parso_data_page_with_deleted.sas7bdat", "parso_fileserrors.sas7bdat",
                      "parso_time_formats.sas7bdat", "polars_bank8dte.sas7bdat", "pyreadstat_missing_test.sas7bdat",
                      "readstatrs_hasmissing.sas7bdat", "saslib_ahs2013_omov.sas7bdat",
                      "saslib_pooltest255.sas7bdat"),
    [](const ::testing::TestParamInfo<const char*>& info) {
      std::string name = info.param;
      name.resize(name.find('.'));
      for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      return name;
    });

// A data set without variables is refused with a message that says so, never a crash or a hang.
TEST(SasCorpus, DataSetWithoutVariablesIsRefusedClearly) {
  const corpus::Read got = corpus::read(kSas, fixture("pandas_zero_variables.sas7bdat"));
  EXPECT_LT(got.rc, 0);
  EXPECT_NE(got.error.find("has no variables"), std::string::npos) << got.error;
}

// A deleted row is skipped, counted in the dictionary stage's message, and the rows around it
// keep their order.
TEST(SasCorpus, DeletedRowIsSkippedAndCounted) {
  const corpus::Read got = corpus::read(kSas, fixture("parso_data_page_with_deleted.sas7bdat"));
  ASSERT_EQ(got.rc, 0) << got.error;
  EXPECT_EQ(got.rows.size(), 997u);
  bool summary = false;
  for (const auto& line : got.log)
    summary |= line.find("contains 998 physical records but 1 is marked as deleted") != std::string::npos;
  EXPECT_TRUE(summary);
}

}  // namespace

// The data set label, as SAS wrote it (R haven reads the same): carried to outputs that hold one.
TEST(SasCorpus, DataSetLabelAsSasWroteIt) {
  const struct {
    const char* file;
    const char* label;
  } cases[] = {
      {"pandas_airline.sas7bdat", "Written by SAS"},
      {"pandas_productsales.sas7bdat", "Furniture sales data"},
      {"haven_hadley.sas7bdat", ""},
  };
  for (const auto& c : cases) {
    const int32_t h = DX_OpenEnvironment();
    ASSERT_GE(DX_OpenInputFile(h, kSas, fixture(c.file).c_str()), 0) << c.file;
    ASSERT_GE(DX_ReadDict(h), 0) << c.file;
    const tabulon::EnvRecord* env = tabulon::env_from_handle(h);
    EXPECT_EQ(env->dict.file_label, c.label) << c.file;
    EXPECT_EQ(env->dict.has_file_label, *c.label != 0) << c.file;
    DX_CloseFiles(h);
    DX_CloseEnvironment(h);
  }
}
