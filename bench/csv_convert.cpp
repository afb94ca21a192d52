// Converts a delimited text file to delimited text through the public API and prints the
// wall-clock and processor seconds the conversion took. Usage: bench_csv_convert IN.csv OUT.csv
#include <chrono>
#include <cstdio>
#include <ctime>

#include "tabulon/tabulon.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s IN.csv OUT.csv\n", argv[0]);
    return 2;
  }
  const auto t0 = std::chrono::steady_clock::now();
  const std::clock_t c0 = std::clock();
  const int32_t env = DX_OpenEnvironment();
  int32_t rc = DX_OpenInputFile(env, 18, argv[1]);
  if (rc >= 0) rc = DX_ReadDict(env);
  if (rc >= 0) rc = DX_OpenOutFile(env, 18, argv[2]);
  if (rc >= 0) rc = DX_TransferAllRecords(env);
  if (rc < 0) std::fprintf(stderr, "failed: %s\n", DX_GetErrorMsg(env));
  DX_CloseFiles(env);
  DX_CloseEnvironment(env);
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("%.3f %.3f\n", s, static_cast<double>(std::clock() - c0) / CLOCKS_PER_SEC);
  return rc < 0 ? 1 : 0;
}
