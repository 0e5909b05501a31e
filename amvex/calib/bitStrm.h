// calib/bitStrm: tBitStream reads signed or unsigned values of up to 20 bits,
// least significant bit first, from a byte stream it does not own (TMemoryStream).
// Used to unpack the per-channel readings of the calibration record.
#pragma once
#include <cstdint>

namespace amx {

struct TMemoryStream;

class tBitStream {
public:
  explicit tBitStream(TMemoryStream& source) : Source(source) {}
  // The next n stream bits (1 <= n <= 20), sign-extended from bit n - 1 when
  // isSigned. Raises EReadError when the stream ends before them and
  // EInvalidArgument for another width.
  int32_t ReadBits(bool isSigned, int n);

private:
  TMemoryStream& Source;
  uint32_t Accumulator = 0;  // the unread bits sit at its top
  int Unread = 0;
};

}  // namespace amx
