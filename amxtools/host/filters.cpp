// amxhost: the library's filters built from their texts (amxctl's --filter,
// amxview's filter panel) and run per channel over blocks of frames.
#include "amxhost.h"

namespace amxhost {

namespace {

void destroy(std::vector<Filter>& chain)
{
  for (const Filter& f : chain) {
    switch (f.kind) {
      case 'B': BFDestroy(f.handle); break;
      case 'W': WFDestroy(f.handle); break;
      case 'A': AFDestroy(f.handle); break;
      case 'H': HFDestroy(f.handle); break;
    }
  }
  chain.clear();
}

}  // namespace

bool make_filter(const std::string& text, int rate, Filter& out, std::string& error)
{
  std::vector<std::string> parts;
  for (size_t at = 0;;) {
    size_t colon = text.find(':', at);
    parts.push_back(text.substr(at, colon == std::string::npos ? std::string::npos : colon - at));
    if (colon == std::string::npos) break;
    at = colon + 1;
  }
  const std::string& kind = parts[0];
  std::vector<double> v;
  for (size_t i = 1; i < parts.size(); ++i) {
    double x;
    if (!parse_double(parts[i], x) || x <= 0) {
      error = "filter " + text + ": \"" + parts[i] + "\" is not a positive number";
      return false;
    }
    v.push_back(x);
  }
  static const std::map<std::string, std::pair<int, size_t>> butterworth = {
      {"lp", {0, 2}}, {"hp", {1, 2}}, {"bp", {2, 3}}, {"bs", {3, 3}}};
  if (auto b = butterworth.find(kind); b != butterworth.end()) {
    if (v.size() != b->second.second || v[0] != static_cast<int>(v[0])) {
      error = "filter " + text + ": expected " + kind + (b->second.second == 2 ? ":ORDER:F" : ":ORDER:F1:F2");
      return false;
    }
    out = {'B', BFCreate()};
    int32_t r = out.handle ? BFSet(out.handle, b->second.first, static_cast<int>(v[0]), rate, v[1],
                                   v.size() > 2 ? v[2] : rate / 2.0)
                           : AMX_BF_FAILED;
    if (r != AMX_BF_DONE) {
      static const char* const reasons[] = {"", "no filter", "order, rate or corners out of range", "equal corners",
                                            "coefficients not real"};
      error = "filter " + text + " at " + std::to_string(rate) +
              " samples/s: " + (r > 0 && r < 5 ? reasons[r] : "design failed");
      BFDestroy(out.handle);
      return false;
    }
    return true;
  }
  if (v.size() != 1 || (kind != "notch" && kind != "window" && kind != "baseline")) {
    error = "unknown filter " + text + " (see --help)";
    return false;
  }
  if (v[0] > rate) {
    error = "filter " + text + ": frequency above the rate of " + std::to_string(rate);
    return false;
  }
  if (kind == "notch") {
    out = {'A', AFCreate()};
    AFSetEx(out.handle, rate, v[0]);
  } else if (kind == "window") {
    out = {'W', WFCreate()};
    WFSet(out.handle, rate, v[0], 0);
  } else {
    out = {'H', HFCreate()};
    HFSet(out.handle, rate, v[0], 0);
  }
  if (!out.handle) error = "filter " + text + ": out of memory";
  return out.handle != 0;
}

namespace {
void run(const Filter& f, int32_t* data, int count)
{
  switch (f.kind) {
    case 'B': BFProcess32(f.handle, data, data, count); break;
    case 'W': WFProcess32(f.handle, data, data, count); break;
    case 'A': AFProcess32(f.handle, data, data, count); break;
    case 'H': HFProcess32(f.handle, data, data, count); break;
  }
}

}  // namespace

ChannelFilters::~ChannelFilters()
{
  for (auto& c : chains) destroy(c);
}

bool ChannelFilters::build(const std::vector<std::string>& texts, int rate, int channels, std::string& error)
{
  chains.resize(static_cast<size_t>(channels));
  held.assign(static_cast<size_t>(channels), 0);
  for (const std::string& text : texts) {
    for (auto& chain : chains) {
      Filter f{};
      if (!make_filter(text, rate, f, error)) return false;
      chain.push_back(f);
    }
  }
  return true;
}

void ChannelFilters::apply(int32_t* frames, int count, int channels)
{
  if (chains.empty() || chains[0].empty()) return;
  const int words = channels + 1;
  column.resize(static_cast<size_t>(count));
  invalid.resize(static_cast<size_t>(count));
  for (int c = 0; c < channels; ++c) {
    for (int i = 0; i < count; ++i) {
      int32_t& v = frames[static_cast<size_t>(i) * words + c];
      invalid[i] = v == AMX_INVALID_SAMPLE;
      column[i] = invalid[i] ? held[c] : (held[c] = v);
    }
    for (const Filter& f : chains[c]) run(f, column.data(), count);
    for (int i = 0; i < count; ++i)
      frames[static_cast<size_t>(i) * words + c] = invalid[i] ? AMX_INVALID_SAMPLE : column[i];
  }
}

}  // namespace amxhost
