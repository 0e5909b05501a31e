// OmegaBuf: the history ring of the window and hardware filters: 32-bit
// samples at absolute positions, used by one filter (one thread) at a time.
#pragma once
#include "common/ring_buffer.h"

namespace amx {

using THistoryRing = TRingBuffer<int32_t>;

}  // namespace amx
