// HFltrCalc: the Butterworth designer. Prototype poles, band transform with
// prewarping, bilinear map; gives both the expanded direct-form coefficients and
// the same poles, zeros and gain as a cascade of second-order sections (Compn).
// Used by the Butterworth filters and by the device's impedance band-pass.
#pragma once

#include <cstdint>
#include <string>

#include "common/errors.h"
#include "common/Compn.h"

namespace amx {

// One second-order section. With c = z^-1, numerator and denominator share one
// shape: N(c) = (1 - c)(1 - M c) + Nn c and D(c) = (1 - c)(1 - A2 c) + E c, so
// Nn = N(1) and E = D(1) = (1 - p1)(1 - p2) are stored directly. They are
// computed from the s-plane roots, which keeps roots close to z = 1 (low
// corners, narrow bands) accurate where expanded coefficients lose them.
// A first-order section has M = A2 = 0.
struct TBiquad {
  double M, Nn, A2, E;
};

// The whole design as sections: output = Gain x (product of the sections).
struct TCascadeDesign {
  int Count = 0;
  TBiquad Sections[8] = {};
  double Gain = 1;
};

enum : uint8_t { kLowPass = 0, kHighPass = 1, kBandPass = 2, kBandStop = 3 };

class TFilterCalculator {
public:
  uint8_t FilterType = kLowPass;
  int Order = 0;                  // 1 to 8
  double Alpha1 = 0, Alpha2 = 0;  // corners / sampling rate
  uint16_t PoleMask = 0xFFFF;
  TComplex SPoles[16], SZeros[16], ZPoles[16], ZZeros[16];
  int SPoleCount = 0, SZeroCount = 0, ZPoleCount = 0, ZZeroCount = 0;
  double XCoeffs[25] = {}, YCoeffs[25] = {};  // index = power of z
  TCascadeDesign Cascade;

  // Fills every field above from FilterType, Order, Alpha1, Alpha2. Throws
  // EButtFilter for equal band corners or a coefficient that is not real.
  void Design();

private:
  void MakePrototypePoles();
  void AddPole(TComplex z);
  void TransformBand();
  void MapToZPlane();
  void BuildCoefficients();
  void BuildSections();
};

}  // namespace amx
