// tests/vyre3d/_util/_opengl/driver: the vyre3d runner and the waits (see driver.h).
#include "driver.h"
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

namespace fs = std::filesystem;

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

program_run::program_run(const std::vector<std::string>& args,
                         const std::function<void(const std::string& folder)>& prepare)
{
  char tmpl[] = "/tmp/vyre3d_run.XXXXXX";
  folder = mkdtemp(tmpl);
  if (!fs::is_directory(VY_GET_DIR))
    fs::create_directory(folder + "/get");
  else if (prepare)
    fs::copy(VY_GET_DIR, folder + "/get", fs::copy_options::recursive);
  else
    fs::create_directory_symlink(VY_GET_DIR, folder + "/get");
  fs::create_directory(folder + "/out");
  if (prepare) prepare(folder);
  pid = fork();
  if (pid == 0) {
    setpgid(0, 0);  // a group of its own, as a terminal starts a job: tests signal the whole group
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

static std::string file_text(const std::string& name)
{
  std::ifstream f(name);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

std::string program_run::output() const { return file_text(folder + "/stdout.txt"); }

std::string program_run::errors() const { return file_text(folder + "/stderr.txt"); }

void program_run::end_with_escape(const std::string& w)
{
  xdotool("mousemove --window " + w + " 400 300");
  xdotool("key Escape");
  ASSERT_TRUE(wait_exit(20)) << output();
  EXPECT_EQ(exit_status, 0);
}

bool wait_file(const std::string& file, std::uintmax_t bytes, double timeout_s)
{
  auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
  std::error_code ec;
  while (std::chrono::steady_clock::now() < end) {
    if (fs::file_size(file, ec) == bytes && !ec) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

std::string program_run::xdotool(const std::string& args) const
{
  return shell("timeout 10 xdotool " + args + " 2>/dev/null");
}
