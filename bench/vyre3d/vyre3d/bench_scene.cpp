// Benchmark of vyre3d/scene: one scene_step with curve 3 playing (avatar control
// and update, interpolation, the ball's 450 vertices displaced by three noise
// octaves, scaling, normals, a new shadow mesh, the camera) beside the 3 x 450
// noise calls alone, in the same run. Reads get/ from the build folder.
#include <benchmark/benchmark.h>
#include <unistd.h>
#include "_util/_opengl/cache.h"
#include "_util/perlin.h"
#include "vyre3d/scene.h"

namespace {

void BM_scene_step(benchmark::State& state)
{
  static const bool assembled = (scene_assemble(), true);
  (void)assembled;
  key_pressed.data['3'] = 1;
  double t = 1;
  for (auto _ : state) {
    elapsed_time = timestamp((long long)(t * double(timer_frequency)));
    physics_step = 0.02;
    scene_step();
    key_pressed.fill(0);
    t += 0.02;
    benchmark::DoNotOptimize(ball.msh);
  }
}
BENCHMARK(BM_scene_step)->Unit(benchmark::kMicrosecond);

// The peer: the noise of one ball (three octaves per vertex of the sphere file).
void BM_ball_noise_alone(benchmark::State& state)
{
  const meshgl& sphere = *opengl_mesh(sphere_mesh_name);
  const int nv = sphere.vertex_count(), s = sphere.stride(), vtx = sphere.vtx_offset();
  float t = 1;
  for (auto _ : state) {
    float sum = 0;
    for (int v = 0; v < nv; v++) {
      const float* p = sphere.arr.data + v * s + vtx;
      sum += simplex4(0.5f * p[0], 0.5f * p[1], 0.5f * p[2], t) + simplex4(p[0], p[1], p[2], t) +
             simplex4(2 * p[0], 2 * p[1], 2 * p[2], t);
    }
    benchmark::DoNotOptimize(sum);
    t += 0.02f;
  }
}
BENCHMARK(BM_ball_noise_alone)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv)
{
  if (chdir(VY_BUILD_DIR) != 0) return 1;  // the scene reads get/... by relative names
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  return 0;
}
