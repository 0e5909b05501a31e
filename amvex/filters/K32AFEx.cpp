// K32AFEx: the AF* exports (amvex.h): adaptive filters by handle, through the
// handle table and error guard of filter_common.
#include "filters/filter_common.h"
#include "filters/UAF50.h"
#include "amvex.h"

using namespace amx;

namespace {
tFilterList<TAdaptiveFilter> AdaptiveFilterList;
}

AMX_API uint32_t AMX_CALL AFCreate(void) { return CreateFilter(AdaptiveFilterList); }

AMX_API void AMX_CALL AFDestroy(uint32_t filter) { DestroyFilter(AdaptiveFilterList, filter); }

AMX_API void AMX_CALL AFSet(uint32_t filter, double rate)
{
  WithFilter(AdaptiveFilterList, filter, [&](TAdaptiveFilter& f) { f.SetRate(rate); });
}

AMX_API void AMX_CALL AFSetEx(uint32_t filter, double rate, double notch)
{
  WithFilter(AdaptiveFilterList, filter, [&](TAdaptiveFilter& f) {
    f.SetRate(rate);
    f.SetNotch(notch);
  });
}

AMX_API void AMX_CALL AFProcess(uint32_t filter, const int16_t* source, int16_t* destination, int32_t count)
{
  WithFilter(AdaptiveFilterList, filter, [&](TAdaptiveFilter& f) { f.Process16(source, destination, count); });
}

AMX_API void AMX_CALL AFProcess32(uint32_t filter, const int32_t* source, int32_t* destination, int32_t count)
{
  WithFilter(AdaptiveFilterList, filter, [&](TAdaptiveFilter& f) { f.Process32(source, destination, count); });
}
