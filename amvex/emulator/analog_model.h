// analog_model.h: the emulated amplifier's analog side. Every channel has its own
// zero offset and gain error, described by a valid calibration record in the
// system EEPROM area; every electrode has an impedance that shapes the 30 Hz test
// signal while the pull-up is on. Deterministic; documented in the README.
#pragma once
#include <array>
#include <cstdint>

namespace amx {

// The calibration voltage (0.1 V) in nominal counts: the span of a channel
// without gain error (a multiple of 4, as the record stores readings / 4).
constexpr int32_t kEmuCalSpan = 1593836;

int32_t EmuZeroOffset(int channel);  // counts read at 0 V (a multiple of 4)
int32_t EmuSpan(int channel);        // counts between 0 V and the calibration voltage
// What the channel reads for an input of `input` nominal counts.
int32_t EmuReading(int channel, double input);
// Impedance reference of the channel's test source, as the record holds it.
int32_t EmuRefResistance(int channel);
// The valid, CRC-protected record that describes the channels of a device.
std::array<uint8_t, 256> EmuCalRecord(int channels);

// Electrode impedance (ohms) after power-up: 0 on the default impedance
// reference channel (19, or 0 below 20 channels), else by c mod 8: 5 k, 20 k,
// 100 k, 1 k, 200 k, 10 k, 50 k, 2 kOhm.
double EmuDefaultImpedance(int channels, int channel);
// The test signal of an electrode (nominal counts) at sample s: a 30 Hz sine
// whose RMS reads back as `ohms` under the library's impedance scale; none for
// an electrode of 0 Ohm (shorted to the reference). Wide-gain front ends add
// 1 kOhm in series, which the library subtracts again.
double EmuTestSignal(double ohms, bool wideGain, int channel, uint32_t sample, uint32_t rate);

}  // namespace amx
