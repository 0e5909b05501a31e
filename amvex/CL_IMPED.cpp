// amvex/CL_IMPED: the impedance filter and window (tImpMes) and the TAmx side of
// the measurement: start and stop (pull-up and acquisition), the per-frame feed
// from the reader thread, and the read-out for the host.
#include "CL_IMPED.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "FltCommon.h"
#include "HFltrCalc.h"
#include "UAmvex.h"

namespace amx {

tImpMes::tImpMes(double testFrequency, double scaleVolts, double refResistance, double countVolts, double windowSeconds,
                 double rate)
    : CountVolts(countVolts),
      ScaleVolts(scaleVolts),
      RefResistance(refResistance),
      WindowSamples(int32_t(std::lround(rate * windowSeconds)))
{
  ResetWindow();
  TFilterCalculator design;
  design.FilterType = kBandPass;
  design.Order = 4;
  design.Alpha1 = (testFrequency < 8 ? 5.0 : testFrequency - 2) / rate;
  design.Alpha2 = (testFrequency + 2) / rate;
  design.Design();
  for (int k = 0; k < 9; ++k) {
    BandB[k] = design.XCoeffs[8 - k];
    BandA[k] = design.YCoeffs[8 - k];
  }
}

void tImpMes::ResetWindow()
{
  SumSquares = 0;
  WindowCount = 0;
  if (!WindowValid) {  // an invalid sample went into the filter: restart it empty
    std::fill(std::begin(XHist), std::end(XHist), 0.0);
    std::fill(std::begin(YHist), std::end(YHist), 0.0);
  }
  WindowValid = true;
}

void tImpMes::Feed(const int32_t* values, int count)
{
  for (int i = 0; i < count; ++i) {
    int32_t v = values[i];
    ++WindowCount;
    if (v == kInvalidSample) WindowValid = false;
    if (WindowValid) {
      std::memmove(XHist, XHist + 1, 8 * sizeof(double));
      XHist[8] = v;
      double y = BandB[0] * XHist[8];
      for (int j = 1; j <= 8; ++j) y = y + BandB[j] * XHist[8 - j] + BandA[j] * YHist[8 - j];
      std::memmove(YHist, YHist + 1, 7 * sizeof(double));
      YHist[7] = y;
      SumSquares += y * y;
      if (WindowCount == WindowSamples) {
        Rms = std::sqrt(SumSquares / WindowSamples) * CountVolts;
        Impedance = RefResistance > 0 ? RefResistance * Rms / ScaleVolts : -1.0;
        ResetWindow();
        ++Completed;
      }
    }
    if (!WindowValid && WindowCount == WindowSamples) {
      Impedance = -1.0;
      ResetWindow();
      ++Completed;
    }
  }
}

// ---- TAmx: the measurement ------------------------------------------------------

bool TAmx::ImpedanceStart()
{
  ImpedanceStop();
  {
    TLock l(DataLock);
    for (int c = 0; c < MaxChannels; ++c)
      if (c != ImpedanceRef)
        Measurements[c].reset(new tImpMes(kImpTestFrequency, kImpScaleVolts,
                                          Calibrated.load() ? RefResistances[c] : kImpDefaultReference, kImpCountVolts,
                                          1.0, Sampling));
  }
  SleepMs(100);
  SetPullUp(1, 0);
  SleepMs(100);
  Start();
  return true;
}

bool TAmx::ImpedanceStop()
{
  Stop();
  SleepMs(100);
  SetPullUp(0, 0);
  TLock l(DataLock);
  for (auto& m : Measurements) m.reset();
  return true;
}

// Results are read under DataLock: the reader thread writes them.
int TAmx::ImpedanceRead(int32_t* values, int size)
{
  int channels = int(std::min<uint32_t>(ChannelCount, MaxChannels));
  if (size < 4 * channels) return 0;
  std::memset(values, 0, size_t(size));
  TLock l(DataLock);
  for (int c = 0; c < channels; ++c) {
    const tImpMes* m = Measurements[c].get();
    values[c] = m ? RoundSaturate<int32_t>(m->Impedance - (WideGain ? 1000.0 : 0.0)) : -1;
  }
  return 4 * channels;
}

// Each channel is measured against the reference channel. A reference the frame
// does not carry (a channel at or above the device's count) has no sample: every
// window is then invalid. Differences are limited to the valid sample range.
void TAmx::FeedImpedance(const int32_t* frame, int bytes)
{
  const int channels = int(FrameChannels);
  const int stride = channels + 1;
  const int frames = std::min<int>(bytes / (4 * stride), int(Sampling));
  const bool refInFrame = ImpedanceRef >= 0 && ImpedanceRef < channels;
  for (int f = 0; f < frames; ++f) {
    const int32_t* s = frame + f * stride;
    const int32_t ref = refInFrame ? s[ImpedanceRef] : kInvalidSample;
    for (int c = 0; c < channels; ++c) {
      if (!Measurements[c]) continue;
      int32_t v = kInvalidSample;
      if (s[c] != kInvalidSample && ref != kInvalidSample)
        v = int32_t(std::clamp<int64_t>(int64_t(s[c]) - ref, INT32_MIN, kInvalidSample - 1));
      Measurements[c]->Feed(&v, 1);
    }
  }
}

}  // namespace amx
