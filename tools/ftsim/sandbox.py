"""Private namespaces for running the real daemon against simulated hardware.

`enter()` moves the calling process into new mount and network namespaces and
builds a /dev of its own: the daemon's scan of /dev/ttyUSB0..255 then sees only
the links the test makes, ptys come from a devpts instance nobody else uses,
and TCP ports 30004/20202 on loopback belong to this process tree alone.

It must run before the process starts any thread (unshare(CLONE_NEWNS) is
refused in a multi-threaded process), and it needs root.
"""

import atexit
import ctypes
import ctypes.util
import errno
import fcntl
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time

CLONE_NEWNS = 0x00020000
CLONE_NEWNET = 0x40000000

MS_RDONLY = 0x1
MS_NOSUID = 0x2
MS_NOEXEC = 0x8
MS_BIND = 0x1000
MS_MOVE = 0x2000
MS_REC = 0x4000
MS_PRIVATE = 1 << 18

MNT_DETACH = 2

SIOCGIFFLAGS = 0x8913
SIOCSIFFLAGS = 0x8914
IFF_UP = 0x1

DEVICE_NODES = ("null", "zero", "full", "random", "urandom", "tty")

# Name of the debug log the daemon writes into its working directory.
DEBUG_LOG = "qrm_debug_output.txt"


class SandboxError(RuntimeError):
    """A step of building the sandbox failed; tests must not go on without it."""


_entered = False
_libc = None


def _lib():
    global _libc
    if _libc is None:
        _libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6", use_errno=True)
        _libc.mount.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p,
                                ctypes.c_ulong, ctypes.c_char_p]
        _libc.umount2.argtypes = [ctypes.c_char_p, ctypes.c_int]
        _libc.unshare.argtypes = [ctypes.c_int]
    return _libc


def _enc(s):
    return None if s is None else os.fsencode(s)


def _mount(source, target, fstype, flags, data=None, what=""):
    rc = _lib().mount(_enc(source), _enc(target), _enc(fstype), flags, _enc(data))
    if rc != 0:
        e = ctypes.get_errno()
        raise SandboxError("sandbox: %s: mount(%r, %r, %r, 0x%x, %r) failed: %s"
                           % (what or target, source, target, fstype, flags, data,
                              os.strerror(e)))


def _umount(target):
    if _lib().umount2(_enc(target), MNT_DETACH) != 0:
        e = ctypes.get_errno()
        raise SandboxError("sandbox: umount(%r) failed: %s" % (target, os.strerror(e)))


def _loopback_up():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        req = struct.pack("16sH14x", b"lo", 0)
        flags = struct.unpack("16sH14x", fcntl.ioctl(s, SIOCGIFFLAGS, req))[1]
        fcntl.ioctl(s, SIOCSIFFLAGS, struct.pack("16sH14x", b"lo", flags | IFF_UP))
    except OSError as e:
        raise SandboxError("sandbox: bringing up the loopback interface failed: %s" % e)
    finally:
        s.close()


def entered():
    return _entered


def enter():
    """Enter private mount+network namespaces and set up /dev. Idempotent."""
    global _entered
    if _entered:
        return
    if os.geteuid() != 0:
        raise SandboxError("sandbox: needs root (euid is %d)" % os.geteuid())
    if threading.active_count() != 1:
        raise SandboxError("sandbox: enter() must be called before any thread starts")

    if _lib().unshare(CLONE_NEWNS | CLONE_NEWNET) != 0:
        e = ctypes.get_errno()
        raise SandboxError("sandbox: unshare(CLONE_NEWNS|CLONE_NEWNET) failed: %s"
                           % os.strerror(e))
    # From here on nothing we mount may leak back to the host.
    _mount(None, "/", None, MS_REC | MS_PRIVATE, what="make / rprivate")
    _loopback_up()

    # Keep the host's /dev reachable for the bind mounts, then cover /dev.
    hostdev = tempfile.mkdtemp(prefix="ftsim-hostdev-")
    _mount("/dev", hostdev, None, MS_BIND, what="bind host /dev")
    _mount("tmpfs", "/dev", "tmpfs", MS_NOSUID, "mode=755,size=1m", what="tmpfs on /dev")
    for name in DEVICE_NODES:
        src = os.path.join(hostdev, name)
        dst = os.path.join("/dev", name)
        if not os.path.exists(src):
            raise SandboxError("sandbox: host has no /dev/%s to bind" % name)
        open(dst, "w").close()
        _mount(src, dst, None, MS_BIND, what="bind /dev/%s" % name)
    _umount(hostdev)
    os.rmdir(hostdev)

    os.mkdir("/dev/pts")
    _mount("devpts", "/dev/pts", "devpts", MS_NOSUID | MS_NOEXEC,
           "newinstance,ptmxmode=0666,mode=620", what="private devpts")
    os.symlink("pts/ptmx", "/dev/ptmx")
    os.mkdir("/dev/shm")
    _mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID, "mode=1777", what="tmpfs on /dev/shm")
    os.symlink("/proc/self/fd", "/dev/fd")
    for i, name in enumerate(("stdin", "stdout", "stderr")):
        os.symlink("/proc/self/fd/%d" % i, "/dev/" + name)

    _check()
    _entered = True


def _check():
    """Fail loudly if the result is not what the tests rely on."""
    if sorted(os.listdir("/dev/pts")) != ["ptmx"]:
        raise SandboxError("sandbox: /dev/pts is not a fresh devpts instance: %s"
                           % os.listdir("/dev/pts"))
    if any(n.startswith("ttyUSB") for n in os.listdir("/dev")):
        raise SandboxError("sandbox: /dev still holds ttyUSB devices")
    m, s = os.openpty()
    try:
        name = os.ttyname(s)
        if not re.fullmatch(r"/dev/pts/\d+", name) or not os.path.exists(name):
            raise SandboxError("sandbox: a new pty is not visible in /dev/pts (%s)" % name)
    finally:
        os.close(m)
        os.close(s)
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as srv:
        srv.bind(("127.0.0.1", 0))
        srv.listen(1)
        with socket.create_connection(srv.getsockname(), timeout=2):
            pass


# ---------------------------------------------------------------- device links

def tty_usb_path(index):
    return "/dev/ttyUSB%d" % index


def link_device(name, target):
    """Make /dev/<name> a symlink to target (e.g. a pty slave); replaces an old one."""
    _require()
    path = os.path.join("/dev", name)
    if os.path.lexists(path):
        os.unlink(path)
    os.symlink(target, path)
    return path


def link_tty_usb(index, target):
    return link_device("ttyUSB%d" % index, target)


def unlink_device(name):
    path = os.path.join("/dev", name)
    if os.path.islink(path):
        os.unlink(path)


def unlink_tty_usb(index):
    unlink_device("ttyUSB%d" % index)


def remove_all_links():
    """Remove every symlink in /dev that a test made (the fixed ones stay)."""
    fixed = {"ptmx", "fd", "stdin", "stdout", "stderr"}
    for name in os.listdir("/dev"):
        path = os.path.join("/dev", name)
        if name not in fixed and os.path.islink(path):
            os.unlink(path)


def _require():
    if not _entered:
        raise SandboxError("sandbox: enter() has not been called")


# --------------------------------------------------------------------- daemon

_live_daemons = set()


@atexit.register
def _kill_leftover_daemons():
    # A test process that dies on an exception must not leave a daemon behind.
    for d in list(_live_daemons):
        d.kill()


class Daemon:
    """The daemon binary running in a fresh working directory of its own.

    stdout and stderr go to files in a separate directory, so the daemon's
    cwd holds nothing but what the daemon itself creates.
    """

    def __init__(self, path, cwd=None, prepare=None, args=(), stderr=None, stdout=None,
                 env=None):
        _require()
        self.args = list(args)
        self.env = env  # extra environment variables
        self.stderr_fd = stderr  # a descriptor for stderr instead of the file (a pipe, say)
        self.stdout_fd = stdout  # the same for stdout
        self.path = os.path.abspath(path)
        if not os.access(self.path, os.X_OK):
            raise SandboxError("daemon binary %s is missing or not executable" % self.path)
        self.outdir = tempfile.mkdtemp(prefix="ftsim-out-")
        self.cwd = cwd or tempfile.mkdtemp(prefix="ftsim-cwd-")
        self._own_cwd = cwd is None
        if prepare:
            prepare(self.cwd)
        self.stdout_path = os.path.join(self.outdir, "stdout")
        self.stderr_path = os.path.join(self.outdir, "stderr")
        self.log_path = os.path.join(self.cwd, DEBUG_LOG)
        self.proc = None
        self.returncode = None

    def start(self):
        with open(self.stdout_path, "wb") as out, open(self.stderr_path, "wb") as err:
            env = dict(os.environ, **self.env) if self.env else None
            self.proc = subprocess.Popen([self.path] + self.args, cwd=self.cwd, env=env,
                                         stdin=subprocess.DEVNULL,
                                         stdout=out if self.stdout_fd is None else self.stdout_fd,
                                         stderr=err if self.stderr_fd is None else self.stderr_fd,
                                         start_new_session=True)
        self.started_ns = time.monotonic_ns()
        _live_daemons.add(self)
        return self

    @property
    def pid(self):
        return self.proc.pid

    # Output, read fresh each time.
    @staticmethod
    def _read(path):
        try:
            with open(path, "rb") as f:
                return f.read().decode("utf-8", "replace")
        except FileNotFoundError:
            return None

    def stderr(self):
        return self._read(self.stderr_path) or ""

    def stdout(self):
        return self._read(self.stdout_path) or ""

    def log(self):
        """The debug log's text, or None while the file does not exist."""
        return self._read(self.log_path)

    def log_exists(self):
        return os.path.exists(self.log_path)

    def describe(self):
        return ("daemon status=%s\n--- stderr ---\n%s\n--- stdout ---\n%s\n--- log ---\n%s"
                % (self.poll(), self.stderr()[-4000:], self.stdout()[-2000:],
                   (self.log() or "<none>")[-4000:]))

    def poll(self):
        if self.proc is None:
            return None
        if self.returncode is None:
            self.returncode = self.proc.poll()
        return self.returncode

    def running(self):
        return self.proc is not None and self.poll() is None

    def _wait_text(self, getter, text, timeout, what):
        deadline = time.monotonic() + timeout
        while True:
            got = getter() or ""
            if text in got:
                return got
            if time.monotonic() >= deadline:
                raise TimeoutError("%r did not appear in the %s within %.1f s\n%s"
                                   % (text, what, timeout, self.describe()))
            if self.poll() is not None:
                # The process is gone; give its last writes one more look.
                got = getter() or ""
                if text in got:
                    return got
                raise AssertionError("daemon exited before %r appeared in the %s\n%s"
                                     % (text, what, self.describe()))
            time.sleep(0.01)

    def wait_stderr(self, text, timeout=10.0):
        return self._wait_text(self.stderr, text, timeout, "stderr")

    def wait_log(self, text, timeout=10.0):
        return self._wait_text(self.log, text, timeout, "debug log")

    def wait_stdout(self, text, timeout=10.0):
        return self._wait_text(self.stdout, text, timeout, "stdout")

    def open_files(self):
        """Where the daemon's descriptors point now (e.g. '/dev/pts/3', 'socket:[..]')."""
        out = []
        fd_dir = "/proc/%d/fd" % self.proc.pid
        try:
            names = os.listdir(fd_dir)
        except FileNotFoundError:
            return out
        for n in names:
            try:
                out.append(os.readlink(os.path.join(fd_dir, n)))
            except OSError:
                pass
        return out

    def interrupt(self):
        self.proc.send_signal(signal.SIGINT)

    def wait_exit(self, timeout=10.0):
        """Wait for the process to end and return its exit status (negative: signal)."""
        try:
            self.returncode = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise TimeoutError("daemon still running after %.1f s\n%s"
                               % (timeout, self.describe()))
        return self.returncode

    def kill(self):
        if self.proc is not None and self.poll() is None:
            self.proc.kill()
            self.proc.wait()
            self.returncode = self.proc.returncode
        _live_daemons.discard(self)

    def cleanup(self):
        self.kill()
        shutil.rmtree(self.outdir, ignore_errors=True)
        if self._own_cwd:
            shutil.rmtree(self.cwd, ignore_errors=True)


class Tail:
    """The lines a growing file gains, from its start, on across rotations: when the path
    names a new file, the old one, still open here, is read to its end, and once more at the
    next call (for what was written while it was renamed) before the new one. Call it more
    often than the file fills."""

    def __init__(self, path):
        self.path, self.f, self.old, self.rest = path, None, None, b""
        self.rotations = 0

    def _read(self, f):
        *lines, self.rest = (self.rest + f.read()).split(b"\n")
        return lines

    def lines(self):
        out = []
        if self.old:
            out = self._read(self.old) + ([self.rest] if self.rest else [])
            self.old, self.rest = self.old.close(), b""
        if self.f is None:
            try:
                self.f = open(self.path, "rb")
            except FileNotFoundError:
                return out
        try:
            moved = os.stat(self.path).st_ino != os.fstat(self.f.fileno()).st_ino
        except FileNotFoundError:
            moved = False
        out += self._read(self.f)
        if moved:
            self.old, self.f = self.f, None
            self.rotations += 1
        return out


def wait_for(cond, timeout, what="condition", interval=0.005):
    """Poll cond() until it returns a true value; raise TimeoutError at the deadline."""
    deadline = time.monotonic() + timeout
    while True:
        v = cond()
        if v:
            return v
        if time.monotonic() >= deadline:
            raise TimeoutError("timed out after %.1f s waiting for %s" % (timeout, what))
        time.sleep(interval)
