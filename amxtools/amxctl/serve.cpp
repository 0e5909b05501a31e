// amxctl serve: one or more amplifiers served to subscribers across the
// network (amxnet). Each amplifier is acquired on its own thread, so a failing
// one never stalls the others' streams; the main thread runs the publisher
// and prints one status line a second.
#include "amxctl.h"
#include "amxnet.h"

#include <cstdio>
#include <cstdlib>
#include <set>
#include <thread>
#include <unistd.h>

namespace amxctl {

namespace {
struct Served {
  std::string arg;
  int32_t id = 0;
  AmxDeviceInfo info{};
  int rate = 0;
  int stream = 0;
};
}  // namespace

bool is_loopback(const std::string& endpoint)
{
  const std::string host = endpoint.substr(0, endpoint.rfind(':'));
  return host.rfind("tcp://127.", 0) == 0 || host == "tcp://localhost" || host == "tcp://[::1]" ||
         host.rfind("inproc://", 0) == 0;
}

int cmd_keygen(int argc, char** argv)
{
  Args args;
  bool done;
  if (int rc = parse_command(argc, argv, {{"subscriber", true}}, 1, 1, args, done); rc || done) return rc;
  std::string fingerprint, error;
  const std::string& dir = args.positional[0];
  if (!args.has("subscriber")) {
    if (!amxnet::generate_keys(dir, fingerprint, error)) return fail(error);
    std::printf("key pair written to %s: public key fingerprint %s\n", dir.c_str(), fingerprint.c_str());
    return 0;
  }
  const std::string& sub = args.last("subscriber");
  std::string sub_fingerprint;
  if (!amxnet::pair_keys(dir, sub, fingerprint, sub_fingerprint, error)) return fail(error);
  std::printf("publisher key pair in %s: public key fingerprint %s\n", dir.c_str(), fingerprint.c_str());
  std::printf("subscriber key pair written to %s: public key fingerprint %s, allowed by %s, trusting %s\n", sub.c_str(),
              sub_fingerprint.c_str(), dir.c_str(), dir.c_str());
  return 0;
}

int cmd_streams(int argc, char** argv)
{
  Args args;
  bool done;
  if (int rc = parse_command(argc, argv, {{"seconds", true}}, 0, 0, args, done); rc || done) return rc;
  double seconds = 2;
  if (args.has("seconds") && (!parse_double(args.last("seconds"), seconds) || !(seconds > 0) || seconds > 60))
    return bad_argument("--seconds is above 0 and at most 60");
  std::vector<amxnet::Announcement> found;
  std::string error;
  if (!amxnet::discover(seconds, found, error)) return fail(error);
  std::printf("%zu stream(s) heard within %g s\n", found.size(), seconds);
  if (found.empty()) return 0;
  std::printf("%-16s %-16s %8s %6s %-8s %-24s %-24s %s\n", "name", "host", "channels", "rate", "keys", "address",
              "server key", "heard");
  for (const amxnet::Announcement& a : found)
    std::printf("%-16s %-16s %8d %6d %-8s %-24s %-24s %.2f s\n", a.name.c_str(), a.host.c_str(), a.channels, a.rate,
                a.secure ? "secure" : "none", a.endpoint.c_str(), a.secure ? a.fingerprint.c_str() : "-",
                a.heard_after);
  return 0;
}

int cmd_serve(int argc, char** argv)
{
  Args args;
  bool done;
  if (int rc = parse_command(argc, argv,
                             {{"name", true},
                              {"bind", true},
                              {"buffer", true},
                              {"montage", true},
                              {"rate", true},
                              {"seconds", true},
                              {"keys", true},
                              {"insecure", false},
                              {"no-beacon", false},
                              {"quiet", false}},
                             0, 64, args, done);
      rc || done)
    return rc;
  double seconds = 0, buffer = 60;
  long long rate_arg = 0;
  if (int rc = parse_seconds(args, 0, seconds)) return rc;
  if (int rc = parse_rate(args, rate_arg)) return rc;
  if (args.has("buffer") && (!parse_double(args.last("buffer"), buffer) || !(buffer > 0) || buffer > 3600))
    return bad_argument("--buffer is seconds, above 0 and at most 3600");
  std::vector<std::string> devices = args.positional;
  if (devices.empty()) devices.push_back("@0");
  std::vector<std::string> names = args.has("name") ? args.options.at("name") : std::vector<std::string>{};
  if (names.size() > devices.size()) return bad_argument("more --name options than devices");
  std::set<std::string> unique;
  for (size_t i = 0; i < devices.size(); ++i) {
    if (i >= names.size()) names.push_back("amx" + std::to_string(i));
    std::string why;
    if (!amxnet::valid_stream_name(names[i], why)) return bad_argument(why);
    if (!unique.insert(names[i]).second) return bad_argument("stream name \"" + names[i] + "\" given twice");
  }
  amxnet::PublisherClock clock;
  std::string error;
  const bool quiet = args.has("quiet"), tty = isatty(2);
  if (!amxnet::test_clock_from_env(clock, error)) return bad_argument(error);

  amxnet::Publisher pub(buffer, clock);
  const std::string endpoint = args.last("bind", "tcp://127.0.0.1:5600");
  // Beyond loopback the streams are health data on a shared network: keys,
  // unless the user says in so many words that anyone may read them.
  if (args.has("keys") && args.has("insecure")) return bad_argument("give --keys DIR or --insecure, not both");
  if (!args.has("keys") && !args.has("insecure") && !is_loopback(endpoint))
    return bad_argument("serving on " + endpoint +
                        " (beyond loopback) needs --keys DIR (see `amxctl keygen`), or --insecure");
  if (args.has("insecure"))
    std::fprintf(stderr,
                 "amxctl: warning: serving without keys (--insecure): anyone who can reach %s can read "
                 "the streams, and subscribers cannot tell this publisher from an impostor\n",
                 endpoint.c_str());
  std::string fingerprint;  // the announced server key's (secure only)
  if (args.has("keys")) {
    amxnet::Keys keys;
    if (!amxnet::load_keys(args.last("keys"), false, keys, error) || !pub.secure(keys, error)) return fail(error);
    fingerprint = amxnet::key_fingerprint(keys.public_key);
    if (!quiet)
      std::fprintf(stderr, "serving with key %s to %zu allowed subscriber key(s)\n",
                   amxnet::key_fingerprint(keys.public_key).c_str(), keys.allowed.size());
  }
  // The names are claimed before anything is opened, so a publisher whose
  // name is taken on this host refuses at once. A publisher on loopback is
  // not announced: nobody the announcement reaches could connect.
  amxnet::Announcer announcer;
  std::string note;
  if (!args.has("no-beacon") && !is_loopback(endpoint) && !announcer.claim(endpoint, names, note, error))
    return fail(error);
  if (!note.empty()) std::fprintf(stderr, "amxctl: %s (subscribers need the address)\n", note.c_str());
  if (!pub.bind(endpoint, error)) return fail(error);
  const std::string host = amxnet::host_name();

  std::vector<Served> served(devices.size());
  for (size_t i = 0; i < devices.size(); ++i) {
    Served& s = served[i];
    s.arg = devices[i];
    if (int rc = open_device(s.arg, s.id)) return rc;
    if (int rc = set_up(s.id, rate_arg, s.info, s.rate)) return rc;
    AmxInternalInfoRecord ident{};
    AmxInternalInfo(s.id, &ident, sizeof ident);
    amxnet::StreamInfo st;
    st.name = names[i];
    st.host = host;
    st.kind = ident.deviceKind;
    st.revision = ident.deviceRevision;
    st.cal1 = s.info.calNumber1;
    st.cal2 = s.info.calNumber2;
    st.identified = amxhost::identified(ident);
    st.channels = s.info.channelCount;
    st.rate = s.rate;
    st.volts_per_count = s.info.voltsPerCount;
    st.invalid_marker = AMX_INVALID_SAMPLE;
    for (int c = 1; c <= st.channels; ++c) st.labels.push_back("Ch" + std::to_string(c));
    if (args.has("montage") && !amxhost::read_montage(args.last("montage"), st.channels, st.labels, error))
      return bad_argument(error);
    s.stream = pub.add_stream(st);
  }
  const std::string bound = pub.endpoint();
  for (const Served& s : served)
    announcer.announce(names[static_cast<size_t>(s.stream)], std::atoi(bound.substr(bound.rfind(':') + 1).c_str()),
                       s.info.channelCount, s.rate, fingerprint);

  // One acquisition thread per amplifier; each ends its stream when it stops.
  std::vector<std::thread> threads;
  std::atomic<int> running{static_cast<int>(served.size())}, failed{0};
  for (Served& s : served)
    threads.emplace_back([&pub, &s, &running, &failed, seconds] {
      amxhost::Acquisition a(s.id, s.info.channelCount, s.rate, seconds, true);
      a.on_frames = [&](const int32_t* frames, int count) {
        pub.push(s.stream, a.frames + 1, frames, a.times.data(), static_cast<uint32_t>(count));
        return true;
      };
      a.on_gap = [&](uint64_t index, uint32_t missing, int32_t lost) {
        if (missing) pub.device_gap(s.stream, index + 1, missing);
        if (lost > 0) pub.lost_packets(s.stream, static_cast<uint32_t>(lost));
        return true;
      };
      const int rc = amxhost::acquire(a);
      pub.end(s.stream, a.removed ? "the device was removed" : rc != 0 ? "the device failed" : "the publisher stopped");
      if (rc != 0) ++failed;
      --running;
    });

  if (!quiet)
    for (const Served& s : served)
      std::fprintf(stderr, "serving %s as %s/%s (%d ch at %d/s, %.0f s buffer)\n", s.arg.c_str(),
                   pub.endpoint().c_str(), names[static_cast<size_t>(s.stream)].c_str(), s.info.channelCount, s.rate,
                   buffer);
  auto status_line = [&](const amxnet::PublisherStatus& st, bool final) {
    std::fprintf(stderr, "%s%d subscriber(s), %llu frames produced, %llu sent, %llu owed, %llu lost", tty ? "\r" : "",
                 st.subscribers, static_cast<unsigned long long>(st.produced), static_cast<unsigned long long>(st.sent),
                 static_cast<unsigned long long>(st.owed), static_cast<unsigned long long>(st.lost));
    if (st.refused) std::fprintf(stderr, ", %llu message(s) refused", static_cast<unsigned long long>(st.refused));
    std::fprintf(stderr, "%s", tty && !final ? "   " : "\n");
  };
  auto log_lines = [&] {
    for (const std::string& line : pub.take_log())
      if (!quiet) std::fprintf(stderr, "%s%s\n", tty ? "\r" : "", line.c_str());
  };
  double last_status = amxnet::steady_now(), ended_at = 0;
  // After the last stream ended, subscribers get what they are owed and the
  // end, for a bounded time (a second after Ctrl-C).
  while (true) {
    pub.serve(100);
    const double now = amxnet::steady_now();
    const amxnet::PublisherStatus st = pub.status();
    if (running == 0) {
      if (ended_at == 0) ended_at = now;
      if (st.subscribers == 0 || now - ended_at > (amxhost::g_stop ? 1 : 10)) break;
    }
    log_lines();
    if (now - last_status >= 1.0 && !quiet) {
      last_status = now;
      status_line(st, false);
    }
  }
  for (std::thread& t : threads) t.join();
  log_lines();
  if (!quiet) status_line(pub.status(), true);
  return failed ? kExitFailed : 0;
}

}  // namespace amxctl
