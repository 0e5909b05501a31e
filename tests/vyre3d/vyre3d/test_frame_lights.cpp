// The shadow-casting lights of a real scene frame under Xvfb: outside the box
// around their shadow volumes they are added in one pass, inside it one by one.
// Where the box's edges cross the lit floor no shadow falls, so the floor must run
// on across them without a seam.
#include <gtest/gtest.h>
#include <unistd.h>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>
#include "harness.h"
#include "vyre3d/frame.h"
#include "vyre3d/scene.h"

namespace fs = std::filesystem;

namespace {

auto* const gl_env = ::testing::AddGlobalTestEnvironment(new GlWindowEnvironment);

// The scene at t seconds into curve 3, drawn as one frame.
void frame_at(double t)
{
  elapsed_time = timestamp((long long)(t * double(timer_frequency)));
  physics_step = 0.01;
  scene_step();
  opengl_draw_scene();
}

// The box around every light's shadow rectangle.
std::vector<int> shadow_box()
{
  int lo[2] = {800, 600}, hi[2] = {0, 0};
  const tensor<opengl_light*> lights = light_registry.value_list();
  for (int k = 0; k < lights.numel; ++k) {
    int r[4];
    scene_shadow_scissor(lights.data[k], r);
    if (r[2] <= 0 || r[3] <= 0) continue;
    for (int d = 0; d < 2; ++d) lo[d] = std::min(lo[d], r[d]), hi[d] = std::max(hi[d], r[d] + r[2 + d]);
  }
  return {lo[0], lo[1], hi[0], hi[1]};
}

}  // namespace

TEST(ShadowLights, TheLitFloorRunsOnWithoutASeamAcrossTheBoxAroundTheShadows)
{
  char tmpl[] = "/tmp/vyre3d_lights.XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  fs::create_directory_symlink(VY_GET_DIR, dir + "/get");
  const fs::path before = fs::current_path();
  fs::current_path(dir);
  scene_assemble();
  opengl_reshape(800, 600);
  key_pressed.data['3'] = 1;
  frame_at(0);
  int boxes_inside = 0;
  for (double t : {20.0, 41.0, 64.0, 90.0, 111.0}) {
    frame_at(t);
    const std::vector<int> box = shadow_box();  // x0, y0, x1, y1: columns x0..x1-1, rows y0..y1-1
    if (box[0] < 2 || box[1] < 2 || box[2] > 798 || box[3] > 598) continue;
    ++boxes_inside;
    std::vector<unsigned char> px(4 * 800 * 600);
    glReadBuffer(GL_BACK);
    glReadPixels(0, 0, 800, 600, GL_RGBA, GL_UNSIGNED_BYTE, px.data());
    // The largest channel difference between a pixel just inside an edge and its
    // neighbour just outside; a light missing or added twice on one side jumps by
    // about a hundred.
    int seam = 0;
    auto across = [&](int x, int y, int dx, int dy) {
      for (int c = 0; c < 3; ++c)
        seam = std::max(seam, std::abs(px[4 * (y * 800 + x) + c] - px[4 * ((y + dy) * 800 + x + dx) + c]));
    };
    for (int x = box[0]; x < box[2]; ++x) across(x, box[1], 0, -1), across(x, box[3] - 1, 0, 1);
    for (int y = box[1]; y < box[3]; ++y) across(box[0], y, -1, 0), across(box[2] - 1, y, 1, 0);
    EXPECT_LE(seam, 6) << "t " << t << ": box " << box[0] << " " << box[1] << " " << box[2] << " " << box[3];
  }
  EXPECT_GE(boxes_inside, 3) << "frames with the shadows' box inside the window";
  fs::current_path(before);
  fs::remove_all(dir);
}
