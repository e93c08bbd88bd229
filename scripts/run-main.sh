#!/usr/bin/env bash
# The main job: sets up and builds (scripts/setup.sh), then streams a phone
# simulator into the camera slots. The driver substitute (tools/vcam) plays
# the camera and audio drivers, the phone simulator (tools/phone) plays the
# phone app, and the host program (tools/host) loads libengine.so and prints
# every callback. Everything runs inside a network namespace of its own
# (loopback only) when it can make one.
#   scripts/run-main.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
seconds=${1:-20}

job() {
  set -euo pipefail
  local seconds=$1 work
  work=$(mktemp -d)
  trap 'kill $(jobs -p) 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT
  export TAVIN_DEVICE_DIR=$work/devices XDG_CONFIG_HOME=$work/config
  ip link set lo up 2>/dev/null || true

  mkfifo "$work/vcam.in"
  sleep infinity >"$work/vcam.in" &
  build/tools/vcam --consumer --format 1280x720@30:1 <"$work/vcam.in" >"$work/vcam.out" 2>&1 &
  for _ in $(seq 100); do grep -q "vcam: ready" "$work/vcam.out" 2>/dev/null && break; sleep 0.1; done

  build/tools/phone --bind 127.0.0.1 --session-port 0 --probe-port 0 --name "Simulated phone" --stream-unasked \
    >"$work/phone.out" 2>"$work/phone.log" &
  local ports=""
  for _ in $(seq 100); do
    ports=$(sed -n 's/^phone: listening [^ ]* \([0-9]*\) \([0-9]*\).*/\1/p' "$work/phone.out" 2>/dev/null)
    [ -n "$ports" ] && break; sleep 0.1
  done

  build/tools/host --count 4 --seconds "$seconds" --address "127.0.0.1:${ports:-4699}" || true
  echo "---- driver substitute"; cat "$work/vcam.out"
  echo "---- phone simulator"; tail -n 40 "$work/phone.log"
}
export -f job
if [ "$(id -u)" -eq 0 ] && unshare --net true 2>/dev/null; then
  unshare --net bash -c "job $seconds"
else
  echo "run-main: not root, running without a network namespace" >&2
  bash -c "job $seconds"
fi
