// The packet path (Feed + HandlePacket + StoreFrame) for 40-channel sample packets
// beside a plain memcpy of the same bytes (the limit), in bytes per second.
#include <benchmark/benchmark.h>

#include "device/UAmvex.h"
#include "emulator/emulator.h"

#include <cstring>

using namespace amx;

namespace {

// One second of a 40-channel amplifier at 1000 samples/s, in 124 KiB blocks.
std::vector<uint8_t> Stream()
{
  std::vector<uint8_t> s;
  for (uint32_t k = 0; k < 1000; ++k) {
    s.insert(s.end(), {0xAA, 4, 122});
    for (int c = 0; c < 40; ++c) {
      uint32_t v = uint32_t(EmuSignal(c, k, 1000)) << 2;
      s.insert(s.end(), {uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
    }
    s.insert(s.end(), {0x0F, uint8_t(k), 0x55});
  }
  return s;
}

void PacketPath(benchmark::State& state)
{
  TEmulator emu;
  TAmx amx(emu, "no such path");
  amx.ChannelCount = amx.FrameChannels = 40;
  std::vector<uint8_t> s = Stream();
  for (auto _ : state) {
    amx.ExpectedSeq = 0;  // every packet in sequence
    amx.PacketCounter = 33;
    amx.DataReceived(s.data(), uint32_t(s.size()));
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(s.size()));
}
BENCHMARK(PacketPath);

void Memcpy(benchmark::State& state)
{
  std::vector<uint8_t> s = Stream(), d(s.size());
  for (auto _ : state) {
    std::memcpy(d.data(), s.data(), s.size());
    benchmark::DoNotOptimize(d.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(s.size()));
}
BENCHMARK(Memcpy);

}  // namespace
