"""Writes reads.csv: a deterministic stand-in for a recording of AmxRead calls,
with what the host fit must recover. 500 frames/s from a device clock that runs
150 ppm fast for 30 s and then 100 ppm slow; reads every 10-60 ms; frames
delivered after 0.5 ms plus an exponential delay (mean 2 ms) with 5% of them
held back 5-40 ms; the read's return time late by a further exponential 0.2 ms
with 2% scheduling stalls of 10-30 ms. After 45 s 500 sample numbers are
missing, after 60 s the numbers start again at 1 (a new start, 2 s later).

Columns: first, last (sample numbers of the block), t_read (the read's return
time), t_true (when frame `last` left the device), t_fit (the fit's time of
frame `last` after the block, by python/amvex/clock.py), t_stamp (the stamp of
frame `first` when the block's frames are stamped in order after it); the C test
checks amvex_clock.h against the same columns.

    PYTHONPATH=python /usr/bin/python3 tests/amvex/include/make_reads.py
"""

import pathlib

import numpy as np

from amvex.clock import Clock

RATE = 500
rng = np.random.default_rng(19)


def send_times(count, start, ppm_first, ppm_then, switch):
    """When frames 1..count leave a device whose clock changes rate at `switch` s."""
    period = np.full(count, 1.0 / RATE)
    period *= np.where(np.arange(count) / RATE < switch, 1 + ppm_first * 1e-6, 1 + ppm_then * 1e-6)
    return start + np.cumsum(period)


def reads(numbers, sent):
    """(first, last, t_read, t_true) of the reads that deliver these frames."""
    rows, at, done = [], sent[0], 0
    while done < len(numbers):
        at += rng.uniform(0.010, 0.060)
        delay = 0.0005 + rng.exponential(0.002) + (rng.uniform(0.005, 0.040) if rng.random() < 0.05 else 0)
        visible = int(np.searchsorted(sent, at - delay, side="right"))
        if visible <= done:
            continue
        late = rng.exponential(0.0002) + (rng.uniform(0.010, 0.030) if rng.random() < 0.02 else 0)
        rows.append((numbers[done], numbers[visible - 1], at + late, sent[visible - 1]))
        done = visible
    return rows


first = send_times(30_000, 1000.0, 150, -100, 30.0)  # 60 s of device time
keep = np.r_[0:22_500, 23_000:30_000]  # 500 frames missing after 45 s
rows = reads(np.arange(1, 30_001)[keep], first[keep])
rows += reads(np.arange(1, 5_001), send_times(5_000, first[-1] + 2.0, -100, -100, 0))

clock = Clock(RATE)
out = ["first,last,t_read,t_true,t_fit,t_stamp"]
for a, b, t_read, t_true in rows:
    clock.add(int(a), int(b), t_read)
    stamp = clock.stamps(np.arange(a, b + 1))[0]
    out.append(f"{a},{b},{t_read:.9f},{t_true:.9f},{clock.times(np.array([b]))[0]:.9f},{stamp:.9f}")
pathlib.Path(__file__).with_name("reads.csv").write_text("\n".join(out) + "\n")
