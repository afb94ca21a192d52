#include "engine/scan_progress.h"

#include "api/call_frame.h"
#include "api/env_record.h"
#include "io/stream.h"

namespace tabulon {

void report_scan_progress(EnvRecord& env, int64_t cases, int64_t bytes_read, bool finished) {
  if (!env.progress_callback) return;
  if (finished) {
    env.progress_callback(2, cases, 100, env.progress_user_data);
    return;
  }
  int32_t percent = -1;
  if (Stream* in = env.transfer.input_stream.get()) {
    const int64_t length = StreamLength64(in);
    if (length > 0 && bytes_read >= 0)
      percent = static_cast<int32_t>(bytes_read >= length ? 100 : bytes_read * 100 / length);
  }
  env.progress_callback(1, cases, percent, env.progress_user_data);
}

}  // namespace tabulon

using namespace tabulon;

DX_EXPORT int32_t dxi_set_progress_callback(int32_t handle, int64_t user_data, DX_ProgressCallback callback) {
  return call_frame(handle, -1, [&](EnvRecord& env) -> int32_t {
    env.progress_callback = callback;
    env.progress_user_data = callback ? user_data : 0;
    return 0;
  });
}
