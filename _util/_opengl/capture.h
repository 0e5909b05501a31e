// _util/_opengl/capture: screen capture and recording. Each capture writes the
// window's colour buffer as a bitmap and, for every pixel, the world point seen
// there (depth buffer unprojected through the inverse of projection x view).
// Builds on tensor, tensor_math, format (bitmaps) and the recording counters of setup.
#pragma once
#include <GL/glew.h>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include "_util/_opengl/draw.h"
#include "_util/_opengl/setup.h"
#include "_util/format.h"
#include "_util/tensor_math.h"

// World points (4 x width x height, y from the bottom) of a depth buffer (width x
// height) under inverse = (projection x view)^-1, written into points (resized
// only when the window size changed, so a recording reuses one buffer). The
// arithmetic is that of opengl_unproject followed by the product and the division
// by w, done in place so that a full window costs no allocation per pixel.
// With a far clipping distance as large as 1e40 the projection cannot tell the far
// plane from infinity: a pixel where nothing was drawn (depth 1) unprojects to w = 0,
// which would store infinities and NaNs. Such a pixel gets the point of its ray at
// the far clipping distance instead: camera + (near point - camera) x far / near.
inline void opengl_capture_points(const tensor<float>& depth, int width, int height, const tensor<double>& inverse,
                                  tensor<double>& points)
{
  if (points.ndims != 3 || points.size[0] != 4 || points.size[1] != width || points.size[2] != height)
    points = tensor<double>(3, 4, width, height);
  const double* m = inverse.data;
  auto unproject = [m](double nx, double ny, double nz, double nw, double* p) {
    for (int r = 0; r < 4; ++r) p[r] = m[r] * nx + m[4 + r] * ny + m[8 + r] * nz + m[12 + r] * nw;
  };
  double camera[4];
  unproject(0, 0, 1, 0, camera);  // the eye: the direction that projection maps to w = 0
  for (int r = 0; r < 3; ++r) camera[r] /= camera[3];
  const double stretch = clip_range.data[1] / clip_range.data[0];
  double* out = points.data;
  for (int y = 0; y < height; ++y) {
    const double ny = 2.0 * y / height - 1;
    double row[4];  // the part of the product shared by the whole row
    for (int r = 0; r < 4; ++r) row[r] = m[4 + r] * ny + m[12 + r] - m[8 + r];
    const float* d = depth.data + std::size_t(y) * width;
    for (int x = 0; x < width; ++x, out += 4) {
      const double nx = 2.0 * x / width - 1, z2 = 2.0 * d[x];  // nz = z2 - 1, folded into row
      double p[4];
      for (int r = 0; r < 4; ++r) p[r] = row[r] + m[r] * nx + m[8 + r] * z2;
      const double iw = 1 / p[3];
      if (p[3] > 0 && iw < HUGE_VAL) {
        out[0] = p[0] * iw, out[1] = p[1] * iw, out[2] = p[2] * iw, out[3] = 1;
        continue;
      }
      unproject(nx, ny, -1, 1, p);  // the near-plane point of the pixel's ray
      for (int r = 0; r < 3; ++r) out[r] = camera[r] + (p[r] / p[3] - camera[r]) * stretch;
      out[3] = 1;
    }
  }
}

// File names of capture (sequence, frame) in folder dir.
inline std::string opengl_capture_name(const char* dir, int sequence, int frame, const char* kind)
{
  char name[64];
  std::snprintf(name, sizeof name, "/opengl_%02i-%04i_%s", sequence, frame, kind);
  return dir + std::string(name);
}

// Writes the pair of files of one capture into dir, creating dir when it is
// missing (a user asking for a capture expects a file); failures are reported by
// the writers, and a folder that cannot be made by a line of its own.
inline void opengl_capture_write(const char* dir, int sequence, int frame, const tensor<unsigned char>& rgba,
                                 const tensor<double>& points)
{
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) std::printf("error opengl_capture: cannot create %s: %s\n", dir, ec.message().c_str());
  bitmap_write(opengl_capture_name(dir, sequence, frame, "rgba.bmp").c_str(), rgba);
  points.write(opengl_capture_name(dir, sequence, frame, "pnt3.mat").c_str());
}

// Reads the back buffer and writes one capture into "out" with the current counters.
inline void opengl_capture_window(const tensor<double>& view)
{
  const int width = window_size.data[0], height = window_size.data[1];
  if (width <= 0 || height <= 0) return;  // a minimised window has nothing to read
  tensor<unsigned char> rgba(3, 4, width, height);
  tensor<float> depth(2, width, height);
  glPushClientAttrib(GL_CLIENT_PIXEL_STORE_BIT);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glReadPixels(0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE, rgba.data);
  glReadPixels(0, 0, width, height, GL_DEPTH_COMPONENT, GL_FLOAT, depth.data);
  glPopClientAttrib();
  const tensor<double> inverse = (projection_matrix * view).solve(tensor<double>::eye(4));
  static tensor<double> points;  // kept for the next capture of a recording
  opengl_capture_points(depth, width, height, inverse, points);
  opengl_capture_write("out", opengl_settings.record_sequence, opengl_settings.record_frame, rgba, points);
}

// Sequence end and pacing of the recording counters; true when this call captures.
// A record_every below 1 would divide by zero; it captures every call instead.
inline bool opengl_capture_due(opengl_settings_record& s)
{
  if (s.record_frame >= s.record_frames) {
    s.recording = 0;
    s.record_sequence += 1;
    s.record_frame = 0;
  }
  if (s.recording) {
    s.print_screen = s.record_every <= 1 || s.record_tick % s.record_every == 0;
    s.record_tick += 1;
  } else {
    s.record_tick = 0;
  }
  return s.print_screen;
}

// The capture step of every drawn eye, after the menu toggles.
inline void opengl_capture(const tensor<double>& view)
{
  if (!opengl_capture_due(opengl_settings)) return;
  opengl_capture_window(view);
  opengl_settings.record_frame += 1;
  opengl_settings.print_screen = 0;
}
