// K32WFEx: the WF* exports (amvex.h): window filters by handle, through the
// handle table and error guard of filter_common.
#include "filters/filter_common.h"
#include "filters/UWF50.h"
#include "amvex.h"

using namespace amx;

namespace {
tFilterList<TWindowFilter> WindowFilterList;
}

AMX_API uint32_t AMX_CALL WFCreate(void) { return CreateFilter(WindowFilterList); }

AMX_API void AMX_CALL WFDestroy(uint32_t filter) { DestroyFilter(WindowFilterList, filter); }

AMX_API void AMX_CALL WFSet(uint32_t filter, double rate, double frequency, double duration)
{
  WithFilter(WindowFilterList, filter, [&](TWindowFilter& f) {
    if (rate > 0) f.SetRate(rate);
    if (frequency > 0) f.SetFrequency(frequency);
    if (duration > 0) f.SetDuration(duration);
  });
}

AMX_API void AMX_CALL WFProcess(uint32_t filter, const int16_t* source, int16_t* destination, int32_t count)
{
  WithFilter(WindowFilterList, filter, [&](TWindowFilter& f) { f.Process16(source, destination, count); });
}

AMX_API void AMX_CALL WFProcess32(uint32_t filter, const int32_t* source, int32_t* destination, int32_t count)
{
  WithFilter(WindowFilterList, filter, [&](TWindowFilter& f) { f.Process32(source, destination, count); });
}
