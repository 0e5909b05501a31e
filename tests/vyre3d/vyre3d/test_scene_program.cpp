// End to end: the real vyre3d under Xvfb plays curve 3. Captures (g+p) inside the
// first 0.3 s show the white flash, later ones the floor on black with the ball
// and its three coloured shadows; Tab ends playback and the floor and ball vanish.
// Bad data files are reported and the program runs on.
#include <gtest/gtest.h>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include "_util/format.h"
#include "_util/tensor.h"
#include "driver.h"

namespace fs = std::filesystem;

namespace {

auto* const xvfb_env = ::testing::AddGlobalTestEnvironment(new XvfbEnvironment);

// Pixel (x, y) of a capture, y counted from the top as on screen.
struct picture {
  tensor<unsigned char> image;
  const unsigned char* at(int x, int y) const { return image.data + 4 * ((599 - y) * 800 + x); }
};

// Pixels of the lower 500 rows where channel k is dark while the other two are
// bright: the floor in the shadow of the light of colour k alone.
int shadow_pixels(const picture& p, int k)
{
  int n = 0;
  for (int y = 100; y < 600; y++)
    for (int x = 0; x < 800; x++) {
      const unsigned char* c = p.at(x, y);
      n += c[k] < 100 && c[(k + 1) % 3] > 200 && c[(k + 2) % 3] > 200;
    }
  return n;
}

// Bright pixels (the lit floor) right of the overlay's text.
int bright_pixels(const picture& p)
{
  int n = 0;
  for (int y = 0; y < 600; y++)
    for (int x = 250; x < 800; x++) n += p.at(x, y)[0] + p.at(x, y)[1] + p.at(x, y)[2] > 450;
  return n;
}

// True when the ball's green marker point lies within r pixels of the centre.
bool marker_near_centre(const picture& p, int r)
{
  for (int y = 300 - r; y <= 300 + r; y++)
    for (int x = 400 - r; x <= 400 + r; x++) {
      const unsigned char* c = p.at(x, y);
      if (c[1] == 255 && c[0] == 0 && c[2] == 0) return true;
    }
  return false;
}

TEST(Scene, CurveThreePlaysWithFlashFloorBallShadowsAndTabStopsIt)
{
  program_run run({});
  std::string w = run.window();
  ASSERT_FALSE(w.empty()) << run.output();
  const std::string out = run.folder + "/out/opengl_00-";
  run.xdotool("mousemove --window " + w + " 790 590");
  // Back off (Down) until the floor's far edges and the background show around it, then brake.
  run.xdotool("keydown Down");
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  run.xdotool("keyup Down");
  run.xdotool("key End");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  run.xdotool("keydown g");  // g first, so that p alone follows the 3 quickly
  run.xdotool("key 3 p");
  ASSERT_TRUE(wait_file(out + "0000_rgba.bmp", capture_bmp_bytes)) << run.output();
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  run.xdotool("key p");
  ASSERT_TRUE(wait_file(out + "0001_rgba.bmp", capture_bmp_bytes)) << run.output();
  run.xdotool("key Tab");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  run.xdotool("key p");
  ASSERT_TRUE(wait_file(out + "0002_rgba.bmp", capture_bmp_bytes)) << run.output();
  run.xdotool("keyup g");
  run.xdotool("key Escape");
  ASSERT_TRUE(run.wait_exit(20));
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_NE(run.output().find("get/tensor/curve3.arr ->"), std::string::npos) << run.output();

  const picture flash{bitmap_read((out + "0000_rgba.bmp").c_str())};
  const picture lit{bitmap_read((out + "0001_rgba.bmp").c_str())};
  const picture stopped{bitmap_read((out + "0002_rgba.bmp").c_str())};
  ASSERT_EQ(flash.image.numel, 4 * 800 * 600);
  ASSERT_EQ(lit.image.numel, 4 * 800 * 600);
  ASSERT_EQ(stopped.image.numel, 4 * 800 * 600);

  // The bottom right corner lies beyond the floor: white in the flash, black after.
  for (int k = 0; k < 3; k++) {
    EXPECT_EQ(flash.at(795, 595)[k], 255) << k;
    EXPECT_EQ(lit.at(795, 595)[k], 0) << k;
  }
  EXPECT_GT(bright_pixels(lit), 20000) << "the lit floor";
  // Curve 3 starts straight below the camera and spirals out slowly.
  EXPECT_TRUE(marker_near_centre(flash, 3));
  EXPECT_TRUE(marker_near_centre(lit, 20));
  for (int k = 0; k < 3; k++) EXPECT_GT(shadow_pixels(lit, k), 8) << "the shadow of light colour " << k;

  // After Tab: neither floor nor ball (nor their shadows) remain.
  EXPECT_EQ(bright_pixels(stopped), 0);
  EXPECT_FALSE(marker_near_centre(stopped, 20));
}

// Waits until the program has printed text; false after timeout_s.
bool wait_output(const program_run& run, const std::string& text, int times = 1, double timeout_s = 20)
{
  auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
  for (;;) {
    const std::string out = run.output();
    int n = 0;
    for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) n++;
    if (n >= times) return true;
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// Each kind of bad data file gives its line and its fallback, never the end of the
// program: a NaN in a curve (on its key), a singular pose (at start and on a + l),
// a NaN vertex in the sphere, a font of the wrong shape.
TEST(Scene, BadDataFilesAreReportedAndTheProgramRunsOn)
{
  program_run run({}, [](const std::string& folder) {
    const std::string get = folder + "/get/";
    tensor<double> curve((get + "tensor/curve3.arr").c_str());
    curve.data[7] = NAN;
    curve.write((get + "tensor/curve3.arr").c_str());
    tensor<double>(2, 4, 4).write((get + "tensor/avatar.pos").c_str());
    tensor<float> sphere((get + "mesh/sphere_896_tnv.arr").c_str());
    sphere.data[40] = NAN;
    sphere.write((get + "mesh/sphere_896_tnv.arr").c_str());
    tensor<unsigned char>(4, 3, 11, 7, 95).write((get + "tensor/white11x07.font").c_str());
  });
  std::string w = run.window();
  ASSERT_FALSE(w.empty()) << run.output();
  const std::string pose = "error get/tensor/avatar.pos: its 3x3 part is singular or far from a rotation, pose kept\n";
  EXPECT_TRUE(wait_output(run, pose)) << run.output();
  EXPECT_TRUE(wait_output(run, "error mesh get/mesh/sphere_896_tnv: a vertex value is not a finite number"))
      << run.output();
  EXPECT_TRUE(wait_output(run,
                          "error get/tensor/white11x07.font: not a font of 4 x height x width x glyphs RGBA "
                          "bytes, no text\n"))
      << run.output();
  run.xdotool("mousemove --window " + w + " 400 300");
  run.xdotool("key 3");
  EXPECT_TRUE(wait_output(run,
                          "error get/tensor/curve3.arr: a value that is not a finite number below 1e6, not "
                          "played\n"))
      << run.output();
  run.xdotool("keydown a");
  run.xdotool("key l");
  run.xdotool("keyup a");
  EXPECT_TRUE(wait_output(run, pose, 2)) << run.output();
  run.end_with_escape(w);
}

// A batch run playing curve 3 with the lights on for each kind of damage to the
// ball's and the floor's files: the file's line, the lit frames drawn and captured
// without the refused mesh (the ball's shadow pass included), and exit code 0.
TEST(Scene, DamagedBallAndFloorFilesAreReportedAndCurveThreePlaysOn)
{
  using edit = std::function<void(const std::string& file)>;
  const edit missing = [](const std::string& f) { fs::remove(f); };
  const edit truncated = [](const std::string& f) { fs::resize_file(f, fs::file_size(f) / 2); };
  const edit random_bytes = [](const std::string& f) {
    tensor<unsigned char> bytes(1, 777);
    for (int k = 0; k < bytes.numel; k++) bytes.data[k] = (unsigned char)(k * 97 + 13);
    std::FILE* out = std::fopen(f.c_str(), "wb");
    std::fwrite(bytes.data, 1, bytes.numel, out);
    std::fclose(out);
  };
  auto vertex = [](int at, float value) {
    return [=](const std::string& f) {
      tensor<float> t(f.c_str());
      t.data[at] = value;
      t.write(f.c_str());
    };
  };
  auto index = [](int at, int value) {
    return [=](const std::string& f) {
      tensor<int> t(f.c_str());
      t.data[at] = value;
      t.write(f.c_str());
    };
  };
  auto floats = [](int stride) {
    return [=](const std::string& f) { tensor<float>(2, stride, 500).write(f.c_str()); };
  };
  const std::string ball = "get/mesh/sphere_896_tnv", floor = "get/mesh/plane_460_tnv";
  const struct {
    std::string file;
    edit damage;
    std::string says;
  } cases[] = {
      {ball + ".arr", missing, "error " + ball + ".arr: missing, not drawn"},
      {ball + ".arr", truncated, "error mesh " + ball + ": " + ball + ".arr is not a tensor file"},
      {ball + ".arr", vertex(40, NAN), "error mesh " + ball + ": a vertex value is not a finite number"},
      {ball + ".arr", floats(7), "error mesh " + ball + ": no vertex layout has 7 floats"},
      {ball + "_2.ind", missing, "error " + ball + "_2.ind: missing, not drawn"},
      {ball + "_2.ind", random_bytes, "error mesh " + ball + ": " + ball + "_2.ind is not a tensor file"},
      {ball + "_2.ind", index(4, -1), "error mesh " + ball + ": TRIA element 1 names vertex -1"},
      {ball + "_4.ind", random_bytes, "error mesh " + ball + ": " + ball + "_4.ind is not a tensor file"},
      {floor + ".arr", truncated, "error mesh " + floor + ": " + floor + ".arr is not a tensor file"},
      {floor + ".arr", floats(6), "error mesh " + floor + ": not 8 floats per vertex"},
      {floor + "_3.ind", missing, "error " + floor + "_3.ind: missing, not drawn"},
      {floor + "_3.ind", index(9, 264), "error mesh " + floor + ": QUAD element 2 names vertex 264"},
  };
  for (const auto& c : cases) {
    program_run run({"--play", "3", "--step", "0.04", "--frames", "30", "--capture", "30"},
                    [&c](const std::string& folder) { c.damage(folder + "/" + c.file); });
    ASSERT_TRUE(run.wait_exit(120)) << c.says;
    EXPECT_EQ(run.exit_status, 0) << c.says << "\n" << run.errors();
    EXPECT_NE(run.output().find(c.says), std::string::npos) << run.output();
    const picture last{bitmap_read((run.folder + "/out/opengl_00-0000_rgba.bmp").c_str())};
    ASSERT_EQ(last.image.numel, 4 * 800 * 600) << c.says;
    if (c.file.rfind(ball, 0) == 0) {
      EXPECT_GT(bright_pixels(last), 20000) << c.says << ": the lit floor stays";
    }
  }
}

}  // namespace
