// vyre3d/platform on Windows: an unbuffered stdout (the C runtime has no line
// buffering) and the child process through CreateProcess and an anonymous pipe.
#include "vyre3d/platform.h"
#include <windows.h>
#include <csignal>
#include <cstdio>

namespace {

HANDLE handle(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }

// One argument as the C runtime's command-line parser reads it back: quoted when
// it holds a blank or a quote, with the backslashes before a quote doubled.
std::string quoted(const std::string& a)
{
  if (!a.empty() && a.find_first_of(" \t\"") == std::string::npos) return a;
  std::string q = "\"";
  std::size_t backslashes = 0;
  for (char c : a) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    q.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    q += c;
  }
  q.append(2 * backslashes, '\\');
  return q + "\"";
}

std::string system_message(DWORD code)
{
  char text[256] = "";
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text, sizeof text,
                 nullptr);
  std::string s = text;
  while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == ' ' || s.back() == '.')) s.pop_back();
  return s.empty() ? "error " + std::to_string(code) : s;
}

}  // namespace

void console_lines_at_once() { std::setvbuf(stdout, nullptr, _IONBF, 0); }

std::string child_start(const std::vector<std::string>& args, child_process& child)
{
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inherit, 0)) return system_message(GetLastError());
  SetHandleInformation(write_end, HANDLE_FLAG_INHERIT, 0);  // the child holds only the read end
  std::string line;
  for (const std::string& a : args) line += (line.empty() ? "" : " ") + quoted(a);
  STARTUPINFOA start = {};
  start.cb = sizeof start;
  start.dwFlags = STARTF_USESTDHANDLES;
  start.hStdInput = read_end;
  start.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  start.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION info = {};
  const BOOL started = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NEW_PROCESS_GROUP, nullptr,
                                      nullptr, &start, &info);
  const DWORD error = GetLastError();
  CloseHandle(read_end);
  if (!started) {
    CloseHandle(write_end);
    return system_message(error);
  }
  CloseHandle(info.hThread);
  child.process = reinterpret_cast<std::intptr_t>(info.hProcess);
  child.input = reinterpret_cast<std::intptr_t>(write_end);
  return "";
}

void on_stop_signals(void (*handler)(int))
{
  for (int sig : {SIGINT, SIGTERM, SIGBREAK}) signal(sig, handler);
}

const char* stop_signal_name(int sig)
{
  switch (sig) {
    case SIGINT: return "Interrupt";
    case SIGTERM: return "Terminated";
    case SIGBREAK: return "Break";
    default: return "a signal";
  }
}

bool child_write(child_process& child, const unsigned char* data, std::size_t size)
{
  while (size > 0) {
    DWORD n = 0;
    const DWORD chunk = size > (1u << 30) ? DWORD(1u << 30) : DWORD(size);
    if (!WriteFile(handle(child.input), data, chunk, &n, nullptr) || n == 0) return false;
    data += n, size -= n;
  }
  return true;
}

// A child in its own console group ignores Ctrl-C; Ctrl-Break sent to that group
// asks it to stop and lets ffmpeg close the file with what it has.
child_end child_finish(child_process& child, int seconds)
{
  if (child.input != -1) CloseHandle(handle(child.input));
  child.input = -1;
  HANDLE process = handle(child.process);
  child.process = -1;
  child_end end = child_end::failed;
  if (WaitForSingleObject(process, DWORD(seconds) * 1000) == WAIT_TIMEOUT) {
    end = child_end::stopped;
    GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, GetProcessId(process));
    if (WaitForSingleObject(process, 5000) == WAIT_TIMEOUT) TerminateProcess(process, 1);
    WaitForSingleObject(process, 5000);
  }
  DWORD code = 1;
  if (end != child_end::stopped && GetExitCodeProcess(process, &code) && code == 0) end = child_end::done;
  CloseHandle(process);
  return end;
}

double process_seconds()
{
  FILETIME created, ended, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user)) return 0;
  auto seconds = [](const FILETIME& f) {
    return 1e-7 * double((unsigned long long)f.dwHighDateTime << 32 | f.dwLowDateTime);  // 100 ns units
  };
  return seconds(kernel) + seconds(user);
}

const char* ffmpeg_install_hint() { return "put ffmpeg.exe on PATH"; }
