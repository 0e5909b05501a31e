// emulate_parser.cpp: the AMVEX_EMULATE grammar: devices separated by ';',
// each a comma list of key=value items, into emulator device configurations.
#include "emulator/emulator.h"
#include "protocol.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace amx {

namespace {

constexpr const char* Space = " \t\r\n\v\f";

std::string Trim(const std::string& s)
{
  size_t a = s.find_first_not_of(Space), b = s.find_last_not_of(Space);
  return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
}

// One line of text: control characters of the variable become '?'.
std::string Printable(std::string s)
{
  for (char& c : s)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  return s;
}

// Where a run of decimal digits that starts at `at` ends; `at` itself when there
// is none, or when it has a leading zero ("0" alone is a number, "010" is not:
// an octal-looking number is refused rather than read one way or the other).
size_t DigitsEnd(const std::string& text, size_t at)
{
  size_t end = std::min(text.find_first_not_of("0123456789", at), text.size());
  return end - at > 1 && text[at] == '0' ? at : end;
}

// Decimal integers only, the whole text. A minus sign only where the range has
// negative values, and never on zero; no plus sign.
bool ParseInteger(const std::string& text, long long lo, long long hi, long long& v)
{
  size_t digits = lo < 0 && !text.empty() && text[0] == '-' ? 1 : 0;
  if (text.size() <= digits || DigitsEnd(text, digits) != text.size() || (digits && text.substr(digits) == "0"))
    return false;
  errno = 0;
  v = std::strtoll(text.c_str(), nullptr, 10);
  return errno == 0 && v >= lo && v <= hi;
}

// Non-negative decimal numbers only, the whole text: digits without a leading
// zero, a fraction after a point, an exponent; no sign, hexadecimal, inf or nan.
bool ParseReal(const std::string& text, double lo, double hi, double& v)
{
  size_t at = DigitsEnd(text, 0);
  if (at == 0) return false;
  if (at < text.size() && text[at] == '.') {
    size_t fraction = std::min(text.find_first_not_of("0123456789", at + 1), text.size());
    if (fraction == at + 1) return false;
    at = fraction;
  }
  if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
    size_t exponent = at + 1 + (at + 1 < text.size() && text[at + 1] == '-');
    at = DigitsEnd(text, exponent);
    if (at == exponent) return false;
  }
  if (at != text.size()) return false;
  v = std::strtod(text.c_str(), nullptr);
  return std::isfinite(v) && v >= lo && v <= hi;
}

constexpr double MaxSeconds = 1e6;

bool ParseMs(const std::string& text, int64_t& ms)
{
  double seconds;
  if (!ParseReal(text, 0, MaxSeconds, seconds)) return false;
  ms = std::llround(seconds * 1000);
  return true;
}

// One key=value into the config; the reason when the value is bad.
bool ParseItem(const std::string& key, const std::string& value, TEmuDeviceConfig& s, std::string& why)
{
  TEmuFaults& f = s.Faults;
  long long v = 0;
  auto integer = [&](long long lo, long long hi) {
    why = "expects a decimal integer from " + std::to_string(lo) + " to " + std::to_string(hi) + ", no leading zero";
    return ParseInteger(value, lo, hi, v);
  };
  auto seconds = [&](int64_t& ms) {
    why = "expects seconds (0 to 1e6)";
    return ParseMs(value, ms);
  };
  auto probability = [&](double& p) {
    why = "expects a probability from 0 to 1";
    return ParseReal(value, 0, 1, p);
  };
  if (key == "kind") return integer(0, 255) && (s.Kind = int(v), true);
  if (key == "rev") return integer(0, 255) && (s.Revision = int(v), true);
  if (key == "signal") {
    why = "expects eeg or test";
    return (value == "eeg" || value == "test") && (s.Eeg = value == "eeg", true);
  }
  if (key == "seed") return integer(0, 0xFFFFFFFFll) && (f.Seed = uint32_t(v), true);
  if (key == "noreply") {
    // Only a command the device answers has a reply to withhold.
    const long long answered[] = {kCmdStart,     kCmdWriteSystem, kCmdReadSystem,
                                  kCmdWriteUser, kCmdReadUser,    kCmdMasterClock};
    bool ok = integer(0, 255) && std::find(std::begin(answered), std::end(answered), v) != std::end(answered);
    why = "expects a command the device answers: 2, 12, 13, 14, 15 or 16";
    return ok && (f.NoReply = int(v), true);
  }
  if (key == "jitter") return integer(0, 10000) && (f.JitterMs = uint32_t(v), true);
  if (key == "drift") return integer(-100000, 100000) && (f.DriftPpm = int32_t(v), true);
  if (key == "loss") return probability(f.Loss);
  if (key == "corrupt") return probability(f.Corrupt);
  if (key == "unplug") return seconds(f.UnplugMs);
  if (key == "replug") return seconds(f.ReplugMs);
  if (key == "suspend") return seconds(f.SuspendMs);
  if (key == "loss_at") {
    why = "expects seconds joined by '+'";
    for (size_t at = 0; at <= value.size();) {
      size_t plus = std::min(value.find('+', at), value.size());
      int64_t ms;
      if (!ParseMs(value.substr(at, plus - at), ms)) return false;
      f.LossAtMs.push_back(ms);
      at = plus + 1;
    }
    std::sort(f.LossAtMs.begin(), f.LossAtMs.end());
    return true;
  }
  if (key == "invalid") {
    why = "expects CHANNEL@FROM-TO: a channel 0 to 39, seconds FROM below TO";
    size_t atSign = value.find('@'), dash = value.find('-', atSign == std::string::npos ? 0 : atSign);
    if (atSign == std::string::npos || dash == std::string::npos) return false;
    return ParseInteger(value.substr(0, atSign), 0, kMaxChannels - 1, v) &&
           ParseMs(value.substr(atSign + 1, dash - atSign - 1), f.InvalidFromMs) &&
           ParseMs(value.substr(dash + 1), f.InvalidToMs) && f.InvalidFromMs < f.InvalidToMs &&
           (f.InvalidChannel = int(v), true);
  }
  why =
      "is not a key (kind, rev, signal, seed, unplug, replug, loss, loss_at, corrupt, invalid, noreply, jitter, drift, "
      "suspend)";
  return false;
}

}  // namespace

std::vector<TEmuDeviceConfig> ParseEmulateDevices(const std::string& text, std::string& error)
{
  std::vector<TEmuDeviceConfig> configs;
  if (Trim(text).empty()) return configs;  // set but blank: no devices
  size_t entries = 0;
  for (size_t at = 0; at <= text.size(); ++entries) {
    size_t end = std::min(text.find(';', at), text.size());
    if (entries == kMaxEmulatedDevices) {
      size_t rest = 1 + size_t(std::count(text.begin() + ptrdiff_t(at), text.end(), ';'));
      error +=
          Printable("AMVEX_EMULATE: at most " + std::to_string(kMaxEmulatedDevices) + " devices; the " +
                    std::to_string(rest) + " entries from \"" + Trim(text.substr(at, end - at)) + "\" on not created") +
          "\n";
      break;
    }
    std::string entry = Trim(text.substr(at, end - at));
    at = end + 1;
    TEmuDeviceConfig s;
    std::vector<std::string> keys;
    std::string bad;  // the bad item and why, quoted
    for (size_t k = 0, n = 1; bad.empty() && k <= entry.size(); ++n) {
      size_t e = std::min(entry.find(',', k), entry.size());
      std::string item = Trim(entry.substr(k, e - k)), why;
      k = e + 1;
      size_t eq = item.find('=');
      std::string key = item.substr(0, eq);
      if (entry.empty())
        bad = "the entry is empty (a \";\" too many)";
      else if (item.empty())
        bad = "item " + std::to_string(n) + " is empty (a \",\" too many)";
      else if (item.find_first_of(Space) != std::string::npos)
        why = "has a space inside";
      else if (eq == std::string::npos)
        why = "is not key=value";
      else if (std::find(keys.begin(), keys.end(), key) != keys.end())
        why = "gives " + key + " twice";
      else if (ParseItem(key, item.substr(eq + 1), s, why))
        why.clear();
      keys.push_back(key);
      if (!why.empty()) bad = "\"" + item + "\" " + why;
    }
    if (bad.empty() && s.Faults.ReplugMs >= 0 && s.Faults.UnplugMs < 0) bad = "\"replug\" needs unplug";
    if (bad.empty() && s.Faults.InvalidChannel >= KindChannels(s.Kind))
      bad = "\"invalid\" names a channel the device does not have";
    if (bad.empty())
      configs.push_back(s);
    else
      error += Printable("AMVEX_EMULATE: " + bad + "; device " + std::to_string(entries + 1) + " \"" + entry +
                         "\" not created") +
               "\n";
  }
  return configs;
}

}  // namespace amx
