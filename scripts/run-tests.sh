#!/usr/bin/env bash
# Sets up and builds (scripts/setup.sh), then runs every test program. As
# root the whole suite runs inside a network namespace of its own with only
# loopback up, so that nothing a test sends (multicast, mDNS) can leave
# through a real interface; tests that need further namespaces make them
# inside it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh "$@"

# No test may reach a DNS-SD daemon of the machine (it would query real
# interfaces on the engine's behalf); tests that need one start their own.
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/engine-test-bus
run_ctest() { ctest --test-dir build --output-on-failure --timeout 900; }
if [ "$(id -u)" -eq 0 ] && unshare --net true 2>/dev/null; then
  export -f run_ctest
  exec unshare --net bash -c 'ip link set lo up && run_ctest'
else
  echo "run-tests: not root, running without a network namespace (namespace tests skip)" >&2
  run_ctest
fi
