// calib/mem_stream: a growable in-memory byte stream. Writes append; reads consume
// from Position; the whole content can be saved to a file (the debug dumps).
// Reading past the end with ReadBuffer raises EReadError, the stream read error
// that the bit stream of the calibration record relies on.
#pragma once
#include "common/errors.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace amx {

struct TMemoryStream {
  std::vector<uint8_t> Bytes;
  size_t Position = 0;  // next byte to read

  void Write(const void* p, size_t n);
  // Reads up to n bytes; returns the count read.
  size_t Read(void* destination, size_t n);
  // Reads exactly n bytes or raises EReadError (nothing is consumed then).
  void ReadBuffer(void* destination, size_t n);
  bool SaveToFile(const char* name) const;
};

}  // namespace amx
