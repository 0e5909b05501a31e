// End to end: the real vyre3d binary under Xvfb, started in a folder holding get/,
// driven with xdotool; checks what it prints, its window and how it ends.
#include <gtest/gtest.h>
#include <string>
#include "driver.h"

namespace {

auto* const xvfb_env = ::testing::AddGlobalTestEnvironment(new XvfbEnvironment);

std::string pixel(const std::string& window, int x, int y)
{
  return shell("import -window " + window + " -depth 8 -crop 1x1+" + std::to_string(x) + "+" + std::to_string(y) +
               " txt:- 2>/dev/null | grep -o '#[0-9A-F]\\{6\\}'");
}

TEST(Program, OpensItsWindowEchoesArgumentsAndEndsOnEscapeRelease)
{
  program_run run({"alpha", "glut_gamemode"});  // a trailing glut_gamemode has no mode: ignored
  std::string w = run.window();
  ASSERT_FALSE(w.empty()) << run.output();
  std::string geometry = run.xdotool("getwindowgeometry " + w);
  EXPECT_NE(geometry.find("Position: 70,5"), std::string::npos) << geometry;
  EXPECT_NE(geometry.find("Geometry: 800x600"), std::string::npos) << geometry;
  EXPECT_EQ(pixel(w, 400, 300), "#000000\n") << "the scene clears to black from its first frame";
  run.xdotool("mousemove --window " + w + " 400 300");
  run.xdotool("keydown Escape");
  EXPECT_FALSE(run.wait_exit(0.5)) << "pressing Escape alone does not end it";
  run.xdotool("keyup Escape");
  ASSERT_TRUE(run.wait_exit(30));
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_NE(run.output().find("[1=alpha] [2=glut_gamemode] \n"), std::string::npos) << run.output();
}

TEST(Program, WithoutArgumentsPrintsNoEchoSurvivesAResizeAndEndsWhenThePointerLeaves)
{
  shell("xdotool mousemove 1200 1000");  // keep the pointer outside the window while it resizes
  program_run run({});
  std::string w = run.window();
  ASSERT_FALSE(w.empty()) << run.output();
  run.xdotool("windowsize " + w + " 300 200");
  run.xdotool("windowsize " + w + " 640 480");
  EXPECT_FALSE(run.wait_exit(0.5)) << run.output();
  EXPECT_NE(run.xdotool("getwindowgeometry " + w).find("Geometry: 640x480"), std::string::npos);
  // The pointer leaving the window ends the program, unless g is held.
  run.xdotool("mousemove --window " + w + " 100 100");
  run.xdotool("keydown g");
  run.xdotool("mousemove 1000 900");
  EXPECT_FALSE(run.wait_exit(0.5)) << "g held keeps it open";
  run.xdotool("mousemove --window " + w + " 100 100");
  run.xdotool("keyup g");
  run.xdotool("mousemove 1000 900");
  ASSERT_TRUE(run.wait_exit(30));
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.output().find("[1="), std::string::npos) << run.output();
}

// Under Xvfb the mode may or may not be possible; either outcome is orderly.
TEST(Program, GameModeEntersOrReportsTheMode)
{
  program_run run({"glut_gamemode", "640x480:24"});
  std::string w = run.window(5);
  if (w.empty()) {
    ASSERT_TRUE(run.wait_exit(30));
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_NE(run.output().find("error: game mode 640x480:24\n"), std::string::npos) << run.output();
  } else {
    run.xdotool("mousemove --window " + w + " 10 10");
    run.xdotool("key Escape");
    ASSERT_TRUE(run.wait_exit(30));
    EXPECT_EQ(run.exit_status, 0);
  }
  EXPECT_NE(run.output().find("[1=glut_gamemode] [2=640x480:24] \n"), std::string::npos) << run.output();
}

}  // namespace
