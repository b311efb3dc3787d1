#!/usr/bin/env python3
"""Hostile clients against the control service, measured on the real daemon.

Runs inside the test sandbox with a simulated sensor and controller. Each attack gets a
fresh daemon; the figures are the daemon's own CPU time (from /proc) and the growth of its
peak resident memory, whether it survived, and how long a well-formed call from another
address waited meanwhile. A measurement, not a test: it never fails on a figure.

usage: control_attacks.py DAEMON [attack ...]
attacks: scrapers nesting entities entities_big tiny_elements elements_4096 big_title
         trickle slow_clients slow_same_address held_bodies plus_length address_fill_4
         address_fill_8 nonblocking_listener
"""

import functools
import http.client
import os
import socket
import statistics
import sys
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "tools"))

from ftsim import controller as ctl  # noqa: E402
from ftsim import sandbox  # noqa: E402
from ftsim import sensor as sim  # noqa: E402
from ftsim import control  # noqa: E402
from ftsim.control import (PORT, SlowClients, entity_bomb, http_request, proxy,  # noqa: E402
                           title_call)

ATTACKER = "127.0.0.2"   # the hostile client's own address; the probe calls from 127.0.0.1


send_raw = functools.partial(control.send_raw, source=ATTACKER)


def _cpu_s(stat_path):
    with open(stat_path) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def proc_cpu_s(pid):
    """CPU time of every thread but the main one, which runs the stream meanwhile."""
    return _cpu_s("/proc/%d/stat" % pid) - _cpu_s("/proc/%d/task/%d/stat" % (pid, pid))


def proc_hwm_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


# Hands the daemon (argv[1]) its control port as systemd would, but non-blocking.
NONBLOCKING_LAUNCHER = """import os, socket, sys
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", 20202))
s.listen(1024)
s.setblocking(False)
os.dup2(s.fileno(), 3)
os.set_inheritable(3, True)
os.environ.update(LISTEN_FDS="1", LISTEN_PID=str(os.getpid()))
os.execv(sys.argv[1], sys.argv[1:])
"""


class Bench:
    def __init__(self, daemon_path, nonblocking_listener=False):
        self.sensor = sim.SimSensor(rate_hz=800.0)
        sandbox.link_tty_usb(0, self.sensor.path)
        self.controller = ctl.SimController()
        if nonblocking_listener:
            self.daemon = sandbox.Daemon(sys.executable, args=["-c", NONBLOCKING_LAUNCHER,
                                                               daemon_path]).start()
        else:
            self.daemon = sandbox.Daemon(daemon_path).start()
        self.controller.wait_packages(50, timeout=20)
        proxy().set_title("before")
        self.cpu0 = proc_cpu_s(self.daemon.pid)
        self.hwm0 = proc_hwm_kib(self.daemon.pid)
        self.sent0 = (len(self.controller.packages()), len(self.sensor.sent))


    def figures(self):
        d = self.daemon
        alive = d.running()
        out = {"alive": alive, "status": d.poll()}
        if alive:
            out["cpu_s"] = max(0.0, round(proc_cpu_s(d.pid) - self.cpu0, 2))
            out["hwm_growth_mib"] = round((proc_hwm_kib(d.pid) - self.hwm0) / 1024, 1)
            # Packages per entry of the simulator's send log meanwhile: about 0.9 when quiet.
            out["pkg_per_frame"] = round((len(self.controller.packages()) - self.sent0[0])
                                         / max(1, len(self.sensor.sent) - self.sent0[1]), 3)
            try:
                t = proxy().get_title()
                out["title"] = t if len(t) < 40 else "%d chars" % len(t)
            except Exception as e:  # a figure, not a failure
                out["title"] = repr(e)[:60]
        return out

    def close(self):
        self.daemon.cleanup()
        self.controller.stop()
        self.sensor.close()
        sandbox.remove_all_links()


def attack_nesting(b):
    status, _ = send_raw(http_request(title_call("<a>" * 4000)), timeout=10)
    time.sleep(0.5)
    return {"answer": status}


def attack_entities(b, levels=6):
    body = entity_bomb(levels)
    t = time.monotonic()
    status, got = send_raw(http_request(body), timeout=120)
    return {"request_bytes": len(body), "answer": status, "answer_bytes": len(got),
            "wall_s": round(time.monotonic() - t, 2)}


def attack_entities_big(b):
    return attack_entities(b, 7)


HEAD = b"<?xml version=\"1.0\"?><methodCall><methodName>set_title</methodName><params>"
TAIL = b"</params></methodCall>"
SIZE_LIMIT = 512 * 1024   # the library's limit on a request body


def timed_call(body):
    t = time.monotonic()
    status, _ = send_raw(http_request(body), timeout=60)
    return {"request_bytes": len(body), "answer": status,
            "wall_s": round(time.monotonic() - t, 2)}


def attack_tiny_elements(b):
    # The largest body taken, made of the smallest elements the parser builds a node for.
    n = (SIZE_LIMIT - len(HEAD) - len(TAIL)) // 4
    return timed_call(HEAD + b"<a/>" * n + TAIL)


def attack_elements_4096(b):
    # As many elements as are accepted, each with as much text as the size limit leaves.
    n = 4096 - 3
    text = b"x" * ((SIZE_LIMIT - len(HEAD) - len(TAIL)) // n - 7)
    return timed_call(HEAD + (b"<a>" + text + b"</a>") * n + TAIL)


def attack_big_title(b):
    # A title as long as the size limit allows: parsed, stored, answered, read back.
    head = HEAD + b"<param><value><string>"
    tail = b"</string></value></param>" + TAIL
    return timed_call(head + b"T" * (SIZE_LIMIT - 1024 - len(head) - len(tail)) + tail)


def attack_trickle(b):
    body = title_call("<string>trickled</string>")
    s = socket.socket()
    s.bind((ATTACKER, 0))
    s.connect(("127.0.0.1", PORT))
    s.settimeout(1.0)
    t0 = time.monotonic()
    s.sendall(http_request(b"", length=len(body)))
    cut = None
    for byte in body[:60]:
        try:
            s.send(bytes([byte]))
            if s.recv(4096) == b"":
                cut = time.monotonic() - t0
                break
        except socket.timeout:
            continue
        except OSError:
            cut = time.monotonic() - t0
            break
    s.close()
    return {"cut_after_s": round(cut, 1) if cut is not None else "not cut in 60 s"}


def attack_slow_clients(b, seconds=20.0, address=ATTACKER):
    attackers = SlowClients(400, address)
    time.sleep(1.0)
    waits, failed = [], 0
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        t = time.monotonic()
        try:
            proxy(30.0).is_running()
        except Exception:
            failed += 1
        waits.append(time.monotonic() - t)
        time.sleep(0.1)
    attackers.stop()
    return {"calls": len(waits), "failed": failed,
            "median_s": round(statistics.median(waits), 3),
            "max_s": round(max(waits), 3),
            "attacker_connections_opened": attackers.opened}


def attack_slow_same_address(b):
    # The limit is per address: a caller sharing the attacker's address is turned away too.
    return attack_slow_clients(b, address="127.0.0.1")


def _scrape_until(deadline, count):
    import http.client
    while time.monotonic() < deadline:
        conn = http.client.HTTPConnection("127.0.0.1", PORT, timeout=10)
        conn.request("GET", "/metrics")
        conn.getresponse().read()
        conn.close()
        with count.get_lock():
            count.value += 1


def attack_scrapers(b, clients=8, seconds=10.0):
    """Eight processes reading /metrics in a loop (processes: threads here would take the
    simulators' interpreter lock): the stream's packages a second and per frame sent, before
    and meanwhile (the simulator itself slows down on a busy machine), and the scrapes made."""
    import multiprocessing

    def rate(wait):
        """Packages a second, and per frame the sensor sent meanwhile."""
        n0, f0, t0 = len(b.controller.packages()), len(b.sensor.sent), time.monotonic()
        wait()
        n, f = len(b.controller.packages()) - n0, len(b.sensor.sent) - f0
        return round(n / (time.monotonic() - t0), 1), round(n / max(f, 1), 3)
    quiet = rate(lambda: time.sleep(seconds))
    count = multiprocessing.Value("i", 0)
    procs = [multiprocessing.Process(target=_scrape_until,
                                     args=(time.monotonic() + seconds, count))
             for _ in range(clients)]
    for p in procs:
        p.start()
    loaded = rate(lambda: [p.join() for p in procs])
    return {"quiet_pkg_per_s_and_per_frame": quiet, "scraped_pkg_per_s_and_per_frame": loaded,
            "scrapes": count.value}


def innocent_calls(seconds, scrape=False):
    """Calls from 127.0.0.1, one after another (with /metrics scrapes between them if scrape),
    for seconds: how many, how many answered, how many of those within 1 s."""
    waits, k, end = [], 0, time.monotonic() + seconds
    while time.monotonic() < end:
        t = time.monotonic()
        try:
            if scrape and k % 2:
                conn = http.client.HTTPConnection("127.0.0.1", PORT, timeout=10)
                conn.request("GET", "/metrics")
                r = conn.getresponse()
                r.read()
                conn.close()
                ok = r.status == 200
            else:
                ok = proxy(10.0).get_title().endswith(" (C++)")
        except Exception:  # a figure, not a failure
            ok = False
        waits.append(time.monotonic() - t if ok else None)
        k += 1
        time.sleep(0.1)
    answered = [w for w in waits if w is not None]
    return {"calls": len(waits), "answered": len(answered),
            "within_1s": sum(w <= 1.0 for w in answered),
            "max_s": round(max(answered), 3) if answered else None}


def attack_held_bodies(b):
    """One address keeps 8 requests claiming the largest body (512 KiB) and sending none,
    reopening each one that is cut or refused: the whole budget, were there no shares."""
    attackers = SlowClients(8, ATTACKER, http_request(b"", length=SIZE_LIMIT))
    time.sleep(1.0)
    out = innocent_calls(30.0)
    attackers.stop()
    out["attacker_connections_opened"] = attackers.opened
    return out


def attack_plus_length(b):
    """240 requests from 4 addresses, each claiming 512 KiB as "+524288" and sending half."""
    socks, refused = [], 0
    head = http_request(b"", length=SIZE_LIMIT).replace(b"Length: ", b"Length: +")
    for k in range(240):
        s = socket.socket()
        s.settimeout(10)
        s.bind(("127.0.0.%d" % (10 + k % 4), 0))
        try:
            s.connect(("127.0.0.1", PORT))
            s.sendall(head + b"x" * (SIZE_LIMIT // 2))
        except OSError:
            refused += 1
        socks.append(s)
    time.sleep(1.0)
    import select
    refused += len(select.select(socks, [], [], 0)[0])
    peak = proc_hwm_kib(b.daemon.pid)
    for s in socks:
        s.close()
    return {"sent": len(socks), "answered_at_once_or_closed": refused,
            "peak_rss_mib": round(peak / 1024, 1)}


def attack_address_fill(b, addresses):
    """addresses addresses, 64 slow connections each, reopened when closed; calls and
    scrapes from a further address meanwhile."""
    attackers = [SlowClients(64, "127.0.0.%d" % (10 + k)) for k in range(addresses)]
    time.sleep(1.0)
    out = innocent_calls(30.0, scrape=True)
    for a in attackers:
        a.stop()
    out["attacker_connections_opened"] = sum(a.opened for a in attackers)
    return out


def attack_nonblocking_listener(b):
    """The control port handed over non-blocking: how long 100 calls take each."""
    waits = []
    for _ in range(100):
        t = time.monotonic()
        proxy(10.0).get_title()
        waits.append(time.monotonic() - t)
    return {"calls": len(waits), "median_s": round(statistics.median(waits), 4),
            "mean_s": round(statistics.mean(waits), 4), "max_s": round(max(waits), 4)}


ATTACKS = {"scrapers": attack_scrapers, "nesting": attack_nesting, "entities": attack_entities,
           "entities_big": attack_entities_big, "tiny_elements": attack_tiny_elements,
           "elements_4096": attack_elements_4096, "big_title": attack_big_title,
           "trickle": attack_trickle, "slow_clients": attack_slow_clients,
           "slow_same_address": attack_slow_same_address, "held_bodies": attack_held_bodies,
           "plus_length": attack_plus_length,
           "address_fill_4": functools.partial(attack_address_fill, addresses=4),
           "address_fill_8": functools.partial(attack_address_fill, addresses=8),
           "nonblocking_listener": attack_nonblocking_listener}


def main():
    if len(sys.argv) < 2:
        raise SystemExit(__doc__)
    daemon_path = os.path.abspath(sys.argv[1])
    names = sys.argv[2:] or list(ATTACKS)
    sandbox.enter()
    for name in names:
        b = Bench(daemon_path, nonblocking_listener=name == "nonblocking_listener")
        try:
            result = ATTACKS[name](b)
            result.update(b.figures())
        finally:
            b.close()
        print("%-13s %s" % (name, result), flush=True)


if __name__ == "__main__":
    main()
