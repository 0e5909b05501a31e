// amvex/MemStrm: a growable in-memory byte stream (write, read, position, size).
// Reading past the end with ReadBuffer raises EReadError, the stream read error
// that the bit stream of the calibration record relies on.
#pragma once
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace amx {

class EReadError : public std::runtime_error {
public:
  EReadError() : std::runtime_error("Stream read error") {}
};

class tMemoryStream {
public:
  // Writes n bytes at the position, growing the stream as needed.
  void Write(const void* data, size_t n);
  // Reads up to n bytes from the position; returns the count read.
  size_t Read(void* destination, size_t n);
  // Reads exactly n bytes or raises EReadError (the position is then unchanged).
  void ReadBuffer(void* destination, size_t n);
  void Seek(size_t position) { Pos = position; }
  size_t Position() const { return Pos; }
  size_t Size() const { return Data.size(); }

private:
  std::vector<uint8_t> Data;
  size_t Pos = 0;
};

}  // namespace amx
