// tests/vyre3d/_util/test_meshgl_edit: removing, compacting, merging, snapping, mirroring
// and cutting meshes (_util/meshgl_edit.h), on small meshes built in code and on
// the sphere asset.
#include <gtest/gtest.h>
#include <cmath>
#include "_util/meshgl_edit.h"
#include "shapes.h"

namespace {

std::vector<int> list(const tensor<int>& t) { return std::vector<int>(t.data, t.data + t.numel); }

const float* pos(const meshgl& m, int v) { return m.arr.data + v * m.arr.size[0] + m.vtx_offset(); }

std::vector<std::pair<int, int>> segments(const meshgl& m)
{
  std::vector<std::pair<int, int>> s;
  for (int c = 0; c + 1 < m.ind[MESH_EDGE].numel; c += 2)
    s.push_back({m.ind[MESH_EDGE].data[c], m.ind[MESH_EDGE].data[c + 1]});
  return s;
}

// One triangle with the given heights, corners on the x axis at 0, 1, 2 and y 0, 0, 1.
meshgl triangle(float z0, float z1, float z2) { return make_mesh({0, 0, z0, 1, 0, z1, 2, 1, z2}, {0, 1, 2}); }

}  // namespace

TEST(MeshEdit, RemoveVertexDropsEveryElementAtItAndKeepsTheRestInOrder)
{
  meshgl m =
      make_mesh({0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0, 2, 2, 2}, {0, 1, 2, 1, 2, 3, 0, 2, 3}, {0, 1, 2, 3, 1, 2, 3, 4});
  m.ind[MESH_EDGE] = tensor<int>(2, 2, 2);
  m.ind[MESH_EDGE].values(0, 4, 2, 3);
  const float* before = m.arr.data;
  remove_vertex(m, 1);
  EXPECT_EQ(list(m.ind[MESH_TRIA]), (std::vector<int>{0, 2, 3}));
  EXPECT_EQ(m.ind[MESH_TRIA].size[1], 1);
  EXPECT_EQ(m.ind[MESH_QUAD].size[0], 4);
  EXPECT_EQ(m.ind[MESH_QUAD].numel, 0);
  EXPECT_EQ(list(m.ind[MESH_EDGE]), (std::vector<int>{0, 4, 2, 3}));
  EXPECT_EQ(m.arr.data, before);
  EXPECT_EQ(m.arr.size[1], 5);
}

TEST(MeshEdit, CompactKeepsUsedVerticesInOrderAndRenumbers)
{
  meshgl m = make_mesh({0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4}, {4, 1, 3});
  m.ind[MESH_VERT] = tensor<int>(2, 1, 1);
  m.ind[MESH_VERT].data[0] = 3;
  m.color.data[0] = 0.5;
  EXPECT_EQ(list(used_vertices(m)), (std::vector<int>{1, 3, 4}));
  meshgl c = compact(m);
  ASSERT_EQ(c.arr.size[1], 3);
  EXPECT_EQ(list(c.ind[MESH_TRIA]), (std::vector<int>{2, 0, 1}));
  EXPECT_EQ(list(c.ind[MESH_VERT]), (std::vector<int>{1}));
  for (int v = 0; v < 3; v++) EXPECT_EQ(pos(c, v)[0], (float)(v == 0 ? 1 : v + 2));
  EXPECT_EQ(c.color.data[0], 0.5);  // material travels with the copy
  EXPECT_EQ(c.format, m.format);
}

TEST(MeshEdit, MergeSendsCloseVerticesToTheFirstAndReportsProgress)
{
  meshgl m = make_mesh({0, 0, 0, 0.05f, 0, 0, 1, 0, 0, 1, 0.05f, 0}, {0, 1, 2, 1, 3, 2});
  testing::internal::CaptureStdout();
  meshgl none = merge(m, 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "...\n");
  EXPECT_EQ(list(none.ind[MESH_TRIA]), list(m.ind[MESH_TRIA]));

  testing::internal::CaptureStdout();
  meshgl merged = merge(m, 0.1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), ".x.\n");
  EXPECT_EQ(list(merged.ind[MESH_TRIA]), (std::vector<int>{0, 0, 2, 0, 2, 2}));
  EXPECT_EQ(merged.arr.size[1], 4);  // the vertex array keeps every vertex
}

TEST(MeshEdit, SnapReplacesNearbyVerticesByTheLastListedMatch)
{
  meshgl m = make_mesh({0, 0, 0, 0.1f, 0, 0, 0.2f, 0, 0, 5, 0, 0}, {0, 1, 2, 1, 2, 3});
  tensor<int> targets(1, 2);
  targets.values(0, 2);
  meshgl s = snap(m, targets, 0.15);
  // Vertex 1 is near both 0 and 2: the later one in the list wins.
  EXPECT_EQ(list(s.ind[MESH_TRIA]), (std::vector<int>{0, 2, 2, 2, 2, 3}));
  EXPECT_EQ(s.arr.size[1], 4);
}

TEST(MeshEdit, MirrorWithoutSeamDoublesAndReversesWinding)
{
  meshgl m = make_mesh({0, 1, 0, 1, 1, 0, 0, 2, 0, 1, 2, 1}, {0, 1, 2}, {0, 1, 3, 2});
  meshgl d = mirror(m, tensor<int>(1, 0));
  ASSERT_EQ(d.arr.size[1], 8);
  EXPECT_EQ(list(d.ind[MESH_TRIA]), (std::vector<int>{0, 1, 2, 6, 5, 4}));
  EXPECT_EQ(list(d.ind[MESH_QUAD]), (std::vector<int>{0, 1, 3, 2, 4, 6, 7, 5}));
  EXPECT_EQ(pos(d, 7)[1], -2.0f);
  EXPECT_EQ(pos(d, 7)[2], 1.0f);
}

TEST(MeshEdit, MirrorOfAHalfSphereIsClosedWithMirroredNormals)
{
  const int slices = 16, stacks = 8;
  meshgl half = uv_sphere(slices, stacks, 1, true);  // y >= 0, rim on y = 0
  tensor<int> seam(1, slices);
  for (int j = 0; j < slices; j++) seam.data[j] = 1 + (stacks / 2 - 1) * slices + j;
  meshgl whole = mirror(half, seam);
  EXPECT_EQ(whole.arr.size[1], 2 * half.arr.size[1] - slices);
  EXPECT_EQ(whole.ind[MESH_TRIA].numel, 2 * half.ind[MESH_TRIA].numel);
  EXPECT_TRUE(closed_surface(whole));
  double vol;
  whole.volume(vol);
  EXPECT_GT(vol, 3.0);                           // outward winding on both halves (a unit sphere holds 4.19)
  for (int v = 0; v < whole.arr.size[1]; v++) {  // normals still point outwards
    const float* r = whole.arr.data + 8 * v;
    EXPECT_GE(r[2] * r[5] + r[3] * r[6] + r[4] * r[7], 0.99f) << v;
  }
}

TEST(MeshEdit, CutSplitsAStraddlingTriangleAtTheEdgeMidpoints)
{
  meshgl one = cut(triangle(-1, 1, 1));
  ASSERT_EQ(one.arr.size[1], 5);
  EXPECT_EQ(list(one.ind[MESH_TRIA]), (std::vector<int>{0, 3, 4}));
  EXPECT_EQ(list(one.ind[MESH_EDGE]), (std::vector<int>{3, 4}));
  EXPECT_EQ(one.format, GL_V3F);
  const float* c0 = pos(one, 3);
  const float* c1 = pos(one, 4);
  EXPECT_FLOAT_EQ(c0[0], 0.5f);
  EXPECT_FLOAT_EQ(c0[2], 0.0f);
  EXPECT_FLOAT_EQ(c1[0], 1.0f);
  EXPECT_FLOAT_EQ(c1[1], 0.5f);
  EXPECT_FLOAT_EQ(c1[2], 0.0f);

  meshgl two = cut(triangle(-1, 1, -1));
  EXPECT_EQ(list(two.ind[MESH_TRIA]), (std::vector<int>{0, 3, 4, 0, 4, 2}));
  EXPECT_EQ(two.ind[MESH_EDGE].size[1], 1);
  EXPECT_EQ(two.arr.size[1], 5);
}

TEST(MeshEdit, CutKeepsTrianglesTouchingThePlaneFromBelow)
{
  // A corner on the plane joins the rim itself: no new vertex, no sliver.
  meshgl touch = cut(triangle(-1, 0, -1));
  EXPECT_EQ(list(touch.ind[MESH_TRIA]), (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(touch.ind[MESH_EDGE].numel, 0);
  EXPECT_EQ(touch.arr.size[1], 3);
  // An edge on the plane is a rim segment.
  meshgl edge = cut(triangle(-1, 0, 0));
  EXPECT_EQ(list(edge.ind[MESH_TRIA]), (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(list(edge.ind[MESH_EDGE]), (std::vector<int>{1, 2}));
  // One corner below, one on, one above: one crossing.
  meshgl mixed = cut(triangle(-1, 0, 1));
  EXPECT_EQ(list(mixed.ind[MESH_TRIA]), (std::vector<int>{0, 1, 3}));
  EXPECT_EQ(mixed.arr.size[1], 4);
  // Lying in the plane: dropped.
  EXPECT_EQ(cut(triangle(0, 0, 0)).ind[MESH_TRIA].numel, 0);
}

TEST(MeshEdit, CutOfMeshesWhollyAboveOrBelowAndItsTimers)
{
  const timer& phase1 = *timer_start("meshgl::cut1");
  const timer& phase2 = *timer_start("meshgl::cut2");
  const int runs1 = phase1.count, runs2 = phase2.count;
  meshgl above = cut(make_mesh({0, 0, 1, 1, 0, 1, 0, 1, 1}, {0, 1, 2}));
  EXPECT_EQ(above.arr.numel, 0);
  EXPECT_EQ(above.format, 0);
  EXPECT_EQ(cut(meshgl()).ind[MESH_TRIA].numel, 0);
  EXPECT_EQ(phase1.count, runs1 + 2);  // the second phase never started
  EXPECT_EQ(phase2.count, runs2);

  meshgl below = cut(make_mesh({0, 0, -1, 1, 0, -1, 1, 1, -1, 0, 1, -1}, {0, 1, 2}, {0, 1, 2, 3}));
  EXPECT_EQ(list(below.ind[MESH_TRIA]), (std::vector<int>{0, 1, 2, 3, 0, 1, 1, 2, 3}));
  EXPECT_EQ(below.ind[MESH_EDGE].numel, 0);
  EXPECT_EQ(below.ind[MESH_QUAD].numel, 0);
  EXPECT_EQ(below.arr.size[1], 4);
  EXPECT_EQ(phase1.count, runs1 + 3);
  EXPECT_EQ(phase2.count, runs2 + 1);
}

TEST(MeshEdit, CutOfASphereHasAClosedRimOnThePlane)
{
  tensor<double> lift = tensor<double>::eye(4);
  lift.data[14] = 0.3;  // rim away from every ring of vertices
  for (meshgl sphere :
       {uv_sphere(32, 15).transform(lift), uv_sphere(24, 12), meshgl(VY_GET_DIR "/mesh/sphere_896_tnv")}) {
    ASSERT_GT(sphere.arr.numel, 0);
    meshgl bowl = cut(sphere);
    auto rim = segments(bowl);
    EXPECT_TRUE(closed_loops(rim));
    for (auto& [a, b] : rim) {
      EXPECT_NEAR(pos(bowl, a)[2], 0.0f, 1e-6);
      EXPECT_NEAR(pos(bowl, b)[2], 0.0f, 1e-6);
    }
    // Closed by the rim's segments (taken as a lid of edges): every open edge of the
    // bowl is a rim segment, each met once.
    auto e = directed_edges(bowl);
    int open = 0;
    for (auto& [k, n] : e)
      if (!e.count({k.second, k.first})) open++;
    EXPECT_EQ(open, (int)rim.size());
    meshgl shell = compact(bowl);
    for (int v = 0; v < shell.arr.size[1]; v++) EXPECT_LE(pos(shell, v)[2], 1e-6f);
  }
}

TEST(MeshEditDeath, CutRefusesMeshesWhoseVertexNumbersExceedSixteenBits)
{
  meshgl big = triangle(-1, 1, 1);
  big.arr = tensor<float>(2, 3, 0x10000);
  big.arr.data[2] = -1, big.arr.data[5] = 1, big.arr.data[8] = 1;
  EXPECT_DEATH(cut(big), "_util/meshgl_edit:[0-9]+: .*Assertion `arr.size\\[1\\]<0x10000' failed");
}

TEST(MeshEditDeath, ElementsOutsideTheVertexArrayAreRefused)
{
  meshgl m = triangle(-1, 1, 1);
  m.ind[MESH_TRIA].data[2] = 3;
  EXPECT_DEATH(compact(m), "_util/meshgl_edit:[0-9]+: .*Assertion `0<=e&&e<n");
  EXPECT_DEATH(cut(m), "_util/meshgl_edit");
}
