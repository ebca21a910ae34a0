#!/usr/bin/env bash
# Installs the test-only packages, sets up, builds and runs every test
# stage in order; stops at the first stage that fails.
#
#   bash scripts/test.sh
#
# The build directory is build/ unless PELKO_BUILD_DIR names another.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export PELKO_BUILD_DIR=${PELKO_BUILD_DIR:-$ROOT/build}
case "$PELKO_BUILD_DIR" in /*) ;; *) PELKO_BUILD_DIR=$ROOT/$PELKO_BUILD_DIR ;; esac
JOBS=$(nproc 2>/dev/null || echo 2)

stage() {
  echo
  echo "==== $* ==== (${SECONDS}s since start)"
}

stage "1. packages, setup and Release build"
# Building's and the tests' packages in one go, then the build with its tests.
source "$ROOT/scripts/packages.sh"
install_missing "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
PELKO_BUILD_TESTS=ON bash "$ROOT/scripts/setup.sh"
# The benchmarks and the simulator are built too (not run here), so that
# a change to the library's headers cannot leave them broken unnoticed.
cmake -S "$ROOT" -B "$PELKO_BUILD_DIR" -DPELKO_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$PELKO_BUILD_DIR" -j "$JOBS"

stage "2. unit and CLI tests (ctest)"
ctest --test-dir "$PELKO_BUILD_DIR" --output-on-failure -j "$JOBS"

# sanitized_build DIR SANITIZERS: a build with sanitizers and debugging
# information, at -O1: it takes a third less time than at -O2, and the tests
# run about as long.
sanitized_build() {
  local flags="-O1 -DNDEBUG"
  cmake -S "$ROOT" -B "$1" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELKO_SANITIZE="$2" \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$flags" -DCMAKE_C_FLAGS_RELWITHDEBINFO="$flags" \
    -DPELKO_BUILD_TESTS=ON -DPELKO_CLI_TEST_TIMEOUT=1800 >/dev/null
  cmake --build "$1" -j "$JOBS"
}
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1

# The memory-cap test is left out of sanitized runs: shadow memory makes the
# resident size meaningless there.
stage "3. AddressSanitizer + UndefinedBehaviorSanitizer: unit and CLI tests"
sanitized_build "$ROOT/build-asan" address,undefined
ctest --test-dir "$ROOT/build-asan" --output-on-failure -j "$JOBS" -E 'cli\.memcap'

stage "4. ThreadSanitizer: unit tests and end-to-end runs"
sanitized_build "$ROOT/build-tsan" thread
ctest --test-dir "$ROOT/build-tsan" --output-on-failure -j "$JOBS" \
  -E 'cli\.(memcap|pipe|readonly|cli_)'

stage "5. fuzzing (clang, ASan + UBSan), 30 s per target"
bash "$ROOT/scripts/fuzz.sh" 30

stage "6. Debian package: build, install, run, remove"
bash "$ROOT/scripts/package_test.sh"

stage "7. Windows: cross-build, unit tests and runs under Wine"
# Installs its own packages; the static libraries are built once into a
# prefix under build-windows/ and reused while their sources stay the same.
bash "$ROOT/scripts/build_windows.sh"
bash "$ROOT/tests/windows/wine_test.sh" "${PELKO_WIN_BUILD_DIR:-$ROOT/build-windows}" \
  "$PELKO_BUILD_DIR/pelko"

# Further stages are appended here, each opened by `stage "N. name"`.

echo
echo "test: all stages passed in ${SECONDS}s"
