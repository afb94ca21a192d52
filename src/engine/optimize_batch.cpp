// The optimization pass's statistics over a run of values of one variable at a time: the
// per-value test of optimize_add_value as one loop without branches on the data, which the
// compiler turns into vector code.
#include <cmath>
#include <cstddef>
#include <cstdint>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "engine/optimize.h"

namespace tabulon {

namespace {

constexpr double kTwo52 = 4503599627370496.0;

// What one run shows: its extremes, whether a value has a fraction or a whole part, and
// whether a NaN is among them (whose comparisons the loop cannot reproduce).
struct RunFacts {
  double lo, hi;
  bool fraction, day, nan;
};

// One value into the facts, as the vector loop takes two.
inline void scan_one(double v, double& lo, double& hi, bool& fraction, double& largest, bool& nan) {
  lo = v < lo ? v : lo;
  hi = v > hi ? v : hi;
  const double a = std::fabs(v);
  // Below 2^52, adding and taking away 2^52 rounds a to a whole number: it comes back
  // unchanged only when it was whole. From 2^52 up every double is whole.
  fraction |= a < kTwo52 && (a + kTwo52) - kTwo52 != a;
  largest = a > largest ? a : largest;
  nan |= v != v;
}

RunFacts scan_run(const double* x, size_t n, double lo, double hi) {
  bool fraction = false, nan = false;
  double largest = 0;
  size_t i = 0;
#ifdef __SSE2__
  // Floating-point min and max reductions are not vectorized without fast-math, so by hand:
  // minpd(v, lo) is exactly v < lo ? v : lo, NaNs included.
  if (n >= 2) {
    const __m128d two52 = _mm_set1_pd(kTwo52);
    const __m128d sign = _mm_set1_pd(-0.0);
    __m128d vlo = _mm_set1_pd(lo), vhi = _mm_set1_pd(hi), vbig = _mm_setzero_pd();
    __m128d vfrac = _mm_setzero_pd(), vnan = _mm_setzero_pd();
    for (; i + 2 <= n; i += 2) {
      const __m128d v = _mm_loadu_pd(x + i);
      vlo = _mm_min_pd(v, vlo);
      vhi = _mm_max_pd(v, vhi);
      const __m128d a = _mm_andnot_pd(sign, v);
      const __m128d rounded = _mm_sub_pd(_mm_add_pd(a, two52), two52);
      vfrac = _mm_or_pd(vfrac, _mm_and_pd(_mm_cmplt_pd(a, two52), _mm_cmpneq_pd(rounded, a)));
      vbig = _mm_max_pd(a, vbig);
      vnan = _mm_or_pd(vnan, _mm_cmpunord_pd(v, v));
    }
    double l[2], h[2], b[2];
    _mm_storeu_pd(l, vlo);
    _mm_storeu_pd(h, vhi);
    _mm_storeu_pd(b, vbig);
    lo = l[0] < l[1] ? l[0] : l[1];
    hi = h[0] > h[1] ? h[0] : h[1];
    largest = b[0] > b[1] ? b[0] : b[1];
    fraction = _mm_movemask_pd(vfrac) != 0;
    nan = _mm_movemask_pd(vnan) != 0;
  }
#endif
  for (; i < n; ++i) scan_one(x[i], lo, hi, fraction, largest, nan);
  return {lo, hi, fraction, largest >= 1.0, nan};
}

}  // namespace

void optimize_add_values(VarStats& s, const double* x, size_t n, bool exact, bool date_type) {
  if (n == 0) return;
  const RunFacts f = scan_run(x, n, s.count ? s.minimum : x[0], s.count ? s.maximum : x[0]);
  if (f.nan) {
    // A NaN compares as nothing else does: take the run one value at a time.
    for (size_t i = 0; i < n; ++i) optimize_add_value(s, x[i], exact, date_type);
    return;
  }
  s.count += static_cast<uint32_t>(n);
  s.minimum = f.lo;
  s.maximum = f.hi;
  if (f.fraction) {
    s.has_fraction = true;
    for (size_t i = 0; i < n && !s.not_float; ++i) {
      const double a = std::fabs(x[i]);
      if (a < kTwo52 && (a + kTwo52) - kTwo52 != a && !optimize_fits_float(x[i], exact)) s.not_float = true;
    }
  }
  if (date_type) {
    if (f.fraction) s.date_parts |= 2;
    if (f.day) s.date_parts |= 1;
  }
}

}  // namespace tabulon
