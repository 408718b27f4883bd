// Module entry: finds the report-status-code handler PPI, registers the two
// handlers and creates the POST code stack record.
#ifndef STATUSSINK_MODULEENTRY_H
#define STATUSSINK_MODULEENTRY_H

#include "PiTypes.h"

// 0065D394-9951-4144-82A3-0AFC8579C251
extern const EFI_GUID HandlerPpiGuid;

// Locates the handler PPI through the services pointer stored below the IDT.
EFI_STATUS LocateHandlerPpi(EFI_PEI_RSC_HANDLER_PPI** Ppi);

extern "C" EFI_STATUS EFIAPI ModuleEntry(const void* FileHandle, const EFI_PEI_SERVICES** PeiServices);

#endif  // STATUSSINK_MODULEENTRY_H
