"""ftbridge-ctl against the real daemon in the sandbox: every sub-command, what each does to
the stream, and every exit status (0 done, 1 refused or a fault, 2 usage, 3 unreachable,
4 busy: connected but no answer in time, 5 not running)."""

import json
import math
import os
import re
import signal
import socket
import subprocess
import threading
import time
import xmlrpc.client
import xmlrpc.server

import harness
from harness import BenchCase, ctl, sandbox
from ftsim.control import proxy, wait_service

# The sensor sends these values in every frame (single-precision exact); the daemon maps
# them to the robot's axes as (y, -x, z) for forces and torques alike.
SENSOR = (1.5, -2.25, 30.0, 0.5, -0.75, 0.125)
MAPPED = (-2.25, -1.5, 30.0, -0.75, -0.5, 0.125)
# Values xmlrpc-c's decimal reader takes exactly.
BIAS = ("0.5", "-1.25", "2", "0.125", "-0.25", "1.5")
DESIRED = ("10", "-5", "20", "1", "-0.5", "0.25")


def same(a, b):
    return all(math.isclose(x, y, rel_tol=1e-12, abs_tol=1e-12) for x, y in zip(a, b))


def near(a, b):
    return len(a) == len(b) and all(math.isclose(x, y, abs_tol=1e-6) for x, y in zip(a, b))


def version():
    # The version's one source is the first entry of debian/changelog.
    with open(os.path.join(harness.REPO, "debian", "changelog")) as f:
        return re.match(r"ftbridge \(([^)]+)\)", f.read()).group(1)


class Lines:
    """The lines a process writes to fd, gathered by a thread, so waits can time out."""

    def __init__(self, fd):
        self.lines, self._buf = [], b""
        self._fd = fd
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        while True:
            try:
                data = os.read(self._fd, 4096)
            except OSError:
                return
            if not data:
                return
            self._buf += data
            *done, self._buf = self._buf.split(b"\n")
            self.lines += [l.decode() for l in done]

    def wait(self, count, timeout=10):
        sandbox.wait_for(lambda: len(self.lines) >= count, timeout, "%d lines" % count)
        return self.lines[:count]


class CtlCase(BenchCase):
    def setUp(self):
        super().setUp()
        self.exe = os.path.join(os.path.dirname(harness.DAEMON), "ftbridge-ctl")

    def run_ctl(self, *args, status=0):
        r = subprocess.run([self.exe, *args], capture_output=True, text=True, timeout=30)
        self.assertEqual(r.returncode, status, "ftbridge-ctl %s\nstdout: %s\nstderr: %s"
                         % (" ".join(args), r.stdout, r.stderr))
        return r

    def stream(self):
        self.s = self.sensor(0, signal=lambda i, rate: SENSOR)
        self.c = self.controller([ctl.ok()])
        self.d = self.daemon()
        self.c.wait_packages(50, timeout=15)
        # The service listens from its own thread, which under load may come after the stream.
        wait_service(self.d)

    def wait_values(self, values, what):
        """Wait until the controller receives a package carrying values."""
        def seen():
            p = self.c.packages()[-1]
            return p.values is not None and same(p.values, values)
        sandbox.wait_for(seen, 5, what)


class Streaming(CtlCase):
    def test_reading_commands(self):
        self.stream()
        r = self.run_ctl("--help")
        self.assertIn("usage: ftbridge-ctl", r.stdout)
        for cmd in ("set-bias", "set-output", "filter", "configure", "freq", "running", "status",
                    "stats", "wrench", "settings", "watch", "exit status"):
            self.assertIn(cmd, r.stdout)
        self.assertEqual(self.run_ctl("title").stdout, "Vandrel (C++)\n")
        # A stall of the simulated line stops the stream for a moment: the readings that
        # depend on it are waited for, and the totals lie between the daemon's own.
        sandbox.wait_for(lambda: self.run_ctl("running").stdout == "true\n", 5, "running")
        sandbox.wait_for(lambda: self.run_ctl("freq").stdout == "800.000\n", 5, "800 Hz")
        sandbox.wait_for(
            lambda: self.run_ctl("--host", "127.0.0.1", "--port", "20202", "status").stdout
            == "title: Vandrel (C++); running: yes; sample frequency: 800.0 Hz\n", 5, "status")

        t0 = time.monotonic()
        first = proxy().get_statistics()
        stats = dict(l.split(None, 1) for l in self.run_ctl("stats").stdout.splitlines())
        last = proxy().get_statistics()
        t1 = time.monotonic()
        self.assertEqual(list(stats), ["frames", "packages", "crc_errors", "lost_sync",
                                       "synchronisations", "non_finite", "read_failures",
                                       "reconfigurations", "skipped_packages", "lines_dropped",
                                       "lines_left_out", "uptime_s", "seconds_since_package"])
        self.assertGreaterEqual(int(stats["frames"]), int(stats["packages"]))
        self.assertGreaterEqual(int(stats["packages"]), 50)
        for k in ("crc_errors", "synchronisations", "reconfigurations"):
            self.assertTrue(first[k] <= int(stats[k]) <= last[k], (k, stats, first, last))
        # The age read in between: no older than the first's then, no younger than the last's.
        age = float(stats["seconds_since_package"])
        self.assertLessEqual(age, first["seconds_since_package"] + (t1 - t0) + 0.01)
        self.assertGreaterEqual(age, last["seconds_since_package"] - (t1 - t0) - 0.01)
        # The default filter has long settled on the constant sample.
        self.assertTrue(near([float(v) for v in self.run_ctl("wrench").stdout.split()], MAPPED))
        self.assertEqual(self.run_ctl("settings").stdout,
                         "bias_active      false\n"
                         "output_active    false\n"
                         "filter_enabled   true\n"
                         "filter_type      0\n"
                         "cutoff_hz        50\n"
                         "configuring      false\n"
                         "bias             0 0 0 0 0 0\n"
                         "desired_output   0 0 0 0 0 0\n"
                         "port             /dev/ttyUSB0\n"
                         "recipe_id        1\n")

        # --json: one object each, the getters' members under their own names.
        def as_json(*args):
            return json.loads(self.run_ctl("--json", *args).stdout)
        rpc = proxy()
        self.assertEqual(as_json("settings"), rpc.get_settings())
        first = rpc.get_statistics()
        stats, now = as_json("stats"), rpc.get_statistics()
        self.assertEqual(stats.keys(), now.keys())
        for k in ("packages", "crc_errors", "synchronisations"):
            self.assertTrue(first[k] <= stats[k] <= now[k], (k, stats, first, now))
        self.assertTrue(near(as_json("wrench")["wrench"], rpc.get_wrench()))
        sandbox.wait_for(lambda: as_json("running") == {"running": True}, 5, "running")
        # Control characters, quotes and a backslash escaped; UTF-8 passed through.
        self.run_ctl("set-title", 'tab\tline\n"q" \\ é')
        sandbox.wait_for(lambda: as_json("status") == {"title": rpc.get_title(), "running": True,
                                                       "sample_freq_hz": 800.0}, 5, "status")

    def test_option_forms_and_exit_statuses(self):
        self.stream()
        # Takes connections and never answers them: a daemon too busy to reply.
        mute = socket.socket()
        mute.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        mute.bind(("127.0.0.1", 20298))
        mute.listen(64)
        self.addCleanup(mute.close)
        rows = (
            (["-h"], 0, r"^usage: ftbridge-ctl .*exit status:.* 4 ", "stdout"),
            (["--help"], 0, r"^usage: ftbridge-ctl ", "stdout"),
            (["-V"], 0, r"^ftbridge-ctl %s\n$" % re.escape(version()), "stdout"),
            (["--version"], 0, r"^ftbridge-ctl %s\n$" % re.escape(version()), "stdout"),
            (["--host=127.0.0.1", "--port=20202", "title"], 0, r"^Vandrel \(C\+\+\)\n$", "stdout"),
            (["--host", "localhost", "--port", "20202", "--timeout", "5", "running"], 0,
             r"^true\n$", "stdout"),
            (["--timeout=0.5", "freq"], 0, r"^800\.000\n$", "stdout"),
            (["--port", "20203", "title"], 3,
             r"^ftbridge-ctl: cannot reach 127\.0\.0\.1:20203: connection refused\n$", "stderr"),
            (["-v", "--port", "20203", "title"], 3,
             r"connection refused\nftbridge-ctl: the transport library said: \S", "stderr"),
            (["--host", "::1", "title"], 3, r"^ftbridge-ctl: cannot reach \[::1\]:20202: [a-z ]+\n$",
             "stderr"),
            (["--json", "running"], 0, r'^\{"running": true\}\n$', "stdout"),
            (["--json", "title"], 2, r"--json goes with status, running", "stderr"),
            (["--port=20298", "--timeout", "0.5", "title"], 4,
             r"^ftbridge-ctl: daemon busy: no answer within 0\.5 s", "stderr"),
            (["--port", "20298", "--timeout=0.3", "settings"], 4, r"no answer within 0\.3 s",
             "stderr"),
            (["--port", "20298"], 2, r"no command given", "stderr"),
        )
        for args, status, pattern, stream in rows:
            with self.subTest(args=args):
                t0 = time.monotonic()
                r = self.run_ctl(*args, status=status)
                self.assertRegex(getattr(r, stream), re.compile(pattern, re.S))
                self.assertLess(time.monotonic() - t0, 5.0, "the timeout was not kept")

    def test_watch(self):
        self.stream()
        # --csv: a header and one row of totals per interval; Ctrl-C ends it with status 0.
        first = proxy().get_statistics()
        p = subprocess.Popen([self.exe, "watch", "--csv", "--interval", "0.5"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        out = Lines(p.stdout.fileno())
        header, *rows = out.wait(5)
        # A late reading is followed at once by the next: the totals move over some rows.
        def packages(line):
            return float(line.split(",")[3])
        sandbox.wait_for(lambda: packages(out.lines[-1]) > packages(rows[0]), 10,
                         "a row with more packages")
        p.send_signal(signal.SIGINT)
        _, err = p.communicate(timeout=10)
        last = proxy().get_statistics()
        self.assertEqual(p.returncode, 0, err)
        self.assertEqual(header, "time_s,sample_freq_hz,frames,packages,crc_errors,lost_sync,"
                         "synchronisations,non_finite,read_failures,reconfigurations,"
                         "skipped_packages,lines_dropped,lines_left_out,fx,fy,fz,tx,ty,tz")
        table = [[float(x) for x in r.split(",")] for r in rows]
        # Row k is due 0.5 s * k from the start and stamped once its reading came back, which
        # under load may take a while: never early, and less than an interval late.
        for k, row in enumerate(table):
            self.assertGreaterEqual(row[0], 0.5 * k)
            self.assertLess(row[0], 0.5 * k + 0.5)
        for before, row in zip(table, table[1:]):
            self.assertGreaterEqual(row[3], before[3])     # packages
        # Each total is the daemon's under its name: between its values before and after
        # (the same unless a stall of the simulated line made the stream sync again).
        counters = header.split(",")[2:13]
        for row in table:
            self.assertEqual(len(row), 19)
            self.assertEqual(row[1], 800.0)
            for name, value in zip(counters, row[2:13]):
                self.assertTrue(first[name] <= value <= last[name], (name, value, first, last))
            self.assertTrue(near(row[13:], MAPPED), row)

        # On a terminal: one line, redrawn in place.
        master, slave = os.openpty()
        p = subprocess.Popen([self.exe, "watch", "--interval", "0.2"], stdout=slave,
                             stderr=subprocess.PIPE)
        os.close(slave)
        screen = b""
        while screen.count(b"\r") < 3:
            screen += os.read(master, 4096)
        p.send_signal(signal.SIGINT)
        _, err = p.communicate(timeout=10)
        os.close(master)
        self.assertEqual(p.returncode, 0, err)
        self.assertNotIn(b"\n", screen.rstrip(b"\r\n"))
        # Whether it runs at that moment is the line's (a stall of the simulator stops it).
        self.assertRegex(screen, rb"^\rrunning (yes|no )  800\.0 Hz  - packages/s")

        # Piped: one line per interval; the daemon gone, it says so with status 3.
        p = subprocess.Popen([self.exe, "watch", "--interval", "0.2"], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
        out = Lines(p.stdout.fileno())
        line = sandbox.wait_for(lambda: next((l for l in out.lines[1:]
                                              if l.startswith("running yes")), None),
                                10, "a line that says the stream runs")
        self.assertRegex(line, r"^running yes  800\.0 Hz  \d+\.\d packages/s  0\.0 CRC errors/s  \d+\.\d skipped/s  "
                         r"(-?\d+\.\d{3} ){5}-?\d+\.\d{3}$")
        self.assertTrue(near([float(v) for v in line.split()[-6:]], MAPPED), line)
        self.d.interrupt()
        self.assertExitStatus(self.d, 2)
        _, err = p.communicate(timeout=10)
        self.assertEqual(p.returncode, 3, err)
        self.assertRegex(err, rb"^ftbridge-ctl: 127\.0\.0\.1:20202 went away: [a-zA-Z]")

    def test_filter_off_keeps_the_type_and_cutoff(self):
        self.stream()

        def filter_settings():
            s = proxy().get_settings()
            return s["filter_enabled"], s["filter_type"], s["cutoff_hz"]
        self.run_ctl("filter", "on", "3")
        self.run_ctl("filter", "off")
        self.assertEqual(filter_settings(), (False, 3, 25.0))
        self.wait_values(MAPPED, "the unfiltered sample")
        r = self.run_ctl("filter", "on", "9", status=1)
        self.assertIn("filter type 9 is not one of 1..4: filter switched on and type 9 stored, "
                      "cut-off kept at 25 Hz", r.stderr)
        self.assertEqual(filter_settings(), (True, 9, 25.0))
        # The stored type is not one of 1..4, yet this is what was asked for: status 0.
        self.assertEqual(self.run_ctl("filter", "off").stderr, "")
        self.assertEqual(filter_settings(), (False, 9, 25.0))

    def test_setting_commands_act_on_the_stream(self):
        self.stream()
        self.assertEqual(self.run_ctl("set-title", "Zelle 3").stdout, "Zelle 3\n")
        self.assertEqual(self.run_ctl("title").stdout, "Zelle 3 (C++)\n")

        # Filter off: each package is its frame's sample, so the offsets show exactly.
        self.assertEqual(self.run_ctl("filter", "off", "1").stdout, "")
        self.wait_values(MAPPED, "the unfiltered sample")
        self.run_ctl("set-bias", *BIAS)
        self.wait_values([m - float(b) for m, b in zip(MAPPED, BIAS)], "the biased sample")
        self.run_ctl("set-output", *DESIRED)
        # The signal is constant, so the captured reference is the sample itself.
        self.wait_values([float(v) for v in DESIRED], "the desired output")
        log = self.d.log()
        self.assertIn("Set to desired output: 10 -5 20 1 -0.5 0.25\n", log)

        # Filter on with a type: the cut-off of that type, and a result of 0.
        self.run_ctl("filter", "on", "3")
        r = self.run_ctl("filter", "on", "9", status=1)
        self.assertIn("not one of 1..4", r.stderr)
        r = self.run_ctl("filter", "off", "0", status=1)
        self.assertIn("filter switched off", r.stderr)
        self.wait_values([float(v) for v in DESIRED], "the unfiltered output again")

    def test_configure_sends_the_sensor_its_commands(self):
        self.stream()
        self.run_ctl("filter", "off", "1")
        r = self.run_ctl("configure", "250")
        self.assertEqual(r.stdout,
                         "sent the sensor f,190,0,0,1: command number 190 for 250 samples/s\n")
        self.s.wait_received(b"Cf,190,0,0,1\ns#R", timeout=5)
        self.run_ctl("filter", "on", "1")
        r = self.run_ctl("configure", "1e3")
        self.assertIn("sent the sensor f,59,0,0,1: command number 59,", r.stdout)
        self.assertIn("with the filter on, the rate 1000 does not change it", r.stdout)
        self.s.wait_received(b"Cf,190,0,0,1\ns#RCf,59,0,0,1\ns#R", timeout=5)
        self.assertEqual(self.s.received(), b"Cf,190,0,0,1\ns#RCf,59,0,0,1\ns#R")
        self.c.wait_packages(len(self.c.packages()) + 50, timeout=10)

        # Queued behind a reconfiguration under way, a call is taken but not answered in
        # time: status 4, not "cannot reach". The daemon still carries it out afterwards.
        first = threading.Thread(target=lambda: proxy(15).configure_sensor(500.0))
        first.start()
        sandbox.wait_for(lambda: proxy().get_settings()["configuring"], 5, "the first sequence")
        r = self.run_ctl("--timeout", "1", "configure", "500", status=4)
        self.assertIn("ftbridge-ctl: daemon busy: no answer within 1 s", r.stderr)
        self.assertEqual(r.stdout, "")
        first.join(15)
        self.s.wait_received(b"Cf,190,0,0,1\ns#R" + b"Cf,59,0,0,1\ns#R" * 3, timeout=10)
        sandbox.wait_for(lambda: proxy().get_statistics()["reconfigurations"] == 4, 5,
                         "four completed sequences")

    def test_usage_errors_change_nothing(self):
        self.stream()
        for args in ([], ["bogus"], ["-x"], ["--bogus", "title"], ["--port"], ["--port", "0", "title"],
                     ["--port", "65536", "title"], ["--port", "x", "title"], ["title", "extra"],
                     ["set-title"], ["set-title", "a", "b"],
                     ["set-bias", "1", "2", "3", "4", "5"], ["set-bias", *BIAS, "7"],
                     ["set-bias", "1", "2", "3", "4", "5", "nan"],
                     ["set-output", "1", "2", "3", "4", "5", "inf"],
                     ["set-output", "1", "2", "3", "4", "5", "1,5"],
                     ["set-bias", "1", "2", "3", "4", "5", ""],
                     ["filter", "on"], ["filter", "maybe", "1"], ["filter", "on", "x"],
                     ["filter", "on", "1.5"], ["filter", "on", "4294967297"],
                     ["configure"], ["configure", "fast"], ["configure", "1e400"],
                     ["freq", "1"], ["running", "1"], ["status", "1"], ["stats", "1"],
                     ["wrench", "x"], ["settings", "1"], ["filter"], ["filter", "off", "1", "2"],
                     ["watch", "--interval", "0"], ["watch", "--interval"], ["watch", "--bogus"],
                     ["watch", "1"], ["--timeout", "0", "title"], ["--timeout", "x", "title"],
                     ["--host=", "title"], ["--port=", "title"], ["title", "--port", "20202"]):
            r = self.run_ctl(*args, status=2)
            self.assertIn("ftbridge-ctl", r.stderr, args)
        self.assertEqual(self.run_ctl("title").stdout, "Vandrel (C++)\n")
        self.assertEqual(self.s.received(), b"")
        self.assertFalse(any("Set to desired output" in l for l in self.d.log().splitlines()))
        # Still the default filtered stream of the constant sample: no offset was applied.
        self.assertTrue(all(math.isclose(x, y, abs_tol=1e-6)
                            for x, y in zip(self.c.packages()[-1].values, MAPPED)))


    def test_a_fault_from_the_daemon_is_status_1(self):
        # A control character cannot travel in XML: the daemon's service answers with a fault.
        self.stream()
        r = self.run_ctl("set-title", "bell\x07", status=1)
        self.assertIn("set_title refused", r.stderr)
        self.assertEqual(self.run_ctl("title").stdout, "Vandrel (C++)\n")


class Refusals(CtlCase):
    def test_configure_before_the_port_is_open_is_refused(self):
        self.sensor(0, mode="silent")
        self.controller([ctl.ok()])
        d = self.daemon()
        d.wait_stderr("Opened port /dev/ttyUSB0 and check for valid frame\n")
        wait_service(d)
        r = self.run_ctl("configure", "250", status=1)
        self.assertIn("not open yet", r.stderr)
        self.assertEqual(self.run_ctl("running", status=5).stdout, "false\n")
        self.assertEqual(json.loads(self.run_ctl("--json", "running", status=5).stdout),
                         {"running": False})
        self.assertEqual(self.run_ctl("status").stdout, "title: Vandrel (C++); not running\n")
        self.assertEqual(json.loads(self.run_ctl("--json", "status").stdout),
                         {"title": "Vandrel (C++)", "running": False, "sample_freq_hz": None})
        self.assertEqual(self.run_ctl("freq").stdout, "0.000\n")

    def test_a_fault_from_the_service_is_status_1(self):
        """A fault answer, and a reply of the wrong type, from a stand-in service."""
        server = xmlrpc.server.SimpleXMLRPCServer(("127.0.0.1", 20299), logRequests=False)

        def get_title():
            raise xmlrpc.server.Fault(7, "no title here")
        server.register_function(get_title)
        server.register_function(lambda: "fast", "get_sample_freq")
        t = threading.Thread(target=server.serve_forever, daemon=True)
        t.start()
        try:
            r = self.run_ctl("--port", "20299", "title", status=1)
            self.assertIn("get_title refused: no title here (fault 7)", r.stderr)
            r = self.run_ctl("--port", "20299", "freq", status=1)
            self.assertIn("unexpected reply", r.stderr)
        finally:
            server.shutdown()
            server.server_close()

    def test_unreachable_is_status_3(self):
        for args in (["title"], ["--port", "20203", "freq"], ["--host", "127.0.0.9", "running"],
                     ["set-bias", *BIAS], ["configure", "250"]):
            r = self.run_ctl(*args, status=3)
            self.assertRegex(r.stderr, r"^ftbridge-ctl: cannot reach 127\.0\.0\.\d:2020\d: "
                             r"connection refused\n$")
        # And once the daemon has gone.
        self.sensor(0)
        c = self.controller([ctl.ok()])
        d = self.daemon()
        c.wait_packages(10, timeout=15)
        wait_service(d)
        self.run_ctl("title")
        d.interrupt()
        self.assertExitStatus(d, 2)
        self.run_ctl("title", status=3)


if __name__ == "__main__":
    harness.main()
