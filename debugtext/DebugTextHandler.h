// The debug text handler: status codes to lines of text on the debug outputs.
#ifndef STATUSSINK_DEBUGTEXTHANDLER_H
#define STATUSSINK_DEBUGTEXTHANDLER_H

#include <stdint.h>

#include "include/PiTypes.h"

// Which reports are printed: bit 31 assertions and errors; bit 31 or bit 6
// progress codes, strings and undefined codes; a debug message when its own
// level shares a bit with the mask.
constexpr uint32_t DebugErrorLevelMask = 0x807B05FFu;

// The line buffer: up to 199 characters and the NUL.
constexpr uint32_t DebugTextLineSize = 200;

EFI_STATUS EFIAPI DebugTextHandler(const EFI_PEI_SERVICES** PeiServices, EFI_STATUS_CODE_TYPE Type,
                                   EFI_STATUS_CODE_VALUE Value, uint32_t Instance, const EFI_GUID* CallerId,
                                   const EFI_STATUS_CODE_DATA* Data);

#endif  // STATUSSINK_DEBUGTEXTHANDLER_H
