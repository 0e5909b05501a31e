// The GL set-up and drawing helpers of _util/_opengl rendered by Mesa under Xvfb
// in the program's own window, checked by reading pixels, depth and stencil back.
#include <gtest/gtest.h>
#include <cmath>
#include <cstdio>
#include <string>
#include "_util/_opengl.h"
#include "gl_test.h"

namespace {

auto* const gl_env = ::testing::AddGlobalTestEnvironment(new GlWindowEnvironment);

TEST(Setup, WindowAndFixedStateAreWhatFramesAssume)
{
  EXPECT_EQ(opengl_init, 1);
  EXPECT_EQ(glutGet(GLUT_WINDOW_WIDTH), 800);
  EXPECT_EQ(glutGet(GLUT_WINDOW_HEIGHT), 600);
  GLint stencil = 0, doublebuffer = 0, local_viewer = 0, material = 0;
  glGetIntegerv(GL_STENCIL_BITS, &stencil);
  glGetIntegerv(GL_DOUBLEBUFFER, &doublebuffer);
  glGetIntegerv(GL_LIGHT_MODEL_LOCAL_VIEWER, &local_viewer);
  glGetIntegerv(GL_COLOR_MATERIAL_PARAMETER, &material);
  EXPECT_GE(stencil, 8);
  EXPECT_TRUE(doublebuffer);
  EXPECT_EQ(local_viewer, 1);
  EXPECT_EQ(material, GL_AMBIENT_AND_DIFFUSE);
  for (GLenum cap : {GL_LIGHTING, GL_COLOR_MATERIAL, GL_DEPTH_TEST, GL_CULL_FACE}) EXPECT_TRUE(glIsEnabled(cap)) << cap;
  EXPECT_TRUE(glewIsSupported("GL_VERSION_2_0"));
}

TEST(Setup, ReshapeKeepsThePerspectiveInStep)
{
  opengl_reshape(400, 200);
  EXPECT_EQ(window_size.data[0], 400);
  EXPECT_EQ(window_size.data[1], 200);
  GLint viewport[4];
  glGetIntegerv(GL_VIEWPORT, viewport);
  EXPECT_EQ(viewport[2], 400);
  EXPECT_EQ(viewport[3], 200);
  double f = 1 / std::tan(13.0 * M_PI / 180);
  EXPECT_NEAR(projection_matrix.data[0], f / 2, 1e-6);  // GL keeps the matrix in single precision
  EXPECT_NEAR(projection_matrix.data[5], f, 1e-6);
  EXPECT_EQ(projection_matrix.data[11], -1);
  GLint mode;
  glGetIntegerv(GL_MATRIX_MODE, &mode);
  EXPECT_EQ(mode, GL_PROJECTION);
  // A zero height (a minimised window) leaves a finite projection.
  opengl_reshape(800, 0);
  for (int k = 0; k < 16; ++k) EXPECT_TRUE(std::isfinite(projection_matrix.data[k])) << k;
  opengl_reshape(800, 600);
}

TEST_F(Draw, ApplyConfiguresTheGlLight)
{
  glLoadIdentity();  // GL stores positions in eye coordinates
  opengl_light plain;
  plain.apply(GL_LIGHT0);
  float v[4];
  glGetLightfv(GL_LIGHT0, GL_POSITION, v);  // the default pose: a point light at the origin
  EXPECT_EQ(v[0] + v[1] + v[2], 0);
  EXPECT_EQ(v[3], 1);
  glGetLightfv(GL_LIGHT0, GL_SPOT_DIRECTION, v);
  EXPECT_EQ(v[2], 1);

  opengl_light spot;
  spot.pose = translation(1, 2, 3);
  spot.diffuse = color_red;
  spot.specular = color_cyan;
  spot.linear_attenuation = 0.5;
  spot.quadratic_attenuation = 0.25;
  spot.spot_cutoff = 45;
  spot.spot_exponent = 3;
  spot.apply(GL_LIGHT5);
  EXPECT_TRUE(glIsEnabled(GL_LIGHT5));
  glGetLightfv(GL_LIGHT5, GL_POSITION, v);
  EXPECT_EQ(v[0], 1);
  EXPECT_EQ(v[2], 3);
  glGetLightfv(GL_LIGHT5, GL_DIFFUSE, v);
  EXPECT_EQ(v[0], 1);
  EXPECT_EQ(v[1], 0);
  glGetLightfv(GL_LIGHT5, GL_SPECULAR, v);
  EXPECT_EQ(v[2], 1);
  glGetLightfv(GL_LIGHT5, GL_LINEAR_ATTENUATION, v);
  EXPECT_EQ(v[0], 0.5f);
  glGetLightfv(GL_LIGHT5, GL_QUADRATIC_ATTENUATION, v);
  EXPECT_EQ(v[0], 0.25f);
  glGetLightfv(GL_LIGHT5, GL_SPOT_CUTOFF, v);
  EXPECT_EQ(v[0], 45);
  glGetLightfv(GL_LIGHT5, GL_SPOT_EXPONENT, v);
  EXPECT_EQ(v[0], 3);
  lights_off();
  for (int k = 0; k < 8; ++k) EXPECT_FALSE(glIsEnabled(GL_LIGHT0 + k));
}

// A lit white disc facing a light in front of it is bright, one facing away is not.
TEST_F(Draw, AppliedLightsLightTheScene)
{
  glEnable(GL_LIGHTING);
  const float no_ambient[4] = {0, 0, 0, 1};
  glLightModelfv(GL_LIGHT_MODEL_AMBIENT, no_ambient);
  opengl_light lamp;
  lamp.pose = translation(0, 0, 50);
  lamp.diffuse = color_white;
  lamp.apply(GL_LIGHT0);
  glColor4dv(color_white.data);
  opengl_disc(3, 32);
  rgba lit = at(0.5, 0.5);
  EXPECT_GT(lit.r, 200);
  lights_off();
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  opengl_disc(3, 32);
  EXPECT_LT(at(0.5, 0.5).r, 10);
}

TEST_F(Draw, FloorGridDrawsUnitLinesAndAxes)
{
  glColor3d(1, 1, 1);
  opengl_floor_grid();
  expect_color(at(3, 2.5), 77, 179, 77, "grid line x = 3");
  expect_color(at(-2.5, -7), 77, 179, 77, "grid line y = -7");
  expect_color(at(3.5, 2.5), 0, 0, 0, "between lines");
  expect_color(at(12, 2.5), 0, 0, 0, "outside the grid");
  EXPECT_GT(at(15, 0).r, 100) << "x axis beyond the grid";
  EXPECT_GT(at(0, 12).g, 100) << "y axis beyond the grid";
}

TEST_F(Draw, DiscsFaceTheSignOfTheirRadius)
{
  glColor3d(0, 0, 1);
  opengl_disc(4, 36);
  expect_color(at(2, 2), 0, 0, 255, "inside");
  expect_color(at(3.5, 3.5), 0, 0, 0, "outside the radius");
  EXPECT_LT(read_depth(400 + 40, 300 + 40), 1);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  opengl_disc(-4, 36);  // normal -z, wound clockwise from here: culled as a back face
  expect_color(at(2, 2), 0, 0, 0, "back face");
  glDisable(GL_CULL_FACE);
  glColor3d(1, 1, 0);
  opengl_circle(4, 72);
  glEnable(GL_CULL_FACE);
  expect_color(at(4, 0), 255, 255, 0, "rim");
  expect_color(at(2, 0), 0, 0, 0, "inside the circle");
}

TEST_F(Draw, CheckeredDiscAlternatesEveryMSegments)
{
  opengl_checkered_disc(5, 8, 1, color_red);
  double a0 = M_PI / 8, a1 = 3 * M_PI / 8;  // centres of segments 0 and 1
  expect_color(at(3 * std::cos(a0), 3 * std::sin(a0)), 255, 0, 0, "segment 0");
  expect_color(at(3 * std::cos(a1), 3 * std::sin(a1)), 255, 255, 255, "segment 1");
  expect_color(at(-3 * std::cos(a0), -3 * std::sin(a0)), 255, 0, 0, "segment 4");
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  opengl_checkered_disc(5, 8, 2, color_green);
  expect_color(at(3 * std::cos(a1), 3 * std::sin(a1)), 0, 255, 0, "m = 2: segment 1");
}

// Seen from the side (axis turned onto y), a tube is a rectangle and a cone a triangle.
TEST_F(Draw, TubesStandAlongZ)
{
  glRotated(-90, 1, 0, 0);
  glColor3d(0, 1, 0);
  opengl_cylinder(-2, 6, 3, 24);
  expect_color(at(0, 5), 0, 255, 0, "inside the tube's outline");
  expect_color(at(2.5, -1.5), 0, 255, 0, "near the edge");
  expect_color(at(3.5, 0), 0, 0, 0, "beyond the radius");
  expect_color(at(0, 6.5), 0, 0, 0, "beyond the end");
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  opengl_frustum(0, 8, 4, 0, 24);
  expect_color(at(3, 1), 0, 255, 0, "wide end");
  expect_color(at(3, 7), 0, 0, 0, "narrow end");
  expect_color(at(0.2, 7), 0, 255, 0, "tip");
}

TEST_F(Draw, CheckeredCylinderHasStripesAndACap)
{
  opengl_checkered_cylinder(3, 0, 5, 8, 1, color_blue);
  // Seen from above: the cap at z = 5.
  expect_color(at(2 * std::cos(M_PI / 8), 2 * std::sin(M_PI / 8)), 0, 0, 255, "cap segment 0");
  expect_color(at(2 * std::cos(3 * M_PI / 8), 2 * std::sin(3 * M_PI / 8)), 255, 255, 255, "cap segment 1");
  EXPECT_NEAR(read_depth(400 + 20, 300 + 20), 0.5 - 5.0 / 200, 1e-4);
}

TEST_F(Draw, StencilCountsCoverage)
{
  glEnable(GL_STENCIL_TEST);
  glStencilFunc(GL_ALWAYS, 0, ~0u);
  glStencilOp(GL_KEEP, GL_KEEP, GL_INCR);
  glDisable(GL_DEPTH_TEST);
  opengl_disc(4, 36);
  opengl_disc(2, 36);
  glEnable(GL_DEPTH_TEST);
  glDisable(GL_STENCIL_TEST);
  EXPECT_EQ(read_stencil(400 + 20, 300), 2);
  EXPECT_EQ(read_stencil(400 + 60, 300), 1);
  EXPECT_EQ(read_stencil(400 + 100, 300), 0);
}

TEST(DrawDeathTest, PrimitiveContracts)
{
  EXPECT_DEATH(opengl_checkered_disc(-1, 8, 1, color_red), "Assertion `0<=rad' failed");
  EXPECT_DEATH(opengl_checkered_disc(1, 8, 1, opengl_vector<double>({1, 0, 0})), "Assertion `mas.numel==4' failed");
  EXPECT_DEATH(opengl_checkered_cylinder(1, 2, 2, 8, 1, color_red), "Assertion `beg<end' failed");
}

}  // namespace
