// amxview: the panels (devices, settings, filters, recording, traces,
// spectrum, impedance grid, status bar), drawn with Dear ImGui's draw lists
// from the session's state, and the marker keys from the window's key events.
#include "ui.h"

#include <GL/gl.h>
#include <GLFW/glfw3.h>
#include <imgui.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace amxview {

namespace {

ImU32 im(Rgb c) { return rgba(c); }
const ImU32 kLabel = IM_COL32(230, 230, 230, 255);
const int kRates[] = {125, 250, 500, 1000};

std::string kohm_text(int32_t ohms)
{
  char text[32];
  std::snprintf(text, sizeof text, "%.1f kOhm", amxhost::shown_kohm(ohms));
  return text;
}

// ---- Panels

// The streams announced on the LAN beside the amplifiers, a field for one
// by address or name (where announcements cannot reach) and the key folder
// for secure ones; the open stream's description.
void streams_panel(App& app)
{
  ImGui::Separator();
  ImGui::TextUnformatted("Streams");
  if (app.streams.empty())
    ImGui::TextDisabled(app.discovery_error.empty() ? "none announced" : "announcements unheard");
  if (!app.discovery_error.empty()) ImGui::TextWrapped("%s", app.discovery_error.c_str());
  for (size_t i = 0; i < app.streams.size(); ++i) {
    const amxnet::Announcement& a = app.streams[i].a;
    const std::string source = stream_source(a);
    char label[400];
    std::snprintf(label, sizeof label, "%s on %s: %d ch at %d/s, %s##stream%zu", a.name.c_str(), a.host.c_str(),
                  a.channels, a.rate, a.secure ? "secure" : "not secure", i);
    if (ImGui::Selectable(label, source == app.source) && (source != app.source || app.gave_up))
      connect_announced(app, i);
    if (ImGui::IsItemHovered()) ImGui::SetTooltip("%s", source.c_str());
  }
  ImGui::SetNextItemWidth(200);
  const bool enter = ImGui::InputTextWithHint("##connect", "NAME or tcp://HOST:PORT/NAME", app.connect_text,
                                              sizeof app.connect_text, ImGuiInputTextFlags_EnterReturnsTrue);
  ImGui::SameLine();
  if ((ImGui::Button("Connect") || enter) && *app.connect_text) connect_stream(app, app.connect_text);
  ImGui::SetNextItemWidth(200);
  ImGui::InputTextWithHint("keys", "key folder (secure streams)", app.keys_path, sizeof app.keys_path);
  if (app.source.empty()) return;
  const RemoteStatus& r = app.remote;
  ImGui::TextWrapped("remote: %s at %s%s%s, %d ch at %d/s, %s", r.name.empty() ? "(first stream)" : r.name.c_str(),
                     r.endpoint.empty() ? app.source.c_str() : r.endpoint.c_str(), r.host.empty() ? "" : " on ",
                     r.host.c_str(), static_cast<int>(app.device.info.channelCount), app.rate,
                     r.secure ? "secure" : "not secure");
  ImGui::TextDisabled("rate and analog settings are the publisher's");
}

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
  streams_panel(app);
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
  // A publisher serves samples, not impedances.
  ImGui::BeginDisabled(!app.source.empty());
  ImGui::RadioButton("impedance", &v, 2);
  ImGui::EndDisabled();
  if (!app.source.empty()) ImGui::TextDisabled("impedance: not served by the publisher");
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
  // As many columns as the longest name leaves room for.
  float widest = 0;
  for (int c = 0; c < channels; ++c) widest = std::max(widest, ImGui::CalcTextSize(app.names[c].c_str()).x);
  const ImGuiStyle& style = ImGui::GetStyle();
  const float cell = widest + ImGui::GetFrameHeight() + style.ItemInnerSpacing.x + style.ItemSpacing.x;
  const int per_row = std::max(1, static_cast<int>(ImGui::GetContentRegionAvail().x / cell));
  for (int c = 0; c < channels; ++c) {
    char label[32];
    std::snprintf(label, sizeof label, "%s##on%d", app.names[c].c_str(), c);
    if (c % per_row) ImGui::SameLine(static_cast<float>(c % per_row) * cell + style.WindowPadding.x);
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
  if (ImGui::Button(recording ? "Stop recording" : "Record") && is_open(app) && app.store.channels) {
    if (recording)
      close_recording(app, nullptr);
    else
      start_recording(app, false);
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
  for (const AxisLabel& a : time_axis(app.time_base, width)) {
    const float x = p0.x + a.x, w = ImGui::CalcTextSize(a.text.c_str()).x;
    dl->AddText(ImVec2(std::clamp(x - w / 2, p0.x, p1.x - w), p1.y + 2), kLabel, a.text.c_str());
  }
  // Event markers: a line and the number at the bottom, clear of the
  // recording's badge at the top.
  for (const App::Marker& m : app.markers) {
    const float x = p0.x + page_x(app.store, app.time_base, width, m.index);
    if (x < p0.x) continue;
    dl->AddLine(ImVec2(x, p0.y), ImVec2(x, p1.y), im(kEventMarker));
    char label[8];
    std::snprintf(label, sizeof label, "%d", m.number);
    const float w = ImGui::CalcTextSize(label).x;
    boxed_text(dl, ImVec2(std::min(x + 2, p1.x - w - 2), p1.y - line), im(kEventMarker), label);
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
  for (size_t c = 0, shown = 0; c < app.psd.size(); ++c) {
    const auto& p = app.psd[c];
    if (p.empty()) continue;
    const ImU32 color = im(spectrum_color(static_cast<int>(shown++)));
    points.clear();
    for (size_t k = 0; k < p.size() && k * bin_hz <= app.max_hz; ++k) {
      float level = std::clamp((ceiling - std::log10(std::max(p[k], 1e-30f))) / decades, 0.0f, 1.0f);
      points.push_back(ImVec2(p0.x + w * static_cast<float>(k * bin_hz / app.max_hz), p0.y + h * level));
    }
    if (points.size() > 1) dl->AddPolyline(points.data(), static_cast<int>(points.size()), color, 0, 2);
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
  for (size_t c = 0, shown = 0; c < app.psd.size(); ++c) {
    if (app.psd[c].empty()) continue;
    const ImU32 color = im(spectrum_color(static_cast<int>(shown++)));
    dl->AddLine(ImVec2(a.x + 6, y + line / 2), ImVec2(a.x + 20, y + line / 2), color, 3);
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
    const ImU32 text = im(text_on(electrode_color(e)));
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

// The status bar: the counters, the recording or the last note, and under
// them the failure to show (a recording's write error first), each wrapped
// so that nothing is cut at the window's edge.
void status_texts(App& app, std::string& problem)
{
  uint64_t rec_frames = 0, rec_bytes = 0;
  std::string rec_error;
  app.acquirer.recording_state(rec_frames, rec_bytes, rec_error);
  problem = !rec_error.empty() ? rec_error : !app.remote.link.empty() ? app.remote.link : app.message;
  const Counts n = counts(app);
  char text[256];
  std::snprintf(text, sizeof text, "%.1f frames/s | %llu frames | %d packets lost | %llu frames missing | %.0f draws/s",
                app.frames_per_second, static_cast<unsigned long long>(n.frames), static_cast<int>(n.lost),
                static_cast<unsigned long long>(n.missing), app.draws_per_second);
  std::string& line = app.status;
  line = text;
  if (app.acquirer.recording()) {
    std::snprintf(text, sizeof text, " %.2f MB %.1f s", rec_bytes / 1e6,
                  app.rate ? static_cast<double>(rec_frames) / app.rate : 0.0);
    line += std::string(" | REC ") + app.record_path + text;
  } else if (!app.note.empty()) {
    line += " | " + app.note;
  }
  if (app.store.channels && !amxhost::identified(app.device.ident))
    line += std::string(" | ") + amxhost::kUnidentifiedNote;
  if (!app.source.empty()) line += " | " + remote_text(app);
}

float status_height(const App& app, const std::string& problem)
{
  const float wrap = ImGui::GetContentRegionAvail().x, spacing = ImGui::GetStyle().ItemSpacing.y;
  float h = ImGui::CalcTextSize(app.status.c_str(), nullptr, false, wrap).y + 2 * spacing;
  if (!problem.empty()) h += ImGui::CalcTextSize(problem.c_str(), nullptr, false, wrap).y + spacing;
  return h;
}

void status_bar(const App& app, const std::string& problem)
{
  ImGui::TextWrapped("%s", app.status.c_str());
  if (problem.empty()) return;
  ImGui::PushStyleColor(ImGuiCol_Text, ImVec4(1, 0.4f, 0.3f, 1));
  ImGui::TextWrapped("%s", problem.c_str());
  ImGui::PopStyleColor();
}

}  // namespace

void draw(App& app)
{
  const ImGuiViewport* vp = ImGui::GetMainViewport();
  ImGui::SetNextWindowPos(vp->Pos);
  ImGui::SetNextWindowSize(vp->Size);
  ImGui::Begin("amxview", nullptr,
               ImGuiWindowFlags_NoDecoration | ImGuiWindowFlags_NoMove | ImGuiWindowFlags_NoSavedSettings |
                   ImGuiWindowFlags_NoBringToFrontOnFocus | ImGuiWindowFlags_NoBackground);
  std::string problem;
  status_texts(app, problem);
  const float status_h = status_height(app, problem);
  ImGui::BeginChild("panel", ImVec2(330, -status_h), true);
  device_panel(app);
  if (app.device.id || (!app.source.empty() && app.store.channels)) {
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
  const bool shown = app.device.id || (!app.source.empty() && app.store.channels);
  const bool filled =
      shown && (app.view == View::Spectrum || (app.view == View::Traces && traces_drawable(app, p0, p1)));
  if (!filled) dl->AddRectFilled(p0, p1, im(kPlotBackground));
  dl->PushClipRect(p0, p1, true);
  if (!shown)
    dl->AddText(ImVec2(p0.x + 10, p0.y + 10), kLabel,
                app.source.empty() ? "no device open" : ("waiting for " + app.source).c_str());
  else if (app.view == View::Traces)
    traces_view(app, dl, p0, p1);
  else if (app.view == View::Spectrum)
    spectrum_view(app, dl, p0, p1);
  else
    impedance_view(app, dl, p0, p1);
  if (app.acquirer.recording()) rec_badge(app, dl, p1.x);
  dl->PopClipRect();
  ImGui::EndChild();
  status_bar(app, problem);
  ImGui::End();
}

void install_marker_keys(GLFWwindow* window, App& app)
{
  glfwSetWindowUserPointer(window, &app);
  glfwSetKeyCallback(window, [](GLFWwindow* w, int key, int, int action, int) {
    App& a = *static_cast<App*>(glfwGetWindowUserPointer(w));
    // Not while a text field has the keys (ImGui's backend sees this event
    // after us, so this is the state of the last frame).
    if (action != GLFW_PRESS || (ImGui::GetCurrentContext() && ImGui::GetIO().WantTextInput)) return;
    if (key >= GLFW_KEY_0 && key <= GLFW_KEY_9) a.key_marks.push_back(key - GLFW_KEY_0);
    if (key >= GLFW_KEY_KP_0 && key <= GLFW_KEY_KP_9) a.key_marks.push_back(key - GLFW_KEY_KP_0);
  });
}

}  // namespace amxview
