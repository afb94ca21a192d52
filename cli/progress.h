// A progress bar on stderr for long transfers on a terminal.
#pragma once

#include <chrono>
#include <cstdint>

namespace cli {

class Progress {
 public:
  explicit Progress(bool enabled);
  // phase: what is going on ("scanning", "writing"); percent: 0..100, or -1 when the case
  // count is not known.
  void update(const char* phase, int64_t cases, int32_t percent);
  void finish();
  // Seconds since the tool started working.
  double seconds() const;

 private:
  bool enabled_;
  bool shown_ = false;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_;
};

}  // namespace cli
