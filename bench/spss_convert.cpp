// Converts a file to an SPSS system file through the public API and prints the seconds the
// conversion took. The input format follows the extension (.dta Stata, anything else text).
// Usage: bench_spss_convert IN OUT.sav [RELEASE]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tabulon/tabulon.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s IN OUT.sav [RELEASE]\n", argv[0]);
    return 2;
  }
  const auto t0 = std::chrono::steady_clock::now();
  const int32_t env = DX_OpenEnvironment();
  if (argc > 3) DX_SetOption(env, 77, static_cast<int32_t>(std::strtol(argv[3], nullptr, 0)), nullptr);
  const char* dot = std::strrchr(argv[1], '.');
  int32_t rc = DX_OpenInputFile(env, dot && std::strcmp(dot, ".dta") == 0 ? 14 : 18, argv[1]);
  if (rc >= 0) rc = DX_ReadDict(env);
  if (rc >= 0) rc = DX_OpenOutFile(env, 22, argv[2]);
  if (rc >= 0) rc = DX_TransferAllRecords(env);
  if (rc < 0) std::fprintf(stderr, "failed (%d): %s\n", rc, DX_GetErrorMsg(env));
  DX_CloseFiles(env);
  DX_CloseEnvironment(env);
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("%.3f\n", s);
  return rc < 0 ? 1 : 0;
}
