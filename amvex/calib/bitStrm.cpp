// calib/bitStrm: LSB-first bit reader over TMemoryStream. Bytes are fetched only
// as needed (1 to 3 at a time) and shifted in above the unread bits.
#include "calib/bitStrm.h"

#include "calib/mem_stream.h"

namespace amx {

int32_t tBitStream::ReadBits(bool isSigned, int n)
{
  if (n < 1 || n > 20) throw EInvalidArgument("ReadBits: 1 to 20 bits");
  if (Unread < n) {
    int k = (n - Unread + 7) / 8;
    uint8_t bytes[3] = {};
    Source.ReadBuffer(bytes, k);
    uint32_t w = bytes[0] | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16;
    Accumulator = (w << (32 - 8 * k)) | (Accumulator >> (8 * k));
    Unread += 8 * k;
  }
  Unread -= n;
  uint32_t top = Accumulator << Unread;
  if (isSigned) return int32_t(top) >> (32 - n);
  return int32_t(top >> (32 - n));
}

}  // namespace amx
