#!/usr/bin/env bash
# A 40,960-byte update against the simulated device paced at 115200 baud, in one run: on its
# local pseudo-terminal, and through a real ser2net on 127.0.0.1 (rfc2217:// and socket://,
# each with ser2net's chardelay off and on). Each is printed as a ratio to the line's limit
# (40,965 host bytes + 162 device bytes at 11,520 bytes a second, 115200 8N1) and to the local
# run. An update's time runs from opening the port: socket:// has no purge, so its time holds the
# simulated device's 200 ms wait for one before it greets anyway (a real unit greets when reset).
# Usage: bench/cli/network.sh [path/to/pelkar1] [runs]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
pelkar1=$(realpath "${1:-$here/../../build/ci/cli/pelkar1}")
runs=${2:-3}
[ -x /usr/sbin/ser2net ] || { echo "ser2net is not installed (apt-get install ser2net)"; exit 1; }
work=$(mktemp -d)
sim="" server=""
trap 'for p in $sim $server; do kill $p 2>/dev/null || true; done; rm -rf "$work"' EXIT
"$pelkar1" encode "$here/../../samples/demo-firmware.hex" -o "$work/fw.bin" >/dev/null

# Starts the paced device; sets $com and $pty.
device() {
  "$pelkar1" simulate --once --baud 115200 >"$work/device.out" 2>/dev/null &
  sim=$!
  for _ in $(seq 100); do
    grep -q "ready on COM" "$work/device.out" && break
    sleep 0.05
  done
  com=$(sed -n 's/.*ready on COM\([0-9]*\) .*/\1/p' "$work/device.out")
  pty=$(sed -n 's/.*ready on COM[0-9]* (\(\/dev\/[^)]*\)).*/\1/p' "$work/device.out")
}

# server SCHEME CHARDELAY: ser2net in front of $pty; sets $url.
server() {
  local port accepter
  port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  accepter="tcp,127.0.0.1,$port"
  [ "$1" = rfc2217 ] && accepter="telnet(rfc2217),$accepter"
  printf 'connection: &c\n  accepter: %s\n  connector: serialdev,%s,115200n81,local\n  options:\n    chardelay: %s\n' \
    "$accepter" "$pty" "$2" >"$work/ser2net.yaml"
  /usr/sbin/ser2net -n -u -P "$work/ser2net.pid" -c "$work/ser2net.yaml" >/dev/null 2>&1 &
  server=$!
  for _ in $(seq 100); do
    python3 -c "import socket; socket.socket().bind(('127.0.0.1', $port))" 2>/dev/null || break
    sleep 0.05
  done
  url="$1://127.0.0.1:$port"
}

seconds() {
  "$pelkar1" update --json --port "$1" "$work/fw.bin" 2>/dev/null | sed 's/.*"seconds":\([0-9.]*\).*/\1/'
}

# measure NAME [SCHEME CHARDELAY]: the best of $runs updates.
best=""
measure() {
  best=""
  for _ in $(seq "$runs"); do
    device
    local port=$com
    if [ $# -gt 1 ]; then
      server "$2" "$3"
      port=$url
    fi
    local s
    s=$(seconds "$port")
    [ -n "$server" ] && { kill "$server"; wait "$server" 2>/dev/null || true; server=""; }
    wait "$sim" 2>/dev/null || true
    sim=""
    best=$(python3 -c "print(min(x for x in [$s, ${best:-1e9}]))")
  done
}

limit=$(python3 -c 'print((40965 + 162) / 11520)')
measure local
local_s=$best
printf '%-36s %7.3f s  line limit %.3f s  ratio %.4f\n' "local pty" "$local_s" "$limit" \
  "$(python3 -c "print($local_s / $limit)")"
for scheme in rfc2217 socket; do
  for delay in false true; do
    measure net "$scheme" "$delay"
    printf '%-36s %7.3f s  to the line limit %.4f  to local %.4f\n' \
      "$scheme via ser2net, chardelay $delay" "$best" \
      "$(python3 -c "print($best / $limit)")" "$(python3 -c "print($best / $local_s)")"
  done
done
