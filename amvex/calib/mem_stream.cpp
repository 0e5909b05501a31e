// calib/mem_stream: the in-memory byte stream of the debug dumps and of the
// calibration bit stream.
#include "calib/mem_stream.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace amx {

void TMemoryStream::Write(const void* p, size_t n)
{
  const uint8_t* b = static_cast<const uint8_t*>(p);
  Bytes.insert(Bytes.end(), b, b + n);
}

size_t TMemoryStream::Read(void* destination, size_t n)
{
  size_t count = Position < Bytes.size() ? std::min(n, Bytes.size() - Position) : 0;
  if (count > 0) std::memcpy(destination, Bytes.data() + Position, count);
  Position += count;
  return count;
}

void TMemoryStream::ReadBuffer(void* destination, size_t n)
{
  if (Position > Bytes.size() || Bytes.size() - Position < n) throw EReadError();
  Read(destination, n);
}

bool TMemoryStream::SaveToFile(const char* name) const
{
  FILE* f = std::fopen(name, "wb");
  if (!f) return false;
  bool ok = Bytes.empty() || std::fwrite(Bytes.data(), 1, Bytes.size(), f) == Bytes.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace amx
