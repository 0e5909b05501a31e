// UAF50: the adaptive filter's settings and its per-sample estimate update.
#include "filters/UAF50.h"

#include <cmath>

#include "filters/filter_common.h"

namespace amx {

namespace {
const double kTwoPi = 6.283185307179586477;
}

TAdaptiveFilter::TAdaptiveFilter() { Recurrence = 2 * std::cos(NotchFrequency * kTwoPi / Rate); }

void TAdaptiveFilter::SetRate(double x)
{
  if (!std::isfinite(x) || !(x > 0)) return;
  Rate = x;
  Recurrence = 2 * std::cos(NotchFrequency * kTwoPi / x);
}

void TAdaptiveFilter::SetNotch(double x)
{
  if (!std::isfinite(x) || !(x > 0)) return;
  NotchFrequency = x;
  Recurrence = 2 * std::cos(x * kTwoPi / Rate);
}

template <class T>
void TAdaptiveFilter::Run(const T* source, T* destination, int count)
{
  if (count <= 0 || !source || !destination) return;
  const double limit = (8.0 / std::sqrt(2.0)) / 50.0 * NotchFrequency;
  for (int n = 0; n < count; ++n) {
    const int32_t x = source[n];
    PrevInput = LastInput;
    LastInput = x;
    const double e = (x - Estimate) - (PrevInput - PrevEstimate);
    const double d = std::fmin(std::fabs(e) / std::sqrt(2.0), limit);
    Estimate = e >= 0 ? Estimate + d : Estimate - d;
    destination[n] = RoundSaturate<T>(LastInput - Estimate);
    const double m = Estimate;
    Estimate = m * Recurrence - PrevEstimate;
    PrevEstimate = m;
  }
}

void TAdaptiveFilter::Process16(const int16_t* source, int16_t* destination, int count)
{
  Run(source, destination, count);
}
void TAdaptiveFilter::Process32(const int32_t* source, int32_t* destination, int count)
{
  Run(source, destination, count);
}

}  // namespace amx
