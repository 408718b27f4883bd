// Lines like the ones the module prints, formatted by the engine and by the C
// library's snprintf (same text, or the nearest one it can make). Each text is
// also shown in hexadecimal, for bench/run_bench.sh to hold the module's own
// lines (scenarios/bench/engine_lines.json) against. Not timed:
// bench/run_bench.sh runs this program once under qemu-i386, one guest
// instruction per translation block, with every block execution logged; the
// instructions between two calls of BenchMark are those of the call made
// between them. The same counter serves both sides on either kind of kernel.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "print/Print.h"

namespace {

constexpr uint32_t LineSize = 200;  // the text handler's line buffer

const uint8_t ModuleGuid[16] = {0x94, 0xD3, 0x65, 0x00, 0x51, 0x99, 0x44, 0x41,
                                0x82, 0xA3, 0x0A, 0xFC, 0x85, 0x79, 0xC2, 0x51};
// A debug message's packed argument list: three numbers.
const uint32_t DebugArgs[] = {0x00800000, 0x07800000, 3};

// Keeps the compiler from dropping the work.
volatile uint32_t Sink;

// An error line with a caller GUID, in the text handler's three pieces.
__attribute__((noinline)) void OursErrorLineWithGuid(char* Line) {
  uint32_t count = FormatAscii(Line, LineSize, "ERROR: C%x:V%x I%x", 0x80000002u, 0x03058002u, 0u);
  count += FormatAscii(Line + count, LineSize - count, " %g", ModuleGuid);
  count += FormatAscii(Line + count, LineSize - count, "\n\r");
  Sink = count;
}

// The C library's string routines take more or fewer instructions with the
// alignment of what they read, so every text handed to it starts on a 16-byte
// boundary: its counts do not move when other code moves the texts.
alignas(16) const char ErrorFormatC[] = "ERROR: C%X:V%X I%X";
alignas(16) const char GuidFormatC[] = " %08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X";
alignas(16) const char LineEndC[] = "\r\n";

__attribute__((noinline)) void TheirsErrorLineWithGuid(char* Line) {
  const uint8_t* g = ModuleGuid;
  int count = snprintf(Line, LineSize, ErrorFormatC, 0x80000002u, 0x03058002u, 0u);
  count += snprintf(Line + count, LineSize - count, GuidFormatC,
                    g[0] | g[1] << 8 | g[2] << 16 | static_cast<uint32_t>(g[3]) << 24, g[4] | g[5] << 8,
                    g[6] | g[7] << 8, g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
  count += snprintf(Line + count, LineSize - count, LineEndC);
  Sink = count;
}

// The POST code echo of a progress code.
__attribute__((noinline)) void OursPostCodeEcho(char* Line) {
  Sink = FormatAscii(Line, LineSize, "<ZEB POSTCODE>: %04x\n\r", 0x134u);
}

alignas(16) const char PostCodeFormatC[] = "<ZEB POSTCODE>: %04X\r\n";

__attribute__((noinline)) void TheirsPostCodeEcho(char* Line) {
  Sink = snprintf(Line, LineSize, PostCodeFormatC, 0x134u);
}

// A debug message with three numbers from its packed argument list.
const char DebugFormat[] = "Memory at 0x%X, length 0x%X, %d ranges\n";
alignas(16) const char DebugFormatC[] = "Memory at 0x%X, length 0x%X, %d ranges\r\n";

__attribute__((noinline)) void OursDebugLineThreeNumbers(char* Line) {
  Sink = FormatToBuffer(Line, LineSize, 0, DebugFormat, nullptr, DebugArgs);
}

// On IA32 a va_list is a pointer to the 4-byte slots, as the packed list is.
__attribute__((noinline)) void TheirsDebugLineThreeNumbers(char* Line) {
  Sink = vsnprintf(Line, LineSize, DebugFormatC, reinterpret_cast<va_list>(const_cast<uint32_t*>(DebugArgs)));
}

// A status value by name; the C library is handed the name.
__attribute__((noinline)) void OursStatusValue(char* Line) {
  Sink = FormatAscii(Line, LineSize, "Status: %r\n", 0x8000000Eu);
}

alignas(16) const char StatusFormatC[] = "Status: %s\r\n";
alignas(16) const char StatusNameC[] = "Not Found";

__attribute__((noinline)) void TheirsStatusValue(char* Line) {
  Sink = snprintf(Line, LineSize, StatusFormatC, StatusNameC);
}

// An assertion line: two strings and a line number.
__attribute__((noinline)) void OursAssertionLine(char* Line) {
  Sink = FormatAscii(Line, LineSize, "\n\rPEI_ASSERT!: %a (%d): %a\n\r", "PeiMain.c", 417, "Status == 0");
}

alignas(16) const char AssertionFormatC[] = "\r\nPEI_ASSERT!: %s (%d): %s\r\n";
alignas(16) const char AssertionFileC[] = "PeiMain.c";
alignas(16) const char AssertionTextC[] = "Status == 0";

__attribute__((noinline)) void TheirsAssertionLine(char* Line) {
  Sink = snprintf(Line, LineSize, AssertionFormatC, AssertionFileC, 417, AssertionTextC);
}

// Nothing: the cost of the measurement itself (a call and a return).
__attribute__((noinline)) void Nothing(char*) { Sink = 0; }

struct Line {
  const char* Name;
  void (*Ours)(char*);
  void (*Theirs)(char*);
};

// The first row measures the harness alone; the counting script takes it off
// every other row.
const Line Lines[] = {
    {"nothing", Nothing, Nothing},
    {"error line with GUID", OursErrorLineWithGuid, TheirsErrorLineWithGuid},
    {"POST code echo", OursPostCodeEcho, TheirsPostCodeEcho},
    {"debug line, three numbers", OursDebugLineThreeNumbers, TheirsDebugLineThreeNumbers},
    {"status line %r", OursStatusValue, TheirsStatusValue},
    {"assertion line", OursAssertionLine, TheirsAssertionLine},
};

}  // namespace

// The counter's mark: an empty call whose address the counting script looks up.
extern "C" __attribute__((noinline)) void BenchMark() { __asm__ volatile(""); }

int main() {
  alignas(16) char ours[LineSize];
  alignas(16) char theirs[LineSize];
  int different = 0;
  // Each side once before anything is counted (this also resolves the C
  // library's entry points), with the texts shown so that a reader can see
  // what is compared.
  for (const Line& each : Lines) {
    if (each.Ours == Nothing) {
      continue;
    }
    std::memset(ours, 0, sizeof(ours));
    std::memset(theirs, 0, sizeof(theirs));
    each.Ours(ours);
    each.Theirs(theirs);
    std::printf("line %s\n  ours   %s  theirs %s  theirs in hexadecimal ", each.Name, ours, theirs);
    for (const char* c = theirs; *c != '\0'; ++c) std::printf("%02x", static_cast<unsigned char>(*c));
    std::printf("\n");
    different += std::strcmp(ours, theirs) != 0;
  }
  std::printf("lines that differ: %d\n", different);
  std::fflush(stdout);
  // The counted calls: a mark before the first, and after each.
  BenchMark();
  for (const Line& each : Lines) {
    each.Ours(ours);
    BenchMark();
    each.Theirs(theirs);
    BenchMark();
  }
  return different == 0 ? 0 : 1;
}
