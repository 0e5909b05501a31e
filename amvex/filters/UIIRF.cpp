// UIIRF: direct-form and cascaded-section IIR filters on 16- and 32-bit
// samples, with rounding (ties to even) and saturation (common/saturate).
#include "filters/UIIRF.h"

#include <array>
#include <utility>

#include "filters/filter_common.h"

namespace amx {

TUniversalFilter::TUniversalFilter(const std::vector<double>& feedBack, const std::vector<double>& feedForward)
{
  if (feedBack.size() != feedForward.size()) throw EInvalidArgument("Invalid Filter Parameters");
  Taps = static_cast<int>(feedBack.size());
  FeedBack = feedBack;
  FeedForward = feedForward;
  XHistory.assign(Taps, 0.0);
  YHistory.assign(Taps, 0.0);
}

template <class T>
void TUniversalFilter::Run(const T* source, T* destination, int count)
{
  const int n = Taps;
  for (int k = 0; k < count; ++k) {
    if (n == 0) {
      destination[k] = source[k];
      continue;
    }
    XHistory[0] = source[k];
    double y = XHistory[0] * FeedForward[0];
    for (int i = 1; i < n; ++i) y = XHistory[i] * FeedForward[i] + y + YHistory[i] * FeedBack[i];
    YHistory[0] = y;
    destination[k] = RoundSaturate<T>(y);
    for (int i = n - 2; i >= 0; --i) {
      XHistory[i + 1] = XHistory[i];
      YHistory[i + 1] = YHistory[i];
    }
  }
}

void TUniversalFilter::Process16(const int16_t* source, int16_t* destination, int count)
{
  Run(source, destination, count);
}
void TUniversalFilter::Process32(const int32_t* source, int32_t* destination, int count)
{
  Run(source, destination, count);
}

namespace {

// One block through S sections, with coefficients and state in locals so the
// compiler keeps them in registers. Per section, with the input x and its
// step d (and their previous values xp, dp):
//   w = d - M dp + Nn xp            numerator (1 - c)(1 - M c) + Nn c
//   v = w + A2 v' - E y'            denominator, solved for the step v
//   y = y' + v
// The next section takes (y, v) as its input and step.
template <int S, class T>
void RunSections(TCascadeFilter& f, const T* source, T* destination, int count)
{
  TBiquad k[S > 0 ? S : 1];
  TCascadeFilter::TState s[S > 0 ? S : 1];
  for (int i = 0; i < S; ++i) {
    k[i] = f.Design.Sections[i];
    s[i] = f.State[i];
  }
  const double gain = f.Design.Gain;
  double lastInput = f.LastInput, lastStep = f.LastStep;
  for (int n = 0; n < count; ++n) {
    double x = source[n];
    double d = x - lastInput;
    double xp = lastInput, dp = lastStep;
    lastInput = x;
    lastStep = d;
    for (int i = 0; i < S; ++i) {
      const double w = d - k[i].M * dp + k[i].Nn * xp;
      const double v = w + (k[i].A2 * s[i].V - k[i].E * s[i].Y);
      xp = s[i].Y;
      dp = s[i].V;
      s[i].Y += v;
      s[i].V = v;
      x = s[i].Y;
      d = v;
    }
    destination[n] = RoundSaturate<T>(gain * x);
  }
  for (int i = 0; i < S; ++i) f.State[i] = s[i];
  f.LastInput = lastInput;
  f.LastStep = lastStep;
}

template <class T, int... S>
constexpr auto RunnerTable(std::integer_sequence<int, S...>)
{
  using Runner = void (*)(TCascadeFilter&, const T*, T*, int);
  return std::array<Runner, sizeof...(S)>{&RunSections<S, T>...};
}

}  // namespace

TCascadeFilter::TCascadeFilter(const TCascadeDesign& design) : Design(design)
{
  static const auto table16 = RunnerTable<int16_t>(std::make_integer_sequence<int, 9>());
  static const auto table32 = RunnerTable<int32_t>(std::make_integer_sequence<int, 9>());
  const int n = Design.Count < 0 ? 0 : Design.Count > 8 ? 8 : Design.Count;
  Design.Count = n;
  Run16 = table16[n];
  Run32 = table32[n];
}

void TCascadeFilter::Process16(const int16_t* source, int16_t* destination, int count)
{
  Run16(*this, source, destination, count);
}
void TCascadeFilter::Process32(const int32_t* source, int32_t* destination, int count)
{
  Run32(*this, source, destination, count);
}

}  // namespace amx
