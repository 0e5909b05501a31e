// bench/vyre3d/_util/bench_shadow: the per-frame geometry work for the ball. One ball
// rebuild as the scene does it (copy of the sphere asset, three noise octaves per
// vertex, scale, normals, new shadow mesh) beside the noise calls alone (the
// limit: the rest should cost no more than the noise); and a new shadow mesh plus
// its silhouette for one light beside the construction alone.
#include <benchmark/benchmark.h>
#include "_util/perlin.h"
#include "_util/shadow.h"

namespace {

const meshgl& sphere()
{
  static const meshgl m(VY_GET_DIR "/mesh/sphere_896_tnv");
  return m;
}

// The ball's radius at unit direction p and time t: three octaves of noise.
float radius(const float* p, float t)
{
  return 1 + 0.4f * simplex4(0.5f * p[0], 0.5f * p[1], 0.5f * p[2], t) + 0.3f * simplex4(p[0], p[1], p[2], t) +
         0.2f * simplex4(2 * p[0], 2 * p[1], 2 * p[2], t);
}

void NoiseOnly(benchmark::State& state)
{
  const meshgl& src = sphere();
  const int n = src.arr.size[1], stride = src.arr.size[0], vtx = src.vtx_offset();
  float t = 0;
  for (auto _ : state) {
    float sum = 0;
    for (int v = 0; v < n; v++) sum += radius(src.arr.data + v * stride + vtx, t);
    benchmark::DoNotOptimize(sum);
    t += 0.01f;
  }
  state.SetItemsProcessed(state.iterations() * 3 * n);  // simplex4 calls
}
BENCHMARK(NoiseOnly);

void BallRebuild(benchmark::State& state)
{
  float t = 0;
  tensor<double> scale = tensor<double>::eye(4);
  scale.data[0] = scale.data[5] = scale.data[10] = 0.1;
  for (auto _ : state) {
    meshgl m(sphere());
    const int stride = m.arr.size[0], vtx = m.vtx_offset();
    for (int v = 0; v < m.arr.size[1]; v++) {
      float* p = m.arr.data + v * stride + vtx;
      const float r = radius(p, t);
      p[0] *= r, p[1] *= r, p[2] *= r;
    }
    m = m.transform(scale);
    m.normals();
    shadow_mesh s(&m);
    benchmark::DoNotOptimize(s.face_normals.data);
    t += 0.01f;
  }
}
BENCHMARK(BallRebuild);

tensor<double> light()
{
  tensor<double> l(1, 4);
  l.values(3.0, -2.0, 5.0, 1.0);
  return l;
}

void ShadowMeshOnly(benchmark::State& state)
{
  for (auto _ : state) {
    shadow_mesh s(&sphere());
    benchmark::DoNotOptimize(s.face_normals.data);
  }
}
BENCHMARK(ShadowMeshOnly);

void ShadowMeshAndSilhouette(benchmark::State& state)
{
  const tensor<double> l = light();
  tensor<int> facing;
  for (auto _ : state) {
    shadow_mesh s(&sphere());
    tensor<unsigned int> edges = s.silhouette(l, facing);
    benchmark::DoNotOptimize(edges.data);
  }
}
BENCHMARK(ShadowMeshAndSilhouette);

}  // namespace
