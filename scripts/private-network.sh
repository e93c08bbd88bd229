# Sourced by the scripts that run the engine with its discovery (the main
# job, the benchmarks). enter_private_network SCRIPT [ARGS...] runs SCRIPT
# again, with the same process id, inside a network namespace of its own
# with only loopback up and a mount namespace with a /dev/shm of its own:
# as root, or in a user namespace where the kernel allows one. Nothing the
# engine sends (multicast, mDNS) leaves through a real interface, and the
# shared objects of the run are gone with it. Afterwards (in the script run
# again) TAVIN_ISOLATION says root, user, or none when no namespace could be
# made (the script then runs where it is).
enter_private_network() {
  if [ "${TAVIN_ISOLATED_PID:-}" != "$$" ]; then
    export TAVIN_ISOLATED_PID=$$
    if [ "$(id -u)" -eq 0 ] && unshare --net --mount true 2>/dev/null; then
      export TAVIN_ISOLATION=root
      exec unshare --net --mount --propagation private bash "$@"
    elif unshare --user --map-root-user --net --mount true 2>/dev/null; then
      export TAVIN_ISOLATION=user
      exec unshare --user --map-root-user --net --mount --propagation private bash "$@"
    fi
    export TAVIN_ISOLATION=none
    return 0
  fi
  if [ "$TAVIN_ISOLATION" != none ]; then
    ip link set lo up
    mount -t tmpfs -o mode=1777 tmpfs /dev/shm
  fi
}
