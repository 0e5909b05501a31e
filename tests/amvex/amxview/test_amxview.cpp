// amxview end to end: the built program under an Xvfb of its own against the
// emulated 40-channel amplifier of AMVEX_EMULATE ("kind=7,rev=64"), checked
// through the screenshots it writes (what a user would see: colours where they
// belong), its exit codes and the BDF+ files it records.
#include <gtest/gtest.h>

#include <edflib.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <stb_image.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "temp_files.h"
#include "viewer.h"
#include "xvfb.h"

namespace {

using amxview::Rgb;
using Electrode = amxhost::Electrode;

const ::testing::Environment* const xvfb = ::testing::AddGlobalTestEnvironment(new XvfbEnvironment);

struct Result {
  int code = -1;
  std::string out, err;
};

// Starts program with args, its output in out and err; env holds NAME=VALUE
// to set or NAME alone to unset.
pid_t spawn(const char* program, const std::vector<std::string>& args, const std::vector<std::string>& env,
            const std::string& out, const std::string& err)
{
  pid_t pid = fork();
  if (pid == 0) {
    for (const std::string& e : env) {
      size_t eq = e.find('=');
      if (eq == std::string::npos)
        unsetenv(e.c_str());
      else
        setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
    }
    dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
    dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    std::vector<char*> argv{const_cast<char*>(program)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program, argv.data());
    _exit(127);
  }
  return pid;
}

// Runs program as spawn() starts it; meanwhile: called with the program's pid
// while it runs.
Result run(const char* program, const std::vector<std::string>& args, const std::vector<std::string>& env = {},
           const std::function<void(pid_t)>& meanwhile = {})
{
  const std::string out = temp_path("out"), err = temp_path("err");
  const pid_t pid = spawn(program, args, env, out, err);
  if (meanwhile) meanwhile(pid);
  int status = 0;
  waitpid(pid, &status, 0);
  Result r;
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = slurp(out);
  r.err = slurp(err);
  return r;
}

struct Image {
  int w = 0, h = 0;
  std::vector<unsigned char> rgb;
  Rgb at(int x, int y) const
  {
    const unsigned char* p = &rgb[(static_cast<size_t>(y) * w + x) * 3];
    return {p[0], p[1], p[2]};
  }
};

Image read_png(const std::string& path)
{
  Image img;
  int n = 0;
  unsigned char* data = stbi_load(path.c_str(), &img.w, &img.h, &n, 3);
  if (data) img.rgb.assign(data, data + static_cast<size_t>(img.w) * img.h * 3);
  stbi_image_free(data);
  return img;
}

// A screenshot of view after seconds (plus extra arguments, and env as run()
// takes it); counts: the losses the viewer must report (its closing line, or
// the picture's status bar it prints last).
Image screenshot(const std::string& view, double seconds, std::vector<std::string> extra = {},
                 const std::vector<std::string>& env = {},
                 const std::string& counts = "0 packets lost, 0 frames missing")
{
  const std::string png = temp_path(view + ".png");
  std::vector<std::string> args{"--screenshot", png, "--seconds", std::to_string(seconds), "--view", view};
  args.insert(args.end(), extra.begin(), extra.end());
  Result r = run(AMXVIEW_PATH, args, env);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find(counts), std::string::npos) << r.out;
  Image img = read_png(png);
  std::remove(png.c_str());
  return img;
}

struct Box {
  int x0 = 1 << 30, y0 = 1 << 30, x1 = -1, y1 = -1;
  void add(int x, int y) { x0 = std::min(x0, x), y0 = std::min(y0, y), x1 = std::max(x1, x), y1 = std::max(y1, y); }
  bool holds(int x, int y) const { return x >= x0 && x <= x1 && y >= y0 && y <= y1; }
  int width() const { return x1 - x0 + 1; }
  int height() const { return y1 - y0 + 1; }
};

// The plot area: where the plot's background colour shows.
Box plot_box(const Image& img)
{
  Box b;
  for (int y = 0; y < img.h; ++y)
    for (int x = 0; x < img.w; ++x)
      if (img.at(x, y) == amxview::kPlotBackground) b.add(x, y);
  return b;
}

// The columns of the red full-height lines that mark losses across the plot
// (a loss reported over two reads draws lines a few columns apart: one).
std::vector<int> loss_lines(const Image& img, const Box& plot)
{
  std::vector<int> found;
  for (int x = plot.x0, last = -100; x <= plot.x1; ++x) {
    if (!(img.at(x, plot.y0) == amxview::kLostMarker && img.at(x, plot.y1) == amxview::kLostMarker)) continue;
    if (x > last + 6) found.push_back(x);
    last = x;
  }
  return found;
}

TEST(Amxview, TracesShowEveryChannelStackedInsideThePlot)
{
  Image img = screenshot("traces", 2, {"--rate", "1000"});  // a fifth of the 10 s across
  ASSERT_GT(img.w, 0);
  Box plot = plot_box(img);
  ASSERT_GT(plot.width(), img.w / 2);
  ASSERT_GT(plot.height(), img.h * 3 / 4);
  // Every channel in its own colour, inside the plot only, the channels
  // stacked in order from the top.
  double last_mean_y = -1;
  for (int c = 0; c < 40; ++c) {
    const Rgb color = amxview::channel_color(c);
    long inside = 0, outside = 0;
    double sum_y = 0;
    for (int y = 0; y < img.h; ++y)
      for (int x = 0; x < img.w; ++x)
        if (img.at(x, y) == color) plot.holds(x, y) ? (++inside, sum_y += y) : ++outside;
    EXPECT_GT(inside, 150) << "channel " << c + 1 << ": two seconds of a sine";
    EXPECT_EQ(outside, 0) << "channel " << c + 1;
    if (!inside) continue;
    EXPECT_GT(sum_y / inside, last_mean_y) << "channel " << c + 1 << " below channel " << c;
    last_mean_y = sum_y / inside;
  }
}

TEST(Amxview, SpectrumPeaksAtTheEmulatedToneAndTheMainsHum)
{
  // Channels 1, 10, O1, O2, 30 and 40 are shown (curves 0 to 5 of the
  // palette), channel 40 drawn last (on top where the curves meet, as at the
  // hum). The axis runs from 0 to 100 Hz.
  Image img = screenshot("spectrum", 4);
  ASSERT_GT(img.w, 0);
  Box plot = plot_box(img);
  // The highest point of a curve near frequency f.
  auto top = [&](int curve, double f) {
    const Rgb color = amxview::spectrum_color(curve);
    int x = plot.x0 + static_cast<int>(f / 100 * plot.width()), best = plot.y1;
    for (int dx = -8; dx <= 8; ++dx)
      for (int y = plot.y0; y <= plot.y1 && y < best; ++y)
        if (img.at(x + dx, y) == color) best = y;
    return best;
  };
  const int tone = top(1, 10), quiet = std::min(top(1, 35), top(1, 75));
  const int hum = top(5, 50), quiet40 = std::min(top(5, 25), top(5, 75));
  EXPECT_LT(tone, quiet - plot.height() / 4) << "channel 10's 10 Hz tone";
  EXPECT_LT(hum, quiet40 - plot.height() / 6) << "50 Hz hum";
  EXPECT_LT(tone, hum) << "the tone (20000 counts) is stronger than the hum (500)";
  EXPECT_LT(top(5, 40), hum) << "channel 40's tone at 40 Hz";
  // The legend: a stroke of each curve's colour in the top right corner,
  // where the curves' floor never reaches.
  for (int k = 0; k < 6; ++k) {
    int strokes = 0;
    for (int y = plot.y0; y < plot.y0 + 120; ++y)
      for (int x = plot.x1 - plot.width() / 10; x <= plot.x1; ++x)
        strokes += img.at(x, y) == amxview::spectrum_color(k);
    EXPECT_GE(strokes, 30) << "curve " << k << " in the legend";
  }
}

TEST(Amxview, ImpedanceCellsShowTheElectrodesClasses)
{
  Image img = screenshot("impedance", 3.5);
  ASSERT_GT(img.w, 0);
  // The cells: regions of one class colour (their text inside), in reading order.
  std::map<int, Electrode> classes;
  for (Electrode e : {Electrode::Good, Electrode::Fair, Electrode::Bad, Electrode::Reference})
    classes[static_cast<int>(e)] = e;
  std::vector<char> seen(static_cast<size_t>(img.w) * img.h);
  struct Cell {
    Box box;
    Electrode e;
  };
  std::vector<Cell> cells;
  for (int y = 0; y < img.h; ++y)
    for (int x = 0; x < img.w; ++x) {
      for (const auto& kv : classes) {
        const Rgb color = amxview::electrode_color(kv.second);
        if (seen[y * img.w + x] || !(img.at(x, y) == color)) continue;
        Cell cell{{}, kv.second};
        std::vector<std::pair<int, int>> todo{{x, y}};
        seen[y * img.w + x] = 1;
        while (!todo.empty()) {
          auto [px, py] = todo.back();
          todo.pop_back();
          cell.box.add(px, py);
          for (auto [nx, ny] : {std::pair{px + 1, py}, {px - 1, py}, {px, py + 1}, {px, py - 1}})
            if (nx >= 0 && ny >= 0 && nx < img.w && ny < img.h && !seen[ny * img.w + nx] && img.at(nx, ny) == color)
              seen[ny * img.w + nx] = 1, todo.push_back({nx, ny});
        }
        if (cell.box.width() > 20 && cell.box.height() > 20) cells.push_back(cell);
      }
    }
  ASSERT_EQ(cells.size(), 40u);
  std::stable_sort(cells.begin(), cells.end(), [](const Cell& a, const Cell& b) {
    return a.box.y0 + 5 < b.box.y0 || (std::abs(a.box.y0 - b.box.y0) <= 5 && a.box.x0 < b.box.x0);
  });
  // Electrodes by channel mod 8: 5, 20, 100, 1, 200, 10, 50, 2 kOhm; the
  // reference is channel 20. 10 and 50 kOhm sit on the default thresholds.
  const Electrode expected[8] = {Electrode::Good, Electrode::Fair, Electrode::Bad,  Electrode::Good,
                                 Electrode::Bad,  Electrode::Good, Electrode::Fair, Electrode::Good};
  for (int c = 0; c < 40; ++c) {
    if (c % 8 == 5 || c % 8 == 6) continue;
    EXPECT_EQ(static_cast<int>(cells[c].e), static_cast<int>(c == 19 ? Electrode::Reference : expected[c % 8]))
        << "channel " << c + 1;
  }
  // No electrode reads 0 Ohm: a first window not complete yet is no "good" one.
  EXPECT_EQ(static_cast<int>(amxhost::classify(0, 19, 0, 10, 50)), static_cast<int>(Electrode::Waiting));
}

// Faults at known times: packets lost at 1, 1.5 and twice at 2 s (two in a
// row: one gap), channel 4's samples invalid from 1 to 1.5 s.
const std::string kFaults = "AMVEX_EMULATE=kind=7,rev=64,loss_at=1+1.5+2+2,invalid=3@1-1.5";

TEST(Amxview, TracesMarkTheEmulatorsLossesAndInvalidSamples)
{
  // 3 s (and the frames of the last read) of the 10 s page, which ends at
  // the newest frame at the right edge: a tenth of the plot's width per
  // second, the first loss 1.9 to 2 s before the right edge.
  Image img = screenshot("traces", 3, {"--rate", "1000"}, {kFaults}, "| 4 packets lost | 4 frames missing |");
  ASSERT_GT(img.w, 0);
  const Box plot = plot_box(img);
  const std::vector<int> found = loss_lines(img, plot);
  ASSERT_EQ(found.size(), 3u) << "a full-height line at 1, 1.5 and 2 s, none elsewhere";
  const double per_second = plot.width() / 10.0;
  const double first_ago = (plot.x1 + 1 - found[0]) / per_second;
  EXPECT_TRUE(first_ago > 1.85 && first_ago < 2.3) << first_ago << " s before the newest frame";
  EXPECT_NEAR(found[1] - found[0], per_second / 2, 3);
  EXPECT_NEAR(found[2] - found[0], per_second, 3);
  auto x_at = [&](double t) { return found[0] + static_cast<int>(per_second * (t - 1)); };
  // The invalid samples: ticks along channel 4's row (the 4th of 40) from 1
  // to 1.5 s, nowhere else.
  const double row_h = plot.height() / 40.0;
  std::set<int> columns;
  for (int y = 0; y < img.h; ++y)
    for (int x = 0; x < img.w; ++x) {
      if (!(img.at(x, y) == amxview::kInvalidMarker)) continue;
      columns.insert(x);
      EXPECT_TRUE(x >= x_at(1) - 3 && x <= x_at(1.5) + 3 && y >= plot.y0 + 3 * row_h && y < plot.y0 + 4 * row_h)
          << "invalid-sample tick at " << x << "," << y;
    }
  EXPECT_GT(static_cast<int>(columns.size()), (x_at(1.5) - x_at(1)) * 3 / 4);
}

#ifdef AMXVIEW_TEST_STREAMS
// A free port on loopback (the kernel's choice, given back at once).
int free_port()
{
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof a;
  const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size) == 0;
  close(fd);
  return ok ? ntohs(a.sin_port) : 0;
}

// A secure stream of `amxctl serve` (its clock 0.25 s ahead, packets lost at
// 2 and 2.5 s of its stream), watched from before it starts: the traces with
// both losses marked, the status bar with the offset, the device's losses and
// the server key; the offset within its bound of the truth.
TEST(Amxview, AServedStreamShowsItsLossesAndTheClockOffset)
{
  const std::string keys = temp_path("keys"), png = temp_path("remote.png");
  std::string fingerprint;
  for (const char* side : {"srv", "sub"}) {
    Result k = run(AMXCTL_PATH, {"keygen", keys + "/" + side});
    ASSERT_EQ(k.code, 0) << k.err;
    if (side[1] == 'r') fingerprint = k.out.substr(k.out.rfind(' ') + 1, 24);
  }
  ASSERT_EQ(mkdir((keys + "/srv/allowed").c_str(), 0755), 0);
  std::ofstream(keys + "/srv/allowed/sub.key") << slurp(keys + "/sub/public.key");
  std::ofstream(keys + "/sub/server.key") << slurp(keys + "/srv/public.key");
  const int port = free_port();
  ASSERT_GT(port, 0);
  const std::string at = "tcp://127.0.0.1:" + std::to_string(port);
  pid_t serve = -1;
  Result r =
      run(AMXVIEW_PATH, {"--screenshot", png, "--seconds", "3.5", "--connect", at + "/lab", "--keys", keys + "/sub"},
          {}, [&](pid_t) {
            // The viewer waits for the publisher, which starts a second later.
            usleep(1000 * 1000);
            serve = spawn(AMXCTL_PATH, {"serve", "--name", "lab", "--bind", at, "--keys", keys + "/srv", "--quiet"},
                          {"AMVEX_EMULATE=kind=7,rev=64,loss_at=2+2.5", "AMXNET_TEST_CLOCK=0.25,0"},
                          temp_path("serve.out"), temp_path("serve.err"));
          });
  ASSERT_GT(serve, 0);
  kill(serve, SIGINT);
  int status = 0;
  waitpid(serve, &status, 0);
  ASSERT_EQ(r.code, 0) << r.err << slurp(temp_path("serve.err"));
  const size_t bar = r.out.find("status bar: ");
  ASSERT_NE(bar, std::string::npos) << r.out;
  const std::string line = r.out.substr(bar);
  EXPECT_NE(line.find("| 2 packets lost | 2 frames missing |"), std::string::npos) << line;
  EXPECT_NE(line.find("| remote " + at + "/lab | offset +"), std::string::npos) << line;
  EXPECT_NE(line.find("| 0 frames lost on the network, 2 missing from the device |"), std::string::npos) << line;
  EXPECT_NE(line.find("| secure (server key " + fingerprint), std::string::npos) << line;
  double offset = 0, bound = 0;
  ASSERT_EQ(std::sscanf(line.c_str() + line.find("| offset "), "| offset %lf s \u00B1 %lf s", &offset, &bound), 2);
  EXPECT_NEAR(offset, 0.25, bound + 0.005);

  // The picture: a red line across the plot at each loss, half a second apart.
  const Image img = read_png(png);
  ASSERT_GT(img.w, 0);
  const Box plot = plot_box(img);
  const std::vector<int> found = loss_lines(img, plot);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_NEAR(found[1] - found[0], plot.width() / 20.0, 3);
  std::filesystem::remove_all(keys);
  std::remove(png.c_str());
}
#endif

// Lost packets and missing frames are counted where the samples arrive, not
// where they are drawn: the viewer's status bar (filters on, another rate) says
// what amxctl says for the same faults.
TEST(Amxview, CountsLossesAsAmxctlDoes)
{
  Result c = run(AMXCTL_PATH, {"stream", "@0", "--rate", "500", "--seconds", "2.5"}, {kFaults});
  ASSERT_EQ(c.code, 0) << c.err;
  int lost = -1, missing = -1;
  const size_t last = c.err.rfind("streamed ");  // the closing status line
  ASSERT_NE(last, std::string::npos) << c.err;
  ASSERT_EQ(std::sscanf(c.err.c_str() + last, "streamed %*u frames (%*f s), %d packet(s) lost, %d frame(s) missing",
                        &lost, &missing),
            2)
      << c.err;
  EXPECT_EQ(lost, 4);
  EXPECT_EQ(missing, 4);
  screenshot("traces", 2.5, {"--rate", "500", "--filters"}, {kFaults},
             "| " + std::to_string(lost) + " packets lost | " + std::to_string(missing) + " frames missing |");
}

// The markers' exact places, on the traces' image without a window: frames fed
// as the acquisition thread hands them over, with a gap of missing frames, lost
// packets and an invalid sample.
TEST(AmxviewTraces, LossesAndInvalidSamplesAreMarkedWhereTheyHappened)
{
  amxview::SampleStore s;
  s.reset(2, 100, 10);  // 10 s at 100/s: 1000 frames across 1000 columns
  std::vector<int32_t> frames;
  for (int i = 0; i < 300; ++i) {
    const int32_t v = static_cast<int32_t>(1000 * std::sin(i * 0.3));
    frames.insert(frames.end(), {v, i == 150 ? 0x7FFFFFFF : v, i + 1});
  }
  // 200 frames, 50 missing, 50 frames, 3 packets lost, 50 frames.
  s.feed(frames.data(), 300, {{200, 50, 0}, {300, 0, 3}}, 1.0);
  EXPECT_EQ(s.head, 350u);
  const int w = 1000, h = 100;
  std::vector<std::vector<amxview::Column>> columns;
  std::vector<uint32_t> px;
  std::vector<float> bar_uv;
  amxview::raster_traces(s, {0, 1}, {10, 0, 0}, w, h, columns, px, bar_uv);
  // The page ends at the newest frame: frame i in column o + i.
  const int o = w - 350;
  auto at = [&](int x, int y) { return px[static_cast<size_t>(y) * w + x]; };
  auto column_has = [&](int x, int y0, int y1, Rgb c) {
    for (int y = y0; y < y1; ++y)
      if (at(x, y) == amxview::rgba(c)) return true;
    return false;
  };
  const Rgb lost = amxview::kLostMarker, invalid = amxview::kInvalidMarker;
  for (int x : {200, 300}) EXPECT_TRUE(column_has(o + x, 0, 1, lost) && column_has(o + x, h - 1, h, lost)) << x;
  for (int x : {100, 250, 320, 349}) EXPECT_FALSE(column_has(o + x, 0, h, lost)) << x;
  // The invalid sample of the second channel (row 50-99) only.
  EXPECT_TRUE(column_has(o + 150, 90, 100, invalid));
  EXPECT_FALSE(column_has(o + 150, 0, 50, invalid));
  EXPECT_FALSE(column_has(o + 100, 0, 100, invalid));
  // Missing frames draw no trace; the frames after them do, in both rows.
  for (int c = 0; c < 2; ++c) {
    const Rgb color = amxview::channel_color(c);
    EXPECT_FALSE(column_has(o + 225, 50 * c, 50 * c + 50, color)) << c;
    EXPECT_TRUE(column_has(o + 275, 50 * c, 50 * c + 50, color)) << c;
    EXPECT_FALSE(column_has(o - 10, 0, h, color)) << "before the first frame";
  }
  // Auto scales keep every trace inside its row; at a fixed 100 uV a row the
  // +-1000 uV sines go beyond it: bars on both edges of their rows.
  const Rgb clip = amxview::kClipMarker;
  for (int x = o; x < w; ++x) EXPECT_FALSE(column_has(x, 0, h, clip)) << x;
  amxview::raster_traces(s, {0, 1}, {10, 2, 100}, w, h, columns, px, bar_uv);
  // 50-pixel rows of 100 uV: a 50 uV bar of 25 pixels for the page, in the first row.
  EXPECT_EQ(bar_uv, (std::vector<float>{50, 0}));
  EXPECT_TRUE(column_has(1, 13, 14, amxview::kScaleBar) && column_has(1, 36, 37, amxview::kScaleBar));
  EXPECT_FALSE(column_has(1, 0, 10, amxview::kScaleBar) || column_has(1, 40, h, amxview::kScaleBar));
  int top = 0, bottom = 0;
  for (int x = o; x < w; ++x) top += column_has(x, 50, 52, clip), bottom += column_has(x, 48, 50, clip);
  EXPECT_GT(top, 50);
  EXPECT_GT(bottom, 50);
  EXPECT_FALSE(column_has(o + 100, 3, 47, clip));
}

std::vector<std::string> annotations(const edf_hdr_struct& h)
{
  std::vector<std::string> texts;
  for (long long i = 0; i < h.annotations_in_file; ++i) {
    edf_annotation_struct an{};
    edf_get_annotation(h.handle, static_cast<int>(i), &an);
    texts.push_back(an.annotation);
  }
  return texts;
}

TEST(Amxview, RecordsTheSameFileAsAmxctl)
{
  const std::string ours = temp_path("view.bdf"), theirs = temp_path("ctl.bdf"), png = temp_path("rec.png");
  Result v = run(AMXVIEW_PATH, {"--screenshot", png, "--seconds", "2", "--rate", "500", "--record", ours});
  ASSERT_EQ(v.code, 0) << v.err;
  Result c = run(AMXCTL_PATH, {"record", "@0", theirs, "--rate", "500", "--seconds", "1.5", "--quiet"});
  ASSERT_EQ(c.code, 0) << c.err;
  edf_hdr_struct a{}, b{};
  ASSERT_EQ(edfopen_file_readonly(ours.c_str(), &a, EDFLIB_READ_ALL_ANNOTATIONS), 0);
  ASSERT_EQ(edfopen_file_readonly(theirs.c_str(), &b, EDFLIB_READ_ALL_ANNOTATIONS), 0);
  EXPECT_EQ(a.filetype, b.filetype);
  EXPECT_STREQ(a.equipment, b.equipment);
  ASSERT_EQ(a.edfsignals, 40);
  ASSERT_EQ(b.edfsignals, 40);
  ASSERT_GE(a.datarecords_in_file, 2);
  // The emulated samples follow the sample number: both files start alike.
  for (int s = 0; s < 40; ++s) {
    EXPECT_STREQ(a.signalparam[s].label, b.signalparam[s].label);
    EXPECT_EQ(a.signalparam[s].phys_max, b.signalparam[s].phys_max);
    std::vector<int> x(750), y(750);
    ASSERT_EQ(edfread_digital_samples(a.handle, s, 750, x.data()), 750);
    ASSERT_EQ(edfread_digital_samples(b.handle, s, 750, y.data()), 750);
    ASSERT_EQ(x, y) << "channel " << s + 1;
  }
  EXPECT_EQ(annotations(a), (std::vector<std::string>{"Recording start", "Recording stop"}));
  EXPECT_EQ(annotations(a), annotations(b));
  edfclose_file(a.handle);
  edfclose_file(b.handle);
  for (const auto& f : {ours, theirs, png}) std::remove(f.c_str());
}

TEST(Amxview, BadArgumentsNoDeviceAndNoDisplayExitWithAMessage)
{
  const std::string png = temp_path("x.png"), montage = temp_path("twice.txt"), bdf = temp_path("x.bdf");
  std::ofstream(montage) << "Fp1\nFp1\n";
  struct Case {
    std::vector<std::string> args, env;
    int code;
    const char* message;
  } cases[] = {
      {{"--view", "graph", "--screenshot", png, "--seconds", "1"}, {}, 2, "--view is traces, spectrum or impedance"},
      {{"--screenshot", png}, {}, 2, "--screenshot and --seconds go together"},
      {{"--screenshot", png, "--seconds", "2", "--view", "impedance"}, {}, 2, "needs --seconds 3"},
      {{"--screenshot", png, "--seconds", "-1"}, {}, 2, "bad --seconds"},
      {{"--rate", "300"}, {}, 2, "--rate is 125, 250, 500 or 1000"},
      {{"--bogus"}, {}, 2, "unknown option --bogus"},
      {{"extra"}, {}, 2, "unexpected argument"},
      {{"--screenshot", png, "--seconds", "1", "--device", "@3"}, {}, 1, "no device @3 (1 device(s) present)"},
      {{"--screenshot", png, "--seconds", "1"}, {"AMVEX_EMULATE="}, 1, "no device @0 (0 device(s) present)"},
      {{"--screenshot", png, "--seconds", "1"}, {"DISPLAY"}, 1, "no display"},
      {{"--size", "100x80"}, {}, 2, "--size is WIDTHxHEIGHT"},
      {{"--force"}, {}, 2, "--force goes with --record"},
      // As amxctl refuses it, before anything is recorded under other names.
      {{"--screenshot", png, "--seconds", "1", "--montage", montage, "--record", bdf},
       {},
       2,
       "twice.txt line 2: \"Fp1\" given twice"},
      // Found before streaming: a whole run would otherwise be for nothing.
      {{"--screenshot", "/nonexistent-dir/x.png", "--seconds", "60"}, {}, 1, "cannot write /nonexistent-dir/x.png"},
      {{"--screenshot", png, "--seconds", "60"}, {}, 1, "interrupted: no screenshot written"},
      // A stream comes with the publisher's rate and serves no impedances.
      {{"--connect", "lab", "--rate", "500"}, {}, 2, "--connect takes the publisher's device and rate"},
      {{"--screenshot", png, "--seconds", "3", "--view", "impedance", "--connect", "lab"},
       {},
       2,
       "a stream has no impedance view: the publisher does not serve impedances"},
#ifdef AMXVIEW_TEST_STREAMS
      {{"--connect", "@0"}, {}, 2, "\"@0\" names a local amplifier, not a stream"},
      {{"--connect", "lab", "--keys", "/nonexistent-dir"}, {}, 1, "cannot read the key file /nonexistent-dir/"},
#endif
  };
  for (const Case& c : cases) {
    const bool interrupt = std::string(c.message).find("interrupted") == 0;
    Result r = run(AMXVIEW_PATH, c.args, c.env, [&](pid_t pid) {
      if (!interrupt) return;
      usleep(2500 * 1000);
      kill(pid, SIGINT);
    });
    EXPECT_EQ(r.code, c.code) << c.message << "\n" << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    if (c.code == 2) {
      EXPECT_NE(r.err.find("usage: amxview"), std::string::npos);
    }
  }
  EXPECT_FALSE(std::ifstream(png).good()) << "no screenshot after a failure";
  EXPECT_FALSE(std::ifstream(bdf).good()) << "no recording after a refused montage";
  std::remove(montage.c_str());
}

// A file is never replaced without --force, and a recording whose device goes
// away is closed with its annotation, which the status bar then says.
// A montage names the recording's signals; event markers land in it as
// annotations where they were set; a bad montage file is refused line by line.
TEST(Amxview, MontageNamesAndMarkersGoIntoTheRecording)
{
  EXPECT_EQ(amxhost::default_montage(40)[17], "O1");
  EXPECT_EQ(amxhost::default_montage(16)[8], "O1");
  EXPECT_EQ(amxhost::default_montage(20).back(), "A2");
  EXPECT_EQ(amxhost::default_montage(32).back(), "Ch32");
  const std::string montage = temp_path("montage.txt"), bdf = temp_path("marked.bdf");
  std::string error;
  std::vector<std::string> names;
  for (const auto& [text, message] : std::vector<std::pair<std::string, std::string>>{
           {"Fp1\nFp1\n", "line 2: \"Fp1\" given twice"},
           {"Fp1\nAVeryLongElectrodeName\n", "line 2: \"AVeryLongElectrodeName\" longer than 16"},
           {"X\n", "beyond the device's channels"}}) {
    std::ofstream(montage) << text;
    EXPECT_FALSE(amxhost::read_montage(montage, text == "X\n" ? 0 : 2, names, error));
    EXPECT_NE(error.find(message), std::string::npos) << error;
  }
  std::ofstream(montage) << "# cap A\n  Cz \n\nPz\n";
  ASSERT_TRUE(amxhost::read_montage(montage, 40, names, error)) << error;
  EXPECT_EQ(names[0] + names[1] + names[2] + names[39], "CzPzCh3Ch40");

  // The acquirer as the window drives it: a recording with labels, a marker.
  std::vector<amxview::DeviceEntry> devices = amxview::scan_devices({});
  ASSERT_FALSE(devices.empty());
  const amxview::DeviceEntry& d = devices[0];
  ASSERT_EQ(AmxSetSampling(d.id, 500), AMX_OK);
  amxview::Acquirer a;
  ASSERT_TRUE(a.start_recording(bdf, d.info, d.ident, 500, names, false, error)) << error;
  ASSERT_TRUE(a.start(d.id, d.info.channelCount, 500, false, error)) << error;
  while (a.frames < 500) usleep(20000);
  EXPECT_TRUE(a.mark("Marker 3"));
  while (a.frames < 1200) usleep(20000);
  ASSERT_TRUE(a.stop_recording(error)) << error;
  a.stop();
  EXPECT_FALSE(a.mark("Marker 4")) << "no recording";
  edf_hdr_struct h{};
  ASSERT_EQ(edfopen_file_readonly(bdf.c_str(), &h, EDFLIB_READ_ALL_ANNOTATIONS), 0);
  EXPECT_STREQ(h.signalparam[0].label, "Cz              ");
  EXPECT_STREQ(h.signalparam[39].label, "Ch40            ");
  const std::vector<std::string> texts = annotations(h);
  ASSERT_EQ(texts.size(), 3u);
  EXPECT_EQ(texts[1], "Marker 3");
  edf_annotation_struct marker{};
  edf_get_annotation(h.handle, 1, &marker);
  EXPECT_NEAR(marker.onset / 1e7, 1.0, 0.3) << "set after about 500 frames at 500/s";
  edfclose_file(h.handle);
  for (const auto& f : {montage, bdf}) std::remove(f.c_str());
}

TEST(Amxview, RecordingsAreNeitherReplacedNorLeftOpen)
{
  const std::string kept = temp_path("kept.bdf"), cut = temp_path("cut.bdf"), png = temp_path("unplug.png");
  std::ofstream(kept) << "an earlier recording";
  Result r = run(AMXVIEW_PATH, {"--screenshot", png, "--seconds", "1", "--record", kept});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find(kept + " exists: not replaced (--force replaces it)"), std::string::npos) << r.err;
  EXPECT_EQ(slurp(kept), "an earlier recording");

  r = run(AMXVIEW_PATH, {"--screenshot", png, "--seconds", "5", "--record", cut}, {"AMVEX_EMULATE=kind=7,unplug=1.5"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err.find("amxctl:"), std::string::npos) << "amxview's messages are its own: " << r.err;
  EXPECT_NE(r.err.find("the device was removed: no screenshot written"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("recording " + cut + " closed ("), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("REC "), std::string::npos) << r.out;
  EXPECT_FALSE(std::ifstream(png).good());
  edf_hdr_struct h{};
  ASSERT_EQ(edfopen_file_readonly(cut.c_str(), &h, EDFLIB_READ_ALL_ANNOTATIONS), 0);
  EXPECT_EQ(annotations(h), (std::vector<std::string>{"Recording start", "Device removed"}));
  edfclose_file(h.handle);
  for (const auto& f : {kept, cut}) std::remove(f.c_str());
}

// A power suspend ends the stream: the device is reopened and restarted by
// itself, the recording goes on in a new file beside the first, each naming
// the other; the page goes on with the gap marked, the counters go on, and the
// summary counts the frames missing across the gap and names both files.
TEST(Amxview, ASuspendedDeviceIsReopenedAndTheRecordingContinues)
{
  const std::string folder = temp_path("resume"), png = folder + "/resumed.png";
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  Result r =
      run(AMXVIEW_PATH, {"--screenshot", png, "--seconds", "3", "--rate", "500", "--record", folder + "/first.bdf"},
          {"AMVEX_EMULATE=kind=7,rev=64,suspend=1"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("| REC " + folder + "/amxview-"), std::string::npos) << r.out;
  std::vector<std::string> files;
  for (const auto& e : std::filesystem::directory_iterator(folder)) files.push_back(e.path().filename());
  std::sort(files.begin(), files.end());
  ASSERT_EQ(files.size(), 3u);
  const std::string next = files[0];
  EXPECT_EQ(next.substr(0, 8) + next.substr(next.size() - 4), "amxview-.bdf");
  EXPECT_EQ(files[1] + files[2], "first.bdfresumed.png");

  unsigned missing = 0;
  const size_t summary = r.out.find("frames missing, recorded ");
  ASSERT_NE(summary, std::string::npos) << r.out;
  EXPECT_NE(r.out.find("recorded " + folder + "/first.bdf and " + folder + "/" + next + "\n"), std::string::npos)
      << r.out;
  ASSERT_EQ(std::sscanf(r.out.c_str() + r.out.rfind(" packets lost, ", summary), " packets lost, %u", &missing), 1);
  EXPECT_GT(missing, 100u) << "the stream was away for more than 0.2 s";
  double per_second = -1;
  ASSERT_EQ(std::sscanf(r.out.c_str() + r.out.find("status bar: "), "status bar: %lf frames/s", &per_second), 1);
  EXPECT_GE(per_second, 0);

  edf_hdr_struct a{}, b{};
  ASSERT_EQ(edfopen_file_readonly((folder + "/first.bdf").c_str(), &a, EDFLIB_READ_ALL_ANNOTATIONS), 0);
  ASSERT_EQ(edfopen_file_readonly((folder + "/" + next).c_str(), &b, EDFLIB_READ_ALL_ANNOTATIONS), 0);
  const std::vector<std::string> cut = annotations(a), continued = annotations(b);
  ASSERT_FALSE(cut.empty());
  ASSERT_FALSE(continued.empty());
  EXPECT_EQ(cut.back(), "Next: " + next);
  EXPECT_EQ(continued.front(), "Follows first.bdf");
  edfclose_file(a.handle);
  edfclose_file(b.handle);

  // The gap: a full-height line on the page, which still holds the frames
  // from before the suspend.
  const Image img = read_png(png);
  ASSERT_GT(img.w, 0);
  const Box plot = plot_box(img);
  int lines = 0;
  for (int col = plot.x0; col <= plot.x1; ++col)
    lines += img.at(col, plot.y0) == amxview::kLostMarker && img.at(col, plot.y1) == amxview::kLostMarker;
  EXPECT_GT(lines, 0) << "no gap marked";
  std::filesystem::remove_all(folder);
}

// Trigger boxes tap keys: a press and release within one frame. Every tap of
// 0-9 reaches the recording, through the window system's key events.
TEST(Amxview, EveryKeyTapBecomesAMarkerInTheRecording)
{
  if (std::system("command -v xdotool >/dev/null") != 0) GTEST_SKIP() << "xdotool missing";
  const std::string bdf = temp_path("taps.bdf"), png = temp_path("taps.png");
  Result r =
      run(AMXVIEW_PATH, {"--screenshot", png, "--seconds", "6", "--rate", "500", "--record", bdf}, {}, [&](pid_t) {
        // The window focused (tried until it is mapped), then its recording
        // (made once the device is open).
        bool focused = false;
        for (int i = 0; i < 150 && !focused; ++i) {
          focused = std::system("timeout 5 xdotool search --name '^amxview$' windowfocus --sync >/dev/null 2>&1") == 0;
          if (!focused) usleep(200 * 1000);
        }
        ASSERT_TRUE(focused);
        for (int i = 0; i < 300 && !std::ifstream(bdf).good(); ++i) usleep(100 * 1000);
        ASSERT_EQ(std::system("xdotool key --delay 0 1 2 3 4 5 6 7 8 9 0"), 0);
      });
  ASSERT_EQ(r.code, 0) << r.err;
  edf_hdr_struct h{};
  ASSERT_EQ(edfopen_file_readonly(bdf.c_str(), &h, EDFLIB_READ_ALL_ANNOTATIONS), 0);
  std::vector<std::string> marks;
  for (const std::string& t : annotations(h))
    if (t.rfind("Marker ", 0) == 0) marks.push_back(t.substr(7));
  EXPECT_EQ(marks, (std::vector<std::string>{"1", "2", "3", "4", "5", "6", "7", "8", "9", "0"}));
  edfclose_file(h.handle);
  for (const auto& f : {bdf, png}) std::remove(f.c_str());
}

}  // namespace

namespace {

TEST(AmxviewSettings, LiveInTheUsersConfigFolderWhichIsCreated)
{
  const std::string home = temp_path("config");
  setenv("XDG_CONFIG_HOME", home.c_str(), 1);
  const std::string path = amxview::settings_path();
  EXPECT_EQ(path, home + "/amxview/settings.ini");
  std::string error;
  const std::map<std::string, std::string> values{{"band_lo", "0.5"}, {"view", "1"}, {"width", "1600"}};
  ASSERT_TRUE(amxview::write_settings(path, values, error)) << error;
  ASSERT_TRUE(amxview::write_settings(path, values, error)) << error;  // replaced whole, not appended
  EXPECT_EQ(amxview::read_settings(path), values);
  unsetenv("XDG_CONFIG_HOME");
  setenv("HOME", "/home/someone", 1);
  EXPECT_EQ(amxview::settings_path(), "/home/someone/.config/amxview/settings.ini");
  std::remove(path.c_str());
}

}  // namespace

namespace {

// A 10 Hz sine of 100 counts on an offset of 10000 through the view's filters
// at 500/s: a stage rebuilt from rest (baseline, band-pass) would let the
// offset through for a while.
TEST(AmxviewFilters, AChangeKeepsTheOtherStagesAndARefusedDesignKeepsThePrevious)
{
  const int rate = 500;
  amxview::FilterSettings want;
  want.baseline = want.band_pass = true;
  amxview::ViewFilters f;
  std::string error;
  ASSERT_TRUE(f.update(want, rate, 1, error)) << error;
  int next = 0;
  auto largest = [&](int n) {  // of the next n filtered samples
    std::vector<int32_t> frames;
    for (int i = 0; i < n; ++i, ++next)
      frames.insert(frames.end(),
                    {static_cast<int32_t>(10000 + 100 * std::sin(2 * M_PI * 10 * next / rate)), next + 1});
    f.apply(frames.data(), n, 1);
    int32_t m = 0;
    for (int i = 0; i < n; ++i) m = std::max(m, std::abs(frames[2 * i]));
    return m;
  };
  largest(2000);  // settled
  EXPECT_LT(largest(250), 130);
  want.notch = true;
  ASSERT_TRUE(f.update(want, rate, 1, error)) << error;
  EXPECT_LT(largest(250), 130) << "baseline and band-pass kept their state";
  EXPECT_EQ(f.chain(), "baseline:0.5 > notch:50 > bp:4:1:40");
  want.band_hi = 300;  // beyond the Nyquist frequency
  EXPECT_FALSE(f.update(want, rate, 1, error));
  EXPECT_NE(error.find("band-pass refused ("), std::string::npos) << error;
  EXPECT_EQ(want.band_hi, 40);
  EXPECT_EQ(f.chain(), "baseline:0.5 > notch:50 > bp:4:1:40");
  EXPECT_LT(largest(250), 130);
}

}  // namespace
