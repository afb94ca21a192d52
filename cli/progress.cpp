#include "progress.h"

#include <cstdio>
#include <cstdlib>

namespace cli {

using Clock = std::chrono::steady_clock;

namespace {

// Runs shorter than this get no bar; TABULON_PROGRESS_DELAY_MS changes it (the tests show the
// bar on short runs with 0).
std::chrono::milliseconds bar_delay() {
  static const long ms = [] {
    const char* text = std::getenv("TABULON_PROGRESS_DELAY_MS");
    char* end = nullptr;
    const long v = text ? std::strtol(text, &end, 10) : -1;
    return text && end != text && v >= 0 ? v : 500L;
  }();
  return std::chrono::milliseconds(ms);
}

}  // namespace

Progress::Progress(bool enabled) : enabled_(enabled), start_(Clock::now()), last_(start_) {}

double Progress::seconds() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

void Progress::update(const char* phase, int64_t cases, int32_t percent) {
  if (!enabled_) return;
  auto now = Clock::now();
  // Only runs longer than half a second get a bar; redraw at most 10 times a second.
  if (now - start_ < bar_delay()) return;
  if (shown_ && now - last_ < std::chrono::milliseconds(100)) return;
  last_ = now;
  shown_ = true;
  if (percent >= 0) {
    if (percent > 100) percent = 100;
    int filled = percent * 30 / 100;
    char bar[31];
    for (int i = 0; i < 30; ++i) bar[i] = i < filled ? '#' : '.';
    bar[30] = '\0';
    std::fprintf(stderr, "\r\033[K%-8s [%s] %3d%%  %lld cases", phase, bar, percent, static_cast<long long>(cases));
  } else {
    std::fprintf(stderr, "\r\033[K%-8s %lld cases", phase, static_cast<long long>(cases));
  }
  std::fflush(stderr);
}

void Progress::finish() {
  if (shown_) std::fprintf(stderr, "\r\033[K");
  shown_ = false;
}

}  // namespace cli
