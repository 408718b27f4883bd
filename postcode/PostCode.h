// POST codes: translation of status codes, the POST code handler and the
// nesting-stack record it keeps in the HOB list.
#ifndef STATUSSINK_POSTCODE_H
#define STATUSSINK_POSTCODE_H

#include <stddef.h>
#include <stdint.h>

#include "include/PiTypes.h"

// Status code values with a fixed POST code.
struct ValuePostCodeRow {
  uint32_t Value;
  uint32_t PostCode;
};
constexpr uint32_t ValuePostCodeRows = 12;
extern const ValuePostCodeRow ValuePostCodeTable[ValuePostCodeRows];

// The platform's modules by GUID, with their base POST codes: one row per
// line of CallerModules.inc, counted here by the compiler, then an all-zero
// row, so that the all-zero GUID finds a base code of 0.
struct CallerPostCodeRow {
  EFI_GUID Guid;
  uint32_t PostCode;
};
static_assert(sizeof(CallerPostCodeRow) == 20, "module rows are 20 bytes");
constexpr uint32_t CallerModuleCount = 0
#define CALLER_MODULE(...) +1
#include "postcode/CallerModules.inc"
#undef CALLER_MODULE
    ;
constexpr uint32_t CallerPostCodeRows = CallerModuleCount + 1;
extern const CallerPostCodeRow CallerPostCodeTable[CallerPostCodeRows];

// Values that take their POST code from the module table, and the flags each adds.
constexpr uint32_t PostCodeValueModuleBegin = 0x03020002u;  // software class, PEI core, init begin
constexpr uint32_t PostCodeValueModuleEnd = 0x03020003u;    // software class, PEI core, init end
constexpr uint32_t PostCodeValuePush = 0x03021003u;         // a nested level begins
constexpr uint32_t PostCodeValuePop = 0x03021004u;          // a nested level ends
constexpr uint32_t PostCodeFlagBegin = 0x100u;
constexpr uint32_t PostCodeFlagEnd = 0x200u;
constexpr uint32_t PostCodeFlagPush = 0xC00u;

// The POST code nesting stack, a private HOB of 56 bytes.
constexpr uint16_t PostCodeStackHobType = 0x1001u;
constexpr uint32_t PostCodeStackSignature = 0x30736370u;  // "pcs0" in memory order
constexpr uint32_t PostCodeStackLevels = 10;
struct PostCodeStackHob {
  EFI_HOB_GENERIC_HEADER Header;
  uint8_t Depth;  // index in Codes of the current level, 0..9
  uint8_t Unused[3];
  uint32_t Codes[PostCodeStackLevels];
  uint32_t Signature;
};
static_assert(sizeof(PostCodeStackHob) == 56, "record is 56 bytes");
static_assert(offsetof(PostCodeStackHob, Depth) == 8, "Depth at 8");
static_assert(offsetof(PostCodeStackHob, Codes) == 12, "Codes at 12");
static_assert(offsetof(PostCodeStackHob, Signature) == 52, "Signature at 52");

// Port that shows POST codes; a 16-bit write covers 0x80 and 0x81.
constexpr uint16_t PostCodeIoPort = 0x80;
// Writes of one phase of the blink loop before the code rotates.
constexpr uint32_t PostCodeBlinkWrites = 0xF0000u;

BOOLEAN TranslateToPostCode(const EFI_PEI_SERVICES** PeiServices, EFI_STATUS_CODE_VALUE Value,
                            const EFI_GUID* CallerId, const EFI_STATUS_CODE_DATA* Data, uint32_t* PostCode);

EFI_STATUS EFIAPI PostCodeHandler(const EFI_PEI_SERVICES** PeiServices, EFI_STATUS_CODE_TYPE Type,
                                  EFI_STATUS_CODE_VALUE Value, uint32_t Instance, const EFI_GUID* CallerId,
                                  const EFI_STATUS_CODE_DATA* Data);

#endif  // STATUSSINK_POSTCODE_H
