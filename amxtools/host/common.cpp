// amxhost: status messages, command-line values, the choice of a device and
// whether it identified itself, the stop flag and the clocks the host programs use.
#include "amxhost.h"

#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <thread>

namespace amxhost {

std::string status_name(int32_t status)
{
  std::string name = AmxStatusName(status);
  return name == AmxStatusName(-1) ? "status " + std::to_string(status) : name;
}

const char* g_program = "amxctl";

int fail(const std::string& what, int32_t status)
{
  std::fprintf(stderr, "%s: %s: %s\n", g_program, what.c_str(), status_name(status).c_str());
  return kExitFailed;
}

int fail(const std::string& message)
{
  std::fprintf(stderr, "%s: %s\n", g_program, message.c_str());
  return kExitFailed;
}

std::string Args::last(const std::string& name, const std::string& fallback) const
{
  auto it = options.find(name);
  return it == options.end() || it->second.empty() ? fallback : it->second.back();
}

bool parse_args(int argc, char** argv, const std::map<std::string, bool>& known, Args& out, std::string& error)
{
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      out.options["help"].push_back("");
      continue;
    }
    if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
      if (arg.size() > 1 && arg[0] == '-' && !std::isdigit(static_cast<unsigned char>(arg[1]))) {
        error = "unknown option " + arg;
        return false;
      }
      out.positional.push_back(arg);
      continue;
    }
    std::string name = arg.substr(2), value;
    size_t eq = name.find('=');
    bool inline_value = eq != std::string::npos;
    if (inline_value) {
      value = name.substr(eq + 1);
      name.resize(eq);
    }
    auto it = known.find(name);
    if (it == known.end()) {
      error = "unknown option --" + name;
      return false;
    }
    if (it->second && !inline_value) {
      if (i + 1 >= argc) {
        error = "--" + name + " needs a value";
        return false;
      }
      value = argv[++i];
    } else if (!it->second && inline_value) {
      error = "--" + name + " takes no value";
      return false;
    }
    out.options[name].push_back(value);
  }
  return true;
}

bool parse_int(const std::string& text, long long lo, long long hi, long long& value)
{
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  value = v;
  return true;
}

bool parse_double(const std::string& text, double& value)
{
  if (text.empty()) return false;
  char* end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  if (*end != '\0' || !std::isfinite(v)) return false;
  value = v;
  return true;
}

DeviceChoice choose_device(const std::string& arg, int32_t count, const std::function<int32_t(int32_t)>& id_at,
                           int32_t& id)
{
  long long v = 0;
  if (!arg.empty() && arg[0] == '@') {
    if (!parse_int(arg.substr(1), 0, INT32_MAX, v) || v >= count) return DeviceChoice::Missing;
    id = id_at(static_cast<int32_t>(v));
  } else if (parse_int(arg, INT32_MIN, INT32_MAX, v)) {
    id = static_cast<int32_t>(v);
  } else {
    return DeviceChoice::Bad;
  }
  return DeviceChoice::Found;
}

std::string bad_device_text(const std::string& arg)
{
  return "bad device \"" + arg + "\": give an identifier from `amxctl list` or @INDEX";
}

bool identified(const AmxInternalInfoRecord& ident) { return ident.deviceKind != 0 || ident.deviceRevision != 0; }

std::atomic<bool> g_stop{false};

static void on_signal(int) { g_stop = true; }

void install_stop_handler()
{
  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);
#ifndef _WIN32
  std::signal(SIGHUP, on_signal);
  std::signal(SIGPIPE, SIG_IGN);  // a closed output shows as a write error instead
#endif
}

OutputKind output_kind(const std::string& path)
{
#ifdef _WIN32
  struct _stat64 st {};
  if (_stat64(path.c_str(), &st) != 0) return OutputKind::Missing;
  if ((st.st_mode & _S_IFMT) == _S_IFCHR) return OutputKind::Device;
  return (st.st_mode & _S_IFMT) == _S_IFREG ? OutputKind::File : OutputKind::Other;
#else
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return OutputKind::Missing;
  if (S_ISCHR(st.st_mode)) return OutputKind::Device;
  return S_ISREG(st.st_mode) || S_ISLNK(st.st_mode) ? OutputKind::File : OutputKind::Other;
#endif
}

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

double now_seconds()
{
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace amxhost
