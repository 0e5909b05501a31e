// tests/vyre3d/_util/fuzz_bitmap_read: feeds arbitrary bytes to the bitmap decoder that
// bitmap_read runs on every file; it must answer without reading out of bounds.
// Builds on _util/format.
#include <cstddef>
#include <cstdint>
#include "_util/format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
  const char* why = nullptr;
  const tensor<unsigned char> img = bitmap_decode(data, size, &why);
  // A decoded image covers exactly its channels x width x height bytes.
  if (!why && img.numel != img.size[0] * img.size[1] * img.size[2]) __builtin_trap();
  return 0;
}
