#!/usr/bin/env bash
# pelkar1.exe under Wine updates the build machine's own simulated device: the Linux
# `pelkar1 simulate` offers a pseudo-terminal, a link <prefix>/dosdevices/comN makes it COMn,
# and `pelkar1.exe update --port COMn` runs through every ending the device can give, and
# Ctrl-C.
#
#   update_under_wine.sh RUNNER WINE_PREFIX PELKAR1_EXE HOST_PELKAR1 FIRMWARE_HEX
#
# Exits 77 (skipped) without a host pelkar1. The paced update's time is printed as a ratio to
# the line's limit (40,965 host bytes + 162 device bytes at 11,520 bytes a second).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../common/simulated_device.sh"
run=$1 prefix=$2 exe=$3 host=${4:-} hex=$5

if [ -z "$host" ] || [ ! -x "$host" ]; then
  echo "No build machine's pelkar1 given (-DPELKAR_HOST_PELKAR1=...): skipped."
  exit 77
fi
export LC_ALL=C.UTF-8  # Wine reads the arguments' bytes in the locale's character set

work=$(mktemp -d)
sim="" link=""
cleanup() {
  if [ -n "$sim" ]; then kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true; fi
  if [ -n "$link" ]; then rm -f "$link"; fi
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"
failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}

# The first run also makes the prefix; the image's name is no ANSI name, so the arguments
# must reach the program whole.
image="Főprogram.bin"
"$run" "$exe" encode "$hex" -o "$image" >/dev/null || { echo "pelkar1.exe encode failed"; exit 1; }

# Starts the simulated device with the given options and links it as a COM port of the prefix.
device() {
  start_device "$@"
  # The first free comN from 240 up (the serial suites' links start at 100); a link to a
  # terminal that is gone is free.
  for n in $(seq 240 255); do
    local candidate="$prefix/dosdevices/com$n"
    if [ -L "$candidate" ] && [ ! -e "$candidate" ]; then rm -f "$candidate"; fi
    if ln -s "$pty" "$candidate" 2>/dev/null; then
      link=$candidate com=$n
      return
    fi
  done
  echo "no free COM link in $prefix/dosdevices"
  exit 1
}

stop_device() {
  kill "$sim" 2>/dev/null || true
  wait "$sim" 2>/dev/null || true
  sim=""
  rm -f "$link"
  link=""
}

# check NAME STATUS RESULT SAYS [SIMULATE OPTIONS...]
# With result "interrupted" the update gets Ctrl-C (Wine turns SIGINT into the console's event)
# once it waits for the device.
check() {
  local name=$1 status=$2 result=$3 says=$4
  shift 4
  rm -f saved.bin
  device "$@"
  local got=0
  "$run" "$exe" update --json --timeout 2 --hello-timeout 20 --port "COM$com" "$image" \
    >out.json 2>err.txt &
  local update=$!
  if [ "$result" = interrupted ]; then
    for _ in $(seq 200); do grep -q "Waiting for the device" err.txt && break; sleep 0.05; done
    sleep 0.5
    kill -INT "$update"
  fi
  wait "$update" || got=$?
  # The device ends by itself after a verdict: wait for it, so that its image is saved.
  if [ "$result" = ok ] || [ "$result" = failed ]; then
    for _ in $(seq 100); do kill -0 "$sim" 2>/dev/null || break; sleep 0.05; done
  fi
  stop_device
  local line
  line=$(cat out.json)
  if [ "$got" != "$status" ]; then
    fail "$name: exit $got, expected $status: $line $(cat err.txt)"
  elif ! grep -q "\"result\":\"$result\"" out.json || ! grep -qF "$says" out.json; then
    fail "$name: expected $result and \"$says\": $line"
  elif [ "$result" = ok ] && ! cmp -s saved.bin "$image"; then
    fail "$name: the device received another image than $image"
  else
    echo "ok: $name (exit $got) $(sed 's/.*"message":"\([^"]*\)".*"seconds":\([0-9.]*\).*/\1, \2 s/' out.json)"
  fi
}

check "paced at 115200 baud" 0 ok "Update OK" --baud 115200
seconds=$(sed 's/.*"seconds":\([0-9.]*\).*/\1/' out.json)
awk -v s="$seconds" 'BEGIN { limit = (40965 + 162) / 11520;
  printf "update time %.3f s, line limit %.3f s, ratio %.4f\n", s, limit, s / limit }'
check "noise before every request" 0 ok "Update OK" --noise
check "refused" 1 failed "Update unsuccessful" --fail
check "bad hello" 5 protocol-error "Illegal command" --bad-hello
check "silence after 3 blocks" 4 timeout "Timed out waiting for a block request" --silent-after 3
check "hang-up after 5 blocks" 3 port-lost "The port was lost" --hangup-after 5
check "Ctrl-C while the device is silent" 130 interrupted "the port is closed" --silent-after 2

[ "$failures" -eq 0 ] || { echo "$failures case(s) failed"; exit 1; }
