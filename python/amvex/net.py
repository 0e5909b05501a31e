"""Streams served across the network (``amxctl serve``): ``Inlet`` reads one
with the surface of a local ``Amplifier`` (start, read, stream, ``Block``,
``to_mne``), plus the clock offset to the publisher and the frames lost on the
way. It speaks the stream service's wire format (docs/network.md) over
ZeroMQ (python3-zmq); it needs no amplifier library."""

from __future__ import annotations

import bisect
import collections
import copy
import dataclasses
import hashlib
import math
import os
import re
import struct
import threading
import time
from typing import NamedTuple

import numpy as np

from .device import INVALID, STATUS_BITS_SHIFT, Block, read_blocks

VERSION = 1
HELLO, CREDIT, PING, BYE, HEADER, DATA, PONG, END, REFUSED = 1, 2, 3, 4, 16, 17, 18, 19, 20
BACK_ALL = 0xFFFFFFFF
PING_EVERY = 0.25  # seconds; each ping is a heartbeat and a clock probe
DEAD_AFTER = 2.5  # seconds without a message: the link is dead, reconnect


class WireError(ValueError):
    """A message that cannot be read (truncated, another version, bad counts)."""


def _prefix(kind: int) -> bytes:
    return b"AX" + struct.pack("<HHH", VERSION, kind, 0)


def _text(value: str) -> bytes:
    data = value.encode()
    return struct.pack("<H", len(data)) + data


class _Reader:
    def __init__(self, data: bytes) -> None:
        self.data, self.at = data, 0

    def take(self, fmt: str):
        size = struct.calcsize(fmt)
        if self.at + size > len(self.data):
            raise WireError("truncated message")
        values = struct.unpack_from(fmt, self.data, self.at)
        self.at += size
        return values

    def text(self) -> str:
        (size,) = self.take("<H")
        if self.at + size > len(self.data):
            raise WireError("truncated message")
        self.at += size
        return self.data[self.at - size : self.at].decode(errors="replace")


def decode(data: bytes) -> tuple[int, dict]:
    """The type and fields of one message from a publisher; WireError otherwise."""
    if len(data) < 8 or data[:2] != b"AX":
        raise WireError("not an amxnet message")
    version, kind, _flags = struct.unpack_from("<HHH", data, 2)
    if version != VERSION:
        raise WireError(f"version {version} is not supported: this build speaks {VERSION}")
    r = _Reader(data)
    r.at = 8
    m: dict = {}
    if kind == HEADER:
        (m["stream_id"],) = r.take("<Q")
        m["name"], m["host"] = r.text(), r.text()
        m["kind"], m["revision"], m["cal1"], m["cal2"], ident, m["channels"], m["rate"], m["volts_per_count"] = r.take(
            "<iiiiBHId")
        m["identified"] = ident == 1
        m["unit"] = r.text()
        m["invalid_marker"], m["buffer_ms"], m["start"] = r.take("<iIQ")
        if not 1 <= m["channels"] <= 1024 or m["rate"] == 0:
            raise WireError("channel count or rate out of range")
        m["labels"] = [r.text() for _ in range(m["channels"])]
    elif kind == DATA:
        m["stream_id"], m["seq"], m["first"], channels, count, m["lost_packets"], gaps = r.take("<QQQHIIH")
        if not 1 <= channels <= 1024 or count > 65536 or gaps > 1024:
            raise WireError("counts beyond the limits")
        words = channels + 1
        if len(data) - r.at != gaps * 17 + count * words * 4 + count * 8:
            raise WireError("truncated data message")
        m["gaps"] = [r.take("<QQB") for _ in range(gaps)]
        m["frames"] = np.frombuffer(data, "<i4", count * words, r.at).reshape(count, words)
        r.at += count * words * 4
        m["stamps"] = np.frombuffer(data, "<f8", count, r.at)
        r.at += count * 8
        m["count"] = count
    elif kind == PONG:
        m["probe"], m["t0"], m["t1"], m["t2"] = r.take("<Iddd")
    elif kind == END:
        (m["stream_id"],) = r.take("<Q")
        m["reason"] = r.text()
    elif kind == REFUSED:
        m["reason"] = r.text()
    else:
        raise WireError(f"unknown message type {kind}")
    if r.at != len(data):
        raise WireError("bytes after the message")
    return kind, m


def fingerprint(z85_key: bytes) -> str:
    """What people compare and logs show instead of a key: the first 10 bytes
    of the SHA-256 of the key's 32 bytes, as "3f2a:91c0:..." (as amxctl prints)."""
    from zmq.utils import z85

    digest = hashlib.sha256(z85.decode(z85_key)).hexdigest()[:20]
    return ":".join(digest[i : i + 4] for i in range(0, 20, 4))


def _read_key(path: str) -> bytes:
    try:
        with open(path, "rb") as f:
            key = f.read().strip()
    except OSError as e:
        raise ValueError(f"cannot read the key file {path}: {e.strerror}") from None
    if len(key) != 40:
        raise ValueError(f"{path} holds no key (40 Z85 characters)")
    return key


def load_keys(folder: str) -> tuple[bytes, bytes, bytes]:
    """A subscriber's key folder (made by ``amxctl keygen``, plus the
    publisher's public key as server.key): (public, secret, server) keys."""
    import zmq

    public, secret = _read_key(os.path.join(folder, "public.key")), _read_key(os.path.join(folder, "secret.key"))
    if zmq.curve_public(secret) != public:
        raise ValueError(f"{folder}/public.key is not the public key of {folder}/secret.key")
    return public, secret, _read_key(os.path.join(folder, "server.key"))


# Announcements: each publisher broadcasts one UDP beacon per stream every
# 0.5 s to port 5600 (AMXNET_BEACON_PORT changes it); docs/network.md.
BEACON_PORT = 5600
BEACON_INTERVAL = 0.5
_SECURE, _CLAIM = 1, 2


class Announcement(NamedTuple):
    """A stream announced on the network. It carries no secret, and is never
    believed alone: with keys, the handshake still proves the publisher's key."""

    name: str
    host: str
    endpoint: str  # tcp://ADDRESS:PORT: the sender's address and the announced port
    channels: int
    rate: int
    secure: bool
    fingerprint: str  # the server key's (secure streams only, else "")
    heard_after: float  # seconds from the start of listening to its first beacon


def _printable(text: bytes) -> bool:
    return all(c >= 0x20 and c != 0x7F for c in text)


def valid_stream_name(name: str) -> bool:
    """Whether a publisher may give a stream this name (as amxctl serve checks):
    1 to 64 bytes, no '/' or control characters, not all digits (an optional
    sign and leading blanks included) and not beginning with '@'."""
    raw = name.encode()
    if not 1 <= len(raw) <= 64 or "/" in name or not _printable(raw) or name[0] == "@":
        return False
    return re.fullmatch(r" *[+-]?[0-9]+", name) is None


def decode_beacon(data: bytes) -> dict:
    """The fields of a beacon payload; WireError for anything that is not exactly
    a version-1 beacon with valid fields (such beacons are ignored)."""
    if len(data) < 5 or data[:3] != b"AXB":
        raise WireError("not an amxnet beacon")
    if data[3] != 1:
        raise WireError(f"beacon version {data[3]} is not supported: this build speaks 1")
    if len(data) > 255:
        raise WireError("beacon longer than 255 bytes")
    r = _Reader(data)
    r.at = 4
    b: dict = {}
    flags, b["id"], b["since"], b["port"], b["channels"], b["rate"] = r.take("<BQQHHI")
    b["secure"], b["claim"] = bool(flags & _SECURE), bool(flags & _CLAIM)
    for field in ("name", "host"):
        (size,) = r.take("<B")
        (b[field],) = r.take(f"<{size}s")
    b["fingerprint"] = ""
    if b["secure"]:
        digest = r.take("<10s")[0].hex()
        b["fingerprint"] = ":".join(digest[i : i + 4] for i in range(0, 20, 4))
    if r.at != len(data):
        raise WireError("bytes after the beacon")
    if flags & ~(_SECURE | _CLAIM):
        raise WireError("unknown beacon flags")
    name, host = b["name"].decode(errors="replace"), b["host"].decode(errors="replace")
    if not valid_stream_name(name) or len(b["host"]) > 64 or not _printable(b["host"]):
        raise WireError("a stream or host name the format does not allow")
    ranges = (b["port"], b["channels"], b["rate"])
    if (b["claim"] and any(ranges)) or (not b["claim"] and (0 in ranges or b["channels"] > 1024)):
        raise WireError("port, channel count or rate out of range")
    b["name"], b["host"] = name, host
    return b


def beacon_port() -> int:
    """The announcements' UDP port: AMXNET_BEACON_PORT, else 5600."""
    text = os.environ.get("AMXNET_BEACON_PORT", "")
    if not text:
        return BEACON_PORT
    if not text.isdigit() or not 1 <= int(text) <= 65535:
        raise ValueError(f"AMXNET_BEACON_PORT is a UDP port (1 to 65535), not {text!r}")
    return int(text)


def discover(seconds: float = 2.0, only: str | None = None) -> list[Announcement]:
    """The streams announced within ``seconds``, each once (by name and address),
    sorted. With ``only`` (a name), listening ends a beacon interval after that
    name was first heard. Malformed or foreign beacons are ignored."""
    import socket

    found: dict[tuple[str, str], Announcement] = {}
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if hasattr(socket, "SO_REUSEPORT"):
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
        sock.bind(("", beacon_port()))
        start = time.monotonic()
        until = start + seconds
        while (now := time.monotonic()) < until:
            sock.settimeout(until - now)
            try:
                data, (sender, _port) = sock.recvfrom(512)
                b = decode_beacon(data)
            except (socket.timeout, WireError):
                continue
            endpoint = f"tcp://{sender}:{b['port']}"
            if b["claim"] or (b["name"], endpoint) in found:
                continue
            found[(b["name"], endpoint)] = Announcement(
                b["name"], b["host"], endpoint, b["channels"], b["rate"], b["secure"], b["fingerprint"],
                time.monotonic() - start)
            if b["name"] == only:
                until = min(until, time.monotonic() + BEACON_INTERVAL * 1.2)
    return sorted(found.values(), key=lambda a: (a.name, a.endpoint))


def _announced(name: str, keys: tuple[bytes, bytes, bytes] | None) -> str:
    """The endpoint of the one stream announced as name within 2 s, checked
    against keys: LookupError for none or several, ConnectionRefusedError for
    an announcement that disagrees with the keys."""
    heard = [a for a in discover(2.0, only=name) if a.name == name]
    if not heard:
        raise LookupError(f'no stream named "{name}" heard within 2 s '
                          "(give tcp://HOST:PORT/NAME where announcements cannot reach)")
    if len(heard) > 1:
        where = ", ".join(f"{a.endpoint}/{name} on {a.host}" for a in heard)
        raise LookupError(f'the stream name "{name}" is announced by {len(heard)} publishers ({where}): give its address')
    a = heard[0]
    at = f'the stream "{name}" at {a.endpoint}'
    if a.secure and not keys:
        raise ConnectionRefusedError(
            f"{at} is served with keys (server key {a.fingerprint}): give keys=DIR with this subscriber's key pair "
            "and that publisher's public key as server.key")
    if keys and not a.secure:
        raise ConnectionRefusedError(
            f"{at} is announced as served without keys, so it cannot be the publisher of server.key "
            f"({fingerprint(keys[2])}): refused")
    if keys and a.fingerprint != fingerprint(keys[2]):
        raise ConnectionRefusedError(
            f"{at} announces the server key {a.fingerprint}, but server.key is {fingerprint(keys[2])}: "
            "refused (an impostor, or server.key is another publisher's)")
    return a.endpoint


class ClockOffset:
    """Publisher time minus local time from NTP-style probes: a line (offset
    and drift) through the probes with the lower half of the round trips among
    the last 128; the bound is the largest distance of a fitted probe's
    interval (offset +- half its round trip) from the line."""

    def __init__(self) -> None:
        self.probes: collections.deque = collections.deque(maxlen=128)
        self.valid = False
        self.ref = self.offset = self.drift = self.bound = 0.0

    def add(self, t0: float, t1: float, t2: float, t3: float) -> None:
        rtt = (t3 - t0) - (t2 - t1)
        if not rtt >= 0:
            return
        self.probes.append(((t0 + t3) / 2, ((t1 - t0) + (t2 - t3)) / 2, rtt))
        p = np.array(self.probes)
        used = p[p[:, 2] <= np.sort(p[:, 2])[len(p) // 2]]
        self.ref = used[-1, 0]
        x, y = used[:, 0] - self.ref, used[:, 1]
        self.drift = float(np.polyfit(x, y, 1)[0]) if x[-1] - x[0] >= 1.0 else 0.0
        self.offset = float(np.mean(y) - self.drift * np.mean(x))
        self.bound = float(np.max(np.abs(self.offset + self.drift * x - y) + used[:, 2] / 2))
        self.valid = True

    def at(self, local: float) -> float:
        return self.offset + self.drift * (local - self.ref)

    def to_local(self, publisher: np.ndarray) -> np.ndarray:
        return (publisher - self.offset + self.drift * self.ref) / (1 + self.drift)


class Inlet:
    """A served stream: ``Inlet("tcp://HOST:PORT", name=None)`` (the
    publisher's first stream without a name; ``tcp://HOST:PORT/NAME`` also
    names it), or ``Inlet("NAME")``: the stream announced as NAME within 2 s
    (``discover()``; LookupError for none or several, ConnectionRefusedError
    when its announcement disagrees with ``keys``). After ``start()`` a background thread keeps the link (pings,
    credit, reconnecting and resuming after an outage) and moves frames into a
    host buffer; ``read()`` and ``stream()`` return ``Block``s as a local
    ``Amplifier`` does, with 64-bit sample numbers (1 = the stream's first
    frame) and times on this machine's ``time.monotonic()``. Frames the
    publisher could not deliver are counted in ``lost_frames``, frames the
    device lost in ``missing_frames``; both leave gaps in the sample numbers.
    A restarted publisher begins a new segment (``segments`` counts them; a
    read never mixes two). ``keys=DIR``: a key folder (docs/network.md); a
    publisher that refuses this subscriber's key, or cannot prove it holds the
    key of DIR/server.key, makes ``start()`` raise ConnectionRefusedError."""

    def __init__(self, address: str, name: str | None = None, credit: int = 1000, keys: str | None = None) -> None:
        # With keys (a folder: this subscriber's key pair and the publisher's
        # public key as server.key) all is encrypted and only that publisher
        # is believed.
        self.keys = load_keys(keys) if keys is not None else None
        self.credit = credit
        if not address.startswith("tcp://"):
            if not valid_stream_name(address) or name is not None:
                raise ValueError(f"a source is tcp://HOST:PORT[/NAME] or a stream's name, not {address!r}")
            self.endpoint, self.name = _announced(address, self.keys), address
        else:
            endpoint, _, path = address[6:].partition("/")
            self.endpoint = "tcp://" + endpoint
            self.name = name if name is not None else path
        self.info: dict | None = None
        self.rate = 0
        self.lost_frames = self.missing_frames = self.segments = self.reconnects = self.refused = 0
        self.clock = ClockOffset()
        # (numbers, frames, times, segment); times: 2 x n, this host's and the publisher's stamps
        self._frames: collections.deque = collections.deque()
        self._waiting = 0
        self._ready = threading.Condition()
        self._thread: threading.Thread | None = None
        self._running = False
        self._error: BaseException | None = None
        self._ended: str | None = None

    def __enter__(self) -> Inlet:
        return self

    def __exit__(self, kind, error, traceback) -> None:
        self.stop()

    def offset(self) -> tuple[float, float]:
        """The publisher's clock minus this machine's (seconds) and its bound;
        (nan, nan) before the first probe came back."""
        if not self.clock.valid:
            return math.nan, math.nan
        return self.clock.at(time.monotonic()), self.clock.bound

    def start(self, back: float | str = 0.0, buffer_seconds: float = 60.0, timeout: float = 10.0) -> None:
        """Connects and waits (up to ``timeout`` s) for the stream's header.
        ``back``: begin that many seconds back in the publisher's buffer, or
        ``"all"`` for all it keeps. ``buffer_seconds``: the host buffer; frames
        it has to drop before a read took them count in ``lost_frames``."""
        import zmq

        self.stop()
        self._back = BACK_ALL if back == "all" else int(float(back) * 1000)
        self._buffer_seconds = buffer_seconds
        self._context = zmq.Context()
        self._running = True
        self._thread = threading.Thread(target=self._run, name=f"amvex.net {self.endpoint}", daemon=True)
        self._thread.start()
        with self._ready:
            self._ready.wait_for(lambda: self.info is not None or self._error is not None, timeout)
        if self._error is not None:
            self.stop()
            raise self._error
        if self.info is None:
            self.stop()
            raise TimeoutError(f"no stream from {self.endpoint} within {timeout} s")

    def stop(self) -> None:
        """Says goodbye and joins the background thread; frames already here stay readable."""
        self._running = False
        if self._thread is not None:
            self._thread.join()
            self._thread = None
            self._context.term()

    # The background thread: the only user of the socket.
    def _connect(self, resume: tuple[int, int] | None):
        import zmq

        sock = self._context.socket(zmq.DEALER)
        sock.setsockopt(zmq.LINGER, 0)
        if self.keys:
            sock.curve_publickey, sock.curve_secretkey, sock.curve_serverkey = self.keys
        # ZeroMQ retries a failed handshake in silence: its monitor tells.
        self._monitor = sock.get_monitor_socket(
            zmq.EVENT_CONNECTED | zmq.EVENT_DISCONNECTED | zmq.EVENT_HANDSHAKE_SUCCEEDED
            | zmq.EVENT_HANDSHAKE_FAILED_NO_DETAIL | zmq.EVENT_HANDSHAKE_FAILED_PROTOCOL
            | zmq.EVENT_HANDSHAKE_FAILED_AUTH
        )
        self._handshaking, self._dropped = False, 0
        sock.connect(self.endpoint)
        rid, rfrom = resume or (0, 0)
        sock.send(_prefix(HELLO) + _text(self.name) + struct.pack("<QQII", rid, rfrom, self._back, self.credit))
        return sock

    def _close(self, sock) -> None:
        sock.disable_monitor()
        self._monitor.close()
        sock.close()

    def _check_handshake(self) -> None:
        """Reads the monitor's events; raises ConnectionRefusedError for a handshake that failed."""
        import zmq
        from zmq.utils.monitor import recv_monitor_message

        at = f"the publisher at {self.endpoint}"
        while self._monitor.poll(0):
            event = recv_monitor_message(self._monitor)
            kind, value = event["event"], event["value"]
            if kind == zmq.EVENT_CONNECTED:
                self._handshaking = True
            elif kind == zmq.EVENT_HANDSHAKE_SUCCEEDED:
                self._handshaking, self._dropped = False, 0
            elif kind == zmq.EVENT_DISCONNECTED:
                # A publisher that cannot read our greeting just hangs up.
                if self.keys and self._handshaking:
                    self._handshaking, self._dropped = False, self._dropped + 1
                    if self._dropped >= 2:
                        raise ConnectionRefusedError(self._impostor(at))
            elif kind == zmq.EVENT_HANDSHAKE_FAILED_AUTH:
                raise ConnectionRefusedError(
                    f"{at} refused this subscriber's key {fingerprint(self.keys[0]) if self.keys else ''}: "
                    "it is not among the publisher's allowed keys"
                )
            elif not self.keys:
                raise ConnectionRefusedError(f"{at} requires keys (the handshake failed): give keys=DIR")
            elif value == zmq.PROTOCOL_ERROR_ZMTP_MECHANISM_MISMATCH:
                raise ConnectionRefusedError(
                    f"{at} serves without keys, so it cannot prove it is the publisher of server.key "
                    f"({fingerprint(self.keys[2])}): refused"
                )
            else:
                raise ConnectionRefusedError(self._impostor(at))

    def _impostor(self, at: str) -> str:
        return (
            f"{at} failed the secure handshake: it does not prove it holds the secret key of server.key "
            f"({fingerprint(self.keys[2])}), so it may be an impostor: refused"
        )

    def _run(self) -> None:
        import zmq

        sock = self._connect(None)
        stream_id, next_sample, seq, consumed, probe = 0, 0, 0, 0, 0
        pinged = time.monotonic() - PING_EVERY  # the first probe at once
        heard = time.monotonic()
        try:
            while self._running:
                now = time.monotonic()
                if now - pinged >= PING_EVERY:
                    probe += 1
                    pinged = now
                    sock.send(_prefix(PING) + struct.pack("<Id", probe, now))
                poller = zmq.Poller()
                poller.register(sock, zmq.POLLIN)
                poller.register(self._monitor, zmq.POLLIN)
                ready = dict(poller.poll(int(PING_EVERY * 1000)))
                if self._monitor in ready:
                    self._check_handshake()
                if sock not in ready:
                    if time.monotonic() - heard > DEAD_AFTER:
                        self._close(sock)
                        self.reconnects += 1
                        sock = self._connect((stream_id, next_sample) if stream_id else None)
                        heard = time.monotonic()
                    continue
                data = sock.recv()
                arrived = heard = time.monotonic()
                try:
                    kind, m = decode(data)
                except WireError as e:
                    self.refused += 1
                    if str(e).startswith("version "):
                        raise
                    continue
                if kind == PONG and m["probe"] == probe:
                    with self._ready:  # (merge() copies the line)
                        self.clock.add(m["t0"], m["t1"], m["t2"], arrived)
                elif kind == HEADER:
                    if m["stream_id"] != stream_id:
                        self.segments += 1
                    stream_id, next_sample, seq = m["stream_id"], m["start"], 0
                    with self._ready:
                        self.info, self.rate = m, m["rate"]
                        self._ready.notify_all()
                elif kind == DATA:
                    if m["stream_id"] != stream_id or m["seq"] <= seq:
                        self.refused += 1
                        continue
                    seq = m["seq"]
                    for first, count, gap_kind in m["gaps"]:
                        if first < next_sample:
                            continue
                        # A hole before a gap is frames that never came: lost too.
                        self.lost_frames += first - next_sample
                        if gap_kind == 1:
                            self.lost_frames += count
                        else:
                            self.missing_frames += count
                        next_sample = first + count
                    if m["count"]:
                        self.lost_frames += max(0, m["first"] - next_sample)
                        next_sample = m["first"] + m["count"]
                        stamps = m["stamps"]
                        times = self.clock.to_local(stamps) if self.clock.valid else stamps.copy()
                        numbers = np.arange(m["first"], next_sample, dtype=np.int64)
                        self._put(numbers, m["frames"].copy(), np.vstack((times, stamps)))
                    consumed += m["count"]
                    if consumed >= max(1, self.credit // 4):
                        sock.send(_prefix(CREDIT) + struct.pack("<I", consumed))
                        consumed = 0
                elif kind == END:
                    sock.send(_prefix(BYE))
                    with self._ready:
                        self._ended = m["reason"]
                        self._ready.notify_all()
                    break
                elif kind == REFUSED:
                    raise ConnectionRefusedError(m["reason"])
            else:
                sock.send(_prefix(BYE))
        except BaseException as e:  # handed to the reader
            with self._ready:
                self._error = e
                self._ready.notify_all()
        finally:
            self._close(sock)

    def _put(self, numbers: np.ndarray, frames: np.ndarray, times: np.ndarray) -> None:
        with self._ready:
            self._frames.append((numbers, frames, times, self.segments))
            self._waiting += numbers.size
            capacity = max(int(self._buffer_seconds * self.rate), 1)
            while self._waiting - self._frames[0][0].size >= capacity:  # the oldest go, counted
                dropped = self._frames.popleft()[0].size
                self._waiting -= dropped
                self.lost_frames += dropped
            self._ready.notify_all()

    def read(self, frames: int | None = None, timeout: float | None = None) -> Block:
        """As ``Amplifier.read``: ``read(frames=N)`` exactly N frames (or
        TimeoutError, taking nothing), ``read()`` all waiting after waiting up
        to ``timeout`` (default 1 s) for the first. A read ends where a new
        segment begins. After the stream ended, EOFError once everything was
        read."""
        return self._read(frames, timeout)[0]

    def _read(self, frames: int | None, timeout: float | None) -> tuple[Block, np.ndarray]:
        """read() and its frames' stamps on the publisher's clock."""
        if self.info is None:
            raise RuntimeError("read() needs start() first")
        if timeout is None:
            timeout = 1.0 if frames is None else frames / self.rate * 1.1 + 1.0

        def segment_frames() -> int:
            if not self._frames:
                return 0
            first = self._frames[0][3]
            return sum(n.size for n, _, _, s in self._frames if s == first)

        def segment_done() -> bool:  # nothing more will join the oldest segment
            return self._ended is not None or bool(self._frames and self._frames[-1][3] != self._frames[0][3])

        with self._ready:
            want = 1 if frames is None else frames
            self._ready.wait_for(
                lambda: segment_frames() >= want or segment_done() or self._error is not None, timeout)
            have = segment_frames()
            if have == 0 or (frames is not None and have < frames and not segment_done()):
                if self._error is not None:
                    raise self._error
                if self._ended is not None and have == 0:
                    raise EOFError(f"the stream ended: {self._ended}")
                raise TimeoutError(f"{have} of {want} frames within {timeout} s")
            take = have if frames is None else min(frames, have)
            parts, left, segment = [], take, self._frames[0][3]
            while left > 0 and self._frames and self._frames[0][3] == segment:
                numbers, raw, times, _ = self._frames[0]
                if numbers.size <= left:
                    parts.append(self._frames.popleft()[:3])
                else:
                    parts.append((numbers[:left], raw[:left], times[:, :left]))
                    self._frames[0] = (numbers[left:], raw[left:], times[:, left:], segment)
                left -= parts[-1][0].size
            self._waiting -= take
        numbers = np.concatenate([p[0] for p in parts])
        raw = np.concatenate([p[1] for p in parts])
        times = np.concatenate([p[2] for p in parts], axis=1)
        counts = raw[:, :-1].T
        samples = counts * (self.info["volts_per_count"] * 1e6)
        samples[counts == INVALID] = np.nan
        status = raw[:, -1].view(np.uint32)
        return Block(samples, numbers, (status >> STATUS_BITS_SHIFT).astype(np.uint8), times[0], self.rate), times[1]

    def _clock_line(self) -> ClockOffset:
        """The clock offset's line as it stands (the link's thread refits it)."""
        with self._ready:
            return copy.copy(self.clock)

    def stream(self, seconds: float | None = None, block_seconds: float = 0.1):
        """As ``Amplifier.stream``: blocks of ``block_seconds`` until ``seconds``
        of frames came, or for as long as the loop runs."""
        if self.info is None:
            raise RuntimeError("stream() needs start() first")
        return read_blocks(self.read, self.rate, seconds, block_seconds)


# ---- Several streams on one time line

SLACK = 0.75  # samples a frame may lie off its slot before one is repeated or dropped
HOLD = 10.0  # seconds of later reads a fit has seen before it times a block (its slope needs 2 s, and settles)


def _fitted_times(blocks: list[Block], rate: int) -> list[np.ndarray]:
    """Each block's times from a fit of the same kind as the publisher's
    (amvex.clock), fed with every block's last time: a publisher's stamps run
    late for a while after its fit lowers its line, never early, so the lower
    edge of the stamps is its best line. A block is timed once the fit has
    seen HOLD seconds beyond it (or the last block), as amxctl record does."""
    from .clock import MAX_SKIP, NUMBER_MASK, Clock

    clock = Clock(rate)
    out: list[np.ndarray | None] = [None] * len(blocks)
    waiting: list[int] = []

    def time_waiting(until: float) -> None:
        while waiting and blocks[waiting[0]].times[-1] <= until:
            j = waiting.pop(0)
            out[j] = clock.times(blocks[j].sample_numbers & NUMBER_MASK)

    for j, b in enumerate(blocks):
        if not b.sample_numbers.size:
            out[j] = b.times
            continue
        first, last = int(b.sample_numbers[0]) & NUMBER_MASK, int(b.sample_numbers[-1]) & NUMBER_MASK
        if clock.started and ((first - clock.last - 1) & NUMBER_MASK) > MAX_SKIP:
            time_waiting(math.inf)  # a new fit begins: the old one times what it covered
        clock.add(first, last, float(b.times[-1]))
        waiting.append(j)
        time_waiting(float(b.times[-1]) - HOLD)
    time_waiting(math.inf)
    return out


def align(sources: dict[str, list[Block]], labels: dict[str, list[str]] | None = None, seconds: float | None = None):
    """Blocks of several streams (name -> its blocks in order, as ``read()``
    gave them) on one grid of this host's clock: ``(raw, counts)``, an
    ``mne.io.RawArray`` of every source's channels named ``NAME:LABEL``, and per
    source the frames ``placed``, ``repeated``, ``dropped`` and ``missing``.

    The grid starts at the earliest first frame at the sources' common rate
    (ValueError for different rates: resampling would alter the recorded
    samples) and lasts ``seconds`` (default: to the last frame of any source).
    Each source's frames go to consecutive slots while they lie within SLACK
    samples of their slot's time (its first frame, and its first after frames
    went missing, to the nearest slot); a clock that slips one sample further gets
    one sample repeated (a slow clock) or dropped (a fast one); a longer
    stretch without frames is left NaN and annotated ``BAD_lost_frames NAME``.
    A frame's time is its block's time refitted (``_fitted_times``)."""
    return _align(sources, labels, seconds, lambda name, blocks, rate: _fitted_times(blocks, rate))


def _align(sources: dict[str, list[Block]], labels: dict[str, list[str]] | None, seconds: float | None, timed):
    """align() with each source's times from timed(name, blocks, rate)."""
    import datetime

    import mne

    empty = [name for name, blocks in sources.items() if not any(b.sample_numbers.size for b in blocks)]
    if empty:
        raise ValueError(f"no frames from {', '.join(empty)}: nothing to align")
    sources = {name: [b for b in blocks if b.sample_numbers.size] for name, blocks in sources.items()}
    rates = {b.rate for blocks in sources.values() for b in blocks}
    if len(rates) != 1:
        raise ValueError(f"the sources run at different rates ({sorted(rates)} samples/s): give them one rate")
    rate = rates.pop()
    merged = {name: Block.concat(blocks) for name, blocks in sources.items()}
    times = {name: np.concatenate(timed(name, blocks, rate)) for name, blocks in sources.items()}
    t0 = min(float(t[0]) for t in times.values())
    end = max(float(t[-1]) for t in times.values())
    slots = round(seconds * rate) if seconds is not None else int(round((end - t0) * rate)) + 1
    channels = sum(b.samples.shape[0] for b in merged.values())
    data = np.full((channels, slots), np.nan)
    names, counts, onsets, durations, notes = [], {}, [], [], []
    row = 0
    for name, block in merged.items():
        n = block.samples.shape[0]
        names += [f"{name}:{label}" for label in (labels or {}).get(name, [f"Ch{c + 1}" for c in range(n)])]
        c = {"placed": 0, "repeated": 0, "dropped": 0, "missing": 0}
        off = (times[name] - t0) * rate
        step = np.diff(block.sample_numbers, prepend=block.sample_numbers[0] - 1)
        nxt, gap_from = 0, None

        def leave(count: int) -> None:
            nonlocal nxt, gap_from
            count = min(count, slots - nxt)
            gap_from = nxt if gap_from is None else gap_from
            c["missing"] += count
            nxt += count

        for i in range(block.sample_numbers.size):
            if nxt >= slots:
                break
            late = off[i] - nxt
            if late < -SLACK:
                c["dropped"] += 1
                continue
            # (A first frame, and a first after frames went missing, goes to
            # its nearest slot: as amxctl record.)
            resumes = i == 0 or gap_from is not None or step[i] != 1
            if late > (0.5 if resumes else SLACK):
                k = int(round(late))
                if k == 1 and not resumes:
                    data[row : row + n, nxt] = data[row : row + n, nxt - 1]
                    c["repeated"] += 1
                    nxt += 1
                else:
                    leave(k)
                if nxt >= slots:
                    break
            if gap_from is not None:
                onsets.append(gap_from / rate)
                durations.append((nxt - gap_from) / rate)
                notes.append(f"BAD_lost_frames {name}")
                gap_from = None
            data[row : row + n, nxt] = block.samples[:, i] * 1e-6
            c["placed"] += 1
            nxt += 1
        if nxt < slots:
            leave(slots - nxt)
        if gap_from is not None:
            onsets.append(gap_from / rate)
            durations.append((nxt - gap_from) / rate)
            notes.append(f"BAD_lost_frames {name}")
        counts[name] = c
        row += n
    raw = mne.io.RawArray(data, mne.create_info(names, float(rate), "eeg"), verbose="error")
    if notes:
        raw.set_annotations(mne.Annotations(onset=onsets, duration=durations, description=notes))
    wall = time.time() - (time.monotonic() - t0)
    raw.set_meas_date(datetime.datetime.fromtimestamp(wall, datetime.timezone.utc))
    return raw, counts


def merge(inlets: dict[str, Inlet], seconds: float, timeout: float = 10.0):
    """Reads ``seconds`` of every started Inlet (name -> inlet) on this host's
    clock and aligns them (``align``): ``(raw, counts)``. Reading goes on until
    every inlet has passed the grid's end by a second (or ended); TimeoutError
    when one sends nothing for ``timeout`` s."""
    blocks: dict[str, list[Block]] = {name: [] for name in inlets}
    stamps: dict[str, list[np.ndarray]] = {name: [] for name in inlets}  # each read's, on its publisher's clock
    lines: dict[str, list] = {name: [] for name in inlets}  # (when, the clock offset's line then) per read
    done: set[str] = set()
    t_end = math.inf
    while len(done) < len(inlets):
        for name, inlet in inlets.items():
            if name in done:
                continue
            try:
                b, stamped = inlet._read(None, timeout)
            except EOFError:
                done.add(name)
                continue
            blocks[name].append(b)
            stamps[name].append(stamped)
            lines[name].append((time.monotonic(), inlet._clock_line()))
            if all(blocks.values()) and t_end == math.inf:
                t_end = min(float(bs[0].times[0]) for bs in blocks.values()) + seconds
            if b.times[-1] >= t_end + 1.0:
                done.add(name)
    labels = {name: inlet.info["labels"] for name, inlet in inlets.items()}

    def timed(name: str, bs: list[Block], rate: int) -> list[np.ndarray]:
        # As amxctl record: the stamps refitted on the publisher's clock, each
        # read put on this host's by the clock offset as known HOLD s after it
        # came. (Times moved as the frames arrived would carry the first
        # probes' error, up to their bound, and the fit's lower edge would keep
        # an early one for its 16 s.)
        fitted = _fitted_times([dataclasses.replace(b, times=t) for b, t in zip(bs, stamps[name])], rate)
        reads = [when for when, _ in lines[name]]
        out = []
        for j, t in enumerate(fitted):
            line = lines[name][min(bisect.bisect_left(reads, reads[j] + HOLD), len(reads) - 1)][1]
            out.append(line.to_local(t) if line.valid else bs[j].times)
        return out

    return _align(blocks, labels, seconds, timed)
