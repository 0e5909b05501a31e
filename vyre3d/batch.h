// vyre3d/batch: runs without a person at the keys. Options on the command line
// start a curve, fix the scene time per frame (so a run gives the same frames on
// any machine), end after a number of frames, capture every M-th frame, switch
// the lighting effects off, pipe every frame to ffmpeg as a video and time the
// frames. Builds on the frame loop's state (vyre3d/frame.h).
#pragma once
#include <string>

struct batch_options {
  int play = 0;               // curve started with the first frame (1 to 6); 0: none
  double step = 0;            // scene seconds per frame; 0: the clock
  long long frames = 0;       // frames drawn before the program ends with code 0; 0: no end
  long long capture = 0;      // a capture of every this-many-th frame; 0: none
  bool lighting_off = false;  // start with the lighting effects off
  std::string video;          // MP4 file written by ffmpeg from every frame; empty: none
  bool bench = false;         // print frame-time figures at the end
  bool passes = false;        // also time each drawing pass (finishing the GL work at each)
};

extern batch_options batch;

// Reads the batch options among the arguments (all others are left to
// opengl_setup); returns "" or what is wrong with an option.
std::string batch_parse(int argc, char** argv, batch_options& b);

// The usage text of the batch options, printed with a bad option.
const char* batch_usage();

// Applies the parsed options before the window opens: the settings, the curve key
// and the ffmpeg process (its size is window_size). False, after a line saying
// why, when ffmpeg cannot be started.
bool batch_start();

// Exit code of a batch run that ends before its K frames.
constexpr int batch_ended_early = 3;

// Ends the program with exit code 0 (Escape, the pointer leaving, the window
// closed). A batch run short of its K frames instead prints one line with the
// frames made and why, and ends with batch_ended_early; the video keeps the
// frames made. A signal (SIGINT, SIGTERM, SIGHUP) ends a batch run the same way
// at the next frame. Returns only when called again during that end.
void batch_quit(const char* why);

// Called by the display callback at the start of every frame (ends the run after
// the last frame, times frames, asks for captures) and when a frame is drawn,
// before the buffers are swapped (sends it to the video).
void batch_frame_begin();
void batch_frame_drawn();

// With --bench-passes: waits for the GL work so far and books the time since the
// previous mark under name (per-pass times printed at the end). Otherwise nothing.
void batch_pass(const char* name);
