// amxview: the settings kept between runs, the table of them with their
// controls' ranges, as "key=value" lines in a file under the user's
// configuration folder.
#include "session.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <type_traits>

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

// Every setting kept between runs with the range its control allows.
template <class Visit>
void each_setting(App& app, Visit visit)
{
  visit("view", app.view_index, 0, 2);
  visit("time_base", app.time_base, 1, 10);
  visit("scale", app.scale, 0, 2);
  visit("uv_per_division", app.uv_per_division, 1, 1e6f);
  FilterSettings& f = app.filter;
  visit("baseline", f.baseline, 0, 1);
  visit("baseline_hz", f.baseline_hz, 0.05f, 5);
  visit("notch", f.notch, 0, 1);
  visit("notch_hz", f.notch_hz, 50, 60);
  visit("band_stop", f.band_stop, 0, 1);
  visit("stop_order", f.stop_order, 1, 8);
  visit("stop_lo", f.stop_lo, 0.1f, 500);
  visit("stop_hi", f.stop_hi, 0.1f, 500);
  visit("band_pass", f.band_pass, 0, 1);
  visit("band_order", f.band_order, 1, 8);
  visit("band_lo", f.band_lo, 0.1f, 500);
  visit("band_hi", f.band_hi, 0.1f, 500);
  visit("segment_seconds", app.segment_seconds, 1, 2);
  visit("max_hz", app.max_hz, 10, 500);
  visit("good_kohm", app.good_kohm, 0.5f, 1000);
  visit("bad_kohm", app.bad_kohm, 0.5f, 1000);
}

std::map<std::string, std::string> settings_of(App& app)
{
  std::map<std::string, std::string> values;
  app.view_index = static_cast<int>(app.view);
  each_setting(app, [&](const char* key, auto& value, float, float) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", static_cast<double>(value));
    values[key] = text;
  });
  return values;
}

void apply_settings(App& app, const std::map<std::string, std::string>& values)
{
  app.view_index = static_cast<int>(app.view);
  each_setting(app, [&](const char* key, auto& value, float lo, float hi) {
    auto it = values.find(key);
    double v = 0;
    if (it != values.end() && amxhost::parse_double(it->second, v) && v >= lo && v <= hi)
      value = static_cast<std::remove_reference_t<decltype(value)>>(v);
  });
  if (app.filter.notch_hz != 50 && app.filter.notch_hz != 60) app.filter.notch_hz = 50;
  app.view = static_cast<View>(app.view_index);
}

}  // namespace amxview
