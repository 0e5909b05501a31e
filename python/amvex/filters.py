"""The library's four filter families. Each object filters one stream
layout, chosen by its first ``process()`` call:

- a Block from ``read()``, or a float array of channels x frames in
  microvolts: one filter state per channel, output in microvolts, NaN (a
  sample the device marked invalid) passed through as NaN while the filter
  runs on across it from the channel's last valid value;
- a 1-D integer stream (32-bit), filtered as integers as the library does.

State carries over between ``process()`` calls (the output does not depend on
how a stream is cut into blocks); ``close()`` or leaving a ``with`` block
releases the library's handles.
"""

from __future__ import annotations

import ctypes
import dataclasses

import numpy as np

from ._lib import BF_NAMES, AmvexError, lib
from .device import Block

_i32p = ctypes.POINTER(ctypes.c_int32)
_INT32 = np.iinfo(np.int32)

# Microvolts run through the integer filters in nanovolts: 1000 steps per
# microvolt keep the filters' integer rounding far below a microvolt, and the
# 32-bit range still spans +-2.1 V.
STEPS_PER_MICROVOLT = 1000


class _Filter:
    _family = ""

    def __init__(self) -> None:
        self._handles: list[int] = []
        self._layout: int | None = None  # -1 for an integer stream, else the channel count
        self._held = np.zeros(0)  # each channel's last valid input (steps)
        self._add_handle()

    def _add_handle(self) -> None:
        """One more library filter with the object's design (``_design`` of the family)."""
        handle = getattr(lib(), self._family + "Create")()
        if not handle:
            raise MemoryError(f"{self._family}Create: out of memory")
        self._handles.append(handle)
        self._design(handle)

    def _run(self, handle: int, x: np.ndarray) -> np.ndarray:
        y = np.empty_like(x)
        getattr(lib(), self._family + "Process32")(handle, x.ctypes.data_as(_i32p), y.ctypes.data_as(_i32p), x.size)
        return y

    def _use(self, layout: int) -> None:
        if not self._handles:
            raise ValueError("filter is closed")
        if self._layout is None:
            self._layout = layout
            self._held = np.zeros(max(layout, 0))
            while len(self._handles) < layout:
                self._add_handle()
        elif self._layout != layout:
            was = "an integer stream" if self._layout < 0 else f"{self._layout} channels"
            raise ValueError(f"this filter runs on {was}; use another filter object for this input")

    def process(self, samples):
        """Filters the next part of the stream: a Block (returns a Block with
        the filtered microvolts), a float array of channels x frames in
        microvolts (returns one), or a 1-D integer array (returns int32).
        TypeError for any other kind of input, ValueError for values out of the
        32-bit range (integers) or beyond +-2.1 V (microvolts)."""
        if isinstance(samples, Block):
            return dataclasses.replace(samples, samples=self.process(samples.samples))
        x = np.asarray(samples)
        if x.ndim == 1 and x.dtype.kind in "iu":
            if x.size and (x.min() < _INT32.min or x.max() > _INT32.max):
                raise ValueError("integer samples out of the 32-bit range")
            self._use(-1)
            return self._run(self._handles[0], np.ascontiguousarray(x, dtype=np.int32))
        if x.ndim == 2 and x.dtype.kind == "f" and x.shape[0]:
            return self._microvolts(x)
        if x.dtype.kind == "f":
            raise ValueError(f"microvolts are filtered as channels x frames (2-D), not {x.ndim}-D; "
                             "for one channel pass x[np.newaxis]")
        raise TypeError(f"filters take a Block, float microvolts (channels x frames) or a 1-D integer stream, "
                        f"not {x.ndim}-D {x.dtype}")

    def _microvolts(self, x: np.ndarray) -> np.ndarray:
        valid = ~np.isnan(x)
        steps = x * STEPS_PER_MICROVOLT
        if np.any(np.abs(steps[valid]) > _INT32.max):
            raise ValueError("samples beyond +-2.1 V (or infinite): not a signal the filters can carry")
        self._use(x.shape[0])
        # An invalid sample repeats the channel's last valid one, so the
        # filter's state runs on without a jump; its output is NaN.
        at = np.where(valid, np.arange(x.shape[1]) + 1, 0)
        np.maximum.accumulate(at, axis=1, out=at)
        held = np.take_along_axis(np.column_stack((self._held, np.rint(steps))), at, axis=1)
        if held.shape[1]:
            self._held = held[:, -1].copy()
        out = np.stack([self._run(h, np.ascontiguousarray(row, dtype=np.int32)) for h, row in zip(self._handles, held)])
        out = out / STEPS_PER_MICROVOLT
        out[~valid] = np.nan
        return out

    def close(self) -> None:
        """Destroys the library's filters (again: nothing)."""
        for handle in self._handles:
            getattr(lib(), self._family + "Destroy")(handle)
        self._handles = []

    def __enter__(self):
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_handles", None):
            self.close()


class Butterworth(_Filter):
    """Butterworth low-pass, high-pass, band-pass or band-stop of ``order`` 1-8
    at ``rate`` Hz; corners ``f1`` (and ``f2`` for the band types) in Hz."""

    _family = "BF"
    TYPES = {"lowpass": 0, "highpass": 1, "bandpass": 2, "bandstop": 3}

    def __init__(self, kind: str, order: int, rate: float, f1: float, f2: float | None = None) -> None:
        self._parameters = self._bfset_arguments(kind, order, rate, f1, f2)
        try:
            super().__init__()
        except BaseException:
            self.close()
            raise

    @classmethod
    def _bfset_arguments(cls, kind, order, rate, f1, f2) -> tuple:
        if kind not in cls.TYPES:
            raise ValueError(f"kind is one of {', '.join(cls.TYPES)}, not {kind!r}")
        return cls.TYPES[kind], order, rate, f1, rate / 2 if f2 is None else f2

    def _design(self, handle: int) -> None:
        result = lib().BFSet(handle, *self._parameters)
        if result != 0:
            raise AmvexError("BFSet", result, BF_NAMES.get(result, "unknown result"))

    def design(self, kind: str, order: int, rate: float, f1: float, f2: float | None = None) -> None:
        """A new design for every channel, histories at zero; AmvexError
        (keeping the previous design) for one the library refuses."""
        if not self._handles:
            raise ValueError("filter is closed")
        previous, self._parameters = self._parameters, self._bfset_arguments(kind, order, rate, f1, f2)
        try:
            self._design(self._handles[0])  # a refused design changes nothing
        except AmvexError:
            self._parameters = previous
            raise
        for handle in self._handles[1:]:
            self._design(handle)


class Window(_Filter):
    """Moving average over ``duration`` seconds (or one period of ``frequency``)."""

    _family = "WF"

    def __init__(self, rate: float, frequency: float = 0, duration: float = 0) -> None:
        self._parameters = (rate, frequency, duration)
        super().__init__()

    def _design(self, handle: int) -> None:
        lib().WFSet(handle, *self._parameters)


class Adaptive(_Filter):
    """Cancels a sinusoidal interference at ``notch`` Hz (mains hum)."""

    _family = "AF"

    def __init__(self, rate: float, notch: float = 50) -> None:
        self._parameters = (rate, notch)
        super().__init__()

    def _design(self, handle: int) -> None:
        lib().AFSetEx(handle, *self._parameters)


class Hardware(_Filter):
    """Subtracts the moving average over the time constant (``cutoff`` Hz
    gives 1 / (2 pi cutoff) s, or ``time_constant`` in seconds); in an integer
    stream it bridges invalid samples (0x7FFFFFFF)."""

    _family = "HF"

    def __init__(self, rate: float, cutoff: float | None = None, time_constant: float = 0) -> None:
        self._parameters = (rate, -1 if cutoff is None else cutoff, time_constant)
        super().__init__()

    def _design(self, handle: int) -> None:
        lib().HFSet(handle, *self._parameters)
