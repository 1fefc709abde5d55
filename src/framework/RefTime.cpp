#include "framework/RefTime.h"

#include <limits>

namespace {

constexpr LONGLONG kMax = std::numeric_limits<LONGLONG>::max();
constexpr LONGLONG kMin = std::numeric_limits<LONGLONG>::min();
constexpr LONGLONG kMaxFactor = 0x7FFFFFFF;

// Floor division for den > 0: value = q x den + r with 0 <= r < den.
void FloorDivide(LONGLONG value, LONGLONG den, LONGLONG *q, LONGLONG *r) {
  *q = value / den;
  *r = value % den;
  if (*r < 0) {
    *r += den;
    --*q;
  }
}

// a x b + c, saturating.
LONGLONG MulAdd(LONGLONG a, LONGLONG b, LONGLONG c) {
  LONGLONG product = 0, sum = 0;
  if (__builtin_mul_overflow(a, b, &product)) return (a < 0) != (b < 0) ? kMin : kMax;
  if (__builtin_add_overflow(product, c, &sum)) return c < 0 ? kMin : kMax;
  return sum;
}

}  // namespace

LONGLONG DivideRounded(LONGLONG num, LONGLONG den) {
  if (den <= 0) return 0;
  LONGLONG q = 0, r = 0;
  FloorDivide(num, den, &q, &r);
  // Halves away from zero: up for a positive value, down for a negative one.
  if (r > den - r || (r == den - r && num >= 0)) ++q;
  return q;
}

LONGLONG ScaleRounded(LONGLONG value, LONGLONG num, LONGLONG den) {
  if (num <= 0 || den <= 0 || num > kMaxFactor || den > kMaxFactor) return 0;
  // value = q x den + r; value x num / den = q x num + r x num / den, where
  // r x num < 2^62 cannot overflow.
  LONGLONG q = 0, r = 0;
  FloorDivide(value, den, &q, &r);
  // A negative value's remainder still counts upward from q x den; its half
  // rounds down, as DivideRounded would round the whole value.
  LONGLONG part = r * num / den;
  const LONGLONG rest = r * num % den;
  if (rest > den - rest || (rest == den - rest && value >= 0)) ++part;
  return MulAdd(q, num, part);
}

REFERENCE_TIME UnitsToRefTime(LONGLONG units, LONG timeScale) {
  return ScaleRounded(units, kRefTimePerSecond, timeScale);
}

LONGLONG RefTimeToUnits(REFERENCE_TIME rt, LONG timeScale) {
  if (timeScale <= 0) return 0;
  // For units u >= 0, UnitsToRefTime(u) <= rt holds exactly when
  // 2 x u x 10^7 < timeScale x (2 x rt + 1), so the largest such u is
  // floor((timeScale x (2 x rt + 1) - 1) / (2 x 10^7)). With rt = a x 10^7 + b
  // that is a x timeScale + floor((timeScale x (2b + 1) - 1) / (2 x 10^7)).
  LONGLONG a = 0, b = 0;
  FloorDivide(rt, kRefTimePerSecond, &a, &b);
  const LONGLONG part = (static_cast<LONGLONG>(timeScale) * (2 * b + 1) - 1) / (2 * kRefTimePerSecond);
  return MulAdd(a, timeScale, part);
}
