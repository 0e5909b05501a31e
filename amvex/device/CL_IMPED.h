// device/CL_IMPED: electrode impedance from the device's 30 Hz test signal.
// tImpMes band-passes one channel (a fourth-order Butterworth band from the
// designer in HFltrCalc), takes the RMS over one-second windows and turns it into
// ohms. TAmx (UAmvex) drives it from the reader thread.
#pragma once
#include "protocol.h"

#include <cstdint>

namespace amx {

constexpr double kImpDefaultReference = 100000000.0;  // ohms, without calibration

class tImpMes {
public:
  tImpMes(double testFrequency, double scaleVolts, double refResistance, double countVolts, double windowSeconds,
          double rate);
  void Feed(const int32_t* values, int count);

  double Impedance = 0;  // ohms of the last completed window, -1 for an invalid one
  double Rms = 0;        // volts of the last completed window
  double SumSquares = 0;
  double CountVolts, ScaleVolts, RefResistance;
  int32_t Completed = 0, WindowCount = 0, WindowSamples;
  double BandB[9], BandA[9];  // feed-forward and feedback, index = samples back
  double XHist[9] = {};       // inputs, newest last
  double YHist[8] = {};       // outputs, newest last
  bool WindowValid = false;
  bool Settling = false;  // the filter restarted after invalid samples: its first window is not reported

private:
  void ResetWindow();
};

}  // namespace amx
