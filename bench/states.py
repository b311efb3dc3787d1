"""The daemon's CPU and memory in each state it can be in for long, on the simulators.

Each state gets a fresh daemon in the sandbox (the caller has entered it), streaming from
the simulated sensor at the line's fastest pacing to the simulated controller; then the
state is brought about and measured from /proc: CPU as utime+stime over the window in %
of one core, RSS as the peak VmRSS sampled over the window. A process that ends within
the window is measured up to its end: its zombie keeps the times until it is reaped.

`run(build)` returns (table lines, results by state). Run as
`states.py --client T_START T_END` it is one of the control clients of the last state.
"""

import contextlib
import os
import socket
import subprocess
import sys
import threading
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "tools"))

from ftsim import control  # noqa: E402
from ftsim import controller as ctl  # noqa: E402
from ftsim import sandbox  # noqa: E402
from ftsim import sensor as sim  # noqa: E402

LINE_RATE = 460800 / 10 / 37     # frames/s: 37-byte frames back to back at 460800 baud 8N1
WINDOW_S = 8.0                   # inside the 10 s header time-out of a silent sensor
UNTIL_EXIT_S = 15.0              # cap for the states that end the process
CPU_GOAL_PCT = 5.0
RSS_GOAL_KIB = 10 * 1024
CLIENTS = 8
CLIENT_RATE_HZ = 10.0
TICKS = os.sysconf("SC_CLK_TCK")


def log(msg):
    print("bench: " + msg, file=sys.stderr, flush=True)


# ------------------------------------------------------------------ measuring

def _stat(pid):
    """(state letter, utime+stime in clock ticks) of the whole process."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return fields[0], int(fields[11]) + int(fields[12])


def _rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0  # a zombie has no memory left


def measure(pid, seconds, until_exit=False):
    """CPU and peak RSS of pid over the next `seconds`; with until_exit, the window may end
    earlier, when the process does. Nothing may reap pid meanwhile."""
    t0 = time.monotonic()
    _, ticks0 = _stat(pid)
    rss, exited = 0, False
    while True:
        state, ticks = _stat(pid)
        rss = max(rss, _rss_kib(pid))
        now = time.monotonic()
        if state == "Z":
            exited = True
            break
        if now - t0 >= seconds:
            break
        time.sleep(0.02)
    window = now - t0
    if exited and not until_exit:
        raise RuntimeError("the daemon ended %.1f s into the window" % window)
    return {"window_s": window, "cpu_pct": 100.0 * (ticks - ticks0) / TICKS / window,
            "rss_kib_max": rss, "exited": exited}


# ------------------------------------------------------------------ the rig

class Controller(ctl.SimController):
    """The simulated controller, able to stop reading its socket as a stalled one would."""

    def __init__(self):
        self.reading = threading.Event()
        self.reading.set()
        super().__init__()

    def start(self):
        super().start()
        # A small window, so the daemon's sends block soon after the reads stop; accepted
        # connections take it from the listener.
        self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        return self

    def _recv_exact(self, c, n):
        self.reading.wait()
        return super()._recv_exact(c, n)


@contextlib.contextmanager
def rig(build):
    """A daemon streaming at the line rate; torn down afterwards whatever happened."""
    sandbox.remove_all_links()
    s = sim.SimSensor(rate_hz=LINE_RATE)
    c = Controller()
    d = None
    try:
        sandbox.link_tty_usb(0, s.path)
        d = sandbox.Daemon(os.path.join(build, "ftbridge")).start()
        c.wait_packages(500, timeout=30)
        control.wait_service(d)
        time.sleep(0.5)  # steady state: start-up allocations and the first resync done
        yield s, c, d
    finally:
        if d is not None:
            d.cleanup()
        c.reading.set()
        c.stop()
        s.close()
        sandbox.remove_all_links()


def ended(d, m):
    if not m["exited"]:
        return "still running after %.0f s" % m["window_s"]
    return "exited with status %s after %.1f s" % (d.wait_exit(5), m["window_s"])


# ------------------------------------------------------------------ the states

def streaming(build):
    with rig(build) as (s, c, d):
        n0 = len(c.packages())
        m = measure(d.pid, WINDOW_S)
        m["packages_per_s"] = (len(c.packages()) - n0) / m["window_s"]
        m["activity"] = "%.0f packages/s" % m["packages_per_s"]
        return m


def reconfiguring(build):
    with rig(build) as (s, c, d):
        done = []
        end = time.monotonic() + WINDOW_S

        def reconfigure():
            rpc = control.proxy()
            while time.monotonic() < end:
                done.append(rpc.configure_sensor(1000.0))

        t = threading.Thread(target=reconfigure, daemon=True)
        t.start()
        m = measure(d.pid, WINDOW_S)
        t.join(10)
        m["reconfigurations"] = len(done)
        m["activity"] = "%d configure_sensor calls back to back" % len(done)
        return m


def silent(build):
    with rig(build) as (s, c, d):
        text = "Read frame from serial port failed while synched!"
        before = d.stderr().count(text)
        s.set_mode("silent")
        sandbox.wait_for(lambda: d.stderr().count(text) > before, 5, "the loss of sync")
        m = measure(d.pid, WINDOW_S)
        m["activity"] = "no byte for %.0f s after the loss of sync" % m["window_s"]
        return m


def adapter_gone(build):
    with rig(build) as (s, c, d):
        s.close()  # the pty master: every read of the port now returns at once
        m = measure(d.pid, UNTIL_EXIT_S, until_exit=True)
        m["activity"] = "pty master closed; " + ended(d, m)
        return m


@contextlib.contextmanager
def small_send_buffers():
    """TCP send buffers of at most 64 KiB in the sandbox's own network namespace: the
    default autotuning up to 4 MiB would take the stream about 45 s to fill; the blocked
    state that follows is the same either way."""
    path = "/proc/sys/net/ipv4/tcp_wmem"
    with open(path) as f:
        saved = f.read()
    with open(path, "w") as f:
        f.write("4096 16384 65536")
    try:
        yield
    finally:
        with open(path, "w") as f:
            f.write(saved)


def controller_stalled(build):
    with small_send_buffers(), rig(build) as (s, c, d):
        # The daemon goes on reading the sensor and keeps back what the controller does not
        # take, until it gives the controller up.
        c.reading.clear()
        m = measure(d.pid, UNTIL_EXIT_S, until_exit=True)
        m["activity"] = "reads stopped; %s" % ended(d, m)
        return m


def clients(build, rate_hz=0.0):
    """CLIENTS clients calling rate_hz times a second each (0: back to back)."""
    with rig(build) as (s, c, d):
        t_start = time.monotonic() + 1.5  # time for the clients to start up
        t_end = t_start + WINDOW_S
        procs = [subprocess.Popen([sys.executable, os.path.abspath(__file__), "--client",
                                   repr(t_start), repr(t_end), repr(rate_hz)],
                                  stdout=subprocess.PIPE, text=True) for _ in range(CLIENTS)]
        try:
            time.sleep(max(0.0, t_start - time.monotonic()))
            m = measure(d.pid, WINDOW_S)
            calls = sum(int(p.communicate(timeout=30)[0]) for p in procs)
        finally:
            for p in procs:
                if p.poll() is None:
                    p.kill()
                    p.wait()
        m["calls_per_s"] = calls / m["window_s"]
        m["cpu_us_per_call"] = (m["cpu_pct"] / 100 * 1e6 / m["calls_per_s"]
                                if calls else None)
        m["activity"] = "%.0f calls/s while streaming, %s us of CPU a call" % (
            m["calls_per_s"], "n/a" if not calls else "%.0f" % m["cpu_us_per_call"])
        return m


def client_main(t_start, t_end, rate_hz):
    """Calls getters and a setter, rate_hz a second or back to back; prints how many ended
    inside the window."""
    rpc = control.proxy()
    calls = (rpc.get_sample_freq, rpc.is_running, rpc.get_title,
             lambda: rpc.set_title("bench"))
    n = i = 0
    next_t = time.monotonic()
    while True:
        calls[i % len(calls)]()
        i += 1
        now = time.monotonic()
        if now > t_end:
            break
        if now >= t_start:
            n += 1
        if rate_hz:
            next_t += 1.0 / rate_hz
            time.sleep(max(0.0, next_t - now))
    print(n)


STATES = [  # key, label, CPU goal (None: flat-out streaming has none)
    ("streaming", streaming, "streaming at line rate", None),
    ("reconfiguring", reconfiguring, "during reconfigurations", CPU_GOAL_PCT),
    ("silent", silent, "sensor silent", CPU_GOAL_PCT),
    ("adapter_gone", adapter_gone, "adapter gone, until the exit", CPU_GOAL_PCT),
    ("controller_stalled", controller_stalled, "controller not reading", CPU_GOAL_PCT),
    # A watching client (ftbridge-ctl watch) makes a few calls a second; eight of them at
    # ten calls a second is a busy cell. Flat out, the cost is the calls' own, shown apart.
    ("clients", lambda b: clients(b, CLIENT_RATE_HZ),
     "%d clients, %.0f calls/s each" % (CLIENTS, CLIENT_RATE_HZ), CPU_GOAL_PCT),
    ("clients_flat_out", clients, "%d control clients flat out" % CLIENTS, None),
]


def run(build):
    results, lines = {}, []
    w0 = 30
    lines.append("Daemon per state: CPU = utime+stime over the window, %% of one core; RSS = "
                 "peak VmRSS; sensor at %.0f frames/s" % LINE_RATE)
    lines.append("%-*s%8s%9s%17s%9s%16s  %s" % (w0, "state", "window", "CPU %", "goal",
                                              "RSS KiB", "goal", "what happened"))
    lines.append("-" * 120)
    for key, fn, label, goal in STATES:
        log("state: " + label)
        try:
            m = fn(build)
        except Exception as e:  # noqa: BLE001 - one state that cannot be measured
            log("%s: not measured: %s" % (label, e))
            results[key] = {"error": str(e)}
            lines.append("%-*s  not measured: %s" % (w0, label, str(e).splitlines()[0]))
            continue
        m["cpu_goal_pct"] = goal
        m["cpu_met"] = None if goal is None else m["cpu_pct"] <= goal
        m["rss_met"] = m["rss_kib_max"] < RSS_GOAL_KIB
        results[key] = m
        cpu_goal = ("none" if goal is None else
                    "<= %.0f: %s" % (goal, "met" if m["cpu_met"] else "MISSED"))
        rss_goal = "< %d: %s" % (RSS_GOAL_KIB, "met" if m["rss_met"] else "MISSED")
        lines.append("%-*s%7.1fs%9.2f%17s%9d%16s  %s" % (w0, label, m["window_s"],
                                                        m["cpu_pct"], cpu_goal,
                                                        m["rss_kib_max"], rss_goal,
                                                        m["activity"]))
    met = [m.get("cpu_met") is not False and m.get("rss_met", False)
           for m in results.values()]
    lines.append("Per-state goals (CPU <= %.0f%% of a core but streaming, RSS < 10 MiB): "
                 "%d of %d states met" % (CPU_GOAL_PCT, sum(met), len(STATES)))
    return lines, results


if __name__ == "__main__":
    if len(sys.argv) == 5 and sys.argv[1] == "--client":
        client_main(float(sys.argv[2]), float(sys.argv[3]), float(sys.argv[4]))
    else:
        raise SystemExit("usage: states.py --client T_START T_END RATE_HZ "
                         "(run_bench.py runs the rest)")
