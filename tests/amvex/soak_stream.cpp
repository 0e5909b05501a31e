// Soak: 30 s from an emulated 40-channel amplifier at 1000 samples/s, the host
// reading every 100 ms. Every sample number must arrive exactly once, in order,
// and only the synchronising first packet may count as lost. Label "soak".
#include <gtest/gtest.h>

#include "amvex.h"

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

TEST(Soak, EverySampleArrivesOnceInOrder)
{
  ASSERT_GE(GetAmxCount(), 1);
  int32_t id = GetAmxID(0);
  ASSERT_EQ(AmxOpen(id), AMX_OK);
  ASSERT_EQ(AmxSetSampling(id, 1000), AMX_OK);
  ASSERT_EQ(AmxStart(id), AMX_OK);
  std::vector<int32_t> buf(41 * 2000);
  uint32_t expected = 1;
  long bad = 0;
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    int32_t got = 0;
    ASSERT_EQ(AmxRead(id, buf.data(), int32_t(buf.size() * 4), &got), AMX_OK);
    for (int k = 0; k < got / 4 / 41; ++k, ++expected)
      if ((uint32_t(buf[size_t(k) * 41 + 40]) & AMX_STATUS_SAMPLE_MASK) != expected) ++bad;
  }
  int32_t lost = -1;
  ASSERT_EQ(AmxDebugState(id, &lost), AMX_OK);
  EXPECT_EQ(AmxStop(id), AMX_OK);
  std::printf("soak: %u frames in 30 s, %ld out of order, %d packet(s) lost\n", expected - 1, bad, lost);
  EXPECT_EQ(bad, 0);
  EXPECT_EQ(lost, 1);
  EXPECT_GT(expected - 1, 29000u);
}
