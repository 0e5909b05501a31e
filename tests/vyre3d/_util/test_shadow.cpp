// tests/vyre3d/_util/test_shadow: construction of shadow meshes and their silhouettes
// (_util/shadow.h) for a tetrahedron, single triangles, the sphere asset and meshes
// with zero-area triangles, checked against a brute-force adjacency walk.
#include <gtest/gtest.h>
#include <map>
#include <set>
#include "_util/shadow.h"
#include "shapes.h"

namespace {

tensor<double> point(double x, double y, double z)
{
  tensor<double> p(1, 4);
  p.values(x, y, z, 1.0);
  return p;
}

struct outline {
  tensor<int> facing;
  std::vector<std::pair<int, int>> edges;  // from, to
};

outline silhouette_of(const shadow_mesh& s, const tensor<double>& light)
{
  outline o;
  tensor<unsigned int> packed = s.silhouette(light, o.facing);
  for (int e = 0; e < packed.numel; e++)
    o.edges.push_back({(int)(packed.data[e] >> 16), (int)(packed.data[e] & 0xffff)});
  return o;
}

// Every silhouette edge is directed as in a light-facing triangle and bounds it
// against an averted triangle (or nothing); every such border edge is listed once;
// each vertex has as many edges leaving as arriving (closed loops).
void expect_sound(const shadow_mesh& s, const outline& o)
{
  std::set<int> lit(o.facing.data, o.facing.data + o.facing.numel);
  std::map<std::pair<int, int>, int> owner;  // directed edge -> triangle
  const int* t = s.ind[MESH_TRIA].data;
  for (int f = 0; f < s.ind[MESH_TRIA].numel / 3; f++)
    for (int j = 0; j < 3; j++) owner[{t[3 * f + j], t[3 * f + (j + 1) % 3]}] = f;
  std::set<std::pair<int, int>> expected;
  for (auto& [e, f] : owner) {
    auto back = owner.find({e.second, e.first});
    if (lit.count(f) && (back == owner.end() || !lit.count(back->second))) expected.insert(e);
  }
  std::set<std::pair<int, int>> got(o.edges.begin(), o.edges.end());
  EXPECT_EQ(got.size(), o.edges.size());
  EXPECT_EQ(got, expected);
  std::map<int, int> balance;
  for (auto& [a, b] : o.edges) balance[a]++, balance[b]--;
  for (auto& [v, n] : balance) EXPECT_EQ(n, 0) << "vertex " << v;
}

}  // namespace

TEST(ShadowMesh, HoldsTrianglesThenQuadHalvesWithHomogeneousPositionsAndFaceNormals)
{
  meshgl m = make_mesh({0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0, 5, 5, 5}, {0, 1, 4}, {0, 1, 2, 3, 1, 0, 3, 2});
  shadow_mesh s(&m);
  EXPECT_EQ(std::vector<int>(s.ind[MESH_TRIA].data, s.ind[MESH_TRIA].data + 15),
            (std::vector<int>{0, 1, 4, 3, 0, 1, 2, 1, 0, 1, 2, 3, 0, 3, 2}));
  for (int k = 0; k < MESH_KINDS; k++) {
    if (k != MESH_TRIA) {
      EXPECT_EQ(s.ind[k].numel, 0);
    }
  }
  ASSERT_EQ(s.arr.size[0], 4);
  ASSERT_EQ(s.arr.size[1], 5);
  EXPECT_EQ(s.arr.data[4 * 4 + 2], 5.0f);
  EXPECT_EQ(s.arr.data[4 * 4 + 3], 1.0f);
  ASSERT_EQ(s.face_normals.size[1], 5);
  const float* f = s.face_normals.data + 4 * 3;  // (1, 2, 3): unit square half, area 1/2
  EXPECT_EQ(f[0], 0.0f);
  EXPECT_EQ(f[1], 0.0f);
  EXPECT_EQ(f[2], 1.0f);
  EXPECT_EQ(f[3], 0.0f);
  EXPECT_EQ(s.format, 0);
}

TEST(ShadowMesh, TetrahedronSilhouetteIsOneClosedLoopFromEveryDirection)
{
  meshgl tet = tetrahedron();
  shadow_mesh s(&tet);
  int lights = 0;
  for (int i = -3; i <= 3; i++)
    for (int j = -3; j <= 3; j++)
      for (int k = -3; k <= 3; k++) {
        if (i >= 0 && j >= 0 && k >= 0 && i + j + k <= 1) continue;  // inside or on the solid
        outline o = silhouette_of(s, point(i * 0.7 + 0.1, j * 0.7 + 0.05, k * 0.7 + 0.02));
        expect_sound(s, o);
        EXPECT_GE(o.facing.numel, 1);
        EXPECT_LE(o.facing.numel, 3);
        EXPECT_TRUE(o.edges.size() == 3 || o.edges.size() == 4) << o.edges.size();
        lights++;
      }
  EXPECT_GT(lights, 300);
}

TEST(ShadowMesh, SingleTriangleFacingTheLightGivesItsBoundary)
{
  meshgl tri = make_mesh({0, 0, 0, 1, 0, 0, 0, 1, 0}, {0, 1, 2});
  shadow_mesh s(&tri);
  outline above = silhouette_of(s, point(0.2, 0.2, 3));
  EXPECT_EQ(above.facing.numel, 1);
  std::set<std::pair<int, int>> got(above.edges.begin(), above.edges.end());
  EXPECT_EQ(got, (std::set<std::pair<int, int>>{{0, 1}, {1, 2}, {2, 0}}));
  // From behind, or exactly in its plane, the triangle does not face the light.
  EXPECT_TRUE(silhouette_of(s, point(0.2, 0.2, -3)).edges.empty());
  outline in_plane = silhouette_of(s, point(3, 2, 0));
  EXPECT_EQ(in_plane.facing.numel, 0);
  EXPECT_TRUE(in_plane.edges.empty());
}

TEST(ShadowMesh, SphereSilhouettesAreClosedLoops)
{
  meshgl sphere(VY_GET_DIR "/mesh/sphere_896_tnv");
  ASSERT_EQ(sphere.ind[MESH_TRIA].size[1], 896);
  shadow_mesh s(&sphere);
  EXPECT_EQ(s.slivers.size[1], 0);  // thin pole triangles are no slivers
  const double lights[][3] = {{0, 0, 5}, {3, -2, 1.5}, {0.3, 0.1, 1.2}, {-40, 10, 7}, {0, 0, -1.01}};
  for (auto& l : lights) {
    outline o = silhouette_of(s, point(l[0], l[1], l[2]));
    expect_sound(s, o);
    EXPECT_GE(o.edges.size(), 3u);
    std::map<int, int> from;  // a convex solid: one simple loop, each vertex left once
    for (auto& e : o.edges) from[e.first]++;
    for (auto& [v, n] : from) EXPECT_EQ(n, 1);
  }
  // From inside the closed surface nothing faces the light.
  EXPECT_TRUE(silhouette_of(s, point(0.1, 0, 0)).edges.empty());
}

// A tetrahedron whose edge 0-1 carries a midpoint vertex 4: the face (0, 2, 1) is
// split into (2, 1, 4) and (2, 4, 0), and the zero-area triangle (0, 4, 1) closes
// the seam against (0, 1, 3).
TEST(ShadowMesh, ZeroAreaTrianglesLeaveNoOverlappingSilhouetteEdges)
{
  meshgl m =
      make_mesh({0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0, 2, 1, 0, 0}, {2, 1, 4, 2, 4, 0, 0, 1, 3, 0, 3, 2, 1, 2, 3, 0, 4, 1});
  ASSERT_TRUE(closed_surface(m));
  shadow_mesh s(&m);
  ASSERT_EQ(s.slivers.size[1], 1);
  EXPECT_EQ(s.slivers.data[0], 5);
  // Lit from the side where every face along the split edge faces the light: the
  // sliver must join them, leaving no silhouette along the edge 0-1.
  for (auto& l : {point(1, -2, -2), point(1.2, -3, -1), point(0.5, -1, -4)}) {
    outline o = silhouette_of(s, l);
    std::map<int, int> from;
    for (auto& e : o.edges) from[e.first]++;
    for (auto& [v, n] : from) EXPECT_EQ(n, 1) << "vertex " << v << " leaves twice";
    for (auto& e : o.edges) EXPECT_FALSE((e.first == 4 || e.second == 4)) << e.first << "->" << e.second;
  }
  // Lit from one side only, the edge is a true silhouette and stays.
  outline side = silhouette_of(s, point(1, 3, -3));
  std::map<int, int> from;
  for (auto& e : side.edges) from[e.first]++;
  for (auto& [v, n] : from) EXPECT_EQ(n, 1);
  // Triangles with a repeated corner are zero-area too and never disturb the loop.
  meshgl rep = tetrahedron();
  rep.ind[MESH_TRIA] = rep.ind[MESH_TRIA].concat(tensor<int>(2, 3, 1));
  rep.ind[MESH_TRIA].data[12] = 1, rep.ind[MESH_TRIA].data[13] = 1, rep.ind[MESH_TRIA].data[14] = 2;
  shadow_mesh r(&rep);
  outline o = silhouette_of(r, point(-1, -1, -1));
  EXPECT_EQ(o.edges.size(), 3u);
}

TEST(ShadowMeshDeath, RequiresASourceAndSixteenBitVertexNumbers)
{
  EXPECT_DEATH(shadow_mesh(nullptr), "_util/shadow:[0-9]+: .*Assertion `msh' failed");
  auto big = [](int n) {
    meshgl m = make_mesh({0, 0, 0, 1, 0, 0, 0, 1, 0}, {0, 1, 2});
    m.arr = tensor<float>(2, 3, n);
    m.arr.data[3] = m.arr.data[7] = 1;
    return shadow_mesh(&m);  // building is fine; packing the edges is not
  };
  tensor<int> facing;
  EXPECT_DEATH(big(0xffff).silhouette(point(0.2, 0.2, 1), facing),
               "_util/shadow:[0-9]+: .*Assertion `arr.size\\[1\\]<0xffff' failed");
  EXPECT_EQ(big(0xfffe).silhouette(point(0.2, 0.2, 1), facing).numel, 3);
}
