// The random generator of the sampling functions: multiplicative congruential
// modulo 2^31 - 1, stepped with Schrage's method so no product overflows.
// Its state is process-wide: every environment draws from the same sequence.
#pragma once

#include <cstdint>

namespace tabulon {

constexpr int32_t kSamplingModulus = 2147483647;

// The seed stored by numbered option 16 ("samp-seed"); below 1 or the modulus
// means "take one from the clock" when the generator is seeded.
void sampling_set_seed_option(int32_t seed);
int32_t sampling_seed_option();

// Seeds the generator from the stored option and runs it 16 steps.
void sampling_reseed();
// Seeds the generator from `seed` (clock when below 1 or the modulus) and runs 16 steps.
void sampling_seed(int32_t seed);

// Next generator state, in 1 .. modulus - 1.
int32_t sampling_next();
// Next number in (0, 1).
double sampling_rand();
// A whole number in 0 .. n - 1 (0 when n < 1), for callers that need an index.
int32_t sampling_rand_int(int32_t n);

// Counters of samp_fixed and samp_syst; reset whenever a sampling expression is compiled.
struct SamplingCounters {
  bool fixed_started = false;
  double fixed_selected = 0;
  double fixed_wanted = 0;
  double fixed_remaining = 0;
  bool syst_started = false;
  double syst_counter = 0;
  double syst_limit = 0;
};
SamplingCounters& sampling_counters();
void sampling_clear_counters();

}  // namespace tabulon
