#include "start/ModuleEntry.h"

#include "debugtext/DebugTextHandler.h"
#include "postcode/PostCode.h"
#include "platform/platform.h"

EFI_STATUS LocateHandlerPpi(EFI_PEI_RSC_HANDLER_PPI** Ppi) {
  // The PEI foundation keeps its services pointer in the word just below the IDT.
  const uint32_t idtBase = ReadIdtBase();
  const EFI_PEI_SERVICES** services =
      *reinterpret_cast<const EFI_PEI_SERVICES** const*>(static_cast<uintptr_t>(idtBase - 4u));
  return (*services)->LocatePpi(services, &HandlerPpiGuid, 0, nullptr, reinterpret_cast<void**>(Ppi));
}

extern "C" EFI_STATUS EFIAPI ModuleEntry(const void* FileHandle, const EFI_PEI_SERVICES** PeiServices) {
  static_cast<void>(FileHandle);
  EFI_PEI_RSC_HANDLER_PPI* ppi = nullptr;
  // A PPI that is "found" at a null address is as good as not found.
  if (LocateHandlerPpi(&ppi) != EFI_SUCCESS || ppi == nullptr) {
    return EFI_SUCCESS;
  }
  // The text handler first, so that an unrecoverable error is printed before
  // the POST code handler enters its blink loop. Failures only mean that one
  // handler is not called; the module goes on.
  ppi->Register(&DebugTextHandler);
  ppi->Register(&PostCodeHandler);

  void* hob = nullptr;
  if ((*PeiServices)->CreateHob(PeiServices, PostCodeStackHobType, sizeof(PostCodeStackHob), &hob) ==
          EFI_SUCCESS &&
      hob != nullptr) {
    PostCodeStackHob* record = static_cast<PostCodeStackHob*>(hob);
    record->Depth = 0;
    record->Signature = PostCodeStackSignature;
  }
  return EFI_SUCCESS;
}
