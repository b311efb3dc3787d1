"""The XML-RPC control service of the real daemon, through the standard library's
client, while the daemon streams: every method, refused calls, and what each
setting does to the packages the controller receives.

Run: python3 tests/e2e/test_control.py --daemon build/ftbridge
"""

import time
import xmlrpc.client

import harness
from harness import ctl, sandbox, sim
from control_bench import Background, StreamingCase, arrival_times, minus, unexplained_syncs
from ftsim.control import doubles, method_call, proxy, raw_call, wait_service
from ftsim.model import filter_factor, robot_axes

SYNCED = "Frame synced with 0xAA header\n"
COUNTERS = ["frames", "packages", "crc_errors", "lost_sync", "synchronisations", "non_finite",
            "read_failures", "reconfigurations", "skipped_packages", "lines_dropped",
            "lines_left_out"]
Fault = xmlrpc.client.Fault

LEVEL_A = (1.5, -2.25, 30.0, 0.5, -0.75, 0.125)
LEVEL_B = (11.5, 4.0, -10.0, 2.5, 1.25, -0.5)
ZERO = (0.0,) * 6
# Bias values are compared bit for bit, so they are ones that xmlrpc-c 1.33 reads
# exactly: its decimal reader is not correctly rounded ("0.75" comes out one unit
# in the last place high).
BIAS_0 = (0.5, -1.25, 2.0, 0.125, -0.25, 1.5)
BIAS_1 = (-3.0, 7.5, 19.0, -0.5, 4.0, 6.5)


class Methods(StreamingCase):
    def test_title_round_trips(self):
        r = self.rpc()
        self.assertEqual(r.set_title("abc"), "abc")
        self.assertEqual(r.get_title(), "abc (C++)")
        self.assertEqual(r.set_title(""), "")
        self.assertEqual(r.get_title(), "No title set (C++)")
        text = "Zelle 3 <links> & \"rechts\" \u00e4\u00df"
        self.assertEqual(r.set_title(text), text)
        self.assertEqual(r.get_title(), text + " (C++)")

    def test_title_under_concurrent_calls(self):
        # Calls run in threads of their own: a reader must see one whole title or
        # another, never a mixture.
        titles = ["a" * 5000, "b" * 17, "c" * 40000, ""]
        allowed = {t + " (C++)" for t in titles if t} | {"No title set (C++)"}

        def writer(t):
            r = proxy()
            return all(r.set_title(t) == t for _ in range(30))

        def reader():
            r = proxy()
            return [r.get_title() for _ in range(60)]

        calls = [Background(writer, t) for t in titles] + [Background(reader) for _ in range(3)]
        results = [c.join(60) for c in calls]
        self.assertEqual(results[:len(titles)], [True] * len(titles))
        for seen in results[len(titles):]:
            self.assertLessEqual(set(seen), allowed)
        self.assertIn(self.rpc().get_title(), allowed)

    def test_running_and_sample_frequency(self):
        r = self.rpc()
        self.assertIs(r.is_running(), True)
        readings = []

        def exact():
            v = r.get_sample_freq()
            readings.append(v)
            return abs(v - self.RATE) < 1e-9

        sandbox.wait_for(exact, 5, "a reading of the simulated rate")
        for _ in range(10):
            readings.append(r.get_sample_freq())
        # The simulator's timestamps are multiples of its 1250 us period, so every
        # reading is 800 Hz divided by a whole number of periods.
        for v in readings:
            self.assertIsInstance(v, float)
            periods = 1e6 / v / 1250.0
            self.assertAlmostEqual(periods, round(periods), places=6, msg=readings)
            self.assertGreaterEqual(round(periods), 1)

    def test_unknown_method_is_a_fault(self):
        r = self.rpc()
        with self.assertRaises(Fault):
            r.no_such_method()
        with self.assertRaises(Fault):
            r.Get_Title()
        self.assertIs(r.is_running(), True)

    def _converge(self, target, tol=1e-9, timeout=10):
        def near():
            p = self.c.packages()[-1].values
            return all(abs(a - b) <= tol for a, b in zip(p, target))
        sandbox.wait_for(near, timeout, "the output to settle at %r" % (target,))

    def _step_ratios(self, start, end):
        """Step the constant input from start to end; return the ratios of successive
        output changes, which a first-order filter keeps at 1 - alpha."""
        self.signal.level = start
        self._converge(robot_axes(start))
        before = robot_axes(start)
        n0 = self.npkgs()
        self.signal.level = end

        # The step shows where it shows: packages sent before it may still wait in the
        # controller's socket, hundreds of them if the simulator is held up.
        def first_moved():
            pkgs = self.c.packages()
            return next((i for i in range(n0, len(pkgs))
                         if any(abs(a - b) > 1e-4 for a, b in zip(pkgs[i].values, before))), 0)
        i = sandbox.wait_for(first_moved, 15, "the step to reach the output")
        pkgs = self.c.wait_packages(i + 300)[i - 1:]
        ratios = []
        for k in range(6):
            d = [b.values[k] - a.values[k] for a, b in zip(pkgs, pkgs[1:])]
            ratios += [y / x for x, y in zip(d, d[1:]) if abs(x) > 1e-4 and abs(y) > 1e-4]
        self.assertGreater(len(ratios), 20)
        return ratios

    def _assert_cutoff(self, cutoff, start, end):
        expected = 1 - filter_factor(cutoff)
        for q in self._step_ratios(start, end):
            self.assertAlmostEqual(q, expected, delta=1e-5,
                                   msg="cut-off %s Hz: ratio %r, expected %r"
                                   % (cutoff, q, expected))

    def test_enable_filter_reaches_the_stream(self):
        # The table of types and cut-offs is checked on the shared state (sensor_state_test),
        # the factor of each cut-off in wrench_test; here one type goes through the wire and
        # the real stream, and a type outside 1..4 keeps that cut-off.
        r = self.rpc()
        self.assertEqual(r.set_bias(*ZERO), 0)
        self.assertEqual(r.enable_filter(True, 3), 0)
        self._assert_cutoff(25.0, LEVEL_A, LEVEL_B)
        self.assertEqual(r.enable_filter(True, -1), 1)
        self._assert_cutoff(25.0, LEVEL_B, LEVEL_A)

    def test_filter_off_sends_each_frames_sample(self):
        r = self.rpc()
        self.assertEqual(r.set_bias(*ZERO), 0)
        self.assertEqual(r.enable_filter(True, 4), 0)
        self.signal.level = None
        n0 = self.npkgs()
        self.assertEqual(r.enable_filter(False, 4), 0)
        # Filtered packages first, then from one package on each carries its frame's
        # sample exactly.
        stage, counts = self.stream_check(n0, [None, lambda m: m], more=300)
        self.assertEqual(stage, 1)
        self.assertGreater(counts[1], 200)

    def test_set_bias_subtracts_the_bias(self):
        b0, b1 = BIAS_0, BIAS_1
        self.filter_off_bias(b0)
        n0 = self.npkgs()
        self.assertEqual(self.rpc().set_bias(*b1), 0)
        stage, counts = self.stream_check(
            n0, [lambda m: minus(m, b0), lambda m: minus(m, b1)], more=300)
        self.assertEqual(stage, 1)
        self.assertGreater(counts[1], 200)

    def test_set_output_captures_and_moves_to_the_desired_values(self):
        desired = (1.5, -2.0, 3.25, 0.125, -0.5, 100.0)
        r = self.rpc()
        self.assertEqual(r.enable_filter(False, 1), 0)
        self.assertEqual(r.set_bias(*ZERO), 0)
        self.signal.level = LEVEL_A
        self._converge(robot_axes(LEVEL_A), tol=0)
        self.more_packages(300)   # the smoothed copy of the input settles as well
        log0 = len(self.d.log())

        self.assertEqual(r.set_output(*desired), 0)
        self.d.wait_log("Offset: ", timeout=5)
        n0 = self.npkgs()
        new = self.d.log()[log0:].splitlines()
        self.assertEqual(new[0], "Set to desired output: 1.5 -2 3.25 0.125 -0.5 100", new)
        self.assertTrue(new[1].startswith("Offset: "), new)
        offset = [float(x) for x in new[1][len("Offset: "):].split(" ")]
        self.assertEqual(len(offset), 6, new)
        for got, want in zip(offset, robot_axes(LEVEL_A)):
            self.assertAlmostEqual(got, want, delta=1e-5 * max(1.0, abs(want)), msg=new[1])

        # Right after the capture the output reads the desired values... Packages sent
        # before it may still be on their way when the log line is read: they carry the
        # old level, and only lead.
        after = [p.values for p in self.more_packages(50)[n0:]]
        old = robot_axes(LEVEL_A)
        while after and all(abs(g - w) <= 1e-5 * max(1.0, abs(w)) for g, w in zip(after[0], old)):
            after.pop(0)
        self.assertTrue(after, "no package after the capture")
        for values in after:
            for got, want in zip(values, desired):
                self.assertAlmostEqual(got, want, delta=1e-9)
        # ... and follows the changes of the signal from there.
        n1 = self.npkgs()
        self.signal.level = LEVEL_B
        moved = [d + b - a for d, a, b in zip(desired, robot_axes(LEVEL_A), robot_axes(LEVEL_B))]
        self._converge(moved, tol=1e-9)
        for p in self.c.packages()[n1:]:
            self.assertTrue(all(abs(g - w) <= 1e-9 for g, w in zip(p.values, desired))
                            or all(abs(g - w) <= 1e-9 for g, w in zip(p.values, moved)), p)
        self.assertEqual(self.d.log().count("Set to desired output: "), 1 + self.d.log()[:log0]
                         .count("Set to desired output: "))

    def test_refused_calls_fault_and_change_nothing(self):
        bias = BIAS_1
        r = self.rpc()
        self.assertEqual(r.set_title("keep"), "keep")
        n0 = self.filter_off_bias(bias)
        log0 = self.d.log()
        rx0 = self.s.received()

        six = (1.0, 2.0, 3.0, 4.0, 5.0, 6.0)
        refused = [
            ("set_bias", six[:5]), ("set_bias", six + (7.0,)), ("set_bias", ()),
            ("set_bias", (1.0, 2.0, "3", 4.0, 5.0, 6.0)), ("set_bias", (1, 2, 3, 4, 5, 6)),
            ("set_bias", (True,) + six[1:]),
            ("set_output", six[:5]), ("set_output", six + (7.0,)),
            ("set_output", six[:5] + ("6",)),
            ("enable_filter", (3, True)), ("enable_filter", (True,)), ("enable_filter", ()),
            ("enable_filter", (True, 3, 4)), ("enable_filter", (True, "3")),
            ("enable_filter", (True, 3.0)), ("enable_filter", ("true", 3)),
            ("set_title", ()), ("set_title", ("a", "b")), ("set_title", (5,)),
            ("get_title", ("x",)), ("get_sample_freq", (1,)), ("is_running", (True,)),
            ("get_title", (1.0,)),
            ("configure_sensor", ()), ("configure_sensor", ("250",)),
            ("configure_sensor", (250,)), ("configure_sensor", (250.0, 1.0)),
            ("get_statistics", (1,)), ("get_wrench", ("x",)), ("get_settings", (True,)),
        ]
        for name, args in refused:
            with self.subTest(method=name, args=args):
                with self.assertRaises(Fault):
                    getattr(r, name)(*args)
        # Doubles the parser refuses, sent as raw XML.
        for text in ("inf", "1e400", "1,5", ""):
            with self.subTest(double=text):
                with self.assertRaises(Fault):
                    raw_call(method_call("set_bias", doubles("1", "2", text, "4", "5", "6")))

        self.assertEqual(r.get_title(), "keep (C++)")
        # Same bias, filter still off, no desired output: every later package is
        # exactly its frame's sample minus the bias set before.
        stage, counts = self.stream_check(n0, [lambda m: minus(m, bias)], more=200)
        self.assertGreater(counts[0], 150)
        self.assertEqual(self.d.log(), log0)
        self.assertEqual(self.s.received(), rx0, "a refused configure_sensor wrote bytes")

    def test_settings_read_back_what_was_set(self):
        r = self.rpc()
        self.assertEqual(r.set_bias(*BIAS_0), 0)
        got = r.get_settings()
        self.assertEqual(sorted(got), ["bias", "bias_active", "configuring", "cutoff_hz",
                                       "desired_output", "filter_enabled", "filter_type", "output_active", "port",
                                       "recipe_id"])
        self.assertEqual((got["bias"], got["bias_active"], got["output_active"]),
                         (list(BIAS_0), True, False))
        self.assertEqual((got["port"], got["recipe_id"], got["configuring"]),
                         ("/dev/ttyUSB0", 1, False))
        self.assertEqual(r.set_output(*BIAS_1), 0)
        got = r.get_settings()
        self.assertEqual((got["desired_output"], got["bias"], got["bias_active"],
                          got["output_active"]), (list(BIAS_1), list(BIAS_0), False, True))
        self.assertEqual(r.enable_filter(True, 2), 0)
        got = r.get_settings()
        self.assertEqual((got["filter_enabled"], got["filter_type"], got["cutoff_hz"]),
                         (True, 2, 40.0))
        self.assertEqual(r.enable_filter(False, 7), 1)
        got = r.get_settings()
        self.assertEqual((got["filter_enabled"], got["filter_type"], got["cutoff_hz"]),
                         (False, 7, 40.0))

    # -- reconfiguration

    def _reconfigure(self, rate, number):
        """One configure_sensor call while streaming, checked on every side."""
        line = "f,%d,0,0,1\n" % number
        rx0 = len(self.s.received())
        cmds0 = len(self.s.commands)
        synced0 = self.d.stderr().count(SYNCED)
        log0 = len(self.d.log())
        poll = self.rpc()

        call = Background(lambda: proxy(15).configure_sensor(rate))
        paused = False
        while not call.done():
            if not poll.is_running():
                paused = True
                break
        # The stream holds still while the sensor is configured: the daemon's own package
        # count stays put (the controller stamps packages late under load). A count counts
        # when readings before and after it both say the reconfiguration is on.
        counts = []
        while not call.done():
            before, t = poll.get_settings()["configuring"], time.monotonic()
            n = poll.get_statistics()["packages"]
            if before and poll.get_settings()["configuring"]:
                counts.append((t, n))
        inside = [n for t, n in counts if t > counts[0][0] + 0.3] if counts else []
        self.assertGreater(len(inside), 3, "too few readings while configuring")
        self.assertEqual(len(set(inside)), 1, "packages while the stream should have paused")
        self.assertEqual(call.join(15), 0)
        self.assertTrue(paused, "is_running never read false during the reconfiguration")
        self.assertGreaterEqual(call.elapsed, 2.0)
        self.assertLess(call.elapsed, 3.5)

        # The simulator records the sequence when its "R" arrives, a moment after the call.
        sandbox.wait_for(lambda: len(self.s.commands) > cmds0, 5, "the sequence to arrive")
        got = self.s.received()[rx0:]
        self.assertEqual(got, b"C" + line.encode() + b"s#R")
        self.assertEqual(self.s.commands[cmds0]["line"], line)
        self.assertEqual(len(self.s.commands), cmds0 + 1)
        times = arrival_times(self.s.rx_log)[rx0:]
        t_c, t_s, t_hash, t_r = times[0], times[len(got) - 3], times[-2], times[-1]
        self.assertLess(t_s - t_c, 500_000_000, "C, the line and s belong together")
        # The simulator stamps a byte when its reader thread gets it, which under load can
        # be a tenth of a second after it came; "#" is never stamped early. So the wait is
        # at least 2 s from the call's start, and between "s" and "#" the margin is wide.
        self.assertGreaterEqual(t_hash - call.t_start * 1e9, 2_000_000_000)
        self.assertGreaterEqual(t_hash - t_s, 1_500_000_000, "the 2 s wait before #")
        self.assertLess(t_r - t_hash, 500_000_000)

        # The stream, held still while the sensor was being configured, found the frames
        # again and goes on.
        sandbox.wait_for(lambda: self.d.stderr().count(SYNCED) > synced0, 5,
                         "the stream to synchronise again")
        sandbox.wait_for(lambda: len([p for p in self.c.packages() if p.t_ns > t_r]) >= 200,
                         10, "packages after the reconfiguration")
        sandbox.wait_for(lambda: poll.is_running(), 5, "is_running true again")
        self.assertIn(line, self.d.log()[log0:])
        self.assertEqual(self.d.log()[log0:].count(line), 1)

    def test_configure_sensor_with_the_filter_on(self):
        self.assertEqual(self.rpc().enable_filter(True, 2), 0)
        self.signal.level = None
        self._reconfigure(250.0, 59)

    def test_configure_sensor_with_the_filter_off(self):
        self.assertEqual(self.rpc().enable_filter(False, 2), 0)
        self.signal.level = None
        for rate, number in ((250.0, 190), (1000.0, 47)):
            with self.subTest(rate=rate):
                self._reconfigure(rate, number)


def balanced(st):
    """Every CRC-valid frame sent, skipped or dropped for a value that is not finite."""
    return st["frames"] == st["packages"] + st["non_finite"] + st["skipped_packages"]


class Statistics(harness.BenchCase):
    def test_counters_match_what_was_sent_and_printed(self):
        s = self.sensor(0)
        c = self.controller([ctl.ok()])
        d = self.daemon()
        c.wait_packages(50, timeout=15)
        wait_service(d)   # it listens from a thread of its own, under load after the stream
        r = proxy()
        st = r.get_statistics()
        self.assertEqual(sorted(st), sorted(COUNTERS + ["uptime_s", "seconds_since_package"]))
        for name in COUNTERS:
            self.assertIsInstance(st[name], int, name)

        # The mix: two frames with values that are not finite, three bad CRCs, a frame whose
        # header and CRC are both wrong (the stream loses sync and finds it on the next); then
        # the sensor falls silent (one failed read while synced), and is reconfigured while
        # silent, so that no read is cut short by the pause.
        s.feed(sim.NonFinite(), sim.BadCrc(), sim.NonFinite(), sim.BadCrc(), sim.BadCrc(),
               sim.SendFrame(header=0x55, bad_crc=True))
        c.wait_packages(len(c.packages()) + 50, timeout=10)
        failed = "Read frame from serial port failed while synched!\n"
        before = d.stderr().count(failed)
        s.set_mode("silent")
        t_silent = time.monotonic()
        sandbox.wait_for(lambda: d.stderr().count(failed) > before, 5, "the failed read")
        # A package the controller did not take at once (it too stalls under load) is kept
        # back and goes once the controller takes data again: then every frame is counted.
        sandbox.wait_for(lambda: balanced(r.get_statistics()), 5, "the package kept back")
        c.wait_packages(r.get_statistics()["packages"], timeout=5)
        self.assertEqual(r.configure_sensor(250.0), 0)

        t_asked = time.monotonic_ns()
        st = r.get_statistics()
        t_answered = time.monotonic_ns()
        wrench = r.get_wrench()
        err, log = d.stderr(), d.log()
        # "CRC error" is rate-limited on stderr; those left out are counted in lines_left_out
        # (no other per-frame report is due in this mix).
        printed = {"crc_errors": err.count("CRC error\n") + st["lines_left_out"],
                   "lost_sync": err.count("Lost sync\n"),
                   "synchronisations": err.count(SYNCED),
                   "non_finite": err.count("Non-finite sample in frame, dropped\n"),
                   "read_failures": err.count("Read frame from serial port failed"),
                   "reconfigurations": log.count("f,59,0,0,1\n")}
        # A stall of the simulator (0.1 s without a byte, under load) adds a failed read, and
        # one while synced a synchronisation, beyond the silence's.
        stalls = err.count("Read frame from serial port failed") - 1
        resyncs = err.count("Read frame from serial port failed while synched!") - 1
        injected = {"crc_errors": 3, "lost_sync": 1, "synchronisations": 2 + resyncs,
                    "non_finite": 2, "read_failures": 1 + stalls, "reconfigurations": 1}
        self.assertEqual({k: st[k] for k in injected}, injected)
        self.assertEqual(printed, injected, err)
        self.assertEqual(st["packages"], len(c.packages()))
        self.assertTrue(balanced(st), st)
        # xmlrpc-c writes a double with 15 to 17 significant digits: within a few units in the
        # last place of what the controller got.
        self.assertEqual(len(wrench), 6)
        for got, sent in zip(wrench, c.packages()[-1].values):
            self.assertAlmostEqual(got, sent, delta=1e-15 * max(1.0, abs(sent)))
        self.assertGreater(st["seconds_since_package"], 2.0)
        self.assertLess(st["seconds_since_package"], time.monotonic() - t_silent + 1.0)
        # The daemon reads its clock during the call, against one started about when the
        # process did: within half a second of the call's window, however long it took.
        self.assertLess(st["uptime_s"], (t_answered - d.started_ns) / 1e9 + 0.5)
        self.assertGreater(st["uptime_s"], (t_asked - d.started_ns) / 1e9 - 0.5)
        # Nothing moves while the sensor is silent.
        self.assertEqual({k: v for k, v in r.get_statistics().items() if k in COUNTERS},
                         {k: st[k] for k in COUNTERS})


class BeforeFirstSync(harness.BenchCase):
    def test_service_answers_before_the_stream_runs(self):
        # The probe waits on a silent sensor, then the controller keeps the set-up
        # waiting with text messages: the service answers all along.
        s = self.sensor(0, mode="silent", rate_hz=500.0)
        busy = ctl.message("busy")
        c = self.controller(replies=[busy, busy, busy, ctl.ok()])
        d = self.daemon()
        self.assertEqual(wait_service(d), "Vandrel (C++)")
        r = proxy()
        d.wait_stderr("Opened port /dev/ttyUSB0 and check for valid frame\n")
        self.assertIs(r.is_running(), False)
        self.assertEqual(r.get_sample_freq(), 0.0)
        self.assertEqual(r.set_title("early"), "early")

        s.set_mode("stream")
        c.wait_setup_requests(1, timeout=10)
        self.assertIs(r.is_running(), False)
        self.assertEqual(r.get_sample_freq(), 0.0)
        self.assertEqual(c.packages(), [])

        c.wait_packages(100, timeout=15)
        sandbox.wait_for(lambda: r.is_running(), 5, "is_running true")
        sandbox.wait_for(lambda: abs(r.get_sample_freq() - 500.0) < 1e-9, 5,
                         "the sample frequency of the 500 Hz sensor")
        self.assertEqual(r.get_title(), "early (C++)")
        self.assertIn(SYNCED, d.stderr())
        self.assertEqual(unexplained_syncs(d.stderr()), 0, d.stderr())
        self.assertTrue(d.running())


if __name__ == "__main__":
    harness.main()
