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
. "$root/bench/fuzz_lib.sh"
echo "| Target | module | executions (per second) | CPU per input | new inputs | coverage (cov / ft) |"
echo "|---|---|---|---|---|---|"
for target in fuzz_tavrin fuzz_kelvane fuzz_ostrel; do
  [ -x "$build/bin/$target" ] || { echo "fuzz_rate: $build/bin/$target is not built (make fuzz builds it)" >&2; exit 2; }
  for every in 1 500; do
    PDKIT_FUZZ_RELOAD_EVERY=$every fuzz_timed_run "$build/bin/$target" "$seconds" "$work/$target-$every" \
      "$root/fuzz/corpus/$target" &
  done
  wait
  for every in 1 500; do
    run=$work/$target-$every
    mode=$([ "$every" = 1 ] && echo "mapped per input" || echo "reset in place")
    echo "| $target | $mode | $(fuzz_stat "$run" number_of_executed_units) ($(fuzz_stat "$run" average_exec_per_sec)/s)" \
      "| $(fuzz_cpu_ms "$run") ms | $(fuzz_stat "$run" new_units_added) | $(fuzz_coverage "$run") |"
  done
done
