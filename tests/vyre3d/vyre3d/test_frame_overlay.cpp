// The overlay, the pick and one eye's frame bookkeeping rendered by Mesa under
// Xvfb in the program's own window and checked by reading pixels back; and a real
// pointer click (xdotool) in a slider row of that window.
#include <gtest/gtest.h>
#include <unistd.h>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include "harness.h"
#include "vyre3d/frame.h"

namespace fs = std::filesystem;

namespace {

auto* const gl_env = ::testing::AddGlobalTestEnvironment(new GlWindowEnvironment);

// A font of 11 x 7 glyphs up to 'b' in which 'a' is solid red and 'b' solid green.
tensor<unsigned char> test_font()
{
  tensor<unsigned char> f(4, 4, 11, 7, 'b' - 32 + 1);
  for (int g : {'a' - 32, 'b' - 32})
    for (int p = 0; p < 11 * 7; ++p) {
      unsigned char* px = f.data + 4 * (g * 77 + p);
      px[g == 'a' - 32 ? 0 : 1] = 255;
      px[3] = 255;
    }
  return f;
}

class Overlay : public ::testing::Test {
protected:
  void SetUp() override
  {
    opengl_reshape(800, 600);
    glClearColor(0, 0, 0, 0);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    bulletin_lines.clear();
    label_points.clear();
    label_texts.clear();
    slider_names = tensor<tensor<char>>();
    pointer = opengl_vector<int>({400, 300});
  }
  void draw(const tensor<unsigned char>& font, int held = 0)
  {
    opengl_overlay(font, tensor<double>::eye(4), pointer, held);
  }
  static bool blank(int x, int y)
  {
    rgba c = read_color(x, y);
    return !c.r && !c.g && !c.b;
  }
  tensor<int> pointer;
};

TEST_F(Overlay, LinesStackDownFromTheTopLeftAndNewlinesStartRows)
{
  bulletin_lines.append(tensor<char>::str("a\nb"));
  bulletin_lines.append(tensor<char>::str("c a"));  // no glyph for c, a space: both only advance
  draw(test_font());
  EXPECT_EQ(read_color(0, 589).r, 255) << "a at (0, H0 - H)";
  EXPECT_EQ(read_color(6, 599).r, 255);
  EXPECT_EQ(read_color(3, 583).g, 255) << "b at (0, H0 - 2H)";
  EXPECT_TRUE(blank(10, 594)) << "the newline draws nothing";
  EXPECT_TRUE(blank(3, 572)) << "c has no glyph";
  EXPECT_EQ(read_color(14, 567).r, 255) << "a after two advances, one row down";
  EXPECT_TRUE(blank(3, 560));
}

TEST_F(Overlay, WithoutAFontNoTextIsDrawnAndTheStateIsRestored)
{
  double projection[16], after[16];
  glGetDoublev(GL_PROJECTION_MATRIX, projection);
  bulletin_lines.append(tensor<char>::str("aaaa"));
  label_points.append(opengl_vector<double>({0, 0, -5, 1}));
  label_texts.append(tensor<char>::str("a"));
  glEnable(GL_LIGHTING);
  glDisable(GL_BLEND);
  glBlendFunc(GL_ONE, GL_ZERO);
  glMatrixMode(GL_PROJECTION);
  draw(tensor<unsigned char>());
  EXPECT_TRUE(blank(3, 594));
  EXPECT_TRUE(blank(399, 307));
  EXPECT_TRUE(glIsEnabled(GL_LIGHTING));
  EXPECT_TRUE(glIsEnabled(GL_DEPTH_TEST));
  EXPECT_FALSE(glIsEnabled(GL_BLEND));
  GLint mode, src;
  glGetIntegerv(GL_MATRIX_MODE, &mode);
  glGetIntegerv(GL_BLEND_SRC, &src);
  EXPECT_EQ(mode, GL_MODELVIEW);
  EXPECT_EQ(src, GL_ONE);
  glGetDoublev(GL_PROJECTION_MATRIX, after);
  for (int k = 0; k < 16; ++k) EXPECT_EQ(after[k], projection[k]) << k;
}

TEST_F(Overlay, LabelsInFrontAreCentredOnTheirPointAndLabelsBehindAreNotDrawn)
{
  label_points.append(opengl_vector<double>({0, 0, 5, 1}));  // behind the camera (it looks down -z)
  label_texts.append(tensor<char>::str("b"));
  draw(test_font());
  for (int x : {396, 399, 402}) EXPECT_TRUE(blank(x, 307)) << x;
  label_points.append(opengl_vector<double>({0, 0, -5, 1}));
  label_texts.append(tensor<char>::str("a"));
  draw(test_font());
  // x = (800 - 7) / 2 = 396, y = 300 + 2
  EXPECT_EQ(read_color(396, 302).r, 255);
  EXPECT_EQ(read_color(402, 312).r, 255);
  EXPECT_TRUE(blank(395, 307));
  EXPECT_TRUE(blank(399, 301));
  EXPECT_EQ(read_color(399, 307).g, 0) << "the label behind stays undrawn";
}

TEST_F(Overlay, SliderBarsFadeInAndTheRowUnderThePointerIsBrighter)
{
  slider_values.assign(tensor<char>::str("bar 0"), 1.0);
  slider_values.assign(tensor<char>::str("bar 1"), 1.0);
  slider_values.assign(tensor<char>::str("bar 2"), 0.5);
  slider_names = tensor<tensor<char>>(1, 3);
  for (int n = 0; n < 3; ++n) slider_names.data[n] = tensor<char>::str(("bar " + std::to_string(n)).c_str());
  pointer = opengl_vector<int>({400, 15});  // row 1: pixels 11 to 21 from the top
  draw(tensor<unsigned char>());
  // Row 0 (palette red) ends at alpha 0.3; row 1 (palette green) at 0.8 under the
  // pointer, with the row highlight (alpha 0.1) blended over it.
  EXPECT_NEAR(read_color(798, 595).r, 0.3 * 255, 3);
  EXPECT_NEAR(read_color(798, 584).g, (0.1 + 0.9 * 0.8) * 255, 3);
  EXPECT_NEAR(read_color(2, 584).g, (0.1 + 0.9 * 0.3) * 255, 3);
  EXPECT_TRUE(blank(500, 573)) << "bar 2 ends at half the width";
  EXPECT_FALSE(blank(398, 573));
  EXPECT_TRUE(blank(400, 589)) << "the one-pixel gap between bars";
  glClear(GL_COLOR_BUFFER_BIT);
  draw(tensor<unsigned char>(), 1);
  EXPECT_NEAR(read_color(798, 584).g, 255, 3) << "alpha 1 while the left button is held";
}

TEST(Palette, RowsBeyondThePaletteWrapAround)
{
  EXPECT_EQ(opengl_row_color(24), opengl_row_color(0));
  EXPECT_EQ(opengl_row_color(1)[1], 1.0);
  EXPECT_EQ(opengl_row_color(49), opengl_row_color(1));
}

TEST_F(Overlay, PickFindsTheWorldPointUnderThePointer)
{
  view_matrix = tensor<double>::eye(4);
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  glDisable(GL_LIGHTING);
  glDisable(GL_CULL_FACE);
  glBegin(GL_QUADS);
  glVertex3d(-10, -10, -5), glVertex3d(10, -10, -5), glVertex3d(10, 10, -5), glVertex3d(-10, 10, -5);
  glEnd();
  glEnable(GL_CULL_FACE);
  glEnable(GL_LIGHTING);
  mouse_position.data[0] = 600, mouse_position.data[1] = 100;
  opengl_pick();
  ASSERT_EQ(picked_point.numel, 4);
  EXPECT_NEAR(picked_point.data[2], -5, 0.01);
  EXPECT_GT(picked_point.data[0], 0.1) << "right of the centre";
  EXPECT_GT(picked_point.data[1], 0.1) << "above the centre (window y grows down)";
  EXPECT_EQ(picked_point.data[3], 1);
  opengl_settings.pick_display = 1;
  opengl_pick();
  opengl_settings.pick_display = 0;
  ASSERT_EQ(bulletin_lines.count, 1);
  EXPECT_NE(std::string(bulletin_lines.first()->value.data, bulletin_lines.first()->value.numel).find("-5.0000"),
            std::string::npos);
  EXPECT_FALSE(blank(600, 499)) << "the picked point is drawn";
}

// One eye: markers of the lights, the one-shot tables cleared, the menu queued
// for the next overlay and a requested capture written into out/.
TEST_F(Overlay, DrawSceneEndsTheFrameAndCaptures)
{
  char tmpl[] = "/tmp/vyre3d_frame.XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  const fs::path before = fs::current_path();
  fs::current_path(dir);
  view_matrix = tensor<double>::eye(4);
  static opengl_light marker;  // lights live for the run
  marker.pose = translation(0, 0, -5);
  marker.diffuse = color_red;
  key_held.data['g'] = 1;
  key_pressed.data['p'] = 1;
  key_pressed.data['x'] = 1;
  mouse_pressed.data[1] = 1;
  mouse_delta.data[0] = 0.5;
  bulletin_lines.append(tensor<char>::str("old"));
  const int opengl_runs = timer_start("opengl")->count;
  opengl_draw_scene();
  EXPECT_EQ(key_pressed.sum(), 0);
  EXPECT_EQ(mouse_pressed.sum(), 0);
  EXPECT_EQ(mouse_delta.data[0], 0);
  ASSERT_EQ(bulletin_lines.count, 1);
  EXPECT_EQ(bulletin_lines.first()->value.data[0], 'o') << "only the menu text remains";
  EXPECT_EQ(timer_start("opengl")->count, opengl_runs + 1);
  rgba c = read_color(400, 300);
  EXPECT_GT(c.r, 200) << "the light's marker sphere";
  EXPECT_LT(c.g, 50);
  EXPECT_EQ(opengl_settings.record_frame, 1);
  EXPECT_EQ(opengl_settings.print_screen, 0);
  EXPECT_EQ(fs::file_size("out/opengl_00-0000_rgba.bmp"), 54u + 4 * 800 * 600);
  EXPECT_EQ(fs::file_size("out/opengl_00-0000_pnt3.mat"), 16u + 8 * 4 * 800 * 600);
  const tensor<unsigned char> image = bitmap_read("out/opengl_00-0000_rgba.bmp");
  ASSERT_EQ(image.numel, 4 * 800 * 600);
  EXPECT_GT(image.data[4 * (300 * 800 + 400)], 200) << "the capture holds the marker";
  const tensor<double> points("out/opengl_00-0000_pnt3.mat");
  ASSERT_EQ(points.numel, 4 * 800 * 600);
  EXPECT_NEAR(points.data[4 * (300 * 800 + 400) + 2], -4.95, 0.02) << "the sphere's front, radius 0.05";
  key_held.data['g'] = 0;
  marker.pose = translation(0, 0, 1000);  // out of the way of later frames
  fs::current_path(before);
  fs::remove_all(dir);
}

// The program's window driven by a real pointer: a click in the second bulletin
// row sets the second slider to the pointer's fraction of the window width.
TEST(Pointer, AClickInASliderRowSetsThatSlider)
{
  std::string root = shell("env -u LD_PRELOAD xdotool search --maxdepth 0 --name '' 2>/dev/null");
  while (!root.empty() && root.back() == '\n') root.pop_back();
  std::istringstream ids(shell("env -u LD_PRELOAD xdotool search --maxdepth 1 --onlyvisible --name '' 2>/dev/null"));
  std::string window;
  for (std::string id; ids >> id;)
    if (id != root) window = id;
  ASSERT_FALSE(window.empty());
  opengl_settings.bulletin = 1;
  slider_values.assign(tensor<char>::str("click 0"), 0.0);
  slider_values.assign(tensor<char>::str("click 1"), 0.0);
  key_held.data['g'] = 1;  // the pointer may leave the window meanwhile
  glutPostRedisplay();
  pump_events(200);  // a frame lists the sliders
  int row = -1;
  for (int n = 0; n < slider_names.numel; ++n)
    if (slider_names.data[n] == tensor<char>::str("click 1")) row = n;
  ASSERT_GE(row, 0);
  shell("env -u LD_PRELOAD xdotool mousemove --window " + window + " 600 " + std::to_string(11 * row + 5) + " click 1");
  double value = 0;
  for (int k = 0; k < 50 && value == 0; ++k) {
    pump_events(20);
    slider_values.lookup(tensor<char>::str("click 1"), value);
  }
  EXPECT_DOUBLE_EQ(value, 0.75);
  slider_values.lookup(tensor<char>::str("click 0"), value);
  EXPECT_EQ(value, 0);
  shell("env -u LD_PRELOAD xdotool mousemove --window " + window + " 400 580");
  pump_events(100);
  key_held.data['g'] = 0;
}

}  // namespace
