// amxctl: status names, argument parsing, device lookup, Ctrl-C handling and
// the acquisition loop shared by the streaming subcommands. Uses amvex.h only.
#include "amxctl.h"

#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <unistd.h>

namespace amxctl {

std::string status_name(int32_t status)
{
  std::string name = AmxStatusName(status);
  return name == AmxStatusName(-1) ? "status " + std::to_string(status) : name;
}

int fail(const std::string& what, int32_t status)
{
  std::fprintf(stderr, "amxctl: %s: %s\n", what.c_str(), status_name(status).c_str());
  return kExitFailed;
}

int fail(const std::string& message)
{
  std::fprintf(stderr, "amxctl: %s\n", message.c_str());
  return kExitFailed;
}

std::string Args::last(const std::string& name, const std::string& fallback) const
{
  auto it = options.find(name);
  return it == options.end() || it->second.empty() ? fallback : it->second.back();
}

bool parse_args(int argc, char** argv, const std::map<std::string, bool>& known, Args& out, std::string& error)
{
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      out.options["help"].push_back("");
      continue;
    }
    if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
      if (arg.size() > 1 && arg[0] == '-' && !std::isdigit(static_cast<unsigned char>(arg[1]))) {
        error = "unknown option " + arg;
        return false;
      }
      out.positional.push_back(arg);
      continue;
    }
    std::string name = arg.substr(2), value;
    size_t eq = name.find('=');
    bool inline_value = eq != std::string::npos;
    if (inline_value) {
      value = name.substr(eq + 1);
      name.resize(eq);
    }
    auto it = known.find(name);
    if (it == known.end()) {
      error = "unknown option --" + name;
      return false;
    }
    if (it->second && !inline_value) {
      if (i + 1 >= argc) {
        error = "--" + name + " needs a value";
        return false;
      }
      value = argv[++i];
    } else if (!it->second && inline_value) {
      error = "--" + name + " takes no value";
      return false;
    }
    out.options[name].push_back(value);
  }
  return true;
}

bool parse_int(const std::string& text, long long lo, long long hi, long long& value)
{
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  value = v;
  return true;
}

bool parse_double(const std::string& text, double& value)
{
  if (text.empty()) return false;
  char* end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  if (*end != '\0' || !std::isfinite(v)) return false;
  value = v;
  return true;
}

int open_device(const std::string& arg, int32_t& id)
{
  long long v = 0;
  int32_t count = GetAmxCount();
  if (!arg.empty() && arg[0] == '@') {
    if (!parse_int(arg.substr(1), 0, INT32_MAX, v) || v >= count) {
      std::fprintf(stderr, "amxctl: no device %s (%d device(s) present; see `amxctl list`)\n", arg.c_str(),
                   static_cast<int>(count));
      return kExitFailed;
    }
    id = GetAmxID(static_cast<int32_t>(v));
  } else if (parse_int(arg, INT32_MIN, INT32_MAX, v)) {
    id = static_cast<int32_t>(v);
  } else {
    std::fprintf(stderr, "amxctl: bad device \"%s\": give an identifier from `amxctl list` or @INDEX\n", arg.c_str());
    return kExitUsage;
  }
  int32_t status = AmxOpen(id);
  if (status != AMX_OK) return fail("opening device " + arg, status);
  return 0;
}

int device_info(int32_t id, AmxDeviceInfo& info)
{
  int32_t status = AmxInfo(id, &info, sizeof info);
  if (status != AMX_OK) return fail("reading the device information", status);
  if (info.channelCount < 1 || info.channelCount > 256)
    return fail("device reports " + std::to_string(info.channelCount) + " channels");
  return 0;
}

std::atomic<bool> g_stop{false};

static void on_signal(int) { g_stop = true; }

void install_stop_handler()
{
  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);
#ifndef _WIN32
  std::signal(SIGHUP, on_signal);
  std::signal(SIGPIPE, SIG_IGN);  // a closed output shows as a write error instead
#endif
}

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

double now_seconds()
{
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

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
  return lost > 0 ? lost - 1 : 0;  // the first packet only synchronises the sequence
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

double frame_wall_time(const Acquisition& a, uint32_t number)
{
  using namespace std::chrono;
  const double wall = duration<double>(system_clock::now().time_since_epoch()).count();
  return wall - (now_seconds() - AmxClockTime(&a.clock, number));
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
    // The library numbers frames itself, so packets it lost leave no gap in the
    // numbers: its lost-packet count is what shows them, before this block.
    int32_t lost = lost_since_start(a.id);
    if (lost > a.lost_packets) {
      if (a.on_gap) ok = a.on_gap(a.frames, 0, lost - a.lost_packets);
      a.lost_packets = lost;
    }
    // Deliver runs of consecutive sample numbers; a jump forward is a gap of
    // missing frames, a jump back a restarted sequence (counted as neither).
    int begin = 0;
    for (int i = 0; i < count && ok; ++i) {
      uint32_t number = static_cast<uint32_t>(buffer[static_cast<size_t>(i) * words + a.channels]) & mask;
      uint32_t ahead = (number - next) & mask;
      if (ahead != 0 && ahead < mask / 2) {
        if (i > begin && a.on_frames) ok = a.on_frames(&buffer[static_cast<size_t>(begin) * words], i - begin);
        a.frames += static_cast<uint64_t>(i - begin);
        begin = i;
        if (ok && a.on_gap) ok = a.on_gap(a.frames, ahead, 0);
        a.frames += ahead;
        a.missing += ahead;
      }
      next = (number + 1) & mask;
    }
    AmxClockAdd(&a.clock, static_cast<uint32_t>(buffer[static_cast<size_t>(begin) * words + a.channels]),
                static_cast<uint32_t>(buffer[static_cast<size_t>(count - 1) * words + a.channels]), now);
    int end = count;
    if (limit != 0 && a.frames + static_cast<uint64_t>(end - begin) > limit)
      end = begin + static_cast<int>(limit > a.frames ? limit - a.frames : 0);
    if (ok && end > begin && a.on_frames) ok = a.on_frames(&buffer[static_cast<size_t>(begin) * words], end - begin);
    a.frames += static_cast<uint64_t>(end - begin);
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

}  // namespace amxctl
