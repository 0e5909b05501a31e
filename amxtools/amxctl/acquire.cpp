// amxctl stream and impedance: frames from the device through the library's
// per-channel filters to standard output, and the electrode impedance table,
// both on the host library's acquisition loop.
#include "amxctl.h"

#include <charconv>
#include <cstdio>
#include <cstring>

namespace amxctl {

namespace {
// The device of the first argument opened (a bad --rate is reported after a
// bad device) and set up with --rate.
int open_and_set_up(const Args& args, int32_t& id, AmxDeviceInfo& info, int& rate)
{
  long long rate_arg = 0;
  if (int rc = open_device(args.positional[0], id)) return rc;
  if (int rc = parse_rate(args, rate_arg)) return rc;
  return set_up(id, rate_arg, info, rate);
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
  if (format != "text" && format != "csv") return bad_argument("--format is text or csv, not \"" + format + "\"");
  if (int rc = parse_seconds(args, 0, seconds)) return rc;
  int32_t id;
  AmxDeviceInfo info{};
  int rate = 0;
  if (int rc = open_and_set_up(args, id, info, rate)) return rc;
  const int channels = info.channelCount;

  amxhost::ChannelFilters filters;
  if (args.has("filter") && !filters.build(args.options.at("filter"), rate, channels, error))
    return bad_argument(error);

  const bool csv = format == "csv", uv = args.has("uv"), times = args.has("time");
  const char sep = csv ? ',' : ' ';
  const double scale = info.voltsPerCount * 1e6;
  if (csv) {
    std::printf(times ? "sample,status,time" : "sample,status");
    for (int c = 1; c <= channels; ++c) std::printf(",ch%d", c);
    std::printf("\n");
  }
  std::string out;
  amxhost::Acquisition a(id, channels, rate, seconds, args.has("quiet"));
  a.on_frames = [&](const int32_t* frames, int count) {
    std::vector<int32_t> block(frames, frames + static_cast<size_t>(count) * (channels + 1));
    filters.apply(block.data(), count, channels);
    out.clear();
    char num[32];
    for (int i = 0; i < count; ++i) {
      const int32_t* f = &block[static_cast<size_t>(i) * (channels + 1)];
      uint32_t status = static_cast<uint32_t>(f[channels]);
      out.append(num, std::snprintf(num, sizeof num, "%u%c%X", status & AMX_STATUS_SAMPLE_MASK, sep,
                                    (status & AMX_STATUS_BITS_MASK) >> AMX_STATUS_BITS_SHIFT));
      if (times) out.append(num, std::snprintf(num, sizeof num, "%c%.6f", sep, a.times[static_cast<size_t>(i)]));
      for (int c = 0; c < channels; ++c) {
        out += sep;
        if (f[c] == AMX_INVALID_SAMPLE) {
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
  return amxhost::acquire(a);
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
      (args.has("bad") && !parse_double(args.last("bad"), poor)) || !amxhost::thresholds_valid(good, poor))
    return bad_argument("--good and --bad are kOhm with 0 < good <= bad");
  int32_t id;
  AmxDeviceInfo info{};
  int rate = 0;
  if (int rc = open_and_set_up(args, id, info, rate)) return rc;
  const int channels = info.channelCount;
  if (args.has("ref")) {
    long long ref = 0;
    if (!parse_int(args.last("ref"), 1, channels, ref))
      return bad_argument("--ref is a channel from 1 to " + std::to_string(channels));
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
      amxhost::g_stop = true;
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
  amxhost::Acquisition a(id, channels, rate, seconds, true);
  a.on_tick = [&] {
    if (++ticks > 1) table(ticks);  // the first window completes after a second of samples
  };
  int rc = amxhost::acquire(a, AmxMeasureImpedanceStart);
  if (rc == 0 && !read_failed) table(static_cast<double>(a.frames) / rate);
  if (int32_t status = AmxMeasureImpedanceStop(id); status != AMX_OK && rc == 0)
    rc = fail("ending the impedance measurement", status);
  return read_failed ? kExitFailed : rc;
}

}  // namespace amxctl
