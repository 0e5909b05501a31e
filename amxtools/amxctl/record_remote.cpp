// amxctl record tcp://HOST:PORT[/NAME]|NAME FILE.bdf: a served stream (amxctl
// serve) into a BDF+ file through the same recording session as a local
// recording. Frames the device lost and frames the network could not deliver
// become loss annotations; a restarted stream is annotated as a new segment.
#include "amxctl.h"
#include "amxnet.h"

#include <cstdio>
#include <unistd.h>

namespace amxctl {

int cmd_record_remote(int argc, char** argv)
{
  Args args;
  bool done;
  if (int rc = parse_command(argc, argv,
                             {{"seconds", true}, {"quiet", false}, {"force", false}, {"back", true}, {"keys", true}}, 2,
                             2, args, done);
      rc || done)
    return rc;
  double seconds = 0;
  if (int rc = parse_seconds(args, 0, seconds)) return rc;
  amxnet::SubscriberOptions options;
  std::string error;
  double back = 0;
  if (args.last("back") == "all")
    options.back_ms = amxnet::kBackAll;
  else if (args.has("back") && (!parse_double(args.last("back"), back) || back < 0 || back > 86400))
    return bad_argument("--back is seconds (at most 86400) or \"all\"");
  else
    options.back_ms = static_cast<uint32_t>(back * 1000);
  if (args.has("keys") && !amxnet::load_keys(args.last("keys"), true, options.keys, error)) return fail(error);
  // A malformed address is a bad argument; a name nobody announces (or one
  // whose announcement disagrees with the keys) is a failure.
  if (!amxnet::resolve_stream(args.positional[0], options, error))
    return args.positional[0].rfind("tcp://", 0) == 0 ? bad_argument(error) : fail(error);
  const std::string& path = args.positional[1];
  if (int rc = refuse_output(path, args.has("force"))) return rc;

  amxnet::Subscriber sub(options);
  amxhost::Recording w;
  amxhost::Acquisition a(0, 0, 0);  // the recording session's view of the stream
  uint64_t limit = 0, packets = 0;
  bool opened = false, failed = false, removed = false;
  const bool quiet = args.has("quiet"), tty = isatty(2);
  const double t0 = amxnet::steady_now();
  double last_status = t0;
  auto status_line = [&](bool final) {
    if (quiet) return;
    std::fprintf(stderr, "%srecorded %llu frames (%.1f s), %llu frame(s) missing, %llu lost on the network",
                 tty ? "\r" : "", static_cast<unsigned long long>(a.frames),
                 a.rate ? static_cast<double>(a.frames) / a.rate : 0.0, static_cast<unsigned long long>(sub.missing),
                 static_cast<unsigned long long>(sub.lost));
    if (sub.clock.valid)
      std::fprintf(stderr, ", offset %+.6f s +- %.6f s", sub.clock.offset_at(amxnet::steady_now()), sub.clock.bound);
    std::fprintf(stderr, "%s", tty && !final ? "   " : "\n");
  };
  auto write_failed = [&] {
    std::fprintf(stderr, "\namxctl: %s\n", w.file().error().c_str());
    failed = true;
    return false;
  };
  // Until --seconds of sample numbers are recorded, Ctrl-C, the stream's end
  // or a failure; a publisher that never answers is given 10 s.
  while (!amxhost::g_stop && !failed && (limit == 0 || a.frames < limit)) {
    const double now = amxnet::steady_now();
    if (!opened && now - t0 > 10) return fail("no stream from " + options.endpoint + " within 10 s");
    if (opened && now - last_status >= 1.0) {
      last_status = now;
      status_line(false);
    }
    amxnet::Event& e = sub.next(100);
    if (e.kind == amxnet::Event::Refused) {
      if (!opened) return fail(e.text);
      std::fprintf(stderr, "\namxctl: %s\n", e.text.c_str());
      failed = true;
    } else if (e.kind == amxnet::Event::LinkLost) {
      if (!quiet) std::fprintf(stderr, "%samxctl: %s\n", tty ? "\n" : "", e.text.c_str());
    } else if (e.kind == amxnet::Event::End) {
      if (!quiet) std::fprintf(stderr, "%samxctl: the stream ended: %s\n", tty ? "\n" : "", e.text.c_str());
      removed = e.text == "the device was removed";
      failed = e.text == "the device failed";
      break;
    } else if (e.kind == amxnet::Event::Header && !opened) {
      const amxnet::Message& h = *e.msg;
      AmxDeviceInfo info{};
      info.channelCount = h.channels;
      info.voltsPerCount = h.volts_per_count;
      info.calNumber1 = h.cal1;
      info.calNumber2 = h.cal2;
      const AmxInternalInfoRecord ident{h.kind, h.revision};
      if (!h.identified) std::fprintf(stderr, "amxctl: warning: %s\n", amxhost::kUnidentifiedWarning);
      if (!w.open(path, info, ident, static_cast<int>(h.rate), args.has("force")) || !w.set_labels(h.labels))
        return fail(w.file().error());
      opened = true;
      a.channels = h.channels;
      a.rate = static_cast<int>(h.rate);
      limit = seconds > 0 ? static_cast<uint64_t>(std::llround(seconds * a.rate)) : 0;
    } else if (e.kind == amxnet::Event::Header && e.new_segment) {
      if (e.msg->channels != a.channels || static_cast<int>(e.msg->rate) != a.rate) {
        std::fprintf(stderr, "\namxctl: the restarted stream has other channels or another rate: recording ended\n");
        failed = true;
      } else if (!w.mark("New segment (stream restarted)")) {
        failed = write_failed();
      }
    } else if (e.kind == amxnet::Event::Data) {
      const amxnet::Message& m = *e.msg;
      if (m.lost_packets) {
        packets += m.lost_packets;
        if (!w.gap(0, static_cast<int32_t>(m.lost_packets))) write_failed();
      }
      for (const amxnet::Gap& g : m.gaps) {
        uint64_t n = limit ? std::min<uint64_t>(g.count, limit - a.frames) : g.count;
        if (n > 0 && !w.gap(static_cast<uint32_t>(n), 0)) write_failed();
        a.frames += n;
        a.missing += n;
      }
      uint64_t n = limit ? std::min<uint64_t>(m.count, limit - a.frames) : m.count;
      a.times.assign(e.times.begin(), e.times.begin() + static_cast<long>(n));
      if (n > 0 && !w.add(a, m.frames.data(), static_cast<int>(n))) write_failed();
      a.frames += n;
    }
  }
  status_line(true);
  const bool reported = !w.file().error().empty();
  int rc = failed ? kExitFailed : 0;
  if (!w.close(removed, failed) && !reported) rc = fail(w.file().error());
  std::fprintf(stderr, "%s: %llu frames (%.1f s) at %d samples/s from %s, %llu packet(s) lost, %llu frame(s) missing%s",
               w.file().path().c_str(), static_cast<unsigned long long>(a.frames),
               a.rate ? static_cast<double>(a.frames) / a.rate : 0.0, a.rate, args.positional[0].c_str(),
               static_cast<unsigned long long>(packets), static_cast<unsigned long long>(a.missing),
               a.missing ? " (annotated)" : "");
  std::fprintf(stderr, ", %llu lost on the network", static_cast<unsigned long long>(sub.lost));
  if (sub.clock.valid)
    std::fprintf(stderr, ", clock offset %+.6f s +- %.6f s", sub.clock.offset_at(amxnet::steady_now()),
                 sub.clock.bound);
  std::fprintf(stderr, "\n");
  return rc;
}

}  // namespace amxctl
