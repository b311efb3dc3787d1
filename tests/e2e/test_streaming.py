"""The stream end to end: every valid frame that arrives while synchronised becomes exactly
one data package, carrying what an independent model computes from the bytes sent."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import harness  # noqa: E402
from harness import BenchCase, ctl, sim  # noqa: E402
from ftsim import model  # noqa: E402


class StreamingTest(BenchCase):
    def start_streaming(self, recipe_id=1):
        s = self.sensor(0)
        c = self.controller([ctl.ok(recipe_id)])
        d = self.daemon()
        c.wait_packages(100, timeout=15)
        return s, c, d

    def stderr_lines(self, d):
        return d.stderr().splitlines()

    def test_every_valid_frame_is_one_package_with_faults(self):
        s, c, d = self.start_streaming()
        s.send(sim.BadCrc(), sim.Frames(5), sim.BadCrc(),
               sim.Garbage(b"\x01\x02\x03"), sim.Frames(20),
               sim.Split(pieces=(10, 27), gap=0.02), sim.BadStatus(status=258), sim.Frames(5),
               sim.Truncated(length=20), sim.Frames(20),
               sim.Silence(0.3), sim.Frames(20),
               sim.NonFinite(status=7), sim.Frames(5),
               sim.Garbage(bytes([0xAA, 1, 2, 3, 0xAA, 5, 6])), sim.Frames(30))
        s.wait_sent(timeout=30)
        s.set_mode("silent")
        s.wait_consumed(timeout=10)

        packages = c.packages()
        m = model.StreamModel(synced=True)
        m.feed_log(s.sent, model.first_package_offset(s.sent, packages[0].values))
        # Wait for what the model predicts, then check nothing more came.
        c.wait_packages(len(m.packages), timeout=10)
        packages = c.packages()
        self.assertEqual([p.values for p in packages], m.packages, "bit for bit, in order")
        self.assertEqual({(p.recipe_id, p.error) for p in packages}, {(1, None)})

        # The faults actually happened and were reported as the model predicts.
        lines = self.stderr_lines(d)
        for text in ("CRC error", "Lost sync", "Skipping incomplete frame"):
            self.assertEqual(lines.count(text), m.messages[text], text + "\n" + d.describe())
        self.assertGreaterEqual(m.messages["CRC error"], 2)
        self.assertGreaterEqual(m.messages["Lost sync"], 1)
        self.assertEqual(lines.count(model.NON_FINITE), m.messages[model.NON_FINITE])
        self.assertEqual(m.messages[model.NON_FINITE], 1)
        self.assertEqual(lines.count(model.SYNCED), 1 + m.messages[model.SYNCED])
        failed = m.messages[model.SYNCED_READ_FAILED]
        self.assertIn(lines.count(model.SYNCED_READ_FAILED), (failed, failed + 1))
        # A dropped non-finite frame still reports its status word.
        self.assertEqual(m.log, ["Error: 258", "Error: 7"])
        self.assertEqual([l for l in d.log().splitlines() if l.startswith("Error: ")], m.log)
        self.assertEqual(c.all_malformed(), [])

    def test_recipe_id_is_carried_and_log_reports_setup(self):
        s, c, d = self.start_streaming(recipe_id=200)
        self.assertTrue(all(p.recipe_id == 200 for p in c.packages()))
        log = d.log()
        self.assertTrue(log.startswith("Start log file\n"), log)
        self.assertIn("Successful setup: Recipe id = 200\n", log)
        self.assertIn('Type of "input recipe": VECTOR6D\n', log)

    def test_sensor_falls_silent(self):
        """Silence while synced: one report, no stale package, then the header timeout."""
        s, c, d = self.start_streaming()
        s.set_mode("silent")
        d.wait_stderr("Read frame from serial port failed while synched!", timeout=5)
        self.assertExitStatus(d, 1, timeout=20)
        self.assertIn("Read frame header from serial port failed! Exiting...", d.stderr())
        # Counted once the controller has all the daemon sent (it may lag behind the daemon's
        # messages): exactly the packages of the frames sent, none after the silence.
        c.wait_closed(timeout=5)
        packages = c.packages()
        m = model.StreamModel(synced=True)
        m.feed_log(s.sent, model.first_package_offset(s.sent, packages[0].values))
        m.silence()
        self.assertEqual([p.values for p in packages], m.packages,
                         "a package was sent after the line fell silent")
        n = len(packages)
        sent = len(s.sent_frames())
        # Every package stands for a frame that arrived: never more packages than frames.
        self.assertLess(n, sent)

    def test_log_is_bounded_under_a_flood_of_bad_frames(self):
        """Every bad frame prints a ratio report; the log turns over at 8 MiB, and the two
        files together stay bounded."""
        limit = 8 << 20
        s, c, d = self.start_streaming()
        bad = sim.pack_frame((1.0,) * 6, timestamp=7, header=sim.HEADER)
        bad = bad[:35] + bytes([bad[35] ^ 0xFF, bad[36]])
        s.send(sim.Raw(bad * 260000, block=True))
        kept = d.log_path + ".1"
        harness.sandbox.wait_for(lambda: os.path.exists(kept), 120, "the log to turn over")
        with open(kept, "rb") as f:
            old = f.read()
        with open(d.log_path, "rb") as f:
            new = f.read(64)
        line = max(len(x) for x in old.splitlines(True)[-3:])
        self.assertTrue(old.startswith(b"Start log file\n"), old[:64])
        self.assertTrue(new.startswith(b"Log continued\n"), new)
        self.assertGreaterEqual(len(old), limit)
        self.assertLessEqual(len(old), limit + line)
        self.assertLessEqual(os.path.getsize(d.log_path), limit + line)
        self.assertTrue(d.running())

    def test_controller_gone_ends_the_daemon(self):
        s, c, d = self.start_streaming()
        c.close_connection()
        self.assertExitStatus(d, 1, timeout=10)
        self.assertIn("Sending data package to controller failed", d.stderr())


if __name__ == "__main__":
    harness.main()
