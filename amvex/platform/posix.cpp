// posix.cpp: the platform layer on Linux, built on the C++ standard library.
// There is no system device bus here: the emulated amplifiers are the only source.
// The notification window is a thread with a message queue.
#include "platform/platform.h"

#include <sys/mman.h>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <thread>

namespace amx {

static_assert(sizeof(std::recursive_mutex) <= 64, "TCriticalSection storage too small");

TCriticalSection::TCriticalSection() { new (Storage) std::recursive_mutex; }
TCriticalSection::~TCriticalSection() { reinterpret_cast<std::recursive_mutex*>(Storage)->~recursive_mutex(); }
void TCriticalSection::Enter() { reinterpret_cast<std::recursive_mutex*>(Storage)->lock(); }
void TCriticalSection::Leave() { reinterpret_cast<std::recursive_mutex*>(Storage)->unlock(); }

TThread::TThread() = default;
TThread::~TThread() { WaitFor(); }

// Linux gives unprivileged threads no higher normal priority; the request is kept
// only so the interface is the same on both platforms.
void TThread::SetPriorityHighest() { Highest = true; }

void TThread::Run(TThread* self)
{
  self->ExecuteBegun.store(true, std::memory_order_release);
  self->Execute();
  self->Finished.store(true, std::memory_order_release);
}

void TThread::Resume()
{
  if (Native) return;
  Native = new std::thread(Run, this);
  for (uint64_t deadline = TickCount64() + 5000; !Started() && TickCount64() < deadline;) std::this_thread::yield();
}

void TThread::WaitFor()
{
  auto* t = static_cast<std::thread*>(Native);
  if (!t) return;
  if (t->joinable()) t->join();
  delete t;
  Native = nullptr;
}

uint64_t TickCount64()
{
  using namespace std::chrono;
  return uint64_t(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}
uint32_t TickCount() { return uint32_t(TickCount64()); }

void SleepMs(uint32_t ms)
{
  if (ms == 0)
    std::this_thread::yield();
  else
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void* PageAlloc(size_t bytes)
{
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}
void PageFree(void* p, size_t bytes)
{
  if (p) munmap(p, bytes);
}

struct TNotifyWindow::Impl {
  struct TMessage {
    uint32_t Message;
    uintptr_t Event;
  };
  Handler Fn;
  void* Context;
  std::mutex M;
  std::condition_variable Cv;
  std::deque<TMessage> Queue;
  bool Quit = false;
  uint64_t Queued = 0, Handled = 0;  // messages ever queued and handled
  std::thread Thread;

  void Loop()
  {
    std::unique_lock<std::mutex> l(M);
    for (;;) {
      Cv.wait(l, [&] { return !Queue.empty() || Quit; });
      if (Quit) return;
      TMessage m = Queue.front();
      Queue.pop_front();
      l.unlock();
      Fn(Context, m.Message, m.Event);
      l.lock();
      ++Handled;
      Cv.notify_all();
    }
  }

  // The message's place in the queue; 0 once the window is closing.
  uint64_t Enqueue(uint32_t message, uintptr_t event)
  {
    if (Quit) return 0;
    Queue.push_back({message, event});
    Cv.notify_all();
    return ++Queued;
  }
};

TNotifyWindow::TNotifyWindow(Handler handler, void* context) : P(new Impl)
{
  P->Fn = handler;
  P->Context = context;
  P->Thread = std::thread([this] { P->Loop(); });
}

TNotifyWindow::~TNotifyWindow()
{
  {
    std::lock_guard<std::mutex> l(P->M);
    P->Quit = true;
  }
  P->Cv.notify_all();
  P->Thread.join();
  delete P;
}

void TNotifyWindow::Deliver(uint32_t message, uintptr_t event)
{
  std::unique_lock<std::mutex> l(P->M);
  uint64_t ticket = P->Enqueue(message, event);
  P->Cv.wait(l, [&] { return P->Quit || P->Handled >= ticket; });
}

void TNotifyWindow::Post(uint32_t message, uintptr_t event)
{
  std::lock_guard<std::mutex> l(P->M);
  P->Enqueue(message, event);
}

TDeviceBus* SystemBus() { return nullptr; }

}  // namespace amx
