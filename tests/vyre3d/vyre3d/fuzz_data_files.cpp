// tests/vyre3d/vyre3d/fuzz_data_files: every kind of data file vyre3d reads from get/,
// through the load-and-check functions the program itself uses, and what the
// program then does with the result (curve interpolation and the ball's shadow
// solve, the camera's solves of a pose, the scene's frame with a sphere mesh it
// took, refused or found empty: the ball rebuilt, each light's shadow rectangle and
// silhouette; the font's glyph blocks). No input may end it.
// Byte 0: kind (bits 0-1: curve, pose, mesh, font), bit 2: the file gets the
// kind's header (sizes from the next bytes and the length) instead of raw bytes,
// bit 3: the sphere has no triangle file.
// Builds on the program's sources (vyre3d/scene, avatar, frame).
#include <unistd.h>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>
#include "_util/shadow.h"
#include "vyre3d/frame.h"
#include "vyre3d/scene.h"

static std::string dir;

// The 800x600 perspective of the program's window.
static tensor<double> window_projection()
{
  const double f = 1 / std::tan(13.0 * M_PI / 180), n = 0.5, far = 1e40;
  tensor<double> projection(2, 4, 4);
  projection.data[0] = f * 600 / 800, projection.data[5] = f;
  projection.data[10] = (far + n) / (n - far), projection.data[11] = -1, projection.data[14] = 2 * far * n / (n - far);
  return projection;
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
  char tmpl[] = "/tmp/vy_fuzz_data_XXXXXX";
  if (!mkdtemp(tmpl)) std::abort();
  dir = tmpl;
  std::atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  });
  if (!std::freopen("/dev/null", "w", stdout)) std::abort();  // the readers report every file
  projection_matrix = window_projection();
  scene_assemble();  // from a folder without get/: every file reported missing
  return 0;
}

static void put(const std::string& name, const std::vector<int>& header, const uint8_t* data, size_t size)
{
  FILE* f = std::fopen(name.c_str(), "wb");
  if (!f) std::abort();
  if (!header.empty()) std::fwrite(header.data(), sizeof(int), header.size(), f);
  if (size) std::fwrite(data, 1, size, f);
  std::fclose(f);
}

// What the camera does with the avatar's pose every frame: the rigid inverse, then
// the pick's and the capture's solves with the 800x600 perspective of the window.
static void use_pose(const tensor<double>& pose)
{
  const tensor<double> m = projection_matrix * rigid_inverse(pose);
  m.solve(opengl_vector<double>({0.1, -0.2, 0.5, 1}));
  m.solve(tensor<double>::eye(4));
}

static void use_curve(const tensor<double>& curve)
{
  for (double s : {0.0, 0.37, 1.0}) {
    tensor<double> at(1, 1), ball = tensor<double>::eye(4);
    at.data[0] = s;
    for (int c = 0; c < 3; c++) ball.data[12 + c] = curve.slice(c).interp(at);
    ball.solve(opengl_vector<double>({-10, 10, 40, 1}));  // the light in the ball's frame, as its shadow needs
  }
}

// A frame of the scene with the ball taken from the sphere file at base: the step
// rebuilds the ball at time t, then the shadow pass bounds and outlines its volume
// for every light (the GL calls aside).
static void use_sphere(const std::string& base, double t)
{
  scene_load_ball(base.c_str());
  elapsed_time = timestamp((long long)(t * double(timer_frequency)));
  scene_step();
  const tensor<opengl_light*> lights = light_registry.value_list();
  for (int k = 0; k < lights.numel; k++) {
    int rect[4];
    scene_shadow_rectangle(lights.data[k]->pose.data + 12, rect);
    if (!ball.shadow) continue;
    tensor<int> facing;
    ball.shadow->silhouette(ball.pos.solve(lights.data[k]->pose.slice(3)), facing);
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  if (size < 4) return 0;
  const int kind_byte = data[0], kind = kind_byte & 3;
  const bool shaped = kind_byte & 4;
  const int a = data[1], b = data[2] % 32, c = data[3] % 32;
  data += 4, size -= 4;
  const std::string file = dir + "/f";
  std::vector<int> header;
  switch (kind) {
    case 0: {  // a curve: rows x (3 + a % 3) doubles
      const int cols = 3 + a % 3;
      if (shaped) header = {2, int(size / 8 / cols), cols};
      put(file, header, data, size);
      tensor<double> curve;
      if (scene_load_curve(file.c_str(), curve)) use_curve(curve);
      break;
    }
    case 1: {  // a pose: 4 x 4 doubles
      if (shaped) header = {2, 4, 4};
      put(file, header, data, size);
      tensor<double> pose = tensor<double>::eye(4);
      avatar_load_pose(pose, file.c_str());
      use_pose(pose);
      break;
    }
    case 2: {  // a sphere: stride a % 16 floats per vertex and a tetrahedron's triangles
      const int stride = a % 16;
      if (shaped) header = {2, stride, stride ? int(size / 4 / stride) : 0};
      put(file + ".arr", header, data, size);
      const int tetra[12] = {0, 2, 1, 0, 1, 3, 0, 3, 2, 1, 2, 3};
      std::remove((file + "_2.ind").c_str());
      if (!(kind_byte & 8)) put(file + "_2.ind", {2, 3, 4}, reinterpret_cast<const uint8_t*>(tetra), sizeof tetra);
      use_sphere(file, b * 0.7);
      break;
    }
    default: {  // a font: (a % 6) x b x c x glyphs bytes
      const int channels = a % 6, glyph = channels * b * c;
      if (shaped) header = {4, channels, b, c, glyph ? int(size / glyph) : 0};
      put(file, header, data, size);
      const tensor<unsigned char> font = opengl_font_load(file.c_str());
      if (font.data && font.numel != 4 * font.size[1] * font.size[2] * font.size[3]) __builtin_trap();
    }
  }
  return 0;
}
