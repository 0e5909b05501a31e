// filter_common: the handle counter shared by the four filter families.
#include "filters/filter_common.h"

namespace amx {

uint32_t NextFilterHandle()
{
  static std::atomic<uint32_t> counter{0};
  uint32_t h = ++counter;
  while (h == 0) h = ++counter;  // after a wrap, 0 stays "no filter"
  return h;
}

}  // namespace amx
