// amxctl record: every channel of a device into a BDF+ file through amxhost's
// recorder, fed by the acquisition loop (start, gaps and stop annotated), its
// start time that of the first frame by the host-time fit.
#include "amxctl.h"

#include <cstdio>

#ifdef AMXHOST_HAVE_EDF
#include "amxhost.h"

namespace amxctl {

int cmd_record(int argc, char** argv)
{
  Args args;
  bool done;
  if (int rc = parse_command(argc, argv, {{"rate", true}, {"seconds", true}, {"quiet", false}}, 2, 2, args, done);
      rc || done)
    return rc;
  double seconds = 0;
  if (args.has("seconds") && (!parse_double(args.last("seconds"), seconds) || seconds < 0)) {
    std::fprintf(stderr, "amxctl: bad --seconds \"%s\"\n", args.last("seconds").c_str());
    return kExitUsage;
  }
  long long rate_arg = 0;
  if (args.has("rate") && !parse_int(args.last("rate"), 1, INT32_MAX, rate_arg)) {
    std::fprintf(stderr, "amxctl: bad --rate \"%s\"\n", args.last("rate").c_str());
    return kExitUsage;
  }
  int32_t id;
  if (int rc = open_device(args.positional[0], id)) return rc;
  if (rate_arg) {
    int32_t status = AmxSetSampling(id, static_cast<int32_t>(rate_arg));
    if (status != AMX_OK) return fail("sampling rate " + std::to_string(rate_arg) + " (125, 250, 500 or 1000)", status);
  }
  AmxDeviceInfo info{};
  AmxInternalInfoRecord ident{};
  int32_t rate = 0;
  if (int rc = device_info(id, info)) return rc;
  if (int32_t status = AmxGetSampling(id, &rate); status != AMX_OK || rate <= 0)
    return fail("reading the sampling rate", status);
  AmxInternalInfo(id, &ident, sizeof ident);

  amxhost::BdfRecorder w;
  if (!w.open(args.positional[1], info, ident, rate)) return fail(w.error());

  Acquisition a;
  a.id = id;
  a.channels = info.channelCount;
  a.rate = rate;
  a.seconds = seconds;
  a.quiet = args.has("quiet");
  a.verb = "recorded";
  const int words = info.channelCount + 1;
  // A failed write ends the recording with its message.
  auto write_failed = [&] {
    std::fprintf(stderr, "\namxctl: %s\n", w.error().c_str());
    return false;
  };
  a.on_frames = [&](const int32_t* frames, int count) {
    // The start time is set when the first data record is about to complete,
    // from the fit of all reads until then: the time of sample number 1 on the
    // host's monotonic clock, moved onto the wall clock.
    if (w.frames() < static_cast<uint64_t>(rate) &&
        w.frames() + static_cast<uint64_t>(count) >= static_cast<uint64_t>(rate))
      w.set_start(frame_wall_time(a, 1));
    for (int i = 0; i < count; ++i)
      if (!w.add(frames + static_cast<size_t>(i) * words)) return write_failed();
    return true;
  };
  a.on_gap = [&](uint64_t index, uint32_t missing, int32_t lost) {
    w.note_loss(index, missing, lost);
    for (uint32_t i = 0; i < missing; ++i)
      if (!w.add(nullptr)) return write_failed();
    return true;
  };
  int rc = acquire(a);
  // The frames read so far are kept, also when the device failed.
  const bool reported = !w.error().empty();
  if (!w.close(a.frames, g_stop      ? "Recording stop (interrupted)"
                         : a.removed ? "Device removed"
                         : rc        ? "Recording stop (failed)"
                                     : "Recording stop") &&
      !reported)
    rc = fail(w.error());
  std::fprintf(stderr, "%s: %llu frames (%.1f s) at %d samples/s, %d packet(s) lost, %llu frame(s) missing%s",
               w.path().c_str(), static_cast<unsigned long long>(a.frames), static_cast<double>(a.frames) / rate,
               static_cast<int>(rate), static_cast<int>(a.lost_packets), static_cast<unsigned long long>(a.missing),
               a.missing ? " (annotated)" : "");
  if (w.clipped())
    std::fprintf(stderr, ", %llu sample(s) beyond the BDF+ range clipped",
                 static_cast<unsigned long long>(w.clipped()));
  std::fprintf(stderr, "\n");
  return rc;
}

}  // namespace amxctl

#else  // no edflib (the Windows build)

namespace amxctl {
int cmd_record(int, char**) { return fail("this build of amxctl has no BDF+ writer (edflib); record is unavailable"); }
}  // namespace amxctl

#endif
