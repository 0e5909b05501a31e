// analog_model.cpp: offsets, gain errors, the calibration record that describes
// them, and the electrodes' test signal. Builds on the record encoder (calib/CL_EPROM)
// and the impedance test signal of protocol.h.
#include "emulator/analog_model.h"

#include <cmath>

#include "calib/CL_EPROM.h"
#include "protocol.h"

namespace amx {

int32_t EmuZeroOffset(int channel)
{
  return 32 * ((channel * 37) % 101 - 50);  // -1600 to 1600
}

// Channels come in pairs with opposite gain errors (0.25 % to 1.25 %), so the
// mean span of any even channel count is exactly kEmuCalSpan and calibrated
// samples keep the nominal scale.
int32_t EmuSpan(int channel)
{
  int32_t error = 4000 * ((channel / 2 * 3) % 5 + 1);
  return kEmuCalSpan + (channel % 2 ? -error : error);
}

int32_t EmuReading(int channel, double input)
{
  return EmuZeroOffset(channel) + int32_t(std::lround(input * EmuSpan(channel) / kEmuCalSpan));
}

int32_t EmuRefResistance(int channel) { return (95 + channel % 11) * 1000000; }

std::array<uint8_t, 256> EmuCalRecord(int channels)
{
  tCalibrate cal;
  cal.Name = "Emulated amp";
  cal.Number1 = 4711;
  cal.Number2 = channels;
  cal.Channels = channels;
  cal.Date1 = cal.Date2 = EncodeDate(2020, 6, 1);
  for (int c = 0; c < kCalChannels; ++c) {
    cal.ZeroReadings[c] = EmuZeroOffset(c);
    cal.CalReadings[c] = EmuZeroOffset(c) + EmuSpan(c);
    cal.RefValues[c] = EmuRefResistance(c);
  }
  std::array<uint8_t, 256> record;
  EncodeCalRecord(cal, record.data());
  return record;
}

double EmuDefaultImpedance(int channels, int channel)
{
  static const double kOhms[8] = {5000, 20000, 100000, 1000, 200000, 10000, 50000, 2000};
  return channel == (channels > 19 ? 19 : 0) ? 0.0 : kOhms[channel % 8];
}

double EmuTestSignal(double ohms, bool wideGain, int channel, uint32_t sample, uint32_t rate)
{
  const double twoPi = 6.283185307179586;
  if (ohms <= 0) return 0.0;  // shorted to the reference: no test signal
  double total = ohms + (wideGain ? 1000.0 : 0.0);
  double rmsVolts = total * kImpScaleVolts / EmuRefResistance(channel);
  double amplitude = std::sqrt(2.0) * rmsVolts / kImpCountVolts;
  uint32_t phase = sample % rate;  // whole seconds of a 30 Hz sine are whole periods
  return amplitude * std::sin(twoPi * kImpTestFrequency * phase / rate);
}

}  // namespace amx
