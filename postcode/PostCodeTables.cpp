#include "postcode/PostCode.h"

constexpr ValuePostCodeRow ValuePostCodeTable[ValuePostCodeRows] = {
    {0x03028001u, 0xF2u}, {0x03028002u, 0xF3u}, {0x03028003u, 0xF4u}, {0x03028005u, 0xF5u},
    {0x03028006u, 0xF6u}, {0x03028007u, 0xF7u}, {0x03028004u, 0xF8u}, {0x03048001u, 0xF9u},
    {0x03021002u, 0xFBu}, {0x03021001u, 0xFCu}, {0x03028008u, 0xFDu}, {0x03028009u, 0xFEu},
};
static_assert(ValuePostCodeTable[ValuePostCodeRows - 1].Value != 0, "every fixed row is written out");

const CallerPostCodeRow CallerPostCodeTable[CallerPostCodeRows] = {
#define CALLER_MODULE(Name, D1, D2, D3, B0, B1, B2, B3, B4, B5, B6, B7, Code) \
  {{D1, D2, D3, {B0, B1, B2, B3, B4, B5, B6, B7}}, Code},
#include "postcode/CallerModules.inc"
#undef CALLER_MODULE
    {{0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}}, 0},
};
