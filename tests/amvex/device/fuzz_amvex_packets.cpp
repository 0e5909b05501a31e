// libFuzzer target: arbitrary device bytes through TAmx's framing and decoding
// (Feed, HandlePacket, StoreFrame, StoreUart) and the host's readers. The first
// input byte picks the channel count and how the bytes are cut into blocks.
#include "device/UAmvex.h"
#include "emulator/emulator.h"

#include <cstdlib>
#include <vector>

using namespace amx;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  static TEmulator emu;
  static TAmx amx(emu, "no such path");
  static std::vector<int32_t> frames(RingItems);
  static std::vector<uint8_t> uart(RingItems);
  if (size < 1) return 0;
  static const uint32_t channels[4] = {16, 20, 24, 40};
  amx.ChannelCount = amx.FrameChannels = channels[data[0] & 3];
  amx.Calibrated = (data[0] & 4) != 0;
  amx.ExpectedSeq = 0x7FFFFFFF;
  amx.PacketCounter = 32;
  amx.ReplyAwaited = true;
  amx.ReplyArrived = false;
  amx.ReplyCode = 13;
  size_t block = 1 + (data[0] >> 3) * 9;
  for (size_t at = 1; at < size; at += block) amx.DataReceived(data + at, uint32_t(std::min(block, size - at)));
  int n = amx.ReadSamples(frames.data(), int(frames.size() * 4));
  if (n % (4 * int(amx.FrameChannels + 1)) != 0) std::abort();
  int m = amx.ReadUart(uart.data(), int(uart.size()));
  for (int at = 0; at < m;) {  // whole records only
    if (at + 5 > m || at + 5 + uart[size_t(at) + 4] > m) std::abort();
    at += 5 + uart[size_t(at) + 4];
  }
  if (amx.ReplyArrived && amx.ReplyLength > 255) std::abort();
  return 0;
}
