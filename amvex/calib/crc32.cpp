// calib/crc32: table-driven CRC-32 (reflected 0xEDB88320). The table is computed
// at compile time from the polynomial, so nothing runs at load time.
#include "calib/crc32.h"

#include <array>

namespace amx {

namespace {

constexpr std::array<uint32_t, 256> MakeCrcTable()
{
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();

}  // namespace

uint32_t Crc32(const void* block, size_t length)
{
  const auto* p = static_cast<const uint8_t*>(block);
  uint32_t reg = 0xFFFFFFFFu;
  for (size_t i = 0; i < length; ++i) reg = kCrcTable[(reg ^ p[i]) & 0xFF] ^ (reg >> 8);
  return ~reg;
}

}  // namespace amx
