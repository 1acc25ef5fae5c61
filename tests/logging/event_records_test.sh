#!/usr/bin/env bash
# Checks the event-log calls of each log statement as Wine's debug channels
# show them: Wine keeps no event records (RegisterEventSourceA hands out a
# dummy handle and ReportEventA stores nothing), but it prints every call
# with its arguments. Usage: event_records_test.sh <wine-run.sh> <logging_probe.exe>
set -euo pipefail
run=$1
probe=$2

# level, event type, event identifier, channel of the text, message
cases=(
  "0 0x0001 0xc0070003 err   error%s%n"
  "1 0x0002 0x80070002 warn  warning"
  "2 0x0004 0x00070001 trace info"
  "3 0x0004 0x00070001 trace spec"
  "4 0x0004 0x00070001 trace ctrl"
  "7 0x0004 0x00070001 trace unknown"
)

args=()
expected=""
for c in "${cases[@]}"; do
  read -r level type id channel message <<<"$c"
  args+=("$level" "$message")
  expected+='RegisterEventSourceA ((null),"Brevik Ostrel service program"): stub'$'\n'
  expected+="ReportEventA (HANDLE,$type,0x0000,$id,0000000000000000,0x0001,0x00000000,STRINGS,0000000000000000): stub"$'\n'
  expected+="$channel:ReportEventW L\"[probe::Reporter::report] probe says $message\""$'\n'
  expected+='DeregisterEventSource (HANDLE) stub'$'\n'
done

err=$(mktemp)
trap 'rm -f "$err"' EXIT
WINEDEBUG=fixme+advapi,+eventlog "$run" "$probe" "${args[@]}" >/dev/null 2>"$err"

# Keep the calls of the narrow functions the program makes (and the text
# the wide stub shows); hide the addresses that change from run to run.
actual=$(tr -d '\r' <"$err" |
  sed -n -E \
    -e 's/^[0-9a-f]+:fixme:advapi:(RegisterEventSourceA .*)/\1/p' \
    -e 's/^[0-9a-f]+:fixme:advapi:ReportEventA \([0-9A-Fa-f]+,(.*),[0-9A-Fa-f]+,([0-9A-Fa-f]+\): stub)$/ReportEventA (HANDLE,\1,STRINGS,\2/p' \
    -e 's/^[0-9a-f]+:(err|warn|trace):eventlog:(ReportEventW .*)/\1:\2/p' \
    -e 's/^[0-9a-f]+:fixme:advapi:DeregisterEventSource \([0-9A-Fa-f]+\) stub/DeregisterEventSource (HANDLE) stub/p')

if [ "$actual"$'\n' != "$expected" ]; then
  echo "event-log calls differ from the expected ones:"
  diff <(printf '%s' "$expected") <(printf '%s\n' "$actual") || true
  echo "0 passed, 1 failed"
  exit 1
fi
echo "event-log calls of ${#cases[@]} statements as expected"
