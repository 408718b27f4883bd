// POST codes: translation of status codes, the POST code handler and the
// nesting-stack record it keeps in the HOB list.
#ifndef STATUSSINK_POSTCODE_H
#define STATUSSINK_POSTCODE_H

#include <stddef.h>
#include <stdint.h>

#include "PiTypes.h"

// Status code values with a fixed POST code.
struct VALUE_POST_CODE_ROW {
  uint32_t Value;
  uint32_t PostCode;
};
#define VALUE_POST_CODE_ROWS 12u
extern const VALUE_POST_CODE_ROW ValuePostCodeTable[VALUE_POST_CODE_ROWS];

// The platform's modules by GUID, with their base POST codes. The last row
// is all zero, so that the all-zero GUID finds a base code of 0.
struct CALLER_POST_CODE_ROW {
  EFI_GUID Guid;
  uint32_t PostCode;
};
static_assert(sizeof(CALLER_POST_CODE_ROW) == 20, "module rows are 20 bytes");
#define CALLER_POST_CODE_ROWS 117u
extern const CALLER_POST_CODE_ROW CallerPostCodeTable[CALLER_POST_CODE_ROWS];

// Values that take their POST code from the module table, and the flags each adds.
#define POST_CODE_VALUE_MODULE_BEGIN 0x03020002u  // software class, PEI core, init begin
#define POST_CODE_VALUE_MODULE_END 0x03020003u    // software class, PEI core, init end
#define POST_CODE_VALUE_PUSH 0x03021003u          // a nested level begins
#define POST_CODE_VALUE_POP 0x03021004u           // a nested level ends
#define POST_CODE_FLAG_BEGIN 0x100u
#define POST_CODE_FLAG_END 0x200u
#define POST_CODE_FLAG_PUSH 0xC00u

// 335984BD-E805-409A-B8F8-D27ECE5FF7A6: data whose first payload word points at a module GUID.
extern const EFI_GUID StatusCodeSpecificDataGuid;

// The POST code nesting stack, a private HOB of 56 bytes.
#define POST_CODE_STACK_HOB_TYPE 0x1001u
#define POST_CODE_STACK_SIGNATURE 0x30736370u  // "pcs0" in memory order
#define POST_CODE_STACK_LEVELS 10u
struct PostCodeStackHob {
  EFI_HOB_GENERIC_HEADER Header;
  uint8_t Depth;  // index in Codes of the current level, 0..9
  uint8_t Unused[3];
  uint32_t Codes[POST_CODE_STACK_LEVELS];
  uint32_t Signature;
};
static_assert(sizeof(PostCodeStackHob) == 56, "record is 56 bytes");
static_assert(offsetof(PostCodeStackHob, Depth) == 8, "Depth at 8");
static_assert(offsetof(PostCodeStackHob, Codes) == 12, "Codes at 12");
static_assert(offsetof(PostCodeStackHob, Signature) == 52, "Signature at 52");

// Port that shows POST codes; a 16-bit write covers 0x80 and 0x81.
#define POST_CODE_PORT 0x80u
// Writes of one phase of the blink loop before the code rotates.
#define POST_CODE_BLINK_WRITES 0xF0000u

BOOLEAN TranslateToPostCode(const EFI_PEI_SERVICES** PeiServices, EFI_STATUS_CODE_VALUE Value,
                            const EFI_GUID* CallerId, const EFI_STATUS_CODE_DATA* Data, uint32_t* PostCode);

EFI_STATUS EFIAPI PostCodeHandler(const EFI_PEI_SERVICES** PeiServices, EFI_STATUS_CODE_TYPE Type,
                                  EFI_STATUS_CODE_VALUE Value, uint32_t Instance, const EFI_GUID* CallerId,
                                  const EFI_STATUS_CODE_DATA* Data);

// The last record in the HOB list, or null.
PostCodeStackHob* FindPostCodeStackHob(const EFI_PEI_SERVICES** PeiServices);

#endif  // STATUSSINK_POSTCODE_H
