#!/usr/bin/env bash
# The service's main job on a built-in demo configuration: sets everything up,
# writes a demo logger.ini and a demo lineset (due within seconds, 15 s
# interval) into the build's Wine prefix, runs the engine in the foreground
# for about a minute, then shows logger.ini and the backup file.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export OSTREL_BUILD=${OSTREL_BUILD:-$ROOT/build}
SECONDS_TO_RUN=${1:-50}
"$ROOT/scripts/setup.sh"
"$ROOT/scripts/build.sh" win
. "$ROOT/scripts/wine-env.sh"
. "$ROOT/scripts/wine-session.sh"

WINDIR=$WINEPREFIX/drive_c/windows
cp "$ROOT/demo/logger.ini" "$WINDIR/logger.ini"
rm -f "$WINDIR/brevik_ostrel_saved_modes.bak"
# The service reads the 32-bit view of the registry: every change goes there.
KEY='HKLM\SOFTWARE\Brevik\Ostrel'
wine reg delete "$KEY" /f /reg:32 >/dev/null 2>&1 || true
wine reg import "$(wine winepath -w "$ROOT/demo/ostrel-demo.reg" 2>/dev/null)" /reg:32 >/dev/null
# A period of one minute counted from 55 s ago: the first toggle comes in
# about five seconds.
start=$(date -d '-55 seconds' +%Y-%m-%dT%H:%M:%S)
wine reg add "$KEY\\1" /v PeriodicStartTime /t REG_SZ /d "$start" /f /reg:32 >/dev/null

echo "== logger.ini before =="
tr -d '\r' < "$WINDIR/logger.ini"
echo "== OstrelService.exe /console for $SECONDS_TO_RUN s =="
timeout -s KILL "$SECONDS_TO_RUN" wine "$OSTREL_BUILD/win/bin/OstrelService.exe" /console 2>&1 | stdbuf -oL tr -d '\r' &
engine=$!
sleep 12
echo "== modes in logger.ini during the toggle =="
grep -E '^\[|^Mode' "$WINDIR/logger.ini" | tr -d '\r'
echo "== backup file during the toggle =="
tr -d '\r' < "$WINDIR/brevik_ostrel_saved_modes.bak"; echo
wait "$engine" 2>/dev/null || true
echo "== (engine ended after $SECONDS_TO_RUN s) =="
echo "== logger.ini after =="
tr -d '\r' < "$WINDIR/logger.ini"
echo "== backup file =="
tr -d '\r' < "$WINDIR/brevik_ostrel_saved_modes.bak"; echo
