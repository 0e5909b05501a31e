// amxhost: what both host programs (amxctl, amxview) share beyond amvex.h:
// status messages and command-line values, the choice of a device, the stop
// flag, the acquisition loop, the library's filter chains, the good / fair /
// bad classification of electrode impedances, and the BDF+ recorder with the
// recording session feeding it. Where edflib is missing (AMXHOST_HAVE_EDF not
// defined) the recorder refuses to open with kNoRecorder.
#pragma once
#include "amvex.h"
#include "amvex_clock.h"

#include <atomic>
#include <csignal>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace amxhost {

// ---- Messages and command-line values

// Exit codes: 0 done, 1 the device or a file failed, 2 bad arguments.
enum { kExitFailed = 1, kExitUsage = 2 };

// AmxStatusName for the codes of AmxStatus; "status N" otherwise.
std::string status_name(int32_t status);
// The program's name that starts its messages on standard error ("amxctl"
// unless the program sets its own before any message).
extern const char* g_program;
// Prints "<program>: <what>: <status name>" and returns kExitFailed.
int fail(const std::string& what, int32_t status);
// Prints "<program>: <message>" and returns kExitFailed.
int fail(const std::string& message);

// A command line: options are "--name value", "--name=value" or flags; every
// option may repeat (the values are kept in order).
struct Args {
  std::vector<std::string> positional;
  std::map<std::string, std::vector<std::string>> options;
  bool has(const std::string& name) const { return options.count(name) != 0; }
  std::string last(const std::string& name, const std::string& fallback = "") const;
};
// known: option name (without "--") -> takes a value. "--help"/"-h" set the
// option "help". Returns false with a message in error for anything else.
bool parse_args(int argc, char** argv, const std::map<std::string, bool>& known, Args& out, std::string& error);
bool parse_int(const std::string& text, long long lo, long long hi, long long& value);
bool parse_double(const std::string& text, double& value);

// ---- Devices

// What a device argument names: "ID" (an identifier from `amxctl list`) or
// "@N", the N-th of count devices (from 0), whose identifier is id_at(N).
enum class DeviceChoice { Found, Bad, Missing };
// Found with id set; Bad for neither form; Missing for an @N beyond count.
DeviceChoice choose_device(const std::string& arg, int32_t count, const std::function<int32_t(int32_t)>& id_at,
                           int32_t& id);
// "bad device "ARG": give an identifier from `amxctl list` or @INDEX".
std::string bad_device_text(const std::string& arg);

// A device that never answered the identification query reads kind 0 and
// revision 0 after AmxOpen or AmxInfo; the library then treats it as a
// 40-channel device without calibration, so its channel count and scale may
// be wrong. False for such a device.
bool identified(const AmxInternalInfoRecord& ident);
// What the tools say about it: on standard error and in the status bar, and
// (within the 40 characters BDF+ readers keep) as a recording's first annotation.
constexpr const char* kUnidentifiedWarning =
    "the device did not identify itself (kind 0, revision 0): treated as a 40-channel device without calibration, "
    "so its channel count and scale may be wrong";
constexpr const char* kUnidentifiedNote = "Unidentified device: 40 ch, uncalibrated";

// ---- Stopping and time

// Set by SIGINT/SIGTERM (Ctrl-C): long-running acquisitions stop cleanly.
// Atomic (and lock-free, so a signal handler may set it): amxview reads it on
// two threads.
extern std::atomic<bool> g_stop;
static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is set by a signal handler");
void install_stop_handler();
void sleep_ms(int ms);
double now_seconds();  // the monotonic clock

// ---- Acquisition

// The acquisition loop. Frames are handed out in blocks of whole frames
// (channels + 1 words), in sample-number order; lost packets and jumps in the
// sample numbers are reported first.
struct Acquisition {
  Acquisition(int32_t device, int channel_count, int sample_rate, double duration = 0, bool no_status = false)
      : id(device), channels(channel_count), rate(sample_rate), seconds(duration), quiet(no_status)
  {}
  int32_t id;
  int channels;
  int rate;
  double seconds;  // 0: until Ctrl-C
  bool quiet;      // no status line on standard error
  const char* verb = "streamed";
  // Return false to stop (the callee printed why).
  std::function<bool(const int32_t* frames, int count)> on_frames;
  // Before frame index: `missing` frames skipped by the sample numbers, or
  // `lost_packets` more packets the library reports lost (AmxDebugState).
  std::function<bool(uint64_t index, uint32_t missing, int32_t lost_packets)> on_gap;
  std::function<void()> on_tick;  // once a second (impedance table)
  // Host times of the frames (now_seconds()): fed with every run of
  // consecutive frames of a read before the run is handed out.
  AmxClock clock{};
  // During on_frames: the host time of each frame handed out (AmxClockStamp,
  // every frame once, in order: never going back).
  std::vector<double> times;
  // Results.
  uint64_t frames = 0;   // frames delivered plus frames missing
  uint64_t missing = 0;  // frames missing in gaps
  int32_t lost_packets = 0;
  double elapsed = 0;
  bool removed = false;  // the device left the library's list (unplugged)
};
// A host time (now_seconds(), such as a frame's stamp) as wall-clock time
// (seconds since 1970).
double wall_time(double host_seconds);
// Starts the device (the rate is already set), runs until seconds of sample
// numbers have passed, Ctrl-C or a callback refuses, stops the device. Returns
// 0 or the exit code after a message. start replaces AmxStart (impedance).
int acquire(Acquisition& a, const std::function<int32_t(int32_t)>& start = AmxStart);

// ---- Filters

// One library filter of a chain; kind is the family's letter (B, W, A, H).
struct Filter {
  char kind;
  uint32_t handle;
};
// Builds the filter that text describes for one channel at rate: lp:ORDER:F,
// hp:ORDER:F, bp:ORDER:F1:F2, bs:ORDER:F1:F2, notch:F, window:F, baseline:F.
// False with a message in error.
bool make_filter(const std::string& text, int rate, Filter& out, std::string& error);

// Per-channel filter chains over blocks of interleaved frames. Invalid samples
// are held at the channel's last valid value on their way through the filters
// (so they add no step) and come out marked invalid again.
struct ChannelFilters {
  std::vector<std::vector<Filter>> chains;
  std::vector<int32_t> held, column;
  std::vector<char> invalid;

  ChannelFilters() = default;
  ChannelFilters(const ChannelFilters&) = delete;
  ChannelFilters& operator=(const ChannelFilters&) = delete;
  ~ChannelFilters();
  // One chain per channel of the filters texts describe, in their order.
  bool build(const std::vector<std::string>& texts, int rate, int channels, std::string& error);
  void apply(int32_t* frames, int count, int channels);
};

// ---- Electrode impedances

enum class Electrode { Reference, Invalid, Waiting, Good, Fair, Bad };

// Default thresholds in kOhm: good at or below the first, bad above the second.
constexpr double kGoodKohm = 10, kBadKohm = 50;

// A measured impedance as the tools show it: kOhm rounded to one decimal
// (halves up). The class is that of the value shown.
double shown_kohm(int32_t ohms);
// The class of channel's value from AmxMeasureImpedanceRead on any kind of
// device: -1 (-1001 on kinds 7 and 8) an invalid window, 0 (-1000) and other
// values up to 0 no window complete yet; the reference channel (from
// AmxGetImpedanceRef) is the reference whatever it reads.
Electrode classify(int channel, int reference, int32_t ohms, double good_kohm, double bad_kohm);
// "REF", "invalid", "waiting", "good", "fair" or "BAD".
const char* electrode_name(Electrode e);
// Thresholds are usable when 0 < good <= bad.
bool thresholds_valid(double good_kohm, double bad_kohm);

// ---- Electrode names

// The default names for a channel count: 10-20 (and 10-10) positions for 16,
// 20, 24 and 40 channels (docs/amxtools.md lists them), "Ch1".."ChN" otherwise.
std::vector<std::string> default_montage(int channels);
// A montage file: one name per line (surrounding blanks, blank lines and '#'
// comment lines skipped), in channel order, printable ASCII of at most 16
// characters, each once, at most channels names; channels it leaves out are
// named "ChN". False with error naming the file and line.
bool read_montage(const std::string& path, int channels, std::vector<std::string>& names, std::string& error);

// ---- BDF+ recording

// Why a build without edflib cannot record (also for the programs' help).
constexpr const char* kNoRecorder =
    "this build has no BDF+ writer (edflib was not available): recording is unavailable";

// Every channel of a device into a BDF+ file through edflib (24-bit samples
// hold the device's 22-bit counts losslessly, missing frames store as the
// digital minimum, invalid samples as the maximum), one-second data records
// written as they complete, annotations for start, losses and stop.
//
// edflib fills in the number of data records only when it closes the file;
// after every record the recorder flushes the streams and puts the count into
// the header itself (through its own descriptor), so a file whose writer was
// killed still opens with every complete record (its annotations, which edflib
// adds on closing, are then missing).
// What a recording's path names now: nothing, a file (or a symbolic link,
// even a dangling one), a device that is written to (/dev/null), or something
// that cannot take a recording (a pipe, a folder).
enum class OutputKind { Missing, File, Device, Other };
OutputKind output_kind(const std::string& path);
// A channel's value in a frame handed to BdfRecorder::add that marks the
// sample missing (stored as a missing frame's are); never a 22-bit count.
constexpr int32_t kMissingSample = INT32_MIN;

class BdfRecorder {
public:
  BdfRecorder() = default;
  BdfRecorder(const BdfRecorder&) = delete;
  BdfRecorder& operator=(const BdfRecorder&) = delete;
  ~BdfRecorder();

  // Sets up a recording to path for a device with info and ident at rate
  // samples/s: labels Ch1..ChN in uV, equipment "Amvex kind K rev R", the
  // start annotation (after kUnidentifiedNote for a device that did not
  // identify itself; start_text, a continuation's, replaces it). The file is
  // written under a temporary name beside path ("PATH.PID-N.part") and takes
  // path's place with its first data record (on Windows, which cannot rename an
  // open file, when it is closed); what path names stays until then, and for
  // good if no frame comes. An existing path is replaced only if replace; a
  // device (/dev/null) is written directly. False with error set ("cannot
  // record to PATH: ..." and the like).
  bool open(const std::string& path, const AmxDeviceInfo& info, const AmxInternalInfoRecord& ident, int rate,
            bool replace = false, const std::string& start_text = "Recording start");
  // The wall-clock time (seconds since 1970) of the first frame: the header's
  // start date and time (local, to the second) and its fraction, which BDF+
  // keeps in the first data record's time annotation. Only before the first
  // data record is complete (false after); without it, the time of open().
  bool set_start(double unix_seconds);
  // Adds one frame (channel counts, the status word is not read; a sample of
  // kMissingSample is missing), or a missing frame for nullptr. False once a write failed: error says why, and nothing
  // more goes to the file.
  bool add(const int32_t* frame);
  // A loss at frame index (counted from the start, missing frames included):
  // missing frames from index on, or packets the library reports lost (which
  // it counts before their frames show as missing). The missing frames within
  // one data record make one annotation at the first of them, with the packets
  // reported until then.
  void note_loss(uint64_t index, uint32_t missing, int32_t packets);
  // Annotates stop_text at frame index, completes the last record with
  // missing-frame values and closes the file. False with error set if a write
  // or the closing failed, or if no frame came (the temporary file is then
  // removed and path left as it was).
  bool close(uint64_t index, const std::string& stop_text);

  // Renames channel's signal; only before the first data record is written.
  bool set_label(int channel, const std::string& label);
  // Another scale for channel's signal (channels of several devices in one
  // file); only before the first data record is written.
  bool set_scale(int channel, double volts_per_count);
  // An annotation at the next frame (an event marker). False when not open.
  bool mark(const std::string& text) { return mark_at(frames(), text); }
  // An annotation at frame index (counted from the start). False when not open.
  bool mark_at(uint64_t index, const std::string& text);

  bool is_open() const { return handle_ >= 0; }
  const std::string& path() const { return path_; }
  const std::string& error() const { return error_; }
  uint64_t frames() const { return static_cast<uint64_t>(records_) * static_cast<uint64_t>(rate_) + fill_; }
  int rate() const { return rate_; }
  uint64_t clipped() const { return clipped_; }  // samples beyond the digital range stored as its ends

private:
  bool flush_record();
  void annotate_loss();
  bool annotate(uint64_t frame_index, const std::string& text);
  bool write_failed(const char* reason);
  bool place();    // the temporary file to path
  void discard();  // the temporary file removed

  int handle_ = -1, fd_ = -1;
  bool replace_ = false;
  std::string temporary_;  // the file written until it is placed; empty after
  long long records_ = 0;
  bool failed_ = false;
  uint64_t loss_at_ = 0, loss_frames_ = 0;
  int32_t loss_packets_ = 0;
  int channels_ = 0, rate_ = 0;
  std::vector<int> digital_max_;          // by channel: the digital range is +-digital_max_[c]
  std::vector<std::vector<int>> record_;  // [channel][sample of the record]
  int fill_ = 0;
  uint64_t clipped_ = 0;
  std::string path_, error_;
};

// A recording session: the frames and gaps of an acquisition into a BDF+
// file, from any frame of the acquisition on. The file's start time is that
// of its first frame, from the stamps (Acquisition::times) of the frames
// received until its first data record completes; missing frames are stored
// and annotated with the lost packets.
class Recording {
public:
  // Sets up the recording to path (BdfRecorder::open); false with error set.
  bool open(const std::string& path, const AmxDeviceInfo& info, const AmxInternalInfoRecord& ident, int rate,
            bool replace = false, const std::string& start_text = "Recording start");
  // Frames a hands out (Acquisition::on_frames). False once a write failed.
  bool add(const Acquisition& a, const int32_t* frames, int count);
  // A gap a reports (Acquisition::on_gap) after the frames added so far. False
  // once a write failed.
  bool gap(uint32_t missing, int32_t packets);
  // Annotates the stop (interrupted by Ctrl-C, the device removed, the
  // acquisition failed, or a plain stop; stop_text, when given, instead) and
  // closes the file. False with error set if a write or the closing failed.
  bool close(bool removed, bool failed, const std::string& stop_text = "");
  // Signal labels by channel (a montage); only before the first data record.
  bool set_labels(const std::vector<std::string>& labels);
  // An event marker at the next frame.
  bool mark(const std::string& text) { return file_.mark(text); }
  const BdfRecorder& file() const { return file_; }

private:
  BdfRecorder file_;
};

}  // namespace amxhost
