"""The control service where the daemon guards against trouble: clients that hang
up, NaN parameters, requests built to overwhelm the XML parser, slow and
trickling clients, reconfigurations before the sensor port is open or at the
same time, and a control port that is already taken.

Run: python3 tests/e2e/test_control_mends.py --daemon build/ftbridge
"""

import math
import random
import select
import signal
import socket
import time
import urllib.request
import xmlrpc.client
import xml.parsers.expat

import harness
from harness import ctl, sandbox, sim
from control_bench import Background, StreamingCase, minus, unexplained_syncs
from ftsim.control import (HOST, PORT, SlowClients, doubles, entity_bomb, hang_up, http_request,
                           method_call, param, post, proxy, raw_call, title_call, wait_service)

SYNCED = "Frame synced with 0xAA header\n"
METRICS = "http://%s:%d/metrics" % (HOST, PORT)
Fault = xmlrpc.client.Fault
# Values xmlrpc-c reads exactly, so the packages can be compared bit for bit.
BIAS = (0.5, -1.25, 2.0, 0.125, -0.25, 1.5)
ZERO = (0.0,) * 6


def sequence(number):
    return b"C" + (b"f,%d,0,0,1\n" % number) + b"s#R"


# Bodies refused before the XML parser sees them: each would crash the daemon or make it
# spend seconds and hundreds of MB.
HOSTILE_BODIES = (
    ("4000 unclosed elements", title_call("<a>" * 4000)),
    ("65 deep, closed", title_call("<a>" * 61 + "x" + "</a>" * 61)),
    ("entities to 30 MB", entity_bomb(6)),
    ("entities to 300 MB", entity_bomb(7)),
    ("an ENTITY without DOCTYPE", title_call('<!ENTITY e "x"><string>x</string>')),
    ("4000 unclosed in UTF-16", title_call("<a>" * 4000).decode().encode("utf-16")),
)
# methodCall, params and param, then value, array and data 20 times: 63 deep.
DEEPEST_TAKEN = method_call("set_title", "<param>%s%s</param>"
                            % ("<value><array><data>" * 20, "</data></array></value>" * 20))


class WhileStreaming(StreamingCase):
    def _still_streaming(self, since_ns):
        """The daemon lives, sends packages after since_ns, and answers calls."""
        sandbox.wait_for(lambda: len([p for p in self.c.packages() if p.t_ns > since_ns]) >= 300
                         or not self.d.running(), 15, "packages after the hang-ups")
        self.assertTrue(self.d.running(), "the daemon died\n" + self.d.describe())

        def answered():   # 503 while this address's own hang-ups fill its share
            try:
                return self.rpc().is_running() is True
            except xmlrpc.client.ProtocolError:
                return False
        sandbox.wait_for(answered, 15, "is_running answered true")

    def test_clients_that_hang_up_early(self):
        # A long title makes the answer long, so the daemon is still writing when the
        # client's reset arrives.
        title = "T" * 200000
        self.assertEqual(self.rpc().set_title(title), title)
        req = http_request(method_call("get_title"))
        t0 = time.monotonic_ns()
        for reset in (False, True):
            for _ in range(50):
                hang_up(req, reset=reset)
        # Requests cut off in the body, in the headers, and before any byte.
        bias_req = http_request(method_call("set_bias", doubles(*("1.5",) * 6)))
        for part in (req[:-20], bias_req[:-40], bias_req[:30], bias_req[:5], b""):
            for reset in (False, True):
                for _ in range(10):
                    hang_up(part, reset=reset)
        self._still_streaming(t0)
        self.assertEqual(self.rpc().get_title(), title + " (C++)")

    def test_hang_up_during_a_reconfiguration(self):
        # The answer comes two seconds later, to a client long gone.
        self.assertEqual(self.rpc().enable_filter(False, 1), 0)
        cmds0 = len(self.s.commands)
        rx0 = len(self.s.received())
        for reset in (False, True):
            with self.subTest(reset=reset):
                n = len(self.s.commands)
                hang_up(http_request(method_call("configure_sensor", doubles("119.999"))),
                        reset=reset)
                sandbox.wait_for(lambda: len(self.s.commands) > n or not self.d.running(), 10,
                                 "the command sequence")
                self._still_streaming(self.s.commands[n]["t_R"])
        self.assertEqual(self.s.received()[rx0:], sequence(380) * 2)
        self.assertEqual([c["line"] for c in self.s.commands[cmds0:]], ["f,380,0,0,1\n"] * 2)

    def test_nan_is_refused_and_changes_nothing(self):
        r = self.rpc()
        self.assertEqual(r.set_title("nan test"), "nan test")
        self.assertEqual(r.enable_filter(False, 1), 0)
        self.assertEqual(r.set_bias(*BIAS), 0)
        n0 = self.wait_latest_fits(lambda m: minus(m, BIAS))
        log0 = self.d.log()
        rx0 = self.s.received()

        # The standard client writes NaN as "nan", which xmlrpc-c takes as a double.
        self.assertIn(b"<double>nan</double>", xmlrpc.client.dumps((math.nan,)).encode())
        nan = math.nan
        for name, args in (("set_bias", (nan, 1.0, 2.0, 3.0, 4.0, 5.0)),
                           ("set_bias", (1.0, 2.0, 3.0, 4.0, 5.0, nan)),
                           ("set_output", (nan,) * 6),
                           ("set_output", (1.0, 2.0, nan, 4.0, 5.0, 6.0)),
                           ("configure_sensor", (nan,))):
            with self.subTest(method=name, args=args):
                t = time.monotonic()
                with self.assertRaises(Fault):
                    getattr(r, name)(*args)
                self.assertLess(time.monotonic() - t, 1.5, "a refused call must not wait")
        for text in ("nan", "NaN", "-nan", "NAN", "+nan"):
            for name, params in (("set_bias", doubles("1", "2", "3", "4", "5", text)),
                                 ("set_output", doubles(text, "2", "3", "4", "5", "6")),
                                 ("configure_sensor", doubles(text))):
                with self.subTest(method=name, text=text):
                    with self.assertRaises(Fault):
                        raw_call(method_call(name, params))

        # Still bias mode with the old values, filter off, no desired output taken over,
        # no command sent to the sensor.
        stage, counts = self.stream_check(n0, [lambda m: minus(m, BIAS)], more=200)
        self.assertGreater(counts[0], 150)
        self.assertEqual(self.d.log(), log0)
        self.assertEqual(self.s.received(), rx0)
        self.assertEqual(r.get_title(), "nan test (C++)")

    def test_requests_the_parser_must_not_see(self):
        r = self.rpc()
        self.assertEqual(r.set_title("kept"), "kept")
        for what, body in HOSTILE_BODIES:
            with self.subTest(what):
                t = time.monotonic()
                with self.assertRaises(Fault):
                    raw_call(body)
                self.assertLess(time.monotonic() - t, 1.5, "a refused call must not wait")
                self.assertTrue(self.d.running(), "the daemon died\n" + self.d.describe())
                self.assertEqual(r.get_title(), "kept (C++)")
        # The deepest request that gets through is parsed on a connection thread and
        # refused by the method (an array is no string).
        with self.assertRaises(Fault):
            raw_call(DEEPEST_TAKEN)
        self.assertEqual(r.get_title(), "kept (C++)")

    def test_half_sent_bodies_are_bounded_in_all(self):
        # Half-sent bodies from one address, their lengths written as the library reads them.
        forms = [b"512000", b"+512000", b"-%d" % (2**64 - 512000), b"+512000"]

        def hold(form):
            h = socket.create_connection((HOST, PORT), 5, ("127.0.0.4", 0))
            h.sendall(http_request(b"<?xml", length=512000).replace(b" 512000", b" " + form))
            return h
        held = [hold(form) for form in forms]   # 4 x 500 KiB: one address's share, alone
        self.addCleanup(lambda: [h.close() for h in held])

        def refused():
            # A held request that a probe got ahead of was refused itself: hold it again.
            for k, h in enumerate(held):
                if select.select([h], [], [], 0)[0]:
                    h.close()
                    held[k] = hold(forms[k])
            # The headers alone: the budget decides on them.
            with socket.create_connection((HOST, PORT), 1, ("127.0.0.4", 0)) as probe:
                probe.sendall(http_request(b"", length=512000))
                try:
                    return probe.recv(64).startswith(b"HTTP/1.1 503")
                except OSError:   # taken: the daemon waits for the body
                    return False
        sandbox.wait_for(refused, 30, "the address's fifth body to be refused")
        # Another address still has the rest of the budget.
        self.assertEqual(post(method_call("set_title", param("string", "x" * 99800)))[0], 200)

    def test_slow_clients_neither_starve_calls_nor_stay(self):
        r = self.rpc()
        self.assertEqual(r.set_title("steady"), "steady")
        body = method_call("set_title", param("string", "trickled"))
        trickle = socket.create_connection((HOST, PORT), timeout=5,
                                           source_address=("127.0.0.3", 0))
        t0 = time.monotonic()
        trickle.sendall(http_request(body)[:-len(body)])
        # 400 connections from one other address, each left half-sent, reopened when closed.
        attackers = SlowClients(400, "127.0.0.2")
        waits, sent, cut = [], 0, None
        # The stream runs throughout but for the stalls of the simulators, which it counts:
        # not running, the counts have grown since they were read before it last ran.
        stalls = ("read_failures", "lost_sync", "skipped_packages")

        def counted_while_running():
            counted = self.rpc().get_statistics()
            return counted if self.rpc().is_running() is True else None
        running_since = sandbox.wait_for(counted_while_running, 10, "is_running true")
        try:
            while cut is None and time.monotonic() < t0 + 20:
                if time.monotonic() >= t0 + sent and sent < len(body):   # a byte a second
                    try:
                        trickle.send(body[sent:sent + 1])
                        sent += 1
                    except OSError:
                        cut = time.monotonic() - t0
                if select.select([trickle], [], [], 0)[0]:
                    try:
                        trickle.recv(4096)
                    except OSError:
                        pass
                    cut = time.monotonic() - t0
                counted = proxy(5).get_statistics()
                t = time.monotonic()
                running = proxy(5).is_running()
                waits.append(time.monotonic() - t)
                if running is True:
                    running_since = counted
                else:
                    now = proxy(5).get_statistics()
                    self.assertTrue(any(now[k] > running_since[k] for k in stalls),
                                    (running, running_since, now))
                time.sleep(0.05)
        finally:
            attackers.stop()
            trickle.close()
        self.assertIsNotNone(cut, "the trickled request was never cut off")
        self.assertGreater(cut, 9.0)
        self.assertLess(cut, 15.0)
        self.assertGreater(attackers.opened, 400, "no attacker connection was turned away")
        self.assertGreater(len(waits), 50)
        # A call stuck behind the slow clients would wait for their 10 s cut-off; under load
        # a plain call was seen to take 1.2 s.
        self.assertLess(max(waits), 5.0, "a call waited behind the slow clients")
        self.assertEqual(r.get_title(), "steady (C++)")

    def test_overlapping_reconfigurations_do_not_interleave(self):
        self.assertEqual(self.rpc().enable_filter(False, 1), 0)
        rx0 = len(self.s.received())
        cmds0 = len(self.s.commands)
        log0 = len(self.d.log())
        rates = {120.0: 395, 47500.0: 1, 50000.0: 0}
        calls = [Background(lambda rate=rate: proxy(20).configure_sensor(rate)) for rate in rates]
        for call in calls:
            self.assertEqual(call.join(20), 0)

        # The simulator records a sequence when its "R" arrives, a moment after the call.
        sandbox.wait_for(lambda: len(self.s.commands) >= cmds0 + 3, 5, "three sequences")
        cmds = self.s.commands[cmds0:]
        self.assertEqual(len(cmds), 3, cmds)
        for cmd in cmds:
            self.assertIn(cmd["bytes"], [sequence(n) for n in rates.values()])
        self.assertEqual(sorted(c["line"] for c in cmds),
                         sorted("f,%d,0,0,1\n" % n for n in rates.values()))
        # Byte for byte: three whole sequences one after the other, nothing between.
        self.assertEqual(self.s.received()[rx0:], b"".join(c["bytes"] for c in cmds))
        for a, b in zip(cmds, cmds[1:]):
            self.assertGreaterEqual(b["t_C"], a["t_R"])
        # Stamped when the simulator's reader gets the bytes, late by up to a tenth of a
        # second under load: the 2 s wait inside each sequence with a wide margin.
        for cmd in cmds:
            self.assertGreaterEqual(cmd["t_R"] - cmd["t_C"], 1_500_000_000)
        # One after the other: the last answer comes three waits after the first call.
        self.assertGreaterEqual(max(c.t_end for c in calls) - min(c.t_start for c in calls), 6.0)
        for cmd in cmds:
            self.assertEqual(self.d.log()[log0:].count(cmd["line"]), 1)
        self._still_streaming(cmds[-1]["t_R"])

    def test_queued_reconfigurations_never_end_the_stream(self):
        """Six calls at once hold the stream for over 12 s, longer than the header timeout,
        and the sensor takes a while to come back: the time spent reconfiguring is not
        silence, the timer starts when the last sequence ends."""
        cmds0 = len(self.s.commands)
        self.s.set_mode("silent")
        calls = [Background(lambda: proxy(30).configure_sensor(250.0)) for _ in range(6)]
        for call in calls:
            self.assertEqual(call.join(30), 0)
        self.assertGreater(max(c.t_end for c in calls) - min(c.t_start for c in calls), 11.5)
        sandbox.wait_for(lambda: len(self.s.commands) >= cmds0 + 6, 5, "six sequences")
        sandbox.wait_for(lambda: not self.d.running() or
                         time.monotonic_ns() - self.s.commands[-1]["t_R"] > 1_000_000_000,
                         5, "a second of silence after the last sequence")
        self.s.set_mode("stream")
        self._still_streaming(self.s.commands[-1]["t_R"])


class ManyAddresses(StreamingCase):
    """A daemon of its own: the attackers' dead connections drain for a while afterwards."""

    def test_addresses_filling_the_connections_leave_room_for_another(self):
        # Four addresses want 320 slow connections, more than the service holds in all.
        attackers = [SlowClients(80, "127.0.0.%d" % k) for k in (5, 6, 7, 8)]
        try:
            sandbox.wait_for(lambda: sum(a.opened for a in attackers) > 420, 30,
                             "the attackers' excess to be refused")
            for _ in range(5):
                self.assertIsInstance(proxy(30).is_running(), bool)
                self.assertEqual(urllib.request.urlopen(METRICS, timeout=30).status, 200)
        finally:
            [a.stop() for a in attackers]


class ExtremeBiases(StreamingCase):
    def test_bias_cycle_at_the_limits_never_kills_or_poisons(self):
        # Each switch between +-DBL_MAX once made the filter's next package -inf, then NaN
        # for good, and a get_wrench answered meanwhile overflowed the stack in the library.
        big = 1.7976931348623157e308
        r = self.rpc()
        self.assertEqual(r.enable_filter(True, 1), 0)
        stop = []

        def reader():
            while not stop:
                try:
                    for v in proxy(5.0).get_wrench():
                        if not math.isfinite(v):
                            return "get_wrench answered %r" % v
                except (ConnectionError, OSError):
                    return "the control service went away"
                except Fault:
                    pass   # a fault names a non-finite value: never seen here either
            return None
        readers = [Background(reader) for _ in range(4)]
        n0 = self.npkgs()
        try:
            for _ in range(3):
                for sign in (-1, 1):
                    self.assertEqual(r.set_bias(*(sign * big,) * 6), 0)
                    self.more_packages(20)
        finally:
            stop.append(True)
        self.assertEqual([b.join(15) for b in readers], [None] * 4)
        self.assertTrue(self.d.running(), self.d.describe())
        # Ordinary settings: finite at once, and get_wrench is a package that was sent.
        self.assertEqual(r.set_bias(*ZERO), 0)
        pkgs = self.more_packages(20)
        bad = [p.values for p in pkgs[n0:] if not all(math.isfinite(v) for v in p.values)]
        self.assertEqual(bad, [], "non-finite packages")
        wrench = r.get_wrench()

        def sent():   # to the 14 significant digits the library keeps
            return any(all(abs(w - v) <= abs(v) * 1e-14 for w, v in zip(wrench, p.values))
                       for p in self.c.packages()[-400:])
        sandbox.wait_for(sent, 5, "get_wrench's values among the packages")


class NoiseEnds(harness.BenchCase):
    def test_noise_with_gaps_ends_the_daemon_like_silence(self):
        """Bytes that never sync, with a gap every second in which a header read fails: not
        running meanwhile, and the header-read limit ends the daemon as silence would."""
        s = self.sensor(0)
        c = self.controller()
        d = self.daemon()
        c.wait_packages(50, timeout=20)
        rng = random.Random(14)
        noise = [(i * 0.01, bytes(rng.randrange(0xAA) for _ in range(64))) for i in range(70)]
        t0 = time.monotonic()
        s.send(*[x for _ in range(30) for x in (sim.Replay(noise), sim.Silence(0.3))])
        readings = []
        for k in range(1, 6):
            sandbox.wait_for(lambda: sum(e.kind == "replay" for e in s.sent) >= 70 * k,
                             10, "%d s of noise" % k)
            readings.append(proxy().is_running())
        self.assertEqual(readings, [False] * 5)
        self.assertExitStatus(d, 1, timeout=30)
        self.assertGreater(time.monotonic() - t0, 10.0, "ended before the limit")
        self.assertIn("Read frame header from serial port failed! Exiting...", d.stderr())


class ReconfigurationEnds(harness.BenchCase):
    def _streaming(self):
        s = self.sensor(0)
        c = self.controller()
        d = self.daemon()
        c.wait_packages(50, timeout=20)
        wait_service(d)
        return s, c, d

    def test_failed_writes_answer_one_and_are_not_counted(self):
        s, c, d = self._streaming()
        self.assertEqual(proxy().get_statistics()["reconfigurations"], 0)
        s.close()   # the adapter gone: every write to the port fails (EIO)
        self.assertEqual(proxy().configure_sensor(250.0), 1)
        self.assertEqual(proxy().get_statistics()["reconfigurations"], 0)

    def test_stop_during_a_reconfiguration_lets_the_sequence_end(self):
        # With 20 calls queued behind the first, none may start once the stop has begun.
        for stop, clients in (("SIGINT", 1), ("SIGTERM", 1), ("SIGINT", 20)):
            with self.subTest(signal=stop, clients=clients):
                try:
                    s, c, d = self._streaming()
                    calls = [Background(lambda: proxy(60).configure_sensor(250.0))
                             for _ in range(clients)]
                    # Inside the 2 s pause between "s" and "#R".
                    s.wait_received(b"Cf,59,0,0,1\ns", timeout=5)
                    d.proc.send_signal(getattr(signal, stop))
                    self.assertExitStatus(d, 2)
                    # The simulator's reader may get the last bytes a moment after the exit.
                    s.wait_received(b"s#R", timeout=5)
                    # Whole sequences only (a slow test may signal during the second).
                    rx = s.received()
                    self.assertEqual(rx, sequence(59) * max(1, len(rx) // len(sequence(59))),
                                     "the sensor was left mute")
                    self.assertTrue(d.stderr().endswith("Close ports!\n"), d.stderr())
                    for call in calls:
                        try:
                            call.join(10)
                        except (ConnectionError, OSError, xmlrpc.client.ProtocolError,
                                xml.parsers.expat.ExpatError):
                            pass   # the answer may be cut off by the exit
                finally:
                    self.reset()


class EarlyReconfiguration(harness.BenchCase):
    def test_before_the_streaming_port_is_open(self):
        s = self.sensor(0, mode="silent")
        busy = ctl.message("busy")
        c = self.controller(replies=[busy, busy, busy, ctl.ok()])
        d = self.daemon()
        wait_service(d)
        r = proxy()

        # While the probe waits for the sensor's first frame.
        d.wait_stderr("Opened port /dev/ttyUSB0 and check for valid frame\n")
        for rate in (250.0, 50.0):
            t = time.monotonic()
            self.assertEqual(r.configure_sensor(rate), 1)
            self.assertLess(time.monotonic() - t, 1.5)
        # While the controller keeps the set-up waiting.
        s.set_mode("stream")
        c.wait_setup_requests(1, timeout=10)
        t = time.monotonic()
        self.assertEqual(r.configure_sensor(1000.0), 1)
        self.assertLess(time.monotonic() - t, 1.5)
        self.assertEqual(c.packages(), [], "the stream had already started")
        self.assertIs(r.is_running(), False)

        # The stream then starts and is never paused by the refused calls.
        c.wait_packages(200, timeout=15)
        sandbox.wait_for(lambda: r.is_running(), 5, "is_running true")
        self.assertEqual(s.received(), b"", "bytes reached the sensor")
        self.assertEqual(s.commands, [])
        self.assertIn(SYNCED, d.stderr())
        self.assertEqual(unexplained_syncs(d.stderr()), 0, d.stderr())
        self.assertNotIn("f,", d.log())

        # Once streaming, a reconfiguration goes through as usual.
        self.assertEqual(r.configure_sensor(250.0), 0)
        s.wait_received(sequence(59), timeout=5)   # the pty hands the bytes on a moment later
        self.assertEqual(s.received(), sequence(59))
        self.assertTrue(d.running())


class ControlPortTaken(harness.BenchCase):
    def test_daemon_reports_and_exits(self):
        for addr in ("0.0.0.0", HOST):
            with self.subTest(bound=addr):
                holder = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                try:
                    holder.bind((addr, PORT))
                    holder.listen(1)
                    self.sensor(0)
                    self.controller()
                    d = self.daemon()
                    self.assertExitStatus(d, 1)
                    err = d.stderr()
                    self.assertRegex(err, r"(^|\n)XML-RPC control service on port 20202 "
                                          r"failed: .*\S.*\n")
                    self.assertEqual(err.count("XML-RPC control service"), 1, err)
                finally:
                    holder.close()
                    self.reset()


if __name__ == "__main__":
    harness.main()
