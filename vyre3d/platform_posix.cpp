// vyre3d/platform on Linux: a line-buffered stdout and the child process through
// posix_spawnp and a pipe.
#include "vyre3d/platform.h"
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

extern char** environ;

void console_lines_at_once() { std::setvbuf(stdout, nullptr, _IOLBF, 0); }

std::string child_start(const std::vector<std::string>& args, child_process& child)
{
  int fds[2];
  if (pipe(fds)) return std::strerror(errno);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
  posix_spawn_file_actions_addclose(&actions, fds[1]);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);  // a group of its own, led by the child
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[0]);
  if (rc) {
    close(fds[1]);
    return std::strerror(rc);
  }
  signal(SIGPIPE, SIG_IGN);  // a failed child shows as a failed write, not as the end of the program
  child.process = pid;
  child.input = fds[1];
  return "";
}

void on_stop_signals(void (*handler)(int))
{
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) signal(sig, handler);
}

const char* stop_signal_name(int sig) { return strsignal(sig); }

bool child_write(child_process& child, const unsigned char* data, std::size_t size)
{
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = write(int(child.input), data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += std::size_t(n);
  }
  return true;
}

namespace {

// Waits up to `seconds` for the child's end; true once it is reaped (or cannot be).
bool wait_for(pid_t pid, int& status, double seconds)
{
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid || (r < 0 && errno != EINTR)) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    const timespec pause = {0, 10'000'000};
    nanosleep(&pause, nullptr);
  }
}

}  // namespace

child_end child_finish(child_process& child, int seconds)
{
  if (child.input >= 0) close(int(child.input));
  child.input = -1;
  const pid_t pid = pid_t(child.process);
  child.process = -1;
  int status = -1;
  if (wait_for(pid, status, seconds))
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? child_end::done : child_end::failed;
  kill(pid, SIGTERM);
  if (!wait_for(pid, status, 5)) {
    kill(pid, SIGKILL);
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
  }
  return child_end::stopped;
}

double process_seconds()
{
  timespec t = {};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

const char* ffmpeg_install_hint() { return "install it (Debian package ffmpeg)"; }
