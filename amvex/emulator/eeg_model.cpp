// eeg_model.cpp: the EEG-like input. The background is white noise through
// eight one-pole low-pass stages with corners an octave apart (0.5 to 64 Hz)
// and equal variance each, which sums to a spectrum falling as 1/f between the
// corners; the alpha bursts, blinks and hum are functions of time only.
#include "emulator/eeg_model.h"

#include <cmath>

#include "emulator/analog_model.h"

namespace amx {
namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kCountsPerUv = kEmuCalSpan / 100000.0;  // the calibration voltage is 0.1 V
constexpr double kStageUv = 7;                           // RMS of each background stage (about 20 uV in all)
constexpr double kAlphaUv = 30;   // alpha amplitude over posterior electrodes (elsewhere a quarter)
constexpr double kHumUv = 5;      // 50 Hz amplitude on every channel
constexpr double kBlinkUv = 150;  // blink peak on the frontal pole
constexpr double kAlphaSlot = 4;  // seconds: an alpha burst fills most slots
constexpr double kBlinkSlot = 5;  // seconds: at most one blink per slot
constexpr double kBlinkSeconds = 0.3;

// Regions by channel for the channel counts with a default montage (16, 20, 24
// and 40: docs/amvex.md lists the names).
const char* const kRegions16 = "FFff--PPPPff--PP";
const char* const kRegions40 = "FFfffff-----PPPPPPP-FP--FF--------PPffPP";

uint64_t Hash(uint64_t x)
{
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

double Uniform(uint64_t key) { return double(Hash(key) >> 11) * 0x1p-53; }  // [0, 1)

}  // namespace

char EmuEegRegion(int channels, int channel)
{
  if (channel < 0 || channel >= channels) return '-';
  if (channels == 16) return kRegions16[channel];
  // 20 and 24 channels are the first ones of the 40-channel montage.
  if (channels == 20 || channels == 24 || channels == 40) return kRegions40[channel];
  return '-';
}

double EmuEegSignal(TEmuEeg& state, int channels, int channel, uint32_t sample, uint32_t rate, uint32_t seed)
{
  if (state.Rate != rate || state.Stages.size() != size_t(channels) * kEmuEegStages) {
    state.Rate = rate;
    state.Stages.assign(size_t(channels) * kEmuEegStages, 0.0);
    for (int k = 0; k < kEmuEegStages; ++k) {
      // The white noise's scale gives the stage an RMS of kStageUv.
      const double a = 1 - std::exp(-kTwoPi * 0.5 * (1 << k) / rate);
      state.Gain[k] = a;
      state.Drive[k] = kStageUv * std::sqrt(3 * (2 - a) / a);
    }
  }
  double* stage = &state.Stages[size_t(channel) * kEmuEegStages];
  const double t = double(sample) / rate;
  const uint64_t key = Hash((uint64_t(seed) << 8) | uint64_t(channel));
  double background = 0;
  for (int k = 0; k < kEmuEegStages; ++k) {
    const double white = (2 * Uniform(key ^ (uint64_t(k) << 32 | sample)) - 1) * state.Drive[k];
    if (sample == 0) stage[k] = 0;
    stage[k] += state.Gain[k] * (white - stage[k]);
    background += stage[k];
  }
  const char region = EmuEegRegion(channels, channel);
  // Alpha: a slot of kAlphaSlot seconds holds a burst (a sine-squared
  // envelope) unless the seed leaves it out (one slot in three).
  const uint64_t alphaSlot = uint64_t(t / kAlphaSlot);
  const bool burst = Hash((uint64_t(seed) << 32) ^ alphaSlot) % 3 != 0;
  const double envelope = burst ? std::pow(std::sin(kTwoPi / 2 * (t / kAlphaSlot - double(alphaSlot))), 2) : 0;
  const double alpha = (region == 'P' ? kAlphaUv : kAlphaUv / 4) * envelope * std::sin(kTwoPi * 10 * t + 0.1 * channel);
  // Blinks: in three slots of four, one at a seeded moment, a sine-squared bump.
  double blink = 0;
  if (region == 'F' || region == 'f') {
    const uint64_t blinkSlot = uint64_t(t / kBlinkSlot);
    const uint64_t h = Hash((uint64_t(seed) << 32) ^ (blinkSlot + 0x5EED));
    const double at = double(blinkSlot) * kBlinkSlot + 1 + double(h % 3000) / 1000;
    if (h % 4 != 0 && t >= at && t < at + kBlinkSeconds)
      blink =
          (region == 'F' ? kBlinkUv : 0.4 * kBlinkUv) * std::pow(std::sin(kTwoPi / 2 * (t - at) / kBlinkSeconds), 2);
  }
  const double hum = kHumUv * std::sin(kTwoPi * 50 * t);
  return (background + alpha + blink + hum) * kCountsPerUv;
}

}  // namespace amx
