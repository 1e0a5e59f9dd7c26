#!/usr/bin/env bash
# Runs every fuzz target for SECONDS (default 60) from its seeds and its growing corpus, then
# prints each target's executions and coverage. Findings are written to BUILD/findings.
#   fuzz/run.sh BUILD [SECONDS] [TARGET...]
set -u
build=$1
seconds=${2:-60}
shift $(( $# < 2 ? $# : 2 ))
targets=${*:-container model network dicom archive pack round_trip}
failed=0
mkdir -p "$build/findings" "$build/logs"
for target in $targets; do
  mkdir -p "$build/corpus/$target"
  log="$build/logs/$target.log"
  "$build/fuzz/${target}_fuzz" "$build/corpus/$target" "$build/seeds/$target" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="$build/findings/$target-" >"$log" 2>&1 || failed=1
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  cov=$(grep -E '^#[0-9]+' "$log" | tail -1 | grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+/[0-9a-zA-Z]+')
  status=$(grep -qE '^==[0-9]+==ERROR|^SUMMARY|property broken' "$log" && echo FINDING || echo ok)
  printf '%-11s %6ss  %10s runs  %s  %s\n' "$target" "$seconds" "${runs:-?}" "$cov" "$status"
done
exit $failed
