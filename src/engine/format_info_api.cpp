// The registry as hosts see it (the command-line tool lists formats with this).
#include "api/call_frame.h"
#include "engine/format_registry.h"

using namespace tabulon;

DX_EXPORT int32_t dxi_format_info(int32_t index, const char** name, const char** extensions, int32_t* canRead,
                                  int32_t* canWrite) {
  auto entries = format_entries();
  if (index < 0 || static_cast<size_t>(index) >= entries.size()) return -1;
  const FormatEntry& e = entries[index];
  if (name) *name = e.name;
  if (extensions) *extensions = e.extensions ? e.extensions : "";
  // Database sources work only where the maker's driver library is installed: 2 says so.
  const int32_t yes = (e.caps & kCapDatabase) ? 2 : 1;
  if (canRead) *canRead = (e.caps & kCapRead) && e.reader ? yes : 0;
  if (canWrite) *canWrite = (e.caps & kCapWrite) && e.writer ? yes : 0;
  return e.code;
}
