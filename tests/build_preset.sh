#!/usr/bin/env bash
# build_preset (scripts/lib/common.sh) configures a preset whenever its
# build.ninja is missing (no build folder yet, or a configure that failed
# and left only CMakeCache.txt behind) and otherwise only builds. CMake is
# replaced by a stand-in on PATH that records how it was called; the
# source tree is a temporary folder.
#
# Usage: build_preset.sh SOURCE_DIR
set -euo pipefail

source_dir=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
status=0

fail() {
  echo "FAIL: $*" >&2
  status=1
}

mkdir -p "$tmp/bin"
cat >"$tmp/bin/cmake" <<'STANDIN'
#!/bin/sh
echo "cmake $*" >>"$CMAKE_CALLS"
STANDIN
chmod +x "$tmp/bin/cmake"
export PATH="$tmp/bin:$PATH" CMAKE_CALLS="$tmp/calls"

# shellcheck source=../scripts/lib/common.sh
source "$source_dir/scripts/lib/common.sh"

# check NAME FILES EXPECTED ARGS...: a build/dev holding FILES (blank-
# separated, none for no folder), then build_preset ARGS; the cmake calls
# must be EXPECTED.
check() {
  local name=$1 files=$2 expected=$3 f
  shift 3
  KORVANE_ROOT=$tmp/tree
  rm -rf "$KORVANE_ROOT" "$CMAKE_CALLS"
  mkdir -p "$KORVANE_ROOT"
  for f in $files; do
    mkdir -p "$KORVANE_ROOT/build/dev"
    touch "$KORVANE_ROOT/build/dev/$f"
  done
  (build_preset "$@") >/dev/null || fail "$name: build_preset failed"
  local calls
  calls=$(cat "$CMAKE_CALLS" 2>/dev/null || true)
  [ "$calls" = "$expected" ] || fail "$name: cmake was called as
$calls
instead of
$expected"
}

check "no build folder: configured, then built" "" \
  "cmake --preset dev
cmake --build --preset dev" dev
check "a failed configure left only CMakeCache.txt: configured again" "CMakeCache.txt" \
  "cmake --preset dev
cmake --build --preset dev --target tst_ini tst_crc16" dev tst_ini tst_crc16
check "configured (build.ninja present): only built" "CMakeCache.txt build.ninja" \
  "cmake --build --preset dev --target tst_ini" dev tst_ini

[ $status -eq 0 ] && echo "build_preset: all cases pass"
exit $status
