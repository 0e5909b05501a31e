// amxview: drawing the session's state into a Dear ImGui frame, and the
// window's key events that set event markers.
#pragma once
#include "session.h"

struct GLFWwindow;

namespace amxview {

// Draws the whole window into the current ImGui frame.
void draw(App& app);
// Queues every press of 0-9 (top row or keypad) on window as an event marker
// for app's next update, however short the press: the window system's key
// events, not the frame's key state, which misses a press and release
// within one frame. Install before the ImGui backend, which chains to it.
void install_marker_keys(GLFWwindow* window, App& app);

}  // namespace amxview
