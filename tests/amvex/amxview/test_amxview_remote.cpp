// amxview's session without a window, subscribed to a stream of a publisher
// in this process on loopback (4 channels at 500/s, its clock 0.25 s ahead):
// the page and its gap marks, the status bar's remote part, recordings with
// their gaps, segments and continuations, refusals that end in a message, the
// list of announced streams, and a window thread that never waits on the
// network.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net_helpers.h"
#include "net_process.h"
#include "session.h"
#include "temp_files.h"

namespace {

using namespace amxview;

constexpr int kChannels = 4, kRate = 500;
constexpr double kOffset = 0.25;

// A publisher with one stream "lab", served and fed by two threads. Sample s
// holds s * 10 + c in channel c (0.1 uV a count) and s in its status word.
// hold: the network thread stops serving (frames older than the buffer are
// then lost to the subscriber); device_gap / packets: the next block skips
// that many sample numbers / reports that many packets lost.
struct Rig {
  explicit Rig(const std::string& endpoint = "tcp://127.0.0.1:*", double buffer_seconds = 60)
      : pub(buffer_seconds, amxnet::PublisherClock{kOffset, 0, amxnet::steady_now()})
  {
    std::string error;
    EXPECT_TRUE(pub.bind(endpoint, error)) << error;
    amxnet::StreamInfo info = amxnet_test::lab_stream(kChannels, kRate);
    info.kind = 7;
    info.revision = 64;
    info.identified = true;
    pub.add_stream(info);
    server = std::thread([this] {
      while (!stop) {
        if (hold)
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        else
          pub.serve(20);
      }
    });
    producer = std::thread([this] {
      const double t0 = amxnet::steady_now();
      uint64_t next = 1;
      std::vector<int32_t> frames;
      std::vector<double> stamps;
      while (!stop) {
        const uint64_t due = static_cast<uint64_t>((amxnet::steady_now() - t0) * kRate) + 1;
        if (const uint64_t n = device_gap.exchange(0)) {
          pub.device_gap(0, next, n);
          next += n;
        }
        if (const uint32_t n = packets.exchange(0)) pub.lost_packets(0, n);
        if (due > next) {
          amxnet_test::numbered_frames(next, due, kChannels, kRate, t0, frames, stamps);
          pub.push(0, next, frames.data(), stamps.data(), static_cast<uint32_t>(due - next));
          next = due;
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
  amxnet::Publisher pub;
  std::atomic<bool> stop{false}, hold{false};
  std::atomic<uint64_t> device_gap{0};
  std::atomic<uint32_t> packets{0};
  std::thread server, producer;
};

const auto t0 = std::chrono::steady_clock::now();
double clock_now() { return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(); }

// The session as the window drives it, updated every 10 ms until done() or
// for seconds; the longest update() is kept: the window's thread must never
// wait on the network.
double slowest_update = 0;
template <class Done>
bool run_until(App& app, Done done, double seconds = 20)
{
  for (const double start = clock_now();;) {
    const double now = clock_now();
    update(app, now);
    slowest_update = std::max(slowest_update, clock_now() - now);
    if (done()) return true;
    if (now - start > seconds) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool has(const std::vector<std::string>& texts, const std::string& text)
{
  return std::find(texts.begin(), texts.end(), text) != texts.end();
}

// Every frame on the page (and in a file) is one sample of the stream: its
// channels one count apart, nothing shifted between channels.
void expect_frames_whole(const SampleStore& s)
{
  int checked = 0;
  for (uint64_t i = s.first(); i < s.head; ++i) {
    if (!std::isfinite(s.at(0, i))) continue;
    for (int c = 1; c < kChannels; ++c) ASSERT_NEAR(s.at(c, i) - s.at(0, i), 0.1f * c, 0.02f) << i;
    ++checked;
  }
  EXPECT_GT(checked, 100);
}

TEST(AmxviewRemote, TheStreamFillsThePageWithItsGapsMarkedAndTheStatusBarSaysWhatHappened)
{
  Rig rig("tcp://127.0.0.1:*", 0.5);
  App app;
  ASSERT_TRUE(connect_stream(app, rig.pub.endpoint() + "/lab")) << app.message;
  ASSERT_TRUE(run_until(app, [&] { return app.store.head >= 300 && app.remote.clock_valid; })) << app.message;
  EXPECT_EQ(app.rate, kRate);
  EXPECT_EQ(app.store.channels, kChannels);
  EXPECT_EQ(app.names, (std::vector<std::string>{"C0", "C1", "C2", "C3"})) << "the publisher's names";
  EXPECT_EQ(app.labels, app.names) << "recorded under them too";
  expect_frames_whole(app.store);

  // A gap of the device and lost packets: marked where they happened,
  // counted as the device's.
  const uint64_t before = app.store.head;
  rig.device_gap = 50;
  rig.packets = 2;
  ASSERT_TRUE(run_until(app, [&] { return counts(app).device >= 50 && counts(app).lost >= 2; }));
  auto loss_with = [&](uint32_t missing, int32_t packets) {
    return std::any_of(app.store.losses.begin(), app.store.losses.end(), [&](const Loss& l) {
      return l.index >= before && l.missing == missing && l.packets == packets;
    });
  };
  EXPECT_TRUE(loss_with(50, 0) && loss_with(0, 2));
  EXPECT_EQ(counts(app).missing, 50u);
  EXPECT_EQ(counts(app).network, 0u);

  // The network thread away for 1.6 s while the publisher keeps 0.5 s: what
  // left its buffer is a network gap on the page.
  rig.hold = true;
  std::this_thread::sleep_for(std::chrono::milliseconds(1600));
  rig.hold = false;
  ASSERT_TRUE(run_until(app, [&] { return counts(app).network > 0; })) << app.message;
  const uint64_t network = counts(app).network;
  EXPECT_GT(network, 200u) << "about 1.1 s at 500/s";
  EXPECT_LT(network, 800u);
  EXPECT_TRUE(loss_with(static_cast<uint32_t>(network), 0));
  EXPECT_EQ(counts(app).missing, 50 + network);
  expect_frames_whole(app.store);

  const std::string text = remote_text(app);
  double offset = 0, bound = 0;
  const size_t at = text.find("| offset ");
  ASSERT_NE(at, std::string::npos) << text;
  ASSERT_EQ(std::sscanf(text.c_str() + at, "| offset %lf s \u00B1 %lf s", &offset, &bound), 2) << text;
  EXPECT_NEAR(offset, kOffset, bound + 0.005) << text;
  EXPECT_EQ(text.find("remote " + rig.pub.endpoint() + "/lab |"), 0u) << text;
  EXPECT_NE(text.find("| " + std::to_string(network) + " frames lost on the network, 50 missing from the device |"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("| not secure"), std::string::npos) << text;
  EXPECT_LT(slowest_update, 0.25) << "the window's thread waited on the network";
  app.acquirer.stop();
}

// --record from the first frame; a gap annotated; a publisher killed (the
// link lost, said so) and restarted on the same address is a new segment in
// the same file and a line on the page; then the stream ends: the file is
// closed at once, and the stream's return goes on in a continuation naming it.
TEST(AmxviewRemote, RecordingsKeepGapsSegmentsAndContinuations)
{
  auto rig = std::make_unique<Rig>();
  const std::string endpoint = rig->pub.endpoint(), first = temp_path("remote.bdf");
  App app;
  std::snprintf(app.record_path, sizeof app.record_path, "%s", first.c_str());
  app.record_on_start = true;
  ASSERT_TRUE(connect_stream(app, endpoint)) << app.message;
  ASSERT_TRUE(run_until(app, [&] { return app.store.head >= 600; })) << app.message;
  rig->device_gap = 30;
  ASSERT_TRUE(run_until(app, [&] { return counts(app).device >= 30; }));
  rig.reset();
  // The link lost: said in the status bar (red) while the subscriber reconnects.
  ASSERT_TRUE(run_until(app, [&] { return !app.remote.link.empty(); }));
  EXPECT_EQ(app.remote.link, "no message from " + endpoint + " for 2.5 s: reconnecting");
  const uint64_t cut = app.store.head;
  rig = std::make_unique<Rig>(endpoint);
  ASSERT_TRUE(run_until(app, [&] { return app.store.head >= cut + 500; })) << app.message;
  EXPECT_EQ(app.remote.link, "");
  EXPECT_TRUE(std::any_of(app.store.losses.begin(), app.store.losses.end(), [&](const Loss& l) {
    return l.index >= cut && l.missing == 0 && l.packets == 0;
  })) << "the new segment's line";

  rig->pub.end(0, "the publisher stopped");
  ASSERT_TRUE(run_until(app, [&] { return !app.acquirer.recording(); }));
  EXPECT_NE(app.note.find("recording " + first + " closed ("), std::string::npos) << app.note;
  EXPECT_NE(app.note.find("the stream ended: the publisher stopped"), std::string::npos) << app.note;
  ASSERT_TRUE(run_until(app, [&] { return !app.message.empty(); }));
  EXPECT_EQ(app.message, "the stream ended: the publisher stopped: waiting for it to come back");
  const uint64_t ended = app.store.head;
  rig.reset();
  rig = std::make_unique<Rig>(endpoint);
  ASSERT_TRUE(run_until(app, [&] { return app.store.head >= ended + 500 && app.acquirer.recording(); })) << app.message;
  EXPECT_EQ(app.note, "subscribed again after the stream ended: the publisher stopped");
  ASSERT_EQ(app.recorded.size(), 2u);
  const std::string second = app.recorded[1];
  close_recording(app, nullptr);
  app.acquirer.stop();

  const amxnet_test::Bdf a = amxnet_test::read_bdf(first), b = amxnet_test::read_bdf(second);
  ASSERT_TRUE(a.ok && b.ok);
  EXPECT_EQ(a.labels, (std::vector<std::string>{"C0", "C1", "C2", "C3"}));
  EXPECT_EQ(a.annotations.front(), "Recording start");
  EXPECT_TRUE(has(a.annotations, "Lost 0 packets, 30 frames missing")) << ::testing::PrintToString(a.annotations);
  EXPECT_TRUE(has(a.annotations, "New segment (stream restarted)")) << ::testing::PrintToString(a.annotations);
  EXPECT_EQ(a.annotations.back().substr(0, 6), "Next: ");
  EXPECT_EQ(b.annotations.front(), "Follows " + first.substr(first.rfind('/') + 1));
  // The frames recorded whole: channel 1 one count above channel 0 wherever
  // a frame came (missing frames hold the digital minimum in both).
  for (size_t i = 0; i < a.samples[0].size(); ++i)
    if (a.samples[0][i] != a.samples[1][i]) {
      ASSERT_EQ(a.samples[1][i] - a.samples[0][i], 1) << i;
    }
  std::remove(first.c_str());
  std::remove(second.c_str());
}

// Every way a subscription cannot go on ends in a message and, where waiting
// cannot help, at once: no hang, the window's thread never held up.
TEST(AmxviewRemote, RefusalsAndSilenceEndInAMessage)
{
  Rig rig;
  const std::string keys = temp_path("keys");
  std::string fingerprint, error;
  ASSERT_TRUE(amxnet::generate_keys(keys, fingerprint, error)) << error;
  std::FILE* f = std::fopen((keys + "/server.key").c_str(), "w");  // our own key posing as the publisher's
  ASSERT_TRUE(f);
  std::fputs(slurp(keys + "/public.key").c_str(), f);
  std::fclose(f);
  struct Case {
    std::string source, keys;
    bool connects;
    std::string message;
  } cases[] = {
      {rig.pub.endpoint(), temp_path("nokeys"), false, "nokeys"},
      {rig.pub.endpoint() + "/nosuch", "", true, "no stream \"nosuch\" here (streams: lab)"},
      {rig.pub.endpoint(), keys, true, "server.key ("},
  };
  for (const Case& c : cases) {
    App app;
    std::snprintf(app.keys_path, sizeof app.keys_path, "%s", c.keys.c_str());
    ASSERT_EQ(connect_stream(app, c.source), c.connects) << c.source << ": " << app.message;
    if (c.connects) {
      ASSERT_TRUE(run_until(
          app, [&] { return app.gave_up; }, 10))
          << c.source;
    }
    EXPECT_NE(app.message.find(c.message), std::string::npos) << c.source << ": " << app.message;
    EXPECT_EQ(app.store.head, 0u);
  }
  // Nothing served at an address: given up after 10 s with a message.
  App app;
  const std::string silent = "tcp://127.0.0.1:1";
  ASSERT_TRUE(connect_stream(app, silent)) << app.message;
  ASSERT_TRUE(run_until(
      app, [&] { return app.gave_up; }, 20));
  EXPECT_EQ(app.message, "no stream from " + silent + " within 10 s (is it served there?): choose it again");
  EXPECT_FALSE(app.acquirer.running);
  EXPECT_LT(slowest_update, 0.25) << "the window's thread waited on the network";
  std::remove((keys + "/server.key").c_str());
}

// The device panel's list: one entry per stream and address, the newest
// announcement, forgotten 5 s after it was last heard, sorted; choosing one
// subscribes to it, a secure one only with a key folder.
TEST(AmxviewRemote, TheStreamListKeepsWhatIsAnnouncedAndChoosingOneSubscribes)
{
  Rig rig;
  auto heard = [](const std::string& name, const std::string& endpoint, int channels, bool secure = false) {
    amxnet::Announcement a;
    a.name = name;
    a.host = "rig";
    a.endpoint = endpoint;
    a.channels = channels;
    a.rate = kRate;
    a.secure = secure;
    a.fingerprint = secure ? "3f2a:91c0" : "";
    return a;
  };
  std::vector<StreamEntry> list;
  merge_streams(list, {heard("lab", rig.pub.endpoint(), 8), heard("eeg", "tcp://10.0.0.2:5600", 32, true)}, 100);
  merge_streams(list, {heard("lab", rig.pub.endpoint(), kChannels), heard("lab", "tcp://192.168.0.3:5600", 16)}, 103);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].a.name + list[1].a.name + list[2].a.name, "eeglablab");
  EXPECT_EQ(list[1].a.endpoint, rig.pub.endpoint()) << "sorted by address within a name";
  EXPECT_EQ(list[1].a.channels, kChannels) << "the newest announcement";
  merge_streams(list, {}, 105.5);
  ASSERT_EQ(list.size(), 2u) << "eeg not heard for 5.5 s";
  EXPECT_EQ(stream_source(list[0].a), rig.pub.endpoint() + "/lab");

  App app;
  app.streams = list;
  app.streams.push_back({heard("eeg", "tcp://10.0.0.2:5600", 32, true), 105});
  EXPECT_FALSE(connect_announced(app, 2));
  EXPECT_NE(app.message.find("stream eeg is served with keys (3f2a:91c0): give this viewer's key folder first"),
            std::string::npos)
      << app.message;
  EXPECT_FALSE(app.acquirer.running);
  ASSERT_TRUE(connect_announced(app, 0)) << app.message;
  ASSERT_TRUE(run_until(app, [&] { return app.store.head >= 100; })) << app.message;
  EXPECT_EQ(app.source, rig.pub.endpoint() + "/lab");
  EXPECT_EQ(app.remote.host, "here");
  app.acquirer.stop();
}

}  // namespace
