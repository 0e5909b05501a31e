"""amvex.net.Inlet against `amxctl serve` of the first emulated amplifier on
loopback (AMXCTL names the program; skipped without it or without pyzmq)."""

import os
import socket
import struct
import subprocess
import threading
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


# A secure stream's beacon byte for byte, as amxctl serve sends it (the C++
# wire tests hold the same bytes).
BEACON = bytes.fromhex(
    "415842010108070605040302010068e5cf8b010000e0152800e8030000036c616206616d702d7063773952123169e27e6e44")


def _beacon(name: str, port: int, fingerprint: str = "") -> bytes:
    """A beacon of an announcing publisher (claims have flag 2 and no port)."""
    secure = bytes.fromhex(fingerprint.replace(":", ""))
    return (b"AXB\1" + struct.pack("<BQQHHI", 1 if secure else 0, port, 0, port, 40, 1000)
            + bytes([len(name)]) + name.encode() + b"\x09elsewhere" + secure)


class _Announcing:
    """Sends beacons to this test's own UDP port on loopback every 0.1 s, as
    publishers elsewhere would broadcast them."""

    def __init__(self, port: int, *payloads: bytes) -> None:
        self.port, self.payloads, self.done = port, payloads, threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)

    def _run(self) -> None:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            for _ in range(300):
                for p in self.payloads:
                    s.sendto(p, ("127.0.0.1", self.port))
                if self.done.wait(0.1):
                    break

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *_):
        self.done.set()
        self.thread.join()


def test_beacons_read_as_amxctl_writes_them():
    b = net.decode_beacon(BEACON)
    assert (b["name"], b["host"], b["port"], b["channels"], b["rate"]) == ("lab", "amp-pc", 5600, 40, 1000)
    assert b["secure"] and not b["claim"] and b["fingerprint"] == "7739:5212:3169:e27e:6e44"
    assert net.decode_beacon(_beacon("lab", 7)) == {**net.decode_beacon(_beacon("lab", 7)), "secure": False}
    broken = [BEACON[:n] for n in range(len(BEACON))] + [BEACON + b"\0", BEACON[:3] + b"\2" + BEACON[4:],
                                                          BEACON[:4] + b"\5" + BEACON[5:], _beacon("123", 7),
                                                          _beacon("a\nb", 7), _beacon("lab", 0)]
    for data in broken:
        with pytest.raises(net.WireError):
            net.decode_beacon(data)
    assert [n for n in ("lab", "12a", "123", " 12", "-3", "@0", "a/b", "") if net.valid_stream_name(n)] == ["lab", "12a"]


def test_an_inlet_finds_a_stream_by_its_announced_name(served, monkeypatch, tmp_path):
    udp = 40002 + os.getpid() % 20000
    monkeypatch.setenv("AMXNET_BEACON_PORT", str(udp))
    port = int(served.rsplit(":", 1)[1])
    claim = b"AXB\1\2" + bytes(8 + 8 + 8) + b"\3lab\0"
    with _Announcing(udp, _beacon("lab", port), b"junk", BEACON[:3] + b"\2" + BEACON[4:], claim):
        heard = net.discover(1.0)
        assert [(a.name, a.endpoint, a.secure) for a in heard] == [("lab", served, False)]
        assert 0 <= heard[0].heard_after < 0.5
        with net.Inlet("lab") as inlet:
            assert inlet.endpoint == served
            inlet.start(back="all")
            assert inlet.read(frames=500, timeout=5).sample_numbers.size == 500
    # What an announcement says must agree with the keys before anything connects.
    sub = str(tmp_path / "sub")
    subprocess.run([AMXCTL, "keygen", str(tmp_path / "srv"), "--subscriber", sub], check=True, capture_output=True)
    other = "0123:4567:89ab:cdef:0123"
    refusals = [((_beacon("lab", port, other),), None, ConnectionRefusedError, "is served with keys"),
                ((_beacon("lab", port, other),), sub, ConnectionRefusedError, f"announces the server key {other}"),
                ((_beacon("lab", port),), sub, ConnectionRefusedError, "announced as served without keys"),
                ((_beacon("lab", port), _beacon("lab", port + 1)), None, LookupError, "announced by 2 publishers"),
                ((claim,), None, LookupError, 'no stream named "lab" heard within 2 s')]
    for payloads, keys, error, why in refusals:
        with _Announcing(udp, *payloads), pytest.raises(error, match=why):
            net.Inlet("lab", keys=keys)
