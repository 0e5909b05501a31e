/* amvex.h: the public C interface of the Amvex amplifier library.
 * The only header a host needs. Every function uses the __stdcall convention on
 * 32-bit Windows (AMX_API) and the platform's C convention elsewhere. */
#ifndef AMVEX_H
#define AMVEX_H

#include <stdint.h>

#if defined(_WIN32)
#  define AMX_CALL __stdcall
#  define AMX_EXPORT __declspec(dllexport)
#else
#  define AMX_CALL
#  define AMX_EXPORT __attribute__((visibility("default")))
#endif
#ifdef AMVEX_BUILDING
#  define AMX_API AMX_EXPORT
#else
#  define AMX_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Status codes and records ------------------------------------------- */

/* ---- Devices ------------------------------------------------------------ */

/* ---- Acquisition -------------------------------------------------------- */

/* ---- EEPROM and calibration --------------------------------------------- */

/* ---- Impedance ---------------------------------------------------------- */

/* ---- Display ------------------------------------------------------------ */

/* ---- Filters: Butterworth ----------------------------------------------- */

/* Four filter families work on integer sample streams (for instance what
 * AmxRead returned), independently of the devices. Each filter is known by a
 * 32-bit handle, 0 never being one. Handles are never reused, so calls with an
 * unknown, destroyed or other family's handle do nothing. A filter keeps its
 * state between calls: consecutive blocks are filtered as one stream, with the
 * same output whatever the block sizes. Source and destination may be the same
 * array when the sample widths match. Counts of 0 or below and null arrays do
 * nothing. Different filters may be used from different threads; one filter
 * must be used by one thread at a time, and not destroyed while in use. */

/* Results of BFSet. On any result but AMX_BF_DONE the filter keeps its
 * previous design and its histories. */
enum {
  AMX_BF_DONE = 0,          /* the new design is in effect, histories at zero */
  AMX_BF_NO_FILTER = 1,     /* unknown or destroyed handle */
  AMX_BF_OUT_OF_RANGE = 2,  /* type, order, rate or corners outside the range */
  AMX_BF_EQUAL_CORNERS = 3, /* band-pass/stop: "Low cut off is equal to High cut off" */
  AMX_BF_NOT_REAL = 4,      /* "Butt. filter: coeff of z^ %d is not real" */
  AMX_BF_FAILED = 0x7FFFFFFF /* anything else, such as out of memory */
};

/* Creates a Butterworth filter: a fourth-order low-pass at 250 / 3.81 Hz
 * (65.6 Hz) for 250 samples per second. Returns its handle, 0 if out of memory. */
AMX_API uint32_t AMX_CALL BFCreate(void);

/* Destroys the filter `filter` (unknown handles are ignored). */
AMX_API void AMX_CALL BFDestroy(uint32_t filter);

/* Designs a new filter for `filter`; its histories start at zero.
 *   type    0 low-pass (corner f1), 1 high-pass (corner f1),
 *           2 band-pass and 3 band-stop (corners f1 and f2, either order)
 *   order   1 to 8 (band types have twice as many poles); 0 or below gives a
 *           filter that passes samples unchanged (frequencies are not used)
 *   rate    sampling rate in Hz, finite and above 0
 *   f1, f2  corners in Hz, each at least rate / 1000000 and below rate / 2;
 *           for types 0 and 1 f2 is only checked to be at most rate / 2
 * The design runs as cascaded second-order sections: stable, and within a
 * count or two of the exact response of its poles, zeros and gain, over the
 * whole accepted range. Returns one of the AMX_BF_* results above (hosts that
 * declare the function as returning nothing keep working). */
AMX_API int32_t AMX_CALL BFSet(uint32_t filter, int32_t type, int32_t order, double rate, double f1,
                               double f2);

/* Filters `count` 16-bit samples from `source` into `destination`; results
 * are rounded to the nearest integer (ties to even) and saturated to 16 bits. */
AMX_API void AMX_CALL BFProcess(uint32_t filter, const int16_t* source, int16_t* destination,
                                int32_t count);

/* As BFProcess for 32-bit samples, saturated to 32 bits. */
AMX_API void AMX_CALL BFProcess32(uint32_t filter, const int32_t* source, int32_t* destination,
                                  int32_t count);


/* ---- Filters: window, adaptive, hardware -------------------------------- */

/* Settings that are not finite and positive, or that would make a window
 * longer than 16777216 samples, are ignored (the filter stays as it was). */

/* Window (moving-average) filter: outputs the average of the last W samples,
 * truncated toward zero; W = round(duration x rate), 1 passes samples through.
 * Creates one with rate 250 Hz, duration 0.02 s (frequency 50 Hz), W = 5, its
 * history all 0. Returns its handle, 0 if out of memory. */
AMX_API uint32_t AMX_CALL WFCreate(void);

/* Destroys the window filter `filter`. */
AMX_API void AMX_CALL WFDestroy(uint32_t filter);

/* Applies, in this order, each value above 0: `rate` (Hz), `frequency` (Hz,
 * the window is 1 / frequency seconds, at most `rate`) and `duration` (s, at
 * least one sample). Resizing keeps the newest samples; a longer window is
 * padded with the current average. */
AMX_API void AMX_CALL WFSet(uint32_t filter, double rate, double frequency, double duration);

/* Filters `count` 16-bit samples from `source` into `destination`. */
AMX_API void AMX_CALL WFProcess(uint32_t filter, const int16_t* source, int16_t* destination,
                                int32_t count);

/* As WFProcess for 32-bit samples. */
AMX_API void AMX_CALL WFProcess32(uint32_t filter, const int32_t* source, int32_t* destination,
                                  int32_t count);

/* Adaptive interference canceller: follows a sinusoid at the notch frequency
 * (mains hum) with a step of at most 5.657 counts per sample at 50 Hz (scaled
 * with the notch) and subtracts it; the output is rounded (ties to even) and
 * saturated to the sample width. Creates one for 1000 Hz with the notch at
 * 50 Hz. Returns its handle, 0 if out of memory. */
AMX_API uint32_t AMX_CALL AFCreate(void);

/* Destroys the adaptive filter `filter`. */
AMX_API void AMX_CALL AFDestroy(uint32_t filter);

/* Sets the sampling rate `rate` (Hz) if it is above 0; the estimate is kept. */
AMX_API void AMX_CALL AFSet(uint32_t filter, double rate);

/* Sets the sampling rate `rate` and the notch frequency `notch` (Hz), each
 * only if above 0; the estimate is kept. */
AMX_API void AMX_CALL AFSetEx(uint32_t filter, double rate, double notch);

/* Filters `count` 16-bit samples from `source` into `destination`. */
AMX_API void AMX_CALL AFProcess(uint32_t filter, const int16_t* source, int16_t* destination,
                                int32_t count);

/* As AFProcess for 32-bit samples. */
AMX_API void AMX_CALL AFProcess32(uint32_t filter, const int32_t* source, int32_t* destination,
                                  int32_t count);

/* Hardware (baseline) filter: outputs each sample minus the average of the
 * last W samples, truncated toward zero, W = round(time constant x rate). A
 * sample of 0x7FFFFFFF (the device's invalid marker) is replaced by the
 * rounded running average, so it adds no step. W = 1 passes samples through.
 * Creates one for 250 Hz with a time constant of 1 s (cutoff 1 / (2 pi) Hz),
 * W = 250, history all 0. Returns its handle, 0 if out of memory. */
AMX_API uint32_t AMX_CALL HFCreate(void);

/* Destroys the hardware filter `filter`. */
AMX_API void AMX_CALL HFDestroy(uint32_t filter);

/* Applies, in this order: `rate` (Hz) if above 0; `cutoff` (Hz) if 0 or more,
 * 0 making the filter pass samples through, else time constant 1 / (2 pi
 * cutoff) with the cutoff at most `rate`; `time_constant` (s) if above 0, at
 * least 1 / (2 pi rate). Settings whose window rounds below one sample are
 * ignored. Resizing keeps the newest samples; a longer window is padded with
 * the current average. */
AMX_API void AMX_CALL HFSet(uint32_t filter, double rate, double cutoff, double time_constant);

/* Filters `count` 32-bit samples from `source` into 16-bit `destination`,
 * saturated to 16 bits. */
AMX_API void AMX_CALL HFProcess(uint32_t filter, const int32_t* source, int16_t* destination,
                                int32_t count);

/* Filters `count` 32-bit samples from `source` into `destination`, saturated
 * to 32 bits. */
AMX_API void AMX_CALL HFProcess32(uint32_t filter, const int32_t* source, int32_t* destination,
                                  int32_t count);


#ifdef __cplusplus
}
#endif
#endif /* AMVEX_H */
