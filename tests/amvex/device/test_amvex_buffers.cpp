// Ring buffers, packet framing and decoding of TAmx, fed by hand (internal API).
#include <gtest/gtest.h>

#include "device/UAmvex.h"
#include "emulator/emulator.h"

#include <numeric>

using namespace amx;

namespace {

std::vector<uint8_t> Packet(uint8_t type, const std::vector<uint8_t>& payload)
{
  std::vector<uint8_t> p(payload.size() + 4);
  p[0] = 0xAA;
  p[1] = type;
  p[2] = uint8_t(payload.size());
  std::copy(payload.begin(), payload.end(), p.begin() + 3);
  p.back() = 0x55;
  return p;
}

// A sample packet of k channels whose channel 0 carries `marker` (as a count).
std::vector<uint8_t> SamplePacket(int k, uint8_t seq, int32_t marker = 0, uint8_t status = 0)
{
  std::vector<uint8_t> p;
  for (int c = 0; c < k; ++c) {
    uint32_t v = uint32_t(c == 0 ? marker : c) << 2;
    p.push_back(uint8_t(v >> 16));
    p.push_back(uint8_t(v >> 8));
    p.push_back(uint8_t(v));
  }
  p.push_back(status);
  p.push_back(seq);
  return Packet(4, p);
}

// A device object without hardware behind it, in the state right after Start.
struct Fixture : ::testing::Test {
  TEmulator Emu;
  TAmx Amx{Emu, "no such path"};
  void SetUp() override { Started(40); }
  void Started(uint32_t channels)
  {
    Amx.ChannelCount = Amx.FrameChannels = channels;
    Amx.ExpectedSeq = 0x7FFFFFFF;
    Amx.PacketCounter = 32;
    Amx.LostPackets = 0;
  }
  void Feed(const std::vector<uint8_t>& bytes) { Amx.DataReceived(bytes.data(), uint32_t(bytes.size())); }
  std::vector<int32_t> ReadAll()
  {
    std::vector<int32_t> out(RingItems);
    int n = Amx.ReadSamples(out.data(), int(out.size() * 4));
    out.resize(size_t(n) / 4);
    return out;
  }
};

}  // namespace

TEST(RingBuffer, PositionsStartAtOneAndWrapInTwoMoves)
{
  TRingBuffer<int32_t> r(8);
  EXPECT_EQ(r.FirstPosition(), 1);
  EXPECT_EQ(r.LastPosition, 0);
  int32_t items[20];
  std::iota(items, items + 20, 1);  // item value == its position
  EXPECT_EQ(r.Write(items, 6), 6);
  EXPECT_EQ(r.Write(items + 6, 5), 5);  // wraps
  EXPECT_EQ(r.FirstPosition(), 4);
  EXPECT_EQ(r.LastPosition, 11);
  int32_t out[8] = {};
  EXPECT_EQ(r.Read(out, 4, 100), 8);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(out[i], 4 + i);
  EXPECT_EQ(r.Read(out, 3, 1), 0);   // overwritten
  EXPECT_EQ(r.Read(out, 12, 1), 0);  // not written yet
  EXPECT_EQ(r.Read(out, 11, 0), 0);
  EXPECT_EQ(r.Read(out, 11, 1), 1);
  EXPECT_EQ(out[0], 11);
}

TEST(RingBuffer, OverflowKeepsNewestItems)
{
  TRingBuffer<int32_t> r(8);
  int32_t items[20];
  std::iota(items, items + 20, 1);
  EXPECT_EQ(r.Write(items, 20), 8);
  EXPECT_EQ(r.LastPosition, 20);
  EXPECT_EQ(r.FirstPosition(), 13);
  int32_t out[8];
  ASSERT_EQ(r.Read(out, 13, 8), 8);
  EXPECT_EQ(out[0], 13);
  EXPECT_EQ(out[7], 20);
  EXPECT_EQ(r.LockedWrite(items, 1), 1);
  EXPECT_EQ(r.LockedRead(out, 21, 1), 1);
  EXPECT_EQ(out[0], 1);
}

TEST(RingBuffer, OneItemIsReadableAndPositionZeroNever)
{
  TRingBuffer<uint8_t> r(16);
  uint8_t b = 7, out = 0;
  r.Write(&b, 1);
  EXPECT_EQ(r.Read(&out, 0, 1), 0);
  EXPECT_EQ(r.Read(&out, 1, 1), 1);
  EXPECT_EQ(out, 7);
}

TEST(RingBuffer, DumpWritesRetainedBytesOldestFirst)
{
  TRingBuffer<uint8_t> r(10000);
  std::vector<uint8_t> bytes(12000);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 7);
  r.Write(bytes.data(), int(bytes.size()));
  TMemoryStream s;
  DumpRing(r, s);
  EXPECT_EQ(s.Bytes, std::vector<uint8_t>(bytes.begin() + 2000, bytes.end()));
}

TEST(Samples, DecodeBigEndianTwentyTwoBitCounts)
{
  const uint8_t invalid[3] = {0x12, 0x34, 0x01}, minusOne[3] = {0xFF, 0xFF, 0xFC}, lowest[3] = {0x80, 0, 0},
                odd[3] = {0xFF, 0xFF, 0xFA};
  EXPECT_EQ(DecodeSample(invalid), 0x7FFFFFFF);
  EXPECT_EQ(DecodeSample(minusOne), -1);
  EXPECT_EQ(DecodeSample(lowest), -2097152);
  EXPECT_EQ(DecodeSample(odd), -1);  // -6 / 4 truncates toward zero
}

TEST_F(Fixture, FirstPacketSynchronisesThenFramesCarryNumberAndStatus)
{
  Feed(SamplePacket(40, 0, 111));
  Feed(SamplePacket(40, 1, 222, 0x90));
  Feed(SamplePacket(40, 2, 333, 0x0F));
  auto f = ReadAll();
  ASSERT_EQ(f.size(), 82u);  // two frames of 41 words
  EXPECT_EQ(f[0], 222);
  EXPECT_EQ(f[39], 39);
  EXPECT_EQ(uint32_t(f[40]), 1u | (1u << 28) | (1u << 31));
  EXPECT_EQ(f[41], 333);
  EXPECT_EQ(uint32_t(f[81]), 2u);  // the low status bits are dropped
  EXPECT_EQ(Amx.LostPackets.load(), 1u);
}

// The device numbers its packets from 0 at each start: when the first ones are
// lost, the first frame keeps the device's number and the loss is counted.
TEST_F(Fixture, LostFirstPacketsKeepTheDevicesNumbersAndAreCounted)
{
  for (uint8_t first : {1, 3}) {
    Started(40);
    for (uint8_t s = first; s < first + 3; ++s) Feed(SamplePacket(40, s, s));
    auto f = ReadAll();
    ASSERT_EQ(f.size(), 3u * 41) << int(first);
    EXPECT_EQ(f[0], first);
    EXPECT_EQ(uint32_t(f[40]), uint32_t(first));
    EXPECT_EQ(Amx.LostPackets.load(), uint32_t(first));  // packet 0 as the synchronising one, and the rest
  }
}

TEST_F(Fixture, SequenceBreaksCountEveryLostPacketAndLeaveAGapInTheNumbers)
{
  for (int s = 0; s < 258; ++s) Feed(SamplePacket(40, uint8_t(s), s));  // across the wrap: ..., 255, 0, 1
  EXPECT_EQ(ReadAll().size(), 257u * 41);
  EXPECT_EQ(Amx.LostPackets.load(), 1u);  // the synchronising packet
  Feed(SamplePacket(40, 2, 2));
  Feed(SamplePacket(40, 4, 4));  // 3 lost: 4 is kept, one number is skipped
  Feed(SamplePacket(40, 5, 5));
  Feed(SamplePacket(40, 2, 9));  // 252 lost (mod 256), across the wrap
  auto f = ReadAll();
  ASSERT_EQ(f.size(), 4u * 41);
  EXPECT_EQ(f[0], 2);
  EXPECT_EQ(f[41], 4);
  EXPECT_EQ(f[82], 5);
  EXPECT_EQ(uint32_t(f[40]) & 0x0FFFFFFF, 258u);
  EXPECT_EQ(uint32_t(f[81]) & 0x0FFFFFFF, 260u);
  EXPECT_EQ(uint32_t(f[122]) & 0x0FFFFFFF, 261u);
  EXPECT_EQ(uint32_t(f[163]) & 0x0FFFFFFF, 261u + 252 + 1);
  EXPECT_EQ(Amx.LostPackets.load(), 1u + 1 + 252);
}

TEST_F(Fixture, MalformedPacketsAreIgnored)
{
  Feed(SamplePacket(40, 0));
  Feed(Packet(4, {1, 2, 3, 4, 5}));                        // n = 5: too short
  Feed(Packet(4, std::vector<uint8_t>(125)));              // 41 samples: too many
  Feed({0x00, 0x13, 0xAA, 0x04, 0x02, 0x77, 0x54, 0x55});  // noise, a bad trailer
  Feed(SamplePacket(40, 1, 42));
  auto f = ReadAll();
  ASSERT_EQ(f.size(), 41u);
  EXPECT_EQ(f[0], 42);
  EXPECT_EQ(Amx.LostPackets.load(), 1u);
}

TEST_F(Fixture, PacketSplitAcrossBlocksIsCompletedByTheNextBlock)
{
  std::vector<uint8_t> bytes = SamplePacket(40, 0);
  for (uint8_t s = 1; s < 4; ++s) {
    auto p = SamplePacket(40, s, s);
    bytes.insert(bytes.end(), p.begin(), p.end());
  }
  for (size_t at = 0; at < bytes.size(); at += 7) {
    std::vector<uint8_t> part(bytes.begin() + ptrdiff_t(at), bytes.begin() + ptrdiff_t(std::min(at + 7, bytes.size())));
    Feed(part);
  }
  auto f = ReadAll();
  ASSERT_EQ(f.size(), 3u * 41);
  EXPECT_EQ(f[82], 3);
}

TEST_F(Fixture, ShortPacketsOnAWideDeviceMarkMissingChannelsInvalid)
{
  Feed(SamplePacket(16, 0));
  Feed(SamplePacket(16, 1, 9));
  auto f = ReadAll();
  ASSERT_EQ(f.size(), 41u);
  EXPECT_EQ(f[0], 9);
  EXPECT_EQ(f[15], 15);
  EXPECT_EQ(f[16], 0x7FFFFFFF);
  EXPECT_EQ(f[39], 0x7FFFFFFF);
}

TEST_F(Fixture, ReadSmallerThanAFrameLeavesTheDataInPlace)
{
  Feed(SamplePacket(40, 0));
  Feed(SamplePacket(40, 1, 5));
  int32_t small[40];
  EXPECT_EQ(Amx.ReadSamples(small, sizeof small), 0);
  EXPECT_EQ(ReadAll().size(), 41u);
}

TEST_F(Fixture, AfterOverflowTheReaderResumesOnAFrameBoundary)
{
  Feed(SamplePacket(40, 0));
  for (int i = 1; i <= 2000; ++i) Feed(SamplePacket(40, uint8_t(i), i));  // > 1598 frames: overwrites
  auto f = ReadAll();
  ASSERT_GT(f.size(), 0u);
  ASSERT_EQ(f.size() % 41, 0u);
  for (size_t k = 0; k < f.size(); k += 41) {
    uint32_t number = uint32_t(f[k + 40]) & 0x0FFFFFFF;
    EXPECT_EQ(f[k], int32_t(number)) << "frame at word " << k;  // channel 0 carries the number
    if (k) {
      EXPECT_EQ(number, (uint32_t(f[k - 1]) & 0x0FFFFFFF) + 1);
    }
  }
  EXPECT_EQ(uint32_t(f.back()) & 0x0FFFFFFF, 2000u);
}

TEST_F(Fixture, UartRecordsCarryTheLastSampleNumber)
{
  Feed(Packet(6, {'x', 0}));  // before the first frame: logged, not recorded
  Feed(SamplePacket(40, 0));
  Feed(SamplePacket(40, 1));
  Feed(Packet(6, {'h', 'i', 0}));
  Feed(Packet(6, {0}));  // n = 1: nothing
  uint8_t out[64];
  int n = Amx.ReadUart(out, sizeof out);
  ASSERT_EQ(n, 7);
  int32_t number;
  memcpy(&number, out, 4);
  EXPECT_EQ(number, 1);
  EXPECT_EQ(out[4], 2);
  EXPECT_EQ(out[5], 'h');
  EXPECT_EQ(Amx.UartLog->LastPosition, 3);  // 'x', 'h', 'i'
  EXPECT_EQ(Amx.ReadUart(out, 6), 0);
}

TEST_F(Fixture, UartReaderAfterOverflowResumesOnARecordBoundary)
{
  Feed(SamplePacket(40, 0));
  Feed(SamplePacket(40, 1));
  std::vector<uint8_t> text(100, 'a');
  text.push_back(0);
  for (int i = 0; i < 1000; ++i) {  // 105 bytes per record: overwrites the ring
    text[0] = uint8_t(i);
    Feed(Packet(6, text));
  }
  std::vector<uint8_t> out(70000);
  int n = Amx.ReadUart(out.data(), int(out.size()));
  ASSERT_GT(n, 0);
  ASSERT_EQ(n % 105, 0);
  for (int at = 0; at < n; at += 105) {
    EXPECT_EQ(out[size_t(at) + 4], 100);
    EXPECT_EQ(out[size_t(at) + 5], uint8_t(999 - (n - at) / 105 + 1));
  }
}

TEST_F(Fixture, OnlyTheFirstReplyToAnArmedWaitIsTaken)
{
  Feed(Packet(13, {1, 2}));  // nobody waits
  EXPECT_FALSE(Amx.ReplyArrived);
  Amx.ReplyCode = 13;
  Amx.ReplyAwaited = true;
  Feed(Packet(12, {9, 9}));
  EXPECT_FALSE(Amx.ReplyArrived);
  Feed(Packet(13, {7, 1}));
  Feed(Packet(13, {8, 8, 8}));
  EXPECT_TRUE(Amx.ReplyArrived);
  EXPECT_EQ(Amx.ReplyLength, 2);
  EXPECT_EQ(Amx.ReplyData[0], 7);
}

TEST_F(Fixture, CalibrationRoundsHalfToEven)
{
  Amx.Calibrated = true;
  Amx.Offsets[0] = 1;
  Amx.Gains[0] = 0.5;
  Amx.Gains[1] = 0.5;
  Feed(SamplePacket(40, 0));
  Feed(SamplePacket(40, 1, 6));  // (6 - 1) * 0.5 = 2.5 -> 2; channel 1: 1 * 0.5 -> 0
  auto f = ReadAll();
  ASSERT_EQ(f.size(), 41u);
  EXPECT_EQ(f[0], 2);
  EXPECT_EQ(f[1], 0);
}

TEST_F(Fixture, InfoRecordBreaksTheCalibrationDateDown)
{
  Amx.CalNumber1 = 17;
  Amx.CalDate = 45000.75;  // 15 March 2023, 18:00, a Wednesday
  Amx.ChannelCount = 24;
  uint8_t r[40];
  EXPECT_FALSE(Amx.GetInfo(r, 35));
  ASSERT_TRUE(Amx.GetInfo(r, 36));
  int32_t n;
  uint16_t date[8];
  double lsb;
  memcpy(&n, r, 4);
  memcpy(date, r + 8, 16);
  memcpy(&lsb, r + 28, 8);
  EXPECT_EQ(n, 17);
  EXPECT_EQ(std::vector<uint16_t>(date, date + 8), (std::vector<uint16_t>{2023, 3, 3, 15, 18, 0, 0, 0}));
  memcpy(&n, r + 24, 4);
  EXPECT_EQ(n, 24);
  EXPECT_DOUBLE_EQ(lsb, 2.5 / (19.0 * 2097151.0));
}
