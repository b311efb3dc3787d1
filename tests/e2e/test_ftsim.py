"""Self-tests of the simulators: frame and CRC encoding, the pty sensor's
scripting and command handling, and the RTDE controller's decoding.

These do not run the daemon. They enter the sandbox only for port 30004.
"""

import math
import os
import select
import socket
import struct
import tempfile
import termios
import time
import tty
import unittest

import harness
from harness import ctl, sandbox, sim


class CrcTest(unittest.TestCase):
    def test_check_values(self):
        self.assertEqual(sim.crc16(b"123456789"), 0x906E)
        self.assertEqual(sim.crc16(b"abc"), 0x9E25)
        self.assertEqual(sim.crc16(bytes(34)), 0xE26A)
        self.assertEqual(sim.crc16(b""), 0)


class FrameTest(unittest.TestCase):
    def test_layout(self):
        f = sim.pack_frame((1.0, -2.0, 3.5, 0.25, -0.5, 100.0), status=0x0102,
                           timestamp=0xDEADBEEF, extra=b"wxyz")
        self.assertEqual(len(f), 37)
        self.assertEqual(f[0], 0xAA)
        self.assertEqual(f[1:3], b"\x02\x01")
        self.assertEqual(f[3:7], struct.pack("<f", 1.0))
        self.assertEqual(f[23:27], struct.pack("<f", 100.0))
        self.assertEqual(f[27:31], b"\xEF\xBE\xAD\xDE")
        self.assertEqual(f[31:35], b"wxyz")
        crc = sim.crc16(f[1:35])
        self.assertEqual(f[35], crc & 0xFF)
        self.assertEqual(f[36], crc >> 8)

    def test_crc_low_byte_first(self):
        f = sim.pack_frame((0,) * 6, crc=0x1234)
        self.assertEqual(f[35:37], b"\x34\x12")
        self.assertFalse(sim.unpack_frame(f).crc_ok)

    def test_round_trip_and_validity(self):
        f = sim.pack_frame((1.5, 2, 3, 4, 5, 6), timestamp=7)
        fr = sim.unpack_frame(f)
        self.assertTrue(fr.crc_ok)
        self.assertEqual(fr.values, (1.5, 2, 3, 4, 5, 6))
        self.assertEqual(fr.timestamp, 7)
        # The header is not covered; every payload byte is.
        self.assertTrue(sim.unpack_frame(b"\x55" + f[1:]).crc_ok)
        for i in range(1, 35):
            bad = bytearray(f)
            bad[i] ^= 0x01
            self.assertFalse(sim.unpack_frame(bytes(bad)).crc_ok, "byte %d" % i)

    def test_non_finite_values_pack(self):
        fr = sim.unpack_frame(sim.pack_frame((math.nan, math.inf, -math.inf, 0, 0, 0)))
        self.assertTrue(math.isnan(fr.values[0]))
        self.assertEqual(fr.values[1:3], (math.inf, -math.inf))


def _open_reader(sensor):
    """Open the sensor's slave as the daemon would: raw, non-blocking."""
    fd = os.open(sensor.path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    tty.setraw(fd)
    return fd


def _read_for(fd, nbytes, timeout):
    buf = bytearray()
    deadline = time.monotonic() + timeout
    while len(buf) < nbytes and time.monotonic() < deadline:
        r, _, _ = select.select([fd], [], [], 0.05)
        if r:
            try:
                # No more than asked for: a late reader must not take the next piece too.
                buf += os.read(fd, nbytes - len(buf))
            except BlockingIOError:
                pass
    return bytes(buf)


class SensorTest(unittest.TestCase):
    def setUp(self):
        self.s = None

    def tearDown(self):
        if self.s:
            self.s.close()
            self.assertEqual(self.s.errors, [])

    def test_default_stream_frames_are_valid_and_timestamped(self):
        self.s = sim.SimSensor(rate_hz=800)
        fd = _open_reader(self.s)
        try:
            data = _read_for(fd, 37 * 50, 5.0)
        finally:
            os.close(fd)
        start = data.index(b"\xAA")
        # Find a valid frame boundary, then every following frame is valid.
        while not sim.unpack_frame(data[start:start + 37]).crc_ok:
            start = data.index(b"\xAA", start + 1)
        frames = [sim.unpack_frame(data[i:i + 37]) for i in range(start, len(data) - 36, 37)]
        self.assertGreater(len(frames), 20)
        self.assertTrue(all(f.crc_ok and f.status == 0 for f in frames))
        stamps = [f.timestamp for f in frames]
        self.assertEqual({b - a for a, b in zip(stamps, stamps[1:])}, {1250})
        log = self.s.sent_frames()
        self.assertEqual([e.index for e in log], list(range(len(log))))

    def test_raw_mode_keeps_carriage_return(self):
        self.s = sim.SimSensor(mode="silent")
        fd = _open_reader(self.s)
        try:
            self.s.send(sim.Raw(b"\x0d\x0a\x11\x13\x03"))
            self.assertEqual(_read_for(fd, 5, 3.0), b"\x0d\x0a\x11\x13\x03")
        finally:
            os.close(fd)

    def test_script_order_and_faults(self):
        self.s = sim.SimSensor(mode="silent")
        fd = _open_reader(self.s)
        try:
            self.s.send(sim.SendFrame(values=(1, 2, 3, 4, 5, 6)), sim.Garbage(b"\x01\x02"),
                        sim.BadCrc(), sim.Truncated(length=10), sim.BadStatus(status=7),
                        sim.NonFinite(), sim.Split(pieces=(5, 32), gap=0.15))
            self.s.wait_sent(timeout=5)
            data = _read_for(fd, 37 * 5 + 2 + 10 + 37, 3.0)
        finally:
            os.close(fd)
        kinds = [e.kind for e in self.s.sent]
        self.assertEqual(kinds, ["frame", "garbage", "bad_crc", "truncated", "bad_status",
                                 "non_finite", "split"])
        self.assertEqual(data, b"".join(e.data for e in self.s.sent))
        e = self.s.sent
        self.assertTrue(e[0].crc_ok)
        self.assertFalse(e[2].crc_ok)
        self.assertEqual(len(e[3].data), 10)
        self.assertEqual(e[4].status, 7)
        self.assertTrue(e[4].crc_ok)
        self.assertTrue(math.isnan(e[5].values[0]))
        # Frame indices continue across scripted items, so timestamps do as well.
        self.assertEqual([x.index for x in e if x.index is not None], [0, 1, 2, 3, 4, 5])

    def test_split_frame_has_a_gap(self):
        self.s = sim.SimSensor(mode="silent")
        fd = _open_reader(self.s)
        try:
            t0 = time.monotonic()
            self.s.send(sim.Split(pieces=(10, 27), gap=0.3))
            first = _read_for(fd, 10, 2.0)
            rest = _read_for(fd, 27, 2.0)
            # The second piece goes out a gap after the first, which went out after the send:
            # a bound that a late reader cannot break.
            self.assertGreaterEqual(time.monotonic() - t0, 0.29)
        finally:
            os.close(fd)
        self.assertEqual(len(first), 10)
        # The simulator logs the frame once its last piece is written, which may be after
        # the reader already has it.
        self.s.wait_sent(timeout=5)
        self.assertEqual(first + rest, self.s.sent[0].data)
        self.assertEqual(self.s.sent[0].written, 37)

    def test_silence_holds_the_line(self):
        self.s = sim.SimSensor(mode="silent")
        t0 = time.monotonic()
        self.s.send(sim.Silence(0.3), sim.SendFrame())
        self.s.wait_sent(timeout=5)
        self.assertGreaterEqual(self.s.sent[1].t_ns - self.s.sent[0].t_ns, 0.29e9)
        self.assertGreaterEqual(time.monotonic() - t0, 0.29)

    def test_unread_bytes_are_dropped_not_blocking(self):
        self.s = sim.SimSensor(mode="silent")
        self.s.send(sim.Frames(1000))   # ~37 KB at 800/s, more than a pty holds
        self.s.wait_sent(timeout=10)
        frames = self.s.sent_frames(complete_only=False)
        self.assertEqual(len(frames), 1000)
        self.assertLess(sum(f.written for f in frames), 37 * 1000)
        self.assertTrue(any(f.written == 0 for f in frames))

    def test_burst_delivers_everything(self):
        self.s = sim.SimSensor(mode="silent")
        fd = _open_reader(self.s)
        try:
            self.s.send(sim.Burst(2000))
            data = _read_for(fd, 37 * 2000, 20.0)
            self.s.wait_sent(timeout=5)
        finally:
            os.close(fd)
        self.assertEqual(len(data), 37 * 2000)
        self.assertTrue(all(f.complete for f in self.s.sent_frames(complete_only=False)))

    def test_wait_consumed(self):
        self.s = sim.SimSensor(mode="silent")
        fd = _open_reader(self.s)
        try:
            self.s.send(*[sim.SendFrame() for _ in range(5)])
            self.s.wait_sent()
            self.assertRaises(TimeoutError, self.s.wait_consumed, timeout=0.3)
            self.assertEqual(len(_read_for(fd, 5 * 37, 2.0)), 5 * 37)
            self.s.wait_consumed(timeout=2)
            self.assertEqual(self.s.pending_input(), 0)
        finally:
            os.close(fd)

    def test_reconfiguration_pauses_and_resumes(self):
        self.s = sim.SimSensor(rate_hz=800)
        fd = _open_reader(self.s)
        try:
            self.s.wait_frames(10)
            os.write(fd, b"C")
            sandbox.wait_for(lambda: self.s.paused, 2, "pause")
            os.write(fd, b"f,59,0,0,1\ns")
            # No frame starts once the pause began: what was sent before it is all there is.
            n = len(self.s.sent)
            last, got = self.s.sent[n - 1].data, b""
            deadline = time.monotonic() + 5
            while not got.endswith(last) and time.monotonic() < deadline:
                got += _read_for(fd, len(last), 0.05)
            self.assertTrue(got.endswith(last), "the last frame before the pause never came")
            # While paused nothing more goes out.
            self.assertEqual(_read_for(fd, 1, 0.3), b"")
            self.assertEqual(len(self.s.sent), n)
            os.write(fd, b"#R")
            sandbox.wait_for(lambda: not self.s.paused, 2, "resume")
            self.assertGreater(len(_read_for(fd, 370, 2.0)), 0)
        finally:
            os.close(fd)
        self.assertEqual(len(self.s.commands), 1)
        cmd = self.s.commands[0]
        self.assertEqual(cmd["line"], "f,59,0,0,1\n")
        self.assertEqual(cmd["bytes"], b"Cf,59,0,0,1\ns#R")
        self.assertEqual(self.s.received(), b"Cf,59,0,0,1\ns#R")


class TailTest(unittest.TestCase):
    def test_lines_in_order_across_a_rotation(self):
        path = os.path.join(tempfile.mkdtemp(prefix="tail-"), "log")
        with open(path, "wb") as f:
            f.write(b"a\nb")
        t = sandbox.Tail(path)
        self.assertEqual(t.lines(), [b"a"])
        with open(path, "ab") as f:
            f.write(b"\nc\n")
        os.rename(path, path + ".1")
        with open(path, "wb") as f:
            f.write(b"Log continued\nd\n")
        with open(path + ".1", "ab") as f:
            f.write(b"late\n")    # written while the file was renamed
        self.assertEqual(t.lines() + t.lines(), [b"b", b"c", b"late", b"Log continued", b"d"])
        self.assertEqual(t.rotations, 1)


class ControllerTest(unittest.TestCase):
    def setUp(self):
        self.c = None

    def tearDown(self):
        if self.c:
            self.c.stop()
            self.assertEqual(self.c.errors, [])

    def _client(self):
        s = socket.create_connection(("127.0.0.1", 30004), timeout=5)
        return s

    @staticmethod
    def _reply(s):
        head = s.recv(3, socket.MSG_WAITALL)
        size = struct.unpack(">H", head[:2])[0]
        return head + (s.recv(size - 3, socket.MSG_WAITALL) if size > 3 else b"")

    def test_setup_and_data(self):
        self.c = ctl.SimController()
        with self._client() as s:
            s.sendall(ctl.SETUP_REQUEST)
            self.assertEqual(self._reply(s), b"\x00\x0CI\x01VECTOR6D")
            s.sendall(ctl.data_package(1, (1.0, 0, 0, 0, 0, -2.5)))
            s.sendall(ctl.data_package(2, (0,) * 6))     # wrong recipe id
            s.sendall(b"\x00\x05U\x01\x00")             # wrong size
            pk = self.c.wait_packages(3)
        self.assertEqual(pk[0].values, (1.0, 0, 0, 0, 0, -2.5))
        self.assertIsNone(pk[0].error)
        self.assertEqual(pk[0].raw[:12], bytes.fromhex("00345501 3FF0000000000000"))
        self.assertIn("recipe id", pk[1].error)
        self.assertIn("5 bytes", pk[2].error)
        self.assertEqual(len(self.c.all_malformed()), 2)

    def test_bulk_keeps_the_bytes(self):
        self.c = ctl.SimController(bulk=True)
        with self._client() as s:
            s.sendall(ctl.SETUP_REQUEST)
            self._reply(s)
            sent = (ctl.data_package(1, (1.0, 0, 0, 0, 0, -2.5)) + ctl.data_package(2, (0,) * 6)
                    + b"\x00\x34U")
            s.sendall(sent)
            sandbox.wait_for(lambda: self.c.received() == (len(sent), True), 5, "the bytes")
        values, bad, left = ctl.unpack_data(self.c.raw_data(), 1)
        self.assertEqual((list(values), bad, left), ([1.0, 0, 0, 0, 0, -2.5] + [0.0] * 6, 1, 3))

    def test_scripted_replies(self):
        self.c = ctl.SimController(replies=[ctl.message("busy", level=2), ctl.other("V"),
                                            ctl.in_use(), ctl.not_found()])
        with self._client() as s:
            answers = []
            for _ in range(5):
                s.sendall(ctl.SETUP_REQUEST)
                answers.append(self._reply(s))
        self.assertEqual(answers[0], b"\x00\x08M\x02busy")
        self.assertEqual(answers[1][2:3], b"V")
        self.assertEqual(answers[2], b"\x00\x0AI\x00IN_USE")
        self.assertEqual(answers[3], b"\x00\x0DI\x00NOT_FOUND")
        self.assertEqual(answers[4], answers[3])   # the last reply repeats
        self.assertEqual(len(self.c.wait_setup_requests(5)), 5)

    def test_close_and_no_answer(self):
        self.c = ctl.SimController(replies=[ctl.no_answer(), ctl.close()])
        with self._client() as s:
            s.sendall(ctl.SETUP_REQUEST)
            s.settimeout(0.3)
            self.assertRaises(socket.timeout, s.recv, 1)
            s.settimeout(5)
            s.sendall(ctl.SETUP_REQUEST)
            self.assertEqual(s.recv(1), b"")

    def test_malformed_setup_request_is_flagged(self):
        self.c = ctl.SimController()
        with self._client() as s:
            s.sendall(b"\x00\x06Iabc")
            self._reply(s)
        self.c.wait_setup_requests(1)
        self.assertTrue(any("setup request" in m for m in self.c.all_malformed()))

    def test_close_after_packages(self):
        self.c = ctl.SimController(close_after=2)
        with self._client() as s:
            s.sendall(ctl.SETUP_REQUEST)
            self._reply(s)
            s.sendall(ctl.data_package(1, (0,) * 6) * 2)
            self.assertEqual(s.recv(1), b"")
        self.assertEqual(len(self.c.packages()), 2)


if __name__ == "__main__":
    harness.main(sandboxed=True, need_daemon=False)
