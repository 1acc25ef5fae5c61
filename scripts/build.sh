#!/usr/bin/env bash
# Configures and builds both trees, or only those named (native, win):
# build/win (the Windows program, run under Wine) and build/native (the
# portable code, with sanitizers).
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${OSTREL_BUILD:-$ROOT/build}
GEN=()
command -v ninja >/dev/null && GEN=(-G Ninja)
TREES=${*:-native win}
# Configured every time, so that a changed CMakeLists.txt is picked up.
for tree in $TREES; do
  case $tree in
    native) cmake -S "$ROOT" -B "$BUILD/native" "${GEN[@]}" -DCMAKE_BUILD_TYPE=Debug >/dev/null ;;
    win) cmake -S "$ROOT" -B "$BUILD/win" "${GEN[@]}" -DCMAKE_BUILD_TYPE=Release \
           -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" >/dev/null ;;
    *) echo "build: unknown tree $tree" >&2; exit 2 ;;
  esac
  cmake --build "$BUILD/$tree" -j2
done
