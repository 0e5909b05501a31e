// filter_common: what the four filter families share: the handle tables behind the
// BF/WF/AF/HF exports and the guard that keeps C++ errors inside the library.
// Rounding and saturation to sample widths are in common/saturate.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <utility>

#include "common/errors.h"
#include "common/saturate.h"
#include "platform/platform.h"

namespace amx {

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
