#!/usr/bin/env python3
"""Benchmark of the bridge against the serial line's limits and against a bare relay.

Runs inside the test sandbox (private /dev and loopback): bench/loadgen plays the sensor
and the controller, the bridge under test is the real daemon or bench/bare_relay. Then
bench/states.py measures the daemon's CPU and RSS in each of its long-lived states on the
ftsim simulators. Prints the tables and writes the same figures as JSON. A benchmark, not
a test: it never fails on a figure, only when it cannot measure at all.

usage: run_bench.py BUILD_DIR JSON_OUT [--frames N] [--seconds S] [--states-only]
"""

import argparse
import json
import os
import re
import select
import subprocess
import sys
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "tools"))

from ftsim import control  # noqa: E402
from ftsim import sandbox  # noqa: E402

sys.path.insert(0, os.path.join(REPO, "bench"))
import states  # noqa: E402

BAUD = 460800
LINE_BYTES_PER_S = BAUD / 10          # 8N1: ten bits a byte
FRAME_S = 37 / LINE_BYTES_PER_S       # 803 us
LINE_RATE = 1 / FRAME_S               # about 1,245 frames/s
PACED_RATE = 1245.0
RT_PRIORITY = 10
FILTER_ALPHA = 0.0015 / (1 / (6.283185307179586 * 50.0) + 0.0015)  # default 50 Hz cut-off


def log(msg):
    print("bench: " + msg, file=sys.stderr, flush=True)


class Loadgen:
    def __init__(self, path, args):
        self.proc = subprocess.Popen([path] + args, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True, bufsize=1)

    def expect(self, word, timeout):
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("loadgen did not say %s within %.0f s" % (word, timeout))
            r, _, _ = select.select([self.proc.stdout], [], [], left)
            if not r:
                continue
            line = self.proc.stdout.readline()
            if not line:
                raise RuntimeError("loadgen ended before %s (status %s)"
                                   % (word, self.proc.wait()))
            if line.startswith(word):
                return line[len(word):].strip()

    def send(self, text):
        self.proc.stdin.write(text + "\n")
        self.proc.stdin.flush()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()


def set_realtime(on):
    """SCHED_FIFO for this process and what it starts from now on (threads inherit it)."""
    if on:
        os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(RT_PRIORITY))
    else:
        os.sched_setscheduler(0, os.SCHED_OTHER, os.sched_param(0))


def run_case(build, bridge, mode, filt, frames, alloc_lib, realtime=False):
    """One run: bridge is 'daemon' or 'relay'; mode 'flat' or 'paced'; filt True/False."""
    if bridge == "daemon":
        binary = os.path.join(build, "ftbridge")
        verify = "filtered" if filt else "mapped"
    else:
        binary = os.path.join(build, "bench", "bare_relay")
        verify = "raw"
    args = ["--link", sandbox.tty_usb_path(0), "--mode", mode, "--frames", str(frames),
            "--rate", str(PACED_RATE), "--verify", verify, "--alpha", repr(FILTER_ALPHA)]
    if os.environ.get("BENCH_DUMP_DIR"):
        args += ["--dump", os.path.join(os.environ["BENCH_DUMP_DIR"],
                                        "%s-%s-%s.txt" % (bridge, "on" if filt else "off", mode))]
    sandbox.remove_all_links()
    if realtime:
        set_realtime(True)
    try:
        return _run_case(build, bridge, mode, frames, alloc_lib, filt, args, binary)
    finally:
        if realtime:
            set_realtime(False)


def _run_case(build, bridge, mode, frames, alloc_lib, filt, args, binary):
    gen = Loadgen(os.path.join(build, "bench", "loadgen"), args)
    allocfile = tempfile.mktemp(prefix="bench-allocs-")
    proc = None
    try:
        gen.expect("READY", 10)
        os.environ["LD_PRELOAD"] = alloc_lib
        os.environ["BENCH_ALLOC_FILE"] = allocfile
        try:
            proc = sandbox.Daemon(binary).start()
        finally:
            del os.environ["LD_PRELOAD"]
            del os.environ["BENCH_ALLOC_FILE"]
        gen.expect("STREAMING", 30)
        if bridge == "daemon" and not filt:
            if control.proxy().enable_filter(False, 1) != 0:
                raise RuntimeError("enable_filter(False, 1) refused")
            # The call's connection is closed: its thread in the control service ends (and
            # frees) before the measured phase, not in it.
            time.sleep(1.0)
        time.sleep(0.5)  # steady state: the port's queue drained, set-up allocations done
        gen.send("GO %d %s" % (proc.pid, allocfile))
        timeout = 60 + (frames / PACED_RATE if mode == "paced" else frames / 20000)
        result = json.loads(gen.expect("RESULT", timeout))
        if not proc.running():
            raise RuntimeError("bridge ended during the run\n" + proc.describe())
        return result
    finally:
        gen.stop()
        if proc is not None:
            proc.cleanup()
        if os.path.exists(allocfile):
            os.unlink(allocfile)
        sandbox.remove_all_links()


def callgrind(build, section, frames, filt):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        subprocess.run(["valgrind", "--tool=callgrind", "--collect-atstart=no",
                        "--callgrind-out-file=" + out,
                        os.path.join(build, "bench", "frame_path"), section, str(frames),
                        "filter-on" if filt else "filter-off"],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(out) as f:
            m = re.search(r"^summary:\s*(\d+)", f.read(), re.M)
        return int(m.group(1)) / frames


def fmt(x, spec):
    return "n/a" if x is None else format(x, spec)


def ratio(a, b):
    return None if a is None or b in (None, 0) else a / b


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("json_out")
    ap.add_argument("--frames", type=int, default=200000)
    ap.add_argument("--seconds", type=float, default=20.0)
    ap.add_argument("--rounds", type=int, default=5,
                    help="flat-out runs of each bridge, interleaved; the median counts")
    ap.add_argument("--no-realtime", action="store_true",
                    help="run the line-rate cases under the default scheduler")
    ap.add_argument("--states-only", action="store_true",
                    help="only the instructions per frame and the per-state table")
    a = ap.parse_args()
    build = os.path.abspath(a.build)
    alloc_lib = os.path.join(build, "bench", "liballoc_count.so")
    paced_frames = int(a.seconds * PACED_RATE)

    log("per-frame instructions (callgrind)")
    instr = {}
    for filt in (False, True):
        key = "on" if filt else "off"
        instr[key] = {s: callgrind(build, s, 100000, filt)
                      for s in ("pass", "crc", "process", "encode")}

    sandbox.enter()
    if a.states_only:
        state_lines, state_results = states.run(build)
        lines = instr_lines(instr) + [goal_line([instr_goal(instr["off"]["pass"])])]
        print("\n".join(lines + state_lines), flush=True)
        write_json(a.json_out, {"instructions": instr, "states": state_results})
        return
    cases = [("daemon", False), ("relay", False), ("daemon", True)]
    results = {}
    realtime = not a.no_realtime

    def name(bridge, filt, mode):
        return "%s%s/%s" % (bridge, "" if bridge == "relay" else
                            ("+filter" if filt else "-filter"), mode)

    flat_runs = {c: [] for c in cases}
    for r in range(a.rounds):
        for bridge, filt in cases:
            log("%s, round %d: %d frames" % (name(bridge, filt, "flat"), r + 1, a.frames))
            flat_runs[(bridge, filt)].append(
                run_case(build, bridge, "flat", filt, a.frames, alloc_lib))
    for (bridge, filt), runs in flat_runs.items():
        runs.sort(key=lambda x: x["frames_per_s"])
        med = dict(runs[len(runs) // 2])
        # Every frame of every round counts for loss.
        for k in ("lost", "out_of_order", "corrupted"):
            med[k] = sum(x[k] for x in runs)
        med["rounds_frames_per_s"] = [x["frames_per_s"] for x in runs]
        results[(bridge, filt, "flat")] = med
    for bridge, filt in cases:
        log("%s: %d frames%s" % (name(bridge, filt, "paced"), paced_frames,
                                 ", SCHED_FIFO" if realtime else ""))
        results[(bridge, filt, "paced")] = run_case(build, bridge, "paced", filt,
                                                    paced_frames, alloc_lib, realtime)

    def col(bridge, filt):
        flat, paced = results[(bridge, filt, "flat")], results[(bridge, filt, "paced")]
        lat = paced["lat_us"]
        n = paced["frames"]
        return {
            "frames_per_s": flat["frames_per_s"],
            "x_line_rate": flat["frames_per_s"] / LINE_RATE,
            "lost_flat": flat["lost"] + flat["out_of_order"] + flat["corrupted"],
            "lost_paced": paced["lost"] + paced["out_of_order"] + paced["corrupted"],
            "lat_p50_us": lat["p50"], "lat_p99_us": lat["p99"],
            "lat_p999_us": lat["p999"], "lat_max_us": lat["max"],
            "p99_of_frame_time": lat["p99"] / (FRAME_S * 1e6),
            "cpu_pct": paced["cpu_pct"], "cpu_sched_pct": paced["cpu_sched_pct"],
            "rss_kib_start": paced["rss_kib_start"], "rss_kib_end": paced["rss_kib_end"],
            "allocs_per_frame": (paced["allocs"] / n if paced["allocs"] >= 0 else None),
            "allocs_per_frame_flat": (flat["allocs"] / flat["frames"]
                                      if flat["allocs"] >= 0 else None),
            "instructions_per_frame": (None if bridge == "relay"
                                       else instr["on" if filt else "off"]["pass"]),
            "flat": flat, "paced": paced,
        }

    cols = {"daemon, filter off": col("daemon", False),
            "daemon, filter on": col("daemon", True),
            "bare relay": col("relay", False)}
    relay = cols["bare relay"]
    rows = [
        ("Throughput, frames/s", "frames_per_s", ",.0f"),
        ("  x line rate (1,245/s)", "x_line_rate", ",.1f"),
        ("  frames lost (flat out, all)", "lost_flat", "d"),
        ("  frames lost (line rate)", "lost_paced", "d"),
        ("Latency p50, us", "lat_p50_us", ".1f"),
        ("Latency p99, us", "lat_p99_us", ".1f"),
        ("  p99 / frame time (803 us)", "p99_of_frame_time", ".4f"),
        ("Latency p99.9, us", "lat_p999_us", ".1f"),
        ("Latency max, us", "lat_max_us", ".1f"),
        ("CPU at line rate, % of a core", "cpu_pct", ".2f"),
        ("  (on-CPU time, schedstat)", "cpu_sched_pct", ".3f"),
        ("RSS at start, KiB", "rss_kib_start", "d"),
        ("RSS after the run, KiB", "rss_kib_end", "d"),
        ("Allocations per frame", "allocs_per_frame", ".4f"),
        ("Instructions per frame", "instructions_per_frame", ",.0f"),
    ]
    names = list(cols)
    w0, w = 32, 22
    lines = ["ftbridge benchmark: %d frames flat out (median of %d rounds), %.0f s at %.0f "
             "frames/s%s" % (a.frames, a.rounds, a.seconds, PACED_RATE,
                             " under SCHED_FIFO" if realtime else ""),
             "line: %.0f bytes/s, %.0f us a frame, %.0f frames/s"
             % (LINE_BYTES_PER_S, FRAME_S * 1e6, LINE_RATE),
             "%-*s" % (w0, "") + "".join("%*s" % (w, n) for n in names),
             "-" * (w0 + w * len(names))]
    ratio_keys = {"frames_per_s", "lat_p50_us", "lat_p99_us", "lat_p999_us", "lat_max_us",
                  "cpu_pct", "cpu_sched_pct"}
    for label, key, spec in rows:
        cells = []
        for n in names:
            v = cols[n][key]
            cell = fmt(v, spec)
            if key in ratio_keys and n != "bare relay":
                r = ratio(v, relay[key])
                cell += " (%sx)" % fmt(r, ".2f")
            cells.append(cell)
        lines.append("%-*s" % (w0, label) + "".join("%*s" % (w, c) for c in cells))
    lines.append("-" * (w0 + w * len(names)))
    lines.append("(Nx): ratio to the bare relay in the same invocation.")
    lines += instr_lines(instr)

    d = cols["daemon, filter off"]
    goals = [
        ("throughput >= 124,500 frames/s", d["frames_per_s"] >= 124500),
        ("throughput >= 0.8x bare relay", d["frames_per_s"] >= 0.8 * relay["frames_per_s"]),
        ("0 frames lost at line rate", d["lost_paced"] == 0),
        ("latency p99 <= 50 us", d["lat_p99_us"] <= 50),
        ("latency p99 within 10 us of bare relay",
         d["lat_p99_us"] - relay["lat_p99_us"] <= 10),
        ("latency p99.9 <= 200 us", d["lat_p999_us"] <= 200),
        ("CPU within 1 point of bare relay", d["cpu_pct"] - relay["cpu_pct"] <= 1.0),
        ("0 allocations per frame", d["allocs_per_frame"] == 0),
        ("RSS <= 10 MiB and flat", d["rss_kib_end"] <= 10240 and
         d["rss_kib_end"] <= d["rss_kib_start"] + 64),
        instr_goal(d["instructions_per_frame"]),
    ]
    lines.append(goal_line(goals))
    print("\n".join(lines), flush=True)

    state_lines, state_results = states.run(build)
    print("\n".join(state_lines), flush=True)
    write_json(a.json_out, {"line": {"baud": BAUD, "bytes_per_s": LINE_BYTES_PER_S,
                                     "frame_us": FRAME_S * 1e6, "frames_per_s": LINE_RATE},
                            "flat_frames": a.frames, "paced_seconds": a.seconds,
                            "paced_rate": PACED_RATE, "rounds": a.rounds, "realtime": realtime,
                            "instructions": instr, "bridges": cols,
                            "goals": {g: ok for g, ok in goals}, "states": state_results})


def instr_lines(instr):
    lines = []
    for filt in ("off", "on"):
        i = instr[filt]
        lines.append("Instructions per frame, filter %s: synced pass %.0f = CRC %.0f + "
                     "process_wrench %.0f + encoding %.0f + the rest %.0f"
                     % (filt, i["pass"], i["crc"], i["process"], i["encode"],
                        i["pass"] - i["crc"] - i["process"] - i["encode"]))
    return lines


def instr_goal(per_frame):
    return ("< 500 instructions per frame", per_frame < 500)


def goal_line(goals):
    return "Goals (daemon, filter off): " + "; ".join(
        "%s: %s" % (g, "met" if ok else "NOT MET") for g, ok in goals)


def write_json(path, figures):
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with open(path, "w") as f:
        json.dump(figures, f, indent=1)
    print("JSON: %s" % path)


if __name__ == "__main__":
    main()
