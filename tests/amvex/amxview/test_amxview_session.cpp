// amxview's session without a window, against the emulated 40-channel
// amplifier of AMVEX_EMULATE ("kind=7,rev=64"): the montage the panel loads,
// the Record button's start, the time axis of the traces' page, and the
// colours a reader has to tell apart.
#include <gtest/gtest.h>

#include <edflib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "session.h"
#include "temp_files.h"

namespace {

using namespace amxview;

// The session as the window drives it: the first device opened at 500/s,
// updated every 10 ms until done() or for 20 s, on one clock for the whole
// program (as the window's loop has).
void open_first(App& app)
{
  app.options.rate = 500;
  app.devices = scan_devices({});
  ASSERT_FALSE(app.devices.empty());
  ASSERT_TRUE(open_device(app, 0)) << app.message;
}

const auto t0 = std::chrono::steady_clock::now();

template <class Done>
bool run_until(App& app, Done done)
{
  auto clock = [] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(); };
  for (const double start = clock();;) {
    const double now = clock();
    update(app, now);
    if (done()) return true;
    if (now - start > 20) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// A bad montage file changes nothing the reader sees or records: the names
// and labels loaded before stay, the reason is amxctl's (the same parser's)
// message, and it is not wiped by the restart that follows.
TEST(AmxviewSession, ARefusedMontageKeepsTheNamesShownAndRecorded)
{
  App app;
  open_first(app);
  const std::string good = temp_path("good.txt"), bad = temp_path("bad.txt"), folder = temp_path("folder");
  std::ofstream(good) << "Cz\nPz\n";
  std::snprintf(app.montage_path, sizeof app.montage_path, "%s", good.c_str());
  ASSERT_TRUE(load_montage(app)) << app.message;
  ASSERT_EQ(app.names[0] + app.names[1] + app.names[2], "CzPzCh3");
  const std::vector<std::string> names = app.names;
  ASSERT_EQ(app.labels, names);
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);

  std::string lines;
  for (int i = 0; i < 1000; ++i) lines += "E" + std::to_string(i) + "\n";
  const std::vector<std::string> bad_files{"Fp1\nFp1\n",
                                           "AVeryLongElectrodeName\n",
                                           "Fp1\n\xC3\x9C"
                                           "ber\n",
                                           "\xDC"
                                           "ber\n",
                                           lines,
                                           std::string("\x01\x02\xFF\xFE\n", 5),
                                           std::string("Fp\0"
                                                       "1\n",
                                                       5),
                                           "Fp\t1\n"};
  for (const std::string& text : bad_files) {
    std::ofstream(bad, std::ios::binary) << text;
    std::vector<std::string> unused;
    std::string expected;
    ASSERT_FALSE(amxhost::read_montage(bad, 40, unused, expected)) << text;
    std::snprintf(app.montage_path, sizeof app.montage_path, "%s", bad.c_str());
    app.message.clear();
    EXPECT_FALSE(load_montage(app)) << text;
    EXPECT_EQ(app.message, expected);
    EXPECT_EQ(app.names, names);
    EXPECT_EQ(app.labels, names);
  }
  for (const std::string& path : {temp_path("missing.txt"), folder}) {
    std::snprintf(app.montage_path, sizeof app.montage_path, "%s", path.c_str());
    EXPECT_FALSE(load_montage(app)) << path;
    EXPECT_NE(app.message.find("cannot read the montage " + path), std::string::npos) << app.message;
    EXPECT_EQ(app.names, names);
  }

  // On a device opened with a file that does not fit: the defaults, and the
  // reason still shown once the device runs.
  std::ofstream(bad) << "Fp1\nFp1\n";
  std::snprintf(app.montage_path, sizeof app.montage_path, "%s", bad.c_str());
  ASSERT_TRUE(open_device(app, 0)) << app.message;
  EXPECT_NE(app.message.find("line 2: \"Fp1\" given twice"), std::string::npos) << app.message;
  EXPECT_EQ(app.names, amxhost::default_montage(40));
  EXPECT_TRUE(app.labels.empty()) << "recorded as Ch1..ChN, as amxctl records without a montage";

  // The recording carries the names shown.
  std::snprintf(app.montage_path, sizeof app.montage_path, "%s", good.c_str());
  ASSERT_TRUE(load_montage(app));
  const std::string bdf = temp_path("labelled.bdf");
  std::snprintf(app.record_path, sizeof app.record_path, "%s", bdf.c_str());
  ASSERT_TRUE(start_recording(app, false)) << app.message;
  ASSERT_TRUE(run_until(app, [&] { return app.acquirer.frames >= 600; }));
  close_recording(app, nullptr);
  app.acquirer.stop();
  edf_hdr_struct h{};
  ASSERT_EQ(edfopen_file_readonly(bdf.c_str(), &h, EDFLIB_READ_ALL_ANNOTATIONS), 0);
  for (int c = 0; c < 3; ++c) EXPECT_EQ(std::string(h.signalparam[c].label).substr(0, names[c].size()), names[c]);
  edfclose_file(h.handle);
  std::filesystem::remove_all(folder);
  for (const auto& f : {good, bad, bdf}) std::remove(f.c_str());
}

// What the Record button calls: an existing file is refused and left as it
// was; a dated name proposed earlier is dated when the recording starts.
TEST(AmxviewSession, TheRecordButtonRefusesAnExistingFileAndDatesItsNameAtTheStart)
{
  App app;
  open_first(app);
  const std::string kept = temp_path("kept.bdf");
  std::ofstream(kept) << "an earlier recording";
  std::snprintf(app.record_path, sizeof app.record_path, "%s", kept.c_str());
  EXPECT_FALSE(start_recording(app, false));
  EXPECT_NE(app.message.find(kept + " exists: not replaced"), std::string::npos) << app.message;
  EXPECT_FALSE(app.acquirer.recording());
  EXPECT_EQ(slurp(kept), "an earlier recording");

  const std::string folder = temp_path("dated");
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  app.proposed = folder + "/amxview-2000-01-01_00-00-00.bdf";
  std::snprintf(app.record_path, sizeof app.record_path, "%s", app.proposed.c_str());
  ASSERT_TRUE(start_recording(app, false)) << app.message;
  const std::string started = app.record_path;
  EXPECT_EQ(started.substr(0, folder.size() + 9), folder + "/amxview-");
  EXPECT_NE(started, folder + "/amxview-2000-01-01_00-00-00.bdf");
  // The file takes its name with its first data record (one second of frames).
  for (int i = 0; i < 200 && !std::filesystem::exists(started); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(std::filesystem::exists(started));
  close_recording(app, nullptr);
  app.acquirer.stop();
  std::filesystem::remove_all(folder);
  std::remove(kept.c_str());
}

// The axis says how long before the newest frame a sample was, from the first
// frame on: samples placed by what the labels say, not by the placement
// formula. 3 s of a 10 s page at 100/s, a spike 2 s before the newest frame.
TEST(AmxviewSession, TheTimeAxisReadsZeroAtTheNewestFrameWhileThePageFills)
{
  SampleStore s;
  s.reset(1, 100, 10);
  std::vector<int32_t> frames;
  for (int i = 0; i < 300; ++i) frames.insert(frames.end(), {i == 99 ? 1000 : 0, i + 1});
  s.feed(frames.data(), 300, {}, 1.0);
  const int w = 500, h = 40;
  std::vector<std::vector<Column>> columns;
  std::vector<uint32_t> px;
  std::vector<float> bar_uv;
  raster_traces(s, {0}, {10, 0, 0}, w, h, columns, px, bar_uv);
  // The spike's column: the trace's top row (the spike is the maximum).
  int spike = -1, last = -1;
  for (int x = 0; x < w; ++x) {
    for (int y = 0; y < h; ++y)
      if (px[static_cast<size_t>(y) * w + x] == rgba(channel_color(0))) {
        last = x;
        if (y <= 3 && spike < 0) spike = x;
      }
  }
  auto label_x = [&](const std::string& text) {
    for (const AxisLabel& a : time_axis(10, w))
      if (a.text == text) return a.x;
    return -1000.0f;
  };
  EXPECT_NEAR(spike, label_x("-2"), 1.5) << "the spike sits 2 s before the newest frame";
  EXPECT_NEAR(last, label_x("0 s"), 1.5) << "the newest frame at 0 s";
  EXPECT_NEAR(page_x(s, 10, w, 0), label_x("-3"), 1.5) << "the first frame, 3 s ago";
}

// A recovery (the stream away for a while, the device restarted) keeps the
// page and its markers and puts the time away on it as missing frames; the
// counters go on across that and a restart by the user, never backwards.
TEST(AmxviewSession, CountersGoOnAndARecoveryMarksItsGapOnThePage)
{
  App app;
  open_first(app);
  double slowest = 0;
  auto frames_beyond = [&](uint64_t n) {
    return run_until(app, [&] {
      slowest = std::min(slowest, app.frames_per_second);
      return counts(app).frames >= n;
    });
  };
  ASSERT_TRUE(frames_beyond(600));
  app.key_marks.push_back(3);  // as the window's key events queue a key
  ASSERT_TRUE(frames_beyond(650));
  ASSERT_EQ(app.markers.size(), 1u);
  EXPECT_EQ(app.markers[0].number, 3);

  // The stream stops; 0.4 s later the device is back.
  app.acquirer.stop();
  const uint64_t before = counts(app).frames, head = app.store.head;
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  ASSERT_TRUE(restart(app, true)) << app.message;
  ASSERT_TRUE(frames_beyond(before + 300));
  ASSERT_FALSE(app.store.losses.empty());
  const Loss gap = app.store.losses.back();
  EXPECT_EQ(gap.index, head) << "marked where the stream stopped";
  EXPECT_GT(gap.missing, 150u) << "0.4 s or more at 500/s";
  EXPECT_LT(gap.missing, 2000u);
  EXPECT_EQ(counts(app).missing, gap.missing);
  EXPECT_EQ(app.markers.size(), 1u) << "the page and its markers kept";

  // A restart by the user (another rate) starts a new page; the counts go on.
  const uint64_t frames = counts(app).frames;
  app.rate = 250;
  ASSERT_TRUE(restart(app));
  ASSERT_TRUE(frames_beyond(frames + 400));
  EXPECT_TRUE(app.markers.empty() && app.store.losses.empty()) << "a new page";
  EXPECT_GE(slowest, 0) << "frames per second never negative";
  app.acquirer.stop();
}

// The colours a reader must tell apart: spectrum curves from a fixed palette
// far apart from each other and from the plot's background; impedance cells'
// text readable on every class colour.
TEST(AmxviewSession, ColoursAreDistinctAndTextReadable)
{
  auto distance = [](Rgb a, Rgb b) { return std::hypot(a.r - b.r, a.g - b.g, a.b - b.b); };
  for (int i = 0; i < kSpectrumColors; ++i) {
    EXPECT_GE(contrast(spectrum_color(i), kPlotBackground), 3.0) << i;
    for (int j = 0; j < i; ++j) EXPECT_GE(distance(spectrum_color(i), spectrum_color(j)), 90) << i << " " << j;
  }
  using amxhost::Electrode;
  for (Electrode e : {Electrode::Good, Electrode::Fair, Electrode::Bad, Electrode::Reference, Electrode::Waiting})
    EXPECT_GE(contrast(text_on(electrode_color(e)), electrode_color(e)), 4.5) << amxhost::electrode_name(e);
}

// The spectrum starts with the occipital channels (alpha) and without the
// impedance reference, whose signal is not the scalp's.
TEST(AmxviewSession, TheSpectrumStartsWithTheOccipitalChannelsAndNotTheReference)
{
  App app;
  open_first(app);
  int32_t reference = -1;
  ASSERT_EQ(AmxGetImpedanceRef(app.device.id, &reference), AMX_OK);
  ASSERT_GE(reference, 0);
  EXPECT_FALSE(app.in_spectrum[static_cast<size_t>(reference)]) << app.names[static_cast<size_t>(reference)];
  for (int c = 0; c < 40; ++c) {
    if (app.names[c] == "O1" || app.names[c] == "O2") {
      EXPECT_TRUE(app.in_spectrum[c]) << app.names[c];
    }
  }
  app.acquirer.stop();
}

}  // namespace
