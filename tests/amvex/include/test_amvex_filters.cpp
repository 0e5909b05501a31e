// The filter exports through amvex.h only: the documented examples, handles,
// BFSet results, saturation, block-size independence and in-place use.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <random>
#include <thread>
#include <vector>

#include "amvex.h"

namespace {

const double kPi = 3.14159265358979323846;
using Process32 = std::function<void(const int32_t*, int32_t*, int32_t)>;

std::vector<int32_t> Noise(int n, int amplitude, unsigned seed)
{
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> dist(-amplitude, amplitude);
  std::vector<int32_t> x(n);
  for (auto& v : x) v = dist(rng);
  return x;
}

std::vector<int32_t> Filtered(const Process32& f, std::vector<int32_t> x)
{
  std::vector<int32_t> y(x.size());
  f(x.data(), y.data(), static_cast<int32_t>(x.size()));
  return y;
}

// The stream cut into blocks of sizes cycling through `sizes`, in place.
std::vector<int32_t> FilteredInBlocks(const Process32& f, std::vector<int32_t> x, std::vector<int> sizes)
{
  size_t at = 0;
  for (size_t k = 0; at < x.size(); ++k) {
    const int n = std::min<int>(sizes[k % sizes.size()], static_cast<int>(x.size() - at));
    f(x.data() + at, x.data() + at, n);
    at += n;
  }
  return x;
}

// One filter of each family, as 32-bit processors.
struct Family {
  const char* name;
  uint32_t(AMX_CALL* create)();
  void(AMX_CALL* destroy)(uint32_t);
  void(AMX_CALL* process)(uint32_t, const int32_t*, int32_t*, int32_t);
};
const Family kFamilies[] = {
    {"BF", BFCreate, BFDestroy, BFProcess32},
    {"WF", WFCreate, WFDestroy, WFProcess32},
    {"AF", AFCreate, AFDestroy, AFProcess32},
    {"HF", HFCreate, HFDestroy, HFProcess32},
};

Process32 Bind(const Family& f, uint32_t h)
{
  return [&f, h](const int32_t* s, int32_t* d, int32_t n) { f.process(h, s, d, n); };
}

}  // namespace

TEST(Filters, OutputDoesNotDependOnBlockSizesAndWorksInPlace)
{
  auto x = Noise(5000, 1 << 22, 11);
  x[1200] = x[1201] = 0x7FFFFFFF;  // the hardware filter's invalid marker
  for (const Family& fam : kFamilies) {
    const uint32_t whole = fam.create(), blocks = fam.create(), single = fam.create();
    if (fam.process == BFProcess32) {
      for (uint32_t h : {whole, blocks, single}) ASSERT_EQ(BFSet(h, 2, 8, 500, 28, 32), AMX_BF_DONE);
    }
    const auto expected = Filtered(Bind(fam, whole), x);
    EXPECT_EQ(FilteredInBlocks(Bind(fam, blocks), x, {1, 7, 64, 1000, 3}), expected) << fam.name;
    EXPECT_EQ(FilteredInBlocks(Bind(fam, single), x, {1}), expected) << fam.name;
    for (uint32_t h : {whole, blocks, single}) fam.destroy(h);
  }
}

TEST(Filters, UnknownDestroyedAndForeignHandlesAreIgnored)
{
  std::vector<uint32_t> handles;
  for (const Family& fam : kFamilies) handles.push_back(fam.create());
  for (size_t i = 0; i < handles.size(); ++i) {
    EXPECT_NE(handles[i], 0u);
    for (size_t j = 0; j < i; ++j) EXPECT_NE(handles[i], handles[j]);
  }
  for (size_t i = 0; i < 4; ++i) {
    const Family& fam = kFamilies[i];
    const uint32_t foreign = handles[(i + 1) % 4];
    for (uint32_t h : {0u, foreign, 0xDEADBEEFu}) {
      std::vector<int32_t> dst(3, 77);
      const int32_t src[3] = {1000, 2000, 3000};
      fam.process(h, src, dst.data(), 3);
      EXPECT_EQ(dst, std::vector<int32_t>(3, 77)) << fam.name;
      fam.destroy(h);  // harmless
    }
  }
  for (size_t i = 0; i < 4; ++i) kFamilies[i].destroy(handles[i]);
  for (size_t i = 0; i < 4; ++i) {
    std::vector<int32_t> dst(3, 77);
    const int32_t src[3] = {1000, 2000, 3000};
    kFamilies[i].process(handles[i], src, dst.data(), 3);
    EXPECT_EQ(dst, std::vector<int32_t>(3, 77)) << kFamilies[i].name;
  }
  int16_t d16[2] = {5, 5};
  const int16_t s16[2] = {1, 2};
  const int32_t s32[2] = {1, 2};
  BFProcess(handles[0], s16, d16, 2);
  WFProcess(handles[1], s16, d16, 2);
  AFProcess(handles[2], s16, d16, 2);
  HFProcess(handles[3], s32, d16, 2);
  EXPECT_EQ(d16[0], 5);
  EXPECT_EQ(BFSet(handles[0], 0, 2, 250, 25, 25), AMX_BF_NO_FILTER);
  WFSet(handles[1], 1000, 10, 0.1);
  AFSetEx(handles[2], 500, 60);
  HFSet(handles[3], 500, 1, 0);
}

TEST(Filters, ThreadsCreateUseAndDestroyTheirOwnFiltersConcurrently)
{
  const auto x = Noise(256, 1 << 20, 6);
  std::vector<std::vector<int32_t>> results(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 50; ++round) {
        for (const Family& fam : kFamilies) {
          const uint32_t h = fam.create();
          results[t] = Filtered(Bind(fam, h), x);
          fam.destroy(h);
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 1; t < 4; ++t) EXPECT_EQ(results[t], results[0]);
}

TEST(ButterFilter, SettlesAtTheInputForLowPassAndAtZeroForHighPass)
{
  const uint32_t lp = BFCreate(), hp = BFCreate();
  ASSERT_EQ(BFSet(lp, 0, 2, 250, 25, 25), AMX_BF_DONE);
  const auto y = Filtered([&](const int32_t* s, int32_t* d, int32_t n) { BFProcess32(lp, s, d, n); },
                          std::vector<int32_t>(300, 1000));
  EXPECT_EQ(y.back(), 1000);
  for (int order = 1; order <= 8; ++order) {
    ASSERT_EQ(BFSet(hp, 1, order, 250, 5, 5), AMX_BF_DONE);
    const auto z = Filtered([&](const int32_t* s, int32_t* d, int32_t n) { BFProcess32(hp, s, d, n); },
                            std::vector<int32_t>(2000, 100000));
    EXPECT_EQ(z.back(), 0) << order;
  }
  BFDestroy(lp);
  BFDestroy(hp);
}

TEST(ButterFilter, RefusedOrFailedDesignsKeepThePreviousFilterAndSaySo)
{
  const uint32_t h = BFCreate(), twin = BFCreate();
  for (uint32_t f : {h, twin}) ASSERT_EQ(BFSet(f, 2, 4, 1000, 8, 13), AMX_BF_DONE);
  const auto x = Noise(400, 100000, 2);
  auto step = [&](uint32_t f, size_t from, size_t to) {
    std::vector<int32_t> y(to - from);
    BFProcess32(f, x.data() + from, y.data(), static_cast<int32_t>(y.size()));
    return y;
  };
  EXPECT_EQ(step(h, 0, 100), step(twin, 0, 100));
  EXPECT_EQ(BFSet(h, 0, 9, 250, 25, 25), AMX_BF_OUT_OF_RANGE);
  EXPECT_EQ(BFSet(h, 0, 4, 250, 130, 130), AMX_BF_OUT_OF_RANGE);
  EXPECT_EQ(BFSet(h, 4, 4, 250, 25, 25), AMX_BF_OUT_OF_RANGE);
  EXPECT_EQ(BFSet(h, 0, 4, 250, -5, 25), AMX_BF_OUT_OF_RANGE);
  EXPECT_EQ(BFSet(h, 0, 4, 250, 125, 25), AMX_BF_OUT_OF_RANGE);  // a corner at Nyquist
  EXPECT_EQ(BFSet(h, 0, 4, NAN, 25, 25), AMX_BF_OUT_OF_RANGE);
  EXPECT_EQ(BFSet(h, 0, 4, 0, 25, 25), AMX_BF_OUT_OF_RANGE);
  EXPECT_EQ(BFSet(h, 2, 4, 250, 30, 30), AMX_BF_EQUAL_CORNERS);
  EXPECT_EQ(BFSet(h, 3, 4, 250, 30, 30), AMX_BF_EQUAL_CORNERS);
  // Same design, same histories: nothing above touched the filter.
  EXPECT_EQ(step(h, 100, 400), step(twin, 100, 400));
  BFDestroy(h);
  BFDestroy(twin);
}

TEST(ButterFilter, BandCornersInEitherOrderGiveTheSameFilter)
{
  const uint32_t a = BFCreate(), b = BFCreate();
  ASSERT_EQ(BFSet(a, 2, 3, 500, 28, 32), AMX_BF_DONE);
  ASSERT_EQ(BFSet(b, 2, 3, 500, 32, 28), AMX_BF_DONE);
  const auto x = Noise(2000, 1 << 20, 4);
  EXPECT_EQ(Filtered([&](const int32_t* s, int32_t* d, int32_t n) { BFProcess32(a, s, d, n); }, x),
            Filtered([&](const int32_t* s, int32_t* d, int32_t n) { BFProcess32(b, s, d, n); }, x));
  BFDestroy(a);
  BFDestroy(b);
}

TEST(ButterFilter, OrderZeroOrBelowPassesSamplesThrough)
{
  const uint32_t h = BFCreate();
  const auto x = Noise(100, 1 << 30, 9);
  for (int order : {0, -3}) {
    ASSERT_EQ(BFSet(h, 1, order, 250, 0, 0), AMX_BF_DONE);
    EXPECT_EQ(Filtered([&](const int32_t* s, int32_t* d, int32_t n) { BFProcess32(h, s, d, n); }, x), x);
  }
  BFDestroy(h);
}

TEST(ButterFilter, SaturatesToTheSampleWidth)
{
  const uint32_t h = BFCreate();
  ASSERT_EQ(BFSet(h, 1, 2, 250, 50, 50), AMX_BF_DONE);  // overshoots on steps
  const int16_t s16[4] = {-32768, 32767, -32768, 32767};
  int16_t d16[4];
  BFProcess(h, s16, d16, 4);
  EXPECT_EQ(d16[1], 32767);
  EXPECT_EQ(d16[2], -32768);
  const int32_t s32[4] = {INT32_MIN, INT32_MAX, INT32_MIN, INT32_MAX};
  int32_t d32[4];
  BFProcess32(h, s32, d32, 4);
  EXPECT_EQ(d32[1], INT32_MAX);
  EXPECT_EQ(d32[2], INT32_MIN);
  BFDestroy(h);
}

TEST(WindowFilter, AveragesFiveSamplesAfterCreation)
{
  const uint32_t h = WFCreate();
  const int32_t five[5] = {5, 5, 5, 5, 5};
  int32_t out[5];
  WFProcess32(h, five, out, 5);
  EXPECT_EQ(std::vector<int32_t>(out, out + 5), (std::vector<int32_t>{1, 2, 3, 4, 5}));
  const int16_t neg[5] = {-3, -3, -3, -3, -3};  // averages truncate toward zero
  int16_t out16[5];
  WFProcess(h, neg, out16, 5);
  EXPECT_EQ(std::vector<int16_t>(out16, out16 + 5), (std::vector<int16_t>{3, 1, 0, -1, -3}));
  WFDestroy(h);
}

TEST(WindowFilter, SettingsChangeTheWindowOnlyWhenValid)
{
  const uint32_t h = WFCreate(), twin = WFCreate();
  const auto x = Noise(50, 1000, 5);
  WFSet(h, 0, 0, 0);
  WFSet(h, -1, NAN, INFINITY);
  WFSet(h, 250, 0, 1e9);  // a window of 2.5e11 samples: refused
  auto run = [&](uint32_t f) {
    return Filtered([&](const int32_t* s, int32_t* d, int32_t n) { WFProcess32(f, s, d, n); }, x);
  };
  EXPECT_EQ(run(h), run(twin));
  WFSet(h, 0, 1000, 0);  // frequency above the rate: a window of 1 sample passes through
  WFSet(twin, 0, 1000, 0);
  EXPECT_EQ(run(h), x);
  EXPECT_EQ(run(twin), x);
  // Count 0 at W = 1 has no last sample to keep: the filter stays as it was.
  const int32_t other[1] = {123456};
  int32_t sink[1];
  WFProcess32(h, other, sink, 0);
  WFSet(h, 0, 50, 0);  // back to 5 samples, padded with the kept sample
  WFSet(twin, 0, 50, 0);
  const auto y = run(h);
  EXPECT_EQ(y, run(twin));
  EXPECT_EQ(y.front(), static_cast<int32_t>((4.0 * x.back() + x.front()) * 0.2));
  WFDestroy(h);
  WFDestroy(twin);
}

TEST(WindowFilter, LongerWindowIsPaddedWithTheAverageAndKeepsTheNewest)
{
  const uint32_t h = WFCreate();
  const int32_t x[5] = {10, 20, 30, 40, 50};
  int32_t y[5];
  WFProcess32(h, x, y, 5);  // average 30
  WFSet(h, 0, 0, 0.04);     // 10 samples: five 30s, then 10..50
  const int32_t zero[1] = {0};
  int32_t out[1];
  WFProcess32(h, zero, out, 1);  // drops a 30: (150 + 150 - 30 + 0) / 10
  EXPECT_EQ(out[0], 27);
  WFSet(h, 0, 0, 0.008);  // 2 samples: the newest two, 50 and 0
  WFProcess32(h, zero, out, 1);
  EXPECT_EQ(out[0], 0);  // (0 + 0) / 2
  WFDestroy(h);
}

TEST(HardwareFilter, RemovesTheBaselineAndBridgesInvalidSamples)
{
  const uint32_t h = HFCreate(), twin = HFCreate();
  std::vector<int32_t> x(600, 1000);
  const auto y = Filtered([&](const int32_t* s, int32_t* d, int32_t n) { HFProcess32(h, s, d, n); }, x);
  EXPECT_EQ(y[0], 996);  // 1000 - trunc(1000 / 250)
  for (size_t i = 1; i < y.size(); ++i) EXPECT_LE(y[i], y[i - 1]);
  EXPECT_EQ(y.back(), 0);
  // The marker is replaced by the running average: the same as feeding it.
  x.assign(3, 0x7FFFFFFF);
  std::vector<int32_t> same(3, 1000);
  EXPECT_EQ(Filtered([&](const int32_t* s, int32_t* d, int32_t n) { HFProcess32(h, s, d, n); }, x),
            std::vector<int32_t>(3, 0));
  Filtered([&](const int32_t* s, int32_t* d, int32_t n) { HFProcess32(twin, s, d, n); },
           std::vector<int32_t>(600, 1000));
  Filtered([&](const int32_t* s, int32_t* d, int32_t n) { HFProcess32(twin, s, d, n); }, same);
  const auto probe = Noise(100, 5000, 3);
  EXPECT_EQ(Filtered([&](const int32_t* s, int32_t* d, int32_t n) { HFProcess32(h, s, d, n); }, probe),
            Filtered([&](const int32_t* s, int32_t* d, int32_t n) { HFProcess32(twin, s, d, n); }, probe));
  HFDestroy(h);
  HFDestroy(twin);
}

TEST(HardwareFilter, CutoffZeroPassesThroughAndOutputsSaturate)
{
  const uint32_t h = HFCreate();
  const int32_t big[2] = {40000, -40000};
  int16_t out16[2];
  HFProcess(h, big, out16, 2);
  EXPECT_EQ(out16[0], 32767);   // 40000 - 160
  EXPECT_EQ(out16[1], -32768);  // -40000 - 0
  std::vector<int32_t> extreme(100, INT32_MIN);
  extreme.push_back(INT32_MAX - 1);  // minus a negative average
  EXPECT_EQ(Filtered([&](const int32_t* s, int32_t* d, int32_t n) { HFProcess32(h, s, d, n); }, extreme).back(),
            INT32_MAX);
  HFSet(h, 0, 0, 0);
  const auto x = Noise(300, 1 << 30, 8);
  EXPECT_EQ(Filtered([&](const int32_t* s, int32_t* d, int32_t n) { HFProcess32(h, s, d, n); }, x), x);
  HFSet(h, 0, -1, 0);     // negative cutoffs are ignored
  HFSet(h, 1000, -1, 0);  // a new rate keeps it passing through ...
  EXPECT_EQ(Filtered([&](const int32_t* s, int32_t* d, int32_t n) { HFProcess32(h, s, d, n); }, x), x);
  const int32_t zero[1] = {0}, step[1] = {100000};
  int32_t out[1];
  HFProcess32(h, zero, out, 1);        // the average is now 0
  HFSet(h, 0, 0.1591549430918953, 0);  // ... and the rate counts for the next cutoff:
  HFProcess32(h, step, out, 1);        // a window of 1000 samples
  EXPECT_EQ(out[0], 100000 - 100);
  HFDestroy(h);
}

TEST(AdaptiveFilter, FirstOutputAndCancellationOfMainsHum)
{
  const uint32_t h = AFCreate();
  const int32_t ten[1] = {10};
  int32_t out[1];
  AFProcess32(h, ten, out, 1);
  EXPECT_EQ(out[0], 4);  // the step is limited to 5.657
  AFDestroy(h);

  const uint32_t hum = AFCreate();
  std::vector<int32_t> x(4000);
  for (size_t i = 0; i < x.size(); ++i)
    x[i] = static_cast<int32_t>(std::lround(200 * std::sin(2 * kPi * 50 * i / 1000.0)));
  const auto y = Filtered([&](const int32_t* s, int32_t* d, int32_t n) { AFProcess32(hum, s, d, n); }, x);
  for (size_t i = 3000; i < y.size(); ++i) EXPECT_LE(std::abs(y[i]), 3) << i;
  AFDestroy(hum);
}

TEST(AdaptiveFilter, SixteenBitOutputSaturates)
{
  const uint32_t h = AFCreate();
  const int16_t x[2] = {30000, -32768};
  int16_t y[2];
  AFProcess(h, x, y, 2);
  EXPECT_EQ(y[0], 29994);
  EXPECT_EQ(y[1], -32768);  // -32773 would wrap to 32763 if only the low half were kept
  AFDestroy(h);
}
