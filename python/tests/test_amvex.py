"""The binding against the emulator (ctest: AMVEX_EMULATE="kind=7;kind=6"),
the host-time port against the recorded reads the C fit is checked with, and
the MNE export."""

import ctypes
import math
import pathlib
import re
import time

import numpy as np
import pytest

import amvex
from amvex import _lib

ROOT = pathlib.Path(__file__).resolve().parents[2]


def documented_signal(channel, numbers, rate):
    """The emulator's signal in counts, without its noise of +-16."""
    s = numbers.astype(np.float64)
    return 1000 * (channel + 1) + np.round(
        20000 * np.sin(2 * np.pi * (channel + 1) * s / rate) + 500 * np.sin(2 * np.pi * 50 * s / rate)
    )


def test_stream_is_consecutive_scaled_to_microvolts_and_timed(amp):
    assert len(amvex.devices()) == 3
    assert amp.info.channels == 40 and amp.info.calibration_numbers == (4711, 40)
    amp.rate = 1000
    amp.start()
    blocks = [amp.read(frames=700, timeout=5) for _ in range(3)]
    numbers = np.concatenate([b.sample_numbers for b in blocks])
    np.testing.assert_array_equal(numbers, np.arange(1, 2101))
    samples = np.concatenate([b.samples for b in blocks], axis=1)
    assert samples.shape == (40, 2100) and samples.dtype == np.float64
    counts = samples / (amp.info.volts_per_count * 1e6)
    for c in (0, 17, 39):
        assert np.max(np.abs(counts[c] - documented_signal(c, numbers, 1000))) <= 17.5
    status = np.concatenate([b.status for b in blocks])
    np.testing.assert_array_equal(np.flatnonzero(status & 1), [999, 1999])  # bit 28 once a second
    # (a later read may move earlier frames' times: the fit learns)
    times = blocks[-1].times
    assert 0 <= time.monotonic() - times[-1] < 0.5
    np.testing.assert_allclose(np.diff(times), 1e-3, rtol=0.1)


def test_failures_raise_with_status_code_and_name(amp):
    with pytest.raises(amvex.AmvexError) as e:
        amvex.Amplifier(12345).open()
    assert (e.value.code, e.value.name) == (1, "AMX_NO_DEVICE")
    with pytest.raises(amvex.AmvexError, match="AMX_BAD_SAMPLING"):
        amp.rate = 300
    with pytest.raises(RuntimeError):
        amp.read()
    with pytest.raises(amvex.AmvexError) as e:
        amvex.Butterworth("bandpass", 4, 500, 10, 10)
    assert e.value.name == "AMX_BF_EQUAL_CORNERS"
    # Leaving the block by an exception stops the device.
    with pytest.raises(KeyError):
        with amvex.Amplifier(amp.id) as other:
            other.start()
            raise KeyError
    got = ctypes.c_int32()
    buffer = ctypes.create_string_buffer(1 << 16)
    time.sleep(0.2)
    _lib.lib().AmxRead(amp.id, buffer, len(buffer), ctypes.byref(got))
    time.sleep(0.2)
    _lib.lib().AmxRead(amp.id, buffer, len(buffer), ctypes.byref(got))
    assert got.value == 0


def test_status_names_follow_the_header():
    header = (ROOT / "amvex/include/amvex.h").read_text()
    codes = [(int(v, 0), n) for n, v in re.findall(r"\b(AMX_[A-Z_]+) = (0x[0-9A-F]+|\d+)", header)]
    assert dict(c for c in codes if not c[1].startswith("AMX_BF_")) == _lib.STATUS_NAMES
    assert dict(c for c in codes if c[1].startswith("AMX_BF_")) == _lib.BF_NAMES


def test_missing_library_error_names_all_three_places(monkeypatch):
    monkeypatch.setenv("AMVEX_LIBRARY", "/nonexistent/libamvex.so")
    monkeypatch.setattr(_lib.ctypes.util, "find_library", lambda name: "/nonexistent/libamvex.so.1")
    with pytest.raises(amvex.LibraryNotFound) as e:
        _lib._load()
    for place in ("AMVEX_LIBRARY", "next to the package", "system's library path"):
        assert place in str(e.value)


def test_filters_match_the_exports_however_the_stream_is_cut():
    lib = _lib.lib()
    rng = np.random.default_rng(1)
    x = (rng.normal(0, 3000, 2000) + 0x10000).astype(np.int32)
    x[500] = 0x7FFFFFFF  # the hardware filter bridges it
    i32p = ctypes.POINTER(ctypes.c_int32)
    cases = [
        (lambda: amvex.Butterworth("bandpass", 3, 500, 8, 30), "BF", lambda h: lib.BFSet(h, 2, 3, 500.0, 8.0, 30.0)),
        (lambda: amvex.Window(500, duration=0.05), "WF", lambda h: lib.WFSet(h, 500.0, 0.0, 0.05)),
        (lambda: amvex.Adaptive(500, 60), "AF", lambda h: lib.AFSetEx(h, 500.0, 60.0)),
        (lambda: amvex.Hardware(500, cutoff=0.5), "HF", lambda h: lib.HFSet(h, 500.0, 0.5, 0.0)),
    ]
    for make, family, design in cases:
        with make() as f:
            blocks = np.concatenate([f.process(part) for part in np.split(x, [1, 7, 300, 1299])])
        handle = getattr(lib, family + "Create")()
        design(handle)
        whole = np.empty_like(x)
        getattr(lib, family + "Process32")(handle, x.ctypes.data_as(i32p), whole.ctypes.data_as(i32p), x.size)
        getattr(lib, family + "Destroy")(handle)
        np.testing.assert_array_equal(blocks, whole, err_msg=family)
        assert np.any(whole != x)
        with pytest.raises(ValueError):
            f.process(x)  # closed


def test_uart_display_eeprom_and_impedance(amp):
    amp.uart_baud = 115200
    amp.display("Привет, amvex")
    amp.write_eeprom(bytes(range(200)))
    assert amp.read_eeprom(size=200) == bytes(range(200))
    amp.impedance_start()
    deadline = time.monotonic() + 2.5
    while time.monotonic() < deadline:
        amp.read(timeout=1)
    records = amp.uart_read()
    assert records and all(r.data == b"U%d\n" % r.sample_number for r in records)
    z = amp.impedance()
    amp.impedance_stop()
    assert z.reference == 19 and math.isnan(z.ohms[19])
    np.testing.assert_allclose(z.ohms[:3], [5e3, 20e3, 100e3], rtol=0.1)


def test_clock_port_matches_the_recorded_reads():
    reads = np.loadtxt(ROOT / "tests/amvex/include/reads.csv", delimiter=",", skiprows=1)
    clock = amvex.Clock(500)
    fitted = []
    for first, last, t_read, _, _ in reads:
        clock.add(int(first), int(last), t_read)
        fitted.append(clock.times(np.array([int(last)]))[0])
    np.testing.assert_allclose(fitted, reads[:, 4], rtol=0, atol=2e-9)


def test_to_mne_fills_lost_frames_and_scales_to_volts():
    mne = pytest.importorskip("mne")
    numbers = np.array([1, 2, 3, 6, 7])
    samples = np.arange(10, dtype=np.float64).reshape(2, 5)
    block = amvex.Block(samples, numbers, np.zeros(5, np.uint8), 100.0 + numbers / 250, 250)
    raw = block.to_mne(["Fz", "Cz"])
    assert isinstance(raw, mne.io.RawArray) and raw.ch_names == ["Fz", "Cz"] and raw.info["sfreq"] == 250
    data = raw.get_data()
    np.testing.assert_array_equal(data[1, [0, 1, 2, 5, 6]], samples[1] * 1e-6)
    assert np.isnan(data[:, 3:5]).all()
    (a,) = raw.annotations
    assert a["description"] == "BAD_lost_frames" and a["onset"] == pytest.approx(3 / 250)
    assert a["duration"] == pytest.approx(2 / 250)


def test_lossy_jittery_stream_gaps_only_at_losses_and_keeps_time():
    """The third device loses packets and holds them back (AMVEX_EMULATE in
    tests/python): what a host reads must stay whole between the gaps."""
    mne = pytest.importorskip("mne")
    with amvex.Amplifier(amvex.devices()[2]) as amp:
        amp.rate = 1000
        amp.start()
        blocks = []
        while sum(b.sample_numbers.size for b in blocks) < 3000:
            blocks.append(amp.read(timeout=5))
    for b in blocks:
        assert not np.isnan(b.samples).any()
        assert (np.diff(b.times) > 0).all()
    numbers = np.concatenate([b.sample_numbers for b in blocks])
    steps = np.diff(numbers)
    assert numbers[0] >= 1 and (steps >= 1).all()
    gaps = np.flatnonzero(steps > 1)
    assert 10 <= gaps.size <= 100  # loss=0.02 of about 3000 packets
    times = np.concatenate([b.times for b in blocks])
    joined = amvex.Block(np.concatenate([b.samples for b in blocks], axis=1), numbers,
                         np.concatenate([b.status for b in blocks]), times, 1000)
    raw = joined.to_mne()
    at = numbers - numbers[0]
    np.testing.assert_allclose(raw.annotations.onset, (at[gaps] + 1) / 1000)
    np.testing.assert_allclose(raw.annotations.duration, (steps[gaps] - 1) / 1000)
    data = raw.get_data()
    missing = np.ones(data.shape[1], bool)
    missing[at] = False
    np.testing.assert_array_equal(np.isnan(data).any(axis=0), missing)
    # Lost packets do not restart the fit: once it has a second of reads, every
    # frame sits on one line of its sample number (a restart after each loss put
    # them up to 13 ms apart, as raw as the read times).
    later = numbers > 1000
    assert np.ptp(times[later] - numbers[later] / 1000) < 0.008
