"""A simulated six-axis force/torque sensor behind a pty.

The daemon opens the pty's slave (through a /dev/ttyUSBn link); the simulator
writes frames to the master from a pacing thread and reads back whatever the
daemon writes (the reconfiguration commands).

Everything sent is logged (`SimSensor.sent`), so tests can compute the
expected output from what actually went onto the line, including how many
bytes of each item the pty accepted.

Scripting: `send(...)` queues items (frames and faults); the pacing thread
plays them in order, one item per frame slot, ahead of the default traffic.
`wait_sent()` waits until the queue has been played, `wait_consumed()` until
the daemon has also read the bytes off the line.
"""

import collections
import fcntl
import math
import os
import select
import socket
import struct
import termios
import threading
import time
import tty

HEADER = 0xAA
FRAME_SIZE = 37
PAYLOAD = slice(1, 35)
_BODY = struct.Struct("<H6fI4s")     # status, 6 values, timestamp, extra: bytes 1..34
assert _BODY.size == 34


# --------------------------------------------------------------------- frames

def _crc_table():
    table = []
    for i in range(256):
        crc = i
        for _ in range(8):
            crc = (crc >> 1) ^ 0x8408 if crc & 1 else crc >> 1
        table.append(crc)
    return tuple(table)


_CRC_TABLE = _crc_table()


def crc16(data):
    """CRC-16/X-25: reflected 0x1021 (0x8408), init 0xFFFF, final complement. By table:
    the soak checks millions of frames."""
    crc, t = 0xFFFF, _CRC_TABLE
    for b in data:
        crc = (crc >> 8) ^ t[(crc ^ b) & 0xFF]
    return crc ^ 0xFFFF


def f32(x):
    """x rounded to single precision, as it travels in a frame."""
    return struct.unpack("<f", struct.pack("<f", x))[0]


def pack_frame(values, status=0, timestamp=0, extra=b"\0\0\0\0", header=HEADER, crc=None,
               bad_crc=False):
    """Build a 37-byte frame. crc=None computes the right one; bad_crc spoils its low byte."""
    if len(values) != 6:
        raise ValueError("a frame carries six values")
    if len(extra) != 4:
        raise ValueError("extra is four bytes")
    body = _BODY.pack(status & 0xFFFF, *values, timestamp & 0xFFFFFFFF, bytes(extra))
    crc = (crc16(body) if crc is None else crc) ^ (0xFF if bad_crc else 0)
    return bytes([header & 0xFF]) + body + struct.pack("<H", crc & 0xFFFF)


Frame = collections.namedtuple("Frame", "header status values timestamp extra crc crc_ok")


def unpack_frame(data):
    if len(data) != FRAME_SIZE:
        raise ValueError("a frame is %d bytes, got %d" % (FRAME_SIZE, len(data)))
    status, *rest = _BODY.unpack(data[PAYLOAD])
    values, timestamp, extra = tuple(rest[:6]), rest[6], rest[7]
    crc = struct.unpack("<H", data[35:37])[0]
    return Frame(data[0], status, values, timestamp, extra, crc, crc16(data[PAYLOAD]) == crc)


def default_signal(index, rate_hz):
    """Slowly varying forces and torques: distinct sines per axis, from the frame index."""
    t = index / rate_hz
    return (10.0 * math.sin(2 * math.pi * 0.5 * t),
            -5.0 + 3.0 * math.sin(2 * math.pi * 0.3 * t + 0.5),
            20.0 + 8.0 * math.cos(2 * math.pi * 0.2 * t),
            0.5 * math.sin(2 * math.pi * 0.7 * t + 1.0),
            -0.25 * math.cos(2 * math.pi * 0.4 * t),
            0.1 + 0.05 * math.sin(2 * math.pi * 0.9 * t + 2.0))


def open_raw_pty():
    """A pty pair in raw mode at once (the line discipline would otherwise turn 0x0D into
    0x0A), the master non-blocking. Returns (master, slave, slave path)."""
    master, slave = os.openpty()
    tty.setraw(master)
    tty.setraw(slave)
    fl = fcntl.fcntl(master, fcntl.F_GETFL)
    fcntl.fcntl(master, fcntl.F_SETFL, fl | os.O_NONBLOCK)
    return master, slave, os.ttyname(slave)


def serve_chardev(path):
    """A unix socket listening at `path` for a virtual machine's serial device (QEMU's
    `-chardev socket,path=...`), which connects once at its start and stays connected
    through unplugs and reboots. Pass the accepted connection to SimSensor's `port`."""
    if os.path.exists(path):
        os.unlink(path)
    srv = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    srv.bind(path)
    srv.listen(1)
    return srv


# ---------------------------------------------------------------- script items

class Item:
    """One entry of a sensor script; played in one frame slot."""
    kind = "item"


class SendFrame(Item):
    """A frame. Missing fields come from the default stream (values, next timestamp).

    bad_crc=True flips the CRC; crc=... sets it outright; header=... changes byte 0.
    """
    kind = "frame"

    def __init__(self, values=None, status=0, timestamp=None, extra=b"\0\0\0\0",
                 header=HEADER, bad_crc=False, crc=None):
        self.values, self.status, self.timestamp = values, status, timestamp
        self.extra, self.header, self.bad_crc, self.crc = extra, header, bad_crc, crc


class BadCrc(SendFrame):
    kind = "bad_crc"

    def __init__(self, **kw):
        super().__init__(bad_crc=True, **kw)


class BadStatus(SendFrame):
    kind = "bad_status"

    def __init__(self, status=0x0001, **kw):
        super().__init__(status=status, **kw)


class NonFinite(SendFrame):
    """A valid frame carrying NaN/inf values (default: NaN, +inf, -inf, ...)."""
    kind = "non_finite"

    def __init__(self, values=(math.nan, math.inf, -math.inf, 0.0, math.nan, 1.0), **kw):
        super().__init__(values=values, **kw)


class Truncated(SendFrame):
    """Only the first `length` bytes of a frame."""
    kind = "truncated"

    def __init__(self, length=20, **kw):
        super().__init__(**kw)
        self.length = length


class Split(SendFrame):
    """A frame written in pieces (sizes in bytes) with `gap` seconds between them."""
    kind = "split"

    def __init__(self, pieces=(10, 27), gap=0.02, **kw):
        super().__init__(**kw)
        if sum(pieces) != FRAME_SIZE:
            raise ValueError("pieces must add up to %d" % FRAME_SIZE)
        self.pieces, self.gap = tuple(pieces), gap


class Garbage(Item):
    """Bytes as they are. block=True writes them all, as fast as the daemon reads them
    (within `timeout` seconds, if given), where otherwise what the pty cannot take is dropped."""
    kind = "garbage"

    def __init__(self, data, block=False, timeout=None):
        self.data, self.block, self.timeout = bytes(data), block, timeout


class Raw(Garbage):
    kind = "raw"


class Silence(Item):
    kind = "silence"

    def __init__(self, seconds):
        self.seconds = seconds


class Burst(Item):
    """`count` default frames written as fast as the pty takes them; none dropped."""
    kind = "burst"

    def __init__(self, count, timeout=30.0):
        self.count, self.timeout = count, timeout


class Frames(Item):
    """`count` default frames at the normal pace (a marker for scripts)."""
    kind = "frames"

    def __init__(self, count):
        self.count = count


class Replay(Item):
    """Recorded reads [(seconds, bytes)] (ftsim.capture) written at their original pace,
    from the first one on. Each read is logged as a "replay" entry; a gap longer than
    `silence_after` (the daemon's read time-out) is logged as a "silence" entry first."""
    kind = "replay"

    def __init__(self, chunks, silence_after=0.1):
        self.chunks = [(float(t), bytes(d)) for t, d in chunks]
        self.silence_after = silence_after


# ------------------------------------------------------------------ sent log

class Sent:
    """One entry of the send log.

    index: frame index for frame-like entries (None for garbage/silence);
    data: the bytes meant for the line; written: how many the pty accepted
    (the rest was dropped); t_ns: time.monotonic_ns() when written;
    offset: cumulative accepted bytes before this entry.
    """
    __slots__ = ("seq", "kind", "index", "data", "written", "values", "status",
                 "timestamp", "crc_ok", "t_ns", "offset", "scripted")

    def __init__(self, **kw):
        for k in self.__slots__:
            setattr(self, k, kw.get(k))

    @property
    def complete(self):
        return self.written == len(self.data)

    def __repr__(self):
        return ("Sent(seq=%s kind=%s index=%s written=%s/%s ts=%s)"
                % (self.seq, self.kind, self.index, self.written, len(self.data), self.timestamp))


# --------------------------------------------------------------------- sensor

class SimSensor:
    """A pty that behaves like the sensor.

    mode: "stream" sends default frames at rate_hz between script items;
    "silent" sends nothing at all (until scripted).
    follow_rate: after a reconfiguration, send at the rate its line asks for: the daemon
    asks for R frames/s with the number 47500 / R.
    port: a connected socket (see serve_chardev) to play the line on instead of a new pty.
    """

    def __init__(self, rate_hz=800.0, mode="stream", signal=default_signal,
                 timestamp_start=0, start=True, follow_rate=False, port=None):
        if mode not in ("stream", "silent"):
            raise ValueError("mode is 'stream' or 'silent'")
        self.rate_hz = float(rate_hz)
        self.period_ns = int(round(1e9 / self.rate_hz))
        self.mode = mode
        self.follow_rate = follow_rate
        self.signal = signal
        self.timestamp_start = timestamp_start
        if port is None:
            self.master, self.slave, self.path = open_raw_pty()
        else:
            port.setblocking(False)
            self.master, self.slave, self.path = port.detach(), -1, None

        self._lock = threading.Condition()
        self._script = collections.deque()
        self._played = 0              # script items finished
        self._queued = 0              # script items ever queued
        self._next_index = 0
        self._seq = 0
        self._accepted = 0            # bytes the pty took in total
        self.sent = []                # Sent entries, in order
        self.rx = bytearray()         # every byte the daemon wrote
        self.rx_log = []              # (t_ns, bytes) per read
        self.commands = []            # reconfiguration sequences seen
        self._cmd = None
        self.paused = False           # True between "C" and "R"
        self._stop = threading.Event()
        self._wake = threading.Event()
        self._threads = []
        self.errors = []
        if start:
            self.start()

    # -- life cycle

    def start(self):
        if self._threads:
            return self
        for fn in (self._pace, self._read):
            t = threading.Thread(target=fn, name="simsensor-" + fn.__name__, daemon=True)
            t.start()
            self._threads.append(t)
        return self

    def close(self):
        self._stop.set()
        self._wake.set()
        for t in self._threads:
            t.join(5)
        self._threads = []
        for fd in (self.master, self.slave):
            try:
                os.close(fd)
            except OSError:
                pass
        self.master = self.slave = -1

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    @property
    def pts_index(self):
        return int(self.path.rsplit("/", 1)[1])

    def set_mode(self, mode):
        if mode not in ("stream", "silent"):
            raise ValueError("mode is 'stream' or 'silent'")
        with self._lock:
            self.mode = mode
        self._wake.set()

    # -- scripting

    def send(self, *items):
        """Queue script items; returns the number of the last one (for wait_sent)."""
        with self._lock:
            for it in items:
                if not isinstance(it, Item):
                    raise TypeError("not a script item: %r" % (it,))
                self._script.append(it)
                self._queued += 1
            n = self._queued
        self._wake.set()
        return n

    def wait_sent(self, upto=None, timeout=10.0):
        """Wait until script items up to number `upto` (default: all queued) were played."""
        with self._lock:
            target = self._queued if upto is None else upto
            deadline = time.monotonic() + timeout
            while self._played < target:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TimeoutError("sensor %s: %d of %d script items played"
                                       % (self.path, self._played, target))
                self._lock.wait(left)

    def feed(self, *items, timeout=10.0):
        """Send script items and wait until the daemon has read them off the line."""
        self.send(*items)
        self.wait_consumed(timeout=timeout)

    def pending_input(self):
        """Bytes written and not yet read by the daemon. The pty moves bytes from the master
        to the slave's queue in a kernel worker, late under load; a poll of the slave with
        an empty queue runs that worker's pending move first, so the count holds them."""
        select.select([self.slave], [], [], 0)
        buf = fcntl.ioctl(self.slave, termios.FIONREAD, b"\0\0\0\0")
        return struct.unpack("i", buf)[0]

    def wait_consumed(self, timeout=10.0):
        """Wait until the script has been played and the daemon has read (or flushed)
        every byte accepted so far."""
        self.wait_sent(timeout=timeout)
        deadline = time.monotonic() + timeout
        while True:
            now = time.monotonic()
            if self.pending_input() == 0:
                return
            if now >= deadline:
                raise TimeoutError("sensor %s: %d bytes still unread after %.1f s"
                                   % (self.path, self.pending_input(), timeout))
            time.sleep(0.005)

    # -- queries

    def sent_frames(self, complete_only=True):
        """Frame-like log entries (index not None), optionally only fully written ones."""
        with self._lock:
            return [s for s in self.sent if s.index is not None
                    and (s.complete or not complete_only)]

    def received(self):
        with self._lock:
            return bytes(self.rx)

    def wait_received(self, data, timeout=10.0):
        """Wait until the bytes `data` appear in what the daemon wrote."""
        deadline = time.monotonic() + timeout
        with self._lock:
            while bytes(data) not in self.rx:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TimeoutError("sensor %s: %r not received; got %r"
                                       % (self.path, data, bytes(self.rx)))
                self._lock.wait(left)

    def wait_frames(self, count, timeout=10.0):
        """Wait until at least `count` complete frames went out; returns them."""
        deadline = time.monotonic() + timeout
        with self._lock:
            while True:
                frames = [s for s in self.sent if s.index is not None and s.complete]
                if len(frames) >= count:
                    return frames
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TimeoutError("sensor %s: %d of %d frames sent"
                                       % (self.path, len(frames), count))
                self._lock.wait(left)

    # -- internals

    def _make_frame(self, it=None):
        idx = self._next_index
        self._next_index += 1
        ts = (self.timestamp_start + int(round(idx * 1e6 / self.rate_hz))) & 0xFFFFFFFF
        values = self.signal(idx, self.rate_hz)
        status, extra, header, crc, bad = 0, b"\0\0\0\0", HEADER, None, False
        if it is not None:
            if it.values is not None:
                values = it.values
            if it.timestamp is not None:
                ts = it.timestamp
            status, extra, header, crc, bad = it.status, it.extra, it.header, it.crc, it.bad_crc
        data = pack_frame(values, status, ts, extra, header, crc, bad)
        fr = unpack_frame(data)
        return idx, data, fr

    def _write(self, data, block=False, deadline=None):
        """Write to the master; without `block`, drop what does not fit."""
        done, view = 0, memoryview(data)
        while done < len(data) and not self._stop.is_set():
            try:
                done += os.write(self.master, view[done:])
            except BlockingIOError:
                if not block:
                    break
                if deadline is not None and time.monotonic() > deadline:
                    break
                select.select([], [self.master], [], 0.05)
            except OSError as e:
                self.errors.append("write: %s" % e)
                break
        return done

    def _log(self, kind, data, written, scripted, idx=None, fr=None):
        with self._lock:
            self._seq += 1
            s = Sent(seq=self._seq, kind=kind, index=idx, data=data, written=written,
                     values=fr.values if fr else None, status=fr.status if fr else None,
                     timestamp=fr.timestamp if fr else None, crc_ok=fr.crc_ok if fr else None,
                     t_ns=time.monotonic_ns(), offset=self._accepted, scripted=scripted)
            self._accepted += written
            self.sent.append(s)
            self._lock.notify_all()

    def _send_frame(self, it=None, kind="frame", scripted=False, block=False):
        idx, data, fr = self._make_frame(it)
        n = self._write(data, block=block, deadline=time.monotonic() + 10)
        self._log(kind, data, n, scripted, idx, fr)

    def _play(self, it):
        """Play one script item. Returns after the item's own time on the line."""
        if isinstance(it, Truncated):
            idx, data, fr = self._make_frame(it)
            data = data[:it.length]
            self._log(it.kind, data, self._write(data), True, idx, fr)
        elif isinstance(it, Split):
            idx, data, fr = self._make_frame(it)
            pos, written = 0, 0
            for k, size in enumerate(it.pieces):
                if k:
                    self._stop.wait(it.gap)
                written += self._write(data[pos:pos + size])
                pos += size
            self._log(it.kind, data, written, True, idx, fr)
        elif isinstance(it, SendFrame):
            self._send_frame(it, it.kind, True)
        elif isinstance(it, Garbage):
            n = self._write(it.data, it.block, it.timeout and time.monotonic() + it.timeout)
            self._log(it.kind, it.data, n, True)
        elif isinstance(it, Silence):
            self._log(it.kind, b"", 0, True)
            self._stop.wait(it.seconds)
        elif isinstance(it, Burst):
            deadline = time.monotonic() + it.timeout
            for _ in range(it.count):
                if self._stop.is_set():
                    break
                idx, data, fr = self._make_frame()
                n = self._write(data, block=True, deadline=deadline)
                self._log("burst", data, n, True, idx, fr)
        elif isinstance(it, Replay):
            start = None
            t0 = prev = it.chunks[0][0] if it.chunks else 0.0
            for t, data in it.chunks:
                if t - prev > it.silence_after:
                    self._log("silence", b"", 0, True)
                if start is not None:
                    self._wait_until(start + int(round((t - t0) * 1e9)))
                if self._stop.is_set():
                    break
                self._log(it.kind, data, self._write(data), True)
                # Paced from the first read's logged time, so that no logged gap falls short
                # of the capture's.
                start = self.sent[-1].t_ns if start is None else start
                prev = t
        elif isinstance(it, Frames):
            next_t = time.monotonic_ns()
            for _ in range(it.count):
                if self._stop.is_set():
                    break
                self._wait_until(next_t)
                self._send_frame(scripted=True)
                next_t += self.period_ns

    def _wait_until(self, t_ns):
        while not self._stop.is_set():
            left = t_ns - time.monotonic_ns()
            if left <= 0:
                return
            time.sleep(min(left / 1e9, 0.05))
            while self.paused and not self._stop.is_set():
                self._stop.wait(0.002)

    def _pace(self):
        try:
            next_t = time.monotonic_ns()
            while not self._stop.is_set():
                with self._lock:
                    paused = self.paused
                    item = self._script[0] if self._script and not paused else None
                    streaming = self.mode == "stream" and not paused
                if item is not None:
                    self._play(item)
                    with self._lock:
                        self._script.popleft()
                        self._played += 1
                        self._lock.notify_all()
                    next_t = max(next_t + self.period_ns, time.monotonic_ns())
                    self._wait_until(next_t)
                elif streaming:
                    now = time.monotonic_ns()
                    if now >= next_t:
                        # Under the lock that a "C" takes, so that no frame starts after it.
                        with self._lock:
                            if not self.paused:
                                self._send_frame()
                        next_t += self.period_ns
                        # After a stall (e.g. a descheduled thread) do not burst to
                        # catch up by more than a few frames.
                        if time.monotonic_ns() - next_t > 20 * self.period_ns:
                            next_t = time.monotonic_ns()
                    else:
                        time.sleep(min((next_t - now) / 1e9, 0.05))
                else:
                    self._wake.wait(0.05)
                    self._wake.clear()
                    next_t = time.monotonic_ns()
        except Exception as e:  # surfaced through .errors; tests check it
            self.errors.append("pacer: %r" % e)
            raise

    def _read(self):
        while not self._stop.is_set():
            try:
                r, _, _ = select.select([self.master], [], [], 0.05)
                if not r:
                    continue
                data = os.read(self.master, 4096)
            except BlockingIOError:
                continue
            except OSError as e:
                if self._stop.is_set():
                    return
                self.errors.append("read: %s" % e)
                return
            if not data:
                if self.slave < 0:  # a socket's peer is gone
                    return
                continue
            t = time.monotonic_ns()
            with self._lock:
                self.rx += data
                self.rx_log.append((t, data))
                for b in data:
                    self._command_byte(b, t)
                self._lock.notify_all()

    def _command_byte(self, b, t):
        """Follow the reconfiguration sequence: C, f-line, s, (pause), #, R."""
        c = chr(b)
        cmd = self._cmd
        if cmd is None:
            if c != "C":
                return
            # The sensor stops its frames on "C" and resumes after "R".
            self.paused = True
            cmd = self._cmd = {"t_C": t, "line": "", "bytes": bytearray()}
        elif len(cmd["bytes"]) == 1 and c != "f":
            # Not a command after all: a tty that echoes what it receives (its settings
            # before the daemon makes it raw) sends back the frames' own bytes.
            self._cmd = None
            self.paused = False
            self._wake.set()
            return self._command_byte(b, t)
        cmd["bytes"].append(b)
        line = cmd["line"]
        if (line or c == "f") and not line.endswith("\n"):
            cmd["line"] = line + c
        if c == "R":
            cmd["t_R"] = t
            cmd["bytes"] = bytes(cmd["bytes"])
            self.commands.append(cmd)
            number = cmd["line"].split(",")[1:2]
            if self.follow_rate and number and number[0].isdigit() and int(number[0]) > 0:
                self.rate_hz = 47500.0 / int(number[0])
                self.period_ns = int(round(1e9 / self.rate_hz))
            self._cmd = None
            self.paused = False
            self._wake.set()
