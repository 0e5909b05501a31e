// Helpers of the stream service's process tests: amxctl run in the
// background (killed by its id) or to completion, and BDF+ files read back.
#pragma once
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <edflib.h>

namespace amxnet_test {

inline std::string slurp(const std::string& path)
{
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// Runs command (shell words) in the background with its output in files
// prefix.out / prefix.err; returns its process id. `exec` makes the shell
// become the program, so the id is the program's.
inline pid_t start(const std::string& command, const std::string& prefix)
{
  pid_t pid = fork();
  if (pid == 0) {
    const std::string line = "exec " + command + " >" + prefix + ".out 2>" + prefix + ".err";
    execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

// Waits at most seconds for pid; kills it (SIGKILL) if it is still running.
// Returns its exit code, or -1 if it had to be killed or died of a signal.
inline int finish(pid_t pid, double seconds)
{
  for (int i = 0; i < static_cast<int>(seconds * 20); ++i) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    usleep(50000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

// A BDF+ file's digital samples by channel, labels and annotations.
struct Bdf {
  bool ok = false;
  std::vector<std::vector<int>> samples;
  std::vector<std::string> labels, annotations;
  double physical_max = 0;
  int digital_max = 0;
};

inline Bdf read_bdf(const std::string& path)
{
  Bdf b;
  edf_hdr_struct hdr{};
  if (edfopen_file_readonly(path.c_str(), &hdr, EDFLIB_READ_ALL_ANNOTATIONS) != 0) return b;
  for (int c = 0; c < hdr.edfsignals; ++c) {
    const int n = static_cast<int>(hdr.signalparam[c].smp_in_file);
    std::vector<int> s(static_cast<size_t>(n));
    if (edfread_digital_samples(hdr.handle, c, n, s.data()) != n) return b;
    b.samples.push_back(s);
    std::string label = hdr.signalparam[c].label;
    b.labels.push_back(label.substr(0, label.find(' ')));
  }
  for (long long i = 0; i < hdr.annotations_in_file; ++i) {
    edf_annotation_struct a{};
    if (edf_get_annotation(hdr.handle, static_cast<int>(i), &a) == 0) b.annotations.push_back(a.annotation);
  }
  if (hdr.edfsignals > 0) {
    b.physical_max = hdr.signalparam[0].phys_max;
    b.digital_max = hdr.signalparam[0].dig_max;
  }
  edfclose_file(hdr.handle);
  b.ok = true;
  return b;
}

}  // namespace amxnet_test
