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

struct TEmuSpec {
  int Kind = 7;      // identification byte 0: selects the channel count
  int Revision = 1;  // identification byte 1
};

// Parses the AMVEX_EMULATE syntax: devices separated by ';', each a comma list of
// key=value with keys kind and rev (0 to 255), e.g. "kind=7,rev=64;kind=6".
// Bad entries are left out and described in error.
std::vector<TEmuSpec> ParseEmulateSpec(const std::string& text, std::string& error);

// The signal of channel c at sample number s (counts of 22 bits), see the README.
int32_t EmuSignal(int channel, uint32_t sample, uint32_t rate);

// What every channel's input carries while the pull-up is off.
enum class TEmuInput {
  Signal,       // EmuSignal
  Zero,         // 0 V: each channel reads its zero offset
  Calibration,  // the calibration voltage (0.1 V): each channel reads offset + span
};

struct TEmuFaults {
  uint32_t DropEvery = 0;      // every n-th sample packet is lost (sequence byte still advances)
  uint32_t CorruptEvery = 0;   // every n-th sample packet has its start byte damaged
  bool SilentReplies = false;  // commands are obeyed but never answered
  bool FailOpenPipe = false;
  bool FailReads = false;
};

struct TEmuStats {
  uint64_t Packets = 0;      // sample packets handed out by reads
  double MeanLatencyMs = 0;  // from a packet being due to the read that delivered it
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
  // notification window has handled the message.
  std::string Add(int kind, int revision);  // present from now on, no notification
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
  std::vector<std::vector<uint8_t>> Commands(const std::string& path);  // every packet written
  void ClearCommands(const std::string& path);
  std::vector<int32_t> ClosedPipes(const std::string& path);  // channel numbers of close requests
  std::vector<uint8_t> LcdText(const std::string& path);
  std::array<uint8_t, 256> Eeprom(const std::string& path, bool user);
  void SetEeprom(const std::string& path, bool user, const std::array<uint8_t, 256>& data);
  bool Streaming(const std::string& path);
  uint32_t Rate(const std::string& path);
  TEmuStats Stats(const std::string& path);
  void ResetStats(const std::string& path);

  struct Impl;

private:
  std::unique_ptr<Impl> P;
};

// The process-wide emulator, with the devices AMVEX_EMULATE names at first use.
TEmulator& DefaultEmulator();

}  // namespace amx
