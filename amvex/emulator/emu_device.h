// emu_device.h: one emulated amplifier's state and the steps its driver queue
// offers, shared by the wire side (emulator.cpp) and the firmware's command
// handler (firmware.cpp). Internal to the emulator.
#pragma once
#include "emulator/eeg_model.h"
#include "emulator/emulator.h"

#include <deque>

namespace amx {

// A packet on the wire: where it ends in the byte stream, when it may leave the
// driver (jitter holds packets back), and for an intact sample packet the
// device's counts so far, which become the delivered counts once a read hands it out.
struct TWirePacket {
  uint64_t End, ReleaseMs;
  bool Samples;
  uint64_t Made, Faults;
};

struct TEmuDevice {
  int Kind = 7, Revision = 1;
  std::string Path;
  bool Present = true, Opened = false, Duplicate = false;
  int32_t Pipe = -1, NextPipe = 1;
  // firmware state
  uint8_t RateCode = kDefaultRateCode;
  bool Running = false, UartOn = false;
  uint8_t Sync = 0;
  uint8_t Analog[2] = {0x80, 0x00};
  uint8_t UartCode = kUartDefaultCode;
  std::vector<uint8_t> Lcd;
  TEmuInput Input = TEmuInput::Signal;
  bool Eeg = false;  // the signal input is EEG-like
  TEmuEeg EegState;
  double Electrodes[kMaxChannels] = {};  // ohms
  std::array<uint8_t, 256> Eeprom[2];
  uint64_t StartMs = 0, FirstStartMs = 0;  // FirstStartMs 0: never started
  uint32_t Produced = 0;                   // sample packets made since start
  // faults and what they did
  TEmuFaults Faults;
  uint64_t Random = 1;
  size_t LossAtNext = 0;
  bool UnplugFired = false, SuspendFired = false;
  TEmuStats Stats;
  double LatencySum = 0;
  // driver queue: bytes Queue[Head...] are the stream from byte Taken on
  std::vector<uint8_t> Queue;
  size_t Head = 0;
  uint64_t Taken = 0;
  std::deque<TWirePacket> Wire;  // the queued packets, oldest first
  uint64_t LastReleaseMs = 0;
  std::vector<std::vector<uint8_t>> Commands;
  std::vector<int32_t> ClosedPipes;
};

// The rate of a sampling code; the default rate for a code the firmware does not know.
uint32_t RateOf(uint8_t code);
// Drops everything queued and not yet read.
void ClearQueue(TEmuDevice& d);
// Queues a reply, unless the device's faults withhold it.
void Reply(TEmuDevice& d, uint8_t code, const uint8_t* payload, uint8_t n);
// Brings the stream up to the current time.
void Advance(TEmuDevice& d);
// The firmware: obeys one command packet as written by the host.
void Obey(TEmuDevice& d, const uint8_t* frame, uint32_t size);

}  // namespace amx
