// eeg_model.h: the EEG-like input of an emulated amplifier (AMVEX_EMULATE
// signal=eeg): a 1/f background, alpha bursts strongest over the posterior
// electrodes, a small mains hum and blinks on the frontal ones. Deterministic
// for a seed; the shape is documented in docs/amvex.md.
#pragma once
#include <cstdint>
#include <vector>

namespace amx {

// The background's state: the low-pass stages of every channel. A device keeps
// one; the first sample of a start (s = 0) clears a channel's stages.
constexpr int kEmuEegStages = 8;
struct TEmuEeg {
  uint32_t Rate = 0;
  double Gain[kEmuEegStages] = {}, Drive[kEmuEegStages] = {};  // per stage, for Rate
  std::vector<double> Stages;                                  // [channel][stage]
};

// Where channel c of a device with `channels` channels sits by the 10-20 names
// of the documented default montage: 'F' frontal pole (Fp, AF: full blinks), 'f'
// frontal (F: weaker blinks), 'P' posterior (P, PO, O: strong alpha), '-'
// elsewhere (and for channel counts without a montage).
char EmuEegRegion(int channels, int channel);
// Channel c's input at sample s (nominal counts; called for every channel of
// every sample in order).
double EmuEegSignal(TEmuEeg& state, int channels, int channel, uint32_t sample, uint32_t rate, uint32_t seed);

}  // namespace amx
