// WdmDevice: one opened device interface of the USB driver, and the driver's
// control codes. Builds on the platform's device bus (platform/platform.h).
#pragma once
#include "platform/platform.h"

#include <string>

namespace amx {

// Driver control codes: device type 0x22, function number, buffered, any access.
constexpr uint32_t IOCTL_AMX_OPEN_PIPE = 0x220000;
constexpr uint32_t IOCTL_AMX_CLOSE_PIPE = 0x220004;
constexpr uint32_t IOCTL_AMX_READ_PIPE = 0x220008;
constexpr uint32_t IOCTL_AMX_WRITE_COMMAND = 0x220010;
constexpr uint32_t PipeReadCapacity = 0x20000;  // largest read the driver delivers
constexpr uint32_t MaxCommandPacket = 64;

// {00873FDF-61A8-11D1-AA5E-00C04FB1728B} in its in-memory (little-endian) layout.
constexpr TGuid GUID_AMX_INTERFACE = {0xDF, 0x3F, 0x87, 0x00, 0xA8, 0x61, 0xD1, 0x11,
                                      0xAA, 0x5E, 0x00, 0xC0, 0x4F, 0xB1, 0x72, 0x8B};

class TWdmDeviceList;

class TWdmDevice {
public:
  // Opens the path (no sharing). Path stays empty when that fails.
  TWdmDevice(TDeviceBus& bus, const std::string& path);
  virtual ~TWdmDevice();
  TWdmDevice(const TWdmDevice&) = delete;
  TWdmDevice& operator=(const TWdmDevice&) = delete;

  virtual void Close();   // closes the handle (suspend)
  virtual bool Reopen();  // opens Path again; false when it no longer opens

  bool IsOpen() const { return Handle != InvalidHandle; }
  // False without reaching the driver when the handle is not open.
  bool IoControl(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                 uint32_t* returned = nullptr);

  TDeviceBus& Bus;
  intptr_t Handle = InvalidHandle;
  std::string Path;
  int32_t Id = 0;
  TWdmDeviceList* Owner = nullptr;
  bool SuspendAllowed = true;
};

// A new device identifier: the tick count, moved past the last one handed out so
// that two devices never share one even on a coarse system tick.
int32_t NewDeviceId();

}  // namespace amx
