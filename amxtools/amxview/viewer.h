// amxview: the viewer's parts that need no window: colours, the sample store
// the traces are drawn from, the decimation to pixel columns, the Welch
// spectrum, the acquisition worker and the command line. Built on amvex.h and
// the host library (amxhost.h: the acquisition loop, the filter chains, the
// recording session).
#pragma once
#include "amvex.h"
#include "amxhost.h"
#include "amxnet.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace amxview {

// ---- Colours (also what the screenshot tests look for)

struct Rgb {
  uint8_t r, g, b;
  bool operator==(const Rgb& o) const { return r == o.r && g == o.g && b == o.b; }
};
// As an opaque RGBA pixel in memory order (the draw lists' colour layout too).
inline uint32_t rgba(Rgb c) { return c.r | c.g << 8 | c.b << 16 | 0xFF000000u; }
constexpr Rgb kGrid{60, 66, 80};
constexpr Rgb kPlotBackground{16, 20, 28};
constexpr Rgb kLostMarker{255, 40, 40};     // frames lost: a full-height line
constexpr Rgb kInvalidMarker{255, 160, 0};  // invalid samples: a tick under the trace
constexpr Rgb kRecBadge{210, 20, 40};       // recording: the badge over the plot
constexpr Rgb kEventMarker{80, 220, 255};   // an event marker: a line with its number
constexpr Rgb kScaleBar{230, 230, 230};     // a row's microvolt scale bar
constexpr Rgb kClipMarker{255, 255, 255};   // a trace beyond its row (fixed scale): a bar on the row's edge
Rgb channel_color(int channel);             // saturated hues, distinct for 256 channels
// The k-th curve of the spectrum: a fixed palette of colours far apart on the
// plot's background (repeating after kSpectrumColors).
constexpr int kSpectrumColors = 10;
Rgb spectrum_color(int k);
Rgb electrode_color(amxhost::Electrode e);
// The contrast ratio of two colours (1 to 21, by relative luminance), and the
// text colour (black or white) readable on background.
double contrast(Rgb a, Rgb b);
Rgb text_on(Rgb background);

// ---- Sample store

// The newest frames of every channel in microvolts (NaN: an invalid sample,
// infinity: a missing frame),
// frame indices counted like the acquisition loop's (missing frames included),
// and the losses.
struct Loss {
  uint64_t index;  // the frame before which it happened
  uint32_t missing;
  int32_t packets;
};
struct SampleStore {
  int channels = 0, rate = 0;
  size_t capacity = 0;      // frames kept per channel
  std::vector<float> data;  // [channel][index % capacity]
  uint64_t head = 0;        // index of the next frame
  std::deque<Loss> losses;  // within the kept frames

  void reset(int channels, int rate, double seconds);
  // Appends interleaved frames (channel counts and the status word), scaled by uv_per_count.
  void append(const int32_t* frames, int count, double uv_per_count);
  void append_missing(uint32_t count);
  void note_loss(uint32_t missing, int32_t packets) { losses.push_back({head, missing, packets}); }
  // Appends count frames and the losses among them (Acquirer::take's output).
  void feed(const int32_t* frames, int count, const std::vector<Loss>& losses, double uv_per_count);
  float at(int channel, uint64_t index) const { return data[channel * capacity + index % capacity]; }
  // First index still kept.
  uint64_t first() const { return head > capacity ? head - capacity : 0; }
};

// One pixel column of a trace: the range of its frames' values, joined to the
// previous column's last value so the trace stays connected. lo > hi: nothing
// to draw (no valid sample). invalid: an invalid sample among the frames.
struct Column {
  float lo, hi;
  bool invalid;
};
// columns.size() columns over frames [begin, end) of channel; also the range
// of every value drawn (for auto scale).
// Frames before the first one kept (begin may be negative) draw nothing.
void decimate(const SampleStore& s, int channel, int64_t begin, int64_t end, std::vector<Column>& columns, float& lo,
              float& hi);

// A page of the traces is seconds wide and always ends at the newest frame,
// also while it fills (the traces then start from the right): where frame
// index falls on a page width pixels wide (negative: before the page).
float page_x(const SampleStore& s, float seconds, int width, uint64_t index);
// The time axis under a page: a label per second at its x, seconds before the
// newest frame ("-N"), "0 s" at the right edge.
struct AxisLabel {
  float x;
  std::string text;
};
std::vector<AxisLabel> time_axis(float seconds, int width);

// How the traces are laid out: seconds across, the scale (0 auto per channel,
// 1 auto common to all, both filling 90 % of a row; 2 fixed: uv_per_division
// per row).
struct TraceScale {
  float seconds;
  int mode;
  float uv_per_division;
};
// The traces of channels rows (stacked from the top, a page ending at the
// newest frame at the right edge) as a width x height image of rgba() pixels: a span per pixel column
// in the channel's colour, a grid line per second, an invalid-sample tick under
// a trace, a clipping bar on the edge a trace goes beyond, a full-height line
// where frames were lost, a scale bar at the left edge of a row. columns:
// scratch. bar_uv: each row's scale bar in microvolts (0: none; 1, 2 or 5 x
// 10^n, at most 80 % of the row; every row for per-channel scales, else the
// first for the page).
void raster_traces(const SampleStore& s, const std::vector<int>& rows, const TraceScale& scale, int width, int height,
                   std::vector<std::vector<Column>>& columns, std::vector<uint32_t>& pixels,
                   std::vector<float>& bar_uv);

// ---- Spectrum

// Welch power spectral density of x (n samples at rate): Hann windows of
// segment samples (even), half overlapping, mean removed per segment. psd gets
// segment / 2 + 1 bins of rate / segment Hz, in units of x squared per Hz.
// False when n < segment.
bool welch_psd(const float* x, size_t n, int segment, double rate, std::vector<float>& psd);

// ---- Filters

// What the filter panel sets (the host library's meanings, as amxctl's
// --filter texts).
struct FilterSettings {
  bool baseline = false, notch = false, band_stop = false, band_pass = false;
  float baseline_hz = 0.5f;
  int notch_hz = 50;
  int stop_order = 2;
  float stop_lo = 48, stop_hi = 52;
  int band_order = 4;
  float band_lo = 1, band_hi = 40;
};

// The view's filters: one chain per stage (baseline, notch, band-stop,
// band-pass, applied in this order), each rebuilt only when its own settings
// change, so the others keep their state (no new start-up transient).
struct ViewFilters {
  static constexpr int kStages = 4;
  FilterSettings in_use;  // what the stages are built from

  // Brings the stages to want at rate for channels. A stage the library
  // refuses keeps its previous design: want gets its settings back and error
  // says why (false).
  bool update(FilterSettings& want, int rate, int channels, std::string& error);
  // Every stage is built anew by the next update (the rate or channels changed).
  void reset() { built_ = false; }
  void apply(int32_t* frames, int count, int channels);
  // The stages in use in order, as the host library's texts ("none (raw samples)").
  std::string chain() const;

private:
  bool built_ = false;
  std::unique_ptr<amxhost::ChannelFilters> stages_[kStages];
};

// ---- Devices and acquisition

struct DeviceEntry {
  int32_t id = 0;
  AmxDeviceInfo info{};
  AmxInternalInfoRecord ident{};
  int32_t calibrated = 0;
  bool ok = false;  // AmxOpen and AmxInfo succeeded
};
// Opens every device present (ones already in known keep their entry):
// returns the current list in index order.
std::vector<DeviceEntry> scan_devices(const std::vector<DeviceEntry>& known);

// What the window shows of a stream subscribed to across the network,
// copied from the subscriber's thread.
struct RemoteStatus {
  std::string endpoint, name, host;  // resolved; the publisher's host from the Header
  bool secure = false;
  std::string server_key;  // the fingerprint of server.key (secure only)
  bool clock_valid = false;
  double offset = 0, bound = 0;  // publisher clock minus ours, at the last event
  double newest = -1;            // our time of the newest frame received (-1: none yet)
  uint64_t network = 0;          // frames the publisher could not deliver
  uint64_t device = 0;           // frames the device never delivered
  std::string link;              // the link's trouble now ("": none)
  std::string ended;             // why the subscription ended
  bool refused = false;          // it ended refused (keys, no such stream): trying again will not help
};

// The host library's acquisition loop on its own thread. Frames and losses are
// queued for the window's thread, which takes them with take(); the recorder
// (when recording) is fed on the acquisition thread, so the window's pace
// never holds samples back. A stream across the network (start_remote) runs
// its subscriber on that thread the same way: it never blocks the window,
// answers the publisher's heartbeats and clock probes at the network's pace
// and feeds a recording whatever the window does.
struct Acquirer {
  int32_t id = 0;
  int channels = 0, rate = 0;
  bool impedance = false;  // acquisition with the impedance test signal

  // Results the window reads.
  std::atomic<bool> running{false};
  std::atomic<int> result{0};  // acquire's exit code once it ended (a stream's: 1 when it failed)
  std::atomic<uint64_t> frames{0}, missing{0};
  std::atomic<int32_t> lost_packets{0};
  std::atomic<bool> removed{false};  // the device was unplugged

  Acquirer() = default;
  Acquirer(const Acquirer&) = delete;
  Acquirer& operator=(const Acquirer&) = delete;
  ~Acquirer() { stop(); }
  // Starts acquiring from device id (open, rate set). False with error.
  bool start(int32_t id, int channels, int rate, bool impedance, std::string& error);
  // Subscribes to source (tcp://HOST:PORT[/NAME] or a NAME, found on this
  // thread) with keys (server_key empty: no encryption). The stream's layout
  // comes with its Header: see take_header().
  bool start_remote(const std::string& source, const amxnet::Keys& keys, std::string& error);
  // A Header with a layout not seen before on this subscription (the first):
  // true with it in header. The subscriber waits until header_taken(), so the
  // window sets up the page and a recording before the stream's first frame.
  bool take_header(amxnet::Message& header);
  void header_taken();
  RemoteStatus remote_status() const;
  void stop();
  // Moves everything queued so far into frames (interleaved, channels + 1
  // words each) and losses (index: frames since the start, missing included).
  void take(std::vector<int32_t>& frames, std::vector<Loss>& losses);

  // Recording: from the next frame on (from the first when called before
  // start), every frame and loss goes to path. An existing file is refused
  // unless replace; the file takes the name with its first data record.
  // labels: the signals' names (empty: the recorder's Ch1..ChN); start_text:
  // the first annotation.
  bool start_recording(const std::string& path, const AmxDeviceInfo& info, const AmxInternalInfoRecord& ident, int rate,
                       const std::vector<std::string>& labels, bool replace, std::string& error,
                       const std::string& start_text = "Recording start");
  // An event marker annotated at the recording's next frame; false when not recording.
  bool mark(const std::string& text);
  // Closes the recording with its stop annotation (stop_text, when given,
  // instead of the usual one); false with error if writing failed.
  bool stop_recording(std::string& error, const std::string& stop_text = "");
  bool recording() const;
  // Frames in the file, its size in bytes; error once a write failed.
  void recording_state(uint64_t& frames, uint64_t& bytes, std::string& error) const;

private:
  void run();
  void run_remote();
  void end_remote(const std::string& why, bool refused);
  std::thread thread_;
  std::string source_;
  amxnet::Keys keys_;
  RemoteStatus remote_;
  amxnet::Message header_;
  bool header_new_ = false;                  // header_ not taken yet
  std::atomic<bool> header_waiting_{false};  // the subscriber waits for header_taken()
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<int32_t> queued_;
  std::vector<Loss> queued_losses_;
  std::unique_ptr<amxhost::Recording> recording_;
};

// ---- Streams across the network

// Why a build without the stream service (no libzmq) cannot subscribe.
extern const char* const kNoStreams;
// Whether source can be subscribed to: tcp://HOST:PORT[/NAME] or a bare NAME
// (found when subscribing), not a local amplifier's ID or @N. False with error.
bool check_stream_source(const std::string& source, std::string& error);
// A subscriber's keys from folder dir (its pair and server.key). False with error.
bool load_stream_keys(const std::string& dir, amxnet::Keys& keys, std::string& error);

// Streams announced on the LAN, listened for on a thread of its own in
// rounds of a second (longer than the window may wait).
struct Discovery {
  Discovery() = default;
  Discovery(const Discovery&) = delete;
  Discovery& operator=(const Discovery&) = delete;
  ~Discovery() { stop(); }
  void start();
  void stop();
  // The announcements heard since the last call; error: why none can be
  // heard ("" when listening works).
  void take(std::vector<amxnet::Announcement>& heard, std::string& error);

private:
  void run();
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<amxnet::Announcement> heard_;
  std::string error_;
};

// A stream in the device panel's list: its newest announcement, when heard.
struct StreamEntry {
  amxnet::Announcement a;
  double heard_at;
};
// Announcements heard at now into list: one entry per name and address (the
// newest announcement), entries not heard for kForgetStreamSeconds dropped,
// sorted by name, then address.
constexpr double kForgetStreamSeconds = 5;
void merge_streams(std::vector<StreamEntry>& list, const std::vector<amxnet::Announcement>& heard, double now);
// What subscribes to an announced stream: "tcp://ADDRESS:PORT/NAME".
std::string stream_source(const amxnet::Announcement& a);

// ---- Command line

enum class View { Traces, Spectrum, Impedance };
struct Options {
  std::string screenshot;  // headless: write this PNG and exit
  double seconds = 0;
  View view = View::Traces;
  bool view_set = false;  // --view given (else the saved view, when not headless)
  std::string device = "@0";
  std::string connect;             // a stream across the network instead of a device
  std::string keys;                // the key folder for secure streams
  int rate = 0;                    // 0: the device's
  bool filters = false;            // band-pass, notch and baseline on from the start
  std::string record;              // record to this BDF+ file from the start
  std::string montage;             // channel names, one per line
  bool force = false;              // --record may replace an existing file
  int width = 1280, height = 800;  // the window (--size)
  bool sized = false;              // --size given (else the saved size, when not headless)
  double fps = 60;                 // frame cap, 0 none
  bool help = false;
};
extern const char* const kUsage;
// False with a message in error.
bool parse_options(int argc, char** argv, Options& o, std::string& error);
// ---- Settings kept between runs

// $XDG_CONFIG_HOME/amxview/settings.ini, else ~/.config/amxview/settings.ini;
// "" without either variable.
std::string settings_path();
// key=value lines ('#' comments); a missing file gives none.
std::map<std::string, std::string> read_settings(const std::string& path);
// Creates the folders and replaces the file whole. False with error.
bool write_settings(const std::string& path, const std::map<std::string, std::string>& values, std::string& error);

// A recording's default name: amxview-YYYY-MM-DD_HH-MM-SS.bdf (local time now).
std::string dated_record_name();
// Whether a PNG can be written to path: its folder exists and is writable.
// False with error ("cannot write PATH: ...").
bool can_write_png(const std::string& path, std::string& error);

}  // namespace amxview
