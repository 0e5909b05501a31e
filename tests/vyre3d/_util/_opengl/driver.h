// tests/vyre3d/_util/_opengl/driver: end-to-end runs of the real vyre3d on the Xvfb server of
// xvfb.h: a runner that starts the binary under it in a fresh folder holding
// get/ and drives it with xdotool, and the waits the end-to-end tests share.
// Needs no GL of its own.
#pragma once
#include <sys/types.h>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>
#include <gtest/gtest.h>
#include "xvfb.h"

// Output of a shell command line (stdout only) and its exit status; the sanitizer
// build's preloaded libraries are left out of the command.
std::string shell(const std::string& command, int* status = nullptr);

// The vyre3d binary started in a fresh folder holding get/, its standard output
// and error going to files there. get/ is the build's own tree, or a private copy
// when prepare is given; prepare then runs on the folder before the program
// starts (to put bad files in place). It leads a process group of its own, as a
// job a terminal starts. The destructor ends it if it still runs.
struct program_run {
  pid_t pid = -1;
  std::string folder;
  int exit_status = -1;  // exit code once ended; 128 + signal when killed

  explicit program_run(const std::vector<std::string>& args,
                       const std::function<void(const std::string& folder)>& prepare = {});
  ~program_run();
  std::string window(double timeout_s = 30);  // id of its visible top-level window, "" if none
  bool wait_exit(double timeout_s);           // true once ended (exit_status set)
  std::string output() const;                 // what it printed so far on standard output
  std::string errors() const;                 // what it printed so far on standard error
  std::string xdotool(const std::string& args) const;
  void end_with_escape(const std::string& window);  // pointer in, Escape; expects exit code 0
};

// True once file exists with the given size (its writer has finished it).
bool wait_file(const std::string& file, std::uintmax_t bytes, double timeout_s = 20);

// Sizes of an 800x600 capture pair: the bitmap and the world points.
constexpr std::uintmax_t capture_bmp_bytes = 54 + 4 * 800 * 600, capture_mat_bytes = 16 + 8 * 4 * 800 * 600;
