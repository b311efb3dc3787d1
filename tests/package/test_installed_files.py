"""The files `make install` and the package put on a system, as the system's tools read them:
the man pages render without warnings and cover every control method, the unit verifies and
stays hardened, the udev rules parse and select exactly the ttyUSB of an FTDI adapter.

    test_installed_files.py --build BUILD_DIR     (as root: the unit and udev checks unshare)
"""

import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import checks  # noqa: E402

BUILD = None
MAN_PAGES = ["ftbridge.8", "ftbridge-ctl.1", "ftrecord.1"]


class ManPages(unittest.TestCase):
    def test_render_without_warnings_with_the_version(self):
        for page in MAN_PAGES:
            with self.subTest(page=page):
                text, warnings = checks.render_man(os.path.join(BUILD, "man", "man" + page[-1], page))
                self.assertEqual(warnings, "")
                self.assertIn("ftbridge " + checks.project_version(), text)

    def test_daemon_page_names_every_control_method(self):
        text, _ = checks.render_man(os.path.join(BUILD, "man", "man8", "ftbridge.8"))
        methods = checks.registered_methods()
        self.assertGreaterEqual(len(methods), 8)
        for m in methods:
            self.assertIn(m, text)


class Unit(unittest.TestCase):
    def setUp(self):
        self.unit = os.path.join(BUILD, "ftbridge.service")

    def test_verifies_clean(self):
        self.assertEqual(checks.verify_unit(self.unit, os.path.join(BUILD, "ftbridge"),
                                            os.path.join(BUILD, "man")), "")

    def test_hardened_without_cutting_what_the_daemon_needs(self):
        self.assertLessEqual(checks.security_exposure(self.unit)[0], 2.5)
        # The daemon's own contract with its supervisor, and the loopback to the controller.
        for key, value in [("Type", "notify"), ("Wants", "ftbridge.socket"),
                           ("KillSignal", "SIGINT"), ("SuccessExitStatus", "2"),
                           ("Restart", "on-failure"), ("StartLimitIntervalSec", "0"),
                           ("ConditionPathExistsGlob", "/dev/ttyUSB*"),
                           ("DeviceAllow", "char-ttyUSB rw"),
                           ("SupplementaryGroups", "dialout")]:
            self.assertEqual(checks.unit_setting(self.unit, key), value, key)
        self.assertIsNone(checks.unit_setting(self.unit, "RestartPreventExitStatus"))
        self.assertIsNone(checks.unit_setting(self.unit, "PrivateNetwork"))
        self.assertIsNone(checks.unit_setting(self.unit, "IPAddressDeny"))


    def test_example_drop_in_verifies_on_the_socket(self):
        # systemd-analyze verify loads the socket the service wants, with its drop-ins.
        drop_in = os.path.join(checks.REPO, "tools", "systemd", "restrict-to-localhost.conf")
        with tempfile.TemporaryDirectory() as tmp:
            for name in ("ftbridge.service", "ftbridge.socket"):
                shutil.copy(os.path.join(BUILD, name), tmp)
            os.mkdir(os.path.join(tmp, "ftbridge.socket.d"))
            shutil.copy(drop_in, os.path.join(tmp, "ftbridge.socket.d"))
            self.assertEqual(checks.verify_unit(os.path.join(tmp, "ftbridge.service"),
                                                os.path.join(BUILD, "ftbridge"),
                                                os.path.join(BUILD, "man")), "")
        self.assertEqual(checks.unit_setting(os.path.join(BUILD, "ftbridge.socket"),
                                             "ConditionPathExistsGlob"), "/dev/ttyUSB*")


class UdevRules(unittest.TestCase):
    def test_select_the_ftdi_tty_and_nothing_else(self):
        rules = os.path.join(BUILD, "60-ftbridge.rules")
        usb = checks.USB
        ftdi_port = usb + "/1-2/1-2:1.0/ttyUSB0"
        hotplug = "/usr/local/libexec/ftbridge-hotplug"
        cases = [
            # (action, device, started and hidden from ModemManager, latency timer written,
            #  the hot-plug helper's arguments or None)
            ("add", ftdi_port + "/tty/ttyUSB0", True, False, "add"),
            ("change", ftdi_port + "/tty/ttyUSB0", True, False, None),
            ("remove", ftdi_port + "/tty/ttyUSB0", False, False, "remove $env{MAJOR}:$env{MINOR}"),
            ("bind", ftdi_port, False, True, None),
            ("add", ftdi_port, False, True, None),
            ("add", usb + "/1-2", False, False, None),
            ("add", usb + "/1-3/1-3:1.0/ttyUSB1/tty/ttyUSB1", False, False, None),
            # Any ttyUSB that goes may be the one the daemon held.
            ("remove", usb + "/1-3/1-3:1.0/ttyUSB1/tty/ttyUSB1", False, False, "remove $env{MAJOR}:$env{MINOR}"),
            ("bind", usb + "/1-3/1-3:1.0/ttyUSB1", False, False, None),
            ("add", usb + "/1-4/1-4:1.0/tty/ttyACM0", False, False, None),
            ("remove", usb + "/1-4/1-4:1.0/tty/ttyACM0", False, False, None),
            ("add", "platform/serial8250/tty/ttyS0", False, False, None),
        ]
        results = checks.udev_test(rules, [(a, d) for a, d, _, _, _ in cases])
        self.assertEqual(len(results), len(cases))
        for (action, device, claimed, timer, run), (props, log) in zip(cases, results):
            with self.subTest(action=action, device=device):
                self.assertIn("ACTION", props, log)  # udevadm ran on the device
                if action != "remove":  # udevadm test shows the properties of the last add
                    self.assertEqual(props.get("SYSTEMD_WANTS") == "ftbridge.service", claimed)
                    self.assertEqual(props.get("ID_MM_DEVICE_IGNORE") == "1", claimed)
                    self.assertEqual(":systemd:" in props.get("TAGS", ""), claimed)
                # udevadm test logs the attribute write it would make.
                writes = [line for line in log if "latency_timer" in line and "'1'" in line]
                self.assertEqual(bool(writes), timer, log)
                runs = [line for line in log if " RUN '" in line]
                self.assertEqual([line.split(" RUN ")[1] for line in runs],
                                 ["'%s %s'" % (hotplug, run)] if run else [], log)
                writes += runs
                # Anything else the rules file made udev say is a parse or match problem.
                self.assertEqual([line for line in log if line not in writes], [])


if __name__ == "__main__":
    args = sys.argv[1:]
    if len(args) < 2 or args[0] != "--build":
        raise SystemExit("usage: %s --build BUILD_DIR [unittest args]" % sys.argv[0])
    BUILD = os.path.abspath(args[1])
    unittest.main(argv=[sys.argv[0]] + args[2:])
