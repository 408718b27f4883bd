#!/usr/bin/env bash
# Runs a host32 program the way its build decided: directly, or through
# qemu-i386 where the kernel refuses i386 programs (see host32_runner).
# Usage: tools/host32_run.sh BUILD/host32 PROGRAM [ARGS...]
set -euo pipefail
build=${1:?host32 build directory}; shift
runner=$(cat "$build/host32_runner" 2>/dev/null || true)
# shellcheck disable=SC2086  # the runner is a program name, or nothing
exec $runner "$@"
