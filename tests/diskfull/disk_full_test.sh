#!/usr/bin/env bash
# The real program on a real full disk. Its Windows directory (logger.ini and
# the backup file live there) is a small tmpfs in a prefix of its own, whose
# other folders and registry come from the build's prefix; the test fills
# the tmpfs to the last byte at chosen moments:
#  - before a toggle: no record can be saved, so the line stays unchanged
#    with one ERROR, and the program runs on;
#  - during a revert that makes logger.ini longer (into a page the tmpfs
#    cannot give): logger.ini keeps its text whole and the record stays.
# Once there is room again the line comes back in the same run.
# Needs root (mount); exits 77 (skipped) without it.
# Usage: disk_full_test.sh <OstrelService.exe>
set -euo pipefail
program=$1
scripts=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../scripts" && pwd)
. "$scripts/wine-env.sh"
origin=$WINEPREFIX
if [ "$(id -u)" != 0 ]; then
  echo "disk_full: needs root to mount a tmpfs; skipped"
  exit 77
fi

work=$(mktemp -d /tmp/ostrel-disk-full.XXXXXX)
export WINEPREFIX=$work/prefix
windows=$WINEPREFIX/drive_c/windows
out=$work/run.log
mounted=
end() {
  wineserver -k 2>/dev/null || true
  [ -z "$mounted" ] || umount "$windows" || umount -l "$windows" || true
  rm -rf "$work"
}
trap end EXIT

fail() {
  echo "disk_full: FAILED: $*"
  echo "--- program output"
  tr -d '\r' <"$out" 2>/dev/null || true
  exit 1
}
# wait_for <seconds> <what> <command...>: polls the state until it holds.
wait_for() {
  local limit=$(($(date +%s) + $1)) what=$2
  shift 2
  until "$@"; do
    [ "$(date +%s)" -lt "$limit" ] || fail "no $what within the time allowed"
    sleep 0.2
  done
}
logged() { tr -d '\r' <"$out" | grep -qF -- "$1"; }
count() { tr -d '\r' <"$out" | grep -cF -- "$1" || true; }
same() { cmp -s "$1" "$2"; }
recorded() { grep -qF "<$1>" "$windows/brevik_ostrel_saved_modes.bak" 2>/dev/null; }
notRecorded() { [ -f "$windows/brevik_ostrel_saved_modes.bak" ] && ! recorded "$1"; }
alive() { kill -0 "$pid" 2>/dev/null || fail "the program has ended"; }

# Fills the tmpfs to the last byte, or frees it again.
fill() {
  fallocate -l "$(df --output=avail -B1 "$windows" | tail -1)" "$windows/fill"
  dd if=/dev/zero of="$windows/fill.rest" bs=4096 2>/dev/null || true
  [ "$(df --output=avail -B1 "$windows" | tail -1 | tr -d ' ')" = 0 ] || fail "the tmpfs is not full"
}
free() { rm -f "$windows/fill" "$windows/fill.rest"; }

# The prefix: its own registry, the build prefix's folders by symbolic link,
# and a Windows directory on the tmpfs whose folders and programs link back
# (its .ini files are copied, so that nothing here writes into the build's
# prefix).
mkdir -p "$windows"
cp -a "$origin/dosdevices" "$origin"/*.reg "$WINEPREFIX/"
[ ! -e "$origin/.update-timestamp" ] || cp -a "$origin/.update-timestamp" "$WINEPREFIX/"
for entry in "$origin"/drive_c/*; do
  [ "$(basename "$entry")" = windows ] || ln -s "$entry" "$WINEPREFIX/drive_c/"
done
mount -t tmpfs -o size=1m ostrel-disk-full "$windows"
mounted=1
for entry in "$origin"/drive_c/windows/*; do
  case $(basename "$entry") in
    logger.ini | brevik_ostrel_saved_modes.bak*) ;;
    *.ini) cp -a "$entry" "$windows/" ;;
    *) ln -s "$entry" "$windows/" ;;
  esac
done

# logger.ini of 4,100 bytes: line 2 switched to mode C makes it 4,091, within
# one page; its revert needs a second page.
line() { printf '[Line%02d]\r\nMode=RECORDING%d\r\nGain=%d\r\n' "$1" "$1" "$1"; }
{ line 1; line 2; line 3; } >"$work/lines.ini"
general='[General]\r\nNotes=%s\r\n'
notes=$((4100 - $(stat -c %s "$work/lines.ini") - $(printf "$general" "" | wc -c)))
{ printf "$general" "$(head -c "$notes" /dev/zero | tr '\0' n)"; cat "$work/lines.ini"; } >"$work/original.ini"
[ "$(stat -c %s "$work/original.ini")" = 4100 ] || fail "logger.ini fixture is $(stat -c %s "$work/original.ini") bytes"
sed 's/^Mode=RECORDING2\r$/Mode=C\r/' "$work/original.ini" >"$work/toggled.ini"
[ "$(stat -c %s "$work/toggled.ini")" = 4091 ] || fail "toggled fixture is $(stat -c %s "$work/toggled.ini") bytes"
cp "$work/original.ini" "$windows/logger.ini"

wineserver -p
wine cmd /c exit </dev/null >/dev/null 2>&1

# Lineset A (line 1) first fires at t0 and again a minute later; lineset B
# (line 2) ten seconds after t0, and then not for an hour: only the retry of
# its revert can bring line 2 back within the test. Local time, as the
# program reads it.
t0=$(($(date +%s) + 25))
key='HKLM\SOFTWARE\Brevik\Ostrel'
reg() { wine reg add "$@" /f /reg:32 >/dev/null 2>&1; }
reg "$key" /v Count /t REG_DWORD /d 2
lineset() {
  reg "$key\\$1" /v Name /t REG_SZ /d "$2"
  reg "$key\\$1" /v Lines /t REG_SZ /d "$3"
  reg "$key\\$1" /v LineMode /t REG_SZ /d C
  reg "$key\\$1" /v Interval /t REG_DWORD /d "$4"
  reg "$key\\$1" /v ScheduleMode /t REG_DWORD /d 2
  reg "$key\\$1" /v PeriodicHours /t REG_DWORD /d "$6"
  reg "$key\\$1" /v PeriodicMinutes /t REG_DWORD /d "$7"
  reg "$key\\$1" /v PeriodicStartTime /t REG_SZ /d "$(date -d "@$(($5 - 3600 * $6 - 60 * $7))" +%Y-%m-%dT%H:%M:%S)"
}
lineset 1 A 1 5 "$t0" 0 1
lineset 2 B 2 15 $((t0 + 10)) 1 0

# Full before the first toggle: A's record cannot be saved.
fill
wine "$program" /console >"$out" 2>"$work/err.log" </dev/null &
pid=$!
wait_for 60 "line 1 left unchanged" logged "line 1 left unchanged"
[ "$(date +%s)" -lt $((t0 + 10)) ] || fail "the first toggle came too late for the timetable of this test"
alive
same "$windows/logger.ini" "$work/original.ini" || fail "logger.ini changed on a full disk"
[ "$(count ERROR)" = 1 ] || fail "expected one ERROR for the toggle on a full disk"

# Room again for B's toggle; full once it is done, before its revert.
free
wait_for 30 "toggle of line 2" recorded Line02
wait_for 10 "line 2 switched" same "$windows/logger.ini" "$work/toggled.ini"
fill
settled() { logged "Can't revert mode of line 2" || ! same "$windows/logger.ini" "$work/toggled.ini"; }
wait_for 30 "revert of line 2" settled
alive
same "$windows/logger.ini" "$work/toggled.ini" ||
  fail "logger.ini lost its text on a full disk: $(stat -c %s "$windows/logger.ini") bytes, ending" \
    "$(tail -c 40 "$windows/logger.ini" | od -c | head -3)"
logged "Can't revert mode of line 2" || fail "the failed revert was not reported"
recorded Line02 || fail "the record of line 2 was dropped"

# Room again: line 2 comes back without a restart.
free
wait_for 100 "line 2 reverted" logged "Reverted Line02"
wait_for 30 "every line back" same "$windows/logger.ini" "$work/original.ini"
wait_for 10 "no record left" notRecorded Line02
alive
[ "$(count 'Ostrel started')" = 1 ] || fail "the program started again"
tr -d '\r' <"$out"
echo "disk_full: OK"
