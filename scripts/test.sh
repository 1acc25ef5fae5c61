#!/usr/bin/env bash
# The whole test suite from nothing: set-up, both builds, every test.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export OSTREL_BUILD=${OSTREL_BUILD:-$ROOT/build}
"$ROOT/scripts/setup.sh"
"$ROOT/scripts/build.sh"
. "$ROOT/scripts/wine-env.sh"
"$ROOT/scripts/wine-prefix.sh"

ctest --test-dir "$OSTREL_BUILD/native" --output-on-failure -j2 "$@"

# One wineserver for the whole run: each Wine process then starts in a
# fraction of a second, and services live as long as the tests need them.
wineserver -p 2>/dev/null || true  # one may already run
trap 'wineserver -k || true' EXIT
# The first Wine process of a session starts Wine's own background services;
# started by a test they would inherit its output pipe and CTest would wait
# for them for ever, so they are started here with no pipe attached.
wine cmd /c exit </dev/null >/dev/null 2>&1
ctest --test-dir "$OSTREL_BUILD/win" --output-on-failure -j2 "$@"
