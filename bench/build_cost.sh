#!/usr/bin/env bash
# Where a build tree's time goes: configures a fresh copy of a preset's tree
# (build/cost-<preset>), builds it without ccache with every compile and link
# timed, and prints the CPU seconds per target, most first, and the total
# (docs/PERFORMANCE.md). CPU time rather than wall time: on a shared machine
# it is what one run can be compared with another by.
#
#   bench/build_cost.sh <preset: host, asan, tsan, fuzz> [make target, default the preset's]
set -euo pipefail
if [ "${1:-}" = --launch ]; then
  # Compiler and linker launcher: "<user> <sys> <output>" per step.
  shift
  out=? prev=
  for arg in "$@"; do [ "$prev" = -o ] && out=$arg; prev=$arg; done
  times=$(mktemp)
  status=0
  /usr/bin/time -q -f "%U %S" -o "$times" "$@" || status=$?
  echo "$(tail -1 "$times") $out" >>"$PDKIT_BUILD_COST_LOG"
  rm -f "$times"
  exit $status
fi

preset=${1:?usage: bench/build_cost.sh <preset> [make target]}
root=$(cd "$(dirname "$0")/.." && pwd)
tree=$root/build/cost-$preset
log=$tree.steps
self=$root/bench/build_cost.sh
rm -rf "$tree" "$log"
export CCACHE_DISABLE=1 PDKIT_BUILD_COST_LOG=$log
cmake --preset "$preset" -B "$tree" -DCMAKE_C_COMPILER_LAUNCHER="$self;--launch" \
  -DCMAKE_CXX_COMPILER_LAUNCHER="$self;--launch" -DCMAKE_CXX_LINKER_LAUNCHER="$self;--launch" >/dev/null
case $preset in
  tsan) target=${2:-concurrency_tests} ;;
  fuzz) target=${2:-fuzz_targets} ;;
  *) target=${2:-all} ;;
esac
start=$(date +%s)
cmake --build "$tree" -j "$(nproc)" --target "$target" >"$tree.log"
wall=$(($(date +%s) - start))
# A step's target: the CMakeFiles/<target>.dir of its object, or the file it links.
total=$(awk '{ t += $1 + $2 } END { printf "%.0f", t }' "$log")
echo "| $preset tree: target | CPU s | share |"
echo "|---|---|---|"
awk -v total="$total" '
  { out = $3
    if (match(out, /CMakeFiles\/[^\/]+\.dir\//)) { t = substr(out, RSTART + 11, RLENGTH - 16) }
    else { n = split(out, parts, "/"); t = parts[n]; if (sub(/\.so$/, "", t) && parts[n - 1] == "lib") sub(/^lib/, "", t) }
    sum[t] += $1 + $2 }
  END { for (t in sum) printf "| %s | %.1f | %.0f%% |\n", t, sum[t], 100 * sum[t] / total }' "$log" |
  sort -t'|' -k3 -rn
echo "| all (wall $wall s with $(nproc) jobs) | $total | 100% |"
