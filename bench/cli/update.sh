#!/usr/bin/env bash
# (1) A 40,960-byte update against the simulated device paced at 115200 baud, as a ratio to
# the line's limit: 40,965 host bytes + 162 device bytes at 11,520 bytes a second.
# (2) The host's turnaround per block request with no pacing, from --trace time stamps: from
# the request byte read to the block written (an upper bound: it includes printing the
# request's own trace line).  Usage: bench/cli/update.sh [path/to/pelkar1]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
pelkar1=$(realpath "${1:-$here/../../build/ci/cli/pelkar1}")
work=$(mktemp -d)
sim=""
trap '[ -n "$sim" ] && kill $sim 2>/dev/null; rm -rf "$work"' EXIT
"$pelkar1" encode "$here/../../samples/demo-firmware.hex" -o "$work/fw.bin" >/dev/null

device() {
  "$pelkar1" simulate --once --com 250 "$@" >"$work/device.out" 2>/dev/null &
  sim=$!
  for _ in $(seq 50); do grep -q "ready on COM250" "$work/device.out" && return; sleep 0.05; done
}

echo "== paced at 115200 baud"
for run in 1 2 3; do
  device --baud 115200
  seconds=$("$pelkar1" update --json --port 250 "$work/fw.bin" | sed 's/.*"seconds":\([0-9.]*\).*/\1/')
  wait $sim
  python3 -c "limit = (40965 + 162) / 11520; print(f'run $run: {$seconds:.3f} s, line limit {limit:.3f} s, ratio {$seconds / limit:.4f}')"
done

echo "== turnaround per block request, no pacing (5 updates)"
: >"$work/trace"
for run in 1 2 3 4 5; do
  device
  "$pelkar1" update --trace --quiet --port 250 "$work/fw.bin" 2>>"$work/trace" >/dev/null
  wait $sim
done
python3 - "$work/trace" <<'PY'
import re, statistics, sys
times = []
request = None
for line in open(sys.argv[1]):
    m = re.match(r"\[\s*([0-9.]+)\] \S+ ([<>]) (\S+)", line)
    if not m:
        continue
    t, direction, first = float(m.group(1)), m.group(2), m.group(3)
    if direction == "<":
        request = t if first == "0C" else None
    elif request is not None:
        times.append((t - request) * 1e6)
        request = None
times.sort()
p99 = times[int(len(times) * 0.99) - 1]
print(f"{len(times)} block requests: median {statistics.median(times):.1f} us, 99th percentile {p99:.1f} us")
PY
