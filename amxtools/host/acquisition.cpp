// amxhost: the acquisition loop: frames read from a device handed out in
// sample-number order, gaps and lost packets reported where they happened,
// the host-time fit fed, a status line on standard error.
#include "amxhost.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <unistd.h>

namespace amxhost {

namespace {
bool listed(int32_t id)
{
  for (int32_t i = 0, n = GetAmxCount(); i < n; ++i)
    if (GetAmxID(i) == id) return true;
  return false;
}

// A failed read or a silent device: unplugged, or failing while still present.
int read_failed(Acquisition& a, const std::string& what)
{
  a.removed = !listed(a.id);
  return fail(a.removed ? "the device was removed (unplugged): acquisition ended" : what);
}

int32_t lost_since_start(int32_t id)
{
  int32_t lost = 0;
  AmxDebugState(id, &lost);
  return AmxLostAfterSync(lost);
}

void status_line(const Acquisition& a, bool final)
{
  if (a.quiet) return;
  static const bool tty = isatty(2);
  double rate = a.elapsed > 0 ? static_cast<double>(a.frames) / a.elapsed : 0;
  std::fprintf(stderr, "%s%s %llu frames (%.1f s), %d packet(s) lost, %llu frame(s) missing, %.1f frames/s%s",
               tty ? "\r" : "", a.verb, static_cast<unsigned long long>(a.frames),
               static_cast<double>(a.frames) / a.rate, static_cast<int>(a.lost_packets),
               static_cast<unsigned long long>(a.missing), rate, tty && !final ? "   " : "\n");
}
}  // namespace

double wall_time(double host_seconds)
{
  using namespace std::chrono;
  const double wall = duration<double>(system_clock::now().time_since_epoch()).count();
  return wall - (now_seconds() - host_seconds);
}

int acquire(Acquisition& a, const std::function<int32_t(int32_t)>& start)
{
  const uint32_t mask = AMX_STATUS_SAMPLE_MASK;
  const int words = a.channels + 1;
  const uint64_t limit = a.seconds > 0 ? static_cast<uint64_t>(std::llround(a.seconds * a.rate)) : 0;
  std::vector<int32_t> buffer(static_cast<size_t>(words) * static_cast<size_t>(a.rate / 10 + 16));
  int32_t status = start(a.id);
  if (status != AMX_OK) return fail("starting acquisition", status);
  AmxClockInit(&a.clock, a.rate);

  int result = 0;
  uint32_t next = 1;  // the sample number expected next
  const double t0 = now_seconds();
  double last_data = t0, last_tick = t0;
  while (!g_stop && (limit == 0 || a.frames < limit)) {
    int32_t bytes = 0;
    status = AmxRead(a.id, buffer.data(), static_cast<int32_t>(buffer.size() * 4), &bytes);
    if (status != AMX_OK) {
      result = read_failed(a, "reading samples: " + status_name(status));
      break;
    }
    double now = now_seconds();
    a.elapsed = now - t0;
    if (now - last_tick >= 1.0) {
      last_tick = now;
      status_line(a, false);
      if (a.on_tick) a.on_tick();
    }
    int count = bytes / 4 / words;
    if (count == 0) {
      if (now - last_data > 3.0) {
        result = read_failed(a, "no samples from the device for 3 s");
        break;
      }
      sleep_ms(5);
      continue;
    }
    last_data = now;
    bool ok = true;
    // Packets the library lost leave a gap in the sample numbers (reported
    // below as missing frames); its lost-packet count, reported first, says how
    // many packets went.
    int32_t lost = lost_since_start(a.id);
    if (lost > a.lost_packets) {
      if (a.on_gap) ok = a.on_gap(a.frames, 0, lost - a.lost_packets);
      a.lost_packets = lost;
    }
    // Hands out frames [from, to) of the block, consecutive sample numbers, up
    // to the limit: the clock learns of them first, then each gets its stamp.
    auto deliver = [&](int from, int to) {
      auto number = [&](int i) {
        return static_cast<uint32_t>(buffer[static_cast<size_t>(i) * words + a.channels]) & mask;
      };
      AmxClockAdd(&a.clock, number(from), number(to - 1), now);
      if (limit != 0 && a.frames + static_cast<uint64_t>(to - from) > limit)
        to = from + static_cast<int>(limit > a.frames ? limit - a.frames : 0);
      a.times.clear();
      for (int i = from; i < to; ++i) a.times.push_back(AmxClockStamp(&a.clock, number(i)));
      const bool handed =
          to == from || !a.on_frames || a.on_frames(&buffer[static_cast<size_t>(from) * words], to - from);
      a.frames += static_cast<uint64_t>(to - from);
      return handed;
    };
    // Deliver runs of consecutive sample numbers; a jump forward is a gap of
    // missing frames, a jump back a restarted sequence (counted as neither).
    int begin = 0;
    for (int i = 0; i < count && ok; ++i) {
      uint32_t number = static_cast<uint32_t>(buffer[static_cast<size_t>(i) * words + a.channels]) & mask;
      uint32_t ahead = (number - next) & mask;
      if (ahead != 0 && ahead < mask / 2) {
        if (i > begin) ok = deliver(begin, i);
        begin = i;
        if (ok && a.on_gap) ok = a.on_gap(a.frames, ahead, 0);
        a.frames += ahead;
        a.missing += ahead;
      }
      next = (number + 1) & mask;
    }
    if (ok) ok = deliver(begin, count);
    if (!ok) {
      result = kExitFailed;
      break;
    }
  }
  a.elapsed = now_seconds() - t0;
  if (int32_t lost = lost_since_start(a.id); lost > a.lost_packets) {
    if (result == 0 && a.on_gap && !a.on_gap(a.frames, 0, lost - a.lost_packets)) result = kExitFailed;
    a.lost_packets = lost;
  }
  status = AmxStop(a.id);
  if (status != AMX_OK && result == 0) result = fail("stopping acquisition", status);
  status_line(a, true);
  return result;
}

}  // namespace amxhost
