// WdmDevice: one opened device interface of the USB driver (its control codes
// are in protocol.h). Builds on the platform's device bus (platform/platform.h).
#pragma once
#include "platform/platform.h"
#include "protocol.h"

#include <atomic>
#include <string>

namespace amx {

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
  // The host's operations on this device run one at a time under OpLock,
  // outside the list's lock, so a device that waits for its replies holds up
  // no other device. Users counts the calls under way (taken while the list's
  // lock is held): the list destroys a device only once none is left.
  TCriticalSection OpLock;
  std::atomic<int> Users{0};
};

// A new device identifier: the tick count, moved past the last one handed out so
// that two devices never share one even on a coarse system tick.
int32_t NewDeviceId();

}  // namespace amx
