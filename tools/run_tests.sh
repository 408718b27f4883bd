#!/usr/bin/env bash
# Runs the tests of all three builds; fails if any of them fails.
set -u
build=${1:-build}
status=0
for b in firmware host32 host64; do
  if [ -d "$build/$b" ]; then
    echo "=== tests: $b"
    ctest --test-dir "$build/$b" --output-on-failure --timeout 600 || status=1
  fi
done
exit $status
