#!/usr/bin/env bash
# Fault-finding check (not a test): builds deliberately broken copies of the
# module, one fault at a time, and runs every test against each. Every mutant
# must make at least one test fail; a mutant that passes all tests is a fault
# the tests cannot see.
#   tools/mutants.sh [WORK_DIR [NAME...]]   (default: /tmp/statussink-mutants, every mutant)
# The source tree is copied to WORK_DIR/src and built in
# WORK_DIR/build incrementally (firmware, host32, host64), so a second run in
# the same WORK_DIR rebuilds only what changed; the fuzz tests are left out,
# and a mutant's tests stop at the first one that fails.
# Exit status 0 when every mutant was caught, 1 when one survived or did not
# apply.
#
# A mutant is one line of the table below: a name, a file, the exact text to
# replace (found exactly once in that file) and its replacement, separated by
# " ~~ ". Escapes \n and \t stand for a new line and a tab, \\ for a backslash.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-/tmp/statussink-mutants}
shift $(($# > 0 ? 1 : 0))
only=" $* "  # names of the mutants to run; all when empty
src="$work/src"
build="$work/build"
log="$work/log"
mkdir -p "$work" "$log"

IFS= read -r -d '' MUTANTS <<'EOF'
pop-does-not-step-down ~~ postcode/PostCodeHandler.cpp ~~       --depth;\n ~~       depth += 0;\n
blink-rotates-by-two-bytes ~~ postcode/PostCodeHandler.cpp ~~ << 8) | ( ~~ << 16) | (
fixed-row-wrong-code ~~ postcode/PostCodeTables.cpp ~~ {0x03028004u, 0xF8u} ~~ {0x03028004u, 0xF9u}
data-type-check-inverted ~~ postcode/TranslateToPostCode.cpp ~~ !CompareGuid(&Data->Type ~~ !!CompareGuid(&Data->Type
handlers-registered-in-the-wrong-order ~~ start/ModuleEntry.cpp ~~ ppi->Register(&DebugTextHandler);\n  ppi->Register(&PostCodeHandler); ~~ ppi->Register(&PostCodeHandler);\n  ppi->Register(&DebugTextHandler);
off-bit-ignored ~~ debugtext/DebugOutput.cpp ~~ && (Control & DebugControlOff) == 0 ~~ 
burst-one-byte-too-long ~~ debugtext/LegacySerial.cpp ~~ TransmitFifoDepth = 16; ~~ TransmitFifoDepth = 17;
stride-choice-swapped ~~ debugtext/MmioSerial.cpp ~~ ? OneByteStrideShift : FourByteStrideShift ~~ ? FourByteStrideShift : OneByteStrideShift
log-wrap-skips-text-start ~~ debugtext/MemoryLog.cpp ~~ if (HeaderOffset(h) == 0) h += MemoryLogTextStart; ~~ if (HeaderOffset(h) == 1) h += MemoryLogTextStart;
progress-echo-without-zero-padding ~~ debugtext/DebugTextHandler.cpp ~~ "<ZEB POSTCODE>: %04x\\n\\r" ~~ "<ZEB POSTCODE>: %4x\\n\\r"
error-data-piece-without-its-space ~~ debugtext/DebugTextHandler.cpp ~~ Data != nullptr ? " %x\\n\\r" ~~ Data != nullptr ? "%x\\n\\r"
hob-header-only-hob-ends-the-walk ~~ postcode/PostCodeHandler.cpp ~~ header->HobLength < sizeof(EFI_HOB_GENERIC_HEADER) ~~ header->HobLength <= sizeof(EFI_HOB_GENERIC_HEADER)
hob-walk-rounds-its-step-to-8 ~~ postcode/PostCodeHandler.cpp ~~ hob += header->HobLength; ~~ hob += (header->HobLength + 7u) & ~7u;
first-record-wins ~~ postcode/PostCodeHandler.cpp ~~ found = candidate; ~~ if (found == nullptr) found = candidate;
corrupt-depth-ten-not-clamped ~~ postcode/PostCodeHandler.cpp ~~ if (depth >= PostCodeStackLevels) { ~~ if (depth > PostCodeStackLevels) {
push-past-the-last-level ~~ postcode/PostCodeHandler.cpp ~~ if (depth < PostCodeStackLevels - 1) { ~~ if (depth < PostCodeStackLevels) {
blink-on-any-unrecovered-class ~~ postcode/PostCodeHandler.cpp ~~ (Type & EFI_STATUS_CODE_TYPE_MASK) == EFI_ERROR_CODE && ~~ 
caller-matched-on-first-word-only ~~ postcode/TranslateToPostCode.cpp ~~ CompareGuid(&module, guid) ~~ guid->Data1 == module.Data1
null-ppi-used ~~ start/ModuleEntry.cpp ~~  || ppi == nullptr) { ~~ ) {
record-signature-not-written ~~ start/ModuleEntry.cpp ~~     record->Signature = PostCodeStackSignature;\n ~~ 
memory-log-enable-bit-ignored ~~ debugtext/MemoryLog.cpp ~~   if (!MemoryLogEnabled()) return Length;\n ~~ 
legacy-wait-on-transmitter-idle ~~ debugtext/LegacySerial.cpp ~~ LineStatusThrEmpty = 0x20; ~~ LineStatusThrEmpty = 0x40;
legacy-wait-one-read-longer ~~ debugtext/LegacySerial.cpp ~~ readsLeft = LegacySerialWaitLimit; ~~ readsLeft = LegacySerialWaitLimit + 1;
cmos-veto-ignored ~~ debugtext/DebugOutput.cpp ~~ AttributesMatch(CmosVetoAttributes, 0, row) == 0 ~~ AttributesMatch(CmosVetoAttributes, 0, row) == 2
format-of-exactly-the-limit-refused ~~ print/FormatEngine.cpp ~~ return String[length] == 0 ? length : length + 1; ~~ return String[length] == 0 ? length + 1 : length + 1;
record-number-read-when-partly-held ~~ debugtext/DebugTextHandler.cpp ~~ if (Offset + sizeof(uint32_t) > RecordBytes(Data)) { ~~ if (Offset >= RecordBytes(Data)) {
record-text-held-without-its-nul ~~ debugtext/DebugTextHandler.cpp ~~ TextLengthWithin(TextAt(Data, Offset), room) == room) { ~~ TextLengthWithin(TextAt(Data, Offset), room) > room) {
assert-file-name-room-one-more ~~ debugtext/DebugTextHandler.cpp ~~ DebugTextLineSize - 1 - AssertPrefixCharacters; ~~ DebugTextLineSize - AssertPrefixCharacters;
module-guid-word-read-from-a-short-record ~~ postcode/TranslateToPostCode.cpp ~~ Data->Size < sizeof(uint32_t) ~~ Data->Size == 0
short-way-hex-drops-its-zero-fill ~~ print/FormatEngine.cpp ~~ uint32_t shift = 4 * (digits > places ? digits : places); ~~ uint32_t shift = 4 * digits;
short-way-negative-without-sign ~~ print/FormatEngine.cpp ~~ *position++ = '-';  // the buffer is not full ~~ position += 0;
guid-last-dash-one-place-late ~~ print/Conversions.cpp ~~ (1u << 7) | (1u << 9); ~~ (1u << 7) | (1u << 10);
guid-first-field-in-memory-order ~~ print/Conversions.cpp ~~ {3, 2, 1, 0, 5, 4, ~~ {0, 1, 2, 3, 5, 4,
time-year-two-digits ~~ print/Conversions.cpp ~~ {0, 4, "  "} ~~ {0, 2, "  "}
status-warning-five-unnamed ~~ print/Conversions.cpp ~~ LastNamedWarning = 5; ~~ LastNamedWarning = 4;
assertion-on-any-error-severity ~~ debugtext/DebugTextHandler.cpp ~~ typeClass == EFI_ERROR_CODE && severity == EFI_ERROR_UNRECOVERED && ~~ typeClass == EFI_ERROR_CODE &&
blink-on-any-error-severity ~~ postcode/PostCodeHandler.cpp ~~ (Type & EFI_STATUS_CODE_SEVERITY_MASK) == EFI_ERROR_UNRECOVERED) ~~ true)
record-found-by-signature-alone ~~ postcode/PostCodeHandler.cpp ~~ if (header->HobType == PostCodeStackHobType && ~~ if (
character-cut-to-its-low-byte ~~ print/FormatEngine.cpp ~~ charText = character & 0xFFFF; ~~ charText = character & 0xFF;
buffer-of-exactly-the-limit-refused ~~ print/FormatEngine.cpp ~~ BufferSize > FormatMaxCharacters ~~ BufferSize >= FormatMaxCharacters
cf8-not-restored ~~ platform/RegisterAccess.cpp ~~   IoWrite32(PciConfigAddressPort, savedAddress);\n ~~ 
EOF

# Copies the tree (tracked and new files, not builds) to $src.
# Brings $src to the tree's content. Only files whose bytes differ are copied,
# and they get a new time stamp: a file an earlier run left mutated, or
# restored after its last build, is then always rebuilt, while the rest keep
# the builds of earlier runs.
mkdir -p "$src"
(cd "$root" && git ls-files -z --cached --others --exclude-standard | grep -zv '^build') |
  while IFS= read -r -d '' f; do
    if ! cmp -s "$root/$f" "$src/$f"; then
      mkdir -p "$src/$(dirname "$f")"
      cp "$root/$f" "$src/$f"
    fi
  done

build_and_test() {  # $1: name for the logs; status 0 when every test passed
  local name=$1
  # The sanitizer build is left out: its tests are the host64 ones again.
  if ! make -C "$src" BUILD_DIR="$build" firmware host32 host64 >"$log/$name.build" 2>&1; then
    echo "build failed" >>"$log/$name.build"
    return 2
  fi
  # The unit tests first; a mutant is caught at its first failing test. The
  # whole blink cycles on QEMU (label qemu-long, a minute) are left out: the
  # ordinary cross-check and the system tests see every word of a cycle.
  for b in host32 host64 firmware; do
    ctest --test-dir "$build/$b" -LE 'fuzz|qemu-long' --timeout 600 -j2 --stop-on-failure >"$log/$name.$b" 2>&1 || return 1
  done
  return 0
}

echo "baseline: building and testing the unchanged tree in $src"
if ! build_and_test baseline; then
  echo "the unchanged tree does not pass its tests (see $log/baseline.*); no mutant can be judged" >&2
  exit 1
fi

caught=0
missed=0
while IFS= read -r line; do
  [ -z "$line" ] && continue
  name=$(awk -F' ~~ ' '{print $1}' <<<"$line")
  [ "$only" != "  " ] && [[ "$only" != *" $name "* ]] && continue
  file=$(awk -F' ~~ ' '{print $2}' <<<"$line")
  from=$(awk -F' ~~ ' '{print $3}' <<<"$line")
  to=$(awk -F' ~~ ' '{print $4}' <<<"$line")
  cp -p "$src/$file" "$work/original"
  if ! python3 - "$src/$file" "$from" "$to" <<'PY'; then
import sys
path, old, new = sys.argv[1], sys.argv[2].encode().decode("unicode_escape"), sys.argv[3].encode().decode("unicode_escape")
text = open(path).read()
if text.count(old) != 1:
    sys.exit(f"{path}: the text to replace occurs {text.count(old)} times")
open(path, "w").write(text.replace(old, new))
PY
    echo "$name: DOES NOT APPLY to $file (update the table)"
    missed=$((missed + 1))
    continue
  fi
  build_and_test "$name"
  result=$?
  cp "$work/original" "$src/$file"  # a new time stamp: the next build recompiles it
  case $result in
    0) echo "$name: SURVIVED (every test passed)"; missed=$((missed + 1)) ;;
    2) echo "$name: caught by the build ($log/$name.build)"; caught=$((caught + 1)) ;;
    *)
      # The first name listed under ctest's "The following tests FAILED:" (not a skipped one).
      failing=$(for b in host32 host64 firmware; do
        awk '/The following tests FAILED:/ {on = 1; next} /^[^ \t]/ {on = 0} on && /^[ \t]+[0-9]+ - / {
          sub(/^[ \t]+[0-9]+ - /, ""); sub(/ \(.*$/, ""); sub(/  # GetParam.*$/, ""); print }' "$log/$name.$b" 2>/dev/null
      done | head -1)
      echo "$name: caught by ${failing:-a failing test}"
      caught=$((caught + 1))
      ;;
  esac
done <<<"$MUTANTS"

echo "mutants caught: $caught of $((caught + missed))"
[ "$missed" -eq 0 ]
