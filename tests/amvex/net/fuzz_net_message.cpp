// Fuzzer of the stream service's message decoder: any bytes are either
// refused with a reason or decode to a message that encodes back to the same
// bytes (but for the flags); decoded data then goes through a subscription's order checks.
#include <cstdlib>
#include <cstring>

#include "wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  static amxnet::Order order;
  amxnet::Message m;
  std::string error;
  if (!amxnet::decode(data, size, m, error)) {
    if (error.empty()) std::abort();  // every refusal says why
    return 0;
  }
  std::vector<uint8_t> again;
  // (bytes 6 and 7 are flags a reader of this version ignores)
  if (!amxnet::encode(m, again, error) || again.size() != size ||
      std::memcmp(again.data() + amxnet::kPrefixBytes, data + amxnet::kPrefixBytes, size - amxnet::kPrefixBytes) != 0)
    std::abort();
  if (m.type == amxnet::MsgType::Header) order.begin(m);
  if (m.type == amxnet::MsgType::Data && order.check(m, error)) order.accept(m);
  return 0;
}
