#!/usr/bin/env bash
# The manual pages korvane(1), korvane-cli(1) and korvane-devsim(1): they
# render without a warning (groff -ww, and man --warnings as lintian runs
# it), every option that a program's --help lists is an item of its page's
# OPTIONS and every item there is one that --help lists; likewise
# korvane-cli's commands (--help's "Commands" and its page's COMMANDS) and
# the simulator's faults (--help's "Behaviours" and its page's FAULTS).
#
# Usage: manpages.sh SOURCE_DIR KORVANE DEVSIM KORVANE_CLI
set -euo pipefail

source=$1 korvane=$2 devsim=$3 cli=$4
pages=$source/packaging/man
status=0

fail() {
  echo "FAIL: $*" >&2
  status=1
}

for tool in groff man; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool missing (Debian groff-base, man-db)" >&2; exit 1; }
done

# No warnings from either renderer.
for page in "$pages/korvane.1" "$pages/korvane-cli.1" "$pages/korvane-devsim.1"; do
  report=$(groff -man -ww -z "$page" 2>&1) || fail "groff failed on $page: $report"
  [ -z "$report" ] || fail "groff warns about $page:
$report"
  report=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null) \
    || fail "man failed on $page: $report"
  [ -z "$report" ] || fail "man --warnings reports on $page:
$report"
done

# tags PAGE SECTION: the item tags (the line after each .TP) of a section
# (up to the next .SH), each rendered as text on a line of its own.
tags() {
  local page=$1 section=$2
  {
    echo '.TH T 1'
    awk -v want=".SH $section" '
      /^\.SH/ { inside = ($0 == want); next }
      inside && /^\.TP/ { tp = 1; next }
      inside && tp { print ".PP"; print; tp = 0 }
    ' "$page"
  } | groff -man -Tascii -P-c -rLL=300n 2>/dev/null | col -b | sed -n 's/^ \{7\}//p' | grep -v '^$' || true
}

# option_names: the option names on each line of stdin ("-h, --help",
# "--slave N", "-style NAME, -style=NAME"), one per line, sorted.
option_names() {
  grep -oE '(^|, )--?[A-Za-z0-9][A-Za-z0-9-]*' | sed 's/^, //' | LC_ALL=C sort -u
}

# compare WHAT EXPECTED ACTUAL
compare() {
  if [ "$2" != "$3" ]; then
    fail "$1 differ (< --help, > manual page):
$(diff <(echo "$2") <(echo "$3") || true)"
  elif [ -z "$2" ]; then
    fail "$1: none found"
  fi
}

# help_options PROGRAM: the option names of the lines of --help that start
# with an option ("  -h, --help ...").
help_options() {
  "$1" --help | grep -E '^  -' | sed 's/^ *//' | option_names
}

compare "korvane's options" "$(help_options "$korvane")" \
  "$(tags "$pages/korvane.1" OPTIONS | option_names)"
compare "korvane-cli's options" "$(help_options "$cli")" \
  "$(tags "$pages/korvane-cli.1" OPTIONS | option_names)"
compare "korvane-devsim's options" "$(help_options "$devsim")" \
  "$(tags "$pages/korvane-devsim.1" OPTIONS | option_names)"

# help_items PROGRAM HEADING PATTERN: the start (PATTERN) of each item of the
# --help section that begins with HEADING; page_items PAGE SECTION PATTERN:
# the same of each item of a manual page's section.
help_items() {
  "$1" --help | awk -v heading="$2" 'index($0, heading) == 1 { inside = 1; next } /^$/ { inside = 0 } inside' \
    | grep -oE "^  $3" | sed 's/^ *//' | LC_ALL=C sort -u
}
page_items() {
  tags "$1" "$2" | grep -oE "^$3" | LC_ALL=C sort -u
}
# korvane-cli's commands ("number N" -> number) and the simulator's faults
# ("delay:MS").
compare "korvane-cli's commands" "$(help_items "$cli" Commands: '[a-z]+')" \
  "$(page_items "$pages/korvane-cli.1" COMMANDS '[a-z]+')"
compare "korvane-devsim's faults" "$(help_items "$devsim" Behaviours '[a-z]+(:[A-Z]+)?')" \
  "$(page_items "$pages/korvane-devsim.1" FAULTS '[a-z]+(:[A-Z]+)?')"

[ "$status" -eq 0 ] && echo "manual pages: OK"
exit "$status"
