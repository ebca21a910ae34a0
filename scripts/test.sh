#!/usr/bin/env bash
# Sets up, builds and runs every test stage in order; stops at the first
# stage that fails.
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
  echo "==== $* ===="
}

stage "1. setup and Release build"
bash "$ROOT/scripts/setup.sh"

stage "2. unit and CLI tests (ctest)"
ctest --test-dir "$PELKO_BUILD_DIR" --output-on-failure -j "$JOBS"

# Further stages are appended here, each opened by `stage "N. name"`.

echo
echo "test: all stages passed"
