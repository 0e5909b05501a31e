// bench/vyre3d/_util/_opengl/bench_capture: one 800x600 capture without the GL read-back (every
// pixel unprojected through the inverse of projection x view, then the bitmap and
// the point file written into a temporary folder) beside writing the same number
// of bytes to two files with plain fwrite (the disk limit); compare as a ratio.
// Builds on _util/_opengl/capture.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>
#include "_util/_opengl.h"

namespace {

constexpr int W = 800, H = 600;

const std::string& folder()
{
  static const std::string dir = [] {
    char tmpl[] = "/tmp/bench_capture.XXXXXX";
    return std::string(mkdtemp(tmpl));
  }();
  return dir;
}

// The writers report every file on standard output; keep that out of the tables.
struct quiet_stdout {
  int saved;
  quiet_stdout() : saved(dup(1))
  {
    std::fflush(stdout);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    close(null);
  }
  ~quiet_stdout()
  {
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
  }
};

// A floor seen at an angle: depths spread over the range, the upper third empty (depth 1).
tensor<float> depth_buffer()
{
  tensor<float> d(2, W, H);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) d.data[y * W + x] = y < 2 * H / 3 ? float(0.9 + 0.0999 * y / H + 1e-5 * x) : 1.0f;
  return d;
}

tensor<double> inverse_projection_view()
{
  window_size.data[0] = W, window_size.data[1] = H;
  const double f = 1 / std::tan(13.0 * M_PI / 180), n = 0.5, far = 1e40;
  tensor<double> p(2, 4, 4);
  p.data[0] = f * H / W, p.data[5] = f, p.data[10] = (far + n) / (n - far), p.data[11] = -1;
  p.data[14] = 2 * far * n / (n - far);
  const tensor<double> view = rigid_inverse(rotation(opengl_vector<double>({1.2, 0, 0.3})) * translation(1, -6, 2));
  return (p * view).solve(tensor<double>::eye(4));
}

void BM_Capture(benchmark::State& state)
{
  const tensor<float> depth = depth_buffer();
  const tensor<double> inverse = inverse_projection_view();
  tensor<unsigned char> rgba(3, 4, W, H);
  rgba.fill(26);
  tensor<double> points;
  quiet_stdout quiet;
  for (auto _ : state) {
    opengl_capture_points(depth, W, H, inverse, points);
    opengl_capture_write(folder().c_str(), 0, 0, rgba, points);
  }
  state.SetBytesProcessed(state.iterations() * (54 + rgba.numel + 16 + 8 * 4 * W * H));
}
BENCHMARK(BM_Capture)->Unit(benchmark::kMillisecond)->UseRealTime();

// The limit: the same two files' bytes, each in one fwrite.
void BM_PlainFwrite(benchmark::State& state)
{
  const std::vector<char> image(54 + 4 * W * H, 26), points(16 + 8 * 4 * W * H, 1);
  const std::string a = folder() + "/plain_rgba.bmp", b = folder() + "/plain_pnt3.mat";
  for (auto _ : state)
    for (const auto& [name, bytes] : {std::pair{&a, &image}, std::pair{&b, &points}}) {
      std::FILE* f = std::fopen(name->c_str(), "wb");
      std::fwrite(bytes->data(), 1, bytes->size(), f);
      std::fclose(f);
    }
  state.SetBytesProcessed(state.iterations() * (image.size() + points.size()));
}
BENCHMARK(BM_PlainFwrite)->Unit(benchmark::kMillisecond)->UseRealTime();

// The unprojection alone, for the share of the arithmetic in the capture.
void BM_Unproject(benchmark::State& state)
{
  const tensor<float> depth = depth_buffer();
  const tensor<double> inverse = inverse_projection_view();
  tensor<double> points;
  for (auto _ : state) {
    opengl_capture_points(depth, W, H, inverse, points);
    benchmark::DoNotOptimize(points.data);
  }
}
BENCHMARK(BM_Unproject)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv)
{
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::filesystem::remove_all(folder());
  return 0;
}
