// Placeholder entry point until handler registration lands.
#include "PiTypes.h"

extern "C" EFI_STATUS EFIAPI ModuleEntry(const void* FileHandle, const EFI_PEI_SERVICES** PeiServices) {
  (void)FileHandle;
  (void)PeiServices;
  return EFI_SUCCESS;
}
