#!/usr/bin/env bash
# The main job: what a user of the product sees, from a built tree
# (scripts/run-main.sh builds first and then runs this).
#
#   scripts/main-job.sh [--seconds S] [--output DIR] [--loopback] [--no-cable]
#
# It starts the driver substitute (tools/vcam: four cameras in shared
# memory, a consumer asking 1280 x 720 YUY2 at 30 fps, the sound kept as
# WAV), the phone simulator (tools/phone: H.264 with its frame counter and
# an Opus tone), two phones on a cable (an iPhone reached through the
# usbmuxd peer, an Android phone behind the adb stand-in) and the host
# program (tools/host) with the engine. The engine finds the phones by
# itself, chooses one for each camera and streams.
#
# Progress is told in a person's words by tools/narrator, one line per
# event, from the tools' own output (kept in DIR/logs). The output folder
# DIR (default build/main-job) receives what the camera and the audio
# device of the phone's camera received: idle.png (camera 1 before any
# phone connects), phone.png (the phone's picture), phone.y4m (a short
# clip), phone.wav (its sound), and preview.png (the host's preview of
# camera 1).
#
# It stops after S seconds (default 15) or on Ctrl-C (SIGINT) or SIGTERM,
# prints a summary, and removes every process, namespace, shared object,
# socket and device file it made.
#
# Network: as root the job runs in a network namespace of its own, the
# phone in a second one joined to it by a veth pair; the phone announces
# itself by multicast and answers DNS-SD there. Otherwise (or with
# --loopback) the phone listens on loopback and the host adds it by
# address; a user namespace keeps even that run off the machine's
# interfaces where the kernel allows one. Either way the job's shared
# memory is a /dev/shm of its own when it has a namespace.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
args=("$@")

usage() { echo "usage: scripts/main-job.sh [--seconds S] [--output DIR] [--loopback] [--no-cable]"; }

seconds=15
output=$root/build/main-job
loopback=no
cable=yes
while [ $# -gt 0 ]; do
  case $1 in
    --seconds) seconds=${2:-}; shift 2 || { usage >&2; exit 2; } ;;
    --output) output=${2:-}; shift 2 || { usage >&2; exit 2; } ;;
    --loopback) loopback=yes; shift ;;
    --no-cable) cable=no; shift ;;
    -h|--help) usage; exit 0 ;;
    *) echo "main-job: unknown argument $1" >&2; usage >&2; exit 2 ;;
  esac
done
if ! [[ $seconds =~ ^[0-9]+([.][0-9]+)?$ ]] || [ "$seconds" = 0 ]; then
  echo "main-job: --seconds takes a positive number" >&2
  exit 2
fi
[ -n "$output" ] || { echo "main-job: --output takes a folder" >&2; exit 2; }
mkdir -p "$output"
output=$(cd "$output" && pwd)
for tool in vcam phone host narrator usbmuxd-peer adb; do
  [ -x "build/tools/$tool" ] || { echo "main-job: build/tools/$tool is missing (run scripts/setup.sh)" >&2; exit 1; }
done

# A network and mount namespace of the job's own (exec keeps its process
# id, so signals sent to it still arrive).
. scripts/private-network.sh
enter_private_network "$root/scripts/main-job.sh" "${args[@]}"
network=loopback
[ "$TAVIN_ISOLATION" = root ] && [ "$loopback" = no ] && network=namespaces

logs=$output/logs
rm -rf "$logs"
rm -f "$output"/idle.png "$output"/phone.png "$output"/phone.y4m "$output"/phone.wav "$output"/preview.png
mkdir -p "$logs"
work=$(mktemp -d "${TMPDIR:-/tmp}/tavin-main.XXXXXX")

# Every process the job starts, stopped in the order the job ends them and,
# whatever happens, by the exit trap.
pids=()
host_pid="" vcam_pid="" narrator_pid="" holder=""
interrupted=no
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do stop_process "$pid" KILL 2; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'interrupted=yes' INT TERM

# stop_process PID SIGNAL SECONDS: sends SIGNAL (unless it already ended),
# waits at most SECONDS, then kills it.
stop_process() {
  local pid=$1 signal=$2 limit=$3 i
  [ -n "$pid" ] || return 0
  kill -"$signal" "$pid" 2>/dev/null || true
  for ((i = 0; i < limit * 10; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# wait_line FILE PATTERN: waits up to 10 s for a line matching PATTERN.
wait_line() {
  local i
  for ((i = 0; i < 100; i++)); do
    grep -q -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# "SESSION-PORT PROBE-PORT" of a phone simulator from its log.
listening_ports() {
  wait_line "$1" '^phone: listening' || true
  sed -n 's/^phone: listening [^ ]* \([0-9]*\) \([0-9]*\).*/\1 \2/p' "$1" | head -n 1
}

# Sends one command to the driver substitute through its FIFO (which it
# holds open, so the write does not wait for a reader).
vcam_command() { timeout 5 bash -c 'printf "%s\n" "$1" >"$2"' _ "$1" "$work/vcam.commands" || true; }

export TAVIN_DEVICE_DIR=$work/devices XDG_CONFIG_HOME=$work/config
# The DNS-SD library must not reach a daemon of the machine, which would
# query real interfaces on the engine's behalf: the engine's own multicast
# DNS client runs instead.
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$work/no-bus
# The iPhone on a cable is reached through the usbmuxd peer's socket, and
# the engine runs the adb stand-in, never the machine's own.
export USBMUXD_SOCKET_ADDRESS=UNIX:$work/usbmuxd
mkdir "$work/adb" "$work/adb-bin"
ln -s "$root/build/tools/adb" "$work/adb-bin/adb"
export PATH="$work/adb-bin:$PATH" TAVIN_ADB_DIR=$work/adb

phone_name="Simulated phone"
iphone_name="Cable phone"
android_name="Simulated Android phone"

echo "The main job runs for $seconds s; what the camera and the audio device receive goes to $output."
if [ "$network" = namespaces ]; then
  echo "Network: namespaces of its own; the phone announces itself by multicast and answers DNS-SD."
else
  echo "Network: loopback; the host adds the phone by address."
  [ "$TAVIN_ISOLATION" = none ] &&
    echo "(No namespace could be made: the engine's discovery also runs on this machine's interfaces.)"
fi
echo "Starting the driver substitute (four cameras in shared memory, a consumer asking 1280 x 720 YUY2 at 30 fps),"
echo "the phone simulator \"$phone_name\" (H.264 with its frame counter, a 440 Hz tone),"
[ "$cable" = yes ] && echo "two phones on a cable (\"$iphone_name\" through usbmuxd, \"$android_name\" through adb),"
echo "and the host program with the engine."

# ---- the driver substitute and the narrator
wavs=()
for i in 0 1 2 3; do wavs+=(--wav "$i:$work/audio$i.wav"); done
build/tools/vcam --consumer --format 1280x720@30:1 "${wavs[@]}" --stats-interval 1 \
  --commands "$work/vcam.commands" >"$logs/vcam.log" 2>&1 &
vcam_pid=$!
pids+=("$vcam_pid")

follow=(--follow "host=$logs/host.log" --follow "vcam=$logs/vcam.log"
        --follow "phone:$phone_name=$logs/phone.log")
[ "$cable" = yes ] && follow+=(--follow "phone:$iphone_name=$logs/cable-iphone.log"
                               --follow "phone:$android_name=$logs/cable-android.log")
build/tools/narrator "${follow[@]}" --error-record "$XDG_CONFIG_HOME/Tavin/webcam/erd" &
narrator_pid=$!
pids+=("$narrator_pid")
wait_line "$logs/vcam.log" '^vcam: ready' || { echo "main-job: the driver substitute did not start" >&2; exit 1; }
# Camera 1's first picture is the idle one: no phone is connected yet.
vcam_command "snapshot 0 $output/idle.png"

# ---- the phone
host_args=()
if [ "$network" = namespaces ]; then
  # The phone's namespace, kept by a holder process, and the veth pair.
  unshare --net sleep infinity &
  holder=$!
  pids+=("$holder")
  sleep 0.2
  ip link add tvmain0 type veth peer name tvphone0
  ip link set tvphone0 netns "/proc/$holder/ns/net"
  ip addr add 10.78.0.1/24 dev tvmain0
  ip link set tvmain0 multicast on up
  nsenter --net="/proc/$holder/ns/net" sh -c '
    ip link set lo up &&
    ip addr add 10.78.0.2/24 dev tvphone0 &&
    ip link set tvphone0 multicast on up'
  nsenter --net="/proc/$holder/ns/net" build/tools/phone --bind 0.0.0.0 --probe-port 0 \
    --announce 239.255.188.58 --announce-interface tvphone0 --mdns tvphone0 \
    --name "$phone_name" --audio >"$logs/phone.log" 2>&1 &
  pids+=($!)
else
  build/tools/phone --bind 127.0.0.1 --session-port 0 --probe-port 0 --name "$phone_name" --audio \
    >"$logs/phone.log" 2>&1 &
  pids+=($!)
  read -r port _ <<<"$(listening_ports "$logs/phone.log")"
  host_args=(--address "127.0.0.1:${port:-4699}")
fi

# ---- the phones on a cable
# The iPhone: its simulator listens on loopback of the job's namespace and
# is reached only through the usbmuxd peer, which attaches it once a
# camera shows the phone above.
iphone_attach=""
cable_iphone_start() {
  mkfifo "$work/usbmuxd.in"
  sleep infinity >"$work/usbmuxd.in" &
  pids+=($!)
  build/tools/usbmuxd-peer --socket "$work/usbmuxd" <"$work/usbmuxd.in" >"$logs/usbmuxd-peer.log" 2>&1 &
  pids+=($!)
  build/tools/phone --bind 127.0.0.1 --session-port 0 --probe-port auto --id 1e550b00cab1e0000000000000000002 \
    --name "$iphone_name" >"$logs/cable-iphone.log" 2>&1 &
  pids+=($!)
  local session probe
  read -r session probe <<<"$(listening_ports "$logs/cable-iphone.log")"
  iphone_attach="attach 7 usb 4699=127.0.0.1:$session 4697=127.0.0.1:$probe"
}
cable_iphone_attach() { timeout 5 bash -c 'printf "%s\n" "$1" >"$2"' _ "$iphone_attach" "$work/usbmuxd.in" || true; }

# The Android phone: on loopback behind the adb stand-in, listed from the
# start (the engine asks adb for its devices when the first camera opens,
# and then every 30 s). The stand-in's forwarding server ends with the
# engine's "adb kill-server", or once its state folder is gone.
cable_android_start() {
  build/tools/phone --bind 127.0.0.1 --session-port 0 --probe-port auto --kind 2 \
    --id b2103304556677889900aabbccddeeff --name "$android_name" >"$logs/cable-android.log" 2>&1 &
  pids+=($!)
  local session probe
  read -r session probe <<<"$(listening_ports "$logs/cable-android.log")"
  printf 'List of devices attached\nR58M123ABC\tdevice\n\n' >"$work/adb/devices"
  printf 'R58M123ABC\t4697\t127.0.0.1:%s\nR58M123ABC\t4699\t127.0.0.1:%s\n' "$probe" "$session" \
    >"$work/adb/phones"
}
if [ "$cable" = yes ]; then
  cable_iphone_start
  cable_android_start
fi

# ---- the host program with the engine
build/tools/host --count 4 --seconds "$seconds" --preview "$output/preview.png" "${host_args[@]}" \
  >"$logs/host.log" 2>&1 &
host_pid=$!
pids+=("$host_pid")

# While the host runs: once a camera shows the phone, its picture, a clip
# and, for the phones on a cable, the iPhone's attachment.
phone_slot="" shown_at="" saved=no
while [ "$interrupted" = no ] && kill -0 "$host_pid" 2>/dev/null; do
  if [ -z "$phone_slot" ]; then
    phone_slot=$(sed -n "s/^phone \([0-3]\) [0-9]* key=[^ ]* name=\"$phone_name \[WiFi\]\" current=1\$/\1/p" \
      "$logs/host.log" | head -n 1)
    if [ -n "$phone_slot" ]; then
      shown_at=$(date +%s%N)
      [ -n "$iphone_attach" ] && cable_iphone_attach
    fi
  elif [ "$saved" = no ] && [ $(( $(date +%s%N) - shown_at )) -ge 1500000000 ]; then
    # Some pictures into the stream: a picture and a two-second clip.
    vcam_command "snapshot $phone_slot $output/phone.png"
    vcam_command "record $phone_slot $output/phone.y4m 60"
    saved=yes
  fi
  sleep 0.2 || true
done

# ---- the end, in order: the host (the engine lets go of everything), the
# phones, the driver substitute (it writes its last statistics and the WAV
# sizes), then the narrator's summary.
stop_process "$host_pid" INT 15
for pid in "${pids[@]}"; do
  case $pid in "$vcam_pid"|"$narrator_pid"|"$host_pid") ;; *) stop_process "$pid" TERM 5 ;; esac
done
stop_process "$vcam_pid" TERM 10
stop_process "$narrator_pid" TERM 5
if [ -n "$phone_slot" ] && [ -f "$work/audio$phone_slot.wav" ]; then
  mv "$work/audio$phone_slot.wav" "$output/phone.wav"
fi
echo "Output folder: $output"
for f in idle.png phone.png phone.y4m phone.wav preview.png; do
  [ -f "$output/$f" ] && echo "  $f ($(stat -c %s "$output/$f") bytes)"
done
echo "  logs/ (what the tools printed)"
[ "$interrupted" = yes ] && exit 130
exit 0
