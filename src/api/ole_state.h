// Process-wide OLE initialisation switch. There is no COM here: the state machine is
// kept so that hosts see the same answers, and our own compound-file layer needs none.
#pragma once

#include <cstdint>

namespace tabulon {

int32_t ole_state();
// Counts of the (simulated) COM calls, for tests.
int32_t ole_initialize_calls();
int32_t ole_uninitialize_calls();
void ole_uninitialize();

}  // namespace tabulon
