// amxview: the command line, parsed with the host library's option parser.
#include "viewer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace amxview {

const char* const kNoStreams =
    "this build has no stream service (libzmq was not available): streams across the network are unavailable";

const char* const kUsage =
    "usage: amxview [--device ID|@N | --connect NAME|tcp://HOST:PORT[/NAME]] [--keys DIR] [--rate R] [--filters]\n"
    "               [--record FILE.bdf [--force]] [--montage FILE] [--size WxH]\n"
    "       amxview --screenshot FILE.png --seconds S [--view traces|spectrum|impedance] [--device ID|@N]\n"
    "               [--connect SOURCE [--keys DIR]] [--rate R] [--filters] [--record FILE.bdf [--force]]\n"
    "               [--size WxH] [--fps N]\n"
    "  Live traces, spectrum and electrode impedances of an Amvex amplifier (set\n"
    "  AMVEX_EMULATE to use emulated ones). --device: an identifier from `amxctl list`\n"
    "  or @N, the N-th device (default @0). --connect: a stream served by `amxctl\n"
    "  serve` instead, by address or by name (traces, spectrum and recording; no\n"
    "  impedances, which are not served); --keys: the key folder for secure streams\n"
    "  (as `amxctl record --keys`). --rate 125|250|500|1000 (default: the\n"
    "  device's). --filters: band-pass 1-40 Hz, 50 Hz notch and baseline removal on\n"
    "  from the start. --record: record every channel to FILE.bdf (BDF+, as `amxctl\n"
    "  record`) from the start; an existing FILE is refused unless --force. --size:\n"
    "  the window in pixels (default 1280x800, or the size saved last time).\n"
    "  --montage: channel names, one per line (default: 10-20 names for 16, 20, 24\n"
    "  and 40 channels), shown and written as the recordings' signal labels.\n"
    "  Keys 0-9 put an event marker on the traces and into the recording.\n"
    "  --screenshot: show S seconds of stream (at least 3 for the impedance view)\n"
    "  without user input, write the window as a PNG and exit, printing frames/s drawn\n"
    "  and the CPU time per second of stream. --fps caps the frame rate (default 60,\n"
    "  0: no cap). Saved settings are not read in this mode.\n"
    "  Settings (window, view, filters, scales) are kept in\n"
    "  $XDG_CONFIG_HOME/amxview/settings.ini (default ~/.config/amxview/settings.ini).\n"
    "  Exit status: 0 done, 1 no device, no display, interrupted or a failure, 2 bad\n"
    "  arguments.\n";

bool parse_options(int argc, char** argv, Options& o, std::string& error)
{
  amxhost::Args args;
  if (!amxhost::parse_args(argc, argv,
                           {{"screenshot", true},
                            {"seconds", true},
                            {"view", true},
                            {"device", true},
                            {"connect", true},
                            {"keys", true},
                            {"rate", true},
                            {"filters", false},
                            {"record", true},
                            {"force", false},
                            {"montage", true},
                            {"size", true},
                            {"fps", true}},
                           args, error))
    return false;
  if (!args.positional.empty()) {
    error = "unexpected argument \"" + args.positional[0] + "\"";
    return false;
  }
  o.help = args.has("help");
  o.screenshot = args.last("screenshot");
  o.device = args.last("device", o.device);
  o.filters = args.has("filters");
  o.record = args.last("record");
  o.force = args.has("force");
  o.montage = args.last("montage");
  o.connect = args.last("connect");
  o.keys = args.last("keys");
  if (args.has("connect") && (o.connect.empty() || args.has("device") || args.has("rate"))) {
    error = o.connect.empty() ? "--connect needs a stream (NAME or tcp://HOST:PORT[/NAME])"
                              : "--connect takes the publisher's device and rate: no --device or --rate with it";
    return false;
  }
  if (args.has("keys") && o.keys.empty()) {
    error = "--keys needs a folder";
    return false;
  }
  if (o.force && o.record.empty()) {
    error = "--force goes with --record";
    return false;
  }
  if (args.has("size")) {
    const std::string size = args.last("size");
    const size_t x = size.find('x');
    long long w = 0, h = 0;
    if (x == std::string::npos || !amxhost::parse_int(size.substr(0, x), 320, 8192, w) ||
        !amxhost::parse_int(size.substr(x + 1), 240, 8192, h)) {
      error = "--size is WIDTHxHEIGHT (320x240 to 8192x8192), not \"" + size + "\"";
      return false;
    }
    o.width = static_cast<int>(w);
    o.height = static_cast<int>(h);
    o.sized = true;
  }
  if (args.has("screenshot") && o.screenshot.empty()) {
    error = "--screenshot needs a file name";
    return false;
  }
  if (args.has("seconds") != args.has("screenshot")) {
    error = "--screenshot and --seconds go together";
    return false;
  }
  if (args.has("seconds") && (!amxhost::parse_double(args.last("seconds"), o.seconds) || o.seconds <= 0)) {
    error = "bad --seconds \"" + args.last("seconds") + "\"";
    return false;
  }
  o.view_set = args.has("view");
  const std::string view = args.last("view", "traces");
  if (view == "traces")
    o.view = View::Traces;
  else if (view == "spectrum")
    o.view = View::Spectrum;
  else if (view == "impedance")
    o.view = View::Impedance;
  else {
    error = "--view is traces, spectrum or impedance, not \"" + view + "\"";
    return false;
  }
  if (o.view == View::Impedance && !o.connect.empty()) {
    error = "a stream has no impedance view: the publisher does not serve impedances";
    return false;
  }
  if (o.view == View::Impedance && !o.screenshot.empty() && o.seconds < 3) {
    error = "the impedance view needs --seconds 3 or more (its first reading takes 2 s)";
    return false;
  }
  long long rate = 0;
  if (args.has("rate") && (!amxhost::parse_int(args.last("rate"), 1, 1000000, rate) ||
                           (rate != 125 && rate != 250 && rate != 500 && rate != 1000))) {
    error = "--rate is 125, 250, 500 or 1000, not \"" + args.last("rate") + "\"";
    return false;
  }
  o.rate = static_cast<int>(rate);
  if (args.has("fps") && (!amxhost::parse_double(args.last("fps"), o.fps) || o.fps < 0)) {
    error = "bad --fps \"" + args.last("fps") + "\"";
    return false;
  }
  return true;
}

std::string dated_record_name()
{
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char name[64];
  std::strftime(name, sizeof name, "amxview-%Y-%m-%d_%H-%M-%S.bdf", &local);
  return name;
}

bool can_write_png(const std::string& path, std::string& error)
{
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  struct stat st {};
  const char* why = stat(folder.c_str(), &st) != 0      ? std::strerror(errno)
                    : !S_ISDIR(st.st_mode)              ? "its folder is not a folder"
                    : access(folder.c_str(), W_OK) != 0 ? "its folder is not writable"
                                                        : nullptr;
  if (why) error = "cannot write " + path + ": " + why;
  return !why;
}

}  // namespace amxview
