/* Compiled as C: proves the public header is valid C and the library links from C. */
#include <stdio.h>
#include <string.h>

#include "tabulon/tabulon.h"

static int failures = 0;
#define CHECK(cond)                                                  \
  do {                                                               \
    if (!(cond)) {                                                   \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                    \
    }                                                                \
  } while (0)

static int messages_seen = 0;
static void on_info(int32_t level, const char *text, int32_t category, int64_t user) {
  (void)level; (void)text; (void)category; (void)user;
  ++messages_seen;
}

int main(void) {
  int32_t env = DX_OpenEnvironment();
  CHECK(env >= 0);
  CHECK(strcmp(DX_GetDLLVersion(), "12.1.196.1216") == 0);
  {
    uint32_t settings[4] = {0, 0, 0xFFFFFFFFu, 1};
    CHECK(DX_SetInfoCallback(env, 5, settings, 0, 0, on_info) == 0);
  }
  {
    char buf[256];
    CHECK(DX_CopyErrorMsg(env, buf) >= 0);
  }
  CHECK(DX_CloseEnvironment(env) == 0);
  CHECK(DX_CloseEnvironment(env) == -1);
  if (failures) return 1;
  printf("c api ok\n");
  return 0;
}
