// tests/gl/harness: headless GL testing on the Xvfb server of xvfb.h: a
// GoogleTest environment that opens the program's GLUT window through
// opengl_setup, pixel read-back, and a runner that starts the real vyre3d
// binary under that display and drives it with xdotool.
#pragma once
#include <sys/types.h>
#include <string>
#include <vector>
#include <gtest/gtest.h>
#include "xvfb.h"

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

// Output of a shell command line (stdout only) and its exit status.
std::string shell(const std::string& command, int* status = nullptr);

// The vyre3d binary started in a fresh folder holding get/, its standard output
// going to a file there. The destructor ends it if it still runs.
struct program_run {
  pid_t pid = -1;
  std::string folder;
  int exit_status = -1;  // exit code once ended; 128 + signal when killed

  explicit program_run(const std::vector<std::string>& args);
  ~program_run();
  std::string window(double timeout_s = 30);  // id of its visible top-level window, "" if none
  bool wait_exit(double timeout_s);           // true once ended (exit_status set)
  std::string output() const;                 // what it printed so far
  std::string xdotool(const std::string& args) const;
};
