// The line reader as the host sees it.
#include <cstdio>

#include "api/call_frame.h"
#include "formats/text/line_reader.h"

using namespace tabulon;

DX_EXPORT void* dxi_open_rdline(int32_t env, void* cFile, const char* encoding, int32_t flags) {
  if (!cFile) return nullptr;
  return call_frame_value<void*>(env, nullptr, [&](EnvRecord& e) -> void* {
    return rdline_open(e, file_source(static_cast<FILE*>(cFile)), encoding, flags);
  });
}

DX_EXPORT int32_t dxi_rdline(void* reader, char** line, int32_t* length) {
  if (!reader) return -1;
  RdLine& r = *static_cast<RdLine*>(reader);
  return call_frame(r.env->handle, -2, [&](EnvRecord&) -> int32_t {
    int rc = rdline_read(r);
    if (line) *line = r.out;
    if (length) *length = static_cast<int32_t>(r.out_len > INT32_MAX ? INT32_MAX : r.out_len);
    return rc;
  });
}

DX_EXPORT int32_t dxi_rewind_rdline(void* reader) {
  if (!reader) return -1;
  rdline_rewind(*static_cast<RdLine*>(reader));
  return 0;
}

DX_EXPORT int32_t dxi_close_rdline(void* reader) {
  rdline_close(static_cast<RdLine*>(reader));
  return 0;
}

DX_EXPORT int32_t dxi_rdline_change_file(void* reader, void* cFile) {
  if (!reader || !cFile) return -1;
  RdLine& r = *static_cast<RdLine*>(reader);
  return rdline_change_source(r, file_source(static_cast<FILE*>(cFile)));
}
