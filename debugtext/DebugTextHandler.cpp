#include "DebugTextHandler.h"

#include "DebugOutput.h"
#include "PostCode.h"
#include "Print.h"

// Mask bits that decide what is printed.
static constexpr uint32_t LevelErrors = 0x80000000u;          // assertions and error codes
static constexpr uint32_t LevelProgressOrInfo = 0x80000040u;  // progress codes, strings, undefined codes

// Operation of an error code that reports a failed assertion.
static constexpr uint32_t AssertOperation = 0x0007u;
static constexpr uint32_t OperationMask = 0xFFFFu;

// Fields of the data records read here, as byte offsets from the data header.
static constexpr uint32_t AssertLineNumberOffset = 40;
static constexpr uint32_t AssertFileNameOffset = 52;
static constexpr uint32_t DebugLevelOffset = 20;
static constexpr uint32_t DebugPackedArgumentsOffset = 24;
static constexpr uint32_t DebugFormatOffset = 120;
static constexpr uint32_t StringKindOffset = 20;
static constexpr uint32_t StringPointerOffset = 24;
static constexpr uint32_t StringKindAscii = 0;

// The assertion line. A file name that fills the line up to its last place
// leaves no room for the description, so the file name is measured no
// further than that room: a record whose file name never ends (a wild data
// pointer) costs a bounded scan, and the description it would point past is
// never read.
static constexpr char AssertFormat[] = "\n\rPEI_ASSERT!: %a (%d): %a\n\r";
static constexpr uint32_t AssertPrefixCharacters = 15;  // "\r\nPEI_ASSERT!: " on output
static_assert(AssertFormat[AssertPrefixCharacters] == '%' && AssertFormat[AssertPrefixCharacters + 1] == 'a',
              "each character of the format before the file name prints one character");
static constexpr uint32_t AssertFileNameRoom = DebugTextLineSize - 1 - AssertPrefixCharacters;

static uint32_t ReadU32(const EFI_STATUS_CODE_DATA* Data, uint32_t Offset) {
  return *reinterpret_cast<const uint32_t*>(reinterpret_cast<const uint8_t*>(Data) + Offset);
}

static const char* TextAt(const EFI_STATUS_CODE_DATA* Data, uint32_t Offset) {
  return reinterpret_cast<const char*>(Data) + Offset;
}

EFI_STATUS EFIAPI DebugTextHandler(const EFI_PEI_SERVICES** PeiServices, EFI_STATUS_CODE_TYPE Type,
                                   EFI_STATUS_CODE_VALUE Value, uint32_t Instance, const EFI_GUID* CallerId,
                                   const EFI_STATUS_CODE_DATA* Data) {
  char line[DebugTextLineSize];
  uint32_t length;
  const uint32_t typeClass = Type & EFI_STATUS_CODE_TYPE_MASK;
  const uint32_t severity = Type & EFI_STATUS_CODE_SEVERITY_MASK;
  // Assertions and debug messages are formatted where they are recognised.
  // Every other line starts with one format of up to three argument words,
  // formatted by the one call below; most take these three.
  const char* format = nullptr;
  uint32_t first = Type;
  uint32_t second = Value;
  uint32_t third = Instance;

  if (Data != nullptr && typeClass == EFI_ERROR_CODE && severity == EFI_ERROR_UNRECOVERED &&
      (Value & OperationMask) == AssertOperation) {
    // A failed assertion: file name, then its description right after the file name's NUL.
    const char* file = TextAt(Data, AssertFileNameOffset);
    const char* description = file + AsciiLengthWithin(file, AssertFileNameRoom) + 1;
    if ((DebugErrorLevelMask & LevelErrors) == 0) {
      return EFI_SUCCESS;
    }
    length = FormatAscii(line, DebugTextLineSize, AssertFormat, file, ReadU32(Data, AssertLineNumberOffset),
                         description);
  } else if (Data != nullptr && CompareGuid(&Data->Type, &DebugMessageDataGuid)) {
    if ((ReadU32(Data, DebugLevelOffset) & DebugErrorLevelMask) == 0) {
      return EFI_SUCCESS;
    }
    const uint32_t* packed =
        reinterpret_cast<const uint32_t*>(reinterpret_cast<const uint8_t*>(Data) + DebugPackedArgumentsOffset);
    length = FormatToBuffer(line, DebugTextLineSize, 0, TextAt(Data, DebugFormatOffset), nullptr, packed);
  } else if (typeClass == EFI_ERROR_CODE) {
    if ((DebugErrorLevelMask & LevelErrors) == 0) {
      return EFI_SUCCESS;
    }
    // The first piece; the others follow below.
    format = "ERROR: C%x:V%x I%x";
  } else if (typeClass == EFI_PROGRESS_CODE) {
    if ((DebugErrorLevelMask & LevelProgressOrInfo) == 0) {
      return EFI_SUCCESS;
    }
    uint32_t code = 0;  // a pop answers true without a code: it echoes as 0000
    if (!TranslateToPostCode(PeiServices, Value, CallerId, Data, &code)) {
      return EFI_NOT_FOUND;
    }
    format = "<ZEB POSTCODE>: %04x\n\r";
    first = code;
  } else if (Data != nullptr && CompareGuid(&Data->Type, &StringDataGuid) &&
             ReadU32(Data, StringKindOffset) == StringKindAscii) {
    if ((DebugErrorLevelMask & LevelProgressOrInfo) == 0) {
      return EFI_SUCCESS;
    }
    format = "%a\n\r";
    first = ReadU32(Data, StringPointerOffset);
  } else {
    if ((DebugErrorLevelMask & LevelProgressOrInfo) == 0) {
      return EFI_SUCCESS;
    }
    format = "Undefined: C%x:V%x I%x\n\r";
  }

  if (format != nullptr) {
    length = FormatAscii(line, DebugTextLineSize, format, first, second, third);
    if (typeClass == EFI_ERROR_CODE) {
      // The error line goes on piece by piece; each piece starts on the
      // previous piece's NUL.
      if (CallerId != nullptr) {
        length += FormatAscii(line + length, DebugTextLineSize - length, " %g", CallerId);
      }
      // The data piece (the record's address) and the line's end in one call.
      length += FormatAscii(line + length, DebugTextLineSize - length, Data != nullptr ? " %x\n\r" : "\n\r", Data);
    }
  }

  WriteDebugText(line, length);
  return EFI_SUCCESS;
}
