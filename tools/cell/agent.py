"""The cell's agent, run in the guest on the virtio serial port "cell.agent" (from the share,
by cell-agent.service): runs shell commands for the host, each in a thread of its own.

Requests and answers are JSON lines: {"id": N, "cmd": "...", "timeout": S} ->
{"id": N, "rc": R, "out": "...", "err": "..."}. The first line after the agent starts is
{"hello": BOOT_ID}, so that the host knows a boot from the last.
"""
import json
import os
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
    try:
        r = subprocess.run(req["cmd"], shell=True, capture_output=True, text=True,
                           timeout=req.get("timeout", 60), errors="replace")
        ans = {"rc": r.returncode, "out": r.stdout, "err": r.stderr}
    except subprocess.TimeoutExpired as e:
        ans = {"rc": -1, "out": "", "err": "timed out: %s" % e}
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
