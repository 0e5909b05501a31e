// vyre3d/frame: the GLUT callbacks of the frame loop. The input callbacks only
// fill the input tables; the display callback clears the window and draws the
// scene once per frame. Builds on _util/_opengl and vyre3d/scene.
#include "vyre3d/frame.h"
#include <algorithm>

tensor<int> key_held(1, 512), key_pressed(1, 512);
tensor<int> mouse_held(1, 4), mouse_pressed(1, 4), mouse_position(1, 2);
tensor<double> mouse_delta(1, 4);
timestamp elapsed_time, frame_time;
double physics_step = 0;
tensor<double> view_matrix = tensor<double>::eye(4);
tensor<double> clear_color = color_grey01;
tensor<unsigned char> font("get/tensor/white11x07.font");

void opengl_idle()
{
  glutPostRedisplay();
}

void opengl_keyboard(unsigned char key, int, int)
{
  key_held.data[key] = 1;
  key_pressed.data[key] = 1;
}

// Escape ends the program when it is released, not when it is pressed.
void opengl_keyboard_up(unsigned char key, int, int)
{
  if (key == 27) opengl_quit();
  key_held.data[key] = 0;
}

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

// Buttons beyond the table (wheel steps arrive as buttons 3 and 4) only move the pointer.
void opengl_mouse(int button, int state, int x, int y)
{
  if (0 <= button && button < mouse_held.numel) {
    mouse_held.data[button] = state == GLUT_DOWN;
    mouse_pressed.data[button] = state == GLUT_DOWN;
  }
  mouse_position.data[0] = x;
  mouse_position.data[1] = y;
}

void opengl_motion(int x, int y)
{
  mouse_delta.data[0] = double(x - mouse_position.data[0]) / window_size.data[0];
  mouse_delta.data[1] = double(mouse_position.data[1] - y) / window_size.data[1];
  mouse_position.data[0] = x;
  mouse_position.data[1] = y;
}

void opengl_passive_motion(int x, int y)
{
  mouse_position.data[0] = x;
  mouse_position.data[1] = y;
}

// Leaving the window ends the program unless g is held.
void opengl_entry(int state)
{
  if (state == GLUT_LEFT && !key_held.data['g']) opengl_quit();
}

void opengl_display()
{
  const timestamp now = timestamp::now();
  frame_time = now - elapsed_time - start_time;
  elapsed_time += frame_time;
  physics_step = std::min(frame_time.seconds(), 0.08);
  scene_step();
  glClearColor(float(clear_color.data[0]), float(clear_color.data[1]), float(clear_color.data[2]),
               float(clear_color.data[3]));
  glDepthMask(GL_TRUE);
  glDrawBuffer(GL_BACK);
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  glMultMatrixd(view_matrix.data);
  scene_draw_objects();
  key_pressed.fill(0);
  mouse_pressed.fill(0);
  mouse_delta.fill(0);
  glutSwapBuffers();
}
