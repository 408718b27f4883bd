// Module entry: finds the report-status-code handler PPI, registers the two
// handlers and creates the POST code stack record.
#ifndef STATUSSINK_MODULEENTRY_H
#define STATUSSINK_MODULEENTRY_H

#include "include/PiTypes.h"

// Locates the handler PPI through the services pointer stored below the IDT.
EFI_STATUS LocateHandlerPpi(EFI_PEI_RSC_HANDLER_PPI** Ppi);

extern "C" EFI_STATUS EFIAPI ModuleEntry(const void* FileHandle, const EFI_PEI_SERVICES** PeiServices);

#endif  // STATUSSINK_MODULEENTRY_H
