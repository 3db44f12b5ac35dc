#!/usr/bin/env bash
# Pelkar1_Update.exe under Wine on a virtual X display (run inside xvfb-run), driven as a
# technician would with the keyboard through xdotool.
#
#   window_under_wine.sh smoke  WINE64 PREFIX EXE
#   window_under_wine.sh update WINE64 PREFIX EXE HOST_PELKAR1 FIRMWARE_HEX PELKAR1_EXE [SHOT.png]
#
# smoke: the window titled "Pelkar1 Update utility" appears with its menu bar, typing the access
# code opens the encoder's dialog, and the window closes cleanly (exit status 0). update: the build machine's simulated device on a pseudo-terminal,
# linked as COM3 of the prefix; Serial Port -> its item, Load File -> the image's name typed
# into the open dialog, Update; the "Pelkar Update utility" box must come and the device's
# saved image must equal the file. Prints the time from Update to the box. Exits 77 (skipped)
# without a host pelkar1. The prefix is the window tests' own: the X display is part of a Wine
# session, so it is not shared with the suites that run without one.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../common/simulated_device.sh"
mode=$1 wine=$2 prefix=$3 exe=$4
host=${5:-} hex=${6:-} cli_exe=${7:-} shot=${8:-}

if [ "$mode" = update ] && { [ -z "$host" ] || [ ! -x "$host" ]; }; then
  echo "No build machine's pelkar1 given (-DPELKAR_HOST_PELKAR1=...): skipped."
  exit 77
fi
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=C.UTF-8
wineserver="$(dirname "$wine")/wineserver"
[ -x "$wineserver" ] || wineserver=$(command -v wineserver)

work=$(mktemp -d)
app="" sim="" link=""
cleanup() {
  if [ -n "$app" ]; then kill "$app" 2>/dev/null || true; fi
  if [ -n "$sim" ]; then kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true; fi
  if [ -n "$link" ]; then rm -f "$link"; fi
  "$wineserver" -k 2>/dev/null || true  # this session's server knows this display only
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

if [ ! -e "$prefix/.pelkar-ready" ]; then
  mkdir -p "$prefix"
  "$wine" wineboot --init >/dev/null 2>&1
  "$wineserver" --wait
  touch "$prefix/.pelkar-ready"
fi

# Waits (up to $2 s) for a visible window whose name matches $1; prints its id.
window() {
  local id=""
  for _ in $(seq $(($2 * 10))); do
    id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -1 || true)
    [ -n "$id" ] && { echo "$id"; return 0; }
    sleep 0.1
  done
  return 1
}
keys() {
  xdotool windowfocus --sync "$1" 2>/dev/null || true
  shift
  for k in "$@"; do  # paced for a busy machine: Wine's menus open in their own time
    xdotool key "$k"
    sleep 0.5
  done
}
close_window() {
  keys "$1" Escape alt+F4
  local status=0
  for _ in $(seq 200); do kill -0 "$app" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$app" 2>/dev/null; then echo "FAILED: the window did not close"; exit 1; fi
  wait "$app" || status=$?
  app=""
  [ "$status" -eq 0 ] || { echo "FAILED: Pelkar1_Update.exe ended with status $status"; exit 1; }
  echo "ok: the window closed cleanly"
}

if [ "$mode" = smoke ]; then
  "$wine" "$exe" >app.log 2>&1 &
  app=$!
  win=$(window "^Pelkar1 Update utility$" 60) || { echo "FAILED: no window appeared"; exit 1; }
  eval "$(xdotool getwindowgeometry --shell "$win")"
  # The client area is 30 pixels high at 96 DPI; the menu bar makes the window taller.
  if [ "$HEIGHT" -le 30 ] || [ "$WIDTH" -lt 361 ]; then
    echo "FAILED: the window is ${WIDTH}x${HEIGHT}, no room for its menu bar"
    exit 1
  fi
  echo "ok: \"Pelkar1 Update utility\" ${WIDTH}x${HEIGHT} with its menu bar"
  # The access code typed on the window, Command1 holding the focus, opens the encoder's
  # dialog; cancelled, it leaves nothing behind.
  sleep 1
  xdotool windowfocus --sync "$win" 2>/dev/null || true
  xdotool type --delay 100 "Tavik"
  dialog=$(window "^Open$" 30) || { echo "FAILED: typing the access code opened no dialog"; exit 1; }
  keys "$dialog" Escape
  echo "ok: the access code opens the encoder's dialog"
  close_window "$win"
  exit 0
fi

# --- update ----------------------------------------------------------------------------------
image="Főprogram.bin"  # typed into the dialog: no ANSI name
"$wine" "$cli_exe" encode "$hex" -o "$image" >/dev/null 2>&1

start_device --baud 115200
# COM3 of the prefix, and in Wine's own port list so that discovery offers it.
link="$prefix/dosdevices/com3"
rm -f "$link"
ln -s "$pty" "$link"
"$wine" reg add 'HKLM\Software\Wine\Ports' /v COM3 /d "$pty" /f >/dev/null 2>&1
"$wineserver" -k 2>/dev/null || true
"$wineserver" --wait 2>/dev/null || true

# The menu item of COM3: discovery's order, as pelkar1.exe lists it.
index=$("$wine" "$cli_exe" ports 2>/dev/null | tr -d '\r' | awk '/\(COM3\)/ { print NR - 1; exit }')
[ -n "$index" ] || { "$wine" "$cli_exe" ports; echo "FAILED: COM3 is not offered"; exit 1; }

"$wine" "$exe" >app.log 2>&1 &
app=$!
win=$(window "^Pelkar1 Update utility$" 60) || { echo "FAILED: no window appeared"; exit 1; }
sleep 2
# Serial Port -> the item of COM3.
downs=()
for _ in $(seq "$index"); do downs+=(Down); done
keys "$win" F10 Down "${downs[@]}" Return
# Load File -> the image's full name typed into the open dialog.
keys "$win" F10 Right Return
dialog=$(window "^Open$" 30) || { echo "FAILED: no open dialog"; cat app.log; exit 1; }
sleep 1
xdotool windowfocus --sync "$dialog" 2>/dev/null || true
xdotool type --delay 20 "$("$wine" winepath -w "$work/$image" 2>/dev/null | tr -d '\r')"
sleep 0.3
xdotool key Return
for _ in $(seq 100); do xdotool search --onlyvisible --name "^Open$" >/dev/null 2>&1 || break; sleep 0.1; done
sleep 0.5
# Update, timed from its Return to the box.
keys "$win" F10 Right Right
start=$(date +%s.%N)
xdotool key Return
if [ -n "$shot" ]; then
  # Part way through, for the README.
  sleep 1.5
  xwd -root -silent | xwdtopnm 2>/dev/null | pnmcut -left 0 -top 0 -width 380 -height 80 |
    pnmtopng >"$shot"
fi
box=$(window "^Pelkar Update utility$" 60) || { echo "FAILED: no verdict box"; cat sim.err; exit 1; }
end=$(date +%s.%N)
for _ in $(seq 100); do kill -0 "$sim" 2>/dev/null || break; sleep 0.05; done
keys "$box" Return
if ! cmp -s saved.bin "$image"; then
  echo "FAILED: the device's saved image is not $image"
  cat sim.err
  exit 1
fi
awk -v a="$start" -v b="$end" 'BEGIN { printf "ok: Update OK, the device saved the image; Update -> box %.2f s\n", b - a }'
close_window "$win"
