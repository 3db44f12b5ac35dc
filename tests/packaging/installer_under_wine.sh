#!/usr/bin/env bash
# The Windows installer under Wine: a silent install (/S) puts both programs under Program
# Files with a Start-menu shortcut and an uninstaller, the installed pelkar1.exe runs, and a
# silent uninstall removes them all.
#
#   installer_under_wine.sh RUNNER WINE_PREFIX INSTALLER.exe
set -euo pipefail
run=$1 prefix=$2 installer=$3
wineserver="$(dirname "$(sed -n 's/^wineserver="\(.*\)"$/\1/p' "$run")")/wineserver"
[ -x "$wineserver" ] || wineserver=$(sed -n 's/^wineserver="\(.*\)"$/\1/p' "$run")
dir="$prefix/drive_c/Program Files/Pelkar1"
menu="$prefix/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Pelkar1"
failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}

"$run" "$installer" /S
WINEPREFIX=$prefix "$wineserver" --wait 2>/dev/null || true
for f in bin/Pelkar1_Update.exe bin/pelkar1.exe README.txt LICENSE.txt Uninstall.exe; do
  [ -f "$dir/$f" ] || fail "not installed: Program Files/Pelkar1/$f"
done
[ -f "$menu/Pelkar Update utility.lnk" ] || fail "no Start-menu shortcut for the window"
version=$("$run" "$dir/bin/pelkar1.exe" --version 2>/dev/null | tr -d '\r' || true)
[ -n "$version" ] || fail "the installed pelkar1.exe does not run"
[ "$failures" -eq 0 ] && echo "ok: installed ($version)"

"$run" "$dir/Uninstall.exe" /S
# The uninstaller runs a copy of itself from the temporary folder and returns at once.
for _ in $(seq 100); do [ -e "$dir/bin" ] || break; sleep 0.2; done
WINEPREFIX=$prefix "$wineserver" --wait 2>/dev/null || true
[ ! -e "$dir/bin" ] || fail "the uninstaller left $(ls "$dir/bin")"
[ ! -e "$menu" ] || fail "the uninstaller left the Start-menu folder"
[ "$failures" -eq 0 ] || exit 1
echo "ok: uninstalled"
