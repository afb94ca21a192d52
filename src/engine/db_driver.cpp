#include "engine/db_driver.h"

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "api/env_record.h"
#include "api/raise.h"
#if __has_include("api/option_slots.h")
#include "api/option_slots.h"
#define TABULON_HAVE_OPTION_SLOTS 1
#endif

namespace tabulon {

namespace {

constexpr int kOptSybaseClient = 80;

// Library names as the host knows them; the Linux file is "lib" + name + ".so".
const char* const kDriverNames[] = {nullptr,      "DXODBC64", "DXDBD32", "DXDBORA",
                                    "DXDBSQLS",   "DXDB2",    "DXDBSYB"};

template <class Fn>
Fn lookup(void* library, const char* name) {
  return reinterpret_cast<Fn>(dlsym(library, name));
}

}  // namespace

const char* driver_library_name(int32_t driver_number, const EnvRecord& env) {
  static thread_local std::string name;
  if (driver_number < 1 || driver_number > 6) return nullptr;
  const char* base = kDriverNames[driver_number];
  if (driver_number == 6) {
    const char* client = nullptr;
#ifdef TABULON_HAVE_OPTION_SLOTS
    client = option_text(env, kOptSybaseClient);
#else
    (void)env;
#endif
    if (client && (std::strcmp(client, "ct") == 0 || std::strcmp(client, "CT") == 0)) base = "DXDBSYBCT";
  }
  name = std::string("lib") + base + ".so";
  return name.c_str();
}

DriverSlot& driver_slot(EnvRecord& env, int side) {
  DriverSlotPtr& slot = side == kDriverSideOutput ? env.transfer.output_driver : env.transfer.input_driver;
  if (!slot) {
    slot.reset(new DriverSlot());
    slot->context.abi = TABULON_DRIVER_ABI;
  }
  slot->context.env = env.handle;
  slot->context.side = side;
  slot->context.message = env.driver_message;
  return *slot;
}

void driver_unload(DriverSlot& slot) {
  if (slot.library) dlclose(slot.library);
  slot.library = nullptr;
  slot.driver_number = 0;
  slot.open_db = slot.read_dict = slot.rd_data = slot.closer = nullptr;
  slot.wdict = slot.wcase = slot.closew = slot.get_data_sources = slot.rd_rewind = nullptr;
  slot.context.connection = nullptr;
}

DriverSlot& driver_load(EnvRecord& env, int side, int32_t driver_number) {
  DriverSlot& slot = driver_slot(env, side);
  if (slot.library && slot.driver_number == driver_number) return slot;
  driver_unload(slot);
  const char* file = driver_library_name(driver_number, env);
  if (!file) RaiseErrorF(env, "Cannot load library: %s:", "(unknown driver)");
  std::string file_name = file;

  void* library = nullptr;
  if (const char* dir = std::getenv("TABULON_DRIVER_DIR"); dir && *dir) {
    std::string full = std::string(dir) + "/" + file_name;
    library = dlopen(full.c_str(), RTLD_NOW | RTLD_LOCAL);
  }
  // Installed beside this library (where the build and `cmake --install` put it).
  if (!library) {
    Dl_info self{};
    if (dladdr(reinterpret_cast<void*>(&driver_library_name), &self) && self.dli_fname) {
      std::string dir = self.dli_fname;
      const size_t slash = dir.rfind('/');
      if (slash != std::string::npos) {
        dir.resize(slash);
        library = dlopen((dir + "/" + file_name).c_str(), RTLD_NOW | RTLD_LOCAL);
      }
    }
  }
  if (!library) library = dlopen(file_name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library) RaiseErrorF(env, "Cannot load library: %s:", file_name.c_str());

  DriverFn open_db = lookup<DriverFn>(library, "open_db");
  if (!open_db) {
    dlclose(library);
    RaiseErrorF(env, "Cannot load library: %s:", file_name.c_str());
  }
  slot.library = library;
  slot.driver_number = driver_number;
  slot.open_db = open_db;
  slot.read_dict = lookup<DriverFn>(library, "read_dict");
  slot.rd_data = lookup<DriverFn>(library, "rd_data");
  slot.closer = lookup<DriverFn>(library, "closer");
  slot.wdict = lookup<DriverFn>(library, "wdict");
  slot.wcase = lookup<DriverFn>(library, "wcase");
  slot.closew = lookup<DriverFn>(library, "closew");
  slot.get_data_sources = lookup<DriverFn>(library, "get_data_sources");
  slot.rd_rewind = lookup<DriverFn>(library, "rd_rewind");
  slot.loads++;
  return slot;
}

}  // namespace tabulon
