"""The controller set-up end to end: every kind of answer a controller can give."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import harness  # noqa: E402
from harness import BenchCase, ctl  # noqa: E402


class RtdeSetupTest(BenchCase):
    def start(self, replies=None, listen=True):
        self.sensor(0)
        c = self.controller(replies) if listen else None
        d = self.daemon()
        return c, d

    def test_request_bytes_and_refused_recipe_streams_with_id_zero(self):
        c, d = self.start([ctl.in_use()])
        requests = c.wait_setup_requests(1, timeout=15)
        self.assertEqual(requests[0][1], b"\x00\x18Iexternal_force_torque")
        packages = c.wait_packages(20, timeout=10)
        self.assertTrue(all(p.recipe_id == 0 and p.error is None for p in packages))
        log = d.log()
        self.assertIn("Setup failed!\n", log)
        self.assertIn('Type of "input recipe": IN_USE\n', log)
        self.assertNotIn("Successful setup", log)

    def test_messages_and_other_types_are_retried_once_a_second(self):
        c, d = self.start([ctl.message("not yet"), ctl.other("V"), ctl.ok(7)])
        c.wait_packages(5, timeout=20)
        reqs = c.wait_setup_requests(3)
        self.assertEqual(len(reqs), 3)
        gaps = [(b[0] - a[0]) / 1e9 for a, b in zip(reqs, reqs[1:])]
        self.assertTrue(all(0.9 < g < 2.0 for g in gaps), gaps)
        log = d.log()
        self.assertIn("Message: \x03not yet\n", log)
        self.assertEqual(log.count("Could not yet setup RTDE connection.\n"), 2)
        self.assertIn("Successful setup: Recipe id = 7\n", log)
        self.assertTrue(all(p.recipe_id == 7 for p in c.packages()))

    def test_gives_up_after_more_than_twenty_seconds(self):
        c, d = self.start([ctl.message("busy")])
        self.assertExitStatus(d, 1, timeout=35)
        reqs = c.wait_setup_requests(1)
        span = (reqs[-1][0] - reqs[0][0]) / 1e9
        self.assertGreater(span, 19.0)
        self.assertLess(span, 23.0)
        log = d.log()
        self.assertTrue(log.endswith("Could not yet setup RTDE connection.\n"
                                     "Setup RTDE connection failed!\n"), log[-300:])
        self.assertEqual(c.packages(), [])

    def test_closed_connection(self):
        c, d = self.start([ctl.close()])
        self.assertExitStatus(d, 1)
        self.assertIn("Reading HEADER.size failed!\n", d.log())

    def test_nothing_listening(self):
        c, d = self.start(listen=False)
        self.assertExitStatus(d, 1)
        self.assertIn("RTDE socket connection failed: Connection refused\n", d.stderr())
        self.assertEqual(d.log(), "Start log file\n")

    def test_malformed_replies_are_refused(self):
        cases = [
            (b"\x00\x02I", "below the 3-byte header"),
            (b"\x00\x00M", "below the 3-byte header"),
            (b"\x00\x03I", "holds no recipe id"),
            (b"\x00\xcbM" + b"x" * 200, "does not fit the 200-byte buffer"),
            (b"\xff\xffI" + b"\x01" * 300, "does not fit the 200-byte buffer"),
        ]
        for data, why in cases:
            with self.subTest(reply=data[:3]):
                c, d = self.start([ctl.raw(data)])
                self.assertExitStatus(d, 1)
                log = d.log()
                self.assertIn("Invalid RTDE reply: ", log)
                self.assertIn(why, log)
                self.assertNotIn("Successful setup", log)
                self.tearDown()
                self.setUp()

    def test_largest_reply_that_fits_is_accepted(self):
        text = "V" * 198  # recipe id + 198 characters + the terminating zero = 200 bytes
        c, d = self.start([ctl.raw(ctl.setup_reply(3, text), recipe_id=3)])
        c.wait_packages(5, timeout=15)
        self.assertIn('Type of "input recipe": %s\n' % text, d.log())


if __name__ == "__main__":
    harness.main()
