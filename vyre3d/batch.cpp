// vyre3d/batch: the batch options (see batch.h): parsing, the ffmpeg pipe that
// takes every frame, the capture of every M-th frame, the end after K frames and
// the frame-time figures. Builds on the frame loop's state and _util/_opengl.
#include "vyre3d/batch.h"
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>
#include "vyre3d/frame.h"
#include "vyre3d/platform.h"

batch_options batch;

namespace {

// A whole-string number: a finite double, or an integer of at least 1.
bool read_double(const char* s, double& v)
{
  char* end = nullptr;
  errno = 0;
  v = std::strtod(s, &end);
  return *s && !*end && !errno && std::isfinite(v);
}

bool read_count(const char* s, long long& v)
{
  char* end = nullptr;
  errno = 0;
  v = std::strtoll(s, &end, 10);
  return *s && !*end && !errno && v >= 1;
}

// The ffmpeg process taking raw RGBA frames of one fixed size on its standard input.
struct video_pipe {
  child_process child;
  bool open = false;  // frames still go to it
  int width = 0, height = 0;
  std::vector<unsigned char> frame;
} video;

long long frames_begun = 0, frames_drawn = 0;
volatile sig_atomic_t stop_signal = 0;  // set by a signal; the next frame ends the run
std::vector<double> frame_ms;           // wall-clock time of each finished frame
double first_frame_cpu = 0;             // process_seconds() at the start of the first frame
std::chrono::steady_clock::time_point last_begin, last_pass;
std::vector<std::pair<std::string, double>> pass_ms;  // total per pass, in the order first met

bool start_ffmpeg(const std::string& file, int width, int height, double fps)
{
  const std::string size = std::to_string(width) + "x" + std::to_string(height);
  char rate[32];
  std::snprintf(rate, sizeof rate, "%.9g", fps);
  const std::string why =
      child_start({"ffmpeg", "-nostdin",    "-loglevel", "error",      "-y",      "-f", "rawvideo", "-pixel_format",
                   "rgba",   "-video_size", size,        "-framerate", rate,      "-i", "pipe:0",   "-vf",
                   "vflip",  "-c:v",        "libx264",   "-pix_fmt",   "yuv420p", file},
                  video.child);
  if (!why.empty()) {
    std::fprintf(stderr, "error --video: cannot start ffmpeg (%s); %s\n", why.c_str(), ffmpeg_install_hint());
    return false;
  }
  video.open = true;
  video.width = width, video.height = height;
  video.frame.resize(std::size_t(4) * width * height);
  return true;
}

// How long ffmpeg may take to encode what it still holds and close the file.
constexpr int video_finish_seconds = 10;

// Closes ffmpeg's input and waits until it has finished the file; false, after a
// line saying what is left of the file, when it failed or had to be stopped.
bool finish_video()
{
  if (video.child.process == -1) return true;
  video.open = false;
  const child_end end = child_finish(video.child, video_finish_seconds);
  if (end == child_end::done) return true;
  const char* file = batch.video.c_str();
  std::error_code ec;
  const std::uintmax_t bytes = std::filesystem::file_size(batch.video, ec);
  const std::string left = ec ? "no " + batch.video + " is left"
                              : batch.video + " is left with " + std::to_string(bytes) + " bytes and may not play";
  if (end == child_end::stopped)
    std::fprintf(stderr, "error --video: ffmpeg did not finish %s within %d s and was stopped; %s\n", file,
                 video_finish_seconds, left.c_str());
  else
    std::fprintf(stderr, "error --video: ffmpeg did not finish %s (it failed); %s\n", file, left.c_str());
  return false;
}

// "bench frames=K median_ms=… p90_ms=… max_ms=… fps=… cpu_ms=…"; fps is the rate at
// the median frame time, cpu_ms the processor time of all threads per frame (start-up
// left out), which a loaded machine disturbs less than the wall clock.
void print_bench()
{
  if (!batch.bench || frame_ms.empty()) return;
  std::vector<double> t = frame_ms;
  std::sort(t.begin(), t.end());
  const double median = t[t.size() / 2], p90 = t[std::min(t.size() - 1, t.size() * 9 / 10)];
  std::printf("bench frames=%zu median_ms=%.3f p90_ms=%.3f max_ms=%.3f fps=%.1f cpu_ms=%.3f\n", t.size(), median, p90,
              t.back(), 1000 / median, 1000 * (process_seconds() - first_frame_cpu) / double(t.size()));
  for (const auto& p : pass_ms) std::printf("bench pass=\"%s\" mean_ms=%.3f\n", p.first.c_str(), p.second / t.size());
  std::fflush(stdout);
}

// Every way out of the program (the last frame, Escape, the pointer leaving)
// prints the figures and lets ffmpeg finish the file.
void at_exit()
{
  print_bench();
  finish_video();
}

void on_signal(int sig) { stop_signal = sig; }

// Set once the program is on its way out: the exit handlers close the window,
// whose close callback must then not start another exit (which would replace the
// exit code).
bool ending = false;

[[noreturn]] void end_run(int code)
{
  ending = true;
  std::exit(code);
}

}  // namespace

void batch_quit(const char* why)
{
  if (ending) return;  // the end closes the window, which reports here once more
  ending = true;
  if (batch.frames && frames_drawn < batch.frames) {
    std::fprintf(stderr, "error --frames %lld: the run ended after %lld frames: %s\n", batch.frames, frames_drawn, why);
    std::exit(batch_ended_early);  // the exit handlers print the figures and finish the video
  }
  opengl_quit();
}

const char* batch_usage()
{
  return "usage: vyre3d [glut_stereo] [glut_gamemode MODE] [--play N] [--step S] [--frames K] [--capture M]\n"
         "              [--lighting off] [--video FILE.mp4] [--bench]\n"
         "  --play N        start curve N (1 to 6) at once, as key N does\n"
         "  --step S        every frame advances the scene clock by S seconds (0 < S <= 10)\n"
         "  --frames K      end with exit code 0 after K frames; an earlier end (Escape, the pointer\n"
         "                  leaving, the window closed, a signal) says so and gives exit code 3\n"
         "  --capture M     capture frames M, 2M, 3M, ... into out/, as g + p does\n"
         "  --lighting off  start with the lighting effects off, as g + l does\n"
         "  --video FILE    pipe every frame to ffmpeg: an H.264 MP4 at 1/S frames per second (needs --step)\n"
         "  --bench         print frame times at the end: bench frames=K median_ms= p90_ms= max_ms= fps=\n"
         "  --bench-passes  --bench, and the mean time of each drawing pass (the GL work is finished at each)\n";
}

std::string batch_parse(int argc, char** argv, batch_options& b)
{
  for (int i = 1; i < argc; ++i) {
    const std::string opt = argv[i];
    if (opt == "--bench" || opt == "--bench-passes") {
      b.bench = true;
      b.passes = b.passes || opt == "--bench-passes";
      continue;
    }
    const bool takes_value = opt == "--play" || opt == "--step" || opt == "--frames" || opt == "--capture" ||
                             opt == "--lighting" || opt == "--video";
    if (!takes_value) continue;  // not ours: left to opengl_setup and GLUT
    if (i + 1 >= argc) return opt + " needs a value";
    const char* v = argv[++i];
    double d = 0;
    long long n = 0;
    bool good = true;
    if (opt == "--play")
      good = read_count(v, n) && n <= 6, b.play = int(n);
    else if (opt == "--step")
      good = read_double(v, d) && d > 0 && d <= 10, b.step = d;
    else if (opt == "--frames")
      good = read_count(v, b.frames);
    else if (opt == "--capture")
      good = read_count(v, b.capture);
    else if (opt == "--lighting")
      good = !std::strcmp(v, "off") || !std::strcmp(v, "on"), b.lighting_off = !std::strcmp(v, "off");
    else
      good = *v != 0, b.video = v;
    if (!good) return opt + " " + v + ": not a valid value";
  }
  if (!b.video.empty() && !b.step) return "--video needs --step (the video's frame rate is 1/S)";
  return "";
}

bool batch_start()
{
  // A run that is to draw, capture or film and cannot ends as a failure.
  if (batch.frames || batch.capture || !batch.video.empty() || batch.bench)
    opengl_without_gl2 = [] {
      std::fflush(stdout);
      std::fprintf(stderr, "error: no OpenGL 2.0 here (above): the batch run ends without drawing\n");
      std::exit(1);
    };
  if (batch.lighting_off) opengl_settings.lighting_effects = 0;
  if (batch.play) key_pressed.data['0' + batch.play] = 1;
  if (!batch.video.empty()) {
    std::error_code ec;  // the video's folder is made like the captures' (ffmpeg would refuse it)
    const std::filesystem::path folder = std::filesystem::path(batch.video).parent_path();
    if (!folder.empty()) std::filesystem::create_directories(folder, ec);
    if (!start_ffmpeg(batch.video, window_size.data[0], window_size.data[1], 1 / batch.step)) return false;
  }
  if (!batch.video.empty() || batch.bench) std::atexit(at_exit);
  // A signal ends the run at the next frame, through the exit handlers that let
  // ffmpeg finish the file.
  if (batch.frames || !batch.video.empty()) on_stop_signals(on_signal);
  return true;
}

void batch_frame_begin()
{
  const auto now = std::chrono::steady_clock::now();
  if (batch.bench && frames_begun)
    frame_ms.push_back(std::chrono::duration<double, std::milli>(now - last_begin).count());
  last_begin = last_pass = now;
  if (batch.bench && !frames_begun) first_frame_cpu = process_seconds();
  if (stop_signal && !batch.frames) end_run(128 + stop_signal);  // the status a shell gives a signalled end
  if (stop_signal) batch_quit(stop_signal_name(stop_signal));
  if (batch.frames && frames_begun == batch.frames) {
    print_bench();
    frame_ms.clear();  // printed once, also when the exit handlers run
    end_run(finish_video() ? 0 : 1);
  }
  ++frames_begun;
  if (batch.capture && frames_begun % batch.capture == 0) opengl_settings.print_screen = 1;
}

void batch_frame_drawn()
{
  ++frames_drawn;
  if (!video.open) return;
  glPushClientAttrib(GL_CLIENT_PIXEL_STORE_BIT);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glReadPixels(0, 0, video.width, video.height, GL_RGBA, GL_UNSIGNED_BYTE, video.frame.data());
  glPopClientAttrib();
  if (!child_write(video.child, video.frame.data(), video.frame.size())) {
    std::fprintf(stderr, "error --video: ffmpeg stopped taking frames\n");
    video.open = false;
  }
}

void batch_pass(const char* name)
{
  if (!batch.passes) return;
  glFinish();
  const auto now = std::chrono::steady_clock::now();
  const double ms = std::chrono::duration<double, std::milli>(now - last_pass).count();
  last_pass = now;
  auto p = std::find_if(pass_ms.begin(), pass_ms.end(), [name](const auto& q) { return q.first == name; });
  if (p == pass_ms.end())
    pass_ms.emplace_back(name, ms);
  else
    p->second += ms;
}
