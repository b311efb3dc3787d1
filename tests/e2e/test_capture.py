"""Recording a sensor line and replaying it: ftrecord records what a simulated sensor sends,
byte for byte and with its silences; the example capture replayed through the real daemon
gives exactly the packages and messages an independent model predicts from its bytes."""

import os
import signal
import subprocess
import sys
import tempfile
import termios

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import harness  # noqa: E402
from harness import BenchCase, ctl, sandbox, sim  # noqa: E402
from ftsim import capture, model  # noqa: E402

EXAMPLE = os.path.join(harness.REPO, "tools", "captures", "example.ftcap")


def line_of(s):
    return b"".join(e.data[:e.written] for e in list(s.sent))


class Recorder(BenchCase):
    def setUp(self):
        super().setUp()
        self.ftrecord = os.path.join(os.path.dirname(harness.DAEMON), "ftrecord")
        self.tmp = tempfile.mkdtemp(prefix="ftrecord-")
        self.out = os.path.join(self.tmp, "cap.ftcap")

    def tearDown(self):
        super().tearDown()
        for name in os.listdir(self.tmp):
            os.unlink(os.path.join(self.tmp, name))
        os.rmdir(self.tmp)

    def start(self, path, *opts):
        # The simulator keeps its own end of the pty open, as a second reader would: the
        # recorder is told to share it.
        p = subprocess.Popen([self.ftrecord, "--force", *opts, path, self.out],
                             stderr=subprocess.PIPE, text=True)
        def stop():
            if p.poll() is None:
                p.kill()
                p.wait()
            p.stderr.close()
        self.addCleanup(stop)
        return p

    def test_records_the_bytes_and_the_silences_on_the_daemons_settings(self):
        s = self.sensor(0)
        p = self.start(s.path)
        self.assertIn("recording", p.stderr.readline())
        # The port carries the daemon's settings while the recorder holds it.
        attrs = termios.tcgetattr(s.slave)
        self.assertEqual(attrs[4:6], [termios.B460800, termios.B460800])
        self.assertEqual((attrs[6][termios.VMIN], attrs[6][termios.VTIME]), (0, 1))
        self.assertEqual(attrs[3] & (termios.ICANON | termios.ECHO | termios.ISIG), 0)
        self.assertEqual(attrs[1] & termios.OPOST, 0)

        s.send(sim.Frames(20), sim.Garbage(b"\x01\x0d\x0a\xaa"), sim.Silence(0.3), sim.Frames(40))
        s.wait_consumed(timeout=10)
        p.send_signal(signal.SIGINT)
        self.assertEqual(p.wait(10), 0, p.stderr.read())

        chunks = capture.load(self.out)
        got = capture.line_bytes(chunks)
        line = line_of(s)
        start = line.find(got)
        self.assertGreater(len(got), 60 * sim.FRAME_SIZE)
        self.assertGreaterEqual(start, 0, "the recording is not a piece of the line as sent")
        # The silence falls between two reads, at the right byte, with its length.
        silence = [e for e in s.sent if e.kind == "silence"][0]
        ends, pos = {}, 0
        for k, (t, data) in enumerate(chunks):
            pos += len(data)
            ends[pos] = k
        k = ends.get(silence.offset - start)
        self.assertIsNotNone(k, "no read ends where the silence began")
        self.assertGreaterEqual(chunks[k + 1][0] - chunks[k][0], 0.25)
        self.assertLess(max(b[0] - a[0] for a, b in zip(chunks, chunks[1:])), 0.5)

    def test_stops_after_the_given_time(self):
        s = self.sensor(0)
        p = self.start(s.path, "--seconds", "0.5")
        self.assertEqual(p.wait(10), 0, p.stderr.read())
        chunks = capture.load(self.out)
        self.assertIn(capture.line_bytes(chunks), line_of(s))
        self.assertLess(chunks[-1][0], 0.6)
        self.assertGreater(len(capture.line_bytes(chunks)), 100 * sim.FRAME_SIZE)

    def test_refuses_a_port_another_process_holds(self):
        self.sensor(0)
        c = self.controller([ctl.ok()])
        d = self.daemon()
        c.wait_packages(50, timeout=15)
        r = subprocess.run([self.ftrecord, "--seconds", "1", "/dev/ttyUSB0", self.out],
                           capture_output=True, text=True)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertRegex(r.stderr, r"^ftrecord: /dev/ttyUSB0 is open in another process: .*"
                         r"\b%d \(ftbridge\).*--force" % d.pid)
        self.assertFalse(os.path.exists(self.out))
        # A pty nobody else holds is recorded without --force.
        master, slave, path = sim.open_raw_pty()
        os.close(slave)
        self.addCleanup(os.close, master)
        r = subprocess.run([self.ftrecord, "--seconds", "0.3", path, self.out],
                           capture_output=True, text=True)
        self.assertEqual(r.returncode, 0, r.stderr)

    def test_usage_and_a_missing_port(self):
        for args, status, out in ((["-h"], 0, "usage: ftrecord"), (["--help"], 0, "--force"),
                                  (["-V"], 0, "ftrecord "), (["--version"], 0, "ftrecord ")):
            r = subprocess.run([self.ftrecord, *args], capture_output=True, text=True)
            self.assertEqual((r.returncode, r.stderr), (status, ""), args)
            self.assertIn(out, r.stdout)
        r = subprocess.run([self.ftrecord], capture_output=True, text=True)
        self.assertEqual(r.returncode, 2, r.stderr)
        r = subprocess.run([self.ftrecord, "--seconds", "x", "/dev/ttyUSB0", self.out],
                           capture_output=True, text=True)
        self.assertEqual(r.returncode, 2, r.stderr)
        r = subprocess.run([self.ftrecord, "/dev/ttyUSB9", self.out], capture_output=True,
                           text=True)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn("init_serialport: Unable to open port", r.stderr)


class Replay(BenchCase):
    def test_example_capture_is_what_its_script_makes(self):
        r = subprocess.run([sys.executable, os.path.join(harness.REPO, "tools", "captures",
                                                         "make_example.py"), "--check"],
                           capture_output=True, text=True)
        self.assertEqual(r.returncode, 0, r.stderr)

    def test_replay_writes_the_capture_at_its_pace(self):
        chunks = [(0.0, b"\xaa\x01"), (0.05, b"\x02"), (0.3, b"\x03\x04")]
        s = self.sensor(0, mode="silent")
        s.send(sim.Replay(chunks))
        s.wait_sent(timeout=5)
        entries = [e for e in s.sent if e.kind in ("replay", "silence")]
        self.assertEqual([(e.kind, e.data) for e in entries],
                         [("replay", b"\xaa\x01"), ("replay", b"\x02"), ("silence", b""),
                          ("replay", b"\x03\x04")])
        t = [e.t_ns for e in entries if e.kind == "replay"]
        self.assertGreaterEqual(t[1] - t[0], 0.05e9)
        self.assertGreaterEqual(t[2] - t[0], 0.3e9)

    def test_example_capture_through_the_daemon(self):
        chunks = capture.load(EXAMPLE)
        s = self.sensor(0)
        c = self.controller([ctl.ok()])
        d = self.daemon()
        c.wait_packages(100, timeout=15)
        s.send(sim.Replay(chunks))
        s.wait_sent(timeout=30)
        s.set_mode("silent")
        s.wait_consumed(timeout=10)

        m = model.StreamModel(synced=True)
        m.feed_log(s.sent, model.first_package_offset(s.sent, c.packages()[0].values))
        c.wait_packages(len(m.packages), timeout=10)
        packages = c.packages()
        self.assertEqual([p.values for p in packages], m.packages, "bit for bit, in order")
        self.assertEqual(c.all_malformed(), [])

        # The capture's faults happened and were reported as the model predicts.
        lines = d.stderr().splitlines()
        for text in ("CRC error", "Lost sync", "Skipping incomplete frame"):
            self.assertEqual(lines.count(text), m.messages[text], text + "\n" + d.describe())
        self.assertEqual(m.messages["CRC error"], 1)
        self.assertEqual(m.messages["Lost sync"], 1)
        self.assertEqual(m.messages[model.SYNCED_READ_FAILED], 1)
        self.assertEqual(lines.count(model.SYNCED), 1 + m.messages[model.SYNCED])
        self.assertEqual(m.log, ["Error: 258"])
        self.assertIn("Error: 258\n", d.log())
        d.interrupt()
        self.assertExitStatus(d, 2)


if __name__ == "__main__":
    harness.main()
