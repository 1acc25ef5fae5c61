#!/usr/bin/env bash
# Formats the tracked C++ sources with clang-format and the project's
# .clang-format. With --check nothing is changed: the files that would
# change are listed and the exit code is 1 when there are any.
#   scripts/format.sh            # rewrites the files in place
#   scripts/format.sh --check    # for a review or a hook
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
mapfile -t FILES < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" != "--check" ]; then
  exec clang-format --style=file -i "${FILES[@]}"
fi
# A dry run reports every place to change as "file:line:column: warning: ...".
CHANGED=$(clang-format --style=file --dry-run "${FILES[@]}" 2>&1 |
  sed -n 's/^\([^:]*\):[0-9]*:[0-9]*: warning: code should be clang-formatted.*/\1/p' | sort -u)
[ -z "$CHANGED" ] && exit 0
echo "$CHANGED" | sed 's/^/format: would change /'
exit 1
