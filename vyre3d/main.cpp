// vyre3d: the program entry. Reads the batch options, sets the window geometry
// and the recording counts, opens the window through opengl_setup (which echoes
// every argument and hands them all to GLUT), assembles the scene and hands over to
// the GLUT main loop. Builds on _util/_opengl, vyre3d/batch and vyre3d/scene.
#include <cstdio>
#include "vyre3d/batch.h"
#include "vyre3d/platform.h"
#include "vyre3d/scene.h"

int main(int argc, char** argv)
{
  console_lines_at_once();
  const std::string bad = batch_parse(argc, argv, batch);
  if (!bad.empty()) {
    std::fprintf(stderr, "vyre3d: %s\n%s", bad.c_str(), batch_usage());
    return 2;
  }
  opengl_settings.record_frames = 600;
  opengl_settings.record_every = 1;
  window_size.data[0] = 800, window_size.data[1] = 600;
  window_position.data[0] = 70, window_position.data[1] = 5;
  if (!batch_start()) return 1;
  opengl_setup(argc, argv);
  glutCloseFunc([] { batch_quit("the window was closed"); });
  scene_assemble();
  glutMainLoop();
  return 0;
}
