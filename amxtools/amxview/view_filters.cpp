// amxview: the view's filters as separate stages of the host library's
// chains, so that changing one leaves the others' state alone.
#include "viewer.h"

#include <cstdio>

namespace amxview {

namespace {

// The host library's text for stage i ("" when it is off).
std::string stage_text(const FilterSettings& f, int i)
{
  char text[96] = "";
  if (i == 0 && f.baseline) std::snprintf(text, sizeof text, "baseline:%g", f.baseline_hz);
  if (i == 1 && f.notch) std::snprintf(text, sizeof text, "notch:%d", f.notch_hz);
  if (i == 2 && f.band_stop) std::snprintf(text, sizeof text, "bs:%d:%g:%g", f.stop_order, f.stop_lo, f.stop_hi);
  if (i == 3 && f.band_pass) std::snprintf(text, sizeof text, "bp:%d:%g:%g", f.band_order, f.band_lo, f.band_hi);
  return text;
}

// Stage i's settings from one set into another.
void copy_stage(const FilterSettings& from, FilterSettings& to, int i)
{
  if (i == 0) to.baseline = from.baseline, to.baseline_hz = from.baseline_hz;
  if (i == 1) to.notch = from.notch, to.notch_hz = from.notch_hz;
  if (i == 2)
    to.band_stop = from.band_stop, to.stop_order = from.stop_order, to.stop_lo = from.stop_lo,
    to.stop_hi = from.stop_hi;
  if (i == 3)
    to.band_pass = from.band_pass, to.band_order = from.band_order, to.band_lo = from.band_lo,
    to.band_hi = from.band_hi;
}

const char* const kStageNames[ViewFilters::kStages] = {"baseline", "notch", "band-stop", "band-pass"};

}  // namespace

bool ViewFilters::update(FilterSettings& want, int rate, int channels, std::string& error)
{
  bool ok = true;
  for (int i = 0; i < kStages; ++i) {
    const std::string text = stage_text(want, i);
    if (built_ && text == stage_text(in_use, i)) continue;
    auto stage = std::make_unique<amxhost::ChannelFilters>();
    std::string why;
    if (!text.empty() && !stage->build({text}, rate, channels, why)) {
      // A previous design only counts at the same rate and channels.
      error = std::string(kStageNames[i]) + " refused (" + why +
              "): " + (built_ ? "the previous one stays" : "switched off");
      copy_stage(built_ ? in_use : FilterSettings{}, want, i);
      ok = false;
      if (built_) continue;
      stage = nullptr;
    }
    stages_[i] = text.empty() ? nullptr : std::move(stage);
    copy_stage(want, in_use, i);
  }
  built_ = true;
  return ok;
}

void ViewFilters::apply(int32_t* frames, int count, int channels)
{
  for (auto& stage : stages_)
    if (stage && count) stage->apply(frames, count, channels);
}

std::string ViewFilters::chain() const
{
  std::string text;
  for (int i = 0; i < kStages; ++i) {
    const std::string stage = stage_text(in_use, i);
    if (!stage.empty()) text += (text.empty() ? "" : " > ") + stage;
  }
  return text.empty() ? "none (raw samples)" : text;
}

}  // namespace amxview
