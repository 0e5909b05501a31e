// amxhost: a recording session, the one path from an acquisition into a BDF+
// file for `amxctl record` and amxview's record button.
#include "amxhost.h"

namespace amxhost {

bool Recording::open(const std::string& path, const AmxDeviceInfo& info, const AmxInternalInfoRecord& ident, int rate,
                     bool replace, const std::string& start_text)
{
  return file_.open(path, info, ident, rate, replace, start_text);
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
  // The start time from the stamps of the frames received while the first data
  // record fills (so also when a gap completes it), counted back to the file's
  // first frame: the newest stamp, as the fit behind them learns from every
  // read (a stamp right after a start is tens of ms late).
  const uint64_t before = file_.frames();
  if (count > 0 && before < static_cast<uint64_t>(file_.rate()))
    file_.set_start(wall_time(a.times.back()) -
                    static_cast<double>(before + static_cast<uint64_t>(count) - 1) / file_.rate());
  for (int i = 0; i < count; ++i)
    if (!file_.add(frames + static_cast<size_t>(i) * words)) return false;
  return true;
}

bool Recording::gap(uint32_t missing, int32_t packets)
{
  file_.note_loss(file_.frames(), missing, packets);
  for (uint32_t i = 0; i < missing; ++i)
    if (!file_.add(nullptr)) return false;
  return true;
}

bool Recording::close(bool removed, bool failed, const std::string& stop_text)
{
  if (!stop_text.empty()) return file_.close(file_.frames(), stop_text);
  return file_.close(file_.frames(), g_stop    ? "Recording stop (interrupted)"
                                     : removed ? "Device removed"
                                     : failed  ? "Recording stop (failed)"
                                               : "Recording stop");
}

}  // namespace amxhost
