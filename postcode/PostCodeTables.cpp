#include "PostCode.h"

const VALUE_POST_CODE_ROW ValuePostCodeTable[VALUE_POST_CODE_ROWS] = {
    {0x03028001u, 0xF2u}, {0x03028002u, 0xF3u}, {0x03028003u, 0xF4u}, {0x03028005u, 0xF5u},
    {0x03028006u, 0xF6u}, {0x03028007u, 0xF7u}, {0x03028004u, 0xF8u}, {0x03048001u, 0xF9u},
    {0x03021002u, 0xFBu}, {0x03021001u, 0xFCu}, {0x03028008u, 0xFDu}, {0x03028009u, 0xFEu},
};

const CALLER_POST_CODE_ROW CallerPostCodeTable[CALLER_POST_CODE_ROWS] = {
#define CALLER_MODULE(Name, D1, D2, D3, B0, B1, B2, B3, B4, B5, B6, B7, Code) \
  {{D1, D2, D3, {B0, B1, B2, B3, B4, B5, B6, B7}}, Code},
#include "CallerModules.inc"
#undef CALLER_MODULE
    {{0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}}, 0},
};

const EFI_GUID StatusCodeSpecificDataGuid = {0x335984BDu, 0xE805u, 0x409Au,
                                             {0xB8, 0xF8, 0xD2, 0x7E, 0xCE, 0x5F, 0xF7, 0xA6}};

// Every module row of the include file is one row of the table, before the zero row.
#define CALLER_MODULE(...) +1
static_assert(0
#include "CallerModules.inc"
                  == CALLER_POST_CODE_ROWS - 1,
              "the module table holds 116 platform rows and the zero row");
#undef CALLER_MODULE
