// amxnet publisher: streams kept for replay, one ROUTER socket for every
// subscriber, each subscriber sent data only as far as its credit goes (so a
// slow or stalled one costs the others nothing: its cursor just falls behind,
// and what leaves the buffer before it gets it is reported to it as a gap).
#include "amxnet.h"

#include <zmq.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <random>
#include <thread>

namespace amxnet {

namespace {
constexpr double kSilentLimit = 2.5;  // seconds without a message: the subscriber is gone
constexpr uint32_t kMergeFrames = 200;

uint64_t new_stream_id()
{
  std::random_device device;
  std::mt19937_64 mix((static_cast<uint64_t>(device()) << 32) ^ device() ^
                      static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()));
  uint64_t id = 0;
  while (id == 0) id = mix();
  return id;
}
}  // namespace

Publisher::Publisher(double buffer_seconds, PublisherClock clock) : buffer_seconds_(buffer_seconds), clock_(clock)
{
  if (clock_.origin == 0) clock_.origin = steady_now();
  context_ = zmq_ctx_new();
  router_ = zmq_socket(context_, ZMQ_ROUTER);
  int on = 1, zero = 0, hwm = 100000;
  // Sends to a subscriber that left fail instead of vanishing; the credit keeps
  // each subscriber's queue far below the high-water mark.
  zmq_setsockopt(router_, ZMQ_ROUTER_MANDATORY, &on, sizeof on);
  zmq_setsockopt(router_, ZMQ_SNDHWM, &hwm, sizeof hwm);
  zmq_setsockopt(router_, ZMQ_RCVHWM, &hwm, sizeof hwm);
  zmq_setsockopt(router_, ZMQ_LINGER, &zero, sizeof zero);
  const std::string wake = "inproc://amxnet-wake-" + std::to_string(reinterpret_cast<uintptr_t>(this));
  wake_in_ = zmq_socket(context_, ZMQ_PULL);
  wake_out_ = zmq_socket(context_, ZMQ_PUSH);
  int one = 1;
  zmq_setsockopt(wake_out_, ZMQ_SNDHWM, &one, sizeof one);
  zmq_setsockopt(wake_out_, ZMQ_LINGER, &zero, sizeof zero);
  zmq_setsockopt(wake_in_, ZMQ_LINGER, &zero, sizeof zero);
  zmq_bind(wake_in_, wake.c_str());
  zmq_connect(wake_out_, wake.c_str());
  // Failed handshakes (no key, a key not let in, another kind of security)
  // go to the log; otherwise ZeroMQ would drop such connections silently.
  const std::string monitor = "inproc://amxnet-monitor-" + std::to_string(reinterpret_cast<uintptr_t>(this));
  zmq_socket_monitor(router_, monitor.c_str(),
                     ZMQ_EVENT_HANDSHAKE_FAILED_NO_DETAIL | ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL);
  monitor_ = zmq_socket(context_, ZMQ_PAIR);
  zmq_setsockopt(monitor_, ZMQ_LINGER, &zero, sizeof zero);
  zmq_connect(monitor_, monitor.c_str());
}

Publisher::~Publisher()
{
  zmq_socket_monitor(router_, nullptr, 0);
  zmq_close(monitor_);
  if (zap_) zmq_close(zap_);
  zmq_close(wake_out_);
  zmq_close(wake_in_);
  zmq_close(router_);
  zmq_ctx_term(context_);
}

bool Publisher::bind(const std::string& endpoint, std::string& error)
{
  if (zmq_bind(router_, endpoint.c_str()) != 0) {
    error = "cannot serve on " + endpoint + ": " + zmq_strerror(zmq_errno());
    return false;
  }
  char last[256] = {};
  size_t size = sizeof last;
  zmq_getsockopt(router_, ZMQ_LAST_ENDPOINT, last, &size);
  endpoint_ = last;
  return true;
}

bool Publisher::secure(const Keys& keys, std::string& error)
{
  // The ZAP handler must be bound before the router accepts anyone, or
  // ZeroMQ would let CURVE clients in unchecked.
  zap_ = zmq_socket(context_, ZMQ_REP);
  int zero = 0, on = 1;
  zmq_setsockopt(zap_, ZMQ_LINGER, &zero, sizeof zero);
  if (zmq_bind(zap_, "inproc://zeromq.zap.01") != 0 || zmq_setsockopt(router_, ZMQ_CURVE_SERVER, &on, sizeof on) != 0 ||
      zmq_setsockopt(router_, ZMQ_CURVE_SECRETKEY, keys.secret_key.c_str(), 40) != 0 ||
      zmq_setsockopt(router_, ZMQ_ZAP_DOMAIN, "amxnet", 6) != 0) {
    error = std::string("cannot set up keys: ") + zmq_strerror(zmq_errno());
    return false;
  }
  allowed_ = keys.allowed;
  return true;
}

// One ZAP request: a CURVE client's public key is let in only if allowed.
// Called by serve() with mutex_ held.
void Publisher::on_zap()
{
  std::vector<std::string> parts;
  int more = 1;
  size_t more_size = sizeof more;
  while (more && parts.size() < 16) {
    zmq_msg_t part;
    zmq_msg_init(&part);
    if (zmq_msg_recv(&part, zap_, ZMQ_DONTWAIT) < 0) {
      zmq_msg_close(&part);
      return;
    }
    parts.emplace_back(static_cast<const char*>(zmq_msg_data(&part)), zmq_msg_size(&part));
    zmq_msg_close(&part);
    zmq_getsockopt(zap_, ZMQ_RCVMORE, &more, &more_size);
  }
  // version, request id, domain, address, routing id, mechanism, credentials
  bool ok = false;
  std::string fingerprint = "none";
  if (parts.size() == 7 && parts[5] == "CURVE" && parts[6].size() == 32) {
    char z85[41];
    zmq_z85_encode(z85, reinterpret_cast<const uint8_t*>(parts[6].data()), 32);
    fingerprint = key_fingerprint(z85);
    ok = std::find(allowed_.begin(), allowed_.end(), std::string(z85)) != allowed_.end();
  }
  if (!ok)
    log_.push_back("refused a subscriber at " + (parts.size() > 3 ? parts[3] : std::string("?")) + ": its key " +
                   fingerprint + " is not among the allowed keys");
  const std::string reply[] = {
      "1.0", parts.size() > 1 ? parts[1] : "", ok ? "200" : "400", ok ? "OK" : "key not allowed", "", ""};
  for (size_t i = 0; i < 6; ++i) zmq_send(zap_, reply[i].data(), reply[i].size(), i < 5 ? ZMQ_SNDMORE : 0);
}

// One event of the router's monitor (two parts: event and value, endpoint).
// Called by serve() with mutex_ held.
void Publisher::on_monitor()
{
  uint8_t event[6] = {};
  char address[256] = {};
  if (zmq_recv(monitor_, event, sizeof event, ZMQ_DONTWAIT) < 0) return;
  const int n = zmq_recv(monitor_, address, sizeof address - 1, ZMQ_DONTWAIT);
  if (n > 0) address[std::min<int>(n, sizeof address - 1)] = 0;
  uint32_t value;
  std::memcpy(&value, event + 2, 4);
  log_.push_back(
      value == ZMQ_PROTOCOL_ERROR_ZMTP_MECHANISM_MISMATCH
          ? std::string(zap_ ? "refused a subscriber without keys"
                             : "refused a subscriber with keys (this publisher serves without)")
      : value == ZMQ_PROTOCOL_ERROR_ZMTP_CRYPTOGRAPHIC
          ? std::string("refused a subscriber that expects another publisher key (its server.key is not ours)")
      : zap_ ? std::string("a subscriber broke off the secure handshake: it came without keys, or with another "
                           "publisher's key")
             : std::string("a subscriber broke off the handshake: it came with keys (this publisher serves without)"));
}

int Publisher::add_stream(const StreamInfo& info)
{
  std::lock_guard<std::mutex> lock(mutex_);
  streams_.emplace_back();
  streams_.back().info = info;
  streams_.back().id = new_stream_id();
  return static_cast<int>(streams_.size()) - 1;
}

uint64_t Publisher::stream_id(int stream) const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return streams_[static_cast<size_t>(stream)].id;
}

void Publisher::push(int stream, uint64_t first, const int32_t* frames, const double* stamps, uint32_t count)
{
  if (count == 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  Stream& st = streams_[static_cast<size_t>(stream)];
  const size_t words = static_cast<size_t>(st.info.channels) + 1;
  Block b;
  b.first = first;
  b.count = count;
  b.lost_packets = st.pending_lost;
  b.frames.assign(frames, frames + count * words);
  b.stamps.resize(count);
  for (uint32_t i = 0; i < count; ++i) b.stamps[i] = clock_.at(stamps[i]);
  b.gaps.swap(st.pending_gaps);
  st.pending_lost = 0;
  st.next = first + count;
  st.blocks.push_back(std::move(b));
  trim(st);
  zmq_send(wake_out_, "", 0, ZMQ_DONTWAIT);  // a wake already pending is enough
}

void Publisher::device_gap(int stream, uint64_t first, uint64_t count)
{
  if (count == 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  Stream& st = streams_[static_cast<size_t>(stream)];
  st.pending_gaps.push_back({first, count, Gap::Device});
}

void Publisher::lost_packets(int stream, uint32_t packets)
{
  std::lock_guard<std::mutex> lock(mutex_);
  streams_[static_cast<size_t>(stream)].pending_lost += packets;
}

void Publisher::end(int stream, const std::string& reason)
{
  std::lock_guard<std::mutex> lock(mutex_);
  Stream& st = streams_[static_cast<size_t>(stream)];
  st.ended = true;
  st.end_reason = reason;
  zmq_send(wake_out_, "", 0, ZMQ_DONTWAIT);
}

void Publisher::trim(Stream& st)
{
  const uint64_t keep = static_cast<uint64_t>(std::llround(buffer_seconds_ * st.info.rate));
  while (!st.blocks.empty() && st.next - st.blocks.front().first - st.blocks.front().count >= keep) {
    st.blocks.pop_front();
    st.oldest = st.blocks.empty()                ? st.next
                : st.blocks.front().gaps.empty() ? st.blocks.front().first
                                                 : st.blocks.front().gaps.front().first;
  }
}

void Publisher::send(const std::string& peer, const Message& m)
{
  buffer_.clear();
  std::string error;
  if (!encode(m, buffer_, error)) return;
  if (zmq_send(router_, peer.data(), peer.size(), ZMQ_SNDMORE | ZMQ_DONTWAIT) < 0) return;
  zmq_send(router_, buffer_.data(), buffer_.size(), ZMQ_DONTWAIT);
}

void Publisher::drop(const std::string& peer, const std::string& why)
{
  auto it = sessions_.find(peer);
  if (it == sessions_.end()) return;
  const Session& s = it->second;
  log_.push_back("subscriber " + std::to_string(s.number) + " of " + streams_[static_cast<size_t>(s.stream)].info.name +
                 " " + why + ": " + std::to_string(s.sent) + " frames sent, " + std::to_string(s.lost) + " lost");
  sessions_.erase(it);
}

// Called by serve() with mutex_ held.
void Publisher::on_message(const std::string& peer, const uint8_t* data, size_t size)
{
  const double received = clock_.at(steady_now());
  Message m;
  std::string error;
  auto it = sessions_.find(peer);
  if (!decode(data, size, m, error)) {
    refused_.add(error);
    Message refusal;
    refusal.type = MsgType::Refused;
    refusal.reason = "the publisher refused a message: " + error;
    // A subscriber of another version hears why before anything else.
    if (it == sessions_.end()) send(peer, refusal);
    return;
  }
  if (it != sessions_.end()) it->second.heard = steady_now();
  switch (m.type) {
    case MsgType::Hello: {
      int found = -1;
      std::string names;
      for (size_t i = 0; i < streams_.size(); ++i) {
        if (found < 0 && (m.name.empty() || streams_[i].info.name == m.name)) found = static_cast<int>(i);
        names += (names.empty() ? "" : ", ") + streams_[i].info.name;
      }
      if (found < 0) {
        Message refusal;
        refusal.type = MsgType::Refused;
        refusal.reason = "no stream \"" + m.name + "\" here (streams: " + names + ")";
        send(peer, refusal);
        return;
      }
      Stream& st = streams_[static_cast<size_t>(found)];
      Session s;
      s.number = next_session_++;
      s.stream = found;
      s.credit = m.credit;
      s.heard = steady_now();
      if (m.resume_id == st.id && m.resume_from > 0) {
        s.cursor = std::min(m.resume_from, st.next);  // what is older than the buffer goes out as a gap
      } else if (m.resume_id != 0 || m.back_ms == kBackAll) {
        s.cursor = st.oldest;  // a restarted stream: all of the new one that is kept
      } else {
        const uint64_t back = static_cast<uint64_t>(m.back_ms) * static_cast<uint64_t>(st.info.rate) / 1000;
        s.cursor = std::max(st.oldest, st.next > back ? st.next - back : 1);
      }
      sessions_[peer] = s;
      log_.push_back("subscriber " + std::to_string(s.number) + " of " + st.info.name + " from sample " +
                     std::to_string(s.cursor));
      Message h;
      h.type = MsgType::Header;
      h.stream_id = st.id;
      h.name = st.info.name;
      h.host = st.info.host;
      h.kind = st.info.kind;
      h.revision = st.info.revision;
      h.cal1 = st.info.cal1;
      h.cal2 = st.info.cal2;
      h.identified = st.info.identified;
      h.channels = st.info.channels;
      h.rate = static_cast<uint32_t>(st.info.rate);
      h.volts_per_count = st.info.volts_per_count;
      h.unit = st.info.unit;
      h.invalid_marker = st.info.invalid_marker;
      h.buffer_ms = static_cast<uint32_t>(std::llround(buffer_seconds_ * 1000));
      h.start = s.cursor;
      h.labels = st.info.labels;
      send(peer, h);
      break;
    }
    case MsgType::Credit:
      // (saturating: a subscriber's credit never wraps round to nothing)
      if (it != sessions_.end()) it->second.credit += std::min(m.credit, UINT32_MAX - it->second.credit);
      break;
    case MsgType::Ping: {
      if (it == sessions_.end()) return;
      Message pong;
      pong.type = MsgType::Pong;
      pong.probe = m.probe;
      pong.t0 = m.t0;
      pong.t1 = received;
      if (!it->second.pinged && clock_.first_ping_late > 0) {
        std::this_thread::sleep_for(std::chrono::duration<double>(clock_.first_ping_late));
        pong.t1 = clock_.at(steady_now());
      }
      it->second.pinged = true;
      pong.t2 = clock_.at(steady_now());
      send(peer, pong);
      break;
    }
    case MsgType::Bye:
      drop(peer, it != sessions_.end() && it->second.ended ? "received the stream's end" : "left");
      break;
    default: refused_.add("a publisher's message sent to the publisher"); break;
  }
}

bool Publisher::send_data(const std::string& peer, Session& s)
{
  Stream& st = streams_[static_cast<size_t>(s.stream)];
  Message m;
  m.type = MsgType::Data;
  m.stream_id = st.id;
  m.channels = st.info.channels;
  m.seq = s.seq + 1;
  uint64_t at = s.cursor;
  if (at < st.oldest) {
    m.gaps.push_back({at, st.oldest - at, Gap::Network});
    at = st.oldest;
  }
  // The first block that reaches past the cursor (blocks ascend by first).
  auto b = std::upper_bound(st.blocks.begin(), st.blocks.end(), at,
                            [](uint64_t v, const Block& x) { return v < x.first + x.count; });
  if (b != st.blocks.end()) {
    for (const Gap& g : b->gaps)
      if (g.first + g.count > at) m.gaps.push_back({std::max(g.first, at), g.first + g.count - std::max(g.first, at)});
    const uint64_t from = std::max(at, b->first);
    const size_t skip = static_cast<size_t>(from - b->first), words = static_cast<size_t>(m.channels) + 1;
    m.first = from;
    m.count = b->count - static_cast<uint32_t>(skip);
    m.lost_packets = skip == 0 ? b->lost_packets : 0;
    m.frames.assign(b->frames.begin() + static_cast<long>(skip * words), b->frames.end());
    m.stamps.assign(b->stamps.begin() + static_cast<long>(skip), b->stamps.end());
    // A subscriber that is behind (a replay) gets the following blocks in the
    // same message, up to kMergeFrames, as long as nothing lies between them:
    // its credit then carries it through the backlog in few round trips, and
    // a message stays small enough to cross a slow link well within the
    // subscriber's liveness limit.
    for (++b; b != st.blocks.end() && b->gaps.empty() && b->lost_packets == 0 && b->first == m.first + m.count &&
              m.count < kMergeFrames;
         ++b) {
      m.count += b->count;
      m.frames.insert(m.frames.end(), b->frames.begin(), b->frames.end());
      m.stamps.insert(m.stamps.end(), b->stamps.begin(), b->stamps.end());
    }
    // No more frames than the credit allows.
    if (m.count > s.credit) {
      m.count = s.credit;
      m.frames.resize(m.count * words);
      m.stamps.resize(m.count);
    }
  }
  if (m.gaps.empty() && m.count == 0) return false;
  buffer_.clear();
  std::string error;
  if (!encode(m, buffer_, error)) return false;
  if (zmq_send(router_, peer.data(), peer.size(), ZMQ_SNDMORE | ZMQ_DONTWAIT) < 0 ||
      zmq_send(router_, buffer_.data(), buffer_.size(), ZMQ_DONTWAIT) < 0) {
    if (zmq_errno() == EHOSTUNREACH) s.heard = -1e300;  // gone: dropped below
    return false;
  }
  s.seq = m.seq;
  s.credit -= m.count;
  for (const Gap& g : m.gaps)
    if (g.kind == Gap::Network) s.lost += g.count, lost_total_ += g.count;
  s.sent += m.count;
  sent_total_ += m.count;
  s.cursor = m.count > 0 ? m.first + m.count : m.gaps.back().first + m.gaps.back().count;
  return true;
}

void Publisher::serve(int timeout_ms)
{
  zmq_pollitem_t items[] = {{router_, 0, ZMQ_POLLIN, 0},
                            {wake_in_, 0, ZMQ_POLLIN, 0},
                            {monitor_, 0, ZMQ_POLLIN, 0},
                            {zap_, 0, ZMQ_POLLIN, 0}};
  zmq_poll(items, zap_ ? 4 : 3, timeout_ms);
  char none;
  while (zmq_recv(wake_in_, &none, 0, ZMQ_DONTWAIT) >= 0) {}
  // Messages are handled under the lock (the streams' buffers are read), at
  // most a bounded number per round, so sending is never starved.
  std::lock_guard<std::mutex> lock(mutex_);
  for (int n = 0; n < 100 && (items[2].revents & ZMQ_POLLIN); ++n) {
    int events = 0;
    size_t size = sizeof events;
    zmq_getsockopt(monitor_, ZMQ_EVENTS, &events, &size);
    if (!(events & ZMQ_POLLIN)) break;
    on_monitor();
  }
  for (int n = 0; zap_ && n < 100; ++n) {
    int events = 0;
    size_t size = sizeof events;
    zmq_getsockopt(zap_, ZMQ_EVENTS, &events, &size);
    if (!(events & ZMQ_POLLIN)) break;
    on_zap();
  }
  for (int n = 0; n < 1000; ++n) {
    zmq_msg_t id, body;
    zmq_msg_init(&id);
    if (zmq_msg_recv(&id, router_, ZMQ_DONTWAIT) < 0) {
      zmq_msg_close(&id);
      break;
    }
    const std::string peer(static_cast<const char*>(zmq_msg_data(&id)), zmq_msg_size(&id));
    zmq_msg_close(&id);
    zmq_msg_init(&body);
    if (zmq_msg_recv(&body, router_, ZMQ_DONTWAIT) >= 0) {
      int more = 0;
      size_t more_size = sizeof more;
      zmq_getsockopt(router_, ZMQ_RCVMORE, &more, &more_size);
      if (more) {
        refused_.add("a message of several parts");
        while (more && zmq_msg_recv(&body, router_, ZMQ_DONTWAIT) >= 0)
          zmq_getsockopt(router_, ZMQ_RCVMORE, &more, &more_size);
      } else {
        on_message(peer, static_cast<const uint8_t*>(zmq_msg_data(&body)), zmq_msg_size(&body));
      }
    }
    zmq_msg_close(&body);
  }

  const double now = steady_now();
  owed_ = 0;
  std::vector<std::string> gone;
  for (auto& [peer, s] : sessions_) {
    Stream& st = streams_[static_cast<size_t>(s.stream)];
    while (s.credit > 0 && s.cursor < st.next && send_data(peer, s)) {}
    if (now - s.heard > kSilentLimit) {
      gone.push_back(peer);
      continue;
    }
    owed_ += st.next - s.cursor;
    if (st.ended && s.cursor >= st.next && !s.ended) {
      // Kept until the subscriber says Bye (or falls silent): only then has
      // it surely received everything sent before.
      s.ended = true;
      Message e;
      e.type = MsgType::End;
      e.stream_id = st.id;
      e.reason = st.end_reason;
      send(peer, e);
    }
  }
  for (const std::string& peer : gone) {
    drop(peer, "gone (silent 2.5 s)");
  }
  subscribers_ = static_cast<int>(sessions_.size());
}

PublisherStatus Publisher::status() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  PublisherStatus s;
  s.subscribers = subscribers_;
  for (const Stream& st : streams_) s.produced += st.next - 1;
  s.sent = sent_total_;
  s.owed = owed_;
  s.lost = lost_total_;
  s.refused = refused_.total;
  return s;
}

std::vector<std::string> Publisher::take_log()
{
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> out;
  out.swap(log_);
  return out;
}

}  // namespace amxnet
