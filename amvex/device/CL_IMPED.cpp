// device/CL_IMPED: the impedance filter and window (tImpMes): the band-pass from
// the Butterworth designer, the RMS of each window and its ohms.
#include "device/CL_IMPED.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "common/HFltrCalc.h"

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
      if (WindowCount == WindowSamples && Settling) {
        // The restarted filter's start-up would read low: the window is not
        // reported, the invalid window's -1 stands until the next one.
        Settling = false;
        ResetWindow();
      } else if (WindowCount == WindowSamples) {
        Rms = std::sqrt(SumSquares / WindowSamples) * CountVolts;
        Impedance = RefResistance > 0 ? RefResistance * Rms / ScaleVolts : -1.0;
        ResetWindow();
        ++Completed;
      }
    }
    if (!WindowValid && WindowCount == WindowSamples) {
      Impedance = -1.0;
      Settling = true;
      ResetWindow();
      ++Completed;
    }
  }
}

}  // namespace amx
