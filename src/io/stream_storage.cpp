// Storage kind: one stream of a compound file.
#include "io/stream.h"
#include "io/stream_ops.h"

namespace tabulon {

namespace { int32_t g_last_error = 0; }

Stream* StreamOpenStorage(const char*, const char*, int32_t, int32_t*) { g_last_error = 2; return nullptr; }
int32_t StreamOpenNested(Stream*, const char* const*, int32_t, const char*, int32_t) { return -1; }
int32_t StreamReopen(Stream*, const char*, int32_t) { return -1; }
int32_t StreamStorageLastError() { return g_last_error; }
void storage_stream_close(Stream*) {}

}  // namespace tabulon
