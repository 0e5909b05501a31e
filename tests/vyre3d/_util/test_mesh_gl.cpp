// tests/vyre3d/_util/test_mesh_gl: the renderable mesh: layouts chosen at load, offset
// queries, grid, normals, transforms, volume/centroid/inertia, vertex access,
// describe, and the index check in front of drawing. Builds on _util/meshgl.
#include <gtest/gtest.h>
#include <cmath>
#include "_util/meshgl.h"
#include "test_util.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// A mesh of n vertices in the layout of `format`, positions set from p (x, y, z per vertex).
static meshgl with_positions(int format, const std::vector<float>& p)
{
  meshgl m;
  m.format = format;
  const meshgl_layout* l = meshgl_find_format(format);
  const int n = (int)p.size() / 3;
  m.arr = tensor<float>(2, l->stride, n);
  for (int v = 0; v < n; v++)
    for (int r = 0; r < 3; r++) m.arr.data[v * l->stride + l->vtx + r] = p[3 * v + r];
  return m;
}

// The unit cube spanning 0..1, six quads wound counter-clockwise seen from outside.
static meshgl unit_cube()
{
  meshgl m = with_positions(GL_N3F_V3F, {0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0, 0, 0, 1, 1, 0, 1, 1, 1, 1, 0, 1, 1});
  m.ind[MESH_QUAD] = tensor<int>(2, 4, 6);
  m.ind[MESH_QUAD].values(0, 3, 2, 1, 4, 5, 6, 7, 0, 1, 5, 4, 1, 2, 6, 5, 2, 3, 7, 6, 3, 0, 4, 7);
  return m;
}

static void expect_near4(const tensor<double>& t, double x, double y, double z, double w, double eps = 1e-6)
{
  ASSERT_EQ(t.numel, 4);
  EXPECT_NEAR(t.data[0], x, eps);
  EXPECT_NEAR(t.data[1], y, eps);
  EXPECT_NEAR(t.data[2], z, eps);
  EXPECT_NEAR(t.data[3], w, eps);
}

TEST(MeshGL, LoadingPicksTheLayoutFromTheStride)
{
  struct Case {
    int stride, format, tex, col, nrm, vtx;
  };
  const Case cases[] = {{3, 10785, -1, -1, -1, 0}, {5, 10791, 0, -1, -1, 2}, {6, 10789, -1, -1, 0, 3},
                        {8, 10795, 0, -1, 2, 5},   {10, 10790, -1, 0, 4, 7}, {12, 10796, 0, 2, 6, 9},
                        {15, 10797, 0, 4, 8, 11}};
  for (const Case& c : cases) {
    const std::string base = scratch("layout");
    CaptureStdout();
    tensor<float>(2, c.stride, 2).write((base + ".arr").c_str());
    const meshgl m(base.c_str());
    GetCapturedStdout();
    EXPECT_EQ(m.format, c.format) << "stride " << c.stride;
    EXPECT_EQ(m.vtx_offset(), c.vtx);
    if (c.tex >= 0) {
      EXPECT_EQ(m.tex_offset(), c.tex);
    }
    if (c.col >= 0) {
      EXPECT_EQ(m.col_offset(), c.col);
    }
    if (c.nrm >= 0) {
      EXPECT_EQ(m.nrm_offset(), c.nrm);
    }
  }
  // Layouts the offset queries know but loading never picks.
  meshgl m;
  m.format = GL_C3F_V3F;
  EXPECT_EQ(m.col_offset(), 0);
  EXPECT_EQ(m.vtx_offset(), 3);
  m.format = GL_T2F_C4UB_V3F;
  EXPECT_EQ(m.tex_offset(), 0);
  EXPECT_EQ(m.vtx_offset(), 3);
  m.format = GL_T2F_C3F_V3F;
  EXPECT_EQ(m.col_offset(), 2);
  EXPECT_EQ(m.vtx_offset(), 5);
}

TEST(MeshGL, AStrideNoLayoutHasLoadsAnEmptyMeshWithAMessage)
{
  const std::string base = scratch("stride7");
  CaptureStdout();
  tensor<float>(2, 7, 3).write((base + ".arr").c_str());
  const meshgl m(base.c_str());
  const std::string report = GetCapturedStdout();
  EXPECT_NE(report.find("error mesh " + base + ": no vertex layout has 7 floats"), std::string::npos) << report;
  EXPECT_EQ(mesh::ok, 0);
  EXPECT_EQ(m.format, 0);
  EXPECT_EQ(m.arr.numel, 0);

  CaptureStdout();
  const meshgl missing(scratch("absent").c_str());
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(missing.format, 0);
  // Vertex loops have nothing to do on it, so they do not need its layout.
  meshgl moved = missing.transform(tensor<double>::eye(4));
  moved.normals();
  EXPECT_EQ(moved.arr.numel, 0);
}

TEST(MeshGLDeath, OffsetQueriesFailForPartsTheLayoutLacks)
{
  const meshgl v3f = with_positions(GL_V3F, {0, 0, 0});
  EXPECT_DEATH(v3f.nrm_offset(), "_util/meshgl:[0-9]+: .*Assertion `false' failed");
  EXPECT_DEATH(v3f.describe(), "Assertion `false' failed");
  EXPECT_DEATH(meshgl().vtx_offset(), "Assertion `false' failed");
}

TEST(MeshGL, GridOfTwoByTwoIsOneQuadFacingUp)
{
  const meshgl g = grid(tensor<float>(2, 2, 2));
  EXPECT_EQ(g.format, GL_T2F_N3F_V3F);
  ASSERT_EQ(g.vertex_count(), 4);
  ASSERT_EQ(g.ind[MESH_QUAD].numel, 4);
  EXPECT_EQ(g.ind[MESH_QUAD].data[0], 3);
  EXPECT_EQ(g.ind[MESH_QUAD].data[1], 2);
  EXPECT_EQ(g.ind[MESH_QUAD].data[2], 0);
  EXPECT_EQ(g.ind[MESH_QUAD].data[3], 1);
  EXPECT_EQ(g.ind[MESH_TRIA].numel, 0);
  for (int v = 0; v < 4; v++) {
    expect_near4(g.normal(v), 0, 0, 1, 0);
    expect_near4(g.vertex(v), v % 2, v / 2, 0, 1);
    EXPECT_EQ(g.arr.data[8 * v + 0], (float)(v % 2));  // texture runs 0..1
    EXPECT_EQ(g.arr.data[8 * v + 1], (float)(v / 2));
  }
}

TEST(MeshGL, NormalsOfASlopeAndOfAnUnusedVertex)
{
  tensor<float> h(2, 4, 3);
  for (int j = 0; j < 3; j++)
    for (int i = 0; i < 4; i++) h.data[i + 4 * j] = 0.5f * i;  // z = x / 2
  meshgl g = grid(h);
  EXPECT_EQ(g.ind[MESH_QUAD].size[1], 6);
  const double len = std::sqrt(1.25);
  for (int v = 0; v < g.vertex_count(); v++) expect_near4(g.normal(v), -0.5 / len, 0, 1 / len, 0);

  meshgl t = with_positions(GL_N3F_V3F, {0, 0, 0, 2, 0, 0, 0, 2, 0, 5, 5, 5});
  t.ind[MESH_TRIA] = tensor<int>(2, 3, 1);
  t.ind[MESH_TRIA].values(0, 1, 2);
  t.normals();
  expect_near4(t.normal(0), 0, 0, 1, 0);
  expect_near4(t.normal(3), 0, 0, 0, 0);

  // A layout without normals (a sphere file of positions only) has none to compute.
  meshgl p = with_positions(GL_V3F, {0, 0, 0, 2, 0, 0, 0, 2, 0});
  p.ind[MESH_TRIA] = t.ind[MESH_TRIA];
  p.normals();
  EXPECT_EQ(p.arr.data[3], 2.0f);
}

TEST(MeshGL, UnitCubeVolumeCentroidAndInertia)
{
  const meshgl cube = unit_cube();
  double vol = 0;
  expect_near4(cube.volume(vol), 0.5, 0.5, 0.5, 1);
  EXPECT_NEAR(vol, 1.0, 1e-12);

  const tensor<double> I = cube.inertia();
  ASSERT_EQ(I.numel, 16);
  for (int r = 0; r < 3; r++)
    for (int c = 0; c < 3; c++) EXPECT_NEAR(I.data[r + 4 * c], r == c ? 2.0 / 3.0 : -0.25, 1e-12) << r << "," << c;
  for (int k = 0; k < 3; k++) EXPECT_EQ(I.data[3 + 4 * k], 0.0);
  EXPECT_NEAR(I.data[15], 1.0, 1e-12);

  // Turned inside out the volume changes sign; a flat mesh has none.
  meshgl inverted = cube;
  for (int e = 0; e < 24; e += 4) std::swap(inverted.ind[MESH_QUAD].data[e + 1], inverted.ind[MESH_QUAD].data[e + 3]);
  inverted.volume(vol);
  EXPECT_NEAR(vol, -1.0, 1e-12);
  expect_near4(grid(tensor<float>(2, 3, 3)).volume(vol), 0, 0, 0, 1);
  EXPECT_EQ(vol, 0.0);
}

TEST(MeshGL, TransformMovesPositionsAndTurnsNormals)
{
  meshgl cube = unit_cube();
  cube.normals();
  tensor<double> m = tensor<double>::eye(4);
  m.data[12] = 1, m.data[13] = 2, m.data[14] = 3;  // translation
  const meshgl moved = cube.transform(m);
  for (int v = 0; v < 8; v++) {
    const tensor<double> p = cube.vertex(v), q = moved.vertex(v), n = cube.normal(v), k = moved.normal(v);
    expect_near4(q, p.data[0] + 1, p.data[1] + 2, p.data[2] + 3, 1);
    expect_near4(k, n.data[0], n.data[1], n.data[2], 0);
  }
  double vol = 0;
  expect_near4(moved.volume(vol), 1.5, 2.5, 3.5, 1);

  // A quarter turn about z, then a uniform scale: normals turn but keep their length.
  tensor<double> turn(2, 4, 4);
  turn.values(0., 1., 0., 0., -1., 0., 0., 0., 0., 0., 1., 0., 0., 0., 0., 1.);
  meshgl turned = cube.transform(turn);
  expect_near4(turned.vertex(1), 0, 1, 0, 1);
  expect_near4(turned.normal(1), -cube.normal(1).data[1], cube.normal(1).data[0], cube.normal(1).data[2], 0);
  turned.scale(2.f);
  expect_near4(turned.vertex(1), 0, 2, 0, 1);
  turned.volume(vol);
  EXPECT_NEAR(vol, 8.0, 1e-9);
}

TEST(MeshGL, BoundingBoxVerticesAndColours)
{
  const meshgl m = with_positions(GL_T2F_C4F_N3F_V3F, {1, -2, 3, -4, 5, -6});
  const tensor<double> box = m.bbox();
  ASSERT_EQ(box.numel, 8);
  expect_near4(box.slice(0), -4, -2, -6, 1);
  expect_near4(box.slice(1), 1, 5, 3, 1);
  expect_near4(meshgl().bbox().slice(0), 0, 0, 0, 1);
  const tensor<double> all = m.vertices();
  ASSERT_EQ(all.size[1], 2);
  expect_near4(all.slice(1), -4, 5, -6, 1);
  expect_near4(m.vertex_direction(1), -4, 5, -6, 0);

  meshgl painted = m;
  tensor<double> c(1, 4);
  c.values(0.25, 0.5, 0.75, 0.125);
  painted.set_color(c);
  EXPECT_EQ(painted.arr.data[2 + 2], 0.75f);
  EXPECT_EQ(painted.arr.data[2 + 3], 0.0f);  // set_color leaves alpha
  painted.set_color4(c);
  EXPECT_EQ(painted.arr.data[12 + 2 + 3], 0.125f);
  EXPECT_EQ(painted.arr.data[12 + 9], -4.f);  // positions untouched
}

TEST(MeshGL, DescribeAddsThePositionAndNormalOffsets)
{
  const std::string text = grid(tensor<float>(2, 2, 2)).describe();
  EXPECT_EQ(text.rfind("mesh<4>(\n QUAD tensor<4>([4x1],4,", 0), 0u) << text;
  EXPECT_NE(text.find(" tensor<4>([8x4],32,"), std::string::npos) << text;
  const std::string tail = "\n) V3F:5 N3F:2";
  ASSERT_GT(text.size(), tail.size());
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail) << text;
}

TEST(MeshGLDeath, DrawingRefusesIndicesOutsideTheVertexArray)
{
  meshgl m = unit_cube();
  m.ind[MESH_TRIA] = tensor<int>(2, 3, 1);
  m.ind[MESH_TRIA].values(0, 1, 8);
  EXPECT_FALSE(m.indices_fit());
  EXPECT_DEATH(m.draw(), "_util/meshgl:[0-9]+: .*Assertion `indices_fit\\(\\)' failed");
  m.ind[MESH_TRIA].values(0, -1, 2);
  EXPECT_FALSE(m.indices_fit());
  m.ind[MESH_TRIA].values(0, 1, 7);
  EXPECT_TRUE(m.indices_fit());
}
