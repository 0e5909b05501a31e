// amxview: the device session: hot-plug, opening and restarting the device
// or subscribing to a stream, recovery after the stream ended, recordings and
// their continuations, the montage, event markers, and the samples pumped
// into the page's store.
#include "session.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <tuple>

namespace amxview {

namespace {

// Hot-plug: the list follows the devices present; the open one's acquisition
// ends by itself when it goes.
void scan(App& app, double now)
{
  std::vector<amxnet::Announcement> heard;
  app.discovery.take(heard, app.discovery_error);
  merge_streams(app.streams, heard, now);
  if (app.last_scan >= 0 && now - app.last_scan < 1) return;
  app.last_scan = now;
  app.devices = scan_devices(app.devices);
}

std::string base_name(const std::string& path)
{
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string folder_of(const std::string& path)
{
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

void set_record_path(App& app, const std::string& path)
{
  std::snprintf(app.record_path, sizeof app.record_path, "%s", path.c_str());
}

// Names the channels from app.montage_path; a montage that does not fit: the
// defaults instead, and why (else "").
std::string name_channels(App& app)
{
  if (load_montage(app)) return "";
  const std::string why = app.message;
  app.montage_path[0] = 0;
  load_montage(app);
  return why;
}

// The channels the spectrum starts with (below).
void default_spectrum(App& app);

// A stream's Header: the device it describes, its rate and labels. The page
// goes on after a resubscription when it still fits; a recording asked for
// starts with the stream's first frame (the subscriber waits for this).
void set_up_stream(App& app, const amxnet::Message& h)
{
  app.device.info = AmxDeviceInfo{};
  app.device.info.channelCount = h.channels;
  app.device.info.voltsPerCount = h.volts_per_count;
  app.device.info.calNumber1 = h.cal1;
  app.device.info.calNumber2 = h.cal2;
  app.device.ident = AmxInternalInfoRecord{h.kind, h.revision};
  app.rate = static_cast<int>(h.rate);
  app.stream_labels = h.labels;
  const std::string why = name_channels(app);
  app.resuming = app.resuming && app.store.channels == h.channels && app.store.rate == app.rate && app.store.head > 0;
  if (!app.resuming) {
    app.store.reset(h.channels, app.rate, 10);
    app.markers.clear();
    app.stream_base = 0;
    app.filters.reset();
    app.filters_changed = true;
    app.shown.assign(static_cast<size_t>(h.channels), 1);
    default_spectrum(app);
  }
  if (app.view == View::Impedance) app.view = View::Traces;  // not served
  app.message = why;
  app.awaiting = -1;
  if (app.record_on_start || app.continue_recording) {
    const bool replace = app.record_on_start && app.record_replace;
    app.record_on_start = app.continue_recording = false;
    start_recording(app, replace);
  }
  if (!app.stream_ended.empty()) app.note = "subscribed again after " + app.stream_ended;
  app.stream_ended.clear();
  app.acquirer.header_taken();
}

// Queued frames through the filters into the store, losses at their place.
// After a recovery the page goes on: the time the stream was away becomes
// missing frames before the new ones, so the gap shows where it was.
void pump(App& app, double now)
{
  amxnet::Message header;
  if (!app.source.empty() && app.acquirer.take_header(header)) set_up_stream(app, header);
  if (!app.store.channels) return;  // a stream whose Header has not come
  app.acquirer.take(app.frames, app.losses);
  const int channels = app.device.info.channelCount;
  const int count = static_cast<int>(app.frames.size() / (channels + 1));
  if (count == 0 && app.losses.empty()) return;
  if (app.resuming) {
    app.resuming = false;
    const double away = app.last_frames_at >= 0 ? (now - app.last_frames_at) * app.rate - count : 0;
    const uint32_t gap = static_cast<uint32_t>(std::clamp(std::lround(away), 0L, 1L << 30));
    app.store.note_loss(gap, 0);
    app.store.append_missing(gap);
    app.missing_before += gap;
    app.stream_base = app.store.head;
  }
  if (count > 0) app.last_frames_at = now;
  for (Loss& l : app.losses) l.index += app.stream_base;
  std::string error;
  if (app.filters_changed && !app.filters.update(app.filter, app.rate, channels, error)) app.message = error;
  app.filters_changed = false;
  app.filters.apply(app.frames.data(), count, channels);
  app.store.feed(app.frames.data(), count, app.losses, app.device.info.voltsPerCount * 1e6);
  while (!app.markers.empty() && app.markers.front().index < app.store.first()) app.markers.pop_front();
}

// The newest seconds of a channel, gaps bridged with the last value.
void recent(const SampleStore& s, int channel, size_t n, std::vector<float>& out)
{
  out.resize(n);
  const uint64_t begin = s.head - n;
  float last = 0;
  for (size_t i = 0; i < n; ++i) {
    float v = s.at(channel, begin + i);
    out[i] = last = std::isfinite(v) ? v : last;
  }
}

void update_spectrum(App& app, double now)
{
  if (app.last_psd >= 0 && now - app.last_psd < 0.5) return;
  app.last_psd = now;
  const int segment = 2 * static_cast<int>(std::lround(app.segment_seconds * app.rate / 2));
  const size_t n = std::min<uint64_t>(app.store.head, app.store.capacity);
  std::vector<float> x;
  app.psd.resize(static_cast<size_t>(app.store.channels));
  for (int c = 0; c < app.store.channels; ++c) {
    app.psd[c].clear();
    if (!app.in_spectrum[c] || n < static_cast<size_t>(segment)) continue;
    recent(app.store, c, n, x);
    welch_psd(x.data(), n, segment, app.rate, app.psd[c]);
  }
}

void update_impedance(App& app, double now)
{
  if (app.last_impedance >= 0 && now - app.last_impedance < 0.5) return;
  app.last_impedance = now;
  app.ohms.assign(static_cast<size_t>(app.device.info.channelCount), 0);
  if (AmxMeasureImpedanceRead(app.device.id, app.ohms.data(), static_cast<int32_t>(app.ohms.size() * 4)) != AMX_OK)
    app.message = "reading impedances failed";
  AmxGetImpedanceRef(app.device.id, &app.reference);
}

// The counters of the acquisition or subscription that ends go on in the
// next one.
void carry_counts(App& app)
{
  app.frames_before += app.acquirer.frames;
  app.missing_before += app.acquirer.missing;
  app.lost_before += app.acquirer.lost_packets;
  app.acquirer.frames = app.acquirer.missing = 0;
  app.acquirer.lost_packets = 0;
  const RemoteStatus st = app.acquirer.remote_status();
  app.network_before += st.network;
  app.device_before += st.device;
  app.remote = RemoteStatus{};
}

// (Re)subscribes to app.source; resume: the page goes on if it still fits.
bool subscribe(App& app, bool resume)
{
  close_recording(app, "the subscription restarted");
  app.acquirer.stop();
  carry_counts(app);
  app.resuming = resume;
  app.psd.clear();
  app.ohms.clear();
  app.last_psd = app.last_impedance = -1;
  app.acquiring_impedance = false;
  std::string error;
  if (!app.acquirer.start_remote(app.source, app.keys, error)) {
    app.message = error;
    app.gave_up = true;
    return false;
  }
  if (app.awaiting < 0) app.awaiting = NAN;  // from the next update's time on
  app.gave_up = false;
  return true;
}

// The stream ended by itself: say why in the library's words, then reopen and
// restart the device every half second while it is listed, for at most
// kRecoverSeconds. A removed device is not waited for: the device panel offers
// one of its kind when it comes back.
constexpr double kRecoverSeconds = 10;

// A stream's subscription ended (the publisher stopped, the amplifier went,
// another layout): subscribed again every second until its Header comes, for
// at most kRecoverSeconds, as long as a new stream is awaited at all. A
// refusal (keys, no such stream) is final.
void recover_stream(App& app, double now)
{
  if (app.gave_up) return;
  if (std::isnan(app.awaiting)) app.awaiting = now;
  if (!app.acquirer.running) {
    const RemoteStatus st = app.acquirer.remote_status();
    if (st.refused) {
      app.gave_up = true;
      app.message = st.ended;
      return;
    }
    if (app.awaiting < 0) app.awaiting = now;
    app.stream_ended = st.ended;
    app.message = st.ended + ": waiting for it to come back";
    if (now - app.last_reopen >= 1 && now - app.awaiting <= kRecoverSeconds) {
      app.last_reopen = now;
      restart(app, true);
    }
  }
  if (app.awaiting >= 0 && now - app.awaiting > kRecoverSeconds) {
    app.acquirer.stop();
    app.gave_up = true;
    app.message = app.stream_ended.empty()
                      ? "no stream from " + app.source + " within 10 s (is it served there?): choose it again"
                      : app.stream_ended + ", and it did not come back within 10 s: choose it again";
  }
}

void recover(App& app, double now)
{
  if (!app.source.empty()) return recover_stream(app, now);
  if (app.acquirer.running || app.gave_up) return;
  if (app.ended_at < 0) {
    app.ended_at = now;
    int32_t rate = 0;
    const int32_t status = AmxGetSampling(app.device.id, &rate);
    app.message = app.acquirer.removed ? "the device was removed (unplugged)"
                                       : "acquisition ended (" + amxhost::status_name(status) + "): reopening";
    if (app.acquirer.removed) {
      app.gave_up = true;
      app.lost_kind = app.device.ident.deviceKind;
      app.lost_revision = app.device.ident.deviceRevision;
      return;
    }
  }
  if (now - app.last_reopen < 0.5) return;
  app.last_reopen = now;
  if (now - app.ended_at > kRecoverSeconds) {
    app.gave_up = true;
    app.message = "acquisition ended and the device did not reopen: choose it again or restart";
    return;
  }
  const std::string why = app.message;
  if (AmxOpen(app.device.id) == AMX_OK && restart(app, true)) app.note = "reopened and restarted after " + why;
}

// The channels the spectrum starts with: the first, every tenth and the
// occipital pair (where alpha shows), never the impedance reference.
void default_spectrum(App& app)
{
  const int channels = app.device.info.channelCount;
  app.in_spectrum.assign(static_cast<size_t>(channels), 0);
  for (int c = 0; c < channels; c += c ? 10 : 9) app.in_spectrum[c] = 1;
  for (int c = 0; c < channels; ++c)
    if (app.names[c] == "O1" || app.names[c] == "O2") app.in_spectrum[c] = 1;
  int32_t reference = -1;
  if (app.device.id && AmxGetImpedanceRef(app.device.id, &reference) == AMX_OK && reference >= 0 &&
      reference < channels)
    app.in_spectrum[reference] = 0;
}

}  // namespace

Counts counts(const App& app)
{
  return {app.frames_before + app.acquirer.frames, app.missing_before + app.acquirer.missing,
          app.lost_before + app.acquirer.lost_packets, app.network_before + app.remote.network,
          app.device_before + app.remote.device};
}

// A stream's part of the status bar: remote and from where, the clock offset
// with its bound, frames lost on the network and missing from the device,
// how far behind the publisher the newest frame is, secure or not.
std::string remote_text(const App& app)
{
  const RemoteStatus& r = app.remote;
  const Counts n = counts(app);
  std::string text = "remote " + (r.endpoint.empty() ? app.source : r.endpoint + (r.name.empty() ? "" : "/" + r.name));
  char part[200];
  if (r.clock_valid)
    std::snprintf(part, sizeof part, " | offset %+.6f s \u00B1 %.6f s", r.offset, r.bound);
  else
    std::snprintf(part, sizeof part, " | offset: measuring");
  text += part;
  std::snprintf(part, sizeof part, " | %llu frames lost on the network, %llu missing from the device",
                static_cast<unsigned long long>(n.network), static_cast<unsigned long long>(n.device));
  text += part;
  if (r.newest >= 0) {
    std::snprintf(part, sizeof part, " | %.2f s behind", std::max(0.0, amxhost::now_seconds() - r.newest));
    text += part;
  }
  text += r.secure ? " | secure (server key " + r.server_key + ")" : " | not secure";
  return text;
}

void merge_streams(std::vector<StreamEntry>& list, const std::vector<amxnet::Announcement>& heard, double now)
{
  for (const amxnet::Announcement& a : heard) {
    auto same = std::find_if(list.begin(), list.end(),
                             [&](const StreamEntry& e) { return e.a.name == a.name && e.a.endpoint == a.endpoint; });
    if (same == list.end())
      list.push_back({a, now});
    else
      *same = {a, now};
  }
  list.erase(std::remove_if(list.begin(), list.end(),
                            [&](const StreamEntry& e) { return now - e.heard_at > kForgetStreamSeconds; }),
             list.end());
  std::sort(list.begin(), list.end(), [](const StreamEntry& x, const StreamEntry& y) {
    return std::tie(x.a.name, x.a.endpoint) < std::tie(y.a.name, y.a.endpoint);
  });
}

std::string stream_source(const amxnet::Announcement& a) { return a.endpoint + "/" + a.name; }

bool connect_stream(App& app, const std::string& source)
{
  amxnet::Keys keys;
  std::string error;
  if (!check_stream_source(source, error) || (*app.keys_path && !load_stream_keys(app.keys_path, keys, error))) {
    app.message = error;
    return false;
  }
  close_recording(app, "a stream opened");
  app.acquirer.stop();
  app.device = DeviceEntry{};
  app.source = source;
  app.keys = keys;
  app.store = SampleStore{};  // no page until the Header
  app.stream_ended.clear();
  app.awaiting = -1;
  app.message.clear();
  return subscribe(app, false);
}

bool connect_announced(App& app, size_t index)
{
  const amxnet::Announcement& a = app.streams[index].a;
  if (a.secure && !*app.keys_path) {
    app.message = "stream " + a.name + " is served with keys (" + a.fingerprint +
                  "): give this viewer's key folder first (--keys or the keys field)";
    return false;
  }
  return connect_stream(app, stream_source(a));
}

int find_device(const App& app, const std::string& arg, std::string& error)
{
  const int32_t count = static_cast<int32_t>(app.devices.size());
  int32_t id = 0;
  const amxhost::DeviceChoice choice = amxhost::choose_device(
      arg, count, [&](int32_t i) { return app.devices[static_cast<size_t>(i)].id; }, id);
  if (choice == amxhost::DeviceChoice::Bad) {
    error = amxhost::bad_device_text(arg);
    return -1;
  }
  for (int32_t i = 0; choice == amxhost::DeviceChoice::Found && i < count; ++i)
    if (app.devices[static_cast<size_t>(i)].id == id) return i;
  error = "no device " + arg + " (" + std::to_string(count) + " device(s) present)";
  return -1;
}

bool load_montage(App& app)
{
  const int channels = app.device.info.channelCount;
  std::vector<std::string> labels;
  std::string error;
  if (*app.montage_path && !amxhost::read_montage(app.montage_path, channels, labels, error)) {
    app.message = error;
    return false;
  }
  // The recordings' labels are the names shown; without a montage they keep
  // Ch1..ChN, as amxctl writes them, or a stream's labels, as amxctl records
  // them. Those name the traces too when the publisher named them.
  const std::vector<std::string>& served = app.stream_labels;
  const bool remote = !app.source.empty() && served.size() == static_cast<size_t>(channels);
  app.labels = labels.empty() && remote ? served : labels;
  bool named = false;
  for (int c = 0; remote && c < channels; ++c) named |= served[c] != "Ch" + std::to_string(c + 1);
  app.names = !labels.empty() ? labels : named ? served : amxhost::default_montage(channels);
  return true;
}

void add_marker(App& app, int number)
{
  if (!is_open(app)) return;
  app.markers.push_back({app.store.head, number});
  app.acquirer.mark("Marker " + std::to_string(number));
}

bool start_recording(App& app, bool replace)
{
  // A name proposed a while ago carries the time of the proposal: the file is
  // dated when it starts.
  if (app.record_path == app.proposed && app.continues.empty()) {
    app.proposed = folder_of(app.record_path) + dated_record_name();
    set_record_path(app, app.proposed);
  }
  // A continuation's first annotation names the file it continues (short
  // words: readers keep 40 characters, a dated name takes 31).
  const std::string start = app.continues.empty() ? "Recording start" : "Follows " + app.continues;
  std::string error;
  if (!app.acquirer.start_recording(app.record_path, app.device.info, app.device.ident, app.rate, app.labels, replace,
                                    error, start)) {
    app.message = error;
    return false;
  }
  app.continues.clear();
  app.recorded.push_back(app.record_path);
  app.message.clear();
  app.note.clear();
  return true;
}

void close_recording(App& app, const char* why)
{
  if (!app.acquirer.recording()) return;
  uint64_t frames = 0, bytes = 0;
  std::string error;
  app.acquirer.recording_state(frames, bytes, error);
  // The next name: a dated one in the same folder. A recording cut by the
  // stream's end goes on under it, and each file names the other.
  const std::string path = app.record_path;
  app.proposed = folder_of(path) + dated_record_name();
  const std::string next = app.continue_recording ? base_name(app.proposed) : "";
  const bool ok = app.acquirer.stop_recording(error, next.empty() ? "" : "Next: " + next);
  char text[640];
  std::snprintf(text, sizeof text, "recording %s closed (%.1f s)%s%s", path.c_str(),
                app.rate ? static_cast<double>(frames) / app.rate : 0.0, why ? ": " : "", why ? why : "");
  app.note = text;
  if (!ok) app.message = error;
  set_record_path(app, app.proposed);
}

bool open_device(App& app, size_t index)
{
  close_recording(app, "another device opened");
  app.acquirer.stop();
  app.source.clear();
  app.stream_labels.clear();
  app.device = app.devices[index];
  int32_t rate = 0;
  AmxGetSampling(app.device.id, &rate);
  AmxGetAnalogConfig(app.device.id, &app.analog);
  app.rate = app.options.rate ? app.options.rate : rate > 0 ? rate : 500;
  // A montage that does not fit this device: its defaults, and why.
  const std::string why = name_channels(app);
  app.shown.assign(static_cast<size_t>(app.device.info.channelCount), 1);
  default_spectrum(app);
  const bool ok = restart(app);
  if (ok && !why.empty()) app.message = why;
  return ok;
}

bool restart(App& app, bool resume)
{
  if (!app.source.empty()) return subscribe(app, resume);
  std::string error;
  close_recording(app, "acquisition restarted");
  app.acquirer.stop();
  const int32_t id = app.device.id;
  const int32_t status = AmxSetSampling(id, app.rate);
  if (status != AMX_OK) {
    app.message = "sampling rate " + std::to_string(app.rate) + ": " + amxhost::status_name(status);
    return false;
  }
  if (AmxSetAnalogConfig(id, app.analog) != AMX_OK) app.message = "the device refused the analog configuration";
  AmxGetAnalogConfig(id, &app.analog);
  if (AmxInfo(id, &app.device.info, sizeof app.device.info) != AMX_OK) {
    app.message = "reading the device information failed";
    return false;
  }
  // A recovery keeps the page when it still fits: the gap is marked when the
  // new frames come.
  app.resuming =
      resume && app.store.channels == app.device.info.channelCount && app.store.rate == app.rate && app.store.head > 0;
  if (!app.resuming) {
    app.store.reset(app.device.info.channelCount, app.rate, 10);
    app.markers.clear();
    app.stream_base = 0;
    app.filters.reset();
    app.filters_changed = true;
  }
  app.psd.clear();
  app.ohms.clear();
  app.last_psd = app.last_impedance = -1;
  app.acquiring_impedance = app.view == View::Impedance;
  if (app.record_on_start || app.continue_recording) {
    const bool replace = app.record_on_start && app.record_replace;  // --force is for --record's file only
    app.record_on_start = app.continue_recording = false;
    if (!start_recording(app, replace)) return false;
  }
  carry_counts(app);
  if (!app.acquirer.start(id, app.device.info.channelCount, app.rate, app.acquiring_impedance, error)) {
    app.message = error;
    return false;
  }
  app.message.clear();
  app.ended_at = -1;
  app.gave_up = false;
  return true;
}

void update(App& app, double now)
{
  scan(app, now);
  if (!is_open(app)) return;
  if (!app.source.empty()) app.remote = app.acquirer.remote_status();
  for (int number : app.key_marks) add_marker(app, number);
  app.key_marks.clear();
  pump(app, now);
  // The device went away or the acquisition failed: the file gets its stop
  // annotation now, not when the user next touches the window.
  // A suspend ends the stream too, which comes back by itself: the cut file
  // names the next one, which goes on as soon as the device is back. The
  // continuation names the cut file in any case.
  if (!app.acquirer.running && app.acquirer.recording()) {
    const std::string cut = base_name(app.record_path);
    app.continue_recording = !app.acquirer.removed;
    const std::string why = app.acquirer.removed ? "the device was removed"
                            : app.source.empty() ? "the acquisition ended"
                                                 : app.acquirer.remote_status().ended;
    close_recording(app, why.c_str());
    app.continue_recording = true;
    app.continues = cut;
  }
  recover(app, now);
  if (now - app.rate_time >= 1) {
    const double frames = static_cast<double>(counts(app).frames);
    if (app.rate_time > 0) app.frames_per_second = (frames - app.rate_frames) / (now - app.rate_time);
    app.draws_per_second = app.draws / (now - app.rate_time);
    app.rate_frames = frames;
    app.rate_time = now;
    app.draws = 0;
  }
  ++app.draws;
  if (app.view == View::Spectrum) update_spectrum(app, now);
  if (app.view == View::Impedance && app.acquiring_impedance) update_impedance(app, now);
}

}  // namespace amxview
