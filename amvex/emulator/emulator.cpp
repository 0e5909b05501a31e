// emulator.cpp: the virtual amplifier. Plays the USB driver (four control codes,
// one data channel per device, a byte queue between device and host) and the
// firmware (command frames, replies, EEPROM areas, the paced sample stream, UART
// packets, display text). Samples are produced when the channel is read, from the
// real clock: no thread of its own. Builds on the platform layer only.
#include "emulator/emulator.h"

#include "emulator/analog_model.h"
#include "protocol.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

namespace amx {

namespace {

constexpr size_t QueueLimit = 512 * 1024;  // driver buffer; newer packets are lost beyond it
constexpr uint32_t MaxCatchUp = 4000;      // packets produced by one read at most

struct TEmuDevice {
  int Kind = 7, Revision = 1;
  std::string Path;
  bool Present = true, Opened = false, Duplicate = false;
  int32_t Pipe = -1, NextPipe = 1;
  // firmware state
  uint8_t RateCode = 3;
  bool Running = false, UartOn = false;
  uint8_t Sync = 0;
  uint8_t Analog[2] = {0x80, 0x00};
  uint8_t UartCode = 3;
  std::vector<uint8_t> Lcd;
  TEmuInput Input = TEmuInput::Signal;
  double Electrodes[kMaxChannels] = {};  // ohms
  std::array<uint8_t, 256> Eeprom[2];
  uint64_t StartMs = 0;
  uint32_t Produced = 0;  // sample packets made since start
  // driver queue
  std::vector<uint8_t> Queue;
  size_t Head = 0;
  TEmuFaults Faults;
  std::vector<std::vector<uint8_t>> Commands;
  std::vector<int32_t> ClosedPipes;
  TEmuStats Stats;
  double LatencySum = 0;
};

uint32_t RateOf(uint8_t code)
{
  return code >= 1 && code <= 4 ? kRates[code - 1] : kRates[2];
}

uint32_t Mix(uint32_t x)
{
  x ^= x >> 16;
  x *= 0x7FEB352Du;
  x ^= x >> 15;
  x *= 0x846CA68Bu;
  x ^= x >> 16;
  return x;
}

size_t Pending(const TEmuDevice& d) { return d.Queue.size() - d.Head; }

void Put(TEmuDevice& d, uint8_t type, const uint8_t* payload, uint8_t n)
{
  if (d.Head > 0 && d.Head * 2 > d.Queue.size()) {
    d.Queue.erase(d.Queue.begin(), d.Queue.begin() + ptrdiff_t(d.Head));
    d.Head = 0;
  }
  d.Queue.push_back(kFrameStart);
  d.Queue.push_back(type);
  d.Queue.push_back(n);
  d.Queue.insert(d.Queue.end(), payload, payload + n);
  d.Queue.push_back(kFrameEnd);
}

void Reply(TEmuDevice& d, uint8_t code, const uint8_t* payload, uint8_t n)
{
  if (!d.Faults.SilentReplies) Put(d, code, payload, n);
}

// One sample packet (and every tenth of a second a UART packet) for sample s.
void Produce(TEmuDevice& d, uint32_t s, uint64_t now)
{
  uint32_t rate = RateOf(d.RateCode);
  int k = KindChannels(d.Kind);
  uint8_t p[kMaxSamplePayload];
  // Pull-up on: SetPullUp's code 1, or a code of the pull-up family 0xC0-0xCF.
  bool pullUp = d.Analog[0] == 0x01 || (d.Analog[0] & 0xF0) == kAnalogPullUpFamily;
  bool wideGain = KindWideGain(d.Kind);
  for (int c = 0; c < k; ++c) {
    double input = pullUp                              ? EmuTestSignal(d.Electrodes[c], wideGain, c, s, rate)
                   : d.Input == TEmuInput::Zero        ? 0.0
                   : d.Input == TEmuInput::Calibration ? double(kEmuCalSpan)
                                                       : double(EmuSignal(c, s, rate));
    uint32_t v = uint32_t(EmuReading(c, input)) << 2;  // 22-bit count in a 24-bit word
    p[kSampleBytes * c] = uint8_t(v >> 16);
    p[kSampleBytes * c + 1] = uint8_t(v >> 8);
    p[kSampleBytes * c + 2] = uint8_t(v);
  }
  p[kSampleBytes * k] = uint8_t((s % rate == 0 ? kStatusSecondMark : 0x00) | 0x0F);  // low bits unused
  p[kSampleBytes * k + 1] = uint8_t(s);                                               // sequence byte
  uint32_t nth = s + 1;
  bool dropped = (d.Faults.DropEvery && nth % d.Faults.DropEvery == 0) || Pending(d) > QueueLimit;
  if (!dropped) {
    size_t at = d.Queue.size();
    Put(d, kPacketSamples, p, uint8_t(kSampleBytes * k + 2));
    if (d.Faults.CorruptEvery && nth % d.Faults.CorruptEvery == 0) d.Queue[at] = 0x00;
    uint64_t due = d.StartMs + uint64_t(s) * 1000 / rate;
    uint32_t late = uint32_t(now > due ? now - due : 0);
    d.Stats.Packets++;
    d.LatencySum += late;
    d.Stats.MaxLatencyMs = std::max(d.Stats.MaxLatencyMs, late);
  }
  if (d.UartOn && d.Kind > 2 && s % std::max<uint32_t>(rate / 10, 1) == 0) {
    char text[24];
    int m = std::snprintf(text, sizeof text, "U%u\n", s);
    uint8_t u[25] = {};
    std::memcpy(u, text, size_t(m));
    Put(d, kPacketUart, u, uint8_t(m + 1));  // the last byte is not used
  }
}

// Brings the stream up to the current time.
void Advance(TEmuDevice& d)
{
  if (!d.Running) return;
  uint64_t now = TickCount64();
  uint64_t due = (now - d.StartMs) * RateOf(d.RateCode) / 1000;
  if (due > d.Produced + uint64_t(MaxCatchUp)) d.Produced = uint32_t(due - MaxCatchUp);
  while (d.Produced < due) Produce(d, d.Produced++, now);
}

void Obey(TEmuDevice& d, const uint8_t* frame, uint32_t size)
{
  d.Commands.emplace_back(frame, frame + size);
  if (size < uint32_t(kFrameOverhead) || frame[0] != kFrameStart || frame[2] > kMaxCommandPayload ||
      size < uint32_t(frame[2]) + kFrameOverhead || frame[3 + frame[2]] != kFrameEnd)
    return;  // not a command frame: the firmware ignores it
  uint8_t code = frame[1], n = frame[2];
  const uint8_t* p = frame + 3;
  switch (code) {
    case kCmdSampling:
      if (n >= 1 && p[0] >= 1 && p[0] <= 4) {
        Advance(d);
        d.RateCode = p[0];
      }
      break;
    case kCmdStart: {
      d.Queue.clear();
      d.Head = 0;
      d.Running = true;
      d.StartMs = TickCount64();
      d.Produced = 0;
      uint8_t ok = 1;
      Reply(d, kCmdStart, &ok, 1);
      break;
    }
    case kCmdStop:
      Advance(d);
      d.Running = false;
      break;
    case kCmdUartBaud:
      if (n >= 1 && p[0] <= 4) {
        d.UartCode = p[0];
        d.UartOn = true;
      }
      break;
    case kCmdLcdText: d.Lcd.assign(p, p + std::min<int>(n, 16)); break;
    case kCmdAnalog:
      if (n >= 2) {
        Advance(d);  // samples already due keep the front end they had
        d.Analog[0] = p[0], d.Analog[1] = p[1];
      }
      break;
    case kCmdSync:
      if (n >= 1) d.Sync = p[0];
      break;
    case kCmdWriteSystem:
    case kCmdWriteUser: {
      if (n < 2) break;
      uint8_t addr = p[0], len = p[1];
      if (len > kEepromChunk || addr + len > kEepromBytes || n < len + 2) break;
      std::memcpy(d.Eeprom[code == kCmdWriteUser].data() + addr, p + 2, len);
      Reply(d, code, p, 2);
      break;
    }
    case kCmdReadSystem:
    case kCmdReadUser: {
      if (n < 2) break;
      uint8_t addr = p[0], len = p[1];
      uint8_t r[2 + kEepromChunk];
      if (code == kCmdReadSystem && addr == 0 && len == 0) {
        r[0] = uint8_t(d.Kind), r[1] = uint8_t(d.Revision);
        Reply(d, kCmdReadSystem, r, 2);
      } else if (len <= kEepromChunk && addr + len <= kEepromBytes) {
        r[0] = addr, r[1] = len;
        std::memcpy(r + 2, d.Eeprom[code == kCmdReadUser].data() + addr, len);
        Reply(d, code, r, uint8_t(len + 2));
      }
      break;
    }
    case kCmdMasterClock:
      if (n >= 1 && d.Running) {
        uint8_t v = p[0] & 7;
        Reply(d, kCmdMasterClock, &v, 1);
      }
      break;
    default: break;
  }
}

}  // namespace

std::vector<TEmuSpec> ParseEmulateSpec(const std::string& text, std::string& error)
{
  std::vector<TEmuSpec> specs;
  size_t at = 0;
  while (at <= text.size()) {
    size_t end = text.find(';', at);
    if (end == std::string::npos) end = text.size();
    std::string entry = text.substr(at, end - at);
    at = end + 1;
    if (entry.find_first_not_of(" \t") == std::string::npos) continue;
    TEmuSpec s;
    bool ok = true;
    size_t k = 0;
    while (ok && k <= entry.size()) {
      size_t e = entry.find(',', k);
      if (e == std::string::npos) e = entry.size();
      std::string item = entry.substr(k, e - k);
      k = e + 1;
      size_t eq = item.find('=');
      std::string key = eq == std::string::npos ? item : item.substr(0, eq);
      key.erase(0, key.find_first_not_of(" \t"));
      key.erase(key.find_last_not_of(" \t") + 1);
      char* stop = nullptr;
      const char* num = eq == std::string::npos ? "" : item.c_str() + eq + 1;
      long v = std::strtol(num, &stop, 0);
      bool number = *num && stop && *stop == '\0' && v >= 0 && v <= 255;
      if (key == "kind" && number)
        s.Kind = int(v);
      else if (key == "rev" && number)
        s.Revision = int(v);
      else
        ok = false;
    }
    if (ok)
      specs.push_back(s);
    else
      error += "AMVEX_EMULATE: entry \"" + entry + "\" ignored (expected kind=N,rev=N with N 0 to 255)\n";
  }
  return specs;
}

int32_t EmuSignal(int channel, uint32_t sample, uint32_t rate)
{
  const double twoPi = 6.283185307179586;
  double t = double(sample) / double(rate);
  double wave = 20000.0 * std::sin(twoPi * (channel + 1) * t);
  double hum = 500.0 * std::sin(twoPi * 50.0 * t);
  int32_t noise = int32_t(Mix(sample * 64u + uint32_t(channel)) % 33u) - 16;
  return 1000 * (channel + 1) + int32_t(std::lround(wave + hum)) + noise;
}

struct TEmulator::Impl {
  TCriticalSection Lock;
  std::vector<std::shared_ptr<TEmuDevice>> Devices;  // in plug order, present or not
  std::map<intptr_t, std::shared_ptr<TEmuDevice>> Handles;
  intptr_t NextHandle = 0x1000;
  int NextSerial = 1;
  TCriticalSection DeliverLock;
  std::vector<TNotifyWindow*> Windows;

  std::shared_ptr<TEmuDevice> Find(const std::string& path)
  {
    for (auto& d : Devices)
      if (d->Path == path && d->Present) return d;
    for (auto& d : Devices)
      if (d->Path == path) return d;
    return nullptr;
  }
};

TEmulator::TEmulator() : P(new Impl) {}
TEmulator::~TEmulator() = default;

std::vector<std::string> TEmulator::InterfacePaths(const TGuid& guid)
{
  std::vector<std::string> paths;
  if (guid != GUID_AMX_INTERFACE) return paths;
  TLock l(P->Lock);
  for (auto& d : P->Devices) {
    if (!d->Present) continue;
    paths.push_back(d->Path);
    if (d->Duplicate) paths.push_back(d->Path);
  }
  return paths;
}

intptr_t TEmulator::Open(const std::string& path)
{
  TLock l(P->Lock);
  auto d = P->Find(path);
  if (!d || !d->Present || d->Opened) return InvalidHandle;  // no sharing
  d->Opened = true;
  intptr_t h = P->NextHandle;
  P->NextHandle += 4;
  P->Handles[h] = d;
  return h;
}

void TEmulator::Close(intptr_t handle)
{
  TLock l(P->Lock);
  auto it = P->Handles.find(handle);
  if (it == P->Handles.end()) return;
  it->second->Opened = false;
  it->second->Pipe = -1;
  P->Handles.erase(it);
}

bool TEmulator::IoControl(intptr_t handle, uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                          uint32_t* returned)
{
  if (returned) *returned = 0;
  TLock l(P->Lock);
  auto it = P->Handles.find(handle);
  if (it == P->Handles.end()) return false;
  TEmuDevice& d = *it->second;
  if (!d.Present) return false;  // unplugged: the handle is dead
  int32_t pipe = -1;
  if (code != IOCTL_AMX_WRITE_COMMAND) {
    if (!in || inSize < 4) return false;
    std::memcpy(&pipe, in, 4);
  }
  switch (code) {
    case IOCTL_AMX_OPEN_PIPE:
      if (!out || outSize < 4 || d.Faults.FailOpenPipe || d.Pipe != -1) return false;
      d.Pipe = d.NextPipe++;
      std::memcpy(out, &d.Pipe, 4);
      if (returned) *returned = 4;
      return true;
    case IOCTL_AMX_CLOSE_PIPE:
      d.ClosedPipes.push_back(pipe);
      if (pipe != d.Pipe || d.Pipe == -1) return false;
      d.Pipe = -1;
      return true;
    case IOCTL_AMX_READ_PIPE: {
      if (pipe != d.Pipe || d.Pipe == -1 || d.Faults.FailReads || !out) return false;
      Advance(d);
      size_t n = std::min<size_t>({Pending(d), outSize, PipeReadCapacity});
      std::memcpy(out, d.Queue.data() + d.Head, n);
      d.Head += n;
      if (d.Head == d.Queue.size()) d.Queue.clear(), d.Head = 0;
      if (returned) *returned = uint32_t(n);
      if (d.Stats.Packets) d.Stats.MeanLatencyMs = d.LatencySum / double(d.Stats.Packets);
      return true;
    }
    case IOCTL_AMX_WRITE_COMMAND:
      if (!in || inSize == 0 || inSize > MaxCommandPacket) return false;
      Obey(d, static_cast<const uint8_t*>(in), inSize);
      return true;
    default: return false;
  }
}

void TEmulator::Attach(TNotifyWindow* w)
{
  TLock l(P->DeliverLock);
  P->Windows.push_back(w);
}

void TEmulator::Detach(TNotifyWindow* w)
{
  TLock l(P->DeliverLock);
  P->Windows.erase(std::remove(P->Windows.begin(), P->Windows.end(), w), P->Windows.end());
}

void TEmulator::Notify(uint32_t message, uintptr_t event)
{
  TLock l(P->DeliverLock);
  for (TNotifyWindow* w : std::vector<TNotifyWindow*>(P->Windows)) w->Deliver(message, event);
}

std::string TEmulator::Add(int kind, int revision)
{
  TLock l(P->Lock);
  auto d = std::make_shared<TEmuDevice>();
  d->Kind = kind;
  d->Revision = revision;
  char path[128];
  std::snprintf(path, sizeof path, "\\\\?\\usb#vid_0000&pid_amx0#emulated%04d#{00873fdf-61a8-11d1-aa5e-00c04fb1728b}",
                P->NextSerial++);
  d->Path = path;
  int channels = KindChannels(kind);
  d->Eeprom[0] = EmuCalRecord(channels);
  d->Eeprom[1].fill(0xFF);
  for (int c = 0; c < kMaxChannels; ++c) d->Electrodes[c] = EmuDefaultImpedance(channels, c);
  P->Devices.push_back(d);
  return d->Path;
}

std::string TEmulator::Plug(int kind, int revision)
{
  std::string path = Add(kind, revision);
  Notify(WM_DEVICECHANGE_, DBT_DEVNODES_CHANGED_);
  return path;
}

bool TEmulator::Unplug(const std::string& path)
{
  {
    TLock l(P->Lock);
    auto d = P->Find(path);
    if (!d || !d->Present) return false;
    d->Present = false;
    d->Running = false;
  }
  Notify(WM_DEVICECHANGE_, DBT_DEVNODES_CHANGED_);
  return true;
}

void TEmulator::Power(uintptr_t event)
{
  if (event == PBT_APMSUSPEND_) {
    // The amplifiers lose power: streams end and channels close.
    TLock l(P->Lock);
    for (auto& d : P->Devices) d->Running = false;
  }
  Notify(WM_POWERBROADCAST_, event);
}

#define WITH_DEVICE(path, fallback) \
  TLock l(P->Lock);                 \
  auto d = P->Find(path);           \
  if (!d) return fallback

void TEmulator::SetFaults(const std::string& path, const TEmuFaults& faults)
{
  WITH_DEVICE(path, );
  d->Faults = faults;
}
void TEmulator::DuplicatePath(const std::string& path, bool on)
{
  WITH_DEVICE(path, );
  d->Duplicate = on;
}
void TEmulator::SetInput(const std::string& path, TEmuInput input)
{
  WITH_DEVICE(path, );
  Advance(*d);  // samples already due keep the input they had
  d->Input = input;
}
void TEmulator::SetElectrode(const std::string& path, int channel, double ohms)
{
  WITH_DEVICE(path, );
  if (channel < 0 || channel >= kMaxChannels) return;
  Advance(*d);
  d->Electrodes[channel] = ohms;
}
std::vector<std::vector<uint8_t>> TEmulator::Commands(const std::string& path)
{
  WITH_DEVICE(path, {});
  return d->Commands;
}
void TEmulator::ClearCommands(const std::string& path)
{
  WITH_DEVICE(path, );
  d->Commands.clear();
}
std::vector<int32_t> TEmulator::ClosedPipes(const std::string& path)
{
  WITH_DEVICE(path, {});
  return d->ClosedPipes;
}
std::vector<uint8_t> TEmulator::LcdText(const std::string& path)
{
  WITH_DEVICE(path, {});
  return d->Lcd;
}
std::array<uint8_t, 256> TEmulator::Eeprom(const std::string& path, bool user)
{
  WITH_DEVICE(path, {});
  return d->Eeprom[user];
}
void TEmulator::SetEeprom(const std::string& path, bool user, const std::array<uint8_t, 256>& data)
{
  WITH_DEVICE(path, );
  d->Eeprom[user] = data;
}
bool TEmulator::Streaming(const std::string& path)
{
  WITH_DEVICE(path, false);
  return d->Running;
}
uint32_t TEmulator::Rate(const std::string& path)
{
  WITH_DEVICE(path, 0);
  return RateOf(d->RateCode);
}
TEmuStats TEmulator::Stats(const std::string& path)
{
  WITH_DEVICE(path, {});
  return d->Stats;
}
void TEmulator::ResetStats(const std::string& path)
{
  WITH_DEVICE(path, );
  d->Stats = TEmuStats();
  d->LatencySum = 0;
}
#undef WITH_DEVICE

TEmulator& DefaultEmulator()
{
  static TEmulator* emulator = [] {
    auto* e = new TEmulator;  // process-wide, never freed
    if (const char* devices = std::getenv("AMVEX_EMULATE")) {
      std::string error;
      for (const TEmuSpec& s : ParseEmulateSpec(devices, error)) e->Add(s.Kind, s.Revision);
      if (!error.empty()) std::fputs(("amvex: " + error).c_str(), stderr);
    }
    return e;
  }();
  return *emulator;
}

}  // namespace amx
