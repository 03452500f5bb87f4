# Shared by the benchmarks that fuzz (fuzz_rate.sh, goals.sh): one timed run
# of a libFuzzer target with the flags make test's fuzzing uses, and what its
# final stats say. Sourced, not run.
#
#   fuzz_timed_run <binary> <seconds> <run dir> <seed corpus>
#       runs the target from <seed corpus> into <run dir>/corpus (made afresh);
#       its output goes to <run dir>/log.txt, its user and system CPU seconds
#       (helper threads included) to <run dir>/cpu.txt; returns its status
#   fuzz_stat <run dir> <name>     one of libFuzzer's final stats (stat::<name>)
#   fuzz_coverage <run dir>        "cov / ft" of the last status line
#   fuzz_cpu_ms <run dir>          CPU milliseconds per input executed

fuzz_timed_run() {
  local binary=$1 seconds=$2 run=$3 seeds=$4
  rm -rf "$run" && mkdir -p "$run/corpus"
  /usr/bin/time -f "%U %S" -o "$run/cpu.txt" \
    "$binary" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 -max_len=2048 -print_final_stats=1 \
    -artifact_prefix="$run/" "$run/corpus" "$seeds" >"$run/log.txt" 2>&1
}

fuzz_stat() {
  sed -n "s/^stat::$2: *//p" "$1/log.txt" | tail -1
}

fuzz_coverage() {
  grep -Eo 'cov: [0-9]+ ft: [0-9]+' "$1/log.txt" | tail -1 | sed 's/cov: \([0-9]*\) ft: \([0-9]*\)/\1 \/ \2/'
}

fuzz_cpu_ms() {
  # /usr/bin/time writes a "Command exited with non-zero status" line first when the target fails.
  awk -v n="$(fuzz_stat "$1" number_of_executed_units)" \
    'END { if (n > 0) printf "%.2f", ($1 + $2) * 1000 / n; else printf "?" }' "$1/cpu.txt"
}
