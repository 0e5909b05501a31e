// End to end: the real vyre3d where OpenGL 2.0 cannot start, on a display
// without GLX and on one whose GL reports version 1.4. A batch run (frames,
// captures, a video) says so and ends with a non-zero code, writing nothing;
// the interactive program keeps its exit code 0.
#include <gtest/gtest.h>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>
#include "driver.h"

namespace {

auto* const xvfb_env = ::testing::AddGlobalTestEnvironment(new XvfbEnvironment);

const std::vector<std::string> batch_run = {"--play", "3", "--step", "0.04", "--frames", "20", "--capture", "5"};

// Runs vyre3d with args to its end: its exit code, what it printed on standard
// error and the number of captures it wrote.
int run_without_gl(const std::vector<std::string>& args, std::string& errors, int& captures)
{
  program_run run(args);
  if (!run.wait_exit(60)) return -1;
  errors = run.errors();
  captures = 0;
  std::error_code ec;
  for (const auto& f : std::filesystem::directory_iterator(run.folder + "/out", ec))
    captures += f.path().extension() == ".bmp";
  return run.exit_status;
}

TEST(NoGl, ABatchRunFailsWithOneLineAndTheInteractiveProgramEndsWithCode0)
{
  setenv("MESA_GL_VERSION_OVERRIDE", "1.4", 1);
  std::string errors;
  int captures = -1;
  for (const auto& args : {batch_run, std::vector<std::string>{"--step", "0.04", "--video", "out/v.mp4"}}) {
    EXPECT_EQ(run_without_gl(args, errors, captures), 1) << args.back();
    EXPECT_EQ(errors, "error: no OpenGL 2.0 here (above): the batch run ends without drawing\n") << args.back();
    EXPECT_EQ(captures, 0) << args.back();
  }
  EXPECT_EQ(run_without_gl({}, errors, captures), 0);
  EXPECT_EQ(errors, "");
  unsetenv("MESA_GL_VERSION_OVERRIDE");
}

TEST(NoGl, ABatchRunOnADisplayWithoutGlxFails)
{
  xvfb_server plain;
  plain.glx = false;
  ASSERT_TRUE(plain.start());
  const std::string display = getenv("DISPLAY");
  setenv("DISPLAY", plain.display.c_str(), 1);
  std::string errors;
  int captures = -1;
  const int code = run_without_gl(batch_run, errors, captures);
  setenv("DISPLAY", display.c_str(), 1);
  plain.stop();
  EXPECT_GT(code, 0);
  EXPECT_NE(code, 3) << "the run did not start: not an early end";
  EXPECT_EQ(captures, 0);
  EXPECT_NE(errors.find("GLX"), std::string::npos) << errors;
}

}  // namespace
