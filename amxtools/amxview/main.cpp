// amxview: the window (GLFW, OpenGL 3, Dear ImGui), the frame loop with its
// frame timer, and the headless screenshot mode (PNG through stb).
#include "ui.h"

#include <GLFW/glfw3.h>
#include <imgui.h>
#include <backends/imgui_impl_glfw.h>
#include <backends/imgui_impl_opengl3.h>
#include <stb_image_write.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#endif
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

using namespace amxview;

namespace {

int usage_error(const std::string& error)
{
  std::fprintf(stderr, "amxview: %s\n\n%s", error.c_str(), kUsage);
  return amxhost::kExitUsage;
}

int failed(const std::string& message)
{
  std::fprintf(stderr, "amxview: %s\n", message.c_str());
  return amxhost::kExitFailed;
}

double cpu_seconds()
{
#ifdef _WIN32
  FILETIME created, ended, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user)) return 0;
  auto seconds = [](FILETIME f) { return ((uint64_t{f.dwHighDateTime} << 32) | f.dwLowDateTime) / 1e7; };
  return seconds(kernel) + seconds(user);
#else
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
#endif
}

// The back buffer as a PNG (rows flipped: GL counts from the bottom).
bool write_png(const std::string& path, int w, int h)
{
  std::vector<unsigned char> pixels(static_cast<size_t>(w) * h * 3), flipped(pixels.size());
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glReadBuffer(GL_BACK);
  glReadPixels(0, 0, w, h, GL_RGB, GL_UNSIGNED_BYTE, pixels.data());
  const size_t row = static_cast<size_t>(w) * 3;
  for (int y = 0; y < h; ++y) std::copy_n(&pixels[(h - 1 - y) * row], row, &flipped[y * row]);
  return stbi_write_png(path.c_str(), w, h, 3, flipped.data(), static_cast<int>(row)) != 0;
}

void glfw_error(int code, const char* text) { std::fprintf(stderr, "amxview: GLFW error %d: %s\n", code, text); }

}  // namespace

int main(int argc, char** argv)
{
  amxhost::g_program = "amxview";
  App app;
  std::string error;
  if (!parse_options(argc, argv, app.options, error)) return usage_error(error);
  if (app.options.help) {
    std::printf("%s", kUsage);
    return 0;
  }
  Options& o = app.options;
  const bool headless = !o.screenshot.empty();
  // Saved settings, then the command line over them; a batch run reads none,
  // so its pictures depend on its arguments only.
  const std::string settings = headless ? "" : settings_path();
  if (!settings.empty()) {
    const auto values = read_settings(settings);
    apply_settings(app, values);
    long long w = 0, h = 0;
    if (!o.sized && values.count("width") && values.count("height") &&
        amxhost::parse_int(values.at("width"), 320, 8192, w) && amxhost::parse_int(values.at("height"), 240, 8192, h))
      o.width = static_cast<int>(w), o.height = static_cast<int>(h);
  }
  if (headless || o.view_set) app.view = o.view;
  if (o.filters) app.filter.band_pass = app.filter.notch = app.filter.baseline = true;
  // Checked before the device starts: a run must not stream for nothing.
  if (headless && !can_write_png(o.screenshot, error)) return failed(error);
  if (!o.record.empty() && !o.force && access(o.record.c_str(), F_OK) == 0)
    return failed(o.record + " exists: not replaced (--force replaces it)");
  // A stream's address is checked now, its keys read now; a bare name is
  // looked for once the window runs.
  const bool remote = !o.connect.empty();
  if (remote && !check_stream_source(o.connect, error)) return error == kNoStreams ? failed(error) : usage_error(error);
  if (!o.keys.empty() && !load_stream_keys(o.keys, app.keys, error)) return failed(error);
  std::snprintf(app.keys_path, sizeof app.keys_path, "%s", o.keys.c_str());
  app.devices = scan_devices({});
  const int index = remote ? -1 : find_device(app, o.device, error);
  if (!remote && index < 0 && (headless || o.device != "@0")) return failed(error);
  // A montage the device cannot take is refused as amxctl refuses it, before
  // anything streams or is recorded under the wrong names.
  std::vector<std::string> labels;
  if (!o.montage.empty() && index >= 0 &&
      !amxhost::read_montage(o.montage, app.devices[static_cast<size_t>(index)].info.channelCount, labels, error))
    return usage_error(error);

  glfwSetErrorCallback(glfw_error);
  if (!glfwInit()) return failed("no display (DISPLAY not set or the X server unreachable)");
  glfwWindowHint(GLFW_CONTEXT_VERSION_MAJOR, 3);
  glfwWindowHint(GLFW_CONTEXT_VERSION_MINOR, 0);
  GLFWwindow* window = glfwCreateWindow(o.width, o.height, "amxview", nullptr, nullptr);
  if (!window) {
    glfwTerminate();
    return failed("cannot open a window with OpenGL 3");
  }
  glfwMakeContextCurrent(window);
  glfwSwapInterval(headless ? 0 : 1);
  IMGUI_CHECKVERSION();
  ImGui::CreateContext();
  ImGui::GetIO().IniFilename = nullptr;
  ImGui::StyleColorsDark();
  ImGui::GetStyle().AntiAliasedLines = false;  // traces and spectra in their exact channel colours
  install_marker_keys(window, app);            // before the backend, which chains to it
  ImGui_ImplGlfw_InitForOpenGL(window, true);
  ImGui_ImplOpenGL3_Init("#version 130");

  amxhost::install_stop_handler();  // Ctrl-C closes a recording properly
  int rc = 0;
  app.proposed = o.record.empty() ? dated_record_name() : "";
  std::snprintf(app.record_path, sizeof app.record_path, "%s",
                o.record.empty() ? app.proposed.c_str() : o.record.c_str());
  app.record_on_start = !o.record.empty();
  if (!o.montage.empty()) std::snprintf(app.montage_path, sizeof app.montage_path, "%s", o.montage.c_str());
  app.record_replace = o.force;
  if (index >= 0 && !open_device(app, static_cast<size_t>(index))) rc = failed(app.message);
  if (remote && !connect_stream(app, o.connect)) rc = failed(app.message);
  if (!headless) app.discovery.start();

  using clock = std::chrono::steady_clock;
  const auto t0 = clock::now();
  const double cpu0 = cpu_seconds();
  const auto frame_time = std::chrono::duration<double>(o.fps > 0 ? 1 / o.fps : 0);
  auto next_frame = t0;
  long frames_drawn = 0;
  double now = 0;
  while (rc == 0 && !glfwWindowShouldClose(window) && !amxhost::g_stop) {
    glfwPollEvents();
    now = std::chrono::duration<double>(clock::now() - t0).count();
    const bool ended = is_open(app) && !app.acquirer.running;  // seen by update() too: the recording closes
    update(app, now);
    ImGui_ImplOpenGL3_NewFrame();
    ImGui_ImplGlfw_NewFrame();
    ImGui::NewFrame();
    draw(app);
    ImGui::Render();
    int w, h;
    glfwGetFramebufferSize(window, &w, &h);
    glViewport(0, 0, w, h);
    const ImVec4 bg = ImGui::GetStyle().Colors[ImGuiCol_WindowBg];  // the window draws no background of its own
    glClearColor(bg.x, bg.y, bg.z, 1);
    glClear(GL_COLOR_BUFFER_BIT);
    ImGui_ImplOpenGL3_RenderDrawData(ImGui::GetDrawData());
    ++frames_drawn;
    // Seconds of stream, not of the clock: the device's start (up to 1.5 s, and
    // longer on a busy machine) does not eat into what the picture shows.
    if (headless && counts(app).frames >= o.seconds * app.rate) {
      if (!write_png(o.screenshot, w, h)) rc = failed("cannot write " + o.screenshot);
      break;
    }
    glfwSwapBuffers(window);
    // The stream ended before the picture and did not come back (the
    // recording is closed by now).
    if (headless && ended && app.gave_up)
      rc = failed(remote                 ? app.message + ": no screenshot written"
                  : app.acquirer.removed ? "the device was removed: no screenshot written"
                                         : "the acquisition ended: no screenshot written");
    // A stream whose link stays lost: the publisher may be back any time, but
    // a batch run does not wait for it.
    if (headless && remote && app.last_frames_at >= 0 && now - app.last_frames_at > 10)
      rc = failed("no frames from " + app.source + " for 10 s: no screenshot written");
    // The cap paces frames on a fixed grid: frames late by a busy machine are
    // made up by the next ones; more than 0.1 s behind starts the grid anew.
    const auto step = std::chrono::duration_cast<clock::duration>(frame_time);
    next_frame += step;
    if (next_frame < clock::now() - std::chrono::milliseconds(100)) next_frame = clock::now();
    std::this_thread::sleep_until(next_frame);
  }

  if (headless && rc == 0 && amxhost::g_stop) rc = failed("interrupted: no screenshot written");
  const double cpu = cpu_seconds() - cpu0;
  const Counts n = counts(app);
  if (app.acquirer.recording() && !app.acquirer.stop_recording(error) && rc == 0) rc = failed(error);
  app.acquirer.stop();
  app.discovery.stop();
  if (headless && rc == 0) {
    const double stream_s = app.rate ? static_cast<double>(n.frames) / app.rate : 0;
    std::string files;
    for (const std::string& f : app.recorded) files += (files.empty() ? ", recorded " : " and ") + f;
    std::printf(
        "amxview: %s (%d channels at %d/s): %ld frames drawn in %.2f s (%.1f frames/s), CPU %.3f s per second "
        "of stream (%.0f%% of one core), %d packets lost, %llu frames missing%s\n",
        o.screenshot.c_str(), app.device.info.channelCount, app.rate, frames_drawn, now, frames_drawn / now,
        stream_s > 0 ? cpu / stream_s : 0.0, stream_s > 0 ? 100 * cpu / stream_s : 0.0, static_cast<int>(n.lost),
        static_cast<unsigned long long>(n.missing), files.c_str());
  }
  // What the picture's status bar says (last drawn), for scripts and tests to compare.
  if (headless) std::printf("amxview: status bar: %s\n", app.status.c_str());
  if (!settings.empty()) {
    auto values = settings_of(app);
    int w = 0, h = 0;
    glfwGetWindowSize(window, &w, &h);
    values["width"] = std::to_string(w);
    values["height"] = std::to_string(h);
    if (!write_settings(settings, values, error)) std::fprintf(stderr, "amxview: %s\n", error.c_str());
  }
  ImGui_ImplOpenGL3_Shutdown();
  ImGui_ImplGlfw_Shutdown();
  ImGui::DestroyContext();
  glfwDestroyWindow(window);
  glfwTerminate();
  return rc;
}
