// protocol.h: what crosses the wire between the library and an amplifier, shared
// by the device code and the emulator: the driver's control codes, the packet
// frame, command codes, packet types, the sample packet's layout and the codes of
// the device settings. Numbers only; no code of either side.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

#include "amvex.h"  // the host's frame: the invalid-sample marker, the status word

namespace amx {

// ---- driver ---------------------------------------------------------------------

// Control codes: device type 0x22, function number, buffered, any access.
constexpr uint32_t IOCTL_AMX_OPEN_PIPE = 0x220000;
constexpr uint32_t IOCTL_AMX_CLOSE_PIPE = 0x220004;
constexpr uint32_t IOCTL_AMX_READ_PIPE = 0x220008;
constexpr uint32_t IOCTL_AMX_WRITE_COMMAND = 0x220010;
constexpr uint32_t PipeReadCapacity = 0x20000;  // largest read the driver delivers

// The amplifiers' device interface class {00873FDF-61A8-11D1-AA5E-00C04FB1728B}
// in its in-memory (little-endian) layout.
constexpr std::array<uint8_t, 16> GUID_AMX_INTERFACE = {0xDF, 0x3F, 0x87, 0x00, 0xA8, 0x61, 0xD1, 0x11,
                                                        0xAA, 0x5E, 0x00, 0xC0, 0x4F, 0xB1, 0x72, 0x8B};

// ---- packet frame ---------------------------------------------------------------

// Both directions: start byte, type (a command code or packet type), payload
// length n, n payload bytes, end byte.
constexpr uint8_t kFrameStart = 0xAA;
constexpr uint8_t kFrameEnd = 0x55;
constexpr int kFrameOverhead = 4;          // start, type, length, end
constexpr uint32_t MaxCommandPacket = 64;  // a whole command frame
constexpr uint8_t kMaxCommandPayload = MaxCommandPacket - kFrameOverhead;

// ---- commands (host to device); a reply carries the command's code as its type --

enum TCommand : uint8_t {
  kCmdSampling = 1,  // rate code
  kCmdStart = 2,     // replied to with one byte
  kCmdStop = 3,
  kCmdUartBaud = 5,      // baud code; turns the UART stream on
  kCmdLcdText = 8,       // display codes, 16 at most
  kCmdAnalog = 10,       // front-end byte, gain/mode byte (also the pull-up)
  kCmdSync = 11,         // sync flags
  kCmdWriteSystem = 12,  // address, length, bytes; replied to with address, length
  kCmdReadSystem = 13,   // address, length; replied to with address, length, bytes
  kCmdWriteUser = 14,
  kCmdReadUser = 15,
  kCmdMasterClock = 16,  // clock code; replied to while acquisition runs
};

// A read of the system area at address 0 with length 0 asks for the
// identification instead: the reply is the device kind and its revision.
constexpr int kEepromBytes = 256;  // each of the two areas
constexpr int kEepromChunk = 48;   // bytes one read or write moves at most

// Sampling rates by rate code 1 to 4 (the code is the index + 1).
constexpr uint32_t kRates[] = {125, 250, 500, 1000};
constexpr uint8_t kRateCodes = 4, kDefaultRateCode = 3;  // 500
// UART baud rates by baud code 0 to 4.
constexpr int32_t kUartBauds[] = {115200, 57600, 38400, 19200, 9600};
constexpr uint8_t kUartBaudCodes = 5;
constexpr uint8_t kUartDefaultCode = 3;  // 19200

constexpr uint8_t kSyncA = 0x40, kSyncB = 0x80;
constexpr uint8_t kClockMask = 7;  // kCmdMasterClock's code and its reply
constexpr size_t kLcdChars = 16;   // display codes one kCmdLcdText takes

// Front-end byte of kCmdAnalog: the normal input, the pull-up (impedance test
// signal) on, and the families of the extended front ends' codes.
constexpr uint8_t kAnalogNormal = 0x80;
constexpr uint8_t kAnalogPullUp = 0xC9;
constexpr uint8_t kAnalogPullUpFamily = 0xC0;  // 0xC0 to 0xCF: pull-up variants
// Gain/mode byte of the wide-gain front ends.
constexpr uint8_t kGainLow = 0x80, kGainHigh = 0x40;

// ---- packets (device to host) ---------------------------------------------------

enum TPacketType : uint8_t {
  kPacketSamples = 4,  // k samples of 3 bytes, status byte, sequence byte
  kPacketUart = 6,     // bytes received by the UART, then one unused byte
};

constexpr int kSampleBytes = 3;               // big-endian: 22-bit count << 2, flag bits
constexpr uint8_t kSampleInvalidFlag = 0x01;  // in the sample's last byte
constexpr uint8_t kStatusSecondMark = 0x80;   // status byte: the first sample of a second
constexpr int kMaxChannels = 40;
constexpr int kMaxSamplePayload = kSampleBytes * kMaxChannels + 2;

// A sample the device marked invalid, in a decoded frame.
constexpr int32_t kInvalidSample = AMX_INVALID_SAMPLE;

// ---- impedance test signal -------------------------------------------------------

// With the pull-up on, each electrode carries the device's 30 Hz test source
// through its impedance and the channel's reference resistance.
constexpr double kImpTestFrequency = 30.0;                // Hz
constexpr double kImpScaleVolts = 3.1824611032531824;     // test source seen through the reference
constexpr double kImpCountVolts = 6.274176126011958e-08;  // 2.5 / (19 x 2097151)

// ---- device kinds (identification byte 0) -----------------------------------------

inline int KindChannels(int kind)
{
  switch (kind) {
    case 1: return 24;
    case 2: return 20;
    case 6: return 16;
    default: return 40;
  }
}
inline bool KindWideGain(int kind) { return kind == 7 || kind == 8; }

}  // namespace amx
