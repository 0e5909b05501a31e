// vyre3d/frame: the frame loop's shared state (input tables, timing, camera), the
// frame functions and the scene operations it calls each frame. Builds on _util/_opengl.
#pragma once
#include "_util/_opengl.h"

// Input tables filled by the GLUT callbacks and read by the frame (keys: ASCII
// code, GLUT special keys at 256 + code). The *_pressed tables and mouse_delta
// are one-shot: the frame clears them after drawing.
extern tensor<int> key_held, key_pressed, mouse_held, mouse_pressed, mouse_position;
extern tensor<double> mouse_delta;

// Frame timing: ticks since set-up at the start of this frame, ticks since the
// previous frame, and the body time step in seconds (at most 0.08).
extern timestamp elapsed_time, frame_time;
extern double physics_step;

extern tensor<double> view_matrix;
extern tensor<double> clear_color;
extern tensor<double> picked_point;  // world point under the pointer, found every frame
extern tensor<unsigned char> font;

// One eye's drawing and bookkeeping, the pick under the pointer, and the g menu
// (its text for the next overlay and the toggles of the pressed keys).
void opengl_draw_scene();
void opengl_pick();
void opengl_menu();

// The scene (vyre3d/scene.cpp).
void scene_assemble();
void scene_step();
void scene_draw_objects();
void scene_draw_shadows(opengl_light* light);
void scene_draw_marker();
