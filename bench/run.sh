#!/usr/bin/env bash
# Runs every benchmark and writes their figures as one Markdown file,
# build/bench/results.md (and prints it); what the programs say besides
# goes to build/bench/run.log. Builds first (scripts/setup.sh). The first
# run encodes the test clips (a few minutes), later runs read them back from
# build/bench-clips. A whole run takes about 15 minutes on two cores.
#   bench/run.sh [--quick]
# --quick: one run of each comparison, 1080p only, a 10-second four-phone
# run: for trying things out, not for figures.
#
# The end-to-end benchmarks open the engine, whose discovery then runs: as
# root they all run in a network namespace of their own with only loopback
# up, and a mount namespace with a /dev/shm of their own (a user namespace
# where the kernel allows one otherwise), like the tests.
set -euo pipefail
cd "$(dirname "$0")/.."
quick=no
[ "${1:-}" = "--quick" ] && quick=yes

[ "${TAVIN_ISOLATED_PID:-}" = "$$" ] || scripts/setup.sh
. scripts/private-network.sh
enter_private_network "$PWD/bench/run.sh" "$@"
[ "$TAVIN_ISOLATION" = none ] &&
  echo "bench: no namespace could be made; the engine's discovery runs on this machine's interfaces" >&2
# As in the tests: no DNS-SD daemon, no usbmuxd service and no adb of the
# machine; the adb stand-in without a state folder refuses every command.
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/bench-bus
export USBMUXD_SOCKET_ADDRESS=UNIX:/nonexistent/bench-usbmuxd
mkdir -p build/adb-bin && ln -sfn ../tools/adb build/adb-bin/adb
export PATH="$PWD/build/adb-bin:$PATH"

out=build/bench/results.md
log=build/bench/run.log
: >"$log"
if [ "$quick" = yes ]; then
  runs=(--runs 1) e2e=(--runs 1 --sizes 1080) four=(--runs 1 --seconds 10) gbench=()
else
  runs=() e2e=() four=() gbench=(--benchmark_repetitions=3 --benchmark_report_aggregates_only=true)
fi

# Google Benchmark's JSON as a Markdown table: the median of the
# repetitions and their standard deviation when there are several.
gbench_table() {
  awk '
    function value(line) { sub(/^[^:]*: */, "", line); gsub(/[",]/, "", line); return line }
    /"run_name":/ { name = value($0); kind = "value" }
    /"aggregate_name":/ { kind = value($0) }
    /"real_time":/ { time = value($0) }
    /"time_unit":/ {
      if (!(name in seen)) { seen[name] = 1; order[++n] = name }
      if (kind == "median" || kind == "value") median[name] = time
      if (kind == "stddev") spread[name] = time
      unit[name] = value($0)
    }
    END {
      print "| Benchmark | Real time (median) | Spread (stddev) | Unit |"
      print "|---|---:|---:|---|"
      for (i = 1; i <= n; i++) {
        m = order[i]
        s = (m in spread) ? sprintf("%.3f", spread[m]) : "-"
        printf "| %s | %.3f | %s | %s |\n", m, median[m], s, unit[m]
      }
      print ""
    }'
}

start=$(date +%s)
{
  echo "# Benchmark figures"
  echo
  echo "- Machine: $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1), $(nproc) cores," \
       "$(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo)"
  echo "- Commit: $(git rev-parse --short HEAD 2>/dev/null || echo unknown), $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "- Load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
  echo
  build/bench/receive_path_bench "${runs[@]}" 2>>"$log"
  build/bench/packet_ring_bench "${runs[@]}" 2>>"$log"
  build/bench/publishing_bench "${runs[@]}" 2>>"$log"
  build/bench/end_to_end_bench "${e2e[@]}" 2>>"$log"
  build/bench/end_to_end_bench --active "${e2e[@]}" 2>>"$log"
  build/bench/four_phones_bench "${four[@]}" 2>>"$log"
  echo "### Other benchmarks (Google Benchmark)"
  echo
  for b in audio_writer_bench idle_picture_bench ios_usb_watcher_bench picture_copy_bench preview_bench video_decode_bench; do
    [ -x "build/bench/$b" ] || continue
    echo "\`$b\`:"
    echo
    "build/bench/$b" --benchmark_format=json "${gbench[@]}" 2>>"$log" | gbench_table
  done
  echo "- Load average after: $(cut -d' ' -f1-3 /proc/loadavg); $(( $(date +%s) - start )) s in all"
} | tee "$out.part"
mv "$out.part" "$out"
echo "bench: figures in $out, other output in $log" >&2
