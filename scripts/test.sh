#!/usr/bin/env bash
# The whole test suite from nothing: set-up, both builds, every test.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export OSTREL_BUILD=${OSTREL_BUILD:-$ROOT/build}
"$ROOT/scripts/setup.sh"
"$ROOT/scripts/build.sh"
. "$ROOT/scripts/wine-env.sh"

ctest --test-dir "$OSTREL_BUILD/native" --output-on-failure -j2 "$@"

# Every Wine process of the session, the service manager and the services it
# starts included, runs in a zone with a half-hour offset from UTC, so that
# local time mixed up with UTC fails a test.
export TZ=IST-5:30
. "$ROOT/scripts/wine-session.sh"
ctest --test-dir "$OSTREL_BUILD/win" --output-on-failure -j2 "$@"
