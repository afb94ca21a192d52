// SAS transport files written by SAS itself (tests/fixtures/xpt, version 5 and version 8),
// compared with what an independent reader saw in them; formats and the data set's label too.
#include <algorithm>
#include <cctype>
#include <filesystem>

#include "formats/corpus_fixture.h"

namespace {

std::vector<std::string> transport_files() {
  std::vector<std::string> out;
  for (const auto& entry : std::filesystem::directory_iterator(corpus::fixture("xpt")))
    if (entry.path().extension() == ".xpt") out.push_back(entry.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

class XportCorpus : public ::testing::TestWithParam<std::string> {};

TEST_P(XportCorpus, ReadsAsSasWroteIt) {
  const std::string path = corpus::fixture("xpt/" + GetParam());
  const corpus::json want = corpus::expected(path);
  ASSERT_FALSE(want.is_null()) << "no expected contents";
  const auto diffs = corpus::compare(corpus::read(12, path), want);
  EXPECT_TRUE(diffs.empty()) << GetParam() << ":\n" << corpus::joined(diffs);

  // A format is a name ("DATE") or, for a number shown without one, only its width ("12").
  const int32_t h = DX_OpenEnvironment();
  ASSERT_GE(DX_OpenInputFile(h, 12, path.c_str()), 0) << DX_GetErrorMsg(h);
  ASSERT_GE(DX_ReadDict(h), 0) << DX_GetErrorMsg(h);
  const tabulon::EnvRecord& env = *tabulon::env_from_handle(h);
  const corpus::json& vars = want["variables"];
  ASSERT_EQ(env.dict.vars.size(), vars.size());
  for (size_t i = 0; i < vars.size(); ++i) {
    const tabulon::VarRecord& v = *env.dict.vars[i];
    const std::string format = vars[i]["format"].is_string() ? vars[i]["format"].get<std::string>() : "";
    if (!format.empty() && format.find_first_not_of("0123456789") == std::string::npos)
      EXPECT_EQ(std::to_string(v.input_attrs[0]), format) << v.name;
    else
      EXPECT_EQ(v.native_format, format) << v.name;
  }
  if (want.contains("data_label") && want["data_label"].is_string())
    EXPECT_EQ(env.dict.file_label, want["data_label"].get<std::string>());
  DX_CloseFiles(h);
  DX_CloseEnvironment(h);
}

INSTANTIATE_TEST_SUITE_P(Files, XportCorpus, ::testing::ValuesIn(transport_files()), [](const auto& info) {
  std::string n = info.param;
  for (auto& ch : n)
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  return n;
});

}  // namespace
