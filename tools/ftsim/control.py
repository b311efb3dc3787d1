"""The daemon's XML-RPC control port as the tests, benchmarks and demo reach it: the
standard library's client (independent of the daemon's own), requests built byte by byte,
and clients that hang up or hold their connections on purpose."""

import http.client
import multiprocessing
import selectors
import socket
import struct
import time
import xmlrpc.client

from ftsim import sandbox

HOST = "127.0.0.1"
PORT = 20202
URL = "http://%s:%d/RPC2" % (HOST, PORT)


class _Transport(xmlrpc.client.Transport):
    """Fresh connection per call, with a time-out, so a hung daemon fails the caller."""

    def __init__(self, timeout):
        super().__init__()
        self._timeout = timeout

    def make_connection(self, host):
        conn = super().make_connection(host)
        conn.timeout = self._timeout
        return conn

    def request(self, *args, **kw):
        try:
            return super().request(*args, **kw)
        finally:
            self.close()


def proxy(timeout=10.0):
    return xmlrpc.client.ServerProxy(URL, transport=_Transport(timeout))


def wait_service(d, timeout=10.0):
    """Wait until the control service of daemon d answers (it starts beside the port scan);
    returns the title."""
    def up():
        if not d.running():
            raise AssertionError("daemon exited\n" + d.describe())
        try:
            return proxy(2.0).get_title()
        except (ConnectionError, OSError):
            return None
    return sandbox.wait_for(up, timeout, "the control service", interval=0.02)


# ------------------------------------------------------------ requests as bytes

def method_call(name, params_xml=""):
    return ("<?xml version=\"1.0\"?><methodCall><methodName>%s</methodName><params>%s"
            "</params></methodCall>" % (name, params_xml)).encode()


def param(kind, text):
    return "<param><value><%s>%s</%s></value></param>" % (kind, text, kind)


def doubles(*texts):
    return "".join(param("double", t) for t in texts)


def title_call(value_xml):
    """set_title with value_xml, as it is, inside the value."""
    return method_call("set_title", "<param><value>%s</value></param>" % value_xml)


def entity_bomb(levels):
    """A set_title whose DOCTYPE's last entity expands to 30 * 10**levels bytes."""
    decls = "<!ENTITY e0 \"%s\">" % ("X" * 30)
    decls += "".join("<!ENTITY e%d \"%s\">" % (k, ("&e%d;" % (k - 1)) * 10)
                     for k in range(1, levels + 1))
    call = title_call("<string>&e%d;</string>" % levels).decode()
    return ('<?xml version="1.0"?><!DOCTYPE methodCall [%s]>' % decls
            + call[len('<?xml version="1.0"?>'):]).encode()


def http_request(body, path="/RPC2", length=None):
    """A whole POST of body; length, when given, is the Content-Length claimed."""
    return (b"POST " + path.encode() + b" HTTP/1.1\r\nHost: 127.0.0.1\r\n"
            b"Content-Type: text/xml\r\nContent-Length: %d\r\n\r\n"
            % (len(body) if length is None else length)) + body


def post(body, timeout=10.0):
    """POSTs body as it is; returns (HTTP status, reply bytes)."""
    conn = http.client.HTTPConnection(HOST, PORT, timeout=timeout)
    try:
        conn.request("POST", "/RPC2", body, {"Content-Type": "text/xml"})
        resp = conn.getresponse()
        return resp.status, resp.read()
    finally:
        conn.close()


def raw_call(body, timeout=10.0):
    """POSTs body as it is; returns the decoded result or raises xmlrpc.client.Fault (a
    RuntimeError for an answer other than HTTP 200)."""
    status, data = post(body, timeout)
    if status != 200:
        raise RuntimeError("HTTP %d: %r" % (status, data[:200]))
    (result,), _ = xmlrpc.client.loads(data)
    return result


def call(method, *params, timeout=10.0):
    """A well-formed call through raw_call."""
    return raw_call(xmlrpc.client.dumps(params, method).encode(), timeout)


def send_raw(data, timeout=60.0, source=None):
    """Sends data on a fresh connection (from address source) and reads until the daemon
    closes; returns (status line, or the error's name, and the bytes answered)."""
    s = socket.socket()
    s.settimeout(timeout)
    try:
        if source:
            s.bind((source, 0))
        s.connect((HOST, PORT))
        s.sendall(data)
        got = b""
        while True:
            chunk = s.recv(1 << 20)
            if not chunk:
                break
            got += chunk
        return got.split(b"\r\n", 1)[0].decode("latin-1"), got
    except OSError as e:
        return type(e).__name__, b""
    finally:
        s.close()


def hang_up(data, reset=False, settle=0.0):
    """Connect, send data, and close without reading anything; reset=True sends RST."""
    s = socket.create_connection((HOST, PORT), timeout=5)
    try:
        if reset:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        if data:
            s.sendall(data)
        if settle:
            time.sleep(settle)
    finally:
        s.close()


class SlowClients:
    """count connections from address, each holding a half-sent request (request, by default
    headers and the start of a body) that never ends;
    one the daemon closes is opened again at once, until stop(). In a process of its own:
    reopening the refused connections keeps it busy, and as a thread it would starve the
    simulators of the interpreter."""

    def __init__(self, count, address, request=None):
        self.count, self.address = count, address
        self.request = request or http_request(b"<?xml version=\"1.0\"?><methodCall>",
                                               length=1000)
        ctx = multiprocessing.get_context("fork")
        self._opened = ctx.Value("l", 0, lock=False)
        self._stopping = ctx.Event()
        self._process = ctx.Process(target=self._run, daemon=True)
        self._process.start()

    @property
    def opened(self):
        return self._opened.value

    def stop(self):
        self._stopping.set()
        self._process.join(10)
        if self._process.is_alive():
            self._process.kill()
            self._process.join()

    def _open(self, sel):
        s = socket.socket()
        s.setblocking(False)
        s.bind((self.address, 0))
        try:
            s.connect((HOST, PORT))
        except BlockingIOError:
            pass
        sel.register(s, selectors.EVENT_WRITE, "connecting")
        self._opened.value += 1

    def _run(self):
        sel = selectors.DefaultSelector()
        for _ in range(self.count):
            self._open(sel)
        while not self._stopping.is_set():
            for key, _ in sel.select(0.2):
                s = key.fileobj
                try:
                    if key.data == "connecting":
                        s.send(self.request)
                        sel.modify(s, selectors.EVENT_READ, "held")
                        continue
                    if s.recv(4096):
                        continue
                except OSError:
                    pass
                sel.unregister(s)
                s.close()
                self._open(sel)
        for key in list(sel.get_map().values()):
            key.fileobj.close()
        sel.close()
