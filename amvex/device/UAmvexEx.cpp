// UAmvexEx: the exported device functions. Each one is a line of delegation to a
// TAmx operation through one boundary helper, which holds the library lock, looks
// the identifier up and keeps errors from crossing into the host. Also the
// library's load and unload and the hooks that run them (the ELF constructor and
// destructor, DllMain). Builds on UAmvex and the public header amvex.h.
#include "amvex.h"

#include "common/errors.h"
#include "device/UAmvex.h"
#include "emulator/emulator.h"

#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#endif

namespace amx {

namespace {

struct TLibrary {
  TCriticalSection Lock;
  std::unique_ptr<TAmxList> List;
};
TLibrary* Library = nullptr;

// Starts the list's notifications if the load left them for later. Lock held.
// A device that cannot be created then is left out, as at load.
void Watch()
{
  if (Library->List) Guarded([] { Library->List->Watch(); });
}

// How a device function runs beside the others on its device.
enum TCall {
  Serialised,     // one at a time with the device's other operations
  EvenSuspended,  // the same, and reaches a device a power suspend closed
  BesideOthers,   // reads of data the device guards itself: never wait for an operation
};

// Look-up, lock, guard: the common steps of every device function. The library
// lock is held only to find the device (and mark it in use, so the list keeps
// it); the operation runs under the device's own lock, so a device waiting for
// its replies (a failing start: some 1.5 s) holds up no call on another device.
// A device a power suspend closed is not open for the host until AmxOpen opens
// it again; only AmxOpen and AmxClose reach it before that.
template <class Op>
int32_t WithDevice(int32_t id, Op op, TCall call = Serialised)
{
  if (!Library) return AMX_NO_DEVICE;
  TAmx* d = nullptr;
  {
    TLock hold(Library->Lock);
    Watch();
    d = Library->List ? Library->List->Amx(id) : nullptr;
    if (!d) return AMX_NO_DEVICE;
    d->Users++;
  }
  struct TInUse {
    TAmx* D;
    ~TInUse() { D->Users--; }
  } inUse{d};
  auto run = [&] {
    if (d->Suspended && call != EvenSuspended) return int32_t(AMX_NOT_OPEN);
    return Guarded(int32_t(AMX_FAILED), [&] { return op(*d); });
  };
  if (call == BesideOthers) return run();
  TLock serialise(d->OpLock);
  return run();
}

// The same for the list functions: their failure is the empty result.
template <class Op>
auto WithList(Op op) -> decltype(op(*Library->List))
{
  if (!Library) return {};
  TLock hold(Library->Lock);
  if (!Library->List) return {};
  Watch();
  return Guarded(decltype(op(*Library->List))(), [&] { return op(*Library->List); });
}

// The library's one composition root: the device bus, chosen once at load. The
// emulated amplifiers when AMVEX_EMULATE is set or the platform has no device bus
// of its own (POSIX), else the system's (Windows).
TDeviceBus& ChooseBus()
{
  TDeviceBus* system = SystemBus();
  if (!system || std::getenv("AMVEX_EMULATE")) return DefaultEmulator();
  return *system;
}

int32_t Status(bool ok, int32_t failure) { return ok ? AMX_OK : failure; }

// An output parameter of a getter: written, or AMX_FAILED when the host passed none.
template <class T, class V>
int32_t Put(T* out, V value)
{
  if (!out) return AMX_FAILED;
  *out = static_cast<T>(value);
  return AMX_OK;
}

}  // namespace

// Where threads cannot start during the load (Windows), the list's notification
// thread starts with the first device or list function instead: a thread
// created in DllMain runs only once the loader lock is free, and a host that
// ends before then has it ended half-way through its start-up.
void LibraryLoad()
{
  Library = new TLibrary;
  try {
    Library->List.reset(new TAmxList(ChooseBus(), &Library->Lock, kThreadsStartDuringLoad));
  } catch (...) {
    // A device that could not be created (no ring storage) leaves the library
    // without devices rather than failing the host's load.
  }
}

void LibraryUnload()
{
  if (!Library) return;
  std::unique_ptr<TAmxList> list;
  {
    TLock hold(Library->Lock);
    list = std::move(Library->List);
  }
  list.reset();  // stops and frees every device, outside the lock: the notification
                 // thread may be waiting for it
  delete Library;
  Library = nullptr;
  ReleaseDefaultEmulator();
}

}  // namespace amx

using namespace amx;

static_assert(sizeof(AmxDeviceInfo) == 36, "device information record is 36 bytes");
static_assert(sizeof(AmxInternalInfoRecord) == 8, "internal information record is 8 bytes");

extern "C" {

AMX_API int32_t AMX_CALL GetAmxCount(void)
{
  return WithList([](TAmxList& l) { return int32_t(l.Count()); });
}

AMX_API int32_t AMX_CALL GetAmxID(int32_t index)
{
  return WithList([&](TAmxList& l) {
    TWdmDevice* d = l.Get(index);
    return d ? d->Id : int32_t(0);
  });
}

AMX_API void* AMX_CALL GetAmx(int32_t id)
{
  return WithList([&](TAmxList& l) { return static_cast<void*>(l.Amx(id)); });
}

AMX_API int32_t AMX_CALL AmxOpen(int32_t id)
{
  return WithDevice(
      id,
      [](TAmx& d) {
        if (!d.IsOpen()) return int32_t(AMX_NOT_OPEN);
        d.Suspended = false;
        d.Identify();
        return int32_t(AMX_OK);
      },
      EvenSuspended);
}

AMX_API int32_t AMX_CALL AmxClose(int32_t id)
{
  return WithDevice(
      id, [](TAmx& d) { return Status(d.IsOpen(), AMX_CLOSED); }, EvenSuspended);
}

AMX_API int32_t AMX_CALL AmxStart(int32_t id)
{
  return WithDevice(id, [](TAmx& d) { return Status(d.Start(), AMX_START_FAILED); });
}

AMX_API int32_t AMX_CALL AmxStop(int32_t id)
{
  return WithDevice(id, [](TAmx& d) { return Status(d.Stop(), AMX_STOP_FAILED); });
}

// The two reads of what the reader thread stored: beside the device's other calls.
static int32_t ReadStored(int32_t id, void* buffer, int32_t size, int32_t* bytesRead, int (TAmx::*read)(void*, int))
{
  return WithDevice(
      id,
      [&](TAmx& d) {
        if (!bytesRead || (!buffer && size > 0)) return int32_t(AMX_FAILED);
        *bytesRead = (d.*read)(buffer, size);
        return int32_t(AMX_OK);
      },
      BesideOthers);
}

AMX_API int32_t AMX_CALL AmxRead(int32_t id, void* buffer, int32_t size, int32_t* bytesRead)
{
  return ReadStored(id, buffer, size, bytesRead, &TAmx::ReadSamples);
}

AMX_API int32_t AMX_CALL AmxGetSampling(int32_t id, int32_t* rate)
{
  return WithDevice(id, [&](TAmx& d) { return Put(rate, d.Rate()); });
}

AMX_API int32_t AMX_CALL AmxSetSampling(int32_t id, int32_t rate)
{
  return WithDevice(id, [&](TAmx& d) { return Status(rate > 0 && d.SetSampling(uint32_t(rate)), AMX_BAD_SAMPLING); });
}

AMX_API int32_t AMX_CALL AmxGetSync(int32_t id, int32_t* a, int32_t* b)
{
  return WithDevice(id, [&](TAmx& d) {
    if (!a || !b) return int32_t(AMX_FAILED);
    d.GetSync(*a, *b);
    return int32_t(AMX_OK);
  });
}

AMX_API int32_t AMX_CALL AmxSetSync(int32_t id, int32_t a, int32_t b)
{
  return WithDevice(id, [&](TAmx& d) { return Status(d.SetSync(a, b), AMX_FAILED); });
}

static int32_t Eeprom(int32_t id, void* data, int32_t size, bool user, bool write)
{
  return WithDevice(id, [&](TAmx& d) {
    if (size < 0 || size > 256 || (!data && size > 0)) return int32_t(AMX_FAILED);
    uint8_t* p = static_cast<uint8_t*>(data);
    int done = write ? d.WriteEeprom(p, size, user) : d.ReadEeprom(p, size, user);
    return Status(done == size, AMX_FAILED);
  });
}

AMX_API int32_t AMX_CALL AmxWriteSystemEEPROM(int32_t id, const void* data, int32_t size)
{
  return Eeprom(id, const_cast<void*>(data), size, false, true);
}
AMX_API int32_t AMX_CALL AmxReadSystemEEPROM(int32_t id, void* data, int32_t size)
{
  return Eeprom(id, data, size, false, false);
}
AMX_API int32_t AMX_CALL AmxWriteUserEEPROM(int32_t id, const void* data, int32_t size)
{
  return Eeprom(id, const_cast<void*>(data), size, true, true);
}
AMX_API int32_t AMX_CALL AmxReadUserEEPROM(int32_t id, void* data, int32_t size)
{
  return Eeprom(id, data, size, true, false);
}

AMX_API int32_t AMX_CALL AmxReset(int32_t id)
{
  return WithDevice(id, [](TAmx& d) { return Status(d.Reset(), AMX_RESET_FAILED); });
}

AMX_API int32_t AMX_CALL AmxPullUp(int32_t id, int32_t on, int32_t mode)
{
  return WithDevice(id, [&](TAmx& d) { return Status(d.SetPullUp(on, mode), AMX_FAILED); });
}

AMX_API int32_t AMX_CALL AmxInfo(int32_t id, AmxDeviceInfo* info, int32_t size)
{
  return WithDevice(id, [&](TAmx& d) {
    d.Identify();
    return Status(d.GetInfo(info, size), AMX_FAILED);
  });
}

AMX_API int32_t AMX_CALL AmxInternalInfo(int32_t id, AmxInternalInfoRecord* info, int32_t size)
{
  return WithDevice(id, [&](TAmx& d) {
    if (!info || size < 8) return int32_t(AMX_FAILED);
    info->deviceKind = d.Kind();
    info->deviceRevision = d.Revision();
    return int32_t(AMX_OK);
  });
}

AMX_API int32_t AMX_CALL AmxGetCalibrateFlag(int32_t id, int32_t* flag)
{
  return WithDevice(id, [&](TAmx& d) { return Put(flag, d.Calibrated.load()); });
}

AMX_API int32_t AMX_CALL AmxSetCalibrateFlag(int32_t id, int32_t flag)
{
  return WithDevice(id, [&](TAmx& d) {
    d.Calibrated.store(flag != 0);
    return int32_t(AMX_OK);
  });
}

AMX_API int32_t AMX_CALL AmxDebugMode(int32_t id, int32_t flag)
{
  return WithDevice(id, [&](TAmx& d) {
    d.DebugMode.store(flag != 0);
    return int32_t(AMX_OK);
  });
}

AMX_API int32_t AMX_CALL AmxDebugState(int32_t id, int32_t* lost)
{
  return WithDevice(
      id, [&](TAmx& d) { return Put(lost, d.LostPackets.load()); }, BesideOthers);
}

AMX_API int32_t AMX_CALL AmxSetUartBound(int32_t id, int32_t baud)
{
  return WithDevice(id, [&](TAmx& d) {
    d.SetUartBaudRate(baud);
    return int32_t(AMX_OK);
  });
}

AMX_API int32_t AMX_CALL AmxGetUartBound(int32_t id, int32_t* baud)
{
  return WithDevice(id, [&](TAmx& d) { return Put(baud, d.UartBaudRate()); });
}

AMX_API int32_t AMX_CALL AmxUartRead(int32_t id, void* buffer, int32_t size, int32_t* bytesRead)
{
  return ReadStored(id, buffer, size, bytesRead, &TAmx::ReadUart);
}

AMX_API int32_t AMX_CALL AmxMasterClockConfig(int32_t id, int32_t* value)
{
  return WithDevice(id, [&](TAmx& d) { return Status(value && d.SetMasterClock(*value), AMX_FAILED); });
}

AMX_API int32_t AMX_CALL AmxSetAnalogConfig(int32_t id, uint32_t config)
{
  return WithDevice(id, [&](TAmx& d) { return Status(d.SetAnalogConfig(config), AMX_FAILED); });
}

AMX_API int32_t AMX_CALL AmxGetAnalogConfig(int32_t id, uint32_t* config)
{
  return WithDevice(id, [&](TAmx& d) { return Put(config, d.Analog()); });
}

// ---- impedance ------------------------------------------------------------------

AMX_API int32_t AMX_CALL AmxMeasureImpedanceStart(int32_t id)
{
  return WithDevice(id, [](TAmx& d) { return Status(d.ImpedanceStart(), AMX_FAILED); });
}

AMX_API int32_t AMX_CALL AmxMeasureImpedanceStop(int32_t id)
{
  return WithDevice(id, [](TAmx& d) { return Status(d.ImpedanceStop(), AMX_FAILED); });
}

AMX_API int32_t AMX_CALL AmxMeasureImpedanceRead(int32_t id, int32_t* values, int32_t size)
{
  return WithDevice(id, [&](TAmx& d) { return Status(values && d.ImpedanceRead(values, size) > 0, AMX_FAILED); });
}

AMX_API int32_t AMX_CALL AmxSetImpedanceRef(int32_t id, int32_t channel)
{
  return WithDevice(id, [&](TAmx& d) { return Status(d.SetImpedanceRef(channel), AMX_FAILED); });
}

AMX_API int32_t AMX_CALL AmxGetImpedanceRef(int32_t id, int32_t* channel)
{
  return WithDevice(id, [&](TAmx& d) { return Put(channel, d.ImpedanceReference()); });
}

// ---- display --------------------------------------------------------------------

AMX_API int32_t AMX_CALL AmxLCD(int32_t id, const char* text)
{
  return WithDevice(id, [&](TAmx& d) { return text ? Status(d.SetLcdText(text), AMX_LCD_FAILED) : AMX_FAILED; });
}

}  // extern "C"

// The load hooks. The library's state lives from load to unload of the shared
// object, or from the DLL's attach to its detach by FreeLibrary. A detach at
// process exit (reserved non-null) frees nothing and waits for nothing: the
// system has ended, or is ending, the other threads wherever they were, the
// library's own among them, so their state may be in use and waiting for them
// may never end. The system closes the device handles itself.
#ifdef _WIN32
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved)
{
  if (reason == DLL_PROCESS_ATTACH)
    LibraryLoad();
  else if (reason == DLL_PROCESS_DETACH && !reserved)
    LibraryUnload();
  return TRUE;
}
#else
__attribute__((constructor)) static void OnLoad() { LibraryLoad(); }
__attribute__((destructor)) static void OnUnload() { LibraryUnload(); }
#endif
