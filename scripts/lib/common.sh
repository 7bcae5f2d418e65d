# Shared by the scripts in scripts/: finding the source tree and
# installing the Debian packages the build needs.

KORVANE_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

# Packages every build needs: compiler, CMake, Ninja, Qt 6 Widgets and
# SerialPort, libmodbus for the device simulator.
KORVANE_BUILD_PACKAGES=(g++ cmake ninja-build pkg-config qt6-base-dev qt6-serialport-dev libgl-dev libmodbus-dev)
# rsvg-convert renders the icons from packaging/icons/korvane.svg.
KORVANE_BUILD_PACKAGES+=(librsvg2-bin)

# Packages only the tests need: desktop-file-validate checks the installed
# desktop entry.
KORVANE_TEST_PACKAGES=(desktop-file-utils)
# Xvfb and xdotool: one end-to-end test presses a button in the real program
# on a virtual X server, then closes the program while it waits for a reply.
KORVANE_TEST_PACKAGES+=(xvfb xdotool)
# appstreamcli checks the installed AppStream data; groff and man render the
# manual pages to check them for warnings.
KORVANE_TEST_PACKAGES+=(appstream groff-base man-db)
# bash-completion's helpers, which korvane-cli's completion uses, for its test.
KORVANE_TEST_PACKAGES+=(bash-completion)

# Packages scripts/package needs: CPack's Debian generator finds the
# libraries' packages with dpkg-shlibdeps (dpkg-dev) and recognises
# executables with file.
KORVANE_PACKAGE_PACKAGES=(dpkg-dev file)
# lintian checks the packages as Debian would.
KORVANE_PACKAGE_PACKAGES+=(lintian)

# Runs a command as root: directly when we are root, otherwise through sudo.
as_root() {
  if [ "$(id -u)" -eq 0 ]; then
    "$@"
  elif command -v sudo >/dev/null 2>&1; then
    sudo "$@"
  else
    echo "error: need root (or sudo) to run: $*" >&2
    return 1
  fi
}

# ensure_packages PKG...: installs whichever of the packages is missing.
ensure_packages() {
  local missing=() p
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$p")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing missing packages: ${missing[*]}"
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# build_preset NAME [TARGET...]: configures and builds the given CMake
# preset (only the given targets, when there are any). It configures
# whenever build.ninja is missing: a configure that failed leaves
# CMakeCache.txt without it, and ninja cannot build from there.
build_preset() {
  local preset=$1
  shift
  cd "$KORVANE_ROOT"
  if [ ! -f "build/$preset/build.ninja" ]; then
    cmake --preset "$preset"
  fi
  cmake --build --preset "$preset" ${1:+--target "$@"}
}

# Packages the fuzzing scripts need on top of the build packages: clang and
# its runtime libraries (libFuzzer and the sanitizers).
KORVANE_FUZZ_PACKAGES=(clang libclang-rt-14-dev)

# Packages the benchmark needs besides the build: strace for the outside
# count of the writes on the serial device.
KORVANE_BENCH_PACKAGES=(strace)
# mbpoll: the distribution's Modbus RTU polling tool, which korvane-cli read is
# timed against (figure 8).
KORVANE_BENCH_PACKAGES+=(mbpoll)
