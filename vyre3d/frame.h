// vyre3d/frame: the frame loop's shared input tables and the scene operations it
// calls each frame. Builds on _util/_opengl.
#pragma once
#include "_util/_opengl.h"

// Input tables filled by the GLUT callbacks and read by the frame (keys: ASCII
// code, GLUT special keys at 256 + code).
extern tensor<int> key_held, key_pressed, mouse_held, mouse_pressed, mouse_position;
extern tensor<double> mouse_delta;
extern tensor<double> view_matrix;
extern tensor<double> clear_color;
extern tensor<unsigned char> font;

// The scene (vyre3d/scene.cpp).
void scene_assemble();
void scene_step();
void scene_draw_objects();
