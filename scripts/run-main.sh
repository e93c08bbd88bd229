#!/usr/bin/env bash
# The main job: sets up and builds (scripts/setup.sh), then lets the engine
# find a simulated phone by itself and stream it into the camera slots. The
# driver substitute (tools/vcam) plays the camera and audio drivers, the
# phone simulator (tools/phone) plays the phone app, and the host program
# (tools/host) loads libengine.so and prints every callback.
#
# As root the engine runs in a network namespace of its own and the phone in
# a second one, joined by a veth pair: the phone announces itself by
# multicast and answers multicast DNS there, and nothing leaves through a
# real interface. Without root both run on loopback and the host adds the
# phone by address.
#
# Near the end the driver substitute saves what camera 0 shows as
# build/main-job/camera0-streaming.png.
#   scripts/run-main.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
seconds=${1:-20}
snapshots=$PWD/build/main-job
mkdir -p "$snapshots"

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
  build/tools/vcam --consumer --format 1280x720@30:1 <"$work/vcam.in" >"$work/vcam.out" 2>&1 &
  for _ in $(seq 100); do grep -q "vcam: ready" "$work/vcam.out" 2>/dev/null && break; sleep 0.1; done

  "${phone_cmd[@]}" --probe-port 0 --name "Simulated phone" \
    >"$work/phone.out" 2>"$work/phone.log" &
  local port=""
  for _ in $(seq 100); do
    port=$(sed -n 's/^phone: listening [^ ]* \([0-9]*\).*/\1/p' "$work/phone.out" 2>/dev/null)
    [ -n "$port" ] && break; sleep 0.1
  done
  [ "$isolated" = yes ] || host_args=(--address "127.0.0.1:${port:-4699}")

  ( sleep $((seconds > 4 ? seconds - 3 : 1))
    echo "snapshot 0 $snapshots/camera0-streaming.png" >"$work/vcam.in" ) &
  build/tools/host --count 4 --seconds "$seconds" "${host_args[@]}" || true
  echo "---- driver substitute"; cat "$work/vcam.out"
  echo "---- phone simulator"; tail -n 60 "$work/phone.log"
}
export -f job
if [ "$(id -u)" -eq 0 ] && unshare --net true 2>/dev/null; then
  unshare --net bash -c "job $seconds yes $snapshots"
else
  echo "run-main: not root, the phone is added by address on loopback" >&2
  bash -c "job $seconds no $snapshots"
fi
