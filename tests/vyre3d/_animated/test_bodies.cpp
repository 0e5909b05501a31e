// Tests of _animated/aniMated: the time step (rest, drag, spin limit, rotation),
// the mass properties, the elastic collision impulse and its conservation laws,
// the centre-of-mass frame, and two bodies made from the sphere asset bouncing apart.
#include "_animated/aniMated.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

namespace {

tensor<double> vec4(double x, double y, double z, double w = 0)
{
  tensor<double> v(1, 4);
  v.values(x, y, z, w);
  return v;
}

void expect_vec(const tensor<double>& got, const tensor<double>& want, double tol)
{
  ASSERT_EQ(got.numel, want.numel);
  for (int k = 0; k < want.numel; ++k) EXPECT_NEAR(got.data[k], want.data[k], tol) << "element " << k;
}

// A one-triangle mesh in the body's y-z plane, centred at (0, c, 0); its normal is
// +x when facing_plus, else -x.
meshgl plate(double half, double c, bool facing_plus)
{
  meshgl m;
  m.format = GL_V3F;
  m.arr = tensor<float>(2, 3, 3);
  const double y[3] = {-half, 0, half}, z[3] = {-half, 2 * half, -half};
  for (int v = 0; v < 3; ++v) {
    m.arr.data[3 * v + 0] = 0;
    m.arr.data[3 * v + 1] = (float)(c + (facing_plus ? -y[v] : y[v]));
    m.arr.data[3 * v + 2] = (float)z[v];
  }
  m.ind[MESH_TRIA] = tensor<int>(2, 3, 1);
  m.ind[MESH_TRIA].values(0, 1, 2);
  return m;
}

struct Bodies : ::testing::Test {
  void SetUp() override { dt = 0.05; }
};

TEST_F(Bodies, DefaultsAndDescriptions)
{
  aniMated b;
  expect_vec(b.pos, tensor<double>::eye(4), 0);
  expect_vec(b.inertia, tensor<double>::eye(4), 0);
  expect_vec(b.col, vec4(1, 1, 1, 1), 0);
  EXPECT_EQ(b.flags, 0u);
  EXPECT_EQ(b.rap, nullptr);
  EXPECT_STREQ(b.describe(), "aniMated  mass   1.00e+00  E_kin   0.00e+00");
  aniAvatar a;
  aniMated* as_body = &a;
  EXPECT_EQ(a.flags, 2u);
  EXPECT_STREQ(as_body->describe(), "aniAvatar");
}

TEST_F(Bodies, RestStaysAtRest)
{
  aniMated b;
  b.pos = translation(1, 2, 3) * rotation(vec4(0.1, 0.2, 0.3));
  const tensor<double> start = b.pos;
  for (int i = 0; i < 200; ++i) b.update();
  expect_vec(b.pos, start, 0);
  expect_vec(b.vel, vec4(0, 0, 0), 0);
  expect_vec(b.omega, vec4(0, 0, 0), 0);
}

TEST_F(Bodies, ForceAcceleratesInTheBodyFrameAndTheNewVelocityMovesThePose)
{
  aniMated b;
  b.mass() = 5;                            // force is an acceleration: the mass does not enter
  b.pos = rotation(vec4(0, 0, M_PI / 2));  // body x is world y
  b.force = vec4(2, 0, 0);
  b.update();
  expect_vec(b.vel, vec4(0, 0.1, 0), 1e-15);
  expect_vec(b.pos.slice(3), vec4(0, 0.005, 0, 1), 1e-15);
}

TEST_F(Bodies, DragAccumulatesInForceUntilClearForces)
{
  aniMated b;
  b.lin_drag = vec4(1, 2, 3);
  b.vel = vec4(1, 0, 0);
  b.update();
  expect_vec(b.force, vec4(-1, 0, 0), 1e-15);
  expect_vec(b.vel, vec4(0.95, 0, 0), 1e-15);
  b.update();  // the old drag stays and the new one adds to it
  expect_vec(b.force, vec4(-1.95, 0, 0), 1e-15);
  expect_vec(b.vel, vec4(0.8525, 0, 0), 1e-15);
  b.clear_forces();
  expect_vec(b.force, vec4(0, 0, 0), 0);
  b.update();
  expect_vec(b.force, vec4(-0.8525, 0, 0), 1e-15);

  // Angular drag likewise, per body axis.
  aniMated s;
  s.ang_drag = vec4(0, 0, 2);
  s.omega = vec4(0, 0, 1);
  s.update();
  expect_vec(s.torque, vec4(0, 0, -2), 1e-15);
  expect_vec(s.omega, vec4(0, 0, 0.9), 1e-15);
  s.update();
  expect_vec(s.torque, vec4(0, 0, -3.8), 1e-15);
}

TEST_F(Bodies, SpinOfExactlyTenIsKeptAndFasterIsDiscarded)
{
  aniMated b;
  b.omega = vec4(0, 0, 10);
  b.update();
  expect_vec(b.omega, vec4(0, 0, 10), 0);
  expect_vec(b.pos, rotation(vec4(0, 0, 0.5)), 1e-15);

  aniMated f;
  f.omega = vec4(0, 0, 10.0001);
  f.update();
  expect_vec(f.omega, vec4(0, 0, 0), 0);
  expect_vec(f.pos, rotation(vec4(0, 0, 0.500005)), 1e-15);  // the step itself still turns
}

TEST_F(Bodies, EulersEquationsTurnAnAsymmetricSpin)
{
  // Spin about a non-principal direction of an asymmetric body: omega x (I omega)
  // is non-zero, so the body-frame spin changes although no torque acts.
  aniMated b;
  b.set_box(1, vec4(1, 2, 3));
  b.omega = vec4(1, 1, 0);
  const tensor<double> Iw = b.inertia * b.omega;
  const tensor<double> expect = b.omega + b.inertia.solve(b.omega.cross(Iw) * -1.0) * dt;
  b.update();
  expect_vec(b.omega, expect, 1e-14);
  EXPECT_NE(b.omega.data[2], 0.0);
}

TEST_F(Bodies, MassFormulas)
{
  aniMated b;
  b.set_ellipsoid(0, vec4(1, 1, 1));
  EXPECT_DOUBLE_EQ(b.mass(), 4.1887902047863905);
  for (int k = 0; k < 3; ++k) EXPECT_DOUBLE_EQ(b.inertia(k, k), 0.4 * b.mass());
  EXPECT_EQ(b.inertia(0, 1), 0.0);

  b.set_ellipsoid(2, vec4(1, 2, 3));
  EXPECT_EQ(b.mass(), 2.0);
  EXPECT_DOUBLE_EQ(b.inertia(0, 0), 2 * 13 / 5.0);
  EXPECT_DOUBLE_EQ(b.inertia(2, 2), 2 * 5 / 5.0);

  b.set_box(0, vec4(1, -2, 3));  // the volume of a box is never negative
  EXPECT_DOUBLE_EQ(b.mass(), 48);
  EXPECT_DOUBLE_EQ(b.inertia(0, 0), 48 * 13 / 3.0);
  EXPECT_DOUBLE_EQ(b.inertia(1, 1), 48 * 10 / 3.0);
  EXPECT_DOUBLE_EQ(b.inertia(2, 2), 48 * 5 / 3.0);

  b.set_cylinder(0, vec4(1, 2, 3));
  EXPECT_DOUBLE_EQ(b.mass(), 12 * M_PI);
  EXPECT_DOUBLE_EQ(b.inertia(0, 0), 12 * M_PI * (4 / 4.0 + 9 / 3.0));
  EXPECT_DOUBLE_EQ(b.inertia(1, 1), 12 * M_PI * (1 / 4.0 + 9 / 3.0));
  EXPECT_DOUBLE_EQ(b.inertia(2, 2), 12 * M_PI * 5 / 4.0);

  b.set_torus(0, 2, 4);  // tube radius 0.5
  EXPECT_DOUBLE_EQ(b.mass(), 2 * M_PI * M_PI * 2 * 0.25);
  EXPECT_DOUBLE_EQ(b.inertia(0, 0), b.mass() * (5 * 0.25 + 16) / 8);
  EXPECT_DOUBLE_EQ(b.inertia(1, 1), b.inertia(0, 0));
  EXPECT_DOUBLE_EQ(b.inertia(2, 2), b.mass() * (0.75 * 0.25 + 4));
}

TEST_F(Bodies, MassFromTheSphereAssetMatchesTheEllipsoid)
{
  meshgl sphere(VY_GET_DIR "/mesh/sphere_896_tnv");
  ASSERT_GT(sphere.vertex_count(), 0);
  aniMated b;
  b.msh = &sphere;
  b.set_ellipsoid(0, vec4(1, 1, 1));
  const double solid = b.mass();
  const double m = b.set_mass_from_mesh(2.0);
  EXPECT_EQ(m, b.mass());
  EXPECT_NEAR(m, 2 * solid, 0.05 * 2 * solid);  // the faceted sphere is a little smaller
  EXPECT_LT(m, 2 * solid);
  EXPECT_EQ(b.inertia(0, 0), 0.4 * solid);  // the inertia is left as it was
}

TEST_F(Bodies, MomentumAngularMomentumAndEnergy)
{
  aniMated b;
  b.set_box(2, vec4(1, 1, 1));  // inertia 4/3 on the diagonal
  b.pos = translation(1, 0, 0) * rotation(vec4(0, 0, M_PI / 2));
  b.vel = vec4(0, 3, 0);
  b.omega = vec4(1, 0, 0);  // body x is world y
  expect_vec(b.momentum(), vec4(0, 6, 0), 1e-15);
  // spin (0, 4/3, 0) in the world plus orbital 2 * (1, 0, 0) x (0, 3, 0) = (0, 0, 6)
  expect_vec(b.angular_momentum(), vec4(0, 4.0 / 3, 6), 1e-15);
  EXPECT_DOUBLE_EQ(b.energy(), 0.5 * (2 * 9 + 4.0 / 3));
}

TEST_F(Bodies, CenterMovesToTheCentreOfMassFrame)
{
  aniMated a, b;
  a.mass() = 1;
  b.mass() = 3;
  a.pos = translation(0, 0, 1);
  b.pos = translation(4, 0, 1);
  a.vel = vec4(2, 1, 0);
  b.vel = vec4(-2, 1, 0);
  tensor<aniMated*> list(1, 2);
  list.values(&a, &b);
  center(list);
  expect_vec(a.pos.slice(3), vec4(-3, 0, 0, 1), 1e-15);
  expect_vec(b.pos.slice(3), vec4(1, 0, 0, 1), 1e-15);
  expect_vec(a.vel, vec4(3, 0, 0), 1e-15);
  expect_vec(b.vel, vec4(-1, 0, 0), 1e-15);
  expect_vec(a.momentum() + b.momentum(), vec4(0, 0, 0), 1e-15);
  center(tensor<aniMated*>(1, 0));  // no bodies: nothing to do
}

// Two bodies whose one-triangle plates meet coplanar (facing each other) at the
// end of the next step; plate 1 is centred at height c, off the line of centres.
struct Plates {
  meshgl m0 = plate(1.0, 0, true), m1;
  aniMated b0, b1;
  explicit Plates(double c) : m1(plate(0.5, c, false))
  {
    b0.rap = new rapid(m0);
    b1.rap = new rapid(m1);
    b0.pos = translation(-0.05, 0, 0);
    b1.pos = translation(0.05, 0, 0);
    b0.vel = vec4(1, 0, 0);
    b1.vel = vec4(-1, 0, 0);
  }
};

TEST_F(Bodies, EqualMassesMeetingHeadOnExchangeTheirVelocities)
{
  Plates p(0);
  const double e0 = p.b0.energy() + p.b1.energy();
  rapid_report rep = collide(&p.b0, &p.b1);
  ASSERT_EQ(rep.count, 1u);
  expect_vec(rep.normal, vec4(-1, 0, 0), 1e-12);
  expect_vec(rep.point, vec4(0, 0, 0, 1), 1e-7);
  expect_vec(p.b0.vel, vec4(-1, 0, 0), 1e-12);
  expect_vec(p.b1.vel, vec4(1, 0, 0), 1e-12);
  expect_vec(p.b0.omega, vec4(0, 0, 0), 1e-12);
  EXPECT_NEAR(p.b0.energy() + p.b1.energy(), e0, 1e-12);
  EXPECT_EQ(p.b0.frozen, 1u);
  EXPECT_EQ(p.b1.frozen, 1u);

  // The step of the contact is skipped; the next one moves them apart.
  const tensor<double> x0 = p.b0.pos;
  p.b0.update();
  expect_vec(p.b0.pos, x0, 0);
  EXPECT_EQ(p.b0.frozen, 0u);
  p.b0.update();
  EXPECT_NEAR(p.b0.pos(0, 3), -0.1, 1e-15);
}

TEST_F(Bodies, OffCentreImpactConservesMomentumAngularMomentumAndEnergy)
{
  Plates p(0.3);
  p.b0.set_box(1, vec4(0.2, 1, 1));
  p.b1.set_box(3, vec4(0.2, 0.5, 0.5));
  p.b0.omega = vec4(0, 0, 0.5);
  p.b1.omega = vec4(0.2, 0, -0.3);
  auto total = [&](auto f) { return (p.b0.*f)() + (p.b1.*f)(); };
  const tensor<double> P = total(&aniMated::momentum), L = total(&aniMated::angular_momentum);
  const double E = total(&aniMated::energy);
  rapid_report rep = collide(&p.b0, &p.b1);
  ASSERT_EQ(rep.count, 1u);
  expect_vec(total(&aniMated::momentum), P, 1e-12);
  expect_vec(total(&aniMated::angular_momentum), L, 1e-12);
  EXPECT_NEAR(total(&aniMated::energy), E, 1e-12);
  EXPECT_NE(p.b1.omega.data[2], -0.3);  // the off-centre push turns them
  EXPECT_LT(p.b0.vel.data[0], 0.0);
}

TEST_F(Bodies, CollideWithoutContactOnlyPredictsThePoses)
{
  Plates p(0);
  p.b1.pos = translation(1, 0, 0);
  const tensor<double> v0 = p.b0.vel;
  rapid_report rep = collide(&p.b0, &p.b1);
  EXPECT_EQ(rep.count, 0u);
  expect_vec(p.b0.vel, v0, 0);
  EXPECT_EQ(p.b0.frozen, 0u);
  expect_vec(p.b1.rap->pose, translation(0.95, 0, 0), 1e-15);
  p.b1.update();  // moves to the predicted pose
  expect_vec(p.b1.pos, p.b1.rap->pose, 0);
  expect_vec(p.b1.pos, translation(0.95, 0, 0), 1e-15);
}

TEST_F(Bodies, ABodyWithAWrapperMovesAlsoWithoutCollideCalls)
{
  Plates p(0);
  p.b0.pos = translation(5, 6, 7);
  p.b0.update();
  p.b0.update();
  expect_vec(p.b0.pos.slice(3), vec4(5.1, 6, 7, 1), 1e-14);
  expect_vec(p.b0.rap->pose, p.b0.pos, 0);
}

TEST_F(Bodies, TwoSpheresFromTheAssetCollideAndBounceApart)
{
  meshgl sphere(VY_GET_DIR "/mesh/sphere_896_tnv");
  ASSERT_EQ(sphere.ind[MESH_TRIA].size[1], 896);
  aniMated a, b;
  for (aniMated* s : {&a, &b}) {
    s->msh = &sphere;
    s->rap = new rapid(sphere);
    s->set_ellipsoid(0, vec4(1, 1, 1));
  }
  // Slightly off the line of centres, so the contact also spins them.
  a.pos = translation(-2, 0.1, 0);
  b.pos = translation(2, -0.1, 0);
  a.vel = vec4(1, 0, 0);
  b.vel = vec4(-1, 0, 0);
  const tensor<double> P = a.momentum() + b.momentum();
  const tensor<double> L = a.angular_momentum() + b.angular_momentum();
  const double E = a.energy() + b.energy();
  dt = 0.02;
  int contacts_seen = 0;
  for (int step = 0; step < 300; ++step) {
    if (collide(&a, &b).count) ++contacts_seen;
    a.update();
    b.update();
    // Never both moved into each other's mesh.
    ASSERT_GT(b.pos(0, 3) - a.pos(0, 3), 1.5);
  }
  EXPECT_EQ(contacts_seen, 1);
  EXPECT_LT(a.vel.data[0], -0.9);
  EXPECT_GT(b.vel.data[0], 0.9);
  EXPECT_GT(b.pos(0, 3) - a.pos(0, 3), 4.0);
  expect_vec(a.momentum() + b.momentum(), P, 1e-12);
  expect_vec(a.angular_momentum() + b.angular_momentum(), L, 1e-9);
  EXPECT_NEAR(a.energy() + b.energy(), E, 1e-9);
}

using BodiesDeath = Bodies;

TEST_F(BodiesDeath, Contracts)
{
  aniMated b;
  b.mass() = 0;
  EXPECT_DEATH(b.update(), "_animated/aniMated:[0-9]+: .*Assertion `0<mass\\(\\)' failed");
  aniMated c;
  EXPECT_DEATH(c.set_mass_from_mesh(1), "_animated/aniMated:[0-9]+: .*Assertion `msh' failed");
  meshgl empty;
  c.msh = &empty;
  EXPECT_DEATH(c.set_mass_from_mesh(1), "_animated/aniMated:[0-9]+: .*Assertion `TENSOR_NO_DIVISION<vol\\*den' failed");
  aniMated d;
  EXPECT_DEATH(collide(&c, &d), "_animated/aniMated:[0-9]+: .*Assertion `ani0->rap && ani1->rap' failed");
  c.col = tensor<double>();
  EXPECT_DEATH(c.draw(), "_animated/aniMated:[0-9]+: .*Assertion `col\\.data' failed");
}

}  // namespace
