// vyre3d/scene: the scene shown by the frame loop; still empty: the frame shows
// the clear colour and the overlay. Builds on _util/_opengl.
#include "vyre3d/frame.h"

void scene_assemble() {}

void scene_step() {}

void scene_draw_objects() {}

void scene_draw_shadows(opengl_light*) {}

void scene_draw_marker() {}
