// UAmvex: TAmx command protocol and settings, packet framing and decoding, the
// device ring buffers. Builds on UsbDevice (command write, reader thread) and the
// platform layer (locks, ticks, page storage).
#include "UAmvex.h"

#include "CL_EPROM.h"
#include "ULcdText.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace amx {

// ---- debug dumps ----------------------------------------------------------------

static void SaveDump(const char* name, const void* p, size_t n)
{
  TMemoryStream s;
  s.Write(p, n);
  s.SaveToFile(name);
}

// ---- device ring ---------------------------------------------------------------

TRingBuffer::TRingBuffer(int itemSize, int capacity) { Reset(itemSize, capacity); }
TRingBuffer::~TRingBuffer() { PageFree(Storage, size_t(ItemSize) * size_t(Capacity)); }

void TRingBuffer::Reset(int itemSize, int capacity)
{
  PageFree(Storage, size_t(ItemSize) * size_t(Capacity));
  Storage = nullptr;
  ItemSize = Capacity = WriteIndex = FillCount = 0;
  LastPosition = 0;
  FirstPosition = 1;
  if (capacity <= 0 || itemSize <= 0) return;
  size_t bytes = size_t(itemSize) * size_t(capacity);
  Storage = static_cast<uint8_t*>(PageAlloc(bytes));
  if (!Storage) {
    char text[48];
    std::snprintf(text, sizeof text, "VirtualAlloc(%d)", int(bytes));
    throw TOutOfMemory{text};
  }
  ItemSize = itemSize;
  Capacity = capacity;
}

int TRingBuffer::Write(const void* items, int count)
{
  if (!Storage || count <= 0) return 0;
  const uint8_t* src = static_cast<const uint8_t*>(items);
  int skip = std::max(0, count - Capacity);  // only the newest Capacity items remain
  int kept = count - skip;
  src += size_t(skip) * size_t(ItemSize);
  int first = std::min(kept, Capacity - WriteIndex);
  std::memcpy(Storage + size_t(WriteIndex) * size_t(ItemSize), src, size_t(first) * size_t(ItemSize));
  std::memcpy(Storage, src + size_t(first) * size_t(ItemSize), size_t(kept - first) * size_t(ItemSize));
  FillCount = std::min(FillCount + kept, Capacity);
  LastPosition += count;
  WriteIndex = (WriteIndex + kept) % Capacity;
  FirstPosition = LastPosition - FillCount + 1;
  return kept;
}

int TRingBuffer::Read(void* destination, int64_t position, int count) const
{
  if (!Storage || count <= 0 || position < FirstPosition || position > LastPosition) return 0;
  int n = int(std::min<int64_t>(count, LastPosition - position + 1));
  int64_t index = WriteIndex + position - LastPosition - 1;
  if (index < 0) index += Capacity;
  uint8_t* dst = static_cast<uint8_t*>(destination);
  int first = std::min(n, Capacity - int(index));
  std::memcpy(dst, Storage + size_t(index) * size_t(ItemSize), size_t(first) * size_t(ItemSize));
  std::memcpy(dst + size_t(first) * size_t(ItemSize), Storage, size_t(n - first) * size_t(ItemSize));
  return n;
}

int TRingBuffer::LockedWrite(const void* items, int count)
{
  int32_t idle = 0;
  while (!LockState.compare_exchange_weak(idle, -1, std::memory_order_acquire)) idle = 0;
  int n = Write(items, count);
  LockState.store(0, std::memory_order_release);
  return n;
}

int TRingBuffer::LockedRead(void* destination, int64_t position, int count)
{
  for (;;) {
    int32_t readers = LockState.load(std::memory_order_relaxed);
    if (readers >= 0 && LockState.compare_exchange_weak(readers, readers + 1, std::memory_order_acquire)) break;
  }
  int n = Read(destination, position, count);
  LockState.fetch_sub(1, std::memory_order_release);
  return n;
}

void TRingBuffer::DumpTo(TMemoryStream& stream) const
{
  uint8_t chunk[4096];
  for (int64_t pos = FirstPosition;;) {
    int n = Read(chunk, pos, int(sizeof chunk / size_t(std::max(ItemSize, 1))));
    stream.Write(chunk, size_t(n) * size_t(ItemSize));
    pos += n;
    if (n * ItemSize < int(sizeof chunk)) break;
  }
}

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
      if (Data[i] != 0xAA || i + 2 >= Length) {
        if (Data[i] == 0xAA) break;  // header not complete yet
        ++i;
        continue;
      }
      uint32_t len = Data[i + 2];
      uint32_t end = i + 3 + len;
      if (end >= Length) break;  // packet not complete yet
      if (Data[end] == 0x55) {
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

// ---- device object -------------------------------------------------------------

int32_t DecodeSample(const uint8_t* b)
{
  if (b[2] & 1) return 0x7FFFFFFF;
  int32_t v = int32_t((uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8)) >> 8;
  return v / 4;
}

TAmx::TAmx(TDeviceBus& bus, const std::string& path) : TUsbDevice(bus, path)
{
  InputBuffer.SetHandler(OnPacket, this);
  std::fill(std::begin(Gains), std::end(Gains), 1.0);
  std::fill(std::begin(RefResistances), std::end(RefResistances), 100000000);
  RawLog.reset(new TRingBuffer(1, RingItems));
  Samples.reset(new TRingBuffer(4, RingItems));
  UartRecords.reset(new TRingBuffer(1, RingItems));
  UartLog.reset(new TRingBuffer(1, RingItems));
  UartStarts.assign(UartStartSlots, 0);
  // A path that did not open is dropped by the list at once: no commands to send.
  if (IsOpen()) Reset();
}

TAmx::~TAmx()
{
  Stop();
  StopReader();
}

void TAmx::Close()
{
  Stop();
  TUsbDevice::Close();
}

// A resume can arrive for a device that was never suspended: its reader must not
// keep reading a handle that is about to be replaced.
bool TAmx::Reopen()
{
  if (IsOpen()) Stop();
  return TUsbDevice::Reopen();
}

void TAmx::DataReceived(const uint8_t* block, uint32_t n) { InputBuffer.Feed(block, n); }

void TAmx::OnPacket(void* self, uint8_t type, uint8_t n, const uint8_t* payload)
{
  static_cast<TAmx*>(self)->HandlePacket(type, n, payload);
}

bool TAmx::SendCommand(uint8_t code, const uint8_t* payload, uint8_t n)
{
  if (n > 60) return false;
  uint8_t packet[MaxCommandPacket];
  packet[0] = 0xAA;
  packet[1] = code;
  packet[2] = n;
  if (n) std::memcpy(packet + 3, payload, n);
  packet[3 + n] = 0x55;
  bool ok = WriteCommand(packet, uint32_t(n) + 4);
  if (ok && DebugMode.load()) SaveDump("cmd.bin", packet + 1, size_t(n) + 2);
  return ok;
}

int TAmx::WaitReply(uint8_t code, uint8_t* destination, int maximum, uint32_t timeoutMs, bool keepReader)
{
  {
    TLock l(DataLock);
    ReplyArrived = false;
    ReplyCode = code;
    ReplyAwaited = true;
  }
  if (!keepReader) StartReader();
  uint64_t deadline = TickCount64() + timeoutMs;
  int result = -1;
  uint8_t got[2 + 256];
  while (TickCount64() < deadline) {
    SleepMs(0);
    TLock l(DataLock);
    if (!ReplyArrived) continue;
    result = std::min<int>(ReplyLength, std::max(maximum, 0));
    if (result > 0) std::memcpy(destination, ReplyData, size_t(result));
    got[0] = ReplyCode;
    got[1] = ReplyLength;
    std::memcpy(got + 2, ReplyData, size_t(result));
    break;
  }
  {
    TLock l(DataLock);
    ReplyAwaited = false;
  }
  if (result >= 0 && DebugMode.load()) SaveDump("packet.bin", got, size_t(result) + 2);
  if (!keepReader) StopReader();
  return result;
}

bool TAmx::Start()
{
  if (Running) {
    Stop();
    SleepMs(10);
  }
  {
    TLock l(DataLock);
    Samples->Reset(4, RingItems);
    UartRecords->Reset(1, RingItems);
    UartLog->Reset(1, RingItems);
    SampleReadPos = Samples->FirstPosition;
    UartReadPos = UartRecords->FirstPosition;
    UartStartCount = UartReadRecord = 0;
    ExpectedSeq = 0x7FFFFFFF;
    LostPackets = 0;
    PacketCounter = 32;
    FrameChannels = std::min<uint32_t>(ChannelCount, MaxChannels);
  }
  SleepMs(50);
  SetSampling(Sampling);
  SleepMs(50);
  if (HasUart) {
    SendUartBaud();
    SleepMs(50);
  }
  SetAnalogConfig(AnalogConfig);
  SleepMs(50);
  bool ok = SendCommand(2);
  if (WaitReply(2, nullptr, 0, 1250, false) < 0) return ok;
  SleepMs(50);
  Running = true;
  StartReader();
  return ok;
}

bool TAmx::Stop()
{
  StopReader();
  Running = false;
  bool ok = SendCommand(3);
  SleepMs(50);
  Running = false;
  if (DebugMode.load()) {
    TMemoryStream raw, uart;
    RawLog->DumpTo(raw);
    UartLog->DumpTo(uart);
    raw.SaveToFile("log.bin");
    uart.SaveToFile("uart.bin");
  }
  return ok;
}

bool TAmx::Reset()
{
  Stop();
  SleepMs(100);
  SetSampling(500);
  SleepMs(100);
  SetSync(0, 0);
  SleepMs(100);
  SetPullUp(0, 0);
  SleepMs(50);
  SetAnalogConfig(0x80000000u);
  return true;
}

bool TAmx::SetSampling(uint32_t rate)
{
  uint8_t code;
  switch (rate) {
    case 125: code = 1; break;
    case 250: code = 2; break;
    case 500: code = 3; break;
    case 1000: code = 4; break;
    default: return false;
  }
  if (!SendCommand(1, &code, 1)) return false;
  Sampling = rate;
  return true;
}

bool TAmx::SetSync(int a, int b)
{
  uint8_t flags = uint8_t((a ? 0x40 : 0) | (b ? 0x80 : 0));
  if (!SendCommand(11, &flags, 1)) return false;
  SyncA = a ? 1 : 0;
  SyncB = b ? 1 : 0;
  return true;
}

bool TAmx::SetPullUp(int on, int mode)
{
  uint8_t p[2];
  if (Extended)
    p[0] = on == 1 ? 0xC9 : 0x80;
  else
    p[0] = uint8_t(on & 1);
  p[1] = uint8_t(mode & 3);
  if (!SendCommand(10, p, 2)) return false;
  AnalogConfig = 0x80000000u | (uint32_t(on & 1) << 27) | (uint32_t(p[1]) << 24) | p[0];
  return true;
}

static bool InList(uint8_t code, const uint8_t* list, size_t n) { return std::find(list, list + n, code) != list + n; }

bool TAmx::SetAnalogConfig(uint32_t word)
{
  static const uint8_t family1[] = {0xC0, 0xC1, 0xC2, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xCB, 0xCC, 0xCD, 0xCE};
  static const uint8_t family2[] = {0xA0, 0xA1, 0xA3, 0xA4};
  uint32_t family = (word >> 27) & 7;
  uint8_t p[2];
  if (Extended) {
    uint8_t low = uint8_t(word);
    if (family == 0)
      p[0] = 0x80;
    else if (family == 1 && InList(low, family1, sizeof family1))
      p[0] = low;
    else if (family == 2 && InList(low, family2, sizeof family2))
      p[0] = low;
    else
      return false;
    p[1] = uint8_t((word >> 24) & 3);
    if (WideGain) {
      if (word & 0x80000000u) p[1] |= 0x80;
      if (word & 0x40000000u) p[1] |= 0x40;
    } else {
      word = (word | 0x80000000u) & ~0x40000000u;
      p[1] |= 0x80;
    }
  } else {
    word = (word | 0x80000000u) & ~0x40000000u;
    if (family == 0)
      p[0] = 0x80;
    else if (family == 1)
      p[0] = 0xC9;
    else {
      p[0] = 0x80;
      word &= ~(7u << 27);
    }
    p[1] = uint8_t((word >> 24) & 3);
  }
  if (!SendCommand(10, p, 2)) return false;
  AnalogConfig = word;
  return true;
}

bool TAmx::SendUartBaud()
{
  uint8_t code;
  switch (UartBaud) {
    case 115200: code = 0; break;
    case 57600: code = 1; break;
    case 38400: code = 2; break;
    case 9600: code = 4; break;
    default: code = 3; break;  // 19200
  }
  return SendCommand(5, &code, 1);
}

bool TAmx::SetMasterClock(int32_t& value)
{
  uint8_t v = uint8_t(value & 7);
  SendCommand(16, &v, 1);
  uint8_t confirmed = 0;
  if (WaitReply(16, &confirmed, 1, 250, true) != 1) return false;
  value = confirmed & 7;
  return true;
}

bool TAmx::ReadEepromChunk(uint8_t* destination, uint8_t address, uint8_t n, bool user)
{
  if (n > 48) return false;
  uint8_t code = user ? 15 : 13;
  uint8_t request[2] = {address, n};
  uint8_t reply[2 + 48];
  bool ok = SendCommand(code, request, 2) && WaitReply(code, reply, n + 2, 250, false) == n + 2 &&
            reply[0] == address && reply[1] == n;  // the echo must name this chunk
  if (ok) std::memcpy(destination, reply + 2, n);
  SleepMs(5);
  return ok;
}

bool TAmx::WriteEepromChunk(const uint8_t* source, uint8_t address, uint8_t n, bool user)
{
  if (n > 48) return false;
  uint8_t code = user ? 14 : 12;
  uint8_t request[2 + 48] = {address, n};
  std::memcpy(request + 2, source, n);
  uint8_t reply[2];
  bool ok = SendCommand(code, request, uint8_t(n + 2)) && WaitReply(code, reply, 2, 500, false) == 2;
  SleepMs(5);
  return ok;
}

int TAmx::ReadEeprom(uint8_t* destination, int n, bool user)
{
  if (n <= 0 || n > 256) return 0;
  for (int at = 0; at < n; at += 48)
    if (!ReadEepromChunk(destination + at, uint8_t(at), uint8_t(std::min(48, n - at)), user)) return 0;
  return n;
}

int TAmx::WriteEeprom(const uint8_t* source, int n, bool user)
{
  if (n <= 0 || n > 256) return 0;
  for (int at = 0; at < n; at += 48)
    if (!WriteEepromChunk(source + at, uint8_t(at), uint8_t(std::min(48, n - at)), user)) return 0;
  return n;
}

int TAmx::QueryIdent()
{
  uint8_t request[2] = {0, 0};
  uint8_t reply[2];
  if (!SendCommand(13, request, 2) || WaitReply(13, reply, 2, 500, false) < 2) return -1;
  HasUart = reply[0] > 2;
  DeviceKind = reply[0];
  DeviceRevision = reply[1];
  return reply[0];
}

bool TAmx::Identify()
{
  if (Identified && DeviceKind > 0) return true;
  int k = 0;
  for (int i = 0; i < 7; ++i) {
    k = QueryIdent();
    if (k != 0) break;
    SleepMs(50);
  }
  WideGain = false;
  switch (k) {
    case 1: ChannelCount = 24; break;
    case 2: ChannelCount = 20; break;
    case 6: ChannelCount = 16; break;
    case 7:
    case 8:
      ChannelCount = 40;
      WideGain = true;
      break;
    default: ChannelCount = 40; break;
  }
  Extended = ChannelCount == 40 && DeviceRevision >= 64;
  ImpedanceRef = ChannelCount > 19 ? 19 : 0;
  uint8_t record[256];
  if (ReadEeprom(record, 256, false) != 256) return true;  // not identified: the next call tries again
  Identified = true;
  Calibrated = ApplyCalibrationRecord(record);
  return true;
}

// A valid record supplies the identification numbers, the date and the per-channel
// arrays; any other record leaves calibration off and the arrays as they were.
bool TAmx::ApplyCalibrationRecord(const uint8_t* record)
{
  tCalibrate cal(record);
  if (!cal.Valid) return false;
  CalNumber1 = cal.Number1;
  CalNumber2 = cal.Number2;
  CalDate = cal.Date1;
  cal.CopyOffsets(Offsets, MaxChannels - 1);
  cal.ComputeGains(Gains, MaxChannels - 1);
  cal.CopyRefValues(RefResistances, MaxChannels - 1);
  return true;
}

double TAmx::LsbVolts() const
{
  if (!WideGain) return LsbWeight(19.0);
  return LsbWeight((AnalogConfig & 0x80000000u) ? 19.7 : 50.0);
}

bool TAmx::SetLcdText(const char* text)
{
  uint8_t codes[kLcdChars];
  return SendCommand(8, codes, uint8_t(TextToDisplayCodes(text, codes)));
}

bool TAmx::GetInfo(void* record, int size) const
{
  if (!record || size < 36) return false;
  uint8_t r[36];
  std::memcpy(r, &CalNumber1, 4);
  std::memcpy(r + 4, &CalNumber2, 4);
  tSystemTime date = DateToSystemTime(CalDate);
  std::memcpy(r + 8, &date, 16);
  int32_t channels = int32_t(ChannelCount);
  std::memcpy(r + 24, &channels, 4);
  double lsb = LsbVolts();
  std::memcpy(r + 28, &lsb, 8);
  std::memcpy(record, r, 36);
  return true;
}

// ---- packet decoding -----------------------------------------------------------

void TAmx::HandlePacket(uint8_t type, uint8_t n, const uint8_t* payload)
{
  if (type == 4) {
    if (n <= 5) return;
    int k = (n - 2) / 3;
    if (k > MaxChannels) return;
    int32_t frame[MaxChannels + 1];
    int channels = int(FrameChannels);
    bool calibrated = Calibrated.load();
    for (int c = 0; c < channels; ++c) {
      if (c >= k) {
        frame[c] = 0x7FFFFFFF;  // not carried by this packet: marked invalid
        continue;
      }
      int32_t v = DecodeSample(payload + 3 * c);
      if (calibrated && v != 0x7FFFFFFF) {
        double x = std::nearbyint((double(v) - Offsets[c]) * Gains[c]);
        v = int32_t(std::max(-2147483648.0, std::min(2147483646.0, x)));
      }
      frame[c] = v;
    }
    uint8_t st = payload[n - 2];
    uint32_t status = (uint32_t(st >> 7) & 1) << 28 | (uint32_t(st >> 6) & 1) << 29 | (uint32_t(st >> 5) & 1) << 30 |
                      (uint32_t(st >> 4) & 1) << 31;
    uint32_t s = payload[n - 1];
    if (s == ExpectedSeq) {
      PacketCounter += 1;
      if (PacketCounter > 32) {
        frame[channels] = int32_t(((PacketCounter - 32) & 0x0FFFFFFF) | status);
        StoreFrame(frame, 4 * channels + 4);
      }
    } else {
      LostPackets.fetch_add(1);
    }
    ExpectedSeq = s == 255 ? 0 : s + 1;
  } else if (type == 6) {
    if (n >= 1) UartLog->LockedWrite(payload, n - 1);
    if (n >= 2 && PacketCounter > 32) StoreUart((PacketCounter - 32) & 0x0FFFFFFF, payload, n - 1);
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
  if (SampleReadPos < Samples->FirstPosition) {
    // Overwritten: resume at the first whole frame still held (frames start at
    // positions 1, 1 + frame, 1 + 2 frame, ...).
    int64_t behind = Samples->FirstPosition - 1;
    SampleReadPos = 1 + (behind + frameItems - 1) / frameItems * frameItems;
  }
  if (Samples->LastPosition < SampleReadPos || size <= 0) return 0;
  int64_t available = Samples->LastPosition - SampleReadPos + 1;
  int64_t items = std::min<int64_t>(size / 4, available) / frameItems * frameItems;
  if (items <= 0) return 0;
  int n = Samples->Read(destination, SampleReadPos, int(items));
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
  TRingBuffer& ring = *UartRecords;
  if (UartReadPos < ring.FirstPosition) {
    // Overwritten: resume at the oldest record that is still whole.
    if (UartStartCount - UartReadRecord > uint64_t(UartStartSlots)) UartReadRecord = UartStartCount - UartStartSlots;
    while (UartReadRecord < UartStartCount && UartStarts[UartReadRecord % UartStartSlots] < ring.FirstPosition)
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

// ---- device list ---------------------------------------------------------------

TAmxList::TAmxList(TDeviceBus& bus, TCriticalSection* listLock) : TWdmDeviceList(bus, GUID_AMX_INTERFACE, listLock)
{
  Start();
}

TWdmDevice* TAmxList::CreateDevice(const std::string& path) { return new TAmx(Bus, path); }

}  // namespace amx
