/* One transfer through the C API, as a host program drives it:
     host IN_CODE IN_PATH OUT_CODE OUT_PATH [OPTION=VALUE ...]
   Each OPTION=VALUE sets a numbered option before the input is opened. The library's messages
   go to stderr; the exit code is 0 only when the output was closed without error. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tabulon/tabulon.h"

static void log_cb(int32_t level, const char* text, int32_t category, int64_t user) {
  (void)level;
  (void)category;
  (void)user;
  fprintf(stderr, "%s\n", text);
}

int main(int argc, char** argv) {
  if (argc < 5) {
    fprintf(stderr, "usage: %s IN_CODE IN_PATH OUT_CODE OUT_PATH [OPTION=VALUE ...]\n", argv[0]);
    return 2;
  }
  int env = DX_OpenEnvironment();
  const uint32_t masks[4] = {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu};
  DX_SetInfoCallback(env, -1, masks, 0, 0, log_cb);
  for (int i = 5; i < argc; ++i) {
    const char* eq = strchr(argv[i], '=');
    if (!eq) return 2;
    DX_SetOption(env, atoi(argv[i]), atoi(eq + 1), NULL);
  }
  int r = DX_OpenInputFile(env, atoi(argv[1]), argv[2]);
  if (r >= 0) r = DX_ReadDict(env);
  if (r >= 0) r = DX_OpenOutFile(env, atoi(argv[3]), argv[4]);
  if (r >= 0) r = DX_TransferAllRecords(env);
  if (r < 0) {
    fprintf(stderr, "transfer failed (%d): %s\n", r, DX_GetErrorMsg(env));
    DX_CloseFiles(env);
    DX_CloseEnvironment(env);
    return 1;
  }
  r = DX_CloseFiles(env);
  DX_CloseEnvironment(env);
  return r < 0;
}
