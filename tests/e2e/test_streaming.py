"""The stream end to end: every valid frame that arrives while synchronised becomes exactly
one data package, carrying what an independent model computes from the bytes sent."""

import os
import resource
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import harness  # noqa: E402
from harness import BenchCase, ctl, sim  # noqa: E402
from ftsim import model  # noqa: E402
from ftsim.control import PORT, proxy, wait_service  # noqa: E402


SLACK = 64 << 10   # what a full debug log takes while its turn-over waits


def indexed(index, rate_hz):
    """Each frame carries its own index: with the filter off, a package tells its frame."""
    return (float(index), 0.0, 0.0, 0.0, 0.0, 0.0)


def crc_flood():
    """Frames whose header is right and CRC wrong, each printing a ratio report while synced:
    twice the 240,000 that fill the 8 MiB log. Two valid ones in every 50 bring the sync back
    after a read that timed out (the simulator held up for 0.1 s on a loaded machine): the
    search skips the frame after each one it rejects, so it meets one of a pair."""
    good = sim.pack_frame((1.0,) * 6, timestamp=7)
    bad = sim.pack_frame((1.0,) * 6, timestamp=7, bad_crc=True)
    return (bad * 48 + good * 2) * 10000


def control_port_listens():
    with open("/proc/net/tcp") as f:
        rows = [r.split() for r in f.readlines()[1:]]
    return any(r[1].endswith(":%04X" % PORT) and r[3] == "0A" for r in rows)


class StreamingTest(BenchCase):
    def start_streaming(self, recipe_id=1):
        s = self.sensor(0)
        c = self.controller([ctl.ok(recipe_id)])
        d = self.daemon()
        c.wait_packages(100, timeout=15)
        wait_service(d)   # it listens from a thread of its own, under load after the stream
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
        for text in ("Lost sync", "Skipping incomplete frame"):
            self.assertEqual(lines.count(text), m.messages[text], text + "\n" + d.describe())
        # A per-frame report is rate-limited on stderr: those left out are counted in the
        # line before the next one shown (the last ones may still be pending).
        left_out = sum(int(l.split()[2]) for l in lines
                       if l.startswith('Left out ') and l.endswith(' more "CRC error" lines'))
        self.assertGreaterEqual(lines.count("CRC error"), 1)
        self.assertLessEqual(lines.count("CRC error") + left_out, m.messages["CRC error"])
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
        """Every frame of a flood of bad ones prints a ratio report; the log turns over at
        8 MiB, and the two files together stay bounded."""
        limit = 8 << 20
        s, c, d = self.start_streaming()
        s.send(sim.Raw(crc_flood(), block=True))
        kept = d.log_path + ".1"
        harness.sandbox.wait_for(lambda: os.path.exists(kept), 120, "the log to turn over")
        with open(kept, "rb") as f:
            old = f.read()
        with open(d.log_path, "rb") as f:
            new = f.read(64)
        self.assertTrue(old.startswith(b"Start log file\n"), old[:64])
        self.assertTrue(new.startswith(b"Log continued\n"), new)
        self.assertGreaterEqual(len(old), limit)
        # A full log takes 64 KiB more at most while its own thread turns it over.
        self.assertLessEqual(len(old), limit + SLACK)
        self.assertLessEqual(os.path.getsize(d.log_path), limit + SLACK)
        self.assertTrue(d.running())

    def test_turn_over_without_descriptors_leaves_the_kept_file(self):
        s = self.sensor(0)
        c = self.controller([ctl.ok(1)])
        d = self.daemon()
        c.wait_packages(100, timeout=15)
        # Once the control port listens (a service that cannot ends the daemon), no descriptor
        # to be had: the limit at the lowest free one. Control connections that took them all
        # would give them back whenever the daemon closes a stale one, and a call's would
        # come and go, so none is made.
        harness.sandbox.wait_for(control_port_listens, 10, "the control port")
        fds = {int(n) for n in os.listdir("/proc/%d/fd" % d.pid)}
        lowest = min(set(range(len(fds) + 1)) - fds)
        resource.prlimit(d.pid, resource.RLIMIT_NOFILE, (lowest, lowest))
        s.send(sim.Raw(crc_flood(), block=True))
        d.wait_stderr("Cannot write qrm_debug_output.txt: Too many open files; "
                      "standard output goes to /dev/null\n", timeout=120)
        # Nothing writes to the kept file any more, however long the flood goes on.
        self.assertEqual(os.readlink("/proc/%d/fd/1" % d.pid), "/dev/null")
        self.assertLessEqual(os.path.getsize(d.log_path + ".1"), (8 << 20) + SLACK)

    def test_controller_gone_ends_the_daemon(self):
        s, c, d = self.start_streaming()
        c.close_connection()
        self.assertExitStatus(d, 1, timeout=10)
        self.assertIn("Sending data package to controller failed", d.stderr())

    def test_flapping_sync_is_limited_and_counted(self):
        """Sync found and lost at the line rate: a burst of lines, then a few a second, and
        every one left out counted."""
        s, c, d = self.start_streaming()
        st0 = proxy().get_statistics()
        err0 = len(self.stderr_lines(d))
        s.send(*[x for _ in range(400) for x in (sim.Frames(2), sim.BadCrc(header=0))])
        s.wait_consumed(timeout=30)

        # A read cut short by a held-up simulator loses the line in place of one loss of sync.
        def all_lost():
            st = proxy().get_statistics()
            lost = sum(st[k] - st0[k] for k in ("lost_sync", "read_failures"))
            return st if lost >= 400 else None
        st = harness.sandbox.wait_for(all_lost, 10, "every loss of sync")
        lines = self.stderr_lines(d)[err0:]
        shown = {k: lines.count(k) for k in ("Lost sync", model.SYNCED)}
        happened = {"Lost sync": st["lost_sync"] - st0["lost_sync"],
                    model.SYNCED: st["synchronisations"] - st0["synchronisations"]}
        for k in shown:
            self.assertLess(shown[k], happened[k] // 2, k)
        self.assertGreaterEqual(st["lines_left_out"] - st0["lines_left_out"],
                                sum(happened.values()) - sum(shown.values()))


class ControllerTest(BenchCase):
    """A controller that reads slowly, stalls or discards: it reads fresh data or none, and
    the daemon's health signals say so."""

    def start(self, replies=None, **kw):
        s = self.sensor(0, signal=indexed)
        c = self.controller(replies, rcvbuf=1024, **kw)
        d = self.daemon()
        c.wait_packages(20, timeout=15)
        wait_service(d)
        proxy().enable_filter(False, 1)
        return s, c, d

    def backlog(self, s, c):
        """Frames the sensor had sent when the last package read left it: what waited in
        the queues (ages in frames, not seconds, so load cannot change the verdict)."""
        p = c.packages()[-1]
        index = int(round(-p.values[1]))
        sent = [f for f in s.sent_frames() if f.t_ns <= p.t_ns]
        return sent[-1].index - index

    def test_slow_controller_reads_fresh_data(self):
        s, c, d = self.start(read_rate=100)
        c.wait_packages(300, timeout=30)
        self.assertLess(self.backlog(s, c), 400, d.describe())
        self.assertGreater(proxy().get_statistics()["skipped_packages"], 0)
        self.assertEqual(c.all_malformed(), [], "every package whole")

    def test_burst_to_a_slow_controller_ends_on_the_newest_frame(self):
        """A burst to a controller reading 100 packages/s through a 2 KiB buffer, then
        silence: every frame became a package or was skipped, the packages came in order,
        and the last one read is the newest frame's."""
        s = self.sensor(0, signal=indexed)
        c = self.controller(read_rate=100, rcvbuf=2048)
        d = self.daemon()
        c.wait_packages(20, timeout=15)
        wait_service(d)
        proxy().enable_filter(False, 1)
        s.set_mode("silent")
        s.wait_sent(s.send(sim.Burst(20000)), timeout=60)
        newest = s.sent_frames()[-1].index

        def index(p):
            return int(round(-p.values[1]))
        harness.sandbox.wait_for(lambda: index(c.packages()[-1]) == newest, 8,
                                 "the newest frame's package\n" + d.describe())
        st = proxy().get_statistics()
        self.assertEqual(st["frames"], st["packages"] + st["skipped_packages"] + st["non_finite"])
        self.assertEqual(len(c.packages()), st["packages"])
        indices = [index(p) for p in c.packages()]
        self.assertEqual(indices, sorted(set(indices)), "in order, none twice")
        self.assertEqual(c.all_malformed(), [])

    def test_short_stall_keeps_the_daemon_and_reads_fresh_after(self):
        s, c, d = self.start()
        c.stall()
        harness.sandbox.wait_for(lambda: not proxy().is_running(), 10, "running false")
        harness.sandbox.wait_for(lambda: proxy().get_statistics()["skipped_packages"] > 800,
                                 10, "a second of skipped packages")
        c.resume()
        harness.sandbox.wait_for(lambda: proxy().is_running(), 10, "running again")
        n = len(c.packages())
        c.wait_packages(n + 200, timeout=10)
        self.assertLess(self.backlog(s, c), 400, d.describe())
        self.assertTrue(d.running())
        self.assertEqual(c.all_malformed(), [])

    def test_stalled_controller_is_lost_after_ten_seconds(self):
        s, c, d = self.start()
        t0 = time.monotonic()
        c.stall()
        self.assertExitStatus(d, 1, timeout=30)
        self.assertGreater(time.monotonic() - t0, 10.0, "lost before 10 s without a package")
        reason = "Controller took no data package for 10 s, exiting"
        self.assertIn(reason, d.stderr())
        harness.sandbox.wait_for(lambda: reason in d.log(), 5, "the reason in the log")

    def test_recipe_id_zero_streams_but_is_not_running(self):
        s, c, d = self.start([ctl.in_use()])
        n = len(c.packages())
        c.wait_packages(n + 100, timeout=10)
        self.assertFalse(proxy().is_running())
        self.assertEqual(proxy().get_settings()["recipe_id"], 0)
        self.assertEqual({p.recipe_id for p in c.packages()}, {0})

    def test_unread_stderr_never_holds_the_stream(self):
        """A stuck log collector: the stream goes on, its lines are dropped and counted,
        and SIGINT still ends the daemon."""
        r, w = os.pipe()
        self.addCleanup(os.close, r)
        self.addCleanup(os.close, w)
        s = self.sensor(0, signal=indexed)
        c = self.controller(rcvbuf=1024)
        d = self.daemon(stderr=w)
        c.wait_packages(20, timeout=15)
        wait_service(d)
        os.set_blocking(w, False)
        try:
            while True:
                os.write(w, b"x" * 4096)
        except BlockingIOError:
            pass
        # Each pair loses and finds the sync again: four lines the pipe cannot take.
        bad = sim.BadCrc(header=0)
        s.send(*[x for _ in range(200) for x in (sim.Frames(2), bad, sim.BadCrc())])
        # The limit leaves most of them out; of those it lets through, the pipe takes none.
        harness.sandbox.wait_for(lambda: proxy().get_statistics()["lines_left_out"] > 100, 20,
                                 "lines left out")
        self.assertGreater(proxy().get_statistics()["lines_dropped"], 0)
        n = len(c.packages())
        c.wait_packages(n + 400, timeout=10)
        d.interrupt()
        self.assertExitStatus(d, 2, timeout=15)


if __name__ == "__main__":
    harness.main()
