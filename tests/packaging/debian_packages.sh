#!/usr/bin/env bash
# The Debian packages as a user receives them: lintian finds no error (and no warning but the
# ones kept below), the desktop entry is valid, both install with apt-get, the installed tool
# runs with its manual page and completion, the window starts, and a purge leaves no file.
#
#   debian_packages.sh DIR   (DIR holds pelkar1_*.deb and pelkar1-update_*.deb)
# Installing needs root; elsewhere that part is skipped with a line saying so.
set -euo pipefail
dir=$(cd "$1" && pwd)
tool=$(ls "$dir"/pelkar1_*.deb)
window=$(ls "$dir"/pelkar1-update_*.deb)
failures=0 passes=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}
ok() {
  echo "ok: $*"
  passes=$((passes + 1))
}
# The closing line, as test runners give it.
finish() {
  echo "debian_packages: $passes passed, $failures failed"
  [ "$failures" -eq 0 ]
  exit
}

# Any error or warning fails, with the informational tags shown too. No warning is kept.
for deb in "$tool" "$window"; do
  # (It says once that it runs as root, which CI does.)
  report=$(lintian --no-cfg --display-info "$deb" 2>&1 | grep -v 'running with root privileges' || true)
  echo "lintian $(basename "$deb"):"
  if [ -n "$report" ]; then echo "$report" | sed 's/^/  /'; else echo "  (nothing)"; fi
  if echo "$report" | grep -qE '^[EW]: '; then
    fail "lintian: errors or warnings in $(basename "$deb")"
  else
    ok "lintian $(basename "$deb")"
  fi
done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
dpkg-deb -x "$window" "$tmp/window"
if desktop-file-validate "$tmp/window/usr/share/applications/pelkar1-update.desktop"; then
  ok "desktop-file-validate"
else
  fail "desktop-file-validate"
fi
version=$(dpkg-deb -f "$tool" Version)
for deb in "$tool" "$window"; do
  echo "$(dpkg-deb -f "$deb" Package) $(dpkg-deb -f "$deb" Version), $(stat -c %s "$deb") bytes," \
    "Depends: $(dpkg-deb -f "$deb" Depends)"
done

if [ "$(id -u)" -ne 0 ]; then
  echo "Installing skipped: it needs root (CI runs as root)."
  finish
fi
for p in pelkar1 pelkar1-update; do
  if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
    echo "Installing skipped: $p is installed on this machine already; it is left as it is."
    finish
  fi
done

export DEBIAN_FRONTEND=noninteractive
if ! apt-get install -y -q "$tool" "$window" >"$tmp/apt.log" 2>&1; then
  cat "$tmp/apt.log"
  fail "apt-get install ./$(basename "$tool") ./$(basename "$window")"
else
  ok "apt-get install"
  dpkg -L pelkar1 pelkar1-update | sort -u >"$tmp/files"
  # As a user of the machine, not root: the tool, its page and its completion.
  as_user() { runuser -u nobody -- env -i PATH=/usr/bin:/bin HOME=/tmp "$@"; }
  got=$(as_user pelkar1 --version 2>&1 || true)
  [[ $got == *"$version"* ]] && ok "pelkar1 --version: $got" || fail "pelkar1 --version: '$got'"
  page=$(as_user man -w pelkar1 2>&1 || true)
  [ "$page" = /usr/share/man/man1/pelkar1.1.gz ] && ok "man -w pelkar1: $page" || fail "man -w pelkar1: '$page'"
  as_user man -w Pelkar1_Update >/dev/null 2>&1 && ok "man -w Pelkar1_Update" || fail "man -w Pelkar1_Update"
  if text=$(as_user sh -c 'MANWIDTH=80 man pelkar1 2>/dev/null' | grep -c -- '--repeat'); then
    ok "man pelkar1 renders ($text lines name --repeat)"
  else
    fail "man pelkar1 does not render"
  fi
  completion=$(as_user bash -c 'source /usr/share/bash-completion/completions/pelkar1; complete -p pelkar1' 2>&1 || true)
  [[ $completion == *"-F _pelkar1 pelkar1"* ]] && ok "completion: $completion" || fail "completion: '$completion'"
  offered=$(as_user bash -c 'source /usr/share/bash-completion/completions/pelkar1
    COMP_WORDS=(pelkar1 upd); COMP_CWORD=1; _pelkar1; echo "${COMPREPLY[*]}"' 2>&1 || true)
  [ "$offered" = update ] && ok "completion of 'pelkar1 upd': update" || fail "completion of 'pelkar1 upd': '$offered'"
  # The window starts from the installed files (every library it loads is a dependency); it
  # runs until stopped.
  rc=0
  as_user timeout 3 env QT_QPA_PLATFORM=offscreen /usr/bin/Pelkar1_Update >"$tmp/window.log" 2>&1 || rc=$?
  [ "$rc" -eq 124 ] && ok "Pelkar1_Update starts" || { cat "$tmp/window.log"; fail "Pelkar1_Update ended with $rc"; }
  [ -f /usr/share/icons/hicolor/scalable/apps/pelkar1-update.svg ] && ok "icon installed" || fail "no scalable icon"
fi

apt-get purge -y -q pelkar1 pelkar1-update >"$tmp/apt.log" 2>&1 || { cat "$tmp/apt.log"; fail "apt-get purge"; }
for p in pelkar1 pelkar1-update; do
  if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "installed"; then fail "$p still installed"; fi
done
left=()
while read -r f; do
  [ -f "$f" ] || [ -L "$f" ] && left+=("$f")
done <"$tmp/files"
[ ${#left[@]} -eq 0 ] && ok "apt-get purge leaves no file ($(wc -l <"$tmp/files") paths checked)" \
  || fail "left after purge: ${left[*]}"

finish
