// _util/_opengl/draw: immediate-mode primitives, the floor grid, slider values,
// unprojection and 3D text labels. Builds on tensor, hash and linked.
#pragma once
#include <GL/glew.h>
#include <GL/freeglut.h>
#include <algorithm>
#include <cmath>
#include <cstring>
#include "_util/_opengl/setup.h"
#include "_util/hash.h"
#include "_util/linked.h"

inline double floor_height = 0;
inline hash<tensor<char>, double> slider_values(16);
inline linked<tensor<double>> label_points;
inline linked<tensor<char>> label_texts;

// Axis cross and a 20 x 20 grid of unit cells at the floor height, drawn with
// whatever lighting and colour-material state is current.
inline void opengl_floor_grid()
{
  double h = floor_height;
  glNormal3d(0, 0, 1);
  glLineWidth(2);
  glBegin(GL_LINES);
  glColor4d(0.4, 0, 0, 0.8);
  glVertex3d(-20, 0, h);
  glColor4d(1, 0, 0, 0);
  glVertex3d(20, 0, h);
  glColor4d(0, 0.4, 0, 0.8);
  glVertex3d(0, -20, h);
  glColor4d(0, 1, 0, 0.8);
  glVertex3d(0, 20, h);
  glColor4d(0.7, 0.4, 0, 0.8);
  glVertex3d(0, 0, -20);
  glVertex3d(0, 0, 20);
  glEnd();
  glColor4d(0.3, 0.7, 0.3, 0.8);
  glLineWidth(1);
  glBegin(GL_LINES);
  for (int i = -10; i <= 10; ++i) {
    if (!i) continue;
    glVertex3d(-10, i, h);
    glVertex3d(10, i, h);
    glVertex3d(i, -10, h);
    glVertex3d(i, 10, h);
  }
  glEnd();
}

// The value of slider name, created with the default clamped to [0, 1] on first use.
inline double opengl_slider(const char* name, double value)
{
  value = std::min(1.0, std::max(0.0, value));
  tensor<char> key = tensor<char>::str(name);
  double stored;
  if (slider_values.lookup(key, stored)) return stored;
  slider_values.insert(key, value);
  return value;
}

// Window pixel and depth to normalised device coordinates (x, y, z, 1).
inline tensor<double> opengl_unproject(int x, int y, double depth)
{
  return opengl_vector<double>(
      {2.0 * x / window_size.data[0] - 1, 2.0 * y / window_size.data[1] - 1, 2 * depth - 1, 1});
}

// A text shown at a 3D point in this frame's overlay.
inline void opengl_label(const tensor<double>& position, const char* text)
{
  label_points.append(position);
  label_texts.append(tensor<char>::str(text));
}

// Primitives: at the origin in the x-y plane, normal along z, n segments.

inline void opengl_disc(double r, int n)
{
  glBegin(GL_TRIANGLE_FAN);
  glNormal3d(0, 0, r < 0 ? -1 : 1);
  glVertex3d(0, 0, 0);
  for (int i = 0; i <= n; ++i) {
    double phi = 2 * M_PI * i / n;
    glVertex3d(std::fabs(r) * std::cos(phi), r * std::sin(phi), 0);
  }
  glEnd();
}

inline void opengl_circle(double r, int n)
{
  glBegin(GL_LINE_STRIP);
  for (int i = 0; i <= n; ++i) {
    double phi = 2 * M_PI * i / n;
    glVertex3d(std::fabs(r) * std::cos(phi), r * std::sin(phi), 0);
  }
  glEnd();
}

namespace opengl_detail {
// Colour of segment i of a checkered pattern: blocks of m segments alternate
// between mas and white with mas's alpha.
inline void checker_color(int i, int m, const tensor<double>& mas)
{
  if ((i / m) % 2)
    glColor4d(1, 1, 1, mas.data[3]);
  else
    glColor4dv(mas.data);
}
}  // namespace opengl_detail

// Flat shading keeps each segment in one colour (the last vertex of a fan
// triangle or strip quad gives it).
inline void opengl_checkered_disc(double rad, int n, int m, const tensor<double>& mas)
{
  VY_CONTRACT(0<=rad, "_util/_opengl");
  VY_CONTRACT(mas.numel==4, "_util/_opengl");
  glPushAttrib(GL_LIGHTING_BIT | GL_CURRENT_BIT);
  glShadeModel(GL_FLAT);
  glBegin(GL_TRIANGLE_FAN);
  glNormal3d(0, 0, 1);
  glVertex3d(0, 0, 0);
  for (int i = 0; i <= n; ++i) {
    double phi = 2 * M_PI * i / n;
    if (i) opengl_detail::checker_color(i - 1, m, mas);
    glVertex3d(rad * std::cos(phi), rad * std::sin(phi), 0);
  }
  glEnd();
  glPopAttrib();
}

// Open tube along z; each ring may have its own radius.
inline void opengl_frustum(double z0, double z1, double r0, double r1, int n)
{
  glBegin(GL_QUAD_STRIP);
  for (int i = 0; i <= n; ++i) {
    double phi = 2 * M_PI * i / n, c = std::cos(phi), s = std::sin(phi);
    glNormal3d(c, s, 0);
    glVertex3d(r1 * c, r1 * s, z1);
    glVertex3d(r0 * c, r0 * s, z0);
  }
  glEnd();
}

inline void opengl_cylinder(double z0, double z1, double r, int n) { opengl_frustum(z0, z1, r, r, n); }

// Tube with stripes of m segments and a checkered cap at end.
inline void opengl_checkered_cylinder(double rad, double beg, double end, int n, int m, const tensor<double>& mas)
{
  VY_CONTRACT(0<=rad, "_util/_opengl");
  VY_CONTRACT(beg<end, "_util/_opengl");
  VY_CONTRACT(mas.numel==4, "_util/_opengl");
  glPushAttrib(GL_LIGHTING_BIT | GL_CURRENT_BIT);
  glShadeModel(GL_FLAT);
  glBegin(GL_QUAD_STRIP);
  for (int i = 0; i <= n; ++i) {
    double phi = 2 * M_PI * i / n, c = std::cos(phi), s = std::sin(phi);
    glNormal3d(c, s, 0);
    glVertex3d(rad * c, rad * s, end);
    if (i) opengl_detail::checker_color(i - 1, m, mas);
    glVertex3d(rad * c, rad * s, beg);
  }
  glEnd();
  glPushMatrix();
  glTranslated(0, 0, end);
  opengl_checkered_disc(rad, n, m, mas);
  glPopMatrix();
  glPopAttrib();
}
