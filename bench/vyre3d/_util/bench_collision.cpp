// Benchmarks of _util/collision_model: tree build, and queries (all contacts and
// first contact) of two sphere meshes overlapping or just apart, beside testing
// every triangle pair, the cost the tree exists to avoid.
#include "_util/collision_model.h"
#include "tests/vyre3d/_util/sphere_soup.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <vector>

namespace {

// Closed sphere of radius 1 with about n triangles.
soup sphere(int n)
{
  int slices = (int)std::sqrt(n * 1.5), stacks = n / (2 * slices) + 1;
  return ::sphere(slices, stacks, 1.0);
}

std::unique_ptr<collision_model> build(const std::vector<tri>& s)
{
  auto m = std::make_unique<collision_model>();
  m->begin_model();
  for (size_t k = 0; k < s.size(); ++k) m->add_triangle(s[k].a, s[k].b, s[k].c, (int)k);
  m->end_model();
  return m;
}

// Placement of the second sphere: centres 1.3 apart (the surfaces cross along a
// circle) or 2.01 apart (no contact, but the root boxes overlap).
struct placement {
  double R1[3][3], T1[3], R2[3][3], T2[3];
  explicit placement(bool overlap)
  {
    const double c = std::cos(0.3), s = std::sin(0.3);
    const double A[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}, B[3][3] = {{c, -s, 0}, {s, c, 0}, {0, 0, 1}};
    std::memcpy(R1, A, sizeof A);
    std::memcpy(R2, B, sizeof B);
    T1[0] = T1[1] = T1[2] = 0;
    T2[0] = overlap ? 1.3 : 2.01, T2[1] = 0.05, T2[2] = 0.02;
  }
};

void BM_build(benchmark::State& state)
{
  std::vector<tri> s = sphere((int)state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(build(s));
  state.counters["triangles"] = (double)s.size();
}

void BM_query(benchmark::State& state)
{
  std::vector<tri> s = sphere((int)state.range(0));
  auto m1 = build(s), m2 = build(s);
  placement p(state.range(1));
  int flag = (int)state.range(2);
  for (auto _ : state) collide(p.R1, p.T1, m1.get(), p.R2, p.T2, m2.get(), flag);
  state.counters["contacts"] = num_contacts;
  state.counters["box_tests"] = num_box_tests;
  state.counters["tri_tests"] = num_tri_tests;
}

// Every pair through the triangle test, in model 2 coordinates as the query does.
void BM_all_pairs(benchmark::State& state)
{
  std::vector<tri> s = sphere((int)state.range(0));
  placement p(state.range(1));
  double mR[3][3], mT[3], D[3];
  coll_mul_t(mR, p.R2, p.R1);
  coll_sub(D, p.T1, p.T2);
  coll_mul_t(mT, p.R2, D);
  int found = 0;
  for (auto _ : state) {
    found = 0;
    for (const tri& t1 : s) {
      double q[3][3];
      const double* src[3] = {t1.a, t1.b, t1.c};
      for (int c = 0; c < 3; ++c) {
        coll_mul(q[c], mR, src[c]);
        for (int k = 0; k < 3; ++k) q[c][k] += mT[k];
      }
      for (const tri& t2 : s) found += collision_tri_contact(q[0], q[1], q[2], t2.a, t2.b, t2.c);
    }
  }
  state.counters["contacts"] = found;
}

}  // namespace

// Arguments: triangles per mesh, overlapping (1) or apart (0), flag.
BENCHMARK(BM_build)->Arg(2000)->Arg(20000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_query)
    ->ArgsProduct({{2000, 20000, 100000}, {1, 0}, {COLL_ALL_CONTACTS, COLL_FIRST_CONTACT}})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_all_pairs)->Args({2000, 1})->Args({2000, 0})->Unit(benchmark::kMillisecond);
