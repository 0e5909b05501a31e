// UIIRF: the IIR filters that run a design on integer samples: the plain
// direct form (TUniversalFilter) and the cascade of second-order sections
// (TCascadeFilter) that the Butterworth filters use. Both round and saturate.
#pragma once

#include <cstdint>
#include <vector>

#include "common/HFltrCalc.h"

namespace amx {

// Direct form with N taps on each side:
// y = sum FeedForward[i] x[n-i] + sum_{i>=1} FeedBack[i] y[n-i].
// Exact only while the expanded coefficients represent the poles well; the
// Butterworth filters therefore run TCascadeFilter instead.
class TUniversalFilter {
public:
  // Throws EInvalidArgument("Invalid Filter Parameters") for arrays of
  // different lengths.
  TUniversalFilter(const std::vector<double>& feedBack, const std::vector<double>& feedForward);
  void Process16(const int16_t* source, int16_t* destination, int count);
  void Process32(const int32_t* source, int32_t* destination, int count);

  int Taps;
  std::vector<double> FeedBack, FeedForward, XHistory, YHistory;

private:
  template <class T>
  void Run(const T* source, T* destination, int count);
};

// The sections of a TCascadeDesign in series. The histories are doubles and
// every sample runs the same operations, so the output does not depend on how
// a stream is cut into blocks. Source and destination may be the same array.
class TCascadeFilter {
public:
  explicit TCascadeFilter(const TCascadeDesign& design);
  void Process16(const int16_t* source, int16_t* destination, int count);
  void Process32(const int32_t* source, int32_t* destination, int count);

  // Per section: last output Y and last output step V = Y[n] - Y[n-1]; the
  // raw input's last value and step feed the first section.
  struct TState {
    double Y, V;
  };
  TCascadeDesign Design;
  TState State[8] = {};
  double LastInput = 0, LastStep = 0;

private:
  using Runner16 = void (*)(TCascadeFilter&, const int16_t*, int16_t*, int);
  using Runner32 = void (*)(TCascadeFilter&, const int32_t*, int32_t*, int);
  Runner16 Run16;
  Runner32 Run32;
};

}  // namespace amx
