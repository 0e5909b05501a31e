// _util/_opengl/overlay: the bulletin overlay drawn over the scene: translucent
// slider bars, text lines from a bitmap font (one glDrawPixels per glyph) and text
// labels anchored at 3D points. Builds on tensor, tensor_math, linked, the palette
// and the slider values of _util/_opengl/draw.
#pragma once
#include <GL/glew.h>
#include <GL/freeglut.h>
#include <cstdio>
#include "_util/_opengl/draw.h"
#include "_util/_opengl/light.h"
#include "_util/_opengl/setup.h"
#include "_util/linked.h"
#include "_util/tensor_math.h"

// Text any code appends during a frame; the frame empties it after the overlay.
inline linked<tensor<char>> bulletin_lines;
// Slider names in display order, rebuilt each frame; row n of the bulletin is slider n.
inline tensor<tensor<char>> slider_names;
constexpr int opengl_slider_row = 11;  // pixels per slider row, bar 10 and gap 1

// Palette colour of bulletin row n; rows beyond the palette reuse its colours.
inline const double* opengl_row_color(int n) { return palette.data + 4 * (n % palette.size[1]); }

namespace opengl_detail {
// A font is usable when it holds RGBA glyphs of a positive size.
inline bool font_usable(const tensor<unsigned char>& font)
{
  return font.data && font.ndims == 4 && font.size[0] == 4 && font.size[1] > 0 && font.size[2] > 0 && font.size[3] > 0;
}

}  // namespace opengl_detail

// The font in file when it holds glyphs the overlay can draw (RGBA bytes, 4 x
// height x width x glyphs); otherwise one line names the file and the overlay
// draws no text; a missing file says so.
inline tensor<unsigned char> opengl_font_load(const char* file)
{
  tensor<unsigned char> font(file);
  if (opengl_detail::font_usable(font)) return font;
  const bool missing = !font.data && !tensor_path_exists(file);
  std::printf("error %s: %s, no text\n", file,
              missing ? "missing" : "not a font of 4 x height x width x glyphs RGBA bytes");
  return tensor<unsigned char>();
}

namespace opengl_detail {
// Draws the glyph of ch at the current raster position; characters without a
// glyph (control codes, space, codes past the last glyph) draw nothing.
inline void draw_glyph(const tensor<unsigned char>& font, unsigned char ch)
{
  const int h = font.size[1], w = font.size[2], g = int(ch) - 32;
  if (ch <= 32 || g >= font.size[3]) return;
  glDrawPixels(w, h, GL_RGBA, GL_UNSIGNED_BYTE, font.data + std::size_t(g) * 4 * h * w);
}
}  // namespace opengl_detail

// Slider bars and the highlight of the row under the pointer, in window pixels
// (origin bottom left); pointer in window coordinates (origin top left).
inline void opengl_slider_bars(int width, int height, const tensor<int>& pointer, int left_held)
{
  glBegin(GL_QUADS);
  int y = height;
  const int yp = height - pointer.data[1];
  for (int n = 0; n < slider_names.numel; ++n, y -= opengl_slider_row) {
    double value = 0;
    slider_values.lookup(slider_names.data[n], value);
    const double* c = opengl_row_color(n);
    glColor4d(c[0], c[1], c[2], 0.3);
    glVertex2i(0, y);
    glVertex2i(0, y - 10);
    if (y - opengl_slider_row < yp && yp < y) glColor4d(c[0], c[1], c[2], 0.8 + 0.2 * left_held);
    const int x = int(width * value);
    glVertex2i(x, y - 10);
    glVertex2i(x, y);
  }
  const int r = pointer.data[1] / opengl_slider_row;
  if (pointer.data[1] >= 0 && r < slider_names.numel) {
    const double* c = opengl_row_color(r);
    const int yr = height - opengl_slider_row * r;
    glColor4d(c[0], c[1], c[2], 0.1);
    glVertex2i(0, yr);
    glVertex2i(0, yr - 10);
    glVertex2i(width, yr - 10);
    glVertex2i(width, yr);
  }
  glEnd();
}

// The bulletin lines stacked down from the top left; '\n' starts a new row.
inline void opengl_text_lines(const tensor<unsigned char>& font, const linked<tensor<char>>& lines, int height)
{
  if (!opengl_detail::font_usable(font)) return;  // no font file: no glyph size, no text
  const int h = font.size[1], w = font.size[2];
  int y = height;
  for (node<tensor<char>>* n = lines.first(); n; n = n->link) {
    int x = 0;
    y -= h;
    for (int k = 0; k < n->value.numel; ++k) {
      const unsigned char ch = (unsigned char)n->value.data[k];
      glRasterPos2i(x, y);
      if (ch == '\n') {
        x = 0;
        y -= h;
        continue;
      }
      x += w;
      opengl_detail::draw_glyph(font, ch);
    }
  }
}

// Labels at 3D points (projected with projection x view), far ones first so near
// ones are drawn over them; points behind the camera (w <= 0) are skipped.
inline void opengl_labels(const tensor<unsigned char>& font, const tensor<double>& view, int width, int height)
{
  if (!opengl_detail::font_usable(font) || !label_points.count) return;
  const int w = font.size[2];
  const tensor<double> q = projection_matrix * view * label_points.stack(4);
  const tensor<tensor<char>> texts = label_texts.to_tensor();
  tensor<double> depth(1, q.size[1]);
  for (int k = 0; k < depth.numel; ++k) depth.data[k] = q.data[4 * k + 3];
  tensor<int> order;
  depth.sort(0, order);
  for (int j = 0; j < order.numel; ++j) {
    const int k = order.data[j];
    const double* p = q.data + 4 * k;
    if (!(p[3] > 0) || k >= texts.numel) continue;
    const tensor<char>& text = texts.data[k];
    int x = int((width - text.numel * w) * (p[0] / p[3] + 1) * 0.5);
    const int y = int(height * (p[1] / p[3] + 1) * 0.5 + 2);
    for (int c = 0; c < text.numel; ++c, x += w) {
      glRasterPos2i(x, y);
      opengl_detail::draw_glyph(font, (unsigned char)text.data[c]);
    }
  }
}

// The whole overlay over a window of window_size, in 2D window pixels with
// blending; the GL state (enables, blending, colour, pixel storage, projection)
// is restored after and the model-view matrix is selected.
inline void opengl_overlay(const tensor<unsigned char>& font, const tensor<double>& view, const tensor<int>& pointer,
                           int left_held)
{
  const int width = window_size.data[0], height = window_size.data[1];
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  glMatrixMode(GL_PROJECTION);
  glPushMatrix();
  glLoadIdentity();
  gluOrtho2D(0, width, 0, height);
  glPushAttrib(GL_ENABLE_BIT | GL_COLOR_BUFFER_BIT | GL_CURRENT_BIT);
  glPushClientAttrib(GL_CLIENT_PIXEL_STORE_BIT);
  glPixelStorei(GL_UNPACK_ALIGNMENT, 1);  // glyph rows of any width are packed
  glDisable(GL_LIGHTING);
  glDisable(GL_DEPTH_TEST);
  glEnable(GL_BLEND);
  glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
  opengl_slider_bars(width, height, pointer, left_held);
  opengl_text_lines(font, bulletin_lines, height);
  opengl_labels(font, view, width, height);
  glPopClientAttrib();
  glPopAttrib();
  glMatrixMode(GL_PROJECTION);
  glPopMatrix();
  glMatrixMode(GL_MODELVIEW);
}
