"""Host times for sample frames: the fit of amvex_clock.h, line for line.

The only arrival time a host sees is when ``AmxRead`` returns, late by a varying
delay and a whole block at once. The device's clock is steady, so the time a
frame left the device is a straight line in its sample number. Delays only make
a read late, so the fit follows the lower edge of the points: every quarter
second of sample numbers keeps its least delayed read, the line goes through
the last 64 of those (16 s), its slope the nominal period until they span 2 s,
then their least-squares slope (clamped to 1000 ppm). Lost packets leave a gap
in the sample numbers while the device's clock runs on: a gap of up to
MAX_SKIP frames keeps the fit, a longer one or numbers that go back (a new
start) begin a new fit.

The fit learns, so a later read may lower the line (by tens of milliseconds just
after a start). ``times`` gives the current line's time of any frame; ``stamps``
gives frames as they are handed on times that never go back: the line's time,
but never less than the previous stamp plus half a period per frame.
"""

from __future__ import annotations

import math

import numpy as np

NUMBER_MASK = 0x0FFFFFFF
BINS = 64
MAX_SKIP = 255  # the packets a sequence byte can count as lost


class Clock:
    """Running fit of sample number against read-return time."""

    def __init__(self, rate: float) -> None:
        self.period = 1.0 / rate
        self.bin_frames = int(rate / 4) if rate >= 8 else 1
        self.started = False
        self.last = 0
        self.last_index = -1
        self.origin = 0.0
        self.bins: list[list[float]] = []  # [bin, frame index, residual], oldest first
        self.offset = 0.0
        self.slope = 0.0
        self.stamped = False
        self.stamp_number = 0
        self.stamp_time = 0.0

    def _fit(self) -> None:
        index = np.array([b[1] for b in self.bins])
        residual = np.array([b[2] for b in self.bins])
        self.slope = 0.0
        if (index[-1] - index[0]) * self.period >= 2.0:
            dx = index - index.mean()
            limit = 1e-3 * self.period
            self.slope = float(np.clip(np.dot(dx, residual - residual.mean()) / np.dot(dx, dx), -limit, limit))
        self.offset = float(np.min(residual - index * self.slope))

    def add(self, first: int, last: int, t: float) -> bool:
        """A block of consecutive frames ``first..last`` (sample numbers) that a
        read returned at time ``t`` (seconds). True when it began a new fit."""
        restart = not self.started or ((first - self.last - 1) & NUMBER_MASK) > MAX_SKIP
        if restart:
            self.started = True
            self.bins = []
            self.last_index = -1
            self.last = (first - 1) & NUMBER_MASK
            self.origin = t
            self.stamp_number = self.last
        index = self.last_index + ((last - self.last) & NUMBER_MASK)
        self.last = last & NUMBER_MASK
        self.last_index = index
        residual = t - self.origin - index * self.period
        b = index // self.bin_frames
        if self.bins and self.bins[-1][0] == b:
            if residual < self.bins[-1][2]:
                self.bins[-1][1:] = [float(index), residual]
        else:
            self.bins.append([b, float(index), residual])
            del self.bins[:-BINS]
        self._fit()
        return restart

    def times(self, numbers: np.ndarray) -> np.ndarray:
        """Times (seconds) at which the frames with these sample numbers left the
        device, by the current fit; NaN before the first block."""
        numbers = np.asarray(numbers, dtype=np.int64)
        if not self.started:
            return np.full(numbers.shape, math.nan)
        ahead = (numbers - self.last) & NUMBER_MASK
        ahead = np.where(ahead >= 1 << 27, ahead - (1 << 28), ahead)
        return self.origin + self.offset + (self.last_index + ahead) * (self.period + self.slope)

    def stamps(self, numbers: np.ndarray) -> np.ndarray:
        """Times of frames handed on in order, each once (``numbers`` increasing,
        after the newest stamped frame): ``times`` raised where needed to the
        previous stamp plus half a period per frame. Frames not after the newest
        stamp get the plain ``times``."""
        numbers = np.asarray(numbers, dtype=np.int64)
        t = self.times(numbers)
        if not numbers.size:
            return t
        ahead = np.diff(numbers, prepend=self.stamp_number) & NUMBER_MASK
        if self.stamped and not 0 < ahead[0] < 1 << 27:
            return t
        # stamp[i] = max(t[i], stamp[i-1] + ahead[i] * period / 2): a running
        # maximum of the times less the floor's climb since the previous stamp.
        climb = np.cumsum(ahead * (self.period / 2))
        previous = self.stamp_time if self.stamped else -math.inf
        out = np.maximum.accumulate(np.concatenate(([previous], t - climb)))[1:] + climb
        self.stamped = True
        self.stamp_number = int(numbers[-1]) & NUMBER_MASK
        self.stamp_time = float(out[-1])
        return out
