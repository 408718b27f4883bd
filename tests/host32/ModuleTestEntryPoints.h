// Entry points of the module that exist for tests only. Each is defined in
// the module beside the routine it serves and is not part of the module's
// public headers.
#ifndef STATUSSINK_TESTS_MODULETESTENTRYPOINTS_H
#define STATUSSINK_TESTS_MODULETESTENTRYPOINTS_H

#include <stdint.h>

#include "debugtext/DebugOutput.h"
#include "postcode/PostCode.h"

// ReadDebugControlByte against any location table of Rows rows.
uint8_t ReadDebugControlByteWith(const CmosLocation* Table, uint32_t Rows);
// FindCmosLocation in any location table of Rows rows.
const CmosLocation* FindCmosLocationIn(const CmosLocation* Table, uint32_t Rows, uint8_t Offset);
// The last POST code stack record in the HOB list, or null.
PostCodeStackHob* FindPostCodeStackHob(const EFI_PEI_SERVICES** PeiServices);

#endif
