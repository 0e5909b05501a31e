// UHHPF: the hardware filter's settings and processing on the moving sum of
// UWF50; outputs saturate to the destination's width (common/saturate).
#include "filters/UHHPF.h"

#include <cmath>

#include "amvex.h"
#include "filters/filter_common.h"

namespace amx {

namespace {
const double kTwoPi = 6.283185307179586477;
}  // namespace

THardwareFilter::THardwareFilter() : TMovingSum(250), Cutoff(1 / kTwoPi) {}

bool THardwareFilter::Apply(double rate, double tau)
{
  tau = std::fmax(tau, 1 / (rate * kTwoPi));
  if (!SetLength(LengthFor(tau, rate))) return false;
  Rate = rate;
  TimeConstant = tau;
  Cutoff = 1 / (tau * kTwoPi);
  return true;
}

void THardwareFilter::SetRate(double x)
{
  if (!std::isfinite(x) || !(x > 0)) return;
  if (TimeConstant == 0) {
    Rate = x;  // cutoff 0: stays a pass-through filter
  } else {
    Apply(x, TimeConstant);
  }
}

void THardwareFilter::SetTimeConstant(double x)
{
  if (std::isfinite(x) && x > 0) Apply(Rate, x);
}

void THardwareFilter::SetCutoff(double x)
{
  if (x == 0) {
    SetLength(1);
    TimeConstant = Cutoff = 0;
  } else if (std::isfinite(x) && x > 0) {
    const double cutoff = std::fmin(x, Rate);
    if (Apply(Rate, 1 / (cutoff * kTwoPi))) Cutoff = cutoff;
  }
}

template <class T>
void THardwareFilter::Run(const int32_t* source, T* destination, int count)
{
  if (count <= 0 || !source || !destination) return;
  if (WindowLength == 1) {
    int32_t last = source[count - 1];
    for (int n = 0; n < count; ++n) destination[n] = Saturate<T>(source[n]);
    if (last == AMX_INVALID_SAMPLE) last = RoundSaturate<int32_t>(Average);
    History->Write(&last, 1);
    RunningSum = Average = last;
    return;
  }
  // An invalid sample enters as the current average: it neither moves the
  // baseline nor reaches the output as a spike.
  Slide(
      count,
      [&](int n, double average) {
        return source[n] == AMX_INVALID_SAMPLE ? RoundSaturate<int32_t>(average) : source[n];
      },
      [&](int n, int32_t v, double average) {
        destination[n] = Saturate<T>(int64_t{v} - static_cast<int64_t>(average));
      });
}

void THardwareFilter::Process32(const int32_t* source, int32_t* destination, int count)
{
  Run(source, destination, count);
}
void THardwareFilter::Process32To16(const int32_t* source, int16_t* destination, int count)
{
  Run(source, destination, count);
}

}  // namespace amx
