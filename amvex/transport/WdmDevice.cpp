// WdmDevice: opening a device interface, identifiers, the driver control call.
// Builds on the platform's device bus.
#include "transport/WdmDevice.h"

namespace amx {

int32_t NewDeviceId()
{
  static std::atomic<int32_t> last{0};
  int32_t prev = last.load();
  for (;;) {
    int32_t id = int32_t(TickCount());
    if (int32_t(uint32_t(id) - uint32_t(prev)) <= 0) id = int32_t(uint32_t(prev) + 1);
    if (id == 0) id = 1;  // 0 means "no device" to GetAmxID callers
    if (last.compare_exchange_weak(prev, id)) return id;
  }
}

TWdmDevice::TWdmDevice(TDeviceBus& bus, const std::string& path) : Bus(bus)
{
  Handle = Bus.Open(path);
  if (IsOpen()) Path = path;
  Id = NewDeviceId();
  SleepMs(10);
}

TWdmDevice::~TWdmDevice()
{
  if (IsOpen()) Bus.Close(Handle);
}

// The handle is marked closed too: a stale value could name a handle the system
// has since handed to someone else.
void TWdmDevice::Close()
{
  if (IsOpen()) Bus.Close(Handle);
  Handle = InvalidHandle;
}

bool TWdmDevice::Reopen()
{
  if (IsOpen()) Bus.Close(Handle);
  Handle = Bus.Open(Path);
  return IsOpen();
}

bool TWdmDevice::IoControl(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                           uint32_t* returned)
{
  if (returned) *returned = 0;
  if (!IsOpen()) return false;
  return Bus.IoControl(Handle, code, in, inSize, out, outSize, returned);
}

}  // namespace amx
