// amxview: colours, the sample store, the decimation of traces to pixel
// columns and the Welch spectrum (kissfft).
#include "viewer.h"

#include <kiss_fftr.h>

#include <algorithm>
#include <cmath>

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

Rgb electrode_color(amxrec::Electrode e)
{
  switch (e) {
    case amxrec::Electrode::Good: return {40, 170, 60};
    case amxrec::Electrode::Fair: return {220, 190, 40};
    case amxrec::Electrode::Bad: return {200, 40, 40};
    case amxrec::Electrode::Reference: return {60, 110, 220};
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
      data[c * capacity + at] = f[c] == 0x7FFFFFFF ? NAN : static_cast<float>(f[c] * uv_per_count);
  }
  while (!losses.empty() && losses.front().index < first()) losses.pop_front();
}

void SampleStore::append_missing(uint32_t count)
{
  for (uint32_t i = 0; i < count; ++i, ++head)
    for (int c = 0; c < channels; ++c) data[c * capacity + head % capacity] = INFINITY;
}

void decimate(const SampleStore& s, int channel, uint64_t begin, uint64_t end, std::vector<Column>& columns, float& lo,
              float& hi)
{
  const size_t n = columns.size();
  lo = INFINITY;
  hi = -INFINITY;
  float last = NAN;
  const uint64_t first = std::max(begin, s.first());
  const float* d = &s.data[channel * s.capacity];
  for (size_t x = 0; x < n; ++x) {
    uint64_t a = begin + (end - begin) * x / n, b = begin + (end - begin) * (x + 1) / n;
    a = std::max(a, first);
    Column col{INFINITY, -INFINITY, false};
    const uint64_t stop = std::min(b, s.head);
    size_t pos = a % s.capacity;
    for (uint64_t i = a; i < stop; ++i) {
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
    if (a >= b && !std::isnan(last) && b <= s.head) col = {last, last, false};
    if (col.lo <= col.hi) lo = std::min(lo, col.lo), hi = std::max(hi, col.hi);
    columns[x] = col;
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
