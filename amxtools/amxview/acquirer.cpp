// amxview: the device list and the host library's acquisition loop on a
// thread of its own, feeding the window's queue and the recording.
#include "viewer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace amxview {

std::vector<DeviceEntry> scan_devices(const std::vector<DeviceEntry>& known)
{
  std::vector<DeviceEntry> list;
  const int32_t count = GetAmxCount();
  for (int32_t i = 0; i < count; ++i) {
    const int32_t id = GetAmxID(i);
    if (id == 0) continue;  // unplugged meanwhile
    auto old = std::find_if(known.begin(), known.end(), [&](const DeviceEntry& d) { return d.id == id; });
    if (old != known.end() && old->ok) {
      list.push_back(*old);
      continue;
    }
    DeviceEntry d;
    d.id = id;
    d.ok = AmxOpen(id) == AMX_OK && AmxInfo(id, &d.info, sizeof d.info) == AMX_OK &&
           AmxInternalInfo(id, &d.ident, sizeof d.ident) == AMX_OK &&
           AmxGetCalibrateFlag(id, &d.calibrated) == AMX_OK && d.info.channelCount > 0 && d.info.channelCount <= 256;
    list.push_back(d);
  }
  return list;
}

bool Acquirer::start(int32_t device, int channel_count, int sample_rate, bool impedance_mode, std::string& error)
{
  stop();
  id = device;
  channels = channel_count;
  rate = sample_rate;
  impedance = impedance_mode;
  if (impedance) {
    // The library measures against the reference channel it has; a reference
    // the frames do not carry would make every window invalid.
    int32_t ref = -1;
    if (AmxGetImpedanceRef(id, &ref) != AMX_OK || ref < 0 || ref >= channels) {
      error = "no usable impedance reference channel";
      return false;
    }
  }
  stop_ = false;
  result = 0;
  frames = missing = 0;
  lost_packets = 0;
  removed = false;
  queued_.clear();
  queued_losses_.clear();
  source_.clear();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    remote_ = RemoteStatus{};
    header_new_ = false;
  }
  running = true;
  thread_ = std::thread([this] { run(); });
  return true;
}

bool Acquirer::take_header(amxnet::Message& header)
{
  std::lock_guard<std::mutex> lock(mutex_);
  if (!header_new_) return false;
  header = header_;
  header_new_ = false;
  return true;
}

void Acquirer::header_taken() { header_waiting_ = false; }

RemoteStatus Acquirer::remote_status() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return remote_;
}

void Discovery::stop()
{
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

void Discovery::take(std::vector<amxnet::Announcement>& heard, std::string& error)
{
  std::lock_guard<std::mutex> lock(mutex_);
  heard.swap(heard_);
  heard_.clear();
  error = error_;
}

void Acquirer::run()
{
  amxhost::Acquisition a(id, channels, rate, 0, true);
  const size_t words = static_cast<size_t>(channels) + 1;
  a.on_frames = [&](const int32_t* block, int count) {
    std::lock_guard<std::mutex> lock(mutex_);
    queued_.insert(queued_.end(), block, block + count * words);
    if (recording_) recording_->add(a, block, count);  // a failed write shows in recording_state
    frames = a.frames + static_cast<uint64_t>(count);
    return !stop_;
  };
  a.on_gap = [&](uint64_t index, uint32_t gap, int32_t packets) {
    std::lock_guard<std::mutex> lock(mutex_);
    queued_losses_.push_back({index, gap, packets});
    if (recording_) recording_->gap(gap, packets);
    missing = a.missing + gap;
    lost_packets = a.lost_packets + packets;
    return !stop_;
  };
  const int rc = amxhost::acquire(a, impedance ? AmxMeasureImpedanceStart : AmxStart);
  if (impedance) AmxMeasureImpedanceStop(id);
  frames = a.frames;
  missing = a.missing;
  lost_packets = a.lost_packets;
  removed = a.removed;
  result = stop_ ? 0 : rc;
  running = false;
}

void Acquirer::stop()
{
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

void Acquirer::take(std::vector<int32_t>& out, std::vector<Loss>& losses)
{
  std::lock_guard<std::mutex> lock(mutex_);
  out.swap(queued_);
  losses.swap(queued_losses_);
  queued_.clear();
  queued_losses_.clear();
}

bool Acquirer::start_recording(const std::string& path, const AmxDeviceInfo& info, const AmxInternalInfoRecord& ident,
                               int sample_rate, const std::vector<std::string>& labels, bool replace,
                               std::string& error, const std::string& start_text)
{
  // The recorder takes the name only with the first data record, and then
  // only if it is still free (unless replace).
  auto r = std::make_unique<amxhost::Recording>();
  if (!r->open(path, info, ident, sample_rate, replace, start_text) || !r->set_labels(labels)) {
    error = r->file().error().empty() ? "cannot label the signals of " + path : r->file().error();
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  recording_ = std::move(r);
  return true;
}

bool Acquirer::stop_recording(std::string& error, const std::string& stop_text)
{
  std::unique_ptr<amxhost::Recording> r;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    r.swap(recording_);
  }
  if (!r) return true;
  const bool had_error = !r->file().error().empty();
  bool ok = r->close(removed, !running && result != 0, stop_text);
  error = r->file().error();
  return ok && !had_error;
}

bool Acquirer::mark(const std::string& text)
{
  std::lock_guard<std::mutex> lock(mutex_);
  return recording_ && recording_->mark(text);
}

bool Acquirer::recording() const
{
  std::lock_guard<std::mutex> lock(mutex_);
  return recording_ != nullptr;
}

void Acquirer::recording_state(uint64_t& frame_count, uint64_t& bytes, std::string& error) const
{
  std::lock_guard<std::mutex> lock(mutex_);
  const amxhost::BdfRecorder* file = recording_ ? &recording_->file() : nullptr;
  frame_count = file ? file->frames() : 0;
  error = file ? file->error() : "";
  struct stat st {};
  bytes = file && stat(file->path().c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

}  // namespace amxview
