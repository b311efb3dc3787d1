"""What the cell's tests and its user ask of the guest: the units' state, the journal and the
times in it, the controller's packages, /metrics, a scraper's connections."""
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from ftsim.sandbox import wait_for  # noqa: E402

STARTED = "39f53479d3a045ac8e11786248231fbf"  # the journal's "unit started" message
# Connections to the control port, as a scraper makes them: how many were refused, answered.
SCRAPES = r"""
import socket, time, sys
refused = answered = 0
end = time.monotonic() + float(sys.argv[1])
while time.monotonic() < end:
    try:
        with socket.create_connection(("127.0.0.1", 20202), timeout=5) as s:
            s.sendall(b"GET /metrics HTTP/1.0\r\n\r\n")
            answered += s.recv(12).startswith(b"HTTP/1.")
    except OSError:
        refused += 1
    time.sleep(0.2)
print(refused, answered)
"""


class Guest:
    """What the rows ask of the guest."""

    def __init__(self, cell):
        self.cell = cell

    def now(self):
        return float(self.cell.run("date +%s.%N"))

    def unit(self, name="ftbridge.service"):
        props = "ActiveState,SubState,Result,ConditionResult,MainPID,StatusText,ExecMainStatus"
        out = self.cell.run("systemctl show %s -p %s" % (name, props))
        return dict(line.split("=", 1) for line in out.splitlines() if "=" in line)

    def system(self):
        state = self.cell.run("systemctl is-system-running", check=False).strip()
        failed = self.cell.run("systemctl list-units --failed --all --plain --no-legend")
        return state, failed.strip()

    def journal(self, since, until=None, units=("ftbridge.service", "ftbridge.socket")):
        cmd = "journalctl -o json --no-pager --since @%.6f" % since
        if until is not None:
            cmd += " --until @%.6f" % until
        cmd += "".join(" -u " + u for u in units) if units else " -k"
        return [json.loads(line) for line in self.cell.run(cmd).splitlines()]

    def when(self, since, pred, units=("ftbridge.service",)):
        """The guest time of the first journal entry since `since` that `pred` accepts."""
        for e in self.journal(since, units=units):
            if pred(e):
                return int(e["__REALTIME_TIMESTAMP"]) / 1e6
        return None

    def plugged_at(self, since, tty):
        return self.when(since, lambda e: e.get("MESSAGE", "").endswith(
            "converter now attached to " + tty), units=())

    def started_at(self, since):
        return self.when(since, lambda e: e.get("MESSAGE_ID") == STARTED
                         and e.get("UNIT") == "ftbridge.service")

    def ended_at(self, since):
        return self.when(since, lambda e: e.get("UNIT") == "ftbridge.service" and (
            "Deactivated successfully" in e.get("MESSAGE", "")
            or "Main process exited" in e.get("MESSAGE", "")))

    def scrapes(self, seconds):
        """Connects to the control port every 0.2 s for `seconds`, as a scraper; returns how
        many connections were refused and how many answered."""
        out = self.cell.run("python3 -c '%s' %d" % (SCRAPES.replace("'", "'\"'\"'"), seconds),
                            timeout=seconds + 60)
        return tuple(map(int, out.split()))

    def packages(self):
        out = self.cell.run("journalctl -u cell-controller -o cat --no-pager | "
                            "grep -o '^[0-9]* packages' | tail -1 | cut -d' ' -f1")
        return int(out or 0)

    def metrics(self):
        return self.cell.run("python3 -c 'import urllib.request as u; print(u.urlopen("
                             "\"http://127.0.0.1:20202/metrics\", timeout=10).read().decode())'")

    def wait(self, pred, what, timeout=90):
        try:
            wait_for(pred, timeout, what, interval=0.5)
        except TimeoutError as e:
            raise AssertionError("%s; ftbridge %s" % (e, self.unit())) from None

    def wait_streaming(self, since, timeout=90):
        """Waits for READY after `since` and packages arriving at the controller; returns the
        guest time of READY."""
        self.wait(lambda: self.started_at(since) is not None, "streaming", timeout)
        before = self.packages()
        self.wait(lambda: self.packages() > before, "packages at the controller", 30)
        return self.started_at(since)
