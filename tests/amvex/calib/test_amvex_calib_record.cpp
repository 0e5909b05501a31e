// Tests of the calibration record: CRC-32, the LSB-first bit stream, record
// decoding with its limits and defaults, gains, dates and the record encoder.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <vector>

#include "calib/CL_EPROM.h"
#include "calib/mem_stream.h"
#include "calib/bitStrm.h"
#include "calib/crc32.h"

using namespace amx;

namespace {

// Appends value's n low bits LSB-first, independently of the library's packer.
void PackBits(std::vector<uint8_t>& out, size_t& bit, uint32_t value, int n)
{
  for (int k = 0; k < n; ++k, ++bit) {
    if (out.size() <= bit / 8) out.push_back(0);
    if ((value >> k) & 1) out[bit / 8] |= uint8_t(1u << (bit % 8));
  }
}

struct Raw {
  uint8_t bytes[kCalRecordSize] = {};
  // Per-channel raw 15- and 20-bit values as they are stored.
  void SetReadings(const std::vector<uint32_t>& zero, const std::vector<uint32_t>& cal)
  {
    std::vector<uint8_t> bits;
    size_t bit = 0;
    for (size_t i = 0; i < zero.size(); ++i) {
      PackBits(bits, bit, zero[i], 15);
      PackBits(bits, bit, cal[i], 20);
    }
    ASSERT_LE(bits.size(), kCalBitsLength);
    std::memcpy(bytes + kCalBits, bits.data(), bits.size());
  }
  void Seal()
  {
    uint32_t crc = Crc32(bytes, kCalCrc);
    for (int i = 0; i < 4; ++i) bytes[kCalCrc + i] = uint8_t(crc >> (8 * i));
  }
};

Raw UniformRecord(int channels, uint32_t zero, uint32_t cal)
{
  Raw r;
  r.bytes[kCalChannelCount] = uint8_t(channels);
  r.SetReadings(std::vector<uint32_t>(40, zero), std::vector<uint32_t>(40, cal));
  r.Seal();
  return r;
}

}  // namespace

TEST(Crc32, MatchesTheIeeeCheckValues)
{
  EXPECT_EQ(Crc32("123456789", 9), 0xCBF43926u);
  EXPECT_EQ(Crc32("The quick brown fox jumps over the lazy dog", 43), 0x414FA339u);
  EXPECT_EQ(Crc32("", 0), 0u);
  uint8_t zeros[252] = {};
  EXPECT_NE(Crc32(zeros, sizeof zeros), 0u);
}

TEST(BitStream, ReadsLsbFirstAcrossByteBoundaries)
{
  TMemoryStream s;
  const uint8_t bytes[] = {0xB5, 0x6C, 0xFF};
  s.Write(bytes, 3);
  tBitStream bits(s);
  EXPECT_EQ(bits.ReadBits(false, 4), 0x5);
  EXPECT_EQ(bits.ReadBits(true, 4), -5);     // 0xB sign-extended
  EXPECT_EQ(bits.ReadBits(true, 12), -148);  // 0xF6C spans bytes 1 and 2
  EXPECT_EQ(bits.ReadBits(false, 4), 0xF);
  EXPECT_THROW(bits.ReadBits(false, 1), EReadError);
}

TEST(BitStream, ReadsMixedWidthsBackAsPacked)
{
  const int widths[] = {15, 20, 1, 7, 20, 3, 20, 20, 9, 13};
  std::vector<uint8_t> packed;
  std::vector<uint32_t> values;
  size_t bit = 0;
  uint32_t seed = 12345;
  for (int w : widths) {
    seed = seed * 1103515245u + 12345u;
    uint32_t v = (seed >> 7) & ((1u << w) - 1);
    values.push_back(v);
    PackBits(packed, bit, v, w);
  }
  TMemoryStream s;
  s.Write(packed.data(), packed.size());
  tBitStream bits(s);
  for (size_t i = 0; i < values.size(); ++i) {
    int w = widths[i];
    if (i % 2)
      EXPECT_EQ(bits.ReadBits(false, w), int32_t(values[i])) << i;
    else  // sign-extend by hand for the signed reads
      EXPECT_EQ(bits.ReadBits(true, w), int32_t(values[i] << (32 - w)) >> (32 - w)) << i;
  }
}

TEST(BitStream, RefusesWidthsOutside1To20)
{
  TMemoryStream s;
  const uint8_t bytes[4] = {};
  s.Write(bytes, 4);
  tBitStream bits(s);
  EXPECT_THROW(bits.ReadBits(false, 21), EInvalidArgument);
  EXPECT_THROW(bits.ReadBits(true, 0), EInvalidArgument);
}

TEST(CalRecord, ZeroRecordFailsTheCrcAndGivesTheDefaults)
{
  uint8_t zeros[kCalRecordSize] = {};
  tCalibrate cal(zeros);
  EXPECT_FALSE(cal.Valid);
  EXPECT_EQ(cal.Number1, 7051);
  EXPECT_EQ(cal.Number2, 0);
  EXPECT_EQ(cal.Channels, 40);
  EXPECT_EQ(cal.Name, "   Orka KM22");
  EXPECT_DOUBLE_EQ(cal.CalVoltage, 0.1);
  EXPECT_DOUBLE_EQ(cal.VoltsPerCount, 2.5 / (19 * 2097151.0));
  EXPECT_EQ(cal.Date1, TodayDate());
  for (int i = 0; i < 40; ++i) {
    EXPECT_EQ(cal.ZeroReadings[i], 0);
    EXPECT_EQ(cal.CalReadings[i], 1593835);
    EXPECT_EQ(cal.RefValues[i], 100000000);
  }
}

TEST(CalRecord, OneFlippedBitMakesAValidRecordInvalid)
{
  Raw r = UniformRecord(40, 0, 400000);
  EXPECT_TRUE(tCalibrate(r.bytes).Valid);
  r.bytes[100] ^= 0x10;
  EXPECT_FALSE(tCalibrate(r.bytes).Valid);
}

TEST(CalRecord, UniformReadingsGiveUnitGains)
{
  Raw r = UniformRecord(40, 0, 400000);
  tCalibrate cal(r.bytes);
  ASSERT_TRUE(cal.Valid);
  int32_t offsets[40];
  double gains[40];
  cal.CopyOffsets(offsets, 39);
  cal.ComputeGains(gains, 39);
  for (int i = 0; i < 40; ++i) {
    EXPECT_EQ(cal.CalReadings[i], 1600000);
    EXPECT_EQ(offsets[i], 0);
    EXPECT_EQ(gains[i], 1.0);
  }
}

TEST(CalRecord, DecodesScalarFieldsNameAndReferences)
{
  Raw r;
  const uint8_t name[16] = {0xA8, 0x70, 0xB8, 0xB3, 0x65, 0xBF, 0x20, 'K', 'M', '2', '2', 0x5C, 0x00, 0x7B, 0xFD, 0xE9};
  std::memcpy(r.bytes + kCalName, name, 16);
  r.bytes[kCalNumber1] = 0x34;
  r.bytes[kCalNumber1 + 1] = 0xF2;  // 62004: unsigned
  r.bytes[kCalNumber2] = 0x07;
  r.bytes[kCalDate1] = 0;
  r.bytes[kCalDate2] = 25;
  r.bytes[kCalChannelCount] = 3;
  const uint32_t vpc = 6274176;  // 6.274176e-5 V
  for (int i = 0; i < 4; ++i) r.bytes[kCalVoltsPerCount + i] = uint8_t(vpc >> (8 * i));
  r.bytes[kCalVoltage] = 0x18;
  r.bytes[kCalVoltage + 1] = 0xFC;  // -1000: -0.01 V
  r.bytes[kCalAux1] = 200;
  r.bytes[kCalAux2] = 9;
  r.bytes[kCalAux3] = 255;
  r.bytes[kCalRefValues + 0] = 100;
  r.bytes[kCalRefValues + 1] = 0;
  r.bytes[kCalRefValues + 2] = 255;
  r.bytes[kCalRefValues + 3] = 77;  // beyond Channels: not taken
  r.SetReadings({0x0005, 0x7FFF, 0x4000}, {0x00010, 0x80000, 0x7FFFF});
  r.Seal();

  tCalibrate cal(r.bytes);
  ASSERT_TRUE(cal.Valid);
  EXPECT_EQ(cal.Name, std::string("\xCF\x70\xE8\xE2\x65\xF2 KM22   \x15\x7E"));
  EXPECT_EQ(cal.Number1, 62004);
  EXPECT_EQ(cal.Number2, 7);
  EXPECT_EQ(cal.Channels, 3);
  EXPECT_EQ(cal.Date1, 36526.0);  // 1 January 2000
  EXPECT_EQ(cal.Date2, 37288.0);  // 1 February 2002
  EXPECT_DOUBLE_EQ(cal.VoltsPerCount, 6.274176e-5);
  EXPECT_DOUBLE_EQ(cal.CalVoltage, -0.01);
  EXPECT_EQ(cal.Aux1, 200);
  EXPECT_EQ(cal.Aux2, 9);
  EXPECT_EQ(cal.Aux3, 255000);
  // 15-bit: 5, -1 (x4 = -4), -16384 (x4 = -65536, limited); 20-bit: 16,
  // -524288 (x4 = -2097152, limited), 524287 (x4 = 2097148).
  EXPECT_EQ(cal.ZeroReadings[0], 20);
  EXPECT_EQ(cal.ZeroReadings[1], -4);
  EXPECT_EQ(cal.ZeroReadings[2], -32768);
  EXPECT_EQ(cal.CalReadings[0], 64);
  EXPECT_EQ(cal.CalReadings[1], -2097150);
  EXPECT_EQ(cal.CalReadings[2], 2097148);
  int32_t refs[40];
  std::fill(std::begin(refs), std::end(refs), -7);
  cal.CopyRefValues(refs, 39);
  EXPECT_EQ(refs[0], 100000000);
  EXPECT_EQ(refs[1], 0);
  EXPECT_EQ(refs[2], 255000000);
  EXPECT_EQ(refs[3], -7);  // only Channels entries are copied
}

TEST(CalRecord, LimitsTheMostPositiveZeroReading)
{
  Raw r;
  r.bytes[kCalChannelCount] = 1;
  r.SetReadings({0x3FFF}, {0});
  r.Seal();
  EXPECT_EQ(tCalibrate(r.bytes).ZeroReadings[0], 32767);
}

TEST(CalRecord, GainsScaleEverySpanToTheTruncatedMeanSpan)
{
  // Spans 100, 0, 140 (zero reading 20): mean 240 / 3 = 80.
  Raw r;
  r.bytes[kCalChannelCount] = 3;
  r.SetReadings({0, 5, 5}, {25, 5, 40});
  r.Seal();
  tCalibrate cal(r.bytes);
  double gains[40];
  std::fill(std::begin(gains), std::end(gains), -9.0);
  cal.ComputeGains(gains, 39);
  EXPECT_DOUBLE_EQ(gains[0], 0.8);
  EXPECT_EQ(gains[1], 0.0);  // equal readings
  EXPECT_DOUBLE_EQ(gains[2], 80.0 / 140.0);
  EXPECT_EQ(gains[3], -9.0);

  // Negative spans -12 and -16: the mean -28 / 2 truncates toward zero to -14.
  Raw n;
  n.bytes[kCalChannelCount] = 2;
  n.SetReadings({3, 4}, {0, 0});
  n.Seal();
  tCalibrate neg(n.bytes);
  neg.ComputeGains(gains, 39);
  EXPECT_DOUBLE_EQ(gains[0], 14.0 / 12.0);
  EXPECT_DOUBLE_EQ(gains[1], 14.0 / 16.0);
}

TEST(CalRecord, CopiesStopAtTheHighIndex)
{
  Raw r = UniformRecord(40, 1, 400000);
  tCalibrate cal(r.bytes);
  int32_t offsets[40] = {};
  double gains[40] = {};
  cal.CopyOffsets(offsets, 9);
  cal.ComputeGains(gains, 9);
  EXPECT_EQ(offsets[9], 4);
  EXPECT_EQ(offsets[10], 0);
  EXPECT_EQ(gains[9], 1.0);
  EXPECT_EQ(gains[10], 0.0);
}

TEST(CalRecord, ZeroChannelsLeaveSamplesUnscaled)
{
  Raw r = UniformRecord(0, 3, 400000);
  tCalibrate cal(r.bytes);
  ASSERT_TRUE(cal.Valid);
  int32_t offsets[40];
  std::fill(std::begin(offsets), std::end(offsets), 55);
  double gains[40];
  std::fill(std::begin(gains), std::end(gains), 3.0);
  cal.CopyOffsets(offsets, 39);
  cal.ComputeGains(gains, 39);
  for (int i = 0; i < 40; ++i) {
    EXPECT_EQ(offsets[i], 55);
    EXPECT_EQ(gains[i], 1.0);
  }
}

TEST(CalRecord, MoreThan40ChannelsDecode40)
{
  Raw r = UniformRecord(255, 2, 400000);
  tCalibrate cal(r.bytes);
  ASSERT_TRUE(cal.Valid);
  EXPECT_EQ(cal.Channels, 40);
  double gains[41];
  gains[40] = -1.0;
  cal.ComputeGains(gains, 40);
  EXPECT_EQ(gains[39], 1.0);
  EXPECT_EQ(gains[40], -1.0);
}

TEST(CalRecord, EncoderWritesWhatTheDecoderReads)
{
  tCalibrate in;
  in.Name = "Amp \xC0\xC1 test";  // Cyrillic A comes back as Latin A
  in.Number1 = 4242;
  in.Number2 = 65535;
  in.Channels = 24;
  in.Date1 = MonthToDate(201);
  in.Date2 = EncodeDate(2019, 7, 19);
  in.VoltsPerCount = 1.5e-7;
  in.CalVoltage = -0.25;
  in.Aux1 = 1;
  in.Aux2 = 2;
  in.Aux3 = 3000;
  for (int i = 0; i < 40; ++i) {
    in.ZeroReadings[i] = (i - 20) * 812;
    in.CalReadings[i] = 1600000 + i * 4004;
    in.RefValues[i] = (i * 7 % 256) * 1000000;
  }
  uint8_t record[kCalRecordSize];
  EncodeCalRecord(in, record);
  tCalibrate out(record);
  ASSERT_TRUE(out.Valid);
  EXPECT_EQ(out.Name, "Amp A\xC1 test     ");
  EXPECT_EQ(out.Number1, 4242);
  EXPECT_EQ(out.Number2, 65535);
  EXPECT_EQ(out.Channels, 24);
  EXPECT_EQ(out.Date1, MonthToDate(201));
  EXPECT_EQ(out.Date2, EncodeDate(2019, 7, 1));  // months only
  EXPECT_DOUBLE_EQ(out.VoltsPerCount, 1.5e-7);
  EXPECT_DOUBLE_EQ(out.CalVoltage, -0.25);
  EXPECT_EQ(out.Aux3, 3000);
  for (int i = 0; i < 24; ++i) {
    EXPECT_EQ(out.ZeroReadings[i], in.ZeroReadings[i]);
    EXPECT_EQ(out.CalReadings[i], in.CalReadings[i]);
    EXPECT_EQ(out.RefValues[i], in.RefValues[i]);
  }
}

TEST(CalDate, MonthsAndSystemTimes)
{
  EXPECT_EQ(MonthToDate(0), EncodeDate(2000, 1, 1));
  EXPECT_EQ(MonthToDate(25), EncodeDate(2002, 2, 1));
  EXPECT_EQ(MonthToDate(255), EncodeDate(2021, 4, 1));
  EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
  EXPECT_EQ(DateToMonth(EncodeDate(2002, 2, 28)), 25);
  EXPECT_EQ(DateToMonth(EncodeDate(1999, 12, 31)), 0);
  EXPECT_EQ(DateToMonth(EncodeDate(2030, 1, 1)), 255);

  tSystemTime t = DateToSystemTime(0.0);
  EXPECT_EQ(t.Year, 1899);
  EXPECT_EQ(t.Month, 12);
  EXPECT_EQ(t.Day, 30);
  EXPECT_EQ(t.DayOfWeek, 6);  // Saturday
  EXPECT_EQ(t.Hour + t.Minute + t.Second + t.Milliseconds, 0);

  t = DateToSystemTime(EncodeDate(2024, 2, 29) + 0.75 + 1.5 / 86400);
  EXPECT_EQ(t.Year, 2024);
  EXPECT_EQ(t.Month, 2);
  EXPECT_EQ(t.Day, 29);
  EXPECT_EQ(t.DayOfWeek, 4);  // Thursday
  EXPECT_EQ(t.Hour, 18);
  EXPECT_EQ(t.Minute, 0);
  EXPECT_EQ(t.Second, 1);
  EXPECT_EQ(t.Milliseconds, 500);

  t = DateToSystemTime(EncodeDate(2000, 12, 31) + 0.9999999999);  // rounds to midnight
  EXPECT_EQ(t.Year, 2001);
  EXPECT_EQ(t.Month, 1);
  EXPECT_EQ(t.Day, 1);
  EXPECT_EQ(t.Hour, 0);
  EXPECT_EQ(t.DayOfWeek, 1);  // Monday
}
