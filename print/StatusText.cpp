// Names of the status values that %r prints.
#include "Print.h"

// Rows 0 to 5: success and the warnings 1 to 5. Rows 6 to 38: the errors
// 1 to 33, i.e. 0x80000001 to 0x80000021.
extern const char* const StatusTextTable[StatusTextRows] = {
    "Success",                   // 0x00000000
    "Warning Unknown Glyph",     // 0x00000001
    "Warning Delete Failure",    // 0x00000002
    "Warning Write Failure",     // 0x00000003
    "Warning Buffer Too Small",  // 0x00000004
    "Warning Stale Data",        // 0x00000005
    "Load Error",                // 0x80000001
    "Invalid Parameter",         // 0x80000002
    "Unsupported",               // 0x80000003
    "Bad Buffer Size",           // 0x80000004
    "Buffer Too Small",          // 0x80000005
    "Not Ready",                 // 0x80000006
    "Device Error",              // 0x80000007
    "Write Protected",           // 0x80000008
    "Out of Resources",          // 0x80000009
    "Volume Corrupt",            // 0x8000000A
    "Volume Full",               // 0x8000000B
    "No Media",                  // 0x8000000C
    "Media changed",             // 0x8000000D
    "Not Found",                 // 0x8000000E
    "Access Denied",             // 0x8000000F
    "No Response",               // 0x80000010
    "No mapping",                // 0x80000011
    "Time out",                  // 0x80000012
    "Not started",               // 0x80000013
    "Already started",           // 0x80000014
    "Aborted",                   // 0x80000015
    "ICMP Error",                // 0x80000016
    "TFTP Error",                // 0x80000017
    "Protocol Error",            // 0x80000018
    "Incompatible Version",      // 0x80000019
    "Security Violation",        // 0x8000001A
    "CRC Error",                 // 0x8000001B
    "End of Media",              // 0x8000001C
    "Reserved (29)",             // 0x8000001D
    "Reserved (30)",             // 0x8000001E
    "End of File",               // 0x8000001F
    "Invalid Language",          // 0x80000020
    "Compromised Data",          // 0x80000021
};
