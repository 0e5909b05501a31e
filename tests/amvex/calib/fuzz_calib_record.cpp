// libFuzzer target for the calibration record decoder. The first input byte
// chooses whether the record's CRC is repaired, so both the rejecting and the
// decoding paths are reached; a decoded record must respect its limits and
// survive a write and a second decoding unchanged.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "calib/CL_EPROM.h"
#include "calib/crc32.h"

using namespace amx;

namespace {

void Check(bool ok)
{
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  if (size < 1) return 0;
  uint8_t record[kCalRecordSize] = {};
  std::memcpy(record, data + 1, std::min(size - 1, kCalRecordSize));
  if (data[0] & 1) {
    uint32_t crc = Crc32(record, kCalCrc);
    std::memcpy(record + kCalCrc, &crc, 4);  // little-endian host
  }
  tCalibrate cal(record);
  int32_t offsets[kCalChannels], refs[kCalChannels];
  double gains[kCalChannels];
  cal.CopyOffsets(offsets, kCalChannels - 1);
  cal.CopyRefValues(refs, kCalChannels - 1);
  cal.ComputeGains(gains, kCalChannels - 1);
  Check(cal.Channels >= 0 && cal.Channels <= kCalChannels);
  Check(cal.Name.size() == (cal.Valid ? kCalNameLength : 12));
  if (!cal.Valid) return 0;
  for (int i = 0; i < cal.Channels; ++i) {
    Check(cal.ZeroReadings[i] >= -32768 && cal.ZeroReadings[i] <= 32767);
    Check(cal.CalReadings[i] >= -2097150 && cal.CalReadings[i] <= 2097150);
    Check(cal.RefValues[i] >= 0 && cal.RefValues[i] <= 255000000);
  }
  uint8_t again[kCalRecordSize];
  EncodeCalRecord(cal, again);
  tCalibrate round(again);
  Check(round.Valid && round.Name == cal.Name && round.Number1 == cal.Number1 && round.Number2 == cal.Number2 &&
        round.Channels == cal.Channels && round.Date1 == cal.Date1 && round.Date2 == cal.Date2 &&
        round.VoltsPerCount == cal.VoltsPerCount && round.CalVoltage == cal.CalVoltage && round.Aux1 == cal.Aux1 &&
        round.Aux3 == cal.Aux3);
  // Readings are stored divided by 4: a zero reading limited to 32767 comes
  // back as 32764, so readings must be stable from the second decoding on.
  uint8_t third[kCalRecordSize];
  EncodeCalRecord(round, third);
  tCalibrate stable(third);
  for (int i = 0; i < cal.Channels; ++i)
    Check(stable.ZeroReadings[i] == round.ZeroReadings[i] && stable.CalReadings[i] == round.CalReadings[i] &&
          round.CalReadings[i] == cal.CalReadings[i] && round.RefValues[i] == cal.RefValues[i]);
  return 0;
}
