// OmegaBuf: the history ring's writes, reads and copies (at most two block
// moves per call).
#include "OmegaBuf.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>

THistoryRing::THistoryRing(int32_t capacity)
{
  if (capacity <= 0) return;
  Storage.reset(new (std::nothrow) int32_t[capacity]);
  if (!Storage) {
    char text[48];
    std::snprintf(text, sizeof text, "VirtualAlloc(%lld)", 4LL * capacity);
    throw std::runtime_error(text);
  }
  Capacity = capacity;
  std::memset(Storage.get(), 0, sizeof(int32_t) * capacity);
}

int32_t THistoryRing::Write(const int32_t* items, int32_t count)
{
  if (Capacity == 0 || count <= 0) return 0;
  const int32_t skip = count > Capacity ? count - Capacity : 0;
  const int32_t kept = count - skip;
  const int32_t first = std::min(kept, Capacity - WriteIndex);
  std::memcpy(Storage.get() + WriteIndex, items + skip, sizeof(int32_t) * first);
  std::memcpy(Storage.get(), items + skip + first, sizeof(int32_t) * (kept - first));
  FillCount = static_cast<int32_t>(std::min<int64_t>(int64_t{FillCount} + count, Capacity));
  LastPosition += count;
  WriteIndex = static_cast<int32_t>((int64_t{WriteIndex} + kept) % Capacity);
  return kept;
}

int32_t THistoryRing::Read(int32_t* destination, int64_t position, int32_t count) const
{
  if (Capacity == 0 || count <= 0 || position < FirstPosition() || position > LastPosition) return 0;
  const int32_t n = static_cast<int32_t>(std::min<int64_t>(count, LastPosition - position + 1));
  int64_t index = WriteIndex + position - LastPosition - 1;
  if (index < 0) index += Capacity;
  const int32_t first = static_cast<int32_t>(std::min<int64_t>(n, Capacity - index));
  std::memcpy(destination, Storage.get() + index, sizeof(int32_t) * first);
  std::memcpy(destination + first, Storage.get(), sizeof(int32_t) * (n - first));
  return n;
}

void THistoryRing::Fill(int32_t value)
{
  WriteIndex = 0;
  FillCount = Capacity;
  LastPosition = Capacity;
  std::fill_n(Storage.get(), Capacity, value);
}

void THistoryRing::CopyFrom(const THistoryRing& other)
{
  int32_t chunk[1024];
  for (int64_t p = other.FirstPosition(); p <= other.LastPosition;) {
    const int32_t n = other.Read(chunk, p, 1024);
    if (n == 0) break;
    Write(chunk, n);
    p += n;
  }
}
