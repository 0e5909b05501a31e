/* amx_stream: lists the amplifiers, opens one, streams for a few seconds and
 * prints what it read. Uses only the public header amvex.h.
 *   amx_stream [index] [seconds] [rate]     e.g.  AMVEX_EMULATE="kind=7" amx_stream 0 3 1000 */
/* nanosleep is POSIX: declare it under strict ISO C (-std=c11 -pedantic) too. */
#if !defined(_WIN32) && !defined(_POSIX_C_SOURCE)
#define _POSIX_C_SOURCE 199309L
#endif
#include "amvex.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#if defined(_WIN32)
#include <windows.h>
#define sleep_ms(ms) Sleep(ms)
#else
#include <time.h>
static void sleep_ms(int ms)
{
  struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&t, NULL);
}
#endif

int main(int argc, char** argv)
{
  int index = argc > 1 ? atoi(argv[1]) : 0;
  int seconds = argc > 2 ? atoi(argv[2]) : 3;
  int rate = argc > 3 ? atoi(argv[3]) : 500;
  int count = GetAmxCount();
  printf("Amvex %s: %d amplifier(s)\n", AMX_VERSION_STRING, count);
  for (int i = 0; i < count; ++i) {
    AmxDeviceInfo info;
    AmxInternalInfoRecord ident;
    int32_t id = GetAmxID(i);
    if (AmxInfo(id, &info, sizeof info) != AMX_OK || AmxInternalInfo(id, &ident, sizeof ident) != AMX_OK) continue;
    printf("  [%d] id %d: kind %d rev %d, %d channels, %.3g V per count\n", i, (int)id, (int)ident.deviceKind,
           (int)ident.deviceRevision, (int)info.channelCount, info.voltsPerCount);
  }
  if (index < 0 || index >= count) {
    fprintf(stderr, "no amplifier %d (set AMVEX_EMULATE to emulate some, e.g. \"kind=7;kind=6\")\n", index);
    return 1;
  }
  int32_t id = GetAmxID(index);
  AmxDeviceInfo info;
  int32_t status;
  if ((status = AmxOpen(id)) != AMX_OK || (status = AmxInfo(id, &info, sizeof info)) != AMX_OK) {
    fprintf(stderr, "open failed: %s\n", AmxStatusName(status));
    return 1;
  }
  if ((status = AmxSetSampling(id, rate)) != AMX_OK) {
    fprintf(stderr, "sampling rate %d not taken: %s\n", rate, AmxStatusName(status));
    return 1;
  }
  if ((status = AmxStart(id)) != AMX_OK) {
    fprintf(stderr, "start failed: %s\n", AmxStatusName(status));
    return 1;
  }
  int words = info.channelCount + 1;
  int32_t* frames = (int32_t*)malloc(sizeof(int32_t) * (size_t)words * 4096); /* (a cast: C++ hosts compile it too) */
  long total = 0;
  uint32_t first = 0, last = 0;
  for (int tick = 0; tick < seconds * 10 && frames; ++tick) {
    int32_t bytes = 0;
    sleep_ms(100);
    if (AmxRead(id, frames, (int32_t)(sizeof(int32_t) * (size_t)words * 4096), &bytes) != AMX_OK) break;
    int n = bytes / (int)sizeof(int32_t) / words;
    if (n == 0) continue;
    const int32_t* newest = frames + (size_t)(n - 1) * (size_t)words;
    last = (uint32_t)newest[words - 1] & AMX_STATUS_SAMPLE_MASK;
    if (total == 0) first = (uint32_t)frames[words - 1] & AMX_STATUS_SAMPLE_MASK;
    total += n;
    if (tick % 5 == 4)
      printf("sample %7u: ch1 %8d  ch2 %8d  ch3 %8d  status 0x%X\n", (unsigned)last, (int)newest[0], (int)newest[1],
             (int)newest[2], (unsigned)(((uint32_t)newest[words - 1] & AMX_STATUS_BITS_MASK) >> AMX_STATUS_BITS_SHIFT));
  }
  int32_t lost = 0;
  AmxDebugState(id, &lost);
  AmxStop(id);
  free(frames);
  printf("%ld frames (samples %u to %u), %d packet(s) lost\n", total, (unsigned)first, (unsigned)last,
         (int)AmxLostAfterSync(lost));
  return total > 0 ? 0 : 1;
}
