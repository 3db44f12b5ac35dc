#!/usr/bin/env bash
# pelkar1.exe under Wine updates the build machine's simulated device through a real ser2net on
# 127.0.0.1, over Winsock: rfc2217:// and socket:// whole, a refusal, and nothing listening.
#
#   network_under_wine.sh RUNNER PELKAR1_EXE HOST_PELKAR1
#
# Exits 77 (skipped) without a host pelkar1 or without ser2net.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../common/simulated_device.sh"
run=$1 exe=$2 host=${3:-}

if [ -z "$host" ] || [ ! -x "$host" ]; then
  echo "No build machine's pelkar1 given (-DPELKAR_HOST_PELKAR1=...): skipped."
  exit 77
fi
if [ ! -x /usr/sbin/ser2net ]; then
  echo "ser2net is not installed (apt-get install ser2net): skipped."
  exit 77
fi

work=$(mktemp -d)
sim="" server=""
cleanup() {
  for p in $sim $server; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"
failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}

# A TCP port of 127.0.0.1 that nothing listens on now.
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# An image full of the bytes Telnet and terminals take for their own.
python3 -c 'import sys; sys.stdout.buffer.write(bytes([255, 255, 10, 13, 255, 11, 12, 0, 13, 10, 255, 250, 240][(i * 7 + i // 13) % 13] for i in range(16 * 256)))' >fw.bin

# check NAME SCHEME STATUS RESULT SAYS [SIMULATE OPTIONS...]
check() {
  local name=$1 scheme=$2 status=$3 result=$4 says=$5
  shift 5
  rm -f saved.bin
  start_device --blocks 16 "$@"
  local port accepter
  port=$(free_port)
  accepter="tcp,127.0.0.1,$port"
  [ "$scheme" = rfc2217 ] && accepter="telnet(rfc2217),$accepter"
  printf 'connection: &c\n  accepter: %s\n  connector: serialdev,%s,115200n81,local\n  options:\n    chardelay: false\n' \
    "$accepter" "$pty" >ser2net.yaml
  /usr/sbin/ser2net -n -u -P "$work/ser2net.pid" -c ser2net.yaml >ser2net.log 2>&1 &
  server=$!
  # Listening once the port cannot be bound; a connect would make ser2net open the device.
  for _ in $(seq 100); do
    python3 -c "import socket; socket.socket().bind(('127.0.0.1', $port))" 2>/dev/null || break
    sleep 0.05
  done
  local got=0
  "$run" "$exe" update --json --timeout 2 --hello-timeout 10 --port "$scheme://127.0.0.1:$port" \
    fw.bin >out.json 2>err.txt || got=$?
  if [ "$result" = ok ] || [ "$result" = failed ]; then
    for _ in $(seq 100); do kill -0 "$sim" 2>/dev/null || break; sleep 0.05; done
  fi
  kill "$server" "$sim" 2>/dev/null || true
  wait "$server" "$sim" 2>/dev/null || true
  server="" sim=""
  if [ "$got" != "$status" ]; then
    fail "$name: exit $got, expected $status: $(cat out.json err.txt)"
  elif ! grep -q "\"result\":\"$result\"" out.json || ! grep -qF "$says" out.json ||
       ! grep -qF "\"path\":\"$scheme://127.0.0.1:$port\"" out.json; then
    fail "$name: expected $result and \"$says\": $(cat out.json)"
  elif [ "$result" = ok ] && ! cmp -s saved.bin fw.bin; then
    fail "$name: the device received another image"
  else
    echo "ok: $name (exit $got)"
  fi
}

check "rfc2217, a whole image of IAC and line-end bytes" rfc2217 0 ok "Update OK"
check "socket, a whole image" socket 0 ok "Update OK"
check "refused by the device" rfc2217 1 failed "Update unsuccessful" --fail

# Nothing listening: exit 3 at once, naming the server.
port=$(free_port)
started=$(date +%s%N)
got=0
"$run" "$exe" update --json --port "rfc2217://127.0.0.1:$port" fw.bin >out.json 2>err.txt || got=$?
ms=$(( ($(date +%s%N) - started) / 1000000 ))
if [ "$got" != 3 ] || ! grep -qF "127.0.0.1 port $port refused the connection" out.json; then
  fail "nothing listening: exit $got: $(cat out.json)"
else
  echo "ok: nothing listening (exit 3, $ms ms with Wine's start)"
fi

# Malformed URLs: usage errors, one line each.
for bad in "rfc2217://:4000" "rfc2217://host" "socket://host:0" "socket://host:65536" \
           "rfc2217://::1:4000" "telnet://host:4000"; do
  got=0
  "$run" "$exe" update --port "$bad" fw.bin >out.txt 2>err.txt || got=$?
  if [ "$got" != 2 ] || [ "$(wc -l <err.txt)" != 1 ] || ! grep -qF -- "--port $bad: " err.txt; then
    fail "usage error for $bad: exit $got: $(cat err.txt)"
  else
    echo "ok: $bad (exit 2): $(cat err.txt)"
  fi
done

[ "$failures" -eq 0 ] || { echo "$failures case(s) failed"; exit 1; }
