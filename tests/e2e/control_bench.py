"""Helpers for the control-service tests: an independent XML-RPC client (the
standard library's), raw HTTP requests, one streaming daemon shared by a class,
and exact matching of the controller's packages against the frames sent.
"""

import bisect
import http.client
import multiprocessing
import selectors
import socket
import struct
import threading
import time
import xmlrpc.client

import harness
from harness import ctl, sandbox, sim
from ftsim.model import filter_factor, robot_axes  # noqa: F401  for the control tests

HOST = "127.0.0.1"
PORT = 20202
URL = "http://%s:%d/RPC2" % (HOST, PORT)


# ------------------------------------------------------------------- client

class _Transport(xmlrpc.client.Transport):
    """Fresh connection per call, with a time-out, so a hung daemon fails the test."""

    def __init__(self, timeout):
        super().__init__()
        self._timeout = timeout

    def make_connection(self, host):
        conn = super().make_connection(host)
        conn.timeout = self._timeout
        return conn

    def request(self, *args, **kw):
        try:
            return super().request(*args, **kw)
        finally:
            self.close()


def proxy(timeout=10.0):
    return xmlrpc.client.ServerProxy(URL, transport=_Transport(timeout))


def wait_service(d, timeout=10.0):
    """Wait until the control service answers (it starts beside the port scan)."""
    def up():
        if not d.running():
            raise AssertionError("daemon exited\n" + d.describe())
        try:
            return proxy(2.0).get_title()
        except (ConnectionError, OSError):
            return None
    return sandbox.wait_for(up, timeout, "the control service", interval=0.02)


def method_call(name, params_xml=""):
    return ("<?xml version=\"1.0\"?><methodCall><methodName>%s</methodName><params>%s"
            "</params></methodCall>" % (name, params_xml)).encode()


def param(kind, text):
    return "<param><value><%s>%s</%s></value></param>" % (kind, text, kind)


def doubles(*texts):
    return "".join(param("double", t) for t in texts)


def raw_call(body, timeout=10.0):
    """POST body as it is; returns the decoded result or raises xmlrpc.client.Fault."""
    conn = http.client.HTTPConnection(HOST, PORT, timeout=timeout)
    try:
        conn.request("POST", "/RPC2", body, {"Content-Type": "text/xml"})
        resp = conn.getresponse()
        data = resp.read()
        if resp.status != 200:
            raise AssertionError("HTTP %d: %r" % (resp.status, data))
    finally:
        conn.close()
    (result,), _ = xmlrpc.client.loads(data)
    return result


def http_request(body, path="/RPC2"):
    return (b"POST " + path.encode() + b" HTTP/1.1\r\nHost: 127.0.0.1\r\n"
            b"Content-Type: text/xml\r\nContent-Length: %d\r\n\r\n" % len(body)) + body


def hang_up(data, reset=False, settle=0.0):
    """Connect, send data, and close without reading anything; reset=True sends RST."""
    s = socket.create_connection((HOST, PORT), timeout=5)
    try:
        if reset:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        if data:
            s.sendall(data)
        if settle:
            time.sleep(settle)
    finally:
        s.close()


class SlowClients:
    """count connections from address, each holding a half-sent request that never ends;
    one the daemon closes is opened again at once, until stop(). In a process of its own:
    reopening the refused connections keeps it busy, and as a thread it would starve the
    simulators of the interpreter."""

    def __init__(self, count, address):
        self.count, self.address = count, address
        ctx = multiprocessing.get_context("fork")
        self._opened = ctx.Value("l", 0, lock=False)
        self._stopping = ctx.Event()
        self._process = ctx.Process(target=self._run, daemon=True)
        self._process.start()

    @property
    def opened(self):
        return self._opened.value

    def stop(self):
        self._stopping.set()
        self._process.join(10)
        if self._process.is_alive():
            self._process.kill()
            self._process.join()

    def _open(self, sel):
        s = socket.socket()
        s.setblocking(False)
        s.bind((self.address, 0))
        try:
            s.connect((HOST, PORT))
        except BlockingIOError:
            pass
        sel.register(s, selectors.EVENT_WRITE, "connecting")
        self._opened.value += 1

    def _run(self):
        sel = selectors.DefaultSelector()
        for _ in range(self.count):
            self._open(sel)
        partial = (b"POST /RPC2 HTTP/1.1\r\nHost: x\r\nContent-Type: text/xml\r\n"
                   b"Content-Length: 1000\r\n\r\n<?xml version=\"1.0\"?><methodCall>")
        while not self._stopping.is_set():
            for key, _ in sel.select(0.2):
                s = key.fileobj
                try:
                    if key.data == "connecting":
                        s.send(partial)
                        sel.modify(s, selectors.EVENT_READ, "held")
                        continue
                    if s.recv(4096):
                        continue
                except OSError:
                    pass
                sel.unregister(s)
                s.close()
                self._open(sel)
        for key in list(sel.get_map().values()):
            key.fileobj.close()
        sel.close()


class Background:
    """Runs fn in a thread and keeps its result, exception and timing."""

    def __init__(self, fn, *args):
        self.result = self.error = None
        self.t_start = self.t_end = None
        self._thread = threading.Thread(target=self._run, args=(fn,) + args, daemon=True)
        self._thread.start()

    def _run(self, fn, *args):
        self.t_start = time.monotonic()
        try:
            self.result = fn(*args)
        except BaseException as e:  # handed to the test through join()
            self.error = e
        self.t_end = time.monotonic()

    def done(self):
        return not self._thread.is_alive()

    def join(self, timeout):
        self._thread.join(timeout)
        if self._thread.is_alive():
            raise TimeoutError("background call still running after %.1f s" % timeout)
        if self.error is not None:
            raise self.error
        return self.result

    @property
    def elapsed(self):
        return self.t_end - self.t_start


# ------------------------------------------------------------------- signal

class Signal:
    """The sensor's signal: the default slow sines, or a constant level when set."""

    def __init__(self):
        self.level = None

    def __call__(self, index, rate_hz):
        level = self.level
        return level if level is not None else sim.default_signal(index, rate_hz)


def minus(a, b):
    return tuple(x - y for x, y in zip(a, b))


def match_in_order(pkgs, frames, stages):
    """Check each package against the frames sent, in order, with expectation functions
    that may only move forward (stages[0] -> stages[1] -> ...). A stage of None takes
    any package (a transition whose values are not predicted) until a later one fits.

    Returns (stage index reached, package count per stage), or raises AssertionError
    naming the first package that fits no frame.
    """
    tables = []
    for fn in stages:
        t = {}
        if fn is not None:
            for i, f in enumerate(frames):
                t.setdefault(fn(robot_axes(f.values)), []).append(i)
        tables.append(t)
    stage, last, counts = 0, -1, [0] * len(stages)
    for n, p in enumerate(pkgs):
        for s in range(stage, len(stages)):
            lst = tables[s].get(tuple(p.values), ())
            k = bisect.bisect_right(lst, last)
            if k < len(lst):
                stage, last = s, lst[k]
                counts[s] += 1
                break
        else:
            if stages[stage] is None:
                counts[stage] += 1
                continue
            raise AssertionError("package %d of %d, %r, is no expected output of any later "
                                 "frame (stage %d)" % (n, len(pkgs), p.values, stage))
    return stage, counts


def arrival_times(rx_log):
    """Arrival time (ns) of each byte the sensor received, in order."""
    out = []
    for t, data in rx_log:
        out += [t] * len(data)
    return out


# ------------------------------------------------------------------ fixture

class StreamingCase(harness.BenchCase):
    """One streaming daemon for the whole class: sensor on ttyUSB0, controller,
    daemon synchronised and sending. Tests set every setting they rely on."""

    RATE = 800.0

    @classmethod
    def setUpClass(cls):
        cls.signal = Signal()
        cls.s = cls.c = cls.d = None
        try:
            cls.s = sim.SimSensor(rate_hz=cls.RATE, signal=cls.signal)
            sandbox.link_tty_usb(0, cls.s.path)
            cls.c = ctl.SimController()
            cls.d = sandbox.Daemon(harness.DAEMON).start()
            cls.c.wait_packages(50, timeout=20)
            wait_service(cls.d)
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        if cls.d:
            cls.d.cleanup()
        if cls.c:
            cls.c.stop()
        if cls.s:
            cls.s.close()

    def tearDown(self):
        super().tearDown()
        self.assertTrue(self.d.running(), "the daemon died\n" + self.d.describe())
        self.assertEqual(self.s.errors, [])
        self.assertEqual(self.c.errors, [])
        self.assertEqual(self.c.all_malformed(), [])

    # -- helpers on the shared bench

    def rpc(self, timeout=10.0):
        return proxy(timeout)

    def npkgs(self):
        return len(self.c.packages())

    def more_packages(self, count, timeout=15.0):
        """Wait for `count` packages beyond those recorded now; returns all."""
        return self.c.wait_packages(self.npkgs() + count, timeout=timeout)

    def frames_since(self, t_ns):
        return [f for f in self.s.sent_frames() if f.t_ns >= t_ns]

    def wait_latest_fits(self, fn, timeout=10.0, what="the output to follow the setting"):
        """Wait until the newest package is fn(sample) for a frame just sent: every
        later package then comes from a frame processed under the new setting."""
        def fits():
            pkgs = self.c.packages()
            if not pkgs:
                return None
            p = pkgs[-1]
            frames = self.frames_since(p.t_ns - 2_000_000_000)
            if any(fn(robot_axes(f.values)) == tuple(p.values) for f in frames):
                return len(pkgs)
            return None
        return sandbox.wait_for(fits, timeout, what)

    def stream_check(self, n_from, stages, more=150):
        """Wait for `more` packages, then match packages[n_from:] against the frames."""
        pkgs = self.more_packages(more)[n_from:]
        # The simulator logs a frame just after writing it, so the last frames processed
        # may reach the controller before they reach the log: wait until the log has
        # moved past the last package.
        sandbox.wait_for(lambda: self.s.sent_frames()[-1].t_ns > pkgs[-1].t_ns, 5,
                         "the sensor's log to catch up")
        frames = self.frames_since(pkgs[0].t_ns - 2_000_000_000)
        return match_in_order(pkgs, frames, stages)

    def filter_off_bias(self, bias):
        """Filter off, bias mode with the given values, settled."""
        r = self.rpc()
        self.assertEqual(r.enable_filter(False, 1), 0)
        self.assertEqual(r.set_bias(*bias), 0)
        self.signal.level = None
        return self.wait_latest_fits(lambda m: minus(m, bias))
