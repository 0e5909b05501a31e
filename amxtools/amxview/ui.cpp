// amxview: device handling, the per-frame update and the panels (devices,
// settings, filters, traces, spectrum, impedance grid, status bar), drawn with
// Dear ImGui's draw lists.
#include "app.h"

#include <GL/gl.h>
#include <GLFW/glfw3.h>
#include <imgui.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <type_traits>

namespace amxview {

namespace {

ImU32 im(Rgb c) { return rgba(c); }
const ImU32 kLabel = IM_COL32(230, 230, 230, 255);
const int kRates[] = {125, 250, 500, 1000};

// Hot-plug: the list follows the devices present; the open one's acquisition
// ends by itself when it goes.
void scan(App& app, double now)
{
  if (app.last_scan >= 0 && now - app.last_scan < 1) return;
  app.last_scan = now;
  app.devices = scan_devices(app.devices);
}

// Queued frames through the filters into the store, losses at their place.
void pump(App& app)
{
  app.acquirer.take(app.frames, app.losses);
  const int channels = app.device.info.channelCount;
  const int count = static_cast<int>(app.frames.size() / (channels + 1));
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

std::string kohm_text(int32_t ohms)
{
  char text[32];
  std::snprintf(text, sizeof text, "%.1f kOhm", amxhost::shown_kohm(ohms));
  return text;
}

// ---- Panels

void device_panel(App& app)
{
  ImGui::TextUnformatted("Devices");
  if (app.devices.empty()) ImGui::TextDisabled("none connected");
  for (size_t i = 0; i < app.devices.size(); ++i) {
    const DeviceEntry& d = app.devices[i];
    char label[160];
    if (d.ok)
      std::snprintf(label, sizeof label, "@%zu id %d: kind %d rev %d, %d ch, %s##dev%zu", i, static_cast<int>(d.id),
                    static_cast<int>(d.ident.deviceKind), static_cast<int>(d.ident.deviceRevision),
                    static_cast<int>(d.info.channelCount), d.calibrated ? "calibrated" : "uncalibrated", i);
    else
      std::snprintf(label, sizeof label, "@%zu id %d: unavailable##dev%zu", i, static_cast<int>(d.id), i);
    if (ImGui::Selectable(label, d.id == app.device.id) && d.ok && (d.id != app.device.id || app.gave_up))
      open_device(app, i);
    // The unplugged amplifier's kind is back (a new entry): offer to go on with it.
    if (app.gave_up && d.ok && d.id != app.device.id && d.ident.deviceKind == app.lost_kind &&
        d.ident.deviceRevision == app.lost_revision) {
      char text[96];
      std::snprintf(text, sizeof text, "Continue on @%zu%s##again%zu", i,
                    app.continue_recording ? " into a new recording" : "", i);
      if (ImGui::Button(text)) open_device(app, i);
    }
  }
  if (!app.device.id) return;
  ImGui::Separator();
  int rate_index = static_cast<int>(std::find(std::begin(kRates), std::end(kRates), app.rate) - std::begin(kRates));
  if (ImGui::Combo("rate /s", &rate_index,
                   "125\0"
                   "250\0"
                   "500\0"
                   "1000\0") &&
      rate_index < 4) {
    app.rate = kRates[rate_index];
    restart(app);
  }
  // The analog configuration word: front-end code (family in bits 27-29, code
  // in bits 0-7), mode (bits 24-25) and gain (bit 31, wide-gain devices). The
  // device adjusts what it cannot take; the word in effect is read back.
  static const uint8_t kCodes[] = {0xC0, 0xC1, 0xC2, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9,
                                   0xCB, 0xCC, 0xCD, 0xCE, 0xA0, 0xA1, 0xA3, 0xA4};
  const uint32_t family = app.analog >> 27 & 7, code = app.analog & 0xFF;
  int front = 0;
  for (int i = 0; i < 17; ++i)
    if (family == (i < 13 ? 1u : 2u) && code == kCodes[i]) front = i + 1;
  int mode = app.analog >> 24 & 3, gain = app.analog & 0x80000000u ? 0 : 1;
  auto name = [&](int i) {
    char text[32] = "off";
    if (i) std::snprintf(text, sizeof text, "family %d, 0x%02X", i > 13 ? 2 : 1, kCodes[i - 1]);
    return std::string(text);
  };
  bool changed = false;
  if (ImGui::BeginCombo("front end", name(front).c_str())) {
    for (int i = 0; i <= 17; ++i)
      if (ImGui::Selectable(name(i).c_str(), i == front)) front = i, changed = true;
    ImGui::EndCombo();
  }
  changed |= ImGui::SliderInt("mode", &mode, 0, 3);
  changed |= ImGui::Combo("gain", &gain,
                          "19.7\0"
                          "50\0");
  if (changed) {
    app.analog = (gain ? 0 : 0x80000000u) | static_cast<uint32_t>(mode) << 24 |
                 (front ? (front > 13 ? 2u : 1u) << 27 | kCodes[front - 1] : 0u);
    restart(app);
  }
  ImGui::Text("analog 0x%08X, %.4g uV per count", app.analog, app.device.info.voltsPerCount * 1e6);
}

void filter_panel(App& app)
{
  ImGui::TextUnformatted("Filters (per channel)");
  bool& c = app.filters_changed;
  FilterSettings& f = app.filter;
  const float nyquist = app.rate / 2.0f - 1;
  c |= ImGui::Checkbox("baseline", &f.baseline);
  c |= ImGui::SliderFloat("cutoff Hz", &f.baseline_hz, 0.05f, 5, "%.2f", ImGuiSliderFlags_Logarithmic);
  c |= ImGui::Checkbox("mains notch", &f.notch);
  ImGui::SameLine();
  c |= ImGui::RadioButton("50 Hz", &f.notch_hz, 50);
  ImGui::SameLine();
  c |= ImGui::RadioButton("60 Hz", &f.notch_hz, 60);
  // A Butterworth stage on one line: on, order, corners.
  auto butterworth = [&](const char* name, bool& on, int& order, float& lo, float& hi) {
    ImGui::PushID(name);
    c |= ImGui::Checkbox(name, &on);
    ImGui::SameLine(100);
    ImGui::SetNextItemWidth(52);
    c |= ImGui::DragInt("##order", &order, 0.05f, 1, 8, "ord %d");
    ImGui::SameLine();
    ImGui::SetNextItemWidth(108);
    c |= ImGui::DragFloatRange2("Hz", &lo, &hi, 0.1f, 0.1f, nyquist, "%.1f");
    ImGui::PopID();
  };
  butterworth("band-stop", f.band_stop, f.stop_order, f.stop_lo, f.stop_hi);
  butterworth("band-pass", f.band_pass, f.band_order, f.band_lo, f.band_hi);
  ImGui::TextWrapped("chain: %s", app.filters.chain().c_str());
}

void view_panel(App& app)
{
  int v = static_cast<int>(app.view);
  ImGui::RadioButton("traces", &v, 0);
  ImGui::SameLine();
  ImGui::RadioButton("spectrum", &v, 1);
  ImGui::SameLine();
  ImGui::RadioButton("impedance", &v, 2);
  if (v != static_cast<int>(app.view)) {
    app.view = static_cast<View>(v);
    if ((app.view == View::Impedance) != app.acquiring_impedance) restart(app);
  }
  const int channels = app.device.info.channelCount;
  if (app.view == View::Traces) {
    static const float kSeconds[] = {1, 2, 5, 10};
    char preview[32];
    std::snprintf(preview, sizeof preview, "%g s", app.time_base);
    if (ImGui::BeginCombo("s / page", preview)) {
      for (float t : kSeconds) {
        std::snprintf(preview, sizeof preview, "%g s", t);
        if (ImGui::Selectable(preview, t == app.time_base)) app.time_base = t;
      }
      ImGui::EndCombo();
    }
    // Sensitivity: the two auto scales or microvolts per division (a row).
    static const float kUv[] = {5, 10, 20, 50, 100, 200, 500, 1000, 2000, 5000};
    auto scale_name = [&](int mode, float uv) {
      char text[32];
      if (mode < 2) return std::string(mode ? "auto common" : "auto per channel");
      std::snprintf(text, sizeof text, "%g \u00B5V/div", uv);
      return std::string(text);
    };
    if (ImGui::BeginCombo("scale", scale_name(app.scale, app.uv_per_division).c_str())) {
      for (int mode = 0; mode < 2; ++mode)
        if (ImGui::Selectable(scale_name(mode, 0).c_str(), app.scale == mode)) app.scale = mode;
      for (float uv : kUv)
        if (ImGui::Selectable(scale_name(2, uv).c_str(), app.scale == 2 && app.uv_per_division == uv))
          app.scale = 2, app.uv_per_division = uv;
      ImGui::EndCombo();
    }
    if (app.scale == 2) ImGui::DragFloat("\u00B5V / div", &app.uv_per_division, 5, 1, 1e6f, "%.0f");
  } else if (app.view == View::Spectrum) {
    ImGui::SliderFloat("window s", &app.segment_seconds, 1, 2, "%.1f");
    ImGui::SliderFloat("up to Hz", &app.max_hz, 10, app.rate / 2.0f, "%.0f");
  } else {
    ImGui::DragFloatRange2("good/bad kOhm", &app.good_kohm, &app.bad_kohm, 0.5f, 0.5f, 1000, "%.1f");
    // The reference is set before the measurement starts: a change restarts it.
    if (ImGui::BeginCombo("reference",
                          app.reference >= 0 && app.reference < channels ? app.names[app.reference].c_str() : "?")) {
      for (int c = 0; c < channels; ++c)
        if (ImGui::Selectable(app.names[c].c_str(), c == app.reference) && c != app.reference) {
          const int32_t status = AmxSetImpedanceRef(app.device.id, c);
          if (status != AMX_OK)
            app.message = "reference " + app.names[c] + ": " + amxhost::status_name(status);
          else
            app.reference = c, restart(app);
        }
      ImGui::EndCombo();
    }
  }
  if (app.view == View::Impedance) return;
  std::vector<char>& on = app.view == View::Traces ? app.shown : app.in_spectrum;
  ImGui::TextUnformatted(app.view == View::Traces ? "Channels shown" : "Channels in the spectrum");
  if (ImGui::SmallButton("all")) std::fill(on.begin(), on.end(), 1);
  ImGui::SameLine();
  if (ImGui::SmallButton("none")) std::fill(on.begin(), on.end(), 0);
  for (int c = 0; c < channels; ++c) {
    char label[32];
    std::snprintf(label, sizeof label, "%s##on%d", app.names[c].c_str(), c);
    if (c % 5) ImGui::SameLine(static_cast<float>(c % 5) * 62 + ImGui::GetStyle().WindowPadding.x);
    bool b = on[c];
    if (ImGui::Checkbox(label, &b)) on[c] = b;
  }
}

void record_panel(App& app)
{
  ImGui::TextUnformatted("Record (BDF+)");
  const bool recording = app.acquirer.recording();
  if (recording) ImGui::BeginDisabled();
  ImGui::InputText("file", app.record_path, sizeof app.record_path);
  if (recording) ImGui::EndDisabled();
  if (ImGui::Button(recording ? "Stop recording" : "Record") && app.device.id) {
    std::string error;
    if (recording)
      close_recording(app, nullptr);
    else if (!app.acquirer.start_recording(app.record_path, app.device.info, app.device.ident, app.rate, app.labels,
                                           false, error))
      app.message = error;
    else
      app.message.clear(), app.note.clear();
  }
  ImGui::SameLine();
  if (ImGui::Button("Mark")) add_marker(app, 1);
  ImGui::SameLine();
  ImGui::TextDisabled("(keys 0-9)");
  if (recording) ImGui::BeginDisabled();
  if (ImGui::InputText("montage", app.montage_path, sizeof app.montage_path, ImGuiInputTextFlags_EnterReturnsTrue))
    load_montage(app);
  if (recording) ImGui::EndDisabled();
}

// ---- Views

// The traces go to an image of the plot's size (one pixel per column, spans
// from min to max), which the draw list shows as one textured rectangle: a
// rectangle per column and channel would be hundreds of thousands of
// triangles a frame, more than a software renderer draws 60 times a second.
bool traces_drawable(const App& app, ImVec2 p0, ImVec2 p1)
{
  return app.store.rate && p1.x - p0.x >= 2 && p1.y - p0.y >= 2 &&
         std::find(app.shown.begin(), app.shown.end(), 1) != app.shown.end();
}

// Text on a dark box, readable over traces.
void boxed_text(ImDrawList* dl, ImVec2 at, ImU32 color, const char* text)
{
  const ImVec2 size = ImGui::CalcTextSize(text);
  dl->AddRectFilled(ImVec2(at.x - 2, at.y), ImVec2(at.x + size.x + 2, at.y + size.y), IM_COL32(0, 0, 0, 170));
  dl->AddText(at, color, text);
}

void traces_view(App& app, ImDrawList* dl, ImVec2 p0, ImVec2 p1)
{
  // The time axis takes a line under the traces' image.
  const float line = ImGui::GetTextLineHeight();
  p1.y -= line + 2;
  const int width = static_cast<int>(p1.x - p0.x), height = static_cast<int>(p1.y - p0.y);
  if (!traces_drawable(app, p0, p1)) return;
  std::vector<int> rows;
  for (int c = 0; c < app.store.channels; ++c)
    if (app.shown[c]) rows.push_back(c);
  const TraceScale scale{app.time_base, app.scale, app.uv_per_division};
  raster_traces(app.store, rows, scale, width, height, app.columns, app.trace_pixels, app.bar_uv);
  const std::vector<uint32_t>& px = app.trace_pixels;
  const float row_h = static_cast<float>(height) / rows.size();

  if (!app.trace_texture) {
    glGenTextures(1, &app.trace_texture);
    glBindTexture(GL_TEXTURE_2D, app.trace_texture);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
  }
  glBindTexture(GL_TEXTURE_2D, app.trace_texture);
  glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
  glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
  if (app.texture_w == width && app.texture_h == height) {
    glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE, px.data());
  } else {
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE, px.data());
    app.texture_w = width;
    app.texture_h = height;
  }
  dl->AddImage(reinterpret_cast<ImTextureID>(static_cast<intptr_t>(app.trace_texture)), p0,
               ImVec2(p0.x + width, p0.y + height));
  // Seconds before the newest frame, under the grid lines.
  for (int t = 0; t <= static_cast<int>(app.time_base); ++t) {
    char label[16];
    std::snprintf(label, sizeof label, t == static_cast<int>(app.time_base) ? "0 s" : "-%g", app.time_base - t);
    const float x = p0.x + width * t / app.time_base, w = ImGui::CalcTextSize(label).x;
    dl->AddText(ImVec2(std::clamp(x - w / 2, p0.x, p1.x - w), p1.y + 2), kLabel, label);
  }
  // Event markers: a line and the number at the top.
  const uint64_t span = static_cast<uint64_t>(app.time_base * app.store.rate);
  const uint64_t begin = app.store.head > span ? app.store.head - span : 0;
  for (const App::Marker& m : app.markers) {
    if (m.index < begin) continue;
    const float x = p0.x + width * static_cast<float>(m.index - begin) / span;
    dl->AddLine(ImVec2(x, p0.y), ImVec2(x, p1.y), im(kEventMarker));
    char label[8];
    std::snprintf(label, sizeof label, "%d", m.number);
    boxed_text(dl, ImVec2(x + 2, p0.y), im(kEventMarker), label);
  }
  if (row_h < line * 0.8f) return;
  // Each row's name, and the value of its scale bar (drawn in the image at
  // the left edge) where it has one.
  for (size_t r = 0; r < rows.size(); ++r) {
    char label[64];
    if (app.bar_uv[r] > 0)
      std::snprintf(label, sizeof label, "%s  %g \u00B5V", app.names[rows[r]].c_str(), app.bar_uv[r]);
    else
      std::snprintf(label, sizeof label, "%s", app.names[rows[r]].c_str());
    boxed_text(dl, ImVec2(p0.x + 8, p0.y + row_h * (r + 0.5f) - line / 2), kLabel, label);
  }
}

// The plot's background inside margins for the axes' labels.
void spectrum_view(App& app, ImDrawList* dl, ImVec2 p0, ImVec2 p1)
{
  const float line = ImGui::GetTextLineHeight();
  p0 = ImVec2(p0.x + ImGui::CalcTextSize("000000").x + 8, p0.y + line + 4);
  p1 = ImVec2(p1.x - 14, p1.y - line - 4);
  dl->AddRectFilled(p0, p1, im(kPlotBackground));
  const float w = p1.x - p0.x, h = p1.y - p0.y;
  // Log scale over ten decades below the highest bin shown (with headroom):
  // strong peaks and the noise floor fit together.
  float top = -INFINITY;
  const double bin_hz = 1.0 / app.segment_seconds;
  for (const auto& p : app.psd)
    for (size_t k = 1; k < p.size() && k * bin_hz <= app.max_hz; ++k) top = std::max(top, std::log10(p[k]));
  const float decades = 10;
  const float ceiling = std::ceil(top + 0.3f);
  const float step = app.max_hz > 200 ? 50 : 10;
  for (float f = 0; f <= app.max_hz; f += step) {
    const float x = p0.x + w * f / app.max_hz;
    dl->AddLine(ImVec2(x, p0.y), ImVec2(x, p1.y), im(kGrid));
    char label[16];
    std::snprintf(label, sizeof label, "%.0f", f);
    const float lw = ImGui::CalcTextSize(label).x;
    dl->AddText(ImVec2(x - lw / 2, p1.y + 2), kLabel, label);
  }
  const char* unit_x = "frequency (Hz)";
  dl->AddText(ImVec2(p1.x - ImGui::CalcTextSize(unit_x).x, p0.y - line - 2), kLabel, unit_x);
  if (!std::isfinite(top)) {
    dl->AddText(ImVec2(p0.x + 10, p0.y + 10), kLabel, "collecting samples ...");
    return;
  }
  dl->AddText(ImVec2(p0.x - ImGui::CalcTextSize("000000").x - 6, p0.y - line - 2), kLabel, "PSD (\u00B5V\u00B2/Hz)");
  for (int d = 0; d <= decades; ++d) {
    const float y = p0.y + h * d / decades;
    dl->AddLine(ImVec2(p0.x, y), ImVec2(p1.x, y), im(kGrid));
    char label[32];
    std::snprintf(label, sizeof label, "%g", std::pow(10.0, ceiling - d));
    dl->AddText(ImVec2(p0.x - ImGui::CalcTextSize(label).x - 4, y - line / 2), kLabel, label);
  }
  std::vector<ImVec2> points;
  for (size_t c = 0; c < app.psd.size(); ++c) {
    const auto& p = app.psd[c];
    points.clear();
    for (size_t k = 0; k < p.size() && k * bin_hz <= app.max_hz; ++k) {
      float level = std::clamp((ceiling - std::log10(std::max(p[k], 1e-30f))) / decades, 0.0f, 1.0f);
      points.push_back(ImVec2(p0.x + w * static_cast<float>(k * bin_hz / app.max_hz), p0.y + h * level));
    }
    if (points.size() > 1) dl->AddPolyline(points.data(), static_cast<int>(points.size()), im(channel_color(c)), 0, 2);
  }
  // The legend: each channel's colour and name, in the top right corner.
  float legend_w = 0;
  int entries = 0;
  for (size_t c = 0; c < app.psd.size(); ++c)
    if (!app.psd[c].empty()) legend_w = std::max(legend_w, ImGui::CalcTextSize(app.names[c].c_str()).x), ++entries;
  if (!entries) return;
  const ImVec2 a(p1.x - legend_w - 34, p0.y + 4);
  dl->AddRectFilled(a, ImVec2(p1.x - 4, a.y + entries * line + 8), IM_COL32(0, 0, 0, 200));
  float y = a.y + 4;
  for (size_t c = 0; c < app.psd.size(); ++c) {
    if (app.psd[c].empty()) continue;
    dl->AddLine(ImVec2(a.x + 6, y + line / 2), ImVec2(a.x + 20, y + line / 2), im(channel_color(static_cast<int>(c))),
                3);
    dl->AddText(ImVec2(a.x + 26, y), kLabel, app.names[c].c_str());
    y += line;
  }
}

// The classes' colours and what they mean, along the plot's bottom.
void impedance_legend(App& app, ImDrawList* dl, ImVec2 p0, float y)
{
  char good[48], fair[48], bad[48];
  std::snprintf(good, sizeof good, "good <= %.1f kOhm", app.good_kohm);
  std::snprintf(fair, sizeof fair, "fair <= %.1f kOhm", app.bad_kohm);
  std::snprintf(bad, sizeof bad, "bad > %.1f kOhm", app.bad_kohm);
  const std::pair<amxhost::Electrode, const char*> entries[] = {{amxhost::Electrode::Good, good},
                                                                {amxhost::Electrode::Fair, fair},
                                                                {amxhost::Electrode::Bad, bad},
                                                                {amxhost::Electrode::Reference, "reference"},
                                                                {amxhost::Electrode::Waiting, "waiting / invalid"}};
  float x = p0.x + 6;
  const float box = 12;  // smaller than a cell
  for (const auto& [e, text] : entries) {
    dl->AddRectFilled(ImVec2(x, y + 2), ImVec2(x + box, y + 2 + box), im(electrode_color(e)));
    dl->AddText(ImVec2(x + box + 5, y + 1), kLabel, text);
    x += box + 25 + ImGui::CalcTextSize(text).x;
  }
}

void impedance_view(App& app, ImDrawList* dl, ImVec2 p0, ImVec2 p1)
{
  const int channels = static_cast<int>(app.ohms.size());
  p1.y -= ImGui::GetTextLineHeight() + 6;
  impedance_legend(app, dl, p0, p1.y);
  if (!channels) return;
  const int cols = channels > 20 ? 8 : channels > 8 ? 5 : 4, rows_n = (channels + cols - 1) / cols;
  const float gap = 6, cw = (p1.x - p0.x - gap) / cols - gap,
              ch = std::min((p1.y - p0.y - gap) / rows_n - gap, cw * 0.6f);
  for (int c = 0; c < channels; ++c) {
    const amxhost::Electrode e = amxhost::classify(c, app.reference, app.ohms[c], app.good_kohm, app.bad_kohm);
    ImVec2 a(p0.x + gap + (c % cols) * (cw + gap), p0.y + gap + (c / cols) * (ch + gap));
    dl->AddRectFilled(a, ImVec2(a.x + cw, a.y + ch), im(electrode_color(e)));
    const char* name = app.names[c].c_str();
    const std::string value =
        app.ohms[c] > 0 && e != amxhost::Electrode::Reference ? kohm_text(app.ohms[c]) : amxhost::electrode_name(e);
    const ImU32 text = IM_COL32(0, 0, 0, 255);
    dl->AddText(ImVec2(a.x + 6, a.y + 4), text, name);
    dl->AddText(ImVec2(a.x + 6, a.y + 4 + ImGui::GetTextLineHeight()), text, value.c_str());
  }
}

// Recording: a red badge over the plot's top right corner with the file and
// the time recorded, which no view covers.
void rec_badge(App& app, ImDrawList* dl, float right)
{
  uint64_t frames = 0, bytes = 0;
  std::string error;
  app.acquirer.recording_state(frames, bytes, error);
  char text[640];
  std::snprintf(text, sizeof text, "REC  %s  %.1f s", app.record_path,
                app.rate ? static_cast<double>(frames) / app.rate : 0.0);
  const ImVec2 size = ImGui::CalcTextSize(text), top = ImGui::GetWindowPos();
  const float pad = 6, dot = size.y;
  const ImVec2 a(right - size.x - dot - 4 * pad, top.y + pad), b(right - pad, top.y + size.y + 3 * pad);
  dl->AddRectFilled(a, b, im(kRecBadge), 4);
  dl->AddCircleFilled(ImVec2(a.x + pad + dot / 2, (a.y + b.y) / 2), dot / 2.5f, IM_COL32(255, 255, 255, 255));
  dl->AddText(ImVec2(a.x + 2 * pad + dot, a.y + pad), IM_COL32(255, 255, 255, 255), text);
}

void status_bar(App& app)
{
  uint64_t rec_frames = 0, rec_bytes = 0;
  std::string rec_error;
  app.acquirer.recording_state(rec_frames, rec_bytes, rec_error);
  char text[256];
  std::snprintf(text, sizeof text, "%.1f frames/s | %llu frames | %d packets lost | %llu frames missing | %.0f draws/s",
                app.frames_per_second, static_cast<unsigned long long>(app.acquirer.frames.load()),
                static_cast<int>(app.acquirer.lost_packets.load()),
                static_cast<unsigned long long>(app.acquirer.missing.load()), app.draws_per_second);
  std::string& line = app.status;
  line = text;
  if (app.acquirer.recording()) {
    std::snprintf(text, sizeof text, " %.2f MB %.1f s", rec_bytes / 1e6,
                  app.rate ? static_cast<double>(rec_frames) / app.rate : 0.0);
    line += std::string(" | REC ") + app.record_path + text;
  } else if (!app.note.empty()) {
    line += " | " + app.note;
  }
  if (app.device.id && !amxhost::identified(app.device.ident)) line += std::string(" | ") + amxhost::kUnidentifiedNote;
  ImGui::TextUnformatted(line.c_str());
  const std::string& problem = rec_error.empty() ? app.message : rec_error;
  if (!problem.empty()) {
    ImGui::SameLine();
    ImGui::TextColored(ImVec4(1, 0.4f, 0.3f, 1), "| %s", problem.c_str());
  }
}

}  // namespace

// Every setting kept between runs with the range its control allows.
template <class Visit>
void each_setting(App& app, Visit visit)
{
  visit("view", app.view_index, 0, 2);
  visit("time_base", app.time_base, 1, 10);
  visit("scale", app.scale, 0, 2);
  visit("uv_per_division", app.uv_per_division, 1, 1e6f);
  FilterSettings& f = app.filter;
  visit("baseline", f.baseline, 0, 1);
  visit("baseline_hz", f.baseline_hz, 0.05f, 5);
  visit("notch", f.notch, 0, 1);
  visit("notch_hz", f.notch_hz, 50, 60);
  visit("band_stop", f.band_stop, 0, 1);
  visit("stop_order", f.stop_order, 1, 8);
  visit("stop_lo", f.stop_lo, 0.1f, 500);
  visit("stop_hi", f.stop_hi, 0.1f, 500);
  visit("band_pass", f.band_pass, 0, 1);
  visit("band_order", f.band_order, 1, 8);
  visit("band_lo", f.band_lo, 0.1f, 500);
  visit("band_hi", f.band_hi, 0.1f, 500);
  visit("segment_seconds", app.segment_seconds, 1, 2);
  visit("max_hz", app.max_hz, 10, 500);
  visit("good_kohm", app.good_kohm, 0.5f, 1000);
  visit("bad_kohm", app.bad_kohm, 0.5f, 1000);
}

std::map<std::string, std::string> settings_of(App& app)
{
  std::map<std::string, std::string> values;
  app.view_index = static_cast<int>(app.view);
  each_setting(app, [&](const char* key, auto& value, float, float) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", static_cast<double>(value));
    values[key] = text;
  });
  return values;
}

void apply_settings(App& app, const std::map<std::string, std::string>& values)
{
  app.view_index = static_cast<int>(app.view);
  each_setting(app, [&](const char* key, auto& value, float lo, float hi) {
    auto it = values.find(key);
    double v = 0;
    if (it != values.end() && amxhost::parse_double(it->second, v) && v >= lo && v <= hi)
      value = static_cast<std::remove_reference_t<decltype(value)>>(v);
  });
  if (app.filter.notch_hz != 50 && app.filter.notch_hz != 60) app.filter.notch_hz = 50;
  app.view = static_cast<View>(app.view_index);
}

// The stream ended by itself: say why in the library's words, then reopen and
// restart the device every half second while it is listed, for at most
// kRecoverSeconds. A removed device is not waited for: the device panel offers
// one of its kind when it comes back.
constexpr double kRecoverSeconds = 10;

void recover(App& app, double now)
{
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
  if (AmxOpen(app.device.id) == AMX_OK && restart(app)) app.note = "reopened and restarted after " + why;
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

void load_montage(App& app)
{
  const int channels = app.device.info.channelCount;
  app.names = amxhost::default_montage(channels);
  app.labels.clear();
  std::string error;
  if (!*app.montage_path) return;
  if (!amxhost::read_montage(app.montage_path, channels, app.labels, error)) {
    app.message = error;
    return;
  }
  app.names = app.labels;
  app.message.clear();
}

void add_marker(App& app, int number)
{
  if (!app.device.id) return;
  app.markers.push_back({app.store.head, number});
  app.acquirer.mark("Marker " + std::to_string(number));
}

void close_recording(App& app, const char* why)
{
  if (!app.acquirer.recording()) return;
  uint64_t frames = 0, bytes = 0;
  std::string error;
  app.acquirer.recording_state(frames, bytes, error);
  const bool ok = app.acquirer.stop_recording(error);
  char text[640];
  std::snprintf(text, sizeof text, "recording %s closed (%.1f s)%s%s", app.record_path,
                app.rate ? static_cast<double>(frames) / app.rate : 0.0, why ? ": " : "", why ? why : "");
  app.note = text;
  if (!ok) app.message = error;
  // The next name: a dated one in the same folder.
  const std::string path = app.record_path;
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  std::snprintf(app.record_path, sizeof app.record_path, "%s", (folder + dated_record_name()).c_str());
}

bool open_device(App& app, size_t index)
{
  close_recording(app, "another device opened");
  app.acquirer.stop();
  app.device = app.devices[index];
  int32_t rate = 0;
  AmxGetSampling(app.device.id, &rate);
  AmxGetAnalogConfig(app.device.id, &app.analog);
  app.rate = app.options.rate ? app.options.rate : rate > 0 ? rate : 500;
  const size_t channels = static_cast<size_t>(app.device.info.channelCount);
  load_montage(app);
  app.shown.assign(channels, 1);
  app.in_spectrum.assign(channels, 0);
  // Channel 1 and every tenth: their test tones (1, 10, 20, ... Hz) spread over the axis.
  for (size_t c = 0; c < channels; c += c ? 10 : 9) app.in_spectrum[c] = 1;
  return restart(app);
}

bool restart(App& app)
{
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
  app.store.reset(app.device.info.channelCount, app.rate, 10);
  app.markers.clear();
  app.filters.reset();
  app.filters_changed = true;
  app.psd.clear();
  app.ohms.clear();
  app.last_psd = app.last_impedance = -1;
  app.acquiring_impedance = app.view == View::Impedance;
  if (app.record_on_start || app.continue_recording) {
    const bool replace = app.record_on_start && app.record_replace;  // --force is for --record's file only
    app.record_on_start = app.continue_recording = false;
    if (!app.acquirer.start_recording(app.record_path, app.device.info, app.device.ident, app.rate, app.labels, replace,
                                      error)) {
      app.message = error;
      return false;
    }
  }
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
  if (!app.device.id) return;
  pump(app);
  // The device went away or the acquisition failed: the file gets its stop
  // annotation now, not when the user next touches the window.
  if (!app.acquirer.running && app.acquirer.recording()) {
    close_recording(app, app.acquirer.removed ? "the device was removed" : "the acquisition ended");
    app.continue_recording = true;
  }
  recover(app, now);
  if (now - app.rate_time >= 1) {
    const double frames = static_cast<double>(app.acquirer.frames.load());
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

void draw(App& app)
{
  const ImGuiViewport* vp = ImGui::GetMainViewport();
  ImGui::SetNextWindowPos(vp->Pos);
  ImGui::SetNextWindowSize(vp->Size);
  ImGui::Begin("amxview", nullptr,
               ImGuiWindowFlags_NoDecoration | ImGuiWindowFlags_NoMove | ImGuiWindowFlags_NoSavedSettings |
                   ImGuiWindowFlags_NoBringToFrontOnFocus | ImGuiWindowFlags_NoBackground);
  // Keys 0-9 mark events, unless a text field has them (the GLFW backend
  // keeps keys by GLFW's codes).
  for (int n = 0; n < 10 && app.device.id && !ImGui::GetIO().WantTextInput; ++n)
    if (ImGui::IsKeyPressed(GLFW_KEY_0 + n, false) || ImGui::IsKeyPressed(GLFW_KEY_KP_0 + n, false)) add_marker(app, n);
  const float status_h = ImGui::GetFrameHeightWithSpacing();
  ImGui::BeginChild("panel", ImVec2(330, -status_h), true);
  device_panel(app);
  if (app.device.id) {
    ImGui::Separator();
    view_panel(app);
    ImGui::Separator();
    filter_panel(app);
    ImGui::Separator();
    record_panel(app);
  }
  ImGui::EndChild();
  ImGui::SameLine();
  ImGui::BeginChild("plot", ImVec2(0, -status_h), false, ImGuiWindowFlags_NoScrollbar);
  const ImVec2 p0 = ImGui::GetCursorScreenPos(), size = ImGui::GetContentRegionAvail();
  const ImVec2 p1(p0.x + std::floor(size.x), p0.y + std::floor(size.y));
  ImDrawList* dl = ImGui::GetWindowDrawList();
  // (the traces' image covers the plot: one layer less for the renderer to
  // fill; the spectrum fills its plot inside the axes' margins)
  const bool filled =
      app.device.id && (app.view == View::Spectrum || (app.view == View::Traces && traces_drawable(app, p0, p1)));
  if (!filled) dl->AddRectFilled(p0, p1, im(kPlotBackground));
  dl->PushClipRect(p0, p1, true);
  if (!app.device.id)
    dl->AddText(ImVec2(p0.x + 10, p0.y + 10), kLabel, "no device open");
  else if (app.view == View::Traces)
    traces_view(app, dl, p0, p1);
  else if (app.view == View::Spectrum)
    spectrum_view(app, dl, p0, p1);
  else
    impedance_view(app, dl, p0, p1);
  if (app.acquirer.recording()) rec_badge(app, dl, p1.x);
  dl->PopClipRect();
  ImGui::EndChild();
  status_bar(app);
  ImGui::End();
}

}  // namespace amxview
