// amxctl stream and impedance: frames from the device through the library's
// per-channel filters to standard output, and the electrode impedance table.
// Built on the acquisition loop of common.cpp and amvex.h.
#include "amxctl.h"
#include "amxhost.h"

#include <charconv>
#include <cstdio>
#include <cstring>

namespace amxctl {

namespace {

const int32_t kInvalid = 0x7FFFFFFF;

void destroy(std::vector<Filter>& chain)
{
  for (const Filter& f : chain) {
    switch (f.kind) {
      case 'B': BFDestroy(f.handle); break;
      case 'W': WFDestroy(f.handle); break;
      case 'A': AFDestroy(f.handle); break;
      case 'H': HFDestroy(f.handle); break;
    }
  }
  chain.clear();
}

}  // namespace

bool make_filter(const std::string& text, int rate, Filter& out, std::string& error)
{
  std::vector<std::string> parts;
  for (size_t at = 0;;) {
    size_t colon = text.find(':', at);
    parts.push_back(text.substr(at, colon == std::string::npos ? std::string::npos : colon - at));
    if (colon == std::string::npos) break;
    at = colon + 1;
  }
  const std::string& kind = parts[0];
  std::vector<double> v;
  for (size_t i = 1; i < parts.size(); ++i) {
    double x;
    if (!parse_double(parts[i], x) || x <= 0) {
      error = "filter " + text + ": \"" + parts[i] + "\" is not a positive number";
      return false;
    }
    v.push_back(x);
  }
  static const std::map<std::string, std::pair<int, size_t>> butterworth = {
      {"lp", {0, 2}}, {"hp", {1, 2}}, {"bp", {2, 3}}, {"bs", {3, 3}}};
  if (auto b = butterworth.find(kind); b != butterworth.end()) {
    if (v.size() != b->second.second || v[0] != static_cast<int>(v[0])) {
      error = "filter " + text + ": expected " + kind + (b->second.second == 2 ? ":ORDER:F" : ":ORDER:F1:F2");
      return false;
    }
    out = {'B', BFCreate()};
    int32_t r = out.handle ? BFSet(out.handle, b->second.first, static_cast<int>(v[0]), rate, v[1],
                                   v.size() > 2 ? v[2] : rate / 2.0)
                           : AMX_BF_FAILED;
    if (r != AMX_BF_DONE) {
      static const char* const reasons[] = {"", "no filter", "order, rate or corners out of range", "equal corners",
                                            "coefficients not real"};
      error = "filter " + text + " at " + std::to_string(rate) +
              " samples/s: " + (r > 0 && r < 5 ? reasons[r] : "design failed");
      BFDestroy(out.handle);
      return false;
    }
    return true;
  }
  if (v.size() != 1 || (kind != "notch" && kind != "window" && kind != "baseline")) {
    error = "unknown filter " + text + " (see --help)";
    return false;
  }
  if (v[0] > rate) {
    error = "filter " + text + ": frequency above the rate of " + std::to_string(rate);
    return false;
  }
  if (kind == "notch") {
    out = {'A', AFCreate()};
    AFSetEx(out.handle, rate, v[0]);
  } else if (kind == "window") {
    out = {'W', WFCreate()};
    WFSet(out.handle, rate, v[0], 0);
  } else {
    out = {'H', HFCreate()};
    HFSet(out.handle, rate, v[0], 0);
  }
  if (!out.handle) error = "filter " + text + ": out of memory";
  return out.handle != 0;
}

namespace {
void run(const Filter& f, int32_t* data, int count)
{
  switch (f.kind) {
    case 'B': BFProcess32(f.handle, data, data, count); break;
    case 'W': WFProcess32(f.handle, data, data, count); break;
    case 'A': AFProcess32(f.handle, data, data, count); break;
    case 'H': HFProcess32(f.handle, data, data, count); break;
  }
}

}  // namespace

ChannelFilters::~ChannelFilters()
{
  for (auto& c : chains) destroy(c);
}

bool ChannelFilters::build(const std::vector<std::string>& texts, int rate, int channels, std::string& error)
{
  chains.resize(static_cast<size_t>(channels));
  held.assign(static_cast<size_t>(channels), 0);
  for (const std::string& text : texts) {
    for (auto& chain : chains) {
      Filter f{};
      if (!make_filter(text, rate, f, error)) return false;
      chain.push_back(f);
    }
  }
  return true;
}

void ChannelFilters::apply(int32_t* frames, int count, int channels)
{
  if (chains.empty() || chains[0].empty()) return;
  const int words = channels + 1;
  column.resize(static_cast<size_t>(count));
  invalid.resize(static_cast<size_t>(count));
  for (int c = 0; c < channels; ++c) {
    for (int i = 0; i < count; ++i) {
      int32_t& v = frames[static_cast<size_t>(i) * words + c];
      invalid[i] = v == kInvalid;
      column[i] = invalid[i] ? held[c] : (held[c] = v);
    }
    for (const Filter& f : chains[c]) run(f, column.data(), count);
    for (int i = 0; i < count; ++i) frames[static_cast<size_t>(i) * words + c] = invalid[i] ? kInvalid : column[i];
  }
}

namespace {

int prepare(int32_t id, const Args& args, AmxDeviceInfo& info, int& rate)
{
  if (args.has("rate")) {
    long long r = 0;
    if (!parse_int(args.last("rate"), 1, INT32_MAX, r)) {
      std::fprintf(stderr, "amxctl: bad --rate \"%s\"\n", args.last("rate").c_str());
      return kExitUsage;
    }
    int32_t status = AmxSetSampling(id, static_cast<int32_t>(r));
    if (status != AMX_OK) return fail("sampling rate " + std::to_string(r) + " (125, 250, 500 or 1000)", status);
  }
  int32_t r = 0, status = AmxGetSampling(id, &r);
  if (status != AMX_OK) return fail("reading the sampling rate", status);
  if (r <= 0) return fail("device reports a sampling rate of " + std::to_string(r));
  rate = r;
  return device_info(id, info);
}

int parse_seconds(const Args& args, double fallback, double& seconds)
{
  seconds = fallback;
  if (args.has("seconds") && (!parse_double(args.last("seconds"), seconds) || seconds < 0)) {
    std::fprintf(stderr, "amxctl: bad --seconds \"%s\"\n", args.last("seconds").c_str());
    return kExitUsage;
  }
  return 0;
}

}  // namespace

int cmd_stream(int argc, char** argv)
{
  Args args;
  bool done;
  if (int rc = parse_command(argc, argv,
                             {{"rate", true},
                              {"seconds", true},
                              {"filter", true},
                              {"format", true},
                              {"uv", false},
                              {"time", false},
                              {"quiet", false}},
                             1, 1, args, done);
      rc || done)
    return rc;
  std::string error;
  std::string format = args.last("format", "text");
  double seconds;
  if (format != "text" && format != "csv") {
    std::fprintf(stderr, "amxctl: --format is text or csv, not \"%s\"\n", format.c_str());
    return kExitUsage;
  }
  if (int rc = parse_seconds(args, 0, seconds)) return rc;
  int32_t id;
  AmxDeviceInfo info{};
  int rate = 0;
  if (int rc = open_device(args.positional[0], id)) return rc;
  if (int rc = prepare(id, args, info, rate)) return rc;
  const int channels = info.channelCount;

  ChannelFilters filters;
  if (args.has("filter") && !filters.build(args.options.at("filter"), rate, channels, error)) {
    std::fprintf(stderr, "amxctl: %s\n", error.c_str());
    return kExitUsage;
  }

  const bool csv = format == "csv", uv = args.has("uv"), times = args.has("time");
  const char sep = csv ? ',' : ' ';
  const double scale = info.voltsPerCount * 1e6;
  if (csv) {
    std::printf(times ? "sample,status,time" : "sample,status");
    for (int c = 1; c <= channels; ++c) std::printf(",ch%d", c);
    std::printf("\n");
  }
  std::string out;
  Acquisition a;
  a.id = id;
  a.channels = channels;
  a.rate = rate;
  a.seconds = seconds;
  a.quiet = args.has("quiet");
  a.on_frames = [&](const int32_t* frames, int count) {
    std::vector<int32_t> block(frames, frames + static_cast<size_t>(count) * (channels + 1));
    filters.apply(block.data(), count, channels);
    out.clear();
    char num[32];
    for (int i = 0; i < count; ++i) {
      const int32_t* f = &block[static_cast<size_t>(i) * (channels + 1)];
      uint32_t status = static_cast<uint32_t>(f[channels]);
      out.append(num, std::snprintf(num, sizeof num, "%u%c%X", status & AMX_STATUS_SAMPLE_MASK, sep, status >> 28));
      if (times)
        out.append(num, std::snprintf(num, sizeof num, "%c%.6f", sep,
                                      AmxClockTime(&a.clock, status & AMX_STATUS_SAMPLE_MASK)));
      for (int c = 0; c < channels; ++c) {
        out += sep;
        if (f[c] == kInvalid) {
          if (!csv) out += '-';
        } else if (uv) {
          out.append(num, std::snprintf(num, sizeof num, "%.3f", f[c] * scale));
        } else {
          out.append(num, std::to_chars(num, num + sizeof num, f[c]).ptr);
        }
      }
      out += '\n';
    }
    if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || std::fflush(stdout) != 0) {
      std::fprintf(stderr, "amxctl: writing to standard output failed: %s\n", std::strerror(errno));
      return false;
    }
    return true;
  };
  return acquire(a);
}

int cmd_impedance(int argc, char** argv)
{
  Args args;
  bool done;
  if (int rc = parse_command(argc, argv, {{"seconds", true}, {"ref", true}, {"good", true}, {"bad", true}}, 1, 1, args,
                             done);
      rc || done)
    return rc;
  double seconds, good = amxhost::kGoodKohm, poor = amxhost::kBadKohm;
  if (int rc = parse_seconds(args, 5, seconds)) return rc;
  if ((args.has("good") && !parse_double(args.last("good"), good)) ||
      (args.has("bad") && !parse_double(args.last("bad"), poor)) || !amxhost::thresholds_valid(good, poor)) {
    std::fprintf(stderr, "amxctl: --good and --bad are kOhm with 0 < good <= bad\n");
    return kExitUsage;
  }
  int32_t id;
  AmxDeviceInfo info{};
  int rate = 0;
  if (int rc = open_device(args.positional[0], id)) return rc;
  if (int rc = prepare(id, args, info, rate)) return rc;
  const int channels = info.channelCount;
  if (args.has("ref")) {
    long long ref = 0;
    if (!parse_int(args.last("ref"), 1, channels, ref)) {
      std::fprintf(stderr, "amxctl: --ref is a channel from 1 to %d\n", channels);
      return kExitUsage;
    }
    int32_t status = AmxSetImpedanceRef(id, static_cast<int32_t>(ref - 1));
    if (status != AMX_OK) return fail("setting the reference channel", status);
  }
  int32_t ref = -1;
  if (int32_t status = AmxGetImpedanceRef(id, &ref); status != AMX_OK)
    return fail("reading the reference channel", status);

  std::vector<int32_t> ohms(static_cast<size_t>(channels));
  int ticks = 0;
  bool read_failed = false;
  auto table = [&](double at) {
    int32_t status = AmxMeasureImpedanceRead(id, ohms.data(), static_cast<int32_t>(ohms.size() * 4));
    if (status != AMX_OK) {
      read_failed = true;
      g_stop = true;
      return fail("reading impedances", status);
    }
    std::printf("impedance after %.0f s (kOhm; good <= %g, BAD > %g)\n", at, good, poor);
    for (int c = 0; c < channels; ++c) {
      const char* mark = amxhost::electrode_name(amxhost::classify(c, ref, ohms[c], good, poor));
      if (ohms[c] <= 0)
        std::printf("  ch%-3d %10s  %s\n", c + 1, "", mark);
      else
        std::printf("  ch%-3d %10.1f  %s\n", c + 1, amxhost::shown_kohm(ohms[c]), mark);
    }
    std::fflush(stdout);
    return 0;
  };
  Acquisition a;
  a.id = id;
  a.channels = channels;
  a.rate = rate;
  a.seconds = seconds;
  a.quiet = true;
  a.on_tick = [&] {
    if (++ticks > 1) table(ticks);  // the first window completes after a second of samples
  };
  int rc = acquire(a, AmxMeasureImpedanceStart);
  if (rc == 0 && !read_failed) table(static_cast<double>(a.frames) / rate);
  if (int32_t status = AmxMeasureImpedanceStop(id); status != AMX_OK && rc == 0)
    rc = fail("ending the impedance measurement", status);
  return read_failed ? kExitFailed : rc;
}

}  // namespace amxctl
