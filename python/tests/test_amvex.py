"""The binding against the emulator (ctest's AMVEX_EMULATE: a 40-channel
device, then 16-channel ones with faults: channel 3 invalid from 0.2 to 0.3 s;
2% loss and 20 ms jitter; packet 1000 lost; an unplug at 0.5 s), the host-time
port against the recorded reads the C fit is checked with, and the MNE export."""

import ctypes
import dataclasses
import math
import os
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
    assert len(amvex.devices()) == 5
    assert amp.info.channels == 40 and amp.info.calibration_numbers == (4711, 40)
    assert amp.info.identified and not dataclasses.replace(amp.info, kind=0, revision=0).identified
    amp.rate = 1000
    amp.start()
    blocks = list(amp.stream(seconds=2.1, block_seconds=0.7))
    numbers = np.concatenate([b.sample_numbers for b in blocks])
    np.testing.assert_array_equal(numbers, np.arange(1, 2101))
    samples = np.concatenate([b.samples for b in blocks], axis=1)
    assert samples.shape == (40, 2100) and samples.dtype == np.float64
    counts = samples / (amp.info.volts_per_count * 1e6)
    for c in (0, 17, 39):
        assert np.max(np.abs(counts[c] - documented_signal(c, numbers, 1000))) <= 17.5
    status = np.concatenate([b.status for b in blocks])
    np.testing.assert_array_equal(np.flatnonzero(status & 1), [999, 1999])  # bit 28 once a second
    times = np.concatenate([b.times for b in blocks])
    assert 0 <= time.monotonic() - times[-1] < 0.5
    # Each frame its own time, a period after the one before: never less than
    # half a period from the first frame on (while the fit lowers its line
    # after late first reads), one period as a rule.
    steps = np.diff(times)
    assert steps.min() > 0.5e-3 - 1e-9
    assert np.median(steps) == pytest.approx(1e-3, rel=0.01)


def test_reads_lose_nothing_across_a_long_pause_or_a_timeout(amp):
    amp.rate = 1000
    amp.start()
    time.sleep(2.5)  # longer than the library's ring holds (1.6 s of 40 channels)
    blocks = [amp.read(frames=2500)]
    with pytest.raises(TimeoutError, match="stay for the next read"):
        amp.read(frames=5000, timeout=0.3)
    blocks.append(amp.read(frames=1000))
    np.testing.assert_array_equal(np.concatenate([b.sample_numbers for b in blocks]), np.arange(1, 3501))
    assert amp.dropped_frames == 0
    assert (np.diff(np.concatenate([b.times for b in blocks])) > 0).all()  # the first frames after start too


def test_gaps_between_blocks_and_overwritten_frames_are_annotated_when_joined():
    pytest.importorskip("mne")
    with amvex.Amplifier(amvex.devices()[3]) as amp:
        amp.rate = 1000
        amp.start(buffer_seconds=1.5)
        blocks = [amp.read(frames=999), amp.read(frames=100)]  # packet 1000 is lost between the two
        time.sleep(2.5)  # the host buffer overflows
        blocks.append(amp.read())
        dropped = amp.dropped_frames
    assert dropped > 0 and blocks[2].sample_numbers[0] == 1101 + dropped
    raw = amvex.Block.concat(blocks).to_mne()
    assert raw.n_times == blocks[2].sample_numbers[-1]
    np.testing.assert_allclose(raw.annotations.onset, [0.999, 1.1])
    np.testing.assert_allclose(raw.annotations.duration, [0.001, dropped / 1000])


def test_failures_raise_with_status_code_and_name(amp):
    with pytest.raises(amvex.AmvexError) as e:
        amvex.Amplifier(12345).open()
    assert (e.value.code, e.value.name) == (1, "AMX_NO_DEVICE") and "present" in str(e.value)
    with pytest.raises(TypeError, match="device id"):
        amvex.Amplifier("0")
    with pytest.raises(amvex.AmvexError, match="AMX_BAD_SAMPLING"):
        amp.rate = 300
    with pytest.raises(RuntimeError):
        amp.read()
    with pytest.raises(amvex.AmvexError) as e:
        amvex.Butterworth("bandpass", 4, 500, 10, 10)
    assert e.value.name == "AMX_BF_EQUAL_CORNERS"
    # Leaving the block by an exception stops the device and retires the object.
    with pytest.raises(KeyError):
        with amvex.Amplifier(amp.id) as other:
            other.start()
            raise KeyError
    for closed in (lambda: other.read(), lambda: other.dropped_frames):
        with pytest.raises(RuntimeError, match="closed"):
            closed()
    other.close()
    got = ctypes.c_int32()
    buffer = ctypes.create_string_buffer(1 << 16)
    time.sleep(0.2)
    _lib.lib().AmxRead(amp.id, buffer, len(buffer), ctypes.byref(got))
    time.sleep(0.2)
    _lib.lib().AmxRead(amp.id, buffer, len(buffer), ctypes.byref(got))
    assert got.value == 0
    # An unplug: the failed read is what the caller sees, the failed close a note.
    with pytest.raises(amvex.AmvexError) as e:
        with amvex.Amplifier(amvex.devices()[4]) as gone:
            gone.start()
            while True:
                gone.read()
    assert e.value.function == "AmxRead" and "AmxClose" in e.value.__notes__[0]


def test_status_names_follow_the_header():
    header = (ROOT / "amvex/include/amvex.h").read_text()
    codes = [(int(v, 0), n) for n, v in re.findall(r"\b(AMX_[A-Z_]+) = (0x[0-9A-F]+|\d+)", header)]
    assert dict(c for c in codes if not c[1].startswith("AMX_BF_")) == _lib.STATUS_NAMES
    assert dict(c for c in codes if c[1].startswith("AMX_BF_")) == _lib.BF_NAMES


def test_missing_library_error_names_all_three_places_and_amvex_library_has_no_fallback(monkeypatch):
    installed = os.environ["AMVEX_LIBRARY"]
    monkeypatch.delenv("AMVEX_LIBRARY")
    monkeypatch.setattr(_lib.ctypes.util, "find_library", lambda name: "/nonexistent/libamvex.so.1")
    with pytest.raises(amvex.LibraryNotFound) as e:
        _lib._load()
    for place in ("AMVEX_LIBRARY", "next to the package", "system's library path"):
        assert place in str(e.value)
    monkeypatch.setenv("AMVEX_LIBRARY", "/nonexistent/libamvex.so")
    monkeypatch.setattr(_lib.ctypes.util, "find_library", lambda name: installed)  # one on the system
    with pytest.raises(amvex.LibraryNotFound, match="AMVEX_LIBRARY.*/nonexistent/libamvex.so"):
        _lib._load()


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


def test_filters_take_a_block_per_channel_in_microvolts_and_pass_invalid_samples_as_nan():
    with amvex.Amplifier(amvex.devices()[1]) as amp:
        amp.rate = 1000
        amp.start()
        block = amp.read(frames=600)
    invalid = np.isnan(block.samples)
    assert sorted(zip(*np.nonzero(invalid))) == [(3, n - 1) for n in range(200, 300)]  # invalid=3@0.2-0.3
    block.samples[5] = 0  # a silent channel stays silent unless channels mix
    families = [
        lambda: amvex.Butterworth("lowpass", 4, 1000, 40),
        lambda: amvex.Window(1000, duration=0.01),
        lambda: amvex.Adaptive(1000, 50),
        lambda: amvex.Hardware(1000, cutoff=0.5),
    ]
    for make in families:
        with make() as whole, make() as parts:
            out = whole.process(block).samples
            cut = np.concatenate([parts.process(block.samples[:, :250]), parts.process(block.samples[:, 250:])], 1)
        np.testing.assert_array_equal(cut, out)  # each channel's state carries over
        np.testing.assert_array_equal(np.isnan(out), invalid)
        assert not out[5].any()
        assert np.abs(out[3, 300:]).max() < 2 * np.abs(block.samples[3, 300:]).max()  # NaN left the state whole
    # Microvolts keep their fractions: the window filter is a plain moving average.
    with amvex.Window(1000, duration=0.01) as window:
        mean = np.convolve(block.samples[0], np.full(10, 0.1))[:600]
        np.testing.assert_allclose(window.process(block.samples[:1]), mean[np.newaxis], rtol=0, atol=2e-3)
        with pytest.raises(ValueError, match="2-D"):
            window.process(block.samples[0])
        with pytest.raises(TypeError):
            window.process(np.zeros((2, 5), np.int32))


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
    stamped = []
    for first, last, t_read, _, _, _ in reads:
        clock.add(int(first), int(last), t_read)
        fitted.append(clock.times(np.array([int(last)]))[0])
        stamped.append(clock.stamps(np.arange(first, last + 1))[0])
    np.testing.assert_allclose(fitted, reads[:, 4], rtol=0, atol=2e-9)
    np.testing.assert_allclose(stamped, reads[:, 5], rtol=0, atol=2e-9)


def test_clock_port_keeps_the_fit_over_255_lost_frames_and_stamps_catch_up_without_going_back():
    clock = amvex.Clock(1000)
    assert clock.add(1, 100, 0.1)
    assert not clock.add(101 + 255, 400, 0.4)  # 255 frames lost
    assert clock.times([200])[0] == pytest.approx(0.2, abs=1e-9)
    assert clock.add(402 + 255, 800, 0.8) and clock.add(1, 50, 0.85)
    clock = amvex.Clock(1000)
    stamps = []
    # The first frame alone, read 69 ms late; then reads on time: the line drops
    # by 69 ms, caught up at half a period per frame by frame 139.
    for first, last, t in [(1, 1, 0.070), (2, 100, 0.100), (101, 200, 0.200)]:
        clock.add(first, last, t)
        stamps.append(clock.stamps(np.arange(first, last + 1)))
    n = np.arange(1, 201)
    np.testing.assert_allclose(np.concatenate(stamps), np.where(n < 139, 0.0695 + 0.0005 * n, 0.001 * n), atol=1e-12)


def test_to_mne_fills_lost_frames_and_scales_to_volts():
    mne = pytest.importorskip("mne")
    numbers = np.array([1, 2, 3, 6, 7])
    samples = np.arange(10, dtype=np.float64).reshape(2, 5)
    times = 100.0 + numbers / 250
    times[0] += 0.06  # stamped before the fit had learned: late
    block = amvex.Block(samples, numbers, np.zeros(5, np.uint8), times, 250)
    raw = block.to_mne(["Fz", "Cz"])
    first = time.time() - (time.monotonic() - (100.0 + 1 / 250))  # the first frame on the line
    assert raw.info["meas_date"].timestamp() == pytest.approx(first, abs=0.005)
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
    raw = amvex.Block.concat(blocks).to_mne()
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


def test_reference_documents_every_public_name():
    import inspect
    import pydoc

    page = pydoc.render_doc(amvex, renderer=pydoc.plaintext)  # the API reference: pydoc amvex
    for name in amvex.__all__:
        value = getattr(amvex, name)
        members = inspect.getmembers(value) if inspect.isclass(value) else []
        for member, attribute in [(name, value)] + [(f"{name}.{m}", a) for m, a in members if not m.startswith("_")]:
            if callable(attribute) or isinstance(attribute, property):
                assert inspect.getdoc(attribute), member
        assert name in page
