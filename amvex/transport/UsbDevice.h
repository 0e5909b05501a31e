// UsbDevice: a device interface with a data channel, the command write and the
// reader thread that polls the channel. Builds on WdmDevice and the platform thread.
#pragma once
#include "transport/WdmDevice.h"

#include <memory>
#include <vector>

namespace amx {

class TUsbDevice;

// Next pause after a read of n bytes: shorter while reads come back more than half
// full, longer while they come back less than half full; between 1 and 25 ms.
uint32_t AdaptInterval(uint32_t interval, uint32_t n);

class TUsbDeviceThread : public TThread {
public:
  explicit TUsbDeviceThread(TUsbDevice* device);
  TUsbDevice* Device;
  std::atomic<uint32_t> Interval{5};

protected:
  void Execute() override;

private:
  std::vector<uint8_t> Buffer;  // one read, allocated once
};

class TUsbDevice : public TWdmDevice {
public:
  TUsbDevice(TDeviceBus& bus, const std::string& path);
  ~TUsbDevice() override;

  // Called on the reader thread with each block read from the channel.
  virtual void DataReceived(const uint8_t* block, uint32_t n) { (void)block, (void)n; }

  bool WriteCommand(const uint8_t* packet, uint32_t length);
  bool OpenPipe();
  bool ClosePipe();
  uint32_t ReadPipe(uint8_t* buffer, uint32_t capacity);
  bool StartReader();
  bool StopReader();

  std::atomic<int32_t> Pipe{0};  // 0 until the first OpenPipe, -1 when closed
  std::unique_ptr<TUsbDeviceThread> Reader;
  TCriticalSection IoLock;
};

}  // namespace amx
