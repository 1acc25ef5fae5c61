#!/usr/bin/env bash
# Builds the libFuzzer target of the INI text model (native, clang with
# AddressSanitizer and UBSan; the CMake option OSTREL_FUZZ in a tree of its
# own) and runs it. Extra arguments go to libFuzzer; the default is a run of
# two million inputs.
#   scripts/fuzz.sh                  # -runs=2000000
#   scripts/fuzz.sh -max_total_time=600
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${OSTREL_BUILD:-$ROOT/build}/fuzz
GEN=()
command -v ninja >/dev/null && GEN=(-G Ninja)
cmake -S "$ROOT" -B "$BUILD" "${GEN[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DOSTREL_FUZZ=ON >/dev/null
cmake --build "$BUILD" -j2 --target configfile_fuzz
mkdir -p "$BUILD/corpus"
# A few real-looking texts to start from.
printf '[Line01]\r\nMode=CNT\r\n; c\r\n\r\n[Line02] x\nMode = ALW  \nA=B=C\n' >"$BUILD/corpus/seed-logger"
printf 'before\r[A]\r\r  k\t= v\t\r#x\r' >"$BUILD/corpus/seed-cr"
if [ $# -eq 0 ]; then set -- -runs=2000000; fi
# Inputs that fail are written next to the build, not into the work tree.
"$BUILD/bin/configfile_fuzz" -max_len=4096 -artifact_prefix="$BUILD/" "$@" "$BUILD/corpus"
