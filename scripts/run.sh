#!/usr/bin/env bash
# Sets up the machine, builds, and runs the controller on its embedded
# defaults in the root folder $PLC_ROOT (default ./plcroot). A warm reset ends
# the process with code 10 and starts it again, as the board would reboot.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build
export PLC_ROOT=${PLC_ROOT:-$PWD/plcroot}
while true; do
  set +e
  build/plcfw "$@"
  rc=$?
  set -e
  [ "$rc" -eq 10 ] || exit "$rc"
  echo "warm reset: starting again"
done
