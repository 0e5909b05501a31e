"""Amplifiers: enumeration, settings, streaming into numpy, UART, impedance,
display and EEPROM, each a thin layer over one or two exports."""

from __future__ import annotations

import ctypes
import dataclasses
import datetime
import operator
import threading
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

    @property
    def identified(self) -> bool:
        """False for a device that never answered the identification query
        (kind and revision 0): the library treats it as a 40-channel device
        without calibration, so its channel count and scale may be wrong."""
        return self.kind != 0 or self.revision != 0


@dataclasses.dataclass
class Block:
    """Frames from one ``read()``. ``samples`` is channels x frames in
    microvolts (NaN for samples the device marked invalid); ``sample_numbers``
    the device's numbers of the frames (1 = first after start); ``status`` the
    status bits 28-31 of each frame (0-15); ``times`` when each frame left the
    device, in seconds of ``time.monotonic()``, by the running fit of sample
    numbers against read-return times as the frames arrived: they never go
    back, from the first frame after a start on."""

    samples: np.ndarray
    sample_numbers: np.ndarray
    status: np.ndarray
    times: np.ndarray
    rate: int

    @classmethod
    def concat(cls, blocks: list[Block]) -> Block:
        """One block of consecutive reads of one stream (one time line): frames
        the sample numbers skip, between blocks too, stay gaps that ``to_mne``
        fills with NaN and annotates. ValueError for blocks of different rates
        or channel counts, or whose sample numbers do not increase."""
        blocks = list(blocks)
        if not blocks:
            raise ValueError("Block.concat needs at least one block")
        if len({(b.rate, b.samples.shape[0]) for b in blocks}) > 1:
            raise ValueError("Block.concat: the blocks differ in rate or channel count")
        numbers = np.concatenate([b.sample_numbers for b in blocks])
        if np.any(np.diff(numbers) < 1):
            raise ValueError("Block.concat: sample numbers do not increase (blocks out of order or from two starts)")
        return cls(np.concatenate([b.samples for b in blocks], axis=1), numbers,
                   np.concatenate([b.status for b in blocks]), np.concatenate([b.times for b in blocks]),
                   blocks[0].rate)

    def to_mne(self, channel_names: list[str] | None = None):
        """An ``mne.io.RawArray`` of the block (volts, EEG channels). Frames the
        sample numbers skip (lost packets, frames the host buffer overwrote)
        become NaN and a ``BAD_lost_frames`` annotation."""
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
        if count and np.isfinite(self.times[-1]):
            # The first frame's host time as a wall-clock date, counted back
            # from the newest stamp of the first second: stamps right after a
            # start are tens of ms late, and the fit behind them learns with
            # every read.
            k = np.flatnonzero(self.sample_numbers - self.sample_numbers[0] < self.rate)[-1]
            first = float(self.times[k]) - float(self.sample_numbers[k] - self.sample_numbers[0]) / self.rate
            wall = time.time() - (time.monotonic() - first)
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


def read_blocks(read, rate: int, seconds: float | None, block_seconds: float):
    """Blocks of ``read(frames=...)`` of ``block_seconds`` each until
    ``seconds`` of frames came (the last may be shorter), or for as long as the
    loop runs when None: ``stream()`` of a local and of a served stream."""
    size = max(round(block_seconds * rate), 1)
    left = None if seconds is None else round(seconds * rate)
    while left is None or left > 0:
        block = read(frames=size if left is None else min(size, left))
        if left is not None:
            left -= block.sample_numbers.size
        yield block


def devices() -> list[int]:
    """Identifiers of the amplifiers present, in the library's order."""
    return [lib().GetAmxID(i) for i in range(lib().GetAmxCount())]


def _index(value, what: str) -> int:
    """An integer argument, or a TypeError that names it (ctypes' own names neither)."""
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{what} must be an int, not {type(value).__name__}") from None


class _Acquisition:
    """A background thread that drains the library's ring (about 1.5 s of
    frames) into a host ring of ``seconds``, timing each frame as it arrives.
    Frames the host ring has to overwrite before ``take`` got them are counted
    in ``dropped`` and leave a gap in the sample numbers."""

    POLL = 0.002  # seconds between reads that found nothing

    def __init__(self, id: int, words: int, rate: int, seconds: float) -> None:
        self.id, self.words = id, words
        self.capacity = max(int(seconds * rate), 1)
        self.frames = np.empty((self.capacity, words), np.int32)
        self.times = np.empty(self.capacity)
        self.written = self.taken = self.dropped = 0  # frames since the start
        self.error: BaseException | None = None
        self.running = True
        self.clock = Clock(rate)
        self.ready = threading.Condition()
        self.thread = threading.Thread(target=self._drain, name=f"amvex {id}", daemon=True)
        self.thread.start()

    def _drain(self) -> None:
        chunk = np.empty((max(65536 // self.words, 1), self.words), np.int32)  # the library's whole ring
        count = ctypes.c_int32()
        try:
            while self.running:
                check("AmxRead", self.id, chunk.ctypes.data, chunk.nbytes, ctypes.byref(count))
                now = time.monotonic()
                n = count.value // 4 // self.words
                if n:
                    self._put(chunk[:n], self._stamp(chunk[:n, -1], now))
                else:
                    time.sleep(self.POLL)
        except BaseException as e:  # take() raises it
            self.error = e
        finally:
            with self.ready:
                self.running = False
                self.ready.notify_all()

    def _stamp(self, status: np.ndarray, now: float) -> np.ndarray:
        """Feeds one read to the fit (from its last gap on) and stamps its frames."""
        numbers = status.view(np.uint32).astype(np.int64) & NUMBER_MASK
        jumps = np.flatnonzero(((numbers[1:] - numbers[:-1]) & NUMBER_MASK) != 1)
        run = jumps[-1] + 1 if jumps.size else 0
        self.clock.add(int(numbers[run]), int(numbers[-1]), now)
        return self.clock.stamps(numbers)

    def _put(self, frames: np.ndarray, times: np.ndarray) -> None:
        with self.ready:
            skip = max(len(frames) - self.capacity, 0)
            self.written += skip
            at = np.arange(self.written, self.written + len(frames) - skip) % self.capacity
            self.frames[at], self.times[at] = frames[skip:], times[skip:]
            self.written += len(at)
            over = self.written - self.taken - self.capacity
            if over > 0:  # the host left more than the buffer holds between reads
                self.taken += over
                self.dropped += over
            self.ready.notify_all()

    def take(self, want: int | None, timeout: float) -> tuple[np.ndarray, np.ndarray]:
        """``want`` frames (None: all waiting, at least one) within ``timeout``
        seconds; on a timeout they stay for the next take."""
        deadline = time.monotonic() + timeout
        with self.ready:
            while self.written - self.taken < (want or 1):
                if self.error is not None:
                    raise self.error
                if not self.running:
                    raise RuntimeError(f"acquisition stopped with {self.written - self.taken} frames waiting")
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TimeoutError(f"{self.written - self.taken} of {want or 1} frames within {timeout:g} s "
                                       "(they stay for the next read)")
                self.ready.wait(left)
            at = np.arange(self.taken, self.taken + (want or self.written - self.taken)) % self.capacity
            self.taken += len(at)
            return self.frames[at], self.times[at]

    def halt(self) -> None:
        self.running = False
        self.thread.join()


class Amplifier:
    """One amplifier. As a context manager it opens the device and, on leaving
    (also by an exception), closes it, stopping acquisition first.

    >>> with amvex.Amplifier(amvex.devices()[0]) as amp:
    ...     amp.rate = 500
    ...     amp.start()
    ...     block = amp.read(frames=1000)
    """

    def __init__(self, id: int) -> None:
        self.id = _index(id, "device id")
        self.info: Info | None = None
        self._acquisition: _Acquisition | None = None
        self._acquiring = False
        self._closed = False
        self._rate = 0

    def __enter__(self) -> Amplifier:
        self.open()
        return self

    def __exit__(self, kind, error, traceback) -> None:
        if error is None:
            self.close()
            return
        try:
            self.close()
        except Exception as cleanup:  # the body's exception stays the one raised
            if hasattr(error, "add_note"):
                error.add_note(f"then closing amplifier {self.id} failed too: {cleanup}")

    def _check(self, function: str, *args) -> None:
        if self._closed:
            raise RuntimeError(f"amplifier {self.id} is closed")
        check(function, self.id, *args)

    def _out(self, function: str, ctype=ctypes.c_int32, count: int = 1):
        values = [ctype() for _ in range(count)]
        self._check(function, *[ctypes.byref(v) for v in values])
        return values[0].value if count == 1 else tuple(v.value for v in values)

    def open(self) -> Info:
        """Identifies the device, reads its calibration record; returns ``info``."""
        try:
            self._check("AmxOpen")
        except AmvexError as e:
            if e.code == 1:
                raise AmvexError("AmxOpen", 1, detail=f"no amplifier {self.id}; present: {devices()}") from None
            raise
        raw = _DeviceInfo()
        self._check("AmxInfo", ctypes.byref(raw), ctypes.sizeof(raw))
        ident = (ctypes.c_int32 * 2)()
        self._check("AmxInternalInfo", ident, ctypes.sizeof(ident))
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
        """Stops acquisition, closes the device and retires this object: later
        calls raise RuntimeError, closing again does nothing. (The device can be
        opened again through a new Amplifier.)"""
        if self._closed:
            return
        try:
            if self._acquiring:
                self.stop()
        finally:
            self._closed = True
            status = lib().AmxClose(self.id)
            if status not in (0, 4):  # AMX_CLOSED: a suspended device has nothing to close
                raise AmvexError("AmxClose", status)

    def reset(self) -> None:
        """Stops acquisition and restores the device's defaults."""
        self._halt()
        self._check("AmxReset")

    # Settings.
    @property
    def rate(self) -> int:
        """Samples per second: 125, 250, 500 or 1000."""
        return self._out("AmxGetSampling")

    @rate.setter
    def rate(self, value: int) -> None:
        self._check("AmxSetSampling", _index(value, "rate"))

    @property
    def sync(self) -> tuple[int, int]:
        """The two sync flags."""
        return self._out("AmxGetSync", count=2)

    @sync.setter
    def sync(self, flags: tuple[int, int]) -> None:
        self._check("AmxSetSync", _index(flags[0], "sync flag"), _index(flags[1], "sync flag"))

    @property
    def analog_config(self) -> int:
        """The analog front-end configuration word."""
        return self._out("AmxGetAnalogConfig", ctypes.c_uint32)

    @analog_config.setter
    def analog_config(self, word: int) -> None:
        self._check("AmxSetAnalogConfig", _index(word, "analog configuration word") & 0xFFFFFFFF)

    def pull_up(self, on: bool, mode: int = 0) -> None:
        """Electrode pull-up (the test signal) on or off, mode 0-3."""
        self._check("AmxPullUp", int(bool(on)), _index(mode, "pull-up mode"))

    @property
    def calibrated(self) -> bool:
        """Whether the calibration record is applied to the samples."""
        return bool(self._out("AmxGetCalibrateFlag"))

    @calibrated.setter
    def calibrated(self, on: bool) -> None:
        self._check("AmxSetCalibrateFlag", int(bool(on)))

    @property
    def uart_baud(self) -> int:
        """UART baud rate for the next start."""
        return self._out("AmxGetUartBound")

    @uart_baud.setter
    def uart_baud(self, baud: int) -> None:
        self._check("AmxSetUartBound", _index(baud, "baud rate"))

    @property
    def lost_packets(self) -> int:
        """Sample packets lost since the start (the synchronising first not counted)."""
        return lost_after_sync(self._out("AmxDebugState"))

    @property
    def dropped_frames(self) -> int:
        """Frames the host buffer overwrote since the start because ``read()``
        did not take them within ``buffer_seconds``: a gap in the sample
        numbers, annotated by ``to_mne`` like lost packets."""
        if self._closed:
            raise RuntimeError(f"amplifier {self.id} is closed")
        return self._acquisition.dropped if self._acquisition else 0

    # Acquisition.
    def _acquire(self, buffer_seconds: float) -> None:
        """Starts the background thread once the device acquires."""
        self._acquiring = True
        if self.info is None:
            self.open()
        self._rate = self.rate
        self._acquisition = _Acquisition(self.id, self.info.channels + 1, self._rate, buffer_seconds)

    def _halt(self) -> None:
        """Joins the background thread (frames it stored stay readable)."""
        self._acquiring = False
        if self._acquisition is not None:
            self._acquisition.halt()

    def start(self, buffer_seconds: float = 60.0) -> None:
        """Sends the settings and starts acquisition (up to about 1.5 s) with a
        background thread that moves every frame from the library (whose own
        ring holds about 1.5 s) into a host buffer of ``buffer_seconds``: the
        host may pause that long between reads and lose nothing. Frames a
        longer pause overwrites are counted in ``dropped_frames``."""
        if not buffer_seconds > 0:
            raise ValueError(f"buffer_seconds must be above 0, not {buffer_seconds!r}")
        self._halt()
        self._check("AmxStart")
        self._acquire(buffer_seconds)

    def stop(self) -> None:
        """Stops acquisition and joins the background thread. Frames already
        taken from the library stay readable with ``read()``."""
        self._halt()
        self._check("AmxStop")

    def read(self, frames: int | None = None, timeout: float | None = None) -> Block:
        """Frames in order from the host buffer; none is skipped but those the
        device lost or the buffer overwrote (gaps in the sample numbers).

        ``read(frames=N)`` returns exactly N frames, waiting as long as those
        not yet here take at the rate plus a tenth and a second, or at most
        ``timeout`` seconds when given. When they do not come in time it raises
        TimeoutError and discards nothing: the frames that came stay for the
        next read. ``read()`` returns every frame waiting, after waiting up to
        ``timeout`` (default 1 s) for the first. A failed read of the device
        (such as an unplug) raises its AmvexError once the frames before it
        were read."""
        if self._closed:
            raise RuntimeError(f"amplifier {self.id} is closed")
        if self._acquisition is None:
            raise RuntimeError("read() needs start() first")
        if frames is not None:
            frames = _index(frames, "frames")
            if not 1 <= frames <= self._acquisition.capacity:
                raise ValueError(f"frames must be from 1 to the {self._acquisition.capacity} the buffer holds "
                                 "(start()'s buffer_seconds)")
        if timeout is None:
            waiting = self._acquisition.written - self._acquisition.taken
            timeout = 1.0 if frames is None else max(frames - waiting, 0) / self._rate * 1.1 + 1.0
        raw, times = self._acquisition.take(frames, timeout)
        counts = raw[:, :-1].T
        samples = counts * (self.info.volts_per_count * 1e6)
        samples[counts == INVALID] = np.nan
        status = raw[:, -1].view(np.uint32)
        return Block(samples, (status & NUMBER_MASK).astype(np.int64), (status >> STATUS_BITS_SHIFT).astype(np.uint8), times,
                     self._rate)

    def stream(self, seconds: float | None = None, block_seconds: float = 0.1):
        """Yields ``read()`` blocks of ``block_seconds`` each until ``seconds``
        of frames came (the last block may be shorter), or for as long as the
        loop runs when None. ``Block.concat`` joins them into one time line."""
        if self._acquisition is None:
            raise RuntimeError("stream() needs start() first")
        return read_blocks(self.read, self._rate, seconds, block_seconds)

    def uart_read(self) -> list[UartRecord]:
        """The UART records waiting (devices with a UART, after start)."""
        buffer = (ctypes.c_uint8 * 4096)()
        count = ctypes.c_int32()
        records = []
        while True:
            self._check("AmxUartRead", buffer, len(buffer), ctypes.byref(count))
            data, at = bytes(buffer[: count.value]), 0
            while at + 5 <= len(data):
                size = data[at + 4]
                number = int.from_bytes(data[at : at + 4], "little", signed=True)
                records.append(UartRecord(number, data[at + 5 : at + 5 + size]))
                at += 5 + size
            if count.value < len(buffer) - 260:  # the next record would have fitted: none left
                return records

    # Impedance.
    def impedance_start(self, reference: int | None = None, buffer_seconds: float = 60.0) -> None:
        """Starts the measurement and acquisition (read as after ``start()``):
        every channel against the ``reference`` channel (0-based; the device's
        default if None)."""
        if reference is not None:
            self._check("AmxSetImpedanceRef", _index(reference, "reference channel"))
        self._halt()
        self._check("AmxMeasureImpedanceStart")
        self._acquire(buffer_seconds)

    def impedance(self) -> Impedance:
        """Impedances of the last completed one-second window."""
        channels = self.info.channels if self.info else self.open().channels
        values = np.zeros(channels, dtype=np.int32)
        self._check("AmxMeasureImpedanceRead", values.ctypes.data_as(ctypes.POINTER(ctypes.c_int32)), values.nbytes)
        ohms = values.astype(np.float64)
        ohms[values <= 0] = np.nan  # -1: reference or invalid window; 0 (-1000 on kinds 7 and 8): not yet
        return Impedance(ohms, self._out("AmxGetImpedanceRef"))

    def impedance_stop(self) -> None:
        """Ends the measurement and acquisition."""
        self._halt()
        self._check("AmxMeasureImpedanceStop")

    # Display and EEPROM.
    def display(self, text: str) -> None:
        """Shows the first 16 characters of text (Latin and Cyrillic) on the device."""
        self._check("AmxLCD", text.encode("cp1251", errors="replace"))

    def read_eeprom(self, area: str = "user", size: int = 256) -> bytes:
        """The first ``size`` bytes (0-256) of the ``"user"`` or ``"system"`` area."""
        size = _index(size, "size")
        data = ctypes.create_string_buffer(size)
        self._check(_eeprom(area, "Read"), data, size)
        return data.raw

    def write_eeprom(self, data: bytes, area: str = "user") -> None:
        """Writes ``data`` (at most 256 bytes) from address 0 of an area. The
        system area holds the calibration record."""
        self._check(_eeprom(area, "Write"), bytes(data), len(data))


def _eeprom(area: str, verb: str) -> str:
    if area not in ("user", "system"):
        raise ValueError(f'EEPROM area is "user" or "system", not {area!r}')
    return f"Amx{verb}{area.capitalize()}EEPROM"
