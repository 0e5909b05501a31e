// Benchmarks of _util/rapid and _animated/aniMated: building the collision wrapper
// of a sphere mesh, the full contact query and the first-contact query of two
// spheres overlapping or just apart, beside testing every triangle pair in the same
// run; and one collision-plus-update step of two sphere bodies.
#include <benchmark/benchmark.h>

#include <cmath>
#include <map>
#include <memory>
#include <vector>

#include "_animated/aniMated.h"
#include "_util/rapid.h"

namespace {

// Closed latitude-longitude sphere of radius 1 (positions only) with 2·slices·(stacks−1)
// triangles.
meshgl sphere(int slices, int stacks)
{
  const int rings = stacks - 1, nv = 2 + slices * rings;
  meshgl m;
  m.format = GL_V3F;
  m.arr = tensor<float>(2, 3, nv);
  auto put = [&](int v, double th, double ph) {
    float* p = m.arr.data + 3 * v;
    p[0] = (float)(std::sin(th) * std::cos(ph)), p[1] = (float)(std::sin(th) * std::sin(ph)),
    p[2] = (float)std::cos(th);
  };
  put(0, 0, 0);
  put(nv - 1, M_PI, 0);
  auto at = [&](int i, int j) { return 1 + i * slices + j % slices; };
  for (int i = 0; i < rings; ++i)
    for (int j = 0; j < slices; ++j) put(at(i, j), M_PI * (i + 1) / stacks, 2 * M_PI * j / slices);
  std::vector<int> t;
  for (int j = 0; j < slices; ++j) {
    t.insert(t.end(), {0, at(0, j), at(0, j + 1)});
    t.insert(t.end(), {nv - 1, at(rings - 1, j + 1), at(rings - 1, j)});
  }
  for (int i = 0; i + 1 < rings; ++i)
    for (int j = 0; j < slices; ++j) {
      t.insert(t.end(), {at(i, j), at(i + 1, j), at(i + 1, j + 1)});
      t.insert(t.end(), {at(i, j), at(i + 1, j + 1), at(i, j + 1)});
    }
  m.ind[MESH_TRIA] = tensor<int>(2, 3, (int)t.size() / 3);
  m.ind[MESH_TRIA].set(0, t.data(), (int)t.size());
  return m;
}

// Spheres of about 900 (the scene's asset has 896), 3 600, 14 000 and 100 000 triangles.
const meshgl& sphere_of(int n)
{
  static std::map<int, meshgl> cache;
  auto it = cache.find(n);
  if (it != cache.end()) return it->second;
  const int slices = (int)std::sqrt(n), stacks = n / (2 * slices) + 1;
  return cache.emplace(n, sphere(slices, stacks)).first->second;
}

// Two wrappers of the same sphere, the second rotated a little and placed at
// distance d along x: 1.5 overlaps, 2.02 just misses (the corners lie on radius 1).
struct pair_scene {
  std::unique_ptr<rapid> r0, r1;
  pair_scene(int n, double d)
  {
    r0 = std::make_unique<rapid>(sphere_of(n));
    r1 = std::make_unique<rapid>(sphere_of(n));
    tensor<double> w(1, 4);
    w.values(0.1, 0.2, 0.3, 0.0);
    r1->pose = translation(d, 0.01, 0.02) * rotation(w);
  }
};

double distance_of(int placement) { return placement ? 2.02 : 1.5; }

void BM_rapid_build(benchmark::State& st)
{
  const meshgl& m = sphere_of((int)st.range(0));
  for (auto _ : st) {
    rapid r(m);
    benchmark::DoNotOptimize(r.model);
  }
  st.counters["triangles"] = m.ind[MESH_TRIA].size[1];
}

void BM_rapid_contact(benchmark::State& st)
{
  pair_scene s((int)st.range(0), distance_of((int)st.range(1)));
  rapid_report rep;
  for (auto _ : st) benchmark::DoNotOptimize(rapid_contact(*s.r0, *s.r1, rep));
  st.counters["pairs"] = rep.count;
}

void BM_rapid_first(benchmark::State& st)
{
  pair_scene s((int)st.range(0), distance_of((int)st.range(1)));
  int found = 0;
  for (auto _ : st) benchmark::DoNotOptimize(found = rapid_first(*s.r0, *s.r1));
  st.counters["pairs"] = found;
}

// The same question without the tree: every triangle of one sphere, placed in the
// other's frame, against every triangle of the other.
void BM_brute_force(benchmark::State& st)
{
  pair_scene s((int)st.range(0), distance_of((int)st.range(1)));
  const collision_model& a = *s.r0->model;
  const collision_model& b = *s.r1->model;
  const double* P = s.r1->pose.data;
  std::vector<double> moved(9 * (size_t)b.tri_count);
  int pairs = 0;
  for (auto _ : st) {
    for (int i = 0; i < b.tri_count; ++i) {
      const double* c[3] = {b.tris[i].p1, b.tris[i].p2, b.tris[i].p3};
      for (int k = 0; k < 3; ++k)
        for (int r = 0; r < 3; ++r)
          moved[9 * i + 3 * k + r] = P[r] * c[k][0] + P[r + 4] * c[k][1] + P[r + 8] * c[k][2] + P[r + 12];
    }
    pairs = 0;
    for (int i = 0; i < a.tri_count; ++i)
      for (int j = 0; j < b.tri_count; ++j) {
        const double* q = &moved[9 * j];
        pairs += collision_tri_contact(a.tris[i].p1, a.tris[i].p2, a.tris[i].p3, q, q + 3, q + 6);
      }
    benchmark::DoNotOptimize(pairs);
  }
  st.counters["pairs"] = pairs;
}

// One frame of two colliding sphere bodies: the collision step and both updates.
void BM_body_step(benchmark::State& st)
{
  const meshgl& m = sphere_of((int)st.range(0));
  aniMated a, b;
  tensor<double> radius(1, 4);
  radius.values(1.0, 1.0, 1.0, 0.0);
  for (aniMated* body : {&a, &b}) {
    body->rap = new rapid(m);
    body->set_ellipsoid(0, radius);
  }
  dt = 0.01;
  for (auto _ : st) {
    // Start each frame 2.005 apart and closing, so every frame finds the contact.
    a.pos = translation(-1.0025, 0, 0);
    b.pos = translation(1.0025, 0.05, 0);
    a.vel.values(1.0, 0.0, 0.0, 0.0);
    b.vel.values(-1.0, 0.0, 0.0, 0.0);
    a.frozen = b.frozen = 0;
    benchmark::DoNotOptimize(collide(&a, &b).count);
    a.update();
    b.update();
  }
}

void sizes(benchmark::internal::Benchmark* b, bool big)
{
  for (int n : {900, 3600, 14000, 100000})
    if (big || n <= 3600)
      for (int placement : {0, 1}) b->Args({n, placement});
}

}  // namespace

BENCHMARK(BM_rapid_build)->Arg(900)->Arg(3600)->Arg(14000)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_rapid_contact)->Apply([](auto* b) { sizes(b, true); }) -> Unit(benchmark::kMicrosecond);
BENCHMARK(BM_rapid_first)->Apply([](auto* b) { sizes(b, true); }) -> Unit(benchmark::kMicrosecond);
BENCHMARK(BM_brute_force)->Apply([](auto* b) { sizes(b, false); }) -> Unit(benchmark::kMicrosecond) -> Iterations(2);
BENCHMARK(BM_body_step)->Arg(900)->Arg(14000)->Unit(benchmark::kMicrosecond);
