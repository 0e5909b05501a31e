// The stream service end to end on loopback, in one process: a producer
// thread pushes numbered frames at 1000/s into a publisher served by its own
// thread, subscribers read them. Checks that every frame is received or
// reported lost (replay after a stall, exact gaps beyond the buffer), that a
// late joiner begins where it asked, that a restarted publisher makes a new
// segment, and that the clock offset is recovered within its bound.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <thread>

#include "amxnet.h"
#include "net_helpers.h"

#include <zmq.h>

using namespace amxnet;

namespace {

constexpr int kChannels = 4, kRate = 1000;

// A publisher with one stream, served and fed by two threads until stopped.
// Frame s holds s * 10 + c in channel c and s in its status word.
struct Rig {
  explicit Rig(double buffer_seconds, PublisherClock clock = {}, const std::string& endpoint = "tcp://127.0.0.1:*")
      : pub(buffer_seconds, clock)
  {
    std::string error;
    EXPECT_TRUE(pub.bind(endpoint, error)) << error;
    pub.add_stream(amxnet_test::lab_stream(kChannels, kRate));
    server = std::thread([this] {
      while (!stop) pub.serve(20);
    });
    producer = std::thread([this] {
      const double t0 = steady_now();
      std::vector<int32_t> frames;
      std::vector<double> stamps;
      while (!stop) {
        // Frames are due at t0 + (s - 1) / rate; a block every 10 ms.
        const uint64_t due = static_cast<uint64_t>((steady_now() - t0) * kRate) + 1;
        if (due > next && !pause) {
          amxnet_test::numbered_frames(next, due, kChannels, kRate, t0, frames, stamps);
          pub.push(0, next, frames.data(), stamps.data(), static_cast<uint32_t>(due - next));
          next = due;
          produced = next - 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    });
  }
  ~Rig()
  {
    stop = true;
    server.join();
    producer.join();
  }
  Publisher pub;
  std::atomic<bool> stop{false}, pause{false};
  std::atomic<uint64_t> produced{0};
  uint64_t next = 1;
  std::thread server, producer;
};

// What a subscriber saw: frames checked against their sample numbers.
struct Seen {
  uint64_t frames = 0, lost = 0, next = 0, bad = 0, headers = 0, segments = 0, links_lost = 0;
  std::vector<Gap> gaps;
  std::string refused;
};

// Reads events for at most seconds (until done() is true), tallying them.
template <class Done>
void read(Subscriber& sub, Seen& seen, double seconds, Done done)
{
  const double end = steady_now() + seconds;
  while (steady_now() < end && !done()) {
    Event& e = sub.next(50);
    if (e.kind == Event::Header) {
      ++seen.headers;
      seen.segments += e.new_segment;
      seen.next = e.msg->start;
    } else if (e.kind == Event::Data) {
      const Message& m = *e.msg;
      for (const Gap& g : m.gaps) {
        seen.gaps.push_back(g);
        if (g.kind == Gap::Network) seen.lost += g.count;
      }
      for (uint32_t i = 0; i < m.count; ++i) {
        const int32_t* f = &m.frames[i * (kChannels + 1)];
        seen.bad += static_cast<uint64_t>(f[kChannels]) != m.first + i || f[1] != f[kChannels] * 10 + 1;
      }
      seen.frames += m.count;
      seen.next = m.first + m.count;
    } else if (e.kind == Event::LinkLost) {
      ++seen.links_lost;
    } else if (e.kind == Event::Refused) {
      seen.refused = e.text;
      return;
    }
  }
}

SubscriberOptions options(const Rig& rig, uint32_t back_ms = kBackAll)
{
  SubscriberOptions o;
  o.endpoint = rig.pub.endpoint();
  o.name = "lab";
  o.back_ms = back_ms;
  return o;
}

}  // namespace

TEST(NetStream, AStalledSubscriberResumesWithoutLossAndCostsTheOtherNothing)
{
  Rig rig(60);
  Subscriber steady(options(rig)), stalled(options(rig));
  Seen a, b;
  read(steady, a, 10, [&] { return a.frames >= 500; });
  read(stalled, b, 10, [&] { return b.frames >= 500; });
  // `stalled` now reads nothing for 3.5 s: the publisher gives it up after
  // 2.5 s of silence, and it resumes where it stopped. Meanwhile `steady`
  // keeps receiving, never seconds behind (as it would be if the publisher
  // waited for the stalled one).
  const uint64_t stalled_at = b.next;
  double worst_lag = 0;
  const double until = steady_now() + 3.5;
  read(steady, a, 5, [&] {
    // (signed: the producer counts a block only after pushing it)
    const double behind = static_cast<double>(rig.produced) - static_cast<double>(a.next - 1);
    worst_lag = std::max(worst_lag, behind / kRate);
    return steady_now() > until;
  });
  EXPECT_LT(worst_lag, 1.0);
  read(stalled, b, 20, [&] { return b.links_lost > 0 && b.next > rig.produced - 100; });
  EXPECT_GT(stalled.reconnects, 0u);
  EXPECT_GT(b.next, stalled_at + 3000);
  EXPECT_EQ(b.lost, 0u);
  EXPECT_EQ(b.bad, 0u);
  EXPECT_EQ(b.segments, 1u);        // a resume, not a new stream
  EXPECT_EQ(b.frames, b.next - 1);  // every frame from sample 1 on, once
  EXPECT_EQ(stalled.refused.total, 0u);
}

TEST(NetStream, AnOutageLongerThanTheBufferIsReportedAsItsExactRange)
{
  Rig rig(1.0);
  SubscriberOptions o = options(rig);
  Subscriber sub(o);
  Seen seen;
  read(sub, seen, 10, [&] { return seen.frames >= 300; });
  const uint64_t stopped_at = seen.next;
  std::this_thread::sleep_for(std::chrono::milliseconds(3500));
  read(sub, seen, 20, [&] { return seen.lost > 0 && seen.next > rig.produced - 50; });
  // Received and lost add up to every sample number, and the one network gap
  // starts exactly where the subscriber stopped and covers more than 1 s.
  EXPECT_EQ(seen.frames + seen.lost, seen.next - 1);
  EXPECT_EQ(sub.lost, seen.lost);
  std::vector<Gap> network;
  for (const Gap& g : seen.gaps)
    if (g.kind == Gap::Network) network.push_back(g);
  ASSERT_EQ(network.size(), 1u);
  EXPECT_GE(network[0].first, stopped_at);  // (frames queued before the stall still arrive)
  EXPECT_GT(network[0].count, 1000u);
  EXPECT_EQ(rig.pub.status().lost, seen.lost);
}

TEST(NetStream, ALateJoinerBeginsAsFarBackAsItAsks)
{
  Rig rig(60);
  for (int i = 0; i < 300 && rig.produced < 2000; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  Subscriber sub(options(rig, 1000));
  Seen seen;
  read(sub, seen, 10, [&] { return seen.headers > 0; });
  const uint64_t produced = rig.produced;
  EXPECT_GE(seen.next + 1000, produced - 20);
  EXPECT_LE(seen.next + 1000, produced + 100);

  Subscriber wrong(SubscriberOptions{rig.pub.endpoint(), "nosuch"});
  Seen refused;
  read(wrong, refused, 10, [&] { return !refused.refused.empty(); });
  EXPECT_EQ(refused.refused, "no stream \"nosuch\" here (streams: lab)");
}

TEST(NetStream, APublisherRefusesMalformedMessagesCountsThemAndSaysWhy)
{
  Rig rig(60);
  void* context = zmq_ctx_new();
  void* peer = zmq_socket(context, ZMQ_DEALER);
  int zero = 0, timeout = 5000;
  zmq_setsockopt(peer, ZMQ_LINGER, &zero, sizeof zero);
  zmq_setsockopt(peer, ZMQ_RCVTIMEO, &timeout, sizeof timeout);
  zmq_connect(peer, rig.pub.endpoint().c_str());
  // A Hello of a later format version, then bytes of no format at all.
  const uint8_t v2[] = {'A', 'X', 2, 0, 1, 0, 0, 0};
  zmq_send(peer, v2, sizeof v2, 0);
  char reply[512];
  int n = zmq_recv(peer, reply, sizeof reply, 0);
  ASSERT_GT(n, 0);
  Message m;
  std::string error;
  ASSERT_TRUE(decode(reinterpret_cast<uint8_t*>(reply), static_cast<size_t>(n), m, error)) << error;
  EXPECT_EQ(m.type, MsgType::Refused);
  EXPECT_EQ(m.reason, "the publisher refused a message: version 2 is not supported: this build speaks 1");
  zmq_send(peer, "junk", 4, 0);
  n = zmq_recv(peer, reply, sizeof reply, 0);
  ASSERT_GT(n, 0);
  for (int i = 0; i < 100 && rig.pub.status().refused < 2; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(rig.pub.status().refused, 2u);
  zmq_close(peer);
  zmq_ctx_term(context);
}

TEST(NetStream, ARestartedPublisherIsANewSegment)
{
  auto rig = std::make_unique<Rig>(60);
  const std::string endpoint = rig->pub.endpoint();
  const uint64_t first_id = rig->pub.stream_id(0);
  SubscriberOptions o = options(*rig);
  Subscriber sub(o);
  Seen seen;
  read(sub, seen, 10, [&] { return seen.frames >= 300; });
  rig.reset();
  rig = std::make_unique<Rig>(60, PublisherClock{}, endpoint);
  read(sub, seen, 20, [&] { return seen.segments == 2 && seen.frames > 600; });
  EXPECT_EQ(seen.segments, 2u);
  EXPECT_GE(seen.links_lost, 1u);
  EXPECT_NE(sub.header().stream_id, first_id);
  EXPECT_EQ(seen.bad, 0u);
}

TEST(NetStream, TheClockOffsetAndDriftAreRecoveredWithinTheirBound)
{
  PublisherClock skewed;
  skewed.offset = 2.5;
  skewed.ppm = 50;
  skewed.origin = steady_now();
  Rig rig(60, skewed);
  SubscriberOptions o = options(rig);
  o.ping_every = 0.05;
  Subscriber sub(o);
  Seen seen;
  read(sub, seen, 8, [] { return false; });
  ASSERT_TRUE(sub.clock.valid);
  const double now = steady_now(), truth = skewed.at(now) - now;
  const double error = std::abs(sub.clock.offset_at(now) - truth);
  // The bound must always cover the true error. The 0.1 ms target holds for a
  // quiet loopback; on a starved machine the probes queue on both ends, the
  // estimate widens and says so in its bound (milliseconds), and only the
  // bound is checked.
  EXPECT_GE(sub.clock.bound, error);
  if (sub.clock.bound < 1e-3) {
    EXPECT_LT(error, 1e-4) << "drift " << sub.clock.drift * 1e6 << " ppm, bound " << sub.clock.bound;
    EXPECT_NEAR(sub.clock.drift * 1e6, 50, 10);
  }
  std::printf("clock: error %.1f us, bound %.1f us, drift %.2f ppm, min round trip %.1f us\n", error * 1e6,
              sub.clock.bound * 1e6, sub.clock.drift * 1e6, sub.clock.min_rtt * 1e6);
}
