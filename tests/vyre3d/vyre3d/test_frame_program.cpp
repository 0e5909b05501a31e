// End to end: the real vyre3d under Xvfb driven with xdotool: g keeps it alive
// outside the window and shows the menu, g+p writes a capture pair, g+r records;
// batch runs end, capture, film and repeat themselves, and bad options are refused.
#include <gtest/gtest.h>
#include <signal.h>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>
#include "_util/format.h"
#include "_util/tensor.h"
#include "driver.h"

namespace fs = std::filesystem;

namespace {

auto* const xvfb_env = ::testing::AddGlobalTestEnvironment(new XvfbEnvironment);

// White text pixels in the rows 12 to 91 of the window (below the rate line).
int menu_pixels(const std::string& w)
{
  const std::string text = shell("timeout 10 import -window " + w + " -crop 200x80+0+12 txt:- 2>/dev/null");
  int n = 0;
  for (size_t at = text.find("#FFFFFF"); at != std::string::npos; at = text.find("#FFFFFF", at + 1)) n++;
  return n;
}

bool wait_menu(const std::string& w, bool shown)
{
  for (int k = 0; k < 100; ++k) {
    if ((menu_pixels(w) > 100) == shown) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

TEST(Frame, GHeldKeepsTheProgramWhenThePointerLeavesAndShowsTheMenu)
{
  program_run run({});
  std::string w = run.window();
  ASSERT_FALSE(w.empty()) << run.output();
  run.xdotool("mousemove --window " + w + " 400 300");
  EXPECT_TRUE(wait_menu(w, false)) << "no menu without g";
  run.xdotool("keydown g");
  EXPECT_TRUE(wait_menu(w, true)) << "the menu while g is held";
  run.xdotool("mousemove 1100 1000");
  EXPECT_FALSE(run.wait_exit(0.5)) << run.output();
  run.xdotool("mousemove --window " + w + " 400 300");
  run.xdotool("keyup g");
  EXPECT_TRUE(wait_menu(w, false)) << "gone once g is released";
  run.end_with_escape(w);
}

// One run (starting the program is the slow part under the sanitizers): two
// single captures, then a recording that goes on numbering the sequence.
TEST(Frame, GAndPWriteOneCapturePairPerPressAndGAndRRecord)
{
  program_run run({});
  std::string w = run.window();
  ASSERT_FALSE(w.empty()) << run.output();
  const std::string out = run.folder + "/out/opengl_00-";
  run.xdotool("mousemove --window " + w + " 400 300");
  run.xdotool("keydown g");
  run.xdotool("key p");
  ASSERT_TRUE(wait_file(out + "0000_rgba.bmp", capture_bmp_bytes)) << run.output();
  ASSERT_TRUE(wait_file(out + "0000_pnt3.mat", capture_mat_bytes)) << run.output();
  run.xdotool("key p");
  EXPECT_TRUE(wait_file(out + "0001_rgba.bmp", capture_bmp_bytes)) << run.output();
  EXPECT_TRUE(wait_file(out + "0001_pnt3.mat", capture_mat_bytes)) << run.output();
  EXPECT_FALSE(fs::exists(out + "0002_rgba.bmp")) << "one capture per press";
  run.xdotool("key r");
  run.xdotool("keyup g");
  EXPECT_TRUE(wait_file(out + "0003_rgba.bmp", capture_bmp_bytes)) << run.output();
  EXPECT_TRUE(wait_file(out + "0004_pnt3.mat", capture_mat_bytes)) << "a capture every frame while recording";
  run.end_with_escape(w);

  const tensor<unsigned char> image = bitmap_read((out + "0000_rgba.bmp").c_str());
  ASSERT_EQ(image.ndims, 3);
  EXPECT_EQ(image.size[1], 800);
  EXPECT_EQ(image.size[2], 600);
  EXPECT_EQ(image.data[4 * (300 * 800 + 400)], 0) << "the scene clears to black while no curve plays";
  int text = 0;  // the menu (shown since g went down) in the top rows
  for (int y = 500; y < 600; ++y)
    for (int x = 0; x < 150; ++x) text += image.data[4 * (y * 800 + x)] == 255;
  EXPECT_GT(text, 200);
  // Nothing is drawn: every pixel is a finite point on the far plane, 1e40 ahead.
  const tensor<double> points((out + "0000_pnt3.mat").c_str());
  ASSERT_EQ(points.numel, 4 * 800 * 600);
  for (int i = 0; i < 800 * 600; i += 997) {
    const double* p = points.data + 4 * i;
    ASSERT_TRUE(std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2])) << i;
    EXPECT_NEAR(-p[2] / 1e40, 1, 0.2) << i;
    EXPECT_EQ(p[3], 1);
  }
}

std::string file_bytes(const std::string& name)
{
  std::ifstream f(name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

// Batch runs end by themselves after K frames, capture frames M, 2M, ... and give
// the same pictures every time; the video holds every frame once the program ends.
TEST(Batch, EndsAfterKFramesCapturesEveryMthFrameWritesTheVideoAndRepeatsItself)
{
  const std::vector<std::string> args = {"--play",    "3",  "--step",  "0.04",      "--frames", "30",
                                         "--capture", "10", "--video", "out/v.mp4", "--bench"};
  // One after the other: a second window over the first would count as the pointer leaving it.
  auto finished = [&args] {
    auto run = std::make_unique<program_run>(args);
    EXPECT_TRUE(run->wait_exit(120)) << run->output();
    EXPECT_EQ(run->exit_status, 0) << run->errors();
    EXPECT_NE(run->output().find("[1=--play] [2=3] [3=--step]"), std::string::npos) << "arguments still echoed";
    EXPECT_NE(run->output().find("\nbench frames=30 median_ms="), std::string::npos) << run->output();
    return run;
  };
  const auto one = finished(), two = finished();
  const program_run &first = *one, &second = *two;
  const std::string out = first.folder + "/out/opengl_00-";
  for (const char* f : {"0000", "0001", "0002"}) {
    EXPECT_EQ(fs::file_size(out + f + "_rgba.bmp"), capture_bmp_bytes) << f;
    const std::string name = std::string("/out/opengl_00-") + f + "_rgba.bmp";
    EXPECT_TRUE(file_bytes(first.folder + name) == file_bytes(second.folder + name)) << f << " differs between runs";
  }
  EXPECT_FALSE(fs::exists(out + "0003_rgba.bmp"));
  const std::string frames = shell(
      "timeout 60 ffprobe -v error -count_frames -select_streams v:0 -show_entries "
      "stream=nb_read_frames,width,height,r_frame_rate -of csv=p=0 " +
      first.folder + "/out/v.mp4");
  EXPECT_EQ(frames, "800,600,25/1,30\n");
}

// The number of frames ffprobe decodes from a video, with a newline ("" when unreadable).
std::string video_frames(const std::string& file)
{
  return shell(
      "timeout 60 ffprobe -v error -count_frames -select_streams v:0 -show_entries "
      "stream=nb_read_frames -of csv=p=0 " +
      file);
}

// Waits, bounded, until text() holds what.
bool wait_text(const std::function<std::string()>& text, const std::string& what, double timeout_s)
{
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
  while (text().find(what) == std::string::npos) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// A batch run that cannot make its K frames says how many it made and why, keeps
// them in the video and exits with code 3 instead of 0.
TEST(Batch, APointerLeavingBeforeKFramesEndsWithALineTheFramesMadeAndCode3)
{
  program_run run({"--play", "3", "--step", "0.04", "--frames", "3000", "--video", "out/v.mp4"});
  const std::string w = run.window();
  ASSERT_FALSE(w.empty()) << run.output();
  run.xdotool("mousemove --window " + w + " 400 300");
  std::this_thread::sleep_for(std::chrono::seconds(1));
  run.xdotool("mousemove 1200 1000");
  ASSERT_TRUE(run.wait_exit(60));
  EXPECT_EQ(run.exit_status, 3);
  const std::string says = "error --frames 3000: the run ended after ", errors = run.errors();
  ASSERT_EQ(errors.rfind(says, 0), 0u) << errors;
  const int made = std::atoi(errors.c_str() + says.size());
  EXPECT_GT(made, 0);
  EXPECT_LT(made, 3000);
  EXPECT_NE(errors.find(" frames: the pointer left the window\n"), std::string::npos) << errors;
  EXPECT_EQ(video_frames(run.folder + "/out/v.mp4"), std::to_string(made) + "\n");
}

// A terminal's Ctrl-C goes to every process of its foreground group: the program
// leads a group here and ffmpeg must not be in it. One Ctrl-C, a second one while
// ffmpeg finishes the file, and SIGTERM each end the run with its line, and the
// video holds exactly the frames that line counts.
TEST(Batch, SignalsToTheProgramsGroupLeaveEveryCountedFrameInTheVideo)
{
  const std::vector<std::vector<int>> cases = {{SIGINT}, {SIGINT, SIGINT}, {SIGTERM}};
  for (const std::vector<int>& signals : cases) {
    const std::string name = signals.size() == 2 ? "two SIGINTs" : signals[0] == SIGINT ? "SIGINT" : "SIGTERM";
    // Mid-run: once the capture of frame 10 is written.
    program_run run({"--play", "3", "--step", "0.04", "--frames", "3000", "--capture", "10", "--video", "out/v.mp4"});
    ASSERT_TRUE(wait_file(run.folder + "/out/opengl_00-0000_rgba.bmp", capture_bmp_bytes, 60))
        << name << ": " << run.errors();
    const std::string says = "error --frames 3000: the run ended after ";
    for (int sig : signals) {
      kill(-run.pid, sig);  // the second one arrives while ffmpeg finishes the file
      ASSERT_TRUE(wait_text([&run] { return run.errors(); }, says, 60)) << name;
    }
    ASSERT_TRUE(run.wait_exit(60)) << name;
    EXPECT_EQ(run.exit_status, 3) << name;
    const std::string errors = run.errors();
    ASSERT_EQ(errors.rfind(says, 0), 0u) << name << ": " << errors;
    EXPECT_EQ(errors.find("error --video"), std::string::npos) << name << ": " << errors;
    const int made = std::atoi(errors.c_str() + says.size());
    EXPECT_GT(made, 0) << name;
    EXPECT_EQ(video_frames(run.folder + "/out/v.mp4"), std::to_string(made) + "\n") << name;
  }
}

// An ffmpeg that fails, or that does not end once its input is closed, gets a line
// saying what is left of the file, and the program still ends (code 1) within the
// 10 s it gives ffmpeg plus the 5 s after asking it to stop.
TEST(Batch, AnFfmpegThatFailsOrHangsIsReportedWithWhatIsLeftOfTheFile)
{
  const struct {
    std::string script, says;
  } cases[] = {
      {"cat >/dev/null; exit 1", "ffmpeg did not finish out/v.mp4 (it failed); no out/v.mp4 is left\n"},
      {"trap 'kill $!; echo partial > \"$last\"; exit 1' TERM; cat >/dev/null; sleep 100 & wait",
       "ffmpeg did not finish out/v.mp4 within 10 s and was stopped; out/v.mp4 is left with 8 bytes and may not "
       "play\n"},
  };
  for (const auto& c : cases) {
    const std::string path = getenv("PATH");
    program_run run({"--play", "3", "--step", "0.04", "--frames", "5", "--video", "out/v.mp4"},
                    [&](const std::string& folder) {
                      fs::create_directory(folder + "/bin");
                      std::ofstream(folder + "/bin/ffmpeg") << "#!/bin/sh\nfor last; do :; done\n" << c.script << "\n";
                      fs::permissions(folder + "/bin/ffmpeg", fs::perms::owner_all);
                      setenv("PATH", (folder + "/bin:" + path).c_str(), 1);
                    });
    setenv("PATH", path.c_str(), 1);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(run.wait_exit(60)) << c.says;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(40)) << c.says;
    EXPECT_EQ(run.exit_status, 1) << c.says;
    EXPECT_NE(run.errors().find("error --video: " + c.says), std::string::npos) << run.errors();
  }
}

TEST(Batch, BadOptionsGiveTheUsageAndCode2AndNoFfmpegGivesCode1BeforeAnyWindow)
{
  for (std::vector<std::string> args : {std::vector<std::string>{"--play", "7"},
                                        {"--step", "-1"},
                                        {"--frames", "ten"},
                                        {"--capture"},
                                        {"--lighting", "dim"},
                                        {"--video", "v.mp4"}}) {
    program_run run(args);
    ASSERT_TRUE(run.wait_exit(20)) << args[0];
    EXPECT_EQ(run.exit_status, 2) << args[0];
    EXPECT_NE(run.errors().find("usage: vyre3d"), std::string::npos) << args[0] << ": " << run.errors();
  }
  const std::string path = getenv("PATH");
  setenv("PATH", "/nonexistent", 1);  // the program starts (execv) without ffmpeg in reach
  program_run run({"--step", "0.04", "--video", "v.mp4"});
  setenv("PATH", path.c_str(), 1);
  EXPECT_EQ(run.window(3), "") << "no window";
  ASSERT_TRUE(run.wait_exit(20));
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_NE(run.errors().find("error --video: cannot start ffmpeg"), std::string::npos) << run.errors();
}

}  // namespace
