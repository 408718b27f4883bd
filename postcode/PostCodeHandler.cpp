#include "postcode/PostCode.h"
#include "platform/platform.h"

// The last record in the HOB list, or null. Test entry point
// (tests/host32/ModuleTestEntryPoints.h); the handler is its only caller.
PostCodeStackHob* FindPostCodeStackHob(const EFI_PEI_SERVICES** PeiServices) {
  void* list = nullptr;
  if ((*PeiServices)->GetHobList(PeiServices, &list) != EFI_SUCCESS || list == nullptr) {
    return nullptr;
  }
  PostCodeStackHob* found = nullptr;
  uint8_t* hob = static_cast<uint8_t*>(list);
  for (;;) {
    const EFI_HOB_GENERIC_HEADER* header = reinterpret_cast<const EFI_HOB_GENERIC_HEADER*>(hob);
    if (header->HobType == EFI_HOB_TYPE_END_OF_HOB_LIST) {
      break;
    }
    // A length shorter than the header would walk backwards or stand still:
    // the list is broken here, so it ends here.
    if (header->HobLength < sizeof(EFI_HOB_GENERIC_HEADER)) {
      break;
    }
    // Only a HOB long enough to hold the record can be it; a shorter one
    // would have the stack written over whatever follows it in the list.
    PostCodeStackHob* candidate = reinterpret_cast<PostCodeStackHob*>(hob);
    if (header->HobType == PostCodeStackHobType && header->HobLength >= sizeof(PostCodeStackHob) &&
        candidate->Signature == PostCodeStackSignature) {
      found = candidate;  // the last record in list order wins
    }
    hob += header->HobLength;
  }
  return found;
}

// Shows the code for ever, rotating it through its byte positions: for a code
// 0x0000HHLL the port shows 0xHHLL, 0xLL00, 0x0000, 0x00HH in turn.
static void BlinkForever(uint32_t Code) {
  for (;;) {
    for (uint32_t i = 0; i < PostCodeBlinkWrites; ++i) {
      IoWrite16(PostCodeIoPort, static_cast<uint16_t>(Code));
    }
    Code = (Code << 8) | (Code >> 24);
  }
}

EFI_STATUS EFIAPI PostCodeHandler(const EFI_PEI_SERVICES** PeiServices, EFI_STATUS_CODE_TYPE Type,
                                  EFI_STATUS_CODE_VALUE Value, uint32_t Instance, const EFI_GUID* CallerId,
                                  const EFI_STATUS_CODE_DATA* Data) {
  static_cast<void>(Instance);
  uint32_t code;  // set by the translation, or taken from the stack for a pop
  if (!TranslateToPostCode(PeiServices, Value, CallerId, Data, &code)) {
    return EFI_SUCCESS;
  }
  PostCodeStackHob* record = FindPostCodeStackHob(PeiServices);
  if (record == nullptr) {
    return EFI_NOT_FOUND;
  }

  // A depth beyond the last level can only come from a corrupted record;
  // it is taken as the last level so that Codes is never indexed outside.
  uint8_t depth = record->Depth;
  if (depth >= PostCodeStackLevels) {
    depth = PostCodeStackLevels - 1;
  }
  if (Value == PostCodeValuePop) {
    if (depth > 0) {
      --depth;
    }
    record->Depth = depth;
    code = record->Codes[depth];
  } else if (Value == PostCodeValuePush) {
    if (depth < PostCodeStackLevels - 1) {
      ++depth;
    }
    record->Depth = depth;
    record->Codes[depth] = code;
  } else {
    record->Codes[depth] = code;
  }

  if ((Type & EFI_STATUS_CODE_TYPE_MASK) == EFI_ERROR_CODE &&
      (Type & EFI_STATUS_CODE_SEVERITY_MASK) == EFI_ERROR_UNRECOVERED) {
    BlinkForever(code);
  }
  IoWrite16(PostCodeIoPort, static_cast<uint16_t>(code));
  return EFI_SUCCESS;
}
