#!/usr/bin/env bash
# The soak run: four simulated phones stream to the engine's four slots for
# a long time while phones come and go, slot 0 takes slot 1's phone now and
# then, the camera consumers change formats, the driver substitute
# restarts, and for the middle part of the run a hostile neighbour floods
# the link. Not part of the test suite.
#
#   tests/soak/soak.sh [SECONDS]        (as root; default 600; builds first)
#
# Everything runs in network namespaces made here and removed at the end,
# also on Ctrl-C: the engine's, with a bridge (10.77.0.1/24) that the
# others join by veth pairs; one per phone (10.77.0.11 .. 14), so that each
# announces from an address of its own; and the neighbour's (10.77.0.66).
# IPv6 is off in all of them. The engine side also gets a private /dev/shm.
# Logs and the summary (summary.txt) go to build/soak/.
#
# The schedule, as fractions of the run: slot 0 takes slot 1's phone at
# 0.10, 0.25, 0.80 and 0.90; phone 3 leaves at 0.15 and comes back at 0.20,
# phone 2 leaves at 0.85 and comes back at 0.88; the consumers of cameras
# 0..3 ask for another format every 40 s; the driver substitute restarts at
# 0.95; the neighbour floods from 0.30 to 0.75 and announces phone 0's id
# from its own address meanwhile.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-600}
if [ "$(id -u)" -ne 0 ]; then
  echo "soak: needs root (network namespaces)" >&2
  exit 1
fi
# Builds what it runs (the whole build only when there is none yet, so that
# the build's options stay as they are).
[ -f build/build.ninja ] || bash scripts/setup.sh >/dev/null
ninja -C build --quiet engine soak_host hostile_neighbour phone vcam adb

root=$PWD
out=$root/build/soak
rm -rf "$out"
mkdir -p "$out"
tag=tsk$$
eng=$tag-eng
bad=$tag-bad
phones=("$tag-p0" "$tag-p1" "$tag-p2" "$tag-p3")
ids=(a0000000000000000000000000000001 b0000000000000000000000000000002
     c0000000000000000000000000000003 d0000000000000000000000000000004)
pids=()

cleanup() {
  trap - EXIT INT TERM
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  sleep 1
  for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  for ns in "$eng" "$bad" "${phones[@]}"; do ip netns del "$ns" 2>/dev/null || true; done
}
trap cleanup EXIT
trap 'echo "soak: interrupted" >&2; exit 130' INT TERM

at() { awk -v s="$seconds" -v f="$1" 'BEGIN { printf "%d", s * f }'; }

# ---- The link -----------------------------------------------------------------
newns() {
  ip netns add "$1"
  ip -n "$1" link set lo up
  ip netns exec "$1" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
}
newns "$eng"
ip -n "$eng" link add br0 type bridge
ip -n "$eng" addr add 10.77.0.1/24 dev br0
ip -n "$eng" link set br0 up
join() {  # namespace, its interface name, its address
  newns "$1"
  ip link add "$2" netns "$1" type veth peer name "b-$2" netns "$eng"
  ip -n "$eng" link set "b-$2" master br0 up
  ip -n "$1" addr add "$3/24" dev "$2"
  ip -n "$1" link set "$2" up
}
for i in 0 1 2 3; do join "${phones[$i]}" "p$i" "10.77.0.1$((i + 1))"; done
join "$bad" hostile 10.77.0.66

# ---- The phones ---------------------------------------------------------------
startPhone() {
  ip netns exec "${phones[$1]}" "$root/build/tools/phone" --id "${ids[$1]}" --name "Soak Phone $1" \
    --bind "10.77.0.1$(($1 + 1))" --session-port 4699 --probe-port 0 --formats 320x240@15,640x480@15 \
    --announce 239.255.188.58 --announce-interface "p$1" --no-log >>"$out/phone$1.log" 2>&1 &
  phonePid[$1]=$!
  pids+=("$!")
}
declare -a phonePid
for i in 0 1 2 3; do startPhone "$i"; done

# ---- The engine's side: the driver substitute and the host ------------------------
# One mount namespace inside the engine's network namespace, for a /dev/shm of
# its own; the driver substitute restarts inside it.
cat >"$out/engine-side.sh" <<EOF
set -u
mount -t tmpfs -o mode=1777 tmpfs /dev/shm
export TAVIN_DEVICE_DIR=$out/devices XDG_CONFIG_HOME=$out/config
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/soak-bus USBMUXD_SOCKET_ADDRESS=UNIX:/nonexistent/soak-usbmuxd
mkdir -p $out/adb-bin && ln -sfn $root/build/tools/adb $out/adb-bin/adb
export PATH=$out/adb-bin:\$PATH
fifo=$out/vcam.fifo
vcam() {
  $root/build/tools/vcam --device-dir \$TAVIN_DEVICE_DIR --commands \$fifo --stats-interval 10 --consumer \
    >>$out/vcam.log 2>&1 &
  vcamPid=\$!
  for _ in \$(seq 100); do [ -p \$fifo ] && break; sleep 0.1; done
  exec 9>\$fifo  # held open, so that the driver substitute never sees the end of its commands
}
say() { echo "\$1" >&9; }
vcam
$root/build/tests/soak_host --lib $root/build/libengine.so --seconds $seconds \
  --switch-at $(at 0.10),$(at 0.25),$(at 0.80),$(at 0.90) --smaps-at $(at 0.05),$(at 0.50),$(at 0.94) \
  --smaps-dir $out >$out/host.log 2>&1 &
host=\$!
formats=("320 240 15 1" "640 480 15 0" "640 480 15 2" "320 240 15 3")
start=\$(date +%s); next=40; n=0; restarted=0
while kill -0 \$host 2>/dev/null; do
  sleep 1
  t=\$((\$(date +%s) - start))
  if [ \$t -ge \$next ]; then
    say "request \$((n % 4)) \${formats[\$(((n / 4 + n) % 4))]}"
    n=\$((n + 1)); next=\$((next + 40))
  fi
  if [ \$restarted -eq 0 ] && [ \$t -ge $(at 0.95) ]; then
    restarted=1
    echo "engine-side: t=\$t driver substitute restarts" >>$out/vcam.log
    say stats; say quit; exec 9>&-
    wait \$vcamPid
    sleep 2
    vcam
  fi
done
wait \$host
say stats; sleep 1; say quit; exec 9>&-
wait \$vcamPid
EOF
ip netns exec "$eng" unshare --mount --propagation private bash "$out/engine-side.sh" &
pids+=("$!")
engineSide=$!

# ---- The schedule -------------------------------------------------------------
startTime=$(date +%s)
waitUntil() { while [ $(($(date +%s) - startTime)) -lt "$1" ] && kill -0 "$engineSide" 2>/dev/null; do sleep 1; done; }
note() { echo "soak: t=$(($(date +%s) - startTime)) $*" | tee -a "$out/schedule.log"; }
waitUntil "$(at 0.15)"; note "phone 3 leaves"; kill "${phonePid[3]}"
waitUntil "$(at 0.20)"; note "phone 3 comes back"; startPhone 3
waitUntil "$(at 0.30)"; note "the neighbour floods and announces phone 0's id"
ip netns exec "$bad" "$root/build/tests/hostile_neighbour" --interface hostile --engine 10.77.0.1 \
  --rate 10000 --spoof "${ids[0]}" --seconds $(($(at 0.75) - $(at 0.30))) >"$out/hostile.log" 2>&1 &
pids+=("$!")
waitUntil "$(at 0.75)"; note "the neighbour stops"
waitUntil "$(at 0.85)"; note "phone 2 leaves"; kill "${phonePid[2]}"
waitUntil "$(at 0.88)"; note "phone 2 comes back"; startPhone 2
wait "$engineSide" || true
for i in 0 1 2 3; do kill "${phonePid[$i]}" 2>/dev/null || true; done
sleep 2

# ---- The summary ----------------------------------------------------------------
{
  echo "soak run of $seconds s"
  cat "$out/schedule.log"
  grep -E "^soak: (t=[0-9.]+ (slot 0 takes|no switch)|EOpen|end|unloaded)" "$out/host.log"
  echo "the host's process while the slots ran (from the first stats line after the start):"
  grep -E "^soak: stats" "$out/host.log" | sed 's/[a-z]*=//g' | awk 'NR > 1 {
      if (NR == 2) { rss0 = $4; heap0 = $6; t0 = $3; anon0 = $10; shmem0 = $12; file0 = $14 }
      if ($4 > rssMax) rssMax = $4; if ($6 > heapMax) heapMax = $6
      if (thrMin == "" || $8 < thrMin) thrMin = $8; if ($8 > thrMax) thrMax = $8
      if (fdMin == "" || $9 < fdMin) fdMin = $9; if ($9 > fdMax) fdMax = $9
      rss = $4; heap = $6; t = $3; anon = $10; shmem = $12; file = $14 }
    END { printf "  resident %d kB at t=%d, %d kB at t=%d (at most %d kB)\n", rss0, t0, rss, t, rssMax
          printf "    of which anonymous %d kB, then %d kB; shared memory %d kB, then %d kB; files %d kB, then %d kB\n",
            anon0, anon, shmem0, shmem, file0, file
          printf "  heap in use %d kB at t=%d, %d kB at t=%d (at most %d kB)\n", heap0, t0, heap, t, heapMax
          printf "  threads %d..%d, descriptors %d..%d (each slot without a session has one thread and one descriptor less)\n", thrMin, thrMax, fdMin, fdMax }'
  # Resident kB per kind of mapping (files by name, anonymous ones by their
  # size: malloc's arenas are 64 MB, thread stacks 8 MB), first copy to last.
  smaps=$(cd "$out" && ls -v smaps-*.txt 2>/dev/null | sed -n '1p;$p' | tr '\n' ' ')
  if [ "$(echo $smaps | wc -w)" -eq 2 ]; then
    echo "resident memory by mapping that changed by 512 kB or more ($smaps):"
    awk '/^[0-9a-f]+-[0-9a-f]+ / { name = $6 } /^Size:/ { if (name == "") key = "anonymous " $2 " kB"; else key = name }
         /^Rss:/ { rss[FILENAME == ARGV[1], key] += $2; keys[key] = 1 }
         END { for (k in keys) { d = rss[0, k] - rss[1, k]; if (d >= 512 || d <= -512) printf "  %s: %d kB to %d kB\n", k, rss[1, k], rss[0, k] } }' \
      $(for f in $smaps; do echo "$out/$f"; done) | sort
  fi
  tail -n 1 "$out/hostile.log" 2>/dev/null || true
  echo "pictures the driver substitute received per camera (each run of it):"
  grep -E "^vcam: stats camera" "$out/vcam.log" | awk '{ print $4, $6 }' |
    awk '{ if ($2 < last[$1]) total[$1] += last[$1]; last[$1] = $2 }
         END { for (c in last) printf "  camera %s: %d\n", c, total[c] + last[c] }' | sort
  echo "sessions per phone (pictures sent, and timed by the engine's decoder):"
  for i in 0 1 2 3; do
    grep -E "session [0-9]+: ended" "$out/phone$i.log" | sed "s/^phone: /  phone $i /"
  done
  cat "$out"/phone*.log | grep -E "session [0-9]+: ended" | tr -d '(' |
    awk '{ sent += $(NF - 4); timed += $(NF - 1); lost = $(NF - 4) - $(NF - 1); if (lost > most) most = lost }
         END { printf "  %d pictures sent, %d timed; at most %d untimed in one session (sent while the session was being ended)\n", sent, timed, most }'
  echo "error records the phones received:"
  cat "$out"/phone*.log | { grep -E "engine error record" || echo "  none"; } | sort | uniq -c
} | tee "$out/summary.txt"
