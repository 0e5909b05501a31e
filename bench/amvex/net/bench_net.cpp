// The stream service on loopback beside its floor, a bare ZeroMQ PUB/SUB that
// moves the same bytes: 1, 8 and 32 streams of 40 channels at 1000 frames/s
// (a block of 5 frames every 5 ms each), one subscriber per stream, for 4 s.
// Latency: a block's newest stamp (taken when it is handed to the publisher)
// to its arrival at the subscriber, p50 and p99. Publisher CPU: thread CPU
// time of the publishing threads per second, per stream, in % of a core.
#include <benchmark/benchmark.h>

#include <zmq.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <ctime>
#include <thread>

#include "amxnet.h"

using namespace amxnet;

namespace {

constexpr int kChannels = 40, kBlock = 5;
constexpr double kSeconds = 4, kWarmUp = 0.5;

double thread_cpu()
{
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

struct Result {
  std::vector<double> latency;
  double cpu = 0;
};

// Latencies of all subscribers together.
struct Latencies {
  std::mutex mutex;
  std::vector<double> all;
  void add(const std::vector<double>& v)
  {
    std::lock_guard<std::mutex> lock(mutex);
    all.insert(all.end(), v.begin(), v.end());
  }
};

void report(benchmark::State& state, std::vector<double>& latency, double cpu, int streams)
{
  std::sort(latency.begin(), latency.end());
  auto pct = [&](double p) { return latency.empty() ? 0 : latency[static_cast<size_t>(p * (latency.size() - 1))]; };
  state.counters["p50_ms"] = pct(0.5) * 1e3;
  state.counters["p99_ms"] = pct(0.99) * 1e3;
  state.counters["cpu_pct_per_stream"] = 100 * cpu / kSeconds / streams;
  state.counters["blocks"] = static_cast<double>(latency.size());
  state.SetIterationTime(kSeconds);
}

// Calls body every 5 ms for kSeconds (plus the warm-up); returns its thread CPU.
template <class Body>
double paced(Body body)
{
  const double t0 = steady_now();
  const double cpu0 = thread_cpu();
  for (int tick = 1; steady_now() - t0 < kSeconds + kWarmUp; ++tick) {
    body(steady_now() - t0 >= kWarmUp);
    const double next = t0 + tick * 0.005;
    const double wait = next - steady_now();
    if (wait > 0) std::this_thread::sleep_for(std::chrono::duration<double>(wait));
  }
  return thread_cpu() - cpu0;
}

void StreamService(benchmark::State& state)
{
  const int streams = static_cast<int>(state.range(0));
  for (auto _ : state) {
    Publisher pub(60);
    std::string error;
    pub.bind("tcp://127.0.0.1:*", error);
    for (int s = 0; s < streams; ++s) {
      StreamInfo info;
      info.name = "s" + std::to_string(s);
      info.channels = kChannels;
      info.rate = 1000;
      info.volts_per_count = 1e-7;
      info.labels.assign(kChannels, "C");
      pub.add_stream(info);
    }
    std::atomic<bool> stop{false}, measuring{false};
    double serve_cpu = 0;
    std::thread server([&] {
      double cpu0 = 0;
      bool counting = false;
      while (!stop) {
        pub.serve(50);
        if (measuring && !counting) counting = true, cpu0 = thread_cpu();
      }
      serve_cpu = thread_cpu() - cpu0;
    });
    Latencies lat;
    std::vector<std::thread> subs;
    for (int s = 0; s < streams; ++s)
      subs.emplace_back([&, s] {
        SubscriberOptions o;
        o.endpoint = pub.endpoint();
        o.name = "s" + std::to_string(s);
        Subscriber sub(o);
        std::vector<double> mine;
        while (!stop) {
          Event& e = sub.next(50);
          if (e.kind == Event::Data && e.msg->count > 0 && measuring)
            mine.push_back(steady_now() - e.msg->stamps.back());
        }
        lat.add(mine);
      });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // every subscriber connected
    std::vector<int32_t> frames(static_cast<size_t>(kBlock) * (kChannels + 1), 1000);
    std::vector<double> stamps(kBlock);
    uint64_t next = 1;
    double push_cpu0 = 0;
    const double push_cpu = paced([&](bool measure) {
      if (measure && !measuring) measuring = true, push_cpu0 = thread_cpu();
      std::fill(stamps.begin(), stamps.end(), steady_now());
      for (int s = 0; s < streams; ++s) pub.push(s, next, frames.data(), stamps.data(), kBlock);
      next += kBlock;
    });
    (void)push_cpu;
    const double pushing = thread_cpu() - push_cpu0;
    stop = true;
    server.join();
    for (std::thread& t : subs) t.join();
    report(state, lat.all, serve_cpu + pushing, streams);
  }
}

void BareZmqFloor(benchmark::State& state)
{
  const int streams = static_cast<int>(state.range(0));
  for (auto _ : state) {
    void* context = zmq_ctx_new();
    std::vector<void*> pubs;
    std::vector<std::string> endpoints;
    for (int s = 0; s < streams; ++s) {
      void* p = zmq_socket(context, ZMQ_PUB);
      zmq_bind(p, "tcp://127.0.0.1:*");
      char last[256] = {};
      size_t size = sizeof last;
      zmq_getsockopt(p, ZMQ_LAST_ENDPOINT, last, &size);
      endpoints.push_back(last);
      pubs.push_back(p);
    }
    std::atomic<bool> stop{false}, measuring{false};
    Latencies lat;
    std::vector<std::thread> subs;
    for (int s = 0; s < streams; ++s)
      subs.emplace_back([&, s] {
        void* sub = zmq_socket(context, ZMQ_SUB);
        int timeout = 50;
        zmq_setsockopt(sub, ZMQ_RCVTIMEO, &timeout, sizeof timeout);
        zmq_setsockopt(sub, ZMQ_SUBSCRIBE, "", 0);
        zmq_connect(sub, endpoints[static_cast<size_t>(s)].c_str());
        std::vector<uint8_t> buffer(65536);
        std::vector<double> mine;
        while (!stop) {
          const int n = zmq_recv(sub, buffer.data(), buffer.size(), 0);
          if (n >= 8 && measuring) {
            double stamp;
            std::memcpy(&stamp, buffer.data() + n - 8, 8);  // the newest stamp ends the message
            mine.push_back(steady_now() - stamp);
          }
        }
        zmq_close(sub);
        lat.add(mine);
      });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // The same bytes as the service's data messages, encoded the same way.
    Message m;
    m.type = MsgType::Data;
    m.stream_id = 1;
    m.channels = kChannels;
    m.count = kBlock;
    m.frames.assign(static_cast<size_t>(kBlock) * (kChannels + 1), 1000);
    std::vector<uint8_t> bytes;
    std::string error;
    double cpu0 = 0;
    paced([&](bool measure) {
      if (measure && !measuring) measuring = true, cpu0 = thread_cpu();
      for (int s = 0; s < streams; ++s) {
        m.seq++;
        m.first += kBlock;
        m.stamps.assign(kBlock, steady_now());
        bytes.clear();
        encode(m, bytes, error);
        zmq_send(pubs[static_cast<size_t>(s)], bytes.data(), bytes.size(), ZMQ_DONTWAIT);
      }
    });
    const double cpu = thread_cpu() - cpu0;
    stop = true;
    for (std::thread& t : subs) t.join();
    for (void* p : pubs) zmq_close(p);
    zmq_ctx_term(context);
    report(state, lat.all, cpu, streams);
  }
}

BENCHMARK(StreamService)->Arg(1)->Arg(8)->Arg(32)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BareZmqFloor)->Arg(1)->Arg(8)->Arg(32)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace
