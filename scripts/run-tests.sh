#!/usr/bin/env bash
# Sets up and builds (scripts/setup.sh), then runs every test program.
#   scripts/run-tests.sh [--werror] [--sanitize=address|thread] [CTEST ARGUMENTS...]
# Further arguments go to ctest (for example -R camera_output to run one
# program). --sanitize runs the suite built with AddressSanitizer and
# UndefinedBehaviorSanitizer (build-asan/) or ThreadSanitizer (build-tsan/);
# every process the tests start writes its reports into the build's
# sanitizer-logs/, and any report there fails the run.
#
# As root the whole suite runs inside a network namespace of its own with
# only loopback up, so that nothing a test sends (multicast, mDNS) can leave
# through a real interface (tests that need further namespaces make them
# inside it), and inside a mount namespace with a private /dev/shm, so that
# the driver objects the tests create never meet those of a driver or of
# another test run on the same machine.
set -euo pipefail
cd "$(dirname "$0")/.."
setup_args=()
ctest_args=()
build=build
for arg in "$@"; do
  case "$arg" in
    --werror) setup_args+=("$arg") ;;
    --sanitize=address) setup_args+=("$arg"); build=build-asan ;;
    --sanitize=thread) setup_args+=("$arg"); build=build-tsan ;;
    --sanitize=*) echo "run-tests: --sanitize=address or --sanitize=thread" >&2; exit 2 ;;
    *) ctest_args+=("$arg") ;;
  esac
done
scripts/setup.sh "${setup_args[@]}"
logs=$PWD/$build/sanitizer-logs
rm -rf "$logs"
mkdir -p "$logs"

# No test may reach a DNS-SD daemon of the machine (it would query real
# interfaces on the engine's behalf); tests that need one start their own.
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/engine-test-bus
# Nor a usbmuxd service of the machine; tests that need one start the
# usbmuxd peer and point libusbmuxd at it.
export USBMUXD_SOCKET_ADDRESS=UNIX:/nonexistent/engine-test-usbmuxd
# Nor may a test run the machine's adb (the engine would forward real phones
# and stop adb's server): the stand-in comes first on PATH. Without a state
# folder it refuses every command; tests that use it give it one of their own.
mkdir -p "$build/adb-bin" && ln -sfn ../tools/adb "$build/adb-bin/adb"
export PATH="$PWD/$build/adb-bin:$PATH"
export CTEST_ARGS="${ctest_args[*]}" BUILD_DIR=$build
run_ctest() {
  # shellcheck disable=SC2086
  ctest --test-dir "$BUILD_DIR" --output-on-failure --timeout 900 $CTEST_ARGS
}
status=0
if [ "$(id -u)" -eq 0 ] && unshare --net --mount true 2>/dev/null; then
  export -f run_ctest
  unshare --net --mount --propagation private bash -c \
    'mount -t tmpfs -o mode=1777 tmpfs /dev/shm && ip link set lo up && run_ctest' || status=$?
else
  echo "run-tests: not root, running without a network namespace (namespace tests skip)" >&2
  run_ctest || status=$?
fi
reports=$(find "$logs" -type f -size +0 | sort)
if [ -n "$reports" ]; then
  echo "run-tests: sanitizer reports:" >&2
  for f in $reports; do echo "---- $f" >&2; cat "$f" >&2; done
  [ "$status" -ne 0 ] || status=1
fi
exit "$status"
