// FltCommon: what the four filter families share: the handle tables behind the
// BF/WF/AF/HF exports, the guard that keeps C++ errors inside the library, and
// rounding/saturation of double results to 16- or 32-bit samples.
#pragma once

#include <atomic>
#include <cfloat>
#include <cstdint>
#include <limits>
#include <memory>
#include <unordered_map>
#include <utility>

#include "common/Errors.h"
#include "platform/platform.h"

namespace amx {

// The rounding below and the block-size independence of every filter rely on
// doubles being evaluated as doubles (SSE2 math, not the x87 80-bit stack).
static_assert(FLT_EVAL_METHOD == 0, "build the filters with SSE2 double math (-msse2 -mfpmath=sse)");

// Nearest integer, ties to even (the default rounding mode), saturated to T.
// NaN saturates low, so no input can reach an undefined conversion.
template <class T>
inline T RoundSaturate(double y)
{
  constexpr double hi = std::numeric_limits<T>::max(), lo = std::numeric_limits<T>::min();
  if (y > hi) return std::numeric_limits<T>::max();
  if (!(y >= lo)) return std::numeric_limits<T>::min();
  return static_cast<T>((y + 0x1.8p52) - 0x1.8p52);  // exact for |y| < 2^51
}

// An integer result saturated to the sample width T.
template <class T>
inline T Saturate(int64_t v)
{
  if (v > std::numeric_limits<T>::max()) return std::numeric_limits<T>::max();
  if (v < std::numeric_limits<T>::min()) return std::numeric_limits<T>::min();
  return static_cast<T>(v);
}

// Filter handles are 32-bit numbers drawn from one counter shared by all
// families: never 0, never reused, so a stale handle or one of another family
// never reaches a filter (on 64-bit systems an address would not fit anyway).
uint32_t NextFilterHandle();

// The list of one filter family: owns its filters, maps handles to them.
// Look-ups are thread-safe; one filter is still for one thread at a time.
template <class T>
class tFilterList {
public:
  uint32_t Add()
  {
    auto filter = std::make_unique<T>();
    TLock hold(Lock);
    const uint32_t handle = NextFilterHandle();
    Items.emplace(handle, std::move(filter));
    return handle;
  }
  T* Find(uint32_t handle)
  {
    TLock hold(Lock);
    auto it = Items.find(handle);
    return it == Items.end() ? nullptr : it->second.get();
  }
  void Remove(uint32_t handle)
  {
    std::unique_ptr<T> doomed;  // destroyed after the lock is released
    TLock hold(Lock);
    auto it = Items.find(handle);
    if (it == Items.end()) return;
    doomed = std::move(it->second);
    Items.erase(it);
  }

private:
  TCriticalSection Lock;
  std::unordered_map<uint32_t, std::unique_ptr<T>> Items;
};

// The steps of the filter exports, each inside the library's boundary guard:
// an unknown handle does nothing, a failure (out of memory) leaves the filter as
// it was, and no C++ error crosses into the host.
template <class T>
uint32_t CreateFilter(tFilterList<T>& list) noexcept
{
  return Guarded(0u, [&] { return list.Add(); });
}
template <class T>
void DestroyFilter(tFilterList<T>& list, uint32_t handle) noexcept
{
  Guarded([&] { list.Remove(handle); });
}
template <class T, class F>
void WithFilter(tFilterList<T>& list, uint32_t handle, F fn) noexcept
{
  Guarded([&] {
    if (T* filter = list.Find(handle)) fn(*filter);
  });
}

}  // namespace amx
