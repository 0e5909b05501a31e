// Samples per second of the filter exports on 1024-sample blocks. BFProcess32
// (int32 in and out, double arithmetic) runs beside liquid-dsp's iirfilt_rrrf
// built from the same second-order sections (float in and out); the
// window, adaptive and hardware filters run beside a plain copy of the block.
#include <benchmark/benchmark.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <random>
#include <vector>

#include <liquid/liquid.h>

#include "common/HFltrCalc.h"
#include "amvex.h"

using namespace amx;

namespace {

const int kBlock = 1024;

std::vector<int32_t> Input()
{
  std::mt19937 rng(1);
  std::uniform_int_distribution<int> dist(-(1 << 21), 1 << 21);
  std::vector<int32_t> x(kBlock);
  for (auto& v : x) v = dist(rng);
  return x;
}

// Designs: type, order, rate, corners.
struct Design {
  int type, order;
  double rate, f1, f2;
};
const Design kDesigns[] = {
    {0, 2, 1000, 40, 40}, {0, 4, 1000, 40, 40}, {0, 8, 1000, 40, 40},
    {2, 2, 1000, 8, 13},  {2, 4, 1000, 8, 13},  {2, 8, 1000, 8, 13},
};

void Label(benchmark::State& state, const Design& d)
{
  state.SetLabel((d.type == 0 ? "low-pass order " : "band-pass order ") + std::to_string(d.order));
  state.SetItemsProcessed(state.iterations() * kBlock);
}

void BM_BFProcess32(benchmark::State& state)
{
  const Design& d = kDesigns[state.range(0)];
  const uint32_t h = BFCreate();
  BFSet(h, d.type, d.order, d.rate, d.f1, d.f2);
  const auto x = Input();
  std::vector<int32_t> y(kBlock);
  for (auto _ : state) {
    BFProcess32(h, x.data(), y.data(), kBlock);
    benchmark::DoNotOptimize(y.data());
  }
  BFDestroy(h);
  Label(state, d);
}

// liquid-dsp with the same sections: b = (1, Nn - 1 - M, M), a = (1, E - 1 - A2, A2),
// the gain spread evenly over the sections.
void BM_LiquidIirfilt(benchmark::State& state)
{
  const Design& d = kDesigns[state.range(0)];
  TFilterCalculator calc;
  calc.FilterType = static_cast<uint8_t>(d.type);
  calc.Order = d.order;
  calc.Alpha1 = d.f1 / d.rate;
  calc.Alpha2 = d.f2 / d.rate;
  calc.Design();
  const TCascadeDesign& c = calc.Cascade;
  const double g = std::pow(c.Gain, 1.0 / c.Count);
  std::vector<float> b, a;
  for (int i = 0; i < c.Count; ++i) {
    const TBiquad& s = c.Sections[i];
    b.insert(b.end(), {float(g), float(g * (s.Nn - 1 - s.M)), float(g * s.M)});
    a.insert(a.end(), {1.0f, float(s.E - 1 - s.A2), float(s.A2)});
  }
  iirfilt_rrrf q = iirfilt_rrrf_create_sos(b.data(), a.data(), c.Count);
  const auto x = Input();
  std::vector<float> xf(x.begin(), x.end()), y(kBlock);
  for (auto _ : state) {
    iirfilt_rrrf_execute_block(q, xf.data(), kBlock, y.data());
    benchmark::DoNotOptimize(y.data());
  }
  iirfilt_rrrf_destroy(q);
  Label(state, d);
}

template <uint32_t(AMX_CALL* Create)(), void(AMX_CALL* Destroy)(uint32_t),
          void(AMX_CALL* Process)(uint32_t, const int32_t*, int32_t*, int32_t)>
void BM_Family(benchmark::State& state)
{
  const uint32_t h = Create();
  const auto x = Input();
  std::vector<int32_t> y(kBlock);
  for (auto _ : state) {
    Process(h, x.data(), y.data(), kBlock);
    benchmark::DoNotOptimize(y.data());
  }
  Destroy(h);
  state.SetItemsProcessed(state.iterations() * kBlock);
}

void BM_CopyLimit(benchmark::State& state)
{
  const auto x = Input();
  std::vector<int32_t> y(kBlock);
  for (auto _ : state) {
    std::memcpy(y.data(), x.data(), sizeof(int32_t) * kBlock);
    benchmark::DoNotOptimize(y.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kBlock);
}

}  // namespace

BENCHMARK(BM_BFProcess32)->DenseRange(0, 5);
BENCHMARK(BM_LiquidIirfilt)->DenseRange(0, 5);
BENCHMARK(BM_Family<WFCreate, WFDestroy, WFProcess32>)->Name("WFProcess32");
BENCHMARK(BM_Family<AFCreate, AFDestroy, AFProcess32>)->Name("AFProcess32");
BENCHMARK(BM_Family<HFCreate, HFDestroy, HFProcess32>)->Name("HFProcess32");
BENCHMARK(BM_CopyLimit);
