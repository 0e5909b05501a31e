// TAmx against the emulated amplifier: the bytes each command puts on the wire,
// reply waits and their timeouts, identification, faults (internal API).
#include <gtest/gtest.h>

#include "device/UAmvex.h"
#include "amvex.h"
#include "../include/api_helpers.h"
#include "emulator/emulator.h"

#include <atomic>
#include <cstdlib>
#include <map>
#include <thread>

using namespace amx;

namespace {

using Bytes = std::vector<uint8_t>;

struct Device {
  TEmulator Emu;
  std::string Path;
  std::unique_ptr<TAmx> Amx;
  explicit Device(int kind = 7, int rev = 1) : Path(Emu.Add(kind, rev)), Amx(new TAmx(Emu, Path))
  {
    Emu.ClearCommands(Path);
  }
  // Payloads of the commands sent since the last call.
  std::vector<Bytes> Sent()
  {
    std::vector<Bytes> out;
    for (auto& c : Emu.Commands(Path)) out.push_back(Bytes(c.begin() + 3, c.end() - 1));
    Emu.ClearCommands(Path);
    return out;
  }
};

}  // namespace

TEST(Amx, ConstructionRunsTheResetSequence)
{
  TEmulator emu;
  std::string p = emu.Add(7, 1);
  TAmx a(emu, p);
  auto cmds = emu.Commands(p);
  ASSERT_EQ(cmds.size(), 5u);
  EXPECT_EQ(cmds[0], (Bytes{0xAA, 3, 0, 0x55}));            // stop
  EXPECT_EQ(cmds[1], (Bytes{0xAA, 1, 1, 3, 0x55}));         // 500 samples/s
  EXPECT_EQ(cmds[2], (Bytes{0xAA, 11, 1, 0, 0x55}));        // sync off
  EXPECT_EQ(cmds[3], (Bytes{0xAA, 10, 2, 0, 0, 0x55}));     // pull-up off
  EXPECT_EQ(cmds[4], (Bytes{0xAA, 10, 2, 0x80, 0, 0x55}));  // analog configuration
  EXPECT_EQ(a.Analog(), 0x80000000u);
  EXPECT_EQ(a.ChannelCount, 40u);
  EXPECT_EQ(a.UartBaudRate(), 19200);
}

TEST(Amx, SettingsSendTheirCodesAndKeepOldValuesOnFailure)
{
  Device d;
  EXPECT_FALSE(d.Amx->SetSampling(300));
  EXPECT_TRUE(d.Sent().empty());
  EXPECT_EQ(d.Amx->Rate(), 500u);
  EXPECT_TRUE(d.Amx->SetSampling(1000));
  EXPECT_TRUE(d.Amx->SetSync(1, 5));
  EXPECT_TRUE(d.Amx->SetPullUp(1, 2));
  EXPECT_EQ(d.Sent(), (std::vector<Bytes>{{4}, {0xC0}, {0x01, 0x02}}));
  int32_t a = 0, b = 0;
  d.Amx->GetSync(a, b);
  EXPECT_EQ(b, 1);
  EXPECT_EQ(d.Amx->Analog(), 0x8A000001u);
  EXPECT_TRUE(d.Amx->SetAnalogConfig(0x48000000u));  // family 1, bit 30 set
  EXPECT_EQ(d.Sent(), (std::vector<Bytes>{{0xC9, 0x00}}));
  EXPECT_EQ(d.Amx->Analog(), 0x88000000u);
  EXPECT_TRUE(d.Amx->SetAnalogConfig(0x13000055u));  // family 2 on a plain device: off
  EXPECT_EQ(d.Sent(), (std::vector<Bytes>{{0x80, 0x03}}));
  EXPECT_EQ(d.Amx->Analog(), 0x83000055u);
}

TEST(Amx, ExtendedDevicesTakeOnlyListedCodes)
{
  Device d(6, 64);  // identified below as a 40-channel device without wide gain
  d.Amx->Extended = true;
  EXPECT_FALSE(d.Amx->SetAnalogConfig(0x080000C3u));
  EXPECT_FALSE(d.Amx->SetAnalogConfig(0x200000C9u));  // family 4
  EXPECT_TRUE(d.Sent().empty());
  EXPECT_TRUE(d.Amx->SetAnalogConfig(0x490000C9u));
  EXPECT_EQ(d.Sent(), (std::vector<Bytes>{{0xC9, 0x81}}));
  EXPECT_EQ(d.Amx->Analog(), 0x890000C9u);
  d.Amx->WideGain = true;
  EXPECT_TRUE(d.Amx->SetAnalogConfig(0x500000A3u));  // family 2, bit 30, bit 31 clear
  EXPECT_EQ(d.Sent(), (std::vector<Bytes>{{0xA3, 0x40}}));
  EXPECT_DOUBLE_EQ(d.Amx->LsbVolts(), LsbWeight(50.0));
  EXPECT_TRUE(d.Amx->SetPullUp(1, 0));
  EXPECT_EQ(d.Sent(), (std::vector<Bytes>{{0xC9, 0x00}}));
}

TEST(Amx, EepromMovesInChunksOfFortyEight)
{
  Device d;
  uint8_t buf[256];
  EXPECT_EQ(d.Amx->ReadEeprom(buf, 100, true), 100);
  EXPECT_EQ(d.Sent(), (std::vector<Bytes>{{0, 48}, {48, 48}, {96, 4}}));
  for (int i = 0; i < 256; ++i) buf[i] = uint8_t(i ^ 0x5A);
  EXPECT_EQ(d.Amx->WriteEeprom(buf, 256, false), 256);
  auto cmds = d.Sent();
  ASSERT_EQ(cmds.size(), 6u);
  EXPECT_EQ(cmds[5][0], 240);
  EXPECT_EQ(cmds[5][1], 16);
  auto area = d.Emu.Eeprom(d.Path, false);
  EXPECT_TRUE(std::equal(area.begin(), area.end(), buf));
  uint8_t back[256] = {};
  EXPECT_EQ(d.Amx->ReadEeprom(back, 256, false), 256);
  EXPECT_TRUE(std::equal(back, back + 256, buf));
  d.Sent();
  EXPECT_EQ(d.Amx->ReadEeprom(back, 257, false), 0);
  EXPECT_EQ(d.Amx->WriteEeprom(back, 0, false), 0);
  EXPECT_TRUE(d.Sent().empty());
}

TEST(Amx, IdentifyChoosesChannelsByKind)
{
  struct Case {
    int kind, rev;
    uint32_t channels;
    bool wide, extended;
    int ref;
  };
  for (Case c : {Case{2, 1, 20, false, false, 19}, Case{6, 1, 16, false, false, 0}, Case{1, 1, 24, false, false, 19},
                 Case{8, 64, 40, true, true, 19}, Case{4, 99, 40, false, true, 19}}) {
    Device d(c.kind, c.rev);
    EXPECT_TRUE(d.Amx->Identify());
    EXPECT_EQ(d.Amx->ChannelCount, c.channels) << c.kind;
    EXPECT_EQ(d.Amx->WideGain, c.wide) << c.kind;
    EXPECT_EQ(d.Amx->Extended, c.extended) << c.kind;
    EXPECT_EQ(d.Amx->ImpedanceReference(), c.ref) << c.kind;
    EXPECT_EQ(d.Amx->HasUart, c.kind > 2) << c.kind;
    EXPECT_TRUE(d.Amx->Identified);
    EXPECT_TRUE(d.Amx->Calibrated.load());  // the emulated system area holds a valid record
  }
}

// One identification reply lost (a busy machine, a late reader) is asked again,
// as a device still waking up is.
TEST(Amx, IdentifyAsksAgainAfterAReplyTimesOut)
{
  Device d(6);
  TEmuFaults f;
  f.SkipReplies = 1;
  d.Emu.SetFaults(d.Path, f);
  d.Amx->Identify();
  EXPECT_EQ(d.Amx->Kind(), 6);
  EXPECT_EQ(d.Amx->ChannelCount, 16u);
  EXPECT_TRUE(d.Amx->Identified);
}

// A system-area chunk's reply that comes after its read gave up is no answer
// to the identification query asked next with the same code.
TEST(Amx, ALateEepromReplyIsNoIdentification)
{
  Device d(6);
  TEmuFaults f;
  f.PromptReplies = 2;  // the identification and the first chunk; the second is late
  f.LateReplyMs = 400;
  d.Emu.SetFaults(d.Path, f);
  d.Amx->Identify();
  EXPECT_FALSE(d.Amx->Identified);
  d.Emu.SetFaults(d.Path, TEmuFaults());
  d.Amx->Identify();  // its query meets the late reply first
  EXPECT_EQ(d.Amx->Kind(), 6);
  EXPECT_EQ(d.Amx->ChannelCount, 16u);
}

TEST(Amx, SilentDeviceTimesOutAndStaysStopped)
{
  Device d;
  TEmuFaults f;
  f.SilentReplies = true;
  d.Emu.SetFaults(d.Path, f);
  uint64_t t = TickCount64();
  EXPECT_FALSE(d.Amx->Start());  // never confirmed: no start
  EXPECT_GE(TickCount64() - t, 1250u);
  EXPECT_FALSE(d.Amx->Running);
  EXPECT_FALSE(d.Emu.Streaming(d.Path));  // the device was told to stop again
  EXPECT_EQ(d.Amx->Reader, nullptr);
  int32_t clock = 3;
  EXPECT_FALSE(d.Amx->SetMasterClock(clock));
  uint8_t b[4];
  EXPECT_EQ(d.Amx->ReadEeprom(b, 4, false), 0);
}

TEST(Amx, MasterClockIsConfirmedOnlyWhileRunning)
{
  Device d;
  int32_t clock = 13;
  uint64_t t = TickCount64();
  EXPECT_FALSE(d.Amx->SetMasterClock(clock));
  EXPECT_GE(TickCount64() - t, 250u);
  ASSERT_TRUE(d.Amx->Start());
  ASSERT_TRUE(d.Amx->Running);
  EXPECT_TRUE(d.Amx->SetMasterClock(clock));
  EXPECT_EQ(clock, 5);
  EXPECT_TRUE(d.Amx->Stop());
}

TEST(Amx, FailedChannelOpenMeansNoAcknowledgement)
{
  Device d;
  TEmuFaults f;
  f.FailOpenPipe = true;
  d.Emu.SetFaults(d.Path, f);
  EXPECT_FALSE(d.Amx->Start());
  EXPECT_FALSE(d.Amx->Running);
  EXPECT_EQ(d.Amx->QueryIdent(), -1);
}

TEST(Amx, UnplugMidStreamEndsCleanly)
{
  Device d;
  ASSERT_TRUE(d.Amx->Start());
  SleepMs(50);
  d.Emu.Unplug(d.Path);
  SleepMs(30);
  EXPECT_FALSE(d.Amx->Stop());  // the stop command cannot reach it
  int32_t buf[4100];
  d.Amx->ReadSamples(buf, sizeof buf);
  EXPECT_FALSE(d.Amx->Running);
}

TEST(Amx, DebugModeWritesCommandAndReplyDumps)
{
  Device d;
  d.Amx->DebugMode = true;
  uint8_t b[2];
  ASSERT_EQ(d.Amx->ReadEeprom(b, 2, true), 2);
  FILE* f = std::fopen("cmd.bin", "rb");
  ASSERT_NE(f, nullptr);
  uint8_t cmd[8];
  EXPECT_EQ(std::fread(cmd, 1, sizeof cmd, f), 4u);
  std::fclose(f);
  EXPECT_EQ(Bytes(cmd, cmd + 4), (Bytes{15, 2, 0, 2}));
  f = std::fopen("packet.bin", "rb");
  ASSERT_NE(f, nullptr);
  uint8_t reply[8];
  EXPECT_EQ(std::fread(reply, 1, sizeof reply, f), 6u);
  std::fclose(f);
  EXPECT_EQ(Bytes(reply, reply + 4), (Bytes{15, 4, 0, 2}));
  std::remove("cmd.bin");
  std::remove("packet.bin");
}

// The library's own device list (in-process, on the default emulator): the list
// changes on the notification thread while host threads call the exports.

struct Library : ::testing::Test {
#ifdef _WIN32
  // Linked into an executable, the library gets no DLL attach call; and it must
  // take the (empty) emulator rather than the system's device bus.
  void SetUp() override
  {
    _putenv("AMVEX_EMULATE= ");
    LibraryLoad();
  }
  void TearDown() override { LibraryUnload(); }
#endif
};

TEST_F(Library, HotPlugAndPowerEventsAreSerialisedWithHostCalls)
{
  TEmulator& emu = DefaultEmulator();
  ASSERT_EQ(GetAmxCount(), 0);  // AMVEX_EMULATE is not set for this suite
  std::atomic<bool> stop{false};
  std::atomic<long> calls{0};
  std::thread host([&] {
    while (!stop) {
      int32_t rate = 0;
      int32_t id = GetAmxID(0);
      int32_t s = AmxGetSampling(id, &rate);
      if (s == AMX_OK && rate != 500) ADD_FAILURE() << "rate " << rate;
      if (s != AMX_OK && s != AMX_NO_DEVICE && s != AMX_NOT_OPEN) ADD_FAILURE() << "status " << s;
      calls++;
    }
  });
  for (int i = 0; i < 3; ++i) {
    std::string p = emu.Plug(6, 1);
    EXPECT_EQ(GetAmxCount(), 1);
    int32_t id = GetAmxID(0);
    emu.Power(PBT_APMSUSPEND_);
    EXPECT_EQ(AmxOpen(id), AMX_NOT_OPEN);
    EXPECT_EQ(AmxClose(id), AMX_CLOSED);
    emu.Power(PBT_APMRESUMESUSPEND_);
    EXPECT_EQ(AmxClose(id), AMX_OK);
    int32_t got = 0, rate = 0;
    EXPECT_EQ(AmxRead(id, &rate, 4, &got), AMX_NOT_OPEN);  // not AMX_OK with nothing, for ever
    EXPECT_EQ(AmxOpen(id), AMX_OK);
    EXPECT_EQ(AmxGetSampling(id, &rate), AMX_OK);
    emu.Unplug(p);
    EXPECT_EQ(GetAmxCount(), 0);
    EXPECT_EQ(AmxOpen(id), AMX_NO_DEVICE);
  }
  stop = true;
  host.join();
  EXPECT_GT(calls.load(), 10);
}

// Faults from the AMVEX_EMULATE grammar through the exports: what the host
// counts against what the emulator did.
TEST_F(Library, EveryFrameSentIsReceivedOrCountedLost)
{
  TEmulator& emu = DefaultEmulator();
  std::string error;
  auto config = ParseEmulateDevices("kind=7,seed=9,loss=0.05,corrupt=0.05,jitter=20", error);
  ASSERT_EQ(config.size(), 1u) << error;
  std::string path = emu.Plug(config[0]);
  int32_t id = GetAmxID(0);
  ASSERT_EQ(AmxOpen(id), AMX_OK);
  ASSERT_EQ(AmxSetSampling(id, 1000), AMX_OK);
  ASSERT_EQ(AmxStart(id), AMX_OK);
  TFrameTally tally;
  for (int i = 0; i < 10; ++i) {
    SleepMs(100);
    ASSERT_EQ(tally.Read(id, 40), AMX_OK);
  }
  EXPECT_EQ(AmxStop(id), AMX_OK);
  ASSERT_EQ(tally.Read(id, 40), AMX_OK);  // what came before the stop
  int32_t lost = 0;
  ASSERT_EQ(AmxDebugState(id, &lost), AMX_OK);
  TEmuStats s = emu.Stats(path);
  emu.Unplug(path);
  EXPECT_EQ(tally.OutOfOrder, 0u);
  EXPECT_EQ(tally.Received + tally.Missing, tally.Last);
  // Every packet the emulator sent is a frame read or a packet counted lost (the
  // synchronising first one among them), and the packets counted lost besides it
  // are the ones the emulator lost or damaged.
  EXPECT_EQ(s.Delivered, tally.Received + uint64_t(lost));
  EXPECT_EQ(uint64_t(lost - 1), s.DeliveredFaults);
  EXPECT_EQ(uint64_t(lost - 1), tally.Missing);
  EXPECT_GT(s.DeliveredFaults, 50u);
}

TEST(Amx, DroppedAndDamagedPacketsAreCountedAndNeverStored)
{
  Device d;
  d.Amx->Identify();
  ASSERT_TRUE(d.Amx->SetSampling(1000));
  TEmuFaults f;
  f.DropEvery = 50;
  f.CorruptEvery = 77;
  d.Emu.SetFaults(d.Path, f);
  ASSERT_TRUE(d.Amx->Start());
  SleepMs(400);
  d.Amx->Stop();  // first: the losses counted are then those of the frames read
  std::vector<int32_t> buf(41 * 2000);
  int n = d.Amx->ReadSamples(buf.data(), int(buf.size() * 4)) / (41 * 4);
  uint32_t lost = d.Amx->LostPackets.load();
  EXPECT_GT(lost, 5u);
  // Every lost packet but the synchronising first one leaves a gap of one number.
  ASSERT_GT(n, 200);
  uint32_t previous = 0, missing = 0;
  for (int k = 0; k < n; ++k) {
    uint32_t number = uint32_t(buf[size_t(k) * 41 + 40]) & 0x0FFFFFFF;
    ASSERT_GT(number, previous);
    missing += number - previous - 1;
    previous = number;
    for (int c = 0; c < 40; ++c) ASSERT_LT(std::abs(buf[size_t(k) * 41 + size_t(c)] - 1000 * (c + 1)), 20600);
  }
  EXPECT_EQ(missing, lost - 1);
}

namespace {

// The first frames of a device's first start at 1000 samples/s with the packets
// due at lossAtMs lost: channel 0 by sample number, and the lost count.
struct TFirstFrames {
  std::map<uint32_t, int32_t> Values;
  uint32_t Lost = 0;
};
TFirstFrames FirstFrames(std::vector<int64_t> lossAtMs)
{
  Device d;
  TEmuFaults f;
  f.LossAtMs = lossAtMs;
  d.Emu.SetFaults(d.Path, f);
  TFirstFrames out;
  if (!d.Amx->SetSampling(1000) || !d.Amx->Start()) return out;
  SleepMs(100);
  std::vector<int32_t> buf(41 * 2000);
  int n = d.Amx->ReadSamples(buf.data(), int(buf.size() * 4)) / (41 * 4);
  d.Amx->Stop();
  for (int k = 0; k < n; ++k) out.Values[uint32_t(buf[size_t(k) * 41 + 40]) & 0x0FFFFFFF] = buf[size_t(k) * 41];
  out.Lost = d.Amx->LostPackets.load();
  return out;
}

}  // namespace

// The device numbers its packets from 0 at each start, so losing the first ones
// leaves the numbers the device's: frame n holds what a healthy device gives as
// frame n, and each packet lost after the synchronising one is a counted gap.
TEST(Amx, PacketsLostAtTheStartKeepTheSampleNumbersAndAreCounted)
{
  TFirstFrames healthy = FirstFrames({}), first = FirstFrames({0}), two = FirstFrames({0, 1});
  ASSERT_GT(healthy.Values.size(), 20u);
  EXPECT_EQ(healthy.Values.begin()->first, 1u);
  EXPECT_EQ(healthy.Lost, 1u);
  EXPECT_EQ(first.Values.begin()->first, 1u);  // packet 0 never becomes a frame anyway
  EXPECT_EQ(first.Lost, 1u);
  EXPECT_EQ(two.Values.begin()->first, 2u);  // frame 1 is missing
  EXPECT_EQ(two.Lost, 2u);
  for (const TFirstFrames* run : {&first, &two})
    for (auto [number, value] : run->Values) {
      auto same = healthy.Values.find(number);
      EXPECT_TRUE(same == healthy.Values.end() || same->second == value) << number;
    }
}
