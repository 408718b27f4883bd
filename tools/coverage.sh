#!/usr/bin/env bash
# make coverage: every scenario of the suite on the emulated machine, the
# image's basic blocks they reach per function, an lcov trace file, and HTML
# of it where genhtml is installed (Debian lcov).
#   tools/coverage.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-build}" && pwd)
out=$build/coverage
mkdir -p "$out"
mapfile -t scenarios < <(cd "$root" && find scenarios -name '*.json' | sort)
(cd "$root" && "$build/host64/tools/sinksim" coverage "${scenarios[@]}" --lcov "$out/StatusSinkPei.info") |
  tee "$out/coverage.txt"
echo "lcov trace file: $out/StatusSinkPei.info"
if command -v genhtml >/dev/null; then
  genhtml --quiet --output-directory "$out/html" --title "StatusSinkPei.efi, the scenarios of the suite" \
    "$out/StatusSinkPei.info"
  echo "HTML report: $out/html/index.html"
else
  echo "no genhtml (Debian package lcov): no HTML report"
fi
