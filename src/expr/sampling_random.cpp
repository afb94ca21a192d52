#include "expr/sampling_random.h"

#include <ctime>

namespace tabulon {

namespace {

constexpr int32_t kMultiplier = 41358;
constexpr int32_t kQuotient = 51924;   // modulus / multiplier
constexpr int32_t kRemainder = 10855;  // modulus % multiplier

int32_t g_state = 1;
int32_t g_seed_option = 0;
SamplingCounters g_counters;

}  // namespace

void sampling_set_seed_option(int32_t seed) { g_seed_option = seed; }
int32_t sampling_seed_option() { return g_seed_option; }

int32_t sampling_next() {
  int32_t hi = g_state / kQuotient;
  int32_t lo = g_state % kQuotient;
  int32_t next = kMultiplier * lo - kRemainder * hi;
  if (next <= 0) next += kSamplingModulus;
  g_state = next;
  return next;
}

void sampling_seed(int32_t seed) {
  if (seed < 1 || seed == kSamplingModulus) {
    auto t = static_cast<int64_t>(std::time(nullptr));
    seed = static_cast<int32_t>(t % (kSamplingModulus - 1)) + 1;
  }
  g_state = seed;
  for (int i = 0; i < 16; ++i) sampling_next();
}

void sampling_reseed() { sampling_seed(g_seed_option); }

double sampling_rand() { return sampling_next() / 2147483647.0; }

int32_t sampling_rand_int(int32_t n) {
  if (n < 1) return 0;
  auto v = static_cast<int32_t>(sampling_rand() * n);
  return v >= n ? n - 1 : v;
}

SamplingCounters& sampling_counters() { return g_counters; }
void sampling_clear_counters() { g_counters = SamplingCounters{}; }

}  // namespace tabulon
