// _util/timer: time stamps (64-bit counter ticks kept as an unsigned low and a signed
// high half) and named timers that accumulate intervals under a name. The monotonic
// steady clock serves as the counter; its period is the tick frequency.
// Builds on _util/hash.h and _util/tensor.h.
#pragma once
#include <chrono>
#include <cstdint>

#include "_util/hash.h"
#include "_util/tensor.h"

// Counter ticks per second, read once, when the first time stamp is made.
inline long long timer_frequency = 0;

struct timestamp {
  unsigned int low = 0;
  int high = 0;

  timestamp() { known_frequency(); }
  explicit timestamp(long long ticks) : low(unsigned(std::uint64_t(ticks))), high(int(ticks >> 32))
  {
    known_frequency();
  }

  static timestamp now()
  {
    return timestamp(static_cast<long long>(std::chrono::steady_clock::now().time_since_epoch().count()));
  }

  long long ticks() const { return static_cast<long long>((std::uint64_t(unsigned(high)) << 32) | low); }
  double seconds() const { return double(ticks()) / double(timer_frequency); }

  timestamp operator-(const timestamp& b) const { return timestamp(ticks() - b.ticks()); }
  timestamp& operator+=(const timestamp& b)
  {
    const unsigned int sum = low + b.low;
    high += b.high + (sum < low);  // carry out of the low half
    low = sum;
    return *this;
  }

private:
  static void known_frequency()
  {
    using period = std::chrono::steady_clock::period;
    if (!timer_frequency) timer_frequency = period::den / period::num;
  }
};

struct timer {
  timestamp start_time, stop_time, total;
  int count = 0;

  void start() { start_time = timestamp::now(); }
  // Ends one measurement: adds it to the total and returns it in seconds.
  double stop()
  {
    stop_time = timestamp::now();
    const timestamp interval = stop_time - start_time;
    total += interval;
    count++;
    return interval.seconds();
  }
};

// Every named timer of the run, created on first use and never freed; the table
// itself lives for the whole run too (it is never destroyed, so its timers stay reachable).
inline hash<tensor<char>, timer*>& timer_table = *new hash<tensor<char>, timer*>(16);

inline timer* timer_start(const char* name)
{
  const tensor<char> key = tensor<char>::str(name);
  timer* t = nullptr;
  if (!timer_table.lookup(key, t)) {
    t = new timer;
    timer_table.insert(key, t);
  }
  t->start();
  return t;
}
