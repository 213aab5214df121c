# Shared by dist.sh and test.sh: installs what is missing on a Debian 12
# machine (as root) and configures and builds the builds. Every Wine run
# uses the Wine of the root that scripts/wine32.sh makes.
#   build/native      g++: library, pack tool, unit tests, benchmarks
#   build/asan        g++ with AddressSanitizer and UndefinedBehaviorSanitizer
#   build/x86_64      MinGW: the programs and the library tests run under the
#                     root's wine64 (and the end-to-end tests where 32-bit
#                     Wine cannot run)
#   build/i686        MinGW: the 32-bit deliverables, their static checks and
#                     their end-to-end tests under 32-bit Wine (win32, WoW64)
#   build/i686-tests  MinGW (-posix): the library tests under 32-bit Wine
#   build/i386        32-bit Linux: library tests and fuzz replays, under
#                     qemu-i386, and natively as well where the kernel allows
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=$ROOT/build
source "$ROOT/scripts/wine32.sh"

# Wine itself is not among them: it comes from the root (scripts/wine32.sh),
# made with debootstrap and entered with unshare, mount and chroot. The i386
# runner needs prlimit and, natively, the 32-bit gconv modules of libc6-i386.
PACKAGES=(cmake ninja-build g++ make python3 g++-mingw-w64-i686 g++-mingw-w64-x86-64
          locales libboost-dev libgtest-dev googletest libbenchmark-dev
          python3-pefile libarchive-tools time osslsigncode openssl g++-i686-linux-gnu
          qemu-user libc6-i386 debootstrap debian-archive-keyring util-linux mount coreutils)

log() { printf '\033[1m== %s\033[0m\n' "$*"; }

install_missing() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if ((${#missing[@]})); then
    log "installing ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
  fi
  # Wine needs the glibc locale for code page 932.
  if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
    log "generating the ja_JP.UTF-8 locale"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
  fi
}

# configure NAME [cmake options...]: configures build/NAME once.
configure() {
  local name=$1; shift
  # CMake keeps the compilers that a folder was first configured with: a
  # folder made with others than its toolchain file now names starts afresh.
  local toolchain=$ROOT/cmake/mingw-$name.cmake compiler
  if [ -f "$toolchain" ] && [ -d "$BUILD/$name/CMakeFiles" ]; then
    compiler=$(sed -n 's/^set(CMAKE_CXX_COMPILER \([^ )]*\))$/\1/p' "$toolchain")
    if ! grep -qs "set(CMAKE_CXX_COMPILER \"[^\"]*/$compiler\")" \
         "$BUILD/$name"/CMakeFiles/*/CMakeCXXCompiler.cmake; then
      log "$name was configured with other compilers than $compiler: configuring afresh"
      rm -rf "${BUILD:?}/$name"
    fi
  fi
  if [ ! -f "$BUILD/$name/build.ninja" ]; then
    log "configuring $name"
    cmake -S "$ROOT" -B "$BUILD/$name" -G Ninja "$@" >/dev/null
  fi
}

configure_all() {
  configure native -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOBARU_BENCH=ON
  configure asan -DCMAKE_BUILD_TYPE=Debug -DKOBARU_SANITIZE=ON
  # The Windows builds package their programs with the native pack tool, so
  # the native build comes first.
  local pack="-DKOBARU_PACK_TOOL=$BUILD/native/tools/pack/kobaru-pack"
  configure x86_64 -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-x86_64.cmake" "$pack"
  configure i686 -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" "$pack"
  # The library tests as 32-bit Windows programs only where they can run.
  [ -z "${WINE32:-}" ] || configure i686-tests -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686-tests.cmake" \
    -DKOBARU_PROGRAMS=OFF
  configure i386 -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/i386-linux.cmake"
}

build() {
  local name
  for name in "$@"; do
    log "building $name"
    cmake --build "$BUILD/$name" -- -j"$(nproc)" --quiet
  done
}

# set_cache BUILD NAME:TYPE VALUE: sets a cache entry of a build when it differs.
set_cache() {
  [ -f "$BUILD/$1/CMakeCache.txt" ] || return 0
  grep -qxF "$2=$3" "$BUILD/$1/CMakeCache.txt" || cmake "$BUILD/$1" -D"$2=$3" >/dev/null
}

# use_screen_saver FILE: the screen saver the Windows builds package (empty:
# the sample). Reconfigures only a build whose choice differs.
use_screen_saver() {
  local name
  for name in i686 x86_64; do
    set_cache "$name" KOBARU_SCREEN_SAVER:FILEPATH "$1"
  done
}

# use_wine: points the Windows builds at the root that prepare_wine found
# (WINE_ROOT; none: no Windows program runs) and says whether 32-bit code
# runs there (WINE32): where it does not, the x86_64 programs run end to end
# instead.
use_wine() {
  local stand_in=ON wine32=OFF name
  [ -z "$WINE32" ] || stand_in=OFF wine32=ON
  for name in x86_64 i686 i686-tests; do
    set_cache "$name" KOBARU_WINE_FS:PATH "$WINE_ROOT"
    set_cache "$name" KOBARU_WINE32:BOOL "$wine32"
  done
  set_cache x86_64 KOBARU_X86_64_E2E:BOOL "$stand_in"
}
