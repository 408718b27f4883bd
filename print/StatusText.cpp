// Names of the status values that %r prints.
#include "print/Print.h"

namespace {

// Rows 0 to 5: success and the warnings 1 to 5. Rows 6 to 38: the errors
// 1 to 33, i.e. 0x80000001 to 0x80000021. Only the compiler reads this
// table: the image holds the names in StatusTextBlock below.
constexpr const char* StatusNames[StatusTextRows] = {
    "Success",                    // 0x00000000
    "Warning Unknown Glyph",      // 0x00000001
    "Warning Delete Failure",     // 0x00000002
    "Warning Write Failure",      // 0x00000003
    "Warning Buffer Too Small",   // 0x00000004
    "Warning Stale Data",         // 0x00000005
    "Load Error",                 // 0x80000001
    "Invalid Parameter",          // 0x80000002
    "Unsupported",                // 0x80000003
    "Bad Buffer Size",            // 0x80000004
    "Buffer Too Small",           // 0x80000005
    "Not Ready",                  // 0x80000006
    "Device Error",               // 0x80000007
    "Write Protected",            // 0x80000008
    "Out of Resources",           // 0x80000009
    "Volume Corrupt",             // 0x8000000A
    "Volume Full",                // 0x8000000B
    "No Media",                   // 0x8000000C
    "Media changed",              // 0x8000000D
    "Not Found",                  // 0x8000000E
    "Access Denied",              // 0x8000000F
    "No Response",                // 0x80000010
    "No mapping",                 // 0x80000011
    "Time out",                   // 0x80000012
    "Not started",                // 0x80000013
    "Already started",            // 0x80000014
    "Aborted",                    // 0x80000015
    "ICMP Error",                 // 0x80000016
    "TFTP Error",                 // 0x80000017
    "Protocol Error",             // 0x80000018
    "Incompatible Version",       // 0x80000019
    "Security Violation",         // 0x8000001A
    "CRC Error",                  // 0x8000001B
    "End of Media",               // 0x8000001C
    "Reserved (29)",              // 0x8000001D
    "Reserved (30)",              // 0x8000001E
    "End of File",                // 0x8000001F
    "Invalid Language",           // 0x80000020
    "Compromised Data",           // 0x80000021
};

constexpr uint32_t NameLength(const char* Name) {
  uint32_t length = 0;
  while (Name[length] != 0) {
    length++;
  }
  return length;
}

// The row of the longest other name that ends with row Row's name, or
// StatusTextRows when no other name does.
constexpr uint32_t HostRow(uint32_t Row) {
  const uint32_t length = NameLength(StatusNames[Row]);
  uint32_t host = StatusTextRows;
  for (uint32_t other = 0; other < StatusTextRows; other++) {
    const uint32_t otherLength = NameLength(StatusNames[other]);
    if (otherLength <= length || (host != StatusTextRows && otherLength <= NameLength(StatusNames[host]))) {
      continue;
    }
    bool ends = true;
    for (uint32_t place = 0; place <= length; place++) {
      ends = ends && StatusNames[other][otherLength - length + place] == StatusNames[Row][place];
    }
    if (ends) {
      host = other;
    }
  }
  return host;
}

// Bytes of the names that are stored, each with its NUL.
constexpr uint32_t StoredBytes() {
  uint32_t bytes = 0;
  for (uint32_t row = 0; row < StatusTextRows; row++) {
    if (HostRow(row) == StatusTextRows) {
      bytes += NameLength(StatusNames[row]) + 1;
    }
  }
  return bytes;
}

// The names one after the other in row order, each with its NUL, and where
// each row's name starts: a 16-bit offset takes half the room of a pointer
// and needs no base relocation. A name that ends a longer one is not stored
// again; its row starts inside the longer name.
struct StatusTextBlock {
  char Text[StoredBytes()];
  uint16_t Start[StatusTextRows];
};
static_assert(StoredBytes() < 0x10000, "every start fits in 16 bits");

constexpr StatusTextBlock BuildStatusTextBlock() {
  StatusTextBlock block{};
  uint32_t place = 0;
  for (uint32_t row = 0; row < StatusTextRows; row++) {
    if (HostRow(row) != StatusTextRows) {
      continue;
    }
    block.Start[row] = static_cast<uint16_t>(place);
    for (uint32_t character = 0; character <= NameLength(StatusNames[row]); character++) {
      block.Text[place++] = StatusNames[row][character];
    }
  }
  for (uint32_t row = 0; row < StatusTextRows; row++) {
    const uint32_t host = HostRow(row);
    if (host != StatusTextRows) {
      block.Start[row] = static_cast<uint16_t>(block.Start[host] + NameLength(StatusNames[host]) -
                                               NameLength(StatusNames[row]));
    }
  }
  return block;
}

constexpr StatusTextBlock Block = BuildStatusTextBlock();

}  // namespace

const char* StatusTextOfRow(uint32_t Row) {
  return Block.Text + Block.Start[Row];
}
