"""A robot cell in a virtual machine: Debian 12's own kernel, systemd and udev, and QEMU's
emulated FTDI FT232 adapters (`usb-serial`), each fed by a simulated sensor on this host
through a unix socket. The guest's disk is tools/cell/build-image's, booted with -snapshot.

    cell = Cell(image_dir, work_dir, adapters={"sensor": "frames", "noise": "noise"},
                plugged=["sensor"])
    cell.run("systemctl is-system-running")      # a shell command in the guest
    cell.unplug("sensor"); cell.plug("sensor")   # QMP device_del / device_add

Guest commands go through an agent on a virtio serial port (tools/cell/agent.py, from the
share); the console is on work_dir/console.sock (and logged to console.log); QMP on qmp.sock.
The share (work_dir/share) is /mnt/cell in the guest.
"""
import fcntl
import json
import os
import select
import shutil
import socket
import struct
import subprocess
import sys
import termios
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
from ftsim import sensor as sim  # noqa: E402

BOOT_TIMEOUT = 240  # seconds; about 25 under TCG on two idle cores
REPO = os.path.dirname(os.path.dirname(HERE))
USB_CONTROLLER = "qemu-xhci,id=usb"
# The simulated controller at 127.0.0.1:30004 in the guest, from the share, started at boot.
CONTROLLER_UNIT = """[Unit]
Description=simulated RTDE controller
After=cell-agent.service
Before=ftbridge.service
[Service]
ExecStart=/usr/bin/python3 -u /mnt/cell/sim_controller
# Up once it listens, as a controller is long before the bridge on a real cell.
ExecStartPost=/usr/bin/python3 -c "import socket, time; any(socket.socket().connect_ex(('127.0.0.1', 30004)) == 0 or time.sleep(0.1) for _ in range(600))"
[Install]
WantedBy=multi-user.target
"""


class Noise:
    """A device on the adapter that streams other bytes all the time, never the sensor's
    header byte: a probe that waits for a header finds none."""

    def __init__(self, conn, byte=0x55, rate=40000):
        self.sock, self.byte, self.rate = conn, byte, rate
        self.master = conn.fileno()
        self.mode = "stream"
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        chunk = bytes([self.byte]) * (self.rate // 100)
        self.sock.setblocking(False)
        while not self._stop.wait(0.01):
            try:
                # What the guest writes (a tty echoes what it receives until it is made
                # raw) is read and dropped: QEMU waits, the whole machine with it, on a
                # chardev that nobody reads.
                while self.sock.recv(65536):
                    pass
                return  # QEMU has gone
            except BlockingIOError:
                pass
            except OSError:
                return
            if self.mode != "stream":
                continue
            try:
                self.sock.send(chunk)
            except BlockingIOError:
                pass  # a line drops what nobody reads
            except OSError:
                return

    def set_mode(self, mode):
        self.mode = mode

    def close(self):
        self._stop.set()
        self._thread.join(5)
        self.sock.close()


class Agent:
    """The host's end of the agent's port: requests by id, answers to whoever waits."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(path)
        self._cond = threading.Condition()
        self._answers, self._next, self.boots = {}, 0, []
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        buf = b""
        while True:
            try:
                data = self.sock.recv(65536)
            except OSError:
                data = b""
            if not data:
                return
            buf += data
            while b"\n" in buf:
                line, buf = buf.split(b"\n", 1)
                try:
                    msg = json.loads(line)
                except ValueError:
                    continue  # what a reboot cut short
                with self._cond:
                    if "hello" in msg:
                        self.boots.append(msg["hello"])
                    else:
                        self._answers[msg["id"]] = msg
                    self._cond.notify_all()

    def wait_boot(self, count, timeout=BOOT_TIMEOUT):
        with self._cond:
            if not self._cond.wait_for(lambda: len(self.boots) >= count, timeout):
                raise TimeoutError("the guest's agent did not start within %d s" % timeout)

    def run(self, cmd, timeout=60):
        with self._cond:
            self._next += 1
            rid = self._next
        req = json.dumps({"id": rid, "cmd": cmd, "timeout": timeout}) + "\n"
        self.sock.sendall(req.encode())
        with self._cond:
            if not self._cond.wait_for(lambda: rid in self._answers, timeout + 30):
                raise TimeoutError("no answer from the guest to %r" % cmd)
            return self._answers.pop(rid)


class Qmp:
    """QMP's JSON lines, each read with a deadline (a makefile cannot read after a timeout)."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(path)
        self.buf, self.events = b"", []
        self._read(time.monotonic() + 60)  # the greeting
        self.execute("qmp_capabilities")

    def _read(self, deadline):
        while b"\n" not in self.buf:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.sock], [], [], left)[0]:
                return None
            data = self.sock.recv(65536)
            if not data:
                raise ConnectionError("QEMU closed its QMP socket")
            self.buf += data
        line, self.buf = self.buf.split(b"\n", 1)
        return json.loads(line)

    def execute(self, command, **args):
        self.sock.sendall((json.dumps({"execute": command, "arguments": args}) + "\n").encode())
        deadline = time.monotonic() + 60
        while True:
            msg = self._read(deadline)
            if msg is None:
                raise TimeoutError("QMP %s: no answer" % command)
            if "event" in msg:
                self.events.append(msg)
            elif "error" in msg:
                raise RuntimeError("QMP %s: %s" % (command, msg["error"]))
            elif "return" in msg:
                return msg["return"]

    def wait_event(self, name, device, timeout=30):
        deadline = time.monotonic() + timeout
        while True:
            for i, e in enumerate(self.events):
                if e["event"] == name and e.get("data", {}).get("device") == device:
                    return self.events.pop(i)
            msg = self._read(deadline)
            if msg is None:
                raise TimeoutError("no %s event for %s" % (name, device))
            if "event" in msg:
                self.events.append(msg)


class Cell:
    def __init__(self, image, work, adapters, plugged=(), deb=None, smp=2, memory=1024):
        """adapters: name -> "frames" (a SimSensor) or "noise"; plugged: those present at
        boot. deb: the package, put in the share as /mnt/cell/ftbridge.deb."""
        self.image, self.work = image, work
        self.adapters = dict(adapters)
        self.plugged = set()
        self.share = os.path.join(work, "share")
        os.makedirs(self.share, exist_ok=True)
        for f in (os.path.join(HERE, "agent.py"), os.path.join(REPO, "tools", "sim_controller")):
            shutil.copy(f, self.share)
        shutil.copytree(os.path.join(REPO, "tools", "ftsim"), os.path.join(self.share, "ftsim"),
                        ignore=shutil.ignore_patterns("__pycache__"))
        with open(os.path.join(self.share, "cell-controller.service"), "w") as f:
            f.write(CONTROLLER_UNIT)
        if deb:
            shutil.copy(deb, os.path.join(self.share, "ftbridge.deb"))
        listeners = {n: sim.serve_chardev(os.path.join(work, n + ".sock")) for n in adapters}
        # KVM where this machine has it; emulation (TCG) otherwise, as on the CI machines.
        accel = ["-accel", "kvm"] if os.access("/dev/kvm", os.R_OK | os.W_OK) else []
        cmd = ["qemu-system-x86_64", "-nodefaults", "-display", "none", "-no-user-config",
               *accel, "-accel", "tcg",
               "-m", str(memory), "-smp", str(smp), "-nic", "none",
               "-kernel", os.path.join(image, "vmlinuz"),
               "-initrd", os.path.join(image, "initrd.img"),
               "-append", "root=/dev/vda rw console=ttyS0 systemd.show_status=0",
               "-drive", "file=%s,format=raw,if=virtio,snapshot=on" %
               os.path.join(image, "root.img"),
               "-chardev", "socket,id=con,path=%s,server=on,wait=off,logfile=%s" % (
                   os.path.join(work, "console.sock"), os.path.join(work, "console.log")),
               "-serial", "chardev:con",
               "-qmp", "unix:%s,server=on,wait=off" % os.path.join(work, "qmp.sock"),
               "-virtfs", "local,path=%s,mount_tag=cell,security_model=none" % self.share,
               "-device", "virtio-serial",
               "-chardev", "socket,id=agent,path=%s,server=on,wait=off" %
               os.path.join(work, "agent.sock"),
               "-device", "virtserialport,chardev=agent,name=cell.agent",
               "-device", USB_CONTROLLER]
        for name in adapters:
            cmd += ["-chardev", "socket,id=%s,path=%s" % (name, listeners[name].getsockname())]
        for name in plugged:
            cmd += ["-device", self._device(name)]
            self.plugged.add(name)
        with open(os.path.join(work, "qemu.log"), "w") as log:
            self.qemu = subprocess.Popen(cmd, stdout=log, stderr=subprocess.STDOUT)
        self.feeds = {}
        for name, kind in adapters.items():
            listeners[name].settimeout(30)
            conn, _ = listeners[name].accept()
            listeners[name].close()
            self.feeds[name] = (sim.SimSensor(port=conn, follow_rate=True)
                                if kind == "frames" else Noise(conn))
        self.qmp = Qmp(os.path.join(work, "qmp.sock"))
        self.agent = Agent(os.path.join(work, "agent.sock"))
        self.agent.wait_boot(1)

    def _device(self, name):
        return "usb-serial,bus=usb.0,chardev=%s,id=%s" % (name, name)

    def run(self, cmd, timeout=60, check=True):
        """Runs a shell command in the guest; returns its standard output."""
        r = self.agent.run(cmd, timeout)
        if check and r["rc"] != 0:
            raise RuntimeError("guest: %r exited with %s: %s%s" % (cmd, r["rc"], r["out"],
                                                                   r["err"]))
        return r["out"]

    def start_controller(self):
        self.run("cp /mnt/cell/cell-controller.service /etc/systemd/system/ && "
                 "systemctl enable --now cell-controller")

    def unplug(self, name):
        # QEMU 7.2's usb-serial crashes (a NULL bus in usb_wakeup) when its chardev delivers
        # bytes between the device's detach and its end: the line goes quiet first, and what
        # QEMU has not yet taken is left to drain, as the last bytes in a cable would be.
        feed = self.feeds[name]
        mode = feed.mode
        feed.set_mode("silent")
        deadline = time.monotonic() + 2
        while _unread(feed.master) and time.monotonic() < deadline:
            time.sleep(0.02)
        self.qmp.execute("device_del", id=name)
        self.qmp.wait_event("DEVICE_DELETED", name)
        feed.set_mode(mode)
        self.plugged.discard(name)

    def plug(self, name):
        driver, *opts = self._device(name).split(",")
        self.qmp.execute("device_add", driver=driver,
                         **dict(o.split("=", 1) for o in opts))
        self.plugged.add(name)

    def reboot(self):
        boots = len(self.agent.boots)
        self.run("systemctl reboot", check=False)
        self.agent.wait_boot(boots + 1)

    def close(self):
        try:
            self.qmp.execute("quit")
        except (OSError, RuntimeError, ValueError):
            pass
        try:
            self.qemu.wait(30)
        except subprocess.TimeoutExpired:
            self.qemu.kill()
        for feed in self.feeds.values():
            feed.close()


def _unread(fd):
    """Bytes written to a socket that its peer has not read yet."""
    return struct.unpack("i", fcntl.ioctl(fd, termios.TIOCOUTQ, b"\0\0\0\0"))[0]


def boot_log_tail(work, lines=40):
    try:
        with open(os.path.join(work, "console.log"), errors="replace") as f:
            return "".join(f.readlines()[-lines:])
    except OSError:
        return ""
