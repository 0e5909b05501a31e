// OmegaBuf: the history ring of the window and hardware filters: a ring of
// 32-bit items addressed by absolute positions (the first item written is
// position 1), without locking.
#ifndef AMVEX_OMEGABUF_H
#define AMVEX_OMEGABUF_H

#include <cstdint>
#include <memory>

class THistoryRing {
public:
  // Throws std::runtime_error("VirtualAlloc(%d)") when the storage cannot be had.
  explicit THistoryRing(int32_t capacity);

  int64_t FirstPosition() const { return LastPosition - FillCount + 1; }
  // Keeps the last `Capacity` of the items; returns how many were kept.
  int32_t Write(const int32_t* items, int32_t count);
  // Copies up to count items from position on; returns how many were copied.
  int32_t Read(int32_t* destination, int64_t position, int32_t count) const;
  // Every item = value; positions 1 to Capacity are valid.
  void Fill(int32_t value);
  // Writes the other ring's items here, oldest first.
  void CopyFrom(const THistoryRing& other);

  // For a full ring: replaces the oldest item by f(oldest) for count items in
  // a row. This is the per-sample step of the moving sums.
  template <class F>
  void ExchangeEach(int count, F f)
  {
    int32_t* items = Storage.get();
    int64_t i = WriteIndex;
    const int64_t capacity = Capacity;
    for (int n = 0; n < count; ++n) {
      items[i] = f(items[i]);
      if (++i == capacity) i = 0;
    }
    WriteIndex = static_cast<int32_t>(i);
    LastPosition += count;
  }

  int32_t Capacity = 0;
  int32_t WriteIndex = 0;    // storage index of the next write
  int32_t FillCount = 0;     // valid items
  int64_t LastPosition = 0;  // position of the newest item (64 bits: never wraps)

private:
  std::unique_ptr<int32_t[]> Storage;
};

#endif
