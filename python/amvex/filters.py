"""The library's four filter families for integer sample streams. Each object
owns one filter handle: state carries over between ``process()`` calls (the
output does not depend on how a stream is cut into blocks), and ``close()``
or leaving a ``with`` block releases the handle."""

from __future__ import annotations

import ctypes

import numpy as np

from ._lib import BF_NAMES, AmvexError, lib

_i32p = ctypes.POINTER(ctypes.c_int32)


class _Filter:
    _family = ""

    def __init__(self) -> None:
        self._handle = getattr(lib(), self._family + "Create")()
        if not self._handle:
            raise MemoryError(f"{self._family}Create: out of memory")

    def process(self, samples) -> np.ndarray:
        """Filters a block of integer samples (32-bit); returns int32 samples."""
        if not self._handle:
            raise ValueError("filter is closed")
        x = np.ascontiguousarray(samples, dtype=np.int32)
        y = np.empty_like(x)
        getattr(lib(), self._family + "Process32")(self._handle, x.ctypes.data_as(_i32p), y.ctypes.data_as(_i32p), x.size)
        return y

    def close(self) -> None:
        """Destroys the library's filter (again: nothing)."""
        if self._handle:
            getattr(lib(), self._family + "Destroy")(self._handle)
            self._handle = 0

    def __enter__(self):
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_handle", 0):
            self.close()


class Butterworth(_Filter):
    """Butterworth low-pass, high-pass, band-pass or band-stop of ``order`` 1-8
    at ``rate`` Hz; corners ``f1`` (and ``f2`` for the band types) in Hz."""

    _family = "BF"
    TYPES = {"lowpass": 0, "highpass": 1, "bandpass": 2, "bandstop": 3}

    def __init__(self, kind: str, order: int, rate: float, f1: float, f2: float | None = None) -> None:
        super().__init__()
        try:
            self.design(kind, order, rate, f1, f2)
        except BaseException:
            self.close()
            raise

    def design(self, kind: str, order: int, rate: float, f1: float, f2: float | None = None) -> None:
        """A new design, histories at zero; AmvexError (keeping the previous
        design) for one the library refuses."""
        if kind not in self.TYPES:
            raise ValueError(f"kind is one of {', '.join(self.TYPES)}, not {kind!r}")
        result = lib().BFSet(self._handle, self.TYPES[kind], order, rate, f1, rate / 2 if f2 is None else f2)
        if result != 0:
            raise AmvexError("BFSet", result, BF_NAMES.get(result, "unknown result"))


class Window(_Filter):
    """Moving average over ``duration`` seconds (or one period of ``frequency``)."""

    _family = "WF"

    def __init__(self, rate: float, frequency: float = 0, duration: float = 0) -> None:
        super().__init__()
        lib().WFSet(self._handle, rate, frequency, duration)


class Adaptive(_Filter):
    """Cancels a sinusoidal interference at ``notch`` Hz (mains hum)."""

    _family = "AF"

    def __init__(self, rate: float, notch: float = 50) -> None:
        super().__init__()
        lib().AFSetEx(self._handle, rate, notch)


class Hardware(_Filter):
    """Subtracts the moving average over the time constant (``cutoff`` Hz
    gives 1 / (2 pi cutoff) s, or ``time_constant`` in seconds); bridges
    invalid samples (0x7FFFFFFF)."""

    _family = "HF"

    def __init__(self, rate: float, cutoff: float | None = None, time_constant: float = 0) -> None:
        super().__init__()
        lib().HFSet(self._handle, rate, -1 if cutoff is None else cutoff, time_constant)
