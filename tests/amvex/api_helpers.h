// Helpers shared by the tests that reach the library only through amvex.h.
#pragma once
#include "amvex.h"

// Identifier of the first device of the given kind, opened; 0 if there is none.
inline int32_t IdOfKind(int kind)
{
  for (int i = 0; i < GetAmxCount(); ++i) {
    AmxInternalInfoRecord r = {};
    int32_t id = GetAmxID(i);
    if (AmxOpen(id) == AMX_OK && AmxInternalInfo(id, &r, sizeof r) == AMX_OK && r.deviceKind == kind) return id;
  }
  return 0;
}
