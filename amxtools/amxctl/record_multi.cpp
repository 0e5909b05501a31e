// amxctl record SOURCE SOURCE... FILE.bdf: several amplifiers, local ones and
// served streams, into one BDF+ file on this host's clock. Each source runs on
// its own thread and hands its frames with their host times (the fit of a
// local amplifier's reads, or of a stream's stamps on this host's clock) to
// the main thread, which places them on one grid at the common rate: a
// frame goes to the next slot of its source while it lies within kSlack
// samples of that slot's time; a clock that slips a whole sample further gets
// one sample repeated (a slow source) or dropped (a fast one), and a source
// without frames for a stretch leaves missing samples there, annotated with
// its name. Every repeated, dropped and missing sample is counted.
#include "amxctl.h"
#ifdef AMXCTL_HAVE_NET
#include "amxnet.h"
#endif

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <deque>
#include <mutex>
#include <set>
#include <thread>
#include <unistd.h>

#ifdef AMXHOST_HAVE_EDF

namespace amxctl {

namespace {

// A frame is placed once it is kHold seconds old, so its time comes from a
// fit that has also learnt from the reads after it (and a stream's from the
// clock offset as then known): a local amplifier's first reads after a start
// are tens of ms late, the fit takes the nominal period until its points span
// 2 s, and the slope of 5 s of reads is still noisy enough to move a steady
// source's times by a third of a sample as it learns (and that move, over the
// margin below, by a whole one). A source that has sent nothing for a slot
// kSilent seconds old leaves a gap there (a stream reconnects and replays
// within that). A frame may lie kSlack samples off its slot before a sample is
// repeated or dropped: the margin beyond half a sample keeps the small steps
// of a refitted line from repeating and dropping in turn.
constexpr double kHold = 10.0, kSilent = 13.0, kSlack = 0.75;

// What a source's thread hands the main thread: frames with their host times,
// or an event of the source before them.
struct Chunk {
  std::vector<int32_t> values;    // channels values per frame
  std::vector<double> times;      // each frame's host time as it came
  std::vector<uint32_t> numbers;  // their sample numbers, timed by the source's newest fit when placed
  double origin = 0;              // the fit they belong to (its first read or stamp)
  const char* reason = nullptr;   // frames before these were lost: why (annotated with the gap)
  std::string mark;               // annotated where the source's next frame goes
};

struct Source {
  std::string arg, name;
  bool stream = false;
  int32_t id = 0;
  AmxDeviceInfo info{};
  AmxInternalInfoRecord ident{};
  int rate = 0, first_channel = 0;
  std::vector<std::string> labels;
#ifdef AMXCTL_HAVE_NET
  amxnet::SubscriberOptions options;
#endif
  std::thread thread;

  // Shared with the source's thread.
  std::mutex mutex;
  std::deque<Chunk> chunks;
  AmxClock clock{};  // the newest fit
#ifdef AMXCTL_HAVE_NET
  amxnet::ClockLine line;  // a stream's newest clock offset (its fit runs on the publisher's clock)
#endif
  bool header = false, ended = false, failed = false, removed = false;
  std::string end_text;
  uint64_t lost_packets = 0, device_missing = 0, network_lost = 0;
  double offset = 0, bound = -1;  // a stream's clock offset and its bound (-1: none yet)

  // The main thread's.
  std::deque<Chunk> pending;
  size_t cursor = 0;  // frames of pending.front() placed
  AmxClock fit{};
#ifdef AMXCTL_HAVE_NET
  amxnet::ClockLine fit_line;
#endif
  uint64_t next = 0;  // the slot its next frame goes to
  std::vector<int32_t> last;
  uint64_t placed = 0, repeated = 0, dropped = 0, filled = 0, gaps = 0;
  bool in_gap = false;
  uint64_t gap_from = 0, gap_frames = 0;
  const char* gap_reason = nullptr;
};

std::atomic<bool> g_halt{false};  // the sources' threads end

void run_local(Source& s)
{
  amxhost::Acquisition a(s.id, s.info.channelCount, s.rate, 0, true);
  const int channels = s.info.channelCount;
  a.on_frames = [&](const int32_t* frames, int count) {
    Chunk c;
    c.times = a.times;
    c.origin = a.clock.origin;
    for (int i = 0; i < count; ++i) {
      const int32_t* f = frames + static_cast<size_t>(i) * static_cast<size_t>(channels + 1);
      c.values.insert(c.values.end(), f, f + channels);
      c.numbers.push_back(static_cast<uint32_t>(f[channels]) & AMX_STATUS_SAMPLE_MASK);
    }
    std::lock_guard<std::mutex> lock(s.mutex);
    s.chunks.push_back(std::move(c));
    s.clock = a.clock;
    return !g_halt;
  };
  a.on_gap = [&](uint64_t, uint32_t missing, int32_t lost) {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.lost_packets += static_cast<uint64_t>(lost);
    s.device_missing += missing;
    if (missing) s.chunks.push_back(Chunk{{}, {}, {}, 0, "missing", ""});
    return !g_halt;
  };
  const int rc = amxhost::acquire(a);
  std::lock_guard<std::mutex> lock(s.mutex);
  s.ended = true;
  s.removed = a.removed;
  s.failed = rc != 0 && !g_halt;
  s.end_text = a.removed ? "device removed" : s.failed ? "device failed" : "";
}

#ifdef AMXCTL_HAVE_NET
// A stream's times are its publisher's stamps. Stamps handed out while the
// publisher's fit lowers its line run late for a while; they feed a fit of the
// same kind here, on the publisher's clock (stamps are never early, so its
// lower edge is the publisher's best line), which times the frames when
// placed, put on this host's clock by the offset as known then. Fitting stamps
// already moved to this host's clock would keep the error of an early offset
// (the first probes' bound can be milliseconds) in the lower edge for the
// fit's whole window.
void run_stream(Source& s)
{
  amxnet::Subscriber sub(s.options);
  AmxClock fit{};
  // Frames with the publisher's stamps, until the clock offset is known.
  std::deque<Chunk> held;
  auto end = [&](bool failed, const std::string& text) {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.ended = true;
    s.failed = failed;
    s.removed = text == "the device was removed";
    s.end_text = text;
  };
  while (!g_halt) {
    amxnet::Event& e = sub.next(100);
    if (e.kind == amxnet::Event::Refused) return end(true, e.text);
    if (e.kind == amxnet::Event::End) return end(e.text != "the publisher stopped", e.text);
    Chunk c;
    if (e.kind == amxnet::Event::Header && !s.header) {
      const amxnet::Message& h = *e.msg;
      if (!h.identified)
        std::fprintf(stderr, "amxctl: warning: %s: %s\n", s.arg.c_str(), amxhost::kUnidentifiedWarning);
      AmxClockInit(&fit, h.rate);
      std::lock_guard<std::mutex> lock(s.mutex);
      s.info.channelCount = h.channels;
      s.info.voltsPerCount = h.volts_per_count;
      s.ident = AmxInternalInfoRecord{h.kind, h.revision};
      s.rate = static_cast<int>(h.rate);
      s.labels = h.labels;
      if (s.name.empty()) s.name = h.name;
      s.header = true;
      continue;
    }
    if (e.kind == amxnet::Event::Header && e.new_segment) {
      if (e.msg->channels != s.info.channelCount || static_cast<int>(e.msg->rate) != s.rate)
        return end(true, "restarted with other channels or another rate");
      c.mark = "restarted";
      c.reason = "missing";
    } else if (e.kind == amxnet::Event::Data) {
      const amxnet::Message& m = *e.msg;
      std::lock_guard<std::mutex> lock(s.mutex);
      s.lost_packets += m.lost_packets;
      for (const amxnet::Gap& g : m.gaps) {
        (g.kind == amxnet::Gap::Network ? s.network_lost : s.device_missing) += g.count;
        c.reason = g.kind == amxnet::Gap::Network ? "lost on the network" : "missing";
      }
      const int channels = s.info.channelCount;
      for (uint32_t i = 0; i < m.count; ++i) {
        const int32_t* f = m.frames.data() + static_cast<size_t>(i) * static_cast<size_t>(channels + 1);
        c.values.insert(c.values.end(), f, f + channels);
        c.numbers.push_back(static_cast<uint32_t>(m.first + i) & AMX_STATUS_SAMPLE_MASK);
      }
      c.times = m.stamps;
      if (m.count == 0 && !c.reason) continue;
    } else {
      continue;
    }
    held.push_back(std::move(c));
    if (!sub.clock.valid) continue;
    std::lock_guard<std::mutex> lock(s.mutex);
    for (Chunk& h : held) {
      if (!h.times.empty()) AmxClockAdd(&fit, h.numbers.front(), h.numbers.back(), h.times.back());
      for (double& t : h.times) t = sub.clock.to_local(t);
      h.origin = fit.origin;
      s.chunks.push_back(std::move(h));
    }
    held.clear();
    s.clock = fit;
    s.line = sub.clock;  // the line alone, not its probes
    s.offset = sub.clock.offset_at(amxnet::steady_now());
    s.bound = sub.clock.bound;
  }
}
#endif

// The grid: rows of every source's channels from slot `base` on, written to
// the file in order once every source has passed them (or left them empty).
struct Grid {
  amxhost::BdfRecorder file;
  int channels = 0, rate = 0;
  double t0 = 0;       // slot 0's host time
  uint64_t limit = 0;  // the slots to record (0: until stopped)
  uint64_t base = 0;
  std::deque<std::vector<int32_t>> rows;

  int32_t* row(uint64_t slot)
  {
    while (base + rows.size() <= slot) rows.emplace_back(static_cast<size_t>(channels), amxhost::kMissingSample);
    return rows[slot - base].data();
  }
  // The slots whose times lie before t.
  uint64_t slot_before(double t) const { return t > t0 ? static_cast<uint64_t>((t - t0) * rate) : 0; }
};

// A gap of s that has ended (or the recording did): one annotation at its
// first slot.
bool close_gap(Grid& g, Source& s)
{
  if (!s.in_gap) return true;
  s.in_gap = false;
  ++s.gaps;
  return g.file.mark_at(s.gap_from, s.name + ": " + std::to_string(s.gap_frames) + " frames " +
                                        (s.gap_reason ? s.gap_reason : "without data"));
}

void leave_empty(Source& s, uint64_t slots)
{
  if (!s.in_gap) {
    s.in_gap = true;
    s.gap_from = s.next;
    s.gap_frames = 0;
  }
  s.gap_frames += slots;
  s.filled += slots;
  s.next += slots;
}

// The main thread takes what the source's thread handed over, with the
// newest fit (s.mutex held, or the thread ended).
void take_chunks(Source& s)
{
  for (Chunk& c : s.chunks) s.pending.push_back(std::move(c));
  s.chunks.clear();
  s.fit = s.clock;
#ifdef AMXCTL_HAVE_NET
  s.fit_line = s.line;
#endif
}

// Frame i of chunk c of s on this host's clock: by the source's newest fit
// when the chunk belongs to it, else as it came.
double frame_time(const Source& s, const Chunk& c, size_t i)
{
  if (c.numbers.empty() || !s.fit.started || s.fit.origin != c.origin) return c.times[i];
  const double t = AmxClockTime(&s.fit, c.numbers[i]);
#ifdef AMXCTL_HAVE_NET
  if (s.stream) return s.fit_line.to_local(t);
#endif
  return t;
}

// Places one frame of s (its values, its host time) on the grid.
bool place(Grid& g, Source& s, const int32_t* values, double t)
{
  if (g.limit && s.next >= g.limit) return true;  // after the recording's end
  const int n = static_cast<int>(s.labels.size());
  const double off = (t - g.t0) * g.rate - static_cast<double>(s.next);  // samples late for its slot
  if (off < -kSlack) {
    ++s.dropped;
    return true;
  }
  // A source's first frame, and its first after a stretch without frames, go
  // to the slot nearest their time: starting up to kSlack late would leave a
  // source with a steady clock that close to repeating a sample, and a little
  // noise of its fit would then move it a whole sample for the rest.
  const bool resumes = s.last.empty() || s.in_gap || s.gap_reason;
  if (off > (resumes ? 0.5 : kSlack)) {
    const uint64_t slots = static_cast<uint64_t>(std::llround(off));
    if (slots == 1 && !resumes) {
      std::copy(s.last.begin(), s.last.end(), g.row(s.next) + s.first_channel);
      ++s.repeated;
      ++s.next;
    } else {
      leave_empty(s, g.limit ? std::min(slots, g.limit - s.next) : slots);
      if (g.limit && s.next >= g.limit) return true;
    }
  }
  std::copy(values, values + n, g.row(s.next) + s.first_channel);
  s.last.assign(values, values + n);
  ++s.next;
  ++s.placed;
  const bool ok = close_gap(g, s);
  s.gap_reason = nullptr;
  return ok;
}

// Places the frames of s that are kHold old (all when finishing); a frame
// timed more than kSilent ahead of now (a publisher's clock gone astray)
// is dropped rather than leaving that much of the file empty.
bool place_pending(Grid& g, Source& s, double now, bool finishing)
{
  const size_t n = s.labels.size();
  while (!s.pending.empty()) {
    Chunk& c = s.pending.front();
    if (s.cursor == 0) {
      if (c.reason) s.gap_reason = c.reason;
      if (!c.mark.empty() && !g.file.mark_at(s.next, s.name + ": " + c.mark)) return false;
      c.mark.clear();
    }
    for (; s.cursor < c.times.size(); ++s.cursor) {
      if (!finishing && now - c.times[s.cursor] < kHold) return true;
      const double t = frame_time(s, c, s.cursor);
      if (t > now + kSilent)
        ++s.dropped;
      else if (!place(g, s, c.values.data() + s.cursor * n, t))
        return false;
    }
    s.pending.pop_front();
    s.cursor = 0;
  }
  return true;
}

// Writes the rows before slot end; a source that has not reached one leaves
// it empty.
bool write_rows(Grid& g, std::deque<Source>& sources, uint64_t end)
{
  for (; g.base < end; ++g.base) {
    for (Source& s : sources)
      if (s.next <= g.base) leave_empty(s, g.base + 1 - s.next);
    if (!g.file.add(g.row(g.base))) return false;
    g.rows.pop_front();
  }
  return true;
}

const std::map<std::string, bool> kOptions = {{"rate", true},    {"back", true},   {"keys", true},  {"name", true},
                                              {"seconds", true}, {"quiet", false}, {"force", false}};

}  // namespace

bool records_several(int argc, char** argv)
{
  Args args;
  std::string error;
  return amxhost::parse_args(argc, argv, kOptions, args, error) && args.positional.size() > 2;
}

int cmd_record_multi(int argc, char** argv)
{
  Args args;
  bool done;
  if (int rc = parse_command(argc, argv, kOptions, 3, 33, args, done); rc || done) return rc;
  double seconds = 0;
  long long rate_arg = 0;
  if (int rc = parse_seconds(args, 0, seconds)) return rc;
  if (int rc = parse_rate(args, rate_arg)) return rc;
  const std::string path = args.positional.back();
  std::deque<Source> sources;
  for (size_t i = 0; i + 1 < args.positional.size(); ++i) sources.emplace_back().arg = args.positional[i];
  const std::vector<std::string> names = args.has("name") ? args.options.at("name") : std::vector<std::string>{};
  if (names.size() > sources.size()) return bad_argument("more --name options than sources");
  for (size_t i = 0; i < names.size(); ++i) {
    if (names[i].empty() || names[i].size() > 12 || names[i].find(':') != std::string::npos)
      return bad_argument("a source's name has 1 to 12 characters and no ':'");
    if (std::count(names.begin(), names.begin() + static_cast<long>(i), names[i]))
      return bad_argument("source name \"" + names[i] + "\" given twice");
    sources[i].name = names[i];
  }

  // Streams: where they are, and the keys for each (one folder for all, or
  // one per stream in order).
  std::string error;
#ifdef AMXCTL_HAVE_NET
  size_t streams = 0;
  for (Source& s : sources) s.stream = amxnet::names_stream(s.arg);
  for (Source& s : sources) streams += s.stream;
  const std::vector<std::string> keys = args.has("keys") ? args.options.at("keys") : std::vector<std::string>{};
  if (keys.size() > 1 && keys.size() != streams)
    return bad_argument("give one --keys for all streams or one per stream");
  double back = 0;
  if (args.has("back") && args.last("back") != "all" &&
      (!parse_double(args.last("back"), back) || back < 0 || back > 86400))
    return bad_argument("--back is seconds (at most 86400) or \"all\"");
  size_t k = 0;
  for (Source& s : sources) {
    if (!s.stream) continue;
    s.options.back_ms = args.last("back") == "all" ? amxnet::kBackAll : static_cast<uint32_t>(back * 1000);
    if (!keys.empty() && !amxnet::load_keys(keys[keys.size() == 1 ? 0 : k], true, s.options.keys, error))
      return fail(error);
    // As for one stream: a malformed address is a bad argument, a name nobody
    // announces (or announces at odds with the keys) a failure.
    if (!amxnet::resolve_stream(s.arg, s.options, error))
      return s.arg.rfind("tcp://", 0) == 0 ? bad_argument(error) : fail(error);
    ++k;
  }
#else
  if (args.has("keys") || args.has("back")) return bad_argument("this build records no streams (--keys, --back)");
#endif
  if (int rc = refuse_output(path, args.has("force"))) return rc;

  // Local amplifiers are set up here, streams on their threads (their headers).
  for (Source& s : sources) {
    if (s.stream) continue;
    if (int rc = open_device(s.arg, s.id)) return rc;
    if (int rc = set_up(s.id, rate_arg, s.info, s.rate)) return rc;
    AmxInternalInfoRecord ident{};
    AmxInternalInfo(s.id, &ident, sizeof ident);
    s.ident = ident;
    for (int c = 1; c <= s.info.channelCount; ++c) s.labels.push_back("Ch" + std::to_string(c));
    s.header = true;
  }
  g_halt = false;
  int rc = 0;
  auto stop_all = [&] {
    g_halt = true;
    for (Source& s : sources)
      if (s.thread.joinable()) s.thread.join();
  };
  for (Source& s : sources)
#ifdef AMXCTL_HAVE_NET
    s.thread = std::thread(s.stream ? run_stream : run_local, std::ref(s));
#else
    s.thread = std::thread(run_local, std::ref(s));
#endif

  // Every source's channels, rate and names before the file is set up.
  const double t_start = amxhost::now_seconds();
  for (Source& s : sources) {
    while (true) {
      std::unique_lock<std::mutex> lock(s.mutex);
      if (s.header) break;
      if (s.ended)
        rc = fail(s.arg + ": " + s.end_text);
      else if (amxhost::now_seconds() - t_start > 10)
        rc = fail("no stream from " + s.arg + " within 10 s");
      lock.unlock();
      if (rc || amxhost::g_stop) return stop_all(), rc ? rc : kExitFailed;
      amxhost::sleep_ms(10);
    }
  }
  std::set<std::string> taken;
  int channels = 0;
  for (size_t i = 0; i < sources.size(); ++i) {
    Source& s = sources[i];
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.name.empty() || s.name.size() > 12 || s.name.find(':') != std::string::npos)
      s.name = s.stream ? "s" + std::to_string(i + 1) : "amp" + s.arg;
    if (!taken.insert(s.name).second) s.name += "-" + std::to_string(i + 1);
    taken.insert(s.name);
    if (s.rate != sources[0].rate) {
      rc = bad_argument(sources[0].arg + " runs at " + std::to_string(sources[0].rate) + " samples/s and " + s.arg +
                        " at " + std::to_string(s.rate) +
                        ": the sources need one rate (--rate for local amplifiers, serve --rate for streams)");
      break;
    }
    s.first_channel = channels;
    channels += s.info.channelCount;
    for (std::string& label : s.labels) {
      label = s.name + ":" + label;
      if (label.size() > 16)
        rc = bad_argument("the signal label " + label +
                          " is longer than 16 characters: name the source shorter with --name");
    }
  }
  if (rc) return stop_all(), rc;

  Grid g;
  g.channels = channels;
  g.rate = sources[0].rate;
  AmxDeviceInfo info = sources[0].info;
  info.channelCount = channels;
  AmxInternalInfoRecord ident = sources[0].ident;
  for (const Source& s : sources)
    if (!amxhost::identified(s.ident)) ident = s.ident;
  bool ok = g.file.open(path, info, ident, g.rate, args.has("force"));
  for (Source& s : sources)
    for (int c = 0; ok && c < s.info.channelCount; ++c)
      ok = g.file.set_label(s.first_channel + c, s.labels[static_cast<size_t>(c)]) &&
           g.file.set_scale(s.first_channel + c, s.info.voltsPerCount);
  if (!ok) return stop_all(), fail(g.file.error().empty() ? "cannot set up " + path : g.file.error());

  // The grid begins at the earliest first frame of all sources.
  const uint64_t limit = seconds > 0 ? static_cast<uint64_t>(std::llround(seconds * g.rate)) : 0;
  g.limit = limit;
  const bool quiet = args.has("quiet"), tty = isatty(2);
  bool started = false, failed = false, removed = false;
  std::string why;
  double last_status = amxhost::now_seconds();
  auto status_line = [&](bool final) {
    if (quiet) return;
    std::fprintf(stderr, "%srecorded %llu frames (%.1f s)", tty ? "\r" : "", static_cast<unsigned long long>(g.base),
                 static_cast<double>(g.base) / g.rate);
    for (const Source& s : sources)
      std::fprintf(stderr, "; %s: %llu repeated, %llu dropped, %llu missing", s.name.c_str(),
                   static_cast<unsigned long long>(s.repeated), static_cast<unsigned long long>(s.dropped),
                   static_cast<unsigned long long>(s.filled));
    std::fprintf(stderr, "%s", tty && !final ? "   " : "\n");
  };
  while (ok && !amxhost::g_stop && (limit == 0 || g.base < limit)) {
    amxhost::sleep_ms(10);
    const double now = amxhost::now_seconds();
    bool ended = false, all_have = true;
    double first = INFINITY, reached = INFINITY;  // the earliest first and newest frames' stamps
    for (Source& s : sources) {
      std::lock_guard<std::mutex> lock(s.mutex);
      take_chunks(s);
      if (s.ended) {
        ended = true;
        failed |= s.failed;
        removed |= s.removed;
        if (!s.end_text.empty()) why = s.name + ": " + s.end_text;
      }
      double t = INFINITY;
      for (const Chunk& c : s.pending)
        if (!c.times.empty()) {
          t = c.times[0];
          break;
        }
      all_have &= std::isfinite(t);
      first = std::min(first, t);
      t = -INFINITY;
      for (auto c = s.pending.rbegin(); c != s.pending.rend() && !std::isfinite(t); ++c)
        if (!c->times.empty()) t = c->times.back();
      reached = std::min(reached, t);
    }
    if (ended) break;
    if (!started) {
      if (now - t_start > kHold + 10) {
        why = "no frames from every source within " + std::to_string(static_cast<int>(kHold + 10)) + " s";
        failed = true;
        break;
      }
      if (!all_have || now - first < kHold) continue;
      // The earliest first frame, by the fits as they now stand.
      first = INFINITY;
      for (Source& s : sources)
        for (const Chunk& c : s.pending)
          if (!c.times.empty()) {
            first = std::min(first, frame_time(s, c, 0));
            break;
          }
      g.t0 = first;
      g.file.set_start(amxhost::wall_time(first));
      started = true;
    }
    // Once every source has sent frames beyond the limit, the rest is placed
    // at once rather than kHold later.
    if (limit && reached > g.t0 + static_cast<double>(limit + 1) / g.rate) break;
    for (Source& s : sources) ok = ok && place_pending(g, s, now, false);
    // Rows every source has passed, or that a source silent for kSilent
    // leaves empty; none younger than kHold.
    uint64_t end = UINT64_MAX;
    for (const Source& s : sources) end = std::min(end, s.next);
    end = std::min(std::max(end, g.slot_before(now - kSilent)), g.slot_before(now - kHold));
    if (limit) end = std::min(end, limit);
    ok = ok && write_rows(g, sources, std::max(end, g.base));
    if (now - last_status >= 1.0) {
      last_status = now;
      status_line(false);
    }
  }
  stop_all();
  // What came is placed; rows up to the furthest source are written (the
  // others' ends are gaps), or up to the limit.
  if (started) {
    for (Source& s : sources) {
      take_chunks(s);
      ok = ok && place_pending(g, s, amxhost::now_seconds(), true);
    }
    uint64_t end = g.base;
    for (const Source& s : sources) end = std::max(end, s.next);
    if (limit) end = std::min(end, limit);
    ok = ok && write_rows(g, sources, end);
    for (Source& s : sources) ok = close_gap(g, s) && ok;
  }
  status_line(true);
  if (!why.empty()) std::fprintf(stderr, "amxctl: %s: recording ended\n", why.c_str());
  const bool reported = !g.file.error().empty();
  if (!reported && !why.empty()) g.file.mark(why);
  const std::string stop = amxhost::g_stop ? "Recording stop (interrupted)"
                           : removed       ? "Device removed"
                           : failed        ? "Recording stop (failed)"
                                           : "Recording stop";
  rc = failed || reported ? kExitFailed : 0;
  if (!g.file.close(g.base, stop) && !reported) rc = fail(g.file.error());
  if (reported) std::fprintf(stderr, "amxctl: %s\n", g.file.error().c_str());
  std::fprintf(stderr, "%s: %llu frames (%.1f s) at %d samples/s from %zu sources", g.file.path().c_str(),
               static_cast<unsigned long long>(g.base), static_cast<double>(g.base) / g.rate, g.rate, sources.size());
  if (g.file.clipped())
    std::fprintf(stderr, ", %llu sample(s) beyond the BDF+ range clipped",
                 static_cast<unsigned long long>(g.file.clipped()));
  std::fprintf(stderr, "\n");
  for (const Source& s : sources) {
    std::fprintf(stderr,
                 "  %s (%s): %llu frames placed, %llu repeated, %llu dropped, %llu missing in %llu gap(s)%s, "
                 "%llu packet(s) lost",
                 s.name.c_str(), s.arg.c_str(), static_cast<unsigned long long>(s.placed),
                 static_cast<unsigned long long>(s.repeated), static_cast<unsigned long long>(s.dropped),
                 static_cast<unsigned long long>(s.filled), static_cast<unsigned long long>(s.gaps),
                 s.gaps ? " (annotated)" : "", static_cast<unsigned long long>(s.lost_packets));
    if (s.stream) {
      std::fprintf(stderr, ", %llu lost on the network", static_cast<unsigned long long>(s.network_lost));
      if (s.bound >= 0) std::fprintf(stderr, ", clock offset %+.6f s +- %.6f s", s.offset, s.bound);
    }
    std::fprintf(stderr, "\n");
  }
  return rc;
}

}  // namespace amxctl

#endif
