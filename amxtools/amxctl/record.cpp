// amxctl record: every channel of a device into a BDF+ file through the host
// library's recording session, fed by its acquisition loop.
#include "amxctl.h"
#ifdef AMXCTL_HAVE_NET
#include "amxnet.h"
#endif

#include <cstdio>

#ifdef AMXHOST_HAVE_EDF

namespace amxctl {

int cmd_record(int argc, char** argv)
{
  if (records_several(argc, argv)) return cmd_record_multi(argc, argv);
#ifdef AMXCTL_HAVE_NET
  if (argc > 1 && amxnet::names_stream(argv[1])) return cmd_record_remote(argc, argv);
#endif
  Args args;
  bool done;
  if (int rc = parse_command(argc, argv,
                             {{"rate", true}, {"seconds", true}, {"quiet", false}, {"force", false}, {"montage", true}},
                             2, 2, args, done);
      rc || done)
    return rc;
  double seconds = 0;
  long long rate_arg = 0;
  if (int rc = parse_seconds(args, 0, seconds)) return rc;
  if (int rc = parse_rate(args, rate_arg)) return rc;
  const std::string& path = args.positional[1];
  if (int rc = refuse_output(path, args.has("force"))) return rc;
  int32_t id;
  if (int rc = open_device(args.positional[0], id)) return rc;
  AmxDeviceInfo info{};
  AmxInternalInfoRecord ident{};
  int rate = 0;
  if (int rc = set_up(id, rate_arg, info, rate)) return rc;
  AmxInternalInfo(id, &ident, sizeof ident);

  // Signal labels from a montage file, read before anything is written.
  std::vector<std::string> labels;
  if (args.has("montage")) {
    std::string error;
    if (!amxhost::read_montage(args.last("montage"), info.channelCount, labels, error)) return bad_argument(error);
  }

  amxhost::Recording w;
  if (!w.open(path, info, ident, rate, args.has("force")) || (!labels.empty() && !w.set_labels(labels)))
    return fail(w.file().error());

  amxhost::Acquisition a(id, info.channelCount, rate, seconds, args.has("quiet"));
  a.verb = "recorded";
  // A failed write ends the recording with its message.
  auto write_failed = [&] {
    std::fprintf(stderr, "\namxctl: %s\n", w.file().error().c_str());
    return false;
  };
  a.on_frames = [&](const int32_t* frames, int count) { return w.add(a, frames, count) || write_failed(); };
  a.on_gap = [&](uint64_t, uint32_t missing, int32_t lost) { return w.gap(missing, lost) || write_failed(); };
  int rc = amxhost::acquire(a);
  // The frames read so far are kept, also when the device failed.
  const bool reported = !w.file().error().empty();
  if (!w.close(a.removed, rc != 0) && !reported) rc = fail(w.file().error());
  std::fprintf(stderr, "%s: %llu frames (%.1f s) at %d samples/s, %d packet(s) lost, %llu frame(s) missing%s",
               w.file().path().c_str(), static_cast<unsigned long long>(a.frames), static_cast<double>(a.frames) / rate,
               rate, static_cast<int>(a.lost_packets), static_cast<unsigned long long>(a.missing),
               a.missing ? " (annotated)" : "");
  if (w.file().clipped())
    std::fprintf(stderr, ", %llu sample(s) beyond the BDF+ range clipped",
                 static_cast<unsigned long long>(w.file().clipped()));
  std::fprintf(stderr, "\n");
  return rc;
}

}  // namespace amxctl

#else  // no edflib: refused before a device is opened

namespace amxctl {
int cmd_record(int, char**) { return fail(amxhost::kNoRecorder); }
}  // namespace amxctl

#endif
