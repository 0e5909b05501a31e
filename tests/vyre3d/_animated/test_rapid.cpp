// Tests of _util/rapid: the triangle numbering and per-triangle tables, the contact
// point, normal and weight of a query, degenerate and refused triangles, and the
// contract on identical models.
#include "_util/rapid.h"

#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <vector>

#include "_util/_opengl/transform.h"

namespace {

// A position-only mesh from corner lists: tris holds 3 vertex numbers per triangle,
// quads 4 per quad.
meshgl make_mesh(std::initializer_list<std::initializer_list<double>> points, std::vector<int> tris,
                 std::vector<int> quads = {})
{
  meshgl m;
  m.format = GL_V3F;
  m.arr = tensor<float>(2, 3, (int)points.size());
  int v = 0;
  for (auto p : points) {
    int k = 0;
    for (double x : p) m.arr.data[3 * v + k++] = (float)x;
    ++v;
  }
  m.ind[MESH_TRIA] = tensor<int>(2, 3, (int)tris.size() / 3);
  m.ind[MESH_TRIA].set(0, tris.data(), (int)tris.size());
  m.ind[MESH_QUAD] = tensor<int>(2, 4, (int)quads.size() / 4);
  m.ind[MESH_QUAD].set(0, quads.data(), (int)quads.size());
  return m;
}

// The unit right triangle in z = 0, counter-clockwise seen from +z.
meshgl big_up() { return make_mesh({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {0, 1, 2}); }
// A smaller triangle inside it, wound the other way (normal -z); area 0.045.
meshgl small_down() { return make_mesh({{0.1, 0.1, 0}, {0.1, 0.4, 0}, {0.4, 0.1, 0}}, {0, 1, 2}); }

tensor<double> vec4(double x, double y, double z, double w)
{
  tensor<double> v(1, 4);
  v.values(x, y, z, w);
  return v;
}

void expect_vec(const tensor<double>& got, const tensor<double>& want, double tol = 1e-12)
{
  ASSERT_EQ(got.numel, want.numel);
  for (int k = 0; k < want.numel; ++k) EXPECT_NEAR(got.data[k], want.data[k], tol) << "element " << k;
}

TEST(Rapid, QuadsAreSplitAfterTheTrianglesAndGetAreasCentroidsNormals)
{
  // One triangle and one unit quad (q0..q3 counter-clockwise in z = 1).
  meshgl m =
      make_mesh({{0, 0, 0}, {2, 0, 0}, {0, 2, 0}, {0, 0, 1}, {1, 0, 1}, {1, 1, 1}, {0, 1, 1}}, {0, 1, 2}, {3, 4, 5, 6});
  rapid r(m);
  ASSERT_EQ(r.area.numel, 3);
  EXPECT_EQ(r.model->state, COLL_STATE_BUILT);
  expect_vec(r.pose, tensor<double>::eye(4));
  EXPECT_DOUBLE_EQ(r.area.data[0], 2.0);
  EXPECT_DOUBLE_EQ(r.area.data[1], 0.5);
  EXPECT_DOUBLE_EQ(r.area.data[2], 0.5);
  // Triangle 1 is (q3, q0, q1), triangle 2 is (q1, q2, q3).
  expect_vec(r.V4D.slice(1), vec4(1.0 / 3, 1.0 / 3, 1, 1));
  expect_vec(r.V4D.slice(2), vec4(2.0 / 3, 2.0 / 3, 1, 1));
  for (int t = 0; t < 3; ++t) expect_vec(r.N4D.slice(t), vec4(0, 0, 1, 0));
}

TEST(Rapid, OppositeWindingCoplanarPairGivesTheSmallTrianglesNormalAndCentroid)
{
  meshgl a = big_up(), b = small_down();
  rapid r0(a), r1(b);
  // The same rigid placement for both: the contact must follow it into the world.
  tensor<double> axis = vec4(0.3, -0.5, 0.8, 0);
  tensor<double> place = translation(1, 2, 3) * rotation(axis);
  r0.pose = place;
  r1.pose = place;
  rapid_report rep;
  ASSERT_EQ(rapid_contact(r0, r1, rep), 1);
  EXPECT_EQ(rep.count, 1u);
  EXPECT_NEAR(rep.weight, 0.045, 1e-7);  // the smaller area (float corners)
  expect_vec(rep.normal, place * vec4(0, 0, -1, 0), 1e-12);
  expect_vec(rep.point, place * vec4(0.2, 0.2, 0, 1), 1e-7);
  EXPECT_EQ(rapid_first(r0, r1), 1);

  // Swapping the roles turns the normal round: it points towards the first mesh.
  ASSERT_EQ(rapid_contact(r1, r0, rep), 1);
  expect_vec(rep.normal, place * vec4(0, 0, 1, 0), 1e-12);
  expect_vec(rep.point, place * vec4(0.2, 0.2, 0, 1), 1e-7);
}

TEST(Rapid, DisjointMeshesLeaveTheReportAlone)
{
  meshgl a = big_up(), b = small_down();
  rapid r0(a), r1(b);
  r1.pose = translation(0, 0, 0.5);
  rapid_report rep;
  EXPECT_EQ(rapid_contact(r0, r1, rep), 0);
  EXPECT_EQ(rep.count, 0u);
  EXPECT_EQ(rep.point.data, nullptr);
  EXPECT_EQ(rep.normal.data, nullptr);
  EXPECT_EQ(rapid_first(r0, r1), 0);
}

TEST(Rapid, PairsFacingTheSameWayWeighNothing)
{
  // Both counter-clockwise from +z: contact, but no facing pair, so no normal.
  meshgl a = big_up();
  meshgl b = make_mesh({{0.1, 0.1, 0}, {0.4, 0.1, 0}, {0.1, 0.4, 0}}, {0, 1, 2});
  rapid r0(a), r1(b);
  rapid_report rep;
  EXPECT_EQ(rapid_contact(r0, r1, rep), 0);
  EXPECT_EQ(rep.count, 1u);
  EXPECT_EQ(rep.weight, 0.0);
  expect_vec(rep.normal, vec4(0, 0, 0, 0));
  EXPECT_EQ(tensor<double>::ok, 0);

  // Perpendicular pair (a triangle standing on the big one): weight 0 as well.
  meshgl c = make_mesh({{0.2, 0.2, -0.5}, {0.3, 0.2, -0.5}, {0.2, 0.2, 0.5}}, {0, 1, 2});
  rapid r2(c);
  EXPECT_EQ(rapid_contact(r0, r2, rep), 0);
  EXPECT_EQ(rep.count, 1u);
  EXPECT_EQ(rep.weight, 0.0);
}

TEST(Rapid, DegenerateTrianglesKeepFiniteTablesAndDoNotDisturbTheOthers)
{
  // Triangle 0 has three coincident corners, triangle 1 two; triangle 2 is the
  // small downward one. Both degenerate ones lie on the big triangle's plane.
  meshgl b = make_mesh({{0.3, 0.3, 0}, {0.1, 0.1, 0}, {0.1, 0.4, 0}, {0.4, 0.1, 0}, {0.25, 0.25, 0}},
                       {0, 0, 0, 4, 4, 1, 1, 2, 3});
  rapid r1(b);
  ASSERT_EQ(r1.model->state, COLL_STATE_BUILT);
  for (int i = 0; i < r1.V4D.numel; ++i) ASSERT_TRUE(std::isfinite(r1.V4D.data[i]));
  for (int i = 0; i < r1.N4D.numel; ++i) ASSERT_TRUE(std::isfinite(r1.N4D.data[i]));
  EXPECT_EQ(r1.area.data[0], 0.0);
  expect_vec(r1.N4D.slice(0), vec4(0, 0, 0, 0));  // no direction to give it

  meshgl a = big_up();
  rapid r0(a);
  rapid_report rep;
  ASSERT_EQ(rapid_contact(r0, r1, rep), 1);
  EXPECT_EQ(rep.count, 3u);  // every triangle touches the plane
  EXPECT_NEAR(rep.weight, 0.045, 1e-7);
  expect_vec(rep.normal, vec4(0, 0, -1, 0));
  EXPECT_EQ(rapid_first(r0, r1), 1);

  // Lifted off the plane, the degenerate ones must not be reported either.
  r1.pose = translation(0, 0, 1e-3);
  EXPECT_EQ(rapid_contact(r0, r1, rep), 0);
  EXPECT_EQ(rep.count, 0u);

  // A mesh of nothing but degenerate triangles: contacts, yet no usable normal.
  meshgl d = make_mesh({{0.3, 0.3, 0}, {0.2, 0.2, 0}}, {0, 0, 0, 0, 1, 1});
  rapid r2(d);
  EXPECT_EQ(rapid_contact(r0, r2, rep), 0);
  EXPECT_EQ(rep.count, 2u);
  EXPECT_EQ(rep.weight, 0.0);
}

TEST(Rapid, MeshesWithoutUsableTrianglesNeverReportAnEarlierQuerysContacts)
{
  meshgl a = big_up(), b = small_down();
  rapid r0(a), r1(b);
  rapid_report rep;
  ASSERT_EQ(rapid_contact(r0, r1, rep), 1);  // leaves one pair in the shared list

  meshgl empty;
  rapid r2(empty);
  EXPECT_EQ(r2.area.numel, 0);
  EXPECT_EQ(rapid_contact(r0, r2, rep), 0);
  EXPECT_EQ(rep.count, 0u);
  EXPECT_EQ(rapid_first(r2, r0), 0);

  // A corner that is not a number: the model refuses the triangle, so a mesh made
  // only of such triangles has no contacts, and one beside a good triangle keeps it.
  const double nan = std::nan("");
  meshgl bad = make_mesh({{nan, 0.2, 0}, {0.1, 0.4, 0}, {0.4, 0.1, 0}}, {0, 1, 2});
  rapid r3(bad);
  ASSERT_EQ(rapid_contact(r0, r1, rep), 1);
  EXPECT_EQ(rapid_contact(r0, r3, rep), 0);
  EXPECT_EQ(rep.count, 0u);
  meshgl mixed = make_mesh({{nan, 0.2, 0}, {0.1, 0.1, 0}, {0.1, 0.4, 0}, {0.4, 0.1, 0}}, {0, 2, 3, 1, 2, 3});
  rapid r4(mixed);
  ASSERT_EQ(rapid_contact(r0, r4, rep), 1);
  EXPECT_EQ(rep.count, 1u);
  EXPECT_EQ(contacts[0].id2, 1);
  expect_vec(rep.normal, vec4(0, 0, -1, 0));
}

TEST(Rapid, CountIsTheModelsPairCountAndFirstContactStopsAtOne)
{
  // Two quad-built cubes, one turned into the other: the report's count is the
  // number of pairs the model finds, and rapid_first agrees on touching at all.
  meshgl cube = make_mesh({{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {0, 0, 1}, {1, 0, 1}, {1, 1, 1}, {0, 1, 1}}, {},
                          {0, 3, 2, 1, 4, 5, 6, 7, 0, 1, 5, 4, 1, 2, 6, 5, 2, 3, 7, 6, 3, 0, 4, 7});
  meshgl other = make_mesh({{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {0, 0, 1}, {1, 0, 1}, {1, 1, 1}, {0, 1, 1}}, {},
                           {0, 3, 2, 1, 4, 5, 6, 7, 0, 1, 5, 4, 1, 2, 6, 5, 2, 3, 7, 6, 3, 0, 4, 7});
  rapid r0(cube), r1(other);
  ASSERT_EQ(r0.area.numel, 12);
  r1.pose = translation(0.5, 0.5, 0.5) * rotation(vec4(0.4, 0.2, 0.1, 0));
  rapid_report rep;
  ASSERT_EQ(rapid_contact(r0, r1, rep), 1);
  EXPECT_EQ(rep.count, (unsigned)num_contacts);
  EXPECT_GT(rep.count, 2u);
  EXPECT_GT(rep.weight, 0.0);
  EXPECT_NEAR(rep.normal.norm(), 1.0, 1e-12);
  EXPECT_EQ(rep.point.data[3], 1.0);
  EXPECT_EQ(rapid_first(r0, r1), 1);
  EXPECT_EQ(num_contacts, 1);
}

using RapidDeath = ::testing::Test;

TEST(RapidDeath, AMeshIsNeverTestedAgainstItself)
{
  meshgl a = big_up();
  rapid r0(a);
  rapid_report rep;
  EXPECT_DEATH(rapid_contact(r0, r0, rep), "_util/rapid:[0-9]+: .*Assertion `rap0\\.model!=rap1\\.model' failed");
  EXPECT_DEATH(rapid_first(r0, r0), "_util/rapid:[0-9]+: .*Assertion `rap0\\.model!=rap1\\.model' failed");
}

}  // namespace
