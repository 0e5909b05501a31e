// Helpers the stream service's tests share: messages of known content.
#pragma once
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

}  // namespace amxnet_test
