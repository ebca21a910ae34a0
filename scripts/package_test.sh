#!/usr/bin/env bash
# Installs the Release build under a scratch prefix, builds the Debian
# package from it, installs the package on this machine, runs the installed
# program and removes the package again (also when a check fails).
#
#   bash scripts/package_test.sh
#
# Needs a configured and built tree in build/ (or $PELKO_BUILD_DIR), as
# scripts/setup.sh leaves it, and root or sudo to install the package;
# without either the package part is skipped, with a line that says so.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=${PELKO_BUILD_DIR:-$ROOT/build}
case "$BUILD_DIR" in /*) ;; *) BUILD_DIR=$ROOT/$BUILD_DIR ;; esac
TMP=$(mktemp -d "${TMPDIR:-/tmp}/pelko_package.XXXXXX")
INSTALLED=0
SUDO=()

fail() {
  echo "package: FAIL: $*" >&2
  exit 1
}

cleanup() {
  if [ "$INSTALLED" = 1 ]; then
    echo "package: removing pelko after a failure"
    "${SUDO[@]}" dpkg --purge pelko >/dev/null 2>&1 || true
  fi
  rm -rf "$TMP"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The version the program reports is the one the package must carry.
version=$(find "$ROOT/src" -name '*.h' -exec \
  sed -nE 's/^#define[ \t]+PELKO_VERSION[ \t]+"([^"]+)".*/\1/p' {} + | head -n 1)
[ -n "$version" ] || fail "no PELKO_VERSION define in src/"
arch=$(dpkg --print-architecture)
deb_name=pelko_${version}_${arch}.deb

# A small input: random data, one copy of it and zeros, so that the final
# row has an exact dedupe ratio to compare with.
mkdir "$TMP/data"
head -c 2M /dev/urandom >"$TMP/data/a"
cp "$TMP/data/a" "$TMP/data/b"
head -c 1M /dev/zero >"$TMP/data/z"

# check_program BINARY LABEL: version line, a complete run over the data.
check_program() {
  local bin=$1 label=$2 out rc=0
  out=$("$bin" -V) || fail "$label: -V failed"
  case "$out" in
    *" $version, "*) ;;
    *) fail "$label: -V says \"$out\", want version $version" ;;
  esac
  "$bin" -p "$TMP/data" -t 2 -o "$TMP/report" >"$TMP/out" 2>"$TMP/err" \
    </dev/null || rc=$?
  [ "$rc" = 0 ] || { cat "$TMP/err" >&2; fail "$label: run exit status $rc"; }
  grep -q '^SUMMARY: complete run$' "$TMP/report" \
    || fail "$label: no summary of a complete run in the report"
  # Final row: 320 chunks, 129 distinct (128 random, one zero content).
  local row
  row=$(grep -E '^[0-9]+s\.'$'\t' "$TMP/report" | tail -n 1)
  case "$row" in
    *"(100.000%)"*$'\t'"2.48062"$'\t'*) ;;
    *) fail "$label: final row \"$row\", want 100% and dedupe 2.48062" ;;
  esac
}

echo "package: cmake --install under a scratch prefix"
cmake --build "$BUILD_DIR" -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
cmake --install "$BUILD_DIR" --prefix "$TMP/prefix" >/dev/null
files=$(cd "$TMP/prefix" && find . -type f | sort | xargs)
[ "$files" = "./bin/pelko ./share/man/man1/pelko.1.gz" ] \
  || fail "installed files: $files"
check_program "$TMP/prefix/bin/pelko" "installed under a prefix"
zcat "$TMP/prefix/share/man/man1/pelko.1.gz" | cmp -s - "$ROOT/doc/pelko.1" \
  || fail "the installed manual page is not doc/pelko.1"

echo "package: cpack"
(cd "$TMP" && cpack --config "$BUILD_DIR/CPackConfig.cmake" -B "$TMP/pkg" >"$TMP/cpack.log" 2>&1) \
  || { cat "$TMP/cpack.log" >&2; fail "cpack failed"; }
deb=$TMP/pkg/$deb_name
[ -f "$deb" ] || fail "no $deb_name; cpack wrote: $(ls "$TMP/pkg" | xargs)"
contents=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $NF }' | xargs)
[ "$contents" = "./usr/bin/pelko ./usr/share/man/man1/pelko.1.gz" ] \
  || fail "package holds: $contents"
depends=$(dpkg-deb -f "$deb" Depends)
[ -n "$depends" ] || fail "package has no dependencies"
echo "package: $deb_name, Depends: $depends"

if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
    SUDO=(sudo -n)
  else
    echo "package: SKIPPED installing the package: needs root or sudo without a password"
    exit 0
  fi
fi
if dpkg-query -W -f='${Status}' pelko 2>/dev/null | grep -q 'install ok' \
    || [ -e /usr/bin/pelko ]; then
  fail "pelko is installed on this machine already; remove it to run this check"
fi

echo "package: apt-get install"
INSTALLED=1
"${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y --no-install-recommends "$deb" >"$TMP/apt.log" 2>&1 \
  || { cat "$TMP/apt.log" >&2; fail "apt-get install failed"; }
[ "$(command -v pelko)" = /usr/bin/pelko ] \
  || fail "pelko on the PATH is \"$(command -v pelko)\", not /usr/bin/pelko"
check_program /usr/bin/pelko "installed package"
page=$(man -w pelko) || fail "man -w pelko finds no page"
[ "$page" = /usr/share/man/man1/pelko.1.gz ] || fail "man -w pelko: $page"
warnings=$(MANWIDTH=80 man --warnings=w pelko 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "man pelko warns: $warnings"

echo "package: apt-get remove"
"${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get remove --purge -y pelko >"$TMP/apt.log" 2>&1 \
  || { cat "$TMP/apt.log" >&2; fail "apt-get remove failed"; }
INSTALLED=0
[ ! -e /usr/bin/pelko ] || fail "/usr/bin/pelko is left after the removal"
[ ! -e /usr/share/man/man1/pelko.1.gz ] || fail "the manual page is left after the removal"
if dpkg-query -W -f='${Status}' pelko 2>/dev/null | grep -q 'install ok'; then
  fail "dpkg still lists pelko as installed"
fi
echo "package: built, installed, ran and removed $deb_name"
