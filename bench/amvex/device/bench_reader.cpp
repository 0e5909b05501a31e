// The reader thread while a host streams from an emulated 40-channel amplifier at
// 1000 samples/s for 3 s: process CPU time per second of streaming (the host
// thread mostly sleeps, so this is the reader's cost) against the 1 s limit, and
// the delay from a packet being due to the read that delivered it, once the
// acquisition reader runs (the start sequence's own pauses are left out).
#include <benchmark/benchmark.h>

#include "device/UAmvex.h"
#include "emulator/emulator.h"

#include <ctime>

using namespace amx;

namespace {

void ReaderStreaming(benchmark::State& state)
{
  TEmulator emu;
  std::string path = emu.Add(7, 64);
  TAmx amx(emu, path);
  amx.Identify();
  std::vector<int32_t> buf(41 * 2000);
  for (auto _ : state) {
    amx.SetSampling(1000);
    amx.Start();
    SleepMs(200);
    amx.ReadSamples(buf.data(), int(buf.size() * 4));
    emu.ResetStats(path);
    std::clock_t cpu0 = std::clock();
    uint64_t t0 = TickCount64();
    long frames = 0;
    while (TickCount64() - t0 < 3000) {
      SleepMs(100);
      frames += amx.ReadSamples(buf.data(), int(buf.size() * 4)) / (41 * 4);
    }
    double seconds = double(TickCount64() - t0) / 1000.0;
    double cpu = double(std::clock() - cpu0) / CLOCKS_PER_SEC;
    amx.Stop();
    TEmuStats s = emu.Stats(path);
    state.SetIterationTime(seconds);
    state.counters["cpu_ms_per_s"] = 1000.0 * cpu / seconds;
    state.counters["cpu_fraction"] = cpu / seconds;
    state.counters["frames_per_s"] = double(frames) / seconds;
    state.counters["latency_mean_ms"] = s.MeanLatencyMs;
    state.counters["latency_max_ms"] = s.MaxLatencyMs;
  }
}
BENCHMARK(ReaderStreaming)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
