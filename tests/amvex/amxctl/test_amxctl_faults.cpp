// amxctl against the emulator's internal control surface: the tool's sources
// and the library's objects in one program, so that the test can drop packets
// and look at the emulated display (AMVEX_EMULATE is not set here).
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "amxctl.h"
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

TEST_F(Faults, LostPacketsAreAnnotatedAndCounted)
{
  amx::TEmuFaults f;
  f.DropEvery = 40;
  emu.SetFaults(path, f);
  std::string file = ::testing::TempDir() + "amxctl_gaps_" + std::to_string(getpid()) + ".bdf";
  ::testing::internal::CaptureStderr();
  ASSERT_EQ(run_here({"record", "@0", file, "--rate", "500", "--seconds", "2", "--quiet"}), 0);
  std::string summary = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(summary.find("1000 frames (2.0 s) at 500 samples/s"), std::string::npos) << summary;

  edf_hdr_struct hdr{};
  ASSERT_EQ(edfopen_file_readonly(file.c_str(), &hdr, EDFLIB_READ_ALL_ANNOTATIONS), 0);
  ASSERT_EQ(hdr.edfsignals, 16);
  ASSERT_EQ(hdr.datarecords_in_file, 2);
  // Lost packets leave gaps in the sample numbers: each annotation names as many
  // frames missing as packets lost.
  int reported = 0;
  for (long long i = 0; i < hdr.annotations_in_file; ++i) {
    edf_annotation_struct a{};
    ASSERT_EQ(edf_get_annotation(hdr.handle, static_cast<int>(i), &a), 0);
    std::string text = a.annotation;
    const std::string prefix = "Lost ";
    if (text.rfind(prefix, 0) != 0) continue;
    const int packets = std::stoi(text.substr(prefix.size()));
    EXPECT_NE(text.find(" packets, " + std::to_string(packets) + " frames missing"), std::string::npos) << text;
    reported += packets;
    EXPECT_LE(a.onset, 20000000);
  }
  // 2 s at 500 samples/s with every 40th packet dropped: all of them annotated.
  EXPECT_GT(reported, 5);
  int32_t lost = 0;
  ASSERT_EQ(AmxDebugState(GetAmxID(0), &lost), AMX_OK);
  EXPECT_EQ(reported, lost - 1) << "every lost packet but the synchronising first one";
  edfclose_file(hdr.handle);
  std::remove(file.c_str());
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
