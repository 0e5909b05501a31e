// vyre3d/input: what the frame loop shares with the scene and the avatar: the
// input tables the GLUT callbacks fill, the frame timing, the camera and the clear
// colour. Defined in vyre3d/frame.cpp. Builds on _util/_opengl.
#pragma once
#include "_util/_opengl.h"

// Input tables filled by the GLUT callbacks and read by the frame (keys: ASCII
// code, GLUT special keys at 256 + code). The *_pressed tables and mouse_delta
// are one-shot: the frame clears them after drawing.
extern tensor<int> key_held, key_pressed, mouse_held, mouse_pressed, mouse_position;
extern tensor<double> mouse_delta;

// The entries of an ASCII key by its character.
inline int key_is_held(unsigned char key) { return key_held.data[key]; }
inline int key_was_pressed(unsigned char key) { return key_pressed.data[key]; }

// Frame timing: ticks since set-up at the start of this frame, ticks since the
// previous frame, and the body time step in seconds (at most 0.08).
extern timestamp elapsed_time, frame_time;
extern double physics_step;

// The camera (set by the scene from the avatar) and the background colour.
extern tensor<double> view_matrix;
extern tensor<double> clear_color;
