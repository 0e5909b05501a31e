// Tests of _util/perlin: the tables, zeros on the lattice, continuity across
// cell borders, range, the 256-periodic hashing and the range contracts.
#include "_util/perlin.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <set>
#include <vector>

namespace {

// Noise of dimension D at p (float coordinates).
float noise(int D, const float* p)
{
  switch (D) {
    case 1: return simplex1(p[0]);
    case 2: return simplex2(p[0], p[1]);
    case 3: return simplex3(p[0], p[1], p[2]);
    default: return simplex4(p[0], p[1], p[2], p[3]);
  }
}

// Skew-back factor of the simplex lattice of dimension D (0 in one dimension).
double unskew(int D)
{
  switch (D) {
    case 2: return 0.211324865;
    case 3: return 0.166666667;
    case 4: return 0.138196601;
    default: return 0.0;
  }
}

// Position of lattice vertex idx in input coordinates.
void lattice_point(int D, const int* idx, float* p)
{
  double sum = 0;
  for (int k = 0; k < D; ++k) sum += idx[k];
  for (int k = 0; k < D; ++k) p[k] = (float)(idx[k] - sum * unskew(D));
}

}  // namespace

TEST(PerlinTables, PermIsTheReferencePermutationStoredTwice)
{
  const int head[8] = {151, 160, 137, 91, 90, 15, 131, 13};
  for (int k = 0; k < 8; ++k) EXPECT_EQ(perm[k], head[k]);
  std::vector<int> sorted(perm.begin(), perm.begin() + 256);
  std::sort(sorted.begin(), sorted.end());
  for (int k = 0; k < 256; ++k) ASSERT_EQ(sorted[k], k);
  for (int k = 0; k < 256; ++k) ASSERT_EQ(perm[k + 256], perm[k]);
}

TEST(PerlinTables, Simplex4OrderHoldsRanksOfEveryOrderingAndZerosElsewhere)
{
  int v[4] = {0, 1, 2, 3};
  int filled = 0;
  bool hit[64] = {};
  do {
    int c = 32 * (v[0] > v[1]) + 16 * (v[0] > v[2]) + 8 * (v[1] > v[2]) + 4 * (v[0] > v[3]) + 2 * (v[1] > v[3]) +
            (v[2] > v[3]);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(simplex4_order[c][k], v[k]) << "entry " << c;
    hit[c] = true;
    ++filled;
  } while (std::next_permutation(v, v + 4));
  EXPECT_EQ(filled, 24);
  for (int c = 0; c < 64; ++c) {
    if (!hit[c]) {
      for (int k = 0; k < 4; ++k) EXPECT_EQ(simplex4_order[c][k], 0) << "entry " << c;
    }
  }
}

TEST(PerlinTables, GradientsCoverTheirDirectionSets)
{
  // Each gradient function is linear in its coordinates; read off its vector.
  std::set<std::vector<int>> g1, g2, g3, g4;
  for (int h = 0; h < 16; ++h) g1.insert({(int)simplex_grad1(h, 1)});
  for (int h = 0; h < 8; ++h) g2.insert({(int)simplex_grad2(h, 1, 0), (int)simplex_grad2(h, 0, 1)});
  for (int h = 0; h < 16; ++h)
    g3.insert({(int)simplex_grad3(h, 1, 0, 0), (int)simplex_grad3(h, 0, 1, 0), (int)simplex_grad3(h, 0, 0, 1)});
  for (int h = 0; h < 32; ++h)
    g4.insert({(int)simplex_grad4(h, 1, 0, 0, 0), (int)simplex_grad4(h, 0, 1, 0, 0), (int)simplex_grad4(h, 0, 0, 1, 0),
               (int)simplex_grad4(h, 0, 0, 0, 1)});
  EXPECT_EQ(g1.size(), 16u);  // +-1 .. +-8
  for (auto& g : g1) EXPECT_TRUE(g[0] != 0 && std::abs(g[0]) <= 8);
  EXPECT_EQ(g2.size(), 8u);  // (+-1, +-2) and (+-2, +-1)
  for (auto& g : g2) EXPECT_EQ(std::abs(g[0]) + std::abs(g[1]), 3);
  EXPECT_EQ(g3.size(), 12u);  // the twelve cube edge midpoints
  EXPECT_EQ(g4.size(), 32u);  // the thirty-two 4-cube edge midpoints
  for (const auto* set : {&g3, &g4})
    for (auto& g : *set) {
      int zeros = 0, ones = 0;
      for (int c : g) zeros += c == 0, ones += std::abs(c) == 1;
      EXPECT_EQ(zeros, 1);
      EXPECT_EQ(ones, (int)g.size() - 1);
    }
}

TEST(PerlinNoise, OneDimensionalNoiseIsExactlyZeroAtIntegersAndSmallBesideThem)
{
  // Across the floor's switch at every integer (0 and negatives included) the
  // value stays continuous: within the largest slope times the step.
  const float delta = 1e-3f;
  for (int n = -300; n <= 300; ++n) {
    EXPECT_EQ(simplex1((float)n), 0.0f) << n;
    EXPECT_LE(std::fabs(simplex1(n + delta)), 0.395f * 8 * delta * 1.01f) << n;
    EXPECT_LE(std::fabs(simplex1(n - delta)), 0.395f * 8 * delta * 1.01f) << n;
  }
}

TEST(PerlinNoise, VanishesAtTheOriginAndAtEveryLatticeVertex)
{
  EXPECT_NEAR(simplex2(0, 0), 0.0f, 1e-6);
  EXPECT_NEAR(simplex3(0, 0, 0), 0.0f, 1e-6);
  EXPECT_NEAR(simplex4(0, 0, 0, 0), 0.0f, 1e-6);
  // Only the vertex's own corner reaches it, with distance zero; a fault in the
  // skew, the floor or the corner offsets moves the cell and breaks this.
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> idx(-40, 40);
  for (int D = 2; D <= 4; ++D)
    for (int n = 0; n < 2000; ++n) {
      int ix[4];
      float p[4];
      for (int k = 0; k < D; ++k) ix[k] = idx(rng);
      lattice_point(D, ix, p);
      ASSERT_NEAR(noise(D, p), 0.0f, 2e-4) << "D=" << D << " vertex " << ix[0] << "," << ix[1];
    }
}

TEST(PerlinNoise, IsBoundedAndNotTrivial)
{
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> coord(-1000.0f, 1000.0f);
  for (int D = 1; D <= 4; ++D) {
    float largest = 0, sum = 0, sum_abs = 0;
    const int count = 100000;
    for (int n = 0; n < count; ++n) {
      float p[4];
      for (int k = 0; k < D; ++k) p[k] = coord(rng);
      float v = noise(D, p);
      ASSERT_LT(std::fabs(v), 1.0f);
      largest = std::max(largest, std::fabs(v));
      sum += v;
      sum_abs += std::fabs(v);
    }
    EXPECT_GT(largest, 0.5f) << "D=" << D;
    EXPECT_GT(sum_abs / count, 0.05f) << "D=" << D;
    EXPECT_LT(std::fabs(sum / count), 0.02f) << "D=" << D;
  }
}

TEST(PerlinNoise, SmallStepsGiveSmallChangesEverywhere)
{
  // Random points (negative coordinates included) and lattice vertices, where
  // every cell border meets: a step of h moves the value by at most a bounded
  // slope times h, also when the step crosses into another cell.
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> coord(-20.0f, 20.0f);
  std::normal_distribution<float> gauss;
  std::uniform_int_distribution<int> idx(-10, 10);
  const float h = 1e-3f, slope = 30.0f;
  for (int D = 1; D <= 4; ++D)
    for (int n = 0; n < 100000; ++n) {
      float p[4], q[4], dir[4], len = 0;
      if (n % 10 == 0) {
        int ix[4];
        for (int k = 0; k < D; ++k) ix[k] = idx(rng);
        lattice_point(D, ix, p);
      } else {
        for (int k = 0; k < D; ++k) p[k] = coord(rng);
      }
      for (int k = 0; k < D; ++k) {
        dir[k] = gauss(rng);
        len += dir[k] * dir[k];
      }
      len = std::sqrt(len);
      for (int k = 0; k < D; ++k) q[k] = p[k] + h * dir[k] / len;
      ASSERT_LT(std::fabs(noise(D, q) - noise(D, p)), slope * h) << "D=" << D << " at " << p[0] << "," << p[1];
    }
}

TEST(PerlinNoise, LatticeIndicesEnterOnlyThroughTheirLowEightBits)
{
  // Moving by 256 lattice steps along any lattice axis repeats the noise (up to
  // float rounding of the shifted position); 128 steps do not.
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> coord(-4.0f, 4.0f);
  for (int D = 1; D <= 4; ++D)
    for (int axis = 0; axis < D; ++axis) {
      float differs128 = 0;
      for (int n = 0; n < 2000; ++n) {
        float p[4], q[4], r[4];
        for (int k = 0; k < D; ++k) p[k] = coord(rng);
        int steps = (n % 2 ? 256 : -512);
        for (int k = 0; k < D; ++k) {
          q[k] = (float)(p[k] + steps * ((k == axis) - unskew(D)));
          r[k] = (float)(p[k] + 128 * ((k == axis) - unskew(D)));
        }
        ASSERT_NEAR(noise(D, q), noise(D, p), 2e-3) << "D=" << D << " axis " << axis;
        differs128 = std::max(differs128, std::fabs(noise(D, r) - noise(D, p)));
      }
      EXPECT_GT(differs128, 0.2f) << "D=" << D << " axis " << axis;
    }
}

TEST(PerlinNoise, CoordinatesBeyondTheIntRangeStayDefined)
{
  for (float big : {3e9f, -3e9f, 1e20f, -1e20f}) {
    EXPECT_LT(std::fabs(simplex2(big, 0.5f)), 1.0f);
    EXPECT_LT(std::fabs(simplex3(0.25f, big, big)), 1.0f);
    EXPECT_LT(std::fabs(simplex4(big, -big, 0.5f, big)), 1.0f);
  }
}

TEST(PerlinNoiseDeathTest, ResultOutsideTheUnitRangeFailsTheContract)
{
  // A NaN coordinate is the one way to reach the range checks.
  const float nan = std::nanf("");
  EXPECT_DEATH(simplex2(nan, 0),
               "_util/perlin:[0-9]+: .*Assertion `abs\\(45\\.0f \\* \\(n0 \\+ n1 \\+ n2\\)\\)<1' failed");
  EXPECT_DEATH(simplex3(0, nan, 0),
               "_util/perlin:[0-9]+: .*Assertion `abs\\(32\\.0f \\* \\(n0 \\+ n1 \\+ n2 \\+ n3\\)\\)<1' failed");
  EXPECT_DEATH(simplex4(0, 0, 0, nan),
               "_util/perlin:[0-9]+: .*Assertion `abs\\(27\\.0f \\* \\(n0 \\+ n1 \\+ n2 \\+ n3 \\+ n4\\)\\)<1' failed");
}
