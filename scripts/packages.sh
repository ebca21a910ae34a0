# The Debian packages pelko needs, and the function that installs them.
# Sourced by scripts/setup.sh and scripts/test.sh.
#
#   BUILD_PACKAGES   building and running pelko, its manual page and its
#                    Debian package
#   TEST_PACKAGES    the tests only: unit tests, end-to-end tests, sanitizer
#                    and fuzzing builds, benchmarks
#   WINDOWS_PACKAGES the Windows cross-build and its tests under Wine
#                    (scripts/build_windows.sh)

BUILD_PACKAGES=(
  build-essential cmake pkg-config      # compiler and build
  coinor-libclp-dev coinor-libcoinutils-dev liblz4-dev libxxhash-dev  # linked by pelko
  libzstd-dev                           # zstd compressed sizes (--compressors)
  zlib1g-dev                            # deflate compressed sizes (--compressors); CoinUtils links -lz too
  nlohmann-json3-dev                    # --json output
  libabsl-dev                           # B-tree map of the fingerprints
  dpkg-dev file                         # Debian package (dpkg-shlibdeps)
)

TEST_PACKAGES=(
  libgtest-dev libbenchmark-dev         # unit tests, micro benchmarks
  clang libclang-rt-dev                 # fuzzing and sanitizers
  lz4 python3                           # reference figures, data sets
  librsvg2-bin                          # renders the --plot chart in its test
  e2fsprogs util-linux time strace      # file-system images, terminals, peak memory, open tracing
  groff-base man-db                     # manual page checks
)

WINDOWS_PACKAGES=(
  g++-mingw-w64-x86-64-posix mingw-w64-tools   # cross compilers, pkg-config wrapper
  wine64 wine                                  # runs the tests, headless
  make patch dpkg-dev xz-utils                 # building Debian's source packages
  cmake pkg-config googletest nlohmann-json3-dev  # the tests' and --json's sources
  zip python3                                  # release archive; test data
)

# install_missing PACKAGE...: installs those of the packages that are not
# installed yet, with one apt-get update before, as root or through sudo.
install_missing() {
  local missing=() pkg status
  for pkg in "$@"; do
    status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$pkg")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "setup: installing ${missing[*]}"
  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null 2>&1; then
      sudo=(sudo)
    else
      echo "setup: need root or sudo to install: ${missing[*]}" >&2
      return 1
    fi
  fi
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y --no-install-recommends "${missing[@]}"
}
