// tests/common/xvfb: an Xvfb server on a free display (with GLX, rendered by Mesa)
// for the tests that open windows: the GL tests and amxview's.
#pragma once
#include <sys/types.h>
#include <string>
#include <gtest/gtest.h>

// One Xvfb server, started on the first free display number.
struct xvfb_server {
  pid_t pid = -1;
  std::string display;  // ":N"
  bool glx = true;      // false: a display without GLX, where no GL can start
  bool start();
  void stop();
};

// Starts Xvfb and makes DISPLAY point at it for the whole test program.
class XvfbEnvironment : public ::testing::Environment {
public:
  void SetUp() override;
  void TearDown() override;
  xvfb_server server;
};
