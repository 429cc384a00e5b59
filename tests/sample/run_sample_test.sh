#!/usr/bin/env bash
# The main job's command, end to end: one bounded cycle of Sample on a fresh
# simulated board prints exactly one cycle's report and ends with status 0.
set -euo pipefail
source_dir=$1
build_dir=$2

expected='LED Read: 7
Write to 0x00 to DO
DO Read: 0
DI Read: 0
LED Read: 0
Write to 0xFF to DO
DO Read: ff
DI Read: 0'

actual=$("$source_dir/sample/run-sample" --build-dir "$build_dir" --cycles 1 2>/dev/null)
if [ "$actual" != "$expected" ]; then
  printf 'run-sample --cycles 1 printed:\n%s\n' "$actual" >&2
  exit 1
fi

# Bad bounds are refused before anything runs.
if "$source_dir/sample/run-sample" --build-dir "$build_dir" --cycles 0 >/dev/null 2>&1; then
  echo "run-sample accepted --cycles 0" >&2
  exit 1
fi
echo "run-sample: one cycle as expected"
