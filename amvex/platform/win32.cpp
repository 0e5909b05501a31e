// win32.cpp: the platform layer on Windows: critical sections, threads, the tick
// count, VirtualAlloc storage, and the system device bus (SetupDi enumeration,
// CreateFileA, DeviceIoControl, a hidden window for device-change and power messages).
#include "platform/platform.h"

#include <windows.h>
#include <setupapi.h>
#include <cstdio>
#include <new>

namespace amx {

static_assert(sizeof(CRITICAL_SECTION) <= 64, "TCriticalSection storage too small");

TCriticalSection::TCriticalSection() { InitializeCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(Storage)); }
TCriticalSection::~TCriticalSection() { DeleteCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(Storage)); }
void TCriticalSection::Enter() { EnterCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(Storage)); }
void TCriticalSection::Leave() { LeaveCriticalSection(reinterpret_cast<CRITICAL_SECTION*>(Storage)); }

TThread::TThread() = default;
TThread::~TThread() { WaitFor(); }

void TThread::SetPriorityHighest()
{
  Highest = true;
  if (Native) SetThreadPriority(static_cast<HANDLE>(Native), THREAD_PRIORITY_HIGHEST);
}

static DWORD WINAPI ThreadEntry(void* arg)
{
  TThread::Run(static_cast<TThread*>(arg));
  return 0;
}

void TThread::Run(TThread* self)
{
  self->ExecuteBegun.store(true, std::memory_order_release);
  self->Execute();
  self->Finished.store(true, std::memory_order_release);
}

void TThread::Resume()
{
  if (Native) return;
  // Created suspended so the priority is in place before the first instruction.
  HANDLE h = CreateThread(nullptr, 0, ThreadEntry, this, CREATE_SUSPENDED, nullptr);
  if (!h) return;
  Native = h;
  if (Highest) SetThreadPriority(h, THREAD_PRIORITY_HIGHEST);
  ResumeThread(h);
  // Bounded: under the loader lock the thread cannot start before DllMain returns.
  for (uint64_t deadline = TickCount64() + 5000; !Started() && TickCount64() < deadline;) {
    if (WaitForSingleObject(h, 1) == WAIT_OBJECT_0) break;
  }
}

void TThread::WaitFor()
{
  HANDLE h = static_cast<HANDLE>(Native);
  if (!h) return;
  // Wait for Execute to return, then briefly for the thread itself: during a
  // library unload the loader lock keeps a finished thread from ending, and
  // waiting for it without bound would deadlock.
  while (!Finished.load(std::memory_order_acquire)) {
    if (WaitForSingleObject(h, 1) == WAIT_OBJECT_0) break;
  }
  WaitForSingleObject(h, 100);
  CloseHandle(h);
  Native = nullptr;
}

uint32_t TickCount() { return GetTickCount(); }
uint64_t TickCount64() { return GetTickCount64(); }
void SleepMs(uint32_t ms) { Sleep(ms); }

void* PageAlloc(size_t bytes) { return VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE); }
void PageFree(void* p, size_t)
{
  if (p) VirtualFree(p, 0, MEM_RELEASE);
}

// ---- notification window -------------------------------------------------------

struct TNotifyWindow::Impl {
  Handler Fn;
  void* Context;
  HANDLE Thread = nullptr;
  HANDLE Ready = nullptr;  // set once the window exists, or could not be made
  HANDLE Done = nullptr;   // set as the thread's last step
  std::atomic<HWND> Window{nullptr};
};

static LRESULT CALLBACK NotifyProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam)
{
  auto* p = reinterpret_cast<TNotifyWindow::Impl*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (p && (msg == WM_DEVICECHANGE || msg == WM_POWERBROADCAST)) {
    p->Fn(p->Context, msg, uintptr_t(wparam));
    // A query-suspend is granted: the devices always allow the suspend.
    return TRUE;
  }
  if (msg == WM_CLOSE) {
    DestroyWindow(hwnd);
    return 0;
  }
  if (msg == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcA(hwnd, msg, wparam, lparam);
}

// The module that holds NotifyProc: the DLL, or the program it is linked into.
static HINSTANCE NotifyModule()
{
  HMODULE m = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&NotifyProc), &m);
  return m;
}

// The window lives on its own thread that pumps its messages, so notifications
// arrive whether or not the host runs a message loop. Its class belongs to this
// module and to this window alone, and goes with it: the system keeps a DLL's
// classes past FreeLibrary, and a class left behind would send the next load's
// window to a procedure no longer mapped.
static DWORD WINAPI NotifyThread(void* arg)
{
  auto* p = static_cast<TNotifyWindow::Impl*>(arg);
  char name[40];
  std::snprintf(name, sizeof name, "AmvexNotify%p", static_cast<void*>(p));
  WNDCLASSA wc = {};
  wc.lpfnWndProc = NotifyProc;
  wc.hInstance = NotifyModule();
  wc.lpszClassName = name;
  bool registered = RegisterClassA(&wc) != 0;
  // A hidden top-level window, as only those receive the system's device-change and
  // power broadcasts. Where no window driver can be loaded (a session without a
  // display, wine without one) it cannot be created; a message-only window still
  // takes the notifications delivered to it directly, so they are never lost.
  HWND w = nullptr;
  if (registered) {
    w = CreateWindowExA(0, name, "Amvex", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr, wc.hInstance, nullptr);
    if (!w) w = CreateWindowExA(0, name, "Amvex", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
  }
  if (w) SetWindowLongPtrA(w, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(p));
  p->Window.store(w);
  SetEvent(p->Ready);
  if (w) {
    MSG m;
    while (GetMessageA(&m, nullptr, 0, 0) > 0) {
      TranslateMessage(&m);
      DispatchMessageA(&m);
    }
  }
  if (registered) UnregisterClassA(name, wc.hInstance);
  SetEvent(p->Done);
  return 0;
}

// Never built during the library's load (the loader lock would hold the thread
// back), so it waits for the window: notifications sent from the start reach it.
TNotifyWindow::TNotifyWindow(Handler handler, void* context) : P(new Impl)
{
  P->Fn = handler;
  P->Context = context;
  P->Ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  P->Done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  P->Thread = CreateThread(nullptr, 0, NotifyThread, P, 0, nullptr);
  if (P->Thread) WaitForSingleObject(P->Ready, 5000);
}

TNotifyWindow::~TNotifyWindow()
{
  if (P->Thread) {
    if (WaitForSingleObject(P->Ready, 5000) == WAIT_OBJECT_0) {
      if (HWND w = P->Window.load()) PostMessageA(w, WM_CLOSE, 0, 0);
    }
    // Done, then briefly the thread itself: during FreeLibrary the loader lock
    // keeps the finished thread from ending (as in TThread::WaitFor).
    WaitForSingleObject(P->Done, 5000);
    WaitForSingleObject(P->Thread, 100);
    CloseHandle(P->Thread);
  }
  CloseHandle(P->Ready);
  CloseHandle(P->Done);
  delete P;
}

void TNotifyWindow::Deliver(uint32_t message, uintptr_t event)
{
  WaitForSingleObject(P->Ready, 5000);
  if (HWND w = P->Window.load()) SendMessageA(w, message, WPARAM(event), 0);
}

void TNotifyWindow::Post(uint32_t message, uintptr_t event)
{
  WaitForSingleObject(P->Ready, 5000);
  if (HWND w = P->Window.load()) PostMessageA(w, message, WPARAM(event), 0);
}

// ---- the system device bus -----------------------------------------------------

namespace {

constexpr DWORD DigcfFlags = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;  // 0x12

GUID ToGuid(const TGuid& g)
{
  GUID r;
  memcpy(&r, g.data(), 16);
  return r;
}

int InterfaceCount(const GUID& guid)
{
  HDEVINFO set = SetupDiGetClassDevsA(&guid, nullptr, nullptr, DigcfFlags);
  if (set == INVALID_HANDLE_VALUE) return 0;
  int n = 0;
  SP_DEVICE_INTERFACE_DATA data = {};
  data.cbSize = sizeof(data);
  while (SetupDiEnumDeviceInterfaces(set, nullptr, &guid, DWORD(n), &data)) ++n;
  SetupDiDestroyDeviceInfoList(set);
  return n;
}

bool InterfacePath(const GUID& guid, int index, std::string& path)
{
  HDEVINFO set = SetupDiGetClassDevsA(&guid, nullptr, nullptr, DigcfFlags);
  if (set == INVALID_HANDLE_VALUE) return false;
  bool ok = false;
  SP_DEVICE_INTERFACE_DATA data = {};
  data.cbSize = sizeof(data);
  DWORD need = 0;
  if (SetupDiEnumDeviceInterfaces(set, nullptr, &guid, DWORD(index), &data) &&
      !SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &need, nullptr) &&
      GetLastError() == ERROR_INSUFFICIENT_BUFFER && need >= sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
    std::vector<char> buf(need + 1, 0);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buf.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);  // 5 in a 32-bit build
    if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, need, nullptr, nullptr)) {
      path = detail->DevicePath;
      ok = true;
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  return ok;
}

class TWin32Bus : public TDeviceBus {
public:
  std::vector<std::string> InterfacePaths(const TGuid& g) override
  {
    GUID guid = ToGuid(g);
    std::vector<std::string> paths;
    int n = InterfaceCount(guid);
    for (int i = 0; i < n; ++i) {
      std::string p;
      if (InterfacePath(guid, i, p)) paths.push_back(p);
    }
    return paths;
  }
  intptr_t Open(const std::string& path) override
  {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    return h == INVALID_HANDLE_VALUE ? InvalidHandle : intptr_t(h);
  }
  bool IoControl(intptr_t handle, uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                 uint32_t* returned) override
  {
    DWORD got = 0;
    BOOL ok = DeviceIoControl(HANDLE(handle), code, const_cast<void*>(in), inSize, out, outSize, &got, nullptr);
    if (returned) *returned = ok ? got : 0;
    return ok != FALSE;
  }
  void Close(intptr_t handle) override { CloseHandle(HANDLE(handle)); }
};

}  // namespace

TDeviceBus* SystemBus()
{
  static TWin32Bus* bus = new TWin32Bus;  // process-wide, never freed
  return bus;
}

}  // namespace amx
