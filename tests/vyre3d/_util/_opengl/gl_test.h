// tests/vyre3d/_util/_opengl/gl_test: the fixture shared by the drawing tests: a cleared back buffer
// and an orthographic floor view of 20 pixels per unit. Builds on the harness.
#pragma once
#include <gtest/gtest.h>
#include "_util/_opengl.h"
#include "harness.h"

// Each test starts from a cleared 800x600 back buffer, no lighting, and an
// orthographic view of 20 pixels per unit with the origin at pixel (400, 300).
class Draw : public ::testing::Test {
protected:
  void SetUp() override
  {
    opengl_reshape(800, 600);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glOrtho(-20, 20, -15, 15, -100, 100);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glTranslated(0.025, 0.025, 0);  // unit lines through pixel centres
    glClearColor(0, 0, 0, 0);
    glClearStencil(0);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT | GL_STENCIL_BUFFER_BIT);
    glDisable(GL_LIGHTING);
  }
  void TearDown() override
  {
    glEnable(GL_LIGHTING);
    lights_off();
  }
  // Window pixel of the point (x, y) of the floor plane.
  static rgba at(double x, double y) { return read_color(int(400 + 20 * x), int(300 + 20 * y)); }
};

inline void expect_color(rgba c, int r, int g, int b, const char* where)
{
  EXPECT_NEAR(c.r, r, 2) << where;
  EXPECT_NEAR(c.g, g, 2) << where;
  EXPECT_NEAR(c.b, b, 2) << where;
}
