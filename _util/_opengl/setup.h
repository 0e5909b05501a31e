// _util/_opengl/setup: the one GLUT window, the GL capability checks, the callbacks
// and the fixed GL state every frame assumes; also the reshape callback and the
// display settings record. Builds on tensor and timer.
#pragma once
#include <GL/glew.h>
#include <GL/freeglut.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include "_util/contract.h"
#include "_util/tensor.h"
#include "_util/timer.h"

// A 1-D tensor holding the given values (used for the small constant vectors).
template <class T>
tensor<T> opengl_vector(std::initializer_list<T> values)
{
  tensor<T> ret(1, int(values.size()));
  int k = 0;
  for (T x : values) ret.data[k++] = x;
  return ret;
}

// Display flags and recording counters shared by set-up, the frame loop and capture.
struct opengl_settings_record {
  unsigned int display_mode = GLUT_RGBA | GLUT_DOUBLE | GLUT_DEPTH | GLUT_STENCIL;
  int bulletin = 1;
  int clearcolor_white = 0;
  int floor_grid = 0;
  int lighting_effects = 1;
  int pick_display = 0;
  int print_screen = 0;
  int recording = 0;
  int record_frames = 40;
  int record_every = 20;
  int record_sequence = 0;
  int record_frame = 0;
  int record_tick = 0;
  int shader = 1;
  int wireframe = 1;
};

inline opengl_settings_record opengl_settings;
inline const char* opengl_gamemode = nullptr;  // argument following "glut_gamemode"
inline int opengl_init = 0;
// Called, when set, where OpenGL 2.0 cannot start, before the program ends with
// exit code 0: a program that must draw (a batch run) ends there as a failure.
inline void (*opengl_without_gl2)() = nullptr;
inline tensor<int> window_size = opengl_vector<int>({640, 480});
inline tensor<int> window_position = opengl_vector<int>({50, 50});
inline tensor<char> window_title;
inline tensor<double> clip_range = opengl_vector<double>({0.5, 1e40});
inline tensor<double> projection_matrix = tensor<double>(2, 4, 4);
inline timestamp start_time;
constexpr double opengl_field_of_view = 26.0;

// The frame loop supplies these GLUT callbacks (vyre3d/frame.cpp).
void opengl_display();
void opengl_idle();
void opengl_keyboard(unsigned char key, int x, int y);
void opengl_keyboard_up(unsigned char key, int x, int y);
void opengl_special(int code, int x, int y);
void opengl_special_up(int code, int x, int y);
void opengl_mouse(int button, int state, int x, int y);
void opengl_motion(int x, int y);
void opengl_passive_motion(int x, int y);
void opengl_entry(int state);

[[noreturn]] inline void opengl_quit() { std::exit(0); }

// Viewport and perspective follow the window. A zero height (a minimised window
// can report one) is treated as one pixel so the aspect ratio stays finite.
inline void opengl_reshape(int width, int height)
{
  window_size.data[0] = width;
  window_size.data[1] = height;
  glViewport(0, 0, width, height);
  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  gluPerspective(opengl_field_of_view, double(width) / double(height > 0 ? height : 1), clip_range.data[0],
                 clip_range.data[1]);
  glGetDoublev(GL_PROJECTION_MATRIX, projection_matrix.data);
}

inline void opengl_setup(int argc, char** argv)
{
  for (int i = 1; i < argc; ++i) {
    std::printf("[%i=%s] ", i, argv[i]);
    if (!std::strcmp(argv[i], "glut_stereo")) opengl_settings.display_mode |= GLUT_STEREO;
    if (!std::strcmp(argv[i], "glut_gamemode") && i + 1 < argc) opengl_gamemode = argv[i + 1];
  }
  if (argc > 1) std::printf("\n");
  std::fflush(stdout);

  glutInit(&argc, argv);
  glutInitDisplayMode(opengl_settings.display_mode);
  opengl_init = 1;
  if (!opengl_gamemode) {
    glutInitWindowSize(window_size.data[0], window_size.data[1]);
    glutInitWindowPosition(window_position.data[0], window_position.data[1]);
    glutCreateWindow(std::string(window_title.data, window_title.numel).c_str());
  } else {
    glutGameModeString(opengl_gamemode);
    if (!glutGameModeGet(GLUT_GAME_MODE_POSSIBLE)) {
      std::printf("error: game mode %s\n", opengl_gamemode);
      std::exit(0);
    }
    glutEnterGameMode();
  }

  if (glewInit() != GLEW_OK) std::printf("error glewInit()\n");
  if (!GLEW_ARB_vertex_shader) std::printf("error GLEW_ARB_vertex_shader\n");
  if (!GLEW_ARB_fragment_shader) std::printf("error GLEW_ARB_fragment_shader\n");
  if (!glewIsSupported("GL_VERSION_2_0")) {
    std::printf("error glewIsSupported(GL_VERSION_2_0)\n");
    if (opengl_without_gl2) opengl_without_gl2();
    std::exit(0);
  }

  glutDisplayFunc(opengl_display);
  glutIdleFunc(opengl_idle);
  glutKeyboardFunc(opengl_keyboard);
  glutKeyboardUpFunc(opengl_keyboard_up);
  glutSpecialFunc(opengl_special);
  glutSpecialUpFunc(opengl_special_up);
  glutMouseFunc(opengl_mouse);
  glutMotionFunc(opengl_motion);
  glutPassiveMotionFunc(opengl_passive_motion);
  glutEntryFunc(opengl_entry);
  glutReshapeFunc(opengl_reshape);
  glutIgnoreKeyRepeat(1);

  glEnable(GL_LIGHTING);
  glEnable(GL_COLOR_MATERIAL);
  glEnable(GL_DEPTH_TEST);
  glEnable(GL_CULL_FACE);
  glColorMaterial(GL_FRONT_AND_BACK, GL_SPECULAR);
  glColorMaterial(GL_FRONT_AND_BACK, GL_AMBIENT_AND_DIFFUSE);  // the call in force
  glLightModeli(GL_LIGHT_MODEL_LOCAL_VIEWER, 1);

  start_time = timestamp::now();
}
