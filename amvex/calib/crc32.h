// calib/crc32: the reflected CRC-32 of IEEE 802.3 (polynomial 0xEDB88320,
// initial register 0xFFFFFFFF, final complement) that protects the calibration
// record. Self-contained: the 256-entry table is built by a routine of its own.
#pragma once
#include <cstddef>
#include <cstdint>

namespace amx {

uint32_t Crc32(const void* block, size_t length);

}  // namespace amx
