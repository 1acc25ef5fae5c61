#!/usr/bin/env bash
# Installs everything the build and the tests need, idempotently:
# Debian packages, the compiled Boost parts for mingw (from Debian's Boost
# source package) and the Wine prefix the tests run in.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# Built Boost parts outlive a work tree, so a fresh clone does not repeat
# the download and the compilation.
CACHE=${OSTREL_CACHE:-/var/cache/ostrel}
BOOST_VERSION=1.81.0
BOOST_PREFIX=$CACHE/boost-mingw-$BOOST_VERSION

PACKAGES=(
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64
  libboost1.81-dev libboost-thread1.81-dev libboost-chrono1.81-dev
  libboost-filesystem1.81-dev libboost-iostreams1.81-dev
  libboost-date-time1.81-dev libboost-locale1.81-dev
  googletest cmake ninja-build clang libclang-rt-14-dev clang-format wixl
  dpkg-dev xz-utils strace
)

log() { echo "setup: $*"; }

install_packages() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    log "installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
}

# The source list is derived from the machine's own binary list, so no
# mirror address is written into the project.
enable_sources() {
  local src=/etc/apt/sources.list.d/ostrel-deb-src.sources
  [ -f "$src" ] && return
  sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources > "$src"
  apt-get update -qq
}

build_boost() {
  [ -f "$BOOST_PREFIX/lib/libboost_ostrel.a" ] && return
  log "building Boost parts for mingw"
  enable_sources
  local work=$CACHE/boost-src
  mkdir -p "$work"
  if ! ls "$work"/boost1.81_*.orig.tar.xz >/dev/null 2>&1; then
    (cd "$work" && apt-get source --download-only boost1.81 >/dev/null)
  fi
  rm -rf "$work/boost"
  tar -xJf "$work"/boost1.81_*.orig.tar.xz -C "$work" \
    boost/libs/thread/src boost/libs/filesystem/src boost/libs/iostreams/src
  local cxx=x86_64-w64-mingw32-g++-posix
  local obj=$work/obj
  rm -rf "$obj" && mkdir -p "$obj"
  local inc; inc=$(mktemp -d) && ln -s /usr/include/boost "$inc/boost"
  local flags=(-O2 -std=c++17 -isystem "$inc" -DBOOST_ALL_NO_LIB -DBOOST_THREAD_BUILD_LIB
    -DBOOST_FILESYSTEM_STATIC_LINK -DBOOST_FILESYSTEM_NO_CXX20_ATOMIC_REF
    -DBOOST_CHRONO_HEADER_ONLY -DBOOST_USE_WINDOWS_H "-DWIN32_LEAN_AND_MEAN="
    -DNOMINMAX -D_WIN32_WINNT=0x0601)
  local s=$work/boost/libs
  local srcs=("$s"/thread/src/win32/thread.cpp "$s"/thread/src/win32/tss_pe.cpp
    "$s"/thread/src/win32/thread_primitives.cpp "$s"/thread/src/future.cpp
    "$s"/iostreams/src/file_descriptor.cpp "$s"/filesystem/src/*.cpp)
  local pids=() i=0
  for f in "${srcs[@]}"; do
    "$cxx" "${flags[@]}" -I "$s/filesystem/src" -c "$f" -o "$obj/$i-$(basename "$f" .cpp).o" &
    pids+=($!); i=$((i+1))
    if [ ${#pids[@]} -ge 2 ]; then wait "${pids[0]}"; pids=("${pids[@]:1}"); fi
  done
  for p in "${pids[@]}"; do wait "$p"; done
  mkdir -p "$BOOST_PREFIX/lib"
  rm -f "$BOOST_PREFIX/lib/libboost_ostrel.a"
  x86_64-w64-mingw32-ar rcs "$BOOST_PREFIX/lib/libboost_ostrel.a.tmp" "$obj"/*.o
  mv "$BOOST_PREFIX/lib/libboost_ostrel.a.tmp" "$BOOST_PREFIX/lib/libboost_ostrel.a"
  rm -rf "$inc" "$obj" "$work/boost"
}

install_packages
build_boost
"$ROOT/scripts/wine-prefix.sh"
log "ready"
