// amxctl against the emulator's internal control surface: the tool's sources
// and the library's objects in one program, so that the test can drop packets
// and look at the emulated display (AMVEX_EMULATE is not set here).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "amxctl.h"
#include "bdf_start.h"
#include "calib/ULcdText.h"
#include "emulator/emulator.h"
#include <edflib.h>
#include <unistd.h>

namespace {

int run_here(std::vector<std::string> args)
{
  args.insert(args.begin(), "amxctl");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  return amxctl::run(static_cast<int>(argv.size()), argv.data());
}

struct Faults : ::testing::Test {
  amx::TEmulator& emu = amx::DefaultEmulator();
  std::string path;
  void SetUp() override
  {
    path = emu.Plug(6, 1);  // 16 channels
    ASSERT_EQ(GetAmxCount(), 1);
  }
  void TearDown() override { emu.Unplug(path); }
};

double wall_seconds()
{
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

TEST_F(Faults, LostPacketsAreAnnotatedAndCounted)
{
  amx::TEmuFaults f;
  f.DropEvery = 40;
  f.LossAtMs = {1000};  // sample 500: the first data record ends in a gap
  emu.SetFaults(path, f);
  std::string file = ::testing::TempDir() + "amxctl_gaps_" + std::to_string(getpid()) + ".bdf";
  ::testing::internal::CaptureStderr();
  const double before = wall_seconds();
  ASSERT_EQ(run_here({"record", "@0", file, "--rate", "500", "--seconds", "2", "--quiet"}), 0);
  const double after = wall_seconds();
  std::string summary = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(summary.find("1000 frames (2.0 s) at 500 samples/s"), std::string::npos) << summary;

  edf_hdr_struct hdr{};
  ASSERT_EQ(edfopen_file_readonly(file.c_str(), &hdr, EDFLIB_READ_ALL_ANNOTATIONS), 0);
  ASSERT_EQ(hdr.edfsignals, 16);
  ASSERT_EQ(hdr.datarecords_in_file, 2);
  // The start time is the first frame's, with its fraction, though a gap
  // completed the first data record.
  const double started = bdf_start_seconds(hdr);
  EXPECT_GE(started, before);
  EXPECT_LE(started, after - 2);
  std::vector<int> samples(1000);
  ASSERT_EQ(edfread_digital_samples(hdr.handle, 0, 1000, samples.data()), 1000);
  auto missing_in = [&](long long from, long long to) {
    return std::count(samples.begin() + from, samples.begin() + to, hdr.signalparam[0].dig_min);
  };
  ASSERT_EQ(missing_in(499, 500), 1);
  // Lost packets leave gaps in the sample numbers: each annotation sits at the
  // first missing frame of its data record and names the missing frames from
  // there to the record's end, as many as packets lost.
  int reported = 0;
  long long annotated = 0;
  for (long long i = 0; i < hdr.annotations_in_file; ++i) {
    edf_annotation_struct a{};
    ASSERT_EQ(edf_get_annotation(hdr.handle, static_cast<int>(i), &a), 0);
    std::string text = a.annotation;
    const std::string prefix = "Lost ";
    if (text.rfind(prefix, 0) != 0) continue;
    const int packets = std::stoi(text.substr(prefix.size()));
    EXPECT_NE(text.find(" packets, " + std::to_string(packets) + " frames missing"), std::string::npos) << text;
    reported += packets;
    ASSERT_EQ(a.onset % 20000, 0) << "a whole frame at 500/s";
    const long long at = a.onset / 20000, record = at / 500 * 500;
    EXPECT_EQ(missing_in(record, at), 0) << text << " at frame " << at;
    EXPECT_EQ(missing_in(at, at + 1), 1) << text << " at frame " << at;
    EXPECT_EQ(missing_in(at, record + 500), packets) << text << " at frame " << at;
    annotated += packets;
  }
  EXPECT_EQ(annotated, missing_in(0, 1000));
  // 2 s at 500 samples/s with every 40th packet dropped: all of them annotated.
  EXPECT_GT(reported, 5);
  int32_t lost = 0;
  ASSERT_EQ(AmxDebugState(GetAmxID(0), &lost), AMX_OK);
  EXPECT_EQ(reported, lost - 1) << "every lost packet but the synchronising first one";
  edfclose_file(hdr.handle);
  std::remove(file.c_str());
}

TEST_F(Faults, UnidentifiedDeviceIsMarkedAndWarnedAbout)
{
  amx::TEmuDeviceConfig config;
  config.Kind = 2;
  config.Faults.NoReply = 13;  // the identification query
  const std::string silent = emu.Plug(config);
  ASSERT_EQ(GetAmxCount(), 2);
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(run_here({"list"}), 0);
  const std::string list = ::testing::internal::GetCapturedStdout();
  const size_t mark = list.find("  NOT IDENTIFIED");
  ASSERT_NE(mark, std::string::npos) << list;
  EXPECT_EQ(list.find("NOT IDENTIFIED", mark + 3), std::string::npos) << list;
  EXPECT_NE(list.rfind("   0    0       40  none", mark), std::string::npos) << list;

  const size_t line = list.rfind('\n', mark) + 1;
  const std::string id = list.substr(line, list.find(' ', line) - line);
  std::string file = ::testing::TempDir() + "amxctl_unidentified_" + std::to_string(getpid()) + ".bdf";
  ::testing::internal::CaptureStderr();
  ASSERT_EQ(run_here({"record", id, file, "--seconds", "0.2", "--quiet"}), 0);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind(std::string("amxctl: warning: ") + amxhost::kUnidentifiedWarning + "\n", 0), 0u) << err;
  edf_hdr_struct hdr{};
  ASSERT_EQ(edfopen_file_readonly(file.c_str(), &hdr, EDFLIB_READ_ALL_ANNOTATIONS), 0);
  ASSERT_GE(hdr.annotations_in_file, 2);
  edf_annotation_struct a{};
  ASSERT_EQ(edf_get_annotation(hdr.handle, 0, &a), 0);
  EXPECT_STREQ(a.annotation, amxhost::kUnidentifiedNote);
  ASSERT_EQ(edf_get_annotation(hdr.handle, 1, &a), 0);
  EXPECT_STREQ(a.annotation, "Recording start");
  edfclose_file(hdr.handle);
  std::remove(file.c_str());
  emu.Unplug(silent);
}

TEST_F(Faults, DisplayReceivesTheText)
{
  ASSERT_EQ(run_here({"lcd", "@0", "Hello"}), 0);
  EXPECT_EQ(emu.LcdText(path), (std::vector<uint8_t>{'H', 'e', 'l', 'l', 'o'}));
  ::testing::internal::CaptureStderr();
  ASSERT_EQ(run_here({"lcd", "@0", "0123456789abcdefghij"}), 0);
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(emu.LcdText(path).size(), 16u);

  // What amxctl prints is what the display shows: a space for each character it
  // lacks (backslash, braces, capital yo, the euro sign), the copyright sign,
  // yo and tilde with glyphs of their own.
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(run_here({"lcd", "@0", "a\\b{c}\u00A9\u0451~\u0401\u20AC"}), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "display: a b c \u00A9\u0451~  \n");
  EXPECT_EQ(emu.LcdText(path), (std::vector<uint8_t>{'a', ' ', 'b', ' ', 'c', ' ', 0xA2, 0xB5, 0xE9, ' ', ' '}));
  // amvex.h's character set is the library's table.
  for (int c = 0; c < 256; ++c)
    EXPECT_EQ(AmxLcdHasChar(static_cast<unsigned char>(c)) != 0, c == ' ' || amx::TextToDisplay[c] != ' ') << c;
}

TEST_F(Faults, UnplugWhileRecordingClosesAReadableFileAndFails)
{
  std::string file = ::testing::TempDir() + "amxctl_unplug_" + std::to_string(getpid()) + ".bdf";
  std::thread unplug([&] {  // after 1.2 s of samples
    for (int i = 0; i < 1000 && emu.Stats(path).Packets < 300; ++i) amxhost::sleep_ms(10);
    emu.Unplug(path);
  });
  ::testing::internal::CaptureStderr();
  int rc = run_here({"record", "@0", file, "--rate", "250", "--seconds", "10", "--quiet"});
  std::string err = ::testing::internal::GetCapturedStderr();
  unplug.join();
  EXPECT_EQ(rc, 1) << err;
  EXPECT_NE(err.find("amxctl: the device was removed (unplugged)"), std::string::npos) << err;

  edf_hdr_struct hdr{};
  ASSERT_EQ(edfopen_file_readonly(file.c_str(), &hdr, EDFLIB_READ_ALL_ANNOTATIONS), 0);
  EXPECT_GE(hdr.datarecords_in_file, 1);
  EXPECT_LT(hdr.datarecords_in_file, 4);
  ASSERT_GE(hdr.annotations_in_file, 2);
  edf_annotation_struct last{};
  ASSERT_EQ(edf_get_annotation(hdr.handle, static_cast<int>(hdr.annotations_in_file - 1), &last), 0);
  EXPECT_STREQ(last.annotation, "Device removed");
  EXPECT_GT(last.onset, 10000000) << "after a second of samples";
  edfclose_file(hdr.handle);
  std::remove(file.c_str());
}

}  // namespace
