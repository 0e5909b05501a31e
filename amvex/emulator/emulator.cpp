// emulator.cpp: the virtual amplifier's driver side: the device bus (four
// control codes, one data channel per device, a byte queue between device and
// host), the paced sample stream and UART packets with their faults, hot-plug,
// power events and the control surface. The firmware's command handler is in
// firmware.cpp, the AMVEX_EMULATE grammar in emulate_parser.cpp. Samples are
// produced when the channel is read, from the real clock: no thread of its own.
// Builds on the platform layer only.
#include "emulator/emulator.h"

#include "emulator/analog_model.h"
#include "emulator/emu_device.h"
#include "protocol.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

namespace amx {

uint32_t RateOf(uint8_t code) { return kRates[(code >= 1 && code <= kRateCodes ? code : kDefaultRateCode) - 1]; }

namespace {

constexpr size_t QueueLimit = 512 * 1024;  // driver buffer; newer packets are lost beyond it
constexpr uint32_t MaxCatchUp = 4000;      // packets produced by one read at most

// A notification a timed fault raises, posted once the emulator's lock is released.
struct TPost {
  uint32_t Message;
  uintptr_t Event;
};

uint32_t Mix(uint32_t x)
{
  x ^= x >> 16;
  x *= 0x7FEB352Du;
  x ^= x >> 15;
  x *= 0x846CA68Bu;
  x ^= x >> 16;
  return x;
}

// The device's random numbers (splitmix64), seeded by its faults' seed.
uint64_t NextRandom(TEmuDevice& d)
{
  uint64_t z = (d.Random += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}
bool Chance(TEmuDevice& d, double p) { return p > 0 && double(NextRandom(d) >> 11) * 0x1p-53 < p; }

size_t Pending(const TEmuDevice& d) { return d.Queue.size() - d.Head; }

// Queues one packet, released at releaseMs at the earliest and never before the
// packets ahead of it. Returns where it starts in Queue.
size_t Put(TEmuDevice& d, uint8_t type, const uint8_t* payload, uint8_t n, uint64_t releaseMs)
{
  if (d.Head > 0 && d.Head * 2 > d.Queue.size()) {
    d.Queue.erase(d.Queue.begin(), d.Queue.begin() + ptrdiff_t(d.Head));
    d.Head = 0;
  }
  size_t at = d.Queue.size();
  d.Queue.push_back(kFrameStart);
  d.Queue.push_back(type);
  d.Queue.push_back(n);
  d.Queue.insert(d.Queue.end(), payload, payload + n);
  d.Queue.push_back(kFrameEnd);
  d.LastReleaseMs = std::max(d.LastReleaseMs, releaseMs);
  d.Wire.push_back({d.Taken + (d.Queue.size() - d.Head), d.LastReleaseMs, false, 0, 0});
  return at;
}

// Damages the queued packet at Queue[at] so that no receiver can frame it: either
// its length byte is cut short to a place that holds no end byte, or noise
// overwrites its last bytes, end byte included.
void Damage(TEmuDevice& d, size_t at)
{
  uint8_t* q = d.Queue.data() + at;
  uint8_t n = q[2];
  if (NextRandom(d) & 1) {
    uint8_t cut = uint8_t(NextRandom(d) % n);
    while (q[3 + cut] == kFrameEnd) cut = uint8_t((cut + 1) % n);  // a sample packet is never all end bytes
    q[2] = cut;
  } else {
    int noise = 1 + int(NextRandom(d) % 8);
    for (int i = 0; i < noise; ++i) q[3 + n - i] = uint8_t(NextRandom(d));
    if (q[3 + n] == kFrameEnd) q[3 + n] = uint8_t(~kFrameEnd);
  }
}

// When sample s of the current start is due, by the device's clock.
uint64_t DueMs(const TEmuDevice& d, uint64_t s)
{
  return d.StartMs + s * 1000000000ull / (uint64_t(RateOf(d.RateCode)) * uint64_t(1000000 + d.Faults.DriftPpm));
}

// One sample packet (and every tenth of a second a UART packet) for sample s.
void Produce(TEmuDevice& d, uint32_t s, uint64_t now)
{
  const TEmuFaults& f = d.Faults;
  uint32_t rate = RateOf(d.RateCode);
  int k = KindChannels(d.Kind);
  uint64_t due = DueMs(d, s);
  int64_t t = int64_t(due - d.FirstStartMs);  // the time the faults count in
  uint8_t p[kMaxSamplePayload];
  // Pull-up on: SetPullUp's code 1, or a code of the pull-up family 0xC0-0xCF.
  bool pullUp = d.Analog[0] == 0x01 || (d.Analog[0] & 0xF0) == kAnalogPullUpFamily;
  bool wideGain = KindWideGain(d.Kind);
  for (int c = 0; c < k; ++c) {
    double input = pullUp                              ? EmuTestSignal(d.Electrodes[c], wideGain, c, s, rate)
                   : d.Input == TEmuInput::Zero        ? 0.0
                   : d.Input == TEmuInput::Calibration ? double(kEmuCalSpan)
                   : d.Eeg                             ? EmuEegSignal(d.EegState, k, c, s, rate, f.Seed)
                                                       : double(EmuSignal(c, s, rate));
    uint32_t v = uint32_t(EmuReading(c, input)) << 2;  // 22-bit count in a 24-bit word
    p[kSampleBytes * c] = uint8_t(v >> 16);
    p[kSampleBytes * c + 1] = uint8_t(v >> 8);
    p[kSampleBytes * c + 2] = uint8_t(v);
  }
  bool invalid = f.InvalidChannel >= 0 && f.InvalidChannel < k && t >= f.InvalidFromMs && t < f.InvalidToMs;
  if (invalid) p[kSampleBytes * f.InvalidChannel + 2] |= kSampleInvalidFlag;
  p[kSampleBytes * k] = uint8_t((s % rate == 0 ? kStatusSecondMark : 0x00) | 0x0F);  // low bits unused
  p[kSampleBytes * k + 1] = uint8_t(s);                                              // sequence byte
  uint32_t nth = s + 1;
  bool lostAt = d.LossAtNext < f.LossAtMs.size() && f.LossAtMs[d.LossAtNext] <= t;
  if (lostAt) d.LossAtNext++;
  bool lost = (f.DropEvery && nth % f.DropEvery == 0) || Chance(d, f.Loss) || lostAt || Pending(d) > QueueLimit;
  bool damaged = !lost && ((f.CorruptEvery && nth % f.CorruptEvery == 0) || Chance(d, f.Corrupt));
  uint64_t jitter = f.JitterMs ? NextRandom(d) % (f.JitterMs + 1) : 0;
  d.Stats.Packets++;
  if (lost) {
    d.Stats.Lost++;
  } else {
    size_t at = Put(d, kPacketSamples, p, uint8_t(kSampleBytes * k + 2), due + jitter);
    if (damaged) {
      Damage(d, at);
      d.Stats.Corrupted++;
    } else {
      TWirePacket& w = d.Wire.back();
      w.Samples = true;
      w.Made = d.Stats.Packets;
      w.Faults = d.Stats.Lost + d.Stats.Corrupted;
      d.Stats.Sent++;
      d.Stats.InvalidSamples += invalid;
    }
    uint32_t late = uint32_t(now > due ? now - due : 0);
    d.LatencySum += late;
    d.Stats.MaxLatencyMs = std::max(d.Stats.MaxLatencyMs, late);
    d.Stats.MeanLatencyMs = d.LatencySum / double(d.Stats.Sent + d.Stats.Corrupted);
  }
  if (d.UartOn && d.Kind > 2 && s % std::max<uint32_t>(rate / 10, 1) == 0) {
    char text[24];
    int m = std::snprintf(text, sizeof text, "U%u\n", s);
    uint8_t u[25] = {};
    std::memcpy(u, text, size_t(m));
    Put(d, kPacketUart, u, uint8_t(m + 1), now);  // the last byte is not used
  }
}

// Hands out the released bytes, at most capacity; counts the intact sample
// packets a read completes as delivered.
size_t TakeBytes(TEmuDevice& d, uint8_t* out, size_t capacity)
{
  uint64_t now = TickCount64(), released = d.Taken;
  for (const TWirePacket& w : d.Wire) {
    if (w.ReleaseMs > now) break;
    released = w.End;
  }
  size_t n = size_t(std::min<uint64_t>(released - d.Taken, capacity));
  if (n) std::memcpy(out, d.Queue.data() + d.Head, n);  // an empty queue may have no storage at all
  d.Head += n;
  d.Taken += n;
  while (!d.Wire.empty() && d.Wire.front().End <= d.Taken) {
    if (d.Wire.front().Samples)
      d.Stats.Delivered = d.Wire.front().Made, d.Stats.DeliveredFaults = d.Wire.front().Faults;
    d.Wire.pop_front();
  }
  if (d.Head == d.Queue.size()) d.Queue.clear(), d.Head = 0;
  return n;
}

// The driver's four control codes on an open handle.
bool DriverCall(TEmuDevice& d, uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                uint32_t* returned)
{
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
      size_t n = TakeBytes(d, static_cast<uint8_t*>(out), std::min<size_t>(outSize, PipeReadCapacity));
      if (returned) *returned = uint32_t(n);
      return true;
    }
    case IOCTL_AMX_WRITE_COMMAND:
      if (!in || inSize == 0 || inSize > MaxCommandPacket) return false;
      Obey(d, static_cast<const uint8_t*>(in), inSize);
      return true;
    default: return false;
  }
}

}  // namespace

void ClearQueue(TEmuDevice& d)
{
  d.Taken += Pending(d);
  d.Queue.clear();
  d.Head = 0;
  d.Wire.clear();
  d.LastReleaseMs = 0;
}

void Reply(TEmuDevice& d, uint8_t code, const uint8_t* payload, uint8_t n)
{
  bool skip = d.Faults.SkipReplies > 0;
  if (skip) d.Faults.SkipReplies--;
  uint64_t release = TickCount64();
  if (d.Faults.LateReplyMs > 0 && !skip) {
    if (d.Faults.PromptReplies > 0)
      d.Faults.PromptReplies--;
    else
      release += d.Faults.LateReplyMs;
  }
  if (skip || d.Faults.SilentReplies || code == d.Faults.NoReply)
    d.Stats.RepliesWithheld++;
  else
    Put(d, code, payload, n, release);
}

void Advance(TEmuDevice& d)
{
  if (!d.Running) return;
  uint64_t now = TickCount64();
  uint64_t due = (now - d.StartMs) * RateOf(d.RateCode) * uint64_t(1000000 + d.Faults.DriftPpm) / 1000000000ull;
  if (due > d.Produced + uint64_t(MaxCatchUp)) d.Produced = uint32_t(due - MaxCatchUp);
  while (d.Produced < due) Produce(d, d.Produced++, now);
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

// A replug or a resume: due when nobody may be reading, so the timer makes it happen.
struct TEmuEvent {
  uint64_t DueMs;
  bool Replug;  // else the resume after a suspend
  TEmuDeviceConfig Config;
};

// The emulator's timer: fires due events every 10 ms, from the first event
// scheduled until the emulator is destroyed.
class TEmuTimer : public TThread {
public:
  explicit TEmuTimer(TEmulator::Impl& owner) : Owner(owner) {}

protected:
  void Execute() override;

private:
  TEmulator::Impl& Owner;
};

struct TEmulator::Impl {
  TCriticalSection Lock;
  std::vector<std::shared_ptr<TEmuDevice>> Devices;  // in plug order, present or not
  std::map<intptr_t, std::shared_ptr<TEmuDevice>> Handles;
  intptr_t NextHandle = 0x1000;
  int NextSerial = 1;
  std::vector<TEmuEvent> Events;  // guarded by Lock
  std::unique_ptr<TEmuTimer> Timer;
  // DeliverLock keeps a window attached while a message is delivered to it and
  // waited for; WindowsLock guards the list only, so posting never waits for a
  // handler.
  TCriticalSection DeliverLock, WindowsLock;
  std::vector<TNotifyWindow*> Windows;

  std::shared_ptr<TEmuDevice> Find(const std::string& path)
  {
    for (auto& d : Devices)
      if (d->Path == path && d->Present) return d;
    for (auto& d : Devices)
      if (d->Path == path) return d;
    return nullptr;
  }

  std::string Add(const TEmuDeviceConfig& config)
  {
    TLock l(Lock);
    auto d = std::make_shared<TEmuDevice>();
    d->Kind = config.Kind;
    d->Revision = config.Revision;
    d->Faults = config.Faults;
    d->Eeg = config.Eeg;
    d->Random = config.Faults.Seed;
    char path[128];
    std::snprintf(path, sizeof path, "\\\\?\\usb#vid_0000&pid_amx0#emulated%04d#{00873fdf-61a8-11d1-aa5e-00c04fb1728b}",
                  NextSerial++);
    d->Path = path;
    int channels = KindChannels(config.Kind);
    d->Eeprom[0] = EmuCalRecord(channels);
    d->Eeprom[1].fill(0xFF);
    for (int c = 0; c < kMaxChannels; ++c) d->Electrodes[c] = EmuDefaultImpedance(channels, c);
    Devices.push_back(d);
    return d->Path;
  }

  void Post(const std::vector<TPost>& posts)
  {
    TLock l(WindowsLock);
    for (const TPost& p : posts)
      for (TNotifyWindow* w : Windows) w->Post(p.Message, p.Event);
  }

  // Lock held.
  void Schedule(uint64_t due, bool replug, const TEmuDeviceConfig& config)
  {
    Events.push_back({due, replug, config});
    if (!Timer) {
      Timer.reset(new TEmuTimer(*this));
      Timer->Resume();
    }
  }

  // The timed faults of a device its host has just contacted. Lock held; the
  // notifications are posted by the caller once it is released. False when the
  // device has just been unplugged.
  bool Contact(TEmuDevice& d, std::vector<TPost>& posts)
  {
    const TEmuFaults& f = d.Faults;
    if (!d.FirstStartMs) return true;
    uint64_t now = TickCount64();
    int64_t t = int64_t(now - d.FirstStartMs);
    if (f.SuspendMs >= 0 && !d.SuspendFired && t >= f.SuspendMs) {
      d.SuspendFired = true;
      for (auto& other : Devices) other->Running = false;  // the amplifiers lose power
      posts.push_back({WM_POWERBROADCAST_, PBT_APMSUSPEND_});
      Schedule(now + kSuspendMs, false, TEmuDeviceConfig());
    }
    if (f.UnplugMs >= 0 && !d.UnplugFired && t >= f.UnplugMs) {
      d.UnplugFired = true;
      d.Present = false;
      d.Running = false;
      posts.push_back({WM_DEVICECHANGE_, DBT_DEVNODES_CHANGED_});
      if (f.ReplugMs >= 0) {
        // The same amplifier with its stream faults; the one-off events are done.
        TEmuDeviceConfig again{d.Kind, d.Revision, f, d.Eeg};
        again.Faults.UnplugMs = again.Faults.ReplugMs = again.Faults.SuspendMs = -1;
        Schedule(now + uint64_t(f.ReplugMs), true, again);
      }
      return false;
    }
    return true;
  }

  void FireDue()
  {
    std::vector<TPost> posts;
    {
      TLock l(Lock);
      uint64_t now = TickCount64();
      for (size_t i = 0; i < Events.size();) {
        if (Events[i].DueMs > now) {
          ++i;
          continue;
        }
        if (Events[i].Replug) {
          Add(Events[i].Config);
          posts.push_back({WM_DEVICECHANGE_, DBT_DEVNODES_CHANGED_});
        } else {
          posts.push_back({WM_POWERBROADCAST_, PBT_APMRESUMESUSPEND_});
        }
        Events.erase(Events.begin() + ptrdiff_t(i));
      }
    }
    Post(posts);
  }
};

void TEmuTimer::Execute()
{
  while (!Terminated()) {
    Owner.FireDue();
    SleepMs(10);
  }
}

TEmulator::TEmulator() : P(new Impl) {}

TEmulator::~TEmulator()
{
  if (P->Timer) {
    P->Timer->Terminate();
    P->Timer->WaitFor();
  }
}

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
  std::vector<TPost> posts;
  bool ok = false;
  {
    TLock l(P->Lock);
    auto it = P->Handles.find(handle);
    // An unplugged device's handle is dead.
    if (it != P->Handles.end() && it->second->Present && P->Contact(*it->second, posts))
      ok = DriverCall(*it->second, code, in, inSize, out, outSize, returned);
  }
  P->Post(posts);
  return ok;
}

void TEmulator::Attach(TNotifyWindow* w)
{
  TLock d(P->DeliverLock);
  TLock l(P->WindowsLock);
  P->Windows.push_back(w);
}

void TEmulator::Detach(TNotifyWindow* w)
{
  TLock d(P->DeliverLock);
  TLock l(P->WindowsLock);
  P->Windows.erase(std::remove(P->Windows.begin(), P->Windows.end(), w), P->Windows.end());
}

void TEmulator::Notify(uint32_t message, uintptr_t event)
{
  TLock d(P->DeliverLock);
  std::vector<TNotifyWindow*> windows;
  {
    TLock l(P->WindowsLock);
    windows = P->Windows;
  }
  for (TNotifyWindow* w : windows) w->Deliver(message, event);
}

std::string TEmulator::Add(const TEmuDeviceConfig& config) { return P->Add(config); }

std::string TEmulator::Add(int kind, int revision)
{
  return P->Add(TEmuDeviceConfig{kind, revision, TEmuFaults(), false});
}

std::string TEmulator::Plug(const TEmuDeviceConfig& config)
{
  std::string path = Add(config);
  Notify(WM_DEVICECHANGE_, DBT_DEVNODES_CHANGED_);
  return path;
}

std::string TEmulator::Plug(int kind, int revision)
{
  return Plug(TEmuDeviceConfig{kind, revision, TEmuFaults(), false});
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
  d->Random = faults.Seed;
  d->LossAtNext = 0;
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
std::vector<std::string> TEmulator::Paths()
{
  TLock l(P->Lock);
  std::vector<std::string> paths;
  for (auto& d : P->Devices) paths.push_back(d->Path);
  return paths;
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
double TEmulator::SentMs(const std::string& path, uint32_t s)
{
  WITH_DEVICE(path, std::nan(""));
  if (!d->FirstStartMs) return std::nan("");
  return double(d->StartMs) + (double(s) + 1) * 1e9 / (double(RateOf(d->RateCode)) * (1e6 + d->Faults.DriftPpm));
}
void TEmulator::ResetStats(const std::string& path)
{
  WITH_DEVICE(path, );
  d->Stats = TEmuStats();
  d->LatencySum = 0;
  for (TWirePacket& w : d->Wire) w.Samples = false;  // their counts are from before
}
#undef WITH_DEVICE

namespace {
TEmulator* Default = nullptr;  // plain pointer: no destructor of its own runs at exit
}

TEmulator& DefaultEmulator()
{
  if (!Default) {
    Default = new TEmulator;
    if (const char* devices = std::getenv("AMVEX_EMULATE")) {
      std::string error;
      for (const TEmuDeviceConfig& s : ParseEmulateDevices(devices, error)) Default->Add(s);
      for (size_t at = 0; at < error.size(); at = error.find('\n', at) + 1)  // every line ends in '\n'
        std::fputs(("amvex: " + error.substr(at, error.find('\n', at) + 1 - at)).c_str(), stderr);
    }
  }
  return *Default;
}

void ReleaseDefaultEmulator()
{
  delete Default;
  Default = nullptr;
}

}  // namespace amx
