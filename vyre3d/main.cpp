// vyre3d: the program entry. Sets the window geometry and the recording counts,
// opens the window through opengl_setup, assembles the scene and hands over to
// the GLUT main loop. Builds on _util/_opengl and vyre3d/frame.
#include <cstdio>
#include "vyre3d/scene.h"

int main(int argc, char** argv)
{
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // console lines appear as they are written
  opengl_settings.record_frames = 600;
  opengl_settings.record_every = 1;
  window_size.data[0] = 800, window_size.data[1] = 600;
  window_position.data[0] = 70, window_position.data[1] = 5;
  opengl_setup(argc, argv);
  scene_assemble();
  glutMainLoop();
  return 0;
}
