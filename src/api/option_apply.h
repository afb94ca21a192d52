// Applying the keyword option table to an environment.
#pragma once

#include <cstdint>

namespace tabulon {

struct EnvRecord;

// The settings record dxi_set_options fills for the host.
constexpr int kSettingsWords = 6;
enum SettingsWord {
  kSetCleared = 0,
  kSetStataLarge = 1,    // read: the Stata large edition is asked for
  kSetStataVersion = 2,  // the version chosen by the old-version handler
  kSetDropKeepMode = 3,  // 1 clear, 2 save
  kSetWhereMode = 4,     // 1 clear, 2 save
  kSetAutoOptimize = 5,
};

int32_t set_options(EnvRecord& env, int32_t output_code, int32_t* settings, int32_t output_only);
// "write-old-ver" for one output format code.
void apply_old_version(EnvRecord& env, int32_t output_code, int32_t* settings, const char* text);

}  // namespace tabulon
