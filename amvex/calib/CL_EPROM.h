// calib/CL_EPROM: the calibration record of a device's 256-byte system EEPROM
// area and its decoder tCalibrate (per-channel zero and calibration readings,
// impedance references), built on crc32, bitStrm and the display tables of
// ULcdText. Also the calendar helpers for the record's dates. The device code
// decodes records with it, the emulator encodes its devices' records.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "amvex.h"

namespace amx {

// Record layout (little-endian): the offsets amvex.h gives hosts, under the
// library's names.
constexpr size_t kCalRecordSize = AMX_CAL_RECORD_SIZE;
constexpr int kCalChannels = 40;  // channels the bit stream holds
constexpr size_t kCalName = AMX_CAL_NAME;
constexpr size_t kCalNameLength = AMX_CAL_NAME_LENGTH;
constexpr size_t kCalNumber1 = AMX_CAL_NUMBER1;
constexpr size_t kCalNumber2 = AMX_CAL_NUMBER2;
constexpr size_t kCalDate1 = AMX_CAL_DATE1;
constexpr size_t kCalChannelCount = AMX_CAL_CHANNEL_COUNT;
constexpr size_t kCalVoltsPerCount = AMX_CAL_VOLTS_PER_COUNT;
constexpr size_t kCalDate2 = AMX_CAL_DATE2;
constexpr size_t kCalVoltage = AMX_CAL_VOLTAGE;
constexpr size_t kCalAux1 = AMX_CAL_AUX1;
constexpr size_t kCalBits = AMX_CAL_BITS;
constexpr size_t kCalBitsLength = AMX_CAL_BITS_LENGTH;
constexpr size_t kCalAux2 = AMX_CAL_AUX2;
constexpr size_t kCalAux3 = AMX_CAL_AUX3;
constexpr size_t kCalRefValues = AMX_CAL_REF_VALUES;
constexpr size_t kCalCrc = AMX_CAL_CRC;
static_assert(kCalRefValues + kCalChannels == kCalCrc, "one impedance reference per channel before the CRC");

// Dates are days since 30 December 1899; the fraction is the time of day.
double EncodeDate(int year, int month, int day);
double MonthToDate(int months);  // first day of the month, months since January 2000
int DateToMonth(double date);    // inverse of MonthToDate, limited to 0-255
double TodayDate();              // local date, no time of day

// A Windows SYSTEMTIME: eight unsigned 16-bit words, day of week 0 = Sunday.
struct tSystemTime {
  uint16_t Year, Month, DayOfWeek, Day, Hour, Minute, Second, Milliseconds;
};
static_assert(sizeof(tSystemTime) == 16, "SYSTEMTIME is eight 16-bit words");
tSystemTime DateToSystemTime(double date);

class tCalibrate {
public:
  tCalibrate();                                // the default record (not valid)
  explicit tCalibrate(const uint8_t* record);  // decodes kCalRecordSize bytes

  // Copy min(Channels, high + 1) entries, as Identify takes them with high 39.
  void CopyOffsets(int32_t* destination, int high) const;
  void CopyRefValues(int32_t* destination, int high) const;
  // Gains that scale every channel's span to the mean span of the record.
  void ComputeGains(double* destination, int high) const;

  bool Valid = false;
  int32_t Number1 = 7051;
  int32_t Number2 = 0;
  int32_t Channels = kCalChannels;  // at most 40
  double Date1;
  double VoltsPerCount = 2.5 / (19 * 2097151.0);
  std::string Name = "   Orka KM22";
  double Date2;
  double CalVoltage = 0.1;
  int32_t Aux1 = 0, Aux2 = 0, Aux3 = 0;
  int32_t ZeroReadings[kCalChannels];  // counts at 0 V
  int32_t CalReadings[kCalChannels];   // counts at CalVoltage
  int32_t RefValues[kCalChannels];     // impedance references, ohms
};

// Writes cal as a valid record with its CRC (what the device tool stores); the
// readings are stored divided by 4. Used by the emulated amplifier.
void EncodeCalRecord(const tCalibrate& cal, uint8_t record[kCalRecordSize]);

}  // namespace amx
