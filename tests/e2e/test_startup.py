"""Start-up of the real daemon: port scan, probes, choice of port, debug log,
and SIGINT before and after standard output is redirected.

Run: python3 tests/e2e/test_startup.py --daemon build/ftbridge
"""

import fcntl
import os
import re
import shutil
import signal
import struct
import tempfile
import termios
import time

import harness
from control_bench import Background
from ftsim.control import proxy, wait_service
from harness import ctl, sandbox, sim

INTERRUPT = "Interrupt signal (2) received.\n"
CLOSE = "Close ports!\n"


NO_SENSOR = 1   # no adapter: a fatal error like any other
USAGE = 64
TIOCGEXCL = 0x80045440


def opened(path):
    return "Opened port %s and check for valid frame\n" % path


def exclusive(fd):
    return struct.unpack("i", fcntl.ioctl(fd, TIOCGEXCL, b"\0" * 4))[0] != 0


def another_instrument(fd):
    """Leaves a port as another instrument of the cell might use it (38400 baud, 7E1,
    canonical with echo and flow control) and returns its settings."""
    a = termios.tcgetattr(fd)
    a[0] |= termios.ICRNL | termios.IXON
    a[1] |= termios.OPOST | termios.ONLCR
    a[2] = (a[2] & ~termios.CSIZE) | termios.CS7 | termios.PARENB
    a[3] |= termios.ICANON | termios.ECHO | termios.ISIG
    a[4] = a[5] = termios.B38400
    termios.tcsetattr(fd, termios.TCSANOW, a)
    return termios.tcgetattr(fd)


class NoUsableDevice(harness.BenchCase):
    def test_no_device_at_all(self):
        d = self.daemon()
        self.assertExitStatus(d, NO_SENSOR)
        self.assertEqual(d.stderr(), "No port found!\n")
        self.assertEqual(d.stdout(), "")
        self.assertFalse(d.log_exists(), "the debug log must not exist before a port is chosen")

    def test_devices_outside_the_scanned_names_are_ignored(self):
        # Each of these carries a live sensor, so had any been opened and probed
        # the daemon would have found a valid frame.
        for name in ("ttyUSB256", "ttyUSB1000", "ttyUSB01", "ttyUSB", "ttyS0", "ttyACM0",
                     "ttyusb0"):
            self.sensor(name)
        d = self.daemon()
        self.assertExitStatus(d, NO_SENSOR)
        self.assertEqual(d.stderr(), "No port found!\n")
        self.assertFalse(d.log_exists())

    def test_silent_device_is_rejected_after_the_probe_limit(self):
        self.silent(0)
        t0 = time.monotonic()
        d = self.daemon()
        self.assertExitStatus(d, 1, timeout=20)
        elapsed = time.monotonic() - t0
        self.assertEqual(d.stderr(), "Found port /dev/ttyUSB0\n" + opened("/dev/ttyUSB0")
                         + "No valid port found!\n")
        self.assertEqual(d.stdout(), "")
        self.assertFalse(d.log_exists())
        # The whole-second clock gives the probe more than 4 s.
        self.assertGreater(elapsed, 4.0)

    def test_device_without_header_bytes_is_rejected(self):
        # A steady stream of bytes, none of them the header: the probe keeps
        # reading until its time is up and says nothing about the skipped bytes.
        s = self.sensor(0, mode="silent")
        s.send(*[sim.Garbage(b"\x55\x00\x0d\x0a" * 10) for _ in range(8000)])
        d = self.daemon()
        self.assertExitStatus(d, 1, timeout=20)
        self.assertEqual(d.stderr(), "Found port /dev/ttyUSB0\n" + opened("/dev/ttyUSB0")
                         + "No valid port found!\n")
        self.assertGreater(len(s.sent), 1000)
        self.assertFalse(d.log_exists())


class PortChoice(harness.BenchCase):
    def test_lowest_live_port_is_chosen_in_scan_order(self):
        s1 = self.silent(1)
        s3 = self.sensor(3)
        s7 = self.sensor(7)
        c = self.controller()
        d = self.daemon()
        d.wait_log("Start log file\n", timeout=20)
        c.wait_setup_requests(1, timeout=10)

        err = d.stderr()
        self.assertTrue(err.startswith("Found port /dev/ttyUSB1\nFound port /dev/ttyUSB3\n"
                                       "Found port /dev/ttyUSB7\n" + opened("/dev/ttyUSB1")
                                       + opened("/dev/ttyUSB3")), err)
        self.assertNotIn("/dev/ttyUSB7 and check", err)
        self.assertNotIn("No valid port", err)
        self.assertTrue(d.log().startswith("Start log file\n"), d.log())
        self.assertEqual(c.connection.setup_requests[0][1], ctl.SETUP_REQUEST)

        # After the controller stage the chosen device is opened for streaming:
        # the daemon then holds ttyUSB3's pty, and never ttyUSB7's.
        sandbox.wait_for(lambda: s3.path in d.open_files() or not d.running(), 10,
                         "the daemon to open %s" % s3.path)
        self.assertTrue(d.running(), d.describe())
        fds = d.open_files()
        self.assertEqual(fds.count(s3.path), 1, fds)
        self.assertNotIn(s7.path, fds)
        # The probes closed what they opened.
        self.assertNotIn(s1.path, fds)

        d.interrupt()
        self.assertExitStatus(d, 2)
        self.assertTrue(d.stderr().endswith(INTERRUPT + CLOSE), d.stderr())

    def test_found_ports_follow_numeric_order(self):
        sensors = {i: self.sensor(i, mode="silent") for i in (100, 10, 9, 255)}
        c = self.controller(replies=[ctl.no_answer()])
        d = self.daemon()
        d.wait_stderr(opened("/dev/ttyUSB9"), timeout=10)
        sensors[9].send(sim.SendFrame())
        c.wait_setup_requests(1, timeout=10)
        self.assertEqual(d.stderr(), "".join("Found port /dev/ttyUSB%d\n" % i
                                             for i in (9, 10, 100, 255))
                         + opened("/dev/ttyUSB9"))
        d.interrupt()
        self.assertExitStatus(d, 2)

    def test_unopenable_and_non_terminal_devices(self):
        # A dangling link does not open and is passed over without a word; a
        # device that opens but is no terminal fails its probe and the scan goes on.
        self.link(0, "/dev/pts/999")
        self.link(1, "/dev/null")
        s = self.sensor(2, mode="silent")
        c = self.controller(replies=[ctl.no_answer()])
        d = self.daemon()
        d.wait_stderr(opened("/dev/ttyUSB2"), timeout=10)
        s.send(sim.SendFrame())
        c.wait_setup_requests(1, timeout=10)
        err = d.stderr()
        self.assertNotIn("/dev/ttyUSB0", err)
        self.assertTrue(err.startswith("Found port /dev/ttyUSB1\nFound port /dev/ttyUSB2\n"
                                       "init_serialport: "), err)
        self.assertNotIn(opened("/dev/ttyUSB1"), err)
        self.assertTrue(err.endswith(opened("/dev/ttyUSB2")), err)
        d.interrupt()
        self.assertExitStatus(d, 2)

    def test_header_then_short_frame_moves_on_to_the_next_port(self):
        # ttyUSB0 sends a header and a few bytes, then falls silent: the probe
        # reports the failed read and the next candidate is chosen. ttyUSB0 is another
        # instrument's port: it gets its settings back, and neither port stays exclusive
        # once its probe is over.
        s0 = self.sensor(0, mode="silent")
        s2 = self.sensor(2, mode="silent")
        found = another_instrument(s0.slave)
        c = self.controller(replies=[ctl.no_answer()])
        d = self.daemon()
        d.wait_stderr(opened("/dev/ttyUSB0"), timeout=10)
        self.assertNotEqual(termios.tcgetattr(s0.slave), found)
        self.assertTrue(exclusive(s0.slave))
        s0.send(sim.Truncated(length=12))
        d.wait_stderr(opened("/dev/ttyUSB2"), timeout=10)
        self.assertEqual(termios.tcgetattr(s0.slave), found)
        self.assertFalse(exclusive(s0.slave))
        # Fed only once its probe runs, so the probe starts on a frame boundary.
        s2.send(sim.SendFrame())
        d.wait_log("Start log file\n", timeout=15)
        c.wait_setup_requests(1)
        self.assertFalse(exclusive(s2.slave))
        self.assertEqual(d.stderr(), "Found port /dev/ttyUSB0\nFound port /dev/ttyUSB2\n"
                         + opened("/dev/ttyUSB0")
                         + "Read frame from serial port failed! Exiting...\n"
                         + opened("/dev/ttyUSB2"))
        d.interrupt()
        self.assertExitStatus(d, 2)

    def test_garbage_before_a_frame_is_skipped_silently(self):
        s = self.sensor(0, mode="silent")
        c = self.controller(replies=[ctl.no_answer()])
        d = self.daemon()
        d.wait_stderr(opened("/dev/ttyUSB0"), timeout=10)
        s.send(sim.Garbage(b"\x01\x02\x0d\x0a\x03" * 7), sim.SendFrame())
        d.wait_log("Start log file\n", timeout=10)
        c.wait_setup_requests(1)
        self.assertEqual(d.stderr(), "Found port /dev/ttyUSB0\n" + opened("/dev/ttyUSB0"))
        d.interrupt()
        self.assertExitStatus(d, 2)

    def test_bad_crc_frame_is_skipped_then_a_good_one_is_taken(self):
        s = self.sensor(0, mode="silent")
        c = self.controller(replies=[ctl.no_answer()])
        d = self.daemon()
        d.wait_stderr(opened("/dev/ttyUSB0"), timeout=10)
        # The byte after the bad frame is dropped too, so a filler byte goes first.
        s.send(sim.BadCrc(), sim.Garbage(b"\x00"), sim.SendFrame())
        d.wait_log("Start log file\n", timeout=10)
        c.wait_setup_requests(1)
        self.assertEqual(d.stderr(), "Found port /dev/ttyUSB0\n" + opened("/dev/ttyUSB0")
                         + "Skipping incomplete frame\n")
        d.interrupt()
        self.assertExitStatus(d, 2)


class Arguments(harness.BenchCase):
    def test_an_argument_never_touches_a_port(self):
        # A live sensor and a controller are there: had the daemon started, it would have
        # opened the port, changed its settings and connected.
        s = self.sensor(0)
        c = self.controller()
        found = another_instrument(s.slave)
        version = re.compile(r"ftbridge [0-9][0-9A-Za-z.+~-]*\n")
        rows = [  # arguments, status, stdout, start of stderr
            (["--help"], 0, "Usage: ftbridge [", ""),
            (["-h"], 0, "Usage: ftbridge [", ""),
            (["--version"], 0, version, ""),
            (["-V"], 0, version, ""),
            (["--start"], USAGE, "", "ftbridge: unexpected argument '--start'\nUsage: "),
            ([""], USAGE, "", "ftbridge: unexpected argument ''\nUsage: "),
            (["--version", "--help"], USAGE, "", "ftbridge: unexpected argument '--help'\n"),
            (["/dev/ttyUSB0", "-h"], USAGE, "", "ftbridge: unexpected argument '/dev/ttyUSB0'\n"),
        ]
        for args, status, out, err in rows:
            with self.subTest(args=args):
                d = self.daemon(args=args)
                self.assertExitStatus(d, status)
                if isinstance(out, str):
                    self.assertTrue(d.stdout().startswith(out), d.stdout())
                    self.assertEqual(out == "", d.stdout() == "", d.stdout())
                else:
                    self.assertRegex(d.stdout(), out)
                self.assertTrue(d.stderr().startswith(err), d.stderr())
                self.assertEqual(err == "", d.stderr() == "", d.stderr())
                self.assertNotIn("Found port", d.stderr())
                self.assertFalse(d.log_exists())
                self.assertEqual(termios.tcgetattr(s.slave), found)
                self.assertFalse(exclusive(s.slave))
                self.assertEqual(c.connections, [])


class DebugLog(harness.BenchCase):
    def test_the_last_runs_log_survives_a_restart(self):
        junk = "".join("old line %d from an earlier run\n" % i for i in range(500))

        def prepare(cwd):
            with open(os.path.join(cwd, sandbox.DEBUG_LOG), "w") as f:
                f.write(junk)

        def kept(d):
            return d._read(d.log_path + ".1")

        # One working directory for three runs, as the unit gives its restarts.
        cwd = tempfile.mkdtemp(prefix="ftsim-cwd-")
        self.addCleanup(shutil.rmtree, cwd, True)

        # A run that dies in the controller stage: its reason is only in the log ...
        self.sensor(0)
        self.controller(replies=[ctl.close()])
        first = self.daemon(prepare=prepare, cwd=cwd)
        self.assertExitStatus(first, 1)
        self.assertEqual(first.log(), "Start log file\nReading HEADER.size failed!\n")
        self.assertEqual(kept(first), junk)
        self.reset()

        # ... and still there once the supervisor has started the next run.
        self.sensor(0)
        c = self.controller(replies=[ctl.no_answer()])
        second = self.daemon(cwd=cwd)
        c.wait_setup_requests(1, timeout=15)
        self.assertEqual(second.log(), "Start log file\n")
        self.assertEqual(kept(second), "Start log file\nReading HEADER.size failed!\n")
        second.interrupt()
        self.assertExitStatus(second, 2)
        self.reset()

        # A run that ends before it found its sensor leaves both files alone.
        third = self.daemon(cwd=cwd)
        self.assertExitStatus(third, NO_SENSOR)
        self.assertEqual(third.log(), "Start log file\n" + INTERRUPT)
        self.assertEqual(kept(third), "Start log file\nReading HEADER.size failed!\n")

        # The log of the last run that streamed outlives any number of failed starts.
        streamed = None
        for down in (False, True, True):
            self.reset()
            self.sensor(0)
            c = self.controller(replies=[ctl.close()] if down else None)
            d = self.daemon(cwd=cwd)
            if not down:
                c.wait_packages(20, timeout=20)
                c.close_connection()
            self.assertExitStatus(d, 1, timeout=20)
            streamed = streamed or d.log()
        self.assertEqual(d._read(d.log_path + ".streamed"), streamed)


class UnwritableLog(harness.BenchCase):
    """A log that cannot be written: said on stderr, descriptor 1 on /dev/null, no hang."""

    def _read_only(self, cwd):
        sandbox._mount(cwd, cwd, None, 4096, what="bind")            # MS_BIND
        sandbox._mount(cwd, cwd, None, 4096 | 32 | 1, what="remount")  # MS_REMOUNT, MS_RDONLY
        self.addCleanup(sandbox._umount, cwd)

    def test_log_that_cannot_be_opened(self):
        outside = os.path.join(tempfile.mkdtemp(prefix="ftsim-outside-"), "file")
        self.addCleanup(shutil.rmtree, os.path.dirname(outside), True)
        with open(outside, "w") as f:
            f.write("not the daemon's\n")
        rows = (
            ("read-only directory", self._read_only,
             "Cannot write qrm_debug_output.txt: Read-only file system; "
             "standard output goes to /dev/null\n"),
            ("FIFO as the log, directory as .1",
             lambda cwd: (os.mkfifo(os.path.join(cwd, sandbox.DEBUG_LOG)),
                          os.mkdir(os.path.join(cwd, sandbox.DEBUG_LOG + ".1"))),
             "Cannot write qrm_debug_output.txt: No such device or address; "
             "standard output goes to /dev/null\n"),
            ("symbolic link out of the directory as the log, directory as .1",
             lambda cwd: (os.symlink(outside, os.path.join(cwd, sandbox.DEBUG_LOG)),
                          os.mkdir(os.path.join(cwd, sandbox.DEBUG_LOG + ".1"))),
             "Cannot write qrm_debug_output.txt: not a regular file; "
             "standard output goes to /dev/null\n"),
        )
        for what, prepare, message in rows:
            with self.subTest(what):
                try:
                    cwd = tempfile.mkdtemp(prefix="ftsim-cwd-")
                    self.addCleanup(shutil.rmtree, cwd, True)
                    prepare(cwd)
                    self.sensor(0)
                    c = self.controller()
                    d = self.daemon(cwd=cwd)
                    c.wait_packages(50, timeout=20)   # the start-up went on to the stream
                    err = d.stderr()
                    self.assertIn("Cannot write qrm_debug_output.txt: ", err)
                    if message:
                        self.assertIn(message, err)
                    self.assertEqual(os.readlink("/proc/%d/fd/1" % d.pid), "/dev/null")
                    log = os.path.join(cwd, sandbox.DEBUG_LOG)
                    if os.path.exists(log):
                        os.unlink(log)   # a FIFO would block the harness's own reads
                    d.interrupt()
                    self.assertExitStatus(d, 2)
                    self.assertEqual(d.stdout(), "")
                finally:
                    self.reset()
        with open(outside) as f:
            self.assertEqual(f.read(), "not the daemon's\n")

    def test_full_disk_drops_lines_said_once_until_there_is_room(self):
        cwd = tempfile.mkdtemp(prefix="ftsim-cwd-")
        self.addCleanup(shutil.rmtree, cwd, True)
        sandbox._mount("tmpfs", cwd, "tmpfs", 0, "size=64k", what="tmpfs")
        self.addCleanup(sandbox._umount, cwd)
        filler = os.path.join(cwd, "filler")
        with open(filler, "wb") as f:
            f.write(b"x" * (32 << 10))
        s = self.sensor(0)
        c = self.controller()
        d = self.daemon(cwd=cwd)
        c.wait_packages(50, timeout=20)
        # Every frame after these says the CRC ratio in the log, until long after them; a
        # good one among them finds the sync again should a pause of the simulator lose it.
        bad = sim.pack_frame((1.0,) * 6, timestamp=7, bad_crc=True)
        s.send(sim.Raw((sim.pack_frame((1.0,) * 6, timestamp=7) + bad * 500) * 10, block=True))
        d.wait_stderr("Cannot write qrm_debug_output.txt: No space left on device; "
                      "its lines are dropped until there is room\n", timeout=30)
        c.wait_packages(len(c.packages()) + 200)   # the stream loses nothing
        full = os.path.getsize(d.log_path)
        os.unlink(filler)
        harness.sandbox.wait_for(lambda: os.path.getsize(d.log_path) > full + 4096, 30,
                                 "the log to go on")
        self.assertGreater(proxy().get_statistics()["lines_dropped"], 0)
        d.interrupt()
        self.assertExitStatus(d, 2)
        self.assertEqual(d.stderr().count("Cannot write"), 1)
        ratios = [l for l in d.log().splitlines() if "crc" in l or "Too" in l]
        self.assertTrue(all(re.fullmatch(r"Too many crc errors: \d+/\d+", l) for l in ratios))

    def test_fifo_in_the_logs_place_is_kept_aside(self):
        def prepare(cwd):
            os.mkfifo(os.path.join(cwd, sandbox.DEBUG_LOG))
        self.sensor(0)
        c = self.controller()
        d = self.daemon(prepare=prepare)
        c.wait_packages(50, timeout=20)
        d.wait_log("Successful setup")
        self.assertTrue(d.log().startswith("Start log file\n"), d.log())


class Interrupt(harness.BenchCase):
    ROUNDS = 4

    def _check_early_interrupt(self, d):
        self.assertExitStatus(d, 2)
        # Standard output is still the one the daemon was started with.
        self.assertEqual(d.stdout(), INTERRUPT)
        self.assertTrue(d.stderr().endswith(INTERRUPT + CLOSE), d.stderr())
        self.assertEqual(d.stderr().count(INTERRUPT), 1)
        self.assertFalse(d.log_exists())

    def test_sigint_while_probing_a_silent_device(self):
        for round_ in range(self.ROUNDS):
            with self.subTest(round=round_):
                try:
                    s = self.silent(0)
                    found = another_instrument(s.slave)
                    d = self.daemon()
                    d.wait_stderr(opened("/dev/ttyUSB0"), timeout=10)
                    # Vary where inside the probe the signal lands.
                    time.sleep(0.15 * round_)
                    d.interrupt()
                    self._check_early_interrupt(d)
                    self.assertEqual(d.stderr(), "Found port /dev/ttyUSB0\n"
                                     + opened("/dev/ttyUSB0") + INTERRUPT + CLOSE)
                    # Another instrument's port, as a finished probe leaves it.
                    self.assertEqual(termios.tcgetattr(s.slave), found)
                finally:
                    self.reset()

    def test_sigint_while_probing_a_noisy_device(self):
        for round_ in range(self.ROUNDS):
            with self.subTest(round=round_):
                try:
                    s = self.sensor(0, mode="silent")
                    s.send(*[sim.Garbage(b"\x55" * 37) for _ in range(4000)])
                    d = self.daemon()
                    d.wait_stderr(opened("/dev/ttyUSB0"), timeout=10)
                    time.sleep(0.1 * round_)
                    d.interrupt()
                    self._check_early_interrupt(d)
                finally:
                    self.reset()

    def test_sigint_while_waiting_for_the_controller(self):
        for round_ in range(self.ROUNDS):
            with self.subTest(round=round_):
                try:
                    self.sensor(0)
                    c = self.controller(replies=[ctl.no_answer()])
                    d = self.daemon()
                    c.wait_setup_requests(1, timeout=15)
                    d.wait_log("Start log file\n")
                    d.interrupt()
                    self.assertExitStatus(d, 2)
                    # Standard output now is the debug log.
                    self.assertEqual(d.stdout(), "")
                    self.assertEqual(d.log(), "Start log file\n" + INTERRUPT)
                    self.assertTrue(d.stderr().endswith(INTERRUPT + CLOSE), d.stderr())
                    self.assertEqual(d.stderr().count(INTERRUPT), 1)
                    # The handler closed the controller connection.
                    c.wait_closed(timeout=5)
                finally:
                    self.reset()

    def test_sigterm_stops_as_sigint_does_and_sighup_is_ignored(self):
        s = self.sensor(0)
        c = self.controller()
        d = self.daemon()
        c.wait_packages(20, timeout=20)
        d.proc.send_signal(signal.SIGHUP)
        n = len(c.packages())
        c.wait_packages(n + 200, timeout=20)
        self.assertTrue(d.running(), d.describe())
        d.proc.send_signal(signal.SIGTERM)
        self.assertExitStatus(d, 2)
        term = "Interrupt signal (15) received.\n"
        self.assertTrue(d.log().endswith(term), d.log())
        self.assertTrue(d.stderr().endswith(term + CLOSE), d.stderr())
        self.assertNotIn("Interrupt signal (1)", d.stderr())
        c.wait_closed(timeout=5)

    def test_sigint_while_streaming(self):
        for round_ in range(self.ROUNDS):
            with self.subTest(round=round_):
                try:
                    s = self.sensor(0)
                    c = self.controller()
                    d = self.daemon()
                    c.wait_packages(20 + 40 * round_, timeout=20)
                    d.interrupt()
                    self.assertExitStatus(d, 2)
                    self.assertEqual(d.stdout(), "")
                    log = d.log()
                    self.assertTrue(log.startswith("Start log file\n"), log)
                    self.assertTrue(log.endswith(INTERRUPT), log)
                    self.assertTrue(re.search(r"Successful setup: Recipe id = 1\n", log), log)
                    self.assertTrue(d.stderr().endswith(INTERRUPT + CLOSE), d.stderr())
                    self.assertEqual(c.all_malformed(), [])
                    c.wait_closed(timeout=5)
                    self.assertGreater(len(s.sent_frames()), 0)
                finally:
                    self.reset()

    def test_stops_with_standard_output_and_error_full_pipes(self):
        """Nobody reads standard output or standard error: the stop's lines are dropped, and
        it still ends the daemon, in every phase."""
        def full_pipe():
            r, w = os.pipe()
            self.addCleanup(os.close, r)
            self.addCleanup(os.close, w)
            # Filled through a description of its own: the daemon's end stays blocking.
            fill = os.open("/proc/self/fd/%d" % w, os.O_WRONLY | os.O_NONBLOCK)
            try:
                while True:
                    os.write(fill, b"x" * 4096)
            except BlockingIOError:
                pass
            finally:
                os.close(fill)
            return w

        def probing(d):
            sandbox.wait_for(lambda: any(f.startswith("/dev/pts/") for f in d.open_files()),
                             15, "the probe's open port")

        def handling_signals(d):
            def blocked():
                with open("/proc/%d/status" % d.pid) as f:
                    mask = [l.split()[1] for l in f if l.startswith("SigBlk:")][0]
                return int(mask, 16) & (1 << (signal.SIGINT - 1))
            sandbox.wait_for(blocked, 10, "SIGINT taken over")

        phases = {
            # Each port found waits for standard error, so the scan lasts a while.
            "scan": (lambda: [self.silent(k) for k in range(3)],
                     lambda s, c, d: handling_signals(d)),
            "probe": (lambda: self.silent(0), lambda s, c, d: probing(d)),
            "set-up": (lambda: self.sensor(0), lambda s, c, d: c.wait_setup_requests(1, 20)),
            "configuring": (lambda: self.sensor(0), lambda s, c, d: (
                c.wait_packages(20, timeout=20), wait_service(d),
                Background(lambda: proxy(30).configure_sensor(250.0)),
                s.wait_received(b"Cf,59,0,0,1\ns", timeout=10))),
            "streaming": (lambda: self.sensor(0), lambda s, c, d: c.wait_packages(20, 20)),
        }
        for phase, (sensor, reach) in phases.items():
            with self.subTest(phase=phase):
                try:
                    s = sensor()
                    c = self.controller(replies=[ctl.no_answer()] if phase == "set-up" else None)
                    d = self.daemon(stdout=full_pipe(), stderr=full_pipe())
                    reach(s, c, d)
                    d.interrupt()
                    self.assertExitStatus(d, 2, timeout=15)
                    if phase == "configuring":
                        s.wait_received(b"s#R", timeout=5)
                finally:
                    self.reset()


if __name__ == "__main__":
    harness.main()
