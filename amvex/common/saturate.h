// common/saturate: double and wide integer results rounded and saturated to a
// sample width (16- or 32-bit). Used by the filters and by the device's
// impedance values.
#pragma once

#include <cfloat>
#include <cstdint>
#include <limits>

namespace amx {

// The rounding below, and the block-size independence of the filters that use it,
// rely on doubles being evaluated as doubles (SSE2 math, not the x87 80-bit stack).
static_assert(FLT_EVAL_METHOD == 0, "build with SSE2 double math (-msse2 -mfpmath=sse)");

// Nearest integer, ties to even (the default rounding mode), saturated to T.
// NaN saturates low, so no input can reach an undefined conversion.
template <class T>
inline T RoundSaturate(double y)
{
  constexpr double hi = std::numeric_limits<T>::max(), lo = std::numeric_limits<T>::min();
  if (y > hi) return std::numeric_limits<T>::max();
  if (!(y >= lo)) return std::numeric_limits<T>::min();
  return static_cast<T>((y + 0x1.8p52) - 0x1.8p52);  // exact for |y| < 2^51
}

// An integer result saturated to the sample width T.
template <class T>
inline T Saturate(int64_t v)
{
  if (v > std::numeric_limits<T>::max()) return std::numeric_limits<T>::max();
  if (v < std::numeric_limits<T>::min()) return std::numeric_limits<T>::min();
  return static_cast<T>(v);
}

}  // namespace amx
