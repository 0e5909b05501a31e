// calib/crc32: the reflected CRC-32 of IEEE 802.3 (polynomial 0xEDB88320,
// initial register 0xFFFFFFFF, final complement) that protects the calibration
// record. The routine is AmxCalCrc32 of amvex.h, inline there so that hosts
// check records with the very code the library uses.
#pragma once
#include <cstddef>
#include <cstdint>

#include "amvex.h"

namespace amx {

inline uint32_t Crc32(const void* block, size_t length) { return AmxCalCrc32(block, length); }

}  // namespace amx
