#!/usr/bin/env bash
# The main job: sets up and builds (scripts/setup.sh), then runs
# scripts/main-job.sh, which shows what a user of the product sees (see
# there): the engine finds the simulated phones by itself and streams them
# into the virtual cameras, progress is told in a person's words, and the
# pictures, a clip and the sound land in build/main-job.
#   scripts/run-main.sh [SECONDS | main-job options]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
if [[ ${1:-} =~ ^[0-9]+([.][0-9]+)?$ ]]; then
  seconds=$1
  shift
  set -- --seconds "$seconds" "$@"
fi
exec scripts/main-job.sh "$@"
