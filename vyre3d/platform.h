// vyre3d/platform: the little that differs between Linux and Windows: how the
// console shows lines as they are written, the signals that end a batch run, and
// the child process (ffmpeg) that takes the video frames on its standard input. platform_posix.cpp and
// platform_win32.cpp implement it; nothing else in the program calls the OS.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Lines printed to stdout appear at once, also through a pipe.
void console_lines_at_once();

// Calls handler(sig) on the signals that ask a program to end (interrupt,
// terminate, and the platform's hang-up or break); the name of such a signal.
void on_stop_signals(void (*handler)(int));
const char* stop_signal_name(int sig);

struct child_process {
  std::intptr_t process = -1;  // process id or handle; -1: none
  std::intptr_t input = -1;    // write end of its standard input; -1: closed
};

// Starts args[0], found on PATH, with its standard input on a pipe; returns "" or
// why it could not start.
std::string child_start(const std::vector<std::string>& args, child_process& child);

// Writes all bytes to the child's input; false when it stopped taking them.
bool child_write(child_process& child, const unsigned char* data, std::size_t size);

// Closes the child's input and waits for its end; true when it exited with code 0.
bool child_finish(child_process& child);

// What to tell a user who lacks the program, after "cannot start ffmpeg (...)".
const char* ffmpeg_install_hint();
