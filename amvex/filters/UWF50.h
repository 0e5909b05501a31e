// UWF50: the window (moving-average) filter, and the moving sum over the
// history ring (OmegaBuf) that it shares with the hardware filter (UHHPF).
#pragma once

#include <cstdint>
#include <memory>

#include "filters/OmegaBuf.h"

namespace amx {

// The last W samples, their sum and the running average.
class TMovingSum {
public:
  // Longest window: 64 MiB of history. Longer settings are ignored.
  static const int32_t kMaxLength = 1 << 24;

  // Resizes the window, keeping the newest samples (a longer window is padded
  // at its old end with the current average). Lengths below 1 or above
  // kMaxLength are ignored (false). On an allocation failure it throws and
  // nothing changes.
  bool SetLength(int64_t w);
  double Sum() const;  // of the ring's items

  std::unique_ptr<THistoryRing> History;
  double RunningSum = 0, Average = 0;
  int32_t WindowLength = 0;
  double InvLength = 0;

protected:
  explicit TMovingSum(int32_t w);
  // round(seconds x rate), or -1 when that is no valid window length.
  static int64_t LengthFor(double seconds, double rate);

  // The per-sample step of a full window, count times: sample n enters as
  // enter(n, average before it), the oldest leaves, and emit(n, entered, new
  // average) writes the output.
  template <class Enter, class Emit>
  void Slide(int count, Enter enter, Emit emit)
  {
    double sum = RunningSum, average = Average;
    const double inv = InvLength;
    int n = 0;
    History->ExchangeEach(count, [&](int32_t oldest) {
      const int32_t v = enter(n, average);
      sum += static_cast<double>(int64_t{v} - oldest);
      average = sum * inv;
      emit(n++, v, average);
      return v;
    });
    RunningSum = sum;
    Average = average;
  }
};

class TWindowFilter : public TMovingSum {
public:
  TWindowFilter();  // 5 samples: 0.02 s (50 Hz) at 250 samples per second

  // Each ignores values that are not finite and positive, and settings whose
  // window would be longer than kMaxLength.
  void SetRate(double x);
  void SetDuration(double x);
  void SetFrequency(double x);

  void Process16(const int16_t* source, int16_t* destination, int count);
  void Process32(const int32_t* source, int32_t* destination, int count);

  double Rate = 250.0, Frequency = 50.0, Duration = 0.02;

private:
  bool Apply(double rate, double duration);
  template <class T>
  void Run(const T* source, T* destination, int count);
};

}  // namespace amx
