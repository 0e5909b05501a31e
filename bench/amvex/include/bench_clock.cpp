// Host timestamps: each frame's raw time is the return time of the read that
// delivered it, its fitted time (AmxClockTime) and its stamp (AmxClockStamp, the
// times that never go back) come from amvex_clock.h after that read; all are
// compared with the time the frame left the device. Counters: median and 99th
// percentile of the errors (us) and the ratios raw / fitted and raw / stamped.
//
// HostTimes: a simulated minute at 500 frames/s, read every 10-60 ms. The
// device clock drifts (the second argument, in ppm; its sign flips after 30 s),
// delivery is late by 0.5 ms plus an exponential delay (the first argument: its
// mean in ms) with 5% of the reads 5 to 8 times later, and 2% of the reads
// return 10-30 ms late (the host thread not scheduled). The time per iteration
// is the fit's cost for the whole minute.
//
// EmulatedHostTimes: 10 s at 500 frames/s from an emulated 40-channel amplifier
// with the jitter (ms) and drift (ppm) faults of the arguments, through the
// library's reader thread, read every 5-40 ms on the steady clock. The true send
// times are the emulator's (TEmulator::SentMs: its tick is the steady clock's
// milliseconds, so they are seconds of the same clock).
#include <benchmark/benchmark.h>

#include "amvex_clock.h"
#include "device/UAmvex.h"
#include "emulator/emulator.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <random>
#include <vector>

namespace {

const int kRate = 500, kFrames = 60 * kRate;

struct Read {
  uint32_t first, last;
  double at;  // return time
};

struct Stream {
  std::vector<double> sent;  // per frame (index = sample number - 1)
  std::vector<Read> reads;
};

Stream simulate(double jitter_ms, double drift_ppm, uint64_t seed)
{
  Stream s;
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> uniform(0, 1);
  std::exponential_distribution<double> delay(1000 / jitter_ms), late(1 / 0.0002);
  double t = 1000;
  for (int n = 0; n < kFrames; ++n) {
    double ppm = n < kFrames / 2 ? drift_ppm : -drift_ppm;
    s.sent.push_back(t += (1 + ppm * 1e-6) / kRate);
  }
  double at = s.sent[0];
  size_t done = 0;
  while (done < s.sent.size()) {
    at += 0.010 + 0.050 * uniform(rng);
    double d = 0.0005 + delay(rng) * (uniform(rng) < 0.05 ? 5 + 3 * uniform(rng) : 1);
    size_t visible = static_cast<size_t>(std::upper_bound(s.sent.begin(), s.sent.end(), at - d) - s.sent.begin());
    if (visible <= done) continue;
    double stall = uniform(rng) < 0.02 ? 0.010 + 0.020 * uniform(rng) : 0;
    s.reads.push_back({static_cast<uint32_t>(done + 1), static_cast<uint32_t>(visible), at + late(rng) + stall});
    done = visible;
  }
  return s;
}

double percentile(std::vector<double> v, double p)
{
  std::nth_element(v.begin(), v.begin() + static_cast<long>(p * (v.size() - 1)), v.end());
  return v[static_cast<size_t>(p * (v.size() - 1))];
}

// Errors in us of every frame's fitted, stamped and raw time.
struct Errors {
  std::vector<double> fitted, stamped, raw;
  void Add(double fittedTime, double stampTime, double rawTime, double sent)
  {
    fitted.push_back(std::fabs(fittedTime - sent) * 1e6);
    stamped.push_back(std::fabs(stampTime - sent) * 1e6);
    raw.push_back(std::fabs(rawTime - sent) * 1e6);
  }
  void Report(benchmark::State& state) const
  {
    double fm = percentile(fitted, 0.5), f99 = percentile(fitted, 0.99);
    double rm = percentile(raw, 0.5), r99 = percentile(raw, 0.99);
    state.counters["fit_med_us"] = fm;
    state.counters["fit_p99_us"] = f99;
    state.counters["raw_med_us"] = rm;
    state.counters["raw_p99_us"] = r99;
    state.counters["ratio_med"] = rm / fm;
    state.counters["ratio_p99"] = r99 / f99;
    double sm = percentile(stamped, 0.5), s99 = percentile(stamped, 0.99);
    state.counters["stamp_med_us"] = sm;
    state.counters["stamp_p99_us"] = s99;
    state.counters["stamp_ratio_med"] = rm / sm;
    state.counters["stamp_ratio_p99"] = r99 / s99;
  }
};

void HostTimes(benchmark::State& state)
{
  const Stream s = simulate(static_cast<double>(state.range(0)), static_cast<double>(state.range(1)), 19);
  std::vector<double> fitted(s.sent.size()), stamped(s.sent.size()), raw(s.sent.size());
  for (auto _ : state) {
    AmxClock clock;
    AmxClockInit(&clock, kRate);
    for (const Read& r : s.reads) {
      AmxClockAdd(&clock, r.first, r.last, r.at);
      for (uint32_t n = r.first; n <= r.last; ++n) {
        fitted[n - 1] = AmxClockTime(&clock, n);
        stamped[n - 1] = AmxClockStamp(&clock, n);
        raw[n - 1] = r.at;
      }
    }
    benchmark::DoNotOptimize(fitted.data());
  }
  Errors e;
  for (size_t i = 0; i < s.sent.size(); ++i) e.Add(fitted[i], stamped[i], raw[i], s.sent[i]);
  e.Report(state);
}
// {mean delivery delay ms, drift ppm}
BENCHMARK(HostTimes)->Args({1, 0})->Args({2, 100})->Args({5, 100})->Args({10, 500})->Unit(benchmark::kMillisecond);

double SteadySeconds()
{
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void EmulatedHostTimes(benchmark::State& state)
{
  amx::TEmuDeviceConfig config;
  config.Revision = 64;
  config.Faults.JitterMs = static_cast<uint32_t>(state.range(0));
  config.Faults.DriftPpm = static_cast<int32_t>(state.range(1));
  amx::TEmulator emu;
  const std::string path = emu.Add(config);
  amx::TAmx amx(emu, path);
  amx.Identify();
  const int words = static_cast<int>(amx.ChannelCount) + 1;
  std::vector<int32_t> buf(static_cast<size_t>(words) * 4000);
  std::mt19937_64 rng(19);
  std::uniform_int_distribution<uint32_t> pause(5, 40);
  Errors e;
  for (auto _ : state) {
    amx.SetSampling(kRate);
    amx.Start();
    AmxClock clock;
    AmxClockInit(&clock, kRate);
    const uint64_t t0 = amx::TickCount64();
    while (amx::TickCount64() - t0 < 10000) {
      amx::SleepMs(pause(rng));
      const int n = amx.ReadSamples(buf.data(), static_cast<int>(buf.size() * 4)) / (4 * words);
      const double at = SteadySeconds();
      if (n == 0) continue;
      auto number = [&](int i) {
        return static_cast<uint32_t>(buf[static_cast<size_t>(i * words + words - 1)]) & AMX_CLOCK_NUMBER_MASK;
      };
      if (number(n - 1) - number(0) + 1 != static_cast<uint32_t>(n)) {
        state.SkipWithError("a gap in the sample numbers");  // jitter and drift lose nothing
        break;
      }
      AmxClockAdd(&clock, number(0), number(n - 1), at);
      for (int i = 0; i < n; ++i)
        e.Add(AmxClockTime(&clock, number(i)), AmxClockStamp(&clock, number(i)), at, emu.SentMs(path, number(i)) / 1000);
    }
    amx.Stop();
  }
  e.Report(state);
}
// {jitter ms, drift ppm}
BENCHMARK(EmulatedHostTimes)->Args({5, 200})->Args({20, -300})->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
