// amxview: a stream served across the network (amxctl serve) in place of a
// device. The subscriber runs on the Acquirer's thread and hands out frames,
// gaps and recordings as the acquisition loop does; the publishers'
// announcements are listened for on a thread of their own.
#include "viewer.h"

#include <chrono>

namespace amxview {

bool check_stream_source(const std::string& source, std::string& error)
{
  if (!amxnet::names_stream(source)) {
    error = "\"" + source + "\" names a local amplifier, not a stream (tcp://HOST:PORT[/NAME] or a NAME)";
    return false;
  }
  // An address is checked as it stands; a bare name is looked for when subscribing.
  std::string endpoint, name;
  return source.rfind("tcp://", 0) != 0 || amxnet::parse_address(source, endpoint, name, error);
}

bool load_stream_keys(const std::string& dir, amxnet::Keys& keys, std::string& error)
{
  return amxnet::load_keys(dir, true, keys, error);
}

bool Acquirer::start_remote(const std::string& source, const amxnet::Keys& keys, std::string& error)
{
  stop();
  if (!check_stream_source(source, error)) return false;
  id = 0;
  channels = rate = 0;
  impedance = false;
  source_ = source;
  keys_ = keys;
  stop_ = false;
  result = 0;
  frames = missing = 0;
  lost_packets = 0;
  removed = false;
  header_waiting_ = false;
  queued_.clear();
  queued_losses_.clear();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    remote_ = RemoteStatus{};
    remote_.secure = !keys.server_key.empty();
    if (remote_.secure) remote_.server_key = amxnet::key_fingerprint(keys.server_key);
    header_new_ = false;
  }
  running = true;
  thread_ = std::thread([this] { run_remote(); });
  return true;
}

void Acquirer::end_remote(const std::string& why, bool refused)
{
  {
    std::lock_guard<std::mutex> lock(mutex_);
    remote_.ended = why;
    remote_.refused = refused;
  }
  // A publisher that stopped, or an unplugged amplifier, is no failure of the
  // stream (a recording's stop annotation says which).
  const bool failed =
      refused || why == "the stream ended: the device failed" || why.rfind("the restarted stream", 0) == 0;
  result = stop_ || !failed ? 0 : amxhost::kExitFailed;
  running = false;
}

void Acquirer::run_remote()
{
  amxnet::SubscriberOptions options;
  std::string error;
  // A bare name takes a round of listening of up to 2 s: here, not on the
  // window's thread (stop() waits for the round to end).
  // The keys first: a bare name's announcement must agree with them.
  options.keys = keys_;
  if (!amxnet::resolve_stream(source_, options, error)) return end_remote(error, true);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    remote_.endpoint = options.endpoint;
    remote_.name = options.name;
  }
  amxnet::Subscriber sub(options);
  amxhost::Acquisition a(0, 0, 0);  // the recording's view of the stream: channels and each block's times
  amxnet::Message layout;           // the first Header: what the page and a recording were set up for
  bool have_layout = false;
  while (!stop_) {
    amxnet::Event& e = sub.next(50);
    std::unique_lock<std::mutex> lock(mutex_);
    remote_.clock_valid = sub.clock.valid;
    if (sub.clock.valid) {
      remote_.offset = sub.clock.offset_at(amxnet::steady_now());
      remote_.bound = sub.clock.bound;
    }
    remote_.network = sub.lost;
    remote_.device = sub.missing;
    if (e.kind == amxnet::Event::Refused) {
      lock.unlock();
      return end_remote(e.text, true);
    }
    if (e.kind == amxnet::Event::End) {
      removed = e.text == "the device was removed";
      lock.unlock();
      return end_remote("the stream ended: " + e.text, false);
    }
    if (e.kind == amxnet::Event::LinkLost) {
      remote_.link = e.text;
      continue;
    }
    if (e.kind == amxnet::Event::None) continue;
    remote_.link.clear();
    if (e.kind == amxnet::Event::Header) {
      const amxnet::Message& h = *e.msg;
      remote_.host = h.host;
      if (!have_layout) {
        layout = h;  // handed out with the first data: a stream that only ends sets nothing up
      } else if (h.channels != layout.channels || h.rate != layout.rate ||
                 h.volts_per_count != layout.volts_per_count) {
        lock.unlock();
        return end_remote("the restarted stream has other channels or another rate", false);
      } else if (e.new_segment) {
        // A publisher restarted: the sample numbers begin anew, a line on the page marks it.
        queued_losses_.push_back({frames, 0, 0});
        if (recording_) recording_->mark("New segment (stream restarted)");
      }
      continue;
    }
    if (!have_layout) {
      have_layout = true;
      header_ = layout;
      header_new_ = true;
      header_waiting_ = true;
      a.channels = channels = layout.channels;
      rate = static_cast<int>(layout.rate);
      lock.unlock();
      // The window takes the Header within a frame of its loop.
      while (header_waiting_ && !stop_) std::this_thread::sleep_for(std::chrono::milliseconds(2));
      lock.lock();
    }
    // Data: the packets and gaps before its frames, then the frames.
    const amxnet::Message& m = *e.msg;
    uint64_t at = frames;
    if (m.lost_packets) {
      const int32_t packets = static_cast<int32_t>(std::min<uint32_t>(m.lost_packets, 1u << 30));
      queued_losses_.push_back({at, 0, packets});
      if (recording_) recording_->gap(0, packets);
      lost_packets = lost_packets + packets;
    }
    for (const amxnet::Gap& g : m.gaps) {
      const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(g.count, 1u << 30));
      queued_losses_.push_back({at, n, 0});
      if (recording_) recording_->gap(n, 0);
      at += n;
      missing = missing + n;
    }
    queued_.insert(queued_.end(), m.frames.begin(), m.frames.end());
    a.times = e.times;
    if (recording_ && m.count) recording_->add(a, m.frames.data(), static_cast<int>(m.count));
    // (until the clock's first fit, the times are the publisher's)
    if (m.count && sub.clock.valid) remote_.newest = e.times.back();
    frames = at + m.count;
  }
  end_remote("", false);
}

void Discovery::start()
{
  stop();
  stop_ = false;
  thread_ = std::thread([this] { run(); });
}

void Discovery::run()
{
  while (!stop_) {
    const double round = amxnet::steady_now();
    std::vector<amxnet::Announcement> found;
    std::string error;
    const bool ok = amxnet::discover(1.0, found, error);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      heard_.insert(heard_.end(), found.begin(), found.end());
      error_ = ok ? "" : error;
    }
    // Listening that fails at once is tried again a second later, not in a busy loop.
    while (!stop_ && amxnet::steady_now() - round < 1) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

}  // namespace amxview
