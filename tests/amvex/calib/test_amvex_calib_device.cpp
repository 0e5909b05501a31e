// Calibration, display text and impedance end to end: TAmx against the emulated
// amplifier, whose channels have offsets and gain errors described by the
// calibration record in its system EEPROM area (internal API).
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <vector>

#include "calib/CL_EPROM.h"
#include "device/UAmvex.h"
#include "emulator/analog_model.h"
#include "emulator/emulator.h"

using namespace amx;

namespace {

struct Device {
  TEmulator Emu;
  std::string Path;
  std::unique_ptr<TAmx> Amx;
  explicit Device(int kind) : Path(Emu.Add(kind, 1)), Amx(new TAmx(Emu, Path)) {}
};

// Frames of the running device, waiting until `frames` of them arrived.
std::vector<int32_t> ReadFrames(TAmx& a, int frames)
{
  const int words = int(a.ChannelCount) + 1;
  std::vector<int32_t> out;
  std::vector<int32_t> buf(size_t(words) * 1000);
  for (int tries = 0; tries < 400 && int(out.size()) < frames * words; ++tries) {
    SleepMs(10);
    int n = a.ReadSamples(buf.data(), int(buf.size() * 4));
    out.insert(out.end(), buf.begin(), buf.begin() + n / 4);
  }
  EXPECT_GE(int(out.size()), frames * words);
  return out;
}

int Completed(TAmx& a, int channel)
{
  TLock l(a.DataLock);
  return a.Measurements[channel] ? a.Measurements[channel]->Completed : -1;
}

// Waits until the channel's measurement has completed `windows` windows.
void WaitWindows(TAmx& a, int channel, int windows)
{
  for (int tries = 0; tries < 800 && Completed(a, channel) < windows; ++tries) SleepMs(10);
  ASSERT_GE(Completed(a, channel), windows);
}

std::vector<int32_t> Impedances(TAmx& a)
{
  std::vector<int32_t> v(a.ChannelCount);
  EXPECT_EQ(a.ImpedanceRead(v.data(), int(v.size() * 4)), int(v.size() * 4));
  return v;
}

}  // namespace

TEST(CalibDevice, IdentifyTakesTheEmulatedRecord)
{
  Device d(2);  // 20 channels
  d.Amx->Identify();
  TAmx& a = *d.Amx;
  EXPECT_TRUE(a.Calibrated.load());
  EXPECT_EQ(a.CalNumber1, 4711);
  EXPECT_EQ(a.CalNumber2, 20);
  EXPECT_EQ(a.CalDate, EncodeDate(2020, 6, 1));
  for (int c = 0; c < 20; ++c) {
    EXPECT_EQ(a.Offsets[c], EmuZeroOffset(c));
    EXPECT_DOUBLE_EQ(a.Gains[c], double(kEmuCalSpan) / EmuSpan(c));
    EXPECT_EQ(a.RefResistances[c], EmuRefResistance(c));
  }
  // Channels the record does not describe keep their values.
  EXPECT_EQ(a.Offsets[20], 0);
  EXPECT_EQ(a.Gains[20], 1.0);
  EXPECT_EQ(a.RefResistances[20], 100000000);
}

TEST(CalibDevice, GarbageInTheSystemAreaLeavesCalibrationOff)
{
  TEmulator emu;
  std::string path = emu.Add(7, 1);
  std::array<uint8_t, 256> garbage;
  for (int i = 0; i < 256; ++i) garbage[i] = uint8_t(i * 89 + 7);
  emu.SetEeprom(path, false, garbage);
  TAmx a(emu, path);
  EXPECT_TRUE(a.Identify());
  EXPECT_TRUE(a.Identified);
  EXPECT_EQ(a.ChannelCount, 40u);
  EXPECT_FALSE(a.Calibrated.load());
  EXPECT_EQ(a.CalNumber1, 0);
  EXPECT_EQ(a.Offsets[0], 0);
  EXPECT_EQ(a.Gains[0], 1.0);
  EXPECT_EQ(a.RefResistances[39], 100000000);
}

TEST(CalibDevice, CalibratedChannelsAgreeOnTheCalibrationInput)
{
  Device d(6);  // 16 channels
  TAmx& a = *d.Amx;
  a.Identify();
  d.Emu.SetInput(d.Path, TEmuInput::Calibration);
  ASSERT_TRUE(a.Start());
  std::vector<int32_t> cal = ReadFrames(a, 50);
  d.Emu.SetInput(d.Path, TEmuInput::Zero);
  SleepMs(100);
  std::vector<int32_t> zero = ReadFrames(a, 200);
  a.Calibrated = false;
  d.Emu.SetInput(d.Path, TEmuInput::Signal);
  SleepMs(100);
  std::vector<int32_t> raw = ReadFrames(a, 200);
  a.Stop();

  // With the calibration voltage every channel reads the record's mean span.
  for (size_t f = 0; f + 17 <= cal.size(); f += 17)
    for (int c = 0; c < 16; ++c) ASSERT_EQ(cal[f + c], kEmuCalSpan) << "channel " << c;
  // At 0 V every channel reads 0 (frames taken after the input changed).
  for (size_t f = zero.size() - 100 * 17; f + 17 <= zero.size(); f += 17)
    for (int c = 0; c < 16; ++c) ASSERT_EQ(zero[f + c], 0) << "channel " << c;
  // Without calibration the offsets and gain errors show.
  size_t last = raw.size() - 17;
  uint32_t s = uint32_t(raw[last + 16]) & 0x0FFFFFFF;
  EXPECT_NE(raw[last], EmuSignal(0, s, 500));
}

TEST(CalibDevice, CalibratedSignalIsTheEmulatedInputWithinOneCount)
{
  Device d(7);
  TAmx& a = *d.Amx;
  a.Identify();
  ASSERT_TRUE(a.Start());
  std::vector<int32_t> frames = ReadFrames(a, 300);
  a.Stop();
  // The emulator numbers its packets from 0; the library's first stored frame
  // is number 1 and carries packet 1 (packet 0 synchronises the sequence).
  for (size_t f = 0; f + 41 <= frames.size(); f += 41) {
    uint32_t number = uint32_t(frames[f + 40]) & 0x0FFFFFFF;
    for (int c = 0; c < 40; ++c)
      ASSERT_NEAR(frames[f + c], EmuSignal(c, number, 500), 1) << "channel " << c << " frame " << number;
  }
}

TEST(CalibDevice, DisplayTextArrivesInDisplayCodes)
{
  Device d(1);
  TAmx& a = *d.Amx;
  EXPECT_TRUE(a.SetLcdText("Hello"));
  EXPECT_EQ(d.Emu.LcdText(d.Path), (std::vector<uint8_t>{0x48, 0x65, 0x6C, 0x6C, 0x6F}));
  EXPECT_TRUE(a.SetLcdText("\xCF\xF0\xE8\xE2\xE5\xF2 a\\b"));
  EXPECT_EQ(d.Emu.LcdText(d.Path), (std::vector<uint8_t>{0xA8, 0x70, 0xB8, 0xB3, 0x65, 0xBF, 0x20, 0x61, 0x20, 0x62}));
  EXPECT_TRUE(a.SetLcdText("0123456789abcdefghij"));
  EXPECT_EQ(d.Emu.LcdText(d.Path).size(), 16u);
  d.Emu.ClearCommands(d.Path);
  EXPECT_TRUE(a.SetLcdText(""));
  EXPECT_EQ(d.Emu.Commands(d.Path), (std::vector<std::vector<uint8_t>>{{0xAA, 8, 0, 0x55}}));
}

TEST(CalibDevice, FeedImpedanceMeasuresAgainstTheReference)
{
  Device d(2);  // 20 channels, reference 19
  TAmx& a = *d.Amx;
  a.Identify();
  a.FrameChannels = 20;
  for (int c : {0, 3, 7}) a.Measurements[c].reset(new tImpMes(30, kImpScaleVolts, 1e8, kImpCountVolts, 1.0, 500));
  // Channel 0 carries a sine, the reference the same sine plus a shift (the
  // difference is what is measured); channel 3 gets one invalid sample in its
  // second window, channel 7 none.
  const double twoPi = 6.283185307179586;
  int32_t frame[21];
  for (int s = 0; s < 2000; ++s) {
    std::fill(std::begin(frame), std::end(frame), 100);
    double wave = 20000 * std::sin(twoPi * 30 * s / 500);
    frame[19] = int32_t(std::lround(wave)) + 777;
    frame[0] = int32_t(std::lround(2 * wave)) + 777;
    frame[3] = s == 600 ? kInvalidSample : frame[0];
    frame[7] = frame[19];
    a.StoreFrame(frame, sizeof frame);
    if (s == 999) {
      std::vector<int32_t> v = Impedances(a);
      EXPECT_EQ(v[3], -1);  // the spoilt window
    }
  }
  std::vector<int32_t> v = Impedances(a);
  double ohms = 1e8 * 20000 / std::sqrt(2.0) * kImpCountVolts / kImpScaleVolts;
  EXPECT_NEAR(v[0] / ohms, 1.0, 0.01);
  EXPECT_NEAR(v[3] / ohms, 1.0, 0.01);  // the filter restarted: clean again one window later
  EXPECT_LT(v[7], 0.001 * ohms);        // equal to the reference: nothing to measure
  EXPECT_EQ(v[1], -1);                  // no measurement
  EXPECT_EQ(a.Measurements[0]->Completed, 4);

  // A reference outside the frame has no sample: every window is invalid.
  a.SetImpedanceRef(25);
  for (int s = 0; s < 500; ++s) a.StoreFrame(frame, sizeof frame);
  EXPECT_EQ(Impedances(a)[0], -1);
  // Short buffers are refused.
  int32_t small[19];
  EXPECT_EQ(a.ImpedanceRead(small, sizeof small), 0);
  for (auto& m : a.Measurements) m.reset();
}

TEST(CalibDevice, ElectrodesReadBackWithinTwoPercent)
{
  // A wide-gain 40-channel amplifier (reference 19) and a 16-channel one whose
  // reference is moved to channel 5, measured side by side.
  Device wide(7), small(6);
  wide.Amx->Identify();
  small.Amx->Identify();
  const double ohms[5] = {5000, 20000, 100000, 1000, 200000};
  for (int c = 0; c < 5; ++c) wide.Emu.SetElectrode(wide.Path, c, ohms[c]);
  small.Emu.SetElectrode(small.Path, 5, 0.0);      // the new reference
  small.Emu.SetElectrode(small.Path, 0, 30000.0);  // the old one, now measured
  small.Amx->SetImpedanceRef(5);

  ASSERT_TRUE(wide.Amx->ImpedanceStart());
  ASSERT_TRUE(small.Amx->ImpedanceStart());
  std::vector<int32_t> first = Impedances(*wide.Amx);
  for (int c = 0; c < 40; ++c) EXPECT_EQ(first[c], c == 19 ? -1 : -1000) << c;
  std::vector<int32_t> firstSmall = Impedances(*small.Amx);
  for (int c = 0; c < 16; ++c) EXPECT_EQ(firstSmall[c], c == 5 ? -1 : 0) << c;

  WaitWindows(*wide.Amx, 0, 2);
  WaitWindows(*small.Amx, 0, 2);
  std::vector<int32_t> w = Impedances(*wide.Amx), s = Impedances(*small.Amx);
  wide.Amx->ImpedanceStop();
  small.Amx->ImpedanceStop();

  for (int c = 0; c < 40; ++c) {
    if (c == 19) {
      EXPECT_EQ(w[c], -1);
      continue;
    }
    double expected = c < 5 ? ohms[c] : EmuDefaultImpedance(40, c);
    EXPECT_NEAR(w[c] / expected, 1.0, 0.02) << "channel " << c << " read " << w[c];
  }
  EXPECT_EQ(s[5], -1);
  EXPECT_NEAR(s[0] / 30000.0, 1.0, 0.02) << s[0];
  for (int c = 1; c < 16; ++c)
    if (c != 5) {
      EXPECT_NEAR(s[c] / EmuDefaultImpedance(16, c), 1.0, 0.02) << "channel " << c << " read " << s[c];
    }
  // Stopping ends the measurement: every channel reads -1.
  for (int32_t v : Impedances(*wide.Amx)) EXPECT_EQ(v, -1);
}
