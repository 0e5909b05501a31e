// tests/common/xvfb: Xvfb start-up (see xvfb.h).
#include "xvfb.h"
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cstdlib>

// Xvfb picks a free display itself and writes its number to the -displayfd pipe.
bool xvfb_server::start()
{
  int fds[2];
  if (pipe(fds)) return false;
  pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0), dup2(null, 1), dup2(null, 2);
    close(fds[0]);
    unsetenv("LD_PRELOAD");  // the sanitizer build's preloads are for GL clients only
    std::string fd = std::to_string(fds[1]);
    execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x1024x24", glx ? "+extension" : "-extension",
           "GLX", "-nolisten", "tcp", "-noreset", (char*)nullptr);
    _exit(127);
  }
  close(fds[1]);
  std::string number;
  pollfd p{fds[0], POLLIN, 0};
  char c;
  while (poll(&p, 1, 15000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
  close(fds[0]);
  if (number.empty()) {
    stop();
    return false;
  }
  display = ":" + number;
  return true;
}

void xvfb_server::stop()
{
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  pid = -1;
}

void XvfbEnvironment::SetUp()
{
  ASSERT_TRUE(server.start()) << "Xvfb did not start";
  setenv("DISPLAY", server.display.c_str(), 1);
}

void XvfbEnvironment::TearDown() { server.stop(); }
