#!/usr/bin/env bash
# Cross-builds pelko for 64-bit Windows on Debian with mingw-w64: pelko.exe
# and the unit-test executable pelko_tests.exe, statically linked, and the
# release archive pelko-VERSION-win64.zip.
#
#   bash scripts/build_windows.sh
#
# Installs the packages it needs (scripts/packages.sh: WINDOWS_PACKAGES).
# The libraries pelko links (CoinUtils, Clp, LZ4, zstd, zlib, xxHash) are built as
# static libraries from Debian's source packages, fetched with apt-get source
# through a source list and package lists of this build's own (the system's
# lists are left alone), into a prefix under the build tree whose name is a
# key of the source versions, the compiler version and this script's build
# steps: a later run with the same key reuses it. GoogleTest (for the tests)
# comes from Debian's googletest package, nlohmann/json from its headers.
#
# The build directory is build-windows/ unless PELKO_WIN_BUILD_DIR names
# another. Runs as root or through sudo (for apt).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=${PELKO_WIN_BUILD_DIR:-$ROOT/build-windows}
case "$BUILD_DIR" in /*) ;; *) BUILD_DIR=$ROOT/$BUILD_DIR ;; esac
source "$ROOT/scripts/packages.sh"
install_missing "${WINDOWS_PACKAGES[@]}"

HOST=x86_64-w64-mingw32
CC=$HOST-gcc-posix
CXX=$HOST-g++-posix
JOBS=$(nproc 2>/dev/null || echo 2)
mkdir -p "$BUILD_DIR"

# The source packages and their versions (those of Debian 12).
SOURCES=(coinutils=2.11.4+repack1-2 clp=1.17.6-3 lz4=1.9.4-1 xxhash=0.8.1-1
  libzstd=1.5.4+dfsg2-5 zlib=1:1.2.13.dfsg-1)

# The prefix's key: what would change the libraries in it.
key=$( {
  printf '%s\n' "${SOURCES[@]}"
  $CXX --version | head -n 1
  sed -n '/^# --- libraries: begin/,/^# --- libraries: end/p' "${BASH_SOURCE[0]}"
} | sha256sum | cut -c1-16)
PREFIX=$BUILD_DIR/prefix-$key

# --- libraries: begin
build_libraries() {
  local work=$BUILD_DIR/libsrc
  rm -rf "$work" "$PREFIX.part"
  mkdir -p "$work/apt/lists/partial" "$work/apt/cache/archives/partial" \
    "$PREFIX.part/lib/pkgconfig" "$PREFIX.part/include" "$PREFIX.part/licenses"
  # Debian's own archive and keyring, as the machine's sources name them.
  local uri keyring
  uri=$( { sed -n 's/^URIs:[ \t]*//p' /etc/apt/sources.list.d/*.sources 2>/dev/null
           sed -n 's/^deb[ \t]\+\(\[[^]]*\][ \t]\+\)\?\([^ \t]*\).*/\2/p' /etc/apt/sources.list 2>/dev/null
         } | grep -E '/debian/?$' | head -n 1 || true)
  uri=${uri:-http://deb.debian.org/debian}
  keyring=/usr/share/keyrings/debian-archive-keyring.gpg
  cat >"$work/apt/debian-src.sources" <<EOF
Types: deb-src
URIs: $uri
Suites: bookworm
Components: main
Signed-By: $keyring
EOF
  local apt_opts=(-o Dir::Etc::sourcelist="$work/apt/debian-src.sources" -o Dir::Etc::sourceparts=-
    -o Dir::State::Lists="$work/apt/lists" -o Dir::Cache="$work/apt/cache"
    -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache= -o APT::Sandbox::User=root)
  apt-get "${apt_opts[@]}" -qq update
  (cd "$work" && apt-get "${apt_opts[@]}" -qq source --download-only "${SOURCES[@]}")
  local s name
  for s in "${SOURCES[@]}"; do
    name=${s%%=*}
    (cd "$work" && dpkg-source -x --no-check "$name"_*.dsc "$name" >/dev/null)
    cp "$work/$name/debian/copyright" "$PREFIX.part/licenses/$name.txt"
  done

  local common=(--host=$HOST --build=x86_64-pc-linux-gnu --prefix="$PREFIX.part"
    --enable-static --disable-shared --without-blas --without-lapack --without-glpk
    CC=$CC CXX=$CXX F77=unavailable PKG_CONFIG=$HOST-pkg-config
    PKG_CONFIG_LIBDIR="$PREFIX.part/lib/pkgconfig" PKG_CONFIG_PATH=
    CFLAGS=-O2 CXXFLAGS=-O2)
  # logged LOG COMMAND...: the command's output goes to LOG, shown if it fails.
  logged() {
    local log=$1
    shift
    "$@" >"$log" 2>&1 || { tail -n 40 "$log" >&2; echo "build_windows: failed: $*" >&2; return 1; }
  }
  (cd "$work/coinutils" &&
     logged configure.log ./configure "${common[@]}" --disable-zlib --disable-bzlib &&
     logged make.log make -j"$JOBS" && logged install.log make install)
  (cd "$work/clp" &&
     logged configure.log ./configure "${common[@]}" --without-amd --without-cholmod \
       --without-mumps --without-asl --without-osi --without-ositests --without-netlib \
       --without-sample &&
     logged make.log make -j"$JOBS" && logged install.log make install)

  logged "$work/lz4.log" make -C "$work/lz4/lib" -j"$JOBS" liblz4.a CC=$CC AR=$HOST-ar
  cp "$work/lz4/lib/liblz4.a" "$PREFIX.part/lib/"
  cp "$work/lz4/lib/"lz4*.h "$PREFIX.part/include/"
  cat >"$PREFIX.part/lib/pkgconfig/liblz4.pc" <<EOF
prefix=$PREFIX
Name: lz4
Description: LZ4 (static, from Debian's source package)
Version: 1.9.4
Libs: -L\${prefix}/lib -llz4
Cflags: -I\${prefix}/include
EOF
  # zstd: the library alone, without its multithreaded compressor (pelko's
  # readers each compress their own chunks) or the legacy formats' decoders.
  logged "$work/zstd.log" make -C "$work/libzstd/lib" -j"$JOBS" libzstd.a \
    CC=$CC AR=$HOST-ar ZSTD_LEGACY_SUPPORT=0 ZSTD_MULTITHREAD_SUPPORT=0
  cp "$work/libzstd/lib/libzstd.a" "$PREFIX.part/lib/"
  cp "$work/libzstd/lib/"{zstd.h,zstd_errors.h,zdict.h} "$PREFIX.part/include/"
  cat >"$PREFIX.part/lib/pkgconfig/libzstd.pc" <<EOF
prefix=$PREFIX
Name: zstd
Description: zstd (static, from Debian's source package)
Version: 1.5.4
Libs: -L\${prefix}/lib -lzstd
Cflags: -I\${prefix}/include
EOF
  # zlib: Debian's source leaves out its Windows makefiles; the library is
  # its fifteen C files, compiled as they stand.
  local f objs=()
  for f in adler32 compress crc32 deflate gzclose gzlib gzread gzwrite infback \
           inffast inflate inftrees trees uncompr zutil; do
    logged "$work/zlib.log" $CC -O2 -c "$work/zlib/$f.c" -o "$work/zlib/$f.o"
    objs+=("$work/zlib/$f.o")
  done
  $HOST-ar rcs "$PREFIX.part/lib/libz.a" "${objs[@]}"
  cp "$work/zlib/"{zlib.h,zconf.h} "$PREFIX.part/include/"
  cat >"$PREFIX.part/lib/pkgconfig/zlib.pc" <<EOF
prefix=$PREFIX
Name: zlib
Description: zlib (static, from Debian's source package)
Version: 1.2.13
Libs: -L\${prefix}/lib -lz
Cflags: -I\${prefix}/include
EOF
  cp "$work/xxhash/xxhash.h" "$work/xxhash/xxh3.h" "$PREFIX.part/include/"
  cat >"$PREFIX.part/lib/pkgconfig/libxxhash.pc" <<EOF
prefix=$PREFIX
Name: libxxhash
Description: xxHash, inlined (headers from Debian's source package)
Version: 0.8.1
Libs:
Cflags: -I\${prefix}/include -DXXH_INLINE_ALL
EOF

  # Header-only and test libraries from Debian's binary packages.
  cp -r /usr/include/nlohmann "$PREFIX.part/include/"
  mkdir -p "$PREFIX.part/share/cmake"
  cp -r /usr/share/cmake/nlohmann_json "$PREFIX.part/share/cmake/"
  cp /usr/share/doc/nlohmann-json3-dev/copyright "$PREFIX.part/licenses/nlohmann-json.txt"
  cp /usr/share/doc/mingw-w64-x86-64-dev/copyright "$PREFIX.part/licenses/mingw-w64-runtime.txt"
  cp /usr/share/doc/gcc-mingw-w64-base/copyright "$PREFIX.part/licenses/gcc-runtime.txt"
  cmake -S /usr/src/googletest -B "$work/googletest" \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" -DPELKO_WIN_PREFIX="$PREFIX.part" \
    -DCMAKE_INSTALL_PREFIX="$PREFIX.part" -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF \
    -Dgtest_disable_pthreads=OFF >/dev/null
  cmake --build "$work/googletest" -j "$JOBS" >/dev/null
  cmake --install "$work/googletest" >/dev/null

  # The .pc files name the prefix they were built in: the final one.
  sed -i "s|$PREFIX.part|$PREFIX|g" "$PREFIX.part"/lib/pkgconfig/*.pc \
    "$PREFIX.part"/lib/cmake/GTest/*.cmake 2>/dev/null || true
  rm -rf "$work"
  mv "$PREFIX.part" "$PREFIX"
}
# --- libraries: end

if [ ! -d "$PREFIX" ]; then
  echo "build_windows: building the static libraries into $PREFIX"
  # Prefixes of other keys are stale.
  rm -rf "$BUILD_DIR"/prefix-*
  build_libraries
else
  echo "build_windows: reusing $PREFIX"
fi

# A build configured against another prefix starts afresh: CMake keeps what
# pkg-config found.
if [ -f "$BUILD_DIR/pelko/CMakeCache.txt" ] &&
   grep -o 'prefix-[0-9a-f]\{16\}' "$BUILD_DIR/pelko/CMakeCache.txt" | grep -qv "prefix-$key"; then
  rm -rf "$BUILD_DIR/pelko"
fi
cmake -S "$ROOT" -B "$BUILD_DIR/pelko" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" \
  -DPELKO_WIN_PREFIX="$PREFIX" -DCMAKE_BUILD_TYPE=Release -DPELKO_BUILD_TESTS=ON >/dev/null
cmake --build "$BUILD_DIR/pelko" -j "$JOBS" --target pelko pelko_tests

# The release archive: the program, the README as text with Windows line
# ends, and the licence notices of what it links.
version=$(sed -n 's/^#define[ \t]*PELKO_VERSION[ \t]*"\([^"]*\)".*/\1/p' "$ROOT"/src/*.h | head -n 1)
stage=$BUILD_DIR/zip/pelko-$version-win64
rm -rf "$BUILD_DIR/zip"
mkdir -p "$stage/licenses"
$HOST-strip -o "$stage/pelko.exe" "$BUILD_DIR/pelko/pelko.exe"
sed 's/$/\r/' "$ROOT/README.md" >"$stage/README.txt"
for f in "$PREFIX"/licenses/*.txt; do sed 's/$/\r/' "$f" >"$stage/licenses/$(basename "$f")"; done
rm -f "$BUILD_DIR/pelko-$version-win64.zip"
(cd "$BUILD_DIR/zip" && zip -q -r -X "$BUILD_DIR/pelko-$version-win64.zip" "pelko-$version-win64")
echo "build_windows: built $BUILD_DIR/pelko/pelko.exe, $BUILD_DIR/pelko/pelko_tests.exe and $BUILD_DIR/pelko-$version-win64.zip"
