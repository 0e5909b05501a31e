// common/ring_buffer: the ring of items at absolute positions behind the device's sample,
// UART and log buffers and the filters' histories. Builds on the platform's page
// storage and reader/writer lock.
#pragma once
#include "common/errors.h"
#include "platform/platform.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace amx {

// The first item written after a reset has position 1; FirstPosition() to
// LastPosition are readable, the newest Capacity items at most. Every write or
// read is at most two block moves. The plain calls are for an owner that holds
// its own lock (the device's data lock) or needs none (a filter, one thread);
// the Locked ones share the ring through its reader/writer lock.
template <class T>
class TRingBuffer {
public:
  explicit TRingBuffer(int capacity) { Reset(capacity); }
  ~TRingBuffer() { Release(); }
  TRingBuffer(const TRingBuffer&) = delete;
  TRingBuffer& operator=(const TRingBuffer&) = delete;

  // Empty again, with zeroed storage for capacity items; raises EOutOfMemory.
  void Reset(int capacity)
  {
    Release();
    if (capacity <= 0) return;
    const size_t bytes = sizeof(T) * size_t(capacity);
    Storage = static_cast<T*>(PageAlloc(bytes));
    if (!Storage) {
      char text[48];
      std::snprintf(text, sizeof text, "VirtualAlloc(%lld)", static_cast<long long>(bytes));
      throw EOutOfMemory(text);
    }
    Capacity = capacity;
  }

  int64_t FirstPosition() const { return LastPosition - FillCount + 1; }

  // Keeps the newest Capacity of the items; returns how many were kept.
  int Write(const T* items, int count)
  {
    if (!Storage || count <= 0) return 0;
    const int skip = std::max(0, count - Capacity);
    const int kept = count - skip;
    const int first = std::min(kept, Capacity - WriteIndex);
    std::memcpy(Storage + WriteIndex, items + skip, sizeof(T) * size_t(first));
    std::memcpy(Storage, items + skip + first, sizeof(T) * size_t(kept - first));
    FillCount = std::min(FillCount + kept, Capacity);
    LastPosition += count;
    WriteIndex = (WriteIndex + kept) % Capacity;
    return kept;
  }

  // Copies up to count items from position on; returns how many were copied.
  int Read(T* destination, int64_t position, int count) const
  {
    if (!Storage || count <= 0 || position < FirstPosition() || position > LastPosition) return 0;
    const int n = int(std::min<int64_t>(count, LastPosition - position + 1));
    int64_t index = WriteIndex + position - LastPosition - 1;
    if (index < 0) index += Capacity;
    const int first = std::min(n, Capacity - int(index));
    std::memcpy(destination, Storage + index, sizeof(T) * size_t(first));
    std::memcpy(destination + first, Storage, sizeof(T) * size_t(n - first));
    return n;
  }

  int LockedWrite(const T* items, int count)
  {
    TWriteHold hold(Lock);
    return Write(items, count);
  }
  int LockedRead(T* destination, int64_t position, int count) const
  {
    TReadHold hold(Lock);
    return Read(destination, position, count);
  }

  // Every item = value; positions 1 to Capacity are readable.
  void Fill(T value)
  {
    WriteIndex = 0;
    FillCount = Capacity;
    LastPosition = Capacity;
    std::fill_n(Storage, Capacity, value);
  }

  // Writes the other ring's items here, oldest first.
  void CopyFrom(const TRingBuffer& other)
  {
    T chunk[1024];
    for (int64_t p = other.FirstPosition(); p <= other.LastPosition;) {
      const int n = other.Read(chunk, p, 1024);
      if (n == 0) break;
      Write(chunk, n);
      p += n;
    }
  }

  // For a full ring: replaces the oldest item by f(oldest) for count items in a
  // row (the per-sample step of the moving sums).
  template <class F>
  void ExchangeEach(int count, F f)
  {
    int64_t i = WriteIndex;
    for (int n = 0; n < count; ++n) {
      Storage[i] = f(Storage[i]);
      if (++i == Capacity) i = 0;
    }
    WriteIndex = int(i);
    LastPosition += count;
  }

  int Capacity = 0;
  int WriteIndex = 0;        // storage index of the next write
  int FillCount = 0;         // readable items
  int64_t LastPosition = 0;  // position of the newest item (64 bits: never wraps)
  T* Storage = nullptr;

private:
  void Release()
  {
    PageFree(Storage, sizeof(T) * size_t(Capacity));
    Storage = nullptr;
    Capacity = WriteIndex = FillCount = 0;
    LastPosition = 0;
  }
  mutable TReadWriteLock Lock;
};

}  // namespace amx
