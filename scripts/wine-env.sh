# Sourced by every script that runs Wine: one prefix owned by the build,
# quiet and without the Mono/Gecko prompts.
OSTREL_ROOT=${OSTREL_ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
OSTREL_BUILD=${OSTREL_BUILD:-$OSTREL_ROOT/build}
export WINEPREFIX=${WINEPREFIX:-$OSTREL_BUILD/wineprefix}
export WINEARCH=win64
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
