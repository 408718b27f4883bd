// The format engine: directives, line breaks, field layout and the two
// variable-argument front ends.
//
// Every directive and every character of the format becomes one field: an
// optional width fill of spaces, then (numbers) a sign and zero fill up to the
// precision or (texts) a space fill up to the precision, then the text, then
// the width fill of a left-justified field. Output stops at the last place of
// the buffer, which is kept for the NUL.
#include <stdarg.h>

#include "PiTypes.h"
#include "PrintInternal.h"

// The front ends hand their va_list to the engine as a pointer to 4-byte
// argument slots, which is what a va_list is on IA32.
static_assert(sizeof(va_list) == sizeof(uint32_t*), "va_list must be a pointer to argument slots");
static_assert(sizeof(void*) == 4, "pointer arguments take one 4-byte slot");

namespace {

// Bits of the caller's flags that the engine honours.
constexpr uint32_t CallerFlags = OutputWide | FormatWide | CountOnly;

constexpr uint32_t MaxFillCount = 0x7FFFFFFFu;  // largest count FillCharacters takes
constexpr uint32_t MaxCount = 0xFFFFFFFFu;
static_assert(FormatMaxCharacters % 4 == 0, "the length scans step by four and two characters");

// Where the characters of one engine call go.
struct Output {
  uint8_t* Position;  // next character place (not used with CountOnly)
  uint8_t* End;       // last place of the buffer, kept for the NUL
  uint32_t Count;     // characters counted with CountOnly
  uint32_t CharSize;  // bytes per output character: 1 or 2
  BOOLEAN CountOnlyMode;
};

// The directive (or single format character) being laid out.
struct Field {
  uint32_t Flags;          // FormatFlags: the caller's three bits and the directive's
  int32_t Width;           // meaningful with WidthSet; never negative
  uint32_t Precision;      // digits of a number, or the cut of a text
  uint32_t Sign;           // sign prefix of a number: 0, ' ', '+' or '-'
  BOOLEAN Grouping;        // "," between groups of three digits
  BOOLEAN Number;          // the text is a digit string with ContentLength
  const uint8_t* Text;     // the characters to emit
  uint32_t ContentLength;  // places taken by a number: sign, digits, separators
  uint32_t GroupPosition;  // 0..2: digits already in the current group
};

// A character of 1 or 2 bytes (little-endian) at any address.
inline uint32_t ReadCharacter(const uint8_t* Place, uint32_t Size) {
  return Size == 1 ? Place[0] : (uint32_t)Place[0] | ((uint32_t)Place[1] << 8);
}

// The next 4-byte argument slot. A call without any argument list reads 0
// for every argument, so a format that wants arguments prints zeros and
// "<null string>" instead of reading through a null pointer.
inline uint32_t TakeSlot(const uint32_t** Next) {
  if (*Next == nullptr) {
    return 0;
  }
  return *(*Next)++;
}

// The count only grows, and stays at its largest value instead of wrapping
// when the fills of a count-only call add up to more than 32 bits can hold.
inline uint32_t AddSaturated(uint32_t Count, uint32_t More) {
  uint32_t Sum = Count + More;
  return Sum < Count ? MaxCount : Sum;
}

// Writes one character at the output position, which is below the end.
inline void PutCharacter(Output* Out, uint32_t Character) {
  Out->Position[0] = (uint8_t)Character;
  if (Out->CharSize == 2) {
    Out->Position[1] = (uint8_t)(Character >> 8);
  }
  Out->Position += Out->CharSize;
}

// Emits Count copies of Character into the buffer (count-only calls add
// their fills to the count instead, see LayOutField).
void EmitFill(Output* Out, uint32_t Count, uint32_t Character) {
  if (Count == 0) {
    return;
  }
  // A fill never goes past the end of the buffer, so any count from the
  // buffer's size on has the same effect as the largest one FillCharacters
  // takes.
  int32_t Fill = (int32_t)(Count > MaxFillCount ? MaxFillCount : Count);
  Out->Position = FillCharacters(Out->Position, Out->End, Fill, (uint16_t)Character, Out->CharSize);
}

// Emits the 8-bit characters of Text up to its NUL into 8-bit output, as far
// as they fit.
void CopyNarrowText(Output* Out, const uint8_t* Text) {
  uint8_t* Position = Out->Position;
  const uint8_t* End = Out->End;
  while (Position < End && *Text != 0) {
    *Position++ = *Text++;
  }
  Out->Position = Position;
}

// Emits the plain characters and line breaks from Cursor on, up to the next
// NUL or "%", or the end of the buffer; returns the cursor at the first
// character not consumed. A plain character is a field of one character and
// a line break a field of "\r\n" or "\r", neither with any fill, so they
// are written directly; the last place of the buffer may cut a CR LF pair.
const uint8_t* EmitPlainRun(Output* Out, const uint8_t* Cursor, uint32_t FormatCharSize) {
  for (;;) {
    uint32_t Character = ReadCharacter(Cursor, FormatCharSize);
    if (FormatCharSize == 1 && Out->CharSize == 1 && !Out->CountOnlyMode) {
      // 8-bit format to 8-bit output, the common case: copy up to the next
      // character at or below "%" (NUL, "%", the line breaks and a few more).
      uint8_t* Position = Out->Position;
      const uint8_t* End = Out->End;
      while (Character > '%' && Position < End) {
        *Position++ = (uint8_t)Character;
        Character = *++Cursor;
      }
      Out->Position = Position;
    }
    if (Character == 0 || Character == '%') {
      return Cursor;
    }
    if (!Out->CountOnlyMode && Out->Position >= Out->End) {
      return Cursor;
    }
    uint32_t Places = 1;
    if (Character == '\n' || Character == '\r') {
      // "\n" and "\n\r" print CR LF, and so does "\r\n"; a lone "\r" prints CR.
      uint32_t Next = ReadCharacter(Cursor + FormatCharSize, FormatCharSize);
      if (Character == '\n' || Next == '\n') {
        Places = 2;
      }
      if (Next == (Character ^ '\n' ^ '\r')) {
        Cursor += FormatCharSize;
      }
      Character = '\r';
    }
    Cursor += FormatCharSize;
    if (Out->CountOnlyMode) {
      Out->Count = AddSaturated(Out->Count, Places);
      continue;
    }
    // Plain characters are 2-byte texts: all 16 bits reach 2-byte output.
    PutCharacter(Out, Character);
    if (Places == 2 && Out->Position < Out->End) {
      PutCharacter(Out, '\n');
    }
  }
}

// Characters of a text before its NUL, at most Limit.
uint32_t TextLength(const uint8_t* Text, uint32_t CharSize, uint32_t Limit) {
  uint32_t Length = 0;
  while (Length < Limit && ReadCharacter(Text + Length * CharSize, CharSize) != 0) {
    Length++;
  }
  return Length;
}

// Writes up to Count copies of an 8-bit character from Position on, stopping
// at End; returns the position after the last one.
inline uint8_t* FillNarrow(uint8_t* Position, const uint8_t* End, uint32_t Count, uint8_t Character) {
  for (; Count > 0 && Position < End; Count--) {
    *Position++ = Character;
  }
  return Position;
}

// The field layout for 8-bit text into 8-bit output without separators, the
// case of nearly every field: the same steps as below with the position in
// a local and no width checks per character.
void LayOutNarrowField(Output* Out, const Field* F, const uint8_t* Text, uint32_t Content, uint32_t Precision,
                       uint32_t WidthFill) {
  uint8_t* Position = Out->Position;
  const uint8_t* End = Out->End;
  bool Left = (F->Flags & LeftAlign) != 0;
  if (!Left) {
    Position = FillNarrow(Position, End, WidthFill, ' ');
  }
  uint8_t FillCharacter = ' ';
  if (F->Number) {
    FillCharacter = '0';
    if (F->Sign != 0) {
      Position = FillNarrow(Position, End, 1, (uint8_t)F->Sign);
      Content--;  // the sign was place 0 of the content
      Precision--;
    }
  }
  Position = FillNarrow(Position, End, Precision - Content, FillCharacter);
  uint32_t Fits = (uint32_t)(End - Position);
  if (Content > Fits) {
    Content = Fits;
  }
  if ((F->Flags & DigitsReversed) != 0) {
    for (; Content > 0; Content--) {
      *Position++ = *Text--;
    }
  } else {
    for (; Content > 0; Content--) {
      *Position++ = *Text++;
    }
  }
  if (Left) {
    Position = FillNarrow(Position, End, WidthFill, ' ');
  }
  Out->Position = Position;
}

void LayOutField(Output* Out, const Field* F) {
  uint32_t TextCharSize = (F->Flags & TextWide) != 0 ? 2 : 1;
  const uint8_t* Text = F->Text;

  uint32_t Content = F->ContentLength;
  if (!F->Number) {
    // An 8-bit text into 8-bit output without width and with no precision
    // to fill up to is just its characters: copy them up to the NUL without
    // measuring first.
    if ((F->Flags & (WidthSet | PrecisionSet | TextWide)) == 0 && F->Precision == 0 && Out->CharSize == 1 &&
        !Out->CountOnlyMode) {
      CopyNarrowText(Out, Text);
      return;
    }
    Content = TextLength(Text, TextCharSize, (F->Flags & PrecisionSet) != 0 ? F->Precision : MaxCount);
  }
  // From here on the precision is the length of the field without its width fill.
  uint32_t Precision = F->Precision < Content ? Content : F->Precision;
  uint32_t WidthFill = 0;
  if ((F->Flags & WidthSet) != 0 && (uint32_t)F->Width > Precision) {
    WidthFill = (uint32_t)F->Width - Precision;
  }

  if (Out->CountOnlyMode) {
    // The field's places: the width fill and the precision, which from here
    // on covers the sign, the zero or space fill and every content place.
    Out->Count = AddSaturated(AddSaturated(Out->Count, WidthFill), Precision);
    return;
  }
  if (Out->CharSize == 1 && TextCharSize == 1 && !F->Grouping) {
    LayOutNarrowField(Out, F, Text, Content, Precision, WidthFill);
    return;
  }

  if ((F->Flags & LeftAlign) == 0) {
    EmitFill(Out, WidthFill, ' ');
  }
  uint32_t Place = 0;
  if (F->Number) {
    if (F->Sign != 0) {
      EmitFill(Out, 1, F->Sign);
      Place = 1;  // place 0 of the content is the sign
    }
    EmitFill(Out, Precision - Content, '0');
  } else {
    EmitFill(Out, Precision - Content, ' ');
  }

  // Digit strings are stored least significant first and read backwards.
  // Without grouping the group position never reaches 3.
  int32_t Step = (F->Flags & DigitsReversed) != 0 ? -(int32_t)TextCharSize : (int32_t)TextCharSize;
  uint32_t GroupPosition = F->GroupPosition;
  while (Place < Content && Out->Position < Out->End) {
    PutCharacter(Out, ReadCharacter(Text, TextCharSize));
    Text += Step;
    Place++;
    if (F->Grouping && ++GroupPosition == 3) {
      GroupPosition = 0;
      Place++;  // the separator's place
      if (Place < Content) {
        EmitFill(Out, 1, ',');
      }
    }
  }

  if ((F->Flags & LeftAlign) != 0) {
    EmitFill(Out, WidthFill, ' ');
  }
}

// d, u, x, X, p: turns the argument into a reversed digit string in Scratch
// with its sign prefix, grouping and precision.
void ConvertNumber(Field* F, uint32_t Conversion, const uint32_t** Next, char* Scratch) {
  uint32_t Flags = F->Flags;
  switch (Conversion) {
    case 'p':
      Flags &= ~(uint32_t)(SignPlus | SignBlank | Value64 | ZeroFill);
      Flags |= ZeroFill | Base16;
      break;
    case 'X':
      Flags |= ZeroFill | Base16;
      break;
    case 'x':
      Flags |= Base16;
      break;
    case 'u':
      Flags = (Flags & ~(uint32_t)SignPlus) | NoSign;
      break;
    default:  // d
      break;
  }

  // One slot sign-extended to 64 bits, or two slots, low half first.
  uint32_t Low = TakeSlot(Next);
  uint32_t High = (Low & 0x80000000u) != 0 ? 0xFFFFFFFFu : 0;
  if ((Flags & Value64) != 0) {
    High = TakeSlot(Next);
  }

  uint32_t Sign = 0;
  if ((Flags & SignBlank) != 0) {
    Sign = ' ';
  }
  if ((Flags & SignPlus) != 0) {
    Sign = '+';
  }
  BOOLEAN Grouping = (Flags & GroupThousands) != 0 ? TRUE : FALSE;
  uint32_t Base = 10;
  if ((Flags & Base16) != 0) {
    Base = 16;
    Grouping = FALSE;
    if ((Flags & Value64) == 0) {
      High = 0;
    }
  } else {
    if (Grouping) {
      // With "," neither "0" nor a precision has an effect.
      Flags &= ~(uint32_t)ZeroFill;
      F->Precision = 1;
    }
    if ((High & 0x80000000u) != 0 && (Flags & NoSign) == 0) {
      // Two's-complement negation in halves; the most negative value stays
      // 2^63 taken as unsigned.
      Sign = '-';
      High = ~High + (Low == 0 ? 1 : 0);
      Low = 0u - Low;
    }
    if ((Flags & (NoSign | Value64)) == NoSign) {
      High = 0;
    }
  }

  char* Digits = ValueToDigits(Scratch, Base, ((uint64_t)High << 32) | Low);
  uint32_t DigitCount = (uint32_t)(Digits - Scratch);
  if ((Low | High) == 0 && F->Precision == 0) {
    DigitCount = 0;  // zero with precision 0 prints no digit
  }
  uint32_t Content = DigitCount;
  if (Grouping && DigitCount > 0) {
    // Separators fall between groups of three counted from the last digit.
    F->GroupPosition = (3 - DigitCount % 3) % 3;
    Content += (DigitCount - 1) / 3;
  }
  if (Sign != 0) {
    // The precision counts digits only; the sign takes one more place.
    Content++;
    if (F->Precision != MaxCount) {
      F->Precision++;
    }
  }
  // "0" fills with zeros up to the width, behind the sign, only for a
  // right-justified field with a width and without a precision.
  if ((Flags & (ZeroFill | LeftAlign | WidthSet | PrecisionSet)) == (ZeroFill | WidthSet)) {
    F->Precision = (uint32_t)F->Width;
  }
  F->Flags = Flags | DigitsReversed;
  F->Sign = Sign;
  F->Grouping = Grouping;
  F->Number = TRUE;
  F->Text = (const uint8_t*)Digits;
  F->ContentLength = Content;
}

// A 32-bit argument slot as the address it holds.
inline const uint8_t* SlotPointer(uint32_t Slot) {
  return (const uint8_t*)(uintptr_t)Slot;
}

// The directive at Cursor ("%") of an 8-bit format into 8-bit output, when
// it is a plain "%a" or a plain number of one argument slot ("%", an
// optional run of digits for a width below FormatScratchSize, then d, u, x
// or X): lays it out the way the general steps do and returns the cursor
// after it. Returns null for any other directive, having taken no argument.
// Kept out of line, and calling nothing, so that its state stays in
// registers instead of the engine's crowded frame.
__attribute__((noinline)) const uint8_t* LayOutPlainDirective(Output* Out, const uint8_t* Cursor,
                                                              const uint32_t** Next, char* Scratch) {
  const uint8_t* Look = Cursor + 1;
  uint32_t Character = *Look;
  if (Character == 'a') {
    const uint8_t* String = SlotPointer(TakeSlot(Next));
    CopyNarrowText(Out, String != nullptr ? String : (const uint8_t*)"<null string>");
    return Look + 1;
  }
  // A leading "0" asks for zero fill. The run of digits is one number; the
  // general steps take any width from FormatScratchSize on (and one that
  // wraps past 31 bits, which counts as none).
  uint8_t FillCharacter = Character == '0' ? '0' : ' ';
  uint32_t Width = 0;
  for (; Character - '0' <= 9; Character = *++Look) {
    Width = Width * 10 + (Character - '0');
    if (Width >= FormatScratchSize) {
      return nullptr;
    }
  }
  BOOLEAN Hex = (Character | 0x20) == 'x' ? TRUE : FALSE;
  if (!Hex && Character != 'd' && Character != 'u') {
    return nullptr;
  }
  if (Character == 'X') {
    FillCharacter = '0';
  }

  // The whole field goes into Scratch, reversed: the digits from Scratch[1]
  // on, then the sign and the fill up to the width.
  static_assert(FormatScratchSize > 1 + 10 + 1, "a NUL, ten decimal digits and a sign fit in Scratch");
  uint32_t Value = TakeSlot(Next);
  char* Place = Scratch;
  BOOLEAN Negative = FALSE;
  if (Hex) {
    do {
      *++Place = DigitTable[Value & 0xF];
      Value >>= 4;
    } while (Value != 0);
  } else {
    if (Character == 'd' && (int32_t)Value < 0) {
      Negative = TRUE;
      Value = 0u - Value;
    }
    do {
      *++Place = (char)('0' + Value % 10);
      Value /= 10;
    } while (Value != 0);
  }
  char* FieldEnd = Scratch + Width;
  if (Negative) {
    // Zeros go between the sign and the digits, spaces before the sign.
    if (FillCharacter == '0') {
      while (Place + 1 < FieldEnd) {
        *++Place = '0';
      }
    }
    *++Place = '-';
  }
  while (Place < FieldEnd) {
    *++Place = (char)FillCharacter;
  }

  // As much of it as fits before the last place of the buffer.
  uint8_t* Position = Out->Position;
  uint32_t Count = (uint32_t)(Place - Scratch);
  uint32_t Room = (uint32_t)(Out->End - Position);
  if (Count > Room) {
    Count = Room;
  }
  for (; Count > 0; Count--) {
    *Position++ = (uint8_t)*Place--;
  }
  Out->Position = Position;
  return Look + 1;
}

}  // namespace

uint8_t* FillCharacters(uint8_t* Position, const uint8_t* Limit, int32_t Count, uint16_t Character,
                        uint32_t CharWidth) {
  if (Count <= 0 || Position >= Limit) {
    return Position;
  }
  // Only whole characters are written, so a 2-byte character never spills
  // over the limit even from an odd position.
  uint32_t Fits = (uint32_t)(Limit - Position);
  if (CharWidth == 2) {
    Fits >>= 1;
  }
  uint32_t Copies = (uint32_t)Count < Fits ? (uint32_t)Count : Fits;
  if (CharWidth == 2) {
    for (; Copies > 0; Copies--) {
      Position[0] = (uint8_t)Character;
      Position[1] = (uint8_t)(Character >> 8);
      Position += 2;
    }
  } else {
    for (; Copies > 0; Copies--) {
      *Position++ = (uint8_t)Character;
    }
  }
  return Position;
}

uint32_t BoundedAsciiLength(const char* String) {
  if (String == nullptr) {
    return 0;
  }
  // Four characters per round, the cap checked once per round; the cap is a
  // multiple of four, so no character past it is read but the one after it.
  uint32_t Length = 0;
  while (Length < FormatMaxCharacters) {
    if (String[Length] == 0) {
      return Length;
    }
    if (String[Length + 1] == 0) {
      return Length + 1;
    }
    if (String[Length + 2] == 0) {
      return Length + 2;
    }
    if (String[Length + 3] == 0) {
      return Length + 3;
    }
    Length += 4;
  }
  return String[Length] == 0 ? Length : Length + 1;
}

uint32_t BoundedWideLength(const uint16_t* String) {
  if (String == nullptr) {
    return 0;
  }
  // Read by bytes: the string may sit at an odd address.
  const uint8_t* Bytes = (const uint8_t*)String;
  uint32_t Length = 0;
  while (Length < FormatMaxCharacters) {
    if ((Bytes[2 * Length] | Bytes[2 * Length + 1]) == 0) {
      return Length;
    }
    if ((Bytes[2 * Length + 2] | Bytes[2 * Length + 3]) == 0) {
      return Length + 1;
    }
    Length += 2;
  }
  return (Bytes[2 * Length] | Bytes[2 * Length + 1]) == 0 ? Length : Length + 1;
}

uint32_t FormatToBuffer(void* Buffer, uint32_t BufferSize, uint32_t Flags, const void* Format,
                        const uint32_t* ArgList, const uint32_t* PackedArgs) {
  BOOLEAN CountOnlyMode = (Flags & CountOnly) != 0 ? TRUE : FALSE;
  if (Format == nullptr || BufferSize > FormatMaxCharacters) {
    return 0;
  }
  if (!CountOnlyMode && (BufferSize == 0 || Buffer == nullptr)) {
    return 0;
  }
  uint32_t FormatCharSize = (Flags & FormatWide) != 0 ? 2 : 1;
  uint32_t FormatLength = FormatCharSize == 2 ? BoundedWideLength((const uint16_t*)Format)
                                              : BoundedAsciiLength((const char*)Format);
  if (FormatLength > FormatMaxCharacters) {
    return 0;
  }

  Output Out;
  Out.CharSize = (Flags & OutputWide) != 0 ? 2 : 1;
  Out.CountOnlyMode = CountOnlyMode;
  Out.Count = 0;
  Out.Position = nullptr;
  Out.End = nullptr;
  if (!CountOnlyMode) {
    Out.Position = (uint8_t*)Buffer;
    Out.End = Out.Position + (BufferSize - 1) * Out.CharSize;
  }

  // Every argument comes from the packed list when there is one.
  const uint32_t* Next = PackedArgs != nullptr ? PackedArgs : ArgList;
  const uint8_t* Cursor = (const uint8_t*)Format;
  char Scratch[FormatScratchSize];
  uint8_t CharText[4];  // a one-character 2-byte text and its 2-byte NUL

  for (;;) {
    Cursor = EmitPlainRun(&Out, Cursor, FormatCharSize);
    uint32_t Character = ReadCharacter(Cursor, FormatCharSize);
    if (Character == 0 || (!CountOnlyMode && Out.Position >= Out.End)) {
      break;
    }

    if ((Flags & CallerFlags) == 0) {
      // 8-bit format into an 8-bit buffer: plain numbers and plain "%a",
      // most directives of the module's lines, take a shorter way.
      const uint8_t* After = LayOutPlainDirective(&Out, Cursor, &Next, Scratch);
      if (After != nullptr) {
        Cursor = After;
        continue;
      }
    }

    Field F;
    F.Flags = Flags & CallerFlags;
    F.Width = 0;
    F.Precision = 1;
    F.Sign = 0;
    F.Grouping = FALSE;
    F.Number = FALSE;
    F.Text = nullptr;
    F.ContentLength = 0;
    F.GroupPosition = 0;

    // A directive: options, up to the first character that is not one.
    for (;;) {
      Cursor += FormatCharSize;
      Character = ReadCharacter(Cursor, FormatCharSize);
      uint32_t Number = Character - '0';
      if (Number <= 9) {
        // "0" before any "." asks for zero fill, and starts a number too.
        if (Number == 0 && (F.Flags & PrecisionSet) == 0) {
          F.Flags |= ZeroFill;
        }
        // A run of digits, 32 bits, wrapping without a check.
        for (;;) {
          uint32_t Digit = ReadCharacter(Cursor + FormatCharSize, FormatCharSize) - '0';
          if (Digit > 9) {
            break;
          }
          Cursor += FormatCharSize;
          Number = Number * 10 + Digit;
        }
        if ((F.Flags & PrecisionSet) != 0) {
          F.Precision = Number;
        } else if ((int32_t)Number < 0) {
          // A width that wrapped past 31 bits counts as no width.
          F.Flags &= ~(uint32_t)WidthSet;
          F.Width = 0;
        } else {
          F.Flags |= WidthSet;
          F.Width = (int32_t)Number;
        }
        continue;
      }
      // Every other option is at or below "." but "l" and "L"; the
      // conversions of the lines the module prints are letters above it.
      if (Character > '.' && (Character | 0x20) != 'l') {
        break;
      }
      if (Character == '*') {
        // A negative width or precision from the arguments counts as none.
        int32_t Value = (int32_t)TakeSlot(&Next);
        if ((F.Flags & PrecisionSet) != 0) {
          if (Value < 0) {
            F.Flags &= ~(uint32_t)PrecisionSet;
            F.Precision = 1;
          } else {
            F.Precision = (uint32_t)Value;
          }
        } else if (Value < 0) {
          F.Flags &= ~(uint32_t)WidthSet;
          F.Width = 0;
        } else {
          F.Flags |= WidthSet;
          F.Width = Value;
        }
        continue;
      }
      uint32_t Option;
      if (Character == ' ') {
        Option = SignBlank;
      } else if (Character == '+') {
        Option = SignPlus;
      } else if (Character == '-') {
        Option = LeftAlign;
      } else if (Character == ',') {
        Option = GroupThousands;
      } else if (Character == '.') {
        Option = PrecisionSet;
      } else if ((Character | 0x20) == 'l') {
        Option = Value64;
      } else {
        break;
      }
      F.Flags |= Option;
    }

    // Character is now the conversion.
    switch (Character) {
      case 0:
        // The format ends inside the directive: only its width fill is
        // printed, and the main loop stops on the NUL.
        F.Precision = 0;
        F.Text = (const uint8_t*)"";
        break;
      case '\n':
        // "\n" and "\n\r" are one line break: CR LF.
        F.Text = (const uint8_t*)"\r\n";
        if (ReadCharacter(Cursor + FormatCharSize, FormatCharSize) == '\r') {
          Cursor += FormatCharSize;
        }
        break;
      case '\r':
        // "\r\n" is CR LF; a lone "\r" stays CR.
        F.Text = (const uint8_t*)"\r";
        if (ReadCharacter(Cursor + FormatCharSize, FormatCharSize) == '\n') {
          F.Text = (const uint8_t*)"\r\n";
          Cursor += FormatCharSize;
        }
        break;
      case 'a':
      case 's':
      case 'S': {
        const uint8_t* String = SlotPointer(TakeSlot(&Next));
        if (String == nullptr) {
          F.Text = (const uint8_t*)"<null string>";
        } else {
          F.Text = String;
          if (Character != 'a') {
            F.Flags |= TextWide;
          }
        }
        if ((F.Flags & PrecisionSet) == 0) {
          F.Precision = 0;
        }
        break;
      }
      case 'g':
      case 't':
      case 'r': {
        uint32_t Slot = TakeSlot(&Next);
        const char* Text = Character == 'g'   ? GuidText(Scratch, SlotPointer(Slot))
                           : Character == 't' ? TimeText(Scratch, SlotPointer(Slot))
                                              : StatusText(Scratch, Slot);
        F.Text = (const uint8_t*)Text;
        if ((F.Flags & PrecisionSet) == 0) {
          F.Precision = 0;
        }
        break;
      }
      case 'd':
      case 'u':
      case 'x':
      case 'X':
      case 'p':
        ConvertNumber(&F, Character, &Next, Scratch);
        break;
      case 'c':
        Character = TakeSlot(&Next) & 0xFFFF;
        [[fallthrough]];
      default:
        // One 2-byte character: %c's argument, or a conversion character
        // that is not one of the above ("%%" prints "%").
        CharText[0] = (uint8_t)Character;
        CharText[1] = (uint8_t)(Character >> 8);
        CharText[2] = 0;
        CharText[3] = 0;
        F.Flags |= TextWide;
        F.Text = CharText;
        break;
    }

    LayOutField(&Out, &F);
    if (ReadCharacter(Cursor, FormatCharSize) != 0) {
      Cursor += FormatCharSize;
    }
  }

  if (CountOnlyMode) {
    return Out.Count;
  }
  // The end position is kept free, so the NUL always fits.
  uint8_t* Nul = Out.Position;
  Nul[0] = 0;
  if (Out.CharSize == 2) {
    Nul[1] = 0;
  }
  return (uint32_t)(Nul - (uint8_t*)Buffer) / Out.CharSize;
}

uint32_t FormatAscii(char* Buffer, uint32_t BufferSize, const char* Format, ...) {
  va_list Args;
  va_start(Args, Format);
  uint32_t Count = FormatToBuffer(Buffer, BufferSize, 0, Format, (const uint32_t*)Args, nullptr);
  va_end(Args);
  return Count;
}

uint32_t FormatWithFlags(void* Buffer, uint32_t BufferSize, uint32_t Flags, const void* Format, ...) {
  va_list Args;
  va_start(Args, Format);
  uint32_t Count = FormatToBuffer(Buffer, BufferSize, Flags, Format, (const uint32_t*)Args, nullptr);
  va_end(Args);
  return Count;
}
