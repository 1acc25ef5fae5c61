#!/usr/bin/env bash
# Creates the build's own Wine prefix when it does not exist yet.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "setup: creating Wine prefix $WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  wine wineboot -i >/dev/null 2>&1
  wineserver -w
fi
