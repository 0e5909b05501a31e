// UBFEx: the Butterworth filter object behind the BF* exports: a design from
// TFilterCalculator (HFltrCalc) run as cascaded sections (UIIRF).
#ifndef AMVEX_UBFEX_H
#define AMVEX_UBFEX_H

#include <cstdint>
#include <memory>

#include "UIIRF.h"

class TButterFilter {
public:
  // A fourth-order low-pass at 250 / 3.81 Hz for 250 samples per second.
  TButterFilter();

  // Designs a new filter (histories start at zero). Returns false, keeping the
  // current filter, for parameters outside the accepted range (see BFSet in
  // amvex.h); throws EButtFilter for a failed design, also keeping it.
  // Orders of 0 or below give a filter that passes samples unchanged.
  bool Set(int type, int order, double rate, double f1, double f2);

  void Process16(const int16_t* source, int16_t* destination, int count);
  void Process32(const int32_t* source, int32_t* destination, int count);

  std::unique_ptr<TCascadeFilter> Filter;
};

#endif
