// The format engine: directives, line breaks, field layout and the two
// variable-argument front ends.
//
// Plain characters are copied as they are. Every directive and every line
// break of the format is a field: an optional width fill of spaces, then
// (numbers) a sign and zero fill up to the precision or (texts) a space fill
// up to the precision, then the text, then the width fill of a left-justified
// field. GeneralField reads one field and lays it out, character by character
// through Emit.
//
// FormatToBuffer runs the fields. With an 8-bit format into 8-bit output
// (every call the module makes) it takes a short way for what nearly every
// line is made of: runs of plain characters, line breaks, and %a %r %x %X %d
// without options (and "%0" with one digit before x or X), written straight
// to the buffer; every other field goes to GeneralField. The short way makes
// the same text; GeneralPathOnly turns it off, and the fuzzer compares both.
// When every caller passes the same flags, as the module's callers do (0),
// link-time optimisation drops the paths those flags never take, so the
// image keeps only what an 8-bit call needs. Output stops at the last place
// of the buffer, which is kept for the NUL.
#include <stdarg.h>

#include "include/PiTypes.h"
#include "print/PrintInternal.h"

// The front ends hand their va_list to the engine as a pointer to 4-byte
// argument slots, which is what a va_list is on IA32.
static_assert(sizeof(va_list) == sizeof(uint32_t*), "va_list must be a pointer to argument slots");
static_assert(sizeof(void*) == 4, "pointer arguments take one 4-byte slot");

namespace {

// Bits of the caller's flags that the engine honours.
constexpr uint32_t CallerFlags = OutputWide | FormatWide | CountOnly | GeneralPathOnly;

constexpr uint32_t MaxCount = 0xFFFFFFFFu;

// What %a, %s and %S print for a null pointer.
constexpr char NullStringText[] = "<null string>";
static_assert(FormatMaxCharacters % 4 == 0, "the length scans step by four and two characters");

// A character of 1 or 2 bytes (little-endian) at any address.
inline uint32_t ReadCharacter(const uint8_t* Place, uint32_t Size) {
  return Size == 1 ? Place[0] : static_cast<uint32_t>(Place[0]) | (static_cast<uint32_t>(Place[1]) << 8);
}

// The next 4-byte argument slot, or 0 once the cursor stands at Last. A
// call without any argument list reads 0 for every argument, so a format
// that wants arguments prints zeros and "<null string>" instead of reading
// through a null pointer. A packed list ends after DebugPackedArgumentSlots
// slots: a format that wants more arguments than it holds reads 0 for them,
// never the bytes past the record that carries the list. The general steps
// call it; the short way of FormatToBuffer has its own copy inline.
inline uint32_t NextSlot(const uint32_t** Next, const uint32_t* Last) {
  if (*Next == Last) {
    return 0;
  }
  return *(*Next)++;
}
__attribute__((noinline)) uint32_t TakeSlot(const uint32_t** Next, const uint32_t* Last) {
  return NextSlot(Next, Last);
}

// The count only grows, and stays at its largest value instead of wrapping
// when the fills of a count-only call add up to more than 32 bits can hold.
inline uint32_t AddSaturated(uint32_t Count, uint32_t More) {
  uint32_t sum = Count + More;
  return sum < Count ? MaxCount : sum;
}

// A character that ends a run of plain characters: "%" or a line break
// (the NUL ends every copy).
inline bool EndsPlainRun(uint32_t Character) {
  return Character <= '%' && (Character == '%' || Character == '\n' || Character == '\r');
}

// Characters of a text before its NUL, at most Limit.
uint32_t TextLength(const uint8_t* Text, uint32_t CharSize, uint32_t Limit) {
  uint32_t length = 0;
  if (CharSize == 1) {
    while (length != Limit && Text[length] != 0) {
      length++;
    }
  } else {
    while (length != Limit && (Text[2 * length] | Text[2 * length + 1]) != 0) {
      length++;
    }
  }
  return length;
}

// The directive (or line break) being laid out.
struct Field {
  uint32_t Flags;          // FormatFlags: the caller's bits and the directive's
  uint32_t Width;          // meaningful with WidthSet; below 2^31
  uint32_t Precision;      // digits of a number, or the cut of a text
  uint32_t Sign;           // sign prefix of a number: 0, ' ', '+' or '-'
  const uint8_t* Text;     // the characters to emit (a number's: its most significant digit)
  uint32_t ContentLength;  // places taken by a number: sign, digits, separators
};

// d, u, x, X, p: turns the argument into a reversed digit string in Scratch,
// separators included, with its sign prefix and precision.
void ConvertNumber(Field* F, uint32_t Conversion, const uint32_t** Next, const uint32_t* Last, char* Scratch) {
  uint32_t flags = F->Flags;
  if (Conversion == 'p') {
    flags &= ~static_cast<uint32_t>(SignPlus | SignBlank | Value64);
  }
  if (Conversion == 'u') {
    flags = (flags & ~static_cast<uint32_t>(SignPlus)) | NoSign;
  } else if (Conversion != 'd') {
    // x; X and p also fill with zeros.
    flags |= Base16;
    if (Conversion != 'x') {
      flags |= ZeroFill;
    }
  }

  // Two slots, low half first; or one, sign-extended to 64 bits for d.
  uint32_t low = TakeSlot(Next, Last);
  uint32_t high = 0;
  if ((flags & Value64) != 0) {
    high = TakeSlot(Next, Last);
  } else if ((flags & (Base16 | NoSign)) == 0 && static_cast<int32_t>(low) < 0) {
    high = 0xFFFFFFFFu;
  }

  uint32_t sign = 0;
  if ((flags & SignBlank) != 0) {
    sign = ' ';
  }
  if ((flags & SignPlus) != 0) {
    sign = '+';
  }
  uint32_t base = 16;
  if ((flags & Base16) != 0) {
    flags &= ~static_cast<uint32_t>(GroupThousands);  // "," groups decimal digits only
  } else {
    base = 10;
    if ((flags & GroupThousands) != 0) {
      // With "," neither "0" nor a precision has an effect.
      flags &= ~static_cast<uint32_t>(ZeroFill);
      F->Precision = 1;
    }
    if (static_cast<int32_t>(high) < 0 && (flags & NoSign) == 0) {
      // Two's-complement negation in halves; the most negative value stays
      // 2^63 taken as unsigned.
      sign = '-';
      high = ~high + (low == 0 ? 1 : 0);
      low = 0u - low;
    }
  }

  char* digits = ValueToDigits(Scratch, base, (static_cast<uint64_t>(high) << 32) | low);
  uint32_t content = static_cast<uint32_t>(digits - Scratch);
  if ((low | high) == 0 && F->Precision == 0) {
    content = 0;  // zero with precision 0 prints no digit
  }
  if ((flags & GroupThousands) != 0) {
    // A "," between groups of three digits counted from the last one: the
    // digits move up to make room, the most significant first. The string
    // stays within Scratch: 20 digits and 6 separators.
    static_assert(FormatScratchSize > 1 + 20 + 6, "a NUL, 20 digits and their separators fit in Scratch");
    for (uint32_t place = content; place > 0; place--) {
      uint32_t moved = place + (place - 1) / 3;
      Scratch[moved] = Scratch[place];
      if (place % 3 == 1 && place > 1) {
        Scratch[moved - 1] = ',';
      }
    }
    content += (content - 1) / 3;
    digits = Scratch + content;
  }
  if (sign != 0) {
    // The precision counts digits only; the sign takes one more place.
    content++;
    if (F->Precision != MaxCount) {
      F->Precision++;
    }
  }
  // "0" fills with zeros up to the width, behind the sign, only for a
  // right-justified field with a width and without a precision.
  if ((flags & (ZeroFill | LeftAlign | WidthSet | PrecisionSet)) == (ZeroFill | WidthSet)) {
    F->Precision = F->Width;
  }
  F->Flags = flags | DigitsReversed;
  F->Sign = sign;
  F->Text = reinterpret_cast<const uint8_t*>(digits);
  F->ContentLength = content;
}

// A 32-bit argument slot as the address it holds.
inline const uint8_t* SlotPointer(uint32_t Slot) {
  return reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(Slot));
}

// What the general steps carry from field to field.
struct Engine {
  uint8_t* Position;     // the next output place
  uint8_t* End;          // the last place of the buffer, kept for the NUL
  const uint32_t* Next;  // the next argument slot; null: every argument reads 0
  const uint32_t* Last;  // where a packed list ends; null for the other lists
  uint32_t Count;        // the characters a count-only call has counted
};

// Count copies of Character (up to 16 bits) at E->Position, stopping at
// E->End; a count-only call only counts them. Every character the general
// steps lay out goes through here.
__attribute__((noinline)) void Emit(Engine* E, uint32_t Character, uint32_t Count, uint32_t Flags) {
  if ((Flags & CountOnly) != 0) {
    E->Count = AddSaturated(E->Count, Count);
    return;
  }
  uint32_t outSize = (Flags & OutputWide) != 0 ? 2 : 1;
  uint8_t* position = E->Position;
  for (; Count != 0 && position < E->End; Count--) {
    position[0] = static_cast<uint8_t>(Character);
    position[outSize - 1] = static_cast<uint8_t>(outSize == 1 ? Character : Character >> 8);
    position += outSize;
  }
  E->Position = position;
}

// One field through the general steps: the directive or line break at
// Cursor, laid out at E->Position with the caller's Flags; returns the place
// after the field's last format character. Flags is a parameter of its own
// (not in Engine) so that link-time optimisation sees the value every caller
// passes.
__attribute__((noinline)) const uint8_t* GeneralField(Engine* E, const uint8_t* Cursor, uint32_t Flags) {
  bool countOnlyMode = (Flags & CountOnly) != 0;
  uint32_t formatCharSize = (Flags & FormatWide) != 0 ? 2 : 1;
  const uint32_t* next = E->Next;
  const uint8_t* cursor = Cursor;
  uint32_t character = ReadCharacter(cursor, formatCharSize);
  char scratch[FormatScratchSize];
  uint32_t charText;  // a one-character 2-byte text and its 2-byte NUL, little-endian

  Field f;
  f.Flags = Flags & CallerFlags;
  f.Width = 0;
  f.Precision = 1;
  f.Sign = 0;
  f.ContentLength = 0;
  
  // A line break of the format is laid out as a directive of the same
  // character without options. A directive's options run up to the first
  // character that is not one.
  if (character == '%') {
    for (;;) {
      cursor += formatCharSize;
      character = ReadCharacter(cursor, formatCharSize);
      uint32_t number = character - '0';
      if (number <= 9) {
        // "0" before any "." asks for zero fill, and starts a number too.
        if (number == 0 && (f.Flags & PrecisionSet) == 0) {
          f.Flags |= ZeroFill;
        }
        // A run of digits, 32 bits, wrapping without a check.
        for (;;) {
          uint32_t digit = ReadCharacter(cursor + formatCharSize, formatCharSize) - '0';
          if (digit > 9) {
            break;
          }
          cursor += formatCharSize;
          number = number * 10 + digit;
        }
      } else if (character == '*') {
        number = TakeSlot(&next, E->Last);
      } else if (character > '.' && (character | 0x20) != 'l') {
        // Every other option is at or below "." but "l" and "L".
        break;
      } else {
        uint32_t option = 0;
        if (character == ' ') {
          option = SignBlank;
        } else if (character == '+') {
          option = SignPlus;
        } else if (character == '-') {
          option = LeftAlign;
        } else if (character == ',') {
          option = GroupThousands;
        } else if (character == '.') {
          option = PrecisionSet;
        } else if ((character | 0x20) == 'l') {
          option = Value64;
        }
        if (option == 0) {
          break;
        }
        f.Flags |= option;
        continue;
      }
      // A width or a precision. A negative one from "*", or a width that
      // wrapped past 31 bits, counts as none.
      if ((f.Flags & PrecisionSet) != 0) {
        if (static_cast<int32_t>(number) < 0 && character == '*') {
          f.Flags &= ~static_cast<uint32_t>(PrecisionSet);
          number = 1;
        }
        f.Precision = number;
      } else if (static_cast<int32_t>(number) < 0) {
        f.Flags &= ~static_cast<uint32_t>(WidthSet);
        f.Width = 0;
      } else {
        f.Flags |= WidthSet;
        f.Width = number;
      }
    }
  }
  
  // Character is now the conversion. Texts are read forwards in
  // characters of textSize bytes; a number's digits backwards.
  uint32_t textSize = 1;
  bool number = false;
  uint32_t slot = 0;
  switch (character) {
    case 0:
      // The format ends inside the directive: only its width fill is
      // printed, and the main loop stops on the NUL.
      f.Precision = 0;
      f.Text = reinterpret_cast<const uint8_t*>("");
      break;
    case '\n':
    case '\r': {
      // "\n", "\n\r" and "\r\n" are one line break, CR LF; a lone "\r"
      // stays CR.
      uint32_t following = ReadCharacter(cursor + formatCharSize, formatCharSize);
      f.Text = reinterpret_cast<const uint8_t*>(character == '\n' || following == '\n' ? "\r\n" : "\r");
      if (following == (character ^ '\n' ^ '\r')) {
        cursor += formatCharSize;
      }
      break;
    }
    case 'a':
    case 's':
    case 'S':
    case 'g':
    case 't':
    case 'r':
      slot = TakeSlot(&next, E->Last);
      if (character == 'g') {
        f.Text = reinterpret_cast<const uint8_t*>(GuidText(scratch, SlotPointer(slot)));
      } else if (character == 't') {
        f.Text = reinterpret_cast<const uint8_t*>(TimeText(scratch, SlotPointer(slot)));
      } else if (character == 'r') {
        f.Text = reinterpret_cast<const uint8_t*>(StatusText(scratch, slot));
      } else if (slot == 0) {
        f.Text = reinterpret_cast<const uint8_t*>(NullStringText);
      } else {
        f.Text = SlotPointer(slot);
        if (character != 'a') {
          textSize = 2;
        }
      }
      if ((f.Flags & PrecisionSet) == 0) {
        f.Precision = 0;
      }
      break;
    case 'd':
    case 'u':
    case 'x':
    case 'X':
    case 'p':
      ConvertNumber(&f, character, &next, E->Last, scratch);
      number = true;
      break;
    case 'c':
      character = TakeSlot(&next, E->Last) & 0xFFFF;
      [[fallthrough]];
    default:
      // One 2-byte character: %c's argument, or a conversion character
      // that is not one of the above ("%%" prints "%").
      charText = character & 0xFFFF;
      textSize = 2;
      f.Text = reinterpret_cast<const uint8_t*>(&charText);
      break;
  }
  
  // The field: a width fill of spaces (before the rest, or after it when
  // left-justified), then a number's sign and zeros up to its precision,
  // or spaces up to a text's precision, then the text.
  uint32_t flags = f.Flags;
  uint32_t width = (flags & WidthSet) != 0 ? f.Width : 0;
  uint32_t content = f.ContentLength;
  uint32_t copyLimit = content;
  if (!number) {
    // A text is read no further than the field can show, so that a string
    // without a NUL (a wild pointer) costs a bounded number of reads. A
    // precision cuts it. A string without one (precision 0) is measured
    // only up to a right-justified width, to size the fill in front, and
    // is then copied up to its NUL or the end of the buffer in one pass;
    // a left-justified width takes its fill from the count copied. Nothing
    // is read past FormatMaxCharacters, the engine's character limit.
    uint32_t limit = FormatMaxCharacters;
    if ((flags & PrecisionSet) != 0) {
      limit = f.Precision;
    } else if (f.Precision == 0 && !countOnlyMode) {
      copyLimit = FormatMaxCharacters;
      limit = (flags & LeftAlign) != 0 ? 0 : width;
    }
    content = TextLength(f.Text, textSize, limit < FormatMaxCharacters ? limit : FormatMaxCharacters);
    if (copyLimit != FormatMaxCharacters) {
      copyLimit = content;
    }
  }
  // The length of the field without its width fill.
  uint32_t precision = f.Precision < content ? content : f.Precision;
  uint32_t widthFill = width > precision ? width - precision : 0;
  // The width fill goes after the rest when left-justified.
  uint32_t fillAfter = 0;
  if ((flags & LeftAlign) != 0) {
    fillAfter = widthFill;
    widthFill = 0;
  }
  Emit(E, ' ', widthFill, Flags);
  if (f.Sign != 0) {
    Emit(E, f.Sign, 1, Flags);
    copyLimit--;  // the sign was place 0 of the content
    content--;
    precision--;
  }
  Emit(E, number ? '0' : ' ', precision - content, Flags);
  // Digit strings are stored least significant first and read backwards.
  int32_t step = number ? -1 : static_cast<int32_t>(textSize);
  const uint8_t* from = f.Text;
  uint32_t copied = 0;
  for (; copied != copyLimit && (countOnlyMode || E->Position < E->End); copied++) {
    uint32_t each = ReadCharacter(from, textSize);
    if (each == 0) {
      break;
    }
    Emit(E, each, 1, Flags);
    from += step;
  }
  if ((flags & LeftAlign) != 0 && copyLimit == FormatMaxCharacters) {
    // A string copied in one pass: the fill follows what was copied.
    fillAfter = width > copied ? width - copied : 0;
  }
  Emit(E, ' ', fillAfter, Flags);
  if (ReadCharacter(cursor, formatCharSize) != 0) {
    cursor += formatCharSize;
  }
  E->Next = next;
  return cursor;
}

}  // namespace

uint8_t* FillCharacters(uint8_t* Position, const uint8_t* Limit, int32_t Count, uint16_t Character,
                        uint32_t CharWidth) {
  if (Count <= 0 || Position >= Limit) {
    return Position;
  }
  // Only whole characters are written, so a 2-byte character never spills
  // over the limit even from an odd position.
  uint32_t fits = static_cast<uint32_t>(Limit - Position);
  if (CharWidth == 2) {
    fits >>= 1;
  }
  for (uint32_t copies = static_cast<uint32_t>(Count) < fits ? static_cast<uint32_t>(Count) : fits; copies > 0;
       copies--) {
    *Position++ = static_cast<uint8_t>(Character);
    if (CharWidth == 2) {
      *Position++ = static_cast<uint8_t>(Character >> 8);
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
  uint32_t length = 0;
  while (length < FormatMaxCharacters) {
    if (String[length] == 0) {
      return length;
    }
    if (String[length + 1] == 0) {
      return length + 1;
    }
    if (String[length + 2] == 0) {
      return length + 2;
    }
    if (String[length + 3] == 0) {
      return length + 3;
    }
    length += 4;
  }
  return String[length] == 0 ? length : length + 1;
}

uint32_t BoundedWideLength(const uint16_t* String) {
  if (String == nullptr) {
    return 0;
  }
  // Read by bytes: the string may sit at an odd address.
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(String);
  uint32_t length = 0;
  while (length < FormatMaxCharacters) {
    if ((bytes[2 * length] | bytes[2 * length + 1]) == 0) {
      return length;
    }
    if ((bytes[2 * length + 2] | bytes[2 * length + 3]) == 0) {
      return length + 1;
    }
    length += 2;
  }
  return (bytes[2 * length] | bytes[2 * length + 1]) == 0 ? length : length + 1;
}

uint32_t FormatToBuffer(void* Buffer, uint32_t BufferSize, uint32_t Flags, const void* Format,
                        const uint32_t* ArgList, const uint32_t* PackedArgs) {
  bool countOnlyMode = (Flags & CountOnly) != 0;
  if (Format == nullptr || BufferSize > FormatMaxCharacters) {
    return 0;
  }
  if (!countOnlyMode && (BufferSize == 0 || Buffer == nullptr)) {
    return 0;
  }
  uint32_t formatCharSize = (Flags & FormatWide) != 0 ? 2 : 1;
  uint32_t formatLength = formatCharSize == 1
                              ? BoundedAsciiLength(static_cast<const char*>(Format))
                              : TextLength(static_cast<const uint8_t*>(Format), 2, FormatMaxCharacters + 1);
  if (formatLength > FormatMaxCharacters) {
    return 0;
  }

  // Output goes to Position, never past End, the last place of the buffer,
  // which is kept for the NUL. Count-only calls only count.
  uint32_t outSize = (Flags & OutputWide) != 0 ? 2 : 1;
  // 1-byte output: the short way for line breaks and, with an 8-bit
  // format, for plain runs and the commonest directives (not with
  // GeneralPathOnly, not when only counting).
  bool narrow = (Flags & (OutputWide | CountOnly | GeneralPathOnly)) == 0;
  bool narrowFormat = narrow && formatCharSize == 1;
  uint8_t* position = static_cast<uint8_t*>(Buffer);
  uint8_t* end = position;
  if (!countOnlyMode) {
    end += (BufferSize - 1) * outSize;
  }

  // Every argument comes from the packed list when there is one. The
  // general steps keep the argument cursor and the count in e.
  Engine e;
  e.Next = PackedArgs != nullptr ? PackedArgs : ArgList;
  e.Last = PackedArgs != nullptr ? PackedArgs + DebugPackedArgumentSlots : nullptr;
  e.Count = 0;
  const uint8_t* cursor = static_cast<const uint8_t*>(Format);
  char scratch[FormatScratchSize];

  for (;;) {
    // Plain characters, up to "%", a line break, the NUL or the end of the buffer.
    uint32_t character;
    if (narrowFormat) {
      for (;; cursor++) {
        character = *cursor;
        // Spaces, the commonest character at or below "%", stay in the loop.
        if (character <= '%' && character != ' ' && (character == 0 || EndsPlainRun(character))) {
          break;
        }
        if (position >= end) {
          break;
        }
        *position++ = static_cast<uint8_t>(character);
      }
    } else {
      for (;; cursor += formatCharSize) {
        character = ReadCharacter(cursor, formatCharSize);
        if (character == 0 || EndsPlainRun(character)) {
          break;
        }
        if (countOnlyMode) {
          e.Count = AddSaturated(e.Count, 1);
          continue;
        }
        if (position >= end) {
          break;
        }
        position[0] = static_cast<uint8_t>(character);
        position[outSize - 1] = static_cast<uint8_t>(character >> ((outSize - 1) * 8));
        position += outSize;
      }
    }
    if (character == 0 || (!countOnlyMode && position >= end)) {
      break;
    }
    if (narrow && character != '%') {
      // A line break into 8-bit output, the end of nearly every line: CR,
      // then LF for "\n", "\n\r" and "\r\n" (GeneralField makes the same of
      // it as a field).
      uint32_t following = ReadCharacter(cursor + formatCharSize, formatCharSize);
      *position++ = '\r';
      if (character == '\n' || following == '\n') {
        if (position < end) {
          *position++ = '\n';
        }
      }
      cursor += formatCharSize;
      if (following == (character ^ '\n' ^ '\r')) {
        cursor += formatCharSize;
      }
      continue;
    }

    if (narrowFormat) {
      // The commonest directives without options, their text straight to
      // the buffer: %a, %r, and %x %X %d of one slot, the hexadecimal ones
      // also zero-filled to one to eight places ("%04x"). Hexadecimal digits
      // go out most significant first, four bits each, the fill's zeros
      // included. Any other directive takes the general steps.
      uint32_t conversion = cursor[1];
      uint32_t places = 1;
      if (conversion == '0' && static_cast<uint32_t>(cursor[2] - '1') < 8 && (cursor[3] | 0x20) == 'x') {
        places = cursor[2] - '0';
        conversion = cursor[3];
        cursor += 2;
      }
      const uint8_t* from = nullptr;
      int32_t step = 1;
      if (conversion == 'r') {
        from = reinterpret_cast<const uint8_t*>(StatusText(scratch, NextSlot(&e.Next, e.Last)));
      } else if (conversion == 'a') {
        uint32_t slot = NextSlot(&e.Next, e.Last);
        from = slot != 0 ? SlotPointer(slot) : reinterpret_cast<const uint8_t*>(NullStringText);
      } else if ((conversion | 0x20) == 'x') {
        uint32_t value = NextSlot(&e.Next, e.Last);
        // Four bits per digit: as many digits as the value has, at least places.
        uint32_t digits = (35 - static_cast<uint32_t>(__builtin_clz(value | 1))) / 4;
        uint32_t shift = 4 * (digits > places ? digits : places);
        while (shift != 0 && position < end) {
          shift -= 4;
          *position++ = static_cast<uint8_t>(DigitTable[(value >> shift) & 0xF]);
        }
        cursor += 2;
        continue;
      } else if (conversion == 'd') {
        uint32_t value = NextSlot(&e.Next, e.Last);
        if (static_cast<int32_t>(value) < 0) {
          *position++ = '-';  // the buffer is not full
          value = 0u - value;
        }
        from = reinterpret_cast<const uint8_t*>(ValueToDigits(scratch, 10, value));
        step = -1;
      }
      if (from != nullptr) {
        // Nothing is read past what the buffer can take.
        while (position < end) {
          uint32_t each = *from;
          if (each == 0) {
            break;
          }
          *position++ = static_cast<uint8_t>(each);
          from += step;
        }
        cursor += 2;
        continue;
      }
    }

    e.Position = position;
    e.End = end;
    cursor = GeneralField(&e, cursor, Flags);
    position = e.Position;
  }

  if (countOnlyMode) {
    return e.Count;
  }
  // The end position is kept free, so the NUL always fits.
  position[0] = 0;
  position[outSize - 1] = 0;
  return static_cast<uint32_t>(position - static_cast<uint8_t*>(Buffer)) >> (outSize - 1);
}

uint32_t FormatAscii(char* Buffer, uint32_t BufferSize, const char* Format, ...) {
  va_list args;
  va_start(args, Format);
  uint32_t count = FormatToBuffer(Buffer, BufferSize, 0, Format, reinterpret_cast<const uint32_t*>(args), nullptr);
  va_end(args);
  return count;
}

uint32_t FormatWithFlags(void* Buffer, uint32_t BufferSize, uint32_t Flags, const void* Format, ...) {
  va_list args;
  va_start(args, Format);
  uint32_t count = FormatToBuffer(Buffer, BufferSize, Flags, Format, reinterpret_cast<const uint32_t*>(args), nullptr);
  va_end(args);
  return count;
}
