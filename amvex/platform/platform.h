// platform.h: the thin layer between the Amvex library and the operating system.
// Locks, threads, the millisecond tick, sleeps, page storage and the device bus
// (interface enumeration, open, the driver control call, notifications). Two
// implementations: win32.cpp (Windows services) and posix.cpp (C++ runtime).
#pragma once
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace amx {

// Recursive mutex (the platform's critical section).
class TCriticalSection {
public:
  TCriticalSection();
  ~TCriticalSection();
  TCriticalSection(const TCriticalSection&) = delete;
  TCriticalSection& operator=(const TCriticalSection&) = delete;
  void Enter();
  void Leave();

private:
  alignas(8) unsigned char Storage[64];
};

// Scoped hold of a TCriticalSection.
class TLock {
public:
  explicit TLock(TCriticalSection& s) : Section(s) { Section.Enter(); }
  ~TLock() { Section.Leave(); }
  TLock(const TLock&) = delete;
  TLock& operator=(const TLock&) = delete;

private:
  TCriticalSection& Section;
};

// Reader/writer spin lock for data that a reader thread writes in short bursts
// (the device rings): any number of readers, or one writer.
class TReadWriteLock {
public:
  void EnterRead()
  {
    for (;;) {
      int32_t readers = State.load(std::memory_order_relaxed);
      if (readers >= 0 && State.compare_exchange_weak(readers, readers + 1, std::memory_order_acquire)) return;
    }
  }
  void LeaveRead() { State.fetch_sub(1, std::memory_order_release); }
  void EnterWrite()
  {
    int32_t idle = 0;
    while (!State.compare_exchange_weak(idle, -1, std::memory_order_acquire)) idle = 0;
  }
  void LeaveWrite() { State.store(0, std::memory_order_release); }

private:
  std::atomic<int32_t> State{0};  // readers inside, -1 while a writer is
};

struct TReadHold {
  explicit TReadHold(TReadWriteLock& l) : Lock(l) { Lock.EnterRead(); }
  ~TReadHold() { Lock.LeaveRead(); }
  TReadWriteLock& Lock;
};
struct TWriteHold {
  explicit TWriteHold(TReadWriteLock& l) : Lock(l) { Lock.EnterWrite(); }
  ~TWriteHold() { Lock.LeaveWrite(); }
  TReadWriteLock& Lock;
};

// Thread created suspended; Resume starts Execute and returns once it has begun
// (at most 5 s later), so a thread the library started is never still starting
// up when its caller goes on: a host may end its process right after the call,
// and wine (32-bit) crashes the exit of a process whose thread it has to end
// half-way through that start-up. Terminate only asks: Execute polls
// Terminated(). WaitFor joins. The destructor joins a started thread.
class TThread {
public:
  TThread();
  virtual ~TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;
  void SetPriorityHighest();  // highest normal priority where the platform has one
  void Resume();
  void Terminate() { TerminateRequested.store(true, std::memory_order_release); }
  bool Terminated() const { return TerminateRequested.load(std::memory_order_acquire); }
  bool Started() const { return ExecuteBegun.load(std::memory_order_acquire); }
  void WaitFor();
  static void Run(TThread* self);  // the platform's thread entry
protected:
  virtual void Execute() = 0;

private:
  std::atomic<bool> TerminateRequested{false};
  std::atomic<bool> ExecuteBegun{false};
  std::atomic<bool> Finished{false};
  void* Native = nullptr;
  bool Highest = false;
};

// Whether a thread created while the library loads starts before the load
// ends: not on Windows, whose loader lock holds new threads back until DllMain
// returns (waiting for one there never ends).
#ifdef _WIN32
constexpr bool kThreadsStartDuringLoad = false;
#else
constexpr bool kThreadsStartDuringLoad = true;
#endif

uint32_t TickCount();       // milliseconds, wraps like the system tick
uint64_t TickCount64();     // milliseconds, never wraps (deadlines)
void SleepMs(uint32_t ms);  // 0 yields the processor

// Committed, writable storage straight from the page allocator; null on failure.
void* PageAlloc(size_t bytes);
void PageFree(void* p, size_t bytes);

// Window messages and events the device list reacts to.
constexpr uint32_t WM_POWERBROADCAST_ = 0x0218;
constexpr uint32_t WM_DEVICECHANGE_ = 0x0219;
constexpr uintptr_t DBT_DEVNODES_CHANGED_ = 7;
constexpr uintptr_t PBT_APMQUERYSUSPEND_ = 0;
constexpr uintptr_t PBT_APMSUSPEND_ = 4;
constexpr uintptr_t PBT_APMRESUMESUSPEND_ = 7;
constexpr uintptr_t PBT_APMBATTERYLOW_ = 9;

// The hidden notification window: messages are handled on its own thread, one at a
// time, in the order they came. Deliver hands one message to that thread and
// returns once it is handled; Post queues it and returns at once, so a thread the
// handler may wait for (a device's reader) can raise a notification safely.
class TNotifyWindow {
public:
  using Handler = void (*)(void* context, uint32_t message, uintptr_t event);
  TNotifyWindow(Handler handler, void* context);
  ~TNotifyWindow();
  TNotifyWindow(const TNotifyWindow&) = delete;
  TNotifyWindow& operator=(const TNotifyWindow&) = delete;
  void Deliver(uint32_t message, uintptr_t event);
  void Post(uint32_t message, uintptr_t event);
  struct Impl;

private:
  Impl* P;
};

using TGuid = std::array<uint8_t, 16>;
constexpr intptr_t InvalidHandle = -1;

// A source of device interfaces and the driver behind them: the real system bus
// (Windows) or the emulated amplifiers.
class TDeviceBus {
public:
  virtual ~TDeviceBus() = default;
  virtual std::vector<std::string> InterfacePaths(const TGuid& guid) = 0;
  virtual intptr_t Open(const std::string& path) = 0;  // InvalidHandle on failure
  virtual bool IoControl(intptr_t handle, uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                         uint32_t* returned) = 0;
  virtual void Close(intptr_t handle) = 0;
  // Notification windows that want this bus's device-change and power events.
  virtual void Attach(TNotifyWindow*) {}
  virtual void Detach(TNotifyWindow*) {}
};

// The system's own device bus; null where the platform has none (POSIX).
TDeviceBus* SystemBus();

}  // namespace amx
