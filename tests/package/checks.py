"""Checks of the installed files (man pages, the systemd unit, the udev rules) with the tools
that will read them on the target: man, systemd-analyze and udevadm. Used on the build
tree's files and on the package's.

The unit and udev checks need root: they run the tool in a mount namespace of its own
(unshare), so that the host's /usr/bin, /sys, /dev and rules stay untouched.
"""

import os
import re
import shlex
import subprocess
import tempfile

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def _read(path):
    with open(path) as f:
        return f.read()


def project_version():
    """The version's one source: the first entry of debian/changelog."""
    text = _read(os.path.join(REPO, "debian", "changelog"))
    return re.match(r"ftbridge \(([^)]+)\)", text).group(1)


def registered_methods():
    """The XML-RPC method names the control service registers."""
    text = _read(os.path.join(REPO, "src", "control", "abyss_server.cpp"))
    return re.findall(r'addMethod\("(\w+)"', text)


def render_man(path):
    """(text, warnings) of `MANWIDTH=80 man --warnings -l path`."""
    env = dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8", MAN_KEEP_FORMATTING="")
    r = subprocess.run(["man", "--warnings", "-l", path], env=env, capture_output=True,
                       text=True, timeout=60)
    warnings = r.stderr.strip()
    if r.returncode != 0:
        warnings += "\n(man exited with %d)" % r.returncode
    return r.stdout, warnings


def _in_namespace(script, timeout=60):
    return subprocess.run(["unshare", "--mount", "--fork", "sh", "-euc",
                           "mount --make-rprivate /\n" + script],
                          capture_output=True, text=True, timeout=timeout)


def unit_setting(unit, key):
    for line in _read(unit).splitlines():
        if line.startswith(key + "="):
            return line.split("=", 1)[1].strip()
    return None


def verify_unit(unit, daemon, manpath):
    """Output of `systemd-analyze verify unit` ("" when clean). The program named by
    ExecStart is overlaid from `daemon` and the man pages come from `manpath`, so the check
    sees what an installed system would."""
    exec_path = unit_setting(unit, "ExecStart")
    with tempfile.TemporaryDirectory() as tmp:
        lower = os.path.join(tmp, "bin")
        os.mkdir(lower)
        subprocess.run(["cp", daemon, os.path.join(lower, os.path.basename(exec_path))],
                       check=True)
        bindir = os.path.dirname(exec_path)
        script = ("mkdir -p {d}\nmount -t overlay overlay -o lowerdir={l}:{d} {d}\n"
                  "MANPATH={m} systemd-analyze verify {u} 2>&1\n").format(
                      d=shlex.quote(bindir), l=shlex.quote(lower), m=shlex.quote(manpath),
                      u=shlex.quote(unit))
        r = _in_namespace(script)
    out = (r.stdout + r.stderr).strip()
    if r.returncode != 0 and not out:
        out = "systemd-analyze verify exited with %d" % r.returncode
    return out


def security_exposure(unit, drop_in=None):
    """The overall exposure of `systemd-analyze security --offline=true` (0 best, 10 worst)
    and its report, with the drop-in file `drop_in` applied if given."""
    with tempfile.TemporaryDirectory() as tmp:
        subprocess.run(["cp", unit, tmp], check=True)
        name = os.path.basename(unit)
        if drop_in:
            os.mkdir(os.path.join(tmp, name + ".d"))
            subprocess.run(["cp", drop_in, os.path.join(tmp, name + ".d")], check=True)
        r = subprocess.run(["systemd-analyze", "security", "--offline=true", "--no-pager", name],
                           capture_output=True, text=True, timeout=60, cwd=tmp)
    report = r.stdout + r.stderr
    m = re.search(r"Overall exposure level for \S+: ([0-9.]+)", report)
    assert m, report
    return float(m.group(1)), report


# A fake sysfs for `udevadm test`: each device is (path under /sys/devices, subsystem, driver,
# attributes, uevent lines). systemd's sd-device insists that /sys be sysfs; a small preload
# makes the tmpfs mounted there pass that one check, so udev's own matcher runs on these trees.
_FSTATFS_SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <linux/magic.h>
#include <stdio.h>
#include <string.h>
#include <sys/vfs.h>
#include <unistd.h>
int fstatfs(int fd, struct statfs* buf) {
    static int (*real)(int, struct statfs*);
    if (!real) real = (int (*)(int, struct statfs*))dlsym(RTLD_NEXT, "fstatfs");
    int r = real(fd, buf);
    char link[64], target[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (r == 0 && n >= 4 && strncmp(target, "/sys", 4) == 0 && (n == 4 || target[4] == '/'))
        buf->f_type = SYSFS_MAGIC;
    return r;
}
int fstatfs64(int fd, struct statfs64* buf) { return fstatfs(fd, (struct statfs*)buf); }
"""

USB = "pci0000:00/0000:00:14.0/usb1"
FAKE_DEVICES = [
    # An FTDI adapter: USB device, its interface, the usb-serial port, the tty.
    (USB + "/1-2", "bus/usb", "usb", {"idVendor": "0403", "idProduct": "6001"},
     ["DEVTYPE=usb_device"]),
    (USB + "/1-2/1-2:1.0", "bus/usb", "ftdi_sio", {}, ["DEVTYPE=usb_interface"]),
    (USB + "/1-2/1-2:1.0/ttyUSB0", "bus/usb-serial", "ftdi_sio", {"latency_timer": "16"}, []),
    (USB + "/1-2/1-2:1.0/ttyUSB0/tty/ttyUSB0", "class/tty", None, {},
     ["MAJOR=188", "MINOR=0", "DEVNAME=ttyUSB0"]),
    # A CP210x adapter: another usb-serial driver.
    (USB + "/1-3", "bus/usb", "usb", {"idVendor": "10c4", "idProduct": "ea60"},
     ["DEVTYPE=usb_device"]),
    (USB + "/1-3/1-3:1.0", "bus/usb", "cp210x", {}, ["DEVTYPE=usb_interface"]),
    (USB + "/1-3/1-3:1.0/ttyUSB1", "bus/usb-serial", "cp210x", {}, []),
    (USB + "/1-3/1-3:1.0/ttyUSB1/tty/ttyUSB1", "class/tty", None, {},
     ["MAJOR=188", "MINOR=1", "DEVNAME=ttyUSB1"]),
    # A USB CDC-ACM device (ttyACM), from the FTDI vendor to be sure the driver decides.
    (USB + "/1-4", "bus/usb", "usb", {"idVendor": "0403", "idProduct": "6015"},
     ["DEVTYPE=usb_device"]),
    (USB + "/1-4/1-4:1.0", "bus/usb", "cdc_acm", {}, ["DEVTYPE=usb_interface"]),
    (USB + "/1-4/1-4:1.0/tty/ttyACM0", "class/tty", None, {},
     ["MAJOR=166", "MINOR=0", "DEVNAME=ttyACM0"]),
    # A built-in UART.
    ("platform/serial8250", "bus/platform", "serial8250", {}, []),
    ("platform/serial8250/tty/ttyS0", "class/tty", None, {},
     ["MAJOR=4", "MINOR=64", "DEVNAME=ttyS0"]),
]


def _fake_sysfs_script():
    lines = []
    for path, subsystem, driver, attrs, uevent in FAKE_DEVICES:
        d = "/sys/devices/" + path
        lines.append("mkdir -p %s" % shlex.quote(d))
        lines.append("printf %%s %s > %s/uevent" % (
            shlex.quote("".join(u + "\n" for u in uevent)), shlex.quote(d)))
        lines.append("mkdir -p /sys/%s" % subsystem)
        lines.append("ln -s /sys/%s %s/subsystem" % (subsystem, shlex.quote(d)))
        if driver:
            drv = "/sys/%s/drivers/%s" % (subsystem, driver)
            lines.append("mkdir -p %s && ln -s %s %s/driver" % (drv, drv, shlex.quote(d)))
        for name, value in attrs.items():
            lines.append("echo %s > %s/%s" % (value, shlex.quote(d), name))
    return "\n".join(lines)


UDEV_RULES_DIRS = ["/etc/udev/rules.d", "/run/udev/rules.d", "/usr/local/lib/udev/rules.d",
                   "/usr/lib/udev/rules.d", "/lib/udev/rules.d"]


def udev_test(rules_file, events):
    """Runs `udevadm test --action=ACTION /sys/devices/PATH` for each (action, path) with
    `rules_file` as the only rules, on the fake sysfs. Returns, per event, (properties dict,
    log lines that name the rules file)."""
    with tempfile.TemporaryDirectory() as tmp:
        shim = os.path.join(tmp, "fstatfs.so")
        src = os.path.join(tmp, "fstatfs.c")
        with open(src, "w") as f:
            f.write(_FSTATFS_SHIM)
        subprocess.run(["cc", "-shared", "-fPIC", "-o", shim, src, "-ldl"], check=True)
        rules = os.path.join(tmp, "rules")
        os.mkdir(rules)
        subprocess.run(["cp", rules_file, rules], check=True)
        script = ["mount -t tmpfs tmpfs /sys", "mount -t tmpfs tmpfs /run",
                  "mount -t tmpfs tmpfs /dev", _fake_sysfs_script()]
        for d in UDEV_RULES_DIRS:
            script.append("if [ -d {d} ] && [ ! -L {d} ] || [ {d} = /run/udev/rules.d ]; then "
                          "mkdir -p {d}; mount --bind {r} {d}; fi".format(d=d, r=rules))
        for action, path in events:
            script.append("echo '@@@ %s %s'" % (action, path))
            script.append("LD_PRELOAD=%s udevadm test --action=%s /sys/devices/%s 2>&1 || "
                          "echo \"udevadm test exited with $?\"" % (shim, action, path))
        r = _in_namespace("\n".join(script), timeout=120)
    assert r.returncode == 0, r.stdout + r.stderr
    chunks = r.stdout.split("@@@ ")[1:]
    results = []
    name = os.path.basename(rules_file)
    for chunk in chunks:
        props, log = {}, []
        for line in chunk.splitlines()[1:]:
            if re.match(r"^[A-Z_]+=", line):
                k, v = line.split("=", 1)
                props[k] = v
            elif name + ":" in line or "exited with" in line or "Invalid" in line:
                log.append(line)
        results.append((props, log))
    return results
