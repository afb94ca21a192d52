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
static char last_message[512];
static void on_info(int32_t level, const char *text, int32_t category, int64_t user) {
  (void)level; (void)category; (void)user;
  ++messages_seen;
  strncpy(last_message, text, sizeof last_message - 1);
}

/* A dictionary built by the host: values, a value label and a warning message. */
static void user_dictionary(int32_t env) {
  void *slot = NULL;
  const char *label = NULL;
  const char *value = NULL;
  int32_t type = 0, status = 0;
  double x = 2.0, out = 0;
  char buf[1024];
  static char long_value[40000];

  CHECK(DX_InitUserDict(env, 3) == 0);
  CHECK(DX_AddUserVar(env, 0, "id", API_NUMERIC, 6, 0) == 0);
  CHECK(DX_AddUserVar(env, 1, "town", API_STRING, 12, 0) == 0);
  CHECK(DX_AddUserVar(env, 2, "born", API_DATE, 10, 0) == 0);
  CHECK(DX_SetVarLabel(env, 1, "Town of residence") == 0);
  CHECK(strcmp(DX_GetVarName(env, 1), "town") == 0);
  CHECK(strcmp(DX_GetVarLabel(env, 1), "Town of residence") == 0);
  CHECK(DX_GetVarType(env, 2) == API_DATE);

  CHECK(DX_SetNValueLabels(env, 0, 2) == 0);
  CHECK(DX_SetValueLabel(env, 0, 2, "second") == 0);
  CHECK(DX_SetMissingValueLabel(env, 1, 27, "refused") == 0);
  CHECK(DX_GetNValueLabels(env, 0) == 2);
  CHECK(DX_GetValueLabelStr(env, 1, &value, &label) == 0 && value == NULL && strcmp(label, "refused") == 0);

  CHECK(DX_SetVarDouble(env, 0, &x) == 0);
  CHECK(DX_SetVarString(env, 1, "Bergen") == 0);
  CHECK(DX_SetVarMissing(env, 2) == 0);
  CHECK(DX_GetVarDataExt(env, 0, &slot, &label, &type) == 0);
  CHECK(type == API_LABELED && strcmp(label, "second") == 0);
  CHECK(DX_CopyVarDataNumb(env, 0, &out) == 0 && out == 2.0);
  CHECK(DX_CopyVarDataStr(env, 1, buf) == 6 && strcmp(buf, "Bergen") == 0);
  CHECK(DX_GetVarData(env, 2, &slot, &type) == 1);
  CHECK(DX_GetVarMissing(env, 2) == 1);
  CHECK(DX_GetVarDataVB(env, 1, buf, &status) == -99.0);
  CHECK(((unsigned char *)&status)[2] == 6);
  CHECK(DX_SetVarSelectName(env, "1-3", 0) == 2 && DX_GetVarSelect(env, 1) == 0);

  /* A value text over 32768 bytes is cut with a warning through the log callback. */
  CHECK(DX_SetNValueLabels(env, 1, 1) == 0);
  memset(long_value, 'v', sizeof long_value - 1);
  messages_seen = 0;
  CHECK(DX_SetValueLabelExt(env, 0, 0, long_value, "long") == 0);
  CHECK(messages_seen == 1);
  CHECK(strcmp(last_message, "Warning: Length of the submitted variable value will be limited to 32768 bytes") == 0);

  /* Failures leave their text for DX_GetErrorMsg. */
  CHECK(DX_DefineAsciiVar(env, 0, "f", API_NUMERIC, 5, 0, 1, 1) == 0);
  if (DX_DefineAsciiVar(env, -1, NULL, 0, 0, 0, 0, 0) != 0) {
    CHECK(DX_CopyErrorMsg(env, buf) > 0);
    CHECK(strlen(DX_GetErrorMsg(env)) > 0);
  }
  CHECK(DX_GetVarType(env, 99) == -1);
  CHECK(DX_GetVarType(-5, 0) == -99);
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
  user_dictionary(env);
  CHECK(DX_CloseEnvironment(env) == 0);
  CHECK(DX_CloseEnvironment(env) == -1);
  if (failures) return 1;
  printf("c api ok\n");
  return 0;
}
