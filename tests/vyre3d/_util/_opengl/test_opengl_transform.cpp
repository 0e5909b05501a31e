// Transform builders, colours, palette, sliders and unprojection of _util/_opengl,
// checked against their algebraic properties; no window needed.
#include <gtest/gtest.h>
#include <cmath>
#include "_util/_opengl.h"

namespace {

tensor<double> vec(std::initializer_list<double> v) { return opengl_vector<double>(v); }

double el(const tensor<double>& m, int r, int c) { return m.data[4 * c + r]; }

void expect_near_matrix(const tensor<double>& a, const tensor<double>& b, double tol)
{
  ASSERT_EQ(a.numel, b.numel);
  for (int k = 0; k < a.numel; ++k) EXPECT_NEAR(a.data[k], b.data[k], tol) << "element " << k;
}

// Columns 0..2 orthonormal, right-handed, bottom row (0, 0, 0, 1).
void expect_rigid(const tensor<double>& m)
{
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) {
      double d = 0;
      for (int r = 0; r < 3; ++r) d += el(m, r, i) * el(m, r, j);
      EXPECT_NEAR(d, i == j, 1e-12) << "columns " << i << "," << j;
    }
  double det = el(m, 0, 0) * (el(m, 1, 1) * el(m, 2, 2) - el(m, 2, 1) * el(m, 1, 2)) -
               el(m, 0, 1) * (el(m, 1, 0) * el(m, 2, 2) - el(m, 2, 0) * el(m, 1, 2)) +
               el(m, 0, 2) * (el(m, 1, 0) * el(m, 2, 1) - el(m, 2, 0) * el(m, 1, 1));
  EXPECT_NEAR(det, 1, 1e-12);
  for (int c = 0; c < 4; ++c) EXPECT_EQ(el(m, 3, c), c == 3);
}

TEST(Transform, SkewIsTheCrossProduct)
{
  tensor<double> v = vec({1, -2, 3}), w = vec({0.5, 4, -1, 0});
  tensor<double> sw = skew(v) * w;
  EXPECT_DOUBLE_EQ(sw.data[0], -2 * -1 - 3 * 4);
  EXPECT_DOUBLE_EQ(sw.data[1], 3 * 0.5 - 1 * -1);
  EXPECT_DOUBLE_EQ(sw.data[2], 1 * 4 - -2 * 0.5);
  EXPECT_DOUBLE_EQ(sw.data[3], 0);
}

TEST(Transform, RigidInverseUndoesAPose)
{
  for (auto w : {vec({0, 0, 0}), vec({0.3, -1.2, 2}), vec({3, 0, 0.1})}) {
    tensor<double> pose = rotation(w);
    pose.data[12] = 4, pose.data[13] = -5, pose.data[14] = 0.25;
    expect_near_matrix(rigid_inverse(pose) * pose, tensor<double>::eye(4), 1e-12);
    expect_near_matrix(pose * rigid_inverse(pose), tensor<double>::eye(4), 1e-12);
  }
}

TEST(Transform, RotationIsTheExponentialOfTheSkewMatrix)
{
  expect_near_matrix(rotation(vec({0, 0, 0})), tensor<double>::eye(4), 0);
  // A quarter turn about z takes x to y.
  tensor<double> q = rotation(vec({0, 0, M_PI / 2, 0})) * vec({1, 0, 0, 0});
  expect_near_matrix(q, vec({0, 1, 0, 0}), 1e-15);
  // Angle-axis: rotating the axis leaves it fixed, a perpendicular vector turns by the angle.
  tensor<double> w = vec({0.6, 0.0, 0.8});
  tensor<double> r = rotation(w);
  expect_rigid(r);
  tensor<double> ax = r * vec({0.6, 0, 0.8, 0});
  expect_near_matrix(ax, vec({0.6, 0, 0.8, 0}), 1e-15);
  tensor<double> y = r * vec({0, 1, 0, 0});
  EXPECT_NEAR(y.data[1], std::cos(1.0), 1e-15);
}

// Both branches agree where they meet at |w|^2 = 0.5, and the series keeps
// full precision for tiny angles (where 1 - cos t cancels).
TEST(Transform, RotationIsContinuousAcrossTheSeriesSwitch)
{
  double t = std::sqrt(0.5);
  for (double eps : {1e-12, 1e-9}) {
    tensor<double> below = rotation(vec({0, (t - eps), 0})), above = rotation(vec({0, (t + eps), 0}));
    expect_near_matrix(below, above, 4 * eps);
    expect_rigid(below);
  }
  tensor<double> tiny = rotation(vec({1e-8, 0, 0}));
  EXPECT_NEAR(el(tiny, 2, 1), 1e-8, 1e-22);
}

TEST(Transform, FrameAlongPutsZOnTheVector)
{
  tensor<double> p = vec({1, 2, 3, 1});
  for (auto v : {vec({0, 0, 2, 0}), vec({-1, 5, 0.5, 0}), vec({3, -3, -3, 0})}) {
    tensor<double> f = frame_along(v, p);
    expect_rigid(f);
    double n = v.norm();
    for (int r = 0; r < 3; ++r) {
      EXPECT_NEAR(el(f, r, 2), v.data[r] / n, 1e-15);
      EXPECT_EQ(el(f, r, 3), p.data[r]);
    }
  }
  expect_near_matrix(frame_along(vec({0, 0, 0, 0}), p), translation(1, 2, 3), 0);
}

TEST(Transform, FramesFromAndToPointAlongTheSegment)
{
  tensor<double> src = vec({1, 1, 0, 1}), dst = vec({4, 5, 0, 1});
  tensor<double> from = frame_from(src, dst), to = frame_to(src, dst);
  expect_rigid(from);
  expect_rigid(to);
  for (int r = 0; r < 3; ++r) {
    double s = (dst.data[r] - src.data[r]) / 5;
    EXPECT_NEAR(el(from, r, 2), s, 1e-15);
    EXPECT_NEAR(el(to, r, 0), -s, 1e-15);
    EXPECT_EQ(el(from, r, 3), src.data[r]);
    EXPECT_EQ(el(to, r, 3), src.data[r]);
  }
  expect_near_matrix(frame_from(src, src), tensor<double>::eye(4), 0);
  expect_near_matrix(frame_to(src, src), tensor<double>::eye(4), 0);
}

TEST(Transform, OrthonormalizeRepairsADriftedPose)
{
  tensor<double> m = rotation(vec({0.2, 0.4, -0.3}));
  m.data[12] = 7;
  for (int k = 0; k < 12; ++k) m.data[k] += 0.01 * std::sin(k + 1.0);  // drift
  tensor<double> o = orthonormalize(m);
  expect_rigid(o);
  double n0 = std::sqrt(m.data[0] * m.data[0] + m.data[1] * m.data[1] + m.data[2] * m.data[2]);
  for (int r = 0; r < 3; ++r) EXPECT_NEAR(el(o, r, 0), m.data[r] / n0, 1e-15);
  EXPECT_EQ(el(o, 0, 3), 7);
}

TEST(Transform, BuildersFromArraysAndVectors)
{
  const double p[3][4] = {{1, 2, 3, 9}, {4, 5, 6, 9}, {7, 8, 9, 9}};
  tensor<double> m3 = mat3(p), m4 = mat4(p);
  EXPECT_EQ(m3.size[0], 3);
  EXPECT_EQ(m3.data[3 * 1 + 2], p[1][2]);  // element (2, 1)
  EXPECT_EQ(el(m4, 2, 1), p[1][2]);
  EXPECT_EQ(el(m4, 3, 3), 1);
  EXPECT_EQ(el(m4, 0, 3), 0);
  const double x[3] = {1, 2, 3};
  EXPECT_EQ(vec3(x).numel, 3);
  tensor<double> d = dir4(x);
  EXPECT_EQ(d.numel, 4);
  EXPECT_EQ(d.data[3], 0);
  tensor<double> o = outer(vec({1, 2, 3}));
  EXPECT_EQ(el(o, 1, 2), 6);
  EXPECT_EQ(el(o, 3, 3), 1);
  EXPECT_EQ(el(o, 0, 3), 0);
  expect_near_matrix(translation(vec({1, 2, 3})), translation(1, 2, 3), 0);
}

TEST(TransformDeathTest, ContractsNameTheirExpression)
{
  EXPECT_DEATH(skew(vec({1, 2})),
               "_util/_opengl:[0-9]+: .*Assertion `myTensor.numel==3\\|\\|myTensor.numel==4' failed");
  EXPECT_DEATH(translation(vec({1, 2})), "_util/_opengl:[0-9]+: .*Assertion `3<=myTensor.numel' failed");
  EXPECT_DEATH(frame_to(vec({1, 2, 3}), vec({1, 2, 3, 1})),
               "_util/_opengl:[0-9]+: .*Assertion `src.numel==4 && dst.numel==4' failed");
}

TEST(Colors, PaletteRotatesEachBaseColour)
{
  ASSERT_EQ(palette.size[0], 4);
  ASSERT_EQ(palette.size[1], 24);
  const double expect[4][4] = {
      {1, 0.0392, 0.0392, 1}, {0.0392, 1, 0.0392, 1}, {0.0392, 0.0392, 1, 1}, {0.8627, 0.4314, 0, 1}};
  for (int c = 0; c < 4; ++c)
    for (int r = 0; r < 4; ++r) EXPECT_EQ(palette.data[4 * c + r], expect[c][r]);
  // The last triple: base (0.7373, 0.749, 0.2) rotated twice is (G, B, R).
  EXPECT_EQ(palette.data[4 * 23 + 0], 0.749);
  EXPECT_EQ(palette.data[4 * 23 + 2], 0.7373);
  EXPECT_EQ(color_grey02.data[1], 0.2);
  EXPECT_EQ(color_white.data[3], 1);
}

TEST(Sliders, FirstUseClampsAndStoresTheDefault)
{
  EXPECT_EQ(opengl_slider("x", 1.7), 1.0);
  EXPECT_EQ(opengl_slider("x", -3), 1.0);
  EXPECT_EQ(opengl_slider("y", -3), 0.0);
  EXPECT_EQ(opengl_slider("z", 0.25), 0.25);
}

TEST(Lights, EachLightGetsTheNextIdAndIsRegistered)
{
  opengl_light* a = new opengl_light;
  opengl_light* b = new opengl_light;
  EXPECT_EQ(b->id, a->id + 1);
  opengl_light* found = nullptr;
  ASSERT_TRUE(light_registry.lookup(b->id, found));
  EXPECT_EQ(found, b);
  EXPECT_EQ(a->spot_cutoff, 180);
  EXPECT_EQ(a->casts_shadows, 1);
  expect_near_matrix(a->pose, tensor<double>::eye(4), 0);
  expect_near_matrix(a->diffuse, color_black, 0);
}

TEST(Unproject, PixelsMapToNormalisedDeviceCoordinates)
{
  window_size.data[0] = 800, window_size.data[1] = 600;
  expect_near_matrix(opengl_unproject(400, 150, 1), vec({0, -0.5, 1, 1}), 0);
  expect_near_matrix(opengl_unproject(0, 600, 0), vec({-1, 1, -1, 1}), 0);
}

TEST(Labels, LabelsCollectPointAndText)
{
  opengl_label(vec({1, 2, 3, 1}), "ball");
  EXPECT_EQ(label_points.count, 1);
  EXPECT_EQ(label_texts.count, 1);
}

}  // namespace
