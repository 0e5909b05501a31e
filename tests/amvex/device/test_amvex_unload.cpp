// The library unloaded and loaded again while its host goes on (FreeLibrary,
// dlclose), as a plug-in host does: each load sees the emulated amplifiers
// afresh, streams, and hears of an unplug through its notifications; an unload
// stops and frees the device left streaming. On Windows each load is placed at
// another address than the one before, so nothing the last load left behind
// (a window class still pointing into it) goes unnoticed.
// AMVEX_EMULATE="kind=7,unplug=0.3;kind=2"
#include "amvex.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

template <class Done>
bool Within(double seconds, Done done)
{
  for (auto t = Clock::now(); Since(t) < seconds; std::this_thread::sleep_for(std::chrono::milliseconds(20)))
    if (done()) return true;
  return done();
}

// One load of the library and the exports this test calls from it.
struct TLoad {
#ifdef _WIN32
  HMODULE Module = LoadLibraryA("Amvex.dll");
  void* Symbol(const char* name) { return reinterpret_cast<void*>(GetProcAddress(Module, name)); }
  void Unload() { FreeLibrary(Module); }
#else
  void* Module = dlopen(AMVEX_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
  void* Symbol(const char* name) { return dlsym(Module, name); }
  void Unload() { dlclose(Module); }
#endif
  template <class F>
  F Get(const char* name)
  {
    void* f = Module ? Symbol(name) : nullptr;
    EXPECT_NE(f, nullptr) << name;
    return reinterpret_cast<F>(f);
  }
  decltype(&GetAmxCount) Count = Get<decltype(&GetAmxCount)>("GetAmxCount");
  decltype(&GetAmxID) Id = Get<decltype(&GetAmxID)>("GetAmxID");
  decltype(&AmxOpen) Open = Get<decltype(&AmxOpen)>("AmxOpen");
  decltype(&AmxStart) Start = Get<decltype(&AmxStart)>("AmxStart");
  decltype(&AmxRead) Read = Get<decltype(&AmxRead)>("AmxRead");
};

// Bytes of frames read from a started device until it reports a status other
// than AMX_OK (the status goes to *status) or the time is up.
int64_t ReadUntilNotOk(TLoad& lib, int32_t id, double seconds, int32_t* status)
{
  static int32_t buf[41 * 4000];
  int64_t total = 0;
  Within(seconds, [&] {
    int32_t got = 0;
    *status = lib.Read(id, buf, int32_t(sizeof buf), &got);
    total += got;
    return *status != AMX_OK;
  });
  return total;
}

#ifdef _WIN32
// The address range of a loaded library's image.
struct TImage {
  void* Base;
  SIZE_T Size;
};
TImage ImageOf(HMODULE module)
{
  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(module);
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(reinterpret_cast<char*>(module) + dos->e_lfanew);
  return {module, nt->OptionalHeader.SizeOfImage};
}
#endif

}  // namespace

TEST(Unload, EachLoadStartsAfreshAndAnUnloadStopsWhatStillRuns)
{
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("load " + std::to_string(round + 1));
    TLoad lib;
    ASSERT_NE(lib.Module, nullptr);
    ASSERT_EQ(lib.Count(), 2);
    int32_t unplugged = lib.Id(0), kept = lib.Id(1);
    for (int32_t id : {unplugged, kept}) {
      ASSERT_EQ(lib.Open(id), AMX_OK);
      ASSERT_EQ(lib.Start(id), AMX_OK);
    }
    // The unplug 0.3 s into the stream reaches the device list through this
    // load's notification window.
    int32_t status = AMX_OK;
    ReadUntilNotOk(lib, unplugged, 5, &status);
    EXPECT_EQ(status, AMX_NO_DEVICE);
    EXPECT_TRUE(Within(5, [&] { return lib.Count() == 1; }));
    EXPECT_EQ(lib.Id(0), kept);
    EXPECT_GT(ReadUntilNotOk(lib, kept, 0.3, &status), 0);
    EXPECT_EQ(status, AMX_OK);
    // Unloaded with the other device streaming and open.
#ifdef _WIN32
    TImage image = ImageOf(lib.Module);
#endif
    auto unloading = Clock::now();
    lib.Unload();
    std::printf("unload %d: %.3f s\n", round + 1, Since(unloading));
#ifdef _WIN32
    // The next load cannot be placed where this one was.
    ASSERT_NE(VirtualAlloc(image.Base, image.Size, MEM_RESERVE, PAGE_NOACCESS), nullptr);
#endif
  }
}
