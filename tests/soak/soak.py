#!/usr/bin/env python3
"""Fault-and-load soak of the real daemon, in the sandbox.

A line of frames with scripted faults (bad CRCs, garbage bursts, dropped bytes, non-zero
status words, non-finite values) streams at full speed into the daemon through a pty,
broken by pauses: silences, settings changes (set_bias, set_output, enable_filter) and two
reconfigurations. Meanwhile eight client processes call every control method in loops,
well-formed or not, and a probe process times one well-formed call every 100 ms.

The whole line is built before the run, and an independent model of the stream (below)
is fed the same line with a silence at every pause and the settings each pause makes; it
predicts every package, every stream message and the final sample frequency. Value-changing
calls are made only in pauses, once the daemon has reported the read that ran into the
silence, so the model knows exactly which frames they apply to; the load clients change
nothing that the stream reads (a refused set_bias that changed something would show).

Usage: soak.py --daemon PATH [--frames N] [--duration S] [--seed N]
Prints a table; exit status 0 when every check holds.
"""

import argparse
import array
import http.client
import json
import math
import os
import random
import select
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time
import tty
import fcntl
import xmlrpc.client

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(REPO, "tools"))

from ftsim import sensor as sim  # noqa: E402

HEADER = 0xAA
FRAME = 37
CONTROL = ("127.0.0.1", 20202)
SYNCED_READ_FAILED = "Read frame from serial port failed while synched!"


# ------------------------------------------------------------------------ frames

def _crc_table():
    table = []
    for i in range(256):
        crc = i
        for _ in range(8):
            crc = (crc >> 1) ^ 0x8408 if crc & 1 else crc >> 1
        table.append(crc)
    return table


CRC_TABLE = _crc_table()


def crc16(data):
    """CRC-16/X-25 over the payload: reflected 0x1021, init 0xFFFF, final complement."""
    crc = 0xFFFF
    t = CRC_TABLE
    for b in data:
        crc = (crc >> 8) ^ t[(crc ^ b) & 0xFF]
    return crc ^ 0xFFFF


BODY = struct.Struct("<H6fI4s")


def pack_frame(values, status, timestamp, bad_crc=False):
    body = BODY.pack(status, *values, timestamp & 0xFFFFFFFF, b"\0\0\0\0")
    crc = crc16(body)
    if bad_crc:
        crc ^= 0x00FF
    return bytes([HEADER]) + body + struct.pack("<H", crc)


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def filter_factor(cutoff_hz):
    return 0.0015 / (1 / (6.283185307179586 * cutoff_hz) + 0.0015)


CUTOFFS = {1: 50.0, 2: 40.0, 3: 25.0, 4: 12.5}


# ------------------------------------------------------------------------- model

class Model:
    """The stream as described: search and synced states over the bytes of the line, the
    wrench processing of each valid synced frame, and the settings the pauses make.
    Fed incrementally; a silence makes the read in progress fail."""

    MESSAGES = ("Frame synced with 0xAA header", "CRC error", "Lost sync",
                "Skipping incomplete frame", "Read frame from serial port failed!",
                SYNCED_READ_FAILED, "Non-finite sample in frame, dropped", "Too many crc errors")

    def __init__(self, filtered, alpha):
        self.filtered = list(filtered)
        self.alpha = alpha
        self.smoothed = [0.0] * 6
        self.reference = [0.0] * 6
        self.prev_ts = None
        self.freq = None
        self.bias_active = self.output_active = self.output_pending = False
        self.bias = [0.0] * 6
        self.desired = [0.0] * 6
        self.filter_on = True
        self.cutoff = 50.0
        self.synced = False
        self.crc_errors = self.frame_count = 0
        self.msgs = dict.fromkeys(self.MESSAGES, 0)
        self.status_lines = 0
        self.captures = 0
        self.packages = array.array("d")
        self.fatal = None
        self.buf = bytearray()
        self.pos = 0
        self.silence = False
        self._machine = self._run()
        next(self._machine)

    # -- feeding

    def feed(self, data):
        self.buf += data
        next(self._machine)
        if self.pos > 1 << 20:
            del self.buf[:self.pos]
            self.pos = 0

    def feed_silence(self):
        self.silence = True
        next(self._machine)
        assert not self.silence

    def _read(self, n):
        while True:
            if len(self.buf) - self.pos >= n:
                d = self.buf[self.pos:self.pos + n]
                self.pos += n
                return d, True
            if self.silence:
                d = self.buf[self.pos:]
                self.pos = len(self.buf)
                self.silence = False
                return d, False
            yield

    # -- the two states

    def _run(self):
        yield
        while True:
            if self.synced:
                frame, ok = yield from self._read(FRAME)
                if not ok:
                    # Whatever a failed read left in the buffer never reaches the controller.
                    self.msgs[SYNCED_READ_FAILED] += 1
                    self.synced = False
                    continue
                if crc16(frame[1:35]) == frame[35] | frame[36] << 8:
                    if self._finite(frame):
                        self._process(frame)
                elif frame[0] == HEADER:
                    self.crc_errors += 1
                    self.msgs["CRC error"] += 1
                else:
                    self.msgs["Lost sync"] += 1
                    self.synced = False
                    continue
                self.frame_count += 1
                if self.frame_count > 100 and self.crc_errors / self.frame_count > 0.01:
                    self.msgs["Too many crc errors"] += 1
            else:
                head, ok = yield from self._read(1)
                if not ok or head[0] != HEADER:
                    continue
                rest, ok = yield from self._read(FRAME - 1)
                if not ok:
                    self.msgs["Read frame from serial port failed!"] += 1
                    continue
                frame = head + rest
                if crc16(frame[1:35]) != frame[35] | frame[36] << 8:
                    _, ok = yield from self._read(1)
                    if not ok:
                        self.fatal = "the line makes the daemon exit in read_byte"
                    self.msgs["Skipping incomplete frame"] += 1
                    continue
                self.msgs["Frame synced with 0xAA header"] += 1
                if self._finite(frame):
                    self.smoothed = list(self._mapped(frame))
                self.synced = True
                self.crc_errors = self.frame_count = 0

    @staticmethod
    def _mapped(frame):
        f = struct.unpack_from("<6f", frame, 3)
        return (f[1], -f[0], f[2], f[4], -f[3], f[5])

    def _finite(self, frame):
        if all(math.isfinite(v) for v in struct.unpack_from("<6f", frame, 3)):
            return True
        self.msgs["Non-finite sample in frame, dropped"] += 1
        return False

    def _process(self, frame):
        status, = struct.unpack_from("<H", frame, 1)
        ts, = struct.unpack_from("<I", frame, 27)
        if self.prev_ts is not None and ts > self.prev_ts:
            self.freq = 1e6 / float(ts - self.prev_ts)
        if status:
            self.status_lines += 1
        x = self._mapped(frame)
        self.prev_ts = ts
        if self.output_pending:
            self.output_pending = False
            self.reference = list(self.smoothed)
            self.captures += 1
        new_alpha = filter_factor(self.cutoff) if self.filter_on else self.alpha
        for k in range(6):
            if self.bias_active:
                off = x[k] - self.bias[k]
            elif self.output_active:
                off = x[k] - self.reference[k] + self.desired[k]
            else:
                off = x[k]
            self.smoothed[k] = self.smoothed[k] + self.alpha * (x[k] - self.smoothed[k])
            self.alpha = new_alpha
            if self.filter_on:
                self.filtered[k] = self.filtered[k] + self.alpha * (off - self.filtered[k])
            else:
                self.filtered[k] = off
        self.packages.extend(self.filtered)

    # -- settings, as the control methods change them

    def set_bias(self, values):
        self.bias = list(values)
        self.bias_active, self.output_active = True, False

    def set_output(self, values):
        self.desired = list(values)
        self.bias_active, self.output_active, self.output_pending = False, True, True

    def enable_filter(self, enable, ftype):
        self.filter_on = enable
        if ftype in CUTOFFS:
            self.cutoff = CUTOFFS[ftype]
            return 0
        return 1


# --------------------------------------------------------------------- the line

class Plan:
    """The line and its pauses, built together with the model's predictions."""

    def __init__(self, rng, frames, duration, model):
        self.steps = []          # ("bytes", data) | ("pause", action, args, expected_count)
        self.injected = dict(bad_crc=0, garbage=0, garbage_bytes=0, dropped=0,
                             dropped_bytes=0, status=0, non_finite=0, silence=0,
                             set_bias=0, set_output=0, enable_filter=0, reconfigure=0)
        self.frames_sent = 0
        self.pause_at = []       # (packages before it, action, args), for reports
        self.rng = rng
        self.model = model
        self.index = 0
        self._build(frames, duration)

    def _values(self, i):
        t = i * 0.001
        return (f32(10.0 * math.sin(0.5 * t) + self.rng.uniform(-0.05, 0.05)),
                f32(-5.0 + 3.0 * math.sin(0.3 * t + 0.5)),
                f32(20.0 + 8.0 * math.cos(0.2 * t)),
                f32(0.5 * math.sin(0.7 * t + 1.0)),
                f32(-0.25 * math.cos(0.4 * t)),
                f32(0.1 + 0.05 * math.sin(0.9 * t + 2.0)))

    def _frame(self, status=0, values=None, bad_crc=False):
        i = self.index
        self.index += 1
        self.frames_sent += 1
        return pack_frame(values or self._values(i), status, 5_000_000 + 1000 * i, bad_crc)

    def _segment(self, count):
        rng, inj = self.rng, self.injected
        out = bytearray()
        target = self.frames_sent + count
        while self.frames_sent < target:
            r = rng.random()
            if r < 0.01:
                out += self._frame(bad_crc=True)
                inj["bad_crc"] += 1
            elif r < 0.0105:
                n = rng.randint(1, 300)
                out += bytes(rng.getrandbits(8) for _ in range(n))
                inj["garbage"] += 1
                inj["garbage_bytes"] += n
            elif r < 0.011:
                f = bytearray(self._frame())
                n = rng.randint(1, 36)
                for _ in range(n):
                    del f[rng.randrange(len(f))]
                out += f
                inj["dropped"] += 1
                inj["dropped_bytes"] += n
            elif r < 0.012:
                out += self._frame(status=rng.randint(1, 0xFFFF))
                inj["status"] += 1
            elif r < 0.0125:
                v = list(self._values(self.index))
                v[rng.randrange(6)] = rng.choice((math.nan, math.inf, -math.inf))
                out += self._frame(values=v)
                inj["non_finite"] += 1
            else:
                out += self._frame()
        # Pauses come while synced, so the daemon reports the read that meets the silence.
        self.model.feed(bytes(out))
        while not self.model.synced:
            extra = self._frame()
            self.model.feed(extra)
            out += extra
        self.steps.append(("bytes", bytes(out)))

    def _pause(self, action, args=()):
        self.model.feed_silence()
        expect = None
        if action == "set_bias":
            self.model.set_bias(args)
        elif action == "set_output":
            self.model.set_output(args)
        elif action == "enable_filter":
            expect = self.model.enable_filter(*args)
        elif action == "reconfigure":
            expect = 59 if self.model.filter_on else (380 if args[0] < 120 else int(47500.0 / args[0]))
        self.steps.append(("pause", action, args, self.model.msgs[SYNCED_READ_FAILED], expect))
        self.pause_at.append((len(self.model.packages) // 6, action, args))
        if action in self.injected:
            self.injected[action] += 1

    def _build(self, frames, duration):
        rng = self.rng
        pauses = max(12, frames // 5000)
        per = frames // pauses
        reconf_at = {pauses // 3, (2 * pauses) // 3}
        for p in range(pauses):
            self._segment(per if p < pauses - 1 else frames - per * (pauses - 1))
            if p in reconf_at:
                self._pause("reconfigure", (rng.choice((500.0, 1000.0, 100.0)),))
                continue
            kind = ("silence", "set_bias", "set_output", "enable_filter", "gap")[p % 5]
            if kind == "set_bias" or kind == "set_output":
                # Whole numbers: the XML-RPC library's decimal parser is off by an ulp for
                # many fractions (even -1.75), and the model takes values as written.
                self._pause(kind, tuple(float(rng.randint(-50, 50)) for _ in range(6)))
            elif kind == "enable_filter":
                self._pause(kind, (rng.random() < 0.7, rng.randint(0, 5)))
            elif kind == "silence":
                self._pause("silence", (rng.uniform(0.2, 2.0),))
            else:
                self._pause("gap")
        self.pauses = pauses


# --------------------------------------------------------------- XML-RPC clients

def rpc_raw(body, timeout=5.0, headers=None, read=True):
    """POSTs body to the control service; returns (status, reply bytes)."""
    conn = http.client.HTTPConnection(*CONTROL, timeout=timeout)
    try:
        conn.request("POST", "/RPC2", body, headers or {"Content-Type": "text/xml"})
        if not read:
            return None, b""
        resp = conn.getresponse()
        return resp.status, resp.read()
    finally:
        conn.close()


def rpc(method, *params, timeout=5.0):
    """A well-formed call; returns the result or raises xmlrpc.client.Fault."""
    status, reply = rpc_raw(xmlrpc.client.dumps(params, method).encode(), timeout)
    if status != 200:
        raise RuntimeError("HTTP %s for %s" % (status, method))
    return xmlrpc.client.loads(reply)[0][0]


def expect_fault(method, *params):
    try:
        got = rpc(method, *params)
    except xmlrpc.client.Fault:
        return None
    return "%s%r answered %r instead of a fault" % (method, params, got)


def client_main(role, seed, stop_path, out_path):
    """A load client (role 'load') or the probe (role 'probe'); runs until stop_path exists."""
    rng = random.Random(seed)
    stats = {"calls": {}, "errors": [], "max_latency_s": 0.0, "slow": 0, "good_calls": 0}

    def count(kind, outcome):
        key = "%s: %s" % (kind, outcome)
        stats["calls"][key] = stats["calls"].get(key, 0) + 1

    def good(method, *params):
        t0 = time.monotonic()
        try:
            result = rpc(method, *params)
        except Exception as e:  # noqa: BLE001 — any failure of a good call is a finding
            stats["errors"].append("%s: %r" % (method, e))
            count(method, "failed")
            return None
        dt = time.monotonic() - t0
        stats["good_calls"] += 1
        stats["max_latency_s"] = max(stats["max_latency_s"], dt)
        if dt > 1.0:
            stats["slow"] += 1
            stats["errors"].append("%s took %.3f s (at %.3f)" % (method, dt, time.time()))
        count(method, "answered")
        return result

    def bad(kind, method, *params):
        try:
            err = expect_fault(method, *params)
        except Exception as e:  # noqa: BLE001
            err = "%s: %r" % (kind, e)
        if err:
            stats["errors"].append(err)
            count(kind, "WRONG")
        else:
            count(kind, "fault")

    def raw(kind, body, expect_http):
        try:
            status, reply = rpc_raw(body)
        except (BrokenPipeError, ConnectionResetError) as e:
            if expect_http == "refused":
                count(kind, "connection closed by the service")
                return
            stats["errors"].append("%s: %r" % (kind, e))
            count(kind, "failed")
            return
        except Exception as e:  # noqa: BLE001
            stats["errors"].append("%s: %r" % (kind, e))
            count(kind, "failed")
            return
        fault = b"<fault>" in reply
        if status == 200 and not fault:
            stats["errors"].append("%s answered HTTP 200 without a fault" % kind)
            count(kind, "WRONG")
        else:
            count(kind, "HTTP %d%s" % (status, " fault" if fault else ""))

    def hang_up(kind, data):
        try:
            s = socket.create_connection(CONTROL, timeout=5)
            s.sendall(data)
            s.close()
            count(kind, "closed")
        except OSError as e:
            stats["errors"].append("%s: %r" % (kind, e))

    nan = float("nan")
    six = (1.0, 2.0, 3.0, 4.0, 5.0, 6.0)
    actions = [
        lambda: (lambda r: r is None or r.endswith(" (C++)") or stats["errors"].append(
            "get_title answered %r" % r))(good("get_title")),
        lambda: (lambda t, r: r is None or r == t or stats["errors"].append(
            "set_title echoed %r for %r" % (r, t)))(*(lambda t: (t, good("set_title", t)))(
                "t%d-%s" % (rng.randrange(10**6), "x" * rng.randrange(200)))),
        lambda: good("get_sample_freq"),
        lambda: good("is_running"),
        lambda: bad("set_bias: 5 values", "set_bias", *six[:5]),
        lambda: bad("set_bias: 7 values", "set_bias", *(six + (7.0,))),
        lambda: bad("set_bias: a string", "set_bias", "1", *six[1:]),
        lambda: bad("set_bias: an int", "set_bias", 1, *six[1:]),
        lambda: bad("set_bias: NaN", "set_bias", nan, *six[1:]),
        lambda: bad("set_output: a bool", "set_output", True, *six[1:]),
        lambda: bad("set_output: NaN", "set_output", *six[:5], nan),
        lambda: bad("set_output: no values", "set_output"),
        lambda: bad("enable_filter: int for bool", "enable_filter", 1, 2),
        lambda: bad("enable_filter: double type", "enable_filter", True, 1.5),
        lambda: bad("enable_filter: one value", "enable_filter", False),
        lambda: bad("configure_sensor: a string", "configure_sensor", "fast"),
        lambda: bad("configure_sensor: NaN", "configure_sensor", nan),
        lambda: bad("configure_sensor: no value", "configure_sensor"),
        lambda: bad("get_title: extra value", "get_title", 1),
        lambda: bad("unknown method", "no_such_method", 1.0),
        lambda: raw("malformed XML", b"<?xml version='1.0'?><methodCall><methodName>get_title"
                    b"</methodName><params><param>", 200),
        lambda: raw("not XML", bytes(rng.getrandbits(8) for _ in range(rng.randrange(1, 400))),
                    200),
        lambda: raw("oversized body (2 MiB title)",
                    xmlrpc.client.dumps(("y" * (2 << 20),), "set_title").encode(), "refused"),
        lambda: hang_up("hang-up: half a request",
                        b"POST /RPC2 HTTP/1.1\r\nHost: x\r\nContent-Length: 500\r\n\r\n<?xml"),
        lambda: hang_up("hang-up: before the reply",
                        b"POST /RPC2 HTTP/1.1\r\nHost: x\r\nContent-Type: text/xml\r\n"
                        b"Content-Length: %d\r\n\r\n" % len(xmlrpc.client.dumps((), "get_title"))
                        + xmlrpc.client.dumps((), "get_title").encode()),
    ]
    weights = [6, 4, 4, 4] + [1] * (len(actions) - 4)
    weights[22] = 0.1  # the oversized body: big, so rarer
    while not os.path.exists(stop_path):
        if role == "probe":
            good("get_title")
            time.sleep(0.1)  # the probe's own pace, not a synchronisation
        else:
            rng.choices(actions, weights)[0]()
    with open(out_path, "w") as f:
        json.dump(stats, f)


# ------------------------------------------------------------------- the bench

class Controller:
    """The RTDE end: answers the set-up, then keeps every data byte."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 30004))
        self.listener.listen(1)
        self.conn = None
        self.chunks = []
        self.size = 0
        self.lock = threading.Lock()
        self.error = None
        threading.Thread(target=self._setup, daemon=True).start()

    def _setup(self):
        try:
            self.conn, _ = self.listener.accept()
            req = b""
            while len(req) < 24:
                req += self.conn.recv(24 - len(req))
            if req != b"\x00\x18Iexternal_force_torque":
                self.error = "unexpected set-up request %r" % req
            self.conn.sendall(b"\x00\x0cI\x01VECTOR6D")
        except OSError as e:
            self.error = "set-up: %r" % e

    def drain_now(self):
        """Everything the daemon has sent so far (loopback delivers at send time)."""
        self.conn.setblocking(False)
        try:
            while True:
                d = self.conn.recv(1 << 16)
                if not d:
                    break
                self._keep(d)
        except BlockingIOError:
            pass
        self.conn.setblocking(True)

    def _keep(self, d):
        with self.lock:
            self.chunks.append(d)
            self.size += len(d)

    def start_reading(self):
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        while True:
            try:
                d = self.conn.recv(1 << 16)
            except OSError:
                return
            if not d:
                return
            self._keep(d)

    def data(self):
        with self.lock:
            return b"".join(self.chunks)


class StderrWatch:
    """Counts a message in the daemon's stderr as it grows."""

    def __init__(self, path):
        self.path, self.offset, self.count, self.tail = path, 0, 0, b""

    def update(self):
        with open(self.path, "rb") as f:
            f.seek(self.offset)
            new = f.read()
        self.offset += len(new)
        text = self.tail + new
        lines = text.split(b"\n")
        self.tail = lines.pop()
        self.count += sum(1 for l in lines if l == SYNCED_READ_FAILED.encode())
        return self.count

    def wait_for(self, count, daemon, timeout):
        deadline = time.monotonic() + timeout
        while self.update() < count:
            if daemon.poll() is not None:
                raise AssertionError("the daemon died (status %s)" % daemon.poll())
            if time.monotonic() > deadline:
                raise AssertionError("the daemon reported %d synced-read failures, expected %d"
                                     % (self.count, count))
            time.sleep(0.005)
        if self.count > count:
            raise AssertionError("the daemon reported %d synced-read failures, expected %d "
                                 "(a read timed out where the line had no silence)"
                                 % (self.count, count))


class Pty:
    def __init__(self):
        self.master, self.slave, self.path = sim.open_raw_pty()
        self.rx = bytearray()
        self.rx_lock = threading.Lock()

    def write_all(self, data, deadline):
        view = memoryview(data)
        while view:
            try:
                n = os.write(self.master, view[:1 << 16])
                view = view[n:]
            except BlockingIOError:
                select.select([], [self.master], [], 0.05)
            if time.monotonic() > deadline:
                raise AssertionError("the daemon stopped reading the line")

    def read_commands(self):
        """Drains what the daemon writes to the sensor (reconfiguration commands)."""
        while True:
            r, _, _ = select.select([self.master], [], [], 0.05)
            if r:
                try:
                    d = os.read(self.master, 4096)
                except (BlockingIOError, OSError):
                    continue
                with self.rx_lock:
                    self.rx += d

    def pending(self):
        buf = fcntl.ioctl(self.slave, termios.FIONREAD, b"\0\0\0\0")
        return struct.unpack("i", buf)[0]


WARM_VALUES = (1.0, 2.0, 3.0, 0.1, 0.2, 0.3)
WARM_PACKAGES = 300


def warm_fixed_point():
    """Where the filter settles on the warm-up frame, from zero, at the 50 Hz factor."""
    m = Model([0.0] * 6, filter_factor(50.0))
    frame = pack_frame(WARM_VALUES, 0, 0)
    m.feed(frame * 2)  # the first synchronises, the second is processed
    for _ in range(WARM_PACKAGES - 50):
        m.feed(frame)
    tail = m.packages[-12:]
    if list(tail[:6]) != list(tail[6:]):
        raise AssertionError("the warm-up filter does not settle")
    return list(tail[6:])


def proc_sample(pid):
    with open("/proc/%d/status" % pid) as f:
        rss = next(int(l.split()[1]) for l in f if l.startswith("VmRSS:"))
    return rss, len(os.listdir("/proc/%d/fd" % pid))


def run(args):
    from ftsim import sandbox

    seed = args.seed if args.seed is not None else random.randrange(1 << 32)
    print("soak: seed %d, %d frames, about %d s" % (seed, args.frames, args.duration), flush=True)
    rng = random.Random(seed)
    sandbox.enter()
    work = tempfile.mkdtemp(prefix="ftsoak-")
    checks = []  # (check, observed, expected, ok)

    def check(name, observed, expected, ok):
        checks.append((name, str(observed), str(expected), bool(ok)))

    # The line, the pauses and the model's predictions, before the daemon starts. The
    # warm-up repeats one frame, so the filter's state when the line begins is the fixed
    # point of its recurrence from zero, computed here with the same arithmetic.
    t0 = time.monotonic()
    model_start = warm_fixed_point()
    model = Model(model_start, filter_factor(50.0))
    plan = Plan(rng, args.frames, args.duration, model)
    if model.fatal:
        raise AssertionError(model.fatal)
    print("soak: line of %d frames (%d MB) and %d pauses built in %.1f s"
          % (plan.frames_sent, sum(len(s[1]) for s in plan.steps if s[0] == "bytes") >> 20,
             plan.pauses, time.monotonic() - t0), flush=True)

    pty = Pty()
    sandbox.link_device("ttyUSB0", pty.path)
    threading.Thread(target=pty.read_commands, daemon=True).start()
    ctl = Controller()
    daemon = sandbox.Daemon(args.daemon, cwd=work)
    daemon.start()
    t_start = time.monotonic()

    # Warm-up: frames at a gentle pace until the daemon streams, then a silence that leaves
    # it searching, with every package so far in the controller's queue.
    warm_stop = threading.Event()

    def trickle():
        i = 0
        while not warm_stop.is_set():
            try:
                os.write(pty.master, pack_frame(WARM_VALUES, 0, 1000 * i))
            except BlockingIOError:
                pass
            i += 1
            time.sleep(0.001)  # the sensor's pace

    warm = threading.Thread(target=trickle, daemon=True)
    warm.start()
    daemon.wait_stderr("Frame synced with 0xAA header", timeout=30)
    sandbox.wait_for(lambda: ctl.conn is not None and _inq(ctl.conn) >= 52 * WARM_PACKAGES, 30,
                     "warm-up packages")
    warm_stop.set()
    warm.join()
    watch = StderrWatch(daemon.stderr_path)
    sandbox.wait_for(lambda: pty.pending() == 0 and daemon.stderr().rstrip("\n").endswith(
        SYNCED_READ_FAILED), 10, "the daemon to report the end of the warm-up")
    if ctl.error:
        raise AssertionError(ctl.error)
    ctl.drain_now()
    warm_data = ctl.data()
    warm_packages = len(warm_data) // 52
    last = struct.unpack(">6d", warm_data[-48:])
    if list(last) != model_start:
        raise AssertionError("warm-up ended at %r, not at the filter's fixed point %r"
                             % (last, model_start))
    base_failed = watch.update()
    # The plan counted synced-read failures from zero; the warm-up's come first.
    plan.steps = [st if st[0] == "bytes" else st[:3] + (st[3] + base_failed,) + st[4:]
                  for st in plan.steps]
    model.msgs[SYNCED_READ_FAILED] += base_failed
    stderr_start = len(daemon.stderr().encode())
    log_start = len((daemon.log() or "").encode())

    # Load: eight clients and the probe, each a process of its own.
    stop_path = os.path.join(work, "stop")
    idle_rss, idle_fds = proc_sample(daemon.pid)
    clients = []
    for k in range(9):
        role = "probe" if k == 8 else "load"
        out = os.path.join(work, "client%d.json" % k)
        p = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--client", role,
                              "--seed", str(seed + k + 1), "--stop", stop_path, "--out", out],
                             preexec_fn=(lambda: os.nice(5)) if role == "load" else None)
        clients.append((role, p, out))

    samples = []  # (t, rss_kib, fds)
    monitor_stop = threading.Event()

    def monitor():
        while not monitor_stop.is_set() and daemon.poll() is None:
            try:
                samples.append((time.monotonic(),) + proc_sample(daemon.pid))
            except (OSError, StopIteration):
                pass
            monitor_stop.wait(1.0)  # the sampling period

    mon = threading.Thread(target=monitor, daemon=True)
    mon.start()
    ctl.start_reading()

    # Play the line: bytes at full speed, pauses once the daemon has met the silence.
    failures = []
    t_play = time.monotonic()
    bytes_steps = sum(1 for s in plan.steps if s[0] == "bytes")
    done_bytes = 0
    try:
        for step in plan.steps:
            if daemon.poll() is not None:
                raise AssertionError("the daemon died (status %s)" % daemon.poll())
            if step[0] == "bytes":
                pty.write_all(step[1], time.monotonic() + 30)
                done_bytes += 1
                continue
            _, action, params, expected_failed, expect = step
            watch.wait_for(expected_failed, daemon, 30)
            if action == "silence":
                time.sleep(params[0])  # the fault itself: a silence of this length
            elif action in ("set_bias", "set_output"):
                r = rpc(action, *params)
                if r != 0:
                    failures.append("%s answered %r" % (action, r))
            elif action == "enable_filter":
                r = rpc(action, *params)
                if r != expect:
                    failures.append("enable_filter%r answered %r, expected %r"
                                    % (params, r, expect))
            elif action == "reconfigure":
                with pty.rx_lock:
                    before = len(pty.rx)
                r = rpc("configure_sensor", params[0], timeout=10)
                if r != 0:
                    failures.append("configure_sensor answered %r" % r)
                want = b"Cf,%d,0,0,1\ns#R" % expect
                sandbox.wait_for(lambda: len(pty.rx) >= before + len(want), 5,
                                 "the reconfiguration commands")
                with pty.rx_lock:
                    got = bytes(pty.rx[before:])
                if got != want:
                    failures.append("reconfiguration sent %r, expected %r" % (got, want))
            # Spread the run over the duration: the pause lasts until the line's schedule.
            due = t_play + args.duration * done_bytes / bytes_steps
            left = due - time.monotonic()
            if left > 0:
                time.sleep(min(left, 5.0))  # pacing, bounded below the header timeout
        # The end: the last pause has been met, so every package has been sent.
        watch.wait_for(plan.steps[-1][3], daemon, 30)
        want_bytes = (warm_packages * 52) + len(model.packages) // 6 * 52
        sandbox.wait_for(lambda: ctl.size >= want_bytes and _inq(ctl.conn) == 0, 30,
                         "the predicted packages")
        freq = rpc("get_sample_freq")
    finally:
        t_end = time.monotonic()
        alive = daemon.poll() is None
        with open(stop_path, "w"):
            pass
        client_stats = []
        for role, p, out in clients:
            try:
                p.wait(30)
            except subprocess.TimeoutExpired:
                p.kill()
            try:
                with open(out) as f:
                    client_stats.append((role, json.load(f)))
            except (OSError, ValueError):
                client_stats.append((role, {"errors": ["client ended without results"],
                                            "calls": {}, "max_latency_s": None, "slow": 0,
                                            "good_calls": 0}))
        monitor_stop.set()
        mon.join(5)
        # Descriptors once the load has stopped: connections the service still holds
        # (a leak) keep the count above what it was before the load began.
        end_fds = None
        if daemon.poll() is None:
            try:
                sandbox.wait_for(lambda: proc_sample(daemon.pid)[1] <= idle_fds, 20,
                                 "the service to close its connections")
            except TimeoutError:
                pass
            end_fds = proc_sample(daemon.pid)[1]

    # ---- judgement
    stderr = daemon.stderr().encode()[stderr_start:].decode("utf-8", "replace").splitlines()
    log = (daemon.log() or "").encode()[log_start:].decode("utf-8", "replace").splitlines()
    daemon.kill()

    data = ctl.data()
    n_pk = (len(data) - warm_packages * 52) // 52
    torn = (len(data) - warm_packages * 52) % 52
    values = array.array("d")
    bad_frames = 0
    for off in range(warm_packages * 52, len(data) - 51, 52):
        if data[off:off + 4] != b"\x00\x34U\x01":
            bad_frames += 1
    for off in range(warm_packages * 52, len(data) - 51, 52):
        values.frombytes(data[off + 4:off + 52])
    if sys.byteorder == "little":
        values.byteswap()
    want = model.packages
    mismatch = None
    if values != want:
        for i in range(0, min(len(values), len(want)), 6):
            if values[i:i + 6] != want[i:i + 6]:
                after = [p for p in plan.pause_at if p[0] <= i // 6]
                mismatch = "package %d (%s): %r, model %r" % (
                    i // 6, "after pause %r" % (after[-1],) if after else "before any pause",
                    list(values[i:i + 6]), list(want[i:i + 6]))
                break

    duration = t_end - t_start
    valid_sent = plan.frames_sent - plan.injected["bad_crc"] - plan.injected["dropped"]
    check("daemon alive at the end", "alive" if alive else "dead", "alive", alive)
    check("frames on the line", plan.frames_sent, ">= %d" % args.frames,
          plan.frames_sent >= args.frames)
    check("packages (one per valid synced frame)", n_pk, len(want) // 6, n_pk == len(want) // 6)
    check("packages equal to the model's, bit for bit", "all" if mismatch is None else mismatch,
          "all", mismatch is None and n_pk == len(want) // 6)
    check("packages without a frame behind them", max(0, n_pk - len(want) // 6), 0,
          n_pk <= len(want) // 6 and mismatch is None)
    check("malformed packages", bad_frames + torn, 0, bad_frames == 0 and torn == 0)
    for msg in Model.MESSAGES:
        if msg == "Too many crc errors":
            n = sum(1 for l in stderr if l.startswith("Too many crc errors: "))
        elif msg == "Non-finite sample in frame, dropped":
            n = sum(1 for l in stderr if l == msg)
        else:
            n = stderr.count(msg)
        check("stderr: " + msg, n, model.msgs[msg] - (base_failed if msg == SYNCED_READ_FAILED
                                                       else 0),
              n == model.msgs[msg] - (base_failed if msg == SYNCED_READ_FAILED else 0))
    check("CRC errors reported vs bad CRCs injected", stderr.count("CRC error"),
          "%d injected + %d from dropped bytes" % (plan.injected["bad_crc"],
                                                 model.msgs["CRC error"] - plan.injected["bad_crc"]),
          stderr.count("CRC error") == model.msgs["CRC error"])
    n_status = sum(1 for l in log if l.startswith("Error: "))
    check("log: status word lines", n_status, model.status_lines, n_status == model.status_lines)
    n_cap = sum(1 for l in log if l.startswith("Set to desired output: "))
    check("log: desired-output captures", n_cap, model.captures, n_cap == model.captures)
    check("sample frequency at the end", freq, model.freq, freq == model.freq)
    check("the model reached every step", "yes" if not model.fatal else model.fatal, "yes",
          not model.fatal)
    check("pause actions answered as expected", "; ".join(failures) or "all", "all", not failures)

    # Clients.
    errors = [e for _, s in client_stats for e in s["errors"]]
    good_calls = sum(s["good_calls"] for _, s in client_stats)
    slow = sum(s["slow"] for _, s in client_stats)
    max_lat = max((s["max_latency_s"] or 0) for _, s in client_stats)
    probe = [s for r, s in client_stats if r == "probe"][0]
    check("probe calls answered (one per 100 ms)", probe["good_calls"], "> 0",
          probe["good_calls"] > 0 and not probe["errors"])
    check("well-formed calls over 1 s", slow, 0, slow == 0)
    check("slowest well-formed call, s", "%.3f" % max_lat, "<= 1", max_lat <= 1.0)
    check("client calls answered wrongly or not at all", len(errors),
          0, not errors)

    # Resources: first and last window.
    win = min(60.0, max(5.0, (samples[-1][0] - samples[0][0]) / 3 if samples else 5.0))
    first = [s for s in samples if s[0] - samples[0][0] <= win] if samples else []
    lastw = [s for s in samples if samples[-1][0] - s[0] <= win] if samples else []
    if first and lastw:
        rss_growth = max(s[1] for s in lastw) - max(s[1] for s in first)
        med = lambda xs: sorted(xs)[len(xs) // 2]
        check("RSS growth, first to last %.0f s window (KiB)" % win, rss_growth, "<= 1024",
              rss_growth <= 1024)
        check("descriptors, median of first/last window", "%d / %d" % (
            med([s[2] for s in first]), med([s[2] for s in lastw])), "(under load)", True)
        check("descriptors after the load vs before it", "%s / %d" % (end_fds, idle_fds),
              "growth 0", end_fds is not None and end_fds <= idle_fds)
    else:
        check("resource samples", len(samples), ">= 2", False)

    # ---- report
    calls = {}
    for role, s in client_stats:
        for k, v in s["calls"].items():
            calls[k] = calls.get(k, 0) + v
    print()
    print("Soak: %d frames in %.0f s (stream %.0f s), seed %d" % (
        plan.frames_sent, duration, t_end - t_play, seed))
    print("Injected: " + ", ".join("%s %d" % kv for kv in plan.injected.items()))
    print("Valid frames sent %d; packages %d; warm-up packages %d" % (
        valid_sent, n_pk, warm_packages))
    w = max(len(c[0]) for c in checks)
    print("%-*s  %-28s  %-28s  %s" % (w, "check", "observed", "expected", "result"))
    for name, obs, exp, ok in checks:
        print("%-*s  %-28s  %-28s  %s" % (w, name, obs[:60], exp[:60], "ok" if ok else "FAIL"))
    print()
    print("Control calls made by the clients (kind: outcome, count):")
    for k in sorted(calls):
        print("  %-52s %8d" % (k, calls[k]))
    if samples:
        print("RSS KiB first/last sample: %d / %d; descriptors: %d / %d" % (
            samples[0][1], samples[-1][1], samples[0][2], samples[-1][2]))
    for e in errors[:10]:
        print("client error:", e)
    if mismatch:
        print("first difference:", mismatch)
    ok = all(c[3] for c in checks)
    if not ok:
        print(daemon.describe()[-3000:])
    print("SOAK %s" % ("PASSED" if ok else "FAILED"))
    return 0 if ok else 1


def _inq(sock):
    buf = fcntl.ioctl(sock.fileno(), termios.FIONREAD, b"\0\0\0\0")
    return struct.unpack("i", buf)[0]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--daemon")
    ap.add_argument("--frames", type=int, default=1_000_000)
    ap.add_argument("--duration", type=float, default=180.0)
    ap.add_argument("--seed", type=int)
    ap.add_argument("--client")
    ap.add_argument("--stop")
    ap.add_argument("--out")
    a = ap.parse_args()
    if a.client:
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        client_main(a.client, a.seed, a.stop, a.out)
        return 0
    if not a.daemon:
        ap.error("--daemon PATH is needed")
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))
    return run(a)


if __name__ == "__main__":
    sys.exit(main())
