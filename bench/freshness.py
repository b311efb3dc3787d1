#!/usr/bin/env python3
"""Age of the newest data at a controller that reads slowly: the real daemon in the sandbox,
the simulated sensor at 800 frames/s carrying each frame's index, the filter off, and a
simulated controller with a short receive queue reading R packages/s. The age of a package
is its arrival time minus the time its frame went onto the line. A benchmark: it prints the
figures (and returns them to run_bench.py), it never fails on one.

usage: freshness.py DAEMON [--seconds S] [--relay BARE_RELAY]
"""

import argparse
import os
import sys
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "tools"))

from ftsim import control  # noqa: E402
from ftsim import controller as ctl  # noqa: E402
from ftsim import sandbox  # noqa: E402
from ftsim import sensor as sim  # noqa: E402


def indexed(index, rate_hz):
    return (float(index), 0.0, 0.0, 0.0, 0.0, 0.0)


def percentile(values, q):
    values = sorted(values)
    return values[min(len(values) - 1, int(q * len(values)))]


def daemon_index(p):
    return int(round(-p.values[1]))   # the robot's axes: fy = -fx


def relay_index(p):
    return int(round(p.values[0]))    # the relay copies fx as it is


def measure(bridge, read_rate, seconds, stall=None, rcvbuf=1024):
    """bridge: ("daemon", path) or ("relay", path of bare_relay, run with --fresh)."""
    kind, path = bridge
    s = sim.SimSensor(rate_hz=800, signal=indexed)
    sandbox.link_tty_usb(0, s.path)
    c = ctl.SimController(read_rate=read_rate, rcvbuf=rcvbuf)
    args = ["--fresh", sandbox.tty_usb_path(0)] if kind == "relay" else ()
    d = sandbox.Daemon(path, args=args).start()
    index = daemon_index if kind == "daemon" else relay_index
    try:
        c.wait_packages(20, timeout=20)
        rpc = control.proxy() if kind == "daemon" else None
        if rpc:
            rpc.enable_filter(False, 1)
        t0 = time.monotonic_ns()
        if stall:
            time.sleep(1)
            c.stall()
            time.sleep(stall)
            c.resume()
        time.sleep(seconds)
        skipped = rpc.get_statistics()["skipped_packages"] if rpc else None
        sent = {f.index: f.t_ns for f in s.sent_frames()}
        ages = [(p.t_ns - sent[index(p)]) / 1e9 for p in c.packages()
                if p.t_ns > t0 and index(p) in sent]
        stale = sum(a > 0.1 for a in ages)
        return {"bridge": kind, "read_rate": read_rate, "stall_s": stall or 0,
                "rcvbuf": rcvbuf, "seconds": seconds, "packages": len(ages),
                "age_p50_s": percentile(ages, 0.5), "age_max_s": max(ages),
                "age_last_s": ages[-1], "older_than_0.1s": stale, "skipped": skipped}
    finally:
        d.cleanup()
        c.stop()
        s.close()
        sandbox.remove_all_links()


def run(daemon, seconds, relay=None):
    bridges = [("daemon", daemon)] + ([("relay", relay)] if relay else [])
    rows = []
    for b in bridges:
        rows.append(measure(b, 100, seconds, rcvbuf=2048))
        rows.append(measure(b, 100, 20, rcvbuf=None))
    rows += [measure(bridges[0], 200, seconds), measure(bridges[0], None, 3, stall=5)]
    print("Bridge   Controller reading                    packages  p50 s  max s  last s"
          "  >0.1 s  skipped")
    for r in rows:
        what = ("%d packages/s" % r["read_rate"]) if r["read_rate"] else \
            "all, after a %d s stall" % r["stall_s"]
        what += ", %s buffer" % ("%d B" % r["rcvbuf"] if r["rcvbuf"] else "default")
        print("%-8s %-36s %9d %6.3f %6.3f %7.3f %7d %8s"
              % (r["bridge"], what, r["packages"], r["age_p50_s"], r["age_max_s"],
                 r["age_last_s"], r["older_than_0.1s"],
                 "-" if r["skipped"] is None else r["skipped"]))
    goals = freshness_goals(rows)
    for text, met in goals:
        print("Goal: %s: %s" % (text, "met" if met else "MISSED"))
    return rows


def freshness_goals(rows):
    def row(bridge, rcvbuf):
        return next((r for r in rows if r["bridge"] == bridge and r["read_rate"] == 100
                     and r["rcvbuf"] == rcvbuf), None)
    goals = [("100/s, 2 KiB buffer: age <= 0.2 s", row("daemon", 2048)["age_max_s"] <= 0.2)]
    relay = row("relay", None)
    if relay:
        goals.append(("100/s, default buffer: last age no worse than the reference relay's "
                      "(%.1f s)" % relay["age_last_s"],
                      row("daemon", None)["age_last_s"] <= relay["age_last_s"] * 1.1))
    return goals


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("daemon")
    ap.add_argument("--seconds", type=float, default=10.0)
    ap.add_argument("--relay", help="bare_relay, run with --fresh as the floor")
    a = ap.parse_args()
    sandbox.enter()
    run(os.path.abspath(a.daemon), a.seconds, a.relay and os.path.abspath(a.relay))
