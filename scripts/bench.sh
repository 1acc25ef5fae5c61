#!/usr/bin/env bash
# Benchmarks, and with --long the long forms of the reliability tests, run
# under the build's Wine prefix. Every benchmark prints its figure last.
#   scripts/bench.sh          the five benchmarks (a few minutes)
#   scripts/bench.sh --long   also 200 kills, 10 minutes of contention, the
#                             real run loop for 300 events, the bad-input test,
#                             100,000 cases of the registry fuzz in each form,
#                             the crash-state explorer on 8 lines and 12 linesets,
#                             the I/O-fault explorer on 8 lines
# The programs use the logger.ini, backup file and configuration key of the
# build's own Wine prefix; run nothing else in that prefix meanwhile.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export OSTREL_BUILD=${OSTREL_BUILD:-$ROOT/build}
LONG=0
[ "${1:-}" = --long ] && LONG=1
"$ROOT/scripts/setup.sh"
"$ROOT/scripts/build.sh" win
[ $LONG = 1 ] && "$ROOT/scripts/build.sh" native
. "$ROOT/scripts/wine-env.sh"
. "$ROOT/scripts/wine-session.sh"

# Under Wine the registry lives in the wineserver, so the idle benchmark
# counts its processor time too.
OSTREL_WINESERVER_PID=$("$ROOT/scripts/wine-server-pid.sh")
export OSTREL_WINESERVER_PID

BIN=$OSTREL_BUILD/win/bin
run() {
  echo "== $*"
  wine "$BIN/$1" "${@:2}" 2>&1 | tr -d '\r'
}
if [ $LONG = 1 ]; then
  run bench_idle_pass.exe 60 200
  run bench_line_mode_write.exe 1000
  run bench_lock_handoff.exe 200
  run bench_event_latency.exe 120
  run bench_resources.exe 10000
  run bench_resources.exe --loop 300
  OSTREL_KILLS=200 run kill_test.exe
  OSTREL_CONTENTION_SECONDS=600 run contention_test.exe
  run bad_input_test.exe
  echo "== settings_fuzz_test (native)"
  OSTREL_FUZZ_CASES=100000 "$OSTREL_BUILD/native/bin/settings_fuzz_test"
  OSTREL_FUZZ_CASES=100000 run settings_fuzz_test.exe
  OSTREL_FUZZ_CASES=100000 run settings_registry_fuzz_test.exe
  echo "== crash_test.sh, 8 lines, 12 overlapping linesets"
  OSTREL_CRASH_LINES=8 OSTREL_CRASH_TOGGLES=12 bash "$ROOT/tests/crash/crash_test.sh" \
    "$ROOT/scripts/wine-run.sh" "$BIN/crash_explorer.exe" "$OSTREL_BUILD/crash-long"
  OSTREL_FAULT_LINES=8 run fault_explorer.exe
else
  run bench_idle_pass.exe
  run bench_line_mode_write.exe
  run bench_lock_handoff.exe
  run bench_event_latency.exe
  run bench_resources.exe
fi
