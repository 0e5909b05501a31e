// bench_tensor: 4x4 product, solve, matrix exponential and copy of tensor<double>
// (value semantics: every result a new tensor) beside the same operations on
// Eigen's fixed-size Matrix4d. Prints the tensor/Eigen time ratio of each pair.
#include <benchmark/benchmark.h>

#include <Eigen/Dense>
#include <cstdio>
#include <map>
#include <string>
#include <unsupported/Eigen/MatrixFunctions>

#include "_util/tensor.h"

// A well-conditioned pose-like matrix: rotation generator plus a translation column.
static const double values[16] = {0.9, 0.3, -0.2, 0, -0.3, 1.1, 0.1, 0, 0.2, -0.1, 0.8, 0, 0.5, -0.4, 0.3, 1};

static tensor<double> tensor4()
{
  tensor<double> m(2, 4, 4);
  m.set(0, values, 16);
  return m;
}
static Eigen::Matrix4d eigen4() { return Eigen::Map<const Eigen::Matrix4d>(values); }
// The exponent argument: a small generator, as the bodies integrate over one step.
static tensor<double> tensor_gen() { return tensor4() * 0.1; }
static Eigen::Matrix4d eigen_gen() { return eigen4() * 0.1; }

static void Product_Tensor(benchmark::State& st)
{
  tensor<double> a = tensor4(), b = tensor4();
  for (auto _ : st) {
    benchmark::DoNotOptimize(a.data);
    tensor<double> c = a * b;
    benchmark::DoNotOptimize(c.data);
  }
}
static void Product_Eigen(benchmark::State& st)
{
  Eigen::Matrix4d a = eigen4(), b = eigen4();
  for (auto _ : st) {
    benchmark::DoNotOptimize(a.data());
    Eigen::Matrix4d c = a * b;
    benchmark::DoNotOptimize(c.data());
  }
}

static void Solve_Tensor(benchmark::State& st)
{
  tensor<double> a = tensor4(), b(1, 4);
  b.values(1, 2, 3, 1);
  for (auto _ : st) {
    benchmark::DoNotOptimize(a.data);
    tensor<double> x = a.solve(b);
    benchmark::DoNotOptimize(x.data);
  }
}
static void Solve_Eigen(benchmark::State& st)
{
  Eigen::Matrix4d a = eigen4();
  Eigen::Vector4d b(1, 2, 3, 1);
  for (auto _ : st) {
    benchmark::DoNotOptimize(a.data());
    Eigen::Vector4d x = a.partialPivLu().solve(b);  // the same method: partial pivoting
    benchmark::DoNotOptimize(x.data());
  }
}

static void Expm_Tensor(benchmark::State& st)
{
  tensor<double> a = tensor_gen();
  for (auto _ : st) {
    benchmark::DoNotOptimize(a.data);
    tensor<double> e = a.expm();
    benchmark::DoNotOptimize(e.data);
  }
}
// The same Taylor series with the same stop rule, in Eigen's fixed-size type.
static void Expm_Eigen(benchmark::State& st)
{
  Eigen::Matrix4d a = eigen_gen();
  for (auto _ : st) {
    benchmark::DoNotOptimize(a.data());
    Eigen::Matrix4d sum = Eigen::Matrix4d::Identity(), term = sum;
    for (int i = 1; i < 100 && term.cwiseAbs().colwise().sum().maxCoeff() > 1e-40; i++) {
      term = (term * a) * (1.0 / i);
      sum += term;
    }
    benchmark::DoNotOptimize(sum.data());
  }
}
// For reference: Eigen's own exponential (scaling and squaring with a Pade approximant).
static void Expm_EigenPade(benchmark::State& st)
{
  Eigen::Matrix4d a = eigen_gen();
  for (auto _ : st) {
    benchmark::DoNotOptimize(a.data());
    Eigen::Matrix4d e = a.exp();
    benchmark::DoNotOptimize(e.data());
  }
}

static void Copy_Tensor(benchmark::State& st)
{
  tensor<double> a = tensor4();
  for (auto _ : st) {
    benchmark::DoNotOptimize(a.data);
    tensor<double> c = a;
    benchmark::DoNotOptimize(c.data);
  }
}
static void Copy_Eigen(benchmark::State& st)
{
  Eigen::Matrix4d a = eigen4();
  for (auto _ : st) {
    benchmark::DoNotOptimize(a.data());
    Eigen::Matrix4d c = a;
    benchmark::DoNotOptimize(c.data());
  }
}

BENCHMARK(Product_Tensor);
BENCHMARK(Product_Eigen);
BENCHMARK(Solve_Tensor);
BENCHMARK(Solve_Eigen);
BENCHMARK(Expm_Tensor);
BENCHMARK(Expm_Eigen);
BENCHMARK(Expm_EigenPade);
BENCHMARK(Copy_Tensor);
BENCHMARK(Copy_Eigen);

// Console output as usual, plus the CPU time per iteration of every run for the
// ratios (CPU time: the machine is shared, so wall time includes other work).
struct ratio_reporter : benchmark::ConsoleReporter {
  std::map<std::string, double> ns;
  void ReportRuns(const std::vector<Run>& runs) override
  {
    for (const Run& r : runs)
      if (r.run_type == Run::RT_Iteration) ns[r.benchmark_name()] = r.GetAdjustedCPUTime();
    ConsoleReporter::ReportRuns(runs);
  }
};

int main(int argc, char** argv)
{
  benchmark::Initialize(&argc, argv);
  ratio_reporter rep;
  benchmark::RunSpecifiedBenchmarks(&rep);
  std::printf("\ntensor / Eigen time ratios (goal: product, solve, expm within 4):\n");
  const char* pairs[][2] = {{"Product_Tensor", "Product_Eigen"},
                            {"Solve_Tensor", "Solve_Eigen"},
                            {"Expm_Tensor", "Expm_Eigen"},
                            {"Expm_Tensor", "Expm_EigenPade"},
                            {"Copy_Tensor", "Copy_Eigen"}};
  for (auto& p : pairs)
    if (rep.ns.count(p[0]) && rep.ns.count(p[1]) && rep.ns[p[1]] > 0)
      std::printf("  %-15s / %-15s %6.2f\n", p[0], p[1], rep.ns[p[0]] / rep.ns[p[1]]);
  return 0;
}
