#!/usr/bin/env bash
# Builds OstrelService.exe from two copies of the tree in two folders of
# different names and compares the programs byte by byte: the image must hold
# no path of the folder it was built in and no time of its build.
# Usage: reproducible-build.sh [source tree (default: this one)]
set -euo pipefail
ROOT=${1:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
work=$(mktemp -d "${TMPDIR:-/tmp}/ostrel-reproducible.XXXXXX")
trap 'rm -rf "$work"' EXIT
GEN=()
command -v ninja >/dev/null && GEN=(-G Ninja)

copies=("$work/one/Ostrel" "$work/second copy/src")
for copy in "${copies[@]}"; do
  mkdir -p "$copy"
  # The tree as it stands, without the builds (and the Wine prefix in them).
  tar -C "$ROOT" --exclude=./build --exclude=./.git -cf - . | tar -C "$copy" -xf -
  cmake -S "$copy" -B "$copy/build/win" "${GEN[@]}" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$copy/cmake/mingw-w64.cmake" >/dev/null
  cmake --build "$copy/build/win" -j2 --target OstrelService >/dev/null
done

one=${copies[0]}/build/win/bin/OstrelService.exe
two=${copies[1]}/build/win/bin/OstrelService.exe
status=0
for copy in "${copies[@]}"; do
  for program in "$one" "$two"; do
    if grep -c -F -a "$copy" "$program" >/dev/null; then
      echo "reproducible-build: $program names the folder $copy" >&2
      status=1
    fi
  done
done
if ! cmp "$one" "$two" >/dev/null; then
  echo "reproducible-build: the two programs differ:" >&2
  cmp -l "$one" "$two" | head -20 >&2 || true
  status=1
fi
[ $status -eq 0 ] && echo "reproducible-build: identical, $(stat -c %s "$one") bytes, sha256 $(sha256sum "$one" | cut -d' ' -f1)"
exit $status
