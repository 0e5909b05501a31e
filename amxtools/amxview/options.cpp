// amxview: the command line, parsed with the host library's option parser.
#include "viewer.h"

namespace amxview {

const char* const kUsage =
    "usage: amxview [--device ID|@N] [--rate R] [--filters] [--record FILE.bdf]\n"
    "       amxview --screenshot FILE.png --seconds S [--view traces|spectrum|impedance] [--device ID|@N]\n"
    "               [--rate R] [--filters] [--record FILE.bdf] [--fps N]\n"
    "  Live traces, spectrum and electrode impedances of an Amvex amplifier (set\n"
    "  AMVEX_EMULATE to use emulated ones). --device: an identifier from `amxctl list`\n"
    "  or @N, the N-th device (default @0). --rate 125|250|500|1000 (default: the\n"
    "  device's). --filters: band-pass 1-40 Hz, 50 Hz notch and baseline removal on\n"
    "  from the start. --record: record every channel to FILE.bdf (BDF+, as `amxctl\n"
    "  record`) from the start.\n"
    "  --screenshot: show S seconds of stream (at least 3 for the impedance view)\n"
    "  without user input, write the window as a PNG and exit, printing frames/s drawn\n"
    "  and the CPU time per second of stream. --fps caps the frame rate (default 60,\n"
    "  0: no cap).\n"
    "  Exit status: 0 done, 1 no device, no display or a failure, 2 bad arguments.\n";

bool parse_options(int argc, char** argv, Options& o, std::string& error)
{
  amxhost::Args args;
  if (!amxhost::parse_args(argc, argv,
                           {{"screenshot", true},
                            {"seconds", true},
                            {"view", true},
                            {"device", true},
                            {"rate", true},
                            {"filters", false},
                            {"record", true},
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

}  // namespace amxview
