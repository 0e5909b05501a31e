// _animated/aniMated: rigid bodies that move under forces, torques and drag, draw
// themselves with a meshgl, cast stencil shadows and collide pairwise with an
// impulse. Builds on tensor algebra, rapid (collision queries), shadow_mesh and the
// _opengl transforms and primitives.
#pragma once
#include <GL/glew.h>
#include <cstdio>
#include "_util/_opengl.h"
#include "_util/contract.h"
#include "_util/meshgl.h"
#include "_util/rapid.h"
#include "_util/shadow.h"
#include "_util/tensor.h"
#include "_util/tensor_math.h"

// The time step of the next update, set by the frame loop before bodies move.
inline double dt = 0;

// Kind bits of aniMated::flags.
enum { ANI_AVATAR = 2 };

struct aniMated {
  tensor<double> pos;       // 4x4 pose: world point = pos * body point
  tensor<double> vel;       // linear velocity, world frame
  tensor<double> omega;     // angular velocity, body frame
  tensor<double> force;     // force per unit mass, body frame
  tensor<double> torque;    // body frame
  tensor<double> lin_drag;  // per-axis, body frame
  tensor<double> ang_drag;  // per-axis, body frame
  tensor<double> inertia;   // upper-left 3x3 inertia about the pose origin, (3, 3) the mass
  tensor<double> col;       // RGBA
  unsigned int flags = 0;
  rapid* rap = nullptr;           // owned collision wrapper
  unsigned int frozen = 0;        // set by collide on contact: the next update is skipped
  meshgl* msh = nullptr;          // not owned
  shadow_mesh* shadow = nullptr;  // owned

  aniMated()
      : pos(tensor<double>::eye(4)),
        vel(1, 4),
        omega(1, 4),
        force(1, 4),
        torque(1, 4),
        lin_drag(1, 4),
        ang_drag(1, 4),
        inertia(tensor<double>::eye(4)),
        col(1, 4)
  {
    col.fill(1.0);
  }
  virtual ~aniMated()
  {
    delete rap;
    delete shadow;
  }
  // A body owns its wrapper and shadow mesh: copies would free them twice.
  aniMated(const aniMated&) = delete;
  aniMated& operator=(const aniMated&) = delete;

  virtual void control() {}
  virtual void draw_mesh()
  {
    if (msh) msh->draw();
  }
  virtual void draw_momentum();
  virtual const char* describe();

  void clear_forces()
  {
    force.fill(0.0);
    torque.fill(0.0);
  }
  void update();
  void draw();
  void draw_shadow(const tensor<double>& light);

  double& mass() const { return inertia.data[15]; }
  tensor<double> position() const { return pos.slice(3); }  // (x, y, z, 1)
  tensor<double> momentum() const { return vel * mass(); }
  tensor<double> angular_momentum() const { return pos * (inertia * omega) + position().cross(vel) * mass(); }
  double energy() const { return 0.5 * (vel.dot(vel * mass()) + (inertia * omega).dot(omega)); }
  // The pose a step of dt reaches with the present velocities.
  tensor<double> predicted_pose() const;

  double set_mass_from_mesh(double den);
  void set_ellipsoid(double m, const tensor<double>& s);
  void set_box(double m, const tensor<double>& s);
  void set_cylinder(double m, const tensor<double>& s);
  void set_torus(double m, double R, int n);
};

// The body the user steers; its control step (keys and mouse into force and
// torque) lives with the program's input handling (vyre3d/avatar.cpp).
struct aniAvatar : aniMated {
  aniAvatar() { flags |= ANI_AVATAR; }
  void control() override;
  const char* describe() override { return "aniAvatar"; }
};

inline const char* aniMated::describe()
{
  static char text[64];
  std::snprintf(text, sizeof text, "aniMated  mass %10.2e  E_kin %10.2e", mass(), energy());
  return text;
}

inline tensor<double> aniMated::predicted_pose() const
{
  tensor<double> P = pos;
  for (int k = 0; k < 3; ++k) P.data[12 + k] += vel.data[k] * dt;
  return P * rotation(omega * dt);
}

// One explicit step: drag into force and torque, velocities from force (an
// acceleration) and Euler's equations, then the pose. A body with a collision
// wrapper moves to the pose that collide predicts from the same velocities (it is
// recomputed here, so a body that met no collide call this frame still moves from
// where it is). A frozen body skips this one step and is free again afterwards.
inline void aniMated::update()
{
  if (frozen) {
    frozen = 0;
    return;
  }
  if (rap) {
    pos = predicted_pose();
    rap->pose = pos;
  }
  VY_CONTRACT(0<mass(), "_animated/aniMated");
  tensor<double> drag = rigid_inverse(pos) * vel;  // velocity in the body frame
  drag *= lin_drag;                                // element-wise
  force -= drag;
  drag = omega;
  drag *= ang_drag;
  torque -= drag;
  vel += (pos * force) * dt;
  omega += inertia.solve(torque - omega.cross(inertia * omega)) * dt;
  if (!rap) {
    for (int k = 0; k < 3; ++k) pos.data[12 + k] += vel.data[k] * dt;
    pos = pos * rotation(omega * dt);
  }
  if (omega.norm() > 10) omega.fill(0.0);
}

inline void aniMated::draw()
{
  VY_CONTRACT(pos.data, "_animated/aniMated");
  VY_CONTRACT(col.data, "_animated/aniMated");
  glPushMatrix();
  glMultMatrixd(pos.data);
  glColor4dv(col.data);
  draw_mesh();
  glPopMatrix();
}

inline void aniMated::draw_shadow(const tensor<double>& light)
{
  if (!shadow) return;
  glPushMatrix();
  glMultMatrixd(pos.data);
  shadow->draw_volume(pos.solve(light));
  glPopMatrix();
}

// Momentum (grey) and angular momentum (yellow) as thin tubes from the body's
// position, drawn over everything.
inline void aniMated::draw_momentum()
{
  const tensor<double> x = position();
  const tensor<double> arrows[2] = {momentum(), angular_momentum()};
  const double colors[2][4] = {{0.8, 0.8, 0.8, 0.7}, {1, 1, 0, 0.7}};
  glPushAttrib(GL_DEPTH_BUFFER_BIT);
  glDisable(GL_DEPTH_TEST);
  for (int i = 0; i < 2; ++i) {
    glPushMatrix();
    glMultMatrixd(frame_along(arrows[i], x).data);
    glColor4dv(colors[i]);
    opengl_cylinder(0, arrows[i].norm(), 0.025, 10);
    glPopMatrix();
  }
  glPopAttrib();
}

inline double aniMated::set_mass_from_mesh(double den)
{
  VY_CONTRACT(msh, "_animated/aniMated");
  double vol = 0;
  msh->volume(vol);
  VY_CONTRACT(TENSOR_NO_DIVISION<vol*den, "_animated/aniMated");
  return mass() = den * vol;
}

// Solid ellipsoid with semi-axes s(0..2); m below 1e-40 means unit density.
inline void aniMated::set_ellipsoid(double m, const tensor<double>& s)
{
  const double a = s.data[0], b = s.data[1], c = s.data[2];
  if (m < 1e-40) m = 4.1887902047863905 * a * b * c;
  inertia = tensor<double>(2, 4, 4);
  inertia.set_diag(m * (b * b + c * c) / 5, m * (a * a + c * c) / 5, m * (a * a + b * b) / 5, m);
}

// Solid box with half-extents s(0..2).
inline void aniMated::set_box(double m, const tensor<double>& s)
{
  const double a = s.data[0], b = s.data[1], c = s.data[2];
  if (m < 1e-40) m = 8 * std::fabs(a * b * c);
  inertia = tensor<double>(2, 4, 4);
  inertia.set_diag(m * (b * b + c * c) / 3, m * (a * a + c * c) / 3, m * (a * a + b * b) / 3, m);
}

// Solid elliptic cylinder along z: semi-axes s(0), s(1), half-height s(2).
inline void aniMated::set_cylinder(double m, const tensor<double>& s)
{
  const double a = s.data[0], b = s.data[1], c = s.data[2];
  if (m < 1e-40) m = 2 * 3.141592653589793 * a * b * c;
  inertia = tensor<double>(2, 4, 4);
  inertia.set_diag(m * (b * b / 4 + c * c / 3), m * (a * a / 4 + c * c / 3), m * (a * a + b * b) / 4, m);
}

// Solid torus about z: ring radius R, tube radius R / n.
inline void aniMated::set_torus(double m, double R, int n)
{
  const double r = R / n;
  if (m < 1e-40) m = 19.739208802178716 * R * r * r;
  const double f = m * (5 * r * r + 4 * R * R) / 8;
  inertia = tensor<double>(2, 4, 4);
  inertia.set_diag(f, f, m * (0.75 * r * r + R * R), m);
}

// One collision step between two bodies with collision wrappers: both are placed at
// the pose a step of dt would bring them to; if their meshes then touch, both are
// frozen for that step and a fully elastic impulse along the contact normal
// exchanges momentum between them. Returns the contact report.
inline rapid_report collide(aniMated* ani0, aniMated* ani1)
{
  VY_CONTRACT(ani0->rap && ani1->rap, "_animated/aniMated");
  ani0->rap->pose = ani0->predicted_pose();
  ani1->rap->pose = ani1->predicted_pose();
  rapid_report report;
  if (!rapid_contact(*ani0->rap, *ani1->rap, report)) return report;

  ani0->frozen = ani1->frozen = 1;
  const tensor<double> n = report.normal * -1.0;  // from body 0 into body 1
  aniMated* body[2] = {ani0, ani1};
  tensor<double> L[2], IL[2];
  for (int k = 0; k < 2; ++k) {
    const tensor<double> r = report.point - body[k]->position();
    L[k] = body[k]->inertia.solve(body[k]->pos.solve(r.cross(n)));
    IL[k] = body[k]->inertia * L[k];
  }
  const double m0 = ani0->mass(), m1 = ani1->mass();
  const double N = ani0->vel.dot(n) - ani1->vel.dot(n) + IL[0].dot(ani0->omega) - IL[1].dot(ani1->omega);
  const double D = 1 / m0 + 1 / m1 + IL[0].dot(L[0]) + IL[1].dot(L[1]);
  const double j = 2 * N / D;
  ani0->vel -= n * (j / m0);
  ani1->vel += n * (j / m1);
  ani0->omega -= L[0] * j;
  ani1->omega += L[1] * j;
  return report;
}

// Moves the bodies into their centre-of-mass frame: the centre of mass to the
// origin, the total momentum to zero.
inline void center(const tensor<aniMated*>& bodies)
{
  if (!bodies.numel) return;
  tensor<double> g(1, 4), p(1, 4);
  for (int i = 0; i < bodies.numel; ++i) {
    g += bodies.data[i]->position() * bodies.data[i]->mass();
    p += bodies.data[i]->momentum();
  }
  const double total = g.data[3];
  VY_CONTRACT(0<total, "_animated/aniMated");
  g /= total;
  p /= total;
  for (int i = 0; i < bodies.numel; ++i) {
    for (int k = 0; k < 3; ++k) bodies.data[i]->pos.data[12 + k] -= g.data[k];
    bodies.data[i]->vel -= p;
  }
}
