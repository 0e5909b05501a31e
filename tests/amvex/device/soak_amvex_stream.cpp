// Soak with faults: a 40-channel amplifier at 1000 samples/s that loses, damages
// and delays packets, is unplugged half-way and comes back as a new device. The
// host reads every 100 ms through the exports; every frame the emulator sent must
// be received once, in order, or be counted lost. AMVEX_SOAK_SECONDS sets the
// length (default 600). Label "soak"; internal, for the emulator's counts.
#include <gtest/gtest.h>

#include "amvex.h"
#include "../include/api_helpers.h"
#include "emulator/emulator.h"

#include <cstdio>
#include <cstdlib>
#include <string>

using namespace amx;

namespace {

// Streams from the device until the deadline or until it is gone; the lost-packet
// count at the end, -1 when the device went away.
int32_t Stream(int32_t id, uint64_t untilMs, TFrameTally& tally)
{
  EXPECT_EQ(AmxOpen(id), AMX_OK);
  EXPECT_EQ(AmxSetSampling(id, 1000), AMX_OK);
  EXPECT_EQ(AmxStart(id), AMX_OK);
  while (TickCount64() < untilMs) {
    SleepMs(100);
    if (tally.Read(id, 40) != AMX_OK) return -1;
  }
  EXPECT_EQ(AmxStop(id), AMX_OK);
  EXPECT_EQ(tally.Read(id, 40), AMX_OK);  // what came before the stop
  int32_t lost = -1;
  EXPECT_EQ(AmxDebugState(id, &lost), AMX_OK);
  return lost;
}

void Report(const char* phase, const TFrameTally& t, int32_t lost, const TEmuStats& s)
{
  std::printf(
      "soak %s: emulator made %llu packets (%llu lost, %llu damaged), delivered %llu of them up to the last "
      "intact one (%llu lost or damaged); host received %llu frames, %llu missing in the numbers, %d counted "
      "lost, %llu out of order\n",
      phase, (unsigned long long)s.Packets, (unsigned long long)s.Lost, (unsigned long long)s.Corrupted,
      (unsigned long long)s.Delivered, (unsigned long long)s.DeliveredFaults, (unsigned long long)t.Received,
      (unsigned long long)t.Missing, lost, (unsigned long long)t.OutOfOrder);
}

}  // namespace

TEST(Soak, EveryFrameSentIsReceivedOnceOrCountedLost)
{
  const char* env = std::getenv("AMVEX_SOAK_SECONDS");
  double seconds = env ? std::atof(env) : 600;
  ASSERT_GE(seconds, 10);
  TEmulator& emu = DefaultEmulator();
  std::string error;
  auto config = ParseEmulateDevices(
      "kind=7,rev=64,seed=11,loss=0.002,corrupt=0.002,jitter=20,replug=2,unplug=" + std::to_string(seconds / 2), error);
  ASSERT_EQ(config.size(), 1u) << error;
  uint64_t end = TickCount64() + uint64_t(seconds * 1000);
  std::string first = emu.Plug(config[0]);
  ASSERT_EQ(GetAmxCount(), 1);
  int32_t id = GetAmxID(0);

  // Until the unplug: the frames in the device's ring when it goes are lost with it.
  TFrameTally before;
  ASSERT_EQ(Stream(id, end, before), -1);
  TEmuStats unplugged = emu.Stats(first);
  Report("until the unplug", before, -1, unplugged);
  EXPECT_EQ(before.OutOfOrder, 0u);
  EXPECT_EQ(before.Received + before.Missing, before.Last);
  EXPECT_LE(before.Last + 1, unplugged.Delivered);
  EXPECT_LT(unplugged.Delivered - (before.Last + 1), 500u);  // at most one read's worth and the jitter

  // After the replug: a new device, to the end.
  uint64_t wait = TickCount64() + 10000;
  while (GetAmxCount() == 0 && TickCount64() < wait) SleepMs(20);
  ASSERT_EQ(GetAmxCount(), 1);
  int32_t again = GetAmxID(0);
  EXPECT_NE(again, id);
  TFrameTally after;
  int32_t lost = Stream(again, end, after);
  std::string second = emu.Paths().back();
  ASSERT_NE(second, first);
  TEmuStats s = emu.Stats(second);
  Report("after the replug", after, lost, s);
  EXPECT_EQ(after.OutOfOrder, 0u);
  EXPECT_EQ(after.Received + after.Missing, after.Last);
  // Every packet the emulator sent is a frame read or a packet counted lost (the
  // synchronising first one among them); every frame missing is one counted lost.
  EXPECT_EQ(s.Delivered, after.Received + uint64_t(lost));
  EXPECT_EQ(uint64_t(lost - 1), after.Missing);
  EXPECT_GT(s.Lost, 0u);
  EXPECT_GT(s.Corrupted, 0u);
  EXPECT_GT(after.Received, uint64_t((seconds / 2 - 5) * 900));  // the rest of the time, less the replug
  emu.Unplug(second);
}
