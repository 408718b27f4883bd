#!/usr/bin/env bash
# Installs the Debian packages that the three builds need, if any is missing.
# qemu-user (qemu-i386) is always installed: 'make bench' counts guest
# instructions with it on either kind of kernel, and host32 programs run
# through it where the kernel refuses i386 programs. Needs root for apt-get; otherwise
# prints the command to run.
set -euo pipefail
cd "$(dirname "$0")/.."
packages=(make cmake ninja-build clang lld llvm libclang-rt-14-dev g++-multilib googletest valgrind
          libunicorn-dev nlohmann-json3-dev libcli11-dev libfmt-dev python3-pefile uuid-runtime
          uefitool-cli qemu-system-x86 qemu-user lcov python3-junitparser sigrok-cli chromium nodejs)

missing_of() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
  done
}

install() {
  [ $# -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing Debian packages: $*" >&2
    echo "install them with: sudo apt-get install $*" >&2
    exit 1
  fi
  echo "installing: $*"
  export DEBIAN_FRONTEND=noninteractive
  if [ -z "${SS_APT_UPDATED:-}" ]; then apt-get update -qq; SS_APT_UPDATED=1; fi
  apt-get install -y -qq --no-install-recommends "$@"
}

# shellcheck disable=SC2046  # one package name a word
install $(missing_of "${packages[@]}")

# The trace's independent reader (speedscope, from npm, at the version in
# tools/npm/package-lock.json), for the views test.
if [ ! -f tools/npm/node_modules/speedscope/dist/release/index.html ]; then
  # Debian's nodejs leaves npm to a package of its own.
  command -v npm >/dev/null || [ "$(id -u)" -ne 0 ] || install npm
  # Without the registry the builds still work: the views test then skips
  # its trace reader (and fails under CI, which must run it).
  (command -v npm >/dev/null && cd tools/npm && npm ci --no-audit --no-fund --loglevel=error) ||
    echo "speedscope not installed from npm: the views test cannot read traces back" >&2
fi

exit 0
