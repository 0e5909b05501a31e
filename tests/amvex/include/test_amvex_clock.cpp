// The host-time fit (amvex_clock.h) on the reads of reads.csv (jitter, stalls,
// drift that changes, a long gap and a new start; see make_reads.py), across the
// wrap of the 28-bit sample numbers and over lost packets; stamps that never go
// back.
#include "amvex_clock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace {

struct Read {
  uint32_t first, last;
  double t_read, t_true, t_fit, t_stamp;
};

std::vector<Read> load_reads()
{
  std::vector<Read> reads;
  FILE* f = std::fopen(AMX_CLOCK_READS, "r");
  if (!f) return reads;
  Read r;
  std::fscanf(f, "%*[^\n]\n");
  while (std::fscanf(f, "%u,%u,%lf,%lf,%lf,%lf\n", &r.first, &r.last, &r.t_read, &r.t_true, &r.t_fit, &r.t_stamp) == 6)
    reads.push_back(r);
  std::fclose(f);
  return reads;
}

TEST(AmxClock, RecordedReadsGiveTheSameTimesAsThePythonPortAndTrackTheDeviceClock)
{
  std::vector<Read> reads = load_reads();
  ASSERT_GT(reads.size(), 1000u);
  AmxClock clock;
  AmxClockInit(&clock, 500);
  std::vector<double> errors;
  int restarts = 0;
  double previous = -INFINITY;
  for (const Read& r : reads) {
    restarts += AmxClockAdd(&clock, r.first, r.last, r.t_read);
    double t = AmxClockTime(&clock, r.last);
    ASSERT_NEAR(t, r.t_fit, 2e-9) << "block " << r.first << ".." << r.last;
    errors.push_back(std::fabs(t - r.t_true));
    for (uint32_t n = r.first; n <= r.last; ++n) {
      double stamp = AmxClockStamp(&clock, n);
      if (n == r.first) {
        ASSERT_NEAR(stamp, r.t_stamp, 2e-9) << "block " << r.first << ".." << r.last;
      }
      ASSERT_GT(stamp, previous) << "frame " << n;  // across the gap and the new start too
      previous = stamp;
    }
  }
  EXPECT_EQ(restarts, 3);  // the first block, the gap, the new start
  std::sort(errors.begin(), errors.end());
  EXPECT_LT(errors[errors.size() / 2], 1.5e-3);
  EXPECT_LT(errors.back(), 4e-3);
}

TEST(AmxClock, SampleNumbersWrapWithoutARestartAndEarlierFramesTimeBackwards)
{
  AmxClock clock;
  AmxClockInit(&clock, 1000);
  EXPECT_TRUE(std::isnan(AmxClockTime(&clock, 1)));
  uint32_t first = AMX_CLOCK_NUMBER_MASK - 499;  // wraps to 0 after 500 frames
  int restarts = 0;
  for (int i = 0; i < 40; ++i, first = (first + 100) & AMX_CLOCK_NUMBER_MASK)
    restarts += AmxClockAdd(&clock, first, (first + 99) & AMX_CLOCK_NUMBER_MASK, 10.0 + 0.1 * (i + 1) - 0.0005);
  EXPECT_EQ(restarts, 1);
  uint32_t last = (first - 1) & AMX_CLOCK_NUMBER_MASK;
  EXPECT_NEAR(AmxClockTime(&clock, last), 14.0 - 0.0005, 1e-9);
  EXPECT_NEAR(AmxClockTime(&clock, AMX_CLOCK_NUMBER_MASK), 10.5 - 0.0005, 1e-9);  // before the wrap
  EXPECT_NEAR(AmxClockTime(&clock, (last + 1000) & AMX_CLOCK_NUMBER_MASK), 15.0 - 0.0005, 1e-9);
}

TEST(AmxClock, LostPacketsKeepTheFitALongGapOrANewStartBeginsAnother)
{
  AmxClock clock;
  AmxClockInit(&clock, 1000);
  EXPECT_EQ(AmxClockAdd(&clock, 1, 100, 0.1), 1);
  EXPECT_EQ(AmxClockAdd(&clock, 101 + AMX_CLOCK_MAX_SKIP, 400, 0.4), 0);  // 255 packets lost
  EXPECT_NEAR(AmxClockTime(&clock, 200), 0.2, 1e-9);
  EXPECT_EQ(AmxClockAdd(&clock, 402 + AMX_CLOCK_MAX_SKIP, 800, 0.8), 1);
  EXPECT_EQ(AmxClockAdd(&clock, 1, 50, 0.85), 1);
}

TEST(AmxClock, StampsCatchUpALoweredLineWithoutGoingBack)
{
  AmxClock clock;
  AmxClockInit(&clock, 1000);
  AmxClockAdd(&clock, 1, 1, 0.070);  // the first frame alone, read 69 ms late
  EXPECT_NEAR(AmxClockStamp(&clock, 1), 0.070, 1e-12);
  AmxClockAdd(&clock, 2, 100, 0.100);  // on time: the line drops by 69 ms
  EXPECT_NEAR(AmxClockTime(&clock, 2), 0.002, 1e-12);
  for (uint32_t n = 2; n <= 100; ++n) EXPECT_NEAR(AmxClockStamp(&clock, n), 0.0695 + 0.0005 * n, 1e-12);
  AmxClockAdd(&clock, 101, 200, 0.200);  // half a period per frame caught up by frame 139
  for (uint32_t n = 101; n <= 200; ++n)
    EXPECT_NEAR(AmxClockStamp(&clock, n), n < 139 ? 0.0695 + 0.0005 * n : 0.001 * n, 1e-12) << n;
  EXPECT_NEAR(AmxClockStamp(&clock, 150), 0.150, 1e-12);  // before the newest stamp: the line's time
}

}  // namespace
