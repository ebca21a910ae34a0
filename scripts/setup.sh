#!/usr/bin/env bash
# Installs the Debian packages that building and running pelko need (only
# those missing) and builds a Release binary: build/pelko (or
# $PELKO_BUILD_DIR/pelko). The test-only packages are scripts/test.sh's.
#
#   bash scripts/setup.sh
#
# The unit tests are built too when GoogleTest is installed;
# PELKO_BUILD_TESTS=ON requires them, OFF leaves them out. Runs as root or
# through sudo. Debian 12 (bookworm) or later.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=${PELKO_BUILD_DIR:-$ROOT/build}
case "$BUILD_DIR" in /*) ;; *) BUILD_DIR=$ROOT/$BUILD_DIR ;; esac
source "$ROOT/scripts/packages.sh"

install_missing "${BUILD_PACKAGES[@]}"

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release \
  -DPELKO_BUILD_TESTS="${PELKO_BUILD_TESTS:-AUTO}"
cmake --build "$BUILD_DIR" -j "$jobs"
echo "setup: built $BUILD_DIR/pelko"
