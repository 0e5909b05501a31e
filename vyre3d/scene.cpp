// vyre3d/scene: the scene shown by the frame loop. For now it holds the floor
// mesh read at start (a missing file gives an empty mesh) and draws nothing, so
// the frame shows the clear colour and the overlay. Builds on _util/_opengl and _util/meshgl.
#include "vyre3d/frame.h"

meshgl floor_mesh("get/mesh/plane_460_tnv");

void scene_assemble() {}

void scene_step() {}

void scene_draw_objects() {}

void scene_draw_shadows(opengl_light*) {}

void scene_draw_marker() {}
