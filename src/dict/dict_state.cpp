#include "dict/dict_state.h"

#include "api/env_record.h"
#include "dict/dictionary.h"

namespace tabulon {

bool dict_env_open(EnvRecord&, int32_t) { return true; }

void dict_env_close(EnvRecord& env) { dict_clear(env.dict); }

}  // namespace tabulon
