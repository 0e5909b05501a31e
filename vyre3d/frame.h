// vyre3d/frame: the frame loop: one eye's drawing and bookkeeping, the pick under
// the pointer and the g menu. Builds on _util/_opengl and the shared state of
// vyre3d/input.h.
#pragma once
#include "vyre3d/input.h"

extern tensor<double> picked_point;  // world point under the pointer, found every frame
extern tensor<unsigned char> font;

// One eye's drawing and bookkeeping, the pick under the pointer, and the g menu
// (its text for the next overlay and the toggles of the pressed keys).
void opengl_draw_scene();
void opengl_pick();
void opengl_menu();
