#!/usr/bin/env bash
# Prints the process id of the wineserver of the build's Wine prefix, if one
# runs. A server works in a folder named after its prefix's device and inode.
. "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
server=$(printf 'server-%x-%x' $(stat -c '%d %i' "$WINEPREFIX"))
for pid in $(pgrep wineserver || true); do
  case $(readlink "/proc/$pid/cwd" 2>/dev/null) in */"$server") echo "$pid" ;; esac
done
