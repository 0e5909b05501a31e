// Fuzzer of the tensor file reader: any bytes parse to a well-formed tensor or to
// the empty tensor with ok cleared, never reading past the input.
#include <cstddef>
#include <cstdint>

#include "_util/tensor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t len)
{
  tensor<double> d = tensor<double>::parse(bytes, len);
  if (tensor<double>::ok != (d.data != nullptr)) __builtin_trap();
  long long n = 1;
  for (int k = 0; k < d.ndims; k++) n *= d.size[k];
  if (d.data && (n != d.numel || 4 + 4 * std::size_t(d.ndims) + 8 * std::size_t(n) > len)) __builtin_trap();
  tensor<char> c = tensor<char>::parse(bytes, len);
  if (c.data) c.describe();
  return 0;
}
