// K32HFEx: the HF* exports (amvex.h): hardware filters by handle, through the
// handle table and error guard of filter_common.
#include "filters/filter_common.h"
#include "filters/UHHPF.h"
#include "amvex.h"

using namespace amx;

namespace {
tFilterList<THardwareFilter> HardwareFilterList;
}

AMX_API uint32_t AMX_CALL HFCreate(void) { return CreateFilter(HardwareFilterList); }

AMX_API void AMX_CALL HFDestroy(uint32_t filter) { DestroyFilter(HardwareFilterList, filter); }

AMX_API void AMX_CALL HFSet(uint32_t filter, double rate, double cutoff, double timeConstant)
{
  WithFilter(HardwareFilterList, filter, [&](THardwareFilter& f) {
    if (rate > 0) f.SetRate(rate);
    if (cutoff >= 0) f.SetCutoff(cutoff);
    if (timeConstant > 0) f.SetTimeConstant(timeConstant);
  });
}

AMX_API void AMX_CALL HFProcess(uint32_t filter, const int32_t* source, int16_t* destination, int32_t count)
{
  WithFilter(HardwareFilterList, filter, [&](THardwareFilter& f) { f.Process32To16(source, destination, count); });
}

AMX_API void AMX_CALL HFProcess32(uint32_t filter, const int32_t* source, int32_t* destination, int32_t count)
{
  WithFilter(HardwareFilterList, filter, [&](THardwareFilter& f) { f.Process32(source, destination, count); });
}
