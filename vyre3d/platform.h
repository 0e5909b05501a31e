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

// Starts args[0], found on PATH, with its standard input on a pipe, in a process
// group of its own (a new console group on Windows), so that a Ctrl-C or a signal
// sent to this program's group does not reach it; returns "" or why it could not
// start.
std::string child_start(const std::vector<std::string>& args, child_process& child);

// Writes all bytes to the child's input; false when it stopped taking them.
bool child_write(child_process& child, const unsigned char* data, std::size_t size);

// How a child ended: exited with code 0, ended otherwise (an error code, a
// signal), or still running after the wait and stopped.
enum class child_end { done, failed, stopped };

// Closes the child's input and waits for its end, at most `seconds`; a child still
// running then is asked to stop (on Linux SIGTERM, which lets ffmpeg close the file
// with what it has), and killed when it has not ended after 5 s more.
child_end child_finish(child_process& child, int seconds);

// Processor time used so far by the whole process (all threads), in seconds.
double process_seconds();

// What to tell a user who lacks the program, after "cannot start ffmpeg (...)".
const char* ffmpeg_install_hint();
