// amxnet wire format: the messages between a stream's publisher and its
// subscribers, one ZeroMQ message each, little-endian whatever the machine, so
// 32-bit Windows and 64-bit Linux read each other. docs/network.md describes
// every field. Encoding refuses values the format cannot carry; decoding
// refuses anything malformed, with a reason, and never reads past the bytes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace amxnet {

// Every message starts with "AX", the format version and the message type.
constexpr uint16_t kWireVersion = 1;
constexpr size_t kPrefixBytes = 8;

// Limits a decoder enforces before it allocates anything.
constexpr int kMaxChannels = 1024;
constexpr uint32_t kMaxFrames = 65536;  // frames in one data message
constexpr uint16_t kMaxGaps = 1024;     // gap ranges in one data message
constexpr size_t kMaxText = 1024;       // bytes of one text field

enum class MsgType : uint16_t {
  // subscriber -> publisher
  Hello = 1,   // which stream, where to resume, initial credit
  Credit = 2,  // more frames may be sent
  Ping = 3,    // heartbeat and clock probe
  Bye = 4,     // the subscriber leaves
  // publisher -> subscriber
  Header = 16,   // the stream's description, first after a Hello
  Data = 17,     // frames, their stamps and the gaps before them
  Pong = 18,     // the answer to a Ping
  End = 19,      // the stream ended (the publisher stops or the device failed)
  Refused = 20,  // a Hello the publisher cannot serve (unknown stream, version)
};

// Where a Hello asks a stream to begin.
constexpr uint32_t kBackAll = 0xFFFFFFFFu;  // back_ms: all that the publisher still keeps

// Frames missing from the sample numbers [first, first + count).
struct Gap {
  uint64_t first = 0, count = 0;
  // Device: the amplifier never delivered them (lost packets, overwritten
  // ring). Network: the publisher had them but could not deliver them to this
  // subscriber (they left its replay buffer first).
  enum Kind : uint8_t { Device = 0, Network = 1 } kind = Device;
};

// One message, the fields of its type filled in (others left as they are).
struct Message {
  MsgType type = MsgType::Ping;
  // Hello: the stream's name (empty: the publisher's first), the stream id and
  // next sample number to resume from (0: none), else how many milliseconds
  // back to begin (0: from now, kBackAll: everything kept); credit in frames
  // (the publisher sends no more frames than the credit it was given).
  std::string name;
  uint64_t resume_id = 0, resume_from = 0;
  uint32_t back_ms = 0;
  uint32_t credit = 0;  // Hello, Credit
  // Ping / Pong: the probe's number; t0 the subscriber's send time, t1 and t2
  // the publisher's receive and answer times (each on its own clock, seconds).
  uint32_t probe = 0;
  double t0 = 0, t1 = 0, t2 = 0;
  // Header
  uint64_t stream_id = 0;  // Header, Data, End
  std::string host;
  int32_t kind = 0, revision = 0, cal1 = 0, cal2 = 0;  // the device: identification and calibration numbers
  bool identified = false;
  int channels = 0;  // Header, Data
  uint32_t rate = 0;
  double volts_per_count = 0;
  std::string unit;  // the physical unit of the BDF+ header ("uV")
  int32_t invalid_marker = 0;
  uint32_t buffer_ms = 0;           // the replay buffer's length
  uint64_t start = 0;               // the first sample number this subscriber will get
  std::vector<std::string> labels;  // one per channel
  // Data: the message's number in this subscription (1, 2, ...), the first
  // frame's sample number (the library's numbers extended to 64 bits: 1 is
  // the stream's first frame), frames of channels + 1 words as the library
  // delivers them, their host stamps (publisher clock), the packets the
  // library reported lost before them, the gaps before them.
  uint64_t seq = 0, first = 0;
  uint32_t count = 0;
  std::vector<int32_t> frames;
  std::vector<double> stamps;
  uint32_t lost_packets = 0;
  std::vector<Gap> gaps;
  std::string reason;  // End, Refused
};

// Appends msg's bytes to out. False with a reason (and out unchanged) for
// values the format cannot carry: texts over kMaxText, channel counts or
// frame counts beyond the limits, frames or stamps not matching count.
bool encode(const Message& msg, std::vector<uint8_t>& out, std::string& error);

// Reads one message. False with a reason for a wrong prefix, an unknown
// version ("version N is not supported: this build speaks 1") or type, a
// truncated message, trailing bytes, counts beyond the limits, labels not
// matching the channel count, a non-finite time.
bool decode(const uint8_t* data, size_t size, Message& out, std::string& error);

// What one receiver has refused, by reason.
struct Refusals {
  uint64_t total = 0;
  std::string last;
  void add(const std::string& reason)
  {
    ++total;
    last = reason;
  }
};

// The order a subscription's data must keep: after a Header, data of that
// stream id only, sequence numbers 1, 2, 3, ... and sample numbers going
// forward (gaps and frames never overlapping what came before). check() says
// why a message breaks it; accept() also moves the expectation on.
struct Order {
  uint64_t stream_id = 0;  // 0: no Header yet
  uint64_t next_seq = 1;
  uint64_t next_sample = 0;  // the sample number expected next (from the Header's start)
  void begin(const Message& header);
  bool check(const Message& data, std::string& error) const;
  void accept(const Message& data);
};

// ---- Announcements: a publisher's UDP beacon for one stream

// The payload, at most 255 bytes (a UDP beacon's limit): "AXB", u8 version
// (1), u8 flags (1 secure, 2 claim), u64 instance id (random), u64 since (when
// the publisher claimed the name, ms since 1970 UTC), u16 port, u16
// channels, u32 rate, u8 count and bytes of the name, the same of the host
// name, and for a secure stream the server key's fingerprint as its 10 bytes.
// A claim says only that a publisher is about to take the name (port,
// channels and rate 0). It carries no secret: a fingerprint is not a key.
constexpr uint8_t kBeaconVersion = 1;
constexpr size_t kBeaconMaxBytes = 255;
constexpr size_t kMaxStreamName = 64;

struct Beacon {
  bool secure = false, claim = false;
  uint64_t id = 0;     // the announcing instance's random id
  uint64_t since = 0;  // when it claimed the name: ms since 1970 (UTC)
  uint16_t port = 0;
  int channels = 0;
  uint32_t rate = 0;
  std::string name, host;
  std::string fingerprint;  // "3f2a:91c0:..." (secure only; see key_fingerprint)
};
// A key's fingerprint (10 bytes) as people compare it: "3f2a:91c0:...".
std::string fingerprint_text(const uint8_t* bytes);
// A name a publisher may give a stream: 1 to 64 bytes, no '/' and no control
// characters, not all digits and not beginning with '@' (those name local
// amplifiers on a command line). False with the reason.
bool valid_stream_name(const std::string& name, std::string& error);
// Appends the payload to out; false with a reason (out unchanged) for what the
// format cannot carry.
bool encode_beacon(const Beacon& b, std::vector<uint8_t>& out, std::string& error);
// Reads a payload heard on the network; false with a reason for anything that
// is not exactly a version-1 beacon with valid fields.
bool decode_beacon(const uint8_t* data, size_t size, Beacon& out, std::string& error);

}  // namespace amxnet
