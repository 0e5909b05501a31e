// tests/vyre3d/_util/test_mesh: the element mesh: loading by base name, rejected element
// files, descriptions, the copy and assignment rule. Builds on _util/mesh.
#include <gtest/gtest.h>
#include <regex>
#include "_util/mesh.h"
#include "test_util.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// Writes tensor t to `name` without its report line.
template <class T>
static void quiet_write(const std::string& name, const tensor<T>& t)
{
  CaptureStdout();
  t.write(name.c_str());
  GetCapturedStdout();
}

// A tetrahedron: 4 vertices of stride 3 and its 4 triangles.
static void write_tetrahedron(const std::string& base)
{
  tensor<float> arr(2, 3, 4);
  arr.values(0.f, 0.f, 0.f, 1.f, 0.f, 0.f, 0.f, 1.f, 0.f, 0.f, 0.f, 1.f);
  tensor<int> tria(2, 3, 4);
  tria.values(0, 2, 1, 0, 1, 3, 0, 3, 2, 1, 2, 3);
  quiet_write(base + ".arr", arr);
  quiet_write(base + "_2.ind", tria);
}

static void expect_empty(const mesh& m)
{
  EXPECT_EQ(m.arr.ndims, 2);
  EXPECT_EQ(m.arr.size[0], 0);
  EXPECT_EQ(m.arr.size[1], 0);
  for (int k = 0; k < MESH_KINDS; k++) {
    ASSERT_EQ(m.ind[k].ndims, 2);
    EXPECT_EQ(m.ind[k].size[0], mesh_kind_size[k]);
    EXPECT_EQ(m.ind[k].size[1], 0);
  }
  EXPECT_EQ(m.format, 0);
  EXPECT_EQ(m.shininess, 20.0);
  for (int c = 0; c < 4; c++) EXPECT_EQ(m.color.data[c], 1.0);
}

TEST(Mesh, MissingFilesGiveAnEmptyMeshSilently)
{
  tensor_verbose = 0;
  CaptureStdout();
  const mesh m(scratch("nothing_here").c_str());
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(mesh::ok, 0);
  EXPECT_EQ(tensor_verbose, 1);
  expect_empty(m);
  expect_empty(mesh());
}

TEST(Mesh, LoadsTheVertexFileAndTheElementFilesThatExist)
{
  const std::string base = scratch("tetra");
  write_tetrahedron(base);
  CaptureStdout();
  const mesh m(base.c_str());
  const std::string report = GetCapturedStdout();
  EXPECT_EQ(mesh::ok, 1);
  EXPECT_NE(report.find(base + ".arr ->\t"), std::string::npos) << report;
  EXPECT_NE(report.find(base + "_2.ind ->\t"), std::string::npos) << report;
  EXPECT_EQ(report.find("_3.ind"), std::string::npos) << "missing lists are not reported";
  EXPECT_EQ(m.arr.size[1], 4);
  EXPECT_EQ(m.ind[MESH_TRIA].size[1], 4);
  EXPECT_EQ(m.ind[MESH_QUAD].size[0], 4);
  EXPECT_EQ(m.ind[MESH_QUAD].size[1], 0);
  EXPECT_TRUE(std::regex_match(std::string(m.describe()),
                               std::regex("mesh<4>\\(\n TRIA tensor<4>\\(\\[3x4\\],12,[0-9a-f]{8,16}\\)\n"
                                          " tensor<4>\\(\\[3x4\\],12,[0-9a-f]{8,16}\\)\n\\)")))
      << m.describe();
  EXPECT_TRUE(std::regex_match(std::string(mesh().describe()),
                               std::regex("mesh<4>\\(\n tensor<4>\\(\\[0x0\\],0,([0-9a-f]{8,16}|null)\\)\n\\)")))
      << mesh().describe();
}

// The element files are checked against the vertex count (not the float count,
// which would let indices run past the vertex array) and against their shape.
TEST(Mesh, ElementFilesThatDoNotFitTheVerticesAreRejected)
{
  struct Case {
    const char* what;
    tensor<int> list;
    int kind;
    const char* says;
  };
  tensor<int> beyond(2, 3, 1), at_count(2, 3, 1), negative(2, 3, 1), rows(2, 2, 2), flat(1, 3);
  beyond.values(0, 1, 7);  // below the 12 floats, but there are only 4 vertices
  at_count.values(0, 1, 4);
  negative.values(0, -1, 2);
  const Case cases[] = {{"index beyond the vertices", beyond, MESH_TRIA, "TRIA element 0 names vertex 7, outside 0..3"},
                        {"index at the vertex count", at_count, MESH_TRIA, "TRIA element 0 names vertex 4"},
                        {"negative index", negative, MESH_TRIA, "TRIA element 0 names vertex -1"},
                        {"wrong rows", rows, MESH_TRIA, "TRIA list is not 3 x elements"},
                        {"one-dimensional", flat, MESH_VERT, "VERT list is not 1 x elements"}};
  for (const Case& c : cases) {
    const std::string base = scratch("bad");
    write_tetrahedron(base);
    std::remove((base + "_2.ind").c_str());
    quiet_write(base + "_" + std::to_string(c.kind) + ".ind", c.list);
    CaptureStdout();
    const mesh m(base.c_str());
    const std::string report = GetCapturedStdout();
    EXPECT_EQ(mesh::ok, 0) << c.what;
    EXPECT_NE(report.find("error mesh " + base + ": " + c.says), std::string::npos) << c.what << ": " << report;
    expect_empty(m);
    EXPECT_EQ(tensor_verbose, 1);
    std::remove((base + "_" + std::to_string(c.kind) + ".ind").c_str());
  }
}

// A NaN or a huge coordinate would reach the noise and the shadow solves of the scene.
TEST(Mesh, VertexValuesThatAreNotFiniteNumbersBelow1e6AreRejected)
{
  for (float bad : {NAN, INFINITY, 1e6f}) {
    const std::string base = scratch("nan");
    write_tetrahedron(base);
    tensor<float> arr(2, 3, 4);
    arr.data[7] = bad;
    quiet_write(base + ".arr", arr);
    CaptureStdout();
    const mesh m(base.c_str());
    const std::string report = GetCapturedStdout();
    EXPECT_EQ(mesh::ok, 0) << bad;
    EXPECT_NE(report.find("error mesh " + base + ": a vertex value is not a finite number below 1e6 in magnitude"),
              std::string::npos)
        << report;
    expect_empty(m);
  }
}

TEST(Mesh, CopyTakesTheMaterialAssignmentKeepsTheTargets)
{
  mesh red;
  red.color.values(1.0, 0.0, 0.0, 1.0);
  red.specular.fill(0.5);
  red.shininess = 3.0;
  red.format = 42;
  red.texture = 7;
  red.arr = tensor<float>(2, 3, 2);
  red.arr.fill(2.f);

  mesh white;
  white = red;
  EXPECT_EQ(white.color.data[1], 1.0);
  EXPECT_EQ(white.specular.data[0], 1.0);
  EXPECT_EQ(white.shininess, 20.0);
  EXPECT_EQ(white.format, 42);
  EXPECT_EQ(white.texture, 7);
  EXPECT_EQ(white.arr.numel, 6);
  EXPECT_NE(white.arr.data, red.arr.data);

  const mesh copy(red);
  EXPECT_EQ(copy.color.data[1], 0.0);
  EXPECT_EQ(copy.specular.data[0], 0.5);
  EXPECT_EQ(copy.shininess, 3.0);
  EXPECT_EQ(copy.arr.data[5], 2.f);

  white = white;
  EXPECT_EQ(white.arr.numel, 6);
}
