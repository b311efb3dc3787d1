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
# The cell (tests/cell) installs the package on a real kernel with udev: the skipped start
# without an adapter, hot-plug, the journal while unplugged and the purge are checked there.

err_lines() { journalctl -u ftbridge -p err -o cat --no-pager; }

mark
dpkg -i /deb/ftbridge_*.deb
say enabled "$(systemctl is-enabled ftbridge)"
# A simulated sensor behind /dev/ttyUSB0 and a simulated controller on 127.0.0.1:30004.
python3 /src/tools/sim_controller >/out/controller.log 2>&1 &
ctl_pid=$!
python3 /src/tools/sim_sensor --link /dev/ttyUSB0 --for-service >/out/sensor.log 2>&1 &
sensor_pid=$!
for _ in $(seq 40); do [ -e /dev/ttyUSB0 ] && break; sleep 0.25; done
pts=$(readlink -f /dev/ttyUSB0)
say pty_group "$(stat -c '%G %a' "$pts")"

# Let the pty in with a drop-in (a pty is not a USB serial device; where the container's
# systemd has the devices controller, the packaged policy keeps the daemon off it); everything
# else stays as packaged.
mkdir -p /etc/systemd/system/ftbridge.service.d
printf '[Service]\nDeviceAllow=char-pts rw\n' >/etc/systemd/system/ftbridge.service.d/pty.conf
systemctl daemon-reload
systemctl restart ftbridge
wait_running
say status "$(ftbridge-ctl status)"
ftbridge-ctl running >/dev/null
say running_status "$?"
say restart_sec "$(prop RestartUSec)"
say socket "$(systemctl show ftbridge.socket -p ActiveState --value) $(systemctl show ftbridge.socket -p Listen --value)"
ftbridge-ctl set-bias 0 0 0 0 0 0
say set_bias "$?"
# The simulator follows the rate it is asked for (with the filter off: on, every rate is one).
ftbridge-ctl filter off && ftbridge-ctl configure 500
for _ in $(seq 40); do [ "$(ftbridge-ctl freq)" = 500.000 ] && break; sleep 0.25; done
say followed_rate "$(ftbridge-ctl freq)"
pid=$(prop MainPID)
say user "$(ps -o user= -p "$pid")"
say groups "$(ps -o supgrp= -p "$pid")"
for f in CapEff NoNewPrivs Seccomp; do say "$f" "$(awk -v k="$f:" '$1 == k {print $2}' /proc/"$pid"/status)"; done
say log_first "$(head -1 /var/lib/ftbridge/qrm_debug_output.txt)"
say state_dir "$(readlink /var/lib/ftbridge)"

# A lost controller: the daemon ends with its reason at priority err and is started again
# until the controller is back.
restarts=$(prop NRestarts)
kill "$ctl_pid"
mark
down=$SECONDS
for _ in $(seq 120); do
    [ "$(prop NRestarts)" -gt "$restarts" ] && err_lines | grep -q 'RTDE socket connection failed' && break
    sleep 0.5
done
say lost_controller "restarted=$(( $(prop NRestarts) > restarts )) err=$(err_lines | grep -c '^RTDE socket connection failed: Connection refused$')"
python3 /src/tools/sim_controller >>/out/controller.log 2>&1 &
back=$SECONDS
wait_running
say controller_back "$(ftbridge-ctl running)"
say back_after_s "$((SECONDS - back))"
say down_lines "$(since_mark | grep -c .) in $((back - down)) s"

# The simulated controller reports its count once a second.
for _ in $(seq 40); do grep -q '^[1-9][0-9]* packages' /out/controller.log && break; sleep 0.25; done
systemctl stop ftbridge
say stopped "$(prop ActiveState) result=$(prop Result) status=$(prop ExecMainStatus)"
say log_last "$(tail -1 /var/lib/private/ftbridge/qrm_debug_output.txt)"
say packages "$(grep -o '^[0-9]* packages' /out/controller.log | tail -1)"

mkdir -p /etc/systemd/system/ftbridge.socket.d
cp /usr/share/doc/ftbridge/examples/restrict-to-localhost.conf /etc/systemd/system/ftbridge.socket.d/
systemctl daemon-reload
systemctl restart ftbridge.socket
systemctl start ftbridge
wait_running
ftbridge-ctl status
say local_client "$?"
say listen "$(systemctl show ftbridge.socket -p Listen --value)"

# An upgrade (the same package under a higher version) keeps the service running and enabled
# and the debug logs in their directory.
dpkg -i /out/upgrade.deb
say upgraded "$(dpkg-query -W -f='${Version}' ftbridge) $(systemctl is-enabled ftbridge) $(prop ActiveState)"
say upgrade_logs "$(ls /var/lib/ftbridge/ | tr '\n' ' ')"

dpkg -r ftbridge
say removed "$(prop ActiveState) load=$(prop LoadState) status=$(prop ExecMainStatus)"
say removed_logs "$(ls /var/lib/private/ftbridge/ | tr '\n' ' ')"
# A simulator stopped with SIGTERM takes its link with it.
kill "$sensor_pid"
for _ in $(seq 40); do kill -0 "$sensor_pid" 2>/dev/null || break; sleep 0.25; done
say sensor_link "$(test -L /dev/ttyUSB0 && echo left || echo gone)"
journalctl --no-pager -o short-monotonic >/out/journal.txt
kill -s RTMIN+4 1   # power the container off
