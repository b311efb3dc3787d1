"""What the daemon makes of the bytes on the sensor line, predicted from its described
behaviour alone: the searching and synced states, the wrench maths of every processed
frame, the settings that control calls change between two stretches of the line, and every
package and stream message that follows.

The model is fed as the line goes: `feed(bytes)` adds bytes, `silence()` makes the read in
progress time out (a pause of 0.1 s or more on the line), and the settings methods apply from
the next frame fed. `feed_log(sensor.sent)` feeds what a SimSensor put on the line. Where
the line ends the model waits, as the daemon's read would.
"""

import array
import math
import struct

from .sensor import FRAME_SIZE, HEADER, crc16

SYNCED = "Frame synced with 0xAA header"
SYNCED_READ_FAILED = "Read frame from serial port failed while synched!"
NON_FINITE = "Non-finite sample in frame, dropped"
CRC_REPORT = "Too many crc errors"
MESSAGES = (SYNCED, "CRC error", "Lost sync", "Skipping incomplete frame",
            "Read frame from serial port failed!", SYNCED_READ_FAILED, NON_FINITE, CRC_REPORT)
CUTOFFS = {1: 50.0, 2: 40.0, 3: 25.0, 4: 12.5}
INITIAL_ALPHA = 0.32


def filter_factor(cutoff_hz):
    """The first-order low-pass factor for a 0.0015 s step."""
    return 0.0015 / (1 / (6.283185307179586 * cutoff_hz) + 0.0015)


def robot_axes(v):
    """A sensor's six values in the robot's axes: (fy, -fx, fz, ty, -tx, tz)."""
    return (v[1], -v[0], v[2], v[4], -v[3], v[5])


def mapped(frame):
    """A frame's six values in the robot's axes."""
    return robot_axes(struct.unpack_from("<6f", frame, 3))


def crc_ok(frame):
    return crc16(frame[1:35]) == frame[35] | frame[36] << 8


def command_number(rate, filter_on):
    """The first number of the reconfiguration line for a requested rate."""
    if filter_on:
        return 59
    return 380 if rate < 120.0 else int(47500.0 / rate)


def reconfiguration(rate, filter_on):
    """The bytes a reconfiguration writes to the sensor, in order."""
    return b"Cf,%d,0,0,1\ns#R" % command_number(rate, filter_on)


def first_package_offset(sent, values, cutoff_hz=50.0):
    """The line offset of the frame behind a first package sent from a zero filter state at
    default settings (that package is the filter factor times the frame's sample)."""
    alpha = filter_factor(cutoff_hz)
    for s in sent:
        if s.index is not None and s.complete:
            want = [alpha * x for x in mapped(s.data)]
            if all(math.isclose(a, b, rel_tol=1e-12, abs_tol=1e-12) for a, b in zip(want, values)):
                return s.offset
    raise AssertionError("no frame sent gives the first package %r" % (values,))


class StreamModel:
    """The stream from a given point: `filtered` is the filter's state there, `synced` whether
    the daemon is in the synced state, `alpha` the factor left by earlier frames (the
    cut-off's own by default; a fresh daemon starts at INITIAL_ALPHA).

    Predictions: `values` (six doubles a package, flat), `messages` (stderr line counts by
    text), `log` (the status and desired-output lines of the debug log, in order), `freq`
    (the sample frequency, None until measured), `running`, `fatal` (the line would end the
    daemon).
    """

    def __init__(self, filtered=(0.0,) * 6, synced=False, filter_on=True, cutoff_hz=50.0,
                 alpha=None):
        self.filtered = list(filtered)
        self.alpha = filter_factor(cutoff_hz) if alpha is None else alpha
        self.smoothed = [0.0] * 6
        self.reference = [0.0] * 6
        self.seed_pending = False
        self.prev_ts = None
        self.freq = None
        self.bias_active = self.output_active = self.output_pending = False
        self.bias = [0.0] * 6
        self.desired = [0.0] * 6
        self.filter_on, self.cutoff = filter_on, cutoff_hz
        self.synced = synced
        self.running = synced
        self.crc_errors = self.frame_count = 0
        self.messages = dict.fromkeys(MESSAGES, 0)
        self.log = []
        self.values = array.array("d")
        self.fatal = None
        self._buf = bytearray()
        self._pos = 0
        self._silence = False
        self._machine = self._run()
        next(self._machine)

    @property
    def packages(self):
        v = self.values
        return [tuple(v[i:i + 6]) for i in range(0, len(v), 6)]

    # -- the line

    def feed(self, data):
        self._buf += data
        next(self._machine)
        if self._pos > 1 << 20:
            del self._buf[:self._pos]
            self._pos = 0

    def silence(self):
        """A pause on the line: the read in progress times out. Nothing is sent for over
        0.1 s, so `running` is clear after it."""
        self._silence = True
        next(self._machine)
        self._silence = False
        self.running = False

    def feed_log(self, sent, start_offset=0):
        """Feeds a SimSensor's send log from accepted-byte offset start_offset on."""
        for s in sent:
            if s.kind == "silence":
                if s.offset >= start_offset:
                    self.silence()
            elif s.offset + s.written > start_offset:
                self.feed(s.data[max(0, start_offset - s.offset):s.written])

    def _read(self, n):
        while True:
            if len(self._buf) - self._pos >= n:
                d = self._buf[self._pos:self._pos + n]
                self._pos += n
                return d, True
            if self._silence:
                d = self._buf[self._pos:]
                self._pos = len(self._buf)
                self._silence = False
                return d, False
            yield

    def _run(self):
        yield
        msgs = self.messages
        while True:
            if self.synced:
                frame, ok = yield from self._read(FRAME_SIZE)
                if not ok:
                    # What a failed read left in the buffer never reaches the controller.
                    msgs[SYNCED_READ_FAILED] += 1
                    self.synced = self.running = False
                    continue
                if crc_ok(frame):
                    self._process(frame)
                elif frame[0] == HEADER:
                    self.crc_errors += 1
                    msgs["CRC error"] += 1
                else:
                    msgs["Lost sync"] += 1
                    self.synced = self.running = False
                    continue
                self.frame_count += 1
                if self.frame_count > 100 and self.crc_errors / self.frame_count > 0.01:
                    msgs[CRC_REPORT] += 1
            else:
                head, ok = yield from self._read(1)
                if not ok or head[0] != HEADER:
                    continue
                rest, ok = yield from self._read(FRAME_SIZE - 1)
                if not ok:
                    msgs["Read frame from serial port failed!"] += 1
                    self.running = False
                    continue
                frame = head + rest
                if not crc_ok(frame):
                    _, ok = yield from self._read(1)
                    if not ok:
                        self.fatal = "the line makes the daemon exit in read_byte"
                    msgs["Skipping incomplete frame"] += 1
                    continue
                msgs[SYNCED] += 1
                # A non-finite frame seeds nothing: the first finite one after it does.
                x = mapped(frame)
                self.seed_pending = not self._finite(x)
                if not self.seed_pending:
                    self.smoothed = list(x)
                self.synced = True
                self.crc_errors = self.frame_count = 0

    def _finite(self, x):
        if all(math.isfinite(v) for v in x):
            return True
        self.messages[NON_FINITE] += 1
        return False

    def _process(self, frame):
        status, = struct.unpack_from("<H", frame, 1)
        ts, = struct.unpack_from("<I", frame, 27)
        if self.prev_ts is not None and ts > self.prev_ts:
            self.freq = 1e6 / float(ts - self.prev_ts)
        if status:
            self.log.append("Error: %d" % status)
        self.prev_ts = ts
        x = mapped(frame)
        if not self._finite(x):
            return  # dropped: it only measured the interval and reported its status
        if self.seed_pending:
            self.seed_pending = False
            self.smoothed = list(x)
        if self.output_pending:
            self.output_pending = False
            self.reference = list(self.smoothed)
            self.log.append("Set to desired output: " + " ".join("%g" % v for v in self.desired))
            self.log.append("Offset: " + " ".join("%g" % v for v in self.reference))
        new_alpha = filter_factor(self.cutoff) if self.filter_on else self.alpha
        sm, fw, ref, des, bias = self.smoothed, self.filtered, self.reference, self.desired, self.bias
        for k in range(6):
            if self.bias_active:
                off = x[k] - bias[k]
            elif self.output_active:
                off = x[k] - ref[k] + des[k]
            else:
                off = x[k]
            # The unadjusted signal is smoothed before this frame's factor is computed.
            sm[k] = sm[k] + self.alpha * (x[k] - sm[k])
            self.alpha = new_alpha
            fw[k] = fw[k] + self.alpha * (off - fw[k]) if self.filter_on else off
        self.values.extend(fw)
        self.running = True

    # -- settings, as the control methods change them

    def set_bias(self, values):
        self.bias = list(values)
        self.bias_active, self.output_active = True, False

    def set_output(self, values):
        self.desired = list(values)
        self.bias_active, self.output_active, self.output_pending = False, True, True

    def enable_filter(self, enable, ftype):
        """Returns what enable_filter answers."""
        self.filter_on = enable
        if ftype in CUTOFFS:
            self.cutoff = CUTOFFS[ftype]
            return 0
        return 1

    def reconfigure(self, rate):
        """Returns the bytes the sensor receives; the stream stops until it searches anew."""
        self.running = False
        return reconfiguration(rate, self.filter_on)
