// UBFEx: Butterworth filters for hosts: TButterFilter, the library's list of
// them and the BF* exports (amvex.h), on the designer and cascade of HFltrCalc
// and UIIRF and the handle tables of filter_common.
#include "filters/UBFEx.h"

#include <cmath>
#include <utility>

#include "filters/filter_common.h"
#include "amvex.h"

namespace amx {

namespace {

// Corners closer to 0 than this fraction of the rate are refused: the design
// would underflow long before such a filter settled.
const double kMinAlpha = 1e-6;

bool ValidCorner(double f, double rate) { return std::isfinite(f) && f >= kMinAlpha * rate && 2 * f < rate; }

tFilterList<TButterFilter> ButterFilterList;

}  // namespace

TButterFilter::TButterFilter() { Set(0, 4, 250.0, 65.61679790026247, 65.61679790026247); }

int32_t TButterFilter::Set(int type, int order, double rate, double f1, double f2)
{
  if (type < 0 || type > 3 || order > 8) return AMX_BF_OUT_OF_RANGE;
  if (order <= 0) {
    Filter = std::make_unique<TCascadeFilter>(TCascadeDesign{});
    return AMX_BF_DONE;
  }
  if (!std::isfinite(rate) || !(rate > 0) || !ValidCorner(f1, rate)) return AMX_BF_OUT_OF_RANGE;
  if (type >= 2) {
    if (!ValidCorner(f2, rate)) return AMX_BF_OUT_OF_RANGE;
    if (f1 > f2) std::swap(f1, f2);  // the band between the two corners
  } else if (!std::isfinite(f2) || 2 * f2 > rate) {
    return AMX_BF_OUT_OF_RANGE;
  }
  TFilterCalculator calc;
  calc.Order = order;
  calc.Alpha1 = f1 / rate;
  calc.Alpha2 = f2 / rate;
  calc.FilterType = static_cast<uint8_t>(type);
  try {
    calc.Design();
  } catch (const EButtFilter& e) {
    return e.Status;  // the design's own status; the filter stays as it was
  }
  Filter = std::make_unique<TCascadeFilter>(calc.Cascade);
  return AMX_BF_DONE;
}

void TButterFilter::Process16(const int16_t* source, int16_t* destination, int count)
{
  if (count <= 0 || !source || !destination) return;
  Filter->Process16(source, destination, count);
}

void TButterFilter::Process32(const int32_t* source, int32_t* destination, int count)
{
  if (count <= 0 || !source || !destination) return;
  Filter->Process32(source, destination, count);
}

}  // namespace amx

using namespace amx;

AMX_API uint32_t AMX_CALL BFCreate(void) { return CreateFilter(ButterFilterList); }

AMX_API void AMX_CALL BFDestroy(uint32_t filter) { DestroyFilter(ButterFilterList, filter); }

AMX_API int32_t AMX_CALL BFSet(uint32_t filter, int32_t type, int32_t order, double rate, double f1, double f2)
{
  return Guarded(int32_t(AMX_BF_FAILED), [&] {
    TButterFilter* f = ButterFilterList.Find(filter);
    return f ? f->Set(type, order, rate, f1, f2) : int32_t(AMX_BF_NO_FILTER);
  });
}

AMX_API void AMX_CALL BFProcess(uint32_t filter, const int16_t* source, int16_t* destination, int32_t count)
{
  WithFilter(ButterFilterList, filter, [&](TButterFilter& f) { f.Process16(source, destination, count); });
}

AMX_API void AMX_CALL BFProcess32(uint32_t filter, const int32_t* source, int32_t* destination, int32_t count)
{
  WithFilter(ButterFilterList, filter, [&](TButterFilter& f) { f.Process32(source, destination, count); });
}
