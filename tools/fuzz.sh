#!/usr/bin/env bash
# Runs fuzz targets for a while each: format_fuzz (host32, through the host32
# runner where the kernel needs it) and every host64 target of the sanitizer
# build (or of the build FUZZ_BUILD names: host64-fuzz is the one without
# sanitizers). New inputs go to each build's corpus folder; the committed
# seeds are read only. Stops at the first target that finds something.
#   [FUZZ_BUILD=host64-san] tools/fuzz.sh BUILD_DIR SECONDS [TARGET...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$1
seconds=$2
shift 2
fuzz_build=${FUZZ_BUILD:-host64-san}
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(format_fuzz)
  for f in "$root"/fuzz/host64/*.cpp; do
    [ -e "$f" ] && targets+=("$(basename "$f" .cpp)")
  done
fi
seeds() {  # the committed seeds of a target, comma-separated (named one by one)
  local files=()
  [ -d "$root/fuzz/seeds/$1" ] && files+=("$root/fuzz/seeds/$1"/*)
  # The project's own scenario files are the scenario reader's seeds.
  [ "$1" = scenario_fuzz ] && files+=("$root"/scenarios/*.json "$root"/scenarios/hostile/*.json)
  [ ${#files[@]} -gt 0 ] && echo "-seed_inputs=$(printf '%s\n' "${files[@]}" | paste -sd,)"
  return 0
}
for t in "${targets[@]}"; do
  echo "=== fuzzing $t for $seconds s"
  # The image fuzzer keeps three emulated machines; each one's first flush of
  # the translation cache (every 2^20 calls) makes its 1 GiB code buffer
  # resident, so a run of some minutes settles at about 3.2 GB.
  rss=2048
  [ "$t" = image_fuzz ] && rss=4096
  common=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb="$rss" -print_final_stats=1)
  if [ "$t" = format_fuzz ]; then
    bash "$root/tools/host32_run.sh" "$build/host32" "$build/host32/fuzz/format_fuzz" "${common[@]}" \
      -dict="$root/fuzz/format.dict" -seed_inputs="$(ls -d "$root"/fuzz/seeds/format/* | paste -sd,)" \
      "$build/host32/fuzz/format_corpus"
  else
    program=$build/$fuzz_build/fuzz/host64/$t
    [ -x "$program" ] || { echo "fuzz.sh: no fuzz target $t in $build/$fuzz_build" >&2; exit 1; }
    dict=()
    [ -f "$root/fuzz/$t.dict" ] && dict=(-dict="$root/fuzz/$t.dict")
    mkdir -p "$build/$fuzz_build/fuzz/host64/${t}_corpus"
    "$program" "${common[@]}" "${dict[@]}" $(seeds "$t") "$build/$fuzz_build/fuzz/host64/${t}_corpus"
  fi
done
