// amxctl: what the subcommands share beyond the host library: --seconds and
// --rate, opening the device named on the command line, setting it up.
#include "amxctl.h"

#include <cstdio>

namespace amxctl {

int parse_seconds(const Args& args, double fallback, double& seconds)
{
  seconds = fallback;
  if (args.has("seconds") && (!parse_double(args.last("seconds"), seconds) || seconds < 0))
    return bad_argument("bad --seconds \"" + args.last("seconds") + "\"");
  return 0;
}

int parse_rate(const Args& args, long long& rate)
{
  rate = 0;
  if (args.has("rate") && !parse_int(args.last("rate"), 1, INT32_MAX, rate))
    return bad_argument("bad --rate \"" + args.last("rate") + "\"");
  return 0;
}

int open_device(const std::string& arg, int32_t& id)
{
  const int32_t count = GetAmxCount();
  switch (amxhost::choose_device(arg, count, GetAmxID, id)) {
    case amxhost::DeviceChoice::Missing:
      std::fprintf(stderr, "amxctl: no device %s (%d device(s) present; see `amxctl list`)\n", arg.c_str(),
                   static_cast<int>(count));
      return kExitFailed;
    case amxhost::DeviceChoice::Bad: return bad_argument(amxhost::bad_device_text(arg));
    case amxhost::DeviceChoice::Found: break;
  }
  int32_t status = AmxOpen(id);
  if (status != AMX_OK) return fail("opening device " + arg, status);
  return 0;
}

int device_info(int32_t id, AmxDeviceInfo& info)
{
  int32_t status = AmxInfo(id, &info, sizeof info);
  if (status != AMX_OK) return fail("reading the device information", status);
  if (info.channelCount < 1 || info.channelCount > 256)
    return fail("device reports " + std::to_string(info.channelCount) + " channels");
  return 0;
}

int set_up(int32_t id, long long rate_arg, AmxDeviceInfo& info, int& rate)
{
  if (rate_arg) {
    int32_t status = AmxSetSampling(id, static_cast<int32_t>(rate_arg));
    if (status != AMX_OK) return fail("sampling rate " + std::to_string(rate_arg) + " (125, 250, 500 or 1000)", status);
  }
  int32_t r = 0, status = AmxGetSampling(id, &r);
  if (status != AMX_OK) return fail("reading the sampling rate", status);
  if (r <= 0) return fail("device reports a sampling rate of " + std::to_string(r));
  rate = r;
  AmxInternalInfoRecord ident{};
  if (AmxInternalInfo(id, &ident, sizeof ident) == AMX_OK && !amxhost::identified(ident))
    std::fprintf(stderr, "amxctl: warning: %s\n", amxhost::kUnidentifiedWarning);
  return device_info(id, info);
}

// A recording is never replaced by accident, nor a symbolic link followed
// (devices such as /dev/null are written to, not replaced). A pipe cannot take
// the record count the header gets last: refused before anything starts.
int refuse_output(const std::string& path, bool force)
{
  const amxhost::OutputKind kind = amxhost::output_kind(path);
  if (kind == amxhost::OutputKind::Other)
    return bad_argument(path + " is not a regular file (a pipe or a folder?): a recording needs one");
  if (kind == amxhost::OutputKind::File && !force) return bad_argument(path + " exists: give --force to replace it");
  return 0;
}

}  // namespace amxctl
