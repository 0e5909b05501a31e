// bench/vyre3d/_util/bench_mesh: normals() and transform() on the 896-triangle ball and on
// a 100k-triangle grid, each beside a plain loop over a raw float array doing the
// same arithmetic (the limit); compare each pair as a ratio.
// Builds on _util/meshgl and vyre3d/make_assets/mesh_assets.h.
#include <benchmark/benchmark.h>
#include <cmath>
#include <vector>
#include "_util/meshgl.h"
#include "vyre3d/make_assets/mesh_assets.h"

// Stride-8 records: texture 0-1, normal 2-4, position 5-7.
enum { STRIDE = 8, NRM = 2, VTX = 5 };

static const meshgl& shape(int which)
{
  static const meshgl sphere = asset_sphere();
  static const meshgl field = [] {
    tensor<float> h(2, 225, 225);  // 224 x 224 quads = 100352 triangles
    for (int j = 0; j < 225; j++)
      for (int i = 0; i < 225; i++) h.data[i + 225 * j] = (float)(std::sin(0.1 * i) * std::cos(0.07 * j));
    return grid(h);
  }();
  return which ? field : sphere;
}

// The same mesh as raw arrays: records, and every triangle as three indices.
struct raw_mesh {
  std::vector<float> arr;
  std::vector<int> tri;
};

static raw_mesh raw(const meshgl& m)
{
  raw_mesh r{std::vector<float>(m.arr.data, m.arr.data + m.arr.numel), {}};
  m.for_each_triangle([&](int a, int b, int c) { r.tri.insert(r.tri.end(), {a, b, c}); });
  return r;
}

static void raw_normals(float* a, int nv, const int* tri, int nt)
{
  for (int v = 0; v < nv; v++) a[v * STRIDE + NRM] = a[v * STRIDE + NRM + 1] = a[v * STRIDE + NRM + 2] = 0.f;
  for (int t = 0; t < nt; t += 3) {
    const int i0 = tri[t], i1 = tri[t + 1], i2 = tri[t + 2];
    const float* p0 = a + i0 * STRIDE + VTX;
    const float* p1 = a + i1 * STRIDE + VTX;
    const float* p2 = a + i2 * STRIDE + VTX;
    const float u0 = p1[0] - p0[0], u1 = p1[1] - p0[1], u2 = p1[2] - p0[2];
    const float v0 = p2[0] - p0[0], v1 = p2[1] - p0[1], v2 = p2[2] - p0[2];
    const float n0 = u1 * v2 - u2 * v1, n1 = u2 * v0 - u0 * v2, n2 = u0 * v1 - u1 * v0;
    for (int i : {i0, i1, i2}) {
      float* n = a + i * STRIDE + NRM;
      n[0] += n0, n[1] += n1, n[2] += n2;
    }
  }
  for (int v = 0; v < nv; v++) {
    float* n = a + v * STRIDE + NRM;
    const float len = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    if (len >= 1e-9f) n[0] /= len, n[1] /= len, n[2] /= len;
  }
}

static void raw_transform(const std::vector<float>& src, std::vector<float>& dst, const double* M)
{
  const int nv = (int)src.size() / STRIDE;
  for (int v = 0; v < nv; v++) {
    const float* s = src.data() + v * STRIDE;
    float* d = dst.data() + v * STRIDE;
    d[0] = s[0], d[1] = s[1];
    const double x = s[VTX], y = s[VTX + 1], z = s[VTX + 2];
    for (int r = 0; r < 3; r++) d[VTX + r] = (float)(M[r] * x + M[r + 4] * y + M[r + 8] * z + M[r + 12]);
    const double a = s[NRM], b = s[NRM + 1], c = s[NRM + 2];
    for (int r = 0; r < 3; r++) d[NRM + r] = (float)(M[r] * a + M[r + 4] * b + M[r + 8] * c);
  }
}

static tensor<double> pose()
{
  tensor<double> m(2, 4, 4);
  m.values(0.0, 0.2, 0.0, 0.0, -0.2, 0.0, 0.0, 0.0, 0.0, 0.0, 0.2, 0.0, 1.0, 2.0, 3.0, 1.0);
  return m;
}

static void BM_normals_meshgl(benchmark::State& state)
{
  meshgl m = shape((int)state.range(0));
  for (auto _ : state) {
    m.normals();
    benchmark::DoNotOptimize(m.arr.data);
  }
}

static void BM_normals_raw_limit(benchmark::State& state)
{
  raw_mesh r = raw(shape((int)state.range(0)));
  for (auto _ : state) {
    raw_normals(r.arr.data(), (int)r.arr.size() / STRIDE, r.tri.data(), (int)r.tri.size());
    benchmark::DoNotOptimize(r.arr.data());
  }
}

static void BM_transform_meshgl(benchmark::State& state)
{
  const meshgl& m = shape((int)state.range(0));
  const tensor<double> M = pose();
  for (auto _ : state) {
    meshgl moved = m.transform(M);
    benchmark::DoNotOptimize(moved.arr.data);
  }
}

static void BM_transform_raw_limit(benchmark::State& state)
{
  const raw_mesh r = raw(shape((int)state.range(0)));
  std::vector<float> dst(r.arr.size());
  const tensor<double> M = pose();
  for (auto _ : state) {
    raw_transform(r.arr, dst, M.data);
    benchmark::DoNotOptimize(dst.data());
  }
}

// Argument 0: the ball (896 triangles); 1: the grid (100352 triangles).
BENCHMARK(BM_normals_meshgl)->Arg(0)->Arg(1);
BENCHMARK(BM_normals_raw_limit)->Arg(0)->Arg(1);
BENCHMARK(BM_transform_meshgl)->Arg(0)->Arg(1);
BENCHMARK(BM_transform_raw_limit)->Arg(0)->Arg(1);
