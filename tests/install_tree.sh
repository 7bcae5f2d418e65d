#!/usr/bin/env bash
# The installed tree: installs the build into a temporary prefix
# (cmake --install BUILD --prefix TMP/root/usr) and checks that it holds
# exactly the program, the simulator, the desktop entry (valid for
# desktop-file-validate) and the AppStream data under the program's desktop
# id (valid for appstreamcli, also as a tree), the icon at every size, the
# default settings, the manual pages and each package's copyright and
# changelog (compressed with gzip -9n: no name, no time stamp); then starts
# the installed program on the offscreen platform, chosen by Qt's own
# -platform option, with a per-user settings file that maps COM1 to a
# simulated device, and checks that it opens that device, stays up, writes
# nothing on stderr and exits 0 on SIGTERM.
#
# Usage: install_tree.sh BUILD_DIR SOURCE_DIR DEVSIM APP_ID
set -euo pipefail

build=$1 source=$2 devsim=$3 id=$4

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

tmp=$(mktemp -d)
devsim_pid= korvane_pid=
cleanup() {
  [ -n "$korvane_pid" ] && kill -KILL "$korvane_pid" 2>/dev/null
  [ -n "$devsim_pid" ] && kill -TERM "$devsim_pid" 2>/dev/null && wait "$devsim_pid" 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT

# wait_for SECONDS COMMAND...: runs COMMAND until it succeeds, at most SECONDS.
wait_for() {
  local limit=$(($1 * 10))
  shift
  for ((i = 0; i < limit; i++)); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}

root=$tmp/root
prefix=$root/usr
cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" 2>&1 || {
  cat "$tmp/install.log" >&2
  fail "cmake --install failed"
}

# Exactly these files, nothing else (no tests, libraries or build files).
expected="bin/korvane
bin/korvane-cli
bin/korvane-devsim
share/applications/$id.desktop
share/bash-completion/completions/korvane-cli
share/doc/korvane-devsim/changelog.Debian.gz
share/doc/korvane-devsim/copyright
share/doc/korvane/changelog.Debian.gz
share/doc/korvane/copyright
share/icons/hicolor/128x128/apps/korvane.png
share/icons/hicolor/16x16/apps/korvane.png
share/icons/hicolor/256x256/apps/korvane.png
share/icons/hicolor/32x32/apps/korvane.png
share/icons/hicolor/48x48/apps/korvane.png
share/icons/hicolor/64x64/apps/korvane.png
share/icons/hicolor/scalable/apps/korvane.svg
share/korvane/korvane.ini
share/man/man1/korvane-cli.1.gz
share/man/man1/korvane-devsim.1.gz
share/man/man1/korvane.1.gz
share/metainfo/$id.metainfo.xml"
actual=$(cd "$prefix" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort)
[ "$actual" = "$expected" ] || fail "installed files differ:
$(diff <(echo "$expected") <(echo "$actual") || true)"
for exe in korvane korvane-cli korvane-devsim; do
  [ -x "$prefix/bin/$exe" ] || fail "bin/$exe is not executable"
done

# The desktop entry: valid (no errors, warnings or hints), and it names the
# installed executable and icon.
desktop=$prefix/share/applications/$id.desktop
command -v desktop-file-validate >/dev/null || fail "desktop-file-validate missing (Debian desktop-file-utils)"
report=$(desktop-file-validate "$desktop" 2>&1) || fail "desktop-file-validate: $report"
[ -z "$report" ] || fail "desktop-file-validate: $report"
grep -qx 'Exec=korvane' "$desktop" || fail "the desktop entry does not run korvane"
grep -qx 'Icon=korvane' "$desktop" || fail "the desktop entry does not name the icon korvane"

# Icons: a PNG of N x N pixels at every size, and the source image as the
# scalable one.
for size in 16 32 48 64 128 256; do
  png=$prefix/share/icons/hicolor/${size}x${size}/apps/korvane.png
  header=$(od -An -tx1 -N24 "$png" | tr -d ' \n')
  [ "${header:0:16}" = 89504e470d0a1a0a ] || fail "$png is not a PNG"
  width=$((16#${header:32:8})) height=$((16#${header:40:8}))
  [ "$width" = "$size" ] && [ "$height" = "$size" ] || fail "$png is ${width}x${height}, not ${size}x${size}"
done
cmp -s "$prefix/share/icons/hicolor/scalable/apps/korvane.svg" "$source/packaging/icons/korvane.svg" \
  || fail "the scalable icon is not packaging/icons/korvane.svg"
cmp -s "$prefix/share/korvane/korvane.ini" "$source/packaging/korvane.ini" \
  || fail "share/korvane/korvane.ini is not packaging/korvane.ini"

# Compressed as Debian wants it (gzip -9n: the header holds neither the
# file's name, flag 0x08, nor a time stamp), and the sources unchanged.
gzipped_as() {
  local gz=$1 original=$2 header
  header=$(od -An -tx1 -N8 "$gz" | tr -d ' \n')
  [ "${header:0:6}" = 1f8b08 ] || fail "$gz is not gzip data"
  (( (16#${header:6:2} & 8) == 0 )) || fail "$gz holds the file's name (not gzip -n)"
  [ "${header:8:8}" = 00000000 ] || fail "$gz holds a time stamp (not gzip -n)"
  gzip -dc "$gz" | cmp -s - "$original" || fail "$gz is not $original"
}
for page in korvane korvane-cli korvane-devsim; do
  gzipped_as "$prefix/share/man/man1/$page.1.gz" "$source/packaging/man/$page.1"
done
for package in korvane korvane-devsim; do
  gzipped_as "$prefix/share/doc/$package/changelog.Debian.gz" "$source/packaging/debian/changelog"
  cmp -s "$prefix/share/doc/$package/copyright" "$source/packaging/debian/copyright" \
    || fail "share/doc/$package/copyright is not packaging/debian/copyright"
done

# The AppStream data: no errors or warnings, on its own and in the tree (the
# desktop entry it launches is there); its id, launchable and newest release
# are the program's.
metainfo=$prefix/share/metainfo/$id.metainfo.xml
command -v appstreamcli >/dev/null || fail "appstreamcli missing (Debian appstream)"
for check in "validate --no-net $metainfo" "validate-tree --no-net $root"; do
  report=$(appstreamcli $check 2>&1) || true
  ! grep -qE '^ *[EW]: ' <<<"$report" || fail "appstreamcli $check:
$report"
  grep -q 'Validation was successful' <<<"$report" || fail "appstreamcli $check:
$report"
done
grep -qx "  <id>$id</id>" "$metainfo" || fail "the AppStream id is not $id"
grep -qx "  <launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" \
  || fail "the AppStream data does not launch $id.desktop"
version=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$prefix/bin/korvane" --version) \
  || fail "korvane --version failed"
release=$(grep -m1 -o '<release version="[^"]*"' "$metainfo" | cut -d'"' -f2)
[ "$version" = "korvane $release" ] || fail "the newest AppStream release is $release, the program says \"$version\""
cli_version=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$prefix/bin/korvane-cli" --version) \
  || fail "korvane-cli --version failed"
[ "$cli_version" = "korvane-cli $release" ] || fail "korvane-cli says \"$cli_version\", not korvane-cli $release"
cmp -s "$prefix/share/bash-completion/completions/korvane-cli" "$source/packaging/completion/korvane-cli" \
  || fail "the bash completion is not packaging/completion/korvane-cli"

# Starting the installed program. Its settings: no korvane.ini beside it (the
# file list above), so the per-user file in XDG_CONFIG_HOME, mapping COM1 to
# the simulated device. HOME lies below a plain file, so that nothing can be
# created there: a program that looked in ~/.config instead would find no
# settings and open no port.
unset QT_QPA_PLATFORM DISPLAY WAYLAND_DISPLAY
export XDG_CONFIG_HOME=$tmp/config
export XDG_RUNTIME_DIR=$tmp/runtime
mkdir -m 700 "$XDG_RUNTIME_DIR"
touch "$tmp/not-a-folder"
export HOME=$tmp/not-a-folder/home

"$devsim" >"$tmp/devsim.out" 2>&1 &
devsim_pid=$!
wait_for 10 grep -q '^device: ' "$tmp/devsim.out" || fail "korvane-devsim did not start: $(cat "$tmp/devsim.out")"
device=$(sed -n 's/^device: //p' "$tmp/devsim.out")

# korvane-cli reads the settings without creating any: with no per-user
# file yet, the installed default (slave 1) is read, and no folder appears.
cli_out=$("$prefix/bin/korvane-cli" --port "$device" read 2>"$tmp/cli.err") \
  || fail "korvane-cli read failed: $(cat "$tmp/cli.err")"
[[ $cli_out =~ ^-?[0-9]+$ ]] || fail "korvane-cli read printed \"$cli_out\""
[ ! -e "$XDG_CONFIG_HOME" ] || fail "korvane-cli created $XDG_CONFIG_HOME"

user_ini=$XDG_CONFIG_HOME/korvane/korvane.ini
mkdir -p "$(dirname "$user_ini")"
printf '[Settings]\nCommPort=1\nSetting=9600,n,8,2\nSlaveID=1\n[Ports]\nCOM1=%s\n' "$device" >"$user_ini"

# No display: only Qt's own -platform option, passed on, lets it start; the
# title's value "--help" is Qt's too and no request for help.
"$prefix/bin/korvane" -platform offscreen -qwindowtitle --help >"$tmp/stdout" 2>"$tmp/stderr" &
korvane_pid=$!

holds_device() { ls -l "/proc/$korvane_pid/fd" 2>/dev/null | grep -q -- "-> $device\$"; }
wait_for 20 holds_device || fail "korvane did not open COM1 ($device); stderr: $(cat "$tmp/stderr")"
sleep 2
kill -0 "$korvane_pid" 2>/dev/null || fail "korvane stopped by itself; stderr: $(cat "$tmp/stderr")"
holds_device || fail "korvane closed COM1 ($device)"

kill -TERM "$korvane_pid"
status=0
wait "$korvane_pid" || status=$?
korvane_pid=
[ "$status" -eq 0 ] || fail "korvane exited with status $status on SIGTERM; stderr: $(cat "$tmp/stderr")"
[ ! -s "$tmp/stderr" ] || fail "korvane wrote on stderr: $(cat "$tmp/stderr")"
[ ! -s "$tmp/stdout" ] || fail "korvane wrote on stdout: $(cat "$tmp/stdout")"

# On exit it stored its settings in the per-user file, and nowhere else.
grep -q '^CommPort=1' "$user_ini" && grep -qx "COM1=$device" "$user_ini" || fail "the settings file lost its values: $(cat "$user_ini")"
[ ! -e "$prefix/bin/korvane.ini" ] || fail "korvane created bin/korvane.ini"
cmp -s "$prefix/share/korvane/korvane.ini" "$source/packaging/korvane.ini" || fail "the installed default was changed"

echo "installed tree and start-up: OK"
