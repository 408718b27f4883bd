#include "DebugTextHandler.h"

#include "DebugOutput.h"
#include "PostCode.h"
#include "Print.h"

const EFI_GUID DebugMessageDataGuid = {0x9A4E9246u, 0xD553u, 0x11D5u,
                                       {0x87, 0xE2, 0x00, 0x06, 0x29, 0x45, 0xC3, 0xB9}};
const EFI_GUID StringDataGuid = {0x92D11080u, 0x496Fu, 0x4D95u, {0xBE, 0x7E, 0x03, 0x74, 0x88, 0x38, 0x2B, 0x0A}};

// Mask bits that decide what is printed.
#define LEVEL_ERRORS 0x80000000u             // assertions and error codes
#define LEVEL_PROGRESS_OR_INFO 0x80000040u   // progress codes, strings, undefined codes

// Operation of an error code that reports a failed assertion.
#define ASSERT_OPERATION 0x0007u

// Fields of the data records read here, as byte offsets from the data header.
#define ASSERT_LINE_NUMBER 40u
#define ASSERT_FILE_NAME 52u
#define DEBUG_LEVEL 20u
#define DEBUG_PACKED_ARGUMENTS 24u
#define DEBUG_FORMAT 120u
#define STRING_KIND 20u
#define STRING_POINTER 24u
#define STRING_KIND_ASCII 0u

uint32_t AsciiLength(const char* Text) {
  uint32_t length = 0;
  while (Text[length] != '\0') {
    ++length;
  }
  return length;
}

static uint32_t ReadU32(const EFI_STATUS_CODE_DATA* Data, uint32_t Offset) {
  return *reinterpret_cast<const uint32_t*>(reinterpret_cast<const uint8_t*>(Data) + Offset);
}

static const char* TextAt(const EFI_STATUS_CODE_DATA* Data, uint32_t Offset) {
  return reinterpret_cast<const char*>(Data) + Offset;
}

EFI_STATUS EFIAPI DebugTextHandler(const EFI_PEI_SERVICES** PeiServices, EFI_STATUS_CODE_TYPE Type,
                                   EFI_STATUS_CODE_VALUE Value, uint32_t Instance, const EFI_GUID* CallerId,
                                   const EFI_STATUS_CODE_DATA* Data) {
  char line[DEBUG_TEXT_LINE_SIZE];
  line[0] = '\0';
  uint32_t length;
  const uint32_t typeClass = Type & EFI_STATUS_CODE_TYPE_MASK;
  const uint32_t severity = Type & EFI_STATUS_CODE_SEVERITY_MASK;

  if (Data != nullptr && typeClass == EFI_ERROR_CODE && severity == EFI_ERROR_UNRECOVERED &&
      (Value & 0xFFFFu) == ASSERT_OPERATION) {
    // A failed assertion: file name, then its description right after the file name's NUL.
    const char* file = TextAt(Data, ASSERT_FILE_NAME);
    const char* description = file + AsciiLength(file) + 1;
    if ((DebugErrorLevelMask & LEVEL_ERRORS) == 0) {
      return EFI_SUCCESS;
    }
    length = FormatAscii(line, DEBUG_TEXT_LINE_SIZE, "\n\rPEI_ASSERT!: %a (%d): %a\n\r", file,
                         ReadU32(Data, ASSERT_LINE_NUMBER), description);
  } else if (Data != nullptr && CompareGuid(&Data->Type, &DebugMessageDataGuid)) {
    if ((ReadU32(Data, DEBUG_LEVEL) & DebugErrorLevelMask) == 0) {
      return EFI_SUCCESS;
    }
    const uint32_t* packed =
        reinterpret_cast<const uint32_t*>(reinterpret_cast<const uint8_t*>(Data) + DEBUG_PACKED_ARGUMENTS);
    length = FormatToBuffer(line, DEBUG_TEXT_LINE_SIZE, 0, TextAt(Data, DEBUG_FORMAT), nullptr, packed);
  } else if (typeClass == EFI_ERROR_CODE) {
    if ((DebugErrorLevelMask & LEVEL_ERRORS) == 0) {
      return EFI_SUCCESS;
    }
    // Built piece by piece; each piece starts on the previous piece's NUL.
    length = FormatAscii(line, DEBUG_TEXT_LINE_SIZE, "ERROR: C%x:V%x I%x", Type, Value, Instance);
    if (CallerId != nullptr) {
      length += FormatAscii(line + length, DEBUG_TEXT_LINE_SIZE - length, " %g", CallerId);
    }
    if (Data != nullptr) {
      length += FormatAscii(line + length, DEBUG_TEXT_LINE_SIZE - length, " %x", Data);
    }
    length += FormatAscii(line + length, DEBUG_TEXT_LINE_SIZE - length, "\n\r");
  } else if (typeClass == EFI_PROGRESS_CODE) {
    if ((DebugErrorLevelMask & LEVEL_PROGRESS_OR_INFO) == 0) {
      return EFI_SUCCESS;
    }
    uint32_t code = 0;  // a pop answers true without a code: it echoes as 0000
    if (!TranslateToPostCode(PeiServices, Value, CallerId, Data, &code)) {
      return EFI_NOT_FOUND;
    }
    length = FormatAscii(line, DEBUG_TEXT_LINE_SIZE, "<ZEB POSTCODE>: %04x\n\r", code);
  } else if (Data != nullptr && CompareGuid(&Data->Type, &StringDataGuid) &&
             ReadU32(Data, STRING_KIND) == STRING_KIND_ASCII) {
    if ((DebugErrorLevelMask & LEVEL_PROGRESS_OR_INFO) == 0) {
      return EFI_SUCCESS;
    }
    const char* text = reinterpret_cast<const char*>(static_cast<uintptr_t>(ReadU32(Data, STRING_POINTER)));
    length = FormatAscii(line, DEBUG_TEXT_LINE_SIZE, "%a\n\r", text);
  } else {
    if ((DebugErrorLevelMask & LEVEL_PROGRESS_OR_INFO) == 0) {
      return EFI_SUCCESS;
    }
    length = FormatAscii(line, DEBUG_TEXT_LINE_SIZE, "Undefined: C%x:V%x I%x\n\r", Type, Value, Instance);
  }

  WriteDebugText(line, length);
  return EFI_SUCCESS;
}
