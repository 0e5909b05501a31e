// tests/vyre3d/_util/_opengl/harness: headless GL testing. A GoogleTest environment that starts
// Xvfb (driver.h) and opens the program's GLUT window through
// opengl_setup, and pixel read-back. Tests that do not link the program take the
// no-op callbacks of gl_stubs.
#pragma once
#include "driver.h"

// Additionally opens the program's window (opengl_setup with the program's
// display mode and an 800x600 window) so tests can draw and read back.
class GlWindowEnvironment : public XvfbEnvironment {
public:
  void SetUp() override;
  void TearDown() override;
};

// Processes pending window events for about ms milliseconds.
void pump_events(int ms);

// Back-buffer read-back (bottom-left origin, as GL counts).
struct rgba {
  unsigned char r, g, b, a;
};
rgba read_color(int x, int y);
float read_depth(int x, int y);
int read_stencil(int x, int y);
