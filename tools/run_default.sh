#!/usr/bin/env bash
# Runs the default scenario on the emulated machine.
set -eu
build=${1:-build}
if [ -x "$build/host64/tools/sinksim" ]; then
  exec "$build/host64/tools/sinksim" run
fi
image="$build/firmware/StatusSinkPei.efi"
echo "StatusSinkPei.efi: $(stat -c %s "$image") bytes"
echo "The emulated machine (sinksim) is not built yet; run 'make test' for the unit tests."
