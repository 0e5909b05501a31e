// vyre3d/frame: the frame loop. The GLUT input callbacks only move events into the
// input tables (and apply the slider rows of the bulletin); the display callback
// times the frame, runs the scene step and draws one or two eyes: lighting passes
// of at most 8 lights, stencil shadows per shadow-casting light, light markers,
// the pick under the pointer, the overlay, the g menu and capture.
// Builds on _util/_opengl and the scene operations of vyre3d/scene.
#include "vyre3d/frame.h"
#include "vyre3d/batch.h"
#include "vyre3d/scene.h"
#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

tensor<int> key_held(1, 512), key_pressed(1, 512);
tensor<int> mouse_held(1, 4), mouse_pressed(1, 4), mouse_position(1, 2);
tensor<double> mouse_delta(1, 4);
timestamp elapsed_time, frame_time;
double physics_step = 0;
tensor<double> view_matrix = tensor<double>::eye(4);
tensor<double> clear_color = color_grey01;
tensor<double> picked_point = opengl_vector<double>({0, 0, 0, 1});
tensor<unsigned char> font = opengl_font_load("get/tensor/white11x07.font");

namespace {

void set_position(int x, int y)
{
  mouse_position.data[0] = x;
  mouse_position.data[1] = y;
}

// A button or drag in bulletin row y / 11 sets that row's slider to the pointer's
// horizontal fraction of the window; the motion is then not the avatar's.
void slider_rows(int x, int y)
{
  if (!opengl_settings.bulletin || y < 0 || y / opengl_slider_row >= slider_names.numel) return;
  mouse_delta.fill(0);
  slider_values.assign(slider_names.data[y / opengl_slider_row], double(x) / window_size.data[0]);
}

void set_ambient(const tensor<double>& color)
{
  float c[4];
  for (int k = 0; k < 4; ++k) c[k] = float(color.data[k]);
  glLightModelfv(GL_LIGHT_MODEL_AMBIENT, c);
}

// Slider names in sorted order, and one bulletin line per slider with its value.
void list_sliders()
{
  const tensor<tensor<char>> names = slider_values.key_list();
  const tensor<int> order = str_order(names);
  slider_names = tensor<tensor<char>>(1, names.numel);
  for (int n = 0; n < names.numel; ++n) {
    slider_names.data[n] = names.data[order.data[n]];
    double value = 0;
    slider_values.lookup(slider_names.data[n], value);
    char text[32];
    std::snprintf(text, sizeof text, "%10.2e ", value);
    bulletin_lines.append(tensor<char>::str(text).concat(slider_names.data[n]));
  }
}

// A sphere at each light, and for a spot light (cutoff up to 90 degrees) a cone
// of length 0.3 along its z axis with the spot's half-angle.
void light_markers(const tensor<opengl_light*>& lights)
{
  glPushAttrib(GL_LIGHTING_BIT);
  glDisable(GL_LIGHTING);
  for (int k = 0; k < lights.numel; ++k) {
    const opengl_light& l = *lights.data[k];
    glPushMatrix();
    glMultMatrixd(l.pose.data);
    glColor3dv(l.diffuse.data);
    glutSolidSphere(0.05, 10, 10);
    if (l.spot_cutoff <= 90) {
      const double c = l.spot_cutoff * M_PI / 180;
      glScaled(-0.3, -0.3, -0.3);
      glTranslatef(0, 0, float(-std::cos(c)));
      glutWireCone(std::sin(c), std::cos(c), 10, 1);
      glColor3dv(l.specular.data);
      glTranslatef(0, 0, -0.02f);
      glutSolidCone(std::sin(c), std::cos(c), 10, 1);
    }
    glPopMatrix();
  }
  glPopAttrib();
}

// The box around the non-empty window rectangles (x, y, width, height); empty when none is.
void bounding_box(const std::vector<std::array<int, 4>>& rect, int box[4])
{
  int lo[2] = {INT_MAX, INT_MAX}, hi[2] = {INT_MIN, INT_MIN};
  for (const auto& r : rect) {
    if (r[2] <= 0 || r[3] <= 0) continue;
    for (int k = 0; k < 2; ++k) lo[k] = std::min(lo[k], r[k]), hi[k] = std::max(hi[k], r[k] + r[2 + k]);
  }
  box[0] = box[1] = box[2] = box[3] = 0;
  if (lo[0] > hi[0]) return;
  box[0] = lo[0], box[1] = lo[1], box[2] = hi[0] - lo[0], box[3] = hi[1] - lo[1];
}

// The stencil-shadowed lights, added to the first pass (blending on, depth test
// equal). Each light's shadow volume changes the stencil only inside its scissor
// rectangle; outside the box around all of them every light shines unshadowed, so
// there they are added together in one pass, drawn in the up to four bands around
// the box. Inside the box each light has its own stencil count and lit pass. The
// scene's lights each have a colour channel of their own, so adding them together
// gives the same bytes as adding them one by one (lights sharing a channel could
// differ by a unit of rounding).
//
// The stencil starts at 128 in the box; the volume adds one for each back face and
// takes one for each front face behind the visible point, so a point lies in no
// shadow when its count is 128 or less.
void shadow_lights(const tensor<opengl_light*>& lights)
{
  std::vector<opengl_light*> casting;
  std::vector<std::array<int, 4>> rect;
  for (int k = 0; k < lights.numel; ++k) {
    if (!lights.data[k]->casts_shadows) continue;
    casting.push_back(lights.data[k]);
    rect.emplace_back();
    scene_shadow_scissor(lights.data[k], rect.back().data());
  }
  int box[4];
  bounding_box(rect, box);
  const int w = window_size.data[0], h = window_size.data[1];
  const int bands[4][4] = {{0, 0, w, box[1]},
                           {0, box[1] + box[3], w, h - box[1] - box[3]},
                           {0, box[1], box[0], box[3]},
                           {box[0] + box[2], box[1], w - box[0] - box[2], box[3]}};
  const bool whole = box[2] <= 0 || box[3] <= 0;  // no box: no shadow in view
  glDepthFunc(GL_EQUAL);
  for (std::size_t first = 0; first < casting.size(); first += 8) {
    for (std::size_t k = first; k < casting.size() && k < first + 8; ++k)
      casting[k]->apply(GLenum(GL_LIGHT0 + k - first));
    if (whole) scene_draw_objects();
    for (const auto& b : bands) {
      if (whole || b[2] <= 0 || b[3] <= 0) continue;
      glScissor(b[0], b[1], b[2], b[3]);
      glEnable(GL_SCISSOR_TEST);
      scene_draw_objects();
      glDisable(GL_SCISSOR_TEST);
    }
    lights_off();
  }
  glDepthFunc(GL_LESS);
  batch_pass("lit passes");
  if (whole) return;

  glEnable(GL_STENCIL_TEST);
  glStencilMask(~0u);
  glClearStencil(128);
  for (std::size_t k = 0; k < casting.size(); ++k) {
    // The whole box once; after that only the previous light's volume changed the
    // stencil (its lit pass keeps it), inside that light's rectangle.
    const int* clear = k ? rect[k - 1].data() : box;
    if (clear[2] > 0 && clear[3] > 0) {
      glScissor(clear[0], clear[1], clear[2], clear[3]);
      glEnable(GL_SCISSOR_TEST);
      glClear(GL_STENCIL_BUFFER_BIT);
      glDisable(GL_SCISSOR_TEST);
    }
    batch_pass("stencil clears");
    glColorMask(GL_FALSE, GL_FALSE, GL_FALSE, GL_FALSE);
    glStencilFunc(GL_ALWAYS, 0, ~0u);
    scene_draw_shadows(casting[k], rect[k].data());
    batch_pass("shadow volumes");
    casting[k]->apply(GL_LIGHT0);
    glStencilFunc(GL_GEQUAL, 128, ~0u);
    glStencilOp(GL_KEEP, GL_KEEP, GL_KEEP);
    glDepthFunc(GL_EQUAL);
    glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
    glScissor(box[0], box[1], box[2], box[3]);
    glEnable(GL_SCISSOR_TEST);
    scene_draw_objects();
    glDisable(GL_SCISSOR_TEST);
    batch_pass("lit passes");
    glDepthFunc(GL_LESS);
    glDisable(GL_LIGHT0);
  }
  glClearStencil(0);
  glDisable(GL_STENCIL_TEST);
}

// The lit scene: a first pass with up to 8 lights that cast no shadows, further
// additive passes for the rest of them, then one stencil-masked additive pass per
// shadow-casting light. With lighting effects off only white ambient light remains.
void lighting_passes(const tensor<opengl_light*>& lights)
{
  const int effects = opengl_settings.lighting_effects;
  set_ambient(effects ? color_grey02 : color_white);
  int i = 0, j = 0;
  for (; j < lights.numel && i < 8; ++j)
    if (effects && !lights.data[j]->casts_shadows) lights.data[j]->apply(GL_LIGHT0 + i++);
  if (opengl_settings.floor_grid) opengl_floor_grid();
  scene_draw_objects();
  batch_pass("first pass");
  lights_off();
  i = 0;
  set_ambient(color_black);
  glDepthMask(GL_FALSE);
  if (effects) {
    glEnable(GL_BLEND);
    glBlendFunc(GL_ONE, GL_ONE);
    glDepthFunc(GL_EQUAL);
    for (; j < lights.numel; ++j) {
      if (lights.data[j]->casts_shadows) continue;
      lights.data[j]->apply(GL_LIGHT0 + i++);
      if (i == 8) scene_draw_objects(), lights_off(), i = 0;
    }
    if (i > 0) scene_draw_objects(), lights_off();
    glDepthFunc(GL_LESS);
    shadow_lights(lights);
    glDisable(GL_BLEND);
  }
  glDepthMask(GL_TRUE);
}

}  // namespace

void opengl_idle() { glutPostRedisplay(); }

void opengl_keyboard(unsigned char key, int, int)
{
  key_held.data[key] = 1;
  key_pressed.data[key] = 1;
}

// Escape ends the program when it is released, not when it is pressed.
void opengl_keyboard_up(unsigned char key, int, int)
{
  if (key == 27) batch_quit("Escape");
  key_held.data[key] = 0;
}

// Special keys live at 256 + code; codes that would fall outside the table are dropped.
void opengl_special(int code, int, int)
{
  if (code < 0 || code >= 256) return;
  key_held.data[256 + code] = 1;
  key_pressed.data[256 + code] = 1;
}

void opengl_special_up(int code, int, int)
{
  if (code < 0 || code >= 256) return;
  key_held.data[256 + code] = 0;
}

// Buttons beyond the 4-entry tables (the wheel's second direction arrives as
// button 4) only move the pointer.
void opengl_mouse(int button, int state, int x, int y)
{
  if (0 <= button && button < mouse_held.numel) {
    mouse_held.data[button] = state == GLUT_DOWN;
    mouse_pressed.data[button] = state == GLUT_DOWN;
    if (mouse_held.data[button]) slider_rows(x, y);
  }
  set_position(x, y);
}

// Motion with a button down: the last event of a frame gives mouse_delta.
void opengl_motion(int x, int y)
{
  mouse_delta.data[0] = double(x - mouse_position.data[0]) / window_size.data[0];
  mouse_delta.data[1] = double(mouse_position.data[1] - y) / window_size.data[1];
  mouse_delta.data[2] = mouse_delta.data[3] = 0;
  slider_rows(x, y);
  set_position(x, y);
}

void opengl_passive_motion(int x, int y) { set_position(x, y); }

// Leaving the window ends the program unless g is held.
void opengl_entry(int state)
{
  if (state == GLUT_LEFT && !key_is_held('g')) batch_quit("the pointer left the window");
}

// With a fixed step (batch runs) frame k shows scene time k x step, whatever the clock says.
void opengl_display()
{
  batch_frame_begin();
  if (batch.step > 0)
    frame_time = timestamp((long long)std::llround(batch.step * double(timer_frequency)));
  else
    frame_time = timestamp::now() - elapsed_time - start_time;
  elapsed_time += frame_time;
  list_sliders();
  physics_step = std::min(frame_time.seconds(), 0.08);
  scene_step();
  batch_pass("scene step");
  if (opengl_settings.clearcolor_white)
    glClearColor(1, 1, 1, 1);
  else
    glClearColor(float(clear_color.data[0]), float(clear_color.data[1]), float(clear_color.data[2]),
                 float(clear_color.data[3]));
  glDepthMask(GL_TRUE);
  if (opengl_settings.display_mode & GLUT_STEREO) {
    const tensor<double> single = view_matrix;
    const double a = opengl_slider("opengl stereo angle", 0.65) * 0.05;
    const double d = opengl_slider("opengl stereo distance", 0.22);
    for (int eye = 0; eye < 2; ++eye) {
      const double s = eye ? std::sin(a) : -std::sin(a);  // eye 0 turns by -a, eye 1 by +a about y
      tensor<double> m = translation(eye ? -d : d, 0, 0);
      m.data[0] = std::cos(a), m.data[2] = s;
      m.data[8] = -s, m.data[10] = std::cos(a);
      glDrawBuffer(GL_BACK_LEFT + eye);
      view_matrix = m * single;
      opengl_draw_scene();
    }
  } else {
    glDrawBuffer(GL_BACK);
    opengl_draw_scene();
  }
  batch_frame_drawn();
  glutSwapBuffers();
  batch_pass("swap");
}

void opengl_draw_scene()
{
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  batch_pass("clear");
  glPolygonMode(GL_FRONT_AND_BACK, opengl_settings.wireframe ? GL_FILL : GL_LINE);
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  glMultMatrixd(view_matrix.data);
  glDepthFunc(GL_LESS);
  glCullFace(GL_BACK);
  const tensor<opengl_light*> lights = light_registry.value_list();
  lighting_passes(lights);
  light_markers(lights);
  scene_draw_marker();
  batch_pass("markers");

  char text[64];
  std::snprintf(text, sizeof text, "rate %10.2e time %10.2e ", 1 / frame_time.seconds(), elapsed_time.seconds());
  bulletin_lines.append(tensor<char>::str(text));

  timer* t = timer_start("opengl");
  opengl_pick();
  batch_pass("pick");
  if (opengl_settings.bulletin) opengl_overlay(font, view_matrix, mouse_position, mouse_held.data[0]);
  batch_pass("overlay");
  bulletin_lines.clear();
  label_points.clear();
  label_texts.clear();
  if (key_is_held('g')) opengl_menu();
  opengl_capture(view_matrix);
  batch_pass("capture");
  key_pressed.fill(0);
  mouse_pressed.fill(0);
  mouse_delta.fill(0);
  t->stop();
}

void opengl_pick()
{
  const int mx = mouse_position.data[0], my = window_size.data[1] - mouse_position.data[1] - 1;
  float depth = 1;  // stays the far plane when the pointer is outside the window
  glReadPixels(mx, my, 1, 1, GL_DEPTH_COMPONENT, GL_FLOAT, &depth);
  const tensor<double> x = (projection_matrix * view_matrix).solve(opengl_unproject(mx, my, depth));
  picked_point = x / x.data[3];
  if (!opengl_settings.pick_display) return;

  // The point is drawn in a colour shifted away from what lies under it.
  unsigned char c[4] = {0, 0, 0, 0};
  glPushClientAttrib(GL_CLIENT_PIXEL_STORE_BIT);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glReadPixels(mx, my, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, c);
  glPopClientAttrib();
  for (unsigned char& b : c) b = (unsigned char)((b + (b >= 200 ? 106 : 100)) % 256);
  c[3] = 150;
  glPushAttrib(GL_ENABLE_BIT);
  glDisable(GL_LIGHTING);
  glDisable(GL_DEPTH_TEST);
  glEnable(GL_BLEND);
  glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
  glPointSize(5);
  glBegin(GL_POINTS);
  glColor4ubv(c);
  glVertex4dv(picked_point.data);
  glEnd();
  bulletin_lines.append(tensor<char>::str(picked_point.print("%15.5e ")));
  glPopAttrib();
}

void opengl_menu()
{
  opengl_settings_record& s = opengl_settings;
  char text[256];
  std::snprintf(text, sizeof text,
                "opengl\n (b)ulletin =%i\n (c)learcolor white =%i\n (f)loor grid =%i\n (l)ighting effects =%i\n"
                " (p)rint screen\n (r)ecording\n (s)hader =%i\n (w)ireframe =%i",
                s.bulletin, s.clearcolor_white, s.floor_grid, s.lighting_effects, s.shader, s.wireframe);
  bulletin_lines.append(tensor<char>::str(text));
  s.bulletin ^= key_was_pressed('b');
  s.clearcolor_white ^= key_was_pressed('c');
  s.floor_grid ^= key_was_pressed('f');
  s.lighting_effects ^= key_was_pressed('l');
  s.pick_display ^= key_was_pressed('m');
  s.print_screen |= key_was_pressed('p');
  s.recording |= key_was_pressed('r');
  s.shader ^= key_was_pressed('s');
  s.wireframe ^= key_was_pressed('w');
}
