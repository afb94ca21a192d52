// Progress of a dictionary read that goes through the whole input (the type scan of text),
// for hosts that show it: DX_ReadDict returns only when the scan is over.
#pragma once

#include <cstdint>

namespace tabulon {

struct EnvRecord;

// How often a scan reports, in cases: a power of two, tested with a mask.
constexpr uint32_t kScanProgressEvery = 16384;

// Tells the host how far the scan has come: cases seen, bytes of the input read. `finished`:
// the scan went through the whole input and `cases` is the number of cases it holds.
void report_scan_progress(EnvRecord& env, int64_t cases, int64_t bytes_read, bool finished = false);

}  // namespace tabulon
