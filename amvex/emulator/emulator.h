// emulator.h: the emulated USB driver and amplifier firmware ("virtual amplifier"),
// a device bus the library can run on without hardware. Internal header: tests use
// its control surface (hot-plug, power events, faults, inspection); hosts never see it.
#pragma once
#include "platform/platform.h"
#include "protocol.h"

#include <array>
#include <memory>
#include <string>
#include <vector>

namespace amx {

// Faults a device plays. The first group is set through the control surface only;
// the rest is what AMVEX_EMULATE can ask for (see ParseEmulateDevices). Times are
// milliseconds from the device's first start command; -1 leaves a fault out.
struct TEmuFaults {
  uint32_t DropEvery = 0;      // every n-th sample packet is lost (sequence byte still advances)
  uint32_t CorruptEvery = 0;   // every n-th sample packet is damaged
  bool SilentReplies = false;  // commands are obeyed but never answered
  uint32_t SkipReplies = 0;    // the next n replies are withheld (a reply lost once)
  uint32_t LateReplyMs = 0;    // replies after the first PromptReplies leave this late
  uint32_t PromptReplies = 0;
  bool FailOpenPipe = false;
  bool FailReads = false;

  uint32_t Seed = 1;              // the random choices below repeat for a seed
  double Loss = 0, Corrupt = 0;   // probability per sample packet
  std::vector<int64_t> LossAtMs;  // ascending: the sample packet due at or after each is lost
  int InvalidChannel = -1;        // its samples are flagged invalid from InvalidFromMs to InvalidToMs
  int64_t InvalidFromMs = 0, InvalidToMs = 0;
  int NoReply = -1;        // command code obeyed but never answered
  uint32_t JitterMs = 0;   // sample packets leave up to this late, in order
  int32_t DriftPpm = 0;    // the device's clock runs fast (+) or slow (-)
  int64_t UnplugMs = -1;   // unplugged at the first contact after this time,
  int64_t ReplugMs = -1;   // and plugged in again (a new path) this long after it
  int64_t SuspendMs = -1;  // a power suspend at the first contact after this time
};
constexpr uint32_t kSuspendMs = 1000;  // from a suspend to its resume

struct TEmuDeviceConfig {
  int Kind = 7;      // identification byte 0: selects the channel count
  int Revision = 1;  // identification byte 1
  TEmuFaults Faults;
  bool Eeg = false;  // signal=eeg: the EEG-like input of eeg_model.h instead of EmuSignal
};

// Parses AMVEX_EMULATE: devices separated by ';', each a comma list of key=value,
// kind and rev (0 to 255) and the fault keys the README lists; blank text is no
// device. A device with a bad item (unknown key, bad value, a key twice, a space
// inside an item, an empty item or entry) is left out and described in error, one
// line naming the item. Entries beyond kMaxEmulatedDevices are left out, one line
// saying so.
constexpr size_t kMaxEmulatedDevices = 32;
std::vector<TEmuDeviceConfig> ParseEmulateDevices(const std::string& text, std::string& error);

// The signal of channel c at sample number s (counts of 22 bits), see the README.
int32_t EmuSignal(int channel, uint32_t sample, uint32_t rate);

// What every channel's input carries while the pull-up is off.
enum class TEmuInput {
  Signal,       // EmuSignal
  Zero,         // 0 V: each channel reads its zero offset
  Calibration,  // the calibration voltage (0.1 V): each channel reads offset + span
};

// What a device did, counted since it was added or its stats were reset.
struct TEmuStats {
  uint64_t Packets = 0;          // sample packets made
  uint64_t Sent = 0;             // of those, put on the wire intact
  uint64_t Lost = 0;             // lost before the wire (loss, loss_at, drops, a full driver buffer)
  uint64_t Corrupted = 0;        // damaged on the wire
  uint64_t InvalidSamples = 0;   // flagged invalid in packets sent intact
  uint64_t RepliesWithheld = 0;  // replies a silent device kept back
  uint64_t Delivered = 0;        // packets made up to the last intact one a read handed out
  uint64_t DeliveredFaults = 0;  // of those, lost or damaged
  double MeanLatencyMs = 0;      // from a packet being due to the read that made it
  uint32_t MaxLatencyMs = 0;
};

class TEmulator : public TDeviceBus {
public:
  TEmulator();
  ~TEmulator() override;

  // Device bus.
  std::vector<std::string> InterfacePaths(const TGuid& guid) override;
  intptr_t Open(const std::string& path) override;
  bool IoControl(intptr_t handle, uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                 uint32_t* returned) override;
  void Close(intptr_t handle) override;
  void Attach(TNotifyWindow* w) override;
  void Detach(TNotifyWindow* w) override;

  // Control surface. Plug, Unplug and Power return once every attached
  // notification window has handled the message. A device's timed faults
  // (unplug, replug, suspend, resume) post theirs instead: they happen on a
  // reader's thread or the emulator's timer, which must never wait for a handler.
  std::string Add(const TEmuDeviceConfig& config);  // present from now on, no notification
  std::string Add(int kind, int revision);
  std::string Plug(const TEmuDeviceConfig& config);
  std::string Plug(int kind, int revision);
  bool Unplug(const std::string& path);
  void Power(uintptr_t event);
  void Notify(uint32_t message, uintptr_t event);
  void SetFaults(const std::string& path, const TEmuFaults& faults);
  void DuplicatePath(const std::string& path, bool on);  // enumeration lists it twice
  void SetInput(const std::string& path, TEmuInput input);
  // Electrode impedance in ohms (channel 0 to 39); 0 shorts it to the reference.
  void SetElectrode(const std::string& path, int channel, double ohms);

  // Inspection.
  std::vector<std::string> Paths();  // every device ever added, present or not, in order
  std::vector<std::vector<uint8_t>> Commands(const std::string& path);  // every packet written
  void ClearCommands(const std::string& path);
  std::vector<int32_t> ClosedPipes(const std::string& path);  // channel numbers of close requests
  std::vector<uint8_t> LcdText(const std::string& path);
  std::array<uint8_t, 256> Eeprom(const std::string& path, bool user);
  void SetEeprom(const std::string& path, bool user, const std::array<uint8_t, 256>& data);
  bool Streaming(const std::string& path);
  uint32_t Rate(const std::string& path);
  TEmuStats Stats(const std::string& path);
  // When the sample packet s of the latest start (0 = the first, which the
  // library only synchronises on: a host reads packet s as sample number s)
  // left the device by its own drifting clock, jitter not counted: a packet
  // leaves as its sample period ends, one period after it is due. In the
  // milliseconds of TickCount64, unrounded; NaN before the first start.
  double SentMs(const std::string& path, uint32_t s);
  void ResetStats(const std::string& path);

  struct Impl;

private:
  std::unique_ptr<Impl> P;
};

// The process-wide emulator, with the devices AMVEX_EMULATE names at first use.
TEmulator& DefaultEmulator();
// Frees it (the library's unload, once its device list is gone); the next
// DefaultEmulator makes a new one.
void ReleaseDefaultEmulator();

}  // namespace amx
