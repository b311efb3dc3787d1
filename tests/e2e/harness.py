"""Shared set-up for the end-to-end tests.

Each tests/e2e/test_*.py is one process: it calls `harness.main()`, which takes
`--daemon PATH` off the command line, enters the sandbox (one per process, before
any thread) and runs unittest. Test classes derive from `BenchCase`, whose
helpers create simulated sensors, links, the controller and the daemon, and
whose tearDown removes them again so cases do not see each other's leftovers.
"""

import os
import signal
import sys
import unittest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(REPO, "tools"))

from ftsim import controller as ctl  # noqa: E402
from ftsim import sandbox  # noqa: E402
from ftsim import sensor as sim  # noqa: E402

DAEMON = None


def parse_argv(argv):
    """Split `--daemon PATH` (or `--daemon=PATH`) off argv; returns (path, rest)."""
    path, rest, i = None, [], 0
    while i < len(argv):
        a = argv[i]
        if a == "--daemon":
            if i + 1 >= len(argv):
                raise SystemExit("--daemon needs a path")
            path = argv[i + 1]
            i += 2
            continue
        if a.startswith("--daemon="):
            path = a.split("=", 1)[1]
        else:
            rest.append(a)
        i += 1
    return path, rest


def main(sandboxed=True, need_daemon=True):
    global DAEMON
    DAEMON, rest = parse_argv(sys.argv)
    if need_daemon:
        if not DAEMON:
            raise SystemExit("usage: %s --daemon PATH [unittest args]" % sys.argv[0])
        DAEMON = os.path.abspath(DAEMON)
        if not os.access(DAEMON, os.X_OK):
            raise SystemExit("daemon binary %s is missing or not executable" % DAEMON)
    # Let a terminated run still kill its daemons (atexit in ftsim.sandbox).
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))
    if sandboxed:
        sandbox.enter()   # raises SandboxError: the whole file fails, nothing is skipped
    unittest.main(argv=rest)


class BenchCase(unittest.TestCase):
    """Base class: tracks what a test creates and tears it all down."""

    def setUp(self):
        if not sandbox.entered():
            raise sandbox.SandboxError("test run outside the sandbox; use harness.main()")
        self._sensors, self._controllers, self._daemons = [], [], []
        self._sim_errors = []
        sandbox.remove_all_links()

    def reset(self):
        """Tear down everything this test made so far (for tests that loop)."""
        for d in self._daemons:
            d.cleanup()
        for c in self._controllers:
            c.stop()
        for s in self._sensors:
            s.close()
        sandbox.remove_all_links()
        self._sim_errors += [e for s in self._sensors for e in s.errors]
        self._sim_errors += [e for c in self._controllers for e in c.errors]
        self._sensors, self._controllers, self._daemons = [], [], []

    def tearDown(self):
        self.reset()
        self.assertEqual(self._sim_errors, [], "simulator threads reported errors")

    # -- devices

    def sensor(self, index, mode="stream", **kw):
        """A simulated sensor linked as /dev/ttyUSB<index> (or /dev/<index> for a str)."""
        s = sim.SimSensor(mode=mode, **kw)
        self._sensors.append(s)
        self.link(index, s.path)
        return s

    def silent(self, index):
        """A device that opens but never sends a byte."""
        return self.sensor(index, mode="silent")

    def link(self, index, target):
        name = index if isinstance(index, str) else "ttyUSB%d" % index
        return sandbox.link_device(name, target)

    # -- controller

    def controller(self, replies=None, **kw):
        c = ctl.SimController(replies=replies, **kw)
        self._controllers.append(c)
        return c

    # -- daemon

    def daemon(self, start=True, prepare=None, cwd=None, args=(), stderr=None, stdout=None,
               env=None, path=None):
        d = sandbox.Daemon(path or DAEMON, prepare=prepare, cwd=cwd, args=args, stderr=stderr,
                           stdout=stdout, env=env)
        self._daemons.append(d)
        if start:
            d.start()
        return d

    def assertExitStatus(self, d, status, timeout=15.0):
        rc = d.wait_exit(timeout)
        self.assertEqual(rc, status, "unexpected exit status\n" + d.describe())
        return rc
