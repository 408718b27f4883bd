#!/usr/bin/env bash
# Installs the Debian packages that the three builds need, if any is missing.
# Needs root for apt-get; otherwise prints the command to run.
set -euo pipefail
packages=(make cmake ninja-build clang lld llvm libclang-rt-14-dev g++-multilib googletest valgrind
          libunicorn-dev nlohmann-json3-dev libcli11-dev libfmt-dev python3-pefile uuid-runtime
          uefitool-cli)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "missing Debian packages: ${missing[*]}" >&2
  echo "install them with: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
