// tests/gl/harness: the GLUT window environment, read-back and the vyre3d runner (see harness.h). Builds on
// _util/_opengl and the vyre3d callbacks.
#include "harness.h"
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include "_util/_opengl.h"

namespace fs = std::filesystem;

void GlWindowEnvironment::SetUp()
{
  XvfbEnvironment::SetUp();
  window_size.data[0] = 800, window_size.data[1] = 600;
  char arg0[] = "test_gl";
  char* argv[] = {arg0, nullptr};
  opengl_setup(1, argv);
  pump_events(300);
}

// The GLUT connection is closed before its server goes away.
void GlWindowEnvironment::TearDown()
{
  glutExit();
  XvfbEnvironment::TearDown();
}

void pump_events(int ms)
{
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    glutMainLoopEvent();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

rgba read_color(int x, int y)
{
  rgba c;
  glFinish();
  glReadBuffer(GL_BACK);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glReadPixels(x, y, 1, 1, GL_RGBA, GL_UNSIGNED_BYTE, &c);
  return c;
}

float read_depth(int x, int y)
{
  float d;
  glReadBuffer(GL_BACK);
  glReadPixels(x, y, 1, 1, GL_DEPTH_COMPONENT, GL_FLOAT, &d);
  return d;
}

int read_stencil(int x, int y)
{
  unsigned char s;
  glReadBuffer(GL_BACK);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glReadPixels(x, y, 1, 1, GL_STENCIL_INDEX, GL_UNSIGNED_BYTE, &s);
  return s;
}

std::string shell(const std::string& command, int* status)
{
  std::string out;
  FILE* p = popen(("env -u LD_PRELOAD " + command).c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int rc = pclose(p);
  if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return out;
}

program_run::program_run(const std::vector<std::string>& args)
{
  char tmpl[] = "/tmp/vyre3d_run.XXXXXX";
  folder = mkdtemp(tmpl);
  if (fs::is_directory(VY_GET_DIR))
    fs::create_directory_symlink(VY_GET_DIR, folder + "/get");
  else
    fs::create_directory(folder + "/get");
  fs::create_directory(folder + "/out");
  pid = fork();
  if (pid == 0) {
    if (chdir(folder.c_str())) _exit(126);
    int out = open("stdout.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, 1), dup2(err, 2);
    std::vector<char*> argv{const_cast<char*>(VYRE3D_EXE)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(VYRE3D_EXE, argv.data());
    _exit(127);
  }
}

program_run::~program_run()
{
  if (!wait_exit(0)) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  fs::remove_all(folder);
}

bool program_run::wait_exit(double timeout_s)
{
  if (exit_status >= 0) return true;
  auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
  do {
    int status;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (std::chrono::steady_clock::now() < end);
  return false;
}

// The program's window: the visible child of the root window (each test program
// has its own server and runs one vyre3d at a time).
std::string program_run::window(double timeout_s)
{
  std::string root = xdotool("search --maxdepth 0 --name ''");
  while (!root.empty() && root.back() == '\n') root.pop_back();
  auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
  while (!wait_exit(0) && std::chrono::steady_clock::now() < end) {
    std::istringstream ids(xdotool("search --maxdepth 1 --onlyvisible --name ''"));
    for (std::string id; ids >> id;)
      if (id != root) return id;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return "";
}

std::string program_run::output() const
{
  std::ifstream f(folder + "/stdout.txt");
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

std::string program_run::xdotool(const std::string& args) const
{
  return shell("timeout 10 xdotool " + args + " 2>/dev/null");
}
