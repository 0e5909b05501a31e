// UsbDevice: data channel, command write and the polling reader thread.
// Builds on WdmDevice (driver control call) and the platform thread.
#include "transport/UsbDevice.h"

namespace amx {

uint32_t AdaptInterval(uint32_t interval, uint32_t n)
{
  if (n > 65536 && interval > 1) return interval - 1;
  if (n < 65536 && interval < 25) return interval + 1;
  return interval;
}

TUsbDeviceThread::TUsbDeviceThread(TUsbDevice* device) : Device(device), Buffer(PipeReadCapacity)
{
  SetPriorityHighest();
}

void TUsbDeviceThread::Execute()
{
  if (!Device) return;
  if (Device->OpenPipe()) {
    SleepMs(5);
    while (!Terminated()) {
      uint32_t n = Device->ReadPipe(Buffer.data(), PipeReadCapacity);
      if (n > 0) Device->DataReceived(Buffer.data(), n);
      if (Terminated()) break;
      uint32_t pause = AdaptInterval(Interval.load(), n);
      Interval.store(pause);
      SleepMs(pause);
    }
  }
  SleepMs(5);
  Device->ClosePipe();
}

TUsbDevice::TUsbDevice(TDeviceBus& bus, const std::string& path) : TWdmDevice(bus, path) {}

TUsbDevice::~TUsbDevice()
{
  StopReader();
  ClosePipe();
}

bool TUsbDevice::WriteCommand(const uint8_t* packet, uint32_t length)
{
  TLock l(IoLock);
  return IoControl(IOCTL_AMX_WRITE_COMMAND, packet, length, nullptr, 0);
}

bool TUsbDevice::OpenPipe()
{
  TLock l(IoLock);
  uint32_t zero = 0, got = 0;
  int32_t pipe = -1;
  if (!IoControl(IOCTL_AMX_OPEN_PIPE, &zero, 4, &pipe, 4, &got) || got < 4) pipe = -1;
  Pipe.store(pipe);
  return pipe != -1;
}

bool TUsbDevice::ClosePipe()
{
  TLock l(IoLock);
  bool ok = false;
  int32_t pipe = Pipe.load();
  if (pipe != -1) {
    ok = IoControl(IOCTL_AMX_CLOSE_PIPE, &pipe, 4, nullptr, 0);
    Pipe.store(-1);
  }
  SuspendAllowed = true;
  return ok;
}

uint32_t TUsbDevice::ReadPipe(uint8_t* buffer, uint32_t capacity)
{
  int32_t pipe = Pipe.load();
  if (pipe == -1) return 0;
  uint32_t got = 0;
  if (!IoControl(IOCTL_AMX_READ_PIPE, &pipe, 4, buffer, capacity, &got)) return 0;
  return got > capacity ? capacity : got;
}

bool TUsbDevice::StartReader()
{
  StopReader();
  Reader.reset(new TUsbDeviceThread(this));
  Reader->Resume();
  return true;
}

bool TUsbDevice::StopReader()
{
  if (Reader) {
    Reader->Terminate();
    Reader->WaitFor();
    Reader.reset();
  }
  return true;
}

}  // namespace amx
