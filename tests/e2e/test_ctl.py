"""ftbridge-ctl against the real daemon in the sandbox: every sub-command, what each does to
the stream, and every exit status (0 done, 1 refused or a fault, 2 usage, 3 unreachable)."""

import math
import os
import subprocess
import threading
import xmlrpc.server

import harness
from harness import BenchCase, ctl, sandbox

# The sensor sends these values in every frame (single-precision exact); the daemon maps
# them to the robot's axes as (y, -x, z) for forces and torques alike.
SENSOR = (1.5, -2.25, 30.0, 0.5, -0.75, 0.125)
MAPPED = (-2.25, -1.5, 30.0, -0.75, -0.5, 0.125)
# Values xmlrpc-c's decimal reader takes exactly.
BIAS = ("0.5", "-1.25", "2", "0.125", "-0.25", "1.5")
DESIRED = ("10", "-5", "20", "1", "-0.5", "0.25")


def same(a, b):
    return all(math.isclose(x, y, rel_tol=1e-12, abs_tol=1e-12) for x, y in zip(a, b))


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
        for cmd in ("set-bias", "set-output", "filter", "configure", "freq", "running", "status"):
            self.assertIn(cmd, r.stdout)
        self.assertEqual(self.run_ctl("title").stdout, "Vandrel (C++)\n")
        self.assertEqual(self.run_ctl("running").stdout, "true\n")
        sandbox.wait_for(lambda: self.run_ctl("freq").stdout == "800.000\n", 5, "800 Hz")
        self.assertEqual(self.run_ctl("--host", "127.0.0.1", "--port", "20202", "status").stdout,
                         "title: Vandrel (C++); running: yes; sample frequency: 800.0 Hz\n")

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
        self.run_ctl("configure", "250")
        self.s.wait_received(b"Cf,190,0,0,1\ns#R", timeout=5)
        self.run_ctl("filter", "on", "1")
        self.run_ctl("configure", "1e3")
        self.s.wait_received(b"Cf,190,0,0,1\ns#RCf,59,0,0,1\ns#R", timeout=5)
        self.assertEqual(self.s.received(), b"Cf,190,0,0,1\ns#RCf,59,0,0,1\ns#R")
        self.c.wait_packages(len(self.c.packages()) + 50, timeout=10)

    def test_usage_errors_change_nothing(self):
        self.stream()
        for args in ([], ["bogus"], ["-h"], ["--bogus", "title"], ["--port"], ["--port", "0", "title"],
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
                     ["freq", "1"], ["running", "1"], ["status", "1"]):
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
        r = self.run_ctl("configure", "250", status=1)
        self.assertIn("not open yet", r.stderr)
        self.assertEqual(self.run_ctl("running").stdout, "false\n")
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
            self.assertIn("cannot reach ftbridge", r.stderr)
        # And once the daemon has gone.
        self.sensor(0)
        c = self.controller([ctl.ok()])
        d = self.daemon()
        c.wait_packages(10, timeout=15)
        self.run_ctl("title")
        d.interrupt()
        self.assertExitStatus(d, 2)
        self.run_ctl("title", status=3)


if __name__ == "__main__":
    harness.main()
