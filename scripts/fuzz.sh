#!/usr/bin/env bash
# Builds the libFuzzer target of the INI text model (native, clang with
# AddressSanitizer and UBSan) and runs it. Extra arguments go to libFuzzer;
# the default is a run of two million inputs.
#   scripts/fuzz.sh                  # -runs=2000000
#   scripts/fuzz.sh -max_total_time=600
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${OSTREL_BUILD:-$ROOT/build}/fuzz
mkdir -p "$BUILD/corpus"
clang++ -std=c++17 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I "$ROOT" -I "$ROOT/common" \
  "$ROOT/tests/fuzz/ConfigFileFuzz.cpp" "$ROOT/common/utillib_configfile/CfgFileSnapshot.cpp" \
  -o "$BUILD/configfile_fuzz"
# A few real-looking texts to start from.
printf '[Line01]\r\nMode=CNT\r\n; c\r\n\r\n[Line02] x\nMode = ALW  \nA=B=C\n' >"$BUILD/corpus/seed-logger"
printf 'before\r[A]\r\r  k\t= v\t\r#x\r' >"$BUILD/corpus/seed-cr"
if [ $# -eq 0 ]; then set -- -runs=2000000; fi
# Inputs that fail are written next to the build, not into the work tree.
"$BUILD/configfile_fuzz" -max_len=4096 -artifact_prefix="$BUILD/" "$@" "$BUILD/corpus"
