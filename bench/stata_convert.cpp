// Converts between Stata and delimited text through the public API and prints the seconds
// the conversion took. The format follows the extension (.dta Stata, anything else text).
// Usage: bench_stata_convert IN OUT [STATA_VERSION]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tabulon/tabulon.h"

namespace {

int32_t code_of(const char* path) {
  const char* dot = std::strrchr(path, '.');
  return dot && std::strcmp(dot, ".dta") == 0 ? 14 : 18;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s IN OUT [STATA_VERSION]\n", argv[0]);
    return 2;
  }
  const auto t0 = std::chrono::steady_clock::now();
  const int32_t env = DX_OpenEnvironment();
  if (argc > 3) DX_SetOption(env, 77, static_cast<int32_t>(std::strtol(argv[3], nullptr, 0)), nullptr);
  int32_t rc = DX_OpenInputFile(env, code_of(argv[1]), argv[1]);
  if (rc >= 0) rc = DX_ReadDict(env);
  if (rc >= 0) rc = DX_OpenOutFile(env, code_of(argv[2]), argv[2]);
  if (rc >= 0) rc = DX_TransferAllRecords(env);
  if (rc < 0) std::fprintf(stderr, "failed (%d): %s\n", rc, DX_GetErrorMsg(env));
  DX_CloseFiles(env);
  DX_CloseEnvironment(env);
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("%.3f\n", s);
  return rc < 0 ? 1 : 0;
}
