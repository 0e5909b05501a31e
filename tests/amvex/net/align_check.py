"""Two emulated amplifiers carrying the same EEG-like input (the same seed),
the second with a drifting clock, recorded into one BDF+ file by `amxctl
record`; the lag between their content is then read from the file frame by
frame and compared with the lag the drift predicts.

    align_check.py AMXCTL OUTDIR [--seconds S] [--ppm PPM] [--rate R] [--local]

Served (default): two publishers on loopback started 0.3 s apart, recorded as
streams. --local: both amplifiers in the recording process itself. Every frame
of the second source is found in the first by its values (the input depends
only on the seed, the channel and the sample number), so the lag is exact in
samples; less the drift's accumulated slip it must stay within one sample of
its median along the whole file. Prints the figures per tenth of the file and
exits 1 when a check fails."""

import argparse
import os
import re
import subprocess
import sys
import time

import numpy as np


def start_serve(amxctl: str, emulate: str, rate: int, log: str, **extra: str):
    env = dict(os.environ, AMVEX_EMULATE=emulate, **extra)
    err = open(log, "w+")
    p = subprocess.Popen([amxctl, "serve", "--bind", "tcp://127.0.0.1:*", "--rate", str(rate)], env=env,
                         stdout=subprocess.DEVNULL, stderr=err)
    for _ in range(200):  # its address, from its first line
        err.seek(0)
        m = re.search(r"as (tcp://\S+)", err.read())
        if m:
            return p, m.group(1)
        if p.poll() is not None:
            break
        time.sleep(0.05)
    p.kill()
    sys.exit(f"amxctl serve did not start: {open(log).read()}")


def frame_lags(a: np.ndarray, b: np.ndarray):
    """For each frame of b (channels x frames) found in a: its index in b and
    the lag (index in b - index in a)."""
    where = {row.tobytes(): i for i, row in enumerate(a.T)}
    kb, ka = [], []
    for k, row in enumerate(b.T):
        i = where.get(row.tobytes())
        if i is not None:
            kb.append(k)
            ka.append(i)
    return np.array(kb), np.array(kb) - np.array(ka)


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("amxctl")
    ap.add_argument("outdir")
    ap.add_argument("--seconds", type=float, default=75)
    ap.add_argument("--ppm", type=float, default=-800)
    ap.add_argument("--rate", type=int, default=500)
    ap.add_argument("--local", action="store_true")
    args = ap.parse_args()
    import mne

    os.makedirs(args.outdir, exist_ok=True)
    path = os.path.join(args.outdir, "aligned_local.bdf" if args.local else "aligned.bdf")
    base = "kind=6,signal=eeg,seed=3"
    drifting = f"{base},drift={args.ppm:g}"
    record = [args.amxctl, "record"]
    env = dict(os.environ)
    servers = []
    if args.local:
        # The second also loses three packets: a gap of its own, annotated.
        env["AMVEX_EMULATE"] = f"{base};{drifting},loss_at=3+3.001+3.002"
        record += ["@0", "@1", "--rate", str(args.rate)]
    else:
        a, addr_a = start_serve(args.amxctl, base, args.rate, os.path.join(args.outdir, "serve_a.log"))
        time.sleep(0.3)
        # b reads the recorder's first ping 4 ms late, as a busy publisher can:
        # that first clock probe puts b 2 ms early; the frames must not keep it.
        b, addr_b = start_serve(args.amxctl, drifting, args.rate, os.path.join(args.outdir, "serve_b.log"),
                                AMXNET_TEST_FIRST_PING_LATE="0.004")
        servers = [a, b]
        # Past the publishers' first seconds: their stamps are their fits' lines
        # as they stand, and until a fit has its slope (2 s of reads) and has
        # settled they err by up to a few tenths of a sample more.
        time.sleep(3.0)
        record += [addr_a, addr_b]
    record += [path, "--seconds", str(args.seconds), "--name", "a", "--name", "b", "--force", "--quiet"]
    try:
        done = subprocess.run(record, env=env, stderr=subprocess.PIPE, text=True, timeout=args.seconds + 60)
    finally:
        for p in servers:
            p.terminate()
            p.wait(timeout=20)
    print(done.stderr, end="")
    failures = []
    if done.returncode != 0:
        print(f"FAIL: amxctl record exited with {done.returncode}")
        return 1

    raw = mne.io.read_raw_bdf(path, preload=True, verbose="error")
    names = raw.ch_names
    a_ch = [n for n in names if n.startswith("a:")]
    b_ch = [n for n in names if n.startswith("b:")]
    rate = raw.info["sfreq"]
    if len(a_ch) != 16 or len(b_ch) != 16 or rate != args.rate:
        failures.append(f"channels {names} at {rate}/s")
    data = raw.get_data()
    a, b = data[: len(a_ch)], data[len(a_ch) :]
    if raw.n_times != round(args.seconds * args.rate):
        failures.append(f"{raw.n_times} frames, not {round(args.seconds * args.rate)}")
    # (Missing frames, stored as the range's minimum, match each other.)
    k, lag = frame_lags(np.where(np.abs(a) > 0.1, np.nan, a), np.where(np.abs(b) > 0.1, np.inf, b))
    if k.size < 0.9 * raw.n_times - 2 * args.rate:
        failures.append(f"only {k.size} frames of b found in a")
    # b's clock runs ppm slow: its frame n leaves n x ppm / 10^6 periods late.
    slope = -args.ppm * 1e-6 / (1 + args.ppm * 1e-6)
    residual = lag - slope * k
    centre = float(np.median(residual))
    error = residual - centre
    print(f"lag of b behind a: {centre:.2f} samples ({centre / rate * 1e3:.1f} ms) plus the drift's slip "
          f"({slope * raw.n_times:.1f} samples over the file)")
    print("tenth of the file: largest |lag - expected| in samples (ms)")
    for part in np.array_split(np.arange(k.size), 10):
        if part.size:
            worst = float(np.max(np.abs(error[part])))
            print(f"  {k[part[0]] / rate:7.1f}-{k[part[-1]] / rate:7.1f} s: {worst:.2f} ({worst / rate * 1e3:.2f} ms)")
    worst = float(np.max(np.abs(error)))
    print(f"largest alignment error: {worst:.2f} samples ({worst / rate * 1e3:.2f} ms)")
    if worst > 1.0:
        failures.append(f"alignment error {worst:.2f} samples beyond one sample period")
    if args.local and abs(centre / rate) > 0.05:
        failures.append(f"b lags {centre / rate:.3f} s behind a, not about 0 s")
    repeated = re.search(r"b \(.*?\): \d+ frames placed, (\d+) repeated, (\d+) dropped, (\d+) missing", done.stderr)
    expected = -args.ppm * 1e-6 * args.seconds * args.rate
    if not repeated or abs(int(repeated.group(1)) - int(repeated.group(2)) - expected) > 2:
        failures.append(f"b's repeated less dropped samples are not about {expected:.1f}")
    notes = [d for d in raw.annotations.description]
    if args.local and not any(re.fullmatch(r"b: [34] frames missing", d) for d in notes):
        failures.append(f"no annotation of b's three lost frames (four with a slip) among {notes}")
    for f in failures:
        print("FAIL:", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
