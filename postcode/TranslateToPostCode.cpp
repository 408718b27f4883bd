#include "postcode/PostCode.h"

BOOLEAN TranslateToPostCode(const EFI_PEI_SERVICES** PeiServices, EFI_STATUS_CODE_VALUE Value,
                            const EFI_GUID* CallerId, const EFI_STATUS_CODE_DATA* Data, uint32_t* PostCode) {
  if (PeiServices == nullptr) {
    return FALSE;
  }
  // Data of any other kind never has a POST code, not even for a value of the fixed table.
  if (Data != nullptr && !CompareGuid(&Data->Type, &StatusCodeSpecificDataGuid)) {
    return FALSE;
  }
  for (uint32_t row = 0; row < ValuePostCodeRows; ++row) {
    if (ValuePostCodeTable[row].Value == Value) {
      *PostCode = ValuePostCodeTable[row].PostCode;
      return TRUE;
    }
  }

  // The module concerned: the reporter itself when there is no data, else the
  // GUID that the data's first payload word points at. Data whose payload is
  // too short to hold that word names no module (nothing past the record is
  // read), and a null GUID address names none either.
  const void* source;
  if (Data == nullptr) {
    source = CallerId;
  } else if (Data->Size < sizeof(uint32_t)) {
    return FALSE;
  } else {
    const uint32_t address =
        *reinterpret_cast<const uint32_t*>(reinterpret_cast<const uint8_t*>(Data) + SpecificDataGuidPointerOffset);
    source = reinterpret_cast<const void*>(static_cast<uintptr_t>(address));
  }
  if (source == nullptr) {
    return FALSE;
  }
  EFI_GUID module;
  (*PeiServices)->CopyMem(&module, source, sizeof(module));

  uint32_t base = 0;
  for (uint32_t row = 0; row < CallerPostCodeRows; ++row) {
    const EFI_GUID* guid = &CallerPostCodeTable[row].Guid;
    if (CompareGuid(&module, guid)) {
      base = CallerPostCodeTable[row].PostCode;
      break;
    }
  }
  if (base == 0) {
    return FALSE;
  }

  uint32_t flags;
  switch (Value) {
    case PostCodeValueModuleBegin:
      flags = PostCodeFlagBegin;
      break;
    case PostCodeValueModuleEnd:
      flags = PostCodeFlagEnd;
      break;
    case PostCodeValuePush:
      flags = PostCodeFlagPush;
      break;
    case PostCodeValuePop:
      return TRUE;  // the handler shows the enclosing level's code from its stack
    default:
      return FALSE;
  }
  *PostCode = base | flags;
  return TRUE;
}
