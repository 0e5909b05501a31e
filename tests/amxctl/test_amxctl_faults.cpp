// amxctl against the emulator's internal control surface: the tool's sources
// and the library's objects in one program, so that the test can drop packets
// and look at the emulated display (AMVEX_EMULATE is not set here).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "amxctl.h"
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

TEST_F(Faults, LostPacketsBecomeAnnotatedGapsOfMissingFrames)
{
  amx::TEmuFaults f;
  f.DropEvery = 40;
  emu.SetFaults(path, f);
  std::string file = ::testing::TempDir() + "amxctl_gaps_" + std::to_string(getpid()) + ".bdf";
  ASSERT_EQ(run_here({"record", "@0", file, "--rate", "500", "--seconds", "2", "--quiet"}), 0);

  edf_hdr_struct hdr{};
  ASSERT_EQ(edfopen_file_readonly(file.c_str(), &hdr, EDFLIB_READ_ALL_ANNOTATIONS), 0);
  ASSERT_EQ(hdr.edfsignals, 16);
  ASSERT_EQ(hdr.datarecords_in_file, 2);  // the time axis keeps its length
  std::vector<int> samples(1000);
  ASSERT_EQ(edfread_digital_samples(hdr.handle, 0, 1000, samples.data()), 1000);
  int missing = 0;
  for (int s : samples) missing += s == -8388608;
  ASSERT_GT(hdr.annotations_in_file, 2);
  int gaps = 0;
  for (long long i = 0; i < hdr.annotations_in_file; ++i) {
    edf_annotation_struct a{};
    ASSERT_EQ(edf_get_annotation(hdr.handle, static_cast<int>(i), &a), 0);
    std::string text = a.annotation;
    if (text.rfind("Lost packets: ", 0) != 0) continue;
    ++gaps;
    // The gap starts where the annotation says.
    long long at = a.onset * 500 / 10000000;
    EXPECT_EQ(samples[static_cast<size_t>(at)], -8388608) << text;
    if (at > 0) EXPECT_NE(samples[static_cast<size_t>(at - 1)], -8388608) << text;
  }
  EXPECT_GT(gaps, 0);
  EXPECT_GT(missing, 0);
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
}

}  // namespace
