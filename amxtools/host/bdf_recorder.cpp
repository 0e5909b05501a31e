// amxhost: the BDF+ recorder shared by `amxctl record` and amxview's record
// button, written through edflib.
#include "amxhost.h"

#include <edflib.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

#ifdef _WIN32
#include <process.h>
#include <windows.h>
// No pwrite on Windows: the descriptor is the recorder's own, so a seek then a
// write does the same. Binary mode: the C runtime must not touch the bytes.
static int pwrite(int fd, const void* data, unsigned size, long offset)
{
  return _lseek(fd, offset, SEEK_SET) == offset ? _write(fd, data, size) : -1;
}
#define getpid _getpid
#else
#define O_BINARY 0
#endif

namespace amxhost {

namespace {
// Readers turn a stored count d into d x (pmax - pmin) / (dmax - dmin) plus an
// offset. Digital and physical limits of +-D and +-P give no offset and a scale
// of P / D; P must fit the header's 8 characters with its sign, and only whole
// numbers survive them exactly. So D is the largest of the 65536 values up to
// 2^23 - 1 for which D x uV-per-count is closest to a whole number of at most 7
// digits: at the devices' gains the scale then matches within 1e-10.
void choose_limits(double uv_per_count, int& digital, double& physical)
{
  digital = 0;
  physical = 0;
  if (!(uv_per_count > 0)) return;  // (the header then cannot be set up)
  const int top = static_cast<int>(std::min(8388607.0, 9999999.0 / uv_per_count));
  double best = 2;
  for (int d = top; d > 0 && d > top - 65536 && best > 1e-12; --d) {
    double p = std::round(d * uv_per_count), error = std::abs(p / d - uv_per_count) / uv_per_count;
    if (p >= 1 && error < best) {
      best = error;
      digital = d;
      physical = p;
    }
  }
}

// Creates an empty file of a new name beside path for the recording to fill.
bool make_temporary(const std::string& path, std::string& temporary)
{
  for (int k = 0; k < 100; ++k) {
    temporary = path + "." + std::to_string(getpid()) + "-" + std::to_string(k) + ".part";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_BINARY, 0644);
    if (fd >= 0) return ::close(fd) == 0;
    if (errno != EEXIST) return false;
  }
  return false;
}

// Puts the temporary file at path: replacing what is there, or only if
// nothing is (atomically, where the file system has hard links).
bool move_into_place(const std::string& temporary, const std::string& path, bool replace)
{
#ifdef _WIN32
  return MoveFileExA(temporary.c_str(), path.c_str(), replace ? MOVEFILE_REPLACE_EXISTING : 0) != 0;
#else
  if (replace) return std::rename(temporary.c_str(), path.c_str()) == 0;
  if (::link(temporary.c_str(), path.c_str()) == 0) {
    ::unlink(temporary.c_str());
    return true;
  }
  if (errno == EEXIST) return false;
  if (output_kind(path) != OutputKind::Missing) return errno = EEXIST, false;
  return std::rename(temporary.c_str(), path.c_str()) == 0;  // no hard links on this file system
#endif
}

std::string edf_error(int code)
{
  switch (code) {
    case EDFLIB_MALLOC_ERROR: return "out of memory";
    case EDFLIB_NO_SUCH_FILE_OR_DIRECTORY: return std::string("cannot create the file (") + std::strerror(errno) + ")";
    case EDFLIB_MAXFILES_REACHED: return "too many open files";
    case EDFLIB_FILE_ALREADY_OPENED: return "the file is already open";
    case EDFLIB_NUMBER_OF_SIGNALS_INVALID: return "too many channels for BDF+";
    default: return "edflib error " + std::to_string(code);
  }
}
}  // namespace

BdfRecorder::~BdfRecorder()
{
  if (fd_ >= 0) ::close(fd_);
  if (handle_ >= 0) edfclose_file(handle_);
  if (records_ == 0) discard();  // never closed, and nothing in it
}

bool BdfRecorder::open(const std::string& path, const AmxDeviceInfo& info, const AmxInternalInfoRecord& ident, int rate,
                       bool replace, const std::string& start_text)
{
  path_ = path;
  replace_ = replace;
  temporary_.clear();
  channels_ = info.channelCount;
  rate_ = rate;
  records_ = 0;
  fill_ = 0;
  clipped_ = 0;
  failed_ = false;
  loss_frames_ = 0;
  loss_packets_ = 0;
  error_.clear();
  record_.assign(static_cast<size_t>(channels_), std::vector<int>(static_cast<size_t>(rate)));
  // A file is written under a temporary name beside it and put in place with
  // its first data record, so a start that fails leaves what was there (and
  // no new file). A device such as /dev/null is written to directly; a pipe
  // cannot take the header's record count, which is written last.
  const OutputKind kind = output_kind(path);
  if (kind == OutputKind::Other) {
    error_ = "cannot record to " + path + ": not a regular file";
    return false;
  }
  if (kind == OutputKind::File && !replace) {
    error_ = path + " exists: not replaced (choose another name)";
    return false;
  }
  errno = 0;
  if (kind != OutputKind::Device && !make_temporary(path, temporary_)) {
    error_ = "cannot record to " + path + ": " + edf_error(EDFLIB_NO_SUCH_FILE_OR_DIRECTORY);
    temporary_.clear();
    return false;
  }
  const std::string& target = temporary_.empty() ? path : temporary_;
  handle_ = edfopen_file_writeonly(target.c_str(), EDFLIB_FILETYPE_BDFPLUS, channels_);
  if (handle_ < 0) {
    error_ = "cannot record to " + path + ": " + edf_error(handle_);
    discard();
    return false;
  }
  fd_ = ::open(target.c_str(), O_WRONLY | O_BINARY);
  digital_max_.assign(static_cast<size_t>(channels_), 0);
  bool ok = fd_ >= 0;
  for (int c = 0; c < channels_ && ok; ++c) {
    std::string label = "Ch" + std::to_string(c + 1);
    ok = edf_set_samplefrequency(handle_, c, rate) == 0 && set_scale(c, info.voltsPerCount) &&
         edf_set_label(handle_, c, label.c_str()) == 0 && edf_set_physical_dimension(handle_, c, "uV") == 0;
  }
  std::string equipment =
      "Amvex kind " + std::to_string(ident.deviceKind) + " rev " + std::to_string(ident.deviceRevision);
  // Room for start, one loss and stop annotations in one record, and the
  // warning about a device that did not identify itself before them.
  const bool known = identified(ident);
  ok = ok && edf_set_equipment(handle_, equipment.c_str()) == 0 &&
       edf_set_number_of_annotation_signals(handle_, known ? 4 : 5) == 0 && (known || annotate(0, kUnidentifiedNote)) &&
       annotate(0, start_text);
  if (!ok) {
    edfclose_file(handle_);
    handle_ = -1;
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    discard();
    error_ = "cannot set up the BDF+ header of " + path;
  }
  return ok;
}

void BdfRecorder::discard()
{
  if (!temporary_.empty()) std::remove(temporary_.c_str());
  temporary_.clear();
}

bool BdfRecorder::place()
{
  if (temporary_.empty()) return true;
  if (!move_into_place(temporary_, path_, replace_)) {
    failed_ = true;
    if (error_.empty())
      error_ = errno == EEXIST
                   ? path_ + " exists: not replaced (choose another name); the recording is in " + temporary_
                   : "cannot put the recording at " + path_ + " (" + std::strerror(errno) + "); it is in " + temporary_;
    return false;
  }
  temporary_.clear();
  return true;
}

bool BdfRecorder::set_start(double unix_seconds)
{
  if (handle_ < 0 || records_ > 0 || !std::isfinite(unix_seconds) || unix_seconds < 0) return false;
  // The fraction in whole 0.1 ms: edflib writes annotation onsets to 0.1 ms
  // after adding it, so a finer one would shift every annotation.
  long long tenths_ms = std::llround(unix_seconds * 1e4);
  time_t t = static_cast<time_t>(tenths_ms / 10000);
  std::tm local{};
  return localtime_r(&t, &local) &&
         edf_set_startdatetime(handle_, local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                               local.tm_min, local.tm_sec) == 0 &&
         edf_set_subsecond_starttime(handle_, static_cast<int>(tenths_ms % 10000) * 1000) == 0;
}

void BdfRecorder::note_loss(uint64_t index, uint32_t missing, int32_t packets)
{
  loss_packets_ += packets;
  if (missing == 0) return;
  if (loss_frames_ == 0) loss_at_ = index;
  loss_frames_ += missing;
}

void BdfRecorder::annotate_loss()
{
  // (readers keep 40 characters of an annotation)
  annotate(loss_at_,
           "Lost " + std::to_string(loss_packets_) + " packets, " + std::to_string(loss_frames_) + " frames missing");
  loss_frames_ = 0;
  loss_packets_ = 0;
}

bool BdfRecorder::write_failed(const char* reason)
{
  failed_ = true;
  error_ = "writing " + path_ + " failed (" + reason + "): recording ended";
  return false;
}

bool BdfRecorder::flush_record()
{
  // Packets reported without missing frames in this record yet go with the
  // next record's missing frames.
  if (loss_frames_ > 0) annotate_loss();
  for (auto& samples : record_)
    if (edfwrite_digital_samples(handle_, samples.data()) != 0)
      return write_failed(errno ? std::strerror(errno) : "disk full?");
  fill_ = 0;
  char count[24];  // the header field holds 8 characters: 99999999 s
  std::snprintf(count, sizeof count, "%-8lld", ++records_);
  if (std::fflush(nullptr) != 0 || pwrite(fd_, count, 8, 236) != 8) return write_failed(std::strerror(errno));
#ifndef _WIN32
  // (Windows cannot rename a file that is open: there it is put in place on closing.)
  if (records_ == 1) return place();
#endif
  return true;
}

bool BdfRecorder::add(const int32_t* frame)
{
  if (failed_) return false;
  for (int c = 0; c < channels_; ++c) {
    // The range ends mark what is not a measurement: missing frames its
    // minimum, invalid samples its maximum. Counts beyond (never 22-bit ones)
    // store next to them.
    const int top = digital_max_[static_cast<size_t>(c)];
    int v = -top;
    if (frame && frame[c] == AMX_INVALID_SAMPLE) {
      v = top;
    } else if (frame && frame[c] != kMissingSample) {
      v = std::clamp(frame[c], 1 - top, top - 1);
      if (v != frame[c]) ++clipped_;
    }
    record_[c][fill_] = v;
  }
  return ++fill_ < rate_ || flush_record();
}

bool BdfRecorder::set_scale(int channel, double volts_per_count)
{
  if (handle_ < 0 || records_ > 0 || channel < 0 || channel >= channels_) return false;
  int& digital = digital_max_[static_cast<size_t>(channel)];
  double physical = 0;
  choose_limits(volts_per_count * 1e6, digital, physical);
  return edf_set_digital_maximum(handle_, channel, digital) == 0 &&
         edf_set_digital_minimum(handle_, channel, -digital) == 0 &&
         edf_set_physical_maximum(handle_, channel, physical) == 0 &&
         edf_set_physical_minimum(handle_, channel, -physical) == 0;
}

bool BdfRecorder::set_label(int channel, const std::string& label)
{
  return handle_ >= 0 && records_ == 0 && channel >= 0 && channel < channels_ &&
         edf_set_label(handle_, channel, label.c_str()) == 0;
}

bool BdfRecorder::mark_at(uint64_t index, const std::string& text) { return handle_ >= 0 && annotate(index, text); }

bool BdfRecorder::annotate(uint64_t frame_index, const std::string& text)
{
  long long onset = static_cast<long long>(frame_index * 10000 / static_cast<uint64_t>(rate_));
#ifdef AMXHOST_EDF_ANNOTATION_US
  // The same 0.1 ms onset in microseconds, so every edflib writes the same file.
  return edfwrite_annotation_utf8_hr(handle_, onset * 100, -1, text.c_str()) == 0;
#else
  return edfwrite_annotation_utf8(handle_, onset, -1, text.c_str()) == 0;
#endif
}

bool BdfRecorder::close(uint64_t index, const std::string& stop_text)
{
  if (handle_ < 0) return false;
  // Packets whose frames never showed as missing were lost at the end.
  if (loss_frames_ == 0) loss_at_ = index;
  if (loss_frames_ > 0 || loss_packets_ > 0) annotate_loss();
  // The last record is completed with missing-frame values after the stop
  // mark: the frames added so far are kept.
  annotate(index, stop_text);
  while (fill_ > 0 && add(nullptr)) {}
  ::close(fd_);
  fd_ = -1;
  bool closed = edfclose_file(handle_) == 0;
  handle_ = -1;
  if (!closed && !failed_) error_ = "closing " + path_ + " failed";
  if (records_ == 0) {
    // Not a frame came (the start failed): nothing replaces what was there.
    discard();
    if (!failed_) error_ = "nothing recorded: " + path_ + " not written";
    return false;
  }
  // (Placed already with the first record, except on Windows; the frames
  // recorded before a failed write are kept too.)
  return place() && closed && !failed_;
}

}  // namespace amxhost
