// amxnet: times. The monotonic clock, the publisher's clock a test may shift
// and skew, the subscriber's offset estimate from NTP-style probes, and the
// host's name (the one call that differs between Windows and POSIX).
#include "amxnet.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <unistd.h>
#endif

namespace amxnet {

double steady_now()
{
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

bool parse_test_clock(const char* text, PublisherClock& out)
{
  char* end = nullptr;
  const double offset = std::strtod(text, &end);
  if (end == text || *end != ',') return false;
  const char* rest = end + 1;
  const double ppm = std::strtod(rest, &end);
  if (end == rest || *end != '\0' || !std::isfinite(offset) || !std::isfinite(ppm) || std::abs(ppm) > 1e5) return false;
  out.offset = offset;
  out.ppm = ppm;
  return true;
}

bool test_clock_from_env(PublisherClock& out, std::string& error)
{
  out = PublisherClock{};
  out.origin = steady_now();
  const char* text = std::getenv("AMXNET_TEST_CLOCK");
  if (text && *text && !parse_test_clock(text, out)) {
    error = std::string("AMXNET_TEST_CLOCK is \"OFFSET,PPM\" (seconds, parts per million), not \"") + text + "\"";
    return false;
  }
  text = std::getenv("AMXNET_TEST_FIRST_PING_LATE");
  if (!text || !*text) return true;
  char* end = nullptr;
  out.first_ping_late = std::strtod(text, &end);
  if (*end == '\0' && out.first_ping_late >= 0 && out.first_ping_late <= 1) return true;
  error = std::string("AMXNET_TEST_FIRST_PING_LATE is seconds from 0 to 1, not \"") + text + "\"";
  return false;
}

void ClockOffset::add(double t0, double t1, double t2, double t3)
{
  const double rtt = (t3 - t0) - (t2 - t1);
  if (!(rtt >= 0) || !std::isfinite(rtt)) return;  // a clock went back: no information
  probes.push_back({(t0 + t3) / 2, ((t1 - t0) + (t2 - t3)) / 2, rtt});
  if (probes.size() > kProbes) probes.pop_front();

  // The probes with the lower half of the round trips: queueing only ever
  // adds delay, so these carry the least asymmetry.
  std::vector<double> rtts;
  for (const Probe& p : probes) rtts.push_back(p.rtt);
  std::nth_element(rtts.begin(), rtts.begin() + static_cast<long>(rtts.size() / 2), rtts.end());
  const double limit = rtts[rtts.size() / 2];
  std::vector<const Probe*> used;
  for (const Probe& p : probes)
    if (p.rtt <= limit) used.push_back(&p);

  ref = used.back()->at;
  double mx = 0, my = 0;
  for (const Probe* p : used) {
    mx += p->at - ref;
    my += p->offset;
  }
  mx /= static_cast<double>(used.size());
  my /= static_cast<double>(used.size());
  double sxx = 0, sxy = 0;
  for (const Probe* p : used) {
    sxx += (p->at - ref - mx) * (p->at - ref - mx);
    sxy += (p->at - ref - mx) * (p->offset - my);
  }
  // A drift only once the probes span a second; before that a plain mean.
  drift = sxx > 0 && (used.back()->at - used.front()->at) >= 1.0 ? sxy / sxx : 0;
  offset = my - drift * mx;
  bound = 0;
  min_rtt = limit;
  for (const Probe* p : used) {
    min_rtt = std::min(min_rtt, p->rtt);
    bound = std::max(bound, std::abs(offset_at(p->at) - p->offset) + p->rtt / 2);
  }
  valid = true;
}

double ClockLine::to_local(double publisher) const
{
  // publisher = local + offset + drift (local - ref), solved for local.
  return (publisher - offset + drift * ref) / (1 + drift);
}

std::string host_name()
{
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "unknown";
  return name;
}

}  // namespace amxnet
