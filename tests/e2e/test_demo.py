"""`make demo`'s driver run as CI runs it, without a terminal: it ends by itself with a
summary and leaves a CSV of the packages and a PNG of the session; on SIGINT it still stops
the daemon cleanly and leaves its files."""

import csv
import os
import signal
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib

import harness

DEMO = os.path.join(harness.REPO, "tools", "demo")
COMMANDS = ["status", "set-title", "title", "set-bias", "set-output", "filter", "filter",
            "freq", "configure", "freq", "running", "watch", "stats", "settings", "status"]


def png_chunks(path):
    """The chunk types of a PNG file; fails on a bad signature, length or CRC."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise AssertionError("not a PNG signature: %r" % data[:8])
    pos, types = 8, []
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        crc = struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])[0]
        if len(body) != length or zlib.crc32(kind + body) != crc:
            raise AssertionError("PNG chunk %r at %d is damaged" % (kind, pos))
        if kind == b"IHDR":
            width, height = struct.unpack(">II", body[:8])
            if not (width > 0 and height > 0):
                raise AssertionError("PNG of %dx%d" % (width, height))
        types.append(kind)
        pos += 12 + length
    return types


class Demo(unittest.TestCase):
    def setUp(self):
        self.out = tempfile.mkdtemp(prefix="ftdemo-")

    def tearDown(self):
        for name in os.listdir(self.out):
            os.unlink(os.path.join(self.out, name))
        os.rmdir(self.out)

    def demo(self, hold):
        return subprocess.Popen([sys.executable, DEMO, "--daemon", harness.DAEMON, "--out",
                                 self.out, "--hold", str(hold)], stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)

    def rows(self):
        with open(os.path.join(self.out, "packages.csv")) as f:
            rows = list(csv.reader(f))
        self.assertEqual(rows[0], ["t_s", "fx", "fy", "fz", "tx", "ty", "tz"])
        values = [[float(x) for x in r] for r in rows[1:]]
        self.assertTrue(all(len(r) == 7 for r in values))
        times = [r[0] for r in values]
        self.assertEqual(times, sorted(times))
        return values

    def check_png(self):
        types = png_chunks(os.path.join(self.out, "session.png"))
        self.assertEqual(types[0], b"IHDR")
        self.assertIn(b"IDAT", types)
        self.assertEqual(types[-1], b"IEND")

    def test_runs_to_the_end_without_a_terminal(self):
        p = self.demo(hold=1.0)
        out, _ = p.communicate(timeout=120)
        self.assertEqual(p.returncode, 0, out)
        self.assertIn("daemon: Found port /dev/ttyUSB0", out)
        self.assertIn("sample frequency 800.000 Hz -> 500.000 Hz", out)
        self.assertIn("exit status 2", out)
        self.assertIn("  port             /dev/ttyUSB0\n", out)
        self.assertRegex(out, r"\n  running yes  500\.0 Hz  \d+\.\d packages/s  0\.0 CRC errors/s ")
        self.assertNotIn("\r", out, "terminal control on a pipe")
        self.assertGreaterEqual(sum(" running " in line and "Hz" in line
                                    for line in out.splitlines()), 3, out)

        values = self.rows()
        self.assertGreater(len(values), 1000)
        with open(os.path.join(self.out, "calls.csv")) as f:
            calls = list(csv.DictReader(f))
        self.assertEqual([c["command"].split()[0] for c in calls], COMMANDS)
        self.assertTrue(all(c["exit_status"] == "0" for c in calls), calls)
        self.check_png()

    def test_an_interrupted_demo_still_stops_the_daemon_and_writes_its_files(self):
        p = self.demo(hold=5.0)
        for line in p.stdout:
            if line.startswith("$ ftbridge-ctl status"):
                break
        p.send_signal(signal.SIGINT)
        out, _ = p.communicate(timeout=60)
        self.assertEqual(p.returncode, 130, out)
        self.assertIn("summary (interrupted)", out)
        self.assertIn("exit status 2", out)
        self.assertGreater(len(self.rows()), 100)
        self.check_png()


if __name__ == "__main__":
    harness.main(sandboxed=False)
