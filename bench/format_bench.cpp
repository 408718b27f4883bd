// Lines like the ones the module prints, each formatted Iterations times by
// the engine and by the C library's snprintf (same text, or the nearest one
// it can make). Not timed: bench/run_bench.sh runs this under callgrind and
// divides each Ours*/Theirs* function's inclusive instruction count by
// Iterations.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "Print.h"

namespace {

constexpr int Iterations = 1000;
constexpr uint32_t LineSize = 200;  // the text handler's line buffer

const uint8_t ModuleGuid[16] = {0x94, 0xD3, 0x65, 0x00, 0x51, 0x99, 0x44, 0x41,
                                0x82, 0xA3, 0x0A, 0xFC, 0x85, 0x79, 0xC2, 0x51};
// A debug message's packed argument list: three numbers.
const uint32_t DebugArgs[] = {0x00800000, 0x07800000, 3};

// Keeps the compiler from dropping the work.
volatile uint32_t Sink;

// An error line with a caller GUID, in the text handler's three pieces.
__attribute__((noinline)) void OursErrorLineWithGuid(char* Line) {
  for (int Round = 0; Round < Iterations; Round++) {
    uint32_t Count = FormatAscii(Line, LineSize, "ERROR: C%x:V%x I%x", 0x80000002u, 0x03058002u, 0u);
    Count += FormatAscii(Line + Count, LineSize - Count, " %g", ModuleGuid);
    Count += FormatAscii(Line + Count, LineSize - Count, "\n\r");
    Sink = Count;
  }
}

__attribute__((noinline)) void TheirsErrorLineWithGuid(char* Line) {
  for (int Round = 0; Round < Iterations; Round++) {
    const uint8_t* G = ModuleGuid;
    int Count = snprintf(Line, LineSize, "ERROR: C%X:V%X I%X", 0x80000002u, 0x03058002u, 0u);
    Count += snprintf(Line + Count, LineSize - Count, " %08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                      G[0] | G[1] << 8 | G[2] << 16 | static_cast<uint32_t>(G[3]) << 24, G[4] | G[5] << 8,
                      G[6] | G[7] << 8, G[8], G[9], G[10], G[11], G[12], G[13], G[14], G[15]);
    Count += snprintf(Line + Count, LineSize - Count, "\r\n");
    Sink = Count;
  }
}

// The POST code echo of a progress code.
__attribute__((noinline)) void OursPostCodeEcho(char* Line) {
  for (int Round = 0; Round < Iterations; Round++) {
    Sink = FormatAscii(Line, LineSize, "<ZEB POSTCODE>: %04x\n\r", 0x134u);
  }
}

__attribute__((noinline)) void TheirsPostCodeEcho(char* Line) {
  for (int Round = 0; Round < Iterations; Round++) {
    Sink = snprintf(Line, LineSize, "<ZEB POSTCODE>: %04X\r\n", 0x134u);
  }
}

// A debug message with three numbers from its packed argument list.
const char DebugFormat[] = "Memory at 0x%X, length 0x%X, %d ranges\n";
const char DebugFormatC[] = "Memory at 0x%X, length 0x%X, %d ranges\r\n";

__attribute__((noinline)) void OursDebugLineThreeNumbers(char* Line) {
  for (int Round = 0; Round < Iterations; Round++) {
    Sink = FormatToBuffer(Line, LineSize, 0, DebugFormat, nullptr, DebugArgs);
  }
}

// On IA32 a va_list is a pointer to the 4-byte slots, as the packed list is.
__attribute__((noinline)) void TheirsDebugLineThreeNumbers(char* Line) {
  for (int Round = 0; Round < Iterations; Round++) {
    Sink = vsnprintf(Line, LineSize, DebugFormatC, reinterpret_cast<va_list>(const_cast<uint32_t*>(DebugArgs)));
  }
}

// A status value by name; the C library is handed the name.
__attribute__((noinline)) void OursStatusValue(char* Line) {
  for (int Round = 0; Round < Iterations; Round++) {
    Sink = FormatAscii(Line, LineSize, "Status: %r\n", 0x8000000Eu);
  }
}

__attribute__((noinline)) void TheirsStatusValue(char* Line) {
  for (int Round = 0; Round < Iterations; Round++) {
    Sink = snprintf(Line, LineSize, "Status: %s\r\n", "Not Found");
  }
}

// An assertion line: two strings and a line number.
__attribute__((noinline)) void OursAssertionLine(char* Line) {
  for (int Round = 0; Round < Iterations; Round++) {
    Sink = FormatAscii(Line, LineSize, "\n\rPEI_ASSERT!: %a (%d): %a\n\r", "PeiMain.c", 417, "Status == 0");
  }
}

__attribute__((noinline)) void TheirsAssertionLine(char* Line) {
  for (int Round = 0; Round < Iterations; Round++) {
    Sink = snprintf(Line, LineSize, "\r\nPEI_ASSERT!: %s (%d): %s\r\n", "PeiMain.c", 417, "Status == 0");
  }
}

struct Line {
  void (*Ours)(char*);
  void (*Theirs)(char*);
};

const Line Lines[] = {
    {OursErrorLineWithGuid, TheirsErrorLineWithGuid}, {OursPostCodeEcho, TheirsPostCodeEcho},
    {OursDebugLineThreeNumbers, TheirsDebugLineThreeNumbers}, {OursStatusValue, TheirsStatusValue},
    {OursAssertionLine, TheirsAssertionLine},
};

}  // namespace

int main() {
  char Ours[LineSize];
  char Theirs[LineSize];
  int Different = 0;
  // Resolve the C library's entry points before anything is counted.
  std::snprintf(Ours, sizeof(Ours), "%d", 1);
  std::vsnprintf(Theirs, sizeof(Theirs), "%d", reinterpret_cast<va_list>(const_cast<uint32_t*>(DebugArgs)));
  for (const Line& Each : Lines) {
    // The texts are printed so that a reader can see what was compared.
    std::memset(Ours, 0, sizeof(Ours));
    std::memset(Theirs, 0, sizeof(Theirs));
    Each.Ours(Ours);
    Each.Theirs(Theirs);
    std::printf("ours   %s", Ours);
    std::printf("theirs %s", Theirs);
    Different += std::strcmp(Ours, Theirs) != 0;
  }
  std::printf("iterations %d, lines that differ %d\n", Iterations, Different);
  return 0;
}
