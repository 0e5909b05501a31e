// The frame loop without a display: the GLUT input callbacks called directly
// (input tables, slider rows, quitting), the g menu toggles, the recording
// counters and the capture's unprojection and files.
#include <gtest/gtest.h>
#include <unistd.h>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include "vyre3d/frame.h"

namespace fs = std::filesystem;

namespace {

class Input : public ::testing::Test {
protected:
  void SetUp() override
  {
    for (tensor<int>* t : {&key_held, &key_pressed, &mouse_held, &mouse_pressed, &mouse_position}) t->fill(0);
    mouse_delta.fill(0);
    window_size.data[0] = 800, window_size.data[1] = 600;
    opengl_settings = opengl_settings_record();
    // Two sliders, rows 0 ("a speed", pixels 0-10) and 1 ("b size", pixels 11-21).
    slider_values.assign(tensor<char>::str("a speed"), 0.25);
    slider_values.assign(tensor<char>::str("b size"), 0.75);
    slider_names = tensor<tensor<char>>(1, 2);
    slider_names.data[0] = tensor<char>::str("a speed");
    slider_names.data[1] = tensor<char>::str("b size");
    bulletin_lines.clear();
  }
  static double slider(const char* name)
  {
    double v = -99;
    slider_values.lookup(tensor<char>::str(name), v);
    return v;
  }
};

TEST_F(Input, KeysFillHeldAndPressedAsciiAndSpecial)
{
  opengl_keyboard('w', 3, 4);
  EXPECT_EQ(key_held.data['w'], 1);
  EXPECT_EQ(key_pressed.data['w'], 1);
  opengl_keyboard_up('w', 3, 4);
  EXPECT_EQ(key_held.data['w'], 0);
  EXPECT_EQ(key_pressed.data['w'], 1) << "a press lasts until the frame clears it";
  opengl_keyboard(255, 0, 0);
  EXPECT_EQ(key_held.data[255], 1);

  opengl_special(GLUT_KEY_LEFT, 0, 0);
  opengl_special(GLUT_KEY_INSERT, 0, 0);
  EXPECT_EQ(key_held.data[356], 1);
  EXPECT_EQ(key_pressed.data[356], 1);
  EXPECT_EQ(key_held.data[364], 1);
  opengl_special_up(GLUT_KEY_LEFT, 0, 0);
  EXPECT_EQ(key_held.data[356], 0);
  EXPECT_EQ(key_pressed.data[356], 1);
  // Codes that do not fit the table are dropped (ASan would see a stray write).
  opengl_special(256, 0, 0);
  opengl_special(-1, 0, 0);
  opengl_special_up(1000, 0, 0);
  EXPECT_EQ(key_held.sum(), 2);  // 255 and INSERT
}

TEST_F(Input, EscapeEndsTheProgramOnReleaseOnly)
{
  opengl_keyboard(27, 0, 0);
  EXPECT_EQ(key_held.data[27], 1);
  EXPECT_EXIT(opengl_keyboard_up(27, 0, 0), ::testing::ExitedWithCode(0), "");
}

TEST_F(Input, LeavingTheWindowEndsTheProgramUnlessGIsHeld)
{
  opengl_entry(GLUT_ENTERED);
  key_held.data['g'] = 1;
  opengl_entry(GLUT_LEFT);  // still running
  key_held.data['g'] = 0;
  EXPECT_EXIT(opengl_entry(GLUT_LEFT), ::testing::ExitedWithCode(0), "");
}

TEST_F(Input, MouseButtonsFillTheirTablesAndWheelButtonsOnlyMoveThePointer)
{
  opengl_settings.bulletin = 0;
  opengl_mouse(GLUT_LEFT_BUTTON, GLUT_DOWN, 10, 500);
  EXPECT_EQ(mouse_held.data[0], 1);
  EXPECT_EQ(mouse_pressed.data[0], 1);
  EXPECT_EQ(mouse_position.data[0], 10);
  EXPECT_EQ(mouse_position.data[1], 500);
  opengl_mouse(GLUT_LEFT_BUTTON, GLUT_UP, 12, 502);
  EXPECT_EQ(mouse_held.data[0], 0);
  EXPECT_EQ(mouse_pressed.data[0], 0) << "set to the state of the last event";
  opengl_mouse(3, GLUT_DOWN, 20, 30);  // wheel up: the fourth entry
  EXPECT_EQ(mouse_held.data[3], 1);
  opengl_mouse(4, GLUT_DOWN, 40, 50);  // wheel down: beyond the table
  opengl_mouse(-1, GLUT_DOWN, 41, 51);
  EXPECT_EQ(mouse_held.sum(), 1);
  EXPECT_EQ(mouse_position.data[0], 41);
  EXPECT_EQ(mouse_position.data[1], 51);
  opengl_passive_motion(7, 8);
  EXPECT_EQ(mouse_position.data[0], 7);
  EXPECT_EQ(mouse_position.data[1], 8);
}

TEST_F(Input, MotionGivesTheLastDeltaAsWindowFractions)
{
  opengl_passive_motion(400, 300);
  opengl_motion(480, 240);
  EXPECT_DOUBLE_EQ(mouse_delta.data[0], 0.1);
  EXPECT_DOUBLE_EQ(mouse_delta.data[1], 0.1) << "up is positive";
  opengl_motion(440, 300);  // events are not summed
  EXPECT_DOUBLE_EQ(mouse_delta.data[0], -0.05);
  EXPECT_DOUBLE_EQ(mouse_delta.data[1], -0.1);
  EXPECT_EQ(mouse_delta.data[2], 0);
  EXPECT_EQ(mouse_position.data[0], 440);
}

TEST_F(Input, AClickInASliderRowSetsThatSlider)
{
  mouse_delta.data[0] = 0.5;
  opengl_mouse(GLUT_LEFT_BUTTON, GLUT_DOWN, 200, 11);  // first pixel of row 1
  EXPECT_DOUBLE_EQ(slider("b size"), 0.25);
  EXPECT_DOUBLE_EQ(slider("a speed"), 0.25);
  EXPECT_EQ(mouse_delta.data[0], 0) << "a slider click does not turn the avatar";
  opengl_mouse(GLUT_RIGHT_BUTTON, GLUT_DOWN, 600, 10);  // any button, last pixel of row 0
  EXPECT_DOUBLE_EQ(slider("a speed"), 0.75);
  // Releases, rows past the last slider, pixels above the window and a hidden
  // bulletin leave the sliders alone.
  opengl_mouse(GLUT_LEFT_BUTTON, GLUT_UP, 100, 5);
  opengl_mouse(GLUT_LEFT_BUTTON, GLUT_DOWN, 100, 22);
  opengl_mouse(GLUT_LEFT_BUTTON, GLUT_DOWN, 100, -5);
  opengl_settings.bulletin = 0;
  opengl_mouse(GLUT_LEFT_BUTTON, GLUT_DOWN, 100, 5);
  EXPECT_DOUBLE_EQ(slider("a speed"), 0.75);
  EXPECT_DOUBLE_EQ(slider("b size"), 0.25);
}

TEST_F(Input, DraggingInASliderRowSetsItEvenPastTheWindowEdge)
{
  opengl_passive_motion(400, 300);
  opengl_motion(-80, 3);
  EXPECT_DOUBLE_EQ(slider("a speed"), -0.1);
  EXPECT_EQ(mouse_delta.data[0], 0);
  EXPECT_EQ(mouse_delta.data[1], 0);
  opengl_motion(1000, 15);
  EXPECT_DOUBLE_EQ(slider("b size"), 1.25);
  opengl_motion(100, 40);  // below the rows: an ordinary drag
  EXPECT_DOUBLE_EQ(slider("b size"), 1.25);
  EXPECT_DOUBLE_EQ(mouse_delta.data[0], -1.125);
}

TEST_F(Input, TheMenuShowsTheSettingsThenAppliesThePressedToggles)
{
  for (char k : {'b', 'c', 'l', 'm', 'p', 'r', 'w'}) key_pressed.data[(int)k] = 1;
  opengl_menu();
  ASSERT_EQ(bulletin_lines.count, 1);
  const tensor<char>& text = bulletin_lines.first()->value;
  EXPECT_EQ(std::string(text.data, text.numel),
            "opengl\n (b)ulletin =1\n (c)learcolor white =0\n (f)loor grid =0\n (l)ighting effects =1\n"
            " (p)rint screen\n (r)ecording\n (s)hader =1\n (w)ireframe =1");
  const opengl_settings_record& s = opengl_settings;
  EXPECT_EQ(s.bulletin, 0);
  EXPECT_EQ(s.clearcolor_white, 1);
  EXPECT_EQ(s.floor_grid, 0);
  EXPECT_EQ(s.lighting_effects, 0);
  EXPECT_EQ(s.pick_display, 1);
  EXPECT_EQ(s.print_screen, 1);
  EXPECT_EQ(s.recording, 1);
  EXPECT_EQ(s.shader, 1);
  EXPECT_EQ(s.wireframe, 0);
  opengl_menu();  // a second press toggles back; requests stay requested
  EXPECT_EQ(s.bulletin, 1);
  EXPECT_EQ(s.print_screen, 1);
  EXPECT_EQ(s.recording, 1);
}

TEST(Capture, PacingCapturesEveryNthCallAndEndsTheSequence)
{
  opengl_settings_record s;
  s.record_frames = 3;
  s.record_every = 2;
  EXPECT_FALSE(opengl_capture_due(s));
  s.print_screen = 1;
  EXPECT_TRUE(opengl_capture_due(s)) << "a single request";
  s.print_screen = 0;
  s.recording = 1;
  int captured = 0;
  for (int call = 0; call < 5; ++call)
    if (opengl_capture_due(s)) {
      EXPECT_EQ(call % 2, 0) << call;
      captured++, s.record_frame++, s.print_screen = 0;
    }
  EXPECT_EQ(captured, 3);
  EXPECT_TRUE(s.recording) << "ends on the call after the last capture";
  opengl_capture_due(s);
  EXPECT_EQ(s.recording, 0);
  EXPECT_EQ(s.record_sequence, 1);
  EXPECT_EQ(s.record_frame, 0);
  EXPECT_EQ(s.record_tick, 0);
  // While recording, the pacing replaces a print request; record_every 0 captures every call.
  s.recording = 1, s.record_tick = 1, s.print_screen = 1;
  EXPECT_FALSE(opengl_capture_due(s));
  s.record_every = 0;
  EXPECT_TRUE(opengl_capture_due(s));
  EXPECT_TRUE(opengl_capture_due(s));
}

// A camera at (1, 2, 10) looking down -z, the program's perspective at 800 x 600.
tensor<double> camera_projection_view(tensor<double>& view)
{
  const double f = 1 / std::tan(13.0 * M_PI / 180), n = 0.5, far = 1e40;
  tensor<double> p(2, 4, 4);
  p.data[0] = f / (800.0 / 600.0);
  p.data[5] = f;
  p.data[10] = (far + n) / (n - far);
  p.data[11] = -1;
  p.data[14] = 2 * far * n / (n - far);
  projection_matrix = p;
  view = translation(-1, -2, -10);
  return p * view;
}

TEST(Capture, PointsLieWhereTheDepthBufferSawThemAndEmptyPixelsOnTheFarPlane)
{
  tensor<double> view;
  const tensor<double> pv = camera_projection_view(view);
  const tensor<double> inverse = pv.solve(tensor<double>::eye(4));
  // A world point in view, projected to its pixel and window depth.
  const tensor<double> world = opengl_vector<double>({1.5, 2.25, 4, 1});
  tensor<double> clip = pv * world;
  const double nx = clip.data[0] / clip.data[3], ny = clip.data[1] / clip.data[3], nz = clip.data[2] / clip.data[3];
  const int width = 800, height = 600, px = int(std::lround((nx + 1) * width / 2)),
            py = int(std::lround((ny + 1) * height / 2));
  tensor<float> depth(2, width, height);
  depth.fill(1);
  depth.data[py * width + px] = float((nz + 1) / 2);
  tensor<double> pts(1, 3);  // any shape: it is resized to the window
  opengl_capture_points(depth, width, height, inverse, pts);
  ASSERT_EQ(pts.ndims, 3);
  EXPECT_EQ(pts.size[0], 4);
  EXPECT_EQ(pts.size[1], width);
  EXPECT_EQ(pts.size[2], height);
  const double* p = pts.data + 4 * (py * width + px);
  EXPECT_NEAR(p[2], 4, 0.05);  // float depth limits the precision
  EXPECT_NEAR(p[0], 1.5, 0.01);
  EXPECT_NEAR(p[1], 2.25, 0.01);
  EXPECT_EQ(p[3], 1);
  // Every empty pixel is a finite point about 1e40 away along its ray.
  for (int i : {0, width - 1, (height - 1) * width, height * width - 1, 300 * width + 400}) {
    const double* q = pts.data + 4 * i;
    for (int r = 0; r < 4; ++r) ASSERT_TRUE(std::isfinite(q[r])) << i;
    EXPECT_EQ(q[3], 1);
    EXPECT_LT(q[2], -1e39) << "in front of the camera, which looks down -z";
    EXPECT_GT(q[2], -1.2e40);
  }
}

TEST(Capture, WritesBothFilesAndMakesTheFolder)
{
  char tmpl[] = "/tmp/vyre3d_capture.XXXXXX";
  const std::string dir = std::string(mkdtemp(tmpl)) + "/out";
  tensor<unsigned char> rgba(3, 4, 5, 3);
  rgba.fill(7);
  tensor<double> pts(3, 4, 5, 3);
  pts.fill(0.5);
  opengl_capture_write(dir.c_str(), 2, 17, rgba, pts);
  const std::string bmp = dir + "/opengl_02-0017_rgba.bmp", mat = dir + "/opengl_02-0017_pnt3.mat";
  ASSERT_TRUE(fs::exists(bmp));
  EXPECT_EQ(fs::file_size(bmp), 54u + 4 * 5 * 3);
  const tensor<double> back(mat.c_str());
  ASSERT_EQ(back.numel, pts.numel);
  EXPECT_EQ(back.data[59], 0.5);
  const tensor<unsigned char> img = bitmap_read(bmp.c_str());
  ASSERT_EQ(img.numel, rgba.numel);
  EXPECT_EQ(img.data[0], 7);
  fs::remove_all(fs::path(dir).parent_path());
}

TEST(Capture, AFolderThatCannotBeMadeIsReportedAndTheFrameGoesOn)
{
  testing::internal::CaptureStdout();
  tensor<unsigned char> rgba(3, 4, 2, 2);
  opengl_capture_write("/proc/vyre3d_no_such/out", 0, 0, rgba, tensor<double>(3, 4, 2, 2));
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("error opengl_capture: cannot create /proc/vyre3d_no_such/out"), std::string::npos) << out;
  EXPECT_NE(out.find("/proc/vyre3d_no_such/out/opengl_00-0000_rgba.bmp <- (error)"), std::string::npos) << out;
  EXPECT_NE(out.find("/proc/vyre3d_no_such/out/opengl_00-0000_pnt3.mat <- (error)"), std::string::npos) << out;
}

}  // namespace

namespace {

// The font the build writes: white glyphs on transparent, one distinct glyph per
// printable code, blank space, nothing in the outer columns (so letters never touch).
TEST(Font, AssetHoldsADistinctWhiteGlyphForEveryPrintableCode)
{
  const tensor<unsigned char> f(VY_GET_DIR "/tensor/white11x07.font");
  ASSERT_EQ(f.ndims, 4);
  EXPECT_EQ(f.size[0], 4);
  EXPECT_EQ(f.size[1], 11);
  EXPECT_EQ(f.size[2], 7);
  ASSERT_EQ(f.size[3], 95);
  const int glyph = 4 * 11 * 7;
  for (int g = 0; g < 95; ++g) {
    const unsigned char* p = f.data + g * glyph;
    int lit = 0;
    for (int k = 0; k < 77; ++k) {
      const unsigned char* px = p + 4 * k;
      ASSERT_TRUE((px[0] & px[1] & px[2] & px[3]) == 255 || (px[0] | px[1] | px[2] | px[3]) == 0) << g;
      if (px[3]) {
        lit++;
        EXPECT_TRUE(k % 7 != 0 && k % 7 != 6) << "code " << g + 32 << " touches the cell edge";
      }
    }
    EXPECT_EQ(lit > 0, g > 0) << "code " << g + 32;
    for (int o = 0; o < g; ++o) EXPECT_NE(std::memcmp(p, f.data + o * glyph, glyph), 0) << g + 32 << " " << o + 32;
  }
  // 'T' has its bar in the top row of the glyph (row 9 from the bottom) and 'g' its descender below the base.
  const unsigned char* t = f.data + ('T' - 32) * glyph;
  for (int x = 1; x <= 5; ++x) EXPECT_EQ(t[4 * (9 * 7 + x) + 3], 255) << x;
  const unsigned char* g = f.data + ('g' - 32) * glyph;
  int below = 0;
  for (int x = 0; x < 7; ++x) below += g[4 * (1 * 7 + x) + 3] == 255;
  EXPECT_GT(below, 0);
}

}  // namespace
