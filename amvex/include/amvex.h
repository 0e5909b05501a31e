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

/* ---- Filters: window, adaptive, hardware -------------------------------- */

#ifdef __cplusplus
}
#endif
#endif /* AMVEX_H */
