"""The cell's agent, run in the guest on the virtio serial port "cell.agent" (from the share,
by cell-agent.service): runs shell commands for the host, each in a thread of its own.

Requests and answers are JSON lines: {"id": N, "cmd": "...", "timeout": S} ->
{"id": N, "rc": R, "out": "...", "err": "..."}. The first line after the agent starts is
{"hello": BOOT_ID}, so that the host knows a boot from the last.
"""
import json
import os
import signal
import subprocess
import sys
import threading
import time

lock = threading.Lock()


def send(fd, obj):
    data = (json.dumps(obj) + "\n").encode()
    with lock:
        while data:
            data = data[os.write(fd, data):]


def serve(fd, req):
    # A session of its own, so that a timeout ends the command's children too: one stuck
    # in a device's open would otherwise hold the output open and the answer back.
    p = subprocess.Popen(req["cmd"], shell=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         text=True, errors="replace", start_new_session=True)
    try:
        out, err = p.communicate(timeout=req.get("timeout", 60))
        ans = {"rc": p.returncode, "out": out, "err": err}
    except subprocess.TimeoutExpired:
        os.killpg(p.pid, signal.SIGKILL)
        try:
            p.communicate(timeout=5)
        except subprocess.TimeoutExpired:
            pass
        ans = {"rc": -1, "out": "", "err": "timed out: %s" % req["cmd"]}
    ans["id"] = req["id"]
    send(fd, ans)


def main():
    fd = os.open(sys.argv[1], os.O_RDWR)
    with open("/proc/sys/kernel/random/boot_id") as f:
        send(fd, {"hello": f.read().strip()})
    buf = b""
    while True:
        data = os.read(fd, 65536)
        if not data:  # the host is not connected
            time.sleep(0.2)
            continue
        buf += data
        while b"\n" in buf:
            line, buf = buf.split(b"\n", 1)
            try:
                req = json.loads(line)
            except ValueError:
                continue
            threading.Thread(target=serve, args=(fd, req), daemon=True).start()


if __name__ == "__main__":
    main()
