"""The daemon as a service manager and a fleet's monitoring see it: the notify datagrams,
the listening socket handed over, the metrics page against the getters, a real Prometheus
scraping it, and the documented scrape config and alert rules."""

import http.client
import json
import os
import shutil
import socket
import subprocess
import tempfile
import urllib.parse
import urllib.request

import harness
from harness import BenchCase, ctl
from ftsim.control import proxy, wait_service

DOCS = os.path.join(harness.REPO, "docs", "prometheus")
METRICS = "ftbridge_%s_total"


def get(path, method="GET", body=None, host="127.0.0.1"):
    conn = http.client.HTTPConnection(host, 20202, timeout=10)
    try:
        conn.request(method, path, body=body)
        r = conn.getresponse()
        return r.status, r.getheader("Content-Type"), r.read().decode()
    finally:
        conn.close()


def parse(text):
    """{name or name{labels}: float} of a metrics page."""
    return {l.rsplit(" ", 1)[0]: float(l.rsplit(" ", 1)[1])
            for l in text.splitlines() if not l.startswith("#")}


class Datagrams:
    """A notify socket of the test's own: the lines of every datagram so far, in order."""

    def __init__(self, case):
        d = tempfile.mkdtemp(prefix="ftsim-notify-")
        case.addCleanup(shutil.rmtree, d, ignore_errors=True)
        self.path, self.got = os.path.join(d, "notify"), []
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.path)
        case.addCleanup(self.sock.close)

    def lines(self):
        try:
            while True:
                self.got += self.sock.recv(4096, socket.MSG_DONTWAIT).decode().splitlines()
        except BlockingIOError:
            return self.got


class ServiceTest(BenchCase):
    def test_notify_ready_after_first_package_watchdog_while_streaming(self):
        n = Datagrams(self)
        s = self.sensor(0)
        # Two set-up attempts that get a text: the daemon waits for the controller for 2 s.
        c = self.controller([ctl.message("busy"), ctl.message("busy"), ctl.ok(1)])
        d = self.daemon(env={"NOTIFY_SOCKET": n.path, "WATCHDOG_USEC": "2000000"})
        harness.sandbox.wait_for(lambda: "READY=1" in n.lines(), 20, "READY=1")
        before = n.lines()[:n.lines().index("READY=1")]
        self.assertIn("STATUS=Waiting for the controller's RTDE interface at 127.0.0.1:30004",
                      before)
        c.wait_packages(1)
        # While the stream turns, the watchdog is fed: several after the readiness.
        harness.sandbox.wait_for(
            lambda: n.lines()[n.lines().index("READY=1"):].count("WATCHDOG=1") >= 3, 10,
            "WATCHDOG=1 while streaming")
        harness.sandbox.wait_for(lambda: any(l.startswith("STATUS=Streaming at ")
                                             and l.endswith(" Hz") for l in n.lines()), 10,
                                 "the streaming status")
        self.assertEqual(n.lines().count("READY=1"), 1)
        # A silent sensor: the loop still turns, so the daemon ends itself (status 1) and
        # the watchdog is fed until then, never left to abort it.
        s.set_mode("silent")
        fed = n.lines().count("WATCHDOG=1")
        self.assertExitStatus(d, 1, timeout=20)
        self.assertGreater(n.lines().count("WATCHDOG=1"), fed + 4, d.describe())

    def test_listening_socket_handed_over_at_first_connection(self):
        self.sensor(0)
        c = self.controller([ctl.ok(1)])
        d = self.daemon(path=shutil.which("systemd-socket-activate"),
                        args=["-l", "127.0.0.1:20202", harness.DAEMON])
        d.wait_stderr("Listening on")
        self.assertIsNone(c.connection, "the daemon starts only at the first connection")
        self.assertEqual(wait_service(d), "Vandrel (C++)")
        c.wait_packages(10, timeout=15)
        # The daemon serves the socket it was given, not one on every address of its own.
        with self.assertRaises(ConnectionRefusedError):
            socket.create_connection(("127.0.0.2", 20202), timeout=5).close()

    def streaming(self):
        self.sensor(0)
        c = self.controller([ctl.ok(1)])
        d = self.daemon()
        c.wait_packages(50, timeout=15)
        wait_service(d)   # it listens from a thread of its own, under load after the stream
        return c, d

    def test_metrics_are_what_the_getters_read(self):
        self.streaming()
        r = proxy()
        running, before = r.is_running(), r.get_statistics()
        status, kind, text = get("/metrics")
        after, running_after = r.get_statistics(), r.is_running()
        self.assertEqual((status, kind), (200, "text/plain; version=0.0.4"))
        m = parse(text)
        renamed = {"lost_sync": METRICS % "lost_syncs", "non_finite": METRICS % "non_finite_samples",
                   "uptime_s": "ftbridge_uptime_seconds"}
        for member in ("frames", "packages", "crc_errors", "lost_sync", "synchronisations",
                       "non_finite", "read_failures", "reconfigurations", "skipped_packages",
                       "lines_dropped", "lines_left_out", "uptime_s"):
            value = m[renamed.get(member, METRICS % member)]
            # The uptimes may read the same coarse clock tick, each rounded on its own way.
            slack = 1e-6 if member == "uptime_s" else 0
            self.assertTrue(before[member] - slack <= value <= after[member] + slack, member)
        self.assertGreaterEqual(m["ftbridge_last_package_age_seconds"], 0)
        if running == running_after:  # a stall under load may flip it in between
            self.assertEqual(m["ftbridge_running"], 1.0 if running else 0.0)
        self.assertAlmostEqual(m["ftbridge_sample_frequency_hertz"], r.get_sample_freq(),
                               delta=1.0)
        self.assertIn('ftbridge_build_info{version="', text)
        promtool = shutil.which("promtool")
        if promtool:
            check = subprocess.run([promtool, "check", "metrics"], input=text.encode(),
                                   capture_output=True, timeout=30)
            self.assertEqual((check.returncode, check.stdout + check.stderr), (0, b""))
        # What the page refuses, while /RPC2 answers as before.
        for method, path, body, expected in [
                ("POST", "/metrics", None, 405), ("HEAD", "/metrics", None, 405),
                ("GET", "/metrics?x=1", None, 400), ("GET", "/metrics", b"x", 400),
                # Far more than the daemon reads before it answers: closed on, the unread
                # bytes would reset the connection under the answer.
                ("GET", "/metrics", b"x" * 70000, 400),
                ("GET", "/metrics/x", None, 404), ("GET", "/RPC2", None, 405)]:
            with self.subTest(method=method, path=path, body=(body or b"")[:8]):
                self.assertEqual(get(path, method, body)[0], expected)
        self.assertEqual(r.get_title(), "Vandrel (C++)")

    def test_prometheus_scrapes_the_daemon(self):
        prometheus = shutil.which("prometheus")
        if not prometheus:
            self.skipTest("prometheus is not installed (Debian package prometheus)")
        self.streaming()
        work = tempfile.mkdtemp(prefix="ftsim-prometheus-")
        self.addCleanup(shutil.rmtree, work, ignore_errors=True)
        config = os.path.join(work, "prometheus.yml")
        with open(config, "w") as f:  # JSON is YAML
            json.dump({"global": {"scrape_interval": "200ms", "scrape_timeout": "150ms"},
                       "scrape_configs": [{"job_name": "ftbridge", "static_configs": [
                           {"targets": ["127.0.0.1:20202"]}]}]}, f)
        with open(os.path.join(work, "log"), "wb") as log:
            p = subprocess.Popen([prometheus, "--config.file=" + config,
                                  "--storage.tsdb.path=" + os.path.join(work, "data"),
                                  "--web.listen-address=127.0.0.1:9090"], stderr=log)
        self.addCleanup(p.wait, 30)
        self.addCleanup(p.terminate)

        def scraped():
            if p.poll() is not None:
                raise AssertionError("prometheus exited: " + open(log.name).read())
            url = ("http://127.0.0.1:9090/api/v1/query?"
                   + urllib.parse.urlencode({"query": "ftbridge_packages_total"}))
            try:
                with urllib.request.urlopen(url, timeout=5) as r:
                    result = json.load(r)["data"]["result"]
            except OSError:
                return None
            return result and float(result[0]["value"][1]) > 0 and result[0]
        result = harness.sandbox.wait_for(scraped, 60, "a scrape", interval=0.2)
        self.assertEqual(result["metric"]["job"], "ftbridge")

    def test_documented_scrape_config_and_alert_rules_check(self):
        promtool = shutil.which("promtool")
        if not promtool:
            self.skipTest("promtool is not installed (Debian package prometheus)")
        for what, name in [("rules", "ftbridge-rules.yml"), ("config", "prometheus.yml")]:
            with self.subTest(what):
                check = subprocess.run([promtool, "check", what, os.path.join(DOCS, name)],
                                       capture_output=True, timeout=60)
                self.assertEqual(check.returncode, 0, check.stdout + check.stderr)


if __name__ == "__main__":
    harness.main()
