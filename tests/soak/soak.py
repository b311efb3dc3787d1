#!/usr/bin/env python3
"""Fault-and-load soak of the real daemon, in the sandbox.

A line of frames with scripted faults (bad CRCs, garbage bursts, dropped bytes, non-zero
status words, non-finite values) streams at full speed into the daemon through the simulated
sensor, broken by pauses: silences, settings changes (set_bias, set_output, enable_filter)
and two reconfigurations. Meanwhile eight client processes call every control method in
loops, well-formed or not, and a probe process times one well-formed call every 100 ms.

The whole line is built before the run and fed to the stream model (tools/ftsim/model.py)
with a silence at every pause and the settings each pause makes; it predicts every package,
every stream message, the debug log's status and desired-output lines and the final sample
frequency. The line is far faster than any serial line, so the daemon may skip packages
the controller link cannot take at once: each predicted package must arrive, bit for bit and
in order, or be counted as skipped. Value-changing calls are made only in pauses, once the
daemon has reported the read that ran into the silence, so the model knows exactly which
frames they apply to; the load clients change nothing that the stream reads (a refused set_bias that changed something
would show).

Usage: soak.py --daemon PATH [--frames N] [--duration S] [--seed N]
Prints a table; exit status 0 when every check holds.
"""

import argparse
import functools
import json
import math
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import xmlrpc.client

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(REPO, "tools"))

from ftsim import control  # noqa: E402
from ftsim import controller as ctl  # noqa: E402
from ftsim import model as mdl  # noqa: E402
from ftsim import sandbox  # noqa: E402
from ftsim import sensor as sim  # noqa: E402

CONTROL = (control.HOST, control.PORT)
PACKAGE = ctl.DATA_SIZE
WARM_VALUES = (1.0, 2.0, 3.0, 0.1, 0.2, 0.3)
WARM_PACKAGES = 300


# --------------------------------------------------------------------- the line

class Plan:
    """The line and its pauses, built together with the model's predictions."""

    def __init__(self, rng, frames, model):
        self.steps = []          # ("bytes", data) | ("pause", action, args, failed, expect)
        self.injected = dict(bad_crc=0, garbage=0, garbage_bytes=0, dropped=0,
                             dropped_bytes=0, status=0, non_finite=0, silence=0,
                             set_bias=0, set_output=0, enable_filter=0, reconfigure=0)
        self.frames_sent = 0
        self.pause_at = []       # (packages before it, action, args), for reports
        self.rng, self.model, self.index = rng, model, 0
        self._build(frames)

    def _values(self, i):
        t, f32 = i * 0.001, sim.f32
        return (f32(10.0 * math.sin(0.5 * t) + self.rng.uniform(-0.05, 0.05)),
                f32(-5.0 + 3.0 * math.sin(0.3 * t + 0.5)),
                f32(20.0 + 8.0 * math.cos(0.2 * t)),
                f32(0.5 * math.sin(0.7 * t + 1.0)),
                f32(-0.25 * math.cos(0.4 * t)),
                f32(0.1 + 0.05 * math.sin(0.9 * t + 2.0)))

    def _frame(self, status=0, values=None, bad_crc=False):
        i = self.index
        self.index += 1
        self.frames_sent += 1
        return sim.pack_frame(values or self._values(i), status, 5_000_000 + 1000 * i,
                              bad_crc=bad_crc)

    def _segment(self, count):
        rng, inj = self.rng, self.injected
        out = bytearray()
        target = self.frames_sent + count
        while self.frames_sent < target:
            r = rng.random()
            if r < 0.01:
                out += self._frame(bad_crc=True)
                inj["bad_crc"] += 1
            elif r < 0.0105:
                n = rng.randint(1, 300)
                out += bytes(rng.getrandbits(8) for _ in range(n))
                inj["garbage"] += 1
                inj["garbage_bytes"] += n
            elif r < 0.011:
                f = bytearray(self._frame())
                n = rng.randint(1, 36)
                for _ in range(n):
                    del f[rng.randrange(len(f))]
                out += f
                inj["dropped"] += 1
                inj["dropped_bytes"] += n
            elif r < 0.012:
                out += self._frame(status=rng.randint(1, 0xFFFF))
                inj["status"] += 1
            elif r < 0.0125:
                v = list(self._values(self.index))
                v[rng.randrange(6)] = rng.choice((math.nan, math.inf, -math.inf))
                # Half of them with a status word: dropped frames still report it.
                out += self._frame(values=v, status=rng.choice((0, rng.randint(1, 0xFFFF))))
                inj["non_finite"] += 1
            else:
                out += self._frame()
        # Pauses come while synced, so the daemon reports the read that meets the silence.
        self.model.feed(bytes(out))
        while not self.model.synced:
            extra = self._frame()
            self.model.feed(extra)
            out += extra
        self.steps.append(("bytes", bytes(out)))

    def _pause(self, action, args=()):
        m = self.model
        m.silence()
        expect = {"set_bias": lambda: m.set_bias(args), "set_output": lambda: m.set_output(args),
                  "enable_filter": lambda: m.enable_filter(*args),
                  "reconfigure": lambda: m.reconfigure(args[0])}.get(action, lambda: None)()
        failed = m.messages[mdl.SYNCED_READ_FAILED] + m.messages["Read frame from serial port failed!"]
        self.steps.append(("pause", action, args, failed, expect))
        self.pause_at.append((len(m.values) // 6, action, args))
        if action in self.injected:
            self.injected[action] += 1

    def _build(self, frames):
        rng = self.rng
        pauses = max(12, frames // 5000)
        per = frames // pauses
        reconf_at = {pauses // 3, (2 * pauses) // 3}
        for p in range(pauses):
            self._segment(per if p < pauses - 1 else frames - per * (pauses - 1))
            if p in reconf_at:
                self._pause("reconfigure", (rng.choice((500.0, 1000.0, 100.0)),))
                continue
            kind = ("silence", "set_bias", "set_output", "enable_filter", "gap")[p % 5]
            if kind in ("set_bias", "set_output"):
                # Whole numbers: the XML-RPC library's decimal parser is off by an ulp for
                # many fractions (even -1.75), and the model takes values as written.
                self._pause(kind, tuple(float(rng.randint(-50, 50)) for _ in range(6)))
            elif kind == "enable_filter":
                self._pause(kind, (rng.random() < 0.7, rng.randint(0, 5)))
            elif kind == "silence":
                self._pause("silence", (rng.uniform(0.2, 2.0),))
            else:
                self._pause("gap")
        self.pauses = pauses


def warm_fixed_point():
    """Where the filter settles on the warm-up frame, from zero, at the 50 Hz factor."""
    m = mdl.StreamModel()
    frame = sim.pack_frame(WARM_VALUES)
    m.feed(frame * WARM_PACKAGES)
    tail = m.values[-12:]
    if list(tail[:6]) != list(tail[6:]):
        raise AssertionError("the warm-up filter does not settle")
    return list(tail[6:])


# --------------------------------------------------------------- XML-RPC clients

rpc_raw = functools.partial(control.post, timeout=5.0)   # (status, reply bytes)
rpc = functools.partial(control.call, timeout=5.0)       # the result, or a Fault


NAN = float("nan")
SIX = (1.0, 2.0, 3.0, 4.0, 5.0, 6.0)
BAD_CALLS = [  # (kind, method, params): each must be answered with a fault
    ("set_bias: 5 values", "set_bias", SIX[:5]),
    ("set_bias: 7 values", "set_bias", SIX + (7.0,)),
    ("set_bias: a string", "set_bias", ("1",) + SIX[1:]),
    ("set_bias: an int", "set_bias", (1,) + SIX[1:]),
    ("set_bias: NaN", "set_bias", (NAN,) + SIX[1:]),
    ("set_output: a bool", "set_output", (True,) + SIX[1:]),
    ("set_output: NaN", "set_output", SIX[:5] + (NAN,)),
    ("set_output: no values", "set_output", ()),
    ("enable_filter: int for bool", "enable_filter", (1, 2)),
    ("enable_filter: double type", "enable_filter", (True, 1.5)),
    ("enable_filter: one value", "enable_filter", (False,)),
    ("configure_sensor: a string", "configure_sensor", ("fast",)),
    ("configure_sensor: NaN", "configure_sensor", (NAN,)),
    ("configure_sensor: no value", "configure_sensor", ()),
    ("get_title: extra value", "get_title", (1,)),
    ("unknown method", "no_such_method", (1.0,)),
]
TITLE_CALL = xmlrpc.client.dumps((), "get_title").encode()
HANG_UPS = [  # (kind, bytes sent before the client closes)
    ("hang-up: half a request",
     b"POST /RPC2 HTTP/1.1\r\nHost: x\r\nContent-Length: 500\r\n\r\n<?xml"),
    ("hang-up: before the reply",
     b"POST /RPC2 HTTP/1.1\r\nHost: x\r\nContent-Type: text/xml\r\nContent-Length: %d\r\n\r\n"
     % len(TITLE_CALL) + TITLE_CALL),
]


def client_main(role, seed, stop_path, out_path):
    """A load client (role 'load') or the probe (role 'probe'); runs until stop_path exists."""
    rng = random.Random(seed)
    stats = {"calls": {}, "errors": [], "max_latency_s": 0.0, "slow": 0, "good_calls": 0}

    def count(kind, outcome, error=None):
        key = "%s: %s" % (kind, outcome)
        stats["calls"][key] = stats["calls"].get(key, 0) + 1
        if error:
            stats["errors"].append(error)

    def good(method, *params, want=lambda r: True):
        t0 = time.monotonic()
        try:
            result = rpc(method, *params)
        except Exception as e:  # noqa: BLE001 — any failure of a good call is a finding
            return count(method, "failed", "%s: %r" % (method, e))
        dt = time.monotonic() - t0
        stats["good_calls"] += 1
        stats["max_latency_s"] = max(stats["max_latency_s"], dt)
        if dt > 1.0:
            stats["slow"] += 1
            stats["errors"].append("%s took %.3f s (at %.3f)" % (method, dt, time.time()))
        count(method, "answered", None if want(result) else
              "%s%r answered %r" % (method, params, result))

    def bad(kind, method, params):
        try:
            got = rpc(method, *params)
        except xmlrpc.client.Fault:
            return count(kind, "fault")
        except Exception as e:  # noqa: BLE001
            return count(kind, "failed", "%s: %r" % (kind, e))
        count(kind, "WRONG", "%s%r answered %r instead of a fault" % (method, params, got))

    def raw(kind, body, closed_ok=False):
        try:
            status, reply = rpc_raw(body)
        except (BrokenPipeError, ConnectionResetError) as e:
            if closed_ok:
                return count(kind, "connection closed by the service")
            return count(kind, "failed", "%s: %r" % (kind, e))
        except Exception as e:  # noqa: BLE001
            return count(kind, "failed", "%s: %r" % (kind, e))
        fault = b"<fault>" in reply
        if status == 200 and not fault:
            return count(kind, "WRONG", "%s answered HTTP 200 without a fault" % kind)
        count(kind, "HTTP %d%s" % (status, " fault" if fault else ""))

    def hang_up(kind, data):
        try:
            with socket.create_connection(CONTROL, timeout=5) as s:
                s.sendall(data)
            count(kind, "closed")
        except OSError as e:
            count(kind, "failed", "%s: %r" % (kind, e))

    def title():
        t = "t%d-%s" % (rng.randrange(10**6), "x" * rng.randrange(200))
        good("set_title", t, want=lambda r: r == t)

    actions = [(6, lambda: good("get_title", want=lambda r: r.endswith(" (C++)"))),
               (4, title), (4, lambda: good("get_sample_freq")), (4, lambda: good("is_running"))]
    actions += [(1, lambda c=c: bad(*c)) for c in BAD_CALLS]
    actions += [
        (1, lambda: raw("malformed XML", b"<?xml version='1.0'?><methodCall><methodName>"
                        b"get_title</methodName><params><param>")),
        (1, lambda: raw("not XML", bytes(rng.getrandbits(8)
                                         for _ in range(rng.randrange(1, 400))))),
        # Big, so rarer.
        (0.1, lambda: raw("oversized body (2 MiB title)",
                          xmlrpc.client.dumps(("y" * (2 << 20),), "set_title").encode(), True))]
    actions += [(1, lambda h=h: hang_up(*h)) for h in HANG_UPS]
    weights = [w for w, _ in actions]
    while not os.path.exists(stop_path):
        if role == "probe":
            good("get_title")
            time.sleep(0.1)  # the probe's own pace, not a synchronisation
        else:
            rng.choices(actions, weights)[0][1]()
    with open(out_path, "w") as f:
        json.dump(stats, f)


# ------------------------------------------------------------------- the bench

class Output:
    """The daemon's stderr and debug log, read as they grow (the log across its rotations),
    counted as the model predicts them. reset() starts the counts afresh."""

    # The XML-RPC library writes unterminated diagnostics into the log (a client that hangs
    # up: "Failed to read from Abyss connection. ..."), so a stream line may follow one.
    LOG_LINE = re.compile(r"(Error: \d+|Set to desired output: .*|Offset: .*|"
                          + mdl.CRC_REPORT + r": \d+/\d+)$")

    def __init__(self, daemon):
        self.err = sandbox.Tail(daemon.stderr_path)
        self.log = sandbox.Tail(daemon.log_path)
        self.lock = threading.RLock()
        self._zero()
        self.reset()

    LEFT_OUT = re.compile(r'Left out (\d+) more "(.*)" lines$')

    def _zero(self):
        self.counts = dict.fromkeys(mdl.MESSAGES, 0)
        self.left_out = dict.fromkeys(mdl.MESSAGES, 0)  # as the notes before reports say
        self.log_lines, self.log_reports = [], 0

    def reset(self):
        with self.lock:
            self.update()
            self._zero()

    def update(self):
        report = mdl.CRC_REPORT + ": "
        with self.lock:
            for line in self.err.lines():
                t = line.decode("utf-8", "replace")
                t = mdl.CRC_REPORT if t.startswith(report) else t
                note = self.LEFT_OUT.match(t)
                if t in self.counts:
                    self.counts[t] += 1
                elif note and note.group(2) in self.left_out:
                    self.left_out[note.group(2)] += int(note.group(1))
            for line in self.log.lines():
                m = self.LOG_LINE.search(line.decode("utf-8", "replace"))
                if m and m.group(1).startswith(report):
                    self.log_reports += 1
                elif m:
                    self.log_lines.append(m.group(1))
            return self.counts[mdl.SYNCED_READ_FAILED]

    def wait_failed(self, count, daemon, timeout, failures):
        """Until the daemon has counted `count` failed reads (failures(): its statistics, as
        the limit may leave their lines out): it has read the line up to the silence that
        makes the last of them."""
        deadline = time.monotonic() + timeout
        while failures() < count:
            if daemon.poll() is not None:
                raise AssertionError("the daemon died (status %s)" % daemon.poll())
            if time.monotonic() > deadline:
                raise AssertionError("the daemon counted %d failed reads, expected %d"
                                     % (failures(), count))
            time.sleep(0.02)
        self.update()
        if failures() > count:
            raise AssertionError("the daemon counted %d failed reads, expected %d (a read "
                                 "timed out where the line had no silence)" % (failures(), count))


def proc_sample(pid):
    with open("/proc/%d/status" % pid) as f:
        rss = next(int(l.split()[1]) for l in f if l.startswith("VmRSS:"))
    return rss, len(os.listdir("/proc/%d/fd" % pid))


def play(plan, model, sensor, controller, daemon, out, duration, failed_reads):
    """Plays the line: bytes at full speed, each pause once the daemon has met its silence.
    Returns what the pause actions did wrong."""
    failures = []
    t_play = time.monotonic()
    bytes_steps = sum(1 for s in plan.steps if s[0] == "bytes")
    done_bytes = 0
    for step in plan.steps:
        if daemon.poll() is not None:
            raise AssertionError("the daemon died (status %s)" % daemon.poll())
        if step[0] == "bytes":
            sensor.send(sim.Raw(step[1], block=True, timeout=30))
            done_bytes += 1
            continue
        _, action, params, expected_failed, expect = step
        out.wait_failed(expected_failed, daemon, 30, failed_reads)
        if rpc("is_running"):
            failures.append("is_running true in a pause before %s" % action)
        if action == "silence":
            time.sleep(params[0])  # the fault itself: a silence of this length
        elif action in ("set_bias", "set_output", "enable_filter"):
            r = rpc(action, *params)
            if r != (expect or 0):
                failures.append("%s%r answered %r, expected %r" % (action, params, r, expect or 0))
        elif action == "reconfigure":
            before = len(sensor.received())
            r = rpc("configure_sensor", params[0], timeout=10)
            if r != 0:
                failures.append("configure_sensor answered %r" % r)
            sandbox.wait_for(lambda: len(sensor.received()) >= before + len(expect), 5,
                             "the reconfiguration commands")
            got = sensor.received()[before:]
            if got != expect:
                failures.append("reconfiguration sent %r, expected %r" % (got, expect))
        # Spread the run over the duration: the pause lasts until the line's schedule.
        left = t_play + duration * done_bytes / bytes_steps - time.monotonic()
        if left > 0:
            time.sleep(min(left, 5.0))  # pacing, bounded below the header timeout
    # The end: the last pause has been met, so every package has been sent.
    out.wait_failed(plan.steps[-1][3], daemon, 30, failed_reads)
    # The line runs far faster than a serial line can, so the daemon may skip packages the
    # controller link cannot take at once; each predicted package is received or counted.
    want = plan.warm_packages + len(model.values) // 6

    def accounted():
        n, got_all = controller.received()
        return got_all and n // PACKAGE + skipped(plan) >= want
    try:
        sandbox.wait_for(accounted, 30, "the predicted packages", interval=0.05)
    except TimeoutError as e:
        failures.append(str(e))  # the table then shows where the packages part
    if any(not s.complete for s in sensor.sent if s.kind == "raw"):
        failures.append("the daemon stopped reading the line")
    return failures, t_play


def skipped(plan):
    """Packages the daemon skipped since the warm-up ended."""
    return rpc("get_statistics")["skipped_packages"] - plan.warm_skipped


def received_in_order(values, want):
    """Finds the first received package that is not the next predicted one or a later one.
    Skipping is the daemon's only licence, so the received packages, bit for bit, must be
    the predicted ones with some left out. Returns (package index, predicted index) or None."""
    j = 0
    for i in range(0, len(values), 6):
        pkg = values[i:i + 6]
        while j < len(want) and want[j:j + 6] != pkg:
            j += 6
        if j >= len(want):
            return i // 6
        j += 6
    return None


def run(args):
    seed = args.seed if args.seed is not None else random.randrange(1 << 32)
    print("soak: seed %d, %d frames, about %d s" % (seed, args.frames, args.duration), flush=True)
    rng = random.Random(seed)
    sandbox.enter()
    work = tempfile.mkdtemp(prefix="ftsoak-")
    checks = []  # (check, observed, expected, ok)

    def check(name, observed, expected, ok):
        checks.append((name, str(observed), str(expected), bool(ok)))

    # The line, the pauses and the model's predictions, before the daemon starts. The
    # warm-up repeats one frame, so the filter's state when the line begins is the fixed
    # point of its recurrence from zero.
    t0 = time.monotonic()
    model_start = warm_fixed_point()
    model = mdl.StreamModel(model_start)
    plan = Plan(rng, args.frames, model)
    if model.fatal:
        raise AssertionError(model.fatal)
    print("soak: line of %d frames (%d MB) and %d pauses built in %.1f s"
          % (plan.frames_sent, sum(len(s[1]) for s in plan.steps if s[0] == "bytes") >> 20,
             plan.pauses, time.monotonic() - t0), flush=True)

    # Warm-up: the warm-up frame at the sensor's pace until the daemon streams, then a
    # silence that leaves it searching, with every package so far at the controller.
    sensor = sim.SimSensor(rate_hz=1000.0, signal=lambda i, rate: WARM_VALUES)
    sandbox.link_device("ttyUSB0", sensor.path)
    controller = ctl.SimController(bulk=True)
    daemon = sandbox.Daemon(args.daemon, cwd=work).start()
    t_start = time.monotonic()
    daemon.wait_stderr(mdl.SYNCED, timeout=30)
    sandbox.wait_for(lambda: controller.received()[0] >= PACKAGE * WARM_PACKAGES, 30,
                     "warm-up packages")
    sensor.set_mode("silent")
    sandbox.wait_for(lambda: sensor.pending_input() == 0 and daemon.stderr().rstrip(
        "\n").endswith(mdl.SYNCED_READ_FAILED), 10, "the daemon to report the end of the warm-up")
    sandbox.wait_for(lambda: controller.received()[1], 10, "the warm-up packages")
    out = Output(daemon)
    warm_data = controller.raw_data()
    plan.warm_packages = len(warm_data) // PACKAGE
    warm_stats = rpc("get_statistics")
    plan.warm_skipped = warm_stats["skipped_packages"]
    last = ctl.unpack_data(warm_data[-PACKAGE:], 1)[0]
    if len(warm_data) % PACKAGE or list(last) != model_start:
        raise AssertionError("warm-up ended at %r, not at the filter's fixed point %r"
                             % (list(last), model_start))

    # Load: eight clients and the probe, each a process of its own.
    stop_path = os.path.join(work, "stop")
    idle_rss, idle_fds = proc_sample(daemon.pid)
    clients = []
    for k in range(9):
        role = "probe" if k == 8 else "load"
        path = os.path.join(work, "client%d.json" % k)
        p = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--client", role,
                              "--seed", str(seed + k + 1), "--stop", stop_path, "--out", path],
                             preexec_fn=(lambda: os.nice(5)) if role == "load" else None)
        clients.append((role, p, path))

    samples = []  # (t, rss_kib, fds)
    monitor_stop = threading.Event()

    def monitor():
        while not monitor_stop.is_set() and daemon.poll() is None:
            try:
                samples.append((time.monotonic(),) + proc_sample(daemon.pid))
            except (OSError, StopIteration):
                pass
            out.update()  # often enough to follow the log across its rotations
            monitor_stop.wait(1.0)  # the sampling period

    mon = threading.Thread(target=monitor, daemon=True)
    mon.start()
    n_skipped = stats = None
    try:
        failures, t_play = play(plan, model, sensor, controller, daemon, out, args.duration,
                                lambda: rpc("get_statistics")["read_failures"]
                                - warm_stats["read_failures"])
        freq = rpc("get_sample_freq")
        stats = rpc("get_statistics")
        n_skipped = stats["skipped_packages"] - plan.warm_skipped
    finally:
        t_end = time.monotonic()
        alive = daemon.poll() is None
        with open(stop_path, "w"):
            pass
        client_stats = []
        for role, p, path in clients:
            try:
                p.wait(30)
            except subprocess.TimeoutExpired:
                p.kill()
            try:
                with open(path) as f:
                    client_stats.append((role, json.load(f)))
            except (OSError, ValueError):
                client_stats.append((role, {"errors": ["client ended without results"],
                                            "calls": {}, "max_latency_s": None, "slow": 0,
                                            "good_calls": 0}))
        monitor_stop.set()
        mon.join(5)
        # Descriptors once the load has stopped: connections the service still holds
        # (a leak) keep the count above what it was before the load began.
        end_fds = None
        if daemon.poll() is None:
            try:
                sandbox.wait_for(lambda: proc_sample(daemon.pid)[1] <= idle_fds, 20,
                                 "the service to close its connections")
            except TimeoutError:
                pass
            end_fds = proc_sample(daemon.pid)[1]

    # ---- judgement
    out.update()
    daemon.kill()
    values, bad_heads, torn = ctl.unpack_data(controller.raw_data()[plan.warm_packages
                                                                     * PACKAGE:], 1)
    n_pk, want = len(values) // 6, model.values
    mismatch = None
    bad = received_in_order(values, want)
    if bad is not None:
        mismatch = "received package %d, %r, is no predicted package after package %d" % (
            bad, list(values[bad * 6:bad * 6 + 6]), bad - 1)

    inj = plan.injected
    valid_sent = plan.frames_sent - inj["bad_crc"] - inj["dropped"]
    malformed = bad_heads + torn + len(controller.all_malformed())
    sim_errors = sensor.errors + controller.errors
    check("daemon alive at the end", "alive" if alive else "dead", "alive", alive)
    check("frames on the line", plan.frames_sent, ">= %d" % args.frames,
          plan.frames_sent >= args.frames)
    check("packages received + skipped (one per valid synced frame)",
          "%d + %s" % (n_pk, n_skipped), len(want) // 6, n_skipped is not None
          and n_pk + n_skipped == len(want) // 6)
    check("packages equal to the model's, bit for bit, in order",
          "all" if mismatch is None else mismatch, "all", mismatch is None)
    check("packages without a frame behind them", max(0, n_pk - len(want) // 6), 0,
          n_pk <= len(want) // 6 and mismatch is None)
    check("malformed packages", malformed, 0, malformed == 0)
    # Every per-frame report is limited to a burst, then a few a second on stderr: the ones
    # shown and the ones the notes before them count come to no more than the model's, and
    # with the daemon's own count of those left out, to exactly the model's.
    limited = mdl.MESSAGES
    for msg in mdl.MESSAGES:
        n, want_n = out.counts[msg], model.messages[msg]
        if msg in limited:
            check("stderr: %s (shown + noted as left out)" % msg,
                  "%d + %d" % (n, out.left_out[msg]), "<= %d" % want_n,
                  n + out.left_out[msg] <= want_n and (n > 0 or want_n == 0))
        else:
            check("stderr: " + msg, n, want_n, n == want_n)
    if stats is not None:
        left_out = stats["lines_left_out"] - warm_stats["lines_left_out"]
        shown = sum(out.counts[m] for m in limited)
        check("per-frame reports shown + left out vs CRC errors and reports predicted",
              "%d + %d" % (shown, left_out), "%d injected + %d from dropped bytes + %d reports"
              % (inj["bad_crc"], model.messages["CRC error"] - inj["bad_crc"],
                 model.messages[mdl.CRC_REPORT]),
              shown + left_out == sum(model.messages[m] for m in limited))
        check("stderr lines dropped", stats["lines_dropped"], 0, stats["lines_dropped"] == 0)
    else:
        check("statistics at the end", "none", "answered", False)
    for name, prefix in (("status word lines", "Error: "),
                         ("desired-output captures", "Set to desired output: ")):
        got = [l for l in out.log_lines if l.startswith(prefix)]
        exp = [l for l in model.log if l.startswith(prefix)]
        check("log: %s (in order, as the model writes them)" % name, len(got), len(exp),
              got == exp)
    check("log: CRC-ratio reports (across %d rotations)" % out.log.rotations, out.log_reports,
          model.messages[mdl.CRC_REPORT], out.log_reports == model.messages[mdl.CRC_REPORT])
    check("sample frequency at the end", freq, model.freq, freq == model.freq)
    check("the model reached every step", "yes" if not model.fatal else model.fatal, "yes",
          not model.fatal)
    check("simulator errors", "; ".join(sim_errors) or 0, 0, not sim_errors)
    check("pause actions answered as expected", "; ".join(failures) or "all", "all", not failures)

    # Clients.
    errors = [e for _, s in client_stats for e in s["errors"]]
    slow = sum(s["slow"] for _, s in client_stats)
    max_lat = max((s["max_latency_s"] or 0) for _, s in client_stats)
    probe = [s for r, s in client_stats if r == "probe"][0]
    check("probe calls answered (one per 100 ms)", probe["good_calls"], "> 0",
          probe["good_calls"] > 0 and not probe["errors"])
    check("well-formed calls over 1 s", slow, 0, slow == 0)
    check("slowest well-formed call, s", "%.3f" % max_lat, "<= 1", max_lat <= 1.0)
    check("client calls answered wrongly or not at all", len(errors), 0, not errors)

    # Resources: first and last window.
    win = min(60.0, max(5.0, (samples[-1][0] - samples[0][0]) / 3 if samples else 5.0))
    first = [s for s in samples if s[0] - samples[0][0] <= win] if samples else []
    lastw = [s for s in samples if samples[-1][0] - s[0] <= win] if samples else []
    if first and lastw:
        rss_growth = max(s[1] for s in lastw) - max(s[1] for s in first)
        med = lambda xs: sorted(xs)[len(xs) // 2]
        check("RSS growth, first to last %.0f s window (KiB)" % win, rss_growth, "<= 1024",
              rss_growth <= 1024)
        check("descriptors, median of first/last window", "%d / %d" % (
            med([s[2] for s in first]), med([s[2] for s in lastw])), "(under load)", True)
        check("descriptors after the load vs before it", "%s / %d" % (end_fds, idle_fds),
              "growth 0", end_fds is not None and end_fds <= idle_fds)
    else:
        check("resource samples", len(samples), ">= 2", False)

    # ---- report
    calls = {}
    for role, s in client_stats:
        for k, v in s["calls"].items():
            calls[k] = calls.get(k, 0) + v
    print()
    print("Soak: %d frames in %.0f s (stream %.0f s), seed %d" % (
        plan.frames_sent, t_end - t_start, t_end - t_play, seed))
    print("Injected: " + ", ".join("%s %d" % kv for kv in inj.items()))
    print("Valid frames sent %d; packages %d, skipped %s; warm-up packages %d" % (
        valid_sent, n_pk, n_skipped, plan.warm_packages))
    w = max(len(c[0]) for c in checks)
    print("%-*s  %-28s  %-28s  %s" % (w, "check", "observed", "expected", "result"))
    for name, obs, exp, ok in checks:
        print("%-*s  %-28s  %-28s  %s" % (w, name, obs[:60], exp[:60], "ok" if ok else "FAIL"))
    print()
    print("Control calls made by the clients (kind: outcome, count):")
    for k in sorted(calls):
        print("  %-52s %8d" % (k, calls[k]))
    if samples:
        print("RSS KiB first/last sample: %d / %d; descriptors: %d / %d" % (
            samples[0][1], samples[-1][1], samples[0][2], samples[-1][2]))
    for e in errors[:10]:
        print("client error:", e)
    if mismatch:
        print("first difference:", mismatch)
    ok = all(c[3] for c in checks)
    if not ok:
        print(daemon.describe()[-3000:])
    sensor.close()
    controller.stop()
    if ok:
        daemon.cleanup()
        shutil.rmtree(work, ignore_errors=True)
    else:
        print("the daemon's files: %s, %s" % (work, daemon.outdir))
    print("SOAK %s" % ("PASSED" if ok else "FAILED"))
    return 0 if ok else 1


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--daemon")
    ap.add_argument("--frames", type=int, default=1_000_000)
    ap.add_argument("--duration", type=float, default=180.0)
    ap.add_argument("--seed", type=int)
    ap.add_argument("--client")
    ap.add_argument("--stop")
    ap.add_argument("--out")
    a = ap.parse_args()
    if a.client:
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        client_main(a.client, a.seed, a.stop, a.out)
        return 0
    if not a.daemon:
        ap.error("--daemon PATH is needed")
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))
    return run(a)


if __name__ == "__main__":
    sys.exit(main())
