// Bodies drawn under Xvfb in the program's window: the mesh at the body's pose, the
// momentum arrows over everything, and the shadow volume cast from a light given in
// world coordinates onto a floor, read back from the colour and stencil buffers.
#include <gtest/gtest.h>
#include <cmath>
#include "_animated/aniMated.h"
#include "gl_test.h"

namespace {

auto* const gl_env = ::testing::AddGlobalTestEnvironment(new GlWindowEnvironment);

tensor<double> vec4(double x, double y, double z, double w = 0)
{
  tensor<double> v(1, 4);
  v.values(x, y, z, w);
  return v;
}

meshgl& sphere()
{
  static meshgl s(VY_GET_DIR "/mesh/sphere_896_tnv");
  return s;
}

TEST_F(Draw, BodyMeshIsDrawnAtItsPose)
{
  meshgl& s = sphere();
  ASSERT_GT(s.vertex_count(), 0);
  s.color = vec4(0, 1, 0, 1);
  aniMated b;
  b.msh = &s;
  b.pos = translation(6, 4, 0) * rotation(vec4(0.3, 0.2, 0.1));
  b.draw();
  expect_color(at(6, 4), 0, 255, 0, "body centre");
  expect_color(at(6, 5.5), 0, 0, 0, "beyond the radius");
  expect_color(at(0, 0), 0, 0, 0, "origin");
  aniMated none;  // no mesh: draws nothing
  none.draw();
  expect_color(at(0, 0), 0, 0, 0, "origin");
}

TEST_F(Draw, MomentumArrowsAreDrawnOverEverything)
{
  // A blue square nearer to the viewer than the arrows.
  glEnable(GL_DEPTH_TEST);
  glColor3d(0, 0, 1);
  glRectd(-9, -3, -1, 3);  // at z = 0
  aniMated b;
  b.mass() = 2;
  b.pos = translation(-5, 0, -10);
  b.vel = vec4(1, 0, 0);    // momentum (2, 0, 0): grey from x = -5 to -3
  b.omega = vec4(0, 1, 0);  // spin (0, 1, 0) and an orbital part along y as well
  b.draw_momentum();
  EXPECT_TRUE(glIsEnabled(GL_DEPTH_TEST));
  expect_color(at(-4, 0), 204, 204, 204, "momentum");
  // angular momentum (0, 1, 0) + 2 (-5, 0, -10) x (1, 0, 0) = (0, -19, 0): downwards
  expect_color(at(-5, -2), 255, 255, 0, "angular momentum");
  expect_color(at(-6, 0), 0, 0, 255, "behind the arrow's start");
  expect_color(at(-5, 2), 0, 0, 255, "not along +y");
}

// Looking straight down from (0, 0, 20) with a perspective that has no far plane,
// so the shadow volume's caps at infinity survive clipping.
struct ShadowView : Draw {
  static constexpr double f = 1.7320508075688772;  // 60 degrees vertical field of view
  void SetUp() override
  {
    Draw::SetUp();
    const double a = 800.0 / 600, eps = 1e-6, near = 0.1;
    const double P[16] = {f / a, 0, 0, 0, 0, f, 0, 0, 0, 0, eps - 1, -1, 0, 0, (eps - 2) * near, 0};
    glMatrixMode(GL_PROJECTION);
    glLoadMatrixd(P);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glTranslated(0, 0, -20);
  }
  static int stencil_at(double x, double y)  // floor point (x, y, 0)
  {
    return read_stencil(int(400 + 400 * (f * 600 / 800) * x / 20), int(300 + 300 * f * y / 20));
  }
};

TEST_F(ShadowView, ShadowFallsWhereTheWorldLightCastsIt)
{
  glEnable(GL_DEPTH_TEST);
  glDepthFunc(GL_LESS);
  glBegin(GL_QUADS);  // the floor, into the depth buffer
  glVertex3d(-12, -12, 0), glVertex3d(12, -12, 0), glVertex3d(12, 12, 0), glVertex3d(-12, 12, 0);
  glEnd();

  aniMated b;
  b.shadow = new shadow_mesh(&sphere());
  // Turned, so that a light left in world coordinates would land elsewhere.
  b.pos = translation(4, 0, 3) * rotation(vec4(0, 1.2, 0.7));
  glDepthMask(GL_FALSE);
  glColorMask(GL_FALSE, GL_FALSE, GL_FALSE, GL_FALSE);
  glEnable(GL_STENCIL_TEST);
  glStencilFunc(GL_ALWAYS, 0, ~0u);
  glEnable(GL_CULL_FACE);
  b.draw_shadow(vec4(0, 0, 10, 1));
  glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
  glDepthMask(GL_TRUE);
  glDisable(GL_STENCIL_TEST);

  // From the light at height 10 through the centre at height 3 to the floor: x = 40/7.
  EXPECT_NE(stencil_at(40.0 / 7, 0), 0);
  EXPECT_NE(stencil_at(40.0 / 7, 0.8), 0);
  EXPECT_EQ(stencil_at(4, 0), 0);  // below the body, outside the shadow
  EXPECT_EQ(stencil_at(-4, 0), 0);
  EXPECT_EQ(stencil_at(40.0 / 7, 3), 0);

  aniMated plain;  // without a shadow mesh nothing is drawn
  plain.draw_shadow(vec4(0, 0, 10, 1));
}

}  // namespace
