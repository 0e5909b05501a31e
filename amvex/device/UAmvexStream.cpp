// UAmvexStream: the packet side of TAmx: framing of the byte stream, decoding of
// sample and UART packets into the device rings, reply hand-over, and the host's
// reads of samples and UART records. Builds on UAmvex and protocol.h.
#include "device/UAmvex.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace amx {

// ---- packet framing ------------------------------------------------------------

void TAmxInputBuffer::Feed(const uint8_t* block, uint32_t n)
{
  while (n > 0) {
    uint32_t c = std::min<uint32_t>(sizeof Data - Length, n);
    std::memcpy(Data + Length, block, c);
    if (Device && Device->DebugMode.load() && Device->RawLog) Device->RawLog->Write(block, int(c));
    Length += c;
    block += c;
    n -= c;

    uint32_t i = 0;
    while (i < Length) {
      if (Data[i] != kFrameStart || i + 2 >= Length) {
        if (Data[i] == kFrameStart) break;  // header not complete yet
        ++i;
        continue;
      }
      uint32_t len = Data[i + 2];
      uint32_t end = i + 3 + len;
      if (end >= Length) break;  // packet not complete yet
      if (Data[end] == kFrameEnd) {
        if (Handler) Handler(HandlerData, Data[i + 1], uint8_t(len), Data + i + 3);
        i = end + 1;
      } else {
        ++i;
      }
    }
    Length -= i;
    std::memmove(Data, Data + i, Length);
  }
}

void DumpRing(const TRingBuffer<uint8_t>& ring, TMemoryStream& stream)
{
  uint8_t chunk[4096];
  for (int64_t pos = ring.FirstPosition();;) {
    int n = ring.Read(chunk, pos, int(sizeof chunk));
    stream.Write(chunk, size_t(n));
    pos += n;
    if (n < int(sizeof chunk)) break;
  }
}

int32_t DecodeSample(const uint8_t* b)
{
  if (b[2] & kSampleInvalidFlag) return kInvalidSample;
  int32_t v = int32_t((uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8)) >> 8;
  return v / 4;
}

// ---- packet decoding -----------------------------------------------------------

void TAmx::HandlePacket(uint8_t type, uint8_t n, const uint8_t* payload)
{
  if (type == kPacketSamples) {
    if (n <= 5) return;
    int k = (n - 2) / kSampleBytes;
    if (k > MaxChannels) return;
    int32_t frame[MaxChannels + 1];
    int channels = int(FrameChannels);
    bool calibrated = Calibrated.load();
    for (int c = 0; c < channels; ++c) {
      if (c >= k) {
        frame[c] = kInvalidSample;  // not carried by this packet: marked invalid
        continue;
      }
      int32_t v = DecodeSample(payload + kSampleBytes * c);
      if (calibrated && v != kInvalidSample) {
        double x = std::nearbyint((double(v) - Offsets[c]) * Gains[c]);
        v = int32_t(std::max(-2147483648.0, std::min(2147483646.0, x)));
      }
      frame[c] = v;
    }
    uint8_t st = payload[n - 2];
    constexpr int shift = AMX_STATUS_BITS_SHIFT;  // device status bits 7, 6, 5, 4 from here up
    uint32_t status = (uint32_t(st >> 7) & 1) << shift | (uint32_t(st >> 6) & 1) << (shift + 1) |
                      (uint32_t(st >> 5) & 1) << (shift + 2) | (uint32_t(st >> 4) & 1) << (shift + 3);
    uint32_t s = payload[n - 1];
    if (ExpectedSeq == kUnsynchronised && s == 0) {
      // The device numbers its packets from 0 at every start. Packet 0 only
      // sets the sequence: counted as lost and dropped, so that the first frame
      // a host reads is number 1 and frame n holds the device's packet n.
      LostPackets.fetch_add(1);
    } else {
      // A first packet numbered s > 0: packets 0 to s - 1 were lost. Packet 0
      // counts as the synchronising one would have, the others as lost, so the
      // sample numbers stay the device's and the gap shows them.
      if (ExpectedSeq == kUnsynchronised) {
        LostPackets.fetch_add(1);
        ExpectedSeq = 1;
      }
      // The sequence byte counts packets mod 256: the difference is the number
      // lost before this one (a break of 256 or more cannot be told exactly).
      // The sample number moves over them, so the gap shows where they were,
      // and this packet is kept.
      uint32_t lost = (s - ExpectedSeq) & 0xFF;
      if (lost) LostPackets.fetch_add(lost);
      PacketCounter += lost + 1;
      if (PacketCounter > 32) {
        frame[channels] = int32_t(((PacketCounter - 32) & AMX_STATUS_SAMPLE_MASK) | status);
        StoreFrame(frame, 4 * channels + 4);
      }
    }
    ExpectedSeq = (s + 1) & 0xFF;
  } else if (type == kPacketUart) {
    if (n >= 1) UartLog->LockedWrite(payload, n - 1);
    if (n >= 2 && PacketCounter > 32) StoreUart((PacketCounter - 32) & AMX_STATUS_SAMPLE_MASK, payload, n - 1);
  } else {
    TLock l(DataLock);
    // Only the first reply to an armed wait is taken, so the waiter never sees
    // the payload change under it.
    if (!ReplyAwaited || ReplyArrived || type != ReplyCode) return;
    ReplyLength = n;
    std::memcpy(ReplyData, payload, n);
    ReplyArrived = true;
  }
}

int TAmx::StoreFrame(const int32_t* frame, int bytes)
{
  TLock l(DataLock);
  int written = Samples->Write(frame, bytes / 4);
  FeedImpedance(frame, bytes);
  return 4 * written;
}

int TAmx::ReadSamples(void* destination, int size)
{
  TLock l(DataLock);
  const int64_t frameItems = int64_t(FrameChannels) + 1;
  if (SampleReadPos < Samples->FirstPosition()) {
    // Overwritten: resume at the first whole frame still held (frames start at
    // positions 1, 1 + frame, 1 + 2 frame, ...).
    int64_t behind = Samples->FirstPosition() - 1;
    SampleReadPos = 1 + (behind + frameItems - 1) / frameItems * frameItems;
  }
  if (Samples->LastPosition < SampleReadPos || size <= 0) return 0;
  int64_t available = Samples->LastPosition - SampleReadPos + 1;
  int64_t items = std::min<int64_t>(size / 4, available) / frameItems * frameItems;
  if (items <= 0) return 0;
  int n = Samples->Read(static_cast<int32_t*>(destination), SampleReadPos, int(items));
  SampleReadPos += n;
  return 4 * n;
}

int TAmx::StoreUart(uint32_t number, const uint8_t* data, int m)
{
  if (m < 1 || m > 255) return 0;
  uint8_t record[5 + 255];
  std::memcpy(record, &number, 4);  // little-endian targets only
  record[4] = uint8_t(m);
  std::memcpy(record + 5, data, size_t(m));
  TLock l(DataLock);
  UartStarts[UartStartCount % UartStartSlots] = UartRecords->LastPosition + 1;
  ++UartStartCount;
  return UartRecords->Write(record, m + 5);
}

int TAmx::ReadUart(void* destination, int size)
{
  TLock l(DataLock);
  TRingBuffer<uint8_t>& ring = *UartRecords;
  if (UartReadPos < ring.FirstPosition()) {
    // Overwritten: resume at the oldest record that is still whole.
    if (UartStartCount - UartReadRecord > uint64_t(UartStartSlots)) UartReadRecord = UartStartCount - UartStartSlots;
    while (UartReadRecord < UartStartCount && UartStarts[UartReadRecord % UartStartSlots] < ring.FirstPosition())
      ++UartReadRecord;
    UartReadPos = UartReadRecord < UartStartCount ? UartStarts[UartReadRecord % UartStartSlots] : ring.LastPosition + 1;
  }
  uint8_t* dst = static_cast<uint8_t*>(destination);
  int copied = 0;
  for (;;) {
    int64_t p = UartReadPos;
    if (p + 4 > ring.LastPosition) break;
    uint8_t m = 0;
    ring.Read(&m, p + 4, 1);
    int f = m + 5;
    if (p + f - 1 > ring.LastPosition || size - copied < f) break;
    ring.Read(dst + copied, p, f);
    copied += f;
    UartReadPos += f;
    ++UartReadRecord;
  }
  return copied;
}

}  // namespace amx
