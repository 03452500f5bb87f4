#!/usr/bin/env bash
# Every speed goal of docs/PERFORMANCE.md ("Goals") measured on this machine,
# ending with one table: a row per goal with its baseline, the figure now,
# the goal, whether it is met and the command that gives the row again.
#   1  fuzzing: each fuzz target for BENCH_FUZZ_SECONDS (55) from the committed
#      corpus, one per core at a time: executions a second, CPU per input
#   2  a fresh clone (ccache off) from the start of `make demo-run` to the
#      first line the tour prints
#   3  `make test-all` on a fresh clone (ccache off), wall time (about 10 min)
#   4  pdctl's peak resident memory running a 300,000-line script, beside a
#      30,000-line one (memory flat in the script's length)
# The driver path's ratio to its floor and DbgPrint's cost are pdbench's
# (`make bench` runs it first and keeps its output in build/host/pdbench.txt,
# whose goal lines the table repeats). Wall times move with the machine's
# load: the load average is printed at the start and the end.
#
#   bench/goals.sh [1 2 3 4]     the goals named (default all); exit 1 when one could not be measured
#   bench/goals.sh --check [N]   only check the arguments and that the bench scripts parse
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. bench/fuzz_lib.sh
work=$root/build/goals
cores=$(nproc)
fuzz_seconds=${BENCH_FUZZ_SECONDS:-55}
targets="fuzz_tavrin fuzz_kelvane fuzz_ostrel"
rows=()
failed=no # a measurement that could not be made (an unmet goal is a figure, not a failure)

usage() {
  echo "usage: bench/goals.sh [--check] [1 2 3 4]   (goals 1 to 4; none named: all)" >&2
  exit 2
}

check=no
[ "${1:-}" = --check ] && { check=yes; shift; }
goals=${*:-1 2 3 4}
for goal in $goals; do
  case $goal in 1 | 2 | 3 | 4) ;; *) echo "goals: no goal '$goal'" >&2; usage ;; esac
done
[[ $fuzz_seconds =~ ^[1-9][0-9]*$ ]] || { echo "goals: BENCH_FUZZ_SECONDS must be a whole number of seconds, not '$fuzz_seconds'" >&2; exit 2; }
if [ $check = yes ]; then
  for script in bench/*.sh; do bash -n "$script" || { echo "goals: $script does not parse" >&2; exit 1; }; done
  echo "goals: arguments and bench scripts check out"
  exit 0
fi

row() { rows+=("| $1 | $2 | $3 | $4 | $5 | \`$6\` |"); }
load() { cut -d' ' -f1-3 /proc/loadavg; }
# The Make and ccache settings of whoever called us stay out of the fresh clone's build.
clean_env=(env -u MAKEFLAGS -u MFLAGS -u MAKELEVEL -u CMAKE_C_COMPILER_LAUNCHER -u CMAKE_CXX_COMPILER_LAUNCHER
  CCACHE_DISABLE=1)

fresh_clone() {
  mkdir -p "$work"
  clone=$(mktemp -d "$work/clone.XXXXXX")
  git clone --quiet "$root" "$clone"
}
remove_clone() { [ -z "${clone:-}" ] || rm -rf "$clone"; clone=; }
trap remove_clone EXIT

goal_fuzzing() {
  local log=$work/fuzz-build.log
  if ! { [ -f build/fuzz/build.ninja ] || cmake --preset fuzz >"$log" 2>&1; } ||
    ! cmake --build build/fuzz --target fuzz_targets >>"$log" 2>&1; then
    echo "goals: the fuzz targets did not build (they need clang; by hand: cmake --preset fuzz &&" \
      "cmake --build build/fuzz --target fuzz_targets); see $log" >&2
    row "1 fuzzing" "163/141/213 per s" "not built" "≥ 2,000/s each" no "bench/goals.sh 1" && failed=yes
    return
  fi
  echo "goals: 1: each fuzz target for $fuzz_seconds s, $cores at a time" >&2
  for target in $targets; do
    while [ "$(jobs -rp | wc -l)" -ge "$cores" ]; do wait -n || true; done
    fuzz_timed_run "build/fuzz/bin/$target" "$fuzz_seconds" "$work/$target" "fuzz/corpus/$target" &
  done
  wait || true
  local figure= met=yes rate
  for target in $targets; do
    rate=$(fuzz_stat "$work/$target" average_exec_per_sec)
    # /usr/bin/time's "Command exited with non-zero status" or "Command terminated by signal".
    if [ -z "$rate" ] || grep -q '^Command ' "$work/$target/cpu.txt"; then
      echo "goals: $target failed; its output: $work/$target/log.txt" >&2
      failed=yes rate=${rate:-0}
    fi
    figure+="${figure:+; }${target#fuzz_} $rate/s ($(fuzz_cpu_ms "$work/$target") ms CPU an input)"
    [ "$rate" -ge 2000 ] || met=no
  done
  row "1 fuzzing" "163/141/213 per s" "$figure" "≥ 2,000/s each" $met "BENCH_FUZZ_SECONDS=$fuzz_seconds bench/goals.sh 1"
}

# Each line of the standard input as "<when it arrived, epoch seconds> <line>", to the file named.
stamp_lines() {
  local line
  while IFS= read -r line; do echo "$EPOCHREALTIME $line"; done >>"$1"
}

goal_first_demo() {
  echo "goals: 2: make demo-run on a fresh clone, ccache off" >&2
  fresh_clone
  local log=$work/demo-run.log start=$EPOCHREALTIME status=0
  echo "$start (make demo-run starts)" >"$log"
  (cd "$clone" && "${clean_env[@]}" PDCTL_DEMO_PACE_MS=0 make demo-run 2>&1) | stamp_lines "$log" ||
    status=$?
  # The tour's first line with text, to find it among the build's lines before it.
  local first
  first=$(cd "$clone" && PDCTL_DEMO_PACE_MS=0 build/host/bin/pdctl demo 2>/dev/null | grep -m1 . || true)
  remove_clone
  local seconds
  seconds=$(awk -v first="$first" -v start="$start" \
    'first != "" && substr($0, index($0, " ") + 1) == first { print $1 - start; exit }' "$log")
  if [ "$status" -ne 0 ] || [ -z "$seconds" ]; then
    echo "goals: make demo-run on the fresh clone failed or printed no tour; see $log" >&2
    row "2 first demo" "2 min 44 s" "failed" "≤ 60 s" no "bench/goals.sh 2" && failed=yes
    return
  fi
  row "2 first demo" "2 min 44 s" "$(printf '%.1f s' "$seconds")" "≤ 60 s" "$(awk -v s="$seconds" 'BEGIN { print s <= 60 ? "yes" : "no" }')" \
    "bench/goals.sh 2"
}

goal_test_run() {
  echo "goals: 3: make test-all on a fresh clone, ccache off (about 10 minutes)" >&2
  fresh_clone
  local log=$work/test-all.log times=$work/test-all.time status=0
  (cd "$clone" && "${clean_env[@]}" /usr/bin/time -f "%e %U %S" -o "$times" make test-all >"$log" 2>&1) || status=$?
  remove_clone
  if [ "$status" -ne 0 ]; then
    echo "goals: make test-all failed on the fresh clone; see $log" >&2
    row "3 test run" "about 17 min" "failed" "≤ 10 min" no "bench/goals.sh 3" && failed=yes
    return
  fi
  local wall user sys
  read -r wall user sys <<<"$(tail -1 "$times")"
  row "3 test run" "about 17 min" "$(awk -v w="$wall" -v u="$user" -v s="$sys" \
    'BEGIN { printf "%d min %02d s (CPU %.0f s)", w / 60, w % 60, u + s }')" "≤ 10 min" \
    "$(awk -v w="$wall" 'BEGIN { print w <= 600 ? "yes" : "no" }')" "bench/goals.sh 3"
}

# A script of <lines> lines: open, then writes, reads, descriptions and tables in turn, and close.
write_script() {
  awk -v n="$1" 'BEGIN {
    print "open"
    split("write hello pdctl|read 11|describe|table", commands, "|")
    for (i = 0; i < n - 2; i++) print commands[i % 4 + 1]
    print "close" }' >"$2"
}

goal_script_memory() {
  if ! cmake --build build/host --target pdctl >"$work/pdctl-build.log" 2>&1; then
    echo "goals: pdctl did not build (make host first); see $work/pdctl-build.log" >&2
    row "4 pdctl memory" "none given" "not built" "≤ 20 MiB at 300,000" no "bench/goals.sh 4" && failed=yes
    return
  fi
  echo "goals: 4: pdctl's peak memory running 30,000 and 300,000-line scripts" >&2
  local lines figure= met=yes kib
  for lines in 30000 300000; do
    write_script $lines "$work/script-$lines.pd"
    if ! /usr/bin/time -f %M -o "$work/script-$lines.rss" build/host/bin/pdctl -f "$work/script-$lines.pd" >/dev/null; then
      echo "goals: pdctl failed on $work/script-$lines.pd" >&2
      row "4 pdctl memory" "none given" "failed" "≤ 20 MiB at 300,000" no "bench/goals.sh 4" && failed=yes
      return
    fi
    kib=$(tail -1 "$work/script-$lines.rss")
    figure+="${figure:+; }$(awk -v k="$kib" 'BEGIN { printf "%.1f MiB", k / 1024 }') for $(sed ':a; s/\B[0-9]\{3\}\>/,&/; ta' <<<"$lines") lines"
  done
  [ "$kib" -le $((20 * 1024)) ] || met=no
  row "4 pdctl memory" "none given" "$figure" "≤ 20 MiB at 300,000" $met "bench/goals.sh 4"
}

# The goal lines of pdbench's summary ("  goal: <wording>: met (worst <name>: <figure>)"),
# when make bench has run it.
pdbench_rows() {
  local summary=build/host/pdbench.txt pdbench="build/host/bin/pdbench --benchmark_repetitions=3"
  local name baseline goal filter line met
  for name in "5 driver path" DbgPrint; do
    case $name in
      5*) baseline="3.6x to 10x" goal="≤ 3x" filter="DriverPath/.*/discarded" ;;
      *) baseline="43 ns" goal="< 100 ns" filter="DbgPrint/.*" ;;
    esac
    line=$( [ -f "$summary" ] && grep -m1 "^  goal: ${name#5 }" "$summary" || true)
    if [ -z "$line" ]; then
      row "$name" "$baseline" "see make bench" "$goal" "?" "$pdbench --benchmark_filter='$filter'"
      continue
    fi
    met=$([[ $line == *": met ("* ]] && echo yes || echo no)
    line=${line##*(worst }
    row "$name" "$baseline" "worst ${line%)} (pdbench at $(date -r "$summary" +%H:%M))" "$goal" "$met" \
      "$pdbench --benchmark_filter='$filter'"
  done
}

mkdir -p "$work"
start_load=$(load)
echo "goals: load average at the start: $start_load" >&2
for goal in $goals; do
  case $goal in
    1) goal_fuzzing ;;
    2) goal_first_demo ;;
    3) goal_test_run ;;
    4) goal_script_memory ;;
  esac
done
pdbench_rows

echo
echo "| goal | baseline | now | goal | met? | command |"
echo "|---|---|---|---|---|---|"
printf '%s\n' "${rows[@]}"
echo
echo "Load average at the end: $(load) (at the start: $start_load)"
[ $failed = no ] || { echo "goals: some goals could not be measured (above)" >&2; exit 1; }
