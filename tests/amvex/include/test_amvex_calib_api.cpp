// Impedance, reference channel and display through the public header, against
// the amplifiers AMVEX_EMULATE names (kind 7: 40 wide-gain channels; kind 6: 16
// channels). The emulated electrodes keep their power-up impedances: by channel
// mod 8 5 k, 20 k, 100 k, 1 k, 200 k, 10 k, 50 k, 2 kOhm; 0 on the reference.
#include <gtest/gtest.h>

#include "amvex.h"
#include "api_helpers.h"

#include <chrono>
#include <thread>
#include <vector>

namespace {

std::vector<int32_t> Read(int32_t id, int channels)
{
  std::vector<int32_t> v(size_t(channels) + 1, 12345);
  EXPECT_EQ(AmxMeasureImpedanceRead(id, v.data(), int32_t(v.size() * 4)), AMX_OK);
  EXPECT_EQ(v[size_t(channels)], 0);  // the whole buffer is zeroed first
  v.pop_back();
  return v;
}

const double kOhms[8] = {5000, 20000, 100000, 1000, 200000, 10000, 50000, 2000};

}  // namespace

TEST(CalibApi, ReferenceChannelAndArgumentChecks)
{
  int32_t id = IdOfKind(7), ref = -5;
  ASSERT_NE(id, 0);
  EXPECT_EQ(AmxGetImpedanceRef(id, &ref), AMX_OK);
  EXPECT_EQ(ref, 19);
  EXPECT_EQ(AmxSetImpedanceRef(id, 40), AMX_FAILED);
  EXPECT_EQ(AmxSetImpedanceRef(id, -1), AMX_FAILED);
  EXPECT_EQ(AmxSetImpedanceRef(id, 3), AMX_OK);
  EXPECT_EQ(AmxGetImpedanceRef(id, &ref), AMX_OK);
  EXPECT_EQ(ref, 3);
  EXPECT_EQ(AmxSetImpedanceRef(id, 19), AMX_OK);
  EXPECT_EQ(AmxGetImpedanceRef(id, nullptr), AMX_FAILED);

  int32_t values[40];
  EXPECT_EQ(AmxMeasureImpedanceRead(id, values, 4 * 40 - 1), AMX_FAILED);
  EXPECT_EQ(AmxMeasureImpedanceRead(id, nullptr, 160), AMX_FAILED);
  EXPECT_EQ(AmxMeasureImpedanceRead(id, values, 160), AMX_OK);
  EXPECT_EQ(values[0], -1);  // nothing measured

  EXPECT_EQ(AmxLCD(id, "Hello"), AMX_OK);
  EXPECT_EQ(AmxLCD(id, ""), AMX_OK);
  EXPECT_EQ(AmxLCD(id, nullptr), AMX_FAILED);
  EXPECT_EQ(AmxLCD(0, "x"), AMX_NO_DEVICE);
  EXPECT_EQ(AmxMeasureImpedanceStart(0), AMX_NO_DEVICE);
  EXPECT_EQ(AmxSetImpedanceRef(0, 1), AMX_NO_DEVICE);
}

TEST(CalibApi, ElectrodesReadBackWithinTwoPercent)
{
  int32_t wide = IdOfKind(7), small = IdOfKind(6);
  ASSERT_NE(wide, 0);
  ASSERT_NE(small, 0);
  // Each read right after its own start, within the first one-second window
  // even on a slow (sanitizer) build.
  ASSERT_EQ(AmxMeasureImpedanceStart(wide), AMX_OK);
  std::vector<int32_t> w = Read(wide, 40);
  ASSERT_EQ(AmxMeasureImpedanceStart(small), AMX_OK);
  std::vector<int32_t> s = Read(small, 16);
  for (int c = 0; c < 40; ++c) EXPECT_EQ(w[c], c == 19 ? -1 : -1000) << c;
  for (int c = 0; c < 16; ++c) EXPECT_EQ(s[c], c == 0 ? -1 : 0) << c;

  // Two one-second windows (the first one carries the filter's start-up).
  std::this_thread::sleep_for(std::chrono::milliseconds(2600));
  w = Read(wide, 40);
  s = Read(small, 16);
  EXPECT_EQ(AmxMeasureImpedanceStop(wide), AMX_OK);
  EXPECT_EQ(AmxMeasureImpedanceStop(small), AMX_OK);
  for (int c = 0; c < 40; ++c)
    if (c != 19) {
      EXPECT_NEAR(w[c] / kOhms[c % 8], 1.0, 0.02) << "channel " << c << " read " << w[c];
    }
  for (int c = 1; c < 16; ++c) EXPECT_NEAR(s[c] / kOhms[c % 8], 1.0, 0.02) << "channel " << c << " read " << s[c];
  EXPECT_EQ(Read(wide, 40)[0], -1);  // stopped
}
