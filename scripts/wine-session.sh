# Sourced after wine-env.sh: makes sure the prefix exists and keeps one
# wineserver up until the sourcing script exits. Each Wine process then
# starts in a fraction of a second, and services live as long as needed.
"$OSTREL_ROOT/scripts/wine-prefix.sh"
wineserver -p 2>/dev/null || true  # one may already run
trap 'wineserver -k || true' EXIT
# The first Wine process of a session starts Wine's own background services;
# started by a test they would inherit its output pipe and CTest would wait
# for them for ever, so they are started here with no pipe attached.
wine cmd /c exit </dev/null >/dev/null 2>&1
