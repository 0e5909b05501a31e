// Transport tests: enumeration, hot-plug, suspend and resume, the channel and the
// reader thread, against a private emulator instance (internal API).
#include <gtest/gtest.h>

#include "transport/UWDM.h"
#include "transport/UsbDevice.h"
#include "emulator/emulator.h"

#include <atomic>

using namespace amx;

namespace {

// A device that counts what its reader hands it.
struct TCountingDevice : TUsbDevice {
  using TUsbDevice::TUsbDevice;
  ~TCountingDevice() override { StopReader(); }
  void DataReceived(const uint8_t*, uint32_t n) override { Bytes += n, Blocks += 1; }
  std::atomic<uint64_t> Bytes{0}, Blocks{0};
};

struct TTestList : TWdmDeviceList {
  TTestList(TDeviceBus& bus, TCriticalSection* lock) : TWdmDeviceList(bus, GUID_AMX_INTERFACE, lock) { Start(); }
  TWdmDevice* CreateDevice(const std::string& path) override { return new TCountingDevice(Bus, path); }
  ~TTestList() override
  {
    if (NotifyWindow) Bus.Detach(NotifyWindow.get());
    NotifyWindow.reset();
  }
};

bool SendFrame(TUsbDevice& d, uint8_t code, std::vector<uint8_t> payload = {})
{
  std::vector<uint8_t> p = {0xAA, code, uint8_t(payload.size())};
  p.insert(p.end(), payload.begin(), payload.end());
  p.push_back(0x55);
  return d.WriteCommand(p.data(), uint32_t(p.size()));
}

}  // namespace

TEST(DeviceList, EnumeratesEveryPresentDeviceWithItsOwnId)
{
  TEmulator emu;
  std::string a = emu.Add(7, 64), b = emu.Add(6, 1);
  TCriticalSection lock;
  TTestList list(emu, &lock);
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(list.Get(0)->Path, a);
  EXPECT_EQ(list.Get(1)->Path, b);
  EXPECT_NE(list.Get(0)->Id, list.Get(1)->Id);
  EXPECT_EQ(list.FindById(list.Get(1)->Id), list.Get(1));
  EXPECT_EQ(list.FindByPath(a), list.Get(0));
  EXPECT_EQ(list.Get(2), nullptr);
  EXPECT_EQ(list.Get(-1), nullptr);
  EXPECT_EQ(list.FindById(0), nullptr);
  EXPECT_EQ(list.Get(0)->Owner, &list);
}

TEST(DeviceList, HotPlugAddsWithNewIdAndUnplugRetiresTheOldId)
{
  TEmulator emu;
  std::string a = emu.Add(7, 1);
  TCriticalSection lock;
  TTestList list(emu, &lock);
  int32_t oldId = list.Get(0)->Id;
  std::string b = emu.Plug(2, 1);  // returns once the list has refreshed
  ASSERT_EQ(list.Count(), 2);
  int32_t newId = list.FindByPath(b)->Id;
  EXPECT_NE(newId, oldId);
  EXPECT_TRUE(emu.Unplug(a));
  ASSERT_EQ(list.Count(), 1);
  EXPECT_EQ(list.FindById(oldId), nullptr);
  EXPECT_NE(list.FindById(newId), nullptr);
}

TEST(DeviceList, DuplicatePathsAndKnownDevicesCreateNoSecondObject)
{
  TEmulator emu;
  std::string a = emu.Add(7, 1);
  emu.DuplicatePath(a, true);
  TCriticalSection lock;
  TTestList list(emu, &lock);
  EXPECT_EQ(list.Count(), 1);
  list.Refresh();
  EXPECT_EQ(list.Count(), 1);
}

TEST(DeviceList, PathThatDoesNotOpenGivesNoDevice)
{
  TEmulator emu;
  std::string a = emu.Add(7, 1);
  intptr_t h = emu.Open(a);  // someone else holds it: no sharing
  TCriticalSection lock;
  TTestList list(emu, &lock);
  EXPECT_EQ(list.Count(), 0);
  emu.Close(h);
  list.Refresh();
  EXPECT_EQ(list.Count(), 1);
}

TEST(DeviceList, SuspendClosesAndResumeReopensOrDrops)
{
  TEmulator emu;
  std::string a = emu.Add(7, 1), b = emu.Add(7, 2);
  TCriticalSection lock;
  TTestList list(emu, &lock);
  emu.Power(PBT_APMQUERYSUSPEND_);
  emu.Power(PBT_APMSUSPEND_);
  ASSERT_EQ(list.Count(), 2);
  EXPECT_FALSE(list.Get(0)->IsOpen());
  EXPECT_FALSE(list.Get(1)->IsOpen());
  // Commands to a closed device fail without reaching the driver.
  EXPECT_FALSE(static_cast<TUsbDevice*>(list.Get(0))->WriteCommand(nullptr, 0));
  // b is gone when the machine wakes up: it is dropped, a is back.
  emu.Unplug(b);  // (the list refreshes here: b's path disappeared)
  EXPECT_EQ(list.Count(), 1);
  emu.Power(PBT_APMRESUMESUSPEND_);
  ASSERT_EQ(list.Count(), 1);
  EXPECT_TRUE(list.Get(0)->IsOpen());
  EXPECT_EQ(list.Get(0)->Path, a);
}

TEST(DeviceList, ResumeDropsADeviceWhosePathNoLongerOpens)
{
  TEmulator emu;
  std::string a = emu.Add(7, 1);
  TCriticalSection lock;
  TTestList list(emu, &lock);
  emu.Power(PBT_APMSUSPEND_);
  intptr_t h = emu.Open(a);  // taken by another program meanwhile
  emu.Power(PBT_APMRESUMESUSPEND_);
  EXPECT_EQ(list.Count(), 0);
  emu.Close(h);
}

// A started thread runs before Resume returns: a host may end its process right
// after the call that started a reader, and under wine a thread ended while it is
// still starting up crashes the process's exit.
TEST(Thread, ResumeReturnsOnceExecuteRuns)
{
  struct TProbe : TThread {
    void Execute() override
    {
      for (int i = 0; i < 5000 && !Terminated(); ++i) SleepMs(1);
    }
  };
  for (int i = 0; i < 10; ++i) {
    TProbe t;
    t.Resume();
    EXPECT_TRUE(t.Started()) << "start " << i;
    t.Terminate();
    t.WaitFor();
  }
}

TEST(Reader, PauseAdaptsBetweenOneAndTwentyFiveMs)
{
  EXPECT_EQ(AdaptInterval(5, 65536), 5u);
  EXPECT_EQ(AdaptInterval(5, 65537), 4u);
  EXPECT_EQ(AdaptInterval(5, 65535), 6u);
  EXPECT_EQ(AdaptInterval(1, 131072), 1u);
  EXPECT_EQ(AdaptInterval(25, 0), 25u);
}

TEST(Reader, StopWithoutReaderReturnsAtOnce)
{
  TEmulator emu;
  TCountingDevice d(emu, emu.Add(7, 1));
  uint64_t t = TickCount64();
  EXPECT_TRUE(d.StopReader());
  EXPECT_LT(TickCount64() - t, 20u);  // (a coarse system tick on some platforms)
}

TEST(Reader, DestroyingANeverStartedDeviceClosesChannelZero)
{
  TEmulator emu;
  std::string a = emu.Add(7, 1);
  {
    TCountingDevice d(emu, a);
  }
  EXPECT_EQ(emu.ClosedPipes(a), std::vector<int32_t>{0});
}

TEST(Reader, StreamsWhileRunningAndClosesItsChannel)
{
  TEmulator emu;
  std::string a = emu.Add(7, 1);
  TCountingDevice d(emu, a);
  ASSERT_TRUE(SendFrame(d, 1, {4}));  // 1000 samples/s
  ASSERT_TRUE(SendFrame(d, 2));       // start
  ASSERT_TRUE(d.StartReader());
  SleepMs(300);
  EXPECT_GT(d.Bytes.load(), 100u * 126u);
  uint32_t interval = d.Reader->Interval.load();
  EXPECT_GT(interval, 5u);  // small reads: the pause grows
  EXPECT_LE(interval, 25u);
  d.StopReader();
  EXPECT_EQ(d.Pipe.load(), -1);
  EXPECT_EQ(emu.ClosedPipes(a).size(), 1u);
}

TEST(Reader, FailedChannelOpenEndsTheReaderWithoutData)
{
  TEmulator emu;
  std::string a = emu.Add(7, 1);
  TCountingDevice d(emu, a);
  TEmuFaults f;
  f.FailOpenPipe = true;
  emu.SetFaults(a, f);
  SendFrame(d, 2);
  d.StartReader();
  SleepMs(50);
  EXPECT_EQ(d.Pipe.load(), -1);
  d.StopReader();
  EXPECT_EQ(d.Bytes.load(), 0u);
  EXPECT_TRUE(emu.ClosedPipes(a).empty());  // nothing to close
}

TEST(Reader, FailingReadsAndUnplugMidStreamAreEmptyReads)
{
  TEmulator emu;
  std::string a = emu.Add(7, 1);
  TCountingDevice d(emu, a);
  SendFrame(d, 2);
  d.StartReader();
  SleepMs(30);
  TEmuFaults f;
  f.FailReads = true;
  emu.SetFaults(a, f);
  SleepMs(30);
  uint64_t before = d.Bytes.load();
  SleepMs(30);
  EXPECT_EQ(d.Bytes.load(), before);
  emu.SetFaults(a, TEmuFaults());
  emu.Unplug(a);
  SleepMs(30);
  EXPECT_TRUE(d.StopReader());
  EXPECT_FALSE(SendFrame(d, 3));  // the handle is dead
}

TEST(Emulator, ParsesTheDeviceListAndReportsBadEntries)
{
  std::string error;
  auto configs = ParseEmulateDevices("kind=7,rev=64;kind=6; rev=3 ", error);
  ASSERT_EQ(configs.size(), 3u);
  EXPECT_EQ(configs[0].Kind, 7);
  EXPECT_EQ(configs[0].Revision, 64);
  EXPECT_EQ(configs[1].Kind, 6);
  EXPECT_EQ(configs[2].Kind, 7);
  EXPECT_EQ(configs[2].Revision, 3);
  EXPECT_TRUE(error.empty());
  configs = ParseEmulateDevices("kind=300;kind=x;colour=2;kind=2", error);
  ASSERT_EQ(configs.size(), 1u);
  EXPECT_EQ(configs[0].Kind, 2);
  EXPECT_NE(error.find("kind=300"), std::string::npos);
  EXPECT_NE(error.find("colour=2"), std::string::npos);
  // Blank is no device; beyond the limit one line says what was left out.
  error.clear();
  EXPECT_TRUE(ParseEmulateDevices(" \t", error).empty());
  EXPECT_TRUE(error.empty());
  std::string many;
  for (int i = 0; i < 40; ++i) many += "kind=6;";
  EXPECT_EQ(ParseEmulateDevices(many + "kind=2", error).size(), kMaxEmulatedDevices);
  EXPECT_EQ(error, "AMVEX_EMULATE: at most 32 devices; the 9 entries from \"kind=6\" on not created\n");
}

TEST(Emulator, ParsesFaultsAndRefusesADeviceNamingItsBadItem)
{
  std::string error;
  auto configs = ParseEmulateDevices(
      " kind=6, seed=5,unplug=1.5,replug=0.25,loss=0.1,loss_at=2+0.5,corrupt=0.01,"
      "invalid=15@1-2.5,noreply=2,jitter=30,drift=-200,suspend=4e0 ",
      error);
  ASSERT_EQ(configs.size(), 1u) << error;
  const TEmuFaults& f = configs[0].Faults;
  EXPECT_EQ(configs[0].Kind, 6);
  EXPECT_EQ(f.Seed, 5u);
  EXPECT_EQ(f.UnplugMs, 1500);
  EXPECT_EQ(f.ReplugMs, 250);
  EXPECT_DOUBLE_EQ(f.Loss, 0.1);
  EXPECT_EQ(f.LossAtMs, (std::vector<int64_t>{500, 2000}));
  EXPECT_DOUBLE_EQ(f.Corrupt, 0.01);
  EXPECT_EQ(f.InvalidChannel, 15);
  EXPECT_EQ(f.InvalidFromMs, 1000);
  EXPECT_EQ(f.InvalidToMs, 2500);
  EXPECT_EQ(f.NoReply, 2);
  EXPECT_EQ(f.JitterMs, 30u);
  EXPECT_EQ(f.DriftPpm, -200);
  EXPECT_EQ(f.SuspendMs, 4000);
  struct Bad {
    const char *entry, *item;
  };
  for (Bad b :
       {Bad{"kind=7,loss=1.5", "\"loss=1.5\""}, Bad{"jitter=5,jitter=6", "\"jitter=6\""},
        Bad{"kind=7,unplug", "\"unplug\""}, Bad{"replug=1", "\"replug\""}, Bad{"kind=6,invalid=16@1-2", "\"invalid\""},
        Bad{"invalid=3@2-1", "\"invalid=3@2-1\""}, Bad{"loss_at=1+", "\"loss_at=1+\""},
        Bad{"suspend=-1", "\"suspend=-1\""}, Bad{"drift=5x", "\"drift=5x\""}, Bad{"corrupt=nan", "\"corrupt=nan\""},
        Bad{"noreply=256", "\"noreply=256\""}, Bad{"kind=7,Loss=0.1", "\"Loss=0.1\""},
        // decimal only, commands the device answers, no spaces or empty items
        Bad{"rev=064", "\"rev=064\""}, Bad{"kind=0x7", "\"kind=0x7\""}, Bad{"loss=0x1p-4", "\"loss=0x1p-4\""},
        Bad{"noreply=99", "\"noreply=99\""}, Bad{"noreply=3", "\"noreply=3\""}, Bad{"kind= 7", "\"kind= 7\""},
        Bad{"kind=7,,rev=3", "item 2 is empty"}, Bad{"kind=7,", "item 2 is empty"},
        // a sign only on the one signed key, never on zero; no leading zero in any number
        Bad{"kind=+7", "\"kind=+7\""}, Bad{"kind=-0", "\"kind=-0\""}, Bad{"drift=+100", "\"drift=+100\""},
        Bad{"drift=-0", "\"drift=-0\""}, Bad{"jitter=-5", "\"jitter=-5\""}, Bad{"loss=00.5", "\"loss=00.5\""},
        Bad{"unplug=010", "\"unplug=010\""}, Bad{"loss_at=1+.5", "\"loss_at=1+.5\""},
        Bad{"suspend=+1", "\"suspend=+1\""}, Bad{"", "device 2 \"\" not created"}}) {
    error.clear();
    EXPECT_TRUE(ParseEmulateDevices(std::string("kind=2;") + b.entry, error).size() == 1u) << b.entry;
    EXPECT_EQ(std::count(error.begin(), error.end(), '\n'), 1) << error;
    EXPECT_NE(error.find(b.item), std::string::npos) << error;
  }
}
