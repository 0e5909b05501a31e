// amxctl end to end: the built program against the emulated amplifiers of
// AMVEX_EMULATE ("kind=7,rev=64;kind=2": @0 has 40 channels, @1 20), checked
// through its output, exit codes and the BDF+ files it writes (read with edflib).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "amxctl.h"
#include "amxhost.h"
#ifdef AMXHOST_HAVE_EDF
#include "bdf_start.h"
#endif

namespace {

struct Result {
  int code = -1;
  std::string out, err;
};

std::string slurp(const std::string& path)
{
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

std::string temp_path(const std::string& name)
{
  return ::testing::TempDir() + "amxctl_" + std::to_string(getpid()) + "_" + name;
}

// Runs amxctl with args (shell words), after env (VAR=value words) if given,
// and collects both outputs.
Result amxctl(const std::string& args, const std::string& env = "")
{
  std::string out = temp_path("out"), err = temp_path("err");
  int status = std::system((env + " " + AMXCTL_PATH + " " + args + " >" + out + " 2>" + err).c_str());
  Result r;
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = slurp(out);
  r.err = slurp(err);
  return r;
}

// The subcommands in this process: the emulated EEPROM keeps what they wrote,
// and the library's start (about a second per program run) is paid once.
int run_here(std::vector<std::string> args)
{
  args.insert(args.begin(), "amxctl");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  return amxctl::run(static_cast<int>(argv.size()), argv.data());
}

std::vector<std::vector<long long>> parse_csv(const std::string& text, std::string& header)
{
  std::vector<std::vector<long long>> rows;
  std::istringstream in(text);
  std::getline(in, header);
  for (std::string line; std::getline(in, line);) {
    std::vector<long long> row;
    std::istringstream fields(line);
    for (std::string f; std::getline(fields, f, ',');) row.push_back(std::stoll(f, nullptr, row.size() == 1 ? 16 : 10));
    rows.push_back(row);
  }
  return rows;
}

TEST(Amxctl, ListShowsTheEmulatedDevices)
{
  Result r = amxctl("list");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("2 device(s)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("   7   64       40  record 4711/40 of 2020-06-01, applied"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("   2    1       20  record 4711/20 of 2020-06-01, applied"), std::string::npos) << r.out;
  Result info = amxctl("info @1");
  ASSERT_EQ(info.code, 0) << info.err;
  EXPECT_NE(info.out.find("kind 2, revision 1, 20 channels"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("impedance reference: channel 20"), std::string::npos) << info.out;
}

TEST(Amxctl, StreamGivesConsecutiveFramesAtTheSetRate)
{
  double t0 = amxhost::now_seconds();
  Result r = amxctl("stream @1 --rate 250 --seconds 2 --format csv");
  double took = amxhost::now_seconds() - t0;
  ASSERT_EQ(r.code, 0) << r.err;
  std::string header;
  auto rows = parse_csv(r.out, header);
  ASSERT_EQ(rows.size(), 500u);
  EXPECT_EQ(header.substr(0, 24), "sample,status,ch1,ch2,ch");
  for (size_t i = 0; i < rows.size(); ++i) {
    ASSERT_EQ(rows[i].size(), 22u);
    ASSERT_EQ(rows[i][0], static_cast<long long>(i + 1));
    EXPECT_EQ(rows[i][1], (i + 1) % 250 == 0 ? 1 : 0) << "status bit 28 marks each second";
  }
  EXPECT_GT(took, 1.5) << "500 frames at 250/s take two seconds";
  EXPECT_LT(took, 6.0);
  EXPECT_NE(r.err.find("500 frames (2.0 s), 0 packet(s) lost, 0 frame(s) missing"), std::string::npos) << r.err;

  // A baseline filter removes each channel's offset (1000 x (c + 1) counts
  // plus calibration): late samples average near zero.
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(run_here({"stream", "@1", "--rate", "250", "--seconds", "1", "--format", "csv", "--quiet", "--filter",
                      "baseline:2"}),
            0);
  auto filtered = parse_csv(::testing::internal::GetCapturedStdout(), header);
  ASSERT_EQ(filtered.size(), 250u);
  double mean = 0;
  for (size_t i = 125; i < 250; ++i) mean += filtered[i][21];
  EXPECT_LT(std::abs(mean / 125), 0.05 * std::abs(static_cast<double>(rows[125][21])));
}

TEST(Amxctl, StreamTimeColumnIsTheFramesHostTime)
{
  Result r = amxctl("stream @0 --rate 1000 --seconds 2 --time --format csv --quiet");
  double end = amxhost::now_seconds();
  ASSERT_EQ(r.code, 0) << r.err;
  std::istringstream in(r.out);
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line.substr(0, 22), "sample,status,time,ch1");
  std::vector<double> times;
  while (std::getline(in, line)) times.push_back(std::stod(line.substr(line.find(',', line.find(',') + 1) + 1)));
  ASSERT_EQ(times.size(), 2000u);
  // The newest frames left the device just before the tool ended (same
  // monotonic clock), one millisecond apart.
  EXPECT_LT(times.back(), end);
  EXPECT_GT(times.back(), end - 0.5);
  EXPECT_NEAR(times[1999] - times[1900], 0.099, 0.002);
  // Times handed out never go back, also while the fit learns after the start.
  for (size_t i = 1; i < times.size(); ++i) ASSERT_GE(times[i], times[i - 1]) << "frame " << i;
}

#ifdef AMXHOST_HAVE_EDF
TEST(Amxctl, RecordWritesBdfPlusBitExactWithLabelsAndAnnotations)
{
  std::string file = temp_path("rec.bdf");
  std::ofstream(file) << "an older file";  // replaced with --force
  auto wall = [] { return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count(); };
  const double before = wall();
  Result r = amxctl("record @1 " + file + " --rate 500 --seconds 1.25 --force");
  const double after = wall();
  ASSERT_EQ(r.code, 0) << r.err;
  // The emulator's samples are deterministic: a stream of the same length holds
  // the same counts.
  Result s = amxctl("stream @1 --rate 500 --seconds 1.25 --format csv --quiet");
  ASSERT_EQ(s.code, 0) << s.err;
  std::string header;
  auto rows = parse_csv(s.out, header);
  ASSERT_EQ(rows.size(), 625u);

  edf_hdr_struct hdr{};
  ASSERT_EQ(edfopen_file_readonly(file.c_str(), &hdr, EDFLIB_READ_ALL_ANNOTATIONS), 0) << hdr.filetype;
  EXPECT_EQ(hdr.filetype, EDFLIB_FILETYPE_BDFPLUS);
  // The start time is the first frame's (local time, its fraction in the
  // first record's time annotation): within the run, at least 1.25 s before
  // its end.
  const double started = bdf_start_seconds(hdr);
  EXPECT_GE(started, before);
  EXPECT_LE(started, after - 1.25);
  ASSERT_EQ(hdr.edfsignals, 20);
  EXPECT_EQ(hdr.datarecords_in_file, 2);  // the last one completed with missing-frame values
  for (int c = 0; c < 20; ++c) {
    std::string label = hdr.signalparam[c].label;
    EXPECT_EQ(label.substr(0, label.find(' ')), "Ch" + std::to_string(c + 1));
    EXPECT_EQ(std::string(hdr.signalparam[c].physdimension).substr(0, 2), "uV");
    std::vector<int> samples(1000);
    ASSERT_EQ(edfread_digital_samples(hdr.handle, c, 1000, samples.data()), 1000);
    for (int i = 0; i < 625; ++i) ASSERT_EQ(samples[i], rows[i][c + 2]) << "channel " << c << " sample " << i;
    EXPECT_EQ(samples[625], hdr.signalparam[c].dig_min) << "missing frames";
    EXPECT_EQ(samples[999], hdr.signalparam[c].dig_min);
  }
  ASSERT_EQ(hdr.annotations_in_file, 2);
  edf_annotation_struct a{};
  ASSERT_EQ(edf_get_annotation(hdr.handle, 0, &a), 0);
  EXPECT_EQ(a.onset, 0);
  EXPECT_STREQ(a.annotation, "Recording start");
  ASSERT_EQ(edf_get_annotation(hdr.handle, 1, &a), 0);
  EXPECT_EQ(a.onset, 12500000);  // 1.25 s in units of 100 ns
  EXPECT_STREQ(a.annotation, "Recording stop");
  edfclose_file(hdr.handle);
  std::remove(file.c_str());
}

// The names in a folder (without "." and "..").
std::vector<std::string> listing(const std::string& folder)
{
  std::vector<std::string> names;
  if (DIR* d = opendir(folder.c_str())) {
    while (dirent* e = readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A recording takes its name only with its first data record: a start that
// fails leaves an earlier file as it was and no new file behind. Symbolic
// links are never followed, and a pipe is refused before anything starts.
TEST(Amxctl, AFailedStartCostsNoFileAndOddPathsAreRefused)
{
  const std::string folder = temp_path("paths");
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  const std::string kept = folder + "/kept.bdf", fresh = folder + "/fresh.bdf";
  std::ofstream(kept) << "an earlier recording";
  const std::string silent = "AMVEX_EMULATE=kind=7,noreply=2";
  Result r = amxctl("record @0 " + kept + " --seconds 1 --force", silent);
  EXPECT_EQ(r.code, 1) << r.err;
  EXPECT_NE(r.err.find("AMX_START_FAILED"), std::string::npos) << r.err;
  EXPECT_EQ(slurp(kept), "an earlier recording");
  r = amxctl("record @0 " + fresh + " --seconds 1", silent);
  EXPECT_EQ(r.code, 1) << r.err;
  EXPECT_NE(r.err.find("nothing recorded: " + fresh + " not written"), std::string::npos) << r.err;
  EXPECT_EQ(listing(folder), std::vector<std::string>{"kept.bdf"});

  const std::string link = folder + "/link.bdf", pipe = folder + "/pipe.bdf";
  ASSERT_EQ(symlink((folder + "/target.bdf").c_str(), link.c_str()), 0);  // dangling
  ASSERT_EQ(mkfifo(pipe.c_str(), 0644), 0);
  r = amxctl("record @1 " + link + " --seconds 1");
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find(link + " exists: give --force"), std::string::npos) << r.err;
  for (const char* force : {"", " --force"}) {
    r = amxctl("record @1 " + pipe + " --seconds 1" + force, "timeout 60");  // (opening the pipe would block)
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find(pipe + " is not a regular file"), std::string::npos) << r.err;
  }
  // With --force the link itself is replaced, and what it pointed to never made.
  r = amxctl("record @1 " + link + " --rate 125 --seconds 1 --force --quiet");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(listing(folder), (std::vector<std::string>{"kept.bdf", "link.bdf", "pipe.bdf"}));
  struct stat st {};
  EXPECT_TRUE(lstat(link.c_str(), &st) == 0 && S_ISREG(st.st_mode));
  for (const std::string& f : {kept, link, pipe}) std::remove(f.c_str());
  rmdir(folder.c_str());
}

TEST(Amxctl, RecordLabelsChannelsFromAMontageFile)
{
  const std::string montage = temp_path("montage.txt"), file = temp_path("montage.bdf");
  std::ofstream(montage) << "# front\nFp1\n  Fp2  \n";
  std::remove(file.c_str());
  Result r = amxctl("record @1 " + file + " --seconds 0.2 --quiet --montage " + montage);
  ASSERT_EQ(r.code, 0) << r.err;
  edf_hdr_struct hdr{};
  ASSERT_EQ(edfopen_file_readonly(file.c_str(), &hdr, EDFLIB_DO_NOT_READ_ANNOTATIONS), 0);
  const char* expected[] = {"Fp1", "Fp2", "Ch3"};  // the rest keep their numbers
  for (int c = 0; c < 3; ++c) {
    std::string label = hdr.signalparam[c].label;
    EXPECT_EQ(label.substr(0, label.find(' ')), expected[c]);
  }
  edfclose_file(hdr.handle);
  std::remove(file.c_str());
  std::remove(montage.c_str());
}

TEST(Amxctl, RecordReportsFilesItCannotWrite)
{
  Result r = amxctl("record @1 /nonexistent-dir/x.bdf --seconds 1");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("cannot record to /nonexistent-dir/x.bdf"), std::string::npos) << r.err;
  Result full = amxctl("record @1 /dev/full --rate 125 --seconds 3 --quiet");
  EXPECT_EQ(full.code, 1);
  EXPECT_NE(full.err.find("writing /dev/full failed (No space left on device)"), std::string::npos) << full.err;
}
#endif

TEST(Amxctl, ImpedanceShowsTheElectrodes)
{
  Result r = amxctl("impedance @1 --seconds 2 --good 10 --bad 50");
  ASSERT_EQ(r.code, 0) << r.err;
  // The last table: electrodes by channel mod 8 (5, 20, 100, 1, 200, 10, 50, 2 kOhm).
  std::string last = r.out.substr(r.out.rfind("impedance after"));
  for (const char* line : {"ch1          5.0  good", "ch2         20.0  fair", "ch3        100.0  BAD",
                           "ch4          1.0  good", "ch8          2.0  good", "ch20              REF"})
    EXPECT_NE(last.find(line), std::string::npos) << line << "\n" << last;
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(run_here({"impedance", "@1", "--seconds", "1", "--ref", "1"}), 0);
  std::string ref = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(ref.find("ch1               REF"), std::string::npos) << ref;
  EXPECT_NE(ref.find("ch20 "), std::string::npos) << ref;
}

TEST(Amxctl, FiltersHoldInvalidSamplesAndKeepThemMarked)
{
  // One channel at 250 samples/s with invalid samples for its first 20 frames
  // and 10 in the middle, filtered in two blocks. The reference is the stream
  // from its first valid sample on (the filters start at rest) with the middle
  // ones replaced by the last valid value: no step, whatever the block cut.
  const int32_t kInvalid = 0x7FFFFFFF;
  const int n = 250;
  std::vector<int32_t> frames(2 * n), reference;
  for (int i = 0; i < n; ++i) {
    frames[2 * i] = 1000 + static_cast<int32_t>(5000 * std::sin(i * 0.08));
    frames[2 * i + 1] = i + 1;
  }
  for (int i = 20; i < n; ++i) {
    reference.push_back(i >= 120 && i < 130 ? frames[2 * 119] : frames[2 * i]);
    reference.push_back(i + 1);
  }
  for (int i = 0; i < n; ++i)
    if (i < 20 || (i >= 120 && i < 130)) frames[2 * i] = kInvalid;
  amxhost::ChannelFilters filters, unbroken;
  std::string error;
  ASSERT_TRUE(filters.build({"hp:2:1", "notch:50", "window:10"}, 250, 1, error)) << error;
  ASSERT_TRUE(unbroken.build({"hp:2:1", "notch:50", "window:10"}, 250, 1, error)) << error;
  filters.apply(frames.data(), 100, 1);
  filters.apply(frames.data() + 200, n - 100, 1);
  unbroken.apply(reference.data(), n - 20, 1);
  for (int i = 0; i < n; ++i) {
    if (i < 20 || (i >= 120 && i < 130))
      ASSERT_EQ(frames[2 * i], kInvalid) << i;
    else
      ASSERT_EQ(frames[2 * i], reference[2 * (i - 20)]) << i;
  }
}

TEST(Amxctl, ImpedanceClassIsThatOfTheValueShown)
{
  // 10049 Ohm prints as 10.0 kOhm: good at a limit of 10; 10050 prints as 10.1.
  EXPECT_EQ(amxhost::classify(0, 19, 10049, 10, 50), amxhost::Electrode::Good);
  EXPECT_EQ(amxhost::classify(0, 19, 10050, 10, 50), amxhost::Electrode::Fair);
  EXPECT_EQ(amxhost::classify(0, 19, 50049, 10, 50), amxhost::Electrode::Fair);
  EXPECT_EQ(amxhost::classify(0, 19, 10100, 10.1, 50), amxhost::Electrode::Good);
  // Kinds 7 and 8 report 1000 Ohm less: -1001 is an invalid window there, -1000 none yet.
  EXPECT_EQ(amxhost::classify(0, 19, -1001, 10, 50), amxhost::Electrode::Invalid);
  EXPECT_EQ(amxhost::classify(0, 19, -1000, 10, 50), amxhost::Electrode::Waiting);
  char shown[16];
  std::snprintf(shown, sizeof shown, "%.1f", amxhost::shown_kohm(10250));
  EXPECT_STREQ(shown, "10.3");
}

TEST(Amxctl, LcdSendsTheText)
{
  Result r = amxctl("lcd @0 'Hello'");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "display: Hello\n");
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(run_here({"lcd", "@0", "Привет, world 123456"}), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "display: Привет, world 12\n");
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("text cut to"), std::string::npos);
}

TEST(Amxctl, EepromUserAreaRoundTripAndSystemAreaGuard)
{
  std::string in = temp_path("user.bin"), out = temp_path("user_out.bin"), sys = temp_path("sys.bin");
  std::string data;
  for (int i = 0; i < 200; ++i) data += static_cast<char>(i * 7 + 3);
  std::ofstream(in, std::ios::binary) << data;
  ASSERT_EQ(run_here({"eeprom", "@0", "write", "user", in}), 0);
  ASSERT_EQ(run_here({"eeprom", "@0", "read", "user", out}), 0);
  std::string back = slurp(out);
  ASSERT_EQ(back.size(), 256u);
  EXPECT_EQ(back.substr(0, 200), data);
  EXPECT_EQ(back.substr(200), std::string(56, '\xFF')) << "the rest stays blank";

  std::ofstream(in, std::ios::binary) << std::string(257, 'x');
  EXPECT_EQ(run_here({"eeprom", "@0", "write", "user", in}), 1) << "larger than the area";
  // The system area: refused without --force, and the record stays intact.
  ASSERT_EQ(run_here({"eeprom", "@0", "read", "system", sys}), 0);
  std::ofstream(in, std::ios::binary) << std::string(256, '\0');
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(run_here({"eeprom", "@0", "write", "system", in}), 1);
  // Both records summed up; the CRC of 252 zero bytes is zlib's crc32 of them.
  const std::string device =
      "  name \"Emulated amp    \", numbers 4711/40, 40 channels, 6.274e-08 V per count, months 2020-06 and 2020-06\n"
      "  CRC stored 0x9E911AE4, computed 0x9E911AE4: valid\n";
  const std::string zeros =
      "  name \"................\", numbers 0/0, 0 channels, 0 V per count, months 2000-01 and 2000-01\n"
      "  CRC stored 0x00000000, computed 0xA66359F1: INVALID (the library ignores this record)\n";
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "calibration record now on the device:\n" + device + "record in " + in + ":\n" + zeros);
  ASSERT_EQ(run_here({"eeprom", "@0", "read", "system", out}), 0);
  EXPECT_EQ(slurp(out), slurp(sys));
  for (const auto& f : {in, out, sys}) std::remove(f.c_str());
}

TEST(Amxctl, BadArgumentsAndFailuresExitNonZeroWithAMessage)
{
  struct Case {
    const char* args;
    int code;
    const char* message;
  } cases[] = {
      {"", 2, "amxctl list"},
      {"frobnicate", 2, "unknown command \"frobnicate\""},
      {"stream", 2, "missing arguments"},
      {"stream @0 --bogus", 2, "unknown option --bogus"},
      {"stream @0 --rate", 2, "--rate needs a value"},
      {"stream @0 --format xml", 2, "--format is text or csv"},
      {"stream @0 --rate 333", 1, "AMX_BAD_SAMPLING"},
      {"stream @7", 1, "no device @7 (2 device(s) present"},
      {"info 12345", 1, "opening device 12345: AMX_NO_DEVICE"},
      {"info abc", 2, "bad device \"abc\""},
      {"stream @0 --filter bp:4:40:40", 2, "equal corners"},
      {"stream @0 --filter lp:4", 2, "expected lp:ORDER:F"},
      {"stream @0 --filter notch:0", 2, "not a positive number"},
      {"stream @0 --filter comb:3", 2, "unknown filter comb:3"},
      {"eeprom @0 read flash", 2, "expected `read system|user"},
      {"eeprom @0 write user /nonexistent-file", 1, "cannot read /nonexistent-file"},
      {"impedance @0 --good 60 --bad 50", 2, "--good and --bad"},
      {"list extra", 2, "too many arguments"},
      {"stream @0 --seconds -1", 2, "bad --seconds \"-1\""},
      {"impedance @0 --ref 41", 2, "--ref is a channel from 1 to 40"},
  };
  // A recording is never replaced without --force.
  const std::string existing = temp_path("existing.bdf");
  std::ofstream(existing) << "keep";
  // In this process: starting the library costs about a second per program run.
  for (const Case& c : cases) {
    std::vector<std::string> args;
    std::istringstream words(c.args);
    for (std::string w; words >> w;) args.push_back(w);
    ::testing::internal::CaptureStderr();
    int code = run_here(args);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(code, c.code) << c.args << "\n" << err;
    EXPECT_NE(err.find(c.message), std::string::npos) << c.args << "\n" << err;
    // Every bad argument shows the usage: the subcommand's or the whole tool's.
    if (c.code == 2) {
      EXPECT_TRUE(err.find("\n\nusage: amxctl ") != std::string::npos ||
                  err.find("\namxctl list\n") != std::string::npos)
          << c.args << "\n"
          << err;
    }
  }
#ifdef AMXHOST_HAVE_EDF
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(run_here({"record", "@1", existing, "--seconds", "1"}), 2);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find(existing + " exists: give --force to replace it\n\nusage: amxctl record"), std::string::npos)
      << err;
  EXPECT_EQ(slurp(existing), "keep");
#endif
  std::remove(existing.c_str());
  for (const char* command : {"list", "info", "stream", "record", "impedance", "lcd", "eeprom"}) {
    ::testing::internal::CaptureStdout();
    int code = run_here({command, "--help"});
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(code, 0) << command;
    EXPECT_EQ(out.rfind(std::string("usage: amxctl ") + command, 0), 0u) << out;
  }
}

TEST(Amxctl, CtrlCStopsCleanly)
{
  std::string out = temp_path("sigint_out"), err = temp_path("sigint_err");
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (!std::freopen(out.c_str(), "w", stdout) || !std::freopen(err.c_str(), "w", stderr)) _exit(99);
    execl(AMXCTL_PATH, "amxctl", "stream", "@0", "--rate", "500", static_cast<char*>(nullptr));
    _exit(98);
  }
  for (int i = 0; i < 200 && slurp(out).size() < 1000; ++i) usleep(50 * 1000);  // streaming
  kill(pid, SIGINT);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "killed by the signal instead of stopping";
  EXPECT_EQ(WEXITSTATUS(status), 0) << slurp(err);
  std::string text = slurp(out);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n') << "the last frame is complete";
  EXPECT_NE(slurp(err).find("0 packet(s) lost"), std::string::npos) << slurp(err);
}

}  // namespace
