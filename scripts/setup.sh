#!/usr/bin/env bash
# Installs the Debian packages pelko needs (only those missing) and builds a
# Release binary: build/pelko (or $PELKO_BUILD_DIR/pelko).
#
#   bash scripts/setup.sh
#
# Runs as root or through sudo. Debian 12 (bookworm) or later.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=${PELKO_BUILD_DIR:-$ROOT/build}
case "$BUILD_DIR" in /*) ;; *) BUILD_DIR=$ROOT/$BUILD_DIR ;; esac

PACKAGES=(
  build-essential cmake pkg-config      # compiler and build
  coinor-libclp-dev coinor-libcoinutils-dev liblz4-dev libxxhash-dev  # linked by pelko
  nlohmann-json3-dev                    # --json output
  libgtest-dev libbenchmark-dev libabsl-dev  # tests, benchmarks, btree map
  lz4 python3 clang libclang-rt-dev     # test tools, fuzzing and sanitizers
  librsvg2-bin                          # renders the --plot chart in its test
  e2fsprogs util-linux time strace      # file-system images, peak memory, open tracing
  groff-base man-db                     # manual page checks
  dpkg-dev file                         # Debian package (dpkg-shlibdeps)
)

missing=()
for pkg in "${PACKAGES[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$pkg")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  if [ "$(id -u)" -eq 0 ]; then
    SUDO=()
  elif command -v sudo >/dev/null 2>&1; then
    SUDO=(sudo)
  else
    echo "setup: need root or sudo to install: ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  "${SUDO[@]}" apt-get update
  "${SUDO[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release
cmake --build "$BUILD_DIR" -j "$jobs"
echo "setup: built $BUILD_DIR/pelko"
