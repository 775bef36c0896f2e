// Single-precision sine and cosine evaluated in double precision: the argument
// is reduced to r in [-pi/4, pi/4] and a quadrant, and sin r or cos r comes
// from its Taylor series. The double result is about 1e-16 from the truth, so
// rounding it to float gives the correctly rounded value except when the true
// value lies within that distance of a halfway point between two floats.
#include "windows/runtime_math.h"

#include <stdint.h>

namespace {

// pi/2 split into two 30-bit parts and a remainder: n * part is exact for
// |n| < 2^23, so x - n * pi/2 loses nothing to cancellation.
constexpr double kHalfPiHigh = 0x1.921fb548p+0;
constexpr double kHalfPiMiddle = -0x1.de973dc8p-31;
constexpr double kHalfPiLow = -0x1.9d9cceba3f91fp-62;
constexpr double kTwoOverPi = 0.6366197723675814;
constexpr double kLargestReduced = 1048576.0;  // 2^20

// Coefficients 1/n! of the Taylor series. With |r| <= pi/4 the first term
// left out is below 1e-19 of the result.
constexpr double kSinTerms[] = {
    -1.0 / 6.0,        1.0 / 120.0,        -1.0 / 5040.0,          1.0 / 362880.0,
    -1.0 / 39916800.0, 1.0 / 6227020800.0, -1.0 / 1307674368000.0, 1.0 / 355687428096000.0,
};
constexpr double kCosTerms[] = {
    -1.0 / 2.0,
    1.0 / 24.0,
    -1.0 / 720.0,
    1.0 / 40320.0,
    -1.0 / 3628800.0,
    1.0 / 479001600.0,
    -1.0 / 87178291200.0,
    1.0 / 20922789888000.0,
    -1.0 / 6402373705728000.0,
};

template <int n>
double Series(const double (&terms)[n], double r2) {
  double sum = terms[n - 1];
  for (int i = n - 2; i >= 0; --i) sum = sum * r2 + terms[i];
  return sum * r2;
}

double SinReduced(double r) { return r + r * Series(kSinTerms, r * r); }
double CosReduced(double r) { return 1.0 + Series(kCosTerms, r * r); }

struct Reduced {
  double r;          // x - quadrant * pi/2
  int32_t quadrant;  // modulo 4
};

// Caller guarantees |x| < 2^20.
Reduced Reduce(double x) {
  double t = x * kTwoOverPi;
  int64_t n = static_cast<int64_t>(t >= 0.0 ? t + 0.5 : t - 0.5);
  double nd = static_cast<double>(n);
  double r = ((x - nd * kHalfPiHigh) - nd * kHalfPiMiddle) - nd * kHalfPiLow;
  return {r, static_cast<int32_t>(n & 3)};
}

bool InDomain(float x) { return x > -kLargestReduced && x < kLargestReduced; }  // false for NaN

constexpr float kNaN = __builtin_nanf("");

}  // namespace

float KernelSqrtf(float x) { return __builtin_sqrtf(x); }

float KernelSinf(float x) {
  if (!InDomain(x)) return kNaN;
  Reduced a = Reduce(x);
  switch (a.quadrant) {
    case 0:
      return static_cast<float>(SinReduced(a.r));
    case 1:
      return static_cast<float>(CosReduced(a.r));
    case 2:
      return static_cast<float>(-SinReduced(a.r));
    default:
      return static_cast<float>(-CosReduced(a.r));
  }
}

float KernelCosf(float x) {
  if (!InDomain(x)) return kNaN;
  Reduced a = Reduce(x);
  switch (a.quadrant) {
    case 0:
      return static_cast<float>(CosReduced(a.r));
    case 1:
      return static_cast<float>(-SinReduced(a.r));
    case 2:
      return static_cast<float>(-CosReduced(a.r));
    default:
      return static_cast<float>(SinReduced(a.r));
  }
}
