// calib/CL_EPROM: decoding (and, for the emulated amplifier, encoding) of the
// calibration record. A record is trusted only when its CRC-32 matches; anything
// else yields the default record with Valid false.
#include "calib/CL_EPROM.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>

#include "calib/mem_stream.h"
#include "calib/ULcdText.h"
#include "calib/bitStrm.h"
#include "calib/crc32.h"

namespace amx {

namespace {

constexpr int64_t kUnixToDate = 25569;  // days from 30 December 1899 to 1 January 1970

uint32_t ReadU16(const uint8_t* p) { return p[0] | uint32_t(p[1]) << 8; }
uint32_t ReadU32(const uint8_t* p) { return ReadU16(p) | ReadU16(p + 2) << 16; }
void WriteU16(uint8_t* p, uint32_t v)
{
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
void WriteU32(uint8_t* p, uint32_t v)
{
  WriteU16(p, v);
  WriteU16(p + 2, v >> 16);
}

// Proleptic Gregorian calendar <-> days since 1 January 1970.
int64_t DaysFromCivil(int64_t y, int m, int d)
{
  y -= m <= 2;
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  int64_t yoe = y - era * 400;
  int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int& y, int& m, int& d)
{
  z += 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  d = int(doy - (153 * mp + 2) / 5 + 1);
  m = int(mp < 10 ? mp + 3 : mp - 9);
  y = int(yoe + era * 400 + (m <= 2));
}

}  // namespace

double EncodeDate(int year, int month, int day) { return double(DaysFromCivil(year, month, day) + kUnixToDate); }

double MonthToDate(int months) { return EncodeDate(2000 + months / 12, months % 12 + 1, 1); }

int DateToMonth(double date)
{
  int y, m, d;
  CivilFromDays(int64_t(date) - kUnixToDate, y, m, d);
  return std::clamp((y - 2000) * 12 + m - 1, 0, 255);
}

double TodayDate()
{
  std::time_t now = std::time(nullptr);
  std::tm local{};
#if defined(_WIN32)
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  return EncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
}

// The day is the integral part and the time of day the absolute fraction, so
// dates before 30 December 1899 read as the platform's own date type does.
tSystemTime DateToSystemTime(double date)
{
  int64_t day = int64_t(date);
  int64_t ms = std::llround(std::fabs(date - double(day)) * 86400000.0);
  if (ms >= 86400000) {  // rounded up to the next midnight
    ms -= 86400000;
    ++day;
  }
  int y, m, d;
  CivilFromDays(day - kUnixToDate, y, m, d);
  int64_t weekday = (day + 6) % 7;  // 30 December 1899 was a Saturday
  tSystemTime t;
  t.Year = uint16_t(y);
  t.Month = uint16_t(m);
  t.DayOfWeek = uint16_t(weekday < 0 ? weekday + 7 : weekday);
  t.Day = uint16_t(d);
  t.Hour = uint16_t(ms / 3600000);
  t.Minute = uint16_t(ms / 60000 % 60);
  t.Second = uint16_t(ms / 1000 % 60);
  t.Milliseconds = uint16_t(ms % 1000);
  return t;
}

tCalibrate::tCalibrate() : Date1(TodayDate()), Date2(Date1)
{
  std::fill(std::begin(ZeroReadings), std::end(ZeroReadings), 0);
  std::fill(std::begin(CalReadings), std::end(CalReadings), int32_t(std::lround(CalVoltage / VoltsPerCount)));
  std::fill(std::begin(RefValues), std::end(RefValues), 100000000);
}

tCalibrate::tCalibrate(const uint8_t* record) : tCalibrate()
{
  if (ReadU32(record + kCalCrc) != Crc32(record, kCalCrc)) return;
  Valid = true;
  Name = DisplayCodesToText(record + kCalName, kCalNameLength);
  Number1 = int32_t(ReadU16(record + kCalNumber1));
  Number2 = int32_t(ReadU16(record + kCalNumber2));
  Date1 = MonthToDate(record[kCalDate1]);
  // The bit stream holds 40 channels; a larger count cannot be honoured and
  // would make the gain computation read past the arrays.
  Channels = std::min<int32_t>(record[kCalChannelCount], kCalChannels);
  VoltsPerCount = ReadU32(record + kCalVoltsPerCount) / 100000000000.0;
  Date2 = MonthToDate(record[kCalDate2]);
  CalVoltage = int16_t(ReadU16(record + kCalVoltage)) / 100000.0;
  Aux1 = record[kCalAux1];
  Aux2 = record[kCalAux2];
  Aux3 = record[kCalAux3] * 1000;

  std::fill(std::begin(ZeroReadings), std::end(ZeroReadings), 0);
  std::fill(std::begin(CalReadings), std::end(CalReadings), 0);
  std::fill(std::begin(RefValues), std::end(RefValues), 0);
  TMemoryStream bytes;
  bytes.Write(record + kCalBits, kCalBitsLength);
  tBitStream bits(bytes);
  for (int i = 0; i < Channels; ++i) {
    ZeroReadings[i] = std::clamp(bits.ReadBits(true, 15) * 4, -32768, 32767);
    CalReadings[i] = std::clamp(bits.ReadBits(true, 20) * 4, -2097150, 2097150);
    RefValues[i] = std::clamp(record[kCalRefValues + i] * 1000000, 0, 255000000);
  }
}

void tCalibrate::CopyOffsets(int32_t* destination, int high) const
{
  std::copy_n(ZeroReadings, std::max(0, std::min(Channels, high + 1)), destination);
}

void tCalibrate::CopyRefValues(int32_t* destination, int high) const
{
  std::copy_n(RefValues, std::max(0, std::min(Channels, high + 1)), destination);
}

void tCalibrate::ComputeGains(double* destination, int high) const
{
  int n = std::min(Channels, high + 1);
  if (Channels == 0) {
    // No channel, no reference span: leave every sample unscaled.
    std::fill_n(destination, std::max(0, std::min(kCalChannels, high + 1)), 1.0);
    return;
  }
  int64_t sum = 0;
  for (int i = 0; i < Channels; ++i) sum += CalReadings[i] - ZeroReadings[i];
  int64_t reference = sum / Channels;  // truncates toward zero
  for (int i = 0; i < n; ++i) {
    int32_t span = CalReadings[i] - ZeroReadings[i];
    destination[i] = span != 0 ? double(reference) / span : 0.0;
  }
}

void EncodeCalRecord(const tCalibrate& cal, uint8_t record[kCalRecordSize])
{
  std::memset(record, 0, kCalRecordSize);
  for (size_t i = 0; i < kCalNameLength; ++i)
    record[kCalName + i] = TextToDisplay[uint8_t(i < cal.Name.size() ? cal.Name[i] : ' ')];
  WriteU16(record + kCalNumber1, uint32_t(cal.Number1));
  WriteU16(record + kCalNumber2, uint32_t(cal.Number2));
  record[kCalDate1] = uint8_t(DateToMonth(cal.Date1));
  record[kCalChannelCount] = uint8_t(std::clamp(cal.Channels, 0, 255));
  WriteU32(record + kCalVoltsPerCount, uint32_t(std::llround(cal.VoltsPerCount * 100000000000.0)));
  record[kCalDate2] = uint8_t(DateToMonth(cal.Date2));
  WriteU16(record + kCalVoltage, uint32_t(std::lround(cal.CalVoltage * 100000.0)));
  record[kCalAux1] = uint8_t(cal.Aux1);
  record[kCalAux2] = uint8_t(cal.Aux2);
  record[kCalAux3] = uint8_t(cal.Aux3 / 1000);

  size_t bit = 0;  // least significant bit first
  auto put = [&](int32_t value, int n) {
    for (int k = 0; k < n; ++k, ++bit)
      if ((uint32_t(value) >> k) & 1) record[kCalBits + bit / 8] |= uint8_t(1u << (bit % 8));
  };
  for (int i = 0; i < kCalChannels; ++i) {
    put(std::clamp(cal.ZeroReadings[i] >> 2, -16384, 16383), 15);
    put(std::clamp(cal.CalReadings[i] >> 2, -524288, 524287), 20);
    record[kCalRefValues + i] = uint8_t(std::clamp(cal.RefValues[i] / 1000000, 0, 255));
  }
  WriteU32(record + kCalCrc, Crc32(record, kCalCrc));
}

}  // namespace amx
