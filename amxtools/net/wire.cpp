// amxnet wire format: encoding and decoding of the messages, byte by byte in
// little-endian order (never a struct copied whole, so neither padding nor the
// machine's byte order reaches the wire).
#include "wire.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace amxnet {

namespace {

struct Writer {
  std::vector<uint8_t>& out;
  void u8(uint8_t v) { out.push_back(v); }
  void u16(uint16_t v) { uint_le(v, 2); }
  void u32(uint32_t v) { uint_le(v, 4); }
  void u64(uint64_t v) { uint_le(v, 8); }
  void i32(int32_t v) { u32(static_cast<uint32_t>(v)); }
  void f64(double v)
  {
    uint64_t bits;
    std::memcpy(&bits, &v, 8);
    u64(bits);
  }
  void text(const std::string& s)
  {
    u16(static_cast<uint16_t>(s.size()));
    out.insert(out.end(), s.begin(), s.end());
  }
  void uint_le(uint64_t v, int bytes)
  {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
};

// Reads fields in order; the first read past the end sets `short_` and every
// later read returns zeros, so a decoder checks once at the end (and before
// any size it allocates by).
struct Reader {
  const uint8_t* p;
  size_t left;
  bool short_ = false;
  bool take(size_t n)
  {
    if (short_ || n > left) {
      short_ = true;
      return false;
    }
    return true;
  }
  uint64_t uint_le(int bytes)
  {
    if (!take(static_cast<size_t>(bytes))) return 0;
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
    p += bytes;
    left -= static_cast<size_t>(bytes);
    return v;
  }
  uint8_t u8() { return static_cast<uint8_t>(uint_le(1)); }
  uint16_t u16() { return static_cast<uint16_t>(uint_le(2)); }
  uint32_t u32() { return static_cast<uint32_t>(uint_le(4)); }
  uint64_t u64() { return uint_le(8); }
  int32_t i32() { return static_cast<int32_t>(u32()); }
  double f64()
  {
    uint64_t bits = u64();
    double v;
    std::memcpy(&v, &bits, 8);
    return v;
  }
  std::string text()
  {
    size_t n = u16();
    if (!take(n)) return {};
    std::string s(reinterpret_cast<const char*>(p), n);
    p += n;
    left -= n;
    return s;
  }
};

bool known_type(uint16_t t) { return (t >= 1 && t <= 4) || (t >= 16 && t <= 20); }

bool too_long(const std::string& s) { return s.size() > kMaxText; }

}  // namespace

bool encode(const Message& m, std::vector<uint8_t>& out, std::string& error)
{
  // Refused before a byte is written, so out stays as it was.
  const size_t words = static_cast<size_t>(m.channels) + 1;
  switch (m.type) {
    case MsgType::Hello:
      if (too_long(m.name)) return error = "stream name longer than 1024 bytes", false;
      break;
    case MsgType::Header:
      if (m.channels < 1 || m.channels > kMaxChannels) return error = "channel count out of range", false;
      if (m.labels.size() != static_cast<size_t>(m.channels)) return error = "one label per channel needed", false;
      for (const std::string& l : m.labels)
        if (too_long(l)) return error = "channel label longer than 1024 bytes", false;
      if (too_long(m.name) || too_long(m.host) || too_long(m.unit)) return error = "text longer than 1024 bytes", false;
      break;
    case MsgType::Data:
      if (m.channels < 1 || m.channels > kMaxChannels) return error = "channel count out of range", false;
      if (m.count > kMaxFrames) return error = "more than 65536 frames in one message", false;
      if (m.gaps.size() > kMaxGaps) return error = "more than 1024 gaps in one message", false;
      if (m.frames.size() != m.count * words || m.stamps.size() != m.count)
        return error = "frames or stamps do not match the frame count", false;
      break;
    case MsgType::End:
    case MsgType::Refused:
      if (too_long(m.reason)) return error = "reason longer than 1024 bytes", false;
      break;
    default: break;
  }
  if (!known_type(static_cast<uint16_t>(m.type))) return error = "unknown message type", false;

  Writer w{out};
  w.u8('A');
  w.u8('X');
  w.u16(kWireVersion);
  w.u16(static_cast<uint16_t>(m.type));
  w.u16(0);
  switch (m.type) {
    case MsgType::Hello:
      w.text(m.name);
      w.u64(m.resume_id);
      w.u64(m.resume_from);
      w.u32(m.back_ms);
      w.u32(m.credit);
      break;
    case MsgType::Credit: w.u32(m.credit); break;
    case MsgType::Ping:
      w.u32(m.probe);
      w.f64(m.t0);
      break;
    case MsgType::Bye: break;
    case MsgType::Header:
      w.u64(m.stream_id);
      w.text(m.name);
      w.text(m.host);
      w.i32(m.kind);
      w.i32(m.revision);
      w.i32(m.cal1);
      w.i32(m.cal2);
      w.u8(m.identified ? 1 : 0);
      w.u16(static_cast<uint16_t>(m.channels));
      w.u32(m.rate);
      w.f64(m.volts_per_count);
      w.text(m.unit);
      w.i32(m.invalid_marker);
      w.u32(m.buffer_ms);
      w.u64(m.start);
      for (const std::string& l : m.labels) w.text(l);
      break;
    case MsgType::Data:
      w.u64(m.stream_id);
      w.u64(m.seq);
      w.u64(m.first);
      w.u16(static_cast<uint16_t>(m.channels));
      w.u32(m.count);
      w.u32(m.lost_packets);
      w.u16(static_cast<uint16_t>(m.gaps.size()));
      for (const Gap& g : m.gaps) {
        w.u64(g.first);
        w.u64(g.count);
        w.u8(g.kind);
      }
      out.reserve(out.size() + m.frames.size() * 4 + m.stamps.size() * 8);
      for (int32_t v : m.frames) w.i32(v);
      for (double t : m.stamps) w.f64(t);
      break;
    case MsgType::Pong:
      w.u32(m.probe);
      w.f64(m.t0);
      w.f64(m.t1);
      w.f64(m.t2);
      break;
    case MsgType::End:
      w.u64(m.stream_id);
      w.text(m.reason);
      break;
    case MsgType::Refused: w.text(m.reason); break;
  }
  return true;
}

bool decode(const uint8_t* data, size_t size, Message& m, std::string& error)
{
  Reader r{data, size};
  if (size < kPrefixBytes || data[0] != 'A' || data[1] != 'X') return error = "not an amxnet message", false;
  r.u16();
  const uint16_t version = r.u16();
  if (version != kWireVersion)
    return error = "version " + std::to_string(version) + " is not supported: this build speaks " +
                   std::to_string(kWireVersion),
           false;
  const uint16_t type = r.u16();
  if (!known_type(type)) return error = "unknown message type " + std::to_string(type), false;
  r.u16();  // flags, none defined yet
  m.type = static_cast<MsgType>(type);
  auto finite = [](double t) { return std::isfinite(t); };
  switch (m.type) {
    case MsgType::Hello:
      m.name = r.text();
      m.resume_id = r.u64();
      m.resume_from = r.u64();
      m.back_ms = r.u32();
      m.credit = r.u32();
      break;
    case MsgType::Credit: m.credit = r.u32(); break;
    case MsgType::Ping:
      m.probe = r.u32();
      m.t0 = r.f64();
      if (!finite(m.t0)) return error = "probe time not finite", false;
      break;
    case MsgType::Bye: break;
    case MsgType::Header: {
      m.stream_id = r.u64();
      m.name = r.text();
      m.host = r.text();
      m.kind = r.i32();
      m.revision = r.i32();
      m.cal1 = r.i32();
      m.cal2 = r.i32();
      const uint8_t identified = r.u8();
      m.identified = identified == 1;
      m.channels = r.u16();
      m.rate = r.u32();
      m.volts_per_count = r.f64();
      m.unit = r.text();
      m.invalid_marker = r.i32();
      m.buffer_ms = r.u32();
      m.start = r.u64();
      if (r.short_) break;
      if (identified > 1) return error = "identification flag neither 0 nor 1", false;
      if (m.channels < 1 || m.channels > kMaxChannels) return error = "channel count out of range", false;
      if (m.rate == 0 || m.rate > 1000000) return error = "sampling rate out of range", false;
      if (!finite(m.volts_per_count)) return error = "scale not finite", false;
      if (m.stream_id == 0) return error = "stream id 0", false;
      m.labels.clear();
      for (int c = 0; c < m.channels && !r.short_; ++c) m.labels.push_back(r.text());
      break;
    }
    case MsgType::Data: {
      m.stream_id = r.u64();
      m.seq = r.u64();
      m.first = r.u64();
      m.channels = r.u16();
      m.count = r.u32();
      m.lost_packets = r.u32();
      const uint16_t gaps = r.u16();
      if (r.short_) break;
      if (m.channels < 1 || m.channels > kMaxChannels) return error = "channel count out of range", false;
      if (m.count > kMaxFrames) return error = "frame count " + std::to_string(m.count) + " beyond the limit", false;
      if (gaps > kMaxGaps) return error = "gap count " + std::to_string(gaps) + " beyond the limit", false;
      // The sizes are checked against the bytes before anything is allocated.
      const size_t words = static_cast<size_t>(m.count) * (static_cast<size_t>(m.channels) + 1);
      const size_t need = static_cast<size_t>(gaps) * 17 + words * 4 + static_cast<size_t>(m.count) * 8;
      if (need != r.left) return error = need > r.left ? "truncated data message" : "bytes after the message", false;
      m.gaps.resize(gaps);
      for (Gap& g : m.gaps) {
        g.first = r.u64();
        g.count = r.u64();
        const uint8_t kind = r.u8();
        if (kind > Gap::Network) return error = "unknown gap kind", false;
        g.kind = static_cast<Gap::Kind>(kind);
        if (g.count == 0 || g.first == 0 || g.first + g.count < g.first) return error = "bad gap range", false;
      }
      m.frames.resize(words);
      for (int32_t& v : m.frames) v = r.i32();
      m.stamps.resize(m.count);
      for (double& t : m.stamps)
        if (!finite(t = r.f64())) return error = "frame stamp not finite", false;
      if (m.count > 0 && (m.first == 0 || m.first + m.count < m.first)) return error = "bad first sample number", false;
      break;
    }
    case MsgType::Pong:
      m.probe = r.u32();
      m.t0 = r.f64();
      m.t1 = r.f64();
      m.t2 = r.f64();
      if (!finite(m.t0) || !finite(m.t1) || !finite(m.t2)) return error = "probe time not finite", false;
      break;
    case MsgType::End:
      m.stream_id = r.u64();
      m.reason = r.text();
      break;
    case MsgType::Refused: m.reason = r.text(); break;
  }
  if (r.short_) return error = "truncated message", false;
  if (r.left != 0) return error = "bytes after the message", false;
  return true;
}

void Order::begin(const Message& header)
{
  stream_id = header.stream_id;
  next_seq = 1;
  next_sample = header.start;
}

bool Order::check(const Message& d, std::string& error) const
{
  if (stream_id == 0) return error = "data before a header", false;
  if (d.stream_id != stream_id) return error = "data of another stream id", false;
  if (d.seq < next_seq)
    return error =
               "sequence number " + std::to_string(d.seq) + " goes back (expected " + std::to_string(next_seq) + ")",
           false;
  uint64_t at = next_sample;
  for (const Gap& g : d.gaps) {
    if (g.first < at) return error = "gap overlaps what came before", false;
    at = g.first + g.count;
  }
  if (d.count > 0 && d.first < at) return error = "sample number goes back", false;
  return true;
}

void Order::accept(const Message& d)
{
  next_seq = d.seq + 1;
  if (!d.gaps.empty()) next_sample = d.gaps.back().first + d.gaps.back().count;
  if (d.count > 0) next_sample = d.first + d.count;
}

namespace {
constexpr uint8_t kSecure = 1, kClaim = 2;
constexpr size_t kFingerprintBytes = 10;

bool printable(const std::string& s)
{
  for (unsigned char c : s)
    if (c < 0x20 || c == 0x7F) return false;
  return true;
}

// "3f2a:91c0:..." (five groups of four hex digits) into its 10 bytes.
bool fingerprint_bytes(const std::string& text, uint8_t* bytes)
{
  if (text.size() != 24) return false;
  size_t k = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (i % 5 == 4) {
      if (text[i] != ':') return false;
      continue;
    }
    const char c = text[i];
    const int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (v < 0) return false;
    bytes[k / 2] = static_cast<uint8_t>(k % 2 ? bytes[k / 2] | v : v << 4);
    ++k;
  }
  return true;
}
}  // namespace

std::string fingerprint_text(const uint8_t* bytes)
{
  static const char hex[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < kFingerprintBytes; ++i) {
    if (i && i % 2 == 0) out += ':';
    out += hex[bytes[i] >> 4];
    out += hex[bytes[i] & 15];
  }
  return out;
}

bool valid_stream_name(const std::string& name, std::string& error)
{
  if (name.empty() || name.size() > kMaxStreamName || name.find('/') != std::string::npos || !printable(name))
    return error = "a stream name has 1 to 64 characters, no '/' and no control characters", false;
  char* end = nullptr;
  std::strtoll(name.c_str(), &end, 10);
  if (name[0] == '@' || *end == '\0')
    return error =
               "a stream name may not be all digits or begin with '@' (those name local amplifiers): \"" + name + "\"",
           false;
  return true;
}

bool encode_beacon(const Beacon& b, std::vector<uint8_t>& out, std::string& error)
{
  uint8_t print[kFingerprintBytes] = {};
  if (!valid_stream_name(b.name, error)) return false;
  if (b.host.size() > kMaxStreamName || !printable(b.host))
    return error = "a host name has at most 64 characters and no control characters", false;
  if (b.secure != !b.fingerprint.empty() || (b.secure && !fingerprint_bytes(b.fingerprint, print)))
    return error = "a secure stream's beacon carries its key fingerprint, another none", false;
  if (!b.claim && (b.port == 0 || b.channels < 1 || b.channels > kMaxChannels || b.rate == 0))
    return error = "port, channel count or rate out of range", false;
  if (b.claim && (b.port || b.channels || b.rate)) return error = "a claim carries no port, channels or rate", false;
  Writer w{out};
  for (char c : {'A', 'X', 'B'}) w.u8(static_cast<uint8_t>(c));
  w.u8(kBeaconVersion);
  w.u8(static_cast<uint8_t>((b.secure ? kSecure : 0) | (b.claim ? kClaim : 0)));
  w.u64(b.id);
  w.u64(b.since);
  w.u16(b.port);
  w.u16(static_cast<uint16_t>(b.channels));
  w.u32(b.rate);
  for (const std::string* s : {&b.name, &b.host}) {
    w.u8(static_cast<uint8_t>(s->size()));
    out.insert(out.end(), s->begin(), s->end());
  }
  if (b.secure) out.insert(out.end(), print, print + kFingerprintBytes);
  return true;
}

bool decode_beacon(const uint8_t* data, size_t size, Beacon& out, std::string& error)
{
  if (size < 5 || std::memcmp(data, "AXB", 3) != 0) return error = "not an amxnet beacon", false;
  if (data[3] != kBeaconVersion)
    return error = "beacon version " + std::to_string(data[3]) + " is not supported: this build speaks 1", false;
  if (size > kBeaconMaxBytes) return error = "beacon longer than 255 bytes", false;
  Reader r{data + 4, size - 4};
  const uint8_t flags = r.u8();
  Beacon b;
  b.secure = flags & kSecure;
  b.claim = flags & kClaim;
  b.id = r.u64();
  b.since = r.u64();
  b.port = r.u16();
  b.channels = r.u16();
  b.rate = r.u32();
  for (std::string* s : {&b.name, &b.host}) {
    const size_t n = r.u8();
    if (!r.take(n)) break;
    s->assign(reinterpret_cast<const char*>(r.p), n);
    r.p += n;
    r.left -= n;
  }
  if (b.secure && r.take(kFingerprintBytes)) {
    b.fingerprint = fingerprint_text(r.p);
    r.left -= kFingerprintBytes;
  }
  if (r.short_) return error = "truncated beacon", false;
  if (r.left) return error = "bytes after the beacon", false;
  if (flags & ~(kSecure | kClaim)) return error = "unknown beacon flags", false;
  // The same checks as encoding: what decodes is what a publisher may send.
  std::vector<uint8_t> again;
  if (!encode_beacon(b, again, error)) return false;
  out = b;
  return true;
}

}  // namespace amxnet
