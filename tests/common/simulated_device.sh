# Sourced by the end-to-end scripts under Wine. start_device [SIMULATE OPTIONS...] starts the
# build machine's simulated device ($host) for one update, its image kept in saved.bin, and sets
# $sim (its process) and $pty (its pseudo-terminal); it ends the script when the device does
# not come up.
start_device() {
  : >sim.out
  "$host" simulate --once --save saved.bin "$@" >sim.out 2>sim.err &
  sim=$!
  pty=""
  for _ in $(seq 100); do
    pty=$(sed -n 's/.*ready on COM[0-9]* (\(\/dev\/[^)]*\)).*/\1/p' sim.out)
    [ -n "$pty" ] && return 0
    sleep 0.05
  done
  cat sim.err
  echo "the simulated device did not start"
  exit 1
}
