// The stream service's wire format: fixed byte order, round trips of every
// field, and the refusals of malformed, foreign or out-of-order messages.
#include <gtest/gtest.h>

#include "net_helpers.h"
#include "wire.h"

#include <tuple>

using namespace amxnet;
using amxnet_test::data_message;

namespace {

std::vector<uint8_t> bytes_of(const Message& m)
{
  std::vector<uint8_t> out;
  std::string error;
  EXPECT_TRUE(encode(m, out, error)) << error;
  return out;
}

bool decodes(const std::vector<uint8_t>& b, Message& m, std::string& error)
{
  return decode(b.data(), b.size(), m, error);
}
bool decodes(const std::vector<uint8_t>& b, Beacon& m, std::string& error)
{
  return decode_beacon(b.data(), b.size(), m, error);
}

// Whether b is refused (as a message, or as a Beacon), for a reason holding expected_reason.
template <class Decoded = Message>
bool refused(const std::vector<uint8_t>& b, const std::string& expected_reason)
{
  Decoded m;
  std::string error;
  if (decodes(b, m, error)) return false;
  EXPECT_NE(error.find(expected_reason), std::string::npos) << error;
  return true;
}

Message header()
{
  Message h;
  h.type = MsgType::Header;
  h.stream_id = 0x0102030405060708ull;
  h.name = "lab";
  h.host = "amp-pc";
  h.kind = 7;
  h.revision = 64;
  h.cal1 = 123456;
  h.cal2 = -2;
  h.identified = true;
  h.channels = 2;
  h.rate = 1000;
  h.volts_per_count = 0.0715e-6;
  h.unit = "uV";
  h.invalid_marker = 0x7FFFFFFF;
  h.buffer_ms = 60000;
  h.start = 42;
  h.labels = {"Fp1", "Fp2"};
  return h;
}

}  // namespace

TEST(NetWire, FieldsAreLittleEndianWhateverTheMachine)
{
  Message credit;
  credit.type = MsgType::Credit;
  credit.credit = 0x11223344;
  EXPECT_EQ(bytes_of(credit), (std::vector<uint8_t>{'A', 'X', 1, 0, 2, 0, 0, 0, 0x44, 0x33, 0x22, 0x11}));

  Message d = data_message(0x0A0B, 5, 1, 1);
  d.stamps[0] = 1.0;  // 0x3FF0000000000000
  const std::vector<uint8_t> b = bytes_of(d);
  ASSERT_EQ(b.size(), 8u + 8 + 8 + 8 + 2 + 4 + 4 + 2 + 2 * 4 + 8);
  EXPECT_EQ(b[16], 0x0B);  // seq, low byte first
  EXPECT_EQ(b[17], 0x0A);
  EXPECT_EQ(b[24], 5);  // first sample number
  EXPECT_EQ(b[b.size() - 1], 0x3F);
  EXPECT_EQ(b[b.size() - 2], 0xF0);
}

TEST(NetWire, EveryFieldSurvivesARoundTrip)
{
  Message m, h = header();
  std::string error;
  std::vector<uint8_t> b = bytes_of(h);
  ASSERT_TRUE(decode(b.data(), b.size(), m, error)) << error;
  EXPECT_EQ(m.stream_id, h.stream_id);
  EXPECT_EQ(m.name, "lab");
  EXPECT_EQ(m.host, "amp-pc");
  EXPECT_EQ(m.revision, 64);
  EXPECT_EQ(m.cal2, -2);
  EXPECT_TRUE(m.identified);
  EXPECT_EQ(m.volts_per_count, h.volts_per_count);
  EXPECT_EQ(m.start, 42u);
  EXPECT_EQ(m.labels, h.labels);

  Message d = data_message(9, 1000, 4);
  d.frames[0] = INT32_MIN;
  d.frames[1] = 0x7FFFFFFF;
  d.lost_packets = 3;
  d.gaps = {{990, 4, Gap::Device}, {994, 6, Gap::Network}};
  b = bytes_of(d);
  ASSERT_TRUE(decode(b.data(), b.size(), m, error)) << error;
  EXPECT_EQ(m.frames, d.frames);
  EXPECT_EQ(m.stamps, d.stamps);
  EXPECT_EQ(m.lost_packets, 3u);
  ASSERT_EQ(m.gaps.size(), 2u);
  EXPECT_EQ(m.gaps[1].first, 994u);
  EXPECT_EQ(m.gaps[1].kind, Gap::Network);

  Message pong;
  pong.type = MsgType::Pong;
  pong.probe = 7;
  pong.t0 = 1.5;
  pong.t1 = 2.25;
  pong.t2 = -3.125;
  b = bytes_of(pong);
  ASSERT_TRUE(decode(b.data(), b.size(), m, error)) << error;
  EXPECT_EQ(m.t2, -3.125);
}

TEST(NetWire, MalformedMessagesAreRefusedWithAReason)
{
  std::vector<uint8_t> d = bytes_of(data_message(1, 1, 3));
  // Every cut short of the whole message is refused, none read past the end.
  for (size_t n = 0; n < d.size(); ++n) {
    Message m;
    std::string error;
    EXPECT_FALSE(decode(d.data(), n, m, error)) << n;
    EXPECT_FALSE(error.empty());
  }
  std::vector<uint8_t> longer = d;
  longer.push_back(0);
  EXPECT_TRUE(refused(longer, "bytes after the message"));

  std::vector<uint8_t> v2 = d;
  v2[2] = 2;
  EXPECT_TRUE(refused(v2, "version 2 is not supported: this build speaks 1"));
  std::vector<uint8_t> type = d;
  type[4] = 99;
  EXPECT_TRUE(refused(type, "unknown message type 99"));

  // A frame count far beyond the bytes is refused before anything is allocated.
  std::vector<uint8_t> huge = d;
  huge[34] = 0xFF, huge[35] = 0xFF, huge[36] = 0xFF, huge[37] = 0x7F;
  EXPECT_TRUE(refused(huge, "frame count"));
  std::vector<uint8_t> many = d;
  many[36] = 0x01;  // 65536 + 3 frames
  EXPECT_TRUE(refused(many, "frame count"));
  std::vector<uint8_t> no_channels = d;
  no_channels[32] = 0;
  EXPECT_TRUE(refused(no_channels, "channel count"));

  Message h = header();
  std::vector<uint8_t> hb = bytes_of(h);
  hb.resize(hb.size() - 6);  // the last label missing
  EXPECT_TRUE(refused(hb, "truncated"));

  Message nan_stamp = data_message(1, 1, 2);
  nan_stamp.stamps[1] = std::numeric_limits<double>::quiet_NaN();
  EXPECT_TRUE(refused(bytes_of(nan_stamp), "stamp not finite"));
  Message zero_gap = data_message(1, 10, 1);
  zero_gap.gaps = {{5, 0, Gap::Device}};
  EXPECT_TRUE(refused(bytes_of(zero_gap), "bad gap range"));
}

TEST(NetWire, EncodingRefusesWhatTheFormatCannotCarry)
{
  std::vector<uint8_t> out;
  std::string error;
  Message d = data_message(1, 1, 2);
  d.stamps.pop_back();
  EXPECT_FALSE(encode(d, out, error));
  Message h = header();
  h.labels.pop_back();
  EXPECT_FALSE(encode(h, out, error));
  h = header();
  h.name.assign(2000, 'x');
  EXPECT_FALSE(encode(h, out, error));
  EXPECT_TRUE(out.empty());
}

TEST(NetWire, OrderRefusesForeignAndBackwardData)
{
  Order order;
  std::string error;
  Message h = header();
  h.stream_id = 77;
  h.start = 10;
  EXPECT_FALSE(order.check(data_message(1, 10, 5), error));  // before the header
  order.begin(h);
  ASSERT_TRUE(order.check(data_message(1, 10, 5), error)) << error;
  order.accept(data_message(1, 10, 5));

  EXPECT_FALSE(order.check(data_message(1, 15, 5), error));  // sequence number again
  EXPECT_NE(error.find("goes back"), std::string::npos);
  EXPECT_FALSE(order.check(data_message(2, 14, 5), error));  // overlaps frame 14
  Message other = data_message(2, 15, 5);
  other.stream_id = 78;
  EXPECT_FALSE(order.check(other, error));
  Message overlap = data_message(2, 20, 1);
  overlap.gaps = {{12, 8, Gap::Network}};
  EXPECT_FALSE(order.check(overlap, error));

  Message gap_only = data_message(2, 0, 0);
  gap_only.gaps = {{15, 100, Gap::Network}};
  ASSERT_TRUE(order.check(gap_only, error)) << error;
  order.accept(gap_only);
  EXPECT_EQ(order.next_sample, 115u);
  EXPECT_TRUE(order.check(data_message(3, 115, 1), error));
}

namespace {

// A secure stream's beacon, byte for byte (the Python binding's tests hold
// the same bytes).
const char* const kBeaconHex =
    "415842010108070605040302010068e5cf8b010000e0152800e8030000036c616206616d702d7063773952123169e27e6e44";

std::vector<uint8_t> from_hex(const std::string& hex)
{
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

}  // namespace

TEST(NetWire, BeaconsHaveOneLayoutAndAnythingElseHeardIsRefused)
{
  Beacon b;
  b.secure = true;
  b.id = 0x0102030405060708ull;
  b.since = 1700000000000ull;
  b.port = 5600;
  b.channels = 40;
  b.rate = 1000;
  b.name = "lab";
  b.host = "amp-pc";
  b.fingerprint = "7739:5212:3169:e27e:6e44";
  std::vector<uint8_t> bytes;
  std::string error;
  ASSERT_TRUE(encode_beacon(b, bytes, error)) << error;
  const std::vector<uint8_t> known = from_hex(kBeaconHex);
  EXPECT_EQ(bytes, known);
  Beacon back;
  ASSERT_TRUE(decode_beacon(known.data(), known.size(), back, error)) << error;
  EXPECT_EQ(back.fingerprint, b.fingerprint);
  EXPECT_EQ(back.id, b.id);
  EXPECT_EQ(back.since, b.since);
  EXPECT_EQ(back.host, "amp-pc");
  EXPECT_TRUE(back.secure && !back.claim && back.port == 5600 && back.channels == 40 && back.rate == 1000);

  // Every truncation, a byte more, another version, unknown flags.
  for (size_t n = 0; n < known.size(); ++n)
    EXPECT_TRUE(refused<Beacon>({known.begin(), known.begin() + static_cast<long>(n)}, "")) << n;
  std::vector<uint8_t> longer = known;
  longer.push_back(0);
  EXPECT_TRUE(refused<Beacon>(longer, "bytes after"));
  std::vector<uint8_t> v2 = known;
  v2[3] = 2;
  EXPECT_TRUE(refused<Beacon>(v2, "beacon version 2 is not supported"));
  std::vector<uint8_t> flags = known;
  flags[4] |= 4;
  EXPECT_TRUE(refused<Beacon>(flags, "unknown beacon flags"));
  EXPECT_TRUE(refused<Beacon>(std::vector<uint8_t>(300, 'A'), "not an amxnet beacon"));
  // Fields a publisher could not have sent: a digit-only name (bytes 30-32),
  // a control character in it, a zero port (bytes 21-22).
  for (const auto& [at, text, why] : std::vector<std::tuple<size_t, std::string, std::string>>{
           {30, "123", "all digits"}, {31, "\n", "control characters"}, {21, std::string(2, '\0'), "out of range"}}) {
    std::vector<uint8_t> bad = known;
    std::copy(text.begin(), text.end(), bad.begin() + static_cast<long>(at));
    EXPECT_TRUE(refused<Beacon>(bad, why)) << at;
  }

  // A claim carries neither port nor fingerprint of an insecure stream; the
  // encoder refuses what the decoder would.
  Beacon claim;
  claim.claim = true;
  claim.name = "lab";
  bytes.clear();
  ASSERT_TRUE(encode_beacon(claim, bytes, error)) << error;
  ASSERT_TRUE(decode_beacon(bytes.data(), bytes.size(), back, error)) << error;
  EXPECT_TRUE(back.claim && !back.secure && back.port == 0);
  for (auto breaks : std::vector<void (*)(Beacon&)>{
           [](Beacon& x) { x.port = 1; },            // a claim with a port
           [](Beacon& x) { x.fingerprint = "ab"; },  // insecure with a fingerprint
           [](Beacon& x) { x.name = std::string(65, 'n'); },
           [](Beacon& x) { x.host = std::string(65, 'h'); },
       }) {
    Beacon bad = claim;
    breaks(bad);
    bytes.clear();
    EXPECT_FALSE(encode_beacon(bad, bytes, error));
    EXPECT_TRUE(bytes.empty());
  }
  // Names that a command line would take for a local amplifier.
  for (const char* name : {"12", " 12", "-3", "@0", "a/b", "", "tab\there"})
    EXPECT_FALSE(valid_stream_name(name, error)) << name;
  for (const char* name : {"lab", "12a", "EEG 1", "\xc3\xa9tude"}) EXPECT_TRUE(valid_stream_name(name, error)) << name;
}
