// amxhost: a recording session, the one path from an acquisition into a BDF+
// file for `amxctl record` and amxview's record button.
#include "amxhost.h"

namespace amxhost {

bool Recording::open(const std::string& path, const AmxDeviceInfo& info, const AmxInternalInfoRecord& ident, int rate)
{
  return file_.open(path, info, ident, rate);
}

bool Recording::set_labels(const std::vector<std::string>& labels)
{
  for (size_t c = 0; c < labels.size(); ++c)
    if (!file_.set_label(static_cast<int>(c), labels[c])) return false;
  return true;
}

bool Recording::add(const Acquisition& a, const int32_t* frames, int count)
{
  const size_t words = static_cast<size_t>(a.channels) + 1;
  const uint64_t before = file_.frames(), rate = static_cast<uint64_t>(file_.rate());
  if (before == 0 && count > 0) first_ = static_cast<uint32_t>(frames[a.channels]) & AMX_STATUS_SAMPLE_MASK;
  // The start time is set when the first data record is about to complete,
  // from the fit of all reads until then: the time of the first frame on the
  // host's monotonic clock, moved onto the wall clock.
  if (before < rate && before + static_cast<uint64_t>(count) >= rate) file_.set_start(frame_wall_time(a, first_));
  for (int i = 0; i < count; ++i)
    if (!file_.add(frames + static_cast<size_t>(i) * words)) return false;
  return true;
}

bool Recording::gap(uint64_t index, uint32_t missing, int32_t packets)
{
  // A file that starts with a gap starts at the first missing frame.
  if (file_.frames() == 0) first_ = static_cast<uint32_t>(index + 1) & AMX_STATUS_SAMPLE_MASK;
  file_.note_loss(file_.frames(), missing, packets);
  for (uint32_t i = 0; i < missing; ++i)
    if (!file_.add(nullptr)) return false;
  return true;
}

bool Recording::close(bool removed, bool failed)
{
  return file_.close(file_.frames(), g_stop    ? "Recording stop (interrupted)"
                                     : removed ? "Device removed"
                                     : failed  ? "Recording stop (failed)"
                                               : "Recording stop");
}

}  // namespace amxhost
