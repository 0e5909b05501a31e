// amxview: the settings kept between runs, as "key=value" lines in a file
// under the user's configuration folder.
#include "viewer.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#ifdef _WIN32
#include <direct.h>
// Windows' mkdir takes no permissions.
static int mkdir(const char* path, int) { return _mkdir(path); }
#endif

namespace amxview {

std::string settings_path()
{
#ifdef _WIN32
  // Windows keeps a user's settings under %APPDATA%.
  const char* appdata = std::getenv("APPDATA");
  return appdata && *appdata ? std::string(appdata) + "/amxview/settings.ini" : "";
#else
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  const char* home = std::getenv("HOME");
  if (xdg && *xdg == '/') return std::string(xdg) + "/amxview/settings.ini";
  if (home && *home) return std::string(home) + "/.config/amxview/settings.ini";
  return "";
#endif
}

std::map<std::string, std::string> read_settings(const std::string& path)
{
  std::map<std::string, std::string> values;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos && eq > 0 && line[0] != '#') values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return values;
}

bool write_settings(const std::string& path, const std::map<std::string, std::string>& values, std::string& error)
{
  // The folders up to the file's, then a whole new file renamed over the old
  // one: a crash while writing leaves the previous settings.
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
    if (mkdir(path.substr(0, slash).c_str(), 0755) != 0 && errno != EEXIST) {
      error = "cannot save settings in " + path.substr(0, slash) + ": " + std::strerror(errno);
      return false;
    }
  const std::string temp = path + ".new";
  {
    std::ofstream out(temp, std::ios::trunc);
    out << "# amxview settings, rewritten when the window closes\n";
    for (const auto& [key, value] : values) out << key << '=' << value << '\n';
    out.flush();
    if (!out) {
      error = "cannot save settings to " + temp;
      return false;
    }
  }
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    error = "cannot save settings to " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace amxview
