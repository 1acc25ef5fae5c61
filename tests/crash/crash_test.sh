#!/usr/bin/env bash
# The crash-state explorer. Records real runs of OstrelService.exe /console
# under strace: the program's processes (writes, flushes) and the wineserver,
# which carries out SetEndOfFile and MoveFileEx for them. Then crash_explorer
# starts the program on every state a kill or a power cut after any of those
# calls can leave, and checks its start-up repair (see CrashStates.h).
# Usage: crash_test.sh <wine-run.sh> <crash_explorer.exe> <folder for the runs>
# The runs (traces, files before and after) stay in that folder.
set -euo pipefail
run=$1
explorer=$2
runs=$3
scripts=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../scripts" && pwd)
. "$scripts/wine-env.sh"

# The trace needs a wineserver that lives through the whole test: the
# session's, or one of its own when it runs outside a session.
session=
server=$("$scripts/wine-server-pid.sh")
if [ -z "$server" ]; then
  . "$scripts/wine-session.sh"
  session=own
  server=$("$scripts/wine-server-pid.sh")
fi
tracer=
end() {
  [ -z "$tracer" ] || kill -INT "$tracer" 2>/dev/null || true
  [ -z "$session" ] || wineserver -k || true
}
trap end EXIT

windows=$WINEPREFIX/drive_c/windows
watch=()
for name in logger.ini brevik_ostrel_saved_modes.bak brevik_ostrel_saved_modes.bak.tmp; do
  watch+=(-P "$windows/$name")
done
# -y names the file of each descriptor, -x keeps every byte readable, -s
# keeps whole writes, -ttt orders the two traces' lines.
calls=read,write,pread64,pwrite64,lseek,close,ftruncate,fsync,fdatasync,rename,renameat,renameat2,unlink,unlinkat
trace=(strace -f -ttt -y -x -s 1048576 -e "trace=$calls" "${watch[@]}")

rm -rf "$runs"
dirs=()
for scenario in $("$run" "$explorer" scenarios | tr -d '\r'); do
  dir=$runs/$scenario
  mkdir -p "$dir"
  win="Z:${dir//\//\\}"
  "$run" "$explorer" prepare "$scenario" "$win"
  "${trace[@]}" -o "$dir/server.trace" -p "$server" 2>"$dir/server.log" &
  tracer=$!
  until grep -qs attached "$dir/server.log"; do
    kill -0 "$tracer"
    sleep 0.1
  done
  if ! "${trace[@]}" --seccomp-bpf -o "$dir/program.trace" "$run" "$explorer" run "$scenario" "$win" \
      >"$dir/run.log" 2>&1; then
    tr -d '\r' <"$dir/run.log"
    exit 1
  fi
  kill -INT "$tracer"
  wait "$tracer" || true
  tracer=
  dirs+=("$win")
done
"$run" "$explorer" explore "${dirs[@]}" | tr -d '\r'
