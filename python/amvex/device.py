"""Amplifiers: enumeration, settings, streaming into numpy, UART, impedance,
display and EEPROM, each a thin layer over one or two exports."""

from __future__ import annotations

import ctypes
import dataclasses
import datetime
import time

import numpy as np

from ._lib import AmvexError, check, lib
from .clock import NUMBER_MASK, Clock

# The frame facts of amvex.h, mirrored once (the C names in the comments).
INVALID = 0x7FFFFFFF  # AMX_INVALID_SAMPLE: a channel count the device marked invalid
STATUS_BITS_SHIFT = 28  # AMX_STATUS_BITS_SHIFT: device status bits 7-4 in bits 28-31 of the status word


def lost_after_sync(lost: int) -> int:
    """AmxLostAfterSync (inline in amvex.h, so not exported): the packets lost
    after the synchronising first, from AmxDebugState's count."""
    return lost - 1 if lost > 0 else 0


class _DeviceInfo(ctypes.LittleEndianStructure):
    _pack_ = 1
    _fields_ = [
        ("calNumber1", ctypes.c_int32),
        ("calNumber2", ctypes.c_int32),
        ("calYear", ctypes.c_uint16),
        ("calMonth", ctypes.c_uint16),
        ("calDayOfWeek", ctypes.c_uint16),
        ("calDay", ctypes.c_uint16),
        ("calHour", ctypes.c_uint16),
        ("calMinute", ctypes.c_uint16),
        ("calSecond", ctypes.c_uint16),
        ("calMilliseconds", ctypes.c_uint16),
        ("channelCount", ctypes.c_int32),
        ("voltsPerCount", ctypes.c_double),
    ]


@dataclasses.dataclass(frozen=True)
class Info:
    """What AmxInfo and AmxInternalInfo report about an open device."""

    id: int
    kind: int
    revision: int
    channels: int
    volts_per_count: float
    calibration_numbers: tuple[int, int]  # (0, 0) without a calibration record
    calibration_date: datetime.date | None


@dataclasses.dataclass
class Block:
    """Frames from one ``read()``. ``samples`` is channels x frames in
    microvolts (NaN for samples the device marked invalid); ``sample_numbers``
    the device's numbers of the frames (1 = first after start); ``status`` the
    status bits 28-31 of each frame (0-15); ``times`` when each frame left the
    device, in seconds of ``time.monotonic()``, by the running fit of sample
    numbers against read-return times."""

    samples: np.ndarray
    sample_numbers: np.ndarray
    status: np.ndarray
    times: np.ndarray
    rate: int

    def to_mne(self, channel_names: list[str] | None = None):
        """An ``mne.io.RawArray`` of the block (volts, EEG channels). Frames the
        sample numbers skip become NaN and a ``BAD_lost_frames`` annotation."""
        import mne

        channels, count = self.samples.shape
        names = channel_names or [f"Ch{c + 1}" for c in range(channels)]
        span = int(self.sample_numbers[-1] - self.sample_numbers[0]) + 1 if count else 0
        data = np.full((channels, span), np.nan)
        at = (self.sample_numbers - self.sample_numbers[0]).astype(np.int64) if count else np.zeros(0, np.int64)
        data[:, at] = self.samples * 1e-6
        raw = mne.io.RawArray(data, mne.create_info(names, float(self.rate), "eeg"), verbose="error")
        steps = np.diff(at)
        gaps = np.flatnonzero(steps > 1)
        if gaps.size:
            raw.set_annotations(
                mne.Annotations(
                    onset=(at[gaps] + 1) / self.rate,
                    duration=(steps[gaps] - 1) / self.rate,
                    description=["BAD_lost_frames"] * gaps.size,
                )
            )
        if count and np.isfinite(self.times[0]):
            # The first frame's host time as a wall-clock date.
            wall = time.time() - (time.monotonic() - float(self.times[0]))
            raw.set_meas_date(datetime.datetime.fromtimestamp(wall, datetime.timezone.utc))
        return raw


@dataclasses.dataclass(frozen=True)
class UartRecord:
    """Bytes the device's UART received, with the sample number they arrived at."""

    sample_number: int
    data: bytes


@dataclasses.dataclass(frozen=True)
class Impedance:
    """Electrode impedances in ohms, one per channel; NaN where nothing was
    measured (the reference channel, a window with invalid samples, before the
    first one-second window completed)."""

    ohms: np.ndarray
    reference: int


def devices() -> list[int]:
    """Identifiers of the amplifiers present, in the library's order."""
    return [lib().GetAmxID(i) for i in range(lib().GetAmxCount())]


def _out(function: str, id: int, ctype=ctypes.c_int32, count: int = 1):
    values = [ctype() for _ in range(count)]
    check(function, id, *[ctypes.byref(v) for v in values])
    return values[0].value if count == 1 else tuple(v.value for v in values)


class Amplifier:
    """One amplifier. As a context manager it opens the device and, on leaving
    (also by an exception), stops acquisition and closes it.

    >>> with amvex.Amplifier(amvex.devices()[0]) as amp:
    ...     amp.rate = 500
    ...     amp.start()
    ...     block = amp.read(frames=1000, timeout=5)
    """

    def __init__(self, id: int) -> None:
        self.id = id
        self.info: Info | None = None
        self._clock: Clock | None = None
        self._rate = 0

    def __enter__(self) -> Amplifier:
        self.open()
        return self

    def __exit__(self, *exc) -> None:
        try:
            if self._clock is not None:
                self.stop()
        finally:
            self.close()

    def open(self) -> Info:
        """Identifies the device, reads its calibration record; returns ``info``."""
        check("AmxOpen", self.id)
        raw = _DeviceInfo()
        check("AmxInfo", self.id, ctypes.byref(raw), ctypes.sizeof(raw))
        ident = (ctypes.c_int32 * 2)()
        check("AmxInternalInfo", self.id, ident, ctypes.sizeof(ident))
        date = None
        if raw.calNumber1 or raw.calNumber2:
            try:
                date = datetime.date(raw.calYear, raw.calMonth, raw.calDay)
            except ValueError:  # a record with numbers but no usable date
                pass
        self.info = Info(
            self.id,
            ident[0],
            ident[1],
            raw.channelCount,
            raw.voltsPerCount,
            (raw.calNumber1, raw.calNumber2),
            date,
        )
        return self.info

    def close(self) -> None:
        """Closes the device (its handle stays with the library)."""
        status = lib().AmxClose(self.id)
        if status not in (0, 4):  # AMX_CLOSED: a suspended device has nothing to close
            raise AmvexError("AmxClose", status)

    def reset(self) -> None:
        """Stops acquisition and restores the device's defaults."""
        check("AmxReset", self.id)
        self._clock = None

    # Settings.
    @property
    def rate(self) -> int:
        """Samples per second: 125, 250, 500 or 1000."""
        return _out("AmxGetSampling", self.id)

    @rate.setter
    def rate(self, value: int) -> None:
        check("AmxSetSampling", self.id, int(value))

    @property
    def sync(self) -> tuple[int, int]:
        """The two sync flags."""
        return _out("AmxGetSync", self.id, count=2)

    @sync.setter
    def sync(self, flags: tuple[int, int]) -> None:
        check("AmxSetSync", self.id, int(flags[0]), int(flags[1]))

    @property
    def analog_config(self) -> int:
        """The analog front-end configuration word."""
        return _out("AmxGetAnalogConfig", self.id, ctypes.c_uint32)

    @analog_config.setter
    def analog_config(self, word: int) -> None:
        check("AmxSetAnalogConfig", self.id, word & 0xFFFFFFFF)

    def pull_up(self, on: bool, mode: int = 0) -> None:
        """Electrode pull-up (the test signal) on or off, mode 0-3."""
        check("AmxPullUp", self.id, int(on), mode)

    @property
    def calibrated(self) -> bool:
        """Whether the calibration record is applied to the samples."""
        return bool(_out("AmxGetCalibrateFlag", self.id))

    @calibrated.setter
    def calibrated(self, on: bool) -> None:
        check("AmxSetCalibrateFlag", self.id, int(on))

    @property
    def uart_baud(self) -> int:
        """UART baud rate for the next start."""
        return _out("AmxGetUartBound", self.id)

    @uart_baud.setter
    def uart_baud(self, baud: int) -> None:
        check("AmxSetUartBound", self.id, baud)

    @property
    def lost_packets(self) -> int:
        """Sample packets lost since the start (the synchronising first not counted)."""
        return lost_after_sync(_out("AmxDebugState", self.id))

    # Acquisition.
    def _stream_started(self) -> None:
        if self.info is None:
            self.open()
        self._rate = self.rate
        self._clock = Clock(self._rate)

    def start(self) -> None:
        """Sends the settings and starts acquisition (up to about 1.5 s)."""
        check("AmxStart", self.id)
        self._stream_started()

    def stop(self) -> None:
        """Stops acquisition."""
        self._clock = None
        check("AmxStop", self.id)

    def read(self, frames: int | None = None, timeout: float = 1.0) -> Block:
        """Frames from the device: exactly ``frames`` of them, or with None
        whatever is waiting (at least one). Raises TimeoutError when they do not
        arrive within ``timeout`` seconds, AmvexError when a read fails."""
        if self._clock is None or self.info is None:
            raise RuntimeError("read() needs start() first")
        if frames is not None and frames < 1:
            raise ValueError("frames must be 1 or more")
        words = self.info.channels + 1
        want = frames if frames is not None else max(self._rate, 64)
        buffer = np.empty((want, words), dtype=np.int32)
        times = np.empty(want)
        got = 0
        deadline = time.monotonic() + timeout
        count = ctypes.c_int32()
        while got < want:
            space = buffer[got:]
            check("AmxRead", self.id, space.ctypes.data, space.nbytes, ctypes.byref(count))
            now = time.monotonic()
            n = count.value // 4 // words
            if n:
                times[got : got + n] = self._times(buffer[got : got + n, -1], now)
                got += n
                if frames is None:
                    break
            elif now >= deadline:
                raise TimeoutError(f"{got} of {want if frames else 'any'} frames within {timeout} s")
            else:
                time.sleep(0.002)
        counts = buffer[:got, :-1].T
        samples = counts * (self.info.volts_per_count * 1e6)
        samples[counts == INVALID] = np.nan
        status = buffer[:got, -1].view(np.uint32)
        return Block(samples, (status & NUMBER_MASK).astype(np.int64), (status >> STATUS_BITS_SHIFT).astype(np.uint8),
                     times[:got], self._rate)

    def _times(self, status: np.ndarray, now: float) -> np.ndarray:
        """Feeds one read to the fit (from its last gap on) and times its frames."""
        numbers = status.view(np.uint32).astype(np.int64) & NUMBER_MASK
        jumps = np.flatnonzero(((numbers[1:] - numbers[:-1]) & NUMBER_MASK) != 1)
        run = jumps[-1] + 1 if jumps.size else 0
        self._clock.add(int(numbers[run]), int(numbers[-1]), now)
        return self._clock.times(numbers)

    def uart_read(self) -> list[UartRecord]:
        """The UART records waiting (devices with a UART, after start)."""
        buffer = (ctypes.c_uint8 * 4096)()
        count = ctypes.c_int32()
        records = []
        while True:
            check("AmxUartRead", self.id, buffer, len(buffer), ctypes.byref(count))
            data, at = bytes(buffer[: count.value]), 0
            while at + 5 <= len(data):
                size = data[at + 4]
                number = int.from_bytes(data[at : at + 4], "little", signed=True)
                records.append(UartRecord(number, data[at + 5 : at + 5 + size]))
                at += 5 + size
            if count.value < len(buffer) - 260:  # the next record would have fitted: none left
                return records

    # Impedance.
    def impedance_start(self, reference: int | None = None) -> None:
        """Starts the measurement (and acquisition): every channel against the
        ``reference`` channel (0-based; the device's default if None)."""
        if reference is not None:
            check("AmxSetImpedanceRef", self.id, reference)
        check("AmxMeasureImpedanceStart", self.id)
        self._stream_started()

    def impedance(self) -> Impedance:
        """Impedances of the last completed one-second window."""
        channels = self.info.channels if self.info else self.open().channels
        values = np.zeros(channels, dtype=np.int32)
        check("AmxMeasureImpedanceRead", self.id, values.ctypes.data_as(ctypes.POINTER(ctypes.c_int32)), values.nbytes)
        ohms = values.astype(np.float64)
        ohms[values <= 0] = np.nan  # -1: reference or invalid window; 0 (-1000 on kinds 7 and 8): not yet
        return Impedance(ohms, _out("AmxGetImpedanceRef", self.id))

    def impedance_stop(self) -> None:
        """Ends the measurement and acquisition."""
        self._clock = None
        check("AmxMeasureImpedanceStop", self.id)

    # Display and EEPROM.
    def display(self, text: str) -> None:
        """Shows the first 16 characters of text (Latin and Cyrillic) on the device."""
        check("AmxLCD", self.id, text.encode("cp1251", errors="replace"))

    def read_eeprom(self, area: str = "user", size: int = 256) -> bytes:
        """The first ``size`` bytes (0-256) of the ``"user"`` or ``"system"`` area."""
        data = ctypes.create_string_buffer(size)
        check(_eeprom(area, "Read"), self.id, data, size)
        return data.raw

    def write_eeprom(self, data: bytes, area: str = "user") -> None:
        """Writes ``data`` (at most 256 bytes) from address 0 of an area. The
        system area holds the calibration record."""
        check(_eeprom(area, "Write"), self.id, data, len(data))


def _eeprom(area: str, verb: str) -> str:
    if area not in ("user", "system"):
        raise ValueError(f'EEPROM area is "user" or "system", not {area!r}')
    return f"Amx{verb}{area.capitalize()}EEPROM"
