#!/usr/bin/env bash
# Builds the libFuzzer targets (native, clang with AddressSanitizer and UBSan;
# the CMake option OSTREL_FUZZ in a tree of its own) and runs them: "ini",
# the INI text model, and "backup", the backup file's text. Without a name
# both run in turn. Extra arguments go to libFuzzer; the default is a run of
# two million inputs for the INI model and one million for the backup.
#   scripts/fuzz.sh                          # both
#   scripts/fuzz.sh backup                   # -runs=1000000
#   scripts/fuzz.sh ini -max_total_time=600
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${OSTREL_BUILD:-$ROOT/build}/fuzz
TARGETS=(ini backup)
if [ $# -gt 0 ] && [[ $1 == ini || $1 == backup ]]; then
  TARGETS=("$1")
  shift
fi
GEN=()
command -v ninja >/dev/null && GEN=(-G Ninja)
cmake -S "$ROOT" -B "$BUILD" "${GEN[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DOSTREL_FUZZ=ON >/dev/null
cmake --build "$BUILD" -j2 --target configfile_fuzz mode_backup_text_fuzz

# A few real-looking texts to start from, per target.
seed() {
  mkdir -p "$BUILD/corpus-$1"
  printf "$3" >"$BUILD/corpus-$1/seed-$2"
}
seed ini logger '[Line01]\r\nMode=CNT\r\n; c\r\n\r\n[Line02] x\nMode = ALW  \nA=B=C\n'
seed ini cr 'before\r[A]\r\r  k\t= v\t\r#x\r'
DECLARATION='<?xml version="1.0" encoding="utf-8"?>\r\n'
seed backup records "$DECLARATION<Line03><current_mode>CNT</current_mode><saved_mode>M1</saved_mode></Line03><Line07><current_mode>CNT</current_mode><saved_mode/><replaced_mode>a&lt;&#32;</replaced_mode></Line07>"
seed backup escaped "$DECLARATION<Line03><current_mode escape=\"percent\">A%%00%%FF</current_mode><saved_mode>&#32; </saved_mode></Line03>"
seed backup edited '<?xml version="1.0"?>\n<!-- by hand -->\n<Line03 note="x">\n  <current_mode>CNT</current_mode>\n</Line03 >\n'

run() {
  local binary=$1 corpus=$2 runs=$3
  shift 3
  local args=("$@")
  if [ ${#args[@]} -eq 0 ]; then args=(-runs="$runs"); fi
  # Inputs that fail are written next to the build, not into the work tree.
  "$BUILD/bin/$binary" -max_len=4096 -artifact_prefix="$BUILD/$corpus-" "${args[@]}" "$BUILD/corpus-$corpus"
}
for target in "${TARGETS[@]}"; do
  case $target in
    ini) run configfile_fuzz ini 2000000 "$@" ;;
    backup) run mode_backup_text_fuzz backup 1000000 "$@" ;;
  esac
done
