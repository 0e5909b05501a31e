// Helpers the stream service's tests share: messages of known content.
#pragma once
#include "amxnet.h"
#include "wire.h"

namespace amxnet_test {

// A Data message of count frames of channels channels from sample number
// first: channel c of sample s holds s * 100 + c, the status word s.
inline amxnet::Message data_message(uint64_t seq, uint64_t first, uint32_t count, int channels = 3)
{
  amxnet::Message m;
  m.type = amxnet::MsgType::Data;
  m.stream_id = 77;
  m.seq = seq;
  m.first = first;
  m.count = count;
  m.channels = channels;
  for (uint32_t i = 0; i < count; ++i) {
    for (int c = 0; c < channels; ++c) m.frames.push_back(static_cast<int32_t>((first + i) * 100 + c));
    m.frames.push_back(static_cast<int32_t>(first + i));
    m.stamps.push_back(1000.0 + 0.001 * static_cast<double>(first + i));
  }
  return m;
}

// The stream the tests serve: "lab" on host "here", channels at rate, 0.1 uV
// a count, labelled C0, C1, ...
inline amxnet::StreamInfo lab_stream(int channels, int rate)
{
  amxnet::StreamInfo info;
  info.name = "lab";
  info.host = "here";
  info.channels = channels;
  info.rate = rate;
  info.volts_per_count = 1e-7;
  for (int c = 0; c < channels; ++c) info.labels.push_back("C" + std::to_string(c));
  return info;
}

// What a publisher's producer pushes: frames [next, due) numbered as above
// but for a 10 between samples (channel c of sample s holds s * 10 + c), each
// stamped (s - 1) / rate after t0.
inline void numbered_frames(uint64_t next, uint64_t due, int channels, int rate, double t0,
                            std::vector<int32_t>& frames, std::vector<double>& stamps)
{
  frames.clear();
  stamps.clear();
  for (uint64_t s = next; s < due; ++s) {
    for (int c = 0; c < channels; ++c) frames.push_back(static_cast<int32_t>(s * 10 + c));
    frames.push_back(static_cast<int32_t>(s));
    stamps.push_back(t0 + static_cast<double>(s - 1) / rate);
  }
}

}  // namespace amxnet_test
