#!/bin/sh
# The guest's /init: brings up the kernel's drivers and udev, then runs the bench's cases with
# the freshly built pelkar1 and prints what it saw as "@@ ..." lines on the console, which the
# host (kernel_bench.py) reads. "@@ ask WHAT NAME" lines ask the host to act (reset a simulated
# device, unplug or plug an adapter); the host answers on the console's input with "go".
/bin/busybox --install -s /bin
export PATH=/bin:/sbin:/usr/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts /run /tmp
mount -t devpts devpts /dev/pts
mount -t tmpfs tmpfs /run
mount -t tmpfs -o mode=1777 tmpfs /tmp
exec </dev/console >/dev/console 2>&1

say() { echo "@@ $*"; }
# ask WHAT NAME: the host does it, then answers "go".
ask() {
  say ask "$@"
  read -r answer
  [ "$answer" = go ] || say note "host answered '$answer' to $*"
}
uptime_ms() { awk '{ printf "%d", $1 * 1000 }' /proc/uptime; }

for m in $(cat /etc/bench/modules); do insmod "/lib/modules/$m" || say note "insmod $m failed"; done
/lib/systemd/systemd-udevd --daemon --resolve-names=late 2>/dev/null
udevadm trigger --action=add
udevadm settle --timeout=30
say booted "$(uname -r)" "$(uptime_ms)"
# QEMU's FT232 reports a latency timer of 0; a real one comes up at 16 ms, which is what the
# low-latency request has to change.
for t in /sys/class/tty/ttyUSB*/device/latency_timer; do
  say note "emulated $t $(cat "$t")"
  echo 16 >"$t"
done

img=/etc/bench/image.bin
blocks=$(cat /etc/bench/blocks)
cases=$(sed -n 's/.*bench.cases=\([^ ]*\).*/\1/p' /proc/cmdline | tr , ' ')

# wait_open PID DEVICE: until the process has the device open (at most 20 s).
wait_open() {
  i=0
  while [ $i -lt 400 ]; do
    for fd in /proc/"$1"/fd/*; do
      [ "$(readlink "$fd" 2>/dev/null)" = "$2" ] && return 0
    done
    kill -0 "$1" 2>/dev/null || return 1
    usleep 50000
    i=$((i + 1))
  done
  return 1
}
# wait_told FILE TEXT: until pelkar1 has said TEXT on stderr (at most 20 s). It says it once its
# ports are open, configured and purged: a reset before that would lose the device's hello.
wait_told() {
  i=0
  while [ $i -lt 400 ] && ! grep -q "$2" "$1" 2>/dev/null; do usleep 50000; i=$((i + 1)); done
}
# wait_path PATH present|absent (at most 20 s)
wait_path() {
  i=0
  while [ $i -lt 400 ]; do
    if [ "$2" = present ]; then [ -e "$1" ] && return 0; else [ -e "$1" ] || return 0; fi
    usleep 50000
    i=$((i + 1))
  done
  return 1
}
latency() { cat /sys/class/tty/"$1"/device/latency_timer 2>/dev/null || echo none; }
# report NAME RC OUT ERR: the update's exit status, JSON and last message lines.
report() {
  say rc "$1" "$2"
  while read -r line; do say json "$1" "$line"; done <"$3"
  tail -n 3 "$4" | while read -r line; do say err "$1" "$line"; done
}
# update NAME DEVICE SIM...: one update over DEVICE, the host resetting each SIM once it is open.
update() {
  name=$1 dev=$2
  shift 2
  pelkar1 update --port "$dev" "$img" --json >/tmp/"$name".json 2>/tmp/"$name".err &
  pid=$!
  wait_open $pid "$dev" || say note "$name: pelkar1 never opened $dev"
  wait_told /tmp/"$name".err "Waiting for"
  for sim in "$@"; do ask reset "$sim"; done
  wait $pid
  report "$name" $? /tmp/"$name".json /tmp/"$name".err
}

# The CDC-ACM gadget: g_serial on dummy_hcd's device side gives the device's end, /dev/ttyGS0;
# dummy_hcd's host side enumerates it and cdc-acm gives the host's end, /dev/ttyACM0, named by
# udev from the gadget's vendor, product and serial number.
gadget_up() {
  [ -d /sys/module/g_serial ] || insmod $(cat /etc/bench/gadget) || say note "insmod g_serial failed"
  wait_path /dev/ttyACM0 present || say note "no /dev/ttyACM0"
  wait_path /dev/ttyGS0 present || say note "no /dev/ttyGS0"
  udevadm settle --timeout=10
}
# The gadget unloaded: the device gone from the bus, as a board whose USB stops.
gadget_down() {
  rmmod g_serial || say note "rmmod g_serial failed"
  wait_path /dev/ttyACM0 absent || say note "/dev/ttyACM0 stayed"
}
# soft_connect disconnect: the device controller drops its pull-up, as a cable pulled from the
# device's side. (dummy_hcd's device controller does not enumerate again after a soft
# "connect"; a gadget loaded anew does.)
soft_connect() {
  for u in /sys/class/udc/*; do echo "$1" >"$u/soft_connect"; done
}
# acm_sim NAME: one unit's simulated device on the gadget's port; $sim is its pid.
acm_sim() {
  pelkar1 simulate --on /dev/ttyGS0 --once --wait-reset --blocks "$blocks" --baud 115200 \
    --save /tmp/"$1"-saved.bin >/tmp/"$1"-sim.out 2>/tmp/"$1"-sim.err &
  sim=$!
  i=0
  while [ $i -lt 400 ] && kill -0 $sim 2>/dev/null && ! grep -q "ready on" /tmp/"$1"-sim.out; do
    usleep 50000
    i=$((i + 1))
  done
  grep -q "ready on" /tmp/"$1"-sim.out || say note "$1: the simulated device did not start: $(cat /tmp/"$1"-sim.err)"
}
# end_within PID TENTHS: waits for PID, stopping it when it runs longer.
end_within() {
  i=0
  while [ $i -lt "$2" ] && kill -0 "$1" 2>/dev/null; do usleep 100000; i=$((i + 1)); done
  kill "$1" 2>/dev/null && say note "pid $1 did not end by itself"
  wait "$1"
}
saved() { if cmp -s /tmp/"$1"-saved.bin "$img"; then say saved "$1" equal; else say saved "$1" differ; fi; }

for case in $cases; do
  case_t0=$(uptime_ms)
  say case "$case" begin
  case "$case" in
    ports)
      pelkar1 ports >/tmp/ports.txt 2>&1
      pelkar1 ports --json >/tmp/ports.json 2>&1
      while read -r line; do say ports "$line"; done </tmp/ports.txt
      say portsjson "$(tr -d '\n' </tmp/ports.json)"
      for l in /dev/serial/by-id/*; do say byid "$l" "$(readlink -f "$l")"; done
      ;;
    ftdi)
      say latency before "$(latency ttyUSB0)"
      pelkar1 update --port /dev/ttyUSB0 "$img" --json >/tmp/ftdi.json 2>/tmp/ftdi.err &
      pid=$!
      wait_open $pid /dev/ttyUSB0 || say note "ftdi: pelkar1 never opened /dev/ttyUSB0"
      wait_told /tmp/ftdi.err "Waiting for"
      say latency during "$(latency ttyUSB0)"
      ask reset ftdi0
      wait $pid
      report ftdi $? /tmp/ftdi.json /tmp/ftdi.err
      say latency after "$(latency ttyUSB0)"
      ;;
    uart)
      update uart /dev/ttyS1 uart
      ;;
    pty)
      pelkar1 simulate --com 200 --once --wait-reset --blocks "$blocks" --baud 115200 \
        --save /tmp/pty-saved.bin >/tmp/sim.out 2>/tmp/sim.err &
      sim=$!
      i=0
      while [ $i -lt 200 ] && ! grep -q "ready on" /tmp/sim.out; do usleep 50000; i=$((i + 1)); done
      pelkar1 update --port 200 "$img" --json >/tmp/pty.json 2>/tmp/pty.err &
      pid=$!
      target=$(sed -n 's/.*(\(\/dev\/pts\/[0-9]*\)).*/\1/p' /tmp/sim.out)
      wait_open $pid "$target" || say note "pty: pelkar1 never opened $target"
      wait_told /tmp/pty.err "Waiting for"
      kill -USR1 $sim
      wait $pid
      report pty $? /tmp/pty.json /tmp/pty.err
      wait $sim
      if cmp -s /tmp/pty-saved.bin "$img"; then say saved pty equal; else say saved pty differ; fi
      ;;
    unplug)
      pelkar1 update --port /dev/ttyUSB1 "$img" --json >/tmp/unplug.json 2>/tmp/unplug.err &
      pid=$!
      wait_open $pid /dev/ttyUSB1 || say note "unplug: pelkar1 never opened /dev/ttyUSB1"
      wait_told /tmp/unplug.err "Waiting for"
      ask reset ftdi1
      # Pulled once the transfer is under way: the whole takes about 1.5 s at 115200 baud.
      usleep 500000
      t0=$(uptime_ms)
      ask unplug ftdi1
      wait $pid
      rc=$?
      say unplug-ms "$(($(uptime_ms) - t0))"
      report unplug $rc /tmp/unplug.json /tmp/unplug.err
      ask plug ftdi1
      wait_path /dev/ttyUSB1 present || say note "ftdi1 did not come back"
      udevadm settle --timeout=10
      ;;
    no-access)
      say mode "$(stat -c '%a %G' /dev/ttyUSB0)"
      su tech -c "pelkar1 ports" >/tmp/na-ports.txt 2>&1
      grep ttyUSB0 /tmp/na-ports.txt | while read -r line; do say ports "$line"; done
      su tech -c "pelkar1 update --port /dev/ttyUSB0 $img" >/tmp/na.out 2>/tmp/na.err
      say rc no-access $?
      while read -r line; do say err no-access "$line"; done </tmp/na.err
      ;;
    held)
      # A terminal's settings, as cat finds them on a port nobody configured: with ours
      # (VMIN 0) its first read would end it at once.
      stty -F /dev/ttyS1 sane
      cat /dev/ttyS1 >/dev/null &
      holder=$!
      wait_open $holder /dev/ttyS1 || say note "held: cat did not open /dev/ttyS1"
      say holder "$holder"
      pelkar1 ports | grep ttyS1 | while read -r line; do say ports "$line"; done
      say portsjson "$(pelkar1 ports --json | tr -d '\n')"
      pelkar1 update --port /dev/ttyS1 "$img" >/tmp/held.out 2>/tmp/held.err
      say rc held $?
      while read -r line; do say err held "$line"; done </tmp/held.err
      kill $holder
      wait $holder 2>/dev/null
      ;;
    four)
      pelkar1 update --port /dev/ttyUSB0 --port /dev/ttyUSB1 --port /dev/ttyUSB2 \
        --port /dev/ttyUSB3 "$img" --json >/tmp/four.json 2>/tmp/four.err &
      pid=$!
      for n in 0 1 2 3; do wait_open $pid /dev/ttyUSB$n || say note "four: ttyUSB$n not opened"; done
      wait_told /tmp/four.err "Waiting for"
      for n in 0 1 2 3; do ask reset ftdi$n; done
      wait $pid
      report four $? /tmp/four.json /tmp/four.err
      ;;
    replug)
      link=$(ls /dev/serial/by-id/*PK000003* 2>/dev/null | head -n 1)
      say link "$link"
      pelkar1 update --repeat --count 2 --port "$link" "$img" --json >/tmp/replug.json \
        2>/tmp/replug.err &
      pid=$!
      dev=$(readlink -f "$link")
      wait_open $pid "$dev" || say note "replug: pelkar1 never opened $dev"
      wait_told /tmp/replug.err "Waiting for"
      ask reset ftdi2
      i=0
      while [ $i -lt 400 ] && ! grep -q "Update OK" /tmp/replug.err /tmp/replug.json; do
        usleep 50000
        i=$((i + 1))
      done
      ask unplug ftdi2
      wait_path "$link" absent
      ask plug ftdi2
      wait_path "$link" present || say note "ftdi2 did not come back"
      dev=$(readlink -f "$link")
      if wait_open $pid "$dev"; then
        wait_told /tmp/replug.err "is back"
        ask reset ftdi2
      else
        say note "replug: pelkar1 did not open $dev again"
      fi
      # It should end after the second unit; a run that waits on is stopped.
      i=0
      while [ $i -lt 300 ] && kill -0 $pid 2>/dev/null; do usleep 50000; i=$((i + 1)); done
      kill -INT $pid 2>/dev/null
      wait $pid
      report replug $? /tmp/replug.json /tmp/replug.err
      ;;
    acm-ports)
      gadget_up
      pelkar1 ports >/tmp/acm-ports.txt 2>&1
      grep -A2 '^COM65' /tmp/acm-ports.txt | while read -r line; do say ports "$line"; done
      say portsjson "$(pelkar1 ports --json | tr -d '\n')"
      for l in /dev/serial/by-id/*; do say byid "$l" "$(readlink -f "$l")"; done
      ;;
    acm)
      gadget_up
      acm_sim acm
      pelkar1 update --port /dev/ttyACM0 "$img" --json >/tmp/acm.json 2>/tmp/acm.err &
      pid=$!
      wait_open $pid /dev/ttyACM0 || say note "acm: pelkar1 never opened /dev/ttyACM0"
      wait_told /tmp/acm.err "Waiting for"
      kill -USR1 $sim
      end_within $pid 150
      report acm $? /tmp/acm.json /tmp/acm.err
      end_within $sim 20
      saved acm
      ;;
    acm-unplug)
      gadget_up
      acm_sim acm-unplug
      pelkar1 update --port /dev/ttyACM0 "$img" --json >/tmp/acm-unplug.json \
        2>/tmp/acm-unplug.err &
      pid=$!
      wait_open $pid /dev/ttyACM0 || say note "acm-unplug: pelkar1 never opened /dev/ttyACM0"
      wait_told /tmp/acm-unplug.err "Waiting for"
      kill -USR1 $sim
      usleep 400000
      t0=$(uptime_ms)
      soft_connect disconnect
      end_within $pid 100
      rc=$?
      say unplug-ms "$(($(uptime_ms) - t0))"
      report acm-unplug $rc /tmp/acm-unplug.json /tmp/acm-unplug.err
      # The device's end hangs up with the cable: its simulated device ends.
      end_within $sim 30
      say simrc acm-unplug $?
      gadget_down
      gadget_up
      ;;
    acm-replug)
      gadget_up
      link=$(ls /dev/serial/by-id/*PKACM001* 2>/dev/null | head -n 1)
      say link "$link"
      acm_sim acm-replug1
      pelkar1 update --repeat --count 2 --port "$link" "$img" --json >/tmp/acm-replug.json \
        2>/tmp/acm-replug.err &
      pid=$!
      wait_open $pid /dev/ttyACM0 || say note "acm-replug: pelkar1 never opened /dev/ttyACM0"
      wait_told /tmp/acm-replug.err "Waiting for"
      kill -USR1 $sim
      end_within $sim 150
      gadget_down
      wait_path "$link" absent || say note "acm-replug: $link stayed"
      gadget_up
      wait_path "$link" present || say note "acm-replug: $link did not come back"
      acm_sim acm-replug2
      if wait_open $pid "$(readlink -f "$link")"; then
        wait_told /tmp/acm-replug.err "is back"
        kill -USR1 $sim
      else
        say note "acm-replug: pelkar1 did not open $link again"
      fi
      end_within $pid 150
      report acm-replug $? /tmp/acm-replug.json /tmp/acm-replug.err
      end_within $sim 20
      saved acm-replug2
      ;;
    acm-stale)
      gadget_up
      # The end of an earlier exchange (a block request and a verdict), sent while no host
      # has the port open: cdc-acm reads nothing then, so the bytes wait in the device and
      # reach the host at its next open. The writer's close returns once they have gone.
      # First shown to a plain reader (raw beforehand: stty's own open would take them).
      stty -F /dev/ttyACM0 raw -echo
      printf '\014\017' >/dev/ttyGS0 &
      writer=$!
      usleep 200000
      say held "$(timeout 2 dd if=/dev/ttyACM0 bs=1 count=2 2>/dev/null | od -An -tx1 | tr -d ' \n')"
      end_within $writer 50
      printf '\014\017' >/dev/ttyGS0 &
      writer=$!
      usleep 200000
      pelkar1 update --port /dev/ttyACM0 "$img" --json >/tmp/acm-stale.json 2>/tmp/acm-stale.err &
      pid=$!
      wait_open $pid /dev/ttyACM0 || say note "acm-stale: pelkar1 never opened /dev/ttyACM0"
      wait_told /tmp/acm-stale.err "Waiting for"
      end_within $writer 50
      acm_sim acm-stale
      kill -USR1 $sim
      end_within $pid 150
      report acm-stale $? /tmp/acm-stale.json /tmp/acm-stale.err
      end_within $sim 20
      saved acm-stale
      ;;
    *)
      say note "unknown case $case"
      ;;
  esac
  say case "$case" end
  say time "$case" "$(($(uptime_ms) - case_t0))"
done
say done
poweroff -f
