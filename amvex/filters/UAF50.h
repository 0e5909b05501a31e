// UAF50: the adaptive canceller of a sinusoidal interference (mains hum): an
// estimate that oscillates at the notch frequency and is pulled toward the
// signal by a bounded step per sample; the output is signal minus estimate.
#pragma once

#include <cstdint>

namespace amx {

class TAdaptiveFilter {
public:
  TAdaptiveFilter();  // 1000 samples per second, notch at 50 Hz

  // Each ignores values that are not finite and positive.
  void SetRate(double x);
  void SetNotch(double x);

  // Outputs saturate to the sample width.
  void Process16(const int16_t* source, int16_t* destination, int count);
  void Process32(const int32_t* source, int32_t* destination, int count);

  double Rate = 1000.0;
  double Recurrence;  // 2 cos(2 pi NotchFrequency / Rate)
  int32_t LastInput = 0, PrevInput = 0;
  double Estimate = 0, PrevEstimate = 0;
  double NotchFrequency = 50.0;

private:
  template <class T>
  void Run(const T* source, T* destination, int count);
};

}  // namespace amx
