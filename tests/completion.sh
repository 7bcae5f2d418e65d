#!/usr/bin/env bash
# korvane-cli's bash completion: what it offers after a table of command
# lines, with bash-completion's own helpers loaded as an interactive shell
# has them.
#
# Usage: completion.sh SOURCE_DIR
set -uo pipefail

source=$1
helpers=/usr/share/bash-completion/bash_completion
[ -r "$helpers" ] || { echo "FAIL: $helpers missing (Debian bash-completion)" >&2; exit 1; }
# shellcheck disable=SC1090
source "$helpers"
# shellcheck disable=SC1091
source "$source/packaging/completion/korvane-cli"
status=0

# offers LINE EXPECTED: the words offered for LINE (the cursor at its end),
# sorted, against EXPECTED.
offers() {
  local line=$1 expected=$2
  read -r -a COMP_WORDS <<<"$line"
  [[ $line == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMP_LINE=$line
  COMP_POINT=${#line}
  COMPREPLY=()
  _korvane_cli korvane-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  local got
  got=$(printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | tr '\n' ' ' | sed 's/ $//')
  if [ "$got" != "$expected" ]; then
    echo "FAIL: \"$line\": offered \"$got\", expected \"$expected\"" >&2
    status=1
  fi
}

offers "korvane-cli re" "read reset"
offers "korvane-cli --json ou" "output"
offers "korvane-cli output " "1 2"
offers "korvane-cli output 2 " "off on"
offers "korvane-cli --slave 3 buzzer o" "off on"
offers "korvane-cli --baud " "19200 4800 9600"
offers "korvane-cli read --format 8" "8E1 8N2 8O1"
offers "korvane-cli --port CO" "COM1 COM2 COM3 COM4 COM5 COM6"
offers "korvane-cli number " ""
offers "korvane-cli number -5 --ti" "--timeout"
offers "korvane-cli watch --in" "--interval"

[ "$status" -eq 0 ] && echo "completion: OK"
exit "$status"
