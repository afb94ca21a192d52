// SPSS system and portable files written by SPSS itself and by its I/O library, compared
// with what an independent reader saw in them.
#include "formats/corpus_fixture.h"

namespace {

struct CorpusFile {
  const char* name;
  int32_t code;
  bool user_missing_as_values = false;  // read as the expected contents show them
};

class SpssCorpus : public ::testing::TestWithParam<CorpusFile> {};

TEST_P(SpssCorpus, ReadsAsThePackageWroteIt) {
  const std::string path = corpus::fixture(std::string("spss/") + GetParam().name);
  const auto setup = [&](int32_t h) {
    if (GetParam().user_missing_as_values) DX_SetOption(h, 4, 2, nullptr);  // user-miss=none
  };
  const auto diffs = corpus::compare(corpus::read(GetParam().code, path, setup), corpus::expected(path));
  EXPECT_TRUE(diffs.empty()) << GetParam().name << ":\n" << corpus::joined(diffs);
}

INSTANTIATE_TEST_SUITE_P(Files, SpssCorpus,
                         ::testing::Values(CorpusFile{"foreign_testdata.sav", 22, true},
                                           CorpusFile{"haven_labelled-str.sav", 22},
                                           CorpusFile{"pyreadstat_ordered_category.sav", 22},
                                           CorpusFile{"pyreadstat_sample.sav", 22},
                                           CorpusFile{"srw_all_numeric_datetime_uncompressed.sav", 22},
                                           CorpusFile{"pyreadstat_sample.por", 13}),
                         [](const auto& info) {
                           std::string n = info.param.name;
                           for (auto& ch : n)
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return n;
                         });

}  // namespace
