"""An independent model of what the daemon makes of the bytes on the sensor line.

It replays the bytes the simulated sensor put on the line (with the silences that make
the daemon's reads time out) through the daemon's two states, searching and synced, and
predicts every data package and every message the stream writes. Written from the
description of the behaviour, not from the daemon's code.
"""

import math
import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from ftsim.sensor import crc16  # noqa: E402  the line's checksum; not the daemon's logic

HEADER = 0xAA
FRAME = 37
SILENCE = None  # marker in the line: a pause long enough for a read to time out


def filter_factor(cutoff_hz):
    return 0.0015 / (1 / (6.283185307179586 * cutoff_hz) + 0.0015)


def mapped(frame):
    """The six values in the robot's axes: (fy, -fx, fz, ty, -tx, tz)."""
    f = struct.unpack("<6f", bytes(frame[3:27]))
    return (f[1], -f[0], f[2], f[4], -f[3], f[5])


def crc_ok(frame):
    return crc16(frame[1:35]) == struct.unpack("<H", bytes(frame[35:37]))[0]


def status(frame):
    return struct.unpack("<H", bytes(frame[1:3]))[0]


def line_from_log(sent, start_offset=0):
    """The line as a list of byte values and SILENCE markers, from the simulator's send log,
    starting at accepted-byte offset start_offset."""
    line = []
    for s in sent:
        if s.kind == "silence":
            if s.offset >= start_offset:
                line.append(SILENCE)
            continue
        data = s.data[:s.written]
        for i, b in enumerate(data):
            if s.offset + i >= start_offset:
                line.append(b)
    return line


class StreamModel:
    """Runs the line through the stream's states; default settings (filter on, 50 Hz,
    no bias, no desired output) unless alpha or filter_on say otherwise."""

    def __init__(self, filtered=(0.0,) * 6, synced=True, filter_on=True, cutoff_hz=50.0):
        self.filtered = list(filtered)
        self.synced = synced
        self.filter_on = filter_on
        self.alpha = filter_factor(cutoff_hz)
        self.packages = []
        self.messages = {"Frame synced": 0, "CRC error": 0, "Lost sync": 0,
                         "Skipping incomplete frame": 0, "Non-finite": 0,
                         "Read frame from serial port failed!": 0,
                         "Read frame from serial port failed while synched!": 0}
        self.status_lines = []
        self.pos = 0
        self.line = []

    def _read(self, n):
        """Reads n bytes; returns (bytes, ok). A silence ends the read early."""
        got = []
        while len(got) < n:
            if self.pos >= len(self.line):
                return got, None  # the line ends here: the model stops
            b = self.line[self.pos]
            self.pos += 1
            if b is SILENCE:
                return got, False
            got.append(b)
        return got, True

    def _process(self, frame):
        if not all(math.isfinite(v) for v in mapped(frame)):
            self.messages["Non-finite"] += 1
            return
        if status(frame):
            self.status_lines.append("Error: %d" % status(frame))
        for k, x in enumerate(mapped(frame)):
            if self.filter_on:
                self.filtered[k] = self.filtered[k] + self.alpha * (x - self.filtered[k])
            else:
                self.filtered[k] = x
        self.packages.append(tuple(self.filtered))

    def run(self, line):
        """Feeds the line; stops where the line ends (a read that would wait for more)."""
        self.line, self.pos = line, 0
        while True:
            if self.synced:
                frame, ok = self._read(FRAME)
                if ok is None:
                    return
                if not ok:
                    self.messages["Read frame from serial port failed while synched!"] += 1
                    self.synced = False
                    continue
                if crc_ok(frame):
                    self._process(frame)
                elif frame[0] == HEADER:
                    self.messages["CRC error"] += 1
                else:
                    self.messages["Lost sync"] += 1
                    self.synced = False
            else:
                head, ok = self._read(1)
                if ok is None:
                    return
                if not ok or head[0] != HEADER:
                    continue
                rest, ok = self._read(FRAME - 1)
                if ok is None:
                    return
                if not ok:
                    self.messages["Read frame from serial port failed!"] += 1
                    continue
                frame = head + rest
                if not crc_ok(frame):
                    dropped, ok = self._read(1)
                    if ok is None:
                        return
                    if not ok:
                        raise AssertionError("script makes the daemon exit in read_byte")
                    self.messages["Skipping incomplete frame"] += 1
                    continue
                self.messages["Frame synced"] += 1
                if not all(math.isfinite(v) for v in mapped(frame)):
                    self.messages["Non-finite"] += 1
                self.synced = True
