// Helpers shared by the tests that reach the library only through amvex.h.
#pragma once
#include "amvex.h"

// Identifier of the first device of the given kind, opened; 0 if there is none.
// A device left unidentified (its replies starved on a busy machine) is asked
// again by the next AmxOpen: three rounds before giving up.
inline int32_t IdOfKind(int kind)
{
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < GetAmxCount(); ++i) {
      AmxInternalInfoRecord r = {};
      int32_t id = GetAmxID(i);
      if (AmxOpen(id) == AMX_OK && AmxInternalInfo(id, &r, sizeof r) == AMX_OK && r.deviceKind == kind) return id;
    }
  }
  return 0;
}

// Frames as a host counts them: sample numbers must rise; the numbers a rise skips
// are the missing frames, so Received + Missing is the last number once all is in order.
struct TFrameTally {
  uint64_t Received = 0, Missing = 0, OutOfOrder = 0;
  uint32_t Last = 0;  // sample number of the newest frame counted
  void Add(const int32_t* frames, int32_t bytes, int channels)
  {
    for (int32_t k = 0; k < bytes / 4 / (channels + 1); ++k) {
      uint32_t n = uint32_t(frames[k * (channels + 1) + channels]) & AMX_STATUS_SAMPLE_MASK;
      if (n <= Last)
        OutOfOrder++;
      else
        Missing += n - Last - 1, Last = n;
      Received++;
    }
  }
  // Reads what the device has; the status of AmxRead.
  int32_t Read(int32_t id, int channels)
  {
    static int32_t buf[41 * 4000];
    int32_t got = 0;
    int32_t status = AmxRead(id, buf, int32_t(sizeof buf), &got);
    if (status == AMX_OK) Add(buf, got, channels);
    return status;
  }
};
