#!/usr/bin/env python3
"""Age of the newest data at a controller that reads slowly: the real daemon in the sandbox,
the simulated sensor at 800 frames/s carrying each frame's index, the filter off, and a
simulated controller with a short receive queue reading R packages/s. The age of a package
is its arrival time minus the time its frame went onto the line. A benchmark: it prints the
figures (and returns them to run_bench.py), it never fails on one.

usage: freshness.py DAEMON [--seconds S]
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


def measure(daemon, read_rate, seconds, stall=None):
    s = sim.SimSensor(rate_hz=800, signal=indexed)
    sandbox.link_tty_usb(0, s.path)
    c = ctl.SimController(read_rate=read_rate, rcvbuf=1024)
    d = sandbox.Daemon(daemon).start()
    try:
        c.wait_packages(20, timeout=20)
        rpc = control.proxy()
        rpc.enable_filter(False, 1)
        t0 = time.monotonic_ns()
        if stall:
            time.sleep(1)
            c.stall()
            time.sleep(stall)
            c.resume()
        time.sleep(seconds)
        stats = rpc.get_statistics()
        sent = {f.index: f.t_ns for f in s.sent_frames()}
        ages = [(p.t_ns - sent[int(round(-p.values[1]))]) / 1e9 for p in c.packages()
                if p.t_ns > t0 and int(round(-p.values[1])) in sent]
        stale = sum(a > 0.1 for a in ages)
        return {"read_rate": read_rate, "stall_s": stall or 0, "packages": len(ages),
                "age_p50_s": percentile(ages, 0.5), "age_max_s": max(ages),
                "older_than_0.1s": stale, "skipped": stats["skipped_packages"]}
    finally:
        d.cleanup()
        c.stop()
        s.close()
        sandbox.remove_all_links()


def run(daemon, seconds):
    rows = [measure(daemon, 100, seconds), measure(daemon, 200, seconds),
            measure(daemon, None, 3, stall=5)]
    print("Controller reading          packages  age p50 s  age max s  >0.1 s old  skipped")
    for r in rows:
        what = ("%d packages/s" % r["read_rate"]) if r["read_rate"] else \
            "all, after a %d s stall" % r["stall_s"]
        print("%-26s %9d %10.3f %10.3f %11d %8d" % (what, r["packages"], r["age_p50_s"],
                                                     r["age_max_s"], r["older_than_0.1s"],
                                                     r["skipped"]))
    return rows


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("daemon")
    ap.add_argument("--seconds", type=float, default=10.0)
    a = ap.parse_args()
    sandbox.enter()
    run(os.path.abspath(a.daemon), a.seconds)
