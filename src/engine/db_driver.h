// Database sources: driver libraries loaded at run time, one slot per side.
//
// Library file names: the driver names of the table are mapped to Linux shared
// objects as "lib" + the name without its ".DLL" + ".so" ("DXODBC64" ->
// "libDXODBC64.so", "DXDBORA.DLL" -> "libDXDBORA.so"), searched the usual dlopen way
// (LD_LIBRARY_PATH, the cache), after the directory named by the environment
// variable TABULON_DRIVER_DIR when it is set.
//
// The entry points and the context they take are in driver_abi.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/driver_abi.h"

namespace tabulon {

struct EnvRecord;
struct VarRecord;

using DriverFn = TabulonDriverFn;

constexpr int kDriverParmCount = 12;
constexpr int kDriverSideInput = 1;
constexpr int kDriverSideOutput = 2;

struct DriverSource {
  std::string name;
  std::string description;
};

struct DriverSlot {
  int32_t driver_number = 0;  // 1..6, 0 = none loaded
  void* library = nullptr;
  DriverFn open_db = nullptr;
  DriverFn read_dict = nullptr;
  DriverFn rd_data = nullptr;
  DriverFn closer = nullptr;
  DriverFn wdict = nullptr;
  DriverFn wcase = nullptr;
  DriverFn closew = nullptr;
  DriverFn get_data_sources = nullptr;
  DriverFn rd_rewind = nullptr;  // optional: back to the first row of the table
  int32_t loads = 0;          // how many times a library was loaded into this slot
  int32_t wide = 0;           // parameter 9 "wide"
  std::string parms[kDriverParmCount];
  std::vector<DriverSource> sources;  // filled by get_data_sources
  std::vector<std::string> tables;    // filled by the driver's member listing
  std::string path;                   // what the open was given
  std::vector<VarRecord*> written;    // output side: the selected variables, in order
  TabulonDriverContext context{};     // handed to every entry point
};

// The slot of a side (1 input, 2 output), created on first use.
DriverSlot& driver_slot(EnvRecord& env, int side);
// Linux file name of a driver number ("libDXODBC64.so"); null for an unknown number.
const char* driver_library_name(int32_t driver_number, const EnvRecord& env);
// Makes driver `driver_number` loaded in the side's slot (kept when it already is).
// Raises "Cannot load library: %s:" on failure.
DriverSlot& driver_load(EnvRecord& env, int side, int32_t driver_number);
// Unloads the library of a slot and clears its entry points.
void driver_unload(DriverSlot& slot);

}  // namespace tabulon
