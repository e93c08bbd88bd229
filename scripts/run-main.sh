#!/usr/bin/env bash
# The main job: sets up and builds (scripts/setup.sh), then lets the engine
# find simulated phones by itself and stream them into the camera slots. The
# driver substitute (tools/vcam) plays the camera and audio drivers, the
# phone simulator (tools/phone) plays the phone app, and the host program
# (tools/host) loads libengine.so and prints every callback. Two more
# phones are on a USB cable: an iPhone reached through the usbmuxd peer
# (tools/usbmuxd-peer), and an Android phone behind the adb stand-in
# (tools/adb, first on PATH); the host sees both with " [USB]". The first
# phone's sound, as the audio device of slot 0 received it, is kept in
# $TAVIN_MAIN_WAV (default build/main-audio0.wav).
#
# The run leaves its pictures in build/main-job/: camera0.png, a snapshot of
# camera 0 shortly before the end, and preview.png, the host's preview
# surface at the end.
#
# As root the engine runs in a network namespace of its own and the phone in
# a second one, joined by a veth pair: the phone announces itself by
# multicast and answers multicast DNS there, and nothing leaves through a
# real interface. Without root both run on loopback and the host adds the
# phone by address.
#
# Once slot 0 streams, a second simulated phone is attached as an iPhone on
# a cable: the usbmuxd peer (tools/usbmuxd-peer) plays the usbmuxd service
# on a Unix socket of the job, the engine reaches it through the real
# libusbmuxd, and the phone streams to slot 1 over usbmuxd (" [USB]").
#
# The pictures land in build/main-job/: idle.png (camera 0 before the
# phone is found), camera0.png (camera 0 near the end) and preview.png.
#   scripts/run-main.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
seconds=${1:-20}
export TAVIN_MAIN_WAV=${TAVIN_MAIN_WAV:-$PWD/build/main-audio0.wav}

job() {
  set -euo pipefail
  local seconds=$1 isolated=$2 snapshots=$3 phone_cmd=() host_args=()
  # Global: the exit trap runs after the function has returned.
  holder="" work=$(mktemp -d)
  cleanup() {
    kill $(jobs -p) 2>/dev/null || true
    if [ -n "${holder:-}" ]; then kill "$holder" 2>/dev/null || true; fi
    wait 2>/dev/null || true
    rm -rf "${work:-/nonexistent}"
  }
  trap cleanup EXIT
  export TAVIN_DEVICE_DIR=$work/devices XDG_CONFIG_HOME=$work/config
  # The DNS-SD library must not reach a daemon of the machine, which would
  # query real interfaces on the engine's behalf: the engine's own
  # multicast DNS client runs instead.
  export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$work/no-bus
  ip link set lo up 2>/dev/null || true

  if [ "$isolated" = yes ]; then
    # The phone's namespace, kept by a holder process, and the veth pair.
    unshare --net sleep infinity &
    holder=$!
    sleep 0.2
    ip link add tvmain0 type veth peer name tvphone0
    ip link set tvphone0 netns "/proc/$holder/ns/net"
    ip addr add 10.78.0.1/24 dev tvmain0
    ip link set tvmain0 multicast on up
    nsenter --net="/proc/$holder/ns/net" sh -c '
      ip link set lo up &&
      ip addr add 10.78.0.2/24 dev tvphone0 &&
      ip link set tvphone0 multicast on up'
    phone_cmd=(nsenter --net="/proc/$holder/ns/net" build/tools/phone --bind 0.0.0.0
               --announce 239.255.188.58 --announce-interface tvphone0 --mdns tvphone0)
  else
    phone_cmd=(build/tools/phone --bind 127.0.0.1 --session-port 0)
  fi

  mkfifo "$work/vcam.in"
  sleep infinity >"$work/vcam.in" &
  build/tools/vcam --consumer --format 1280x720@30:1 --wav "0:$TAVIN_MAIN_WAV" \
    <"$work/vcam.in" >"$work/vcam.out" 2>&1 &
  for _ in $(seq 100); do grep -q "vcam: ready" "$work/vcam.out" 2>/dev/null && break; sleep 0.1; done

  # "SESSION-PORT PROBE-PORT" of a phone simulator, from its output file
  # (waits up to 10 s).
  listening_ports() {
    local ports=""
    for _ in $(seq 100); do
      ports=$(sed -n 's/^phone: listening [^ ]* \([0-9]* [0-9]*\).*/\1/p' "$1" 2>/dev/null)
      [ -n "$ports" ] && break; sleep 0.1
    done
    echo "$ports"
  }

  "${phone_cmd[@]}" --probe-port 0 --name "Simulated phone" --audio \
    >"$work/phone.out" 2>"$work/phone.log" &
  local port="" probe_port="" session_port=""
  read -r port _ <<<"$(listening_ports "$work/phone.out")"
  [ "$isolated" = yes ] || host_args=(--address "127.0.0.1:${port:-4699}")

  # The iPhone on a cable: its simulator listens on loopback of the
  # engine's namespace and is reached only through the usbmuxd peer.
  export USBMUXD_SOCKET_ADDRESS=UNIX:$work/usbmuxd
  mkfifo "$work/usbmuxd.in"
  sleep infinity >"$work/usbmuxd.in" &
  build/tools/usbmuxd-peer --socket "$work/usbmuxd" <"$work/usbmuxd.in" >"$work/usbmuxd.out" 2>&1 &
  build/tools/phone --bind 127.0.0.1 --session-port 0 --probe-port auto --id 1e550b00cab1e0000000000000000002 \
    --name "Cable phone" >"$work/cable.out" 2>"$work/cable.log" &
  local cable=""
  for _ in $(seq 100); do
    cable=$(sed -n 's/^phone: listening [^ ]* \([0-9]*\) \([0-9]*\).*/4699=127.0.0.1:\1 4697=127.0.0.1:\2/p' \
      "$work/cable.out" 2>/dev/null)
    [ -n "$cable" ] && break; sleep 0.1
  done
  (
    for _ in $(seq 300); do grep -q "^status 0 3" "$work/host.out" 2>/dev/null && break; sleep 0.1; done
    echo "attach 7 usb $cable" >"$work/usbmuxd.in"
  ) &

  # The Android phone, on loopback behind the adb stand-in. The stand-in's
  # forwarding server ends with the engine's "adb kill-server", or once its
  # state folder is gone.
  build/tools/phone --bind 127.0.0.1 --session-port 0 --probe-port auto --kind 2 \
    --id b2103304556677889900aabbccddeeff --name "Simulated Android phone" \
    >"$work/android.out" 2>"$work/android.log" &
  read -r session_port probe_port <<<"$(listening_ports "$work/android.out")"
  mkdir "$work/adb" "$work/adb-bin"
  ln -s "$PWD/build/tools/adb" "$work/adb-bin/adb"
  printf 'List of devices attached\nR58M123ABC\tdevice\n\n' >"$work/adb/devices"
  printf 'R58M123ABC\t4697\t127.0.0.1:%s\nR58M123ABC\t4699\t127.0.0.1:%s\n' \
    "$probe_port" "$session_port" >"$work/adb/phones"

  local out=$PWD/build/main-job
  mkdir -p "$out"
  rm -f "$out/idle.png" "$out/camera0.png" "$out/preview.png"
  # PNG snapshots of camera 0 as the driver substitute takes its pictures:
  # the first one (the idle picture, before the phone is found) and one
  # near the end (the phone's picture).
  echo "snapshot 0 $out/idle.png" >"$work/vcam.in"
  ( sleep $(( seconds > 3 ? seconds - 2 : 1 )); echo "snapshot 0 $out/camera0.png" >"$work/vcam.in" ) &

  PATH="$work/adb-bin:$PATH" TAVIN_ADB_DIR="$work/adb" \
    build/tools/host --count 4 --seconds "$seconds" --preview "$out/preview.png" "${host_args[@]}" | tee "$work/host.out" || true
  # vcam writes the WAV file's sizes when it stops.
  kill %?build/tools/vcam 2>/dev/null || true
  wait %?build/tools/vcam 2>/dev/null || true
  echo "---- driver substitute"; cat "$work/vcam.out"
  echo "---- audio of slot 0: $TAVIN_MAIN_WAV ($(stat -c %s "$TAVIN_MAIN_WAV" 2>/dev/null || echo 0) bytes)"
  echo "---- phone simulator"; tail -n 60 "$work/phone.log"
  echo "---- usbmuxd peer"; cat "$work/usbmuxd.out"
  echo "---- phone simulator on the cable"; tail -n 30 "$work/cable.log"
  echo "---- Android phone simulator"; tail -n 30 "$work/android.log"
  echo "---- adb command lines"; cat "$work/adb/commands" 2>/dev/null || true
  echo "---- pictures"; ls -l "$out"
}
export -f job
if [ "$(id -u)" -eq 0 ] && unshare --net true 2>/dev/null; then
  unshare --net bash -c "job $seconds yes $snapshots"
else
  echo "run-main: not root, the phone is added by address on loopback" >&2
  bash -c "job $seconds no $snapshots"
fi
