// UWDM: the list of present devices of one interface class. Enumerates at start
// and on device-change notifications, closes and reopens devices around suspend.
// Builds on WdmDevice and the platform's notification window.
#pragma once
#include "transport/WdmDevice.h"

#include <memory>
#include <vector>

namespace amx {

class TWdmDeviceList {
public:
  // ListLock (the list's own lock unless one is given) is held while the list
  // changes (Refresh, power handling), so callers holding it never see a device
  // destroyed under them.
  TWdmDeviceList(TDeviceBus& bus, const TGuid& guid, TCriticalSection* listLock = nullptr);
  virtual ~TWdmDeviceList();
  TWdmDeviceList(const TWdmDeviceList&) = delete;
  TWdmDeviceList& operator=(const TWdmDeviceList&) = delete;

  virtual TWdmDevice* CreateDevice(const std::string& path);  // none here
  virtual int Count() const;
  virtual TWdmDevice* Get(int index) const;  // null when out of range
  virtual TWdmDevice* FindById(int32_t id) const;
  TWdmDevice* FindByPath(const std::string& path) const;

  // Creates the devices that appeared side by side, or one after another on
  // the calling thread (sideBySide false: during the library's load where new
  // threads cannot start then), and drops those gone.
  void Refresh(bool sideBySide = true);
  void HandleMessage(uint32_t message, uintptr_t event);

  TDeviceBus& Bus;
  TGuid InterfaceGuid;
  std::vector<std::unique_ptr<TWdmDevice>> Devices;
  std::unique_ptr<TNotifyWindow> NotifyWindow;
  TCriticalSection OwnLock;
  TCriticalSection* ListLock;

  // Starts the notifications of a list started without them, once: creates the
  // notification window and enumerates again.
  void Watch();

protected:
  // The first enumeration, and the notification window unless watch is false
  // (Watch starts it later). Called by the most derived constructor, once
  // CreateDevice is its own.
  void Start(bool watch = true);

private:
  void OpenWindow();
  static void OnMessage(void* self, uint32_t message, uintptr_t event);
};

}  // namespace amx
