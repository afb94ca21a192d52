#include "engine/transfer_state.h"

#include "api/env_record.h"
#include "engine/db_driver.h"
#include "engine/optimize.h"
#include "engine/transfer.h"

namespace tabulon {

void DriverSlotDeleter::operator()(DriverSlot* slot) const noexcept {
  if (!slot) return;
  driver_unload(*slot);
  delete slot;
}

void OptimizeStateDeleter::operator()(OptimizeState* state) const noexcept { delete state; }

bool transfer_env_open(EnvRecord&, int32_t) { return true; }

void transfer_env_close(EnvRecord& env) {
  // Files first (the writer may still need its driver), then the drivers.
  transfer_close_files(env);
  env.transfer.input_driver.reset();
  env.transfer.output_driver.reset();
  env.transfer = TransferState{};
}

}  // namespace tabulon
