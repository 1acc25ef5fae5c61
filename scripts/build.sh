#!/usr/bin/env bash
# Configures and builds both trees: build/win (the Windows program, under
# Wine) and build/native (the portable code with sanitizers).
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${OSTREL_BUILD:-$ROOT/build}
GEN=()
command -v ninja >/dev/null && GEN=(-G Ninja)
# Configured every time: folders and fragments that appear are picked up.
cmake -S "$ROOT" -B "$BUILD/native" "${GEN[@]}" -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake -S "$ROOT" -B "$BUILD/win" "${GEN[@]}" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" >/dev/null
cmake --build "$BUILD/native" -j2
cmake --build "$BUILD/win" -j2
