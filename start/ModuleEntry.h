// Module entry: finds the report-status-code handler PPI, registers the two
// handlers and creates the POST code stack record.
#ifndef STATUSSINK_MODULEENTRY_H
#define STATUSSINK_MODULEENTRY_H

#include "PiTypes.h"

// 0065D394-9951-4144-82A3-0AFC8579C251; also the module's dependency in its
// firmware file, so the packer reads it from here.
inline constexpr EFI_GUID HandlerPpiGuid = {0x0065D394u, 0x9951u, 0x4144u,
                                            {0x82, 0xA3, 0x0A, 0xFC, 0x85, 0x79, 0xC2, 0x51}};

// Locates the handler PPI through the services pointer stored below the IDT.
EFI_STATUS LocateHandlerPpi(EFI_PEI_RSC_HANDLER_PPI** Ppi);

extern "C" EFI_STATUS EFIAPI ModuleEntry(const void* FileHandle, const EFI_PEI_SERVICES** PeiServices);

#endif  // STATUSSINK_MODULEENTRY_H
