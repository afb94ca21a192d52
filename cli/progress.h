// A progress bar on stderr for long transfers on a terminal.
#pragma once

#include <chrono>
#include <cstdint>

namespace cli {

class Progress {
 public:
  explicit Progress(bool enabled);
  // percent: 0..100, or -1 when the reader announced no case count.
  void update(int64_t cases, int32_t percent);
  void finish();
  double seconds() const;

 private:
  bool enabled_;
  bool shown_ = false;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_;
};

}  // namespace cli
