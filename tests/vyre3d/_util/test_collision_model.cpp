// Tests of _util/collision_model: the triangle test against an independent edge
// piercing test, the tree against brute force over all triangle pairs, the
// special placements, the model states and the contracts.
#include "_util/collision_model.h"
#include "sphere_soup.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <set>
#include <utility>
#include <vector>

namespace {

using pair_set = std::set<std::pair<int, int>>;

const double I3[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
const double O3[3] = {0, 0, 0};

// A model over the triangles, identifiers 0..n-1.
void build(collision_model& m, const soup& s)
{
  ASSERT_EQ(m.begin_model(), COLL_OK);
  for (size_t k = 0; k < s.size(); ++k) ASSERT_EQ(m.add_triangle(s[k].a, s[k].b, s[k].c, (int)k), COLL_OK);
  ASSERT_EQ(m.end_model(), COLL_OK);
}

pair_set contact_set()
{
  pair_set out;
  for (int k = 0; k < num_contacts; ++k) out.insert({contacts[k].id1, contacts[k].id2});
  return out;
}

// Every pair tested, with model 1's triangle moved into model 2's coordinates by
// the same arithmetic as the query, so that only the pruning can differ.
pair_set brute_force(const soup& s1, const soup& s2, const double R1[3][3], const double T1[3], double s1s,
                     const double R2[3][3], const double T2[3], double s2s)
{
  double mR[3][3], mT[3], D[3];
  coll_mul_t(mR, R2, R1);
  coll_sub(D, T1, T2);
  coll_mul_t(mT, R2, D);
  for (double& v : mT) v /= s2s;
  double ms = s1s / s2s;
  pair_set out;
  for (size_t i = 0; i < s1.size(); ++i) {
    double p[3][3];
    const double* src[3] = {s1[i].a, s1[i].b, s1[i].c};
    for (int c = 0; c < 3; ++c) {
      coll_mul(p[c], mR, src[c]);
      for (int k = 0; k < 3; ++k) p[c][k] = ms * p[c][k] + mT[k];
    }
    for (size_t j = 0; j < s2.size(); ++j)
      if (collision_tri_contact(p[0], p[1], p[2], s2[j].a, s2[j].b, s2[j].c)) out.insert({(int)i, (int)j});
  }
  return out;
}

void random_rotation(std::mt19937& rng, double R[3][3])
{
  std::normal_distribution<double> g;
  double q[4], n = 0;
  for (double& v : q) {
    v = g(rng);
    n += v * v;
  }
  n = std::sqrt(n);
  double w = q[0] / n, x = q[1] / n, y = q[2] / n, z = q[3] / n;
  double M[3][3] = {{1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)},
                    {2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)},
                    {2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)}};
  std::memcpy(R, M, sizeof M);
}

// Random triangles of size about `size` scattered in a cube of side 2.
soup random_soup(std::mt19937& rng, int n, double size)
{
  std::uniform_real_distribution<double> centre(-1, 1), off(-size, size);
  soup s(n);
  for (tri& t : s) {
    double c[3] = {centre(rng), centre(rng), centre(rng)};
    for (double* p : {t.a, t.b, t.c})
      for (int k = 0; k < 3; ++k) p[k] = c[k] + off(rng);
  }
  return s;
}

// Flat square grid in the plane z = 0: 2·n·n triangles over [0, n·step]².
soup grid(int n, double step)
{
  soup s;
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i) {
      double x0 = i * step, x1 = x0 + step, y0 = j * step, y1 = y0 + step;
      s.push_back({{x0, y0, 0}, {x1, y0, 0}, {x1, y1, 0}});
      s.push_back({{x0, y0, 0}, {x1, y1, 0}, {x0, y1, 0}});
    }
  return s;
}

// Does segment pq meet triangle abc? Generic positions only (no coplanar cases).
bool segment_pierces(const double p[3], const double q[3], const tri& t)
{
  auto orient = [](const double* a, const double* b, const double* c, const double* d) {
    double u[3], v[3], w[3], n[3];
    coll_sub(u, b, a), coll_sub(v, c, a), coll_sub(w, d, a);
    coll_cross(n, u, v);
    return coll_dot(n, w);
  };
  double sp = orient(t.a, t.b, t.c, p), sq = orient(t.a, t.b, t.c, q);
  if ((sp > 0) == (sq > 0)) return false;
  double s1 = orient(p, q, t.a, t.b), s2 = orient(p, q, t.b, t.c), s3 = orient(p, q, t.c, t.a);
  return (s1 > 0) == (s2 > 0) && (s2 > 0) == (s3 > 0);
}

bool tri_contact(const tri& P, const tri& Q) { return collision_tri_contact(P.a, P.b, P.c, Q.a, Q.b, Q.c); }

}  // namespace

TEST(CollisionTriangles, AgreeWithEdgePiercingOnGenericTriangles)
{
  // Two triangles in general position meet exactly when an edge of one pierces
  // the other.
  std::mt19937 rng(1);
  int hits = 0;
  for (int n = 0; n < 20000; ++n) {
    soup s = random_soup(rng, 2, 0.6);
    bool pierced = false;
    for (int k = 0; k < 3; ++k) {
      const double* P[3] = {s[0].a, s[0].b, s[0].c};
      const double* Q[3] = {s[1].a, s[1].b, s[1].c};
      pierced = pierced || segment_pierces(P[k], P[(k + 1) % 3], s[1]) || segment_pierces(Q[k], Q[(k + 1) % 3], s[0]);
    }
    ASSERT_EQ(tri_contact(s[0], s[1]), pierced) << "case " << n;
    ASSERT_EQ(tri_contact(s[1], s[0]), pierced) << "case " << n;
    hits += pierced;
  }
  EXPECT_GT(hits, 300);
  EXPECT_LT(hits, 19000);
}

TEST(CollisionTriangles, TouchingCountsAndCoplanarCasesAreDecidedInThePlane)
{
  tri base{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
  // Vertex on the other's face, from above; and lifted a little.
  EXPECT_TRUE(tri_contact(base, tri{{0.2, 0.2, 0}, {0.3, 0.2, 1}, {0.2, 0.3, 1}}));
  EXPECT_FALSE(tri_contact(base, tri{{0.2, 0.2, 1e-9}, {0.3, 0.2, 1}, {0.2, 0.3, 1}}));
  // Shared corner only, non-coplanar.
  EXPECT_TRUE(tri_contact(base, tri{{1, 0, 0}, {2, 0, 1}, {2, 1, 1}}));
  // Coplanar: overlapping, one inside the other (no edges cross), touching at
  // a corner, touching along an edge, and apart.
  EXPECT_TRUE(tri_contact(base, tri{{0.5, 0.5, 0}, {-0.5, 0.5, 0}, {0.5, -0.5, 0}}));
  EXPECT_TRUE(tri_contact(base, tri{{0.1, 0.1, 0}, {0.3, 0.1, 0}, {0.1, 0.3, 0}}));
  EXPECT_TRUE(tri_contact(tri{{0.1, 0.1, 0}, {0.3, 0.1, 0}, {0.1, 0.3, 0}}, base));
  EXPECT_TRUE(tri_contact(base, tri{{1, 0, 0}, {2, 0, 0}, {2, 1, 0}}));
  EXPECT_TRUE(tri_contact(base, tri{{1, 0, 0}, {0, 1, 0}, {1, 1, 0}}));
  EXPECT_FALSE(tri_contact(base, tri{{1, 1, 0}, {2, 1, 0}, {1, 2, 0}}));
  EXPECT_FALSE(tri_contact(base, tri{{0.6, 0.6, 0}, {2, 0.6, 0}, {0.6, 2, 0}}));
  // Parallel planes.
  EXPECT_FALSE(tri_contact(base, tri{{0, 0, 0.01}, {1, 0, 0.01}, {0, 1, 0.01}}));
}

TEST(CollisionModel, QueriesFindExactlyThePairsOfBruteForce)
{
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> shift(-1.5, 1.5), scale(0.5, 2.0);
  soup a = random_soup(rng, 150, 0.25), b = random_soup(rng, 90, 0.4);
  soup ball = sphere(16, 9, 0.9), plane = grid(8, 0.2);
  soup dup = random_soup(rng, 40, 0.3);
  dup.insert(dup.end(), dup.begin(), dup.end());  // identical triangles share mean points
  const std::vector<std::pair<const soup*, const soup*>> pairs = {{&a, &b},         {&ball, &a}, {&plane, &ball},
                                                                  {&plane, &plane}, {&dup, &b},  {&ball, &ball}};
  int with_contacts = 0, total = 0;
  for (auto [s1, s2] : pairs) {
    collision_model m1, m2;
    build(m1, *s1);
    build(m2, *s2);
    for (int n = 0; n < 25; ++n) {
      double R1[3][3], R2[3][3], T1[3], T2[3];
      random_rotation(rng, R1);
      random_rotation(rng, R2);
      for (int k = 0; k < 3; ++k) T1[k] = shift(rng), T2[k] = shift(rng) * 0.5;
      double k1 = n % 3 ? scale(rng) : 1.0, k2 = n % 3 ? scale(rng) : 1.0;
      if (n == 0) {  // coplanar placement for the flat grids
        std::memcpy(R1, I3, sizeof R1);
        std::memcpy(R2, I3, sizeof R2);
        T1[2] = T2[2] = 0;
      }
      ASSERT_EQ(collide(R1, T1, k1, &m1, R2, T2, k2, &m2, COLL_ALL_CONTACTS), COLL_OK);
      pair_set tree = contact_set();
      ASSERT_EQ((size_t)num_contacts, tree.size()) << "a pair was reported twice";
      ASSERT_EQ(tree, brute_force(*s1, *s2, R1, T1, k1, R2, T2, k2)) << "placement " << n;
      EXPECT_LE(num_tri_tests, (int)(s1->size() * s2->size()));
      with_contacts += !tree.empty();
      total += (int)tree.size();
    }
  }
  EXPECT_GT(with_contacts, 60);  // the placements do exercise contacts
  EXPECT_GT(total, 1000);
}

TEST(CollisionModel, IdenticalTrianglesGiveOneContactInEitherMode)
{
  const double p1[3] = {0, 0, 0}, p2[3] = {1, 0, 0}, p3[3] = {0, 1, 0};
  collision_model m1, m2;
  m1.begin_model(), m2.begin_model();
  m1.add_triangle(p1, p2, p3, 7);
  m2.add_triangle(p1, p2, p3, 9);
  ASSERT_EQ(m1.end_model(), COLL_OK);
  ASSERT_EQ(m2.end_model(), COLL_OK);
  // A single triangle makes the root a leaf, flat along its normal.
  EXPECT_TRUE(m1.boxes[0].leaf());
  EXPECT_EQ(m1.boxes[0].d[2], 0.0);
  for (int flag : {COLL_ALL_CONTACTS, COLL_FIRST_CONTACT}) {
    ASSERT_EQ(collide(I3, O3, &m1, I3, O3, &m2, flag), COLL_OK);
    ASSERT_EQ(num_contacts, 1);
    EXPECT_EQ(contacts[0].id1, 7);
    EXPECT_EQ(contacts[0].id2, 9);
  }
}

TEST(CollisionModel, FirstContactModeStopsAtOneOfTheContacts)
{
  soup ball = sphere(20, 10, 1.0);
  collision_model m1, m2;
  build(m1, ball);
  build(m2, ball);
  const double T[3] = {0.7, 0.2, 0.1};
  ASSERT_EQ(collide(I3, O3, &m1, I3, T, &m2, COLL_ALL_CONTACTS), COLL_OK);
  pair_set all = contact_set();
  int all_box_tests = num_box_tests;
  ASSERT_GT(all.size(), 10u);
  ASSERT_EQ(collide(I3, O3, &m1, I3, T, &m2, COLL_FIRST_CONTACT), COLL_OK);
  ASSERT_EQ(num_contacts, 1);
  EXPECT_TRUE(all.count({contacts[0].id1, contacts[0].id2}));
  EXPECT_LT(num_box_tests, all_box_tests);
}

TEST(CollisionModel, BoxesApartCostOneBoxTest)
{
  soup ball = sphere(12, 6, 1.0);
  collision_model m1, m2;
  build(m1, ball);
  build(m2, ball);
  const double T[3] = {0.5, 3.0, 0};
  ASSERT_EQ(collide(I3, O3, &m1, I3, T, &m2, COLL_ALL_CONTACTS), COLL_OK);
  EXPECT_EQ(num_box_tests, 1);
  EXPECT_EQ(num_tri_tests, 0);
  EXPECT_EQ(num_contacts, 0);
}

TEST(CollisionModel, ScaleStretchesTheModelInTheWorld)
{
  // Model 2 spans x in [0, 1]; a probe at x = 1.5 meets it only when it is doubled.
  soup unit = {{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}};
  soup probe = {{{1.5, -0.1, -1}, {1.5, -0.1, 1}, {1.5, 0.3, 0}}};
  collision_model m1, m2;
  build(m1, probe);
  build(m2, unit);
  ASSERT_EQ(collide(I3, O3, 1.0, &m1, I3, O3, 1.0, &m2, COLL_ALL_CONTACTS), COLL_OK);
  EXPECT_EQ(num_contacts, 0);
  ASSERT_EQ(collide(I3, O3, 1.0, &m1, I3, O3, 2.0, &m2, COLL_ALL_CONTACTS), COLL_OK);
  EXPECT_EQ(num_contacts, 1);
  // Shrinking the probe instead pulls it in to x = 1.5·s1: inside the triangle's
  // reach (x <= 1) at s1 = 0.5, outside at s1 = 0.8.
  ASSERT_EQ(collide(I3, O3, 0.8, &m1, I3, O3, 1.0, &m2, COLL_ALL_CONTACTS), COLL_OK);
  EXPECT_EQ(num_contacts, 0);
  ASSERT_EQ(collide(I3, O3, 0.5, &m1, I3, O3, 1.0, &m2, COLL_ALL_CONTACTS), COLL_OK);
  EXPECT_EQ(num_contacts, 1);
}

TEST(CollisionModel, DegenerateTrianglesGetFramesAndTheRestStillAnswers)
{
  std::mt19937 rng(4);
  soup s = random_soup(rng, 60, 0.3);
  s[5] = {{0.1, 0.2, 0.3}, {0.1, 0.2, 0.3}, {0.1, 0.2, 0.3}};  // one point
  s[17] = {{0, 0, 0}, {0.5, 0.5, 0}, {0.2, 0.2, 0}};           // collinear
  s[30] = {{0, 0, 0}, {0, 0, 0}, {0.4, 0, 0.1}};               // two corners coincide
  soup other = random_soup(rng, 60, 0.3);
  collision_model m1, m2;
  testing::internal::CaptureStderr();
  build(m1, s);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "----\nWarning!  Some triangles have zero area!\n----\n");
  build(m2, other);
  for (int k = 0; k < m1.box_count - 1; ++k) {
    const collision_box& b = m1.boxes[k];
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(std::isfinite(b.T[i]) && std::isfinite(b.d[i])) << "box " << k;
      for (int j = 0; j < 3; ++j) ASSERT_TRUE(std::isfinite(b.R[i][j])) << "box " << k;
    }
  }
  for (int n = 0; n < 20; ++n) {
    double R1[3][3], R2[3][3], T1[3] = {0, 0, 0}, T2[3] = {0.1 * n - 1, 0, 0};
    random_rotation(rng, R1);
    random_rotation(rng, R2);
    ASSERT_EQ(collide(R1, T1, &m1, R2, T2, &m2, COLL_ALL_CONTACTS), COLL_OK);
    ASSERT_EQ(contact_set(), brute_force(s, other, R1, T1, 1, R2, T2, 1));
  }
}

TEST(CollisionModel, StatesAndResultCodes)
{
  const double p1[3] = {0, 0, 0}, p2[3] = {1, 0, 0}, p3[3] = {0, 1, 0};
  collision_model m, other;
  EXPECT_EQ(m.state, COLL_STATE_FRESH);
  EXPECT_EQ(collide(I3, O3, &m, I3, O3, &m, COLL_ALL_CONTACTS), COLL_UNBUILT_MODEL);
  EXPECT_EQ(m.begin_model(), COLL_OK);
  EXPECT_EQ(m.begin_model(), COLL_OUT_OF_SEQUENCE);
  EXPECT_EQ(m.end_model(), COLL_EMPTY_MODEL);
  EXPECT_EQ(m.state, COLL_STATE_BEGUN);
  EXPECT_EQ(m.add_triangle(p1, p2, p3, 1), COLL_OK);
  const double bad[3] = {0, std::nan(""), 0};
  EXPECT_EQ(m.add_triangle(p1, bad, p3, 2), COLL_BAD_TRIANGLE);
  EXPECT_EQ(m.tri_count, 1);
  EXPECT_EQ(collide(I3, O3, &m, I3, O3, &m, COLL_ALL_CONTACTS), COLL_UNBUILT_MODEL);
  EXPECT_EQ(m.end_model(), COLL_OK);
  EXPECT_EQ(m.state, COLL_STATE_BUILT);
  EXPECT_EQ(m.add_triangle(p1, p2, p3, 3), COLL_OUT_OF_SEQUENCE);
  EXPECT_EQ(collide(I3, O3, &m, I3, O3, &other, COLL_ALL_CONTACTS), COLL_UNBUILT_MODEL);
  // A built model may be begun again and rebuilt from scratch.
  EXPECT_EQ(m.begin_model(), COLL_OK);
  EXPECT_EQ(m.tri_count, 0);
  // Adding without begin_model is accepted.
  for (int k = 0; k < 100; ++k) ASSERT_EQ(other.add_triangle(p1, p2, p3, k), COLL_OK);
  EXPECT_EQ(other.tri_capacity, 128);
  EXPECT_EQ(other.end_model(), COLL_OK);
  EXPECT_EQ(other.end_model(), COLL_OK);  // building twice replaces the tree
  EXPECT_EQ(collide(I3, O3, &other, I3, O3, &other, COLL_ALL_CONTACTS), COLL_OK);
  EXPECT_EQ(num_contacts, 100 * 100);
}

TEST(CollisionEigen, DecomposesSymmetricMatricesAndSortsTheLargestFirst)
{
  std::mt19937 rng(6);
  std::uniform_real_distribution<double> u(-5, 5);
  for (int n = 0; n < 500; ++n) {
    double C[3][3];
    for (int i = 0; i < 3; ++i)
      for (int j = i; j < 3; ++j) C[i][j] = C[j][i] = (n % 5 == 0 && i != j) ? 0.0 : u(rng);
    double V[3][3], d[3];
    int sweeps = collision_eigen(C, V, d);
    EXPECT_LT(sweeps, 10);
    double CV[3][3], VtV[3][3];
    coll_mul(CV, C, V);
    coll_mul_t(VtV, V, V);
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) {
        ASSERT_NEAR(CV[i][j], V[i][j] * d[j], 1e-9);
        ASSERT_NEAR(VtV[i][j], i == j, 1e-12);
      }
    double S[3][3];
    collision_eigen_sorted(C, S);
    double top[3] = {S[0][0], S[1][0], S[2][0]}, Ct[3];
    coll_mul(Ct, C, top);
    double largest = std::max({d[0], d[1], d[2]});
    for (int k = 0; k < 3; ++k) ASSERT_NEAR(Ct[k], largest * top[k], 1e-9);
  }
}

TEST(CollisionEigen, GivesUpAfterFiftySweepsWithAMessage)
{
  const double n = std::nan("");
  double C[3][3] = {{1, n, 0}, {n, 1, 0}, {0, 0, 1}}, V[3][3], d[3];
  testing::internal::CaptureStderr();
  EXPECT_EQ(collision_eigen(C, V, d), 50);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "eigen: too many iterations in Jacobi transform (50).\n");
}

TEST(CollisionModelDeathTest, ContractsGuardPointersAndScales)
{
  const double p[3] = {0, 0, 0};
  collision_model m;
  build(m, soup{{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}});
  EXPECT_DEATH(m.add_triangle(p, nullptr, p, 0), "_util/collision_model:[0-9]+: .*Assertion `p1&&p2&&p3' failed");
  EXPECT_DEATH(collide(I3, O3, &m, I3, O3, nullptr, 1),
               "_util/collision_model:[0-9]+: .*Assertion `model1&&model2' failed");
  EXPECT_DEATH(collide(I3, O3, 0.0, &m, I3, O3, 1.0, &m, 1),
               "_util/collision_model:[0-9]+: .*Assertion `s1>0&&s2>0' failed");
}
