// net_probe: the subscriber side of the namespace tests. Subscribes to a
// stream from its start (all the publisher keeps), reads until the stream
// ends or the time limit, and prints one line of totals: frames received,
// frames reported lost by the network and missing at the device, the network
// gaps' ranges, segments and reconnects, and the latency from a frame's host
// stamp to its arrival (on the local clock) at the 50th and 99th percentiles.
//   net_probe tcp://HOST:PORT/NAME SECONDS
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "amxnet.h"

int main(int argc, char** argv)
{
  if (argc != 3) {
    std::fprintf(stderr, "usage: net_probe tcp://HOST:PORT/NAME SECONDS\n");
    return 2;
  }
  const std::string address = argv[1];
  const size_t slash = address.find('/', 6);
  amxnet::SubscriberOptions o;
  o.endpoint = address.substr(0, slash);
  o.name = slash == std::string::npos ? "" : address.substr(slash + 1);
  o.back_ms = amxnet::kBackAll;
  amxnet::Subscriber sub(o);
  std::vector<double> latency;
  std::string gaps, end = "time limit";
  const double until = amxnet::steady_now() + std::atof(argv[2]);
  while (amxnet::steady_now() < until) {
    amxnet::Event& e = sub.next(100);
    if (e.kind == amxnet::Event::End || e.kind == amxnet::Event::Refused) {
      end = e.text;
      break;
    }
    if (e.kind == amxnet::Event::LinkLost) std::fprintf(stderr, "net_probe: %s\n", e.text.c_str());
    if (e.kind != amxnet::Event::Data) continue;
    const double now = amxnet::steady_now();
    for (const amxnet::Gap& g : e.msg->gaps)
      if (g.kind == amxnet::Gap::Network)
        gaps += (gaps.empty() ? "" : ",") + std::to_string(g.first) + "+" + std::to_string(g.count);
    // The newest frame of each message: it waited least at the publisher.
    if (e.msg->count > 0 && sub.clock.valid) latency.push_back(now - e.times.back());
  }
  std::sort(latency.begin(), latency.end());
  auto pct = [&](double p) {
    return latency.empty() ? 0.0 : latency[static_cast<size_t>(p * static_cast<double>(latency.size() - 1))] * 1e3;
  };
  std::printf(
      "received %llu lost %llu missing %llu segments %llu reconnects %llu refused %llu p50 %.3f ms p99 "
      "%.3f ms offset %+.6f bound %.6f gaps %s end %s\n",
      static_cast<unsigned long long>(sub.received), static_cast<unsigned long long>(sub.lost),
      static_cast<unsigned long long>(sub.missing), static_cast<unsigned long long>(sub.segments),
      static_cast<unsigned long long>(sub.reconnects), static_cast<unsigned long long>(sub.refused.total), pct(0.5),
      pct(0.99), sub.clock.offset_at(amxnet::steady_now()), sub.clock.bound, gaps.empty() ? "-" : gaps.c_str(),
      end.c_str());
  return 0;
}
