#!/usr/bin/env bash
# Builds the fuzzers (scripts/setup.sh --fuzz, into build-fuzz/) and runs
# each one for SECONDS (default 60), one after the other.
#   scripts/fuzz.sh [SECONDS] [HARNESS...]
# HARNESS names pick some of them (frame_stream_fuzz, gif_decoder_fuzz, ...;
# default: every fuzz/*_fuzz.cpp). Each starts from its checked-in seeds in
# fuzz/corpus/<harness>/ and the inputs earlier runs found, kept in
# build-fuzz/corpus/<harness>/. A crash, a leak, undefined behaviour, an
# input that runs longer than 10 s or a failed check stops that harness; the
# input is left in build-fuzz/findings/ and the script fails. Once fixed,
# the input goes into fuzz/corpus/<harness>/ as a regression input. Every
# harness's log, with its execution count, is in build-fuzz/logs/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
[ $# -gt 0 ] && shift
scripts/setup.sh --fuzz

harnesses=("$@")
if [ ${#harnesses[@]} -eq 0 ]; then
  for src in fuzz/*_fuzz.cpp; do harnesses+=("$(basename "$src" .cpp)"); done
fi
mkdir -p build-fuzz/findings build-fuzz/logs
failed=()
printf '%-22s %14s %10s %8s  %s\n' harness executions "exec/s" inputs result
for h in "${harnesses[@]}"; do
  mkdir -p "build-fuzz/corpus/$h"
  log=build-fuzz/logs/$h.log
  result=clean
  build-fuzz/fuzz/"$h" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2560 -print_final_stats=1 \
    -artifact_prefix="build-fuzz/findings/$h-" "build-fuzz/corpus/$h" "fuzz/corpus/$h" >"$log" 2>&1 ||
    { result="FINDING (see $log)"; failed+=("$h"); }
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  inputs=$(find "build-fuzz/corpus/$h" -type f | wc -l)
  printf '%-22s %14s %10s %8s  %s\n' "$h" "${runs:-?}" "${rate:-?}" "$inputs" "$result"
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: findings in ${failed[*]}" >&2
  exit 1
fi
