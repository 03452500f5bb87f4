#!/usr/bin/env bash
# Fuzzing throughput, the module reset in place against a fresh mapping per
# input: each fuzz target runs twice at the same time for SECONDS (default
# 55, as in make test), once with PDKIT_FUZZ_RELOAD_EVERY=1 (the module
# mapped afresh for every input, as the targets once did) and once as built
# (reset in place, mapped afresh every 500 inputs), both from the committed
# seed corpus, and a table row per run is printed (docs/PERFORMANCE.md).
# The CPU time per input (user and system, the helper threads' included) is
# what a shared machine's load disturbs least.
#
#   bench/fuzz_rate.sh [build dir, default build/fuzz] [seconds]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/fuzz} seconds=${2:-55}
work=$build/fuzz-rate
echo "| Target | module | executions (per second) | CPU per input | new inputs | coverage (cov / ft) |"
echo "|---|---|---|---|---|---|"
for target in fuzz_tavrin fuzz_kelvane fuzz_ostrel; do
  [ -x "$build/bin/$target" ] || { echo "fuzz_rate: $build/bin/$target is not built (make fuzz builds it)" >&2; exit 2; }
  for every in 1 500; do
    run=$work/$target-$every
    rm -rf "$run" && mkdir -p "$run/corpus"
    PDKIT_FUZZ_RELOAD_EVERY=$every /usr/bin/time -f "%U %S" -o "$run/cpu.txt" \
      "$build/bin/$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 \
      -max_len=2048 -print_final_stats=1 -artifact_prefix="$run/" "$run/corpus" "$root/fuzz/corpus/$target" \
      >"$run/log.txt" 2>&1 &
  done
  wait
  for every in 1 500; do
    log=$work/$target-$every/log.txt
    stat() { sed -n "s/^stat::$1: *//p" "$log" | tail -1; }
    coverage=$(grep -Eo 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -1 | sed 's/cov: \([0-9]*\) ft: \([0-9]*\)/\1 \/ \2/')
    mode=$([ "$every" = 1 ] && echo "mapped per input" || echo "reset in place")
    executions=$(stat number_of_executed_units)
    cpu=$(awk -v n="$executions" 'END { printf "%.2f ms", ($1 + $2) * 1000 / n }' "$work/$target-$every/cpu.txt")
    echo "| $target | $mode | $executions ($(stat average_exec_per_sec)/s) | $cpu | $(stat new_units_added) | $coverage |"
  done
done
