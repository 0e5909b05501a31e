// UAmvex: the device object TAmx: command protocol, settings, identification,
// acquisition start and stop, the impedance measurement's drive, and the device
// list that creates it. Builds on UsbDevice (command write, reader thread) and
// protocol.h; the packet side is in UAmvexStream.
#include "device/UAmvex.h"

#include "calib/CL_EPROM.h"
#include "calib/ULcdText.h"
#include "common/saturate.h"

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

// ---- device object -------------------------------------------------------------

TAmx::TAmx(TDeviceBus& bus, const std::string& path) : TUsbDevice(bus, path)
{
  InputBuffer.SetHandler(OnPacket, this);
  std::fill(std::begin(Gains), std::end(Gains), 1.0);
  std::fill(std::begin(RefResistances), std::end(RefResistances), 100000000);
  RawLog.reset(new TRingBuffer<uint8_t>(RingItems));
  Samples.reset(new TRingBuffer<int32_t>(RingItems));
  UartRecords.reset(new TRingBuffer<uint8_t>(RingItems));
  UartLog.reset(new TRingBuffer<uint8_t>(RingItems));
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
  Suspended = true;
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
  if (n > kMaxCommandPayload) return false;
  uint8_t packet[MaxCommandPacket];
  packet[0] = kFrameStart;
  packet[1] = code;
  packet[2] = n;
  if (n) std::memcpy(packet + 3, payload, n);
  packet[3 + n] = kFrameEnd;
  bool ok = WriteCommand(packet, uint32_t(n) + 4);
  if (ok && DebugMode.load()) SaveDump("cmd.bin", packet + 1, size_t(n) + 2);
  return ok;
}

int TAmx::WaitReply(uint8_t code, uint8_t* destination, int maximum, uint32_t timeoutMs, bool keepReader)
{
  // While acquisition runs the reply arrives through the running reader; a
  // reader of the wait's own would replace it and stop the stream.
  keepReader = keepReader || Running;
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
  EmptyRings();
  SleepMs(50);
  SetSampling(Sampling);
  SleepMs(50);
  if (HasUart) {
    SendUartBaud();
    SleepMs(50);
  }
  SetAnalogConfig(AnalogConfig);
  SleepMs(50);
  bool ok = SendCommand(kCmdStart);
  if (WaitReply(kCmdStart, nullptr, 0, 1250, false) < 0) {
    // Not confirmed: no reader would run, so this is no start. The device may
    // still have begun to stream; stop it so that it is stopped on both sides,
    // and drop what the wait's reader stored of that stream.
    Stop();
    EmptyRings();
    return false;
  }
  SleepMs(50);
  Running = true;
  StartReader();
  return ok;
}

void TAmx::EmptyRings()
{
  TLock l(DataLock);
  Samples->Reset(RingItems);
  UartRecords->Reset(RingItems);
  UartLog->Reset(RingItems);
  SampleReadPos = Samples->FirstPosition();
  UartReadPos = UartRecords->FirstPosition();
  UartStartCount = UartReadRecord = 0;
  ExpectedSeq = kUnsynchronised;
  LostPackets = 0;
  PacketCounter = 32;
  FrameChannels = std::min<uint32_t>(ChannelCount, MaxChannels);
}

bool TAmx::Stop()
{
  StopReader();
  Running = false;
  bool ok = SendCommand(kCmdStop);
  SleepMs(50);
  Running = false;
  if (DebugMode.load()) {
    TMemoryStream raw, uart;
    DumpRing(*RawLog, raw);
    DumpRing(*UartLog, uart);
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
  const uint32_t* known = std::find(std::begin(kRates), std::end(kRates), rate);
  if (known == std::end(kRates)) return false;
  uint8_t code = uint8_t(1 + (known - kRates));
  if (!SendCommand(kCmdSampling, &code, 1)) return false;
  Sampling = rate;
  return true;
}

bool TAmx::SetSync(int a, int b)
{
  uint8_t flags = uint8_t((a ? kSyncA : 0) | (b ? kSyncB : 0));
  if (!SendCommand(kCmdSync, &flags, 1)) return false;
  SyncA = a ? 1 : 0;
  SyncB = b ? 1 : 0;
  return true;
}

bool TAmx::SetPullUp(int on, int mode)
{
  uint8_t p[2];
  if (Extended)
    p[0] = on == 1 ? kAnalogPullUp : kAnalogNormal;
  else
    p[0] = uint8_t(on & 1);
  p[1] = uint8_t(mode & 3);
  if (!SendCommand(kCmdAnalog, p, 2)) return false;
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
      p[0] = kAnalogNormal;
    else if (family == 1 && InList(low, family1, sizeof family1))
      p[0] = low;
    else if (family == 2 && InList(low, family2, sizeof family2))
      p[0] = low;
    else
      return false;
    p[1] = uint8_t((word >> 24) & 3);
    if (WideGain) {
      if (word & 0x80000000u) p[1] |= kGainLow;
      if (word & 0x40000000u) p[1] |= kGainHigh;
    } else {
      word = (word | 0x80000000u) & ~0x40000000u;
      p[1] |= kGainLow;
    }
  } else {
    word = (word | 0x80000000u) & ~0x40000000u;
    if (family == 0)
      p[0] = kAnalogNormal;
    else if (family == 1)
      p[0] = kAnalogPullUp;
    else {
      p[0] = kAnalogNormal;
      word &= ~(7u << 27);
    }
    p[1] = uint8_t((word >> 24) & 3);
  }
  if (!SendCommand(kCmdAnalog, p, 2)) return false;
  AnalogConfig = word;
  return true;
}

bool TAmx::SendUartBaud()
{
  const int32_t* known = std::find(std::begin(kUartBauds), std::end(kUartBauds), UartBaud);
  uint8_t code = known == std::end(kUartBauds) ? kUartDefaultCode : uint8_t(known - kUartBauds);
  return SendCommand(kCmdUartBaud, &code, 1);
}

void TAmx::SetUartBaudRate(int32_t baud)
{
  if (std::find(std::begin(kUartBauds), std::end(kUartBauds), baud) != std::end(kUartBauds)) UartBaud = baud;
}

bool TAmx::SetImpedanceRef(int32_t channel)
{
  if (channel < 0 || channel >= MaxChannels) return false;
  TLock l(DataLock);
  ImpedanceRef = channel;
  return true;
}

bool TAmx::SetMasterClock(int32_t& value)
{
  uint8_t v = uint8_t(value & kClockMask);
  SendCommand(kCmdMasterClock, &v, 1);
  uint8_t confirmed = 0;
  if (WaitReply(kCmdMasterClock, &confirmed, 1, 250, true) != 1) return false;
  value = confirmed & kClockMask;
  return true;
}

bool TAmx::ReadEepromChunk(uint8_t* destination, uint8_t address, uint8_t n, bool user)
{
  if (n > kEepromChunk) return false;
  uint8_t code = user ? kCmdReadUser : kCmdReadSystem;
  uint8_t request[2] = {address, n};
  uint8_t reply[2 + kEepromChunk];
  bool ok = SendCommand(code, request, 2) && WaitReply(code, reply, n + 2, 250, false) == n + 2 &&
            reply[0] == address && reply[1] == n;  // the echo must name this chunk
  if (ok) std::memcpy(destination, reply + 2, n);
  SleepMs(5);
  return ok;
}

bool TAmx::WriteEepromChunk(const uint8_t* source, uint8_t address, uint8_t n, bool user)
{
  if (n > kEepromChunk) return false;
  uint8_t code = user ? kCmdWriteUser : kCmdWriteSystem;
  uint8_t request[2 + kEepromChunk] = {address, n};
  std::memcpy(request + 2, source, n);
  uint8_t reply[2];
  bool ok = SendCommand(code, request, uint8_t(n + 2)) && WaitReply(code, reply, 2, 500, false) == 2;
  SleepMs(5);
  return ok;
}

int TAmx::ReadEeprom(uint8_t* destination, int n, bool user)
{
  if (n <= 0 || n > kEepromBytes) return 0;
  for (int at = 0; at < n; at += kEepromChunk)
    if (!ReadEepromChunk(destination + at, uint8_t(at), uint8_t(std::min(kEepromChunk, n - at)), user)) return 0;
  return n;
}

int TAmx::WriteEeprom(const uint8_t* source, int n, bool user)
{
  if (n <= 0 || n > kEepromBytes) return 0;
  for (int at = 0; at < n; at += kEepromChunk)
    if (!WriteEepromChunk(source + at, uint8_t(at), uint8_t(std::min(kEepromChunk, n - at)), user)) return 0;
  return n;
}

int TAmx::QueryIdent()
{
  uint8_t request[2] = {0, 0};
  uint8_t reply[2 + kEepromChunk];
  // The system area's chunk reads answer with the same code. A chunk's reply
  // that came after its read gave up (a busy machine) is no identification:
  // its echo (address, count, count bytes) would read as kind and revision.
  int got = SendCommand(kCmdReadSystem, request, 2) ? WaitReply(kCmdReadSystem, reply, sizeof reply, 500, false) : -1;
  if (got < 2 || (got > 2 && got == reply[1] + 2)) return -1;
  HasUart = reply[0] > 2;
  DeviceKind = reply[0];
  DeviceRevision = reply[1];
  return reply[0];
}

bool TAmx::Identify()
{
  if (Identified && DeviceKind > 0) return true;
  // A device still waking up answers kind 0; a reply lost or late on a busy
  // machine times out (-1). Both are asked again, a timeout at most three times
  // in all, so that a device that never answers costs about 1.5 s.
  int k = 0;
  for (int i = 0, timeouts = 0; i < 7; ++i) {
    k = QueryIdent();
    if (k > 0 || (k < 0 && ++timeouts == 3)) break;
    SleepMs(50);
  }
  ChannelCount = uint32_t(KindChannels(k));
  WideGain = KindWideGain(k);
  Extended = ChannelCount == 40 && DeviceRevision >= 64;
  ImpedanceRef = ChannelCount > 19 ? 19 : 0;
  uint8_t record[kEepromBytes];
  if (ReadEeprom(record, kEepromBytes, false) != kEepromBytes)
    return true;  // not identified: the next call tries again
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
  return SendCommand(kCmdLcdText, codes, uint8_t(TextToDisplayCodes(text, codes)));
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

// ---- TAmx: the measurement ------------------------------------------------------

bool TAmx::ImpedanceStart()
{
  ImpedanceStop();
  {
    TLock l(DataLock);
    for (int c = 0; c < MaxChannels; ++c)
      if (c != ImpedanceRef)
        Measurements[c].reset(new tImpMes(kImpTestFrequency, kImpScaleVolts,
                                          Calibrated.load() ? RefResistances[c] : kImpDefaultReference, kImpCountVolts,
                                          1.0, Sampling));
  }
  SleepMs(100);
  SetPullUp(1, 0);
  SleepMs(100);
  Start();
  return true;
}

bool TAmx::ImpedanceStop()
{
  Stop();
  SleepMs(100);
  SetPullUp(0, 0);
  TLock l(DataLock);
  for (auto& m : Measurements) m.reset();
  return true;
}

// Results are read under DataLock: the reader thread writes them.
int TAmx::ImpedanceRead(int32_t* values, int size)
{
  int channels = int(std::min<uint32_t>(ChannelCount, MaxChannels));
  if (size < 4 * channels) return 0;
  std::memset(values, 0, size_t(size));
  TLock l(DataLock);
  for (int c = 0; c < channels; ++c) {
    const tImpMes* m = Measurements[c].get();
    values[c] = m ? RoundSaturate<int32_t>(m->Impedance - (WideGain ? 1000.0 : 0.0)) : -1;
  }
  return 4 * channels;
}

// Each channel is measured against the reference channel. A reference the frame
// does not carry (a channel at or above the device's count) has no sample: every
// window is then invalid. Differences are limited to the valid sample range.
void TAmx::FeedImpedance(const int32_t* frame, int bytes)
{
  const int channels = int(FrameChannels);
  const int stride = channels + 1;
  const int frames = std::min<int>(bytes / (4 * stride), int(Sampling));
  const bool refInFrame = ImpedanceRef >= 0 && ImpedanceRef < channels;
  for (int f = 0; f < frames; ++f) {
    const int32_t* s = frame + f * stride;
    const int32_t ref = refInFrame ? s[ImpedanceRef] : kInvalidSample;
    for (int c = 0; c < channels; ++c) {
      if (!Measurements[c]) continue;
      int32_t v = kInvalidSample;
      if (s[c] != kInvalidSample && ref != kInvalidSample)
        v = int32_t(std::clamp<int64_t>(int64_t(s[c]) - ref, INT32_MIN, kInvalidSample - 1));
      Measurements[c]->Feed(&v, 1);
    }
  }
}

// ---- device list ---------------------------------------------------------------

TAmxList::TAmxList(TDeviceBus& bus, TCriticalSection* listLock, bool watch)
    : TWdmDeviceList(bus, GUID_AMX_INTERFACE, listLock)
{
  Start(watch);
}

TWdmDevice* TAmxList::CreateDevice(const std::string& path) { return new TAmx(Bus, path); }

}  // namespace amx
