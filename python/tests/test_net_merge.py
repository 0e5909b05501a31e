"""Several streams on one time line: amvex.net.align on streams whose true
times are known, and amvex.net.merge of two served emulated amplifiers."""

import dataclasses
import os
import re
import subprocess
import time

import numpy as np
import pytest

from amvex import Block, net

pytest.importorskip("mne")
RATE = 500


def stream(start: float, ppm: float, numbers: np.ndarray, size: int = 50) -> list[Block]:
    """Blocks of a stream whose frame n left at start + (n - 1) periods of a
    clock ppm fast, carrying n itself (so a slot's value names its frame), read
    size frames at a time, each frame's time its true one."""
    period = 1 / (RATE * (1 + ppm * 1e-6))
    out = []
    for chunk in np.array_split(numbers, max(1, numbers.size // size)):
        times = start + (chunk - 1) * period
        out.append(Block(np.vstack([chunk, -chunk]).astype(float), chunk.astype(np.int64),
                         np.zeros(chunk.size, np.uint8), times, RATE))
    return out


def test_align_places_every_frame_by_its_time_and_counts_what_it_changes():
    a = np.arange(1, 5001)
    b = np.concatenate([np.arange(1, 2001), np.arange(2011, 5001)])  # ten frames lost
    raw, counts = net.align({"a": stream(100.0, 0, a), "b": stream(100.3, -800, b)}, seconds=10)
    assert raw.ch_names == ["a:Ch1", "a:Ch2", "b:Ch1", "b:Ch2"] and raw.n_times == 5000
    data = np.round(raw.get_data() * 1e6)
    np.testing.assert_array_equal(data[1], -data[0])
    np.testing.assert_array_equal(data[0], a)  # the earliest source sets the grid
    # b's frame n left at 100.3 + (n - 1) slow periods: within SLACK of its slot.
    slot = np.flatnonzero(np.isfinite(data[2]))
    n = data[2, slot]
    true = (0.3 + (n - 1) / (RATE * (1 - 800e-6))) * RATE
    assert np.max(np.abs(true - slot)) <= net.SLACK + 1e-6
    # 0.3 s before b's start and its ten lost frames are empty and annotated;
    # its 800 ppm slow clock slipped about 3.9 samples over 9.7 s: repeated.
    assert np.isnan(data[2, :150]).all() and slot[0] == 150
    gaps = [(round(o * RATE), round(d * RATE)) for o, d, t in
            zip(raw.annotations.onset, raw.annotations.duration, raw.annotations.description) if t.endswith(" b")]
    # (A gap takes up the slip there may be by then.)
    assert gaps[0] == (0, 150) and gaps[1][1] in (10, 11) and len(gaps) == 2
    assert counts["b"]["missing"] == 150 + gaps[1][1] and counts["b"]["dropped"] == 0
    assert 3 <= counts["b"]["repeated"] + gaps[1][1] - 10 <= 4
    assert counts["b"]["placed"] + counts["b"]["repeated"] + counts["b"]["missing"] == 5000
    # A fast clock drops instead.
    _, counts = net.align({"a": stream(100.0, 0, a), "c": stream(100.0, 800, a)}, seconds=10)
    assert 3 <= counts["c"]["dropped"] <= 4 and counts["c"]["repeated"] == 0
    # A first frame 0.6 sample late goes to the nearer slot: 1, not 0 (there
    # a steady clock would sit 0.15 sample from repeating one).
    raw, counts = net.align({"a": stream(100.0, 0, a), "d": stream(100.0 + 0.6 / RATE, 0, a)}, seconds=10)
    d = np.round(raw.get_data()[2] * 1e6)
    assert np.isnan(d[0]) and (d[1:] == a[:-1]).all() and counts["d"]["missing"] == 1
    with pytest.raises(ValueError, match="no frames from b"):
        net.align({"a": stream(0, 0, a), "b": []})
    with pytest.raises(ValueError, match="different rates"):
        net.align({"a": stream(0, 0, a), "b": [Block(np.zeros((1, 1)), np.ones(1, np.int64), np.zeros(1, np.uint8),
                                                    np.zeros(1), 250)]})


class Replayed:
    """An Inlet's reads replayed at their pace: blocks whose stamps are exact
    (the publisher's clock is this host's), each handed on with the clock
    offset's line as it then stood: for reads before wrong_until 2 ms too
    large, as a first probe read late by a busy publisher leaves it."""

    now = [0.0]  # this host's clock: the newest frame read

    def __init__(self, blocks: list[Block], wrong_until: float = 0.0):
        self.info, self.blocks, self.wrong_until = {"labels": ["Ch1", "Ch2"]}, blocks, wrong_until

    def _read(self, frames, timeout):
        if not self.blocks:
            raise EOFError("the stream ended: the publisher stopped")
        b = self.blocks.pop(0)
        self.line = net.ClockOffset()
        self.line.valid, self.line.offset = True, 0.002 if b.times[0] < self.wrong_until else 0.0
        Replayed.now[0] = max(Replayed.now[0], float(b.times[-1]))
        return dataclasses.replace(b, times=self.line.to_local(b.times)), b.times

    def _clock_line(self):
        return self.line


def test_merge_times_frames_by_the_clock_offset_known_later(monkeypatch):
    # Two streams of the same frames at the same times; b's first half second
    # came while its offset was 2 ms off. Merged, they line up along all 20 s:
    # the early error is not kept by the fit (it would be, for the fit's 16 s,
    # if frames were refitted on the times they had when they came).
    monkeypatch.setattr(net.time, "monotonic", lambda: Replayed.now[0])
    n = np.arange(1, 11001)
    inlets = {"a": Replayed(stream(100.0, 0, n)), "b": Replayed(stream(100.0, 0, n), wrong_until=100.5)}
    raw, counts = net.merge(inlets, seconds=20)
    data = raw.get_data()
    np.testing.assert_array_equal(data[2], data[0])
    assert counts["b"] == counts["a"] == {"placed": 10000, "repeated": 0, "dropped": 0, "missing": 0}


AMXCTL = os.environ.get("AMXCTL")


@pytest.mark.skipif(not AMXCTL, reason="AMXCTL (the amxctl program) not set")
def test_merge_lines_up_two_served_amplifiers(tmp_path):
    pytest.importorskip("zmq")
    eeg = "kind=6,signal=eeg,seed=3"
    servers, inlets = [], {}
    try:
        for name, emulate in (("a", eeg), ("b", eeg + ",drift=-100")):
            log = open(tmp_path / f"{name}.log", "w+")
            servers.append(subprocess.Popen([AMXCTL, "serve", "--bind", "tcp://127.0.0.1:*", "--rate", str(RATE)],
                                            env=dict(os.environ, AMVEX_EMULATE=emulate), stderr=log))
            for _ in range(200):
                log.seek(0)
                found = re.search(r"as (tcp://\S+)", log.read())
                if found:
                    break
                time.sleep(0.05)
            inlets[name] = net.Inlet(found.group(1))
            time.sleep(0.3)
        time.sleep(3)  # the publishers' fits have their slopes after 2 s of reads
        for inlet in inlets.values():
            inlet.start()
        raw, counts = net.merge(inlets, seconds=4)
    finally:
        for inlet in inlets.values():
            inlet.stop()
        for p in servers:
            p.terminate()
            p.wait(20)
    assert raw.n_times == 4 * RATE and raw.ch_names[16] == "b:Ch1"
    data = raw.get_data()
    # The same input by sample number: each of b's frames is found in a, and
    # their lag (whole samples), less the drift's slip, stays within one sample
    # of the middle of its range.
    # (A few seconds after a start the fits' slopes are young: a drift far
    # beyond a real amplifier's would show as their error, not the merge's.)
    where = {row.tobytes(): i for i, row in enumerate(data[:16].T)}
    lag = [(k, k - where[row.tobytes()]) for k, row in enumerate(data[16:].T) if row.tobytes() in where]
    assert len(lag) > 3 * RATE
    k, lag = np.array(lag).T
    residual = lag - 100e-6 * k
    assert np.ptp(residual) <= 2.0
    assert counts["b"]["dropped"] <= 1 and counts["a"]["placed"] > 3.9 * RATE
