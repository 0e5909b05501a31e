/* exit_host: a host that leaves everything to the library's unload at process
 * exit. Lists the amplifiers, opens and starts the first one if there is one,
 * prints 60 lines and returns CODE from main without stopping or closing it.
 *   exit_host CODE
 * The Windows stage runs it many times and checks every exit status is CODE. */
#include "amvex.h"

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv)
{
  int code = argc > 1 ? atoi(argv[1]) : 7;
  int count = GetAmxCount();
  printf("%d device(s)\n", count);
  if (count > 0) {
    int32_t id = GetAmxID(0);
    int32_t status = AmxOpen(id);
    if (status == AMX_OK) status = AmxStart(id);
    printf("open and start: %s\n", AmxStatusName(status));
    if (status != AMX_OK) return 100;
  }
  for (int i = 0; i < 60; ++i) printf("line %d of the host that returns %d\n", i, code);
  return code;
}
