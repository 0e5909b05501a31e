// tests/vyre3d/_util/_opengl/stubs: GLUT callbacks that do nothing, for GL tests that open the
// window through opengl_setup without linking the program's frame loop.
#include "_util/_opengl.h"

void opengl_display() {}
void opengl_idle() {}
void opengl_keyboard(unsigned char, int, int) {}
void opengl_keyboard_up(unsigned char, int, int) {}
void opengl_special(int, int, int) {}
void opengl_special_up(int, int, int) {}
void opengl_mouse(int, int, int, int) {}
void opengl_motion(int, int) {}
void opengl_passive_motion(int, int) {}
void opengl_entry(int) {}
