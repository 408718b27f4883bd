#!/usr/bin/env bash
# Runs the tests of the named builds (all three by default); fails if any fails.
# Usage: tools/run_tests.sh BUILD_DIR [firmware|host32|host64 ...]
set -u
build=${1:-build}
shift || true
builds=("$@")
[ ${#builds[@]} -eq 0 ] && builds=(firmware host32 host64)
status=0
for b in "${builds[@]}"; do
  if [ -d "$build/$b" ]; then
    echo "=== tests: $b"
    ctest --test-dir "$build/$b" --output-on-failure --timeout 600 || status=1
  else
    echo "=== tests: $b: not built" >&2
    status=1
  fi
done
exit $status
