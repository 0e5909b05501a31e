// UBFEx: the Butterworth filter object behind the BF* exports: a design from
// TFilterCalculator (HFltrCalc) run as cascaded sections (UIIRF).
#pragma once

#include <cstdint>
#include <memory>

#include "filters/UIIRF.h"

namespace amx {

class TButterFilter {
public:
  // A fourth-order low-pass at 250 / 3.81 Hz for 250 samples per second.
  TButterFilter();

  // Designs a new filter (histories start at zero) and returns the BFSet status
  // (amvex.h): AMX_BF_DONE, or the reason the current filter was kept (the
  // parameters are out of range, or the design failed). Orders of 0 or below
  // give a filter that passes samples unchanged.
  int32_t Set(int type, int order, double rate, double f1, double f2);

  void Process16(const int16_t* source, int16_t* destination, int count);
  void Process32(const int32_t* source, int32_t* destination, int count);

  std::unique_ptr<TCascadeFilter> Filter;
};

}  // namespace amx
