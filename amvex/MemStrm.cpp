// amvex/MemStrm: the in-memory byte stream behind the calibration bit stream.
#include "MemStrm.h"

#include <algorithm>
#include <cstring>

namespace amx {

void tMemoryStream::Write(const void* data, size_t n)
{
  if (n == 0)
    return;
  if (Pos + n > Data.size())
    Data.resize(Pos + n);
  std::memcpy(Data.data() + Pos, data, n);
  Pos += n;
}

size_t tMemoryStream::Read(void* destination, size_t n)
{
  size_t count = Pos < Data.size() ? std::min(n, Data.size() - Pos) : 0;
  if (count > 0)
    std::memcpy(destination, Data.data() + Pos, count);
  Pos += count;
  return count;
}

void tMemoryStream::ReadBuffer(void* destination, size_t n)
{
  if (Pos > Data.size() || Data.size() - Pos < n)
    throw EReadError();
  Read(destination, n);
}

}  // namespace amx
