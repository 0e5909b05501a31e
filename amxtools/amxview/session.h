// amxview: the state of the running viewer and its device session: opening
// and restarting the device (or subscribing to a stream across the network),
// recovery after the stream ended, recording, the montage, event markers and
// the page of samples the traces show. None of it needs a window; the
// window's loop calls update() every frame and ui.h draws the state.
#pragma once
#include "viewer.h"

#include <memory>

namespace amxview {

struct App {
  Options options;
  std::vector<DeviceEntry> devices;
  double last_scan = -1;
  DeviceEntry device;  // the open one (id 0: none; a stream's info and ident come from its Header)
  int rate = 500;
  uint32_t analog = 0x80000000u;
  Acquirer acquirer;
  bool acquiring_impedance = false;
  SampleStore store;
  std::vector<int32_t> frames;  // taken from the acquirer, filtered in place
  std::vector<Loss> losses;
  std::string message;  // the last failure, shown in the status bar
  std::string note;     // the last recording closed, shown in the status bar
  // Counts of the acquisitions before the current one (and of the gaps
  // between them), so the counters go on across restarts.
  uint64_t frames_before = 0, missing_before = 0;
  int32_t lost_before = 0;

  // Recovery. After the stream ended by itself (a power suspend closes every
  // device) the device is reopened and restarted for a while; after an
  // unplug, an amplifier of the same kind plugged in is offered.
  double ended_at = -1;  // when the stream was found ended (-1: running)
  double last_reopen = -1;
  bool gave_up = false;                    // removed, or reopening failed for kRecoverSeconds
  bool continue_recording = false;         // a recording was cut by the end: the next start continues it
  std::string continues;                   // the cut recording's file name, for the continuation's first annotation
  bool resuming = false;                   // the page is kept: the next frames follow a gap
  double last_frames_at = -1;              // when frames last arrived (update's now)
  uint64_t stream_base = 0;                // the page index of the current acquisition's first frame
  int lost_kind = -1, lost_revision = -1;  // the unplugged amplifier

  // A stream across the network in place of a device (source not empty). Its
  // subscriber is the acquirer's; the page is set up when its Header comes.
  std::string source;                      // as given: NAME or tcp://HOST:PORT[/NAME]
  amxnet::Keys keys;                       // its keys (none: not encrypted)
  char keys_path[512] = "";                // the key folder (--keys, the panel's field)
  char connect_text[512] = "";             // the panel's stream field
  std::vector<std::string> stream_labels;  // the Header's signal labels
  double awaiting = -1;      // since when no Header came on this subscription (-1: it came; NAN: from the next update)
  std::string stream_ended;  // why the last subscription ended ("": none did)
  RemoteStatus remote;       // the subscriber's state as of the last update
  uint64_t network_before = 0, device_before = 0;
  // Streams announced on the LAN (the device panel's list).
  Discovery discovery;
  std::vector<StreamEntry> streams;
  std::string discovery_error;

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
  std::vector<int> key_marks;  // keys 0-9 pressed since the last update, from the window's key events

  // Recording and the status bar.
  char record_path[512] = "";         // a dated name at first and after every recording
  std::string proposed;               // that dated name: dated anew when a recording starts under it
  std::vector<std::string> recorded;  // every file recorded into, in order
  bool record_on_start = false;       // --record: from the first frame of the first start
  bool record_replace = false;        // --force: that first recording may replace a file
  double rate_frames = 0, rate_time = 0, frames_per_second = 0;
  double draws_per_second = 0;
  int draws = 0;
  std::string status;  // the status bar's text as last drawn
};

// What the status bar and the closing summary count, across restarts: frames
// (missing ones included), frames missing (gaps between acquisitions too) and
// packets lost; of a stream's missing frames, those the publisher could not
// deliver (network) and those the device never delivered.
struct Counts {
  uint64_t frames, missing;
  int32_t lost;
  uint64_t network, device;
};
Counts counts(const App& app);

// A stream's part of the status bar: remote and from where, the clock offset
// with its bound, frames lost on the network and missing from the device, how
// far behind the publisher the newest frame is, secure or not.
std::string remote_text(const App& app);

// Whether a device or a stream is open.
inline bool is_open(const App& app) { return app.device.id || !app.source.empty(); }

// Opens devices[index] (stopping what runs), sets rate and analog
// configuration, starts acquiring. False with app.message set.
bool open_device(App& app, size_t index);
// Subscribes to a stream (instead of what runs) with the keys of
// app.keys_path when set. The page is set up when its Header comes. False
// with app.message set.
bool connect_stream(App& app, const std::string& source);
// Subscribes to app.streams[index]; a secure one needs a key folder first.
bool connect_announced(App& app, size_t index);
// Restarts acquisition on the open device (or the subscription to the open
// stream) with the current settings. resume:
// the page is kept (same rate and channels), the gap marked where the new
// frames begin.
bool restart(App& app, bool resume = false);
// Every frame: hot-plug, marker keys, queued samples through the filters into
// the store, recovery, the spectrum and impedance readings when due. now:
// seconds.
void update(App& app, double now);
// Starts recording to app.record_path (what the Record button does): a name
// still the dated one proposed is dated anew, now. An existing file is refused
// unless replace. False with app.message set.
bool start_recording(App& app, bool replace);
// Closes the recording (if any) with its stop annotation, says so in the
// status bar (why: the reason shown, or nullptr) and offers a new dated name
// in the same folder.
void close_recording(App& app, const char* why);
// The settings kept between runs (view, scales, filters, thresholds) as text,
// and back: values out of their controls' ranges or unreadable are ignored
// (settings.cpp).
std::map<std::string, std::string> settings_of(App& app);
void apply_settings(App& app, const std::map<std::string, std::string>& values);
// Names the open device's channels from app.montage_path (the defaults when
// empty). A refused file changes nothing: false with the reason in
// app.message.
bool load_montage(App& app);
// An event marker numbered number: on the traces and, when recording, in the file.
void add_marker(App& app, int number);
// Resolves --device (ID or @N) among app.devices; -1 with a message if none.
int find_device(const App& app, const std::string& arg, std::string& error);

}  // namespace amxview
