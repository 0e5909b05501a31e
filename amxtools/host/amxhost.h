// amxhost: pieces both host programs (amxctl, amxview) share beyond amvex.h:
// the good / fair / bad classification of electrode impedances and the BDF+
// recorder (only where edflib is present: AMXHOST_HAVE_EDF).
#pragma once
#include "amvex.h"

#include <cstdint>
#include <string>
#include <vector>

namespace amxhost {

// ---- Electrode impedances

enum class Electrode { Reference, Invalid, Waiting, Good, Fair, Bad };

// Default thresholds in kOhm: good at or below the first, bad above the second.
constexpr double kGoodKohm = 10, kBadKohm = 50;

// A measured impedance as the tools show it: kOhm rounded to one decimal
// (halves up). The class is that of the value shown.
double shown_kohm(int32_t ohms);
// The class of channel's value from AmxMeasureImpedanceRead: -1 marks the
// reference and invalid windows, 0 and other negative values (-1000 on
// wide-gain devices) a first window not complete yet.
Electrode classify(int channel, int reference, int32_t ohms, double good_kohm, double bad_kohm);
// "REF", "invalid", "waiting", "good", "fair" or "BAD".
const char* electrode_name(Electrode e);
// Thresholds are usable when 0 < good <= bad.
bool thresholds_valid(double good_kohm, double bad_kohm);

#ifdef AMXHOST_HAVE_EDF
// ---- BDF+ recording

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
class BdfRecorder {
public:
  BdfRecorder() = default;
  BdfRecorder(const BdfRecorder&) = delete;
  BdfRecorder& operator=(const BdfRecorder&) = delete;
  ~BdfRecorder();

  // Creates path for a device with info and ident at rate samples/s: labels
  // Ch1..ChN in uV, equipment "Amvex kind K rev R", the start annotation.
  // False with error set ("cannot record to PATH: ..." and the like).
  bool open(const std::string& path, const AmxDeviceInfo& info, const AmxInternalInfoRecord& ident, int rate);
  // The wall-clock time (seconds since 1970) of the first frame: the header's
  // start date and time (local, to the second) and its fraction, which BDF+
  // keeps in the first data record's time annotation. Only before the first
  // data record is complete (false after); without it, the time of open().
  bool set_start(double unix_seconds);
  // Adds one frame (channel counts, the status word is not read), or a missing
  // frame for nullptr. False once a write failed: error says why, and nothing
  // more goes to the file.
  bool add(const int32_t* frame);
  // A loss before frame index (counted from the start, missing frames
  // included): frames skipped by the sample numbers or packets the library
  // reports lost. Losses within one data record make one annotation.
  void note_loss(uint64_t index, uint32_t missing, int32_t packets);
  // Annotates stop_text at frame index, completes the last record with
  // missing-frame values and closes the file. False with error set if a write
  // or the closing failed.
  bool close(uint64_t index, const std::string& stop_text);

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

  int handle_ = -1, fd_ = -1;
  long long records_ = 0;
  bool failed_ = false;
  bool loss_pending_ = false;
  uint64_t loss_at_ = 0, loss_frames_ = 0;
  int32_t loss_packets_ = 0;
  int channels_ = 0, rate_ = 0;
  int digital_max_ = 0;                   // the digital range is +-digital_max_
  std::vector<std::vector<int>> record_;  // [channel][sample of the record]
  int fill_ = 0;
  uint64_t clipped_ = 0;
  std::string path_, error_;
};
#endif

}  // namespace amxhost
