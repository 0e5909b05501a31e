// libFuzzer target: arbitrary text as AMVEX_EMULATE. Blank text is no device;
// otherwise every entry up to the limit is either a device whose values are in
// range or one line of error, and one more line tells of the entries beyond it.
#include "emulator/emulator.h"

#include <algorithm>
#include <cstdlib>
#include <string>

using namespace amx;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  std::string text(reinterpret_cast<const char*>(data), size), error;
  std::vector<TEmuDeviceConfig> configs = ParseEmulateDevices(text, error);
  size_t entries = text.find_first_not_of(" \t\r\n\v\f") == std::string::npos
                       ? 0
                       : 1 + size_t(std::count(text.begin(), text.end(), ';'));
  size_t refused = size_t(std::count(error.begin(), error.end(), '\n'));  // one line each
  bool capped = entries > kMaxEmulatedDevices;
  if (configs.size() + refused != std::min(entries, kMaxEmulatedDevices) + capped) std::abort();
  for (const TEmuDeviceConfig& s : configs) {
    const TEmuFaults& f = s.Faults;
    if (s.Kind < 0 || s.Kind > 255 || s.Revision < 0 || s.Revision > 255) std::abort();
    if (!(f.Loss >= 0 && f.Loss <= 1 && f.Corrupt >= 0 && f.Corrupt <= 1)) std::abort();
    if (!std::is_sorted(f.LossAtMs.begin(), f.LossAtMs.end())) std::abort();
    if (f.InvalidChannel >= KindChannels(s.Kind) || (f.InvalidChannel >= 0 && f.InvalidFromMs >= f.InvalidToMs))
      std::abort();
    if (f.ReplugMs >= 0 && f.UnplugMs < 0) std::abort();
    if (f.DriftPpm < -100000 || f.DriftPpm > 100000 || f.JitterMs > 10000) std::abort();
  }
  return 0;
}
