// vyre3d/frame: the frame loop's shared input tables and the scene operations it
// calls each frame. Builds on _util/_opengl.
#pragma once
#include "_util/_opengl.h"

// Input tables filled by the GLUT callbacks and read by the frame (keys: ASCII
// code, GLUT special keys at 256 + code).
extern tensor<int> key_held, key_pressed, mouse_held, mouse_pressed, mouse_position;
extern tensor<double> mouse_delta;

// Frame timing: ticks since set-up at the start of this frame, ticks since the
// previous frame, and the body time step in seconds (at most 0.08).
extern timestamp elapsed_time, frame_time;
extern double physics_step;
inline linked<tensor<char>> bulletin_lines;
extern tensor<double> view_matrix;
extern tensor<double> clear_color;
extern tensor<unsigned char> font;

// The scene (vyre3d/scene.cpp).
void scene_assemble();
void scene_step();
void scene_draw_objects();
void scene_draw_shadows(opengl_light* light);
void scene_draw_marker();
