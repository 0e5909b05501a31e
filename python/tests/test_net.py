"""amvex.net.Inlet against `amxctl serve` of the first emulated amplifier on
loopback (AMXCTL names the program; skipped without it or without pyzmq)."""

import os
import subprocess
import time

import numpy as np
import pytest

import amvex
from amvex import net

zmq = pytest.importorskip("zmq")
AMXCTL = os.environ.get("AMXCTL")
pytestmark = pytest.mark.skipif(not AMXCTL, reason="AMXCTL (the amxctl program) not set")


@pytest.fixture
def served():
    """tcp://127.0.0.1:PORT of `amxctl serve @0 --name lab` at 1000/s for 6 s."""
    endpoint = f"tcp://127.0.0.1:{40000 + os.getpid() % 20000}"
    p = subprocess.Popen([AMXCTL, "serve", "@0", "--name", "lab", "--rate", "1000", "--seconds", "6", "--quiet",
                          "--bind", endpoint])
    yield endpoint
    p.terminate()
    p.wait(20)


def test_an_inlet_reads_what_the_amplifier_gives(served, amp):
    with net.Inlet(served + "/lab") as inlet:
        inlet.start(back="all")
        assert inlet.info["name"] == "lab" and inlet.info["channels"] == 40 and inlet.rate == 1000
        remote = inlet.read(frames=1500)
        # The emulated stream is the same for the same sample numbers: a local
        # start of the same amplifier gives the same microvolts.
        amp.open()
        amp.rate = 1000
        amp.start()
        local = amp.read(frames=1500)
        amp.stop()
        np.testing.assert_array_equal(remote.sample_numbers, np.arange(1, 1501))
        np.testing.assert_array_equal(remote.samples, local.samples)
        assert np.all(np.diff(remote.times) > 0)
        # Both ends on one machine: the true offset is 0, within the bound.
        offset, bound = inlet.offset()
        assert abs(offset) <= bound < 0.01
        assert inlet.lost_frames == 0 and inlet.missing_frames == 0 and inlet.segments == 1
        raw = remote.to_mne()
        assert raw.n_times == 1500
        # To the stream's end: every frame comes, then EOFError.
        total = remote.sample_numbers.size
        with pytest.raises(EOFError, match="the publisher stopped"):
            for _ in range(200):
                total += inlet.read(timeout=5).sample_numbers.size
        assert total == 6000


def test_an_unknown_stream_and_a_foreign_version_are_refused(served):
    with pytest.raises(ConnectionRefusedError, match='no stream "nosuch" here \\(streams: lab\\)'):
        net.Inlet(served, name="nosuch").start()
    message = bytearray(net._prefix(net.END) + b"\0" * 8 + net._text("x"))
    net.decode(bytes(message))
    message[2] = 2
    with pytest.raises(net.WireError, match="version 2 is not supported: this build speaks 1"):
        net.decode(bytes(message))
    with pytest.raises(net.WireError, match="truncated"):
        net.decode(bytes(message[:12]).replace(b"AX\2", b"AX\1"))


def _keygen(folder):
    out = subprocess.run([AMXCTL, "keygen", folder], capture_output=True, text=True, check=True).stdout
    return out.split("fingerprint ")[1].strip()


def test_keys_let_in_only_the_allowed_subscriber(tmp_path):
    srv, sub, other = (str(tmp_path / n) for n in ("srv", "sub", "other"))
    printed = _keygen(srv)
    _keygen(sub)
    _keygen(other)
    with open(f"{srv}/public.key", "rb") as f:
        assert net.fingerprint(f.read().strip()) == printed  # one fingerprint in both languages
    os.mkdir(f"{srv}/allowed")
    for folder in (sub, other):
        with open(f"{srv}/public.key", "rb") as f, open(f"{folder}/server.key", "wb") as g:
            g.write(f.read())
    with open(f"{sub}/public.key", "rb") as f, open(f"{srv}/allowed/sub.key", "wb") as g:
        g.write(f.read())
    endpoint = f"tcp://127.0.0.1:{40001 + os.getpid() % 20000}"
    p = subprocess.Popen([AMXCTL, "serve", "@0", "--rate", "1000", "--seconds", "6", "--quiet", "--bind", endpoint,
                          "--keys", srv])
    try:
        with net.Inlet(endpoint, keys=sub) as inlet:
            inlet.start(back="all")
            assert inlet.read(500, timeout=5).sample_numbers.size == 500
        refusals = {other: "is not among the publisher's allowed keys", None: "requires keys"}
        for keys, why in refusals.items():
            t0 = time.monotonic()
            with pytest.raises(ConnectionRefusedError, match=why):
                net.Inlet(endpoint, keys=keys).start()
            assert time.monotonic() - t0 < 5
    finally:
        p.terminate()
        p.wait(20)
    with pytest.raises(ValueError, match="server.key"):
        net.Inlet(endpoint, keys=srv)
