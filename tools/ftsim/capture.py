"""Captures of a sensor line: the bytes each read delivered, with the time it delivered them.

The file format, written by tools/ftrecord (and by `dump`), is text:

    # any number of comment lines
    <microseconds since the port was opened> <the bytes of one read, lower-case hex>

one line per read, times not decreasing. Silences are not marked: they are the gaps
between the times. A capture is replayed into a simulated sensor with
`ftsim.sensor.Replay`, at the original pace.
"""

import binascii

# The daemon's reads return after 0.1 s without a byte: a longer gap is a silence to it.
READ_TIMEOUT_S = 0.1


class CaptureError(ValueError):
    pass


def load(path):
    """The capture in path as a list of (seconds since the port was opened, bytes)."""
    chunks, last = [], None
    with open(path, "r", encoding="ascii") as f:
        for no, line in enumerate(f, 1):
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            parts = line.split()
            try:
                if len(parts) != 2:
                    raise ValueError("expected a time and the bytes")
                t_us = int(parts[0])
                data = binascii.unhexlify(parts[1])
            except (ValueError, binascii.Error) as e:
                raise CaptureError("%s:%d: %s" % (path, no, e)) from None
            if t_us < 0 or (last is not None and t_us < last) or not data:
                raise CaptureError("%s:%d: times must not decrease and a read holds bytes"
                                   % (path, no))
            last = t_us
            chunks.append((t_us / 1e6, data))
    return chunks


def dump(path, chunks, comments=()):
    """Write chunks [(seconds, bytes)] to path in the capture format."""
    with open(path, "w", encoding="ascii") as f:
        f.write("# ftrecord capture 1\n")
        for c in comments:
            f.write("# %s\n" % c)
        f.write("# <microseconds since the port was opened> <bytes of one read, in hex>\n")
        for t, data in chunks:
            f.write("%d %s\n" % (int(round(t * 1e6)), binascii.hexlify(bytes(data)).decode()))


def line_bytes(chunks):
    return b"".join(d for _, d in chunks)
