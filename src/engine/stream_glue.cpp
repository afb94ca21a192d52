#include "engine/stream_glue.h"

#include "api/env_record.h"
#include "io/stream.h"

namespace tabulon {

void StreamDeleter::operator()(Stream* stream) const noexcept { StreamClose(stream); }

// The transfer's own input and output move their bytes on the second core where there is one.
StreamPtr engine_open_read(EnvRecord& env, const std::string& path, uint32_t buffer_size) {
  StreamPtr s(StreamOpenFile(&env, path.c_str(), "rb", static_cast<int32_t>(buffer_size)));
  if (s) StreamStartAsync(s.get());
  return s;
}

StreamPtr engine_open_write(EnvRecord& env, const std::string& path, const char* mode, uint32_t buffer_size) {
  StreamPtr s(StreamOpenFile(&env, path.c_str(), mode, static_cast<int32_t>(buffer_size)));
  if (s) StreamStartAsync(s.get());
  return s;
}

uint32_t engine_stream_errors(const Stream* stream) { return stream ? stream->error : 0; }

void engine_stream_add_errors(Stream* stream, uint32_t bits) {
  if (stream) stream->error |= bits;
}

int64_t engine_stream_tell(Stream* stream) { return stream ? StreamTell64(stream) : 0; }

bool engine_stream_seek(Stream* stream, int64_t position) {
  return stream && StreamSeek64(stream, position, SEEK_SET) == 0;
}

}  // namespace tabulon
