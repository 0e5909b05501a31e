// FeedImpedance per 40-channel frame beside the decoding of the same frame: the
// packet path (framing, decoding, calibration, ring store) without and with the
// 39 impedance measurements running, and FeedImpedance alone. Items are frames.
#include <benchmark/benchmark.h>

#include "device/UAmvex.h"
#include "emulator/emulator.h"

using namespace amx;

namespace {

constexpr int kFrames = 1000;  // one second at 1000 samples/s

std::vector<uint8_t> Stream()
{
  std::vector<uint8_t> s;
  for (uint32_t k = 0; k < kFrames; ++k) {
    s.insert(s.end(), {0xAA, 4, 122});
    for (int c = 0; c < 40; ++c) {
      uint32_t v = uint32_t(EmuSignal(c, k, 1000)) << 2;
      s.insert(s.end(), {uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
    }
    s.insert(s.end(), {0x0F, uint8_t(k), 0x55});
  }
  return s;
}

struct Bench {
  TEmulator Emu;
  TAmx Amx{Emu, "no such path"};
  explicit Bench(bool measuring)
  {
    Amx.ChannelCount = Amx.FrameChannels = 40;
    Amx.Calibrated = true;
    Amx.SetImpedanceRef(19);
    for (int c = 0; c < 40; ++c)
      if (measuring && c != 19)
        Amx.Measurements[c].reset(
            new tImpMes(kImpTestFrequency, kImpScaleVolts, kImpDefaultReference, kImpCountVolts, 1.0, 1000));
  }
};

void PacketPath(benchmark::State& state, bool measuring)
{
  Bench b(measuring);
  std::vector<uint8_t> s = Stream();
  for (auto _ : state) {
    b.Amx.ExpectedSeq = 0;  // every packet in sequence
    b.Amx.PacketCounter = 33;
    b.Amx.DataReceived(s.data(), uint32_t(s.size()));
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * kFrames);
}
BENCHMARK_CAPTURE(PacketPath, decoding, false);
BENCHMARK_CAPTURE(PacketPath, decoding_and_impedance, true);

void FeedImpedanceAlone(benchmark::State& state)
{
  Bench b(true);
  std::vector<int32_t> frames(size_t(kFrames) * 41);
  for (int k = 0; k < kFrames; ++k)
    for (int c = 0; c < 40; ++c) frames[size_t(k) * 41 + size_t(c)] = EmuSignal(c, uint32_t(k), 1000);
  for (auto _ : state) {
    TLock l(b.Amx.DataLock);
    for (int k = 0; k < kFrames; ++k) b.Amx.FeedImpedance(&frames[size_t(k) * 41], 41 * 4);
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * kFrames);
}
BENCHMARK(FeedImpedanceAlone);

}  // namespace
