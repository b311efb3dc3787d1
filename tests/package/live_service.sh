#!/bin/bash
# Runs inside a throw-away systemd container (test_deb.py boots one with systemd-nspawn on an
# overlay of this machine's own root): installs the package, watches the service systemd
# runs from it, and writes "name: value" lines to /out/results for the test to judge.
# /deb holds the package, /src the tree (for the simulators).
exec >/out/trace.log 2>&1
set -x
out=/out/results
say() { echo "$1: $2" >>"$out"; }
prop() { systemctl show ftbridge -p "$1" --value; }
wait_running() {
    for _ in $(seq 100); do ftbridge-ctl running 2>/dev/null | grep -q true && return 0; sleep 0.5; done
    return 1
}
mark() { journalctl --cursor-file=/out/cursor -u ftbridge -o cat >/dev/null 2>&1 || true; }
since_mark() { journalctl --cursor-file=/out/cursor -u ftbridge -o cat --no-pager; }

dpkg -i /deb/ftbridge_*.deb
say enabled "$(systemctl is-enabled ftbridge)"
mark
sleep 13
# No adapter: the daemon ends at once and is started again, 5 s apart, without end.
say no_adapter "$(prop ActiveState)/$(prop SubState) restarts=$(prop NRestarts)"
say no_port_lines "$(since_mark | grep -c 'No port found!')"

# A simulated sensor behind /dev/ttyUSB0 and a simulated controller on 127.0.0.1:30004.
python3 /src/tools/sim_controller >/out/controller.log 2>&1 &
python3 /src/tools/sim_sensor --link /dev/ttyUSB0 >/out/sensor.log 2>&1 &
for _ in $(seq 40); do [ -e /dev/ttyUSB0 ] && break; sleep 0.25; done
pts=$(readlink -f /dev/ttyUSB0)
chgrp dialout "$pts" && chmod 0660 "$pts"   # as udev leaves a ttyUSB

# Let the pty in with a drop-in (a pty is not a USB serial device; where the container's
# systemd has the devices controller, the packaged policy keeps the daemon off it); everything
# else stays as packaged. A pty keeps its exclusive flag while the simulator holds the master,
# so an unprivileged daemon could not reopen it after its probe (a real adapter's tty is
# released on close): clear the flag as root, often enough to catch the moment in between.
mkdir -p /etc/systemd/system/ftbridge.service.d
printf '[Service]\nDeviceAllow=char-pts rw\n' >/etc/systemd/system/ftbridge.service.d/pty.conf
systemctl daemon-reload
python3 -c '
import fcntl, os, sys, termios, time
while True:
    try:
        fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        fcntl.ioctl(fd, termios.TIOCNXCL)
        os.close(fd)
    except OSError:
        pass
    time.sleep(0.0005)' "$pts" &
systemctl restart ftbridge
wait_running
say status "$(ftbridge-ctl status)"
ftbridge-ctl set-bias 0 0 0 0 0 0
say set_bias "$?"
pid=$(prop MainPID)
say user "$(ps -o user= -p "$pid")"
say groups "$(ps -o supgrp= -p "$pid")"
for f in CapEff NoNewPrivs Seccomp; do say "$f" "$(awk -v k="$f:" '$1 == k {print $2}' /proc/"$pid"/status)"; done
say log_first "$(head -1 /var/lib/ftbridge/qrm_debug_output.txt)"
say state_dir "$(readlink /var/lib/ftbridge)"

# The simulated controller reports its count once a second.
for _ in $(seq 40); do grep -q '^[1-9][0-9]* packages' /out/controller.log && break; sleep 0.25; done
systemctl stop ftbridge
say stopped "$(prop ActiveState) result=$(prop Result) status=$(prop ExecMainStatus)"
say log_last "$(tail -1 /var/lib/private/ftbridge/qrm_debug_output.txt)"
say packages "$(grep -o '^[0-9]* packages' /out/controller.log | tail -1)"

cp /usr/share/doc/ftbridge/examples/restrict-to-localhost.conf /etc/systemd/system/ftbridge.service.d/
systemctl daemon-reload
systemctl start ftbridge
wait_running
ftbridge-ctl status
say local_client "$?"
say ip_allow "$(prop IPAddressAllow)"

dpkg -r ftbridge
say removed "$(prop ActiveState) load=$(prop LoadState) status=$(prop ExecMainStatus)"
journalctl --no-pager -o short-monotonic >/out/journal.txt
kill -s RTMIN+4 1   # power the container off
