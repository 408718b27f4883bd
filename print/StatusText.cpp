// Names of the status values that %r prints.
#include "Print.h"

namespace {

// Rows 0 to 5: success and the warnings 1 to 5. Rows 6 to 38: the errors
// 1 to 33, i.e. 0x80000001 to 0x80000021. The texts stand one after the
// other in row order, each with its NUL.
constexpr char StatusTexts[] =
    "Success\0"                   // 0x00000000
    "Warning Unknown Glyph\0"     // 0x00000001
    "Warning Delete Failure\0"    // 0x00000002
    "Warning Write Failure\0"     // 0x00000003
    "Warning Buffer Too Small\0"  // 0x00000004
    "Warning Stale Data\0"        // 0x00000005
    "Load Error\0"                // 0x80000001
    "Invalid Parameter\0"         // 0x80000002
    "Unsupported\0"               // 0x80000003
    "Bad Buffer Size\0"           // 0x80000004
    "Buffer Too Small\0"          // 0x80000005
    "Not Ready\0"                 // 0x80000006
    "Device Error\0"              // 0x80000007
    "Write Protected\0"           // 0x80000008
    "Out of Resources\0"          // 0x80000009
    "Volume Corrupt\0"            // 0x8000000A
    "Volume Full\0"               // 0x8000000B
    "No Media\0"                  // 0x8000000C
    "Media changed\0"             // 0x8000000D
    "Not Found\0"                 // 0x8000000E
    "Access Denied\0"             // 0x8000000F
    "No Response\0"               // 0x80000010
    "No mapping\0"                // 0x80000011
    "Time out\0"                  // 0x80000012
    "Not started\0"               // 0x80000013
    "Already started\0"           // 0x80000014
    "Aborted\0"                   // 0x80000015
    "ICMP Error\0"                // 0x80000016
    "TFTP Error\0"                // 0x80000017
    "Protocol Error\0"            // 0x80000018
    "Incompatible Version\0"      // 0x80000019
    "Security Violation\0"        // 0x8000001A
    "CRC Error\0"                 // 0x8000001B
    "End of Media\0"              // 0x8000001C
    "Reserved (29)\0"             // 0x8000001D
    "Reserved (30)\0"             // 0x8000001E
    "End of File\0"               // 0x8000001F
    "Invalid Language\0"          // 0x80000020
    "Compromised Data";           // 0x80000021

// Where the text of each row starts in StatusTexts: 16-bit offsets, found by
// the compiler, take half the room of pointers and need no base relocation.
struct StatusTextStarts {
  uint16_t Row[StatusTextRows];
};

constexpr StatusTextStarts FindStatusTextStarts() {
  StatusTextStarts starts{};
  uint32_t row = 1;
  for (uint32_t place = 0; place + 1 < sizeof(StatusTexts); place++) {
    if (StatusTexts[place] == 0) {
      starts.Row[row++] = static_cast<uint16_t>(place + 1);
    }
  }
  return starts;
}

constexpr StatusTextStarts Starts = FindStatusTextStarts();
static_assert(Starts.Row[StatusTextRows - 1] != 0 && sizeof(StatusTexts) < 0x10000,
              "one text per row, every start within 16 bits");

}  // namespace

const char* StatusTextOfRow(uint32_t Row) {
  return StatusTexts + Starts.Row[Row];
}
