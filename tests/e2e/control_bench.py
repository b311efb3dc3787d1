"""Helpers for the control-service tests: one streaming daemon shared by a class, calls
in the background, and exact matching of the controller's packages against the frames
sent. The client side of the control port is ftsim.control.
"""

import bisect
import threading
import time

import harness
from harness import ctl, sandbox, sim
from ftsim.control import proxy, wait_service
from ftsim.model import SYNCED, SYNCED_READ_FAILED, robot_axes


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


def unexplained_syncs(stderr):
    """Synchronisations after the first that no loss of the line came before: what a pause
    for a reconfiguration leaves, as it goes back to the search without a word. A line that
    stalls (the simulator held up for 0.1 s on a loaded machine) says so first."""
    seen = lost = False
    count = 0
    for line in stderr.splitlines():
        if line == SYNCED:
            count += seen and not lost
            seen, lost = True, False
        elif line in (SYNCED_READ_FAILED, "Lost sync"):
            lost = True
    return count


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
