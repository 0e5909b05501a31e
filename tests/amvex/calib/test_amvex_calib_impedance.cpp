// Tests of the impedance filter and window (tImpMes): the band-pass keeps the
// 30 Hz test signal and rejects what lies outside the band, windows complete
// after one second, invalid samples and missing references give -1.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "device/CL_IMPED.h"

using namespace amx;

namespace {

const double kTwoPi = 6.283185307179586;

// Feeds `seconds` of a sine (amplitude in counts) one sample at a time.
void FeedSine(tImpMes& m, double hz, double amplitude, int rate, int seconds, int start = 0)
{
  for (int s = start; s < start + rate * seconds; ++s) {
    int32_t v = int32_t(std::lround(amplitude * std::sin(kTwoPi * hz * s / rate)));
    m.Feed(&v, 1);
  }
}

// Ohms that a sine of this amplitude stands for under the library's scale.
double OhmsOf(double amplitude, double reference)
{
  return reference * amplitude / std::sqrt(2.0) * kImpCountVolts / kImpScaleVolts;
}

tImpMes Measurement(double reference, int rate)
{
  return tImpMes(kImpTestFrequency, kImpScaleVolts, reference, kImpCountVolts, 1.0, rate);
}

}  // namespace

TEST(ImpMes, TurnsTheTestSignalIntoOhmsFromTheSecondWindowOn)
{
  for (int rate : {125, 250, 500, 1000}) {
    tImpMes m = Measurement(1e8, rate);
    EXPECT_EQ(m.WindowSamples, rate);
    FeedSine(m, 30.0, 10000.0, rate, 1);
    EXPECT_EQ(m.Completed, 1);
    FeedSine(m, 30.0, 10000.0, rate, 1, rate);
    EXPECT_EQ(m.Completed, 2);
    EXPECT_NEAR(m.Impedance / OhmsOf(10000.0, 1e8), 1.0, 0.005) << rate;
    EXPECT_NEAR(m.Rms, 10000.0 / std::sqrt(2.0) * kImpCountVolts, 1e-3 * m.Rms);
  }
}

TEST(ImpMes, ResultWaitsForAFullWindow)
{
  tImpMes m = Measurement(1e8, 500);
  for (int s = 0; s < 499; ++s) {
    int32_t v = 1000;
    m.Feed(&v, 1);
  }
  EXPECT_EQ(m.Completed, 0);
  EXPECT_EQ(m.Impedance, 0.0);
  int32_t last = 1000;
  m.Feed(&last, 1);
  EXPECT_EQ(m.Completed, 1);
}

TEST(ImpMes, RejectsSignalsOutsideTheBand)
{
  tImpMes m = Measurement(1e8, 500);
  std::vector<int32_t> block(1500);
  for (int s = 0; s < 1500; ++s)  // DC, 10 Hz and 50 Hz
    block[s] = int32_t(20000 + 10000 * std::sin(kTwoPi * 10 * s / 500) + 10000 * std::sin(kTwoPi * 50 * s / 500));
  m.Feed(block.data(), 1500);
  EXPECT_LT(m.Impedance, 0.02 * OhmsOf(10000.0, 1e8));
}

TEST(ImpMes, AnInvalidSampleSpoilsOnlyItsWindow)
{
  tImpMes m = Measurement(1e8, 250);
  FeedSine(m, 30.0, 8000.0, 250, 2);
  double good = m.Impedance;
  FeedSine(m, 30.0, 8000.0, 250, 0);
  int32_t invalid = kInvalidSample;
  m.Feed(&invalid, 1);
  FeedSine(m, 30.0, 8000.0, 250, 1, 1);  // 250 more: the window ends one sample in
  EXPECT_EQ(m.Completed, 3);
  EXPECT_EQ(m.Impedance, -1.0);
  // The filter restarted empty: the next window carries its transient and is not
  // reported (-1 stands), the one after it reads the signal again.
  FeedSine(m, 30.0, 8000.0, 250, 1, 251);
  EXPECT_EQ(m.Impedance, -1.0);
  FeedSine(m, 30.0, 8000.0, 250, 1, 501);
  EXPECT_NEAR(m.Impedance / good, 1.0, 0.005);
}

TEST(ImpMes, AZeroReferenceGivesMinusOne)
{
  tImpMes m = Measurement(0.0, 500);
  FeedSine(m, 30.0, 8000.0, 500, 1);
  EXPECT_EQ(m.Completed, 1);
  EXPECT_EQ(m.Impedance, -1.0);
}
