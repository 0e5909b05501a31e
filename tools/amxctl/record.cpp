// amxctl record: every channel of a device into a BDF+ file through edflib
// (24-bit samples hold the device's 22-bit counts losslessly), one-second data
// records written as they complete, annotations for start, gaps and stop.
#include "amxctl.h"

#include <cstdio>

#ifdef AMXCTL_HAVE_EDF
#include <edflib.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace amxctl {

namespace {
const int kDigitalMax = 8388607, kDigitalMin = -8388608;  // the 24-bit range
const int kMissing = kDigitalMin;                         // frames lost in transfer: a value no 22-bit count takes

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

// The file being written: per-channel buffers of one data record. edflib
// fills in the number of data records only when it closes the file; after
// every record the writer flushes the streams and puts the count into the
// header itself (through its own descriptor), so a file whose writer was
// killed still opens with every complete record (its annotations, which edflib
// adds on closing, are then missing).
struct BdfWriter {
  int handle = -1;
  int fd = -1;
  long long records = 0;
  bool failed = false;  // a write failed: nothing more goes to the file
  // Losses within one data record make one annotation (at the first of them):
  // edflib keeps a bounded number of annotations per record.
  bool loss_pending = false;
  uint64_t loss_at = 0, loss_frames = 0;
  int32_t loss_packets = 0;
  int channels = 0, rate = 0;
  std::vector<std::vector<int>> record;  // [channel][sample of the record]
  int fill = 0;
  uint64_t clipped = 0;
  std::string path;

  void note_loss(uint64_t index, uint32_t missing, int32_t packets)
  {
    if (!loss_pending) loss_at = index;
    loss_pending = true;
    loss_frames += missing;
    loss_packets += packets;
  }

  void annotate_loss()
  {
    if (!loss_pending) return;
    // (readers keep 40 characters of an annotation)
    annotate(loss_at,
             "Lost " + std::to_string(loss_packets) + " packets, " + std::to_string(loss_frames) + " frames missing");
    loss_pending = false;
    loss_frames = 0;
    loss_packets = 0;
  }

  bool flush_record()
  {
    annotate_loss();
    for (auto& samples : record) {
      if (edfwrite_digital_samples(handle, samples.data()) != 0) {
        failed = true;
        std::fprintf(stderr, "\namxctl: writing %s failed (%s): recording ended\n", path.c_str(),
                     errno ? std::strerror(errno) : "disk full?");
        return false;
      }
    }
    fill = 0;
    char count[24];  // the header field holds 8 characters: 99999999 records, over three years
    std::snprintf(count, sizeof count, "%-8lld", ++records);
    if (std::fflush(nullptr) != 0 || pwrite(fd, count, 8, 236) != 8) {
      failed = true;
      std::fprintf(stderr, "\namxctl: writing %s failed (%s): recording ended\n", path.c_str(), std::strerror(errno));
      return false;
    }
    return true;
  }

  bool add(const int32_t* frame)  // channel counts, or nullptr for a missing frame
  {
    for (int c = 0; c < channels; ++c) {
      int v = kMissing;
      if (frame) {
        // Invalid samples (0x7FFFFFFF) and counts beyond 24 bits store as the range ends.
        int32_t s = frame[c];
        v = s > kDigitalMax ? kDigitalMax : s < kDigitalMin + 1 ? kDigitalMin + 1 : s;
        if (v != s && s != 0x7FFFFFFF) ++clipped;
      }
      record[c][fill] = v;
    }
    return ++fill < rate || flush_record();
  }

  bool annotate(uint64_t frame_index, const std::string& text)
  {
    long long onset = static_cast<long long>(frame_index * 10000 / static_cast<uint64_t>(rate));
    return edfwrite_annotation_utf8(handle, onset, -1, text.c_str()) == 0;
  }
};
}  // namespace

int cmd_record(int argc, char** argv)
{
  Args args;
  bool done;
  if (int rc = parse_command(argc, argv, {{"rate", true}, {"seconds", true}, {"quiet", false}}, 2, 2, args, done);
      rc || done)
    return rc;
  double seconds = 0;
  if (args.has("seconds") && (!parse_double(args.last("seconds"), seconds) || seconds < 0)) {
    std::fprintf(stderr, "amxctl: bad --seconds \"%s\"\n", args.last("seconds").c_str());
    return kExitUsage;
  }
  long long rate_arg = 0;
  if (args.has("rate") && !parse_int(args.last("rate"), 1, INT32_MAX, rate_arg)) {
    std::fprintf(stderr, "amxctl: bad --rate \"%s\"\n", args.last("rate").c_str());
    return kExitUsage;
  }
  int32_t id;
  if (int rc = open_device(args.positional[0], id)) return rc;
  if (rate_arg) {
    int32_t status = AmxSetSampling(id, static_cast<int32_t>(rate_arg));
    if (status != AMX_OK) return fail("sampling rate " + std::to_string(rate_arg) + " (125, 250, 500 or 1000)", status);
  }
  AmxDeviceInfo info{};
  AmxInternalInfoRecord ident{};
  int32_t rate = 0;
  if (int rc = device_info(id, info)) return rc;
  if (int32_t status = AmxGetSampling(id, &rate); status != AMX_OK || rate <= 0)
    return fail("reading the sampling rate", status);
  AmxInternalInfo(id, &ident, sizeof ident);

  BdfWriter w;
  w.path = args.positional[1];
  w.channels = info.channelCount;
  w.rate = rate;
  w.record.assign(static_cast<size_t>(w.channels), std::vector<int>(static_cast<size_t>(rate)));
  errno = 0;
  w.handle = edfopen_file_writeonly(w.path.c_str(), EDFLIB_FILETYPE_BDFPLUS, w.channels);
  if (w.handle < 0) return fail("cannot record to " + w.path + ": " + edf_error(w.handle));
  w.fd = open(w.path.c_str(), O_WRONLY);
  const double uv_per_count = info.voltsPerCount * 1e6;
  bool ok = w.fd >= 0;
  for (int c = 0; c < w.channels && ok; ++c) {
    std::string label = "Ch" + std::to_string(c + 1);
    ok = edf_set_samplefrequency(w.handle, c, rate) == 0 && edf_set_digital_maximum(w.handle, c, kDigitalMax) == 0 &&
         edf_set_digital_minimum(w.handle, c, kDigitalMin) == 0 &&
         edf_set_physical_maximum(w.handle, c, kDigitalMax * uv_per_count) == 0 &&
         edf_set_physical_minimum(w.handle, c, kDigitalMin * uv_per_count) == 0 &&
         edf_set_label(w.handle, c, label.c_str()) == 0 && edf_set_physical_dimension(w.handle, c, "uV") == 0;
  }
  std::string equipment =
      "Amvex kind " + std::to_string(ident.deviceKind) + " rev " + std::to_string(ident.deviceRevision);
  // Room for start, one loss and stop annotations in one record.
  ok = ok && edf_set_equipment(w.handle, equipment.c_str()) == 0 &&
       edf_set_number_of_annotation_signals(w.handle, 4) == 0 && w.annotate(0, "Recording start");
  if (!ok) {
    edfclose_file(w.handle);
    if (w.fd >= 0) close(w.fd);
    return fail("cannot set up the BDF+ header of " + w.path);
  }

  Acquisition a;
  a.id = id;
  a.channels = w.channels;
  a.rate = rate;
  a.seconds = seconds;
  a.quiet = args.has("quiet");
  a.verb = "recorded";
  const int words = w.channels + 1;
  a.on_frames = [&](const int32_t* frames, int count) {
    for (int i = 0; i < count; ++i)
      if (!w.add(frames + static_cast<size_t>(i) * words)) return false;
    return true;
  };
  a.on_gap = [&](uint64_t index, uint32_t missing, int32_t lost) {
    w.note_loss(index, missing, lost);
    for (uint32_t i = 0; i < missing; ++i)
      if (!w.add(nullptr)) return false;
    return true;
  };
  int rc = acquire(a);
  w.annotate_loss();
  // The last record is completed with missing-frame values after the stop
  // mark, also when the device failed: the frames read so far are kept.
  w.annotate(a.frames, g_stop ? "Recording stop (interrupted)" : rc ? "Recording stop (failed)" : "Recording stop");
  while (w.fill > 0 && !w.failed)
    if (!w.add(nullptr)) rc = kExitFailed;
  close(w.fd);
  if (edfclose_file(w.handle) != 0 && rc == 0) rc = fail("closing " + w.path + " failed");
  std::fprintf(stderr, "%s: %llu frames (%.1f s) at %d samples/s, %d packet(s) lost, %llu frame(s) missing%s",
               w.path.c_str(), static_cast<unsigned long long>(a.frames), static_cast<double>(a.frames) / rate,
               static_cast<int>(rate), static_cast<int>(a.lost_packets), static_cast<unsigned long long>(a.missing),
               a.missing ? " (annotated)" : "");
  if (w.clipped)
    std::fprintf(stderr, ", %llu sample(s) beyond 24 bits clipped", static_cast<unsigned long long>(w.clipped));
  std::fprintf(stderr, "\n");
  return rc;
}

}  // namespace amxctl

#else  // no edflib (the Windows build)

namespace amxctl {
int cmd_record(int, char**) { return fail("this build of amxctl has no BDF+ writer (edflib); record is unavailable"); }
}  // namespace amxctl

#endif
