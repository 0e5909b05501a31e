// UWDM: device list, enumeration refresh, device-change and power handling.
// Builds on WdmDevice and the platform notification window.
#include "transport/UWDM.h"

#include <algorithm>
#include <exception>

namespace amx {

namespace {

// Creates one device on a thread of its own: creating a device talks to it (an
// amplifier's reset takes some 0.4 s), and the devices need not wait for each
// other. Each device's own commands keep their order.
class TCreation : public TThread {
public:
  TCreation(TWdmDeviceList& list, const std::string& path) : Path(path), List(list) {}
  const std::string Path;
  std::unique_ptr<TWdmDevice> Device;
  std::exception_ptr Error;

  void Create()
  {
    try {
      Device.reset(List.CreateDevice(Path));
    } catch (...) {
      Error = std::current_exception();
    }
  }

protected:
  void Execute() override { Create(); }

private:
  TWdmDeviceList& List;
};

// Destroys a device that has left the list once no host call is under way on
// it. Calls find devices under the list's lock, so none can start on it now.
// A call still counted after 10 s (longer than any operation waits for its
// device) belongs to a thread that no longer runs: one ended at process exit.
void Retire(std::unique_ptr<TWdmDevice> d)
{
  for (uint64_t deadline = TickCount64() + 10000; d && d->Users.load() > 0 && TickCount64() < deadline;) SleepMs(1);
}

}  // namespace

TWdmDeviceList::TWdmDeviceList(TDeviceBus& bus, const TGuid& guid, TCriticalSection* listLock)
    : Bus(bus), InterfaceGuid(guid), ListLock(listLock ? listLock : &OwnLock)
{}

void TWdmDeviceList::Start(bool watch)
{
  Refresh(kThreadsStartDuringLoad);  // the list starts with the library's load
  if (watch) OpenWindow();
}

void TWdmDeviceList::Watch()
{
  if (NotifyWindow) return;
  OpenWindow();
  Refresh();  // a device that came or went since the first enumeration told no one
}

void TWdmDeviceList::OpenWindow()
{
  NotifyWindow.reset(new TNotifyWindow(OnMessage, this));
  Bus.Attach(NotifyWindow.get());
}

TWdmDeviceList::~TWdmDeviceList()
{
  if (NotifyWindow) {
    Bus.Detach(NotifyWindow.get());
    NotifyWindow.reset();
  }
  // Last to first, as the list was built up.
  while (!Devices.empty()) {
    std::unique_ptr<TWdmDevice> d = std::move(Devices.back());
    Devices.pop_back();
    Retire(std::move(d));
  }
}

TWdmDevice* TWdmDeviceList::CreateDevice(const std::string&) { return nullptr; }

int TWdmDeviceList::Count() const { return int(Devices.size()); }

TWdmDevice* TWdmDeviceList::Get(int index) const
{
  if (index < 0 || index >= Count()) return nullptr;
  return Devices[size_t(index)].get();
}

TWdmDevice* TWdmDeviceList::FindById(int32_t id) const
{
  for (auto& d : Devices)
    if (d && d->Id == id) return d.get();
  return nullptr;
}

TWdmDevice* TWdmDeviceList::FindByPath(const std::string& path) const
{
  for (auto& d : Devices)
    if (d && d->Path == path) return d.get();
  return nullptr;
}

void TWdmDeviceList::Refresh(bool sideBySide)
{
  TLock hold(*ListLock);
  std::vector<std::string> present = Bus.InterfacePaths(InterfaceGuid);
  for (size_t i = Devices.size(); i-- > 0;) {
    auto& d = Devices[i];
    if (!d || std::find(present.begin(), present.end(), d->Path) == present.end()) {
      std::unique_ptr<TWdmDevice> gone = std::move(d);
      Devices.erase(Devices.begin() + ptrdiff_t(i));
      Retire(std::move(gone));
    }
  }
  present = Bus.InterfacePaths(InterfaceGuid);
  std::vector<std::unique_ptr<TCreation>> creations;
  for (const std::string& path : present) {
    if (path.empty() || FindByPath(path)) continue;
    bool listed = false;  // an enumeration may list a path twice
    for (auto& c : creations) listed = listed || c->Path == path;
    if (listed) continue;
    creations.emplace_back(new TCreation(*this, path));
    if (sideBySide)
      creations.back()->Resume();
    else
      creations.back()->Create();
  }
  // Joined in enumeration order, so the list keeps it; identifiers too rise
  // along the list as they did when devices were created one after another.
  std::exception_ptr error;
  for (auto& c : creations) {
    c->WaitFor();
    std::unique_ptr<TWdmDevice>& d = c->Device;
    if (c->Error) error = c->Error;
    if (!d || d->Path.empty()) continue;
    d->Owner = this;
    d->Id = NewDeviceId();
    Devices.push_back(std::move(d));
  }
  if (error) std::rethrow_exception(error);
}

void TWdmDeviceList::HandleMessage(uint32_t message, uintptr_t event)
{
  if (message == WM_DEVICECHANGE_) {
    if (event == DBT_DEVNODES_CHANGED_) Refresh();
    return;
  }
  if (message != WM_POWERBROADCAST_) return;
  TLock hold(*ListLock);
  for (size_t i = Devices.size(); i-- > 0;) {
    TWdmDevice* d = Devices[i].get();
    bool reopened = true;
    {
      TLock serialise(d->OpLock);  // after the host's operation under way on it
      if (event == PBT_APMSUSPEND_ || event == PBT_APMBATTERYLOW_)
        d->Close();
      else if (event == PBT_APMRESUMESUSPEND_)
        reopened = d->Reopen();
      // PBT_APMQUERYSUSPEND: every device allows the suspend (SuspendAllowed).
    }
    if (!reopened) {
      std::unique_ptr<TWdmDevice> gone = std::move(Devices[i]);
      Devices.erase(Devices.begin() + ptrdiff_t(i));
      Retire(std::move(gone));
    }
  }
}

void TWdmDeviceList::OnMessage(void* self, uint32_t message, uintptr_t event)
{
  static_cast<TWdmDeviceList*>(self)->HandleMessage(message, event);
}

}  // namespace amx
