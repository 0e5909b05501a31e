// UWF50: moving sums over the history ring, and the window filter that
// outputs their average (truncated toward zero).
#include "filters/UWF50.h"

#include <cmath>

#include "filters/filter_common.h"

namespace amx {

TMovingSum::TMovingSum(int32_t w) : History(std::make_unique<THistoryRing>(w)), WindowLength(w), InvLength(1.0 / w)
{
  History->Fill(0);
}

int64_t TMovingSum::LengthFor(double seconds, double rate)
{
  const double w = std::nearbyint(seconds * rate);
  return std::isfinite(w) && w >= 1 && w <= kMaxLength ? static_cast<int64_t>(w) : -1;
}

bool TMovingSum::SetLength(int64_t w)
{
  if (w < 1 || w > kMaxLength) return false;
  auto ring = std::make_unique<THistoryRing>(static_cast<int32_t>(w));
  if (w > History->Capacity) ring->Fill(static_cast<int32_t>(std::trunc(Average)));
  ring->CopyFrom(*History);
  History = std::move(ring);
  WindowLength = static_cast<int32_t>(w);
  InvLength = 1.0 / WindowLength;
  RunningSum = Sum();
  return true;
}

double TMovingSum::Sum() const
{
  int32_t chunk[1024];
  double sum = 0;
  for (int64_t p = History->FirstPosition(); p <= History->LastPosition;) {
    const int32_t n = History->Read(chunk, p, 1024);
    if (n == 0) break;
    for (int32_t i = 0; i < n; ++i) sum += chunk[i];
    p += n;
  }
  return sum;
}

TWindowFilter::TWindowFilter() : TMovingSum(5) {}

bool TWindowFilter::Apply(double rate, double duration)
{
  duration = std::fmax(duration, 1 / rate);
  if (!SetLength(LengthFor(duration, rate))) return false;
  Rate = rate;
  Duration = duration;
  Frequency = 1 / duration;
  return true;
}

void TWindowFilter::SetRate(double x)
{
  if (std::isfinite(x) && x > 0) Apply(x, Duration);
}

void TWindowFilter::SetDuration(double x)
{
  if (std::isfinite(x) && x > 0) Apply(Rate, x);
}

void TWindowFilter::SetFrequency(double x)
{
  if (std::isfinite(x) && x > 0 && Apply(Rate, 1 / std::fmin(x, Rate))) Frequency = std::fmin(x, Rate);
}

template <class T>
void TWindowFilter::Run(const T* source, T* destination, int count)
{
  if (count <= 0 || !source || !destination) return;
  if (WindowLength == 1) {
    const T last = source[count - 1];
    if (source != destination)
      for (int n = 0; n < count; ++n) destination[n] = source[n];
    const int32_t item = last;
    History->Write(&item, 1);
    RunningSum = Average = last;
    return;
  }
  Slide(
      count, [&](int n, double) { return int32_t{source[n]}; },
      [&](int n, int32_t, double average) { destination[n] = Saturate<T>(static_cast<int64_t>(average)); });
}

void TWindowFilter::Process16(const int16_t* source, int16_t* destination, int count)
{
  Run(source, destination, count);
}
void TWindowFilter::Process32(const int32_t* source, int32_t* destination, int count)
{
  Run(source, destination, count);
}

}  // namespace amx
