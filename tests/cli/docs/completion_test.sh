#!/usr/bin/env bash
# The generated bash completion offers what the parser takes, and the manual page is valid.
# Usage: completion_test.sh PELKAR1.BASH PELKAR1.1
set -u
source "$1"
fail=0
expect() {  # expect "WORDS..." "REPLY": the completion of the last word
  local words=($1)
  COMP_WORDS=("${words[@]}")
  [[ $1 == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _pelkar1
  if [[ "${COMPREPLY[*]}" != "$2" ]]; then
    echo "'$1': got '${COMPREPLY[*]}', expected '$2'"
    fail=1
  fi
}
expect "pelkar1 upd" "update"
expect "pelkar1 update --re" "--repeat"
expect "pelkar1 update --port 33 --lo" "--log"
expect "pelkar1 update --port rfc" "rfc2217://"
expect "pelkar1 update --port so" "socket://"
expect "pelkar1 update --timeout " ""
expect "pelkar1 simulate --next" "--next-unit-ms"
expect "pelkar1 help sim" "simulate"
if command -v groff >/dev/null; then
  warnings=$(groff -man -ww -z "$2" 2>&1)
  [[ -z $warnings ]] || { echo "groff: $warnings"; fail=1; }
  grep -q -- '--repeat' <(groff -man -Tascii -P -cbou "$2" 2>/dev/null) || { echo "no --repeat in the page"; fail=1; }
  grep -q -- 'rfc2217://HOST:PORT' <(groff -man -Tascii -P -cbou "$2" 2>/dev/null) || { echo "no network ports in the page"; fail=1; }
fi
exit $fail
