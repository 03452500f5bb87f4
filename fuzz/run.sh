#!/usr/bin/env bash
# Runs one fuzz target for a while and says what it did.
#
#   fuzz/run.sh <build dir> <target> <seconds>
#
# The committed corpus (fuzz/corpus/<target>) is read, never written: new
# inputs go to <build dir>/fuzz-runs/<target>/corpus, and an input that makes
# the target fail goes to <build dir>/fuzz-runs/<target>/artifacts, with the
# target's report in log.txt beside it.
set -euo pipefail

build=$1 target=$2 seconds=$3
root=$(cd "$(dirname "$0")/.." && pwd)
binary=$build/bin/$target
work=$build/fuzz-runs/$target
[ -x "$binary" ] || { echo "fuzz: $binary is not built (make fuzz builds it)" >&2; exit 2; }

rm -rf "$work"
mkdir -p "$work/corpus" "$work/artifacts"
log=$work/log.txt

status=0
"$binary" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 -max_len=2048 -print_final_stats=1 \
  -artifact_prefix="$work/artifacts/" "$work/corpus" "$root/fuzz/corpus/$target" >"$log" 2>&1 || status=$?

stat() { sed -n "s/^stat::$1: *//p" "$log" | tail -1; }
executions=$(stat number_of_executed_units)
rate=$(stat average_exec_per_sec)
added=$(stat new_units_added)
coverage=$(grep -Eo 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -1 || true)

if [ "$status" -ne 0 ]; then
  echo "fuzz: $target FAILED after ${executions:-?} executions; the target's report:" >&2
  grep -v -E '^#[0-9]+ ' "$log" | tail -40 >&2
  echo "fuzz: the failing input is in $work/artifacts/; replay it with $binary <file>" >&2
  exit 1
fi
echo "fuzz: $target: ${seconds} s, ${executions} executions (${rate}/s), ${added} new inputs, ${coverage}, no findings"
