// The public interface against the amplifiers AMVEX_EMULATE names (see
// CMakeLists.txt): kind 7 rev 64, kind 2 rev 3, kind 6, kind 1, kind 8 rev 70.
// Links only the shared library, through amvex.h.
#include <gtest/gtest.h>

#include "amvex.h"
#include "api_helpers.h"

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace {

std::vector<int32_t> Drain(int32_t id, int words, int frames = 2000)
{
  std::vector<int32_t> buf(size_t(words) * size_t(frames));
  int32_t got = 0;
  EXPECT_EQ(AmxRead(id, buf.data(), int32_t(buf.size() * 4), &got), AMX_OK);
  buf.resize(size_t(got) / 4);
  return buf;
}

}  // namespace

TEST(Api, ListsTheEmulatedAmplifiers)
{
  ASSERT_EQ(GetAmxCount(), 5);
  std::vector<int32_t> ids;
  for (int i = 0; i < 5; ++i) ids.push_back(GetAmxID(i));
  for (int i = 0; i < 5; ++i) {
    EXPECT_NE(ids[size_t(i)], 0);
    EXPECT_NE(GetAmx(ids[size_t(i)]), nullptr);
    for (int j = 0; j < i; ++j) EXPECT_NE(ids[size_t(i)], ids[size_t(j)]);
  }
  EXPECT_EQ(GetAmxID(5), 0);
  EXPECT_EQ(GetAmxID(-1), 0);
}

TEST(Api, UnknownIdentifierGivesNoDeviceEverywhere)
{
  const int32_t bad = 12345;
  int32_t v = 0, w = 0;
  uint32_t u = 0;
  uint8_t buf[64];
  AmxDeviceInfo info;
  AmxInternalInfoRecord ii;
  EXPECT_EQ(GetAmx(bad), nullptr);
  for (int32_t s : {AmxOpen(bad),
                    AmxClose(bad),
                    AmxStart(bad),
                    AmxStop(bad),
                    AmxRead(bad, buf, 64, &v),
                    AmxGetSampling(bad, &v),
                    AmxSetSampling(bad, 500),
                    AmxGetSync(bad, &v, &w),
                    AmxSetSync(bad, 0, 0),
                    AmxWriteSystemEEPROM(bad, buf, 4),
                    AmxReadSystemEEPROM(bad, buf, 4),
                    AmxWriteUserEEPROM(bad, buf, 4),
                    AmxReadUserEEPROM(bad, buf, 4),
                    AmxReset(bad),
                    AmxPullUp(bad, 0, 0),
                    AmxInfo(bad, &info, 36),
                    AmxInternalInfo(bad, &ii, 8),
                    AmxGetCalibrateFlag(bad, &v),
                    AmxSetCalibrateFlag(bad, 1),
                    AmxDebugMode(bad, 0),
                    AmxDebugState(bad, &v),
                    AmxSetUartBound(bad, 9600),
                    AmxGetUartBound(bad, &v),
                    AmxUartRead(bad, buf, 64, &v),
                    AmxMasterClockConfig(bad, &v),
                    AmxSetAnalogConfig(bad, 0),
                    AmxGetAnalogConfig(bad, &u)})
    EXPECT_EQ(s, AMX_NO_DEVICE);
}

TEST(Api, InfoDescribesEveryKind)
{
  // Wide-gain kinds (7, 8) start with bit 31 of the analog configuration set: gain 19.7.
  struct Case {
    int kind, channels;
    double gain;
  };
  for (Case c : {Case{7, 40, 19.7}, Case{2, 20, 19.0}, Case{6, 16, 19.0}, Case{1, 24, 19.0}, Case{8, 40, 19.7}}) {
    int32_t id = IdOfKind(c.kind);
    ASSERT_NE(id, 0) << c.kind;
    AmxDeviceInfo info;
    memset(&info, 0xEE, sizeof info);
    EXPECT_EQ(AmxInfo(id, &info, 35), AMX_FAILED);
    EXPECT_EQ(AmxInfo(id, nullptr, 36), AMX_FAILED);
    ASSERT_EQ(AmxInfo(id, &info, sizeof info), AMX_OK);
    EXPECT_EQ(info.channelCount, c.channels);
    EXPECT_DOUBLE_EQ(info.voltsPerCount, 2.5 / (c.gain * 2097151.0));
    // The emulated calibration record: numbers 4711 and the channel count, June 2020.
    EXPECT_EQ(info.calNumber1, 4711);
    EXPECT_EQ(info.calNumber2, c.channels);
    EXPECT_EQ(info.calYear, 2020);
    EXPECT_EQ(info.calMonth, 6);
    EXPECT_EQ(info.calDay, 1);
    EXPECT_EQ(info.calDayOfWeek, 1);  // a Monday
    EXPECT_EQ(info.calHour + info.calMinute + info.calSecond + info.calMilliseconds, 0);
    AmxInternalInfoRecord ii;
    EXPECT_EQ(AmxInternalInfo(id, &ii, 7), AMX_FAILED);
  }
}

TEST(Api, SettingsRoundTrip)
{
  int32_t id = IdOfKind(2);
  int32_t v = 0, w = 0;
  uint32_t config = 0;
  EXPECT_EQ(AmxGetAnalogConfig(id, &config), AMX_OK);
  EXPECT_EQ(config, 0x80000000u);
  EXPECT_EQ(AmxSetSampling(id, 300), AMX_BAD_SAMPLING);
  EXPECT_EQ(AmxSetSampling(id, 250), AMX_OK);
  EXPECT_EQ(AmxGetSampling(id, &v), AMX_OK);
  EXPECT_EQ(v, 250);
  EXPECT_EQ(AmxSetSync(id, 1, 0), AMX_OK);
  EXPECT_EQ(AmxGetSync(id, &v, &w), AMX_OK);
  EXPECT_EQ(v, 1);
  EXPECT_EQ(w, 0);
  EXPECT_EQ(AmxGetUartBound(id, &v), AMX_OK);
  EXPECT_EQ(v, 19200);
  EXPECT_EQ(AmxSetUartBound(id, 4800), AMX_OK);
  EXPECT_EQ(AmxGetUartBound(id, &v), AMX_OK);
  EXPECT_EQ(v, 19200);
  EXPECT_EQ(AmxSetUartBound(id, 57600), AMX_OK);
  EXPECT_EQ(AmxGetUartBound(id, &v), AMX_OK);
  EXPECT_EQ(v, 57600);
  EXPECT_EQ(AmxPullUp(id, 1, 2), AMX_OK);
  EXPECT_EQ(AmxGetAnalogConfig(id, &config), AMX_OK);
  EXPECT_EQ(config, 0x8A000001u);
  EXPECT_EQ(AmxSetCalibrateFlag(id, 7), AMX_OK);
  EXPECT_EQ(AmxGetCalibrateFlag(id, &v), AMX_OK);
  EXPECT_EQ(v, 1);
  EXPECT_EQ(AmxSetCalibrateFlag(id, 0), AMX_OK);
  EXPECT_EQ(AmxClose(id), AMX_OK);  // releases nothing
  EXPECT_EQ(AmxReset(id), AMX_OK);
  EXPECT_EQ(AmxGetSampling(id, &v), AMX_OK);
  EXPECT_EQ(v, 500);
  EXPECT_EQ(AmxGetSync(id, nullptr, &w), AMX_FAILED);
  EXPECT_EQ(AmxDebugState(id, nullptr), AMX_FAILED);
  // Every getter refuses a missing output parameter.
  EXPECT_EQ(AmxGetSampling(id, nullptr), AMX_FAILED);
  EXPECT_EQ(AmxGetCalibrateFlag(id, nullptr), AMX_FAILED);
  EXPECT_EQ(AmxGetUartBound(id, nullptr), AMX_FAILED);
  EXPECT_EQ(AmxGetAnalogConfig(id, nullptr), AMX_FAILED);
  EXPECT_EQ(AmxGetImpedanceRef(id, nullptr), AMX_FAILED);
  v = 2;
  EXPECT_EQ(AmxMasterClockConfig(id, &v), AMX_FAILED);  // stopped: no confirmation
}

TEST(Api, EepromSizesAndRoundTrip)
{
  int32_t id = IdOfKind(6);
  uint8_t data[257], back[257] = {};
  for (int i = 0; i < 257; ++i) data[i] = uint8_t(i * 13 + 1);
  EXPECT_EQ(AmxReadSystemEEPROM(id, back, 257), AMX_FAILED);
  EXPECT_EQ(AmxWriteUserEEPROM(id, data, 257), AMX_FAILED);
  EXPECT_EQ(AmxReadSystemEEPROM(id, back, 0), AMX_OK);
  EXPECT_EQ(AmxReadUserEEPROM(id, back, -1), AMX_FAILED);
  EXPECT_EQ(AmxReadUserEEPROM(id, nullptr, 4), AMX_FAILED);
  ASSERT_EQ(AmxWriteUserEEPROM(id, data, 256), AMX_OK);
  ASSERT_EQ(AmxReadUserEEPROM(id, back, 256), AMX_OK);
  EXPECT_EQ(memcmp(data, back, 256), 0);
  ASSERT_EQ(AmxReadUserEEPROM(id, back, 5), AMX_OK);
  EXPECT_EQ(memcmp(data, back, 5), 0);
}

TEST(Api, StreamsNumberedFramesAndUartRecords)
{
  int32_t id = IdOfKind(7);
  ASSERT_EQ(AmxSetSampling(id, 1000), AMX_OK);
  ASSERT_EQ(AmxSetUartBound(id, 115200), AMX_OK);
  ASSERT_EQ(AmxStart(id), AMX_OK);
  std::vector<int32_t> frames;
  std::vector<uint8_t> uart;
  for (int i = 0; i < 12; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto part = Drain(id, 41);
    frames.insert(frames.end(), part.begin(), part.end());
    uint8_t buf[4096];
    int32_t got = 0;
    ASSERT_EQ(AmxUartRead(id, buf, sizeof buf, &got), AMX_OK);
    uart.insert(uart.end(), buf, buf + got);
    // A command that waits for its reply must not end the stream.
    if (i == 5) {
      ASSERT_EQ(AmxReadUserEEPROM(id, buf, 100), AMX_OK);
    }
  }
  int32_t clock = 6;
  EXPECT_EQ(AmxMasterClockConfig(id, &clock), AMX_OK);  // running: confirmed
  EXPECT_EQ(clock, 6);
  int32_t lost = -1;
  EXPECT_EQ(AmxDebugState(id, &lost), AMX_OK);
  EXPECT_EQ(AmxStop(id), AMX_OK);
  EXPECT_EQ(lost, 1);
  ASSERT_EQ(frames.size() % 41, 0u);
  size_t n = frames.size() / 41;
  ASSERT_GT(n, 900u);
  for (size_t k = 0; k < n; ++k) {
    uint32_t status = uint32_t(frames[k * 41 + 40]);
    ASSERT_EQ(status & AMX_STATUS_SAMPLE_MASK, k + 1);
    // The emulator marks every whole second with status bit 7 (frame bit 28).
    EXPECT_EQ(status >> 28, (k + 1) % 1000 == 0 ? 1u : 0u) << k;
    for (int c = 0; c < 40; ++c) ASSERT_LT(std::abs(frames[k * 41 + size_t(c)] - 1000 * (c + 1)), 20600);
  }
  // UART: one record every 100 samples, "U<sample>\n", numbered with that sample.
  size_t at = 0, records = 0;
  while (at + 5 <= uart.size()) {
    int32_t number;
    memcpy(&number, &uart[at], 4);
    uint8_t m = uart[at + 4];
    ASSERT_LE(at + 5 + m, uart.size());
    std::string text(uart.begin() + ptrdiff_t(at + 5), uart.begin() + ptrdiff_t(at + 5 + m));
    EXPECT_EQ(text, "U" + std::to_string(number) + "\n");
    EXPECT_EQ(number % 100, 0);
    at += 5 + m;
    ++records;
  }
  EXPECT_EQ(at, uart.size());
  EXPECT_GT(records, 8u);
}

TEST(Api, ConcurrentHostThreadsAreSerialised)
{
  int32_t id = IdOfKind(8);
  ASSERT_EQ(AmxSetSampling(id, 1000), AMX_OK);
  ASSERT_EQ(AmxStart(id), AMX_OK);
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  std::atomic<long> frames{0};
  std::vector<uint32_t> last(1, 0);
  std::thread reader([&] {
    std::vector<int32_t> buf(41 * 500);
    uint32_t expected = 1;
    while (!stop) {
      int32_t got = 0;
      if (AmxRead(id, buf.data(), int32_t(buf.size() * 4), &got) != AMX_OK) failures++;
      for (int k = 0; k < got / 4 / 41; ++k) {
        if ((uint32_t(buf[size_t(k) * 41 + 40]) & AMX_STATUS_SAMPLE_MASK) != expected) failures++;
        expected++;
        frames++;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  std::vector<std::thread> others;
  for (int t = 0; t < 3; ++t)
    others.emplace_back([&, t] {
      while (!stop) {
        int32_t v = 0;
        uint32_t u = 0;
        if (AmxGetSampling(id, &v) != AMX_OK || v != 1000) failures++;
        if (AmxDebugState(id, &v) != AMX_OK) failures++;
        if (AmxGetAnalogConfig(GetAmxID(t), &u) != AMX_OK) failures++;
        if (GetAmxCount() != 5) failures++;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  stop = true;
  reader.join();
  for (auto& t : others) t.join();
  EXPECT_EQ(AmxStop(id), AMX_OK);
  EXPECT_EQ(failures.load(), 0);
  EXPECT_GT(frames.load(), 500);
}

TEST(Api, SlowHostLosesOldFramesButStaysOnFrameBoundaries)
{
  int32_t id = IdOfKind(6);  // 16 channels: frames of 17 words
  ASSERT_EQ(AmxSetSampling(id, 1000), AMX_OK);
  ASSERT_EQ(AmxStart(id), AMX_OK);
  std::this_thread::sleep_for(std::chrono::milliseconds(4300));  // > 3855 frames the ring holds
  auto f = Drain(id, 17, 5000);
  EXPECT_EQ(AmxStop(id), AMX_OK);
  ASSERT_GT(f.size(), 17u * 3000);
  ASSERT_EQ(f.size() % 17, 0u);
  uint32_t first = uint32_t(f[16]) & AMX_STATUS_SAMPLE_MASK;
  EXPECT_GT(first, 1u);  // the oldest were overwritten
  for (size_t k = 0; k < f.size() / 17; ++k) ASSERT_EQ(uint32_t(f[k * 17 + 16]) & AMX_STATUS_SAMPLE_MASK, first + k);
}
