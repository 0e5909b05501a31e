// amxview: the state of the running viewer and the functions the window's
// loop calls each frame (pump the samples in, draw the panels). Drawing uses
// Dear ImGui's draw lists; everything else is in viewer.h.
#pragma once
#include "viewer.h"

#include <memory>

namespace amxview {

struct App {
  Options options;
  std::vector<DeviceEntry> devices;
  double last_scan = -1;
  DeviceEntry device;  // the open one (id 0: none)
  int rate = 500;
  uint32_t analog = 0x80000000u;
  Acquirer acquirer;
  bool acquiring_impedance = false;
  SampleStore store;
  std::vector<int32_t> frames;  // taken from the acquirer, filtered in place
  std::vector<Loss> losses;
  std::string message;  // the last failure, shown in the status bar
  std::string note;     // the last recording closed, shown in the status bar

  // Recovery. After the stream ended by itself (a power suspend closes every
  // device) the device is reopened and restarted for a while; after an
  // unplug, an amplifier of the same kind plugged in is offered.
  double ended_at = -1;  // when the stream was found ended (-1: running)
  double last_reopen = -1;
  bool gave_up = false;                    // removed, or reopening failed for kRecoverSeconds
  bool continue_recording = false;         // a recording was cut by the end: the next start continues it
  int lost_kind = -1, lost_revision = -1;  // the unplugged amplifier

  // Filters (the library's, per channel, as amxctl's --filter texts).
  FilterSettings filter;  // as the panel sets them
  bool filters_changed = true;
  ViewFilters filters;

  // Views.
  View view = View::Traces;
  int view_index = 0;    // view as a number, for the settings
  float time_base = 10;  // seconds across the plot
  int scale = 0;         // 0 auto per channel, 1 auto common, 2 fixed
  float uv_per_division = 500;
  std::vector<float> bar_uv;                 // per shown channel: its scale bar (0: none)
  std::vector<char> shown;                   // channel on/off
  std::vector<std::vector<Column>> columns;  // per shown channel
  std::vector<uint32_t> trace_pixels;        // the traces' image
  unsigned trace_texture = 0;
  int texture_w = 0, texture_h = 0;
  std::vector<char> in_spectrum;  // channels in the spectrum
  float segment_seconds = 2, max_hz = 100;
  double last_psd = -1;
  std::vector<std::vector<float>> psd;  // per channel (empty: not shown)
  std::vector<int32_t> ohms;
  int32_t reference = -1;
  double last_impedance = -1;
  float good_kohm = static_cast<float>(amxhost::kGoodKohm), bad_kohm = static_cast<float>(amxhost::kBadKohm);

  // Channel names: a montage file's (also the recordings' signal labels) or
  // the 10-20 defaults (recordings then keep Ch1..ChN, as amxctl writes).
  char montage_path[512] = "";
  std::vector<std::string> names;
  std::vector<std::string> labels;  // for recordings: the montage's names, or none
  // Event markers (keys 0-9, the Mark button): frame index and number.
  struct Marker {
    uint64_t index;
    int number;
  };
  std::deque<Marker> markers;

  // Recording and the status bar.
  char record_path[512] = "";    // a dated name at first and after every recording
  bool record_on_start = false;  // --record: from the first frame of the first start
  bool record_replace = false;   // --force: that first recording may replace a file
  double rate_frames = 0, rate_time = 0, frames_per_second = 0;
  double draws_per_second = 0;
  int draws = 0;
  std::string status;  // the status bar's text as last drawn
};

// Opens devices[index] (stopping what runs), sets rate and analog
// configuration, starts acquiring. False with app.message set.
bool open_device(App& app, size_t index);
// Restarts acquisition on the open device with the current settings.
bool restart(App& app);
// Every frame: hot-plug, queued samples through the filters into the store,
// the spectrum and impedance readings when due. now: seconds.
void update(App& app, double now);
// Draws the whole window into the current ImGui frame.
void draw(App& app);
// Closes the recording (if any) with its stop annotation, says so in the
// status bar (why: the reason shown, or nullptr) and offers a new dated name
// in the same folder.
void close_recording(App& app, const char* why);
// The settings kept between runs (view, scales, filters, thresholds) as text,
// and back: values out of their controls' ranges or unreadable are ignored.
std::map<std::string, std::string> settings_of(App& app);
void apply_settings(App& app, const std::map<std::string, std::string>& values);
// Names the open device's channels from app.montage_path (or the defaults,
// with a message when the file is refused).
void load_montage(App& app);
// An event marker numbered number: on the traces and, when recording, in the file.
void add_marker(App& app, int number);
// Resolves --device (ID or @N) among app.devices; -1 with a message if none.
int find_device(const App& app, const std::string& arg, std::string& error);

}  // namespace amxview
