// amxnet: amplifier streams across machines on ZeroMQ, beside amxhost. A
// publisher serves streams of sample frames from a ROUTER socket; each
// subscriber (a DEALER) gets a stream's header, then numbered data messages
// as its credit allows, replayed from the publisher's buffer after a
// reconnect, with every frame it does not get reported as an exact gap. Both
// ends exchange heartbeats; the subscriber's pings double as clock probes.
// Portable C++17 on libzmq's stable API (Linux and mingw-w64 alike).
#pragma once
#include "wire.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace amxnet {

// ---- Times

// Seconds on the monotonic clock (the same clock as amxhost::now_seconds()).
double steady_now();

// A publisher's clock: the monotonic clock plus offset seconds, running ppm
// parts per million fast from the moment it was made. Only tests set these
// (AMXNET_TEST_CLOCK="OFFSET,PPM"); otherwise both are 0. Tests may also have
// each subscriber's first ping read first_ping_late seconds late
// (AMXNET_TEST_FIRST_PING_LATE), as a busy publisher's can be: that probe's
// offset is then wrong by half of it.
struct PublisherClock {
  double offset = 0, ppm = 0, origin = 0, first_ping_late = 0;
  double at(double steady) const { return steady + offset + ppm * 1e-6 * (steady - origin); }
};
// From text "OFFSET,PPM" (seconds, parts per million); false for anything else.
bool parse_test_clock(const char* text, PublisherClock& out);
// The test clock from AMXNET_TEST_CLOCK and AMXNET_TEST_FIRST_PING_LATE
// (origin now); plain when they are unset. False with error for a set but
// malformed variable.
bool test_clock_from_env(PublisherClock& out, std::string& error);

// The subscriber's estimate of publisher time minus its own: NTP-style probes
// (t0 sent, t1 received there, t2 answered there, t3 received back), the
// offset of each (t1 - t0 + t2 - t3) / 2 within half its round trip of the
// truth. A line (offset and drift) is fitted through the probes with the
// lower half of the round trips among the last kProbes; the bound is the
// largest distance of a fitted probe's interval from the line; the line alone
// (ClockLine) is what turns stamps into local times.
struct ClockLine {
  double ref = 0, offset = 0, drift = 0;
  double offset_at(double local) const { return offset + drift * (local - ref); }
  // A publisher time on the local clock.
  double to_local(double publisher) const;
};
struct ClockOffset : ClockLine {
  static constexpr size_t kProbes = 128;
  struct Probe {
    double at, offset, rtt;  // at: local time of the probe's midpoint
  };
  std::deque<Probe> probes;
  bool valid = false;
  double bound = 0, min_rtt = 0;
  void add(double t0, double t1, double t2, double t3);
  void reset() { *this = ClockOffset{}; }
};

// ---- Keys

// A key folder: its own key pair, and for a subscriber the publisher's public
// key, for a publisher the public keys of the subscribers it lets in.
constexpr const char* kSecretKeyFile = "secret.key";  // mode 0600
constexpr const char* kPublicKeyFile = "public.key";
constexpr const char* kServerKeyFile = "server.key";  // a copy of the publisher's public.key
constexpr const char* kAllowedFolder = "allowed";     // copies of subscribers' public.key, as NAME.key

// Keys as 40 Z85 characters each.
struct Keys {
  std::string public_key, secret_key;
  std::string server_key;            // a subscriber's
  std::vector<std::string> allowed;  // a publisher's
};
// A key pair into dir (made if missing); refuses to replace one. The public
// key's fingerprint in fingerprint.
bool generate_keys(const std::string& dir, std::string& fingerprint, std::string& error);
// The keys of dir (subscriber: its pair and server.key; publisher: its pair and
// allowed/*.key, at least one). False with error.
bool load_keys(const std::string& dir, bool subscriber, Keys& keys, std::string& error);
bool read_key(const std::string& path, std::string& z85, std::string& error);
// Both ends' keys on one machine in one step: the publisher's pair in
// server_dir (made if missing, else kept), a new subscriber pair in
// subscriber_dir, each trusting the other (server.key there,
// allowed/NAME.key here, NAME the subscriber folder's name). Refuses to
// replace any file. The subscriber folder then holds a secret key: it moves
// to the subscriber's machine only by a channel as trusted as the machine.
bool pair_keys(const std::string& server_dir, const std::string& subscriber_dir, std::string& server_fingerprint,
               std::string& subscriber_fingerprint, std::string& error);
// What people compare and logs show instead of a key: the first 10 bytes of
// the SHA-256 of the key's 32 bytes, as "3f2a:91c0:...". "?" for no key.
std::string key_fingerprint(const std::string& z85);

// ---- Publisher

// What a subscriber learns of a stream on connect (the Header's fields).
struct StreamInfo {
  std::string name, host;
  int32_t kind = 0, revision = 0, cal1 = 0, cal2 = 0;
  bool identified = false;
  int channels = 0, rate = 0;
  double volts_per_count = 0;
  std::string unit = "uV";
  int32_t invalid_marker = 0x7FFFFFFF;
  std::vector<std::string> labels;
};

// The publisher's counts for a status line.
struct PublisherStatus {
  int subscribers = 0;
  uint64_t produced = 0;  // frames of every stream so far
  uint64_t sent = 0;      // frames sent, to every subscriber
  uint64_t owed = 0;      // frames the subscribers have yet to get
  uint64_t lost = 0;      // frames reported to subscribers as not deliverable
  uint64_t refused = 0;   // messages refused (malformed, another version)
};

// The host's name, for the streams' headers.
std::string host_name();

class Publisher {
public:
  // buffer_seconds: how much of each stream is kept for replay.
  explicit Publisher(double buffer_seconds, PublisherClock clock = {});
  ~Publisher();
  Publisher(const Publisher&) = delete;
  Publisher& operator=(const Publisher&) = delete;

  // Binds endpoint ("tcp://127.0.0.1:5600"; port * picks a free one, see
  // endpoint()). False with error.
  bool bind(const std::string& endpoint, std::string& error);
  // Before bind(): only subscribers holding a key pair whose public key is in
  // keys.allowed get in, and every message is encrypted (CURVE, checked by a
  // ZAP handler that serve() answers). False with error.
  bool secure(const Keys& keys, std::string& error);
  std::string endpoint() const { return endpoint_; }
  // A stream (before serving starts): its index. Each gets a new random id.
  int add_stream(const StreamInfo& info);
  uint64_t stream_id(int stream) const;

  // From a stream's producing thread (any thread, one per stream): frames
  // consecutive from sample number first (channels + 1 words each) and their
  // stamps on the monotonic clock; gaps of the device before them; packets
  // the library reported lost.
  void push(int stream, uint64_t first, const int32_t* frames, const double* stamps, uint32_t count);
  void device_gap(int stream, uint64_t first, uint64_t count);
  void lost_packets(int stream, uint32_t packets);
  // The stream ends (device failed, stopping): subscribers get what is left,
  // then an End with reason.
  void end(int stream, const std::string& reason);

  // The network thread: waits up to timeout_ms for messages or new frames,
  // answers them and sends what the subscribers' credit allows.
  void serve(int timeout_ms);
  PublisherStatus status() const;
  // Lines about subscribers that came or left since the last call (for the
  // program's log): "subscriber 2 of lab gone (silent 2.5 s): 1200 frames, 0 lost".
  std::vector<std::string> take_log();
  const PublisherClock& clock() const { return clock_; }

private:
  struct Block {
    uint64_t first;
    uint32_t count, lost_packets;
    std::vector<int32_t> frames;
    std::vector<double> stamps;
    std::vector<Gap> gaps;  // device gaps between the previous block and this one
  };
  struct Stream {
    StreamInfo info;
    uint64_t id = 0;
    std::deque<Block> blocks;
    uint64_t next = 1;    // the sample number that comes next
    uint64_t oldest = 1;  // the oldest sample number still kept
    std::vector<Gap> pending_gaps;
    uint32_t pending_lost = 0;
    bool ended = false;
    std::string end_reason;
  };
  struct Session {
    int number = 0, stream = 0;
    uint64_t cursor = 0, seq = 0;
    uint32_t credit = 0;
    double heard = 0;
    uint64_t sent = 0, lost = 0;
    bool ended = false;   // the stream's End was sent
    bool pinged = false;  // a ping was answered
  };
  void on_message(const std::string& peer, const uint8_t* data, size_t size);
  void send(const std::string& peer, const Message& m);
  bool send_data(const std::string& peer, Session& s);  // false: stop sending to it for now
  void drop(const std::string& peer, const std::string& why);
  void trim(Stream& st);

  double buffer_seconds_;
  PublisherClock clock_;
  void* context_ = nullptr;
  void* router_ = nullptr;
  void* wake_in_ = nullptr;   // frames pushed wake serve() through this pair
  void* wake_out_ = nullptr;  // (guarded by mutex_)
  void* zap_ = nullptr;       // the ZAP handler's socket (secure only)
  void* monitor_ = nullptr;   // the router's failed handshakes
  std::vector<std::string> allowed_;
  void on_zap();
  void on_monitor();
  std::string endpoint_;
  mutable std::mutex mutex_;  // streams_ and wake_out_
  std::vector<Stream> streams_;
  std::map<std::string, Session> sessions_;  // by ROUTER identity
  int next_session_ = 1;
  uint64_t sent_total_ = 0, lost_total_ = 0, owed_ = 0;
  int subscribers_ = 0;
  std::vector<std::string> log_;
  std::vector<uint8_t> buffer_;
  Refusals refused_;
};

// ---- Finding streams

// A publisher's announcement of one stream, heard on the LAN. It carries no
// secret, and a subscriber never trusts its fingerprint alone.
struct Announcement {
  std::string name, host;  // the stream, and the publisher's host name
  std::string endpoint;    // tcp://ADDRESS:PORT: the sender's address and the announced port
  int channels = 0, rate = 0;
  bool secure = false;
  std::string fingerprint;  // the server key's (secure streams only)
  double heard_after = 0;   // seconds from the start of listening to its first beacon
};
// Every stream announced within seconds, each once. False with error when
// announcements cannot be heard at all.
bool discover(double seconds, std::vector<Announcement>& found, std::string& error);
// Whether a command-line source names a stream ("tcp://HOST:PORT[/NAME]" or a
// bare NAME) rather than a local amplifier ("ID" or "@INDEX").
bool names_stream(const std::string& source);
// "tcp://HOST:PORT[/NAME]" into the publisher's endpoint and the stream's name
// (empty: the publisher's first). False with error for anything else.
bool parse_address(const std::string& address, std::string& endpoint, std::string& name, std::string& error);

// Publishers announce each stream every kBeaconInterval seconds by UDP
// broadcast to port kBeaconPort, or AMXNET_BEACON_PORT where it is set.
constexpr int kBeaconPort = 5600;
constexpr double kBeaconInterval = 0.5;
// The UDP port of announcements; false with error for a malformed AMXNET_BEACON_PORT.
bool beacon_port(int& port, std::string& error);

// A publisher's announcements, one beacon per stream, until it is destroyed.
class Announcer {
public:
  Announcer() = default;
  ~Announcer();
  Announcer(const Announcer&) = delete;
  Announcer& operator=(const Announcer&) = delete;
  // Claims names for the streams served on bind (the beacons go out on the
  // interface of its address; any interface for "*"): announces the claims
  // and listens for a little over two beacon intervals. False with error when
  // another publisher on this host announces one of the names, or claimed it
  // first while this one listens. True with note set
  // when nothing can be announced (no interface that can broadcast).
  bool claim(const std::string& bind, const std::vector<std::string>& names, std::string& note, std::string& error);
  // Announces a claimed stream from now on.
  void announce(const std::string& name, int port, int channels, int rate, const std::string& fingerprint);

private:
  std::vector<void*> actors_;  // a beacon per stream
  std::vector<uint64_t> ids_;
  std::vector<std::string> names_;
  std::string host_;
  uint64_t since_ = 0;  // when the names were claimed (ms since 1970)
};

// ---- Subscriber

struct SubscriberOptions {
  std::string endpoint;     // tcp://HOST:PORT
  std::string name;         // the stream (empty: the publisher's first)
  uint32_t back_ms = 0;     // a late joiner's start: this far back (kBackAll: all kept)
  uint32_t credit = 1000;   // frames in flight at most (1 s at 1000/s)
  double dead_after = 2.5;  // seconds without a message: the link is dead
  double ping_every = 0.25;
  Keys keys = {};  // with keys.server_key set: encrypted, and only that publisher is believed
};
// A subscriber's source into options.endpoint and options.name: an address
// as parse_address() reads it, a bare NAME as discover() hears it within 2 s.
// The keys are already in options: a bare name's announcement must agree
// with them (a secure stream's fingerprint with server.key's; keys for a
// secure stream, none for one served without). The handshake still proves
// the key: the announcement alone is never believed. False with error.
bool resolve_stream(const std::string& source, SubscriberOptions& options, std::string& error);

// What Subscriber::next() hands out.
struct Event {
  enum Kind { None, Header, Data, LinkLost, End, Refused } kind = None;
  bool new_segment = false;      // Header: a stream id not seen before (a new stream or a restarted one)
  const Message* msg = nullptr;  // Header, Data: the message (valid until the next call)
  std::vector<double> times;     // Data: each frame's time on the local clock
  std::string text;              // LinkLost, End, Refused: why
};

class Subscriber {
public:
  explicit Subscriber(const SubscriberOptions& options);
  ~Subscriber();
  Subscriber(const Subscriber&) = delete;
  Subscriber& operator=(const Subscriber&) = delete;

  // The next event within timeout_ms (None when nothing came). Pings, credit,
  // liveness and reconnecting happen in here.
  Event& next(int timeout_ms);
  const Message& header() const { return header_; }  // the newest Header
  ClockOffset clock;
  // Counts: frames received, frames the publisher could not deliver
  // (network gaps), frames the device never delivered (device gaps), messages
  // refused, reconnects after a dead link, headers with a new stream id.
  uint64_t received = 0, lost = 0, missing = 0, reconnects = 0, segments = 0;
  Refusals refused;

private:
  void connect();
  void send(const Message& m);
  bool handshake_failed(std::string& why);  // from the socket's monitor

  SubscriberOptions options_;
  void* context_ = nullptr;
  void* socket_ = nullptr;
  void* monitor_ = nullptr;
  int monitors_ = 0;
  bool connected_ = false;  // a connection whose handshake has not ended yet
  int dropped_handshakes_ = 0;
  Message header_, msg_;
  Event event_;
  Order order_;
  uint32_t consumed_ = 0, probe_ = 0;
  double heard_ = 0, pinged_ = 0;
  std::vector<uint8_t> buffer_;
};

}  // namespace amxnet
