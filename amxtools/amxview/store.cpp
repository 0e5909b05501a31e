// amxview: colours, the sample store, the decimation of traces to pixel
// columns and the Welch spectrum (kissfft).
#include "viewer.h"

#include <kiss_fftr.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace amxview {

Rgb channel_color(int channel)
{
  // Golden-ratio steps around the hue circle keep neighbours apart.
  double h = std::fmod(channel * 0.618033988749895, 1.0) * 6, f = h - std::floor(h);
  auto byte = [](double v) { return static_cast<uint8_t>(std::lround(v * 255)); };
  const double s = 0.6, lo = 1 - s, down = 1 - s * f, up = 1 - s * (1 - f);
  switch (static_cast<int>(h)) {
    case 0: return {255, byte(up), byte(lo)};
    case 1: return {byte(down), 255, byte(lo)};
    case 2: return {byte(lo), 255, byte(up)};
    case 3: return {byte(lo), byte(down), 255};
    case 4: return {byte(up), byte(lo), 255};
    default: return {255, byte(lo), byte(down)};
  }
}

Rgb spectrum_color(int k)
{
  static const Rgb kPalette[kSpectrumColors] = {{255, 60, 60},   {60, 200, 255}, {110, 230, 70},  {255, 210, 0},
                                                {170, 100, 255}, {0, 160, 130},  {255, 150, 230}, {50, 90, 255},
                                                {245, 245, 245}, {140, 140, 140}};
  return kPalette[k % kSpectrumColors];
}

double contrast(Rgb a, Rgb b)
{
  auto luminance = [](Rgb c) {
    auto linear = [](uint8_t v) {
      const double s = v / 255.0;
      return s <= 0.04045 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(c.r) + 0.7152 * linear(c.g) + 0.0722 * linear(c.b);
  };
  const double la = luminance(a), lb = luminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

Rgb text_on(Rgb background)
{
  const Rgb black{0, 0, 0}, white{255, 255, 255};
  return contrast(black, background) >= contrast(white, background) ? black : white;
}

Rgb electrode_color(amxhost::Electrode e)
{
  switch (e) {
    case amxhost::Electrode::Good: return {40, 170, 60};
    case amxhost::Electrode::Fair: return {220, 190, 40};
    case amxhost::Electrode::Bad: return {200, 40, 40};
    case amxhost::Electrode::Reference: return {60, 110, 220};
    default: return {90, 90, 96};  // waiting, invalid
  }
}

void SampleStore::reset(int channel_count, int sample_rate, double seconds)
{
  channels = channel_count;
  rate = sample_rate;
  capacity = static_cast<size_t>(std::ceil(seconds * rate));
  data.assign(capacity * static_cast<size_t>(channels), NAN);
  head = 0;
  losses.clear();
}

void SampleStore::append(const int32_t* frames, int count, double uv_per_count)
{
  const int words = channels + 1;
  for (int i = 0; i < count; ++i, ++head) {
    const int32_t* f = frames + static_cast<size_t>(i) * words;
    const size_t at = head % capacity;
    for (int c = 0; c < channels; ++c)
      data[c * capacity + at] = f[c] == AMX_INVALID_SAMPLE ? NAN : static_cast<float>(f[c] * uv_per_count);
  }
  while (!losses.empty() && losses.front().index < first()) losses.pop_front();
}

void SampleStore::append_missing(uint32_t count)
{
  for (uint32_t i = 0; i < count; ++i, ++head)
    for (int c = 0; c < channels; ++c) data[c * capacity + head % capacity] = INFINITY;
}

void SampleStore::feed(const int32_t* frames, int count, const std::vector<Loss>& new_losses, double uv_per_count)
{
  const size_t words = static_cast<size_t>(channels) + 1;
  int done = 0;
  for (const Loss& l : new_losses) {
    const int before = static_cast<int>(std::min<uint64_t>(l.index - std::min(l.index, head), count - done));
    append(frames + done * words, before, uv_per_count);
    done += before;
    note_loss(l.missing, l.packets);
    append_missing(l.missing);
  }
  append(frames + done * words, count - done, uv_per_count);
}

void decimate(const SampleStore& s, int channel, int64_t begin, int64_t end, std::vector<Column>& columns, float& lo,
              float& hi)
{
  const int64_t n = static_cast<int64_t>(columns.size()), head = static_cast<int64_t>(s.head);
  lo = INFINITY;
  hi = -INFINITY;
  float last = NAN;
  const int64_t first = std::max(begin, static_cast<int64_t>(s.first()));
  const float* d = &s.data[channel * s.capacity];
  for (int64_t x = 0; x < n; ++x) {
    int64_t a = begin + (end - begin) * x / n, b = begin + (end - begin) * (x + 1) / n;
    a = std::max(a, first);
    Column col{INFINITY, -INFINITY, false};
    const int64_t stop = std::min(b, head);
    size_t pos = static_cast<size_t>(a) % s.capacity;
    for (int64_t i = a; i < stop; ++i) {
      float v = d[pos];
      if (++pos == s.capacity) pos = 0;
      if (!std::isfinite(v)) {
        last = NAN;  // a gap: the trace restarts after it
        col.invalid |= std::isnan(v);
        continue;
      }
      if (!std::isnan(last)) col.lo = std::min(col.lo, last), col.hi = std::max(col.hi, last);
      col.lo = std::min(col.lo, v);
      col.hi = std::max(col.hi, v);
      last = v;
    }
    // Fewer frames than columns: a column without frames carries the value on.
    if (a >= b && !std::isnan(last) && b <= head) col = {last, last, false};
    if (col.lo <= col.hi) lo = std::min(lo, col.lo), hi = std::max(hi, col.hi);
    columns[x] = col;
  }
}

float page_x(const SampleStore& s, float seconds, int width, uint64_t index)
{
  const double span = static_cast<double>(seconds) * s.rate;
  return static_cast<float>(width * (span - static_cast<double>(s.head - index)) / span);
}

std::vector<AxisLabel> time_axis(float seconds, int width)
{
  std::vector<AxisLabel> labels;
  for (int t = 0; t <= static_cast<int>(seconds); ++t) {
    char text[16];
    std::snprintf(text, sizeof text, t ? "-%d" : "0 s", t);
    labels.push_back({width * (seconds - static_cast<float>(t)) / seconds, text});
  }
  return labels;
}

void raster_traces(const SampleStore& s, const std::vector<int>& rows, const TraceScale& scale, int width, int height,
                   std::vector<std::vector<Column>>& columns, std::vector<uint32_t>& px, std::vector<float>& bar_uv)
{
  const int64_t span = static_cast<int64_t>(scale.seconds * s.rate);
  const int64_t end = static_cast<int64_t>(s.head), begin = end - span;
  const float row_h = static_cast<float>(height) / rows.size();
  // Decimate every channel first: the common scale needs all ranges.
  std::vector<float> lo(rows.size()), hi(rows.size());
  columns.resize(rows.size());
  float range_all = 0;
  for (size_t r = 0; r < rows.size(); ++r) {
    columns[r].resize(static_cast<size_t>(width));
    decimate(s, rows[r], begin, end, columns[r], lo[r], hi[r]);
    if (lo[r] <= hi[r]) range_all = std::max(range_all, hi[r] - lo[r]);
  }
  px.assign(static_cast<size_t>(width) * height, rgba(kPlotBackground));
  auto vline = [&](int x, int y0, int y1, uint32_t color) {
    for (int y = std::max(y0, 0); y <= std::min(y1, height - 1); ++y) px[static_cast<size_t>(y) * width + x] = color;
  };
  // A grid line per second before the newest frame, under the axis' labels.
  for (const AxisLabel& a : time_axis(scale.seconds, width))
    if (a.x >= 1 && a.x < width) vline(static_cast<int>(a.x), 0, height - 1, rgba(kGrid));
  bar_uv.assign(rows.size(), 0.0f);
  for (size_t r = 0; r < rows.size(); ++r) {
    if (lo[r] > hi[r]) continue;
    const float top = row_h * r, bottom = top + row_h - 1, mid = top + row_h / 2;
    // Auto scales fill 90 % of a row; a fixed division is one row.
    const float range = scale.mode == 0 ? hi[r] - lo[r] : scale.mode == 1 ? range_all : scale.uv_per_division;
    const float centre = (lo[r] + hi[r]) / 2, k = range > 0 ? row_h * (scale.mode == 2 ? 1 : 0.9f) / range : 0;
    // The scale bar at the left edge: per row for per-channel scales, once
    // (the first row) for the page otherwise; a round value filling at most
    // 80 % of the row.
    if (k > 0 && (scale.mode == 0 || r == 0)) {
      const float limit = 0.8f * row_h / k, decade = std::pow(10.0f, std::floor(std::log10(limit)));
      bar_uv[r] = limit >= 5 * decade ? 5 * decade : limit >= 2 * decade ? 2 * decade : decade;
    }
    const uint32_t color = rgba(channel_color(rows[r])), clip = rgba(kClipMarker);
    for (int x = 0; x < width; ++x) {
      const Column& col = columns[r][x];
      if (col.invalid) vline(x, static_cast<int>(bottom) - 2, static_cast<int>(bottom), rgba(kInvalidMarker));
      if (col.lo > col.hi) continue;
      const float y0 = mid - (col.hi - centre) * k, y1 = mid - (col.lo - centre) * k;
      vline(x, static_cast<int>(std::clamp(y0, top, bottom)), static_cast<int>(std::clamp(y1, top, bottom)), color);
      // Beyond the row (only a fixed scale gets there): a bar on its edge, so
      // a flattened trace is not read as a flat signal.
      if (scale.mode == 2 && y0 < top) vline(x, static_cast<int>(top), static_cast<int>(top) + 1, clip);
      if (scale.mode == 2 && y1 > top + row_h) vline(x, static_cast<int>(bottom) - 1, static_cast<int>(bottom), clip);
    }
    const int half = static_cast<int>(bar_uv[r] * k / 2);
    for (int x = 1; x < 3 && bar_uv[r] > 0 && x < width; ++x)
      vline(x, static_cast<int>(mid) - half, static_cast<int>(mid) + half, rgba(kScaleBar));
  }
  // Frames lost: a full-height line where the stream has its gap.
  for (const Loss& l : s.losses) {
    const int x = static_cast<int>(page_x(s, scale.seconds, width, l.index));
    if (x < 0 || x >= width) continue;
    for (int dx = 0; dx < 2 && x + dx < width; ++dx) vline(x + dx, 0, height - 1, rgba(kLostMarker));
  }
}

bool welch_psd(const float* x, size_t n, int segment, double rate, std::vector<float>& psd)
{
  if (segment < 4 || segment % 2 || n < static_cast<size_t>(segment)) return false;
  kiss_fftr_cfg cfg = kiss_fftr_alloc(segment, 0, nullptr, nullptr);
  if (!cfg) return false;
  std::vector<float> window(segment), buffer(segment);
  std::vector<kiss_fft_cpx> out(segment / 2 + 1);
  double norm = 0;
  for (int i = 0; i < segment; ++i) {
    window[i] = static_cast<float>(0.5 - 0.5 * std::cos(2 * M_PI * i / segment));
    norm += window[i] * window[i];
  }
  std::vector<double> sum(out.size(), 0.0);
  int segments = 0;
  for (size_t at = 0; at + segment <= n; at += segment / 2, ++segments) {
    double mean = 0;
    for (int i = 0; i < segment; ++i) mean += x[at + i];
    mean /= segment;
    for (int i = 0; i < segment; ++i) buffer[i] = static_cast<float>((x[at + i] - mean) * window[i]);
    kiss_fftr(cfg, buffer.data(), out.data());
    for (size_t k = 0; k < out.size(); ++k) sum[k] += double(out[k].r) * out[k].r + double(out[k].i) * out[k].i;
  }
  kiss_fftr_free(cfg);
  // One-sided density: every bin but DC and Nyquist carries both halves.
  psd.resize(out.size());
  for (size_t k = 0; k < out.size(); ++k) {
    double one_sided = k == 0 || k + 1 == out.size() ? 1 : 2;
    psd[k] = static_cast<float>(sum[k] * one_sided / (segments * norm * rate));
  }
  return true;
}

}  // namespace amxview
