"""A simulated robot controller's RTDE server (protocol version 1, inputs only).

It listens on 127.0.0.1:30004, answers each setup-inputs request from a script
of replies, then decodes, checks and records every data package with its
arrival time. Run it inside the sandbox so the port is the test's own.

Every package is: u16 big-endian total size (header included), one ASCII type
byte, payload.
"""

import array
import fcntl
import select
import socket
import struct
import sys
import termios
import threading
import time

RTDE_PORT = 30004
SETUP_REQUEST = b"\x00\x18I" + b"external_force_torque"
DATA_SIZE = 52


def package(ptype, payload=b""):
    """A well-formed package of type `ptype` (a one-letter str or an int)."""
    if isinstance(ptype, str):
        ptype = ord(ptype)
    return struct.pack(">HB", 3 + len(payload), ptype) + bytes(payload)


def setup_reply(recipe_id=1, types="VECTOR6D"):
    """The 'I' reply: recipe id byte, then the variable types as text."""
    return package("I", bytes([recipe_id]) + types.encode())


def text_message(text, level=3):
    """An 'M' text message: level byte (0 exception .. 3 info), then the text."""
    return package("M", bytes([level]) + text.encode())


def data_package(recipe_id, values):
    return package("U", bytes([recipe_id]) + struct.pack(">6d", *values))


class Reply:
    """One scripted answer to a setup request."""

    def __init__(self, data=b"", close=False, no_answer=False, recipe_id=None):
        self.data, self.close, self.no_answer = bytes(data), close, no_answer
        # The recipe id data packages must carry after this reply (None: not set up).
        self.recipe_id = recipe_id

    def __repr__(self):
        return "Reply(%r, close=%s, no_answer=%s)" % (self.data, self.close, self.no_answer)


def ok(recipe_id=1, types="VECTOR6D"):
    return Reply(setup_reply(recipe_id, types), recipe_id=recipe_id)


def in_use():
    return Reply(setup_reply(0, "IN_USE"), recipe_id=0)


def not_found():
    return Reply(setup_reply(0, "NOT_FOUND"), recipe_id=0)


def message(text, level=3):
    return Reply(text_message(text, level))


def other(ptype="V", payload=b"\x01"):
    return Reply(package(ptype, payload))


def raw(data, recipe_id=None):
    """Arbitrary bytes, e.g. malformed replies: b'\\x00\\x02I', b'\\x00\\x03I',
    or a size field far larger than the payload that follows."""
    return Reply(data, recipe_id=recipe_id)


def close():
    return Reply(close=True)


def no_answer():
    return Reply(no_answer=True)


def unpack_data(raw, recipe_id):
    """The data packages in the bytes of a bulk connection: their values (six doubles each,
    flat), how many carry a wrong header, and how many bytes are left over."""
    head = struct.pack(">HBB", DATA_SIZE, ord("U"), recipe_id)
    view, values, bad = memoryview(raw), array.array("d"), 0
    end = len(raw) - len(raw) % DATA_SIZE
    for off in range(0, end, DATA_SIZE):
        bad += view[off:off + 4] != head
        values.frombytes(view[off + 4:off + DATA_SIZE])
    if sys.byteorder == "little":
        values.byteswap()
    return values, bad, len(raw) - end


class DataPackage:
    __slots__ = ("t_ns", "raw", "recipe_id", "values", "error")

    def __init__(self, t_ns, raw, recipe_id=None, values=None, error=None):
        self.t_ns, self.raw, self.recipe_id = t_ns, raw, recipe_id
        self.values, self.error = values, error

    def __repr__(self):
        return "DataPackage(recipe=%s values=%s error=%s)" % (self.recipe_id, self.values,
                                                              self.error)


class Connection:
    """What one client connection did."""

    def __init__(self, sock, peer):
        self.sock, self.peer = sock, peer
        self.t_connect_ns = time.monotonic_ns()
        self.setup_requests = []   # (t_ns, raw bytes)
        self.replies_sent = []     # (t_ns, Reply)
        self.packages = []         # DataPackage, well-formed or not
        self.malformed = []        # descriptions of anything that broke the protocol
        self.recipe_id = None      # handed out by the last reply that set one
        self.raw = bytearray()     # bulk mode: every byte after the set-up, unparsed
        self.closed_by_peer = False
        self.closed_by_us = False
        self.t_close_ns = None


class SimController:
    """RTDE server. `replies` answer successive setup requests; the last one
    repeats once the list is used up. Default: recipe id 1, "VECTOR6D".

    close_after: close the connection after that many data packages.
    bulk: after a set-up, keep the bytes as they come (raw_data, unpack_data) instead of a
    DataPackage each: for millions of packages.
    """

    def __init__(self, replies=None, host="127.0.0.1", port=RTDE_PORT, close_after=None,
                 start=True, bulk=False, read_rate=None, rcvbuf=None):
        # read_rate: data packages read per second at most (a slow controller); rcvbuf: the
        # listening socket's SO_RCVBUF, so that its own queue stays short and the sender's
        # queue is what shows. stall() and resume() stop and restart reading.
        self.read_rate, self.rcvbuf = read_rate, rcvbuf
        self._reading = threading.Event()
        self._reading.set()
        self.replies = list(replies) if replies else [ok()]
        self.host, self.port = host, port
        self.close_after, self.bulk = close_after, bulk
        self.connections = []
        self.errors = []
        self._lock = threading.Condition()
        self._stop = threading.Event()
        self._threads = []
        self._listener = None
        if start:
            self.start()

    def start(self):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if self.rcvbuf:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, self.rcvbuf)
        else:
            # The daemon keeps at most a few packages unsent and skips what finds no room, so
            # a Python reader that falls behind on a loaded machine would lose packages the
            # tests count: a deep receive queue (root may force it) absorbs seconds of lag.
            try:
                s.setsockopt(socket.SOL_SOCKET, getattr(socket, "SO_RCVBUFFORCE", 33), 64 << 20)
            except OSError:
                pass
        s.bind((self.host, self.port))
        s.listen(4)
        s.settimeout(0.1)
        self._listener = s
        self._spawn(self._accept)
        return self

    def _spawn(self, fn, *args):
        t = threading.Thread(target=fn, args=args, daemon=True, name="simctl-" + fn.__name__)
        t.start()
        self._threads.append(t)

    def stop(self):
        self._stop.set()
        if self._listener:
            self._listener.close()
        with self._lock:
            conns = list(self.connections)
        for c in conns:
            try:
                c.sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        for t in self._threads:
            t.join(5)
        for c in conns:
            c.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    # -- control

    def close_connection(self, index=-1):
        """Close a client connection now (mid-stream, say)."""
        with self._lock:
            c = self.connections[index]
            c.closed_by_us = True
        try:
            c.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def stall(self):
        """Stop reading data packages (the set-up is still answered)."""
        self._reading.clear()

    def resume(self):
        self._reading.set()

    # -- queries

    @property
    def connection(self):
        with self._lock:
            return self.connections[0] if self.connections else None

    def packages(self, index=0):
        with self._lock:
            if len(self.connections) <= index:
                return []
            return list(self.connections[index].packages)

    def received(self, index=0):
        """Bytes a bulk connection has received, and whether nothing more waits in its
        socket (loopback delivers at send time: then all the peer sent is in)."""
        with self._lock:
            if len(self.connections) <= index:
                return 0, False
            c = self.connections[index]
            try:
                buf = fcntl.ioctl(c.sock.fileno(), termios.FIONREAD, b"\0\0\0\0")
            except (OSError, ValueError):
                return len(c.raw), True   # closed: nothing more comes
            return len(c.raw), struct.unpack("i", buf)[0] == 0

    def raw_data(self, index=0):
        with self._lock:
            return bytes(self.connections[index].raw)

    def all_malformed(self):
        with self._lock:
            return [m for c in self.connections for m in c.malformed]

    def _wait(self, cond, timeout, what):
        deadline = time.monotonic() + timeout
        with self._lock:
            while True:
                v = cond()
                if v:
                    return v
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TimeoutError("controller: timed out after %.1f s waiting for %s"
                                       % (timeout, what))
                self._lock.wait(min(left, 0.1))

    def wait_connected(self, timeout=10.0):
        return self._wait(lambda: self.connections and self.connections[0], timeout,
                          "a connection")

    def wait_setup_requests(self, count=1, timeout=10.0):
        def cond():
            reqs = [r for c in self.connections for r in c.setup_requests]
            return reqs if len(reqs) >= count else None
        return self._wait(cond, timeout, "%d setup requests" % count)

    def wait_packages(self, count, timeout=10.0, index=0):
        def cond():
            if len(self.connections) <= index:
                return None
            p = self.connections[index].packages
            return list(p) if len(p) >= count else None
        return self._wait(cond, timeout, "%d data packages" % count)

    def wait_closed(self, timeout=10.0, index=0):
        return self._wait(lambda: len(self.connections) > index
                          and self.connections[index].t_close_ns, timeout, "connection close")

    # -- internals

    def _accept(self):
        while not self._stop.is_set():
            try:
                sock, peer = self._listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            sock.settimeout(None)
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            c = Connection(sock, peer)
            with self._lock:
                self.connections.append(c)
                self._lock.notify_all()
            self._spawn(self._serve, c)

    def _bulk(self, c):
        # Receiving under the lock, so that an empty socket in received() means all is kept.
        c.sock.setblocking(False)
        while not self._stop.is_set() and not c.closed_by_us:
            select.select([c.sock], [], [], 0.05)
            with self._lock:
                try:
                    d = c.sock.recv(1 << 16)
                except BlockingIOError:
                    continue
                except OSError:
                    d = b""
                if not d:
                    c.closed_by_peer = True
                    return
                c.raw += d

    def _recv_exact(self, c, n):
        buf = bytearray()
        while len(buf) < n:
            try:
                chunk = c.sock.recv(n - len(buf))
            except OSError:
                chunk = b""
            if not chunk:
                return bytes(buf) if buf else None
            buf += chunk
        return bytes(buf)

    def _flag(self, c, text):
        with self._lock:
            c.malformed.append(text)
            self._lock.notify_all()

    def _serve(self, c):
        try:
            self._serve_loop(c)
        except Exception as e:
            self.errors.append("serve: %r" % e)
        finally:
            with self._lock:
                c.t_close_ns = time.monotonic_ns()
                self._lock.notify_all()
            try:
                c.sock.close()
            except OSError:
                pass

    def _pace(self, c):
        """Waits while stalled, and paces reading to read_rate, once set up."""
        if c.recipe_id is None:
            return
        while not self._reading.wait(0.05):
            if self._stop.is_set() or c.closed_by_us:
                return
        if self.read_rate:
            now = time.monotonic()
            c.next_read = max(getattr(c, "next_read", now), now - 1.0 / self.read_rate)
            if c.next_read > now:
                time.sleep(c.next_read - now)
            c.next_read += 1.0 / self.read_rate

    def _serve_loop(self, c):
        nreq = 0
        while not self._stop.is_set() and not c.closed_by_us:
            self._pace(c)
            head = self._recv_exact(c, 3)
            t = time.monotonic_ns()
            if head is None:
                c.closed_by_peer = True
                return
            if len(head) < 3:
                self._flag(c, "connection closed inside a header: %r" % head)
                c.closed_by_peer = True
                return
            size, ptype = struct.unpack(">HB", head)
            if size < 3:
                self._flag(c, "package size %d below the header's 3 bytes" % size)
                return
            body = self._recv_exact(c, size - 3) if size > 3 else b""
            if body is None or len(body) < size - 3:
                self._flag(c, "connection closed inside a %r package of size %d"
                           % (chr(ptype), size))
                c.closed_by_peer = True
                return
            data = head + body
            if ptype == ord("I"):
                with self._lock:
                    c.setup_requests.append((t, data))
                    self._lock.notify_all()
                if data != SETUP_REQUEST:
                    self._flag(c, "setup request is %r, expected %r" % (data, SETUP_REQUEST))
                reply = self.replies[min(nreq, len(self.replies) - 1)]
                nreq += 1
                if reply.no_answer:
                    with self._lock:
                        c.replies_sent.append((time.monotonic_ns(), reply))
                    continue
                if reply.close:
                    with self._lock:
                        c.closed_by_us = True
                        c.replies_sent.append((time.monotonic_ns(), reply))
                    c.sock.shutdown(socket.SHUT_RDWR)
                    return
                with self._lock:
                    if reply.recipe_id is not None:
                        c.recipe_id = reply.recipe_id
                    c.replies_sent.append((time.monotonic_ns(), reply))
                if reply.data:
                    c.sock.sendall(reply.data)
                if self.bulk and reply.recipe_id:
                    return self._bulk(c)
            elif ptype == ord("U"):
                pkg = DataPackage(t, data)
                if size != DATA_SIZE:
                    pkg.error = "data package of %d bytes, expected %d" % (size, DATA_SIZE)
                else:
                    pkg.recipe_id = data[3]
                    pkg.values = struct.unpack(">6d", data[4:])
                    with self._lock:
                        expected = c.recipe_id
                    if expected is None:
                        pkg.error = "data package before any recipe was set up"
                    elif pkg.recipe_id != expected:
                        pkg.error = "recipe id %d, expected %d" % (pkg.recipe_id, expected)
                with self._lock:
                    c.packages.append(pkg)
                    if pkg.error:
                        c.malformed.append(pkg.error)
                    self._lock.notify_all()
                    n = len(c.packages)
                if self.close_after is not None and n >= self.close_after:
                    with self._lock:
                        c.closed_by_us = True
                    c.sock.shutdown(socket.SHUT_RDWR)
                    return
            else:
                self._flag(c, "unexpected package type %r (size %d)" % (chr(ptype), size))
