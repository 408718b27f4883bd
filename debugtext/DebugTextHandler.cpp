#include "debugtext/DebugTextHandler.h"

#include "debugtext/DebugOutput.h"
#include "postcode/PostCode.h"
#include "print/Print.h"

// Mask bits that decide what is printed.
static constexpr uint32_t LevelErrors = 0x80000000u;          // assertions and error codes
static constexpr uint32_t LevelProgressOrInfo = 0x80000040u;  // progress codes, strings, undefined codes

// Operation of an error code that reports a failed assertion.
static constexpr uint32_t AssertOperation = 0x0007u;
static constexpr uint32_t OperationMask = 0xFFFFu;

// The assertion line (a literal, so that the linker can share its tail with
// the other formats). The line has room for at most AssertFileNameRoom
// characters of the file name or of the description, so neither is measured
// further: a record whose file name never ends (a wild data pointer) costs a
// bounded scan.
static constexpr const char* AssertFormat = "\n\rPEI_ASSERT!: %a (%d): %a\n\r";
static constexpr uint32_t AssertPrefixCharacters = 15;  // "\r\nPEI_ASSERT!: " on output
static_assert(AssertFormat[AssertPrefixCharacters] == '%' && AssertFormat[AssertPrefixCharacters + 1] == 'a',
              "each character of the format before the file name prints one character");
static constexpr uint32_t AssertFileNameRoom = DebugTextLineSize - 1 - AssertPrefixCharacters;

// A record holds its 20-byte header and the Size bytes of payload behind it;
// the handler reads no byte past them. A field the record does not wholly
// hold is absent: a number reads as 0 and a text as empty.
static uint32_t RecordBytes(const EFI_STATUS_CODE_DATA* Data) {
  return sizeof(EFI_STATUS_CODE_DATA) + Data->Size;
}

static const char* TextAt(const EFI_STATUS_CODE_DATA* Data, uint32_t Offset) {
  return reinterpret_cast<const char*>(Data) + Offset;
}

// The u32 at Offset, or 0 when the record does not hold all four bytes.
static uint32_t ReadU32(const EFI_STATUS_CODE_DATA* Data, uint32_t Offset) {
  if (Offset + sizeof(uint32_t) > RecordBytes(Data)) {
    return 0;
  }
  return *reinterpret_cast<const uint32_t*>(TextAt(Data, Offset));
}

// Characters of the 8-bit text before its NUL, at most Limit: no character
// from place Limit on is read.
static uint32_t TextLengthWithin(const char* Text, uint32_t Limit) {
  uint32_t length = 0;
  while (length != Limit && Text[length] != 0) {
    length++;
  }
  return length;
}

// The text at Offset, or an empty text when the record does not hold it. A
// record holds a text when the text's NUL lies inside it, or when it holds
// at least Limit characters of a text whose place in the line shows no more
// than Limit: the line then shows only what the record holds, wherever the
// NUL comes. No byte past the record, and no character from place Limit on,
// is read. With WholeText the NUL must lie inside the record.
static constexpr uint32_t WholeText = 0xFFFFFFFFu;
static const char* HeldText(const EFI_STATUS_CODE_DATA* Data, uint32_t Offset, uint32_t Limit) {
  const uint32_t bytes = RecordBytes(Data);
  const uint32_t room = Offset < bytes ? bytes - Offset : 0;
  if (room < Limit && TextLengthWithin(TextAt(Data, Offset), room) == room) {
    return "";
  }
  return TextAt(Data, Offset);
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
    // A failed assertion: file name, then its description right after the
    // file name's NUL. A record that does not hold the file name has no NUL
    // from the name's first byte on, so it holds no description either.
    const char* file = HeldText(Data, AssertFileNameOffset, AssertFileNameRoom);
    const char* description =
        HeldText(Data, AssertFileNameOffset + TextLengthWithin(file, AssertFileNameRoom) + 1, AssertFileNameRoom);
    if ((DebugErrorLevelMask & LevelErrors) == 0) {
      return EFI_SUCCESS;
    }
    length = FormatAscii(line, DebugTextLineSize, AssertFormat, file, ReadU32(Data, AssertLineNumberOffset),
                         description);
  } else if (Data != nullptr && CompareGuid(&Data->Type, &DebugMessageDataGuid)) {
    if ((ReadU32(Data, DebugLevelOffset) & DebugErrorLevelMask) == 0) {
      return EFI_SUCCESS;
    }
    // The engine reads a format up to its NUL, so the record must hold the
    // NUL. The packed arguments lie below the format: a record that holds
    // the format holds them all, and an empty format reads none.
    const uint32_t* packed = reinterpret_cast<const uint32_t*>(TextAt(Data, DebugPackedArgumentsOffset));
    length = FormatToBuffer(line, DebugTextLineSize, 0, HeldText(Data, DebugFormatOffset, WholeText),
                            nullptr, packed);
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
