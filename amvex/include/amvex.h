/* amvex.h: the public C interface of the Amvex amplifier library.
 * The only header a host needs. Every function uses the __stdcall convention on
 * 32-bit Windows (AMX_API) and the platform's C convention elsewhere. */
#ifndef AMVEX_H
#define AMVEX_H

#include <stddef.h>
#include <stdint.h>

/* Version of this interface (the library's package version). Hosts can test it
 * at compile time: #if AMX_VERSION >= 10000 ... */
#define AMX_VERSION_MAJOR 1
#define AMX_VERSION_MINOR 0
#define AMX_VERSION_PATCH 0
#define AMX_VERSION (AMX_VERSION_MAJOR * 10000 + AMX_VERSION_MINOR * 100 + AMX_VERSION_PATCH)
#define AMX_VERSION_STRING "1.0.0"

#if defined(_WIN32)
#define AMX_CALL __stdcall
#define AMX_EXPORT __declspec(dllexport)
#else
#define AMX_CALL
#define AMX_EXPORT __attribute__((visibility("default")))
#endif
#ifdef AMVEX_BUILDING
#define AMX_API AMX_EXPORT
#else
#define AMX_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Status codes and records ------------------------------------------- */

/* Results of the device functions. The values are part of the interface and
 * never change. */
typedef enum AmxStatus {
  AMX_OK = 0,             /* done */
  AMX_NO_DEVICE = 1,      /* no device has this identifier */
  AMX_NOT_OPEN = 2,       /* the device's handle is not open, or a power suspend closed it */
  AMX_START_FAILED = 3,   /* AmxStart failed */
  AMX_CLOSED = 4,         /* AmxClose: the device's handle is not open */
  AMX_STOP_FAILED = 5,    /* AmxStop: the stop command could not be sent */
  AMX_LCD_FAILED = 6,     /* AmxLCD: the text command could not be sent */
  AMX_BAD_SAMPLING = 7,   /* AmxSetSampling: rate not supported or not sent */
  AMX_RESET_FAILED = 8,   /* AmxReset: the reset sequence failed */
  AMX_FAILED = 0x7FFFFFFF /* the operation failed */
} AmxStatus;

/* Name of a status code ("AMX_START_FAILED"), "unknown status" for other values.
 * Inline here, so that it costs the library no export. */
static inline const char* AmxStatusName(int32_t status)
{
  switch (status) {
    case AMX_OK: return "AMX_OK";
    case AMX_NO_DEVICE: return "AMX_NO_DEVICE";
    case AMX_NOT_OPEN: return "AMX_NOT_OPEN";
    case AMX_START_FAILED: return "AMX_START_FAILED";
    case AMX_CLOSED: return "AMX_CLOSED";
    case AMX_STOP_FAILED: return "AMX_STOP_FAILED";
    case AMX_LCD_FAILED: return "AMX_LCD_FAILED";
    case AMX_BAD_SAMPLING: return "AMX_BAD_SAMPLING";
    case AMX_RESET_FAILED: return "AMX_RESET_FAILED";
    case AMX_FAILED: return "AMX_FAILED";
  }
  return "unknown status";
}

/* Device information (AmxInfo): 36 bytes, little-endian, packed. */
#pragma pack(push, 1)
typedef struct AmxDeviceInfo {
  int32_t calNumber1; /* first identification number of the calibration record, 0 if none */
  int32_t calNumber2; /* second identification number, 0 if none */
  uint16_t calYear, calMonth, calDayOfWeek, calDay; /* calibration date (30 Dec 1899 if none) */
  uint16_t calHour, calMinute, calSecond, calMilliseconds;
  int32_t channelCount; /* channels per sample frame */
  double voltsPerCount; /* volts per sample count at the current gain */
} AmxDeviceInfo;

/* Identification bytes (AmxInternalInfo): 8 bytes. 0 before the first identification. */
typedef struct AmxInternalInfoRecord {
  int32_t deviceKind;
  int32_t deviceRevision;
} AmxInternalInfoRecord;
#pragma pack(pop)

/* Sample frame (AmxRead): channelCount + 1 little-endian int32 words: the channel
 * counts (0x7FFFFFFF = invalid sample), then the status word: bits 0-27 sample
 * number (1 = first frame after AmxStart), bits 28-31 device status bits 7, 6, 5, 4.
 * Frames lost on the way (AmxDebugState counts their packets) leave a gap in the
 * sample numbers where they were, as frames overwritten before they were read do.
 * UART record (AmxUartRead): int32 sample number, one byte m (1-255), m data bytes. */
#define AMX_STATUS_SAMPLE_MASK 0x0FFFFFFFu
/* The channel count of a sample the device marked invalid. */
#define AMX_INVALID_SAMPLE 0x7FFFFFFF
/* The device status bits 7, 6, 5, 4 in bits 28-31 of the status word. */
#define AMX_STATUS_BITS_SHIFT 28
#define AMX_STATUS_BITS_MASK 0xF0000000u

/* ---- Devices ------------------------------------------------------------ */

/* Every device function names its device by an identifier from GetAmxID and
 * returns AMX_NO_DEVICE (1) for an identifier no device has. Calls on one device
 * are serialised (from all threads); calls on different devices run side by
 * side, and AmxRead, AmxUartRead and AmxDebugState never wait for another call
 * (a start that fails waits some 1.5 s for the device, holding up only calls
 * on that device that change or ask it). After a power
 * suspend closed a device (acquisition ends), every function but AmxOpen and
 * AmxClose returns AMX_NOT_OPEN (2) until AmxOpen opens it again.
 * Functions that wait for a reply from the device (EEPROM, identification) may
 * be called while acquisition runs: the stream goes on. */

/* Number of devices present. */
AMX_API int32_t AMX_CALL GetAmxCount(void);
/* Identifier of the device at index (0-based); 0 if the index is out of range. */
AMX_API int32_t AMX_CALL GetAmxID(int32_t index);
/* The library's device object for id (opaque), or NULL. */
AMX_API void* AMX_CALL GetAmx(int32_t id);
/* Identifies the device (kind, channel count) and reads its calibration record.
 * AMX_OK, AMX_NOT_OPEN when the device's handle is closed (suspended), AMX_NO_DEVICE. */
AMX_API int32_t AMX_CALL AmxOpen(int32_t id);
/* AMX_OK while the device's handle is open, else AMX_CLOSED. Releases nothing. */
AMX_API int32_t AMX_CALL AmxClose(int32_t id);
/* Stops acquisition and restores the defaults: 500 samples/s, sync off, pull-up
 * off, analog configuration 0x80000000 (about 0.4 s). AMX_OK, AMX_NO_DEVICE. */
AMX_API int32_t AMX_CALL AmxReset(int32_t id);
/* Identifies the device, then fills info (size >= 36 bytes, AmxDeviceInfo).
 * AMX_OK; AMX_FAILED if info is NULL or size < 36 (identification ran anyway). */
AMX_API int32_t AMX_CALL AmxInfo(int32_t id, AmxDeviceInfo* info, int32_t size);
/* Fills the identification bytes (size >= 8). AMX_OK; AMX_FAILED for NULL or short. */
AMX_API int32_t AMX_CALL AmxInternalInfo(int32_t id, AmxInternalInfoRecord* info, int32_t size);
/* Debug dumps on (flag != 0) or off: "cmd.bin", "packet.bin", "log.bin" and
 * "uart.bin" in the current directory. AMX_OK. */
AMX_API int32_t AMX_CALL AmxDebugMode(int32_t id, int32_t flag);
/* Out: sample packets lost since AmxStart, counted from the packets' sequence
 * numbers (mod 256: a break of 256 or more packets cannot be counted exactly);
 * the device numbers its packets from 0 at each start, and packet 0 always
 * counts: it synchronises the sequence (lost or not). AMX_OK;
 * AMX_FAILED if lost is NULL. */
AMX_API int32_t AMX_CALL AmxDebugState(int32_t id, int32_t* lost);
/* Packets lost after the synchronising first, from AmxDebugState's count: what a
 * host reports as lost. */
static inline int32_t AmxLostAfterSync(int32_t debugStateLost) { return debugStateLost > 0 ? debugStateLost - 1 : 0; }

/* ---- Acquisition -------------------------------------------------------- */

/* Sends sampling rate, UART rate (devices with a UART) and analog configuration,
 * starts the device and its reader (up to about 1.5 s). AMX_OK; AMX_START_FAILED
 * when the device did not confirm the start within 1.25 s (it is stopped then,
 * and nothing of the attempt is left to read). */
AMX_API int32_t AMX_CALL AmxStart(int32_t id);
/* Stops the reader and the device. AMX_OK, AMX_STOP_FAILED (command not sent). */
AMX_API int32_t AMX_CALL AmxStop(int32_t id);
/* Copies whole sample frames (see above) into buffer (size bytes); out: bytes
 * copied, 0 if no whole frame fits or none is waiting. AMX_OK; AMX_FAILED if a
 * pointer is NULL. */
AMX_API int32_t AMX_CALL AmxRead(int32_t id, void* buffer, int32_t size, int32_t* bytesRead);
/* Out: samples per second. AMX_OK; AMX_FAILED if rate is NULL. */
AMX_API int32_t AMX_CALL AmxGetSampling(int32_t id, int32_t* rate);
/* 125, 250, 500 or 1000 samples/s. AMX_OK; AMX_BAD_SAMPLING for other rates or
 * when the command could not be sent. */
AMX_API int32_t AMX_CALL AmxSetSampling(int32_t id, int32_t rate);
/* Out: both sync flags (0 or 1). AMX_OK; AMX_FAILED if a pointer is NULL. */
AMX_API int32_t AMX_CALL AmxGetSync(int32_t id, int32_t* a, int32_t* b);
/* Sends the sync flags. AMX_OK; AMX_FAILED when the command could not be sent. */
AMX_API int32_t AMX_CALL AmxSetSync(int32_t id, int32_t a, int32_t b);
/* Electrode pull-up on (1) or off with mode 0-3. AMX_OK, AMX_FAILED. */
AMX_API int32_t AMX_CALL AmxPullUp(int32_t id, int32_t on, int32_t mode);
/* Analog front-end configuration word (bits 0-7 code, 24-25 mode, 27-29 family,
 * 30-31 gain bits). AMX_OK; AMX_FAILED for a code the device does not take. */
AMX_API int32_t AMX_CALL AmxSetAnalogConfig(int32_t id, uint32_t config);
/* Out: the configuration word in effect (0x80000000 after loading). AMX_OK. */
AMX_API int32_t AMX_CALL AmxGetAnalogConfig(int32_t id, uint32_t* config);
/* UART baud rate for the next AmxStart: 9600, 19200, 38400, 57600 or 115200; other
 * values are ignored. AMX_OK. */
AMX_API int32_t AMX_CALL AmxSetUartBound(int32_t id, int32_t baud);
/* Out: the stored UART baud rate (19200 after loading). AMX_OK. */
AMX_API int32_t AMX_CALL AmxGetUartBound(int32_t id, int32_t* baud);
/* Copies whole UART records (see above); out: bytes copied. AMX_OK; AMX_FAILED
 * if a pointer is NULL. */
AMX_API int32_t AMX_CALL AmxUartRead(int32_t id, void* buffer, int32_t size, int32_t* bytesRead);
/* Sends the master clock setting (value & 7); in/out: the value the device
 * confirmed. Only a running device confirms. AMX_OK; AMX_FAILED without confirmation. */
AMX_API int32_t AMX_CALL AmxMasterClockConfig(int32_t id, int32_t* value);

/* ---- EEPROM and calibration --------------------------------------------- */

/* The device's two 256-byte EEPROM areas (system: the calibration record; user:
 * free), read and written from address 0 in chunks of 48 bytes. size 0 to 256.
 * AMX_OK when all size bytes were transferred; AMX_FAILED otherwise (size above
 * 256 or below 0, a NULL buffer, or a chunk the device did not confirm). */
AMX_API int32_t AMX_CALL AmxWriteSystemEEPROM(int32_t id, const void* data, int32_t size);
AMX_API int32_t AMX_CALL AmxReadSystemEEPROM(int32_t id, void* data, int32_t size);
AMX_API int32_t AMX_CALL AmxWriteUserEEPROM(int32_t id, const void* data, int32_t size);
AMX_API int32_t AMX_CALL AmxReadUserEEPROM(int32_t id, void* data, int32_t size);

/* The calibration record of the system area, for hosts that look at one
 * themselves: byte offsets of its little-endian fields. The library decodes
 * records with these offsets and AmxCalCrc32, and uses a record only when the
 * CRC at AMX_CAL_CRC matches the one of the bytes before it. */
#define AMX_CAL_RECORD_SIZE 256
#define AMX_CAL_NAME 0 /* 16 display codes (ASCII for Latin text) */
#define AMX_CAL_NAME_LENGTH 16
#define AMX_CAL_NUMBER1 17         /* u16, first identification number */
#define AMX_CAL_NUMBER2 19         /* u16, second identification number */
#define AMX_CAL_DATE1 21           /* u8, months since January 2000 */
#define AMX_CAL_CHANNEL_COUNT 22   /* u8 */
#define AMX_CAL_VOLTS_PER_COUNT 23 /* u32, volts per count x 1e11 */
#define AMX_CAL_DATE2 31           /* u8, months since January 2000 */
#define AMX_CAL_VOLTAGE 32         /* s16, calibration volts x 1e5 */
#define AMX_CAL_AUX1 34            /* u8 */
#define AMX_CAL_BITS 35            /* per channel s15 zero and s20 calibration reading, LSB first */
#define AMX_CAL_BITS_LENGTH 175
#define AMX_CAL_AUX2 210       /* u8 */
#define AMX_CAL_AUX3 211       /* u8, x 1000 */
#define AMX_CAL_REF_VALUES 212 /* 40 x u8, impedance references, ohms / 1e6 */
#define AMX_CAL_CRC 252        /* u32, CRC-32 of bytes 0 to 251 */

/* CRC-32 of IEEE 802.3 (reflected polynomial 0xEDB88320, register starting at
 * all ones, complemented at the end), four bits per step through a 16-entry
 * table. Inline here, so that it costs the library no export. */
static inline uint32_t AmxCalCrc32(const void* block, size_t length)
{
  const uint8_t* p = (const uint8_t*)block;
  uint32_t table[16], reg = 0xFFFFFFFFu;
  size_t i;
  int k;
  for (i = 0; i < 16; ++i) {
    table[i] = (uint32_t)i;
    for (k = 0; k < 4; ++k) table[i] = (table[i] & 1u) ? 0xEDB88320u ^ (table[i] >> 1) : table[i] >> 1;
  }
  for (i = 0; i < length; ++i) {
    reg ^= p[i];
    reg = table[reg & 15u] ^ (reg >> 4);
    reg = table[reg & 15u] ^ (reg >> 4);
  }
  return ~reg;
}
/* Out: 1 if the calibration is applied to samples, else 0. AMX_OK; AMX_FAILED for NULL. */
AMX_API int32_t AMX_CALL AmxGetCalibrateFlag(int32_t id, int32_t* flag);
/* Applies the calibration (flag != 0) from now on, or not. AMX_OK. */
AMX_API int32_t AMX_CALL AmxSetCalibrateFlag(int32_t id, int32_t flag);

/* ---- Impedance ---------------------------------------------------------- */

/* Electrode impedance from the device's 30 Hz test signal. Each channel is
 * measured against the reference channel (19 on devices of 20 or more channels,
 * 0 on 16-channel devices, after AmxOpen): its difference is band-passed
 * (28-32 Hz), and the RMS of every one-second window becomes ohms, scaled by the
 * channel's impedance reference from the calibration record (100 MOhm without
 * calibration). */

/* Stops acquisition, prepares one measurement per channel except the reference
 * channel, switches the pull-up (test signal) on and starts acquisition again:
 * AmxRead keeps delivering samples meanwhile. About 0.5 s. AMX_OK. */
AMX_API int32_t AMX_CALL AmxMeasureImpedanceStart(int32_t id);
/* Stops acquisition, switches the pull-up off and ends the measurement. AMX_OK. */
AMX_API int32_t AMX_CALL AmxMeasureImpedanceStop(int32_t id);
/* values (out): one int32 per channel, ohms of the last completed window: 0
 * until the first one-second window is complete (the first ones also carry the
 * filter's start-up), -1 for a window that held an invalid sample of the channel
 * or of the reference (the filter then starts afresh, and its first window is
 * not reported: the -1 stands one window longer), -1 for the reference channel
 * and when no measurement runs. Devices of kinds 7 and 8 report 1000 ohms less
 * (so -1000 before the first window and -1001 for an invalid window; the
 * reference channel stays -1). size: bytes of values; at least 4 x channel
 * count, all of them zeroed first. AMX_OK; AMX_FAILED if values is NULL or size
 * is too small. */
AMX_API int32_t AMX_CALL AmxMeasureImpedanceRead(int32_t id, int32_t* values, int32_t size);
/* Reference channel (0-39) for the next AmxMeasureImpedanceStart. A channel the
 * device's frames do not carry makes every window invalid. AMX_OK; AMX_FAILED
 * (reference unchanged) for a channel outside 0-39. */
AMX_API int32_t AMX_CALL AmxSetImpedanceRef(int32_t id, int32_t channel);
/* Out: the reference channel. AMX_OK; AMX_FAILED if channel is NULL. */
AMX_API int32_t AMX_CALL AmxGetImpedanceRef(int32_t id, int32_t* channel);

/* ---- Display ------------------------------------------------------------ */

/* Shows text (zero-terminated, Windows code page 1251) on the device's display:
 * the first 16 characters, Latin and Cyrillic letters, digits and punctuation;
 * characters the display lacks (backslash, braces, bar, most symbols) show as
 * spaces. An empty text sends an empty command. AMX_OK; AMX_LCD_FAILED when the
 * command could not be sent; AMX_FAILED if text is NULL. */
AMX_API int32_t AMX_CALL AmxLCD(int32_t id, const char* text);
/* The display's character set: non-zero when it shows the code-page 1251
 * character c. It has 0x20-0x7A (space, digits, Latin letters, punctuation)
 * but the backslash 0x5C, the tilde 0x7E, the Cyrillic letters 0xC0-0xFF and
 * yo 0xB8, the copyright sign 0xA9, and glyphs at the control codes 0x14, 0x15,
 * 0x18, 0x19. AmxLCD sends every other character as a space. Inline here, so
 * that it costs the library no export. */
static inline int AmxLcdHasChar(unsigned char c)
{
  return (c >= 0x20 && c <= 0x7A && c != 0x5C) || c == 0x7E || c >= 0xC0 || c == 0xB8 || c == 0xA9 || c == 0x14 ||
         c == 0x15 || c == 0x18 || c == 0x19;
}

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
  AMX_BF_DONE = 0,           /* the new design is in effect, histories at zero */
  AMX_BF_NO_FILTER = 1,      /* unknown or destroyed handle */
  AMX_BF_OUT_OF_RANGE = 2,   /* type, order, rate or corners outside the range */
  AMX_BF_EQUAL_CORNERS = 3,  /* band-pass/stop: "Low cut off is equal to High cut off" */
  AMX_BF_NOT_REAL = 4,       /* "Butt. filter: coeff of z^ %d is not real" */
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
AMX_API int32_t AMX_CALL BFSet(uint32_t filter, int32_t type, int32_t order, double rate, double f1, double f2);

/* Filters `count` 16-bit samples from `source` into `destination`; results
 * are rounded to the nearest integer (ties to even) and saturated to 16 bits. */
AMX_API void AMX_CALL BFProcess(uint32_t filter, const int16_t* source, int16_t* destination, int32_t count);

/* As BFProcess for 32-bit samples, saturated to 32 bits. */
AMX_API void AMX_CALL BFProcess32(uint32_t filter, const int32_t* source, int32_t* destination, int32_t count);

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
AMX_API void AMX_CALL WFProcess(uint32_t filter, const int16_t* source, int16_t* destination, int32_t count);

/* As WFProcess for 32-bit samples. */
AMX_API void AMX_CALL WFProcess32(uint32_t filter, const int32_t* source, int32_t* destination, int32_t count);

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
AMX_API void AMX_CALL AFProcess(uint32_t filter, const int16_t* source, int16_t* destination, int32_t count);

/* As AFProcess for 32-bit samples. */
AMX_API void AMX_CALL AFProcess32(uint32_t filter, const int32_t* source, int32_t* destination, int32_t count);

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
AMX_API void AMX_CALL HFProcess(uint32_t filter, const int32_t* source, int16_t* destination, int32_t count);

/* Filters `count` 32-bit samples from `source` into `destination`, saturated
 * to 32 bits. */
AMX_API void AMX_CALL HFProcess32(uint32_t filter, const int32_t* source, int32_t* destination, int32_t count);

#ifdef __cplusplus
}
#endif
#endif /* AMVEX_H */
