#include "dates/date_state.h"

#include "api/env_record.h"

namespace tabulon {

bool date_env_open(EnvRecord&, int32_t) { return true; }
void date_env_close(EnvRecord&) {}

}  // namespace tabulon
