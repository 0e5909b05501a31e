// tests/vyre3d/_util/_opengl/harness: the GLUT window environment and read-back (see harness.h).
// Builds on _util/_opengl and the test driver.
#include "harness.h"
#include <chrono>
#include <thread>
#include "_util/_opengl.h"

void GlWindowEnvironment::SetUp()
{
  XvfbEnvironment::SetUp();
  window_size.data[0] = 800, window_size.data[1] = 600;
  char arg0[] = "test_gl";
  char* argv[] = {arg0, nullptr};
  opengl_setup(1, argv);
  pump_events(300);
}

// The GLUT connection is closed before its server goes away.
void GlWindowEnvironment::TearDown()
{
  glutExit();
  XvfbEnvironment::TearDown();
}

void pump_events(int ms)
{
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    glutMainLoopEvent();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

rgba read_color(int x, int y)
{
  rgba c;
  glFinish();
  glReadBuffer(GL_BACK);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glReadPixels(x, y, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, &c);
  return c;
}

float read_depth(int x, int y)
{
  float d;
  glReadBuffer(GL_BACK);
  glReadPixels(x, y, 1, 1, GL_DEPTH_COMPONENT, GL_FLOAT, &d);
  return d;
}

int read_stencil(int x, int y)
{
  unsigned char s;
  glReadBuffer(GL_BACK);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glReadPixels(x, y, 1, 1, GL_STENCIL_INDEX, GL_UNSIGNED_BYTE, &s);
  return s;
}
