// tests/vyre3d/_util/test_assets: the meshes the build writes into get/: the sphere is
// closed and wound outward with shared vertices, the plane faces +z. Reads the
// files make_assets wrote into the build folder. Builds on _util/meshgl.
#include <gtest/gtest.h>
#include <cmath>
#include <map>
#include <set>
#include <tuple>
#include <utility>
#include "_util/meshgl.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

static meshgl load(const char* name)
{
  CaptureStdout();
  meshgl m((std::string(VY_GET_DIR) + "/mesh/" + name).c_str());
  GetCapturedStdout();
  return m;
}

TEST(Assets, SphereIsClosedWoundOutwardAndSharesItsVertices)
{
  const meshgl s = load("sphere_896_tnv");
  ASSERT_EQ(mesh::ok, 1);
  EXPECT_EQ(s.format, GL_T2F_N3F_V3F);
  ASSERT_EQ(s.ind[MESH_TRIA].size[1], 896);
  EXPECT_EQ(s.ind[MESH_QUAD].numel, 0);

  // Consistent winding of a closed surface: every directed edge occurs once and
  // its reverse once, so every edge joins exactly two triangles.
  std::map<std::pair<int, int>, int> directed;
  s.for_each_triangle([&](int a, int b, int c) {
    EXPECT_TRUE(a != b && b != c && c != a);
    directed[{a, b}]++, directed[{b, c}]++, directed[{c, a}]++;
  });
  for (const auto& [edge, count] : directed) {
    EXPECT_EQ(count, 1) << edge.first << "-" << edge.second;
    EXPECT_EQ(directed.count({edge.second, edge.first}), 1u) << edge.first << "-" << edge.second << " is open";
  }
  // Euler characteristic of a sphere: V - E + F = 2, with no seam duplicates.
  const int edges = (int)directed.size() / 2;
  EXPECT_EQ(s.vertex_count() - edges + 896, 2);
  std::set<std::tuple<float, float, float>> positions;
  for (int v = 0; v < s.vertex_count(); v++) {
    const tensor<double> p = s.vertex(v), n = s.normal(v);
    positions.insert({(float)p.data[0], (float)p.data[1], (float)p.data[2]});
    EXPECT_NEAR(std::sqrt(p.data[0] * p.data[0] + p.data[1] * p.data[1] + p.data[2] * p.data[2]), 1.0, 1e-6);
    EXPECT_NEAR(n.data[0] * p.data[0] + n.data[1] * p.data[1] + n.data[2] * p.data[2], 1.0, 1e-6);
  }
  EXPECT_EQ((int)positions.size(), s.vertex_count());

  double vol = 0;
  const tensor<double> centre = s.volume(vol);
  EXPECT_NEAR(vol, 4.0 / 3.0 * M_PI, 0.03 * 4.0 / 3.0 * M_PI);
  EXPECT_NEAR(centre.data[0], 0.0, 1e-6);
  EXPECT_NEAR(centre.data[2], 0.0, 1e-6);

  // Computed normals agree with the stored ones (outward).
  meshgl recomputed = s;
  recomputed.normals();
  for (int v = 0; v < s.vertex_count(); v++) {
    const tensor<double> a = s.normal(v), b = recomputed.normal(v);
    EXPECT_GT(a.data[0] * b.data[0] + a.data[1] * b.data[1] + a.data[2] * b.data[2], 0.99) << v;
  }
}

TEST(Assets, PlaneIsAFlatGridFacingUp)
{
  const meshgl p = load("plane_460_tnv");
  ASSERT_EQ(mesh::ok, 1);
  EXPECT_EQ(p.format, GL_T2F_N3F_V3F);
  EXPECT_EQ(2 * p.ind[MESH_QUAD].size[1] + p.ind[MESH_TRIA].size[1], 460);
  int triangles = 0;
  p.for_each_triangle([&](int a, int b, int c) {
    const tensor<double> pa = p.vertex(a), pb = p.vertex(b), pc = p.vertex(c);
    const double ux = pb.data[0] - pa.data[0], uy = pb.data[1] - pa.data[1];
    const double vx = pc.data[0] - pa.data[0], vy = pc.data[1] - pa.data[1];
    EXPECT_GT(ux * vy - uy * vx, 0.0) << "triangle " << triangles << " faces down";
    triangles++;
  });
  EXPECT_EQ(triangles, 460);
  for (int v = 0; v < p.vertex_count(); v++) {
    EXPECT_EQ(p.vertex(v).data[2], 0.0);
    const tensor<double> n = p.normal(v);
    EXPECT_EQ(n.data[2], 1.0);
  }
  const tensor<double> box = p.bbox();
  EXPECT_NEAR(box.data[0], -1, 1e-6);
  EXPECT_NEAR(box.data[1], -1, 1e-6);
  EXPECT_NEAR(box.data[4], 1, 1e-6);
  EXPECT_NEAR(box.data[5], 1, 1e-6);
}
