// UHHPF: the hardware (baseline) filter: subtracts the moving average of the
// last W samples (UWF50's moving sum) and bridges the device's invalid-sample
// marker AMX_INVALID_SAMPLE with the running average.
#pragma once

#include <cstdint>

#include "filters/UWF50.h"

namespace amx {

class THardwareFilter : public TMovingSum {
public:
  THardwareFilter();  // time constant 1 s, 250 samples per second: W = 250

  // Each ignores values that are not finite and positive (SetCutoff also takes
  // 0: pass samples through), and settings whose window would round below 1
  // sample or above kMaxLength.
  void SetRate(double x);
  void SetTimeConstant(double x);
  void SetCutoff(double x);

  void Process32(const int32_t* source, int32_t* destination, int count);
  void Process32To16(const int32_t* source, int16_t* destination, int count);

  double Rate = 250.0, TimeConstant = 1.0, Cutoff;

private:
  bool Apply(double rate, double tau);
  template <class T>
  void Run(const int32_t* source, T* destination, int count);
};

}  // namespace amx
