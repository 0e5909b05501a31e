// Faults on cue, as a host sees them: the public interface against the amplifiers
// AMVEX_EMULATE names with faults (see CMakeLists.txt: one process per group, as a
// power suspend reaches every device). Links only the shared library.
#include <gtest/gtest.h>

#include "amvex.h"
#include "api_helpers.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int32_t Invalid = 0x7FFFFFFF;  // a sample the device flagged invalid

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

double Since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// Polls every 20 ms until done() or the seconds pass; whether it got done.
template <class Done>
bool Within(double seconds, Done done)
{
  for (auto t = Clock::now(); Since(t) < seconds; Pause(20))
    if (done()) return true;
  return done();
}

// Starts the device, reads 0.3 s of frames (500 samples/s) and stops it.
void ExpectAStream(int32_t id, int channels)
{
  ASSERT_EQ(AmxStart(id), AMX_OK);
  TFrameTally tally;
  Pause(300);
  EXPECT_EQ(tally.Read(id, channels), AMX_OK);
  EXPECT_GT(tally.Received, 50u);
  EXPECT_EQ(AmxStop(id), AMX_OK);
}

}  // namespace

// AMVEX_EMULATE="kind=7,rev=64,seed=7,loss_at=0.3+0.5+0.5001,invalid=3@0.2-0.4;kind=6,noreply=2;
//                kind=2,seed=3,loss=0.05,corrupt=0.05,jitter=30,drift=-50000;kind=1,colour=2;kind=8,loss=2"

TEST(Faults, DevicesWithBadItemsAreNotCreated)
{
  EXPECT_EQ(GetAmxCount(), 3);
  EXPECT_EQ(IdOfKind(1), 0);
  EXPECT_EQ(IdOfKind(8), 0);
}

TEST(Faults, TimedLossesShowAsGapsAndInvalidSamplesAreMarked)
{
  int32_t id = IdOfKind(7);
  ASSERT_EQ(AmxSetSampling(id, 1000), AMX_OK);
  ASSERT_EQ(AmxStart(id), AMX_OK);
  std::vector<int32_t> frames, buf(41 * 2000);
  for (int i = 0; i < 10; ++i) {
    Pause(100);
    int32_t got = 0;
    ASSERT_EQ(AmxRead(id, buf.data(), int32_t(buf.size() * 4), &got), AMX_OK);
    frames.insert(frames.end(), buf.begin(), buf.begin() + got / 4);
  }
  int32_t lost = 0;
  ASSERT_EQ(AmxDebugState(id, &lost), AMX_OK);
  EXPECT_EQ(AmxStop(id), AMX_OK);
  // Frame n is the device's sample n (its first packet only synchronises): the
  // packets due at 300 ms and 500 ms are lost, and the two times 0.5 and 0.5001
  // (both 500 ms) take two packets in a row.
  std::vector<uint32_t> missing;
  uint32_t last = 0;
  int invalid = 0;
  for (size_t k = 0; k < frames.size() / 41; ++k) {
    uint32_t n = uint32_t(frames[k * 41 + 40]) & AMX_STATUS_SAMPLE_MASK;
    for (uint32_t m = last + 1; m < n; ++m) missing.push_back(m);
    last = n;
    bool window = n >= 200 && n < 400;  // channel 3 flagged from 0.2 s to 0.4 s
    EXPECT_EQ(frames[k * 41 + 3] == Invalid, window) << n;
    EXPECT_NE(frames[k * 41 + 4], Invalid) << n;
    invalid += window;
  }
  ASSERT_GT(last, 900u);
  EXPECT_EQ(missing, (std::vector<uint32_t>{300, 500, 501}));
  EXPECT_EQ(lost, 1 + 3);  // the synchronising packet and the three lost
  EXPECT_EQ(invalid, 200 - 1);
}

TEST(Faults, SilentStartFailsInBoundedTime)
{
  int32_t id = IdOfKind(6);
  auto t = Clock::now();
  EXPECT_EQ(AmxStart(id), AMX_START_FAILED);
  EXPECT_LT(Since(t), 3.0);
  // Left stopped: nothing new arrives.
  // Nothing of the attempt is left to read (its reply wait had read the stream).
  int32_t got = -1, frames[17 * 4000];
  EXPECT_EQ(AmxRead(id, frames, int32_t(sizeof frames), &got), AMX_OK);
  EXPECT_EQ(got, 0);
  Pause(100);
  EXPECT_EQ(AmxRead(id, frames, int32_t(sizeof frames), &got), AMX_OK);
  EXPECT_EQ(got, 0);
}

// A start that fails (the device never confirms: some 1.5 s of waiting) holds up
// neither calls on another device nor reads on its own, from another thread.
TEST(Faults, AFailingStartHoldsUpNoOtherCall)
{
  int32_t silent = IdOfKind(6), other = IdOfKind(2);
  ASSERT_NE(silent, 0);
  ASSERT_NE(other, 0);
  ASSERT_EQ(AmxStart(other), AMX_OK);
  std::atomic<bool> done{false};
  std::thread starter([&] {
    for (int i = 0; i < 2; ++i) EXPECT_EQ(AmxStart(silent), AMX_START_FAILED);
    done = true;
  });
  double worst = 0;
  int rounds = 0;
  TFrameTally tally;
  while (!done) {
    auto t = Clock::now();
    int32_t got = 0, lost = 0, rate = 0, frames[17 * 100];
    EXPECT_GE(GetAmxCount(), 3);
    EXPECT_EQ(tally.Read(other, 20), AMX_OK);
    EXPECT_EQ(AmxGetSampling(other, &rate), AMX_OK);
    EXPECT_EQ(AmxRead(silent, frames, int32_t(sizeof frames), &got), AMX_OK);
    EXPECT_EQ(AmxDebugState(silent, &lost), AMX_OK);
    worst = std::max(worst, Since(t));
    ++rounds;
    Pause(5);
  }
  starter.join();
  EXPECT_EQ(AmxStop(other), AMX_OK);
  EXPECT_GT(rounds, 10);
  EXPECT_GT(tally.Received, 100u);  // the other device streamed on meanwhile
  // Each round takes well under 50 ms on an idle machine; the bound leaves room
  // for a loaded one under a sanitizer, and the calls waited for whole starts
  // (over a second) while one lock served every device.
  EXPECT_LT(worst, 0.5);
}

TEST(Faults, LossCorruptionJitterAndDriftKeepTheCount)
{
  int32_t id = IdOfKind(2);  // 20 channels
  ASSERT_EQ(AmxSetSampling(id, 1000), AMX_OK);
  ASSERT_EQ(AmxStart(id), AMX_OK);
  TFrameTally tally;
  Pause(500);
  ASSERT_EQ(tally.Read(id, 20), AMX_OK);
  uint32_t first = tally.Last;
  auto t = Clock::now();
  for (int i = 0; i < 30; ++i) {
    Pause(100);
    ASSERT_EQ(tally.Read(id, 20), AMX_OK);
  }
  double rate = (tally.Last - first) / Since(t);
  EXPECT_EQ(AmxStop(id), AMX_OK);
  ASSERT_EQ(tally.Read(id, 20), AMX_OK);  // what came before the stop
  int32_t lost = 0;
  ASSERT_EQ(AmxDebugState(id, &lost), AMX_OK);
  EXPECT_EQ(tally.OutOfOrder, 0u);  // jitter delays packets but keeps their order
  EXPECT_EQ(tally.Received + tally.Missing, tally.Last);
  EXPECT_GT(tally.Missing, 100u);                // about 10% of 3500
  EXPECT_EQ(uint64_t(lost - 1), tally.Missing);  // besides the synchronising packet
  EXPECT_NEAR(rate, 950, 35);                    // the device's clock runs 5% slow (healthy: 1000)
}

// AMVEX_EMULATE="kind=7,unplug=1,replug=0.5"
TEST(Plug, UnplugEndsTheStreamAndReplugBringsANewDevice)
{
  ASSERT_EQ(GetAmxCount(), 1);
  int32_t id = GetAmxID(0);
  ASSERT_EQ(AmxOpen(id), AMX_OK);
  ASSERT_EQ(AmxStart(id), AMX_OK);
  TFrameTally tally;
  EXPECT_TRUE(Within(3, [&] { return tally.Read(id, 40) == AMX_NO_DEVICE; }));
  EXPECT_GT(tally.Received, 50u);  // 500 samples/s for 1 s, less what the device took with it
  EXPECT_EQ(GetAmxCount(), 0);
  // Absent for the 0.5 s after the unplug (and its new device's reset besides).
  auto gone = Clock::now();
  ASSERT_TRUE(Within(3, [] { return GetAmxCount() == 1; }));
  EXPECT_GE(Since(gone), 0.5);
  int32_t again = GetAmxID(0);
  EXPECT_NE(again, id);
  ASSERT_EQ(AmxOpen(again), AMX_OK);
  ExpectAStream(again, 40);
}

// AMVEX_EMULATE="kind=6,suspend=0.3"
TEST(Power, SuspendEndsAcquisitionAndTheDeviceOpensAfterResume)
{
  int32_t id = IdOfKind(6);
  ASSERT_EQ(AmxStart(id), AMX_OK);
  TFrameTally tally;
  // The suspend closes the device: reads report it instead of an empty stream.
  EXPECT_TRUE(Within(3, [&] { return tally.Read(id, 16) != AMX_OK; }));
  EXPECT_GT(tally.Received, 50u);
  // The resume (a second later) reopens the handle; the host opens the device again.
  ASSERT_TRUE(Within(3, [&] { return AmxOpen(id) == AMX_OK; }));
  ExpectAStream(id, 16);
}

// AMVEX_EMULATE="kind=2,noreply=13;kind=7,noreply=12;kind=6,noreply=14;kind=8,noreply=15;kind=1,noreply=16;
//                kind=6,seed=9,loss=0.05;kind=6,seed=9,loss=0.05;kind=6,seed=10,loss=0.05"
// Devices by index: an unidentified device asks again on every AmxOpen.

TEST(Keys, EachUnansweredCommandFailsAndOnlyIt)
{
  ASSERT_EQ(GetAmxCount(), 8);
  int32_t id[5];
  for (int i = 0; i < 5; ++i) ASSERT_EQ(AmxOpen(id[i] = GetAmxID(i)), AMX_OK);
  uint8_t area[48] = {};
  // 13, identification: the documented fallback, a 40-channel device without calibration.
  AmxDeviceInfo info = {};
  AmxInternalInfoRecord internal = {};
  int32_t calibrated = -1;
  ASSERT_EQ(AmxInfo(id[0], &info, sizeof info), AMX_OK);
  ASSERT_EQ(AmxInternalInfo(id[0], &internal, sizeof internal), AMX_OK);
  ASSERT_EQ(AmxGetCalibrateFlag(id[0], &calibrated), AMX_OK);
  EXPECT_EQ(info.channelCount, 40);
  EXPECT_EQ(internal.deviceKind, 0);
  EXPECT_EQ(calibrated, 0);
  EXPECT_EQ(AmxReadSystemEEPROM(id[0], area, sizeof area), AMX_FAILED);
  EXPECT_EQ(AmxReadUserEEPROM(id[0], area, sizeof area), AMX_OK);
  // 12 and 14, the writes; 15, the user area's read.
  EXPECT_EQ(AmxReadSystemEEPROM(id[1], area, sizeof area), AMX_OK);
  EXPECT_EQ(AmxWriteSystemEEPROM(id[1], area, sizeof area), AMX_FAILED);
  EXPECT_EQ(AmxWriteUserEEPROM(id[1], area, sizeof area), AMX_OK);
  EXPECT_EQ(AmxWriteUserEEPROM(id[2], area, sizeof area), AMX_FAILED);
  EXPECT_EQ(AmxReadUserEEPROM(id[3], area, sizeof area), AMX_FAILED);
  EXPECT_EQ(AmxReadSystemEEPROM(id[3], area, sizeof area), AMX_OK);
  // 16, the master clock, which only a running device confirms.
  for (int i : {1, 4}) {
    ASSERT_EQ(AmxStart(id[i]), AMX_OK);
    int32_t clock = 3;
    EXPECT_EQ(AmxMasterClockConfig(id[i], &clock), i == 4 ? AMX_FAILED : AMX_OK) << i;
    EXPECT_EQ(AmxStop(id[i]), AMX_OK);
  }
}

TEST(Keys, ASeedRepeatsItsLossesAndAnotherSeedMovesThem)
{
  int32_t id[3];
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(AmxOpen(id[i] = GetAmxID(5 + i)), AMX_OK);
    ASSERT_EQ(AmxStart(id[i]), AMX_OK);
  }
  Pause(800);
  std::vector<uint32_t> missing[3];
  uint32_t common = ~0u;  // the sample numbers all three reached
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(AmxStop(id[i]), AMX_OK);
    static int32_t frames[17 * 4000];
    int32_t got = 0;
    ASSERT_EQ(AmxRead(id[i], frames, int32_t(sizeof frames), &got), AMX_OK);
    uint32_t last = 0;
    for (int32_t k = 0; k < got / 4 / 17; ++k) {
      uint32_t n = uint32_t(frames[k * 17 + 16]) & AMX_STATUS_SAMPLE_MASK;
      for (uint32_t m = last + 1; m < n; ++m) missing[i].push_back(m);
      last = n;
    }
    common = std::min(common, last);
  }
  ASSERT_GT(common, 300u);
  for (auto& m : missing) m.erase(std::lower_bound(m.begin(), m.end(), common), m.end());
  EXPECT_GT(missing[0].size(), 5u);  // about 5% of 300 and more
  EXPECT_EQ(missing[0], missing[1]);
  EXPECT_NE(missing[0], missing[2]);
}

// AMVEX_EMULATE="kind=7,signal=eeg,seed=5;kind=7,signal=eeg,seed=5": the EEG-like
// input, read as a host reads it (calibrated, in microvolts), judged by its
// spectrum. Channel 17 is O1 (posterior), channel 8 C3 of the 40-channel montage.

namespace {

// Power of x around hz: Hann-windowed one-second segments, half overlapping.
double PowerAt(const std::vector<double>& x, int rate, double hz)
{
  const double twoPi = 6.283185307179586;
  double sum = 0;
  int segments = 0;
  for (size_t at = 0; at + size_t(rate) <= x.size(); at += size_t(rate) / 2, ++segments) {
    double re = 0, im = 0;
    for (int i = 0; i < rate; ++i) {
      const double w = 0.5 - 0.5 * std::cos(twoPi * i / rate), v = w * x[at + size_t(i)];
      re += v * std::cos(twoPi * hz * i / rate);
      im += v * std::sin(twoPi * hz * i / rate);
    }
    sum += re * re + im * im;
  }
  return sum / segments;
}

}  // namespace

TEST(Eeg, SpectrumFallsAsOneOverFWithPosteriorAlphaAndSmallHumRepeatablyForASeed)
{
  const int rate = 500, channels = 40, seconds = 6;
  const int32_t a = GetAmxID(0), b = GetAmxID(1);
  AmxDeviceInfo info{};
  ASSERT_EQ(AmxOpen(a), AMX_OK);
  ASSERT_EQ(AmxOpen(b), AMX_OK);
  ASSERT_EQ(AmxInfo(a, &info, sizeof info), AMX_OK);
  ASSERT_EQ(info.channelCount, channels);
  std::vector<int32_t> frames[2], buf(41 * 4000);
  for (int32_t id : {a, b}) {
    ASSERT_EQ(AmxSetSampling(id, rate), AMX_OK);
    ASSERT_EQ(AmxStart(id), AMX_OK);
  }
  ASSERT_TRUE(Within(seconds + 5, [&] {
    for (int d = 0; d < 2; ++d) {
      int32_t got = 0;
      if (AmxRead(d ? b : a, buf.data(), int32_t(buf.size() * 4), &got) == AMX_OK)
        frames[d].insert(frames[d].end(), buf.begin(), buf.begin() + got / 4);
    }
    return frames[0].size() >= size_t(seconds * rate * (channels + 1)) &&
           frames[1].size() >= size_t(seconds * rate * (channels + 1));
  }));
  AmxStop(a);
  AmxStop(b);
  const size_t n = size_t(seconds * rate * (channels + 1));
  EXPECT_TRUE(std::equal(frames[0].begin(), frames[0].begin() + ptrdiff_t(n), frames[1].begin()));

  auto uv = [&](int channel) {
    std::vector<double> x;
    for (size_t f = 0; f < size_t(seconds * rate); ++f)
      x.push_back(frames[0][f * (channels + 1) + size_t(channel)] * info.voltsPerCount * 1e6);
    return x;
  };
  const std::vector<double> o1 = uv(17), c3 = uv(8);
  // 1/f: the fitted log-log slope of the background away from alpha and hum.
  double sx = 0, sy = 0, sxx = 0, sxy = 0;
  const double hz[] = {2, 3, 4, 5, 6, 15, 20, 25, 30, 35};
  for (double f : hz) {
    const double lx = std::log(f), ly = std::log(PowerAt(c3, rate, f));
    sx += lx, sy += ly, sxx += lx * lx, sxy += lx * ly;
  }
  const double slope = (10 * sxy - sx * sy) / (10 * sxx - sx * sx);
  EXPECT_GT(slope, -1.5);
  EXPECT_LT(slope, -0.6);
  // Alpha: a peak at 10 Hz, far stronger over O1 than over C3.
  EXPECT_GT(PowerAt(o1, rate, 10), 5 * (PowerAt(o1, rate, 7) + PowerAt(o1, rate, 13)) / 2);
  EXPECT_GT(PowerAt(o1, rate, 10), 5 * PowerAt(c3, rate, 10));
  // Hum: 5 uV at 50 Hz (the amplitude from a whole-record DFT).
  double re = 0, im = 0;
  for (size_t i = 0; i < c3.size(); ++i) {
    re += c3[i] * std::cos(6.283185307179586 * 50 * double(i) / rate);
    im += c3[i] * std::sin(6.283185307179586 * 50 * double(i) / rate);
  }
  EXPECT_NEAR(2 * std::hypot(re, im) / double(c3.size()), 5.0, 1.0);
}
