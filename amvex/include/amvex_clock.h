/* amvex_clock.h: host times for sample frames. The only arrival time a host
 * sees is when AmxRead returns, late by a varying delivery and scheduling delay
 * and a whole block at once. The device's clock is steady, so the time a frame
 * left the device is a straight line in its sample number; this fit finds that
 * line from the read-return times. Header-inline (nothing new in the library).
 *
 *   AmxClock clock;
 *   AmxClockInit(&clock, rate);                     after AmxStart
 *   AmxRead(...); t = now();                        seconds on a monotonic clock
 *   AmxClockAdd(&clock, first, last, t);            sample numbers of the block
 *   AmxClockTime(&clock, number)                    time of any frame of it
 *   AmxClockStamp(&clock, number)                   or: each frame once, in order
 *
 * Delays only ever make a read late, so the fit follows the lower edge of the
 * points: every quarter second of sample numbers keeps its least delayed read,
 * and the line is fitted through the last 64 of those (16 s), which follows a
 * drifting device clock. Its slope is the nominal period until the points span
 * 2 s, then the least-squares slope of the kept points (clamped to 1000 ppm).
 * Lost packets leave a gap in the sample numbers while the device's clock runs
 * on, so a gap of up to AMX_CLOCK_MAX_SKIP frames (losses the library
 * counts exactly) keeps the fit; a longer one, or numbers that go back (a new
 * start), begins a new fit.
 *
 * The fit learns: a later read may lower the line by the delay of the reads
 * before it (tens of milliseconds just after a start). AmxClockTime gives the
 * current line's time of any frame; AmxClockStamp gives the frames as they are
 * handed on times that never go back: the line's time, but never less than the
 * previous stamp plus half a period per frame, so a lowered line is caught up
 * at half a period per frame instead of by a step back. */
#ifndef AMVEX_CLOCK_H
#define AMVEX_CLOCK_H

#include <math.h>
#include <stdint.h>
#include <string.h>

#ifdef __cplusplus
extern "C" {
#endif

#define AMX_CLOCK_BINS 64
#define AMX_CLOCK_NUMBER_MASK 0x0FFFFFFFu /* sample numbers: bits 0-27 of the status word */
#define AMX_CLOCK_MAX_SKIP 255u           /* the packets a sequence byte can count as lost */

typedef struct AmxClock {
  double period;     /* nominal seconds per frame */
  int64_t binFrames; /* frames per bin: a quarter second */
  int started;       /* a segment is running */
  uint32_t last;     /* sample number of the newest frame */
  int64_t lastIndex; /* its frame index since the segment's first frame */
  double origin;     /* the segment's first read time: residuals are kept small */
  int count, head;   /* bins in use; index of the oldest */
  struct {
    int64_t bin;     /* frame index / binFrames */
    double index;    /* frame index of the least delayed read in the bin */
    double residual; /* its time - origin - index * period */
  } bins[AMX_CLOCK_BINS];
  double offset, slope; /* time = origin + offset + index * (period + slope) */
  int stamped;          /* a frame was stamped */
  uint32_t stampNumber; /* the newest stamped frame's sample number */
  double stampTime;     /* and its stamp */
} AmxClock;

/* Starts without a fit for a stream of rate frames per second (above 0). */
static inline void AmxClockInit(AmxClock* c, double rate)
{
  memset(c, 0, sizeof *c);
  c->period = 1.0 / rate;
  c->binFrames = rate >= 8 ? (int64_t)(rate / 4) : 1;
}

/* Refits the line through the kept points (AmxClockAdd calls it). */
static inline void AmxClockFit(AmxClock* c)
{
  double mx = 0, my = 0, sxx = 0, sxy = 0, lowest = INFINITY;
  int i;
  const double limit = 1e-3 * c->period;
#define AMX_CLOCK_BIN(i) c->bins[(c->head + (i)) % AMX_CLOCK_BINS]
  c->slope = 0;
  if ((AMX_CLOCK_BIN(c->count - 1).index - AMX_CLOCK_BIN(0).index) * c->period >= 2.0) {
    for (i = 0; i < c->count; ++i) mx += AMX_CLOCK_BIN(i).index, my += AMX_CLOCK_BIN(i).residual;
    mx /= c->count, my /= c->count;
    for (i = 0; i < c->count; ++i) {
      double dx = AMX_CLOCK_BIN(i).index - mx;
      sxx += dx * dx, sxy += dx * (AMX_CLOCK_BIN(i).residual - my);
    }
    c->slope = sxy / sxx;
    c->slope = c->slope > limit ? limit : c->slope < -limit ? -limit : c->slope;
  }
  /* The line goes through the lowest point under that slope. */
  for (i = 0; i < c->count; ++i) {
    double r = AMX_CLOCK_BIN(i).residual - AMX_CLOCK_BIN(i).index * c->slope;
    if (r < lowest) lowest = r;
  }
  c->offset = lowest;
#undef AMX_CLOCK_BIN
}

/* A block of frames first..last (sample numbers, consecutive) that AmxRead
 * returned at time t (seconds). Returns 1 when it began a new fit: the first
 * block, or first more than AMX_CLOCK_MAX_SKIP frames after the previous
 * block's last + 1, or not after it at all. */
static inline int AmxClockAdd(AmxClock* c, uint32_t first, uint32_t last, double t)
{
  int restart = !c->started || ((first - c->last - 1) & AMX_CLOCK_NUMBER_MASK) > AMX_CLOCK_MAX_SKIP;
  int64_t index, bin;
  double residual;
  if (restart) {
    c->started = 1;
    c->count = c->head = 0;
    c->lastIndex = -1;
    c->last = (first - 1) & AMX_CLOCK_NUMBER_MASK;
    c->origin = t;
    c->stampNumber = c->last; /* the new segment's frames follow the stamps */
  }
  index = c->lastIndex + (int64_t)((last - c->last) & AMX_CLOCK_NUMBER_MASK);
  c->last = last & AMX_CLOCK_NUMBER_MASK;
  c->lastIndex = index;
  residual = t - c->origin - (double)index * c->period;
  bin = index / c->binFrames;
  if (c->count > 0 && c->bins[(c->head + c->count - 1) % AMX_CLOCK_BINS].bin == bin) {
    int newest = (c->head + c->count - 1) % AMX_CLOCK_BINS;
    if (residual < c->bins[newest].residual) {
      c->bins[newest].index = (double)index;
      c->bins[newest].residual = residual;
    }
  } else {
    int slot = (c->head + c->count) % AMX_CLOCK_BINS;
    if (c->count == AMX_CLOCK_BINS)
      c->head = (c->head + 1) % AMX_CLOCK_BINS;
    else
      ++c->count;
    c->bins[slot].bin = bin;
    c->bins[slot].index = (double)index;
    c->bins[slot].residual = residual;
  }
  AmxClockFit(c);
  return restart;
}

/* Time (seconds, the clock of AmxClockAdd) at which the frame with this sample
 * number left the device, by the current fit; frames within 2^27 of the newest
 * one are told apart. NaN before the first block. */
static inline double AmxClockTime(const AmxClock* c, uint32_t number)
{
  int64_t ahead = (int64_t)((number - c->last) & AMX_CLOCK_NUMBER_MASK);
  if (!c->started) return NAN;
  if (ahead >= (int64_t)1 << 27) ahead -= (int64_t)1 << 28;
  return c->origin + c->offset + (double)(c->lastIndex + ahead) * (c->period + c->slope);
}

/* AmxClockTime for frames stamped in order, each once: never less than the
 * previous stamp plus half a period per frame since it. A frame at or before the
 * newest stamped one (within the segment) gets the plain AmxClockTime. */
static inline double AmxClockStamp(AmxClock* c, uint32_t number)
{
  double t = AmxClockTime(c, number), least;
  int64_t ahead = (int64_t)((number - c->stampNumber) & AMX_CLOCK_NUMBER_MASK);
  if (c->stamped) {
    if (ahead == 0 || ahead >= (int64_t)1 << 27) return t; /* not after the newest stamp */
    least = c->stampTime + (double)ahead * c->period / 2;
    if (t < least) t = least;
  }
  c->stamped = 1;
  c->stampNumber = number & AMX_CLOCK_NUMBER_MASK;
  c->stampTime = t;
  return t;
}

#ifdef __cplusplus
}
#endif
#endif /* AMVEX_CLOCK_H */
