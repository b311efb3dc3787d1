"""The installed package on a real kernel's USB serial driver, udev and systemd: one boot of
the cell (tools/cell), two emulated FTDI adapters ("sensor" streams frames, "noise" streams
other bytes and never the header), the simulated controller in the guest. The scenarios run in
order, as rows of one table; each checks the journal, systemctl, the controller's packages and
/metrics where it has something to say. The emulator is slow: times are judged in seconds.

    test_cell.py --build BUILD_DIR [--reuse]   (as root; --reuse takes build-deb/'s package)
"""
import glob
import os
import subprocess
import sys
import tempfile
import time
import unittest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(REPO, "tools", "cell"))
import cell as vm  # noqa: E402
from guest import Guest  # noqa: E402

BUILD = None
REUSE = False


class Rows:
    """One method per scenario, in the order they run; each returns its figures."""

    def __init__(self, test, cell):
        self.t, self.cell, self.g = test, cell, Guest(cell)

    def assert_healthy(self):
        state, failed = self.g.system()
        self.t.assertEqual((state, failed), ("running", ""))

    def assert_streams(self, tty="ttyUSB0"):
        u = self.g.unit()
        self.t.assertEqual((u["ActiveState"], u["SubState"]), ("active", "running"))
        self.t.assertRegex(u["StatusText"], r"^Streaming at [0-9]+ Hz$")
        self.t.assertEqual(self.cell.run(
            "cat /sys/bus/usb-serial/devices/%s/latency_timer" % tty).strip(), "1")
        self.t.assertIn("/dev/" + tty, self.cell.run(
            "ls -l /proc/%s/fd" % u["MainPID"]))
        self.t.assertEqual(self.g.unit("ftbridge.socket")["ActiveState"], "active")
        self.t.assertRegex(self.g.metrics(), r"(?m)^ftbridge_packages_total [1-9]")
        self.t.assertEqual(self.cell.run("ftbridge-ctl running").strip(), "true")
        self.assert_healthy()

    def plug_and_time(self, name, tty="ttyUSB0"):
        """Plugs the adapter (it becomes `tty`); returns the seconds from the kernel's
        attach to READY. The sensor's adapter is ttyUSB0."""
        mark = self.g.now()
        self.cell.plug(name)
        ready = self.g.wait_streaming(mark)
        self.assert_streams()
        took = ready - self.g.plugged_at(mark, tty)
        self.t.assertLess(took, 5)  # 1.4-2.8 s idle; the emulator is slower than a cell
        return took

    def installed_with_adapter(self):
        mark = self.g.now()
        self.cell.run("dpkg -i /mnt/cell/ftbridge.deb", timeout=120)
        self.g.wait_streaming(mark)
        self.assert_streams()
        return {"installed to READY s": round(self.g.started_at(mark) - mark, 1)}

    def reboot(self):
        t0 = time.monotonic()
        self.cell.reboot()
        mark = float(self.cell.run("cut -d' ' -f1 /proc/uptime"))
        mark = self.g.now() - mark  # the boot's own start
        self.g.wait_streaming(mark, timeout=180)
        self.assert_streams()
        return {"boot to READY s": round(self.g.started_at(mark) - mark, 1),
                "reboot wall s": round(time.monotonic() - t0)}

    def unplugged_while_streaming_and_scraped(self):
        pid = self.g.unit()["MainPID"]
        mark = self.g.now()
        self.cell.unplug("sensor")
        refused, answered = self.g.scrapes(60)
        lines = self.g.journal(mark, mark + 60)
        self.t.assertLessEqual(len(lines), 10, [e.get("MESSAGE") for e in lines])
        u = self.g.unit()
        self.t.assertEqual((u["ActiveState"], u["Result"]), ("inactive", "success"))
        self.t.assertFalse(self.cell.run("ls /proc/%s 2>/dev/null || true" % pid).strip())
        self.t.assertEqual(self.g.unit("ftbridge.socket")["ActiveState"], "inactive")
        self.assert_healthy()
        return {"journal lines in 60 s": len(lines), "scrapes refused": refused,
                "answered": answered, "unplug to end s": round(self.g.ended_at(mark) - mark, 1)}

    def plugged_back_after_the_end(self):
        return {"plug to READY s": round(self.plug_and_time("sensor"), 1)}

    def plugged_back_3s_after_the_unplug(self):
        mark = self.g.now()
        self.cell.unplug("sensor")
        time.sleep(3)  # the scenario's own gap, not a wait for anything
        mark_plug = self.g.now()
        self.cell.plug("sensor")
        ready = self.g.wait_streaming(mark_plug)
        self.assert_streams()
        since = max(self.g.ended_at(mark), self.g.plugged_at(mark_plug, "ttyUSB0"))
        self.t.assertLess(ready - since, 5)
        return {"end or plug to READY s": round(ready - since, 1),
                "unplug to READY s": round(ready - mark, 1)}

    def plugged_during_the_restart_delay(self):
        # The sensor falls silent: the daemon ends by its read limit and waits out RestartSec.
        mark = self.g.now()
        self.cell.feeds["sensor"].set_mode("silent")
        self.g.wait(lambda: self.g.unit()["SubState"] == "auto-restart", "restart delay", 60)
        self.t.assertIn("Read frame header from serial port failed! Exiting...",
                        [e.get("MESSAGE") for e in self.g.journal(mark)])
        self.cell.feeds["sensor"].set_mode("stream")
        # A second adapter's plug ends the delay; its own plug and unplug then leave the
        # stream alone.
        took = self.plug_and_time("noise", "ttyUSB1")
        pid = self.g.unit()["MainPID"]
        self.cell.unplug("noise")
        self.cell.plug("noise")
        self.cell.unplug("noise")
        time.sleep(2)  # time for any wrong restart to show
        self.t.assertEqual(self.g.unit()["MainPID"], pid)
        return {"plug to READY s": round(took, 1)}

    def two_adapters_the_first_without_headers(self):
        self.cell.run("systemctl stop ftbridge.socket ftbridge.service")
        self.cell.unplug("sensor")
        mark = self.g.now()
        self.cell.plug("noise")    # ttyUSB0
        self.g.wait(lambda: self.cell.run("ls /dev/ttyUSB0 2>/dev/null || true").strip(),
                    "ttyUSB0")
        self.cell.plug("sensor")   # ttyUSB1
        ready = self.g.wait_streaming(mark)
        self.assert_streams("ttyUSB1")
        # The probe passed it by and left its settings (9600 baud, cooked) as it found them.
        self.t.assertIn("speed 9600 baud", self.cell.run("stty -a -F /dev/ttyUSB0"))
        self.t.assertIn(" icanon", self.cell.run("stty -a -F /dev/ttyUSB0"))
        figures = {"second plug to READY s": round(ready - self.g.plugged_at(mark, "ttyUSB1"), 1)}
        # The adapter it streams from goes while another stays: it starts over on that one.
        pid = self.g.unit()["MainPID"]
        self.cell.unplug("sensor")
        self.g.wait(lambda: self.g.unit()["MainPID"] not in (pid, "0"), "a start on ttyUSB0", 30)
        self.assert_healthy()
        return figures

    def purged(self):
        self.cell.run("dpkg --purge ftbridge", timeout=120)
        left = self.cell.run("ls -d /usr/sbin/ftbridge /lib/systemd/system/ftbridge.* "
                             "/lib/udev/rules.d/60-ftbridge.rules /usr/libexec/ftbridge-hotplug "
                             "/var/lib/ftbridge /var/lib/private/ftbridge 2>/dev/null || true")
        self.t.assertEqual(left.strip(), "")
        self.assert_healthy()
        return {}

    def installed_without_adapter(self):
        for name in list(self.cell.plugged):
            self.cell.unplug(name)
        self.cell.run("dpkg -i /mnt/cell/ftbridge.deb", timeout=120)
        self.g.wait(lambda: self.g.unit()["ConditionResult"] == "no", "the skipped start")
        self.t.assertEqual(self.g.unit()["ActiveState"], "inactive")
        self.assert_healthy()
        return {"plug to READY s": round(self.plug_and_time("sensor"), 1)}


SCENARIOS = [
    Rows.installed_with_adapter,
    Rows.reboot,
    Rows.unplugged_while_streaming_and_scraped,
    Rows.plugged_back_after_the_end,
    Rows.plugged_back_3s_after_the_unplug,
    Rows.plugged_during_the_restart_delay,
    Rows.two_adapters_the_first_without_headers,
    Rows.purged,
    Rows.installed_without_adapter,
]


def package():
    debs = [d for d in glob.glob(os.path.join(REPO, "build-deb", "ftbridge_*.deb"))]
    if not (REUSE and len(debs) == 1):
        subprocess.run(["make", "-C", REPO, "deb"], check=True, stdout=subprocess.DEVNULL)
        debs = glob.glob(os.path.join(REPO, "build-deb", "ftbridge_*.deb"))
    return debs[0]


class Cell(unittest.TestCase):
    def test_scenarios(self):
        image = os.path.join(BUILD, "cell", "image")
        r = subprocess.run([os.path.join(REPO, "tools", "cell", "build-image"), image])
        self.assertEqual(r.returncode, 0, "the guest image could not be built (see above)")
        deb = package()
        with tempfile.TemporaryDirectory(prefix="cell-") as work:
            t0 = time.monotonic()
            cell = vm.Cell(image, work, {"sensor": "frames", "noise": "noise"},
                           plugged=["sensor"], deb=deb)
            try:
                print("\nboot to the agent: %.0f s" % (time.monotonic() - t0), file=sys.stderr)
                cell.start_controller()
                rows = Rows(self, cell)
                # In order, each on the state the last left; the first failure ends the run.
                for scenario in SCENARIOS:
                    t = time.monotonic()
                    try:
                        figures = scenario(rows)
                    except Exception:
                        print("\n%s failed; the guest's journal:\n%s" % (
                            scenario.__name__, cell.run("journalctl -b --no-pager -n 80",
                                                        check=False)), file=sys.stderr)
                        raise
                    print("%-42s %4.0f s  %s" % (scenario.__name__, time.monotonic() - t,
                                                  figures), file=sys.stderr)
            except Exception:
                print(vm.boot_log_tail(work), file=sys.stderr)
                kept = os.path.join(BUILD, "cell", "failed")
                subprocess.run(["rm", "-rf", kept])
                subprocess.run(["cp", "-r", work, kept])  # sockets and all, for a look
                print("the cell's logs are kept in %s" % kept, file=sys.stderr)
                raise
            finally:
                cell.close()


if __name__ == "__main__":
    args = sys.argv[1:]
    if "--reuse" in args:
        REUSE = True
        args.remove("--reuse")
    if len(args) < 2 or args[0] != "--build":
        raise SystemExit(__doc__)
    for tool in ("qemu-system-x86_64", "debootstrap"):
        if subprocess.run(["which", tool], capture_output=True).returncode != 0:
            raise SystemExit("test_cell: %s is missing (tools/install-deps installs it)" % tool)
    BUILD = os.path.abspath(args[1])
    unittest.main(argv=[sys.argv[0]] + args[2:])
