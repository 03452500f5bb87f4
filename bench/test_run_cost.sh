#!/usr/bin/env bash
# What `make test` costs on a fresh clone: builds every tree it builds (host,
# the two image trees when the cross compilers are installed, ASan, TSan,
# fuzz), each afresh without ccache through bench/build_cost.sh, and adds
# their CPU seconds up. Spread over the machine's cores and followed by the
# test runs (TEST_RUN_SECONDS, their wall time on an idle machine), that is
# the whole run's wall time on an idle machine (docs/PERFORMANCE.md). CPU
# time because on a shared machine wall time says more about the neighbours.
#
#   bench/test_run_cost.sh          build and measure every tree (about 25 min of CPU)
#   bench/test_run_cost.sh --sum    only add up the tables of an earlier run
#
# Each tree's table lands in build/cost-<preset>.txt.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
cores=$(nproc)
# The test runs themselves on the idle machine: host with the images and
# Wine 30 s, ASan 59 s, TSan 40 s, then the three fuzz targets 55 s each,
# one per core at a time (make test-fuzz).
TEST_RUN_SECONDS=${TEST_RUN_SECONDS:-$((30 + 59 + 40 + 55 * ((3 + cores - 1) / cores)))}

presets="host asan tsan fuzz"
if command -v i686-w64-mingw32-g++ >/dev/null && command -v x86_64-w64-mingw32-g++ >/dev/null; then
  presets="host mingw-i686 mingw-x86_64 asan tsan fuzz"
fi
case "${1:-}" in
  "" | --sum) ;;
  *) echo "usage: bench/test_run_cost.sh [--sum]" >&2; exit 2 ;;
esac
if [ "${1:-}" != --sum ]; then
  for preset in $presets; do
    bench/build_cost.sh "$preset" >"build/cost-$preset.txt"
    echo "$preset: $(tail -1 "build/cost-$preset.txt")" >&2
  done
fi

echo "| tree | CPU s |"
echo "|---|---|"
total=0
for preset in $presets; do
  table=build/cost-$preset.txt
  [ -f "$table" ] || { echo "test_run_cost: no $table; run without --sum first" >&2; exit 1; }
  seconds=$(sed -n 's/^| all (.*) | \([0-9.]*\) | 100% |$/\1/p' "$table")
  echo "| $preset | $seconds |"
  total=$(awk -v a="$total" -v b="$seconds" 'BEGIN { printf "%.0f", a + b }')
done
echo "| all | $total |"
awk -v cpu="$total" -v cores="$cores" -v run="$TEST_RUN_SECONDS" 'BEGIN {
  printf "\nmake test on a fresh clone, idle machine: %.0f s of CPU / %d cores + %d s of test runs = %.0f s (%.1f min)\n",
    cpu, cores, run, cpu / cores + run, (cpu / cores + run) / 60 }'
