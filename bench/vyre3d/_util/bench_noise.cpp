// Benchmarks of _util/perlin: time per simplex4 and simplex3 call, beside a sum of
// sines over the same inputs (a smooth function with no tables) as the yardstick.
#include "_util/perlin.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

// 4096 points of four coordinates in [-10, 10], the same for every benchmark.
const std::vector<float>& points()
{
  static const std::vector<float> p = [] {
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> u(-10.0f, 10.0f);
    std::vector<float> v(4096 * 4);
    for (float& x : v) x = u(rng);
    return v;
  }();
  return p;
}

// One iteration = one call, so the reported time is the time per call.
template <class F>
void per_call(benchmark::State& state, F f)
{
  const std::vector<float>& p = points();
  size_t i = 0;
  for (auto _ : state) {
    const float* q = &p[(i++ & 4095) * 4];
    benchmark::DoNotOptimize(f(q));
  }
}

void BM_simplex4(benchmark::State& s)
{
  per_call(s, [](const float* q) { return simplex4(q[0], q[1], q[2], q[3]); });
}
void BM_simplex3(benchmark::State& s)
{
  per_call(s, [](const float* q) { return simplex3(q[0], q[1], q[2]); });
}
void BM_sin_sum4(benchmark::State& s)
{
  per_call(s, [](const float* q) { return std::sin(q[0]) + std::sin(q[1]) + std::sin(q[2]) + std::sin(q[3]); });
}
void BM_sin_sum3(benchmark::State& s)
{
  per_call(s, [](const float* q) { return std::sin(q[0]) + std::sin(q[1]) + std::sin(q[2]); });
}

}  // namespace

BENCHMARK(BM_simplex4);
BENCHMARK(BM_sin_sum4);
BENCHMARK(BM_simplex3);
BENCHMARK(BM_sin_sum3);
