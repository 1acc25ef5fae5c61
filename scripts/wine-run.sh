#!/usr/bin/env bash
# Runs a Windows program of the build under the build's Wine prefix.
. "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
exec wine "$@"
