// firmware.cpp: the emulated amplifier's firmware command handler: command
// frames, settings, the start and stop of the stream, EEPROM areas, the
// identification and master-clock replies, display text.
#include "emulator/emu_device.h"
#include "protocol.h"

#include <algorithm>
#include <cstring>

namespace amx {

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
      if (n >= 1 && p[0] >= 1 && p[0] <= kRateCodes) {
        Advance(d);
        d.RateCode = p[0];
      }
      break;
    case kCmdStart: {
      ClearQueue(d);
      d.Running = true;
      d.StartMs = TickCount64();
      if (!d.FirstStartMs) d.FirstStartMs = d.StartMs;
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
      if (n >= 1 && p[0] < kUartBaudCodes) {
        d.UartCode = p[0];
        d.UartOn = true;
      }
      break;
    case kCmdLcdText: d.Lcd.assign(p, p + std::min<size_t>(n, kLcdChars)); break;
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
        uint8_t v = p[0] & kClockMask;
        Reply(d, kCmdMasterClock, &v, 1);
      }
      break;
    default: break;
  }
}

}  // namespace amx
