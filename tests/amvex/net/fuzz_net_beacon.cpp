// Fuzzer of the announcement (beacon) decoder: any bytes heard on the network
// are either refused with a reason or decode to a beacon that encodes back to
// exactly the same bytes.
#include <cstdlib>
#include <cstring>

#include "wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  amxnet::Beacon b;
  std::string error;
  if (!amxnet::decode_beacon(data, size, b, error)) {
    if (error.empty()) std::abort();  // every refusal says why
    return 0;
  }
  std::vector<uint8_t> again;
  if (!amxnet::encode_beacon(b, again, error) || again.size() != size || std::memcmp(again.data(), data, size) != 0)
    std::abort();
  return 0;
}
